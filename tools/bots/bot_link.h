// One bot's connection to the server: a non-blocking TCP socket with a bounded
// send backlog and a carry-over for a frame cut by a read, plus the UDP socket
// movement uses when the run asks for it.
//
// Nothing here waits: sends either leave, join the backlog or are dropped, and
// reads stop when the socket would block. Reads go through one scratch buffer
// shared by every bot; a bot keeps only the incomplete tail of its stream, so
// memory stays proportional to the bots, not to the traffic. Both buffers keep
// their capacity, so the steady state does not allocate.
#pragma once

#include "client/messages.h"
#include "net/protocol.h"
#include "net/socket.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace karst::bots {

// Unsent bytes a bot may hold before it drops what it sends: about 80 movement
// frames, well past anything a server that keeps up leaves unread.
inline constexpr size_t kMaxSendBacklog = 16384;
inline constexpr size_t kMaxFrameSize = kFrameHeaderSize + kMaxPayloadLength;
// Scratch for reading: one largest frame carried over plus 64 KiB of new bytes.
inline constexpr size_t kReadScratchSize = kMaxFrameSize + 65536;

struct BotLink {
    net::SocketHandle tcp = net::kInvalidSocket;
    net::SocketHandle udp = net::kInvalidSocket;
    uint32_t nextTcpSequence = 1;
    uint32_t nextUdpSequence = 1;
    std::vector<uint8_t> carry;
    std::vector<uint8_t> backlog;
    size_t backlogOffset = 0;
};

enum class SendOutcome { Sent, Dropped, Failed };

SendOutcome sendFrame(BotLink& link, MessageType type, std::span<const uint8_t> payload);
template <size_t N>
SendOutcome sendFrame(BotLink& link, MessageType type, const client::Payload<N>& payload) {
    return sendFrame(link, type, std::span<const uint8_t>(payload));
}
bool hasBacklog(const BotLink& link);
// Writes what the socket takes; false when the connection failed.
bool flushBacklog(BotLink& link);

// Receives each whole frame of a read; returning false stops the read (the
// bot was closed or has seen enough).
class FrameSink {
public:
    virtual bool onFrame(MessageType type, std::span<const uint8_t> payload) = 0;

protected:
    ~FrameSink() = default;
};

enum class ReadOutcome { Open, Stopped, Closed, ProtocolFault };

// Reads until the socket is drained (or a few reads' worth, to stay fair to
// the other bots) and hands every complete frame to `sink`.
ReadOutcome readFrames(BotLink& link, std::span<uint8_t> scratch, FrameSink& sink);

void closeLink(BotLink& link);

}  // namespace karst::bots
