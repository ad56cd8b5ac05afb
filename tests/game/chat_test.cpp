// Room chat through a real server on loopback: cleaning, the sender's own copy,
// and the fixed two-second window driven by the server's clock.
#include <gtest/gtest.h>

#include "game/room_players.h"
#include "net/clock.h"

namespace karst::testing {
namespace {

std::vector<client::ChatText> chatsIn(const std::vector<Frame>& frames) {
    std::vector<client::ChatText> chats;
    for (const Frame& frame : framesOfType(frames, MessageType::ChatText)) {
        const auto chat = client::decodeChatText(frame.payload);
        EXPECT_TRUE(chat.has_value());
        if (chat) chats.push_back(*chat);
    }
    return chats;
}

TEST(Chat, CleanedTextReachesTheWholeRoomSenderIncluded) {
    TestServer server;
    auto players = playersInRoom(server, 2, kHubRoom);
    KarstClient elsewhere = enterPlayer(server, 3, kOtherHubRoom);
    ASSERT_TRUE(players[0].chat("  hello    world  "));

    for (KarstClient& player : players) {
        const auto frames = receivedAfter(players[0], player, MessageType::ChatText);
        ASSERT_EQ(frames.size(), 1u);
        const auto chat = client::decodeChatText(frames[0].payload);
        ASSERT_TRUE(chat.has_value());
        EXPECT_EQ(chat->playerId, players[0].playerId());
        EXPECT_EQ(chat->text, "hello world");
        // Zero padding all the way: no bytes of the original survive behind the text.
        for (size_t i = 4 + chat->text.size(); i < kChatTextSize; ++i)
            ASSERT_EQ(frames[0].payload[i], 0) << "byte " << i;
    }
    EXPECT_TRUE(chatsIn(roundTrip(elsewhere)).empty());
}

TEST(Chat, PlayersInNoRoomTalkToEachOther) {
    TestServer server;
    KarstClient first = enterPlayer(server, 1, kNoRoom);
    KarstClient second = enterPlayer(server, 2, kNoRoom);
    ASSERT_TRUE(first.chat("anyone?"));
    const auto chats = chatsIn(receivedAfter(first, second, MessageType::ChatText));
    ASSERT_EQ(chats.size(), 1u);
    EXPECT_EQ(chats[0].text, "anyone?");
}

TEST(Chat, FiveMessagesPerWindowThenOneNoticeThenSilence) {
    TestServer server;
    auto players = playersInRoom(server, 2, kHubRoom);
    // A blank message is dropped before the limit sees it, so five real ones still pass.
    ASSERT_TRUE(players[0].chat(" \t\x01 "));
    for (int i = 1; i <= 7; ++i) ASSERT_TRUE(players[0].chat("message " + std::to_string(i)));

    const auto own = roundTrip(players[0]);
    const auto ownChats = chatsIn(own);
    ASSERT_EQ(ownChats.size(), 5u);
    EXPECT_EQ(ownChats.front().text, "message 1");
    EXPECT_EQ(ownChats.back().text, "message 5");
    const auto notices = framesOfType(own, MessageType::Notice);
    ASSERT_EQ(notices.size(), 1u);
    const auto notice = client::decodeNotice(notices[0].payload);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->code, 7);
    EXPECT_EQ(notice->text, "Chat slowed down: wait a moment");

    const auto other = roundTrip(players[1]);
    EXPECT_EQ(chatsIn(other).size(), 5u);
    EXPECT_TRUE(framesOfType(other, MessageType::Notice).empty());

    advanceMonotonicClockForTesting(2 * kNsPerSecond);
    ASSERT_TRUE(players[0].chat("new window"));
    const auto later = chatsIn(receivedAfter(players[0], players[1], MessageType::ChatText));
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].text, "new window");
}

}  // namespace
}  // namespace karst::testing
