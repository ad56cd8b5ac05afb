// Challenges of the server query and the per-address rate limit on replies:
// the keyed hash against its published test vector, and each time rule on both
// sides of its limit.
#include "net/query_challenge.h"
#include "net/query_messages.h"
#include "net/query_rate_limit.h"

#include <gtest/gtest.h>

#include <vector>

namespace karst {
namespace {

constexpr uint64_t kSecond = 1'000'000'000;
const std::vector<uint8_t> kSource{2, 0, 0x69, 0x87, 127, 0, 0, 1};

TEST(QueryChallenges, SipHashMatchesTheReferenceVector) {
    // Key 00..0f, message 00..0e: the vector of the algorithm's paper.
    const SipKey key{0x0706050403020100ull, 0x0F0E0D0C0B0A0908ull};
    std::vector<uint8_t> message(15);
    for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(sipHash24(key, message), 0xA129CA6149BE45E5ull);
}

TEST(QueryChallenges, GoodUntilTheEndOfThePeriodAfterTheOneItWasIssuedIn) {
    const uint64_t epoch = 5 * kSecond;
    const QueryChallenges challenges(SipKey{1, 2}, epoch);
    const uint32_t atStart = challenges.issue(kSource, epoch);
    EXPECT_TRUE(challenges.accepts(kSource, atStart, epoch + 60 * kSecond - 1));
    EXPECT_FALSE(challenges.accepts(kSource, atStart, epoch + 60 * kSecond));
    // Issued in the last nanosecond of a period: 30 s from then.
    const uint32_t late = challenges.issue(kSource, epoch + 30 * kSecond - 1);
    EXPECT_EQ(late, atStart);
    EXPECT_TRUE(challenges.accepts(kSource, late, epoch + 60 * kSecond - 1));
    EXPECT_NE(challenges.issue(kSource, epoch + 30 * kSecond), atStart);
}

TEST(QueryChallenges, BoundToTheSourceEndpointAndTheSecret) {
    const QueryChallenges challenges(SipKey{1, 2}, 0);
    const uint32_t issued = challenges.issue(kSource, 0);
    std::vector<uint8_t> otherPort = kSource;
    otherPort[3] ^= 1;
    EXPECT_FALSE(challenges.accepts(otherPort, issued, 0));
    EXPECT_FALSE(QueryChallenges(SipKey{1, 3}, 0).accepts(kSource, issued, 0));
    EXPECT_FALSE(challenges.accepts(kSource, kQueryChallengeRequest, 0));
    // Two runs draw different secrets.
    EXPECT_NE(QueryChallenges(0).issue(kSource, 0), QueryChallenges(0).issue(kSource, 0));
}

net::IpAddress addressOf(uint8_t last) {
    net::IpAddress address;
    address.bytes = {127, 0, 0, last};
    return address;
}

// Ten replies a second per address, on both sides, is held through a real
// server; here, that addresses count apart, and the bound on the table.
TEST(QueryRateLimit, AddressesCountApartAndAFullTableRefusesNewOnesUntilAWindowEnds) {
    QueryRateLimit limit;
    for (int i = 0; i < 11; ++i) (void)limit.allow(addressOf(1), 0);
    EXPECT_TRUE(limit.allow(addressOf(2), 0));
    for (uint32_t i = 0; i < 16382; ++i) {
        net::IpAddress address;
        address.v6 = true;
        address.bytes[12] = static_cast<uint8_t>(i >> 8);
        address.bytes[13] = static_cast<uint8_t>(i);
        ASSERT_TRUE(limit.allow(address, 0));
    }
    EXPECT_FALSE(limit.allow(addressOf(3), kSecond - 1));
    EXPECT_TRUE(limit.allow(addressOf(3), kSecond));
    EXPECT_EQ(limit.trackedAddresses(), 1u);
}

}  // namespace
}  // namespace karst
