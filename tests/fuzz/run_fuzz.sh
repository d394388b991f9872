#!/bin/sh
# Builds the fuzz targets in BUILD_DIR and runs each for SECONDS (default
# $KELVOX_FUZZ_SECONDS, else 30 s under CI (CI set) and 5 s elsewhere, so a
# local test run stays short) from its seed corpus. New inputs the fuzzer
# finds go to BUILD_DIR/corpus/, crash inputs to BUILD_DIR/artifacts/.
# Usage: run_fuzz.sh SOURCE_DIR BUILD_DIR [SECONDS] [TARGET...]
set -eu
SRC=$1
BUILD=$2
if [ -n "${CI:-}" ]; then DEFAULT_SECONDS=30; else DEFAULT_SECONDS=5; fi
SECONDS_EACH=${3:-${KELVOX_FUZZ_SECONDS:-$DEFAULT_SECONDS}}
shift 2
[ $# -gt 0 ] && shift

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$SRC" -B "$BUILD" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOX_FUZZ=ON -DKELVOX_TESTS=OFF >/dev/null
# KELVOX_FUZZ_JOBS limits the build jobs (default: one per core).
cmake --build "$BUILD" --target fuzz -j"${KELVOX_FUZZ_JOBS:-$(nproc)}"

TARGETS=${*:-$(cd "$SRC/tests/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//')}
mkdir -p "$BUILD/artifacts"
export LSAN_OPTIONS="suppressions=$SRC/tests/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
failed=""
for t in $TARGETS; do
  mkdir -p "$BUILD/corpus/$t"
  echo "== $t: ${SECONDS_EACH}s"
  # -print_final_stats gives the executions per second; the last status line
  # gives the coverage (cov: edges, ft: features).
  if ! "$BUILD/tests/fuzz/$t" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$t-" \
      "$BUILD/corpus/$t" "$SRC/tests/fuzz/corpus/$t" >"$BUILD/$t.log" 2>&1; then
    failed="$failed $t"
    tail -n 60 "$BUILD/$t.log"
  fi
  grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE)' "$BUILD/$t.log" | tail -n 1 || true
  grep -E 'stat::(number_of_executed_units|average_exec_per_sec)' "$BUILD/$t.log" || true
done
if [ -n "$failed" ]; then
  echo "fuzz targets that failed:$failed (inputs in $BUILD/artifacts/)"
  exit 1
fi
