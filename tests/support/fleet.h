// Servers that share one PostgreSQL database, for the fleet tests: the test
// cluster, servers on it, the stored rows read back, and another session that
// holds rows so that the server's statements wait.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/console_line.h"
#include "store/postgres_schema.h"
#include "support/console_lines.h"
#include "support/players.h"
#include "support/test_database.h"

namespace karst::testing {

inline constexpr RoomKey kFleetGarden{39, 0, 0, 3};
inline constexpr uint32_t kShortLeaseSeconds = 2;

inline test::TestDatabase& database() {
    std::string error;
    test::TestDatabase* db = test::TestDatabase::shared(error);
    if (db == nullptr) {
        ADD_FAILURE() << error;
        std::abort();
    }
    return *db;
}

#define SKIP_WITHOUT_POSTGRESQL()                                                  \
    if (!test::TestDatabase::available()) GTEST_SKIP() << "PostgreSQL not installed"

inline std::unique_ptr<TestServer> fleetServer(const std::string& url, uint32_t leaseSeconds = 60) {
    return std::make_unique<TestServer>([&](ServerSettings& s) {
        s.storeBackend = "postgresql";
        s.storeUrl = url;
        s.leaseSeconds = leaseSeconds;
    });
}

// The first column of a query's rows, one per line.
inline std::string query(const std::string& url, const std::string& sql) {
    std::string out;
    EXPECT_TRUE(database().exec(url, sql, &out)) << sql;
    return out;
}

// Player n's profile key as an SQL bytea literal.
inline std::string keyLiteral(uint8_t player) { return "'\\x" + formatProfileKeyHex(profileKeyFor(player)) + "'"; }

// Player n's stored profile record, read at `offset`: a u32 of rings (16) or
// the u16 count of a fruit (20 + 2 x code), as text.
inline std::string storedNumber(const std::string& url, uint8_t player, int offset, int width) {
    std::string sum = "0";
    for (int i = 0, scale = 1; i < width; ++i, scale *= 256)
        sum += " + " + std::to_string(scale) + " * get_byte(record, " + std::to_string(offset + i) + ")";
    return query(url, "SELECT " + sum + " FROM karst_profiles WHERE profile_key = " + keyLiteral(player));
}

inline std::string ringsInDatabase(const std::string& url, uint8_t player) { return storedNumber(url, player, 16, 3); }

// Another session that holds every row of a table, so the server's writes to
// it wait for it.
class RowLock {
public:
    explicit RowLock(const std::string& url, const std::string& table = "karst_profiles")
        : conn_(PQconnectdb(url.c_str())) {
        held_ = PQstatus(conn_) == CONNECTION_OK && run("BEGIN") &&
                run(("SELECT 1 FROM " + table + " FOR UPDATE").c_str());
    }
    ~RowLock() { PQfinish(conn_); }
    RowLock(const RowLock&) = delete;
    RowLock& operator=(const RowLock&) = delete;
    bool held() const { return held_; }
    bool run(const char* sql) {
        std::string ignored;
        return runSql(conn_, sql, ignored);
    }

private:
    PGconn* conn_;
    bool held_ = false;
};

inline client::BuyFruitResult buy(KarstClient& player, int8_t fruit) {
    EXPECT_TRUE(player.buyFruit(fruit));
    return awaitMessage(player, MessageType::BuyFruitResult, client::decodeBuyFruitResult);
}

// Player n on `port` once the fleet lets it in (another server may still hold it).
inline std::optional<KarstClient> admitted(uint16_t port, uint8_t n, std::chrono::seconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        KarstClient c = helloWith(port, profileKeyFor(n));
        if (c.awaitWelcome(500)) return c;
    }
    return std::nullopt;
}

}  // namespace karst::testing
