// The remote console's packets: exact bytes, the size bounds on both sides,
// replies split at 4,096 body bytes, and the password comparison.
#include "net/rcon_packet.h"

#include "common/wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace karst::net {
namespace {

// The size field alone; the packet's other bytes are left to the caller.
std::vector<uint8_t> sizeField(int32_t size) {
    std::vector<uint8_t> bytes(4);
    tools::putU32(bytes.data(), static_cast<uint32_t>(size));
    return bytes;
}

TEST(RconPacket, EncodesLittleEndianWithTwoZeroBytes) {
    std::vector<uint8_t> out;
    appendRconPacket(out, 0x01020304, kRconAuthResponse, "ok");
    EXPECT_EQ(out, (std::vector<uint8_t>{12, 0, 0, 0, 4, 3, 2, 1, 2, 0, 0, 0, 'o', 'k', 0, 0}));

    RconPacket packet;
    size_t used = 0;
    ASSERT_EQ(cutRconPacket(out, packet, used), RconCut::Packet);
    EXPECT_EQ(used, out.size());
    EXPECT_EQ(packet.id, 0x01020304);
    EXPECT_EQ(packet.body, "ok");
    // One byte short of the whole packet waits for more.
    EXPECT_EQ(cutRconPacket(std::span(out).first(out.size() - 1), packet, used), RconCut::NeedMore);
    EXPECT_EQ(cutRconPacket(std::span(out).first(3), packet, used), RconCut::NeedMore);
}

TEST(RconPacket, SizeBoundsAreJudgedBeforeTheBodyArrives) {
    RconPacket packet;
    size_t used = 0;
    for (const int32_t size : {-1, 0, 9, 4107, 0x7FFFFFFF}) {
        EXPECT_EQ(cutRconPacket(sizeField(size), packet, used), RconCut::Malformed) << size;
    }
    // Whole packets of the extreme sizes are taken through a real server.
    for (const int32_t size : {10, 4106}) EXPECT_EQ(cutRconPacket(sizeField(size), packet, used), RconCut::NeedMore);
    // The body ends at its first zero byte, whatever follows.
    std::vector<uint8_t> bytes;
    appendRconPacket(bytes, 7, kRconExecCommand, std::string("say hi\0junk", 11));
    ASSERT_EQ(cutRconPacket(bytes, packet, used), RconCut::Packet);
    EXPECT_EQ(packet.body, "say hi");
}

TEST(RconPacket, RepliesSplitAtFourThousandNinetySixBodyBytes) {
    const auto bodies = [](const std::string& text) {
        std::vector<uint8_t> out;
        appendRconReply(out, 42, text);
        std::vector<std::string> found;
        RconPacket packet;
        size_t used = 0;
        for (std::span<const uint8_t> rest(out); cutRconPacket(rest, packet, used) == RconCut::Packet;
             rest = rest.subspan(used)) {
            EXPECT_EQ(packet.id, 42);
            EXPECT_EQ(packet.type, kRconResponseValue);
            found.push_back(packet.body);
        }
        return found;
    };
    EXPECT_EQ(bodies(""), std::vector<std::string>{""});
    EXPECT_EQ(bodies(std::string(4096, 'a')), std::vector<std::string>{std::string(4096, 'a')});
    const std::string longer = std::string(4096, 'a') + std::string(4097, 'b');
    EXPECT_EQ(bodies(longer),
              (std::vector<std::string>{std::string(4096, 'a'), std::string(4096, 'b'), "b"}));
}

TEST(RconPacket, PasswordsMatchOnlyWhenEqualInLengthAndBytes) {
    EXPECT_TRUE(rconPasswordsMatch("correct horse", "correct horse"));
    EXPECT_FALSE(rconPasswordsMatch("correct hors", "correct horse"));
    EXPECT_FALSE(rconPasswordsMatch("correct horse!", "correct horse"));
    EXPECT_FALSE(rconPasswordsMatch("Correct horse", "correct horse"));
    EXPECT_FALSE(rconPasswordsMatch(std::string("correct horse\0", 14), "correct horse"));
    EXPECT_FALSE(rconPasswordsMatch("", "correct horse"));
}

}  // namespace
}  // namespace karst::net
