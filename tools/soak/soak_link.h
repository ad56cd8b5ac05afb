// One soak connection: a non-blocking TCP socket to the server, the bytes
// waiting to be written and the tail of a frame cut by a read.
//
// Connecting blocks, which on loopback takes microseconds (the kernel
// completes the handshake before the server accepts). Nothing else waits:
// queued bytes leave when the socket takes them, reads stop when it would
// block. Frames carry the link's own sequence counter, starting at 1.
#pragma once

#include "client/messages.h"
#include "net/protocol.h"
#include "net/socket.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace karst::soak {

// Our own players never let more than this wait unsent: a server that stops
// reading them is a failure to report, not a reason to grow without bound.
inline constexpr size_t kMaxQueuedBytes = 1 << 20;

enum class LinkRead { Open, Closed, ProtocolFault };

class FrameHandler {
public:
    virtual void onFrame(MessageType type, std::span<const uint8_t> payload) = 0;

protected:
    ~FrameHandler() = default;
};

class SoakLink {
public:
    SoakLink() = default;
    ~SoakLink() { close(); }
    SoakLink(SoakLink&& other) noexcept;
    SoakLink& operator=(SoakLink&& other) noexcept;
    SoakLink(const SoakLink&) = delete;
    SoakLink& operator=(const SoakLink&) = delete;

    bool connect(const net::ResolvedAddress& server);
    bool open() const { return socket_ != net::kInvalidSocket; }
    net::SocketHandle socket() const { return socket_; }
    void close();

    // False when the queue limit would be passed (the frame is not queued).
    bool queueFrame(MessageType type, std::span<const uint8_t> payload);
    template <size_t N>
    bool queueFrame(MessageType type, const client::Payload<N>& payload) {
        return queueFrame(type, std::span<const uint8_t>(payload));
    }
    bool queueRaw(std::span<const uint8_t> bytes);
    bool hasUnsent() const { return sendOffset_ < sendQueue_.size(); }
    // Writes what the socket takes; false when the connection failed.
    bool flush();
    // Reads what is available (a bounded number of reads) and hands every
    // whole frame to `handler`. `scratch` is shared by all links.
    LinkRead read(std::vector<uint8_t>& scratch, FrameHandler& handler, uint64_t& bytesRead);

    uint32_t nextSequence() const { return nextSequence_; }
    void setNextSequence(uint32_t sequence) { nextSequence_ = sequence; }

private:
    net::SocketHandle socket_ = net::kInvalidSocket;
    std::vector<uint8_t> sendQueue_;
    size_t sendOffset_ = 0;
    std::vector<uint8_t> carry_;
    uint32_t nextSequence_ = 1;
};

// Size of the scratch buffer read() needs: one largest frame plus 64 KiB.
inline constexpr size_t kSoakScratchSize = kFrameHeaderSize + kMaxPayloadLength + 65536;

}  // namespace karst::soak
