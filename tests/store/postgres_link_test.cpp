// The non-blocking database link against a real PostgreSQL: a unit commits or
// rolls back whole, units settle in the order they were sent, and a lost
// connection, or one that stays silent past the deadline, settles every unit in
// flight as lost instead of leaving it hanging.
#include <gtest/gtest.h>

#include <thread>

#include "store/postgres_link.h"
#include "support/fleet.h"

namespace karst {
namespace {

bool noSetup(PGconn*, std::string&) { return true; }

// Serves the link until every unit settled (or a few seconds passed).
void settleAll(PostgresLink& link) {
    for (int i = 0; i < 5000 && link.unitsInFlight() != 0; ++i) {
        link.service();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST(PostgresLink, LibpqMessagesBecomeOneConsoleLine) {
    EXPECT_EQ(libpqMessageLine("server closed the connection unexpectedly\n\tThis probably means"
                               " the server terminated\n"),
              "server closed the connection unexpectedly This probably means the server terminated");
    EXPECT_EQ(libpqMessageLine("ERROR:  relation \"x\" does not exist\r\n"),
              "ERROR: relation \"x\" does not exist");
    EXPECT_EQ(libpqMessageLine("\n"), "");
    EXPECT_EQ(libpqMessageLine(nullptr), "");
}

TEST(PostgresLink, UnitsCommitOrRollBackWholeAndSettleInOrder) {
    SKIP_WITHOUT_POSTGRESQL();
    test::TestDatabase* db = &testing::database();
    const std::string url = db->createDatabase("link_units");
    ASSERT_TRUE(db->exec(url, "CREATE TABLE t (n int8 PRIMARY KEY)"));

    PostgresLink link;
    std::string error;
    ASSERT_TRUE(link.connectBlocking(url, noSetup, error)) << error;
    std::vector<uint64_t> order;
    std::vector<bool> committed;
    const auto record = [&](uint64_t unit) {
        return [&, unit](const SqlOutcome& outcome) {
            order.push_back(unit);
            committed.push_back(outcome.committed);
        };
    };
    const char* insert = "INSERT INTO t VALUES ($1::int8)";
    // The second statement breaks the key: the first of its unit goes with it.
    const uint64_t first = link.submit({{insert, {sqlInt64(1)}}}, record(1), 0);
    link.submit({{insert, {sqlInt64(2)}}, {insert, {sqlInt64(1)}}}, record(2), 0);
    link.submit({{insert, {sqlInt64(-9223372036854775807 - 1)}}}, record(3), 0);
    EXPECT_EQ(link.lastUnit(), first + 2);
    settleAll(link);
    EXPECT_EQ(order, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(committed, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(link.settledUnit(), first + 2);
    std::string rows;
    ASSERT_TRUE(db->exec(url, "SELECT n FROM t ORDER BY n", &rows));
    EXPECT_EQ(rows, "-9223372036854775808\n1\n");

    // Unanswered for as long as the deadline allows, the link stays; a
    // nanosecond longer, it is taken for lost, whatever the socket says.
    constexpr uint64_t kSentNs = 1'000, kLimitNs = 40'000'000;
    link.submit({{"SELECT pg_sleep(5)", {}}}, record(4), kSentNs);
    link.enforceDeadline(kSentNs + kLimitNs, kLimitNs);
    EXPECT_EQ(link.state(), PostgresLink::State::Up);
    link.enforceDeadline(kSentNs + kLimitNs + 1, kLimitNs);
    EXPECT_EQ(link.state(), PostgresLink::State::Down);
    ASSERT_EQ(order.size(), 4u);
    EXPECT_FALSE(committed.back());
    EXPECT_EQ(link.lastError(), "no answer from the database in 40 ms");

    // The database goes away with a unit in flight: it settles as lost.
    ASSERT_TRUE(link.connectBlocking(url, noSetup, error)) << error;
    link.submit({{"SELECT pg_sleep(5)", {}}}, record(5), 0);
    db->stop();
    settleAll(link);
    ASSERT_TRUE(db->start(error)) << error;
    ASSERT_EQ(order.size(), 5u);
    EXPECT_FALSE(committed.back());
    EXPECT_EQ(link.state(), PostgresLink::State::Down);
}

}  // namespace
}  // namespace karst
