// A fleet server whose lease is no longer its own: a write the lease turns
// away, a lease found taken after an outage, the disconnect line that waits
// for the lease to be given up, and a path to the database that goes silent.
#include "support/fleet.h"

namespace karst::testing {
namespace {

constexpr uint64_t kReconnectWaitNs = 1 * kNsPerSecond + 1;
constexpr const char* kTakenByAnotherServer =
    "UPDATE karst_leases SET server_id = 42, lease_number = lease_number + 1,"
    " expires_at = now() + interval '1 hour' WHERE profile_key = ";

client::Notice awaitNotice(KarstClient& player) {
    return awaitMessage(player, MessageType::Notice, client::decodeNotice);
}

TEST(FleetFailure, AWriteTheLeaseTurnsAwayEndsTheSessionAndChangesNothing) {
    SKIP_WITHOUT_POSTGRESQL();
    const std::string url = database().createDatabase("fleet_fence");
    ConsoleLines console;
    auto a = fleetServer(url);
    KarstClient p1 = enterPlayer(*a, 1, kHubRoom);
    // Another server took the lease, as it may once this one was cut off long enough.
    ASSERT_TRUE(database().exec(url, kTakenByAnotherServer + keyLiteral(1)));

    ASSERT_TRUE(p1.buyFruit(3));
    const client::Notice notice = awaitNotice(p1);
    EXPECT_EQ(notice.code, 12);
    EXPECT_NE(notice.text.find("Session ended"), std::string::npos) << notice.text;
    EXPECT_TRUE(p1.closedByPeer());
    EXPECT_EQ(ringsInDatabase(url, 1), "1000\n");
    EXPECT_EQ(query(url, "SELECT server_id FROM karst_leases"), "42\n");
    ASSERT_TRUE(console.await("Warning: ended the session of player"));
    EXPECT_NE(console.find("Warning: ended the session").find("another server holds its lease"), std::string::npos)
        << console.find("Warning: ended the session");
}

// The path comes back after the lease was taken elsewhere: the renewal goes
// first, finds it, and what waited is given up rather than sent.
TEST(FleetFailure, AfterAnOutageTheRenewalComesFirstAndFindsTheLeaseTaken) {
    SKIP_WITHOUT_POSTGRESQL();
    FrozenClocks clocks;
    const std::string url = database().createDatabase("fleet_renewal_first");
    ConsoleLines console;
    auto a = fleetServer(url);
    KarstClient p1 = enterPlayer(*a, 1, kHubRoom);
    database().stop();
    ASSERT_TRUE(console.await("Warning: the database cannot be reached"));
    ASSERT_TRUE(p1.buyFruit(3));
    EXPECT_TRUE(framesOfType(roundTrip(p1), MessageType::BuyFruitResult).empty());

    std::string error;
    ASSERT_TRUE(database().start(error)) << error;
    ASSERT_TRUE(database().exec(url, kTakenByAnotherServer + keyLiteral(1)));
    advanceMonotonicClockForTesting(kReconnectWaitNs);
    ASSERT_TRUE(console.await("Warning: ended the session of player"));
    const std::string line = console.find("Warning: ended the session");
    EXPECT_NE(line.find("taken by another server"), std::string::npos) << line;
    EXPECT_NE(line.find("; 1 changes were not stored"), std::string::npos) << line;
    EXPECT_EQ(awaitNotice(p1).code, 12);
    EXPECT_TRUE(p1.closedByPeer());
    EXPECT_EQ(ringsInDatabase(url, 1), "1000\n");
}

// "disconnected" means the lease is free: a log-on elsewhere right after the
// line is admitted. A profile that did not change is not written at all.
TEST(FleetFailure, TheDisconnectLineWaitsForTheLeaseToBeGivenUp) {
    SKIP_WITHOUT_POSTGRESQL();
    const std::string url = database().createDatabase("fleet_release");
    ConsoleLines console;
    auto a = fleetServer(url);
    auto b = fleetServer(url);
    KarstClient p1 = enterPlayer(*a, 1, kHubRoom), p2 = enterPlayer(*a, 2, kHubRoom);
    KarstClient witness = enterPlayer(*a, 3, kHubRoom);
    const std::string p1Left = "player " + std::to_string(p1.playerId()) + " disconnected";
    const std::string p2Left = "player " + std::to_string(p2.playerId()) + " disconnected";
    {
        RowLock profiles(url);  // an unchanged profile needs no write: nothing waits on this
        ASSERT_TRUE(profiles.held());
        p1.close();
        EXPECT_TRUE(console.await(p1Left));
    }
    RowLock leases(url, "karst_leases");
    ASSERT_TRUE(leases.held());
    p2.close();
    afterTimers(witness);
    EXPECT_EQ(console.count(p2Left), 0u);
    ASSERT_TRUE(leases.run("ROLLBACK"));
    ASSERT_TRUE(console.await(p2Left));
    KarstClient onB = helloWith(b->port(), profileKeyFor(2));
    EXPECT_TRUE(onB.awaitWelcome().has_value());
}

// The path goes silent: nothing is refused and nothing answers. The server
// finds out at the statement deadline, not a moment before, while movement
// goes on; once the path heals, the purchase is written, then confirmed.
TEST(FleetFailure, ASilentPartitionIsFoundAtTheStatementDeadline) {
    SKIP_WITHOUT_POSTGRESQL();
    FrozenClocks clocks;
    const std::string url = database().createDatabase("fleet_silent");
    ConsoleLines console;
    auto a = fleetServer(url);  // a 60 s lease: a 5 s deadline
    KarstClient p1 = enterPlayer(*a, 1, kHubRoom), p2 = enterPlayer(*a, 2, kHubRoom);

    database().freeze(true);
    struct Thaw {
        ~Thaw() { database().freeze(false); }
    } thaw;
    KarstClient newcomer = helloWith(a->port(), profileKeyFor(3));
    ASSERT_TRUE(p1.buyFruit(3));
    client::PlayerStateRecord state{};
    state.playerId = p1.playerId();
    state.room = kHubRoom;
    EXPECT_TRUE(p1.playerState(state));
    EXPECT_EQ(receivedAfter(p1, p2, MessageType::PlayerState).size(), 1u);
    afterTimers(p2);

    advanceMonotonicClockForTesting(5 * kNsPerSecond);
    afterTimers(p2);
    EXPECT_FALSE(newcomer.receive(0).has_value());
    EXPECT_EQ(console.count("Warning: the database cannot be reached"), 0u);
    advanceMonotonicClockForTesting(1);
    const client::Notice notice = awaitNotice(newcomer);
    EXPECT_EQ(notice.code, 12);
    EXPECT_EQ(notice.text, "Server storage unavailable, try again soon");
    EXPECT_TRUE(newcomer.closedByPeer());
    EXPECT_EQ(console.count("Warning: the database cannot be reached (no answer from the database in 5000 ms)"), 1u);
    EXPECT_TRUE(framesOfType(roundTrip(p1), MessageType::BuyFruitResult).empty());

    database().freeze(false);
    advanceMonotonicClockForTesting(kReconnectWaitNs);
    EXPECT_EQ(awaitMessage(p1, MessageType::BuyFruitResult, client::decodeBuyFruitResult).rings, 975u);
    EXPECT_EQ(ringsInDatabase(url, 1), "975\n");
}

// Replies held for one player are bounded: the 64th waits, the 65th lets the
// player go rather than keep ever more for a database that does not answer.
TEST(FleetFailure, AtMost64RepliesWaitForOnePlayer) {
    SKIP_WITHOUT_POSTGRESQL();
    FrozenClocks clocks;  // the statement deadline stays away
    const std::string url = database().createDatabase("fleet_held_bound");
    ConsoleLines console;
    auto a = fleetServer(url);
    KarstClient p1 = enterPlayer(*a, 1, kHubRoom);
    RowLock profiles(url);
    ASSERT_TRUE(profiles.held());
    constexpr int8_t kCheapestFruit = 24;
    for (int i = 0; i < 64; ++i) ASSERT_TRUE(p1.buyFruit(kCheapestFruit));
    const std::vector<Frame> frames = roundTrip(p1);
    EXPECT_TRUE(framesOfType(frames, MessageType::BuyFruitResult).empty());
    EXPECT_TRUE(framesOfType(frames, MessageType::Notice).empty());

    ASSERT_TRUE(p1.buyFruit(kCheapestFruit));
    EXPECT_EQ(awaitNotice(p1).code, 12);
    EXPECT_TRUE(p1.closedByPeer());
    EXPECT_EQ(console.count("Warning: player " + std::to_string(p1.playerId()) +
                            " is disconnected: 64 replies wait for the database"),
              1u);
}

}  // namespace
}  // namespace karst::testing
