// The shared store's leases on the server's own clock, driven pass by pass
// against the test cluster: a renewal answered in time keeps a lease past its
// first expiry; one that cannot be answered loses it exactly at the expiry, and
// a late answer brings nothing back.
#include <gtest/gtest.h>

#include "support/fleet.h"
#include "store/postgres_store.h"

namespace karst::testing {
namespace {

constexpr uint32_t kLeaseSeconds = 8;
constexpr uint64_t kLeaseNs = kLeaseSeconds * kNsPerSecond;

ProfileRecord freshProfile(uint8_t n) {
    ProfileRecord record;
    record.profileKey = profileKeyFor(n);
    record.rings = 1000;
    return record;
}

class LeaseClock : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::TestDatabase::available()) GTEST_SKIP() << "PostgreSQL not installed";
        url_ = database().createDatabase(::testing::UnitTest::GetInstance()->current_test_info()->name());
        store_ = std::make_unique<PostgresStore>(SharedStoreSettings{url_, kLeaseSeconds});
        std::string error;
        ASSERT_TRUE(store_->open(error)) << error;
        store_->setLeaseLost([this](const LostLease& lost) { lost_.push_back(lost); });
    }

    // One pass of the loop at the clock's current reading.
    void pass() { store_->service(monotonicNowNs(), true); }

    // Passes until `done`, or false after about two seconds.
    template <typename Done>
    bool passUntil(Done done) {
        for (int i = 0; i < 2000 && !done(); ++i) {
            pass();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    }

    // Player n admitted at the clock's current reading.
    void admit(uint8_t n) {
        bool answered = false;
        store_->beginSession(freshProfile(n), [&](SessionStart& start) {
            answered = true;
            EXPECT_EQ(start.outcome, SessionOutcome::Admitted);
        });
        ASSERT_TRUE(passUntil([&] { return answered; }));
    }

    void advanceTo(uint64_t ns) { advanceMonotonicClockForTesting(ns - monotonicNowNs()); }

    FrozenClocks clocks_;
    std::string url_;
    std::unique_ptr<PostgresStore> store_;
    std::vector<LostLease> lost_;
};

TEST_F(LeaseClock, ARenewalAnsweredInTimeCarriesTheLeasePastItsFirstExpiry) {
    const uint64_t loggedOn = monotonicNowNs();
    admit(1);
    const ProfileKey key = profileKeyFor(1);
    // A margin short of the database's own reckoning.
    const uint64_t firstExpiry = store_->leaseExpiryNs(key);
    EXPECT_EQ(firstExpiry, loggedOn + kLeaseNs - kLeaseNs / 8);

    advanceMonotonicClockForTesting(kLeaseNs / 3);
    const uint64_t renewedAt = monotonicNowNs();
    ASSERT_TRUE(passUntil([&] { return store_->leaseExpiryNs(key) != firstExpiry; }));
    EXPECT_EQ(store_->leaseExpiryNs(key), renewedAt + kLeaseNs - kLeaseNs / 8);

    advanceTo(firstExpiry);
    pass();
    EXPECT_TRUE(lost_.empty());
    EXPECT_NE(store_->leaseExpiryNs(key), 0u);
}

TEST_F(LeaseClock, ALeaseThatCannotBeRenewedIsLostAtItsExpiryAndStaysLost) {
    admit(1);
    const ProfileKey key = profileKeyFor(1);
    const uint64_t expiry = store_->leaseExpiryNs(key);
    RowLock leases(url_, "karst_leases");  // every renewal waits behind it
    ASSERT_TRUE(leases.held());

    advanceTo(expiry - 1);
    pass();  // a renewal leaves and waits
    pass();
    EXPECT_TRUE(lost_.empty());
    advanceTo(expiry);
    pass();
    ASSERT_EQ(lost_.size(), 1u);
    EXPECT_EQ(lost_[0].key, key);
    EXPECT_NE(lost_[0].why.find("could not be renewed in time"), std::string::npos) << lost_[0].why;

    // The renewal's late answer brings nothing back, and nothing more is written.
    ASSERT_TRUE(leases.run("ROLLBACK"));
    ASSERT_TRUE(passUntil([&] {
        return query(url_, "SELECT count(*) FROM karst_leases WHERE expires_at > now() + interval '7 s'") == "1\n";
    }));
    for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1))) pass();
    EXPECT_EQ(store_->leaseExpiryNs(key), 0u);
    const uint64_t version = store_->version();
    store_->writeProfile(freshProfile(1));
    EXPECT_EQ(store_->version(), version);
    EXPECT_EQ(lost_.size(), 1u);
}

}  // namespace
}  // namespace karst::testing
