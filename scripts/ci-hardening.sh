#!/usr/bin/env bash
# What CI runs for hardening, from a clean clone:
#  1. every target (core, client, tools, tests) built with AddressSanitizer and
#     UndefinedBehaviorSanitizer under the default compiler, and the whole test
#     suite run with leak detection on;
#  2. the libFuzzer targets built with clang and run for a bounded time each
#     over copies of their seed corpora; any crash fails the job.
# Usage: scripts/ci-hardening.sh [SECONDS_PER_FUZZ_TARGET]   (default 20)
# Takes about 7.5 minutes on two cores (20 s per fuzz target), most of it compiling.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
fuzz_seconds="${1:-20}"

echo "== sanitizer build and test suite"
# The asan preset builds at -O1 as the sanitizers recommend: most of this job is
# compiling, and -O2 adds to it without finding more.
cmake --preset asan >/dev/null
cmake --build build-sanitize -j2
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j2
echo "sanitizer suite passed after $((SECONDS - start))s"

echo "== fuzz targets, ${fuzz_seconds}s each"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
KARST_FUZZ_BUILD=build-fuzz-ci KARST_FUZZ_WORK="$work" scripts/fuzz.sh "$fuzz_seconds"

echo "hardening passed in $((SECONDS - start))s"
