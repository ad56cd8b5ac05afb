// The database side of karst_store_copy: one blocking libpq connection, the
// shared tables' rows as the stores' records, and the egg-id counter. Ids and
// keys travel as binary parameters and results, so no record is ever turned
// into text and back.
#pragma once

#include "garden/pibo_store.h"
#include "store/profile_store.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <libpq-fe.h>

namespace karst::storecopy {

class CopyDatabase {
public:
    bool connect(const std::string& url, std::string& error);

    // Creates or upgrades the tables (to-database).
    bool ensureSchema(std::string& error);
    // The tables exist at a version this build reads; nothing is created, so a
    // mistyped database name is reported instead of being filled.
    bool holdsStore(std::string& error);

    bool run(const char* sql, std::string& error);
    // Best effort, after a failure; the connection closing rolls back as well.
    void rollback();

    // Whether either table holds a row (inside a transaction that locked them).
    bool holdsRecords(bool& any, std::string& error);
    bool writeProfile(const ProfileRecord& record, std::string& error);
    bool writePibo(const PiboRecord& record, std::string& error);
    bool raiseNextEggId(uint64_t atLeast, std::string& error);
    // Locks the key's lease row until the transaction ends, so no server takes the
    // key while its records are written; `number` stays empty without a row.
    bool lockLeaseNumber(const ProfileKey& key, std::optional<int64_t>& number, std::string& error);

    bool readProfiles(ProfileTable& table, std::string& error);
    bool readPibo(std::vector<PiboRecord>& records, std::string& error);
    bool readNextEggId(uint64_t& next, std::string& error);

private:
    bool prepareWrites(std::string& error);
    bool execPrepared(const char* name, const std::vector<std::string>& values, std::string& error);

    std::unique_ptr<PGconn, decltype(&PQfinish)> conn_{nullptr, &PQfinish};
    bool writesPrepared_ = false;
};

}  // namespace karst::storecopy
