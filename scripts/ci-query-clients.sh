#!/usr/bin/env bash
# Third-party query clients against the built server: Debian's qstat and npm's
# gamedig must read the name, the map and the player count of a server with
# players on it, all over 127.0.0.1. Installs qstat (and node with npm) where
# missing and gamedig into a temporary prefix. Usage: ci-query-clients.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
fail() { echo "ci-query-clients: $*" >&2; exit 1; }
[ -x "$build/karst_server" ] && [ -x "$build/karst_bots" ] || fail "build $build first (karst_server, karst_bots)"

missing=()
command -v quakestat >/dev/null || missing+=(qstat)
[ -x /usr/bin/npm ] || missing+=(nodejs npm)
[ -x /usr/bin/python3 ] || missing+=(python3)
if [ "${#missing[@]}" -gt 0 ]; then
  echo "== installing ${missing[*]}"
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== installing gamedig into a temporary prefix"
/usr/bin/npm install --prefix "$work/npm" --no-audit --no-fund --loglevel=error gamedig >/dev/null
gamedig=("/usr/bin/node" "$work/npm/node_modules/gamedig/bin/gamedig.js")

# Two loopback ports free now: the game's (TCP and UDP) and the query's (UDP).
read -r game query < <(/usr/bin/python3 - <<'PY'
import socket
def free():
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as t:
            t.bind(("127.0.0.1", 0))
            port = t.getsockname()[1]
            try:
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                    u.bind(("127.0.0.1", port))
                return port
            except OSError:
                pass
a = free()
b = free()
while b == a:
    b = free()
print(a, b)
PY
)

name="CI Query Check"
mkdir -p "$work/SAVEDATA"
cat >"$work/server.ini" <<INI
[server]
bind = 127.0.0.1
port = $game
name = $name
proxies = 2
[files]
completedsave = $work/SAVEDATA/CometTrail01.snc
pibostore = $work/SAVEDATA/pibo.bin
profilestore = $work/SAVEDATA/profiles.bin
metrics = $work/SAVEDATA/metrics.json
bans =
[master]
listed = off
[query]
port = $query
INI

echo "== server on 127.0.0.1:$game, queries on UDP $query"
"$build/karst_server" --config "$work/server.ini" </dev/null >"$work/server.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  grep -q "Answering server queries (A2S) on UDP port $query" "$work/server.log" && break
  sleep 0.1
done
grep -q "Answering server queries" "$work/server.log" || { cat "$work/server.log"; fail "the server did not start"; }

# The count includes the proxies, which clients list as bots.
players=3
proxies=2
"$build/karst_bots" --port "$game" --bots "$players" --level 26 --act 1 --hold --duration 120 \
  >"$work/bots.log" 2>&1 &
pids+=($!)

field() { /usr/bin/python3 -c 'import json,sys; d=json.load(sys.stdin); print(d.get(sys.argv[1], ""))' "$1"; }
gamedig_json=""
for _ in $(seq 60); do
  gamedig_json=$("${gamedig[@]}" --type protocol-valve --givenPortOnly "127.0.0.1:$query" || true)
  [ "$(field numplayers <<<"$gamedig_json" 2>/dev/null)" = "$((players + proxies))" ] && break
  sleep 1
done
echo "gamedig: $gamedig_json"
[ "$(field name <<<"$gamedig_json")" = "$name" ] || fail "gamedig did not read the name"
[ "$(field map <<<"$gamedig_json")" = "level26" ] || fail "gamedig did not read the map"
[ "$(field numplayers <<<"$gamedig_json")" = "$((players + proxies))" ] || fail "gamedig did not read the player count"
listed=$(/usr/bin/python3 -c 'import json,sys; d=json.load(sys.stdin); print(len(d["players"]), len(d["bots"]))' <<<"$gamedig_json")
[ "$listed" = "$players $proxies" ] || fail "gamedig listed $listed players and bots, not $players $proxies"

qstat_xml=$(quakestat -a2s "127.0.0.1:$query" -P -xml)
echo "$qstat_xml"
grep -q "<name>$name</name>" <<<"$qstat_xml" || fail "qstat did not read the name"
grep -q "<map>level26</map>" <<<"$qstat_xml" || fail "qstat did not read the map"
grep -q "<numplayers>$((players + proxies))</numplayers>" <<<"$qstat_xml" || fail "qstat did not read the player count"
[ "$(grep -c '<player>' <<<"$qstat_xml")" = "$((players + proxies))" ] || fail "qstat did not list every player"
for n in 0 1 2; do grep -q "<name>bot$n</name>" <<<"$qstat_xml" || fail "qstat did not list bot$n"; done
echo "ci-query-clients: qstat and gamedig read the server"
