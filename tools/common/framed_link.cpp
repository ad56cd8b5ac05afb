#include "common/framed_link.h"

#include <cstring>
#include <utility>

namespace karst::tools {

FramedLink::FramedLink(FramedLink&& other) noexcept : maxUnsent_(other.maxUnsent_) {
    *this = std::move(other);
}

FramedLink& FramedLink::operator=(FramedLink&& other) noexcept {
    if (this != &other) {
        close();
        socket_ = std::exchange(other.socket_, net::kInvalidSocket);
        maxUnsent_ = other.maxUnsent_;
        sendQueue_ = std::move(other.sendQueue_);
        sendOffset_ = std::exchange(other.sendOffset_, 0);
        carry_ = std::move(other.carry_);
        nextSequence_ = std::exchange(other.nextSequence_, 1);
    }
    return *this;
}

bool FramedLink::connect(const net::ResolvedAddress& server) {
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

void FramedLink::adopt(net::SocketHandle socket) {
    close();
    socket_ = socket;
}

void FramedLink::close() {
    if (socket_ != net::kInvalidSocket) net::closeSocket(socket_);
    socket_ = net::kInvalidSocket;
    sendQueue_.clear();
    sendOffset_ = 0;
    carry_.clear();
    nextSequence_ = 1;
}

bool FramedLink::queueRaw(std::span<const uint8_t> bytes) {
    if (!open()) return false;
    if (sendQueue_.size() - sendOffset_ + bytes.size() > maxUnsent_) return false;
    // What has left is dropped once it outweighs what has not, so the queue
    // stays within twice the limit and each byte moves a bounded number of times.
    if (sendOffset_ > 0 && sendOffset_ >= sendQueue_.size() - sendOffset_) {
        sendQueue_.erase(sendQueue_.begin(),
                         sendQueue_.begin() + static_cast<std::ptrdiff_t>(sendOffset_));
        sendOffset_ = 0;
    }
    sendQueue_.insert(sendQueue_.end(), bytes.begin(), bytes.end());
    return true;
}

bool FramedLink::queueFrame(MessageType type, std::span<const uint8_t> payload) {
    if (sendQueue_.size() - sendOffset_ + kFrameHeaderSize + payload.size() > maxUnsent_)
        return false;
    const auto header = encodeFrameHeader(static_cast<uint16_t>(type),
                                          static_cast<uint32_t>(payload.size()), nextSequence_);
    if (!queueRaw(header)) return false;
    queueRaw(payload);
    ++nextSequence_;
    return true;
}

bool FramedLink::flush() {
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

ReadOutcome splitFrames(std::span<const uint8_t> bytes, FrameReceiver& receiver, size_t& used) {
    used = 0;
    while (bytes.size() - used >= kFrameHeaderSize) {
        const auto header = decodeFrameHeader(bytes.subspan(used));
        if (!header || header->payloadLength > kMaxPayloadLength) return ReadOutcome::ProtocolFault;
        const size_t frameSize = kFrameHeaderSize + header->payloadLength;
        if (bytes.size() - used < frameSize) break;
        const auto payload = bytes.subspan(used + kFrameHeaderSize, header->payloadLength);
        used += frameSize;
        if (!receiver.onFrame(*header, payload)) return ReadOutcome::Stopped;
    }
    return ReadOutcome::Open;
}

ReadOutcome FramedLink::read(std::span<uint8_t> scratch, FrameReceiver& receiver, int maxReads,
                             uint64_t* bytesRead) {
    size_t have = carry_.size();
    if (have != 0) std::memcpy(scratch.data(), carry_.data(), have);
    carry_.clear();
    for (int reads = 0; reads < maxReads; ++reads) {
        const std::span<uint8_t> room = scratch.subspan(have);
        const net::IoResult r = net::receiveBytes(socket_, room);
        if (r.status == net::IoStatus::WouldBlock) break;
        if (r.status != net::IoStatus::Ok) return ReadOutcome::Closed;
        if (bytesRead != nullptr) *bytesRead += r.bytes;
        have += r.bytes;
        size_t used = 0;
        const ReadOutcome parsed = splitFrames(scratch.first(have), receiver, used);
        if (parsed != ReadOutcome::Open) return parsed;
        std::memmove(scratch.data(), scratch.data() + used, have - used);
        have -= used;
        // A short read means the socket is drained; the level-triggered poll
        // reports anything that arrives later, so no extra read to hear "would block".
        if (r.bytes < room.size()) break;
    }
    carry_.assign(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(have));
    return ReadOutcome::Open;
}

}  // namespace karst::tools
