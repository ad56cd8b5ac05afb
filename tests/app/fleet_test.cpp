// Servers that share one PostgreSQL database: a player's progress follows it
// from server to server, one identity is in play at a time, a killed server's
// leases run out, eggs reach their owner wherever it logs on, and an outage
// costs players nothing they did meanwhile.
#include <sys/wait.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "store/postgres_schema.h"
#include "common/command_line.h"
#include "store/copy/store_copy.h"
#include "support/fleet.h"
#include "support/process.h"

namespace karst::testing {
namespace {

TEST(Fleet, ProgressFollowsThePlayerAndOneIdentityIsInPlayAtATime) {
    SKIP_WITHOUT_POSTGRESQL();
    const std::string url = database().createDatabase("fleet_progress");
    auto a = fleetServer(url);
    auto b = fleetServer(url);

    // Sent before Welcome, the purchase waits for the log-on, then runs in order:
    // it is read while the log-on waits on another session's lock.
    KarstClient witness = enterPlayer(*a, 9, kHubRoom);
    RowLock leases(url, "karst_leases");
    ASSERT_TRUE(leases.held() && leases.run("LOCK TABLE karst_leases IN SHARE MODE"));
    KarstClient onA = helloWith(a->port(), profileKeyFor(1), "P1");
    EXPECT_TRUE(onA.buyFruit(3));
    roundTrip(witness);
    ASSERT_TRUE(leases.run("ROLLBACK"));
    ASSERT_TRUE(onA.awaitWelcome().has_value());
    EXPECT_EQ(awaitMessage(onA, MessageType::BuyFruitResult, client::decodeBuyFruitResult).rings, 975u);
    // In play on A: B refuses the key exactly as a second log-on on one server.
    KarstClient early = helloWith(b->port(), profileKeyFor(1));
    EXPECT_TRUE(early.closedByPeer());
    EXPECT_FALSE(early.awaitWelcome(0));

    onA.close();
    std::optional<KarstClient> onB = admitted(b->port(), 1, std::chrono::seconds(10));
    ASSERT_TRUE(onB.has_value());
    const client::BuyFruitResult second = buy(*onB, 3);
    EXPECT_EQ(second.rings, 950u);  // after the rings A took
    // Both written before the reply left: the fruit from A and the one from B.
    EXPECT_EQ(ringsInDatabase(url, 1), "950\n");
    EXPECT_EQ(storedNumber(url, 1, 20 + 2 * 3, 2), "2\n");
}

TEST(Fleet, EggsBredOnOneServerReachTheirOwnerOnAnotherAndIdsNeverCollide) {
    SKIP_WITHOUT_POSTGRESQL();
    const std::string url = database().createDatabase("fleet_eggs");
    auto a = fleetServer(url);
    auto b = fleetServer(url);
    std::vector<uint64_t> eggIds;
    // One pair breeds on each server at about the same time.
    KarstClient p1 = enterPlayer(*a, 1, kFleetGarden), p2 = enterPlayer(*a, 2, kFleetGarden);
    KarstClient p3 = enterPlayer(*b, 3, kFleetGarden), p4 = enterPlayer(*b, 4, kFleetGarden);
    struct Pair {
        KarstClient* owner;
        KarstClient* partner;
        client::PiboRegister first, second;
    };
    Pair pairs[] = {{&p1, &p2, creature(1, 1, kHatchedType, kFleetGarden), creature(2, 1, kHatchedType, kFleetGarden)},
                    {&p3, &p4, creature(3, 1, kHatchedType, kFleetGarden), creature(4, 1, kHatchedType, kFleetGarden)}};
    for (Pair& pair : pairs) {
        registerCreature(*pair.owner, pair.first);
        registerCreature(*pair.partner, pair.second);
        EXPECT_TRUE(pair.owner->piboState(stateAt(pair.first.id, 0.0f, kFleetGarden)));
        EXPECT_TRUE(pair.partner->piboState(stateAt(pair.second.id, 1.0f, kFleetGarden)));
        roundTrip(*pair.owner);
        roundTrip(*pair.partner);
    }
    for (Pair& pair : pairs) EXPECT_TRUE(pair.owner->piboBreed(pair.first.id, pair.second.id));
    uint64_t p2Egg = 0;
    for (Pair& pair : pairs) {
        const auto bred = awaitMessage(*pair.owner, MessageType::PiboBred, client::decodePiboBred);
        eggIds.push_back(bred.firstEggId);
        eggIds.push_back(bred.secondEggId);
        if (pair.owner == &p1) p2Egg = bred.secondEggId;
    }
    std::sort(eggIds.begin(), eggIds.end());
    EXPECT_EQ(std::unique(eggIds.begin(), eggIds.end()), eggIds.end());
    for (uint64_t id : eggIds) EXPECT_GE(id, 0x8000000000000001ull);
    EXPECT_EQ(query(url, "SELECT count(*) FROM karst_pibo"), "8\n");

    // Player 2 never claimed its egg on A; it is waiting for it on B.
    p2.close();
    std::optional<KarstClient> p2OnB = admitted(b->port(), 2, std::chrono::seconds(10));
    ASSERT_TRUE(p2OnB.has_value());
    const auto deliveries = decodeAll(roundTrip(*p2OnB), MessageType::PiboDelivery, client::decodePiboDelivery);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].id, p2Egg);
    EXPECT_EQ(deliveries[0].name, "Sibling Egg");
}

TEST(Fleet, AKilledServersLeasesRunOutAndThePlayerLogsOnElsewhere) {
    SKIP_WITHOUT_POSTGRESQL();
    const std::string url = database().createDatabase("fleet_killed");
    TempDir dir;
    std::ofstream(dir.path() / "server.ini")
        << "[master]\nlisted = off\n[store]\nbackend = postgresql\nurl = " << url
        << "\nleaseseconds = " << kShortLeaseSeconds << "\n";
    const uint16_t killedPort = tools::freeLoopbackPort();
    ServerProcess killed(dir.path(), {"--config", "server.ini", "--bind", "127.0.0.1", "--port",
                                      std::to_string(killedPort)});
    ASSERT_TRUE(killed.waitForOutput("Sharing profiles and Pibo through PostgreSQL"));
    KarstClient player = welcomedClient(killedPort, "P5", 5);
    auto b = fleetServer(url, kShortLeaseSeconds);
    killed.signal(SIGKILL);
    (void)killed.wait();

    KarstClient tooSoon = helloWith(b->port(), profileKeyFor(5));
    EXPECT_TRUE(tooSoon.closedByPeer());
    const auto killedAt = std::chrono::steady_clock::now();
    std::optional<KarstClient> later = admitted(b->port(), 5, std::chrono::seconds(kShortLeaseSeconds + 8));
    ASSERT_TRUE(later.has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - killedAt, std::chrono::seconds(kShortLeaseSeconds + 8));
}

// The other side of a killed server's lease: a live server renews its player's
// lease in time across several lease lengths of its clock, stepped short of the
// statement deadline and waiting for each renewal, and no other server gets it.
TEST(Fleet, ALiveServerKeepsItsPlayersLeaseForAsLongAsTheyPlay) {
    SKIP_WITHOUT_POSTGRESQL();
    FrozenClocks clocks;
    const std::string url = database().createDatabase("fleet_renewed");
    auto a = fleetServer(url, kShortLeaseSeconds);
    auto b = fleetServer(url, kShortLeaseSeconds);
    KarstClient p1 = enterPlayer(*a, 1, kHubRoom);
    const std::string busy = "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database()"
                             " AND state = 'active' AND pid <> pg_backend_pid()";
    for (int step = 0; step < 15; ++step) {  // three lease lengths
        advanceMonotonicClockForTesting(kShortLeaseSeconds * kNsPerSecond / 5);
        afterTimers(p1);
        for (int i = 0; i < 200 && query(url, busy) != "0\n"; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        afterTimers(p1);
    }
    EXPECT_EQ(buy(p1, 3).rings, 975u);
    EXPECT_EQ(ringsInDatabase(url, 1), "975\n");
    KarstClient elsewhere = helloWith(b->port(), profileKeyFor(1));
    EXPECT_TRUE(elsewhere.closedByPeer());
    EXPECT_FALSE(elsewhere.awaitWelcome(0));
}

TEST(Fleet, PlayersKeepPlayingThroughAnOutageAndTheirChangesLandAfterIt) {
    SKIP_WITHOUT_POSTGRESQL();
    const std::string url = database().createDatabase("fleet_outage");
    ConsoleLines console;
    auto a = fleetServer(url);
    KarstClient p1 = enterPlayer(*a, 1, kHubRoom);
    roundTrip(p1);

    database().stop();
    ASSERT_TRUE(console.await("Warning: the database cannot be reached"));
    // Kept in memory, and not confirmed while it is only there (that movement
    // goes on meanwhile is the silent partition's test).
    ASSERT_TRUE(p1.buyFruit(3));
    EXPECT_TRUE(framesOfType(roundTrip(p1), MessageType::BuyFruitResult).empty());
    KarstClient newcomer = helloWith(a->port(), profileKeyFor(3));
    const auto notice = awaitMessage(newcomer, MessageType::Notice, client::decodeNotice);
    EXPECT_EQ(notice.code, 12);
    EXPECT_EQ(notice.text, "Server storage unavailable, try again soon");
    EXPECT_TRUE(newcomer.closedByPeer());

    std::string error;
    ASSERT_TRUE(database().start(error)) << error;
    ASSERT_TRUE(console.await("The database can be reached again"));
    EXPECT_EQ(awaitMessage(p1, MessageType::BuyFruitResult, client::decodeBuyFruitResult).rings, 975u);
    EXPECT_EQ(ringsInDatabase(url, 1), "975\n");
    EXPECT_EQ(console.count("Warning: the database cannot be reached"), 1u);
}

// The connection dies while units wait on a row lock: the purchase in one is
// written after the reconnection, the log-on in the other is turned away (a
// player admitted without its rows would play on, and save, a fresh profile).
TEST(Fleet, UnitsLostWithTheConnectionAreWrittenLaterAndTheirLogOnsTurnedAway) {
    SKIP_WITHOUT_POSTGRESQL();
    const std::string url = database().createDatabase("fleet_lost_unit");
    ConsoleLines console;
    auto a = fleetServer(url);
    KarstClient buyer = enterPlayer(*a, 1, kHubRoom), watcher = enterPlayer(*a, 2, kOtherHubRoom);
    RowLock lock(url);
    ASSERT_TRUE(lock.held());
    ASSERT_TRUE(buyer.buyFruit(3));
    KarstClient newcomer = helloWith(a->port(), profileKeyFor(3));
    afterTimers(watcher);  // both units are with the database, the first waiting for the lock

    ASSERT_TRUE(lock.run("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                         " WHERE pid <> pg_backend_pid() AND datname = current_database()"));
    ASSERT_TRUE(lock.run("ROLLBACK"));
    EXPECT_EQ(awaitMessage(newcomer, MessageType::Notice, client::decodeNotice).code, 12);
    EXPECT_TRUE(newcomer.closedByPeer());
    EXPECT_EQ(awaitMessage(buyer, MessageType::BuyFruitResult, client::decodeBuyFruitResult).rings, 975u);
    ASSERT_TRUE(console.await("The database can be reached again"));
    for (int i = 0; i < 100 && ringsInDatabase(url, 1) != "975\n"; ++i)  // the write is on its way
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ringsInDatabase(url, 1), "975\n");
    EXPECT_EQ(console.count("refused"), 0u);
    EXPECT_EQ(console.count("\n"), 0u);  // libpq's two-line reason, printed as one line
}

TEST(Fleet, AShutdownDuringAnOutageKeepsEveryUnsavedChangeInAFileThatLoads) {
    SKIP_WITHOUT_POSTGRESQL();
    const std::string url = database().createDatabase("fleet_dump");
    ConsoleLines console;
    auto a = fleetServer(url);
    KarstClient p1 = enterPlayer(*a, 1, kFleetGarden);
    database().stop();
    ASSERT_TRUE(console.await("Warning: the database cannot be reached"));
    ASSERT_TRUE(p1.buyFruit(4));
    ASSERT_TRUE(p1.piboRegister(creature(1, 2, kHatchedType, kFleetGarden)));
    // Neither is confirmed: the database never took them.
    const std::vector<Frame> replies = roundTrip(p1);
    EXPECT_TRUE(framesOfType(replies, MessageType::BuyFruitResult).empty());
    EXPECT_TRUE(framesOfType(replies, MessageType::PiboAppear).empty());
    const std::filesystem::path dir = std::filesystem::path(a->settings().profileStorePath).parent_path();
    a->stop();
    std::string startError;
    ASSERT_TRUE(database().start(startError)) << startError;
    EXPECT_EQ(console.count("Error: the database could not take 1 profile and 1 Pibo changes"), 1u);

    std::filesystem::path profileDump, piboDump;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("karst-profile-store.bin.unsaved-") && !name.ends_with(".leases"))
            profileDump = entry.path();
        if (name.starts_with("karst-pibo-store.bin.unsaved-")) piboDump = entry.path();
    }
    // The lease the changes were made under, for merge to check.
    std::string error;
    const int64_t lease = std::stoll(query(url, "SELECT lease_number FROM karst_leases"));
    EXPECT_EQ(decodeLeaseList(fileText(leaseListPathFor(profileDump.string())), error),
              (std::vector<LeaseEntry>{{profileKeyFor(1), lease}})) << error;
    // A store that does not load decodes to no records at all.
    const DecodedProfileStore dumpedProfiles = decodeProfileStore(readBytes(profileDump));
    ASSERT_EQ(dumpedProfiles.table.size(), 1u);
    EXPECT_EQ(dumpedProfiles.table.begin()->second.rings, 975u);
    EXPECT_EQ(dumpedProfiles.table.begin()->second.serverInventory[4], 1u);
    const DecodedPiboStore dumpedPibo = decodePiboStore(readBytes(piboDump));
    ASSERT_EQ(dumpedPibo.records.size(), 1u);
    EXPECT_EQ(dumpedPibo.records[0].id, creature(1, 2).id);

    // Until the dump is loaded and moved away, the server does not start on older rows.
    GameServer again(a->settings());
    EXPECT_FALSE(again.start());
    EXPECT_TRUE(again.storeOpenFailed());
    EXPECT_NE(again.startFailure().find(".unsaved-"), std::string::npos) << again.startFailure();

    // Once the lease ran out, another server took the key and changed it: the
    // dump is not put over its rows.
    ASSERT_TRUE(database().exec(url, "UPDATE karst_leases SET expires_at = now() - interval '1 s'"));
    auto b = fleetServer(url);
    KarstClient onB = welcomedClient(b->port(), "P1", 1);
    EXPECT_EQ(buy(onB, 3).rings, 975u);
    std::ostringstream out, err;
    EXPECT_EQ(storecopy::runStoreCopy({"merge", "--url", url, "--profile-store", profileDump.string(),
                                       "--pibo-store", piboDump.string()},
                                      out, err),
              1);
    EXPECT_NE(err.str().find("not loaded: "), std::string::npos) << err.str();
    EXPECT_EQ(storedNumber(url, 1, 20 + 2 * 4, 2), "0\n");
    EXPECT_EQ(storedNumber(url, 1, 20 + 2 * 3, 2), "1\n");
}

TEST(Fleet, ANewerSchemaOrAnUnreachableDatabaseStopsTheServerAtStartUp) {
    SKIP_WITHOUT_POSTGRESQL();
    const std::string url = database().createDatabase("fleet_schema");
    TempDir dir;
    const auto runWith = [&](const std::string& storeUrl, std::string& err) {
        std::ofstream(dir.path() / "server.ini") << "[master]\nlisted = off\n[store]\nbackend = postgresql\n"
                                                 << "url = " << storeUrl << "\n";
        return runServer(dir.path(), {"--config", "server.ini", "--bind", "127.0.0.1", "--port", "0"},
                         nullptr, &err);
    };
    { auto first = fleetServer(url); }  // creates the schema
    ASSERT_TRUE(database().exec(url, "UPDATE karst_schema SET version = " + std::to_string(kSchemaVersion + 1)));
    std::string err;
    EXPECT_EQ(runWith(url, err), 2);
    EXPECT_NE(err.find("newer than this server's"), std::string::npos) << err;
    EXPECT_EQ(runWith("host=/nonexistent-folder dbname=none connect_timeout=2", err), 2);
    EXPECT_NE(err.find("Could not open the PostgreSQL store"), std::string::npos) << err;
}

}  // namespace
}  // namespace karst::testing
