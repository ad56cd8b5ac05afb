#include "store/copy/copy_database.h"

#include "store/postgres_link.h"
#include "store/postgres_schema.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <span>

namespace karst::storecopy {

namespace {

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

std::string connectionError(PGconn* conn) { return libpqMessageLine(PQerrorMessage(conn)); }

bool resultOk(const Result& result) {
    const ExecStatusType status = PQresultStatus(result.get());
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string int8Bytes(uint64_t id) { return sqlInt64(idToSql(id)).bytes; }

template <size_t N>
std::string bytesOf(const std::array<uint8_t, N>& array) {
    return std::string(reinterpret_cast<const char*>(array.data()), N);
}

std::span<const uint8_t> cell(const Result& result, int row, int column) {
    const std::string_view bytes = sqlBytesAt(result.get(), row, column);
    return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

// One binary parameter; binary results when asked.
Result execWithBytes(PGconn* conn, const char* sql, const std::string& value, bool binaryResult) {
    const char* data[] = {value.data()};
    const int lengths[] = {static_cast<int>(value.size())};
    const int binary[] = {1};
    return Result(PQexecParams(conn, sql, 1, nullptr, data, lengths, binary, binaryResult ? 1 : 0), &PQclear);
}

constexpr const char* kProfileStatement = "karst_copy_profile";
constexpr const char* kPiboStatement = "karst_copy_pibo";
// Ids listed in unsigned order: the file order of a store that has only ever grown.
constexpr auto kSelectPiboSql =
    joinSql("SELECT id, owner, record FROM karst_pibo ORDER BY ", unsignedIdOrder("id"));
constexpr const char* kLockLeaseSql =
    "SELECT lease_number FROM karst_leases WHERE profile_key = $1::bytea FOR UPDATE";

}  // namespace

bool CopyDatabase::connect(const std::string& url, std::string& error) {
    conn_.reset(PQconnectdb(url.c_str()));
    if (PQstatus(conn_.get()) == CONNECTION_OK) {
        // The schema check's "already exists, skipping" is no news to an operator.
        PQsetNoticeProcessor(conn_.get(), [](void*, const char*) {}, nullptr);
        return true;
    }
    error = "cannot connect to the database: " + connectionError(conn_.get());
    return false;
}

bool CopyDatabase::ensureSchema(std::string& error) { return karst::ensureSchema(conn_.get(), error); }

bool CopyDatabase::holdsStore(std::string& error) {
    const Result found(PQexec(conn_.get(), "SELECT to_regclass('karst_schema') IS NOT NULL"), &PQclear);
    if (!resultOk(found)) {
        error = connectionError(conn_.get());
        return false;
    }
    if (std::string(PQgetvalue(found.get(), 0, 0)) != "t") {
        error = "the database holds no karst store (no karst_schema table)";
        return false;
    }
    int held = 0;
    if (!readSchemaVersion(conn_.get(), held, error)) return false;
    if (held < 1 || held > kSchemaVersion) {
        error = "the database holds schema version " + std::to_string(held) + "; this tool reads version " +
                std::to_string(kSchemaVersion);
        return false;
    }
    return true;
}

bool CopyDatabase::run(const char* sql, std::string& error) { return runSql(conn_.get(), sql, error); }

void CopyDatabase::rollback() {
    std::string ignored;
    (void)run("ROLLBACK", ignored);
}

bool CopyDatabase::holdsRecords(bool& any, std::string& error) {
    const Result result(PQexec(conn_.get(), "SELECT EXISTS (SELECT 1 FROM karst_profiles) OR "
                                            "EXISTS (SELECT 1 FROM karst_pibo)"),
                        &PQclear);
    if (!resultOk(result)) {
        error = connectionError(conn_.get());
        return false;
    }
    any = std::string(PQgetvalue(result.get(), 0, 0)) == "t";
    return true;
}

bool CopyDatabase::prepareWrites(std::string& error) {
    if (writesPrepared_) return true;
    for (const auto& [name, sql] : {std::pair{kProfileStatement, kUpsertProfileSql},
                                    std::pair{kPiboStatement, kUpsertPiboSql}}) {
        const Result result(PQprepare(conn_.get(), name, sql, 0, nullptr), &PQclear);
        if (!resultOk(result)) {
            error = connectionError(conn_.get());
            return false;
        }
    }
    writesPrepared_ = true;
    return true;
}

bool CopyDatabase::execPrepared(const char* name, const std::vector<std::string>& values,
                                std::string& error) {
    if (!prepareWrites(error)) return false;
    std::vector<const char*> data;
    std::vector<int> lengths;
    const std::vector<int> binary(values.size(), 1);
    for (const auto& v : values) {
        data.push_back(v.data());
        lengths.push_back(static_cast<int>(v.size()));
    }
    const Result result(PQexecPrepared(conn_.get(), name, static_cast<int>(values.size()), data.data(),
                                       lengths.data(), binary.data(), 0),
                        &PQclear);
    if (resultOk(result)) return true;
    error = connectionError(conn_.get());
    return false;
}

bool CopyDatabase::writeProfile(const ProfileRecord& record, std::string& error) {
    return execPrepared(kProfileStatement, {bytesOf(record.profileKey), bytesOf(encodeProfileRecord(record))},
                        error);
}

bool CopyDatabase::writePibo(const PiboRecord& record, std::string& error) {
    return execPrepared(kPiboStatement,
                        {int8Bytes(record.id), bytesOf(record.owner), bytesOf(encodePiboRecord(record))}, error);
}

bool CopyDatabase::raiseNextEggId(uint64_t atLeast, std::string& error) {
    const Result result = execWithBytes(conn_.get(), kRaiseNextEggIdSql.c_str(), int8Bytes(atLeast), false);
    if (resultOk(result)) return true;
    error = connectionError(conn_.get());
    return false;
}

bool CopyDatabase::lockLeaseNumber(const ProfileKey& key, std::optional<int64_t>& number,
                                   std::string& error) {
    const Result result = execWithBytes(conn_.get(), kLockLeaseSql, bytesOf(key), true);
    if (!resultOk(result)) {
        error = connectionError(conn_.get());
        return false;
    }
    number.reset();
    if (PQntuples(result.get()) == 1)
        number = sqlInt64At(result.get(), 0, 0);
    return true;
}

bool CopyDatabase::readProfiles(ProfileTable& table, std::string& error) {
    const Result result(PQexecParams(conn_.get(), "SELECT profile_key, record FROM karst_profiles",
                                     0, nullptr, nullptr, nullptr, nullptr, 1),
                        &PQclear);
    if (!resultOk(result)) {
        error = connectionError(conn_.get());
        return false;
    }
    for (int row = 0; row < PQntuples(result.get()); ++row) {
        const std::optional<ProfileRecord> record = decodeProfileRecord(cell(result, row, 1));
        const std::span<const uint8_t> key = cell(result, row, 0);
        if (!record || !std::equal(key.begin(), key.end(), record->profileKey.begin(), record->profileKey.end())) {
            error = "profile row " + std::to_string(row + 1) + " does not hold a valid record for its key";
            return false;
        }
        table.emplace(record->profileKey, *record);
    }
    return true;
}

bool CopyDatabase::readPibo(std::vector<PiboRecord>& records, std::string& error) {
    const Result result(PQexecParams(conn_.get(), kSelectPiboSql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1),
                        &PQclear);
    if (!resultOk(result)) {
        error = connectionError(conn_.get());
        return false;
    }
    for (int row = 0; row < PQntuples(result.get()); ++row) {
        const uint64_t id = idFromSql(sqlInt64At(result.get(), row, 0));
        const std::optional<PiboRecord> record = decodePiboRecord(cell(result, row, 2));
        const std::span<const uint8_t> owner = cell(result, row, 1);
        if (!record || record->id != id ||
            !std::equal(owner.begin(), owner.end(), record->owner.begin(), record->owner.end())) {
            error = "Pibo row " + std::to_string(id) + " does not hold a valid record for its id and owner";
            return false;
        }
        records.push_back(*record);
    }
    return true;
}

bool CopyDatabase::readNextEggId(uint64_t& next, std::string& error) {
    const Result result(PQexec(conn_.get(), kReadNextEggIdSql.c_str()), &PQclear);
    if (!resultOk(result) || PQntuples(result.get()) != 1) {
        error = "cannot read the egg-id counter: " + connectionError(conn_.get());
        return false;
    }
    next = idFromSql(std::strtoll(PQgetvalue(result.get(), 0, 0), nullptr, 10));
    return true;
}

}  // namespace karst::storecopy
