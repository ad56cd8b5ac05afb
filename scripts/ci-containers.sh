#!/usr/bin/env bash
# The container image and the Kubernetes manifest, checked with podman from
# Debian's packages (installed when missing; needs root):
#  1. the build stage's base made from Debian's packages (no registry here), then
#     the image built from this tree with one `podman build`;
#  2. the image run read-only, every capability dropped, as its own unprivileged
#     user, with a named volume for /data: players log on and move over the
#     published TCP and UDP ports on 127.0.0.1; the health check says healthy,
#     unhealthy once the server is stopped inside (SIGSTOP), healthy again after
#     SIGCONT; `podman stop` exits 0 with the players' profiles in the store on
#     the volume; the console on standard input answers `status` and `quit`;
#  3. the pod the single-server StatefulSet makes, played with `podman kube play`:
#     it comes up, players log on and leave, `podman pod stop -t` with the grace
#     period exits 0 with the store saved on the claim's volume.
# Usage: scripts/ci-containers.sh [BUILD_DIR]   (BUILD_DIR has karst_bots; build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
bots="$build/karst_bots"
[ -x "$bots" ] || { echo "ci-containers: $bots is missing; build the tree first" >&2; exit 1; }
start=$SECONDS
fail() { echo "ci-containers: $*" >&2; exit 1; }

missing=()
for tool in podman runc debootstrap; do command -v "$tool" >/dev/null || missing+=("$tool"); done
if [ "${#missing[@]}" -gt 0 ]; then
  apt-get install -y -qq podman runc debootstrap >/dev/null || fail "could not install ${missing[*]}"
fi
work="$(mktemp -d)"
# Podman here must be told the descriptor and process limits it may set.
printf '[containers]\ndefault_ulimits = ["nofile=4096:4096", "nproc=4096:4096"]\n' >"$work/containers.conf"
export CONTAINERS_CONF="$work/containers.conf"
podman() { command podman "$@" 2> >(grep -v -E 'level=(error|warning)|syslog' >&2); }
image=localhost/karst-server:ci
name="karst-ci-$$"
volume="karst-ci-$$"
cleanup() {
  podman rm -f "$name" >/dev/null 2>&1 || true
  podman pod rm -f karst-server-0 >/dev/null 2>&1 || true
  podman volume rm -f "$volume" data-karst-server-0 >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# Waits up to $2 seconds for the logs of container $1 to show $3.
# Checks on a pipe read it to the end (grep >/dev/null, not grep -q): under
# pipefail a writer cut off by an early quit fails the check however it matched.
wait_for_log() {
  for _ in $(seq "$2"); do
    podman logs "$1" 2>&1 | grep -F "$3" >/dev/null && return 0
    sleep 1
  done
  podman logs "$1" >&2 || true
  fail "$1 never printed: $3"
}
# The profile store's record count (docs/files.md: "KPR6", version, count).
profiles_in() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
assert data[:4] == b"KPR6" and len(data) == 12 + 98 * struct.unpack_from("<I", data, 8)[0], "not a whole store"
print(struct.unpack_from("<I", data, 8)[0])
PY
}
play() {  # $1 port, $2 transport, $3 seed: two players in one room move for 2 s
  "$bots" --port "$1" --bots 2 --room-size 2 --duration 2 --transport "$2" --seed "$3" >"$work/bots.txt" 2>&1 ||
    { cat "$work/bots.txt" >&2; fail "players over $2 did not log on and move"; }
}

echo "== the image"
bash scripts/container-build-base.sh
podman build --format docker --build-arg BUILD_IMAGE=localhost/karst-build-base:bookworm \
  -t "$image" . >"$work/build.txt" 2>&1 || { tail -40 "$work/build.txt" >&2; fail "podman build failed"; }
podman image inspect --format '{{.Size}}' "$image" | awk '{ printf "image size: %.1f MB\n", $1 / 1e6 }'

echo "== read-only, no capabilities, unprivileged, on a volume"
port=$(free_port)
podman run -d -i --name "$name" --read-only --cap-drop=all \
  -p "127.0.0.1:$port:27015/tcp" -p "127.0.0.1:$port:27015/udp" -v "$volume:/data" "$image" >/dev/null
wait_for_log "$name" 30 "listening on"
[ "$(podman inspect --format '{{.HostConfig.ReadonlyRootfs}}' "$name")" = true ] || fail "the root is writable"
podman top "$name" user | grep -x 'karst' >/dev/null || fail "the server does not run as the image's user"
play "$port" tcp 1
play "$port" udp 2
podman healthcheck run "$name" >/dev/null || fail "the health check does not say healthy"
podman kill --signal STOP "$name" >/dev/null
unhealthy=0
for _ in $(seq 30); do
  if ! podman healthcheck run "$name" >/dev/null 2>&1; then unhealthy=1; break; fi
  sleep 1
done
[ "$unhealthy" = 1 ] || fail "the health check still says healthy with the server stopped"
podman kill --signal CONT "$name" >/dev/null
healthy=0
for _ in $(seq 20); do
  if podman healthcheck run "$name" >/dev/null 2>&1; then healthy=1; break; fi
  sleep 1
done
[ "$healthy" = 1 ] || fail "the health check does not recover after the server resumes"
podman stop -t 60 "$name" >/dev/null
[ "$(podman inspect --format '{{.State.ExitCode}}' "$name")" = 0 ] || fail "the server did not exit 0 on SIGTERM"
podman logs "$name" 2>&1 | tail -3
data="$(podman volume inspect --format '{{.Mountpoint}}' "$volume")"
[ "$(profiles_in "$data/SAVEDATA/karst-profile-store.bin")" = 4 ] || fail "the store on the volume lacks the players"
podman rm "$name" >/dev/null

echo "== the console on standard input"
printf 'status\nquit\n' | podman run -i --rm --read-only --cap-drop=all -v "$volume:/data" "$image" \
  >"$work/console.txt" 2>&1 || { cat "$work/console.txt" >&2; fail "the server did not stop cleanly on quit"; }
grep -q '^profile store: 4 records' "$work/console.txt" || { cat "$work/console.txt" >&2; fail "status did not answer"; }

echo "== the single-server manifest as podman kube play runs it"
port=$(free_port)
python3 scripts/render-kube-pod.py dist/kubernetes/server.yaml "$image" "$port" "$work/pod.yaml" "$work/configmaps.yaml"
grace=$(python3 -c 'import sys, yaml
print([d for d in yaml.safe_load_all(open(sys.argv[1])) if d["kind"] == "Pod"][0]["spec"]["terminationGracePeriodSeconds"])' \
        "$work/pod.yaml")
podman kube play --configmap "$work/configmaps.yaml" "$work/pod.yaml" >/dev/null
wait_for_log karst-server-0-server 30 "listening on"
podman logs karst-server-0-server 2>&1 | grep -F "Loaded server config /etc/karst/server.ini" >/dev/null ||
  { podman logs karst-server-0-server >&2 || true; fail "the pod did not read server.ini from the ConfigMap"; }
play "$port" tcp 3
podman pod stop -t "$grace" karst-server-0 >/dev/null
[ "$(podman inspect --format '{{.State.ExitCode}}' karst-server-0-server)" = 0 ] || fail "the pod's server did not exit 0"
data="$(podman volume inspect --format '{{.Mountpoint}}' data-karst-server-0)"
[ "$(profiles_in "$data/SAVEDATA/karst-profile-store.bin")" = 2 ] || fail "the claim's volume lacks the players"

echo "ci-containers passed in $((SECONDS - start))s"
