#!/usr/bin/env bash
# The suite with the PostgreSQL store backend built in (build-pg). The tests
# that need a database start their own throwaway cluster, so the machine only
# needs the Debian packages, installed here where they are missing: libpq-dev
# for the build, postgresql for the server programs the tests run.
# Warnings are errors when KARST_WERROR=ON is in the environment (.ci/run sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS

fail() { echo "ci-database: $*" >&2; exit 1; }
server_programs() { command -v initdb >/dev/null || compgen -G '/usr/lib/postgresql/*/bin/initdb' >/dev/null; }

if ! command -v pg_config >/dev/null || ! server_programs; then
  echo "== installing postgresql and libpq-dev"
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" apt-get install -y -q --no-install-recommends postgresql libpq-dev
fi
server_programs || fail "the PostgreSQL server programs are still missing"

echo "== build with -DKARST_POSTGRESQL=ON"
cmake -S . -B build-pg -DKARST_POSTGRESQL=ON >/dev/null
grep -q '^KARST_POSTGRESQL:BOOL=ON$' build-pg/CMakeCache.txt || fail "KARST_POSTGRESQL did not stay on"
cmake --build build-pg -j2
[ -x build-pg/karst_store_copy ] || fail "libpq was not found: the database backend was not built"

# A fixture that skips would let every database test pass without a database.
echo "== the database fixture runs here"
fixture_run="$(build-pg/tests/karst_tests --gtest_filter='LeaseClock.*' 2>&1)" || {
  echo "$fixture_run"
  fail "the database fixture failed"
}
if grep -q '\[  SKIPPED \]' <<<"$fixture_run"; then
  fail "the database tests skipped: no PostgreSQL server programs found"
fi

ctest --test-dir build-pg --output-on-failure -j2

# The loopback suite again with every server on the database backend (a fresh
# database each), in one process so that one throwaway cluster serves it all.
# Left out: the tests that read or write the store files themselves.
file_tests=(
  Agones.ShutdownComesOnlyOnceTheStoresAreSaved
  BanFile.PlayerLinesArePrintedOnlyOnceTheStoreHoldsTheirChange
  Handshake.RingsComeFromTheStoredProfileOrAreSavedBeforeWelcome
  StageFinish.PlacesPayOneHundredSixtyThirtyTenUpToTheRingCap
  FruitShop.PurchasesPersistAcrossReconnectAndRestart
  PiboBreeding.RefusalsThenAnEggForEachOwnerThenACooldownThatOutlivesARestart
  PiboRegister.NewCreatureAppearsToTheGardenAndIsSavedUnlessRefused
  PiboCare.FeedingAndInteractionsAnswerWithTheirCodes
)
echo "== the suite on the database backend"
excluded=$(IFS=:; echo "${file_tests[*]}")
KARST_TEST_STORE=postgresql build-pg/tests/karst_tests --gtest_brief=1 --gtest_filter="-$excluded"
echo "database suite passed after $((SECONDS - start))s"
