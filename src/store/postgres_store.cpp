// Sessions on the shared store: leases taken at log-on, renewed while the
// player plays, given up at disconnect, and lost when this server can no longer
// vouch for them. Also the connection's life: reconnections with a growing
// delay, deadlines on every statement, the shutdown.
#include "store/postgres_store.h"

#include <algorithm>
#include <random>

#include "app/console.h"
#include "net/clock.h"
#include "store/postgres_schema.h"

namespace karst {

namespace {

constexpr uint64_t kFirstReconnectDelayNs = 1 * kNsPerSecond;
constexpr uint64_t kLongestReconnectDelayNs = 16 * kNsPerSecond;
constexpr uint64_t kLongestStatementNs = 5 * kNsPerSecond;
// Egg ids are reserved a block at a time, so breeding never waits for the database.
constexpr int64_t kEggIdBlock = 64;
constexpr int64_t kEggIdBlockSpan = kEggIdBlock * static_cast<int64_t>(kServerPiboIdStep);
constexpr size_t kEggIdRefillBelow = 16;

// Takes the lease when it is free, expired or already this server's, counting
// its number up, then creates the profile or updates its name and looks; one
// row (the lease number, the record) when the lease was taken, none otherwise.
constexpr auto kLooksFromSql = sqlDecimal<kProfileLooksOffset + 1>();  // SQL counts from 1
constexpr auto kLooksSizeSql = sqlDecimal<kProfileLooksSize>();
constexpr auto kBeginSessionSql = joinSql(
    "WITH lease AS ("
    " INSERT INTO karst_leases (profile_key, server_id, expires_at, lease_number)"
    " VALUES ($1::bytea, $2::int8, now() + make_interval(secs => $3::int8::float8), 1)"
    " ON CONFLICT (profile_key) DO UPDATE"
    " SET server_id = EXCLUDED.server_id, expires_at = EXCLUDED.expires_at,"
    " lease_number = karst_leases.lease_number + 1"
    " WHERE karst_leases.server_id = EXCLUDED.server_id OR karst_leases.expires_at < now()"
    " RETURNING lease_number),"
    " profile AS ("
    " INSERT INTO karst_profiles (profile_key, record) SELECT $1::bytea, $4::bytea FROM lease"
    " ON CONFLICT (profile_key) DO UPDATE SET record = overlay(karst_profiles.record"
    " placing substring(EXCLUDED.record from ", kLooksFromSql, " for ", kLooksSizeSql, ")"
    " from ", kLooksFromSql, " for ", kLooksSizeSql, ")"
    " RETURNING record)"
    " SELECT lease.lease_number, profile.record FROM lease, profile");
constexpr auto kLoadPiboSql =
    joinSql("SELECT record FROM karst_pibo WHERE owner = $1::bytea ORDER BY ", unsignedIdOrder("id"));
// Only leases still alive in the database are renewed: one that ran out there
// may already be another server's.
constexpr const char* kRenewLeasesSql =
    "UPDATE karst_leases SET expires_at = now() + make_interval(secs => $2::int8::float8)"
    " WHERE server_id = $1::int8 AND expires_at > now() RETURNING profile_key, lease_number";
constexpr const char* kReleaseAllLeasesSql =
    "UPDATE karst_leases SET server_id = 0, expires_at = '-infinity' WHERE server_id = $1::int8";
constexpr auto kReserveEggIdsSql =
    joinSql("UPDATE karst_counters SET value = value + $1::int8 WHERE name = ", kEggIdCounterSql,
            " RETURNING value - $1::int8");

int64_t drawServerId() {
    std::random_device device;
    const uint64_t id = (uint64_t{device()} << 32 | device()) & ~(uint64_t{1} << 63);
    return static_cast<int64_t>(id == 0 ? 1 : id);
}

ProfileKey keyAt(const PGresult* result, int row, int column) {
    ProfileKey key{};
    const std::string_view bytes = sqlBytesAt(result, row, column);
    if (bytes.size() == key.size()) std::copy(bytes.begin(), bytes.end(), key.begin());
    return key;
}

std::span<const uint8_t> bytesAt(const PGresult* result, int row, int column) {
    const std::string_view bytes = sqlBytesAt(result, row, column);
    return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
}

}  // namespace

// The margin covers the clocks of the two machines running at slightly
// different rates; the deadline leaves time for a reconnection and a renewal
// before the lease runs out.
PostgresStore::PostgresStore(SharedStoreSettings settings)
    : settings_(std::move(settings)),
      leaseNs_(uint64_t{settings_.leaseSeconds} * kNsPerSecond),
      marginNs_(leaseNs_ / 8),
      deadlineNs_(std::min(leaseNs_ / 4, kLongestStatementNs)),
      serverId_(drawServerId()) {
    link_.setKeepalive(static_cast<uint32_t>(std::max<uint64_t>(1, deadlineNs_ / kNsPerSecond)));
}

bool PostgresStore::open(std::string& error) {
    const auto setup = [this](PGconn* conn, std::string& why) {
        if (!ensureSchema(conn, why)) return false;
        const std::string block = std::to_string(kEggIdBlockSpan);
        const char* values[] = {block.c_str()};
        PGresult* result = PQexecParams(conn, kReserveEggIdsSql.c_str(), 1, nullptr, values, nullptr, nullptr, 0);
        const bool ok = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1;
        if (ok) {
            const int64_t start = std::stoll(PQgetvalue(result, 0, 0));
            for (uint64_t i = 0; i < uint64_t{kEggIdBlock}; ++i)
                eggIds_.push_back(static_cast<uint64_t>(start) + kServerPiboIdStep * i);
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

const PostgresStore::Lease* PostgresStore::leaseOf(const ProfileKey& key) const {
    const auto it = leases_.find(key);
    return it == leases_.end() ? nullptr : &it->second;
}

bool PostgresStore::releasing(const ProfileKey& key) const {
    const Lease* lease = leaseOf(key);
    return lease != nullptr && lease->ending;
}

void PostgresStore::beginSession(const ProfileRecord& fresh, SessionDone done) {
    if (!available()) {
        SessionStart start;
        start.profile = fresh;
        done(start);  // unavailable, at once
        return;
    }
    const auto bytes = encodeProfileRecord(fresh);
    const ProfileKey key = fresh.profileKey;
    std::vector<SqlStatement> statements;
    statements.push_back({kBeginSessionSql.c_str(), {sqlBytes(key.data(), key.size()), sqlInt64(serverId_),
                                             sqlInt64(settings_.leaseSeconds),
                                             sqlBytes(bytes.data(), bytes.size())}});
    statements.push_back({kLoadPiboSql.c_str(), {sqlBytes(key.data(), key.size())}});
    const uint64_t sentNs = monotonicNowNs();
    auto settle = [this, fresh, sentNs, done = std::move(done)](const SqlOutcome& outcome) {
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
            if (auto record = decodeProfileRecord(bytesAt(outcome.results[0], 0, 1))) start.profile = *record;
            const PGresult* rows = outcome.results[1];
            for (int row = 0; row < PQntuples(rows); ++row)
                if (auto record = decodePiboRecord(bytesAt(rows, row, 0))) start.pibo.push_back(*record);
            admit(fresh.profileKey, sqlInt64At(outcome.results[0], 0, 0), sentNs);
        }
        done(start);
    };
    (void)link_.submit(std::move(statements), std::move(settle), sentNs);
}

void PostgresStore::admit(const ProfileKey& key, int64_t number, uint64_t sentNs) {
    Lease& lease = leases_[key];
    lease = {number, localExpiryFrom(sentNs), false};
    earliestExpiryNs_ = std::min(earliestExpiryNs_, lease.expiresNs);
}

void PostgresStore::endSession(const ProfileKey& key) {
    const auto it = leases_.find(key);
    if (it == leases_.end() || it->second.ending) return;
    it->second.ending = true;
    PendingRelease& release = waiting_.releases[key];
    release = {nextVersion(), it->second.number};
}

void PostgresStore::renewLeases(uint64_t nowNs) {
    nextRenewalNs_ = nowNs + std::max<uint64_t>(1, leaseNs_ / 3);
    if (leases_.empty()) {
        renewalsFirst_ = false;
        return;
    }
    // Only the leases held when it was sent are judged by its answer: a lease
    // taken later is not in it.
    std::vector<std::pair<ProfileKey, int64_t>> asked;
    asked.reserve(leases_.size());
    for (const auto& [key, lease] : leases_) asked.emplace_back(key, lease.number);
    auto settle = [this, asked = std::move(asked), nowNs](const SqlOutcome& outcome) {
        settleRenewal(asked, nowNs, outcome);
    };
    (void)link_.submit({{kRenewLeasesSql, {sqlInt64(serverId_), sqlInt64(settings_.leaseSeconds)}}},
                       std::move(settle), nowNs);
}

void PostgresStore::settleRenewal(const std::vector<std::pair<ProfileKey, int64_t>>& asked, uint64_t sentNs,
                                  const SqlOutcome& outcome) {
    // Unanswered, a lease runs on its last expiry; the deadline and the
    // reconnection decide what happens next.
    if (!outcome.committed) return;
    std::unordered_map<ProfileKey, int64_t, ProfileKeyHash> renewed;
    const PGresult* rows = outcome.results[0];
    for (int row = 0; row < PQntuples(rows); ++row) renewed.emplace(keyAt(rows, row, 0), sqlInt64At(rows, row, 1));
    for (const auto& [key, number] : asked) {
        const auto it = leases_.find(key);
        if (it == leases_.end() || it->second.number != number) continue;
        const auto found = renewed.find(key);
        if (found != renewed.end() && found->second == number)
            it->second.expiresNs = std::max(it->second.expiresNs, localExpiryFrom(sentNs));
        else
            loseLease(key, "its lease was taken by another server or ran out in the database");
    }
    earliestExpiryNs_ = UINT64_MAX;
    for (const auto& [key, lease] : leases_) earliestExpiryNs_ = std::min(earliestExpiryNs_, lease.expiresNs);
    renewalsFirst_ = false;
}

void PostgresStore::expireLeases(uint64_t nowNs) {
    if (nowNs < earliestExpiryNs_) return;
    std::vector<ProfileKey> expired;
    earliestExpiryNs_ = UINT64_MAX;
    for (const auto& [key, lease] : leases_) {
        if (nowNs >= lease.expiresNs) expired.push_back(key);
        else earliestExpiryNs_ = std::min(earliestExpiryNs_, lease.expiresNs);
    }
    for (const ProfileKey& key : expired) loseLease(key, "its lease could not be renewed in time");
}

// This server stops using the lease before the database could give it to
// another: what still waits for it is given up, and the session ends.
void PostgresStore::loseLease(const ProfileKey& key, const std::string& why) {
    if (leases_.erase(key) == 0) return;
    const size_t unstored = dropWaitingFor(key);
    if (leaseLost_) leaseLost_({key, unstored, why});
}

bool PostgresStore::takeEggIds(uint64_t& first, uint64_t& second) {
    if (eggIds_.size() < kEggIdRefillBelow) reserveEggIds(monotonicNowNs());
    if (eggIds_.size() < 2) return false;
    first = eggIds_.back();
    eggIds_.pop_back();
    second = eggIds_.back();
    eggIds_.pop_back();
    return true;
}

void PostgresStore::reserveEggIds(uint64_t nowNs) {
    if (reservingEggIds_ || !available()) return;
    reservingEggIds_ = true;
    auto settle = [this](const SqlOutcome& outcome) {
        reservingEggIds_ = false;
        if (!outcome.committed || PQntuples(outcome.results[0]) != 1) return;
        const auto start = static_cast<uint64_t>(sqlInt64At(outcome.results[0], 0, 0));
        std::vector<uint64_t> block;
        for (int64_t i = kEggIdBlock - 1; i >= 0; --i)
            block.push_back(start + kServerPiboIdStep * static_cast<uint64_t>(i));
        eggIds_.insert(eggIds_.begin(), block.begin(), block.end());
    };
    (void)link_.submit({{kReserveEggIdsSql.c_str(), {sqlInt64(kEggIdBlockSpan)}}}, std::move(settle), nowNs);
}

void PostgresStore::service(uint64_t nowNs, bool ready) {
    serviceLink(nowNs, ready);
    noticeStateChange(nowNs);
    // Leases run out on this server's clock whether or not the database answers.
    expireLeases(nowNs);
    if (!available()) return;
    if (nowNs >= nextRenewalNs_) renewLeases(nowNs);
    if (eggIds_.size() < kEggIdRefillBelow) reserveEggIds(nowNs);
}

void PostgresStore::serviceLink(uint64_t nowNs, bool ready) {
    switch (link_.state()) {
        case PostgresLink::State::Down:
            if (nowNs >= nextAttemptNs_) {
                connectStartedNs_ = nowNs;
                link_.startConnect();
            }
            break;
        case PostgresLink::State::Connecting:
            if (ready) link_.service();
            else if (nowNs - connectStartedNs_ > deadlineNs_) link_.close();
            break;
        case PostgresLink::State::Up:
            link_.service();
            link_.enforceDeadline(nowNs, deadlineNs_);
            break;
    }
    // A failed attempt waits longer each time, up to a limit.
    if (link_.state() == PostgresLink::State::Down && nowNs >= nextAttemptNs_) {
        reconnectDelayNs_ = std::clamp(reconnectDelayNs_ * 2, kFirstReconnectDelayNs, kLongestReconnectDelayNs);
        nextAttemptNs_ = nowNs + reconnectDelayNs_;
    }
}

void PostgresStore::noticeStateChange(uint64_t nowNs) {
    const bool up = available();
    if (up == wasUp_) return;
    wasUp_ = up;
    if (!up) {
        if (!outageReported_)
            printError("Warning: the database cannot be reached (" + link_.lastError() +
                       "); players keep playing, their changes wait in memory");
        outageReported_ = true;
        return;
    }
    reconnectDelayNs_ = 0;
    if (outageReported_)
        printLine("The database can be reached again; writing " + std::to_string(waiting_.size()) +
                  " waiting changes");
    outageReported_ = false;
    // Leases that ran out meanwhile may be another server's now: they are
    // renewed, or found lost, before anything that waits is written.
    renewalsFirst_ = true;
    renewLeases(nowNs);
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
        // No renewal first: the fence turns away whatever is no longer ours.
        flushRegardless();
        (void)link_.submit({{kReleaseAllLeasesSql, {sqlInt64(serverId_)}}}, [](const SqlOutcome&) {},
                           monotonicNowNs());
        const uint64_t now = monotonicNowNs();
        (void)link_.drain(now < deadline ? static_cast<int>((deadline - now) / kNsPerMs) : 0);
    }
    if (link_.unitsInFlight() != 0) link_.abandon("no answer before shutdown");
    link_.close();
    return waiting_.profiles.empty() && waiting_.pibo.empty() && refused_.empty();
}

std::unique_ptr<SharedStore> makeDatabaseStore(const SharedStoreSettings& settings) {
    return std::make_unique<PostgresStore>(settings);
}

bool databaseBackendBuilt() { return true; }

}  // namespace karst
