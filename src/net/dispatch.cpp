// The message dispatcher: the gate every frame passes (handshake first, known
// client type, exact payload size) and the one switch that calls the handlers.
#include "app/game_server.h"

namespace karst {

bool GameServer::parseFrames(ClientConnection& connection) {
    const bool ok = karst::parseFrames(
        connection.receiveBuffer, connection.lastSequence,
        [&](const FrameHeader& header, std::span<const uint8_t> payload) {
            ++traffic_.framesReceived;
            // What a handler tells of a change the shared store has not committed
            // yet waits for that commit. One call site keeps the dispatcher
            // inlined on the relay path.
            trackingReplies_ = repliesWaitForCommit_;
            const uint64_t versionBefore = trackingReplies_ ? store_->version() : 0;
            const bool handled = dispatchMessage(connection, header, payload);
            if (trackingReplies_) {
                trackingReplies_ = false;
                const uint64_t version = store_->version();
                deliverStagedFrames(version != versionBefore ? version : 0);
            }
            return handled;
        },
        [&] { return connection.awaitingStore; });
    if (!ok) ++traffic_.protocolFaultCloses;
    return ok;
}

bool GameServer::dispatchMessage(ClientConnection& connection, const FrameHeader& header,
                                 std::span<const uint8_t> payload) {
    const auto type = static_cast<MessageType>(header.type);
    // After a notice that ends the connection, what else it sent goes unheard.
    if (connection.closing) return true;
    if (!connection.authenticated && type != MessageType::Hello) return false;
    if (!clientPayloadSizeMatches(header.type, header.payloadLength)) return false;

    switch (type) {
        case MessageType::Hello: return handleHello(connection, payload);
        case MessageType::SetCharacter: return handleSetCharacter(connection, payload);
        case MessageType::JoinRoom: return handleJoinRoom(connection, payload);
        case MessageType::PlayerState: return handlePlayerState(connection, payload);
        case MessageType::ChatText: return handleChatText(connection, payload);
        case MessageType::SetReady: return handleSetReady(connection, payload);
        case MessageType::Ping: return handlePing(connection, payload);
        case MessageType::PiboFeed: return handlePiboFeed(connection, payload);
        case MessageType::StageFinished: return handleStageFinished(connection, payload);
        case MessageType::PlayerEvent: return handlePlayerEvent(connection, payload);
        case MessageType::BuyFruit: return handleBuyFruit(connection, payload);
        case MessageType::PiboRegister: return handlePiboRegister(connection, payload);
        case MessageType::PiboState: return handlePiboState(connection, payload);
        case MessageType::PiboRelease: return handlePiboRelease(connection, payload);
        case MessageType::PiboInteract: return handlePiboInteract(connection, payload);
        case MessageType::PiboBreed: return handlePiboBreed(connection, payload);
        case MessageType::PiboClaim: return handlePiboClaim(connection, payload);
        default: return false;  // the size table admits client types only
    }
}

std::vector<uint8_t> GameServer::makeFrame(MessageType type, std::span<const uint8_t> payload) {
    // One number per frame built, shared by every recipient; it wraps modulo 2^32.
    return buildFrame(type, payload, nextSequence_++);
}

void GameServer::sendMessage(ClientConnection& connection, MessageType type,
                             std::span<const uint8_t> payload) {
    if (trackingReplies_) return stageFrame(makeFrame(type, payload), &connection, nullptr, 0);
    sendToConnection(connection, makeFrame(type, payload));
}

void GameServer::broadcastMessage(const RoomKey& key, MessageType type,
                                  std::span<const uint8_t> payload, uint32_t excludedId) {
    if (trackingReplies_) return stageFrame(makeFrame(type, payload), nullptr, &key, excludedId);
    broadcastToRoom(key, makeFrame(type, payload), excludedId);
}

void GameServer::sendNotice(ClientConnection& connection, NoticeCode code, std::string_view text) {
    sendMessage(connection, MessageType::Notice, makeNotice(static_cast<uint16_t>(code), text));
}

void GameServer::closeAfterNotice(ClientConnection& connection, NoticeCode code, std::string_view text) {
    if (connection.closing) return;
    sendNotice(connection, code, text);
    connection.closing = true;
    closeAfterNotice_.push_back(connection.socket);
}

}  // namespace karst
