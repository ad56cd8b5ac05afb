// The fault proxy in front of the throwaway cluster: libpq reaches the cluster
// through it as a trusted local client, a drop breaks the open connection and
// turns new ones away, and a hold keeps a query and a connection attempt
// waiting until forwarding resumes, with nothing lost.
#include "support/fault_proxy.h"
#include "support/test_database.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <chrono>
#include <memory>

#include <poll.h>

namespace karst::test {
namespace {

using namespace std::chrono_literals;
using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;

// Bounds every wait that normally ends at once, so that a proxy which fails
// to drop or to resume fails the test instead of hanging it.
constexpr auto kPatience = 5s;

bool readable(PGconn* conn, std::chrono::milliseconds limit) {
    pollfd fd{PQsocket(conn), POLLIN, 0};
    return ::poll(&fd, 1, static_cast<int>(limit.count())) > 0;
}

// The first value of the answer to a query already sent, or empty when the
// query failed or no answer came in time.
std::string awaitAnswer(PGconn* conn) {
    while (PQisBusy(conn))
        if (!readable(conn, kPatience) || PQconsumeInput(conn) != 1) return {};
    std::string value;
    while (PGresult* result = PQgetResult(conn)) {
        if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0)
            value = PQgetvalue(result, 0, 0);
        PQclear(result);
    }
    return value;
}

std::string ask(PGconn* conn, const char* sql) {
    return PQsendQuery(conn, sql) == 1 ? awaitAnswer(conn) : std::string();
}

// Drives a PQconnectStart connection until it is made or failed, or its socket
// stays silent for `limit`; returns where it stopped.
PostgresPollingStatusType driveConnection(PGconn* conn, PostgresPollingStatusType state,
                                          std::chrono::milliseconds limit) {
    while (state == PGRES_POLLING_READING || state == PGRES_POLLING_WRITING) {
        const short wanted = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
        pollfd fd{PQsocket(conn), wanted, 0};
        if (::poll(&fd, 1, static_cast<int>(limit.count())) <= 0) return state;
        state = PQconnectPoll(conn);
    }
    return state;
}

Connection startConnecting(const std::string& url) {
    return {PQconnectStart(url.c_str()), &PQfinish};
}

Connection connect(const std::string& url) {
    Connection conn = startConnecting(url);
    driveConnection(conn.get(), PGRES_POLLING_WRITING, kPatience);
    return conn;
}

TEST(FaultProxy, DropBreaksConnectionsAndHoldDelaysWithoutLoss) {
    if (!TestDatabase::available()) GTEST_SKIP() << "PostgreSQL server programs not found";
    std::string error;
    TestDatabase* cluster = TestDatabase::shared(error);
    ASSERT_NE(cluster, nullptr) << error;
    FaultProxy proxy(cluster->socketPath());
    // Only SELECTs of constants: the database every cluster starts with will do.
    const std::string url = cluster->urlThrough(proxy.port(), "postgres");

    // Over TCP to the proxy, yet a local client to the cluster: no address, trusted.
    Connection first = connect(url);
    ASSERT_EQ(PQstatus(first.get()), CONNECTION_OK) << PQerrorMessage(first.get());
    EXPECT_EQ(ask(first.get(), "SELECT coalesce(host(inet_client_addr()), 'local')"), "local");
    EXPECT_EQ(proxy.accepted(), 1u);

    // Turned away at once, not left waiting: a drop looks like a broken path.
    proxy.setMode(FaultProxy::Mode::Drop);
    EXPECT_EQ(ask(first.get(), "SELECT 1"), "");
    EXPECT_EQ(PQstatus(first.get()), CONNECTION_BAD);
    Connection refused = startConnecting(url);
    EXPECT_EQ(driveConnection(refused.get(), PGRES_POLLING_WRITING, kPatience), PGRES_POLLING_FAILED);
    EXPECT_EQ(proxy.accepted(), 2u);

    proxy.setMode(FaultProxy::Mode::Forward);
    Connection second = connect(url);
    ASSERT_EQ(PQstatus(second.get()), CONNECTION_OK) << PQerrorMessage(second.get());

    proxy.setMode(FaultProxy::Mode::Hold);
    ASSERT_EQ(PQsendQuery(second.get(), "SELECT 42"), 1);
    Connection third = startConnecting(url);
    EXPECT_EQ(driveConnection(third.get(), PGRES_POLLING_WRITING, 100ms), PGRES_POLLING_READING);
    EXPECT_TRUE(proxy.waitForAccepted(4, kPatience));
    EXPECT_FALSE(readable(second.get(), 0ms));  // the 100 ms above were its chance too

    proxy.setMode(FaultProxy::Mode::Forward);
    EXPECT_EQ(driveConnection(third.get(), PGRES_POLLING_READING, kPatience), PGRES_POLLING_OK);
    EXPECT_EQ(awaitAnswer(second.get()), "42");
    EXPECT_EQ(ask(third.get(), "SELECT 7"), "7");
}

}  // namespace
}  // namespace karst::test
