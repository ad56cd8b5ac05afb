// The shared store's tables, created and upgraded by the server at start-up.
//
// A profile row holds the profile store's record and a Pibo row the Pibo store's
// record, byte for byte, so moving between the files and the
// database never reinterprets a field. Ids are u64; bigint is signed, so an id
// is kept as the int64 with the same bits (egg ids from 2^63 + 1 are negative).
#pragma once

#include <cstdint>
#include <string>

#include <libpq-fe.h>

#include "store/sql_constant.h"

namespace karst {

// The schema this build knows. A database at a newer version is left alone.
inline constexpr int kSchemaVersion = 2;

// Blocking; start-up and tools only. Creates the tables in an empty database,
// upgrades an older schema, refuses a newer one. False with `error` set.
bool ensureSchema(PGconn* conn, std::string& error);

// The version the tables are at, 0 when the version table is empty. Blocking;
// the version table must exist.
bool readSchemaVersion(PGconn* conn, int& version, std::string& error);

// Runs one statement without parameters on a blocking connection.
bool runSql(PGconn* conn, const char* sql, std::string& error);

constexpr int64_t idToSql(uint64_t id) { return static_cast<int64_t>(id); }
constexpr uint64_t idFromSql(int64_t value) { return static_cast<uint64_t>(value); }

// An id column or parameter in the ids' unsigned order: flipping the sign bit
// maps it onto bigint's signed order, for sorting and comparing ids in SQL.
template <size_t N>
constexpr auto unsignedIdOrder(const char (&idSql)[N]) {
    return joinSql("(", idSql, " # (-9223372036854775807 - 1))");
}

// Statements shared by the server and the copy tool; $n are typed in the text
// so that binary parameters need no type list.
inline constexpr const char* kUpsertProfileSql =
    "INSERT INTO karst_profiles (profile_key, record) VALUES ($1::bytea, $2::bytea) "
    "ON CONFLICT (profile_key) DO UPDATE SET record = EXCLUDED.record";
inline constexpr const char* kUpsertPiboSql =
    "INSERT INTO karst_pibo (id, owner, record) VALUES ($1::int8, $2::bytea, $3::bytea) "
    "ON CONFLICT (id) DO UPDATE SET owner = EXCLUDED.owner, record = EXCLUDED.record";
// The counter row that hands out egg ids, as every statement on it names it.
inline constexpr char kEggIdCounterSql[] = "'next_pibo_id'";
inline constexpr auto kReadNextEggIdSql =
    joinSql("SELECT value FROM karst_counters WHERE name = ", kEggIdCounterSql);
// Raises the counter to at least $1.
inline constexpr auto kRaiseNextEggIdSql =
    joinSql("UPDATE karst_counters SET value = $1::int8 WHERE name = ", kEggIdCounterSql, " AND ",
            unsignedIdOrder("value"), " < ", unsignedIdOrder("$1::int8"));

}  // namespace karst
