#!/usr/bin/env bash
# The database backend measured against the store files, same build, same run:
# Hello-to-Welcome latency at a steady rate of log-ons (each followed by its
# log-off), then movement relay at 1,024 players. A throwaway PostgreSQL cluster
# on a Unix socket plays the fleet's database; everything stays on this machine.
#
# With KARST_BENCH_BASELINE=REV (a commit), the server of that commit is built
# too and measured on the database in the same run, row by row after this
# tree's: what a change to the database backend costs, on the same machine at
# the same moment. The load tools are this tree's in both rows.
#
# Usage: scripts/bench-fleet.sh [SECONDS] [LOGONS_PER_SECOND]   (15, 500)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-15}
rate=${2:-500}
baseline=${KARST_BENCH_BASELINE:-}

build=build-bench-pg
cmake --preset bench -B "$build" -DKARST_POSTGRESQL=ON >/dev/null
cmake --build "$build" -j2 --target karst_server karst_bots karst_logon_bench >/dev/null
server_binary=$PWD/$build/karst_server
baseline_binary=""
if [ -n "$baseline" ]; then
    baseline_tree=$PWD/build-bench-baseline
    rm -rf "$baseline_tree"
    git worktree prune
    git worktree add -q --detach "$baseline_tree" "$baseline"
    (cd "$baseline_tree" && cmake --preset bench -B build -DKARST_POSTGRESQL=ON >/dev/null &&
        cmake --build build -j2 --target karst_server >/dev/null)
    baseline_binary=$baseline_tree/build/karst_server
fi
pin() { if command -v taskset >/dev/null; then taskset -c "$1" "${@:2}"; else "${@:2}"; fi; }

work=$(mktemp -d)
chmod 755 "$work"
as_owner=()
if [ "$(id -u)" = 0 ]; then as_owner=(runuser -u postgres --); chown postgres "$work"; fi
pgbin=$(dirname "$(command -v initdb 2>/dev/null || ls /usr/lib/postgresql/*/bin/initdb | tail -n 1)")
pgport=$((20000 + RANDOM % 20000))
port=$((pgport + 1))
server_pid=""
stop_server() {
    [ -n "$server_pid" ] && kill -INT "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    server_pid=""
}
cleanup() {
    stop_server
    if [ -n "$baseline" ]; then git worktree remove --force "$PWD/build-bench-baseline" 2>/dev/null || true; fi
    "${as_owner[@]}" "$pgbin/pg_ctl" -D "$work/pg" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

"${as_owner[@]}" "$pgbin/initdb" -D "$work/pg" -A trust -U karst >/dev/null
"${as_owner[@]}" "$pgbin/pg_ctl" -D "$work/pg" -l "$work/pg.log" -w start \
    -o "-c listen_addresses='' -c unix_socket_directories=$work -p $pgport" >/dev/null
createdb=$(command -v createdb || ls /usr/lib/postgresql/*/bin/createdb | tail -n 1)
for database in current baseline; do
    "${as_owner[@]}" "$createdb" -h "$work" -p "$pgport" -U karst "$database"
done
# The baseline's server gets a database of its own: this tree's may have moved
# the schema on, and an older server rightly refuses a newer schema.
url_of() { echo "host=$work port=$pgport user=karst dbname=$1"; }

start_server() {  # backend database [binary]
    stop_server
    rm -rf "$work/SAVEDATA"
    printf '[store]\nbackend = %s\nurl = %s\n' "$1" "$(url_of "$2")" >"$work/server.ini"
    (cd "$work" && exec taskset -c 0 "${3:-$server_binary}" --bind 127.0.0.1 --port "$port" --private \
        --max-clients 10000 --proxies 0 </dev/null >"$work/server.log" 2>&1) &
    server_pid=$!
    sleep 1
}

# CPU seconds the database's processes have used so far, for what one database
# can carry: its share of a core at this rate of log-ons.
pg_cpu() {
    local ticks=0 pid
    for pid in $(pgrep -f "$work/pg" || true) $(pgrep -P "$(pgrep -o -f "$work/pg" || echo 0)" || true); do
        [ -r "/proc/$pid/stat" ] || continue
        ticks=$((ticks + $(awk '{print $14 + $15}' "/proc/$pid/stat")))
    done
    echo "$ticks"
}

# Rows: "backend" for this tree, "backend@baseline" for the baseline's server.
# The database rows come first and side by side: the files row leaves the disk
# busy with its flushes, which would slow the commits of whichever row followed.
rows=(postgresql)
[ -n "$baseline_binary" ] && rows+=(postgresql@baseline)
rows+=(files)
binary_of() { if [ "${1#*@}" = baseline ]; then echo "$baseline_binary"; else echo "$server_binary"; fi; }
database_of() { if [ "${1#*@}" = baseline ]; then echo baseline; else echo current; fi; }

for row in "${rows[@]}"; do
    backend=${row%@*}
    start_server "$backend" "$(database_of "$row")" "$(binary_of "$row")"
    before=$(pg_cpu)
    printf '%-20s log-ons: ' "$row"
    pin 1 "$build/bench/karst_logon_bench" --port "$port" --rate "$rate" --seconds "$seconds" || true
    if [ "$backend" = postgresql ]; then
        awk -v t=$(( $(pg_cpu) - before )) -v hz="$(getconf CLK_TCK)" -v s="$seconds" \
            'BEGIN{printf "                     database CPU: %.1f%% of one core\n", 100 * t / hz / s}'
    fi
done
for row in "${rows[@]}"; do
    backend=${row%@*}
    start_server "$backend" "$(database_of "$row")" "$(binary_of "$row")"
    printf '%-20s relay, 1024 players, rooms of 16, 30 Hz: ' "$row"
    pin 1 "$build/karst_bots" --port "$port" --bots 1024 --room-size 16 --hz 30 --duration "$seconds" \
        --warmup 3 --connect-rate 500 2>/dev/null |
        awk '/relay latency p50/{p50=$4} /relay latency p99/{p99=$4} /^  delivery /{pct=$2}
             END{printf "delivered %s%%  p50 %s ms  p99 %s ms\n", pct, p50, p99}'
done
