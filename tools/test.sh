#!/bin/sh
# Builds kelvox with warnings as errors, and its benchmarks (built, not run,
# so that a change which breaks one fails here), and runs every test.
set -eu
cd "$(dirname "$0")/.."
./tools/install-deps.sh
BUILD=${KELVOX_BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOX_WERROR=ON -DKELVOX_BENCH=ON
cmake --build "$BUILD" -j"$(nproc)"
cd "$BUILD"
ctest --output-on-failure --no-label-summary -j"$(nproc)"
