// The load generator's measuring parts: the send stamp's bytes in a movement
// record, the sending side's copy of the relay gate, the expected-delivery
// arithmetic, the latency histogram's percentiles, the send schedule and the
// bots' identities.
#include "bots/bot_identity.h"
#include "bots/latency_histogram.h"
#include "bots/record_stamp.h"
#include "bots/send_schedule.h"

#include "client/messages.h"
#include "net/coding.h"

#include <gtest/gtest.h>
#include <set>

namespace karst::bots {
namespace {

// ---- Send stamp ---------------------------------------------------------------

TEST(SendStamp, TimeFillsOffsets40To47AsOneLittleEndianWord) {
    client::PlayerStateRecord record;
    writeStamp(record, SendStamp{0x0102030405060708ull, 5, false});
    const auto bytes = client::encodePlayerState(record);
    EXPECT_EQ(getU64(bytes.data() + 40), 0x0102030405060708ull);
    EXPECT_EQ(getU32(bytes.data() + 40), 0x05060708u);  // the opaque word
    EXPECT_EQ(getU32(bytes.data() + 44), 0x01020304u);  // the time stamp
    EXPECT_EQ(getU32(bytes.data() + 36), 5u);           // the yaw: sequence, not counted
}

TEST(SendStamp, CountedFlagIsTheYawsTopBit) {
    client::PlayerStateRecord record;
    writeStamp(record, SendStamp{1, 0x7FFFFFFF, true});
    const auto bytes = client::encodePlayerState(record);
    EXPECT_EQ(getU32(bytes.data() + 36), 0xFFFFFFFFu);
}

TEST(SendStamp, SurvivesTheWireBothWays) {
    for (const SendStamp stamp : {SendStamp{0, 1, false},
                                  SendStamp{3'600'000'000'000ull, 432000, true},
                                  SendStamp{~0ull, 0x7FFFFFFF, true}}) {
        client::PlayerStateRecord record;
        record.playerId = 9;
        writeStamp(record, stamp);
        const auto decoded = client::decodePlayerState(client::encodePlayerState(record));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(readStamp(*decoded), stamp);
    }
}

// ---- Relay gate and expected deliveries ----------------------------------------

TEST(RelayGateTracker, CountsOnlyRecordsFifteenMillisecondsApart) {
    RelayGateTracker gate;
    EXPECT_TRUE(gate.admits(5));  // the first record always counts
    gate.markCounted(5);
    EXPECT_FALSE(gate.admits(5 + kRelayGateNs - 1));
    EXPECT_TRUE(gate.admits(5 + kRelayGateNs));
}

TEST(RelayGateTracker, AnUncountedRecordDoesNotMoveTheReference) {
    // At 120 Hz (8.33 ms) every other record counts: 0, 16.7, 33.3 ms...
    RelayGateTracker gate;
    const uint64_t interval = 1'000'000'000 / 120;
    int counted = 0;
    for (uint64_t i = 0; i < 120; ++i) {
        if (gate.admits(i * interval)) {
            gate.markCounted(i * interval);
            ++counted;
        }
    }
    EXPECT_EQ(counted, 60);
}

TEST(ExpectedDeliveries, EachCountedRecordReachesEveryOtherRoomMember) {
    EXPECT_EQ(expectedDeliveries(600, 8), 4200u);
    EXPECT_EQ(expectedDeliveries(600, 1), 0u);
    EXPECT_EQ(expectedDeliveries(600, 0), 0u);
    EXPECT_EQ(expectedDeliveries(0, 8), 0u);
}

TEST(ExpectedDeliveries, LossAndPercentage) {
    EXPECT_EQ(lostRecords(100, 97), 3u);
    EXPECT_EQ(lostRecords(100, 100), 0u);
    EXPECT_EQ(lostRecords(100, 101), 0u);
    EXPECT_DOUBLE_EQ(deliveryPercent(200, 199), 99.5);
    EXPECT_DOUBLE_EQ(deliveryPercent(200, 250), 100.0);
    EXPECT_LT(deliveryPercent(0, 0), 0.0);  // nothing expected: shown as n/a
}

// ---- Latency histogram -------------------------------------------------------

TEST(LatencyHistogram, EmptyReportsZero) {
    const LatencyHistogram h;
    EXPECT_EQ(h.count(), 0u);
    EXPECT_EQ(h.percentile(50), 0u);
    EXPECT_EQ(h.max(), 0u);
}

TEST(LatencyHistogram, NearestRankOnExactValues) {
    LatencyHistogram h;
    for (uint64_t v = 1; v <= 100; ++v) h.record(v);  // below 256: one bucket each
    EXPECT_EQ(h.percentile(50), 50u);
    EXPECT_EQ(h.percentile(99), 99u);
    EXPECT_EQ(h.percentile(99.5), 100u);
    EXPECT_EQ(h.percentile(100), 100u);
    EXPECT_EQ(h.percentile(0), 1u);
    EXPECT_DOUBLE_EQ(h.meanNs(), 50.5);
}

TEST(LatencyHistogram, FewSamplesRoundTheRankUp) {
    LatencyHistogram h;
    for (uint64_t v : {10, 20, 30}) h.record(v);
    EXPECT_EQ(h.percentile(50), 20u);   // rank ceil(1.5) = 2
    EXPECT_EQ(h.percentile(34), 20u);   // rank ceil(1.02) = 2
    EXPECT_EQ(h.percentile(33), 10u);   // rank ceil(0.99) = 1
    EXPECT_EQ(h.percentile(99), 30u);
}

TEST(LatencyHistogram, LargeValuesWithinOnePercentAndNeverBelow) {
    for (uint64_t v : {256ull, 257ull, 1'000ull, 123'456ull, 2'500'000ull, 987'654'321ull,
                       (1ull << 43) + 12345}) {
        LatencyHistogram h;
        h.record(v);
        h.record(1);  // keeps the max from capping the answer for the lower sample
        h.record(v + v / 2);
        const uint64_t p50 = h.percentile(50);
        EXPECT_GE(p50, v) << v;
        EXPECT_LE(static_cast<double>(p50), static_cast<double>(v) * 1.01) << v;
    }
}

TEST(LatencyHistogram, TopPercentileIsTheExactMaximum) {
    LatencyHistogram h;
    for (uint64_t v : {1'000'000ull, 1'234'567ull, 777ull}) h.record(v);
    EXPECT_EQ(h.percentile(100), 1'234'567u);
    EXPECT_EQ(h.max(), 1'234'567u);
}

TEST(LatencyHistogram, HugeValuesShareTheLastBucket) {
    LatencyHistogram h;
    h.record(~0ull);
    EXPECT_EQ(LatencyHistogram::bucketIndex(~0ull), LatencyHistogram::kBucketCount - 1);
    EXPECT_EQ(h.percentile(50), ~0ull);  // capped by the recorded maximum
}

TEST(LatencyHistogram, BucketsTileTheRangeWithoutGaps) {
    for (size_t i = 1; i < LatencyHistogram::kBucketCount; ++i) {
        const uint64_t lowest = LatencyHistogram::bucketHighest(i - 1) + 1;
        ASSERT_EQ(LatencyHistogram::bucketIndex(lowest), i);
        ASSERT_EQ(LatencyHistogram::bucketIndex(LatencyHistogram::bucketHighest(i)), i);
    }
}

TEST(LatencyHistogram, MergeAddsCounts) {
    LatencyHistogram a, b;
    a.record(10);
    b.record(30);
    b.record(20);
    a.merge(b);
    EXPECT_EQ(a.count(), 3u);
    EXPECT_EQ(a.percentile(50), 20u);
    EXPECT_EQ(a.max(), 30u);
}

// ---- Send schedule -------------------------------------------------------------

TEST(CyclicSchedule, SpreadsParticipantsOverTheInterval) {
    CyclicSchedule s(4, 1000, 50);
    const uint64_t expected[] = {50, 300, 550, 800, 1050, 1300};
    const uint32_t who[] = {0, 1, 2, 3, 0, 1};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(s.nextDueNs(), expected[i]);
        EXPECT_EQ(s.nextParticipant(), who[i]);
        s.advance();
    }
}

TEST(CyclicSchedule, NobodyIsNeverDue) {
    EXPECT_EQ(CyclicSchedule().nextDueNs(), CyclicSchedule::kNever);
    EXPECT_EQ(CyclicSchedule(0, 1000, 0).nextDueNs(), CyclicSchedule::kNever);
}

TEST(CyclicSchedule, AStallSkipsWholeRoundsInsteadOfBursting) {
    CyclicSchedule s(2, 1000, 0);
    s.advance();  // participant 1, due at 500
    EXPECT_EQ(s.skipMissedRounds(1400), 0u);  // late, but by less than a round
    EXPECT_EQ(s.skipMissedRounds(3600), 6u);  // three rounds of two slots
    EXPECT_EQ(s.nextParticipant(), 1u);
    EXPECT_EQ(s.nextDueNs(), 3500u);
}

// ---- Identities -------------------------------------------------------------

TEST(BotIdentity, ProfileKeysAreDistinctNonZeroAndRepeatable) {
    std::set<ProfileKey> keys;
    for (uint32_t i = 0; i < 10000; ++i) {
        const ProfileKey key = botProfileKey(1, i);
        EXPECT_FALSE(isZeroKey(key));
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), 10000u);
    EXPECT_EQ(botProfileKey(1, 17), botProfileKey(1, 17));
    EXPECT_NE(botProfileKey(1, 17), botProfileKey(2, 17));
}

TEST(BotIdentity, CharacterIsOneTheStageAdmits) {
    EXPECT_EQ(botCharacter(0), 0);
    EXPECT_EQ(botCharacter(1), 0);
    EXPECT_EQ(botCharacter(12), 3);  // only characters 3, 4 and 5 may enter level 12
    for (int16_t level = 0; level <= 255; ++level)
        EXPECT_TRUE(stageOpenToCharacter(level, botCharacter(level))) << level;
}

TEST(BotIdentity, RoomsAreFilledInIndexOrderWithDistinctInstances) {
    BotOptions options;
    options.level = 26;
    options.act = 3;
    EXPECT_EQ(botRoomIndex(7, 8), 0u);
    EXPECT_EQ(botRoomIndex(8, 8), 1u);
    EXPECT_EQ(roomCount(17, 8), 3u);
    EXPECT_EQ(roomCount(16, 8), 2u);
    const RoomKey first = botRoomKey(options, 0);
    EXPECT_EQ(first, (RoomKey{26, 3, 0, 1}));
    EXPECT_NE(botRoomKey(options, 1), first);
}

}  // namespace
}  // namespace karst::bots
