// The server's decoders read back what the test client's independent encoders
// wrote, field by field, with every field distinct so a swap or an offset error
// shows.
#include <gtest/gtest.h>

#include "client/messages.h"
#include "net/client_messages.h"

namespace karst {
namespace {

TEST(ClientMessages, EachDecoderReadsTheFieldsTheClientWrote) {
    client::Hello hello{"Tails", 2, client::Colour{7, 8, 9}, {}};
    for (uint8_t i = 0; i < kProfileKeySize; ++i) hello.profileKey[i] = static_cast<uint8_t>(0xC0 + i);
    const HelloMessage h = decodeHello(client::encodeHello(hello));
    EXPECT_EQ(h.profileKey, hello.profileKey);
    EXPECT_EQ(std::string(h.info.begin(), h.info.begin() + 5), "Tails");
    EXPECT_EQ(h.info[kBlockCharacterOffset], 2);
    EXPECT_EQ(h.info[kBlockColourOffset + 2], 9);

    const RoomKey room{-3, 5, 2, 0xA1B2C3D4};
    const client::RoomKey clientRoom{-3, 5, 2, 0xA1B2C3D4};
    EXPECT_EQ(decodeJoinRoom(client::encodeJoinRoom(clientRoom)), room);
    const StageFinishedMessage finish =
        decodeStageFinished(client::encodeStageFinished({clientRoom, 0x11223344, 9}));
    EXPECT_EQ(finish.room, room);
    EXPECT_EQ(finish.result, 0x11223344u);
    EXPECT_TRUE(decodeSetReady(client::encodeSetReady(2)));
    EXPECT_FALSE(decodeSetReady(client::encodeSetReady(0)));
    EXPECT_EQ(decodeBuyFruit(client::encodeBuyFruit(-7)), -7);

    client::PiboState state;
    state.id = 0x0102030405060708;
    state.playerId = 77;
    state.room = clientRoom;
    const PiboStateMessage s = decodePiboState(client::encodePiboState(state));
    EXPECT_EQ(s.id, state.id);
    EXPECT_EQ(s.room, room);
    EXPECT_EQ(decodePiboRelease(client::encodePiboRelease({0x99})), 0x99u);
    const PiboFeedMessage feed = decodePiboFeed(client::encodePiboFeed({5, 0xABCDEF01, -2, {}}));
    EXPECT_EQ(feed.ownerPlayerId, 0xABCDEF01u);
    EXPECT_EQ(feed.fruit, -2);
    const PiboInteractMessage interact = decodePiboInteract(client::encodePiboInteract({11, 22, 6}));
    EXPECT_EQ(interact.actorId, 11u);
    EXPECT_EQ(interact.targetId, 22u);
    EXPECT_EQ(interact.action, 6);
    const PiboBreedMessage breed = decodePiboBreed(client::encodePiboBreed({33, 44}));
    EXPECT_EQ(breed.firstId, 33u);
    EXPECT_EQ(breed.secondId, 44u);
    const PiboClaimMessage claim = decodePiboClaim(client::encodePiboClaim({55, 23, 0}));
    EXPECT_EQ(claim.id, 55u);
    EXPECT_EQ(claim.localSlot, 23);
    EXPECT_FALSE(claim.accepted);

    client::UdpPlayerState udp;
    udp.playerId = 0x01020304;
    udp.udpToken = 0xF0E0D0C0B0A09080;
    udp.record.playerId = 66;
    const UdpPlayerStateMessage u = decodeUdpPlayerState(client::encodeUdpPlayerState(udp));
    EXPECT_EQ(u.playerId, udp.playerId);
    EXPECT_EQ(u.udpToken, udp.udpToken);
    EXPECT_EQ(u.record, client::encodePlayerState(udp.record));
}

}  // namespace
}  // namespace karst
