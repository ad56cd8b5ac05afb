// The shared store on PostgreSQL. Every write is the whole record, so a record
// written twice needs only its newest copy, and a unit lost with the connection
// can be sent again later without harm. Writes carry a version: a lost unit's
// copy never replaces a newer one that waits already.
#include <algorithm>
#include <random>
#include <unordered_map>
#include <unordered_set>

#include "app/console.h"
#include "net/clock.h"
#include "store/postgres_link.h"
#include "store/postgres_schema.h"
#include "store/shared_store.h"

namespace karst {

namespace {

constexpr uint64_t kReconnectIntervalNs = 2 * kNsPerSecond;
constexpr uint64_t kConnectTimeoutNs = 5 * kNsPerSecond;
// Egg ids are reserved a block at a time, so breeding never waits for the database.
constexpr int64_t kEggIdBlock = 64;
constexpr size_t kEggIdRefillBelow = 16;

constexpr const char* kBeginSessionSql =
    "WITH lease AS ("
    " INSERT INTO karst_leases (profile_key, server_id, expires_at)"
    " VALUES ($1::bytea, $2::int8, now() + make_interval(secs => $3::int8::float8))"
    " ON CONFLICT (profile_key) DO UPDATE"
    " SET server_id = EXCLUDED.server_id, expires_at = EXCLUDED.expires_at"
    " WHERE karst_leases.server_id = EXCLUDED.server_id OR karst_leases.expires_at < now()"
    " RETURNING 1)"
    " INSERT INTO karst_profiles (profile_key, record) SELECT $1::bytea, $4::bytea FROM lease"
    " ON CONFLICT (profile_key) DO UPDATE SET record = overlay(karst_profiles.record"
    " placing substring(EXCLUDED.record from 71 for 28) from 71 for 28)"
    " RETURNING record";
// Unsigned id order: flipping the sign bit makes it the signed order.
constexpr const char* kLoadPiboSql =
    "SELECT record FROM karst_pibo WHERE owner = $1::bytea"
    " ORDER BY id # (-9223372036854775807 - 1)";
constexpr const char* kRenewLeasesSql =
    "UPDATE karst_leases SET expires_at = now() + make_interval(secs => $2::int8::float8)"
    " WHERE server_id = $1::int8";
constexpr const char* kReleaseLeaseSql =
    "DELETE FROM karst_leases WHERE profile_key = $1::bytea AND server_id = $2::int8";
constexpr const char* kReleaseAllLeasesSql = "DELETE FROM karst_leases WHERE server_id = $1::int8";
constexpr const char* kReserveEggIdsSql =
    "UPDATE karst_counters SET value = value + $1::int8 WHERE name = 'next_pibo_id'"
    " RETURNING value - $1::int8";

template <typename Record>
struct Versioned {
    Record record;
    uint64_t version = 0;
};

int64_t drawServerId() {
    std::random_device device;
    const uint64_t id = (uint64_t{device()} << 32 | device()) & ~(uint64_t{1} << 63);
    return static_cast<int64_t>(id == 0 ? 1 : id);
}

class PostgresStore final : public SharedStore {
public:
    explicit PostgresStore(SharedStoreSettings settings) : settings_(std::move(settings)) {}

    bool open(std::string& error) override;
    int socket() const override { return link_.socket(); }
    bool wantsWrite() const override { return link_.wantsWrite(); }
    void setSocketClosing(std::function<void(int)> closing) override {
        link_.setSocketClosing(std::move(closing));
    }
    void service(uint64_t nowNs, bool ready) override;
    bool available() const override { return link_.state() == PostgresLink::State::Up; }
    void beginSession(const ProfileRecord& fresh, SessionDone done) override;
    void endSession(const ProfileKey& key) override;
    void writeProfile(const ProfileRecord& record) override {
        profiles_[record.profileKey] = {record, ++version_};
    }
    void writePibo(const PiboRecord& record) override { pibo_[record.id] = {record, ++version_}; }
    uint64_t flush() override;
    uint64_t settled() const override { return link_.settledUnit(); }
    uint64_t lastUnit() const override { return link_.lastUnit(); }
    bool takeEggIds(uint64_t& first, uint64_t& second) override;
    bool close(int timeoutMs) override;
    std::vector<ProfileRecord> unsavedProfiles() const override;
    std::vector<PiboRecord> unsavedPibo() const override;
    int64_t serverId() const { return serverId_; }

private:
    using ProfileWrites = std::unordered_map<ProfileKey, Versioned<ProfileRecord>, ProfileKeyHash>;
    using PiboWrites = std::unordered_map<uint64_t, Versioned<PiboRecord>>;

    uint64_t submit(std::vector<SqlStatement> statements, SqlCompletion done);
    void keepUnwritten(ProfileWrites& profiles, PiboWrites& pibo, const SqlOutcome& outcome);
    void renewLeases();
    void reserveEggIds();
    void noticeStateChange(uint64_t nowNs);

    SharedStoreSettings settings_;
    PostgresLink link_;
    int64_t serverId_ = drawServerId();
    uint64_t version_ = 0;
    ProfileWrites profiles_;  // waiting for the next unit
    PiboWrites pibo_;
    std::vector<ProfileKey> releases_;
    // Refused by the database itself (not lost with the connection): kept for
    // the shutdown dump rather than sent again and again.
    ProfileWrites refusedProfiles_;
    PiboWrites refusedPibo_;
    std::unordered_set<ProfileKey, ProfileKeyHash> leased_;
    std::vector<uint64_t> eggIds_;
    bool reservingEggIds_ = false;
    bool wasUp_ = true;
    bool outageReported_ = false;
    uint64_t nextAttemptNs_ = 0;
    uint64_t connectStartedNs_ = 0;
    uint64_t nextRenewalNs_ = 0;
};

bool PostgresStore::open(std::string& error) {
    const auto setup = [this](PGconn* conn, std::string& why) {
        if (!ensureSchema(conn, why)) return false;
        const std::string block = std::to_string(kEggIdBlock * 2);
        const char* values[] = {block.c_str()};
        PGresult* result = PQexecParams(
            conn, "UPDATE karst_counters SET value = value + $1::int8 WHERE name = 'next_pibo_id' "
                  "RETURNING value - $1::int8", 1, nullptr, values, nullptr, nullptr, 0);
        const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1;
        if (ok) {
            const int64_t start = std::stoll(PQgetvalue(result, 0, 0));
            for (int64_t i = 0; i < kEggIdBlock; ++i) eggIds_.push_back(static_cast<uint64_t>(start) + 2 * i);
        } else {
            why = libpqMessageLine(PQerrorMessage(conn));
        }
        PQclear(result);
        return ok;
    };
    if (!link_.connectBlocking(settings_.url, setup, error)) return false;
    std::reverse(eggIds_.begin(), eggIds_.end());  // taken from the back, lowest first
    return true;
}

uint64_t PostgresStore::submit(std::vector<SqlStatement> statements, SqlCompletion done) {
    return link_.submit(std::move(statements), std::move(done));
}

uint64_t PostgresStore::flush() {
    if (!available() || (profiles_.empty() && pibo_.empty() && releases_.empty())) return 0;
    std::vector<SqlStatement> statements;
    for (const auto& [key, write] : profiles_) {
        const auto bytes = encodeProfileRecord(write.record);
        statements.push_back({kUpsertProfileSql, {sqlBytes(key.data(), key.size()),
                                                  sqlBytes(bytes.data(), bytes.size())}});
    }
    for (const auto& [id, write] : pibo_) {
        const auto bytes = encodePiboRecord(write.record);
        statements.push_back({kUpsertPiboSql, {sqlInt64(idToSql(id)),
                                               sqlBytes(write.record.owner.data(), write.record.owner.size()),
                                               sqlBytes(bytes.data(), bytes.size())}});
    }
    // A lease goes only after the changes before it: same unit, later statements.
    for (const ProfileKey& key : releases_)
        statements.push_back({kReleaseLeaseSql, {sqlBytes(key.data(), key.size()), sqlInt64(serverId_)}});
    auto sentProfiles = std::make_shared<ProfileWrites>(std::move(profiles_));
    auto sentPibo = std::make_shared<PiboWrites>(std::move(pibo_));
    profiles_.clear();
    pibo_.clear();
    releases_.clear();
    return submit(std::move(statements), [this, sentProfiles, sentPibo](const SqlOutcome& outcome) {
        if (!outcome.committed) keepUnwritten(*sentProfiles, *sentPibo, outcome);
    });
}

void PostgresStore::keepUnwritten(ProfileWrites& profiles, PiboWrites& pibo, const SqlOutcome& outcome) {
    ProfileWrites& profileTarget = outcome.connectionLost ? profiles_ : refusedProfiles_;
    PiboWrites& piboTarget = outcome.connectionLost ? pibo_ : refusedPibo_;
    if (!outcome.connectionLost)
        printError("Warning: the database refused a write (" + outcome.error +
                   "); the changes are kept for the shutdown dump");
    for (auto& [key, write] : profiles) {
        auto [it, added] = profileTarget.try_emplace(key, write);
        if (!added && it->second.version < write.version) it->second = write;
    }
    for (auto& [id, write] : pibo) {
        auto [it, added] = piboTarget.try_emplace(id, write);
        if (!added && it->second.version < write.version) it->second = write;
    }
}

void PostgresStore::beginSession(const ProfileRecord& fresh, SessionDone done) {
    // Whatever this server still owes the database for the key goes first.
    (void)flush();
    std::erase(releases_, fresh.profileKey);
    const auto bytes = encodeProfileRecord(fresh);
    const ProfileKey key = fresh.profileKey;
    std::vector<SqlStatement> statements;
    statements.push_back({kBeginSessionSql, {sqlBytes(key.data(), key.size()), sqlInt64(serverId_),
                                             sqlInt64(settings_.leaseSeconds),
                                             sqlBytes(bytes.data(), bytes.size())}});
    statements.push_back({kLoadPiboSql, {sqlBytes(key.data(), key.size())}});
    (void)submit(std::move(statements), [this, fresh, done = std::move(done)](const SqlOutcome& outcome) {
        SessionStart start;
        start.profile = fresh;
        if (!outcome.committed) {
            if (!outcome.connectionLost)
                printError("Warning: the database refused a log-on (" + outcome.error + ")");
            start.outcome = SessionOutcome::Unavailable;
        } else if (PQntuples(outcome.results[0]) != 1) {
            start.outcome = SessionOutcome::InUse;
        } else {
            start.outcome = SessionOutcome::Admitted;
            const std::string_view stored = sqlBytesAt(outcome.results[0], 0, 0);
            if (auto record = decodeProfileRecord(std::span(reinterpret_cast<const uint8_t*>(stored.data()),
                                                            stored.size())))
                start.profile = *record;
            const PGresult* rows = outcome.results[1];
            for (int row = 0; row < PQntuples(rows); ++row) {
                const std::string_view bytes = sqlBytesAt(rows, row, 0);
                if (auto record = decodePiboRecord(std::span(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                             bytes.size())))
                    start.pibo.push_back(*record);
            }
            leased_.insert(fresh.profileKey);
        }
        done(start);
    });
}

void PostgresStore::endSession(const ProfileKey& key) {
    if (leased_.erase(key) != 0) releases_.push_back(key);
}

bool PostgresStore::takeEggIds(uint64_t& first, uint64_t& second) {
    if (eggIds_.size() < kEggIdRefillBelow) reserveEggIds();
    if (eggIds_.size() < 2) return false;
    first = eggIds_.back();
    eggIds_.pop_back();
    second = eggIds_.back();
    eggIds_.pop_back();
    return true;
}

void PostgresStore::reserveEggIds() {
    if (reservingEggIds_ || !available()) return;
    reservingEggIds_ = true;
    (void)submit({{kReserveEggIdsSql, {sqlInt64(kEggIdBlock * 2)}}}, [this](const SqlOutcome& outcome) {
        reservingEggIds_ = false;
        if (!outcome.committed || PQntuples(outcome.results[0]) != 1) return;
        const auto start = static_cast<uint64_t>(sqlInt64At(outcome.results[0], 0, 0));
        std::vector<uint64_t> block;
        for (int64_t i = kEggIdBlock - 1; i >= 0; --i) block.push_back(start + 2 * static_cast<uint64_t>(i));
        eggIds_.insert(eggIds_.begin(), block.begin(), block.end());
    });
}

void PostgresStore::renewLeases() {
    if (leased_.empty()) return;
    (void)submit({{kRenewLeasesSql, {sqlInt64(serverId_), sqlInt64(settings_.leaseSeconds)}}},
                 [](const SqlOutcome&) {});
}

void PostgresStore::service(uint64_t nowNs, bool ready) {
    switch (link_.state()) {
        case PostgresLink::State::Down:
            if (nowNs >= nextAttemptNs_) {
                nextAttemptNs_ = nowNs + kReconnectIntervalNs;
                connectStartedNs_ = nowNs;
                link_.startConnect();
            }
            break;
        case PostgresLink::State::Connecting:
            if (ready) link_.service();
            else if (nowNs - connectStartedNs_ > kConnectTimeoutNs) link_.close();
            break;
        case PostgresLink::State::Up:
            link_.service();
            break;
    }
    noticeStateChange(nowNs);
    if (!available()) return;
    if (nowNs >= nextRenewalNs_) {
        nextRenewalNs_ = nowNs + std::max<uint64_t>(1, settings_.leaseSeconds / 3) * kNsPerSecond;
        renewLeases();
    }
    if (eggIds_.size() < kEggIdRefillBelow) reserveEggIds();
}

void PostgresStore::noticeStateChange(uint64_t nowNs) {
    const bool up = available();
    if (up == wasUp_) return;
    wasUp_ = up;
    if (!up) {
        nextAttemptNs_ = nowNs + kReconnectIntervalNs;
        if (!outageReported_)
            printError("Warning: the database cannot be reached (" + link_.lastError() +
                       "); players keep playing, their changes wait in memory");
        outageReported_ = true;
        return;
    }
    const size_t waiting = profiles_.size() + pibo_.size();
    if (outageReported_)
        printLine("The database can be reached again; writing " + std::to_string(waiting) +
                  " waiting changes");
    outageReported_ = false;
    (void)flush();
    nextRenewalNs_ = 0;  // leases that ran out meanwhile are taken again at once
}

bool PostgresStore::close(int timeoutMs) {
    const uint64_t deadline = monotonicNowNs() + static_cast<uint64_t>(timeoutMs) * kNsPerMs;
    // A short outage at the very end: one more attempt before giving up.
    if (!available()) {
        link_.startConnect();
        while (link_.state() == PostgresLink::State::Connecting && monotonicNowNs() < deadline)
            link_.service();
    }
    if (available()) {
        (void)flush();
        (void)submit({{kReleaseAllLeasesSql, {sqlInt64(serverId_)}}}, [](const SqlOutcome&) {});
        const uint64_t now = monotonicNowNs();
        (void)link_.drain(now < deadline ? static_cast<int>((deadline - now) / kNsPerMs) : 0);
    }
    if (link_.unitsInFlight() != 0) link_.abandon("no answer before shutdown");
    link_.close();
    leased_.clear();
    return profiles_.empty() && pibo_.empty() && refusedProfiles_.empty() && refusedPibo_.empty();
}

std::vector<ProfileRecord> PostgresStore::unsavedProfiles() const {
    std::vector<ProfileRecord> records;
    for (const ProfileWrites* writes : {&profiles_, &refusedProfiles_})
        for (const auto& [key, write] : *writes) records.push_back(write.record);
    return records;
}

std::vector<PiboRecord> PostgresStore::unsavedPibo() const {
    std::vector<PiboRecord> records;
    for (const PiboWrites* writes : {&pibo_, &refusedPibo_})
        for (const auto& [id, write] : *writes) records.push_back(write.record);
    return records;
}

}  // namespace

std::unique_ptr<SharedStore> makeDatabaseStore(const SharedStoreSettings& settings) {
    return std::make_unique<PostgresStore>(settings);
}

bool databaseBackendBuilt() { return true; }

}  // namespace karst
