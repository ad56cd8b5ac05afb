#!/usr/bin/env bash
# The remote console against third-party clients: Debian's python3-rcon
# (rcon.source.Client) and the npm packages rcon-client and rcon-srcds, each
# installed here where missing (the npm ones into a temporary prefix). The built
# karst_server runs in a temporary folder with RCON on 127.0.0.1; each client
# logs in, runs `status` and `list`, checks the replies, and sees a wrong
# password refused. Usage: scripts/ci-rcon-clients.sh [BUILD_DIR] (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
server_binary="$PWD/$build/karst_server"
[ -x "$server_binary" ] || { echo "ci-rcon-clients: $server_binary is not built" >&2; exit 1; }
# Debian's packages live under the system interpreter, not a pyenv one on PATH.
python=/usr/bin/python3

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
missing=()
"$python" -c 'import rcon.source' 2>/dev/null || missing+=(python3-rcon)
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== installing rcon-client and rcon-srcds into $work/npm"
npm install --prefix "$work/npm" --no-audit --no-fund --silent rcon-client rcon-srcds >/dev/null

password="ci-rcon-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
printf '%s\n' "$password" >"$work/rcon-password"
chmod 600 "$work/rcon-password"
port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/server.ini" <<INI
[server]
bind = 127.0.0.1
port = 0
[master]
listed = off
[rcon]
port = $port
passwordfile = rcon-password
INI

echo "== karst_server with RCON on 127.0.0.1:$port"
(cd "$work" && exec "$server_binary" --config server.ini </dev/null >"$work/server.log" 2>&1) &
server_pid=$!
for _ in $(seq 100); do
  grep -q "RCON listening on 127.0.0.1:$port" "$work/server.log" && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.log"; exit 1; }
  sleep 0.1
done
grep -q "RCON listening" "$work/server.log" || { cat "$work/server.log"; exit 1; }

# Each client prints its `status` reply, then its `list` reply, and exits non-zero
# when a wrong password is not refused.
echo "== python3-rcon"
"$python" - "$port" "$password" >"$work/python.out" <<'PY'
import sys
from rcon.source import Client
from rcon.exceptions import WrongPassword
port, password = int(sys.argv[1]), sys.argv[2]
with Client("127.0.0.1", port, passwd=password, timeout=5) as client:
    print(client.run("status"), end="")
    print(client.run("list"), end="")
try:
    with Client("127.0.0.1", port, passwd=password + "x", timeout=5) as client:
        sys.exit("python3-rcon: a wrong password logged in")
except WrongPassword:
    pass
PY

echo "== rcon-client"
NODE_PATH="$work/npm/node_modules" node - "$port" "$password" >"$work/rcon-client.out" <<'JS'
const { Rcon } = require("rcon-client");
const [port, password] = [Number(process.argv[2]), process.argv[3]];
(async () => {
  const rcon = await Rcon.connect({ host: "127.0.0.1", port, password, timeout: 5000 });
  process.stdout.write(await rcon.send("status"));
  process.stdout.write(await rcon.send("list"));
  await rcon.end();
  try {
    const wrong = await Rcon.connect({ host: "127.0.0.1", port, password: password + "x", timeout: 5000 });
    await wrong.end();
  } catch (e) {
    return;
  }
  throw new Error("rcon-client: a wrong password logged in");
})().catch((e) => { console.error(e); process.exit(1); });
JS

echo "== rcon-srcds"
NODE_PATH="$work/npm/node_modules" node - "$port" "$password" >"$work/rcon-srcds.out" <<'JS'
const Rcon = require("rcon-srcds").default;
const [port, password] = [Number(process.argv[2]), process.argv[3]];
(async () => {
  const server = new Rcon({ host: "127.0.0.1", port, timeout: 5000 });
  await server.authenticate(password);
  process.stdout.write(await server.execute("status"));
  process.stdout.write(await server.execute("list"));
  await server.disconnect();
  const wrong = new Rcon({ host: "127.0.0.1", port, timeout: 5000 });
  let refused = false;
  try { await wrong.authenticate(password + "x"); } catch (e) { refused = true; }
  if (!refused) throw new Error("rcon-srcds: a wrong password logged in");
})().catch((e) => { console.error(e); process.exit(1); });
JS

for client in python rcon-client rcon-srcds; do
  out="$work/$client.out"
  grep -qx 'name: KARST Server' "$out" || { echo "ci-rcon-clients: $client: no status reply" >&2; cat "$out"; exit 1; }
  grep -qx "address: 127.0.0.1 tcp [0-9]* udp [0-9]*" "$out" || { echo "ci-rcon-clients: $client: status lacks the address" >&2; exit 1; }
  grep -qx '0 connections' "$out" || { echo "ci-rcon-clients: $client: no list reply" >&2; cat "$out"; exit 1; }
done
for command in status list; do
  [ "$(grep -c "^rcon 127.0.0.1:[0-9]*: $command\$" "$work/server.log")" -eq 3 ] || {
    echo "ci-rcon-clients: the console did not record each client's $command" >&2; cat "$work/server.log"; exit 1; }
done
if grep -qF "$password" "$work/server.log"; then
  echo "ci-rcon-clients: the password appeared on the console" >&2; exit 1
fi

kill -TERM "$server_pid"
wait "$server_pid" || { echo "ci-rcon-clients: the server did not stop cleanly" >&2; exit 1; }
server_pid=
echo "RCON clients passed"
