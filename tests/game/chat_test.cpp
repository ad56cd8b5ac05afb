// Room chat through a real server on loopback: cleaning, the sender's own copy,
// and the fixed two-second window driven by the server's clock.
#include "support/players.h"

namespace karst::testing {
namespace {

std::vector<client::ChatText> chatsIn(const std::vector<Frame>& frames) {
    return decodeAll(frames, MessageType::ChatText, client::decodeChatText);
}

TEST(Chat, CleanedTextReachesTheRoomFivePerTwoSecondWindow) {
    FrozenClocks clocks;
    TestServer server;
    auto players = playersInRoom(server, 2, kHubRoom);
    KarstClient elsewhere = enterPlayer(server, 3, kOtherHubRoom);
    // A blank message is dropped before the limit sees it, so five real ones still pass.
    ASSERT_TRUE(players[0].chat(" \t\x01 "));
    for (int i = 1; i <= 7; ++i) ASSERT_TRUE(players[0].chat("  message    " + std::to_string(i)));

    const auto own = roundTrip(players[0]);
    ASSERT_EQ(own.size(), 6u);  // five copies, one notice, then silence
    const auto notices = decodeAll(own, MessageType::Notice, client::decodeNotice);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].code, 7);
    EXPECT_EQ(notices[0].text, "Chat slowed down: wait a moment");

    const auto other = roundTrip(players[1]);
    const auto chats = chatsIn(other);
    ASSERT_EQ(chats.size(), 5u);
    EXPECT_EQ(other.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(chats[i].playerId, players[0].playerId());
        EXPECT_EQ(chats[i].text, "message " + std::to_string(i + 1));
        EXPECT_EQ(chatsIn(own)[i].text, chats[i].text);
    }
    // Zero padding all the way: no bytes of the original survive behind the text.
    EXPECT_TRUE(std::all_of(other[0].payload.begin() + 4 + 9, other[0].payload.end(),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(chatsIn(roundTrip(elsewhere)).empty());

    // The window is fixed from its first message, so one dropped just before
    // its end (with no second notice) does not stretch it.
    advanceMonotonicClockForTesting(2 * kNsPerSecond - 1);
    ASSERT_TRUE(players[0].chat("too soon"));
    EXPECT_TRUE(roundTrip(players[0]).empty());
    advanceMonotonicClockForTesting(1);
    ASSERT_TRUE(players[0].chat("new window"));
    const auto later = chatsIn(receivedAfter(players[0], players[1], MessageType::ChatText));
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].text, "new window");
}

}  // namespace
}  // namespace karst::testing
