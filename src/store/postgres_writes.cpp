// Changes on their way to the shared store. Each carries the lease number of
// its owner's session and is fenced by it: the statement locks the lease row
// and writes only while that row still names this server and that number, so a
// server cut off past its lease can never overwrite what another server stored
// meanwhile. A write the fence turns away affects no row; it is never sent
// again, and the session it belonged to ends.
#include <algorithm>

#include "app/console.h"
#include "net/clock.h"
#include "store/postgres_schema.h"
#include "store/postgres_store.h"

namespace karst {

namespace {

// Each returns one row when it wrote, none when the fence turned it away.
constexpr const char* kFencedProfileSql =
    "WITH fence AS (SELECT 1 FROM karst_leases WHERE profile_key = $1::bytea"
    " AND server_id = $3::int8 AND lease_number = $4::int8 FOR SHARE)"
    " INSERT INTO karst_profiles (profile_key, record) SELECT $1::bytea, $2::bytea FROM fence"
    " ON CONFLICT (profile_key) DO UPDATE SET record = EXCLUDED.record RETURNING 1";
constexpr const char* kFencedPiboSql =
    "WITH fence AS (SELECT 1 FROM karst_leases WHERE profile_key = $2::bytea"
    " AND server_id = $4::int8 AND lease_number = $5::int8 FOR SHARE)"
    " INSERT INTO karst_pibo (id, owner, record) SELECT $1::int8, $2::bytea, $3::bytea FROM fence"
    " ON CONFLICT (id) DO UPDATE SET owner = EXCLUDED.owner, record = EXCLUDED.record RETURNING 1";
// A released lease keeps its row and its number, so the next taking counts on.
constexpr const char* kReleaseLeaseSql =
    "UPDATE karst_leases SET server_id = 0, expires_at = '-infinity'"
    " WHERE profile_key = $1::bytea AND server_id = $2::int8 AND lease_number = $3::int8 RETURNING 1";

// A later copy of a record replaces an earlier one, and answers for it: the
// earlier change is settled only when the later one is.
template <typename Map, typename Key, typename Write>
void keepNewest(Map& map, const Key& key, const Write& write, std::set<uint64_t>& outstanding) {
    auto [it, added] = map.try_emplace(key, write);
    if (added) return;
    Write& kept = it->second;
    const uint64_t since = std::min(kept.since, write.since);
    outstanding.erase(std::max(kept.since, write.since));
    if (kept.version < write.version) kept = write;
    kept.since = since;
}

template <typename Record>
PendingWrite<Record> newWrite(const Record& record, uint64_t version, int64_t lease) {
    return {record, version, version, lease};
}

}  // namespace

uint64_t PostgresStore::nextVersion() {
    outstanding_.insert(++version_);
    return version_;
}

void PostgresStore::writeProfile(const ProfileRecord& record) {
    const Lease* lease = leaseOf(record.profileKey);
    if (lease == nullptr) return;
    keepNewest(waiting_.profiles, record.profileKey, newWrite(record, nextVersion(), lease->number), outstanding_);
}

void PostgresStore::writePibo(const PiboRecord& record) {
    const Lease* lease = leaseOf(record.owner);
    if (lease == nullptr) return;
    keepNewest(waiting_.pibo, record.id, newWrite(record, nextVersion(), lease->number), outstanding_);
}

size_t PostgresStore::dropWaitingFor(const ProfileKey& key) {
    size_t dropped = 0;
    const auto drop = [&](auto& map, auto ownerOf) {
        std::erase_if(map, [&](const auto& entry) {
            if (ownerOf(entry) != key) return false;
            forget(entry.second.since);
            ++dropped;
            return true;
        });
    };
    drop(waiting_.profiles, [](const auto& entry) { return entry.first; });
    drop(waiting_.pibo, [](const auto& entry) { return entry.second.record.owner; });
    if (const auto it = waiting_.releases.find(key); it != waiting_.releases.end()) {
        forget(it->second.version);
        waiting_.releases.erase(it);
    }
    return dropped;
}

void PostgresStore::flush() {
    if (!renewalsFirst_) flushRegardless();
}

// Statements in the batch's own order, which settleWrites walks again.
void PostgresStore::flushRegardless() {
    if (!available() || waiting_.empty()) return;
    std::vector<SqlStatement> statements;
    statements.reserve(waiting_.size());
    const SqlParam server = sqlInt64(serverId_);
    for (const auto& [key, write] : waiting_.profiles) {
        const auto bytes = encodeProfileRecord(write.record);
        statements.push_back({kFencedProfileSql, {sqlBytes(key.data(), key.size()),
                                                  sqlBytes(bytes.data(), bytes.size()), server,
                                                  sqlInt64(write.lease)}});
    }
    for (const auto& [id, write] : waiting_.pibo) {
        const auto bytes = encodePiboRecord(write.record);
        const ProfileKey& owner = write.record.owner;
        statements.push_back({kFencedPiboSql, {sqlInt64(idToSql(id)), sqlBytes(owner.data(), owner.size()),
                                               sqlBytes(bytes.data(), bytes.size()), server,
                                               sqlInt64(write.lease)}});
    }
    // A lease goes only after the changes before it: same unit, later statements.
    for (const auto& [key, release] : waiting_.releases)
        statements.push_back({kReleaseLeaseSql, {sqlBytes(key.data(), key.size()), server, sqlInt64(release.lease)}});
    auto sent = std::make_shared<WriteBatch>(std::move(waiting_));
    waiting_ = {};
    (void)link_.submit(std::move(statements), [this, sent](const SqlOutcome& outcome) { settleWrites(*sent, outcome); },
                       monotonicNowNs());
}

void PostgresStore::settleWrites(const WriteBatch& sent, const SqlOutcome& outcome) {
    if (outcome.connectionLost || outcome.transient) return requeue(sent);
    if (!outcome.committed) return keepRefused(sent, outcome.error);
    size_t statement = 0;
    for (const auto& [key, write] : sent.profiles)
        landedOrFenced(outcome.results[statement++], key, write.since, write.lease);
    for (const auto& [id, write] : sent.pibo)
        landedOrFenced(outcome.results[statement++], write.record.owner, write.since, write.lease);
    for (const auto& [key, release] : sent.releases) {
        forget(release.version);
        // Given up, or taken by another server meanwhile: either way no longer ours.
        const Lease* lease = leaseOf(key);
        if (lease != nullptr && lease->ending && lease->number == release.lease) leases_.erase(key);
    }
}

void PostgresStore::landedOrFenced(const PGresult* result, const ProfileKey& owner, uint64_t since,
                                   int64_t lease) {
    forget(since);
    if (PQntuples(result) == 1) return;
    const Lease* held = leaseOf(owner);
    if (held != nullptr && held->number == lease)
        loseLease(owner, "another server holds its lease; a change was turned away");
}

// Lost with the connection, or rolled back by the database for a passing
// reason: back in the queue, unless a newer copy waits already or the lease it
// was made under is gone (then it is given up with that lease).
void PostgresStore::requeue(const WriteBatch& sent) {
    size_t givenUp = 0;
    const auto stillOurs = [&](const ProfileKey& owner, int64_t lease, uint64_t since) {
        const Lease* held = leaseOf(owner);
        if (held != nullptr && held->number == lease) return true;
        forget(since);
        ++givenUp;
        return false;
    };
    for (const auto& [key, write] : sent.profiles)
        if (stillOurs(key, write.lease, write.since)) keepNewest(waiting_.profiles, key, write, outstanding_);
    for (const auto& [id, write] : sent.pibo)
        if (stillOurs(write.record.owner, write.lease, write.since)) keepNewest(waiting_.pibo, id, write, outstanding_);
    for (const auto& [key, release] : sent.releases) {
        const Lease* held = leaseOf(key);
        if (held != nullptr && held->number == release.lease) waiting_.releases.try_emplace(key, release);
        else forget(release.version);
    }
    if (givenUp != 0)
        printError("Warning: " + std::to_string(givenUp) +
                   " changes were not stored: they were on their way when their lease was lost");
}

// The database itself turned the unit away (not a passing failure): its changes
// are kept for the shutdown dump rather than sent again and again, and the
// sessions they belong to end, since their replies can never be confirmed.
void PostgresStore::keepRefused(const WriteBatch& sent, const std::string& error) {
    printError("Warning: the database refused a write (" + error + "); the changes are kept for the shutdown dump");
    std::vector<ProfileKey> owners;
    for (const auto& [key, write] : sent.profiles) {
        keepNewest(refused_.profiles, key, write, outstanding_);
        owners.push_back(key);
    }
    for (const auto& [id, write] : sent.pibo) {
        keepNewest(refused_.pibo, id, write, outstanding_);
        owners.push_back(write.record.owner);
    }
    for (const auto& entry : refused_.profiles) forget(entry.second.since);
    for (const auto& entry : refused_.pibo) forget(entry.second.since);
    for (const auto& [key, release] : sent.releases) forget(release.version);
    for (const ProfileKey& owner : owners) loseLease(owner, "the database refused its changes");
}

std::vector<ProfileRecord> PostgresStore::unsavedProfiles() const {
    std::vector<ProfileRecord> records;
    for (const WriteBatch* batch : {&waiting_, &refused_})
        for (const auto& [key, write] : batch->profiles) records.push_back(write.record);
    return records;
}

std::vector<PiboRecord> PostgresStore::unsavedPibo() const {
    std::vector<PiboRecord> records;
    for (const WriteBatch* batch : {&waiting_, &refused_})
        for (const auto& [id, write] : batch->pibo) records.push_back(write.record);
    return records;
}

std::vector<LeaseEntry> PostgresStore::unsavedLeases() const {
    std::unordered_map<ProfileKey, int64_t, ProfileKeyHash> numbers;
    for (const WriteBatch* batch : {&waiting_, &refused_}) {
        for (const auto& [key, write] : batch->profiles) numbers[key] = write.lease;
        for (const auto& [id, write] : batch->pibo) numbers[write.record.owner] = write.lease;
    }
    std::vector<LeaseEntry> leases;
    for (const auto& [key, number] : numbers) leases.push_back({key, number});
    return leases;
}

}  // namespace karst
