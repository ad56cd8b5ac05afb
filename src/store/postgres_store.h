// The shared store on PostgreSQL, as its two source files see it:
// postgres_store.cpp holds the sessions, their leases and the connection's
// life; postgres_writes.cpp the changes on their way to the database.
//
// Every write is the whole record, so a record written twice needs only its
// newest copy, and a unit lost with the connection can be sent again later
// without harm. Writes carry a version: a lost unit's copy never replaces a
// newer one that waits already.
#pragma once

#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "store/postgres_link.h"
#include "store/shared_store.h"

namespace karst {

// One record's newest change (`version`), made under the owner's lease number
// `lease`. It also answers for the earlier changes it replaced, from `since`
// on: their replies wait for it too.
template <typename Record>
struct PendingWrite {
    Record record;
    uint64_t version = 0;
    uint64_t since = 0;
    int64_t lease = 0;
};

struct PendingRelease {
    uint64_t version = 0;
    int64_t lease = 0;
};

// Changes on their way: waiting for the next unit, or sent as one.
struct WriteBatch {
    std::unordered_map<ProfileKey, PendingWrite<ProfileRecord>, ProfileKeyHash> profiles;
    std::unordered_map<uint64_t, PendingWrite<PiboRecord>> pibo;
    std::unordered_map<ProfileKey, PendingRelease, ProfileKeyHash> releases;

    bool empty() const { return profiles.empty() && pibo.empty() && releases.empty(); }
    size_t size() const { return profiles.size() + pibo.size() + releases.size(); }
};

class PostgresStore final : public SharedStore {
public:
    explicit PostgresStore(SharedStoreSettings settings);

    bool open(std::string& error) override;
    int socket() const override { return link_.socket(); }
    bool wantsWrite() const override { return link_.wantsWrite(); }
    void setSocketClosing(std::function<void(int)> closing) override {
        link_.setSocketClosing(std::move(closing));
    }
    void service(uint64_t nowNs, bool ready) override;
    bool available() const override { return link_.state() == PostgresLink::State::Up; }
    void setLeaseLost(LeaseLostHandler handler) override { leaseLost_ = std::move(handler); }
    void beginSession(const ProfileRecord& fresh, SessionDone done) override;
    void endSession(const ProfileKey& key) override;
    bool releasing(const ProfileKey& key) const override;
    void writeProfile(const ProfileRecord& record) override;
    void writePibo(const PiboRecord& record) override;
    void flush() override;
    uint64_t version() const override { return version_; }
    uint64_t durableThrough() const override {
        return outstanding_.empty() ? version_ : *outstanding_.begin() - 1;
    }
    bool takeEggIds(uint64_t& first, uint64_t& second) override;
    bool close(int timeoutMs) override;
    std::vector<ProfileRecord> unsavedProfiles() const override;
    std::vector<PiboRecord> unsavedPibo() const override;
    std::vector<LeaseEntry> unsavedLeases() const override;
    // When this server stops using the key's lease unless renewed; 0 when it
    // holds none.
    uint64_t leaseExpiryNs(const ProfileKey& key) const {
        const Lease* lease = leaseOf(key);
        return lease == nullptr ? 0 : lease->expiresNs;
    }

private:
    struct Lease {
        int64_t number = 0;
        uint64_t expiresNs = 0;  // this server's own reckoning, short of the database's
        bool ending = false;     // the session ended; the release waits
    };

    // Sessions and leases (postgres_store.cpp).
    const Lease* leaseOf(const ProfileKey& key) const;
    void admit(const ProfileKey& key, int64_t number, uint64_t sentNs);
    void renewLeases(uint64_t nowNs);
    void settleRenewal(const std::vector<std::pair<ProfileKey, int64_t>>& asked, uint64_t sentNs,
                       const SqlOutcome& outcome);
    void expireLeases(uint64_t nowNs);
    void loseLease(const ProfileKey& key, const std::string& why);
    void reserveEggIds(uint64_t nowNs);
    void serviceLink(uint64_t nowNs, bool ready);
    void noticeStateChange(uint64_t nowNs);
    uint64_t localExpiryFrom(uint64_t sentNs) const { return sentNs + leaseNs_ - marginNs_; }

    // Changes (postgres_writes.cpp).
    uint64_t nextVersion();
    void forget(uint64_t version) { outstanding_.erase(version); }
    size_t dropWaitingFor(const ProfileKey& key);
    void settleWrites(const WriteBatch& sent, const SqlOutcome& outcome);
    void landedOrFenced(const PGresult* result, const ProfileKey& owner, uint64_t version, int64_t lease);
    void requeue(const WriteBatch& sent);
    void keepRefused(const WriteBatch& sent, const std::string& error);
    void flushRegardless();

    SharedStoreSettings settings_;
    uint64_t leaseNs_;
    uint64_t marginNs_;    // how much sooner than the database this server stops using a lease
    uint64_t deadlineNs_;  // how long any statement may go unanswered
    PostgresLink link_;
    int64_t serverId_;
    LeaseLostHandler leaseLost_;

    uint64_t version_ = 0;
    std::set<uint64_t> outstanding_;  // the `since` of every change neither committed nor given up
    WriteBatch waiting_;              // for the next unit
    WriteBatch refused_;              // turned away by the database itself: kept for the dump

    std::unordered_map<ProfileKey, Lease, ProfileKeyHash> leases_;
    uint64_t earliestExpiryNs_ = UINT64_MAX;
    bool renewalsFirst_ = false;  // after a reconnection, no write goes before the renewal
    uint64_t nextRenewalNs_ = 0;

    std::vector<uint64_t> eggIds_;
    bool reservingEggIds_ = false;
    bool wasUp_ = true;
    bool outageReported_ = false;
    uint64_t reconnectDelayNs_ = 0;
    uint64_t nextAttemptNs_ = 0;
    uint64_t connectStartedNs_ = 0;
};

}  // namespace karst
