#!/usr/bin/env bash
# Robustness checks beyond the unit tests. The multi-process stress test, the
# crash test, the I/O fault injection and the secrets test are ordinary CTest
# tests (robust_*), run by scripts/test in both builds; this script adds:
#   1. the store-file fuzzer (clang, libFuzzer + ASan + UBSan) for a fixed time;
#   2. valgrind memcheck over the unit test executables of a normal build.
#
#   .ci/robustness.sh [normal-build-dir]
# normal-build-dir: a configured and built normal (non-sanitizer) build with
# tests; by default build-test (left by scripts/test), else build-robust is built.
# Environment: KEL_SAFE_FUZZ_SECONDS (default 60), KEL_SAFE_FUZZ_DIR (default
# build-fuzz), KEL_SAFE_SKIP_VALGRIND=1, KEL_SAFE_SKIP_FUZZ=1.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

if [ "${KEL_SAFE_SKIP_FUZZ:-0}" != 1 ]; then
  fuzz_dir=${KEL_SAFE_FUZZ_DIR:-build-fuzz}
  echo "== store-file fuzzer (${KEL_SAFE_FUZZ_SECONDS:-60} s) in $fuzz_dir"
  CC=clang CXX=clang++ cmake -S . -B "$fuzz_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKEL_SAFE_BUILD_FUZZ=ON -DKEL_SAFE_BUILD_TESTS=OFF -DKEL_SAFE_BUILD_TOOL=OFF \
    -DKEL_SAFE_SANITIZE=ON -DKEL_SAFE_FUZZ_SHORT_SECONDS="${KEL_SAFE_FUZZ_SECONDS:-60}" >/dev/null
  cmake --build "$fuzz_dir" -j"$jobs" --target kel-safe-fuzz-store kel-safe-fuzz-seeds
  # A finding fails the run; its input is printed in hex so that it can be
  # replayed from the log alone (kel-safe-fuzz-store FILE).
  if ! cmake --build "$fuzz_dir" --target fuzz-short; then
    echo "== FUZZER FINDING; crashing inputs in hex:"
    for f in "$fuzz_dir"/tests/fuzz/artifacts/*; do
      [ -f "$f" ] && { echo "$f"; od -An -tx1 -v "$f" | tr -d ' \n'; echo; }
    done
    exit 1
  fi
fi

if [ "${KEL_SAFE_SKIP_VALGRIND:-0}" != 1 ]; then
  build=${1:-}
  if [ -z "$build" ] && [ -f build-test/CTestTestfile.cmake ]; then
    build=build-test  # left by scripts/test
  fi
  if [ -z "$build" ]; then
    build=build-robust
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_SAFE_BUILD_TESTS=ON \
      -DKEL_SAFE_BUILD_TOOL=OFF >/dev/null
    cmake --build "$build" -j"$jobs"
  fi
  echo "== valgrind memcheck over the unit tests of $build"
  cmake --build "$build" --target valgrind
fi
echo "== robustness checks passed"
