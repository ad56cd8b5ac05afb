#!/usr/bin/env bash
# Fault injection for the test suite: applies each single-line fault of a list,
# one at a time, to a scratch copy of the working tree, rebuilds it
# incrementally, runs the suite and reports which faults the suite caught.
# The real tree is never written.
#
# Usage: scripts/mutate.sh [-l LIST] [-k] [NAME...]
#   -l LIST  fault list (default scripts/mutations.txt)
#   -k       keep the scratch copy (its path is printed)
#   NAME     run only the faults with these names
# Environment:
#   KARST_MUTATE_DIR      scratch directory (default: a new one under /tmp)
#   KARST_MUTATE_TIMEOUT  seconds one suite run may take (default 300)
#   KARST_MUTATE_CMAKE    extra configure options, e.g. -DKARST_POSTGRESQL=ON for
#                         scripts/mutations-database.txt (the shared store's faults)
#
# A list line is "name @@ file @@ pattern @@ replacement": the pattern is plain
# text (no regular expression) within one line that must occur exactly once in
# the file, or, with "file#N", whose Nth occurrence is replaced. Blank lines and
# lines starting with "#" are skipped. A fault is caught
# when the suite fails, missed when it passes; one that does not build, or whose
# pattern is not found once, is reported as such and left out of the score.
# Exits non-zero when any fault is missed, or no longer applies or builds.
set -euo pipefail
cd "$(dirname "$0")/.."

list=scripts/mutations.txt
keep=0
while getopts "l:k" option; do
  case "$option" in
    l) list="$OPTARG" ;;
    k) keep=1 ;;
    *) sed -n '8,12p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
only=" $* "
timeout_seconds="${KARST_MUTATE_TIMEOUT:-300}"

scratch="${KARST_MUTATE_DIR:-$(mktemp -d /tmp/karst-mutate-XXXXXX)}"
tree="$scratch/tree"
build="$scratch/build"
log="$scratch/log"
cleanup() { if [ "$keep" = 0 ]; then rm -rf "$scratch"; else echo "scratch kept in $scratch"; fi; }
trap cleanup EXIT
mkdir -p "$tree" "$log"

# The working tree as it stands, uncommitted changes included.
tar -cf - --exclude='./build*' --exclude=./.git . | tar -xf - -C "$tree"
# shellcheck disable=SC2086  # the extra options are words
cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${KARST_MUTATE_CMAKE:-} >"$log/configure.txt"
echo "== building the unchanged copy"
cmake --build "$build" -j2 --target karst_tests >"$log/build.txt" 2>&1
run_suite() {
  timeout "$timeout_seconds" ctest --test-dir "$build" -j2 --timeout 60 --stop-on-failure \
    >"$1" 2>&1 </dev/null
}
if ! run_suite "$log/baseline.txt"; then
  echo "the suite fails without any fault; see $log/baseline.txt" >&2
  exit 1
fi

# Replaces PATTERN in FILE (occurrence N, or the only one); exit 3 when it is not there.
apply_fault() {
  python3 - "$1" "$2" "$3" "$4" <<'PY'
import sys
path, occurrence, pattern, replacement = sys.argv[1:5]
text = open(path, encoding="utf-8").read()
count = text.count(pattern)
n = int(occurrence) if occurrence else 1
if "\n" in pattern or count == 0 or (not occurrence and count != 1) or n > count:
    sys.exit(3)
at = -1
for _ in range(n):
    at = text.index(pattern, at + 1)
open(path, "w", encoding="utf-8").write(text[:at] + replacement + text[at + len(pattern):])
PY
}

caught=0
missed=0
rows=()
missed_names=()
stale_names=()
while IFS= read -r line <&3 || [ -n "$line" ]; do
  case "$line" in '' | '#'*) continue ;; esac
  [[ "$line" == *' @@' ]] && line+=' '  # an empty replacement deletes the pattern
  name="${line%% @@ *}"; rest="${line#* @@ }"
  file="${rest%% @@ *}"; rest="${rest#* @@ }"
  pattern="${rest%% @@ *}"; replacement="${rest#* @@ }"
  if [ "$only" != "  " ] && [[ "$only" != *" $name "* ]]; then continue; fi
  occurrence=
  if [[ "$file" == *'#'* ]]; then occurrence="${file##*#}"; file="${file%#*}"; fi
  cp "$tree/$file" "$scratch/original"
  status=
  detail=
  if ! apply_fault "$tree/$file" "$occurrence" "$pattern" "$replacement"; then
    status="not applied"
    detail="pattern not found exactly once"
    stale_names+=("$name")
  elif ! cmake --build "$build" -j2 --target karst_tests >"$log/$name.build.txt" 2>&1 </dev/null; then
    status="no build"
    stale_names+=("$name")
  elif run_suite "$log/$name.txt"; then
    status=missed
    missed=$((missed + 1))
    missed_names+=("$name")
  else
    status=caught
    caught=$((caught + 1))
    detail="$(sed -n '/tests FAILED:/{n;p;q}' "$log/$name.txt" | sed 's/^[[:space:]]*[0-9]* - //')"
    [ -n "$detail" ] || detail="suite timed out"
  fi
  # A fresh time stamp, so the next build compiles the file again.
  cp "$scratch/original" "$tree/$file"
  rows+=("$(printf '%-34s %-12s %s' "$name" "$status" "$detail")")
  echo "${rows[-1]}"
done 3<"$list"

echo
printf '%-34s %-12s %s\n' "FAULT" "RESULT" "FIRST FAILING TEST"
printf '%s\n' "${rows[@]}"
total=$((caught + missed))
if [ "$total" -gt 0 ]; then
  echo "caught $caught of $total ($((100 * caught / total)) %)"
fi
# A fault that no longer applies would otherwise vanish from the score unseen.
if [ "${#stale_names[@]}" -gt 0 ]; then
  echo "not applied or not built (update their patterns): ${stale_names[*]}"
fi
if [ "$missed" -gt 0 ]; then
  echo "missed: ${missed_names[*]}"
  exit 1
fi
[ "${#stale_names[@]}" -eq 0 ]
