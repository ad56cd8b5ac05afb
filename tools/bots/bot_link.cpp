// Framing and buffering of one bot's TCP stream.
#include "bots/bot_link.h"

#include <algorithm>
#include <cstring>

namespace karst::bots {

namespace {

// The largest frame a bot sends is a chat line.
constexpr size_t kMaxSentFrame = kFrameHeaderSize + kChatTextSize;
constexpr int kMaxReadsPerCall = 4;

bool appendToBacklog(BotLink& link, std::span<const uint8_t> bytes) {
    if (link.backlogOffset == link.backlog.size()) {
        link.backlog.clear();
        link.backlogOffset = 0;
    }
    if (link.backlog.size() - link.backlogOffset + bytes.size() > kMaxSendBacklog) return false;
    if (link.backlogOffset > 0) {
        link.backlog.erase(link.backlog.begin(),
                           link.backlog.begin() + static_cast<std::ptrdiff_t>(link.backlogOffset));
        link.backlogOffset = 0;
    }
    link.backlog.insert(link.backlog.end(), bytes.begin(), bytes.end());
    return true;
}

// Parses the whole frames at the front of `bytes`; `used` is how far it got.
ReadOutcome parseFrames(std::span<const uint8_t> bytes, FrameSink& sink, size_t& used) {
    used = 0;
    while (bytes.size() - used >= kFrameHeaderSize) {
        const auto header = client::decodeFrameHeader(bytes.subspan(used));
        if (!header || header->payloadLength > kMaxPayloadLength) return ReadOutcome::ProtocolFault;
        const size_t frameSize = kFrameHeaderSize + header->payloadLength;
        if (bytes.size() - used < frameSize) break;
        const auto payload = bytes.subspan(used + kFrameHeaderSize, header->payloadLength);
        used += frameSize;
        if (!sink.onFrame(static_cast<MessageType>(header->type), payload))
            return ReadOutcome::Stopped;
    }
    return ReadOutcome::Open;
}

}  // namespace

SendOutcome sendFrame(BotLink& link, MessageType type, std::span<const uint8_t> payload) {
    if (link.tcp == net::kInvalidSocket || payload.size() > kMaxSentFrame - kFrameHeaderSize)
        return SendOutcome::Failed;
    uint8_t frame[kMaxSentFrame];
    const auto header = client::encodeFrameHeader(static_cast<uint16_t>(type),
                                                  static_cast<uint32_t>(payload.size()),
                                                  link.nextTcpSequence);
    std::memcpy(frame, header.data(), header.size());
    if (!payload.empty()) std::memcpy(frame + kFrameHeaderSize, payload.data(), payload.size());
    std::span<const uint8_t> bytes(frame, kFrameHeaderSize + payload.size());

    if (!hasBacklog(link)) {
        const net::IoResult r = net::sendBytes(link.tcp, bytes);
        if (r.status == net::IoStatus::Ok) bytes = bytes.subspan(r.bytes);
        else if (r.status != net::IoStatus::WouldBlock) return SendOutcome::Failed;
        if (bytes.empty()) {
            ++link.nextTcpSequence;
            return SendOutcome::Sent;
        }
        // Part of a frame may already have left: the rest must follow, whatever the limit.
        const bool partlySent = r.status == net::IoStatus::Ok;
        if (partlySent) {
            link.backlog.assign(bytes.begin(), bytes.end());
            link.backlogOffset = 0;
            ++link.nextTcpSequence;
            return SendOutcome::Sent;
        }
    }
    if (!appendToBacklog(link, bytes)) return SendOutcome::Dropped;
    ++link.nextTcpSequence;
    return SendOutcome::Sent;
}

bool hasBacklog(const BotLink& link) { return link.backlogOffset < link.backlog.size(); }

bool flushBacklog(BotLink& link) {
    while (hasBacklog(link)) {
        const std::span<const uint8_t> rest(link.backlog.data() + link.backlogOffset,
                                            link.backlog.size() - link.backlogOffset);
        const net::IoResult r = net::sendBytes(link.tcp, rest);
        if (r.status == net::IoStatus::WouldBlock) return true;
        if (r.status != net::IoStatus::Ok) return false;
        link.backlogOffset += r.bytes;
    }
    link.backlog.clear();
    link.backlogOffset = 0;
    return true;
}

ReadOutcome readFrames(BotLink& link, std::span<uint8_t> scratch, FrameSink& sink) {
    size_t have = link.carry.size();
    if (have != 0) std::memcpy(scratch.data(), link.carry.data(), have);
    link.carry.clear();
    for (int reads = 0; reads < kMaxReadsPerCall; ++reads) {
        const std::span<uint8_t> room = scratch.subspan(have);
        const net::IoResult r = net::receiveBytes(link.tcp, room);
        if (r.status == net::IoStatus::WouldBlock) break;
        if (r.status != net::IoStatus::Ok) return ReadOutcome::Closed;
        have += r.bytes;
        size_t used = 0;
        const ReadOutcome parsed = parseFrames(scratch.first(have), sink, used);
        if (parsed != ReadOutcome::Open) return parsed;
        std::memmove(scratch.data(), scratch.data() + used, have - used);
        have -= used;
        // A short read means the socket is drained; the level-triggered poll
        // reports anything that arrives later, so no extra read to hear "would block".
        if (r.bytes < room.size()) break;
    }
    link.carry.assign(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(have));
    return ReadOutcome::Open;
}

void closeLink(BotLink& link) {
    net::closeSocket(link.tcp);
    net::closeSocket(link.udp);
    link.tcp = net::kInvalidSocket;
    link.udp = net::kInvalidSocket;
    link.carry.clear();
    link.backlog.clear();
    link.backlogOffset = 0;
}

}  // namespace karst::bots
