// The throwaway cluster the database tests run against: it serves SQL, keeps a
// database's rows across a stop or an immediate shutdown, and refuses
// connections while it is down.
#include "support/test_database.h"

#include <gtest/gtest.h>

#include <thread>

namespace karst::test {
namespace {

TEST(TestDatabase, ServesSqlAndKeepsRowsAcrossStopAndCrash) {
    if (!TestDatabase::available()) GTEST_SKIP() << "PostgreSQL server programs not found";
    TestDatabase cluster;
    std::string error;
    ASSERT_TRUE(cluster.start(error)) << error;
    const std::string url = cluster.createDatabase("fixture_check");
    ASSERT_FALSE(url.empty());
    EXPECT_TRUE(cluster.createDatabase("fixture_check").empty());  // the name is taken

    std::string out;
    ASSERT_TRUE(cluster.exec(url, "SELECT 1", &out));
    EXPECT_EQ(out, "1\n");
    ASSERT_TRUE(cluster.exec(url, "CREATE TABLE t (v int); INSERT INTO t VALUES (7), (8)"));
    EXPECT_FALSE(cluster.exec(url, "SELECT nonsense FROM nowhere"));

    cluster.stop();
    EXPECT_FALSE(cluster.running());
    EXPECT_FALSE(cluster.exec(url, "SELECT 1"));
    // Restarted from a thread that ends at once: the server must outlive it.
    bool started = false;
    std::thread([&] { started = cluster.start(error); }).join();
    ASSERT_TRUE(started) << error;
    ASSERT_TRUE(cluster.exec(url, "SELECT v FROM t ORDER BY v", &out));
    EXPECT_EQ(out, "7\n8\n");

    // Committed rows survive an immediate shutdown even with fsync off: the
    // process dies, the operating system keeps its writes.
    ASSERT_TRUE(cluster.exec(url, "INSERT INTO t VALUES (9)"));
    cluster.kill();
    ASSERT_TRUE(cluster.start(error)) << error;
    ASSERT_TRUE(cluster.exec(url, "SELECT count(*) FROM t", &out));
    EXPECT_EQ(out, "3\n");
}

TEST(TestDatabase, SharedClusterGivesEachTestItsOwnDatabase) {
    if (!TestDatabase::available()) GTEST_SKIP() << "PostgreSQL server programs not found";
    std::string error;
    TestDatabase* cluster = TestDatabase::shared(error);
    ASSERT_NE(cluster, nullptr) << error;
    EXPECT_EQ(TestDatabase::shared(error), cluster);
    const std::string a = cluster->createDatabase("shared_a");
    const std::string b = cluster->createDatabase("shared_b");
    ASSERT_TRUE(cluster->exec(a, "CREATE TABLE only_in_a (v int)"));
    EXPECT_FALSE(cluster->exec(b, "SELECT * FROM only_in_a"));
}

}  // namespace
}  // namespace karst::test
