// A bot's TCP framing over a real loopback pair: frames cut anywhere arrive
// whole, a broken header is a protocol fault, and a peer that stops reading
// fills the bounded backlog, after which sends are dropped, never queued
// without limit, and the backlog drains in order once the peer reads again.
#include "bots/bot_link.h"

#include "net/coding.h"

#include <gtest/gtest.h>
#include <vector>

namespace karst::bots {
namespace {

constexpr int kWaitMs = 2000;

bool waitFor(net::SocketHandle s, uint16_t events) {
    std::vector<net::PollEntry> entries{net::PollEntry{s, events, 0}};
    return net::pollSockets(entries, kWaitMs) > 0 && (entries[0].revents & events);
}

// `link.tcp` connected to `peer`, both non-blocking.
class LoopbackPair {
public:
    LoopbackPair() {
        net::startSocketLibrary();
        const auto a = net::resolveAddresses("127.0.0.1", 0, net::SocketType::Stream, true);
        listener_ = net::openSocket(a[0].family, a[0].socketType, a[0].protocol);
        if (!net::bindSocket(listener_, a[0].address) || !net::listenSocket(listener_)) return;
        const auto to = net::resolveAddresses("127.0.0.1", net::localPort(listener_),
                                              net::SocketType::Stream, false);
        link.tcp = net::openSocket(to[0].family, to[0].socketType, to[0].protocol);
        net::connectSocket(link.tcp, to[0].address);  // blocking: the backlog completes it
        if (!waitFor(listener_, net::kPollIn)) return;
        peer = net::acceptConnection(listener_);
        net::setNonBlocking(link.tcp);
        net::setNonBlocking(peer);
    }
    ~LoopbackPair() {
        closeLink(link);
        net::closeSocket(peer);
        net::closeSocket(listener_);
    }

    void peerWrites(std::span<const uint8_t> bytes) {
        ASSERT_EQ(net::sendBytes(peer, bytes).bytes, bytes.size());
    }

    BotLink link;
    net::SocketHandle peer = net::kInvalidSocket;

private:
    net::SocketHandle listener_ = net::kInvalidSocket;
};

struct Collected : FrameSink {
    bool onFrame(MessageType type, std::span<const uint8_t> payload) override {
        types.push_back(type);
        payloads.emplace_back(payload.begin(), payload.end());
        return true;
    }
    std::vector<MessageType> types;
    std::vector<std::vector<uint8_t>> payloads;
};

std::vector<uint8_t> frame(MessageType type, std::vector<uint8_t> payload, uint32_t sequence) {
    return client::encodeFrame(type, payload, sequence);
}

ReadOutcome readWhenReady(LoopbackPair& pair, Collected& sink) {
    std::vector<uint8_t> scratch(kReadScratchSize);
    EXPECT_TRUE(waitFor(pair.link.tcp, net::kPollIn));
    return readFrames(pair.link, scratch, sink);
}

TEST(BotLink, FrameCutAnywhereArrivesWholeAfterTheRest) {
    LoopbackPair pair;
    std::vector<uint8_t> bytes = frame(MessageType::Pong, {1, 2, 3, 4}, 1);
    const auto second = frame(MessageType::UdpBound, std::vector<uint8_t>(8, 9), 2);
    bytes.insert(bytes.end(), second.begin(), second.end());
    Collected sink;
    const size_t cut = 10;  // inside the first header
    pair.peerWrites(std::span(bytes).first(cut));
    EXPECT_EQ(readWhenReady(pair, sink), ReadOutcome::Open);
    EXPECT_TRUE(sink.types.empty());
    pair.peerWrites(std::span(bytes).subspan(cut, 20));  // first frame done, second begun
    EXPECT_EQ(readWhenReady(pair, sink), ReadOutcome::Open);
    ASSERT_EQ(sink.types.size(), 1u);
    pair.peerWrites(std::span(bytes).subspan(cut + 20));
    EXPECT_EQ(readWhenReady(pair, sink), ReadOutcome::Open);
    ASSERT_EQ(sink.types.size(), 2u);
    EXPECT_EQ(sink.types[1], MessageType::UdpBound);
    EXPECT_EQ(sink.payloads[1], std::vector<uint8_t>(8, 9));
}

TEST(BotLink, BrokenHeaderOrOversizedLengthIsAProtocolFault) {
    for (const bool oversized : {false, true}) {
        LoopbackPair pair;
        auto bytes = frame(MessageType::Pong, {1, 2, 3, 4}, 1);
        if (oversized) putU32(bytes.data() + 8, kMaxPayloadLength + 1);
        else bytes[0] = 'X';
        pair.peerWrites(bytes);
        Collected sink;
        EXPECT_EQ(readWhenReady(pair, sink), ReadOutcome::ProtocolFault);
        EXPECT_TRUE(sink.types.empty());
    }
}

TEST(BotLink, PeerCloseIsReported) {
    LoopbackPair pair;
    net::closeSocket(pair.peer);
    pair.peer = net::kInvalidSocket;
    Collected sink;
    EXPECT_EQ(readWhenReady(pair, sink), ReadOutcome::Closed);
}

TEST(BotLink, BacklogIsBoundedAndDrainsInOrder) {
    LoopbackPair pair;
    const client::Payload<kPingSize> ping{1, 2, 3, 4};
    // Fill the socket buffers and then the backlog while the peer reads nothing.
    size_t sent = 0;
    int drops = 0;
    for (int i = 0; i < 2000000 && drops == 0; ++i) {
        const SendOutcome outcome = sendFrame(pair.link, MessageType::Ping, ping);
        ASSERT_NE(outcome, SendOutcome::Failed);
        if (outcome == SendOutcome::Sent) ++sent;
        else ++drops;
    }
    ASSERT_EQ(drops, 1);
    EXPECT_TRUE(hasBacklog(pair.link));
    EXPECT_LE(pair.link.backlog.size(), kMaxSendBacklog);

    // The peer reads everything: every sent frame arrives, sequences 1, 2, 3...
    std::vector<uint8_t> received;
    std::vector<uint8_t> chunk(65536);
    while (received.size() < sent * (kFrameHeaderSize + kPingSize)) {
        ASSERT_TRUE(flushBacklog(pair.link));
        if (!waitFor(pair.peer, net::kPollIn)) break;
        const net::IoResult r = net::receiveBytes(pair.peer, chunk);
        ASSERT_EQ(r.status, net::IoStatus::Ok);
        received.insert(received.end(), chunk.begin(), chunk.begin() + static_cast<long>(r.bytes));
    }
    ASSERT_EQ(received.size(), sent * (kFrameHeaderSize + kPingSize));
    for (size_t i = 0; i < sent; ++i)
        ASSERT_EQ(getU32(received.data() + i * (kFrameHeaderSize + kPingSize) + 12), i + 1);
    EXPECT_FALSE(hasBacklog(pair.link));
}

}  // namespace
}  // namespace karst::bots
