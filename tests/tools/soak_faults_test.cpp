// The soak's malformed connections against a real server: each kind of bad
// frame must be one the server closes the connection for, or the soak would
// report the server for a fault of its own making. Also the end-of-soak
// store check, which must notice a lost change.
#include "soak/soak_check.h"
#include "soak/soak_intruders.h"

#include "support/players.h"

namespace karst::soak {
namespace {

constexpr uint64_t kEggId = (uint64_t{1} << 63) + 1;

TEST(SoakFaults, EveryMalformedConnectionIsClosedByTheServer) {
    testing::TestServer server;
    std::mt19937_64 random(3);
    for (int kind = 0; kind < kFaultKinds; ++kind) {
        const Fault fault = static_cast<Fault>(kind);
        client::KarstClient c;
        ASSERT_TRUE(c.connect(server.port()));
        ASSERT_TRUE(c.sendRaw(malformedBytes(fault, testing::profileKeyFor(uint8_t(kind)), random)));
        EXPECT_TRUE(c.closedByPeer(2000)) << faultName(fault);
    }
    // And the server still serves everybody else.
    client::KarstClient ok = testing::welcomedClient(server.port(), "Fine", 99);
    EXPECT_TRUE(ok.ping({1, 2, 3, 4}));
    EXPECT_TRUE(ok.receiveType(MessageType::Pong).has_value());
}

class SoakStoreCheck : public ::testing::Test {
protected:
    SoakStoreCheck() : world_(SoakOptions{}, net::ResolvedAddress{}) {}

    std::vector<uint8_t> profileFile(uint32_t rings, uint16_t fruit) const {
        client::StoredProfile record{.key = key_, .rings = rings};
        record.fruit[kSoakFruit] = fruit;
        return client::writeProfileStore(std::vector{record});
    }

    std::vector<uint8_t> piboFile(bool withEgg, uint8_t slot) const {
        std::vector<client::StoredPibo> records;
        if (withEgg) {
            client::StoredPibo egg{.id = kEggId, .owner = key_, .parentA = 5, .parentB = 7};
            egg.stage = client::kPiboStageEgg;
            egg.data[client::kPiboTypeOffset] = client::kPiboTypeEgg;
            egg.localSlot = slot;
            records.push_back(egg);
        }
        return client::writePiboStore(records, kEggId + 2);
    }

    StoreCheck check(std::span<const uint8_t> profiles, std::span<const uint8_t> pibo,
                     ProfileExpectation expected) {
        const std::vector<PlayerExpectation> players{{key_, expected}};
        return checkStores(profiles, pibo, players, world_);
    }

    ProfileKey key_ = testing::profileKeyFor(1);
    SoakWorld world_;
};

TEST_F(SoakStoreCheck, EachLostChangeIsAMismatchAndMatchingStoresPass) {
    world_.eggs()[kEggId] = EggExpectation{key_, 5, 7, 3};
    const ProfileExpectation bought{true, false, 990, 1};
    std::vector<uint8_t> damaged = profileFile(990, 1);
    damaged.push_back(0);
    const struct {
        const char* what;
        std::vector<uint8_t> profiles, pibo;
        ProfileExpectation expected;
        uint64_t mismatches;
    } cases[] = {
        {"matching", profileFile(990, 1), piboFile(true, 3), bought, 0},
        {"lost purchase", profileFile(1000, 0), piboFile(true, 3), bought, 2},
        {"lost egg", profileFile(990, 1), piboFile(false, 0), bought, 1},
        {"lost claim", profileFile(990, 1), piboFile(true, 255), bought, 1},
        {"uncertain fruit", profileFile(990, 7), piboFile(true, 3), {true, true, 990, 1}, 0},
        {"damaged profile store", damaged, piboFile(true, 3), bought, 1},
    };
    for (const auto& c : cases) EXPECT_EQ(check(c.profiles, c.pibo, c.expected).mismatches, c.mismatches) << c.what;
}

}  // namespace
}  // namespace karst::soak
