#!/usr/bin/env bash
# Builds with optimisation, runs the micro-benchmarks, then the standard load
# scenarios against a real server: server pinned to core 0, load generator to
# core 1, everything on loopback. Usage: scripts/bench.sh [seconds-per-scenario]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-15}
build=build-bench
cmake --preset bench >/dev/null
cmake --build "$build" -j2 --target karst_server karst_bots karst_bench >/dev/null

pin() { if command -v taskset >/dev/null; then taskset -c "$1" "${@:2}"; else "${@:2}"; fi; }

echo "== micro-benchmarks (core 0)"
pin 0 "$build/bench/karst_bench" --benchmark_min_time=0.5

work=$(mktemp -d)
port=$((20000 + RANDOM % 20000))
server_pid=""
stop_server() { [ -n "$server_pid" ] && kill -INT "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null; server_pid=""; }
trap 'stop_server; rm -rf "$work"' EXIT
(cd "$work" && exec taskset -c 0 "$OLDPWD/$build/karst_server" --bind 127.0.0.1 --port "$port" --private \
    >"$work/server.log" 2>&1) &
server_pid=$!
sleep 0.5

scenario() {  # label, then karst_bots options
    local label=$1; shift
    printf '%-34s ' "$label"
    pin 1 "$build/karst_bots" --port "$port" --duration "$seconds" --warmup 3 --connect-rate 2000 "$@" \
        2>/dev/null | awk '/relay latency p50/{p50=$4} /relay latency p99/{p99=$4} /relay latency max/{mx=$4}
                           /deliveries\/s/{d=$2} /^  delivery /{pct=$2}
                           END{printf "delivered %s%%  deliveries/s %s  p50 %s ms  p99 %s ms  max %s ms\n", pct, d, p50, p99, mx}'
    sleep 1
}

echo "== load scenarios (server on core 0, bots on core 1, ${seconds}s each)"
scenario "TCP 1024 players, rooms of 32, 30Hz" --bots 1024 --room-size 32 --hz 30
scenario "TCP 2048 players, rooms of 32, 30Hz" --bots 2048 --room-size 32 --hz 30
scenario "UDP 192 players, rooms of 32, 30Hz" --bots 192 --room-size 32 --hz 30 --transport udp
for n in 256 512 768 1024; do
    scenario "TCP $n players, rooms of 32, 60Hz" --bots "$n" --room-size 32 --hz 60
done

echo "== memory"
pin 1 "$build/karst_bots" --port "$port" --bots 2048 --room-size 32 --hz 1 --duration 6 --warmup 1 \
    --connect-rate 4000 >/dev/null 2>&1 &
bots_pid=$!
sleep 4
echo "server resident with 2048 idle players: $(awk '/VmRSS/{print $2, $3}' /proc/$server_pid/status)"
wait "$bots_pid" || true
echo "server peak resident over the whole run: $(awk '/VmHWM/{print $2, $3}' /proc/$server_pid/status)"
