#!/usr/bin/env bash
# Installs the dependencies, builds, and runs the whole suite: once plain, once under
# AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzz target for a short, bounded time.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# ctest's closing line, e.g. "100% tests passed, 0 tests failed out of 35": adds its counts.
passed=0
failed=0
count() {
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$1" | tail -n 1)
    local f=${line#*passed, }
    f=${f%% tests failed*}
    local total=${line##*out of }
    passed=$((passed + total - f))
    failed=$((failed + f))
}

scripts/install-deps.sh

echo "== plain build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure --no-tests=error -j "$jobs" | tee "$logs/plain"
count "$logs/plain"

echo "== sanitizer build and tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUARNEL_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure --no-tests=error -j "$jobs" | tee "$logs/asan"
count "$logs/asan"

echo "== fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARNEL_FUZZ=ON \
    >/dev/null
cmake --build build-fuzz -j "$jobs"
scripts/run-fuzzers.sh build-fuzz "${FUZZ_SECONDS:-15}"
echo "suite: $passed passed, $failed failed"
