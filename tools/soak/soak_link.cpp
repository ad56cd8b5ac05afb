#include "soak/soak_link.h"

#include <cstring>
#include <utility>

namespace karst::soak {

namespace {

// Enough reads per call to drain a busy room's traffic, few enough to stay
// fair to the other links of the pass.
constexpr int kMaxReadsPerCall = 8;

}  // namespace

SoakLink::SoakLink(SoakLink&& other) noexcept { *this = std::move(other); }

SoakLink& SoakLink::operator=(SoakLink&& other) noexcept {
    if (this != &other) {
        close();
        socket_ = std::exchange(other.socket_, net::kInvalidSocket);
        sendQueue_ = std::move(other.sendQueue_);
        sendOffset_ = std::exchange(other.sendOffset_, 0);
        carry_ = std::move(other.carry_);
        nextSequence_ = std::exchange(other.nextSequence_, 1);
    }
    return *this;
}

bool SoakLink::connect(const net::ResolvedAddress& server) {
    close();
    const net::SocketHandle s = net::openSocket(server.family, server.socketType, server.protocol);
    if (s == net::kInvalidSocket) return false;
    if (!net::connectSocket(s, server.address) || !net::setNonBlocking(s)) {
        net::closeSocket(s);
        return false;
    }
    net::setNoDelay(s);
    socket_ = s;
    return true;
}

void SoakLink::close() {
    if (socket_ != net::kInvalidSocket) net::closeSocket(socket_);
    socket_ = net::kInvalidSocket;
    sendQueue_.clear();
    sendOffset_ = 0;
    carry_.clear();
    nextSequence_ = 1;
}

bool SoakLink::queueRaw(std::span<const uint8_t> bytes) {
    if (!open()) return false;
    if (sendOffset_ == sendQueue_.size()) {
        sendQueue_.clear();
        sendOffset_ = 0;
    }
    if (sendQueue_.size() - sendOffset_ + bytes.size() > kMaxQueuedBytes) return false;
    sendQueue_.insert(sendQueue_.end(), bytes.begin(), bytes.end());
    return true;
}

bool SoakLink::queueFrame(MessageType type, std::span<const uint8_t> payload) {
    const auto header = client::encodeFrameHeader(static_cast<uint16_t>(type),
                                                  static_cast<uint32_t>(payload.size()),
                                                  nextSequence_);
    if (sendQueue_.size() - sendOffset_ + header.size() + payload.size() > kMaxQueuedBytes)
        return false;
    if (!queueRaw(header)) return false;
    queueRaw(payload);
    ++nextSequence_;
    return true;
}

bool SoakLink::flush() {
    while (hasUnsent()) {
        const std::span<const uint8_t> rest(sendQueue_.data() + sendOffset_,
                                            sendQueue_.size() - sendOffset_);
        const net::IoResult r = net::sendBytes(socket_, rest);
        if (r.status == net::IoStatus::WouldBlock) return true;
        if (r.status != net::IoStatus::Ok) return false;
        sendOffset_ += r.bytes;
    }
    sendQueue_.clear();
    sendOffset_ = 0;
    return true;
}

LinkRead SoakLink::read(std::vector<uint8_t>& scratch, FrameHandler& handler, uint64_t& bytesRead) {
    size_t have = carry_.size();
    std::memcpy(scratch.data(), carry_.data(), have);
    carry_.clear();
    for (int reads = 0; reads < kMaxReadsPerCall; ++reads) {
        const std::span<uint8_t> room(scratch.data() + have, scratch.size() - have);
        const net::IoResult r = net::receiveBytes(socket_, room);
        if (r.status == net::IoStatus::WouldBlock) break;
        if (r.status != net::IoStatus::Ok) return LinkRead::Closed;
        bytesRead += r.bytes;
        have += r.bytes;
        size_t used = 0;
        while (have - used >= kFrameHeaderSize) {
            const std::span<const uint8_t> rest(scratch.data() + used, have - used);
            const auto header = client::decodeFrameHeader(rest);
            if (!header || header->payloadLength > kMaxPayloadLength) return LinkRead::ProtocolFault;
            const size_t frameSize = kFrameHeaderSize + header->payloadLength;
            if (rest.size() < frameSize) break;
            handler.onFrame(static_cast<MessageType>(header->type),
                            rest.subspan(kFrameHeaderSize, header->payloadLength));
            used += frameSize;
            // The handler may have closed this link.
            if (!open()) return LinkRead::Closed;
        }
        std::memmove(scratch.data(), scratch.data() + used, have - used);
        have -= used;
        if (r.bytes < room.size()) break;
    }
    carry_.assign(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(have));
    return LinkRead::Open;
}

}  // namespace karst::soak
