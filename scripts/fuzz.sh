#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time over
# a working copy of its seed corpus (the repository's corpus is never written).
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#   SECONDS_PER_TARGET  default 60
#   TARGET              default: every target under fuzz/
# Environment:
#   KARST_FUZZ_BUILD  build directory (default build-fuzz)
#   KARST_FUZZ_WORK   working corpora and crash inputs (default $KARST_FUZZ_BUILD/work);
#                     kept between runs, so a later run starts from what an earlier found
#   CXX               clang compiler (default clang++-14)
# Exits non-zero if any target crashes, leaks, times out or breaks an invariant;
# the failing input is left in $KARST_FUZZ_WORK/artifacts/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_tcp_stream fuzz_udp_datagram fuzz_config_file fuzz_profile_store fuzz_pibo_store
           fuzz_operator_input)
fi
build="${KARST_FUZZ_BUILD:-build-fuzz}"
work="${KARST_FUZZ_WORK:-$build/work}"

cmake --preset fuzz -B "$build" -DCMAKE_CXX_COMPILER="${CXX:-clang++-14}" >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

failed=()
for target in "${targets[@]}"; do
  corpus="$work/corpus/$target"
  artifacts="$work/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  cp -n fuzz/corpus/"$target"/* "$corpus"/
  log="$work/$target.log"
  echo "== $target: ${seconds}s"
  # close_fd_mask=3: the server's console lines would swamp the log; libFuzzer
  # and the sanitizers keep their own copy of standard error for reports.
  if "$build/fuzz/$target" "$corpus" -max_total_time="$seconds" -rss_limit_mb=2048 \
      -timeout=10 -max_len=16384 -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" >"$log" 2>&1; then
    grep -E '^Done [0-9]+ runs' "$log" || tail -n 3 "$log"
    grep -E '^stat::(average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" | tr '\n' ' '
    echo
  else
    echo "!! $target failed; last lines of $log:"
    tail -n 40 "$log"
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "Fuzz targets failed: ${failed[*]} (inputs in $work/artifacts/)"
  exit 1
fi
echo "All fuzz targets ran ${seconds}s each without a failure."
