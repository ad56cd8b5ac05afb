// The client's builders and parsers against bytes written out by hand from the
// protocol's layout tables: builders are pinned byte for byte, parsers read
// payloads assembled field by field at their documented offsets.
#include "client/messages.h"

#include "net/coding.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace karst::client {
namespace {

ProfileKey countingKey() {
    ProfileKey key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i + 1);
    return key;
}

template <size_t N>
std::vector<uint8_t> bytesOf(const std::array<uint8_t, N>& a) {
    return std::vector<uint8_t>(a.begin(), a.end());
}

TEST(ClientMessages, HelloBytesFollowTheLayout) {
    const auto payload = encodeHello(Hello{"Ann", 2, {10, 20, 30}, countingKey()});
    std::vector<uint8_t> expected{'A', 'n', 'n'};
    expected.resize(24, 0);
    expected.insert(expected.end(), {2, 10, 20, 30, 0, 0, 0, 0});
    for (uint8_t i = 1; i <= 16; ++i) expected.push_back(i);
    EXPECT_EQ(bytesOf(payload), expected);
}

TEST(ClientMessages, HelloNameFillsTheWholeFieldWhenLong) {
    // Tests of the server's name cleaning need a name field with no terminator.
    const auto payload = encodeHello(Hello{std::string(30, 'x'), 0, {}, countingKey()});
    for (size_t i = 0; i < 24; ++i) EXPECT_EQ(payload[i], 'x') << i;
    EXPECT_EQ(payload[24], 0);
}

TEST(ClientMessages, JoinRoomBytesFollowTheLayout) {
    const RoomKey plaza{26, 3, 1, 0x01020304};
    EXPECT_EQ(bytesOf(encodeJoinRoom(plaza)),
              (std::vector<uint8_t>{0x1A, 0x00, 0x03, 0x01, 0x04, 0x03, 0x02, 0x01}));
    // The no-room key: level -1 and act -1 are all bits set.
    EXPECT_EQ(bytesOf(encodeJoinRoom(RoomKey{})),
              (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(ClientMessages, FrameHeaderBytesFollowTheLayout) {
    const std::array<uint8_t, 1> payload{0x01};
    const auto frame = encodeFrame(MessageType::SetReady, payload, 0x0A0B0C0D);
    EXPECT_EQ(frame, (std::vector<uint8_t>{'K', 'R', 'S', 'T', 0x07, 0x00, 0x09, 0x00, 0x01, 0x00,
                                           0x00, 0x00, 0x0D, 0x0C, 0x0B, 0x0A, 0x01}));
}

TEST(ClientMessages, FrameHeaderParserChecksMagicVersionAndLength) {
    auto header = encodeFrameHeader(5, 40, 77);
    const auto parsed = decodeFrameHeader(header);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->type, 5);
    EXPECT_EQ(parsed->payloadLength, 40u);
    EXPECT_EQ(parsed->sequence, 77u);

    EXPECT_FALSE(decodeFrameHeader(std::span(header).first(15)));
    auto badMagic = header;
    badMagic[3] = 'X';
    EXPECT_FALSE(decodeFrameHeader(badMagic));
    auto badVersion = header;
    badVersion[4] = 6;
    EXPECT_FALSE(decodeFrameHeader(badVersion));
    // A length above the limit is reported as found; the caller judges it.
    const auto tooLong = decodeFrameHeader(encodeFrameHeader(5, 4097, 1));
    ASSERT_TRUE(tooLong);
    EXPECT_EQ(tooLong->payloadLength, 4097u);
}

TEST(ClientMessages, UdpDatagramBytesFollowTheLayout) {
    PlayerStateRecord record;
    record.playerId = 0x99;
    record.room = RoomKey{40, 1, 0, 7};
    record.position = {1.0f, -2.0f, 0.5f};
    record.velocity = {0.0f, 0.0f, 0.0f};
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

TEST(ClientMessages, ChatTextOfFullWidthHasNoTerminator) {
    const auto payload = encodeChatText(ChatText{9, std::string(200, 'z')});
    EXPECT_EQ(getU32(payload.data()), 9u);
    for (size_t i = 4; i < payload.size(); ++i) ASSERT_EQ(payload[i], 'z') << i;
}

TEST(ClientMessages, SmallClientMessagesFollowTheLayout) {
    EXPECT_EQ(bytesOf(encodeBuyFruit(-3)), (std::vector<uint8_t>{0xFD, 0, 0, 0}));
    EXPECT_EQ(bytesOf(encodeSetReady(7)), (std::vector<uint8_t>{7}));
    EXPECT_EQ(bytesOf(encodePiboClaim(PiboClaim{0x0102, 5, 1})),
              (std::vector<uint8_t>{2, 1, 0, 0, 0, 0, 0, 0, 5, 1, 0, 0}));
    const auto interact = encodePiboInteract(PiboInteract{1, 2, 6});
    EXPECT_EQ(getU64(interact.data()), 1u);
    EXPECT_EQ(getU64(interact.data() + 8), 2u);
    EXPECT_EQ(interact[16], 6);
    const auto finished = encodeStageFinished(StageFinished{RoomKey{3, 0, 2, 9}, 1234, 0});
    EXPECT_EQ(decodeRoomKey(finished.data()), (RoomKey{3, 0, 2, 9}));
    EXPECT_EQ(getU32(finished.data() + 8), 1234u);
}

TEST(ClientMessages, PiboRegisterPlacesNameAndDataAtTheirOffsets) {
    PiboRegister m;
    m.id = 0x7000000000000001ull;
    m.room = RoomKey{40, 0, 0, 1};
    m.localSlot = 23;
    m.stage = 1;
    m.name = "Momo";
    m.data[128] = 1;
    m.data[2047] = 0xEE;
    const auto payload = encodePiboRegister(m);
    EXPECT_EQ(getU64(payload.data()), m.id);
    EXPECT_EQ(decodeRoomKey(payload.data() + 8), m.room);
    EXPECT_EQ(payload[16], 23);
    EXPECT_EQ(payload[17], 1);
    EXPECT_EQ(std::memcmp(payload.data() + 20, "Momo\0\0\0\0\0\0\0\0\0\0\0\0", 16), 0);
    EXPECT_EQ(payload[36 + 128], 1);
    EXPECT_EQ(payload[36 + 2047], 0xEE);
}

TEST(ClientMessages, WelcomeAndRoomMessagesParseFromTheLayout) {
    uint8_t welcome[24];
    putU32(welcome, 12);
    putU32(welcome + 4, 3);
    putU32(welcome + 8, 5000);
    putU32(welcome + 12, 150);
    putU64(welcome + 16, 0xDEADBEEFCAFEF00Dull);
    const auto w = decodeWelcome(welcome);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->playerId, 12u);
    EXPECT_EQ(w->connectionCount, 3u);
    EXPECT_EQ(w->uptimeMs, 5000u);
    EXPECT_EQ(w->rings, 150u);
    EXPECT_EQ(w->udpToken, 0xDEADBEEFCAFEF00Dull);

    uint8_t info[40] = {};
    putU32(info, 8);
    std::memcpy(info + 4, "Bo\0junk", 7);  // bytes after the terminator are kept raw
    info[28] = 4;
    info[29] = 1, info[30] = 2, info[31] = 3;
    encodeRoomKey(info + 32, RoomKey{12, 2, 3, 99});
    const auto p = decodePlayerInfo(info);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->playerId, 8u);
    EXPECT_EQ(p->name, "Bo");
    EXPECT_EQ(p->nameField[3], 'j');
    EXPECT_EQ(p->character, 4);
    EXPECT_EQ(p->colour, (Colour{1, 2, 3}));
    EXPECT_EQ(p->room, (RoomKey{12, 2, 3, 99}));

    const uint8_t status[8] = {4, 0, 2, 0, 3, 1, 0, 0};
    const auto s = decodeRoomStatus(status);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->members, 4);
    EXPECT_EQ(s->ready, 2);
    EXPECT_EQ(s->countdown, 3);
    EXPECT_EQ(s->mission, 1);

    uint8_t start[12];
    encodeRoomKey(start, RoomKey{5, 1, 0, 2});
    putU32(start + 8, 777);
    const auto st = decodeStageStart(start);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->room, (RoomKey{5, 1, 0, 2}));
    EXPECT_EQ(st->uptimeMs, 777u);
}

TEST(ClientMessages, NoticeTextStopsAtItsTerminator) {
    uint8_t notice[128] = {};
    putU16(notice, 7);
    std::memset(notice + 2, 'a', 125);  // the longest text the server sends
    const auto n = decodeNotice(notice);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->code, 7);
    EXPECT_EQ(n->text, std::string(125, 'a'));
}

TEST(ClientMessages, StageAndShopResultsParseFromTheLayout) {
    uint8_t result[24] = {};
    putU32(result, 4);
    putU32(result + 4, 4321);
    putU32(result + 8, 60);
    putU32(result + 12, 9999999);
    putU16(result + 16, 257);
    putU16(result + 18, 300);
    result[20] = 255;
    const auto r = decodeStageFinishedResult(result);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->playerId, 4u);
    EXPECT_EQ(r->result, 4321u);
    EXPECT_EQ(r->ringsAwarded, 60u);
    EXPECT_EQ(r->rings, 9999999u);
    EXPECT_EQ(r->finishedCount, 257);
    EXPECT_EQ(r->memberCount, 300);
    EXPECT_EQ(r->place, 255);

    const uint8_t bought[8] = {11, 1, 100, 0, 50, 0, 0, 0};
    const auto b = decodeBuyFruitResult(bought);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->fruit, 11);
    EXPECT_EQ(b->bought, 1);
    EXPECT_EQ(b->price, 100);
    EXPECT_EQ(b->rings, 50u);

    uint8_t ended[12];
    encodeRoomKey(ended, RoomKey{1, 0, 0, 4});
    putU32(ended + 8, 5);
    EXPECT_EQ(decodeStageEnded(ended)->endCode, 5u);

    std::vector<uint8_t> save(1396, 0xAB);
    putU32(save.data(), 0x811C9DC5);
    const auto c = decodeCompletedSave(save);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->hash, 0x811C9DC5u);
    EXPECT_EQ(c->data[0], 0xAB);
    EXPECT_EQ(c->data[1391], 0xAB);
}

TEST(ClientMessages, PiboServerMessagesParseFromTheLayout) {
    std::vector<uint8_t> appear(2088, 0);
    putU64(appear.data(), 0x8000000000000001ull);
    putU32(appear.data() + 8, 6);
    encodeRoomKey(appear.data() + 12, RoomKey{39, 0, 0, 1});
    appear[20] = 255, appear[21] = 1, appear[22] = 1;
    std::memcpy(appear.data() + 24, "Sibling Egg", 11);
    appear[40 + 128] = 1;
    const auto a = decodePiboAppear(appear);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->id, 0x8000000000000001ull);
    EXPECT_EQ(a->holderPlayerId, 6u);
    EXPECT_EQ(a->room, (RoomKey{39, 0, 0, 1}));
    EXPECT_EQ(a->localSlot, 255);
    EXPECT_EQ(a->stage, 1);
    EXPECT_EQ(a->present, 1);
    EXPECT_EQ(a->name, "Sibling Egg");
    EXPECT_EQ(a->data[128], 1);

    std::vector<uint8_t> delivery(2088, 0);
    putU64(delivery.data(), 3);
    putU64(delivery.data() + 8, 11);
    putU64(delivery.data() + 16, 13);
    std::memset(delivery.data() + 24, 'n', 16);  // a full-width name has no terminator
    delivery[40 + 1243] = 0x5A;
    const auto d = decodePiboDelivery(delivery);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->parentA, 11u);
    EXPECT_EQ(d->parentB, 13u);
    EXPECT_EQ(d->name, std::string(16, 'n'));
    EXPECT_EQ(d->data[1243], 0x5A);

    uint8_t interact[20] = {};
    putU64(interact, 21);
    putU64(interact + 8, 22);
    interact[16] = 6, interact[17] = 1;
    putU16(interact + 18, 2);
    const auto i = decodePiboInteractResult(interact);
    ASSERT_TRUE(i);
    EXPECT_EQ(i->actorId, 21u);
    EXPECT_EQ(i->targetId, 22u);
    EXPECT_EQ(i->action, 6);
    EXPECT_EQ(i->allowed, 1);
    EXPECT_EQ(i->resultCode, 2);

    uint8_t bred[40];
    for (int k = 0; k < 4; ++k) putU64(bred + 8 * k, 100u + static_cast<uint64_t>(k));
    putU32(bred + 32, 7);
    putU32(bred + 36, 9);
    const auto br = decodePiboBred(bred);
    ASSERT_TRUE(br);
    EXPECT_EQ(br->firstId, 100u);
    EXPECT_EQ(br->secondEggId, 103u);
    EXPECT_EQ(br->firstHolderPlayerId, 7u);
    EXPECT_EQ(br->secondHolderPlayerId, 9u);

    uint8_t bound[8];
    putU64(bound, 42);
    EXPECT_EQ(decodeUdpBound(bound), 42u);
}

TEST(ClientMessages, RelayedMessagesRoundTrip) {
    PlayerStateRecord state;
    state.playerId = 5;
    state.room = RoomKey{26, 3, 0, 0};
    state.position = {1e6f, -1e6f, std::nanf("")};
    state.yaw = -32768;
    state.timeMs = 99;
    const auto s = decodePlayerState(encodePlayerState(state));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->room, state.room);
    EXPECT_EQ(s->position[0], 1e6f);
    EXPECT_TRUE(std::isnan(s->position[2]));
    EXPECT_EQ(s->yaw, -32768);
    EXPECT_EQ(s->timeMs, 99u);

    const auto chat = decodeChatText(encodeChatText(ChatText{3, "hello world"}));
    ASSERT_TRUE(chat);
    EXPECT_EQ(chat->playerId, 3u);
    EXPECT_EQ(chat->text, "hello world");

    const auto feed = decodePiboFeed(encodePiboFeed(PiboFeed{1, 2, -5, {7, 8, 9}}));
    ASSERT_TRUE(feed);
    EXPECT_EQ(feed->ownerPlayerId, 2u);
    EXPECT_EQ(feed->fruit, -5);
    EXPECT_EQ(feed->extra, (std::array<uint8_t, 3>{7, 8, 9}));

    const auto event = decodePlayerEvent(encodePlayerEvent(PlayerEvent{4, 1, {1, 2, 3}, 1000000, 8}));
    ASSERT_TRUE(event);
    EXPECT_EQ(event->kind, 1);
    EXPECT_EQ(event->value, 1000000u);
    EXPECT_EQ(event->extra, 8u);

    PiboState pibo;
    pibo.id = 77;
    pibo.playerId = 4;
    pibo.room = RoomKey{41, 0, 0, 3};
    pibo.position = {12.0f, 0.0f, -3.5f};
    pibo.extra[11] = 0xCC;
    const auto ps = decodePiboState(encodePiboState(pibo));
    ASSERT_TRUE(ps);
    EXPECT_EQ(ps->id, 77u);
    EXPECT_EQ(ps->room, pibo.room);
    EXPECT_EQ(ps->position, pibo.position);
    EXPECT_EQ(ps->extra[11], 0xCC);

    EXPECT_EQ(decodePiboRelease(encodePiboRelease(PiboRelease{0xABCDEF}))->id, 0xABCDEFu);
}

TEST(ClientMessages, ParsersRefuseAnyOtherPayloadSize) {
    using Check = std::function<bool(std::span<const uint8_t>)>;
    const std::vector<std::pair<size_t, Check>> parsers{
        {kWelcomeSize, [](auto p) { return decodeWelcome(p).has_value(); }},
        {kPlayerInfoSize, [](auto p) { return decodePlayerInfo(p).has_value(); }},
        {kPlayerLeftSize, [](auto p) { return decodePlayerLeft(p).has_value(); }},
        {kPlayerStateSize, [](auto p) { return decodePlayerState(p).has_value(); }},
        {kChatTextSize, [](auto p) { return decodeChatText(p).has_value(); }},
        {kRoomStatusSize, [](auto p) { return decodeRoomStatus(p).has_value(); }},
        {kStageStartSize, [](auto p) { return decodeStageStart(p).has_value(); }},
        {kPongSize, [](auto p) { return decodePong(p).has_value(); }},
        {kNoticeSize, [](auto p) { return decodeNotice(p).has_value(); }},
        {kPiboFeedSize, [](auto p) { return decodePiboFeed(p).has_value(); }},
        {kStageFinishedResultSize, [](auto p) { return decodeStageFinishedResult(p).has_value(); }},
        {kStageEndedSize, [](auto p) { return decodeStageEnded(p).has_value(); }},
        {kCompletedSaveSize, [](auto p) { return decodeCompletedSave(p).has_value(); }},
        {kPlayerEventSize, [](auto p) { return decodePlayerEvent(p).has_value(); }},
        {kBuyFruitResultSize, [](auto p) { return decodeBuyFruitResult(p).has_value(); }},
        {kPiboAppearSize, [](auto p) { return decodePiboAppear(p).has_value(); }},
        {kPiboStateSize, [](auto p) { return decodePiboState(p).has_value(); }},
        {kPiboReleaseSize, [](auto p) { return decodePiboRelease(p).has_value(); }},
        {kPiboInteractResultSize, [](auto p) { return decodePiboInteractResult(p).has_value(); }},
        {kPiboBredSize, [](auto p) { return decodePiboBred(p).has_value(); }},
        {kPiboDeliverySize, [](auto p) { return decodePiboDelivery(p).has_value(); }},
        {kUdpBoundSize, [](auto p) { return decodeUdpBound(p).has_value(); }},
    };
    const std::vector<uint8_t> zeros(kMaxPayloadLength + 1, 0);
    for (const auto& [size, parses] : parsers) {
        const std::span<const uint8_t> all(zeros);
        EXPECT_TRUE(parses(all.first(size))) << size;
        EXPECT_FALSE(parses(all.first(size - 1))) << size;
        EXPECT_FALSE(parses(all.first(size + 1))) << size;
    }
}

TEST(ClientMessages, ServerDatagramIsAWholePlayerStateFrame) {
    PlayerStateRecord record;
    record.playerId = 17;
    record.room = RoomKey{26, 3, 0, 0};
    const auto frame = encodeFrame(MessageType::PlayerState, encodePlayerState(record), 40);
    const auto parsed = decodePlayerStateDatagram(frame);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->playerId, 17u);

    auto wrongType = frame;
    wrongType[6] = static_cast<uint8_t>(MessageType::PiboState);
    EXPECT_FALSE(decodePlayerStateDatagram(wrongType));
    EXPECT_FALSE(decodePlayerStateDatagram(std::span(frame).first(63)));
}

TEST(ClientMessages, DerivedPiboIdsAreOddAndBelowTheServerRange) {
    // Values from an independent FNV-1a 64 computation over key bytes and slot.
    EXPECT_EQ(derivePiboId(countingKey(), 5), 0x60748A64CD8E9691ull);
    EXPECT_EQ(derivePiboId(ProfileKey{}, 0), 0x01D23FD7003C2305ull);
    for (uint8_t slot = 0; slot < 24; ++slot) {
        const uint64_t id = derivePiboId(countingKey(), slot);
        EXPECT_EQ(id & 1u, 1u);
        EXPECT_EQ(id >> 63, 0u);
    }
    EXPECT_NE(derivePiboId(countingKey(), 1), derivePiboId(countingKey(), 2));
}

}  // namespace
}  // namespace karst::client
