// The UDP movement channel: client datagrams (header + UdpPlayerState) are
// checked step by step, the first valid one binds the source address to its
// TCP connection, and movement is relayed back as whole PlayerState frames.
//
// Client datagram, 76 bytes: FrameHeader (type 33, length 60), then u32 player
// id, u64 token and the 48-byte PlayerStateRecord, little-endian. Invalid
// datagrams are dropped without a word and never touch the TCP connection.
#include <array>
#include <cstring>
#include <string>

#include "app/game_server.h"
#include "net/client_messages.h"
#include "net/server_messages.h"
#include "game/player_state.h"
#include "net/clock.h"

namespace karst {

namespace {

// A flood of datagrams must not keep the loop from its connections and timers;
// what is left waits in the socket for the next pass.
constexpr size_t kMaxDatagramsPerDrain = 4096;

bool udpHeaderValid(std::span<const uint8_t> datagram, FrameHeader& header) {
    return datagram.size() == kUdpDatagramSize && decodeFrameHeader(datagram.data(), header) &&
           header.version == kProtocolVersion && header.payloadLength <= kMaxPayloadLength &&
           header.type == static_cast<uint16_t>(MessageType::UdpPlayerState) &&
           header.payloadLength == kUdpPlayerStateSize;
}
}  // namespace

void GameServer::drainUdp() {
    std::array<uint8_t, kUdpDatagramSize> buffer;
    net::SocketAddress from;
    for (size_t i = 0; i < kMaxDatagramsPerDrain; ++i) {
        const net::IoResult r = net::receiveDatagram(udpSocket_, buffer, from);
        if (r.status != net::IoStatus::Ok) return;
        // A longer datagram lost its tail in the buffer; its first 76 bytes are
        // not what the client sent as a whole.
        if (r.truncated) continue;
        handleDatagram(std::span<const uint8_t>(buffer.data(), r.bytes), from);
    }
}

void GameServer::handleDatagram(std::span<const uint8_t> datagram, const net::SocketAddress& from) {
    FrameHeader header;
    if (!udpHeaderValid(datagram, header)) return;
    UdpPlayerStateMessage message = decodeUdpPlayerState(datagram.subspan(kFrameHeaderSize));
    ClientConnection* found = findConnectionByPlayerId(message.playerId);
    if (found == nullptr) return;
    ClientConnection& connection = *found;
    if (!connection.authenticated || connection.udpToken == 0 || connection.udpToken != message.udpToken)
        return;
    // Binding is permanent: a datagram from anywhere else is not this client's.
    if (connection.udpBound && !net::sameEndpoint(from, connection.udpAddress)) return;
    if (!sequenceAdvances(connection.lastUdpSequence, header.sequence)) return;
    std::array<uint8_t, kPlayerStateSize>& record = message.record;
    if (!stateFloatsValid(record) || stateRoomKey(record) != connection.roomKey) return;

    if (!connection.udpBound) {
        connection.udpAddress = from;
        connection.udpBound = true;
        sendMessage(connection, MessageType::UdpBound, encodeUdpBound(connection.udpToken));
        printPlayerEvent("player " + std::to_string(connection.playerId) + " authenticated UDP movement");
    }
    connection.lastUdpSequence = header.sequence;
    // The gate is the one the TCP path uses: a client on both paths is still
    // relayed at most once per spacing.
    if (!claimRateSlot(connection.lastPlayerStateNs, monotonicNowNs(), kPlayerStateSpacingNs))
        return;
    stampStatePlayerId(record, connection.playerId);
    relayStateToRoom(*connection.roomMembers, record, connection.playerId);
    ++traffic_.movementRelayedUdp;
}

void GameServer::relayStateToRoom(const Members& members, std::span<uint8_t, kPlayerStateSize> record,
                                  uint32_t excludedId) {
    std::array<uint8_t, kPlayerStateFrameSize> frame;
    writeFrame(frame.data(), MessageType::PlayerState, record, nextSequence_++);
    udpBatch_.clear();
    for (ClientConnection* member : members) {
        if (member->playerId == excludedId) continue;
        if (member->udpBound)
            udpBatch_.push_back(net::DatagramSend{&member->udpAddress, false});
        else
            sendToConnection(*member, frame);
    }
    if (udpBatch_.empty()) return;
    net::sendDatagramBatch(udpSocket_, frame, udpBatch_);
    // Bound members that missed their datagram get the frame on their TCP queue;
    // the batch was filled in member order, so a second walk pairs them up.
    size_t next = 0;
    for (ClientConnection* member : members) {
        if (member->playerId == excludedId || !member->udpBound) continue;
        if (!udpBatch_[next++].sentWhole) sendToConnection(*member, frame);
    }
}

}  // namespace karst
