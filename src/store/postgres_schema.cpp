// Creating and upgrading the shared store's tables. Two servers starting at once
// against an empty database must not both create it: the whole check runs in one
// transaction under an advisory lock.
#include "store/postgres_schema.h"

#include "garden/pibo_store.h"
#include "store/postgres_link.h"
#include "store/profile_store.h"

#include <cstdlib>

namespace karst {

namespace {

// Any fixed number: the lock only serialises our own start-ups.
constexpr const char* kLockSql = "SELECT pg_advisory_xact_lock(4683914297)";

constexpr auto kKeySizeSql = sqlDecimal<kProfileKeySize>();
constexpr auto kCreateProfilesSql = joinSql(
    "CREATE TABLE karst_profiles ("
    " profile_key bytea PRIMARY KEY CHECK (octet_length(profile_key) = ", kKeySizeSql, "),"
    " record bytea NOT NULL CHECK (octet_length(record) = ", sqlDecimal<kProfileRecordSize>(), "))");
constexpr auto kCreatePiboSql = joinSql(
    "CREATE TABLE karst_pibo ("
    " id bigint PRIMARY KEY CHECK (id <> 0),"
    " owner bytea NOT NULL CHECK (octet_length(owner) = ", kKeySizeSql, "),"
    " record bytea NOT NULL CHECK (octet_length(record) = ", sqlDecimal<kPiboRecordSize>(), "))");
constexpr auto kFirstEggIdSql = joinSql("INSERT INTO karst_counters VALUES (", kEggIdCounterSql, ", ",
                                        sqlSignedDecimal<idToSql(kFirstServerPiboId)>(), ")");

constexpr const char* kVersion1[] = {
    kCreateProfilesSql.c_str(),
    kCreatePiboSql.c_str(),
    "CREATE INDEX karst_pibo_by_owner ON karst_pibo (owner)",
    "CREATE TABLE karst_counters (name text PRIMARY KEY, value bigint NOT NULL)",
    kFirstEggIdSql.c_str(),
    "CREATE TABLE karst_leases ("
    " profile_key bytea PRIMARY KEY,"
    " server_id bigint NOT NULL,"
    " expires_at timestamptz NOT NULL)",
    "CREATE INDEX karst_leases_by_server ON karst_leases (server_id)",
};

// Fencing: every taking of a key's lease counts its row's lease number up, and
// a released lease keeps its row (server 0, expired), so the number only grows.
// A write carries the number it was made under and lands only while the row
// still holds it for this server.
constexpr const char* kVersion2[] = {
    "ALTER TABLE karst_leases ADD COLUMN lease_number bigint NOT NULL DEFAULT 0",
};

std::string resultError(PGconn* conn) { return libpqMessageLine(PQerrorMessage(conn)); }

template <std::size_t N>
bool upgradeTo(PGconn* conn, const char* const (&steps)[N], int version, std::string& error) {
    for (const char* sql : steps)
        if (!runSql(conn, sql, error)) return false;
    const std::string record = "INSERT INTO karst_schema VALUES (" + std::to_string(version) + ")";
    return runSql(conn, record.c_str(), error);
}

bool checkAndUpgrade(PGconn* conn, std::string& error) {
    if (!runSql(conn, kLockSql, error)) return false;
    if (!runSql(conn, "CREATE TABLE IF NOT EXISTS karst_schema (version integer NOT NULL)", error))
        return false;
    int version = 0;
    if (!readSchemaVersion(conn, version, error)) return false;
    if (version > kSchemaVersion) {
        error = "the database holds schema version " + std::to_string(version) +
                ", newer than this server's " + std::to_string(kSchemaVersion) +
                "; run a newer karst_server";
        return false;
    }
    // Each version's steps start from the one before.
    if (version < 1 && !upgradeTo(conn, kVersion1, 1, error)) return false;
    if (version < 2 && !upgradeTo(conn, kVersion2, 2, error)) return false;
    return true;
}

}  // namespace

bool readSchemaVersion(PGconn* conn, int& version, std::string& error) {
    PGresult* result = PQexec(conn, "SELECT max(version) FROM karst_schema");
    if (PQresultStatus(result) != PGRES_TUPLES_OK) {
        error = resultError(conn);
        PQclear(result);
        return false;
    }
    const bool empty = PQgetisnull(result, 0, 0) == 1;
    version = empty ? 0 : std::atoi(PQgetvalue(result, 0, 0));
    PQclear(result);
    return true;
}

bool runSql(PGconn* conn, const char* sql, std::string& error) {
    PGresult* result = PQexec(conn, sql);
    const ExecStatusType status = PQresultStatus(result);
    PQclear(result);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return true;
    error = resultError(conn);
    return false;
}

bool ensureSchema(PGconn* conn, std::string& error) {
    if (!runSql(conn, "BEGIN", error)) return false;
    if (!checkAndUpgrade(conn, error)) {
        std::string ignored;
        (void)runSql(conn, "ROLLBACK", ignored);
        return false;
    }
    return runSql(conn, "COMMIT", error);
}

}  // namespace karst
