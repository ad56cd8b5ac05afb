#include "net/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/coding.h"

namespace karst {
namespace {

std::vector<uint8_t> frameBytes(uint16_t type, uint32_t length, uint32_t sequence) {
    std::vector<uint8_t> bytes(kFrameHeaderSize + length, 0);
    FrameHeader header;
    header.type = type;
    header.payloadLength = length;
    header.sequence = sequence;
    encodeFrameHeader(bytes.data(), header);
    return bytes;
}

void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

struct Recorder {
    std::vector<uint32_t> sequences;
    bool operator()(const FrameHeader& h, std::span<const uint8_t>) {
        sequences.push_back(h.sequence);
        return true;
    }
};

TEST(Frames, HeaderLayoutIsPinned) {
    const std::vector<uint8_t> bytes = frameBytes(7, 48, 0x01020304);
    const std::vector<uint8_t> head(bytes.begin(), bytes.begin() + 16);
    const std::vector<uint8_t> expected{'K', 'R', 'S', 'T', 7, 0, 7, 0, 48, 0, 0, 0, 4, 3, 2, 1};
    EXPECT_EQ(head, expected);
}

TEST(Frames, HeaderSplitAcrossReadsIsCompletedByTheSecondRead) {
    const std::vector<uint8_t> whole = frameBytes(12, 4, 1);
    std::vector<uint8_t> buffer(whole.begin(), whole.begin() + 10);
    uint32_t last = 0;
    Recorder recorder;
    ASSERT_TRUE(parseFrames(buffer, last, std::ref(recorder)));
    EXPECT_TRUE(recorder.sequences.empty());
    EXPECT_EQ(buffer.size(), 10u);
    buffer.insert(buffer.end(), whole.begin() + 10, whole.end());
    ASSERT_TRUE(parseFrames(buffer, last, std::ref(recorder)));
    EXPECT_EQ(recorder.sequences, std::vector<uint32_t>{1});
    EXPECT_TRUE(buffer.empty());
}

TEST(Frames, LengthAboveLimitFailsBeforePayloadArrives) {
    std::vector<uint8_t> buffer = frameBytes(1, 0, 1);
    putU32(buffer.data() + 8, kMaxPayloadLength + 1);
    uint32_t last = 0;
    EXPECT_FALSE(parseFrames(buffer, last, Recorder{}));
}

TEST(Frames, WrongMagicOrVersionFails) {
    uint32_t last = 0;
    std::vector<uint8_t> badMagic = frameBytes(1, 0, 1);
    badMagic[0] = 'X';
    EXPECT_FALSE(parseFrames(badMagic, last, Recorder{}));
    std::vector<uint8_t> badVersion = frameBytes(1, 0, 1);
    putU16(badVersion.data() + 4, 6);
    EXPECT_FALSE(parseFrames(badVersion, last, Recorder{}));
}

TEST(Frames, SequenceRules) {
    EXPECT_FALSE(sequenceAdvances(0, 0));
    EXPECT_TRUE(sequenceAdvances(0, 123456));  // the first frame may carry any non-zero value
    EXPECT_TRUE(sequenceAdvances(5, 6));
    EXPECT_TRUE(sequenceAdvances(6, 9));
    EXPECT_FALSE(sequenceAdvances(5, 5));
    EXPECT_FALSE(sequenceAdvances(9, 6));
    EXPECT_TRUE(sequenceAdvances(0xFFFFFFFFu, 1));
    EXPECT_TRUE(sequenceAdvances(1, 1u + 0x7FFFFFFFu));
    EXPECT_FALSE(sequenceAdvances(1, 1u + 0x80000000u));  // a jump of 2^31 reads as going back
}

TEST(Frames, SecondOfThreeMalformedStopsAfterTheFirst) {
    std::vector<uint8_t> buffer;
    append(buffer, frameBytes(12, 4, 5));
    append(buffer, frameBytes(12, 4, 5));  // repeats the sequence
    append(buffer, frameBytes(12, 4, 6));
    uint32_t last = 0;
    Recorder recorder;
    EXPECT_FALSE(parseFrames(buffer, last, std::ref(recorder)));
    EXPECT_EQ(recorder.sequences, std::vector<uint32_t>{5});
}

TEST(Frames, ConsumedFramesLeaveOnlyThePartialTail) {
    std::vector<uint8_t> buffer;
    append(buffer, frameBytes(12, 4, 1));
    append(buffer, frameBytes(12, 4, 2));
    const std::vector<uint8_t> third = frameBytes(12, 4, 3);
    buffer.insert(buffer.end(), third.begin(), third.begin() + 7);
    uint32_t last = 0;
    Recorder recorder;
    ASSERT_TRUE(parseFrames(buffer, last, std::ref(recorder)));
    EXPECT_EQ(recorder.sequences, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(buffer, std::vector<uint8_t>(third.begin(), third.begin() + 7));
    EXPECT_EQ(last, 2u);
}

TEST(Frames, DispatchRefusalFailsTheBuffer) {
    std::vector<uint8_t> buffer = frameBytes(12, 4, 1);
    uint32_t last = 0;
    EXPECT_FALSE(parseFrames(buffer, last, [](const FrameHeader&, std::span<const uint8_t>) {
        return false;
    }));
}

TEST(Frames, GateKnowsEveryClientTypeAndItsSize) {
    EXPECT_TRUE(clientPayloadSizeMatches(1, 48));
    EXPECT_FALSE(clientPayloadSizeMatches(1, 47));
    EXPECT_TRUE(clientPayloadSizeMatches(23, 2084));
    EXPECT_TRUE(clientPayloadSizeMatches(32, 12));
    for (uint16_t serverType : {0, 2, 5, 6, 10, 11, 13, 14, 17, 18, 19, 22, 24, 28, 30, 31, 33, 34, 35})
        EXPECT_FALSE(clientPayloadSizeMatches(serverType, 0)) << serverType;
    EXPECT_FALSE(clientPayloadSizeMatches(7, 4096));
    EXPECT_FALSE(clientPayloadSizeMatches(0xFFFF, 4));
}

TEST(Frames, NoticeCutsLongTextTo125BytesAndAZero) {
    const std::string text(200, 'x');
    const auto notice = makeNotice(7, text);
    EXPECT_EQ(getU16(notice.data()), 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(notice.data() + 2)), std::string(125, 'x'));
    EXPECT_EQ(notice[127], 0);
}

}  // namespace
}  // namespace karst
