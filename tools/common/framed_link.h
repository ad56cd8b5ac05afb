// One TCP connection of a client tool: a non-blocking socket, the bytes
// waiting to be written (bounded), the tail of a frame cut by a read and the
// link's own frame sequence counter, starting at 1.
//
// Nothing here waits: queued bytes leave when the socket takes them, reads stop
// when it would block. Reads go through a scratch buffer the caller shares
// between its links, so a link keeps only the incomplete tail of its stream.
// Both buffers keep their capacity, so a steady stream does not allocate.
#pragma once

#include "common/frame_codec.h"
#include "net/socket.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace karst::tools {

// Scratch for read(): one largest frame carried over plus 64 KiB of new bytes.
inline constexpr size_t kReadScratchSize = kMaxFrameSize + 65536;

// Receives each whole frame of a read; returning false stops the read.
class FrameReceiver {
public:
    virtual bool onFrame(const FrameHeader& header, std::span<const uint8_t> payload) = 0;

protected:
    ~FrameReceiver() = default;
};

enum class ReadOutcome { Open, Stopped, Closed, ProtocolFault };

class FramedLink {
public:
    explicit FramedLink(size_t maxUnsentBytes) : maxUnsent_(maxUnsentBytes) {}
    ~FramedLink() { close(); }
    FramedLink(FramedLink&& other) noexcept;
    FramedLink& operator=(FramedLink&& other) noexcept;
    FramedLink(const FramedLink&) = delete;
    FramedLink& operator=(const FramedLink&) = delete;

    // Blocking connect, then non-blocking with no-delay; on loopback the kernel
    // completes the handshake before the server even accepts.
    bool connect(const net::ResolvedAddress& server);
    // Takes over a socket the caller connected (or is connecting) itself.
    void adopt(net::SocketHandle socket);
    bool open() const { return socket_ != net::kInvalidSocket; }
    net::SocketHandle socket() const { return socket_; }
    // Closes the socket and forgets its bytes; the counter starts at 1 again.
    void close();

    // Whole frame or nothing: false when the unsent limit would be passed.
    bool queueFrame(MessageType type, std::span<const uint8_t> payload);
    bool queueRaw(std::span<const uint8_t> bytes);
    bool hasUnsent() const { return sendOffset_ < sendQueue_.size(); }
    // Writes what the socket takes; false when the connection failed.
    bool flush();

    // Reads at most `maxReads` times (fewer when the socket is drained) and
    // hands every whole frame to `receiver`. `bytesRead`, when given, grows by
    // what arrived.
    ReadOutcome read(std::span<uint8_t> scratch, FrameReceiver& receiver, int maxReads,
                     uint64_t* bytesRead = nullptr);

    uint32_t nextSequence() const { return nextSequence_; }
    void setNextSequence(uint32_t sequence) { nextSequence_ = sequence; }

private:
    net::SocketHandle socket_ = net::kInvalidSocket;
    size_t maxUnsent_;
    std::vector<uint8_t> sendQueue_;
    size_t sendOffset_ = 0;
    std::vector<uint8_t> carry_;
    uint32_t nextSequence_ = 1;
};

// Hands the whole frames at the front of `bytes` to `receiver`; `used` is how
// far it got. A bad header or an oversized payload is a protocol fault.
ReadOutcome splitFrames(std::span<const uint8_t> bytes, FrameReceiver& receiver, size_t& used);

}  // namespace karst::tools
