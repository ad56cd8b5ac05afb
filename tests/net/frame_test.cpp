// The frame codec: headers split across reads, the checks that fail a buffer,
// sequence rules and the notice text limit.
#include "net/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/coding.h"

namespace karst {
namespace {

std::vector<uint8_t> frameBytes(uint32_t sequence, uint32_t length = 4) {
    std::vector<uint8_t> bytes(kFrameHeaderSize + length, 0);
    encodeFrameHeader(bytes.data(), FrameHeader{kProtocolVersion, 12, length, sequence});
    return bytes;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

struct Recorder {
    std::vector<uint32_t> sequences;
    bool operator()(const FrameHeader& h, std::span<const uint8_t>) {
        sequences.push_back(h.sequence);
        return true;
    }
};

TEST(Frames, PartialFramesWaitForTheirRestAndWholeOnesAreConsumed) {
    const std::vector<uint8_t> third = frameBytes(3);
    std::vector<uint8_t> buffer = concat({frameBytes(1), frameBytes(2)});
    buffer.insert(buffer.end(), third.begin(), third.begin() + 10);  // not even a whole header
    uint32_t last = 0;
    Recorder recorder;
    ASSERT_TRUE(parseFrames(buffer, last, std::ref(recorder)));
    EXPECT_EQ(recorder.sequences, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(buffer, std::vector<uint8_t>(third.begin(), third.begin() + 10));
    buffer.insert(buffer.end(), third.begin() + 10, third.end());
    ASSERT_TRUE(parseFrames(buffer, last, std::ref(recorder)));
    EXPECT_EQ(recorder.sequences, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_TRUE(buffer.empty());
}

TEST(Frames, BadMagicVersionOrLengthFailsBeforeThePayloadArrives) {
    const std::pair<size_t, uint32_t> spoilers[] = {{0, 'X'}, {4, 6}, {8, kMaxPayloadLength + 1}};
    for (const auto& [offset, value] : spoilers) {
        std::vector<uint8_t> header = frameBytes(1, 0);
        putU32(header.data() + offset, value);
        uint32_t last = 0;
        EXPECT_FALSE(parseFrames(header, last, Recorder{})) << offset;
    }
    std::vector<uint8_t> longest = frameBytes(1, 4096);  // the longest payload allowed
    uint32_t last = 0;
    EXPECT_TRUE(parseFrames(longest, last, Recorder{}));
}

TEST(Frames, SecondOfThreeMalformedStopsAfterTheFirst) {
    std::vector<uint8_t> buffer = concat({frameBytes(5), frameBytes(5), frameBytes(6)});
    uint32_t last = 0;
    Recorder recorder;
    EXPECT_FALSE(parseFrames(buffer, last, std::ref(recorder)));
    EXPECT_EQ(recorder.sequences, std::vector<uint32_t>{5});
}

TEST(Frames, SequenceMustAdvanceByLessThanHalfTheRange) {
    EXPECT_FALSE(sequenceAdvances(0, 0));
    EXPECT_TRUE(sequenceAdvances(0, 123456));  // the first frame may carry any non-zero value
    EXPECT_TRUE(sequenceAdvances(6, 9));
    EXPECT_FALSE(sequenceAdvances(5, 5));
    EXPECT_FALSE(sequenceAdvances(9, 6));
    EXPECT_TRUE(sequenceAdvances(0xFFFFFFFFu, 1));
    EXPECT_TRUE(sequenceAdvances(1, 1u + 0x7FFFFFFFu));
    EXPECT_FALSE(sequenceAdvances(1, 1u + 0x80000000u));  // a jump of 2^31 reads as going back
}

TEST(Frames, NoticeCutsLongTextTo125BytesAndAZero) {
    const auto notice = makeNotice(7, std::string(200, 'x'));
    EXPECT_EQ(getU16(notice.data()), 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(notice.data() + 2)), std::string(125, 'x'));
    EXPECT_EQ(notice[127], 0);
}

}  // namespace
}  // namespace karst
