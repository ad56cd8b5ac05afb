// Room chat: cleaned text to every member of the sender's room, the sender
// included, under a fixed two-second window of five messages per player.
#include <array>
#include <cstring>

#include "app/game_server.h"
#include "game/chat_text.h"
#include "net/clock.h"
#include "net/coding.h"

namespace karst {

namespace {
constexpr uint64_t kChatWindowNs = 2 * kNsPerSecond;
constexpr uint8_t kChatMessagesPerWindow = 5;
constexpr uint8_t kChatCountCeiling = 255;
}  // namespace

bool GameServer::handleChatText(ClientConnection& connection, std::span<const uint8_t> payload) {
    std::array<uint8_t, kChatTextSize> chat;
    std::memcpy(chat.data(), payload.data(), chat.size());
    chat.back() = 0;
    const std::span<uint8_t, kChatTextFieldSize> text(chat.data() + kChatTextOffset,
                                                      kChatTextFieldSize);
    // Empty messages are dropped before the rate limit sees them.
    if (!sanitizeChatText(text)) return true;

    const uint64_t now = monotonicNowNs();
    // The window is fixed from its first message: dropped messages do not extend it.
    if (connection.chatWindowStartNs == 0 ||
        elapsedAtLeast(now, connection.chatWindowStartNs, kChatWindowNs)) {
        connection.chatWindowStartNs = now;
        connection.chatCount = 0;
    }
    if (connection.chatCount < kChatMessagesPerWindow) {
        ++connection.chatCount;
        putU32(chat.data() + kChatPlayerIdOffset, connection.playerId);
        broadcastMessage(connection.roomKey, MessageType::ChatText, chat, kExcludeNobody);
        return true;
    }
    // Only the first message over the limit is answered, so a flood earns one notice.
    if (connection.chatCount == kChatMessagesPerWindow)
        sendNotice(connection, NoticeCode::SlowDownOrOwnership, "Chat slowed down: wait a moment");
    if (connection.chatCount < kChatCountCeiling) ++connection.chatCount;
    return true;
}

}  // namespace karst
