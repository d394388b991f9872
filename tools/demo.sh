#!/bin/sh
# Builds kelvox and starts it with a demo home directory.
set -eu
cd "$(dirname "$0")/.."
./tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
mkdir -p build/demo-home
KELVOX_HOME="$PWD/build/demo-home" exec ./build/kelvox "$@"
