#!/usr/bin/env bash
# Builds with optimisation, runs the micro-benchmarks, then the standard load
# scenarios against a real server: server pinned to core 0, load generators to
# core 1, everything on loopback.
#
# Usage: scripts/bench.sh [SECONDS_PER_SCENARIO] [RUNS] [SECTION...]
#   SECONDS_PER_SCENARIO  movement seconds per measured run (15)
#   RUNS                  runs of each capacity scenario (5)
#   SECTION               micro, capacity, relay, idle, udp, memory, sixty (default: all)
#                         relay: the capacity loads on the bare relay (bench/bare_relay.c)
#                         and on the server by turns, RUNS times each
# Environment: KARST_BENCH_SERVER=path runs another server binary (an older
# build, to compare); KARST_BENCH_LOOP=poll runs the server's poll loop.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-15}
runs=${2:-5}
# The warm-up must be shorter than the measured run.
warmup=$(( seconds > 3 ? 3 : seconds - 1 ))
shift $(( $# > 2 ? 2 : $# )) || true
sections=("$@")
[ ${#sections[@]} -eq 0 ] && sections=(micro capacity relay idle udp memory sixty)
wants() { local s; for s in "${sections[@]}"; do [ "$s" = "$1" ] && return 0; done; return 1; }

build=build-bench
cmake --preset bench >/dev/null
cmake --build "$build" -j2 --target karst_server karst_bots karst_bench karst_bare_relay >/dev/null
server_binary=${KARST_BENCH_SERVER:-$PWD/$build/karst_server}
bots=$PWD/$build/karst_bots
bare_relay=$PWD/$build/bench/karst_bare_relay

pin() { if command -v taskset >/dev/null; then taskset -c "$1" "${@:2}"; else "${@:2}"; fi; }

if wants micro; then
    echo "== micro-benchmarks (core 0)"
    pin 0 "$build/bench/karst_bench" --benchmark_min_time=0.5
fi

work=$(mktemp -d)
port=$((20000 + RANDOM % 20000))
server_pid=""
stop_server() {
    [ -n "$server_pid" ] && kill -INT "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    server_pid=""
}
trap 'stop_server; rm -rf "$work"' EXIT

# A fresh server (fresh stores) with the given extra [server] lines.
start_server() {
    start_program "$server_binary" "$@"
}

# The bare relay takes the server's command line and ignores what it does not know.
start_bare_relay() {
    start_program "$bare_relay"
}

start_program() {  # binary, then extra [server] lines
    stop_server
    rm -rf "$work/SAVEDATA"
    { echo "[server]"; echo "eventloop = ${KARST_BENCH_LOOP:-auto}"; printf '%s\n' "${@:2}"; } >"$work/server.ini"
    (cd "$work" && exec taskset -c 0 "$1" --bind 127.0.0.1 --port "$port" --private \
        --max-clients 10000 --proxies 0 </dev/null >"$work/server.log" 2>&1) &
    server_pid=$!
    sleep 0.5
}

bots_run() {  # karst_bots options; prints the one-line figures
    pin 1 "$bots" --port "$port" --duration "$seconds" --warmup "$warmup" --connect-rate 2000 "$@" 2>/dev/null |
        awk '/relay latency p50/{p50=$4} /relay latency p99/{p99=$4} /relay latency max/{mx=$4}
             /deliveries\/s/{d=$2} /^  delivery /{pct=$2}
             END{printf "delivered %s%%  deliveries/s %s  p50 %s ms  p99 %s ms  max %s ms\n", pct, d, p50, p99, mx}'
}

scenario() {  # label, then karst_bots options
    local label=$1; shift
    printf '%-44s ' "$label"
    bots_run "$@"
    sleep 1
}

# Idle players that stay connected in rooms of their own while `seconds`
# plus setup passes; echoes the holder's pid.
hold_idle() {  # count, seed, first room, extra seconds
    pin 1 "$bots" --port "$port" --bots "$1" --room-size 32 --seed "$2" --first-room "$3" --hold \
        --duration $((seconds + $4)) --connect-rate 4000 --setup-timeout 120 >/dev/null 2>&1 &
    echo $!
}

if wants capacity; then
    start_server
    echo "== capacity, TCP, 30 Hz (server core 0, bots core 1, ${seconds}s each, $runs runs)"
    for run in $(seq "$runs"); do
        scenario "TCP 4096 players, rooms of 16 (run $run)" --bots 4096 --room-size 16 --hz 30
    done
    for run in $(seq "$runs"); do
        scenario "TCP 2048 players, rooms of 32 (run $run)" --bots 2048 --room-size 32 --hz 30
    done
fi

# Processor time of the relay process (user and system) over a window, in
# hundredths of a second: the window opens once the players have connected and
# warmed up, and closes a second before they stop.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$server_pid/stat"; }
relay_scenario() {  # label, players, room size
    local window=$(( seconds > 3 ? seconds - 2 : 1 )) line before after cpu
    printf '%-44s ' "$1"
    { sleep $(( $2 / 2000 + warmup + 1 )); cpu_ticks; sleep "$window"; cpu_ticks; } >"$work/cpu" &
    line=$(bots_run --bots "$2" --room-size "$3" --hz 30)
    wait $!
    { read -r before; read -r after; } <"$work/cpu"
    cpu=$(( (after - before) * 100 / ($(getconf CLK_TCK) * window) ))
    awk -v line="$line" -v cpu="$cpu" -v ticks=$((after - before)) -v w="$window" -v hz="$(getconf CLK_TCK)" 'BEGIN {
        split(line, f, "  "); d = f[2]; sub(/deliveries\/s /, "", d)
        printf "%s  cpu %d%%  %.3f us/delivery\n", line, cpu, (d > 0 ? ticks / hz * 1e6 / (d * w) : 0) }'
    sleep 1
}

if wants relay; then
    echo "== the server beside a bare relay, TCP, 30 Hz (same load, by turns, ${seconds}s each, $runs runs)"
    for load in "4096 16" "2048 32"; do
        set -- $load
        for run in $(seq "$runs"); do
            start_bare_relay
            relay_scenario "bare relay: $1 players, rooms of $2 (run $run)" "$1" "$2"
            start_server
            relay_scenario "server:     $1 players, rooms of $2 (run $run)" "$1" "$2"
        done
    done
fi

if wants idle; then
    start_server
    echo "== idle connections next to active players"
    scenario "TCP 256 active alone, rooms of 32" --bots 256 --room-size 32 --hz 30 --seed 11
    holder=$(hold_idle 8192 12 100000 40)
    # Until every idle player has entered (its profile saved), so none of their
    # set-up work falls into the measured run.
    for _ in $(seq 120); do
        [ "$(grep -c 'connected as bot' "$work/server.log")" -ge $((256 + 8192)) ] && break
        sleep 0.5
    done
    sleep 2
    scenario "TCP 256 active + 8192 idle, rooms of 32" --bots 256 --room-size 32 --hz 30 --seed 11
    echo "idle players that entered: $(grep -c 'connected as bot' "$work/server.log") - 512 active sessions"
    kill "$holder" 2>/dev/null || true; wait "$holder" 2>/dev/null || true
fi

if wants udp; then
    start_server
    echo "== UDP"
    scenario "UDP 256 players, rooms of 32, 30Hz" --bots 256 --room-size 32 --hz 30 --transport udp
fi

if wants memory; then
    # Each non-reader is sent about 60 KB/s; past what the kernel's buffers hold
    # (a few MB) it queues on the server, so the run lasts long enough for the
    # queues to reach the budget or their own 2 MiB limit.
    memory_seconds=$((seconds * 8))
    echo "== memory under abuse: 1024 players that never read, in the rooms of 1024 movers (${memory_seconds}s)"
    start_server
    # The non-readers connect first, so they are players 1 to 1024.
    pin 1 "$bots" --port "$port" --bots 1024 --room-size 32 --seed 21 --hold \
        --duration $((memory_seconds + 15)) --connect-rate 4000 >/dev/null 2>&1 &
    holder=$!
    sleep 3
    saved=$seconds; seconds=$memory_seconds
    scenario "TCP 1024 movers, rooms of 32 (+1024 non-readers)" --bots 1024 --room-size 32 --hz 30 --seed 22
    seconds=$saved
    echo "server peak resident: $(awk '/VmHWM/{print $2, $3}' /proc/$server_pid/status) (send budget 256 MiB)"
    echo "non-readers cut off during the run: $(awk '/^player [0-9]+ disconnected/ && $2 <= 1024' "$work/server.log" | wc -l) of 1024"
    kill "$holder" 2>/dev/null || true; wait "$holder" 2>/dev/null || true
fi

if wants sixty; then
    start_server
    echo "== 60 Hz"
    for n in 256 1024; do
        scenario "TCP $n players, rooms of 32, 60Hz" --bots "$n" --room-size 32 --hz 60
    done
fi
