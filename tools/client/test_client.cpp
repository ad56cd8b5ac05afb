// KarstClient over the platform socket layer.
//
// Waiting is always poll with a bounded timeout followed by a non-blocking call;
// a would-block result simply goes back to waiting until the deadline. Times are
// steady-clock milliseconds.
#include "client/test_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace karst::client {

namespace {

// What closedByPeer() keeps while it waits; older unread frames are dropped beyond.
constexpr size_t kMaxBufferedWhileWaiting = 256 * 1024;
constexpr size_t kMaxDatagram = 2048;

class Deadline {
public:
    explicit Deadline(int timeoutMs)
        : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0))) {}

    int remainingMs() const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end_ - std::chrono::steady_clock::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    bool expired() const { return std::chrono::steady_clock::now() >= end_; }

private:
    std::chrono::steady_clock::time_point end_;
};

// Polls one socket; the reported events, or 0 when the time ran out. An
// interrupted wait is resumed with the time that is left.
uint16_t pollOne(net::SocketHandle s, uint16_t events, int timeoutMs) {
    const Deadline deadline(timeoutMs);
    static thread_local std::vector<net::PollEntry> entries(1);
    for (;;) {
        entries[0] = net::PollEntry{s, events, 0};
        const int n = net::pollSockets(entries, deadline.remainingMs());
        if (n > 0) return entries[0].revents;
        if (n == 0 || deadline.expired()) return 0;
    }
}

// Waits for a non-blocking connect to finish; a refused or failed attempt
// reports an error or hang-up alongside writability.
bool finishConnect(net::SocketHandle s, int timeoutMs) {
    const uint16_t revents = pollOne(s, net::kPollOut, timeoutMs);
    const uint16_t failure = net::kPollError | net::kPollHangUp | net::kPollInvalid;
    return (revents & net::kPollOut) != 0 && (revents & failure) == 0;
}

}  // namespace

KarstClient::KarstClient() = default;

KarstClient::~KarstClient() {
    close();
    if (libraryStarted_) net::stopSocketLibrary();
}

KarstClient::KarstClient(KarstClient&& other) noexcept { *this = std::move(other); }

KarstClient& KarstClient::operator=(KarstClient&& other) noexcept {
    if (this == &other) return *this;
    close();
    if (libraryStarted_) net::stopSocketLibrary();
    link_ = std::move(other.link_);
    udpSocket_ = std::exchange(other.udpSocket_, net::kInvalidSocket);
    udpServerAddress_ = other.udpServerAddress_;
    host_ = std::move(other.host_);
    port_ = other.port_;
    socketBufferBytes_ = other.socketBufferBytes_;
    libraryStarted_ = std::exchange(other.libraryStarted_, false);
    received_ = std::move(other.received_);
    receivedBytes_ = std::exchange(other.receivedBytes_, 0);
    peerClosed_ = other.peerClosed_;
    protocolFault_ = other.protocolFault_;
    nextUdpSequence_ = other.nextUdpSequence_;
    playerId_ = other.playerId_;
    udpToken_ = other.udpToken_;
    return *this;
}

bool KarstClient::connect(uint16_t port, const std::string& host, int timeoutMs) {
    close();
    if (!libraryStarted_) libraryStarted_ = net::startSocketLibrary();
    const Deadline deadline(timeoutMs);
    for (const net::ResolvedAddress& a :
         net::resolveAddresses(host, port, net::SocketType::Stream, false)) {
        const net::SocketHandle s = net::openSocket(a.family, a.socketType, a.protocol);
        if (s == net::kInvalidSocket) continue;
        if (socketBufferBytes_ > 0) (void)net::setBufferSizes(s, socketBufferBytes_);
        if (net::setNonBlocking(s) &&
            (net::connectSocket(s, a.address) || finishConnect(s, deadline.remainingMs()))) {
            net::setNoDelay(s);
            link_.adopt(s);
            host_ = host;
            port_ = port;
            return true;
        }
        net::closeSocket(s);
    }
    return false;
}

void KarstClient::close() {
    link_.close();
    net::closeSocket(udpSocket_);
    udpSocket_ = net::kInvalidSocket;
    received_.clear();
    receivedBytes_ = 0;
    peerClosed_ = false;
    protocolFault_ = false;
    nextUdpSequence_ = 1;
    playerId_ = 0;
    udpToken_ = 0;
}

// ---- Sending ------------------------------------------------------------

bool KarstClient::sendRaw(std::span<const uint8_t> bytes) {
    if (!connected()) return false;
    const Deadline deadline(kDefaultTimeoutMs);
    while (!bytes.empty()) {
        const net::IoResult r = net::sendBytes(link_.socket(), bytes);
        if (r.status == net::IoStatus::Ok) {
            bytes = bytes.subspan(r.bytes);
        } else if (r.status == net::IoStatus::WouldBlock) {
            if (pollOne(link_.socket(), net::kPollOut, deadline.remainingMs()) == 0) return false;
        } else {
            peerClosed_ = true;
            return false;
        }
    }
    return true;
}

bool KarstClient::sendMessage(MessageType type, std::span<const uint8_t> payload) {
    const uint32_t sequence = link_.nextSequence();
    link_.setNextSequence(sequence + 1);
    return sendMessageWithSequence(type, payload, sequence);
}

bool KarstClient::sendMessageWithSequence(MessageType type, std::span<const uint8_t> payload,
                                          uint32_t sequence) {
    return sendRaw(encodeFrame(type, payload, sequence));
}

bool KarstClient::hello(const std::string& name, uint8_t character, const Colour& colour,
                        const ProfileKey& profileKey) {
    return sendMessage(MessageType::Hello, encodeHello(Hello{name, character, colour, profileKey}));
}

bool KarstClient::setCharacter(const std::string& name, uint8_t character, const Colour& colour) {
    return sendMessage(MessageType::SetCharacter, encodeSetCharacter(SetCharacter{name, character, colour}));
}

bool KarstClient::joinRoom(const RoomKey& room) {
    return sendMessage(MessageType::JoinRoom, encodeJoinRoom(room));
}

bool KarstClient::setReady(uint8_t ready) {
    return sendMessage(MessageType::SetReady, encodeSetReady(ready));
}

bool KarstClient::playerState(const PlayerStateRecord& record) {
    return sendMessage(MessageType::PlayerState, encodePlayerState(record));
}

bool KarstClient::chat(const std::string& text) {
    return sendMessage(MessageType::ChatText, encodeChatText(ChatText{0, text}));
}

bool KarstClient::ping(const std::array<uint8_t, kPingSize>& bytes) {
    return sendMessage(MessageType::Ping, encodePing(bytes));
}

bool KarstClient::stageFinished(const RoomKey& room, uint32_t result) {
    return sendMessage(MessageType::StageFinished, encodeStageFinished(StageFinished{room, result, 0}));
}

bool KarstClient::buyFruit(int8_t fruit) {
    return sendMessage(MessageType::BuyFruit, encodeBuyFruit(fruit));
}

bool KarstClient::playerEvent(const PlayerEvent& event) {
    return sendMessage(MessageType::PlayerEvent, encodePlayerEvent(event));
}

bool KarstClient::piboRegister(const PiboRegister& message) {
    return sendMessage(MessageType::PiboRegister, encodePiboRegister(message));
}

bool KarstClient::piboState(const PiboState& message) {
    return sendMessage(MessageType::PiboState, encodePiboState(message));
}

bool KarstClient::piboRelease(uint64_t id) {
    return sendMessage(MessageType::PiboRelease, encodePiboRelease(PiboRelease{id}));
}

bool KarstClient::piboFeed(uint32_t ownerPlayerId, int8_t fruit) {
    return sendMessage(MessageType::PiboFeed, encodePiboFeed(PiboFeed{0, ownerPlayerId, fruit, {}}));
}

bool KarstClient::piboInteract(uint64_t actorId, uint64_t targetId, uint8_t action) {
    return sendMessage(MessageType::PiboInteract, encodePiboInteract(PiboInteract{actorId, targetId, action}));
}

bool KarstClient::piboBreed(uint64_t firstId, uint64_t secondId) {
    return sendMessage(MessageType::PiboBreed, encodePiboBreed(PiboBreed{firstId, secondId}));
}

bool KarstClient::piboClaim(uint64_t id, uint8_t localSlot, uint8_t accepted) {
    return sendMessage(MessageType::PiboClaim, encodePiboClaim(PiboClaim{id, localSlot, accepted}));
}

// ---- Receiving ----------------------------------------------------------

bool KarstClient::onFrame(const FrameHeader& header, std::span<const uint8_t> payload) {
    received_.push_back(Frame{header, std::vector<uint8_t>(payload.begin(), payload.end())});
    receivedBytes_ += kFrameHeaderSize + payload.size();
    return true;
}

bool KarstClient::readSome(int timeoutMs) {
    if (!connected() || peerClosed_) return false;
    if (pollOne(link_.socket(), net::kPollIn, timeoutMs) == 0) return false;
    static thread_local std::vector<uint8_t> scratch(tools::kReadScratchSize);
    tools::ReadOutcome outcome = tools::ReadOutcome::Open;
    if (protocolFault_) {
        // Past a bad header the stream cannot be framed; its bytes only tell of a close.
        const net::IoStatus status = net::receiveBytes(link_.socket(), scratch).status;
        if (status == net::IoStatus::Closed || status == net::IoStatus::Failed)
            outcome = tools::ReadOutcome::Closed;
    } else {
        outcome = link_.read(scratch, *this, 1);
    }
    protocolFault_ = protocolFault_ || outcome == tools::ReadOutcome::ProtocolFault;
    peerClosed_ = outcome == tools::ReadOutcome::Closed;
    return !peerClosed_;
}

std::optional<Frame> KarstClient::receive(int timeoutMs) {
    const Deadline deadline(timeoutMs);
    for (;;) {
        if (!received_.empty()) {
            Frame frame = std::move(received_.front());
            received_.pop_front();
            receivedBytes_ -= kFrameHeaderSize + frame.payload.size();
            return frame;
        }
        if (protocolFault_ || peerClosed_) return std::nullopt;
        if (!readSome(deadline.remainingMs()) && received_.empty()) return std::nullopt;
    }
}

std::optional<Frame> KarstClient::receiveType(MessageType type, int timeoutMs) {
    const Deadline deadline(timeoutMs);
    for (;;) {
        std::optional<Frame> frame = receive(deadline.remainingMs());
        if (!frame || frame->type() == type) return frame;
        if (deadline.expired()) return std::nullopt;
    }
}

std::optional<Welcome> KarstClient::awaitWelcome(int timeoutMs) {
    const std::optional<Frame> frame = receiveType(MessageType::Welcome, timeoutMs);
    if (!frame) return std::nullopt;
    std::optional<Welcome> welcome = decodeWelcome(frame->payload);
    if (welcome) {
        playerId_ = welcome->playerId;
        udpToken_ = welcome->udpToken;
    }
    return welcome;
}

std::vector<Frame> KarstClient::drain(int quietMs, int maxMs) {
    const Deadline overall(maxMs);
    std::vector<Frame> frames;
    for (;;) {
        std::optional<Frame> frame = receive(std::min(quietMs, overall.remainingMs()));
        if (!frame) break;
        frames.push_back(std::move(*frame));
        if (overall.expired()) break;
    }
    return frames;
}

bool KarstClient::closedByPeer(int timeoutMs) {
    const Deadline deadline(timeoutMs);
    for (;;) {
        if (peerClosed_) return true;
        if (!connected()) return false;
        if (receivedBytes_ > kMaxBufferedWhileWaiting) {
            received_.clear();
            receivedBytes_ = 0;
        }
        if (!readSome(deadline.remainingMs()) && !peerClosed_) return false;
    }
}

// ---- UDP ----------------------------------------------------------------

bool KarstClient::openUdp() {
    if (udpSocket_ != net::kInvalidSocket) return true;
    if (!connected()) return false;
    for (const net::ResolvedAddress& a :
         net::resolveAddresses(host_, port_, net::SocketType::Datagram, false)) {
        const net::SocketHandle s = net::openSocket(a.family, a.socketType, a.protocol);
        if (s == net::kInvalidSocket) continue;
        if (net::setNonBlocking(s)) {
            udpSocket_ = s;
            udpServerAddress_ = a.address;
            return true;
        }
        net::closeSocket(s);
    }
    return false;
}

bool KarstClient::sendUdpState(const PlayerStateRecord& record) {
    return sendUdpState(playerId_, udpToken_, record);
}

bool KarstClient::sendUdpState(uint32_t playerId, uint64_t udpToken,
                               const PlayerStateRecord& record) {
    const auto datagram =
        encodeUdpDatagram(UdpPlayerState{playerId, udpToken, record}, nextUdpSequence_++);
    return sendUdpRaw(datagram);
}

bool KarstClient::sendUdpRaw(std::span<const uint8_t> datagram) {
    if (udpSocket_ == net::kInvalidSocket) return false;
    const net::IoResult r = net::sendDatagram(udpSocket_, datagram, udpServerAddress_);
    return r.status == net::IoStatus::Ok && r.bytes == datagram.size();
}

std::optional<std::vector<uint8_t>> KarstClient::receiveUdp(int timeoutMs) {
    if (udpSocket_ == net::kInvalidSocket) return std::nullopt;
    const Deadline deadline(timeoutMs);
    std::vector<uint8_t> datagram(kMaxDatagram);
    for (;;) {
        if (pollOne(udpSocket_, net::kPollIn, deadline.remainingMs()) == 0) return std::nullopt;
        net::SocketAddress from;
        const net::IoResult r = net::receiveDatagram(udpSocket_, datagram, from);
        if (r.status == net::IoStatus::Ok) {
            datagram.resize(r.bytes);
            return datagram;
        }
        if (r.status != net::IoStatus::WouldBlock || deadline.expired()) return std::nullopt;
    }
}

uint16_t KarstClient::udpLocalPort() const {
    return udpSocket_ == net::kInvalidSocket ? 0 : net::localPort(udpSocket_);
}

}  // namespace karst::client
