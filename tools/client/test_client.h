// KarstClient: a blocking-style client of karst_server for tests, the load
// generator and operator tools.
//
// The sockets are non-blocking underneath and every wait is bounded by a timeout
// in milliseconds measured on the steady clock (never the server's test clock,
// which tests move by hours), so no call can hang. Frames this client sends carry
// its own sequence counter, starting at 1; UDP datagrams have a separate one.
// Received frames wait in a queue that never holds more than one read's worth,
// except while closedByPeer() waits (bounded there too).
#pragma once

#include "client/messages.h"
#include "common/framed_link.h"
#include "net/socket.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace karst::client {

inline constexpr int kDefaultTimeoutMs = 2000;

class KarstClient : private tools::FrameReceiver {
public:
    KarstClient();
    ~KarstClient();
    KarstClient(KarstClient&& other) noexcept;
    KarstClient& operator=(KarstClient&& other) noexcept;
    KarstClient(const KarstClient&) = delete;
    KarstClient& operator=(const KarstClient&) = delete;

    // TCP connection with no-delay set; false when nothing answered in time.
    bool connect(uint16_t port, const std::string& host = "127.0.0.1",
                 int timeoutMs = kDefaultTimeoutMs);
    bool connected() const { return link_.open(); }
    // Kernel buffers for the next connect(); small ones make a client that does
    // not read push back on the server at once (0: the system's default).
    void setSocketBufferBytes(int bytes) { socketBufferBytes_ = bytes; }
    // Closes TCP and UDP; the client may connect again afterwards.
    void close();

    // ---- Sending (false when the bytes could not all be written in time) ----
    bool sendMessage(MessageType type, std::span<const uint8_t> payload);
    // Uses `sequence` once and leaves the counter alone.
    bool sendMessageWithSequence(MessageType type, std::span<const uint8_t> payload,
                                 uint32_t sequence);
    bool sendRaw(std::span<const uint8_t> bytes);
    uint32_t nextSequence() const { return link_.nextSequence(); }
    void setNextSequence(uint32_t sequence) { link_.setNextSequence(sequence); }

    bool hello(const std::string& name, uint8_t character, const Colour& colour,
               const ProfileKey& profileKey);
    bool setCharacter(const std::string& name, uint8_t character, const Colour& colour);
    bool joinRoom(const RoomKey& room);
    bool setReady(uint8_t ready);
    bool playerState(const PlayerStateRecord& record);
    bool chat(const std::string& text);
    bool ping(const std::array<uint8_t, kPingSize>& bytes);
    bool stageFinished(const RoomKey& room, uint32_t result);
    bool buyFruit(int8_t fruit);
    bool playerEvent(const PlayerEvent& event);
    bool piboRegister(const PiboRegister& message);
    bool piboState(const PiboState& message);
    bool piboRelease(uint64_t id);
    bool piboFeed(uint32_t ownerPlayerId, int8_t fruit);
    bool piboInteract(uint64_t actorId, uint64_t targetId, uint8_t action);
    bool piboBreed(uint64_t firstId, uint64_t secondId);
    bool piboClaim(uint64_t id, uint8_t localSlot, uint8_t accepted = 1);

    // ---- Receiving ----
    // The next whole frame, or nothing on timeout, close or a malformed header.
    std::optional<Frame> receive(int timeoutMs = kDefaultTimeoutMs);
    // The next frame of `type`; frames of other types are consumed and dropped.
    std::optional<Frame> receiveType(MessageType type, int timeoutMs = kDefaultTimeoutMs);
    // Waits for Welcome and remembers its player id and UDP token.
    std::optional<Welcome> awaitWelcome(int timeoutMs = kDefaultTimeoutMs);
    // Every frame until none arrives for quietMs, or maxMs have passed in all.
    std::vector<Frame> drain(int quietMs, int maxMs = 5000);
    // True once the server has closed the connection (or reset it) within the
    // timeout. Bytes arriving meanwhile stay readable through receive().
    bool closedByPeer(int timeoutMs = kDefaultTimeoutMs);
    bool peerClosed() const { return peerClosed_; }
    // The server sent bytes that are not a valid frame header.
    bool protocolFault() const { return protocolFault_; }

    uint32_t playerId() const { return playerId_; }
    uint64_t udpToken() const { return udpToken_; }

    // ---- UDP movement ----
    // Opens a UDP socket towards the address connect() used.
    bool openUdp();
    // One datagram with the remembered player id and token, and the UDP counter.
    bool sendUdpState(const PlayerStateRecord& record);
    bool sendUdpState(uint32_t playerId, uint64_t udpToken, const PlayerStateRecord& record);
    bool sendUdpRaw(std::span<const uint8_t> datagram);
    uint32_t nextUdpSequence() const { return nextUdpSequence_; }
    void setNextUdpSequence(uint32_t sequence) { nextUdpSequence_ = sequence; }
    std::optional<std::vector<uint8_t>> receiveUdp(int timeoutMs = kDefaultTimeoutMs);
    // The local UDP port, known once the socket has sent (0 before).
    uint16_t udpLocalPort() const;

private:
    bool onFrame(const FrameHeader& header, std::span<const uint8_t> payload) override;
    // One wait-and-read; false on timeout, close or failure.
    bool readSome(int timeoutMs);

    // Sends wait for the socket instead of queueing, so the queue is never used.
    tools::FramedLink link_{0};
    net::SocketHandle udpSocket_ = net::kInvalidSocket;
    net::SocketAddress udpServerAddress_;
    std::string host_;
    uint16_t port_ = 0;
    int socketBufferBytes_ = 0;
    bool libraryStarted_ = false;
    std::deque<Frame> received_;
    size_t receivedBytes_ = 0;
    bool peerClosed_ = false;
    bool protocolFault_ = false;
    uint32_t nextUdpSequence_ = 1;
    uint32_t playerId_ = 0;
    uint64_t udpToken_ = 0;
};

}  // namespace karst::client
