// The client's builders and parsers: a few builders pinned byte for byte against
// bytes written out by hand, the relayed messages round-tripped, and the client's
// catalogue held against the server's.
#include "client/messages.h"

#include "net/protocol.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace karst::client {
namespace {

template <size_t N>
std::vector<uint8_t> bytesOf(const std::array<uint8_t, N>& a) {
    return std::vector<uint8_t>(a.begin(), a.end());
}

TEST(ClientMessages, HelloJoinRoomAndFrameBytesFollowTheLayout) {
    ProfileKey key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i + 1);
    // Filled in place at its full size: growing a short vector by resize and insert
    // makes GCC 12 at -O3 report a false -Warray-bounds inside libstdc++.
    std::vector<uint8_t> hello(48, 0);
    const uint8_t head[] = {'A', 'n', 'n'};
    const uint8_t look[] = {2, 10, 20, 30};
    std::copy(std::begin(head), std::end(head), hello.begin());
    std::copy(std::begin(look), std::end(look), hello.begin() + 24);
    for (uint8_t i = 1; i <= 16; ++i) hello[31 + i] = i;
    EXPECT_EQ(bytesOf(encodeHello(Hello{"Ann", 2, {10, 20, 30}, key})), hello);
    // A long name fills the whole field, with no terminator, for the server's name tests.
    EXPECT_EQ(encodeHello(Hello{std::string(30, 'x'), 0, {}, key})[23], 'x');

    EXPECT_EQ(bytesOf(encodeJoinRoom(RoomKey{26, 3, 1, 0x01020304})),
              (std::vector<uint8_t>{0x1A, 0x00, 0x03, 0x01, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(bytesOf(encodeJoinRoom(RoomKey{})),  // the no-room key: level -1, act -1
              (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00}));

    const std::array<uint8_t, 1> ready{0x01};
    EXPECT_EQ(encodeFrame(MessageType::SetReady, ready, 0x0A0B0C0D),
              (std::vector<uint8_t>{'K', 'R', 'S', 'T', 0x07, 0x00, 0x09, 0x00, 0x01, 0x00, 0x00,
                                    0x00, 0x0D, 0x0C, 0x0B, 0x0A, 0x01}));
}

TEST(ClientMessages, UdpDatagramBytesFollowTheLayout) {
    PlayerStateRecord record;
    record.playerId = 0x99;
    record.room = RoomKey{40, 1, 0, 7};
    record.position = {1.0f, -2.0f, 0.5f};
    record.yaw = -1;
    record.opaque = 65536;
    record.timeMs = 0x11223344;
    const auto datagram = encodeUdpDatagram(UdpPlayerState{3, 0x0102030405060708ull, record}, 2);

    std::vector<uint8_t> expected{'K', 'R', 'S', 'T', 7, 0, 33, 0, 60, 0, 0, 0, 2, 0, 0, 0};
    expected.insert(expected.end(), {3, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1});
    expected.insert(expected.end(), {0x99, 0, 0, 0, 40, 0, 1, 0, 7, 0, 0, 0});
    expected.insert(expected.end(), {0, 0, 0x80, 0x3F, 0, 0, 0, 0xC0, 0, 0, 0, 0x3F});
    expected.insert(expected.end(), 12, 0);
    expected.insert(expected.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0, 0x44, 0x33, 0x22, 0x11});
    EXPECT_EQ(bytesOf(datagram), expected);
}

template <auto Decode, auto Encode>
std::vector<uint8_t> reencoded(std::span<const uint8_t> payload) {
    const auto message = Decode(payload);
    return message ? bytesOf(Encode(*message)) : std::vector<uint8_t>{};
}

// Every byte is non-zero, so text fields run to their full width.
TEST(ClientMessages, RelayedMessagesRoundTripEveryByte) {
    using Reencode = std::vector<uint8_t> (*)(std::span<const uint8_t>);
    const std::pair<size_t, Reencode> relayed[] = {
        {kPlayerStateSize, reencoded<decodePlayerState, encodePlayerState>},
        {kChatTextSize, reencoded<decodeChatText, encodeChatText>},
        {kPiboFeedSize, reencoded<decodePiboFeed, encodePiboFeed>},
        {kPlayerEventSize, reencoded<decodePlayerEvent, encodePlayerEvent>},
        {kPiboStateSize, reencoded<decodePiboState, encodePiboState>},
        {kPiboReleaseSize, reencoded<decodePiboRelease, encodePiboRelease>},
    };
    for (const auto& [size, reencode] : relayed) {
        std::vector<uint8_t> payload(size);
        for (size_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>(i % 200 + 1);
        EXPECT_EQ(reencode(payload), payload) << size;
    }
}

// Either side's catalogue may change; the other must be changed with it. The
// server's gate holds every type a client sends over TCP; the rest are held
// against the server's own type and size constants, in catalogue order.
TEST(ClientMessages, CatalogueMatchesTheServersTypesAndSizes) {
    using karst::MessageType;
    const std::pair<MessageType, size_t> notGated[] = {
        {MessageType::Welcome, karst::kWelcomeSize},
        {MessageType::PlayerInfo, karst::kPlayerInfoSize},
        {MessageType::PlayerLeft, karst::kPlayerLeftSize},
        {MessageType::RoomStatus, karst::kRoomStatusSize},
        {MessageType::StageStart, karst::kStageStartSize},
        {MessageType::Pong, karst::kPongSize},
        {MessageType::Notice, karst::kNoticeSize},
        {MessageType::StageFinishedResult, karst::kStageFinishedResultSize},
        {MessageType::StageEnded, karst::kStageEndedSize},
        {MessageType::CompletedSave, karst::kCompletedSaveSize},
        {MessageType::BuyFruitResult, karst::kBuyFruitResultSize},
        {MessageType::PiboAppear, karst::kPiboAppearSize},
        {MessageType::PiboInteractResult, karst::kPiboInteractResultSize},
        {MessageType::PiboBred, karst::kPiboBredSize},
        {MessageType::PiboDelivery, karst::kPiboDeliverySize},
        {MessageType::UdpPlayerState, karst::kUdpPlayerStateSize},
        {MessageType::UdpBound, karst::kUdpBoundSize},
    };
    EXPECT_EQ(karst::kMaxMessageType, tools::kCatalogue.size());
    size_t row = 0;
    for (const tools::CatalogueEntry& ours : tools::kCatalogue) {
        const auto type = static_cast<size_t>(ours.type);
        const bool clientSends = ours.sender == tools::Sender::Client || ours.sender == tools::Sender::Both;
        // The gate admits exactly what the client may send over TCP, at that size.
        EXPECT_EQ(karst::kClientPayloadSizes[type], clientSends ? ours.size : 0) << "type " << type;
        if (clientSends || row == std::size(notGated)) continue;
        EXPECT_EQ(static_cast<size_t>(notGated[row].first), type) << "row " << row;
        EXPECT_EQ(notGated[row++].second, ours.size) << "type " << type;
    }
    EXPECT_EQ(row, std::size(notGated));
    EXPECT_EQ(karst::kClientPayloadSizes[0], 0);
    EXPECT_EQ(karst::kProtocolVersion, kProtocolVersion);
    EXPECT_EQ(karst::kFrameHeaderSize, kFrameHeaderSize);
    EXPECT_EQ(karst::kMaxPayloadLength, kMaxPayloadLength);
}

}  // namespace
}  // namespace karst::client
