#!/usr/bin/env bash
# What CI checks beyond the README's build, from a clean clone:
#  1. the dev preset (Debug) and the release preset (-O3) built with the tests
#     and run, so faults that only one optimisation level shows are caught;
#  2. `cmake --install` of the release build into a temporary prefix;
#  3. the .tar.gz and .deb that cpack makes, and their contents;
#  4. lintian on the .deb: no errors (warnings are printed, not fatal);
#  5. the systemd units, through `systemd-analyze verify` where it is installed.
# Warnings are errors when KARST_WERROR=ON is in the environment (.ci/run sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() { echo "ci-builds: $*" >&2; exit 1; }

echo "== a user's build leaves warnings as warnings"
env -u KARST_WERROR cmake -S . -B "$work/user" -DKARST_BUILD_TESTS=OFF >/dev/null
grep -q '^KARST_WERROR:BOOL=OFF$' "$work/user/CMakeCache.txt" || fail "KARST_WERROR is not off by default"

echo "== dev preset (Debug) with the tests"
cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev
echo "dev suite passed after $((SECONDS - start))s"

echo "== release preset (-O3) with the tests"
cmake --preset release -DKARST_BUILD_TESTS=ON >/dev/null
cmake --build --preset release
ctest --test-dir build-release --output-on-failure -j2
echo "release suite passed after $((SECONDS - start))s"

echo "== cmake --install into a temporary prefix"
cmake --install build-release --prefix "$work/prefix" >/dev/null
(cd "$work/prefix" && find . -type f | sort) | tee "$work/installed.txt"
expected=(
  ./bin/karst_server ./bin/karst_bots
  ./share/doc/karst-server/README.md ./share/doc/karst-server/docs/files.md
  ./share/doc/karst-server/docs/protocol.md ./share/doc/karst-server/docs/windows.md
  ./share/karst-server/server.ini
  ./lib/systemd/system/karst-server.service ./lib/systemd/system/karst-server-console.socket
)
for f in "${expected[@]}"; do grep -qxF "$f" "$work/installed.txt" || fail "install lacks $f"; done
"$work/prefix/bin/karst_server" --help >/dev/null || fail "the installed server does not run"

echo "== packages"
(cd build-release && cpack >/dev/null)
deb=$(ls build-release/karst-server_*_*.deb)
tgz=$(ls build-release/karst-server-*-Linux.tar.gz)
dpkg-deb -I "$deb" | tee "$work/control.txt"
dpkg-deb -c "$deb" | awk '{print $6}' | tee "$work/deb.txt"
for f in "${expected[@]}"; do
  grep -qxF "./usr/${f#./}" "$work/deb.txt" || fail "the .deb lacks /usr/${f#./}"
done
depends=", $(sed -n 's/^ Depends: //p' "$work/control.txt"),"
for dep in adduser libc6 libstdc++6; do
  [[ "$depends" == *", $dep "* || "$depends" == *", $dep,"* ]] || fail "the .deb does not depend on $dep"
done
for script in postinst prerm postrm; do
  grep -Eq "^ +[0-9]+ bytes, +[0-9]+ lines +\\* +$script " "$work/control.txt" ||
    fail "the .deb lacks an executable $script"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst | grep 'adduser --system' >/dev/null ||
  fail "postinst does not create the system user"
grep -q '^ExecStart=/usr/bin/karst_server$' build-release/dist/karst-server.service ||
  fail "the packaged unit does not start /usr/bin/karst_server"
tar tzf "$tgz" | tee "$work/tgz.txt"
for f in "${expected[@]}"; do
  grep -q "/usr/${f#./}\$" "$work/tgz.txt" || fail "the .tar.gz lacks /usr/${f#./}"
done

echo "== lintian"
if ! command -v lintian >/dev/null; then
  apt-get install -y -qq lintian >/dev/null 2>&1 || fail "lintian is not installed and apt-get could not install it"
fi
status=0
lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1 || status=$?
grep -v 'root privileges' "$work/lintian.txt" || true  # CI runs as root; lintian only warns of it
[ "$status" = 0 ] || fail "lintian reports errors on $deb"
grep -q '^ Section: net$' "$work/control.txt" || fail "the .deb is not in section net"

echo "== systemd units"
if command -v systemd-analyze >/dev/null; then
  # verify wants the program named by ExecStart to exist: point it at the build.
  mkdir "$work/units"
  sed "s|^ExecStart=.*|ExecStart=$PWD/build-release/karst_server|" \
    build-release/dist/karst-server.service >"$work/units/karst-server.service"
  cp dist/systemd/karst-server-console.socket "$work/units/"
  out=$(systemd-analyze verify --man=no "$work/units/karst-server.service" \
        "$work/units/karst-server-console.socket" 2>&1) || fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify complained: $out"
  echo "units verified"
else
  echo "SKIPPED: systemd-analyze is not installed"
fi

echo "ci-builds passed in $((SECONDS - start))s"
