#!/bin/sh
# Builds the Release programs and runs a standard soak: 200 players for 60 s
# against a karst_server that karst_soak starts, pins and checks itself.
# Extra arguments go to karst_soak (for example --duration 120 --seed 9).
# Exit code: karst_soak's (0 every check passed, 1 a check failed, 2 no run).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-release"

(cd "$root" && cmake --preset release >/dev/null)
cmake --build "$build" --target karst_server karst_soak -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

exec "$build/karst_soak" --server "$build/karst_server" --players 200 --duration 60 "$@"
