// Breeding over loopback, as one garden's story: every refusal, the eggs and
// who receives them (now or at the next log-on), claiming, and the wall-clock
// cooldown across a restart.
#include "support/players.h"

namespace karst::testing {
namespace {

constexpr RoomKey kBreedingGarden{39, 0, 0, 3};
constexpr uint64_t kEggIds[] = {0x8000000000000001ull, 0x8000000000000003ull};

client::PiboRegister gardenCreature(uint8_t n, uint8_t slot, uint8_t type = kHatchedType) {
    return creature(n, slot, type, kBreedingGarden);
}

// Registers the creature and sends its state at (x, 0, 0); once it returns the
// server holds both and `watcher` has read what they brought it.
void placeCreature(KarstClient& owner, KarstClient& watcher, const client::PiboRegister& pet,
                   float x) {
    registerCreature(owner, pet);
    EXPECT_TRUE(owner.piboState(stateAt(pet.id, x, kBreedingGarden)));
    receivedAfter(owner, watcher, MessageType::PiboState);
}

TEST(PiboBreeding, RefusalsThenAnEggForEachOwnerThenACooldownThatOutlivesARestart) {
    FrozenClocks clocks;
    TestServer server;
    KarstClient a = enterPlayer(server, 1, kBreedingGarden);
    KarstClient b = enterPlayer(server, 2, kBreedingGarden);
    const client::PiboRegister petA = gardenCreature(1, 1), petB = gardenCreature(2, 1);
    const uint64_t a2 = gardenCreature(1, 2).id, aEgg = gardenCreature(1, 3, 1).id;
    const uint64_t bFar = gardenCreature(2, 2).id, bSilent = gardenCreature(2, 3).id;
    placeCreature(a, b, petA, 0.0f);
    placeCreature(a, b, gardenCreature(1, 2), 1.0f);
    placeCreature(a, b, gardenCreature(1, 3, 1), 2.0f);
    placeCreature(b, a, petB, 12.0f);
    placeCreature(b, a, gardenCreature(2, 2), 12.01f);
    registerCreature(b, gardenCreature(2, 3));

    const std::pair<uint64_t, uint64_t> refused[] = {
        {petA.id, bFar},     // 12.01 units apart
        {petA.id, bSilent},  // never sent a state
        {aEgg, petB.id},     // an egg
        {petA.id, a2},       // one owner
        {petB.id, petA.id},  // the first creature is the other player's
        {petA.id, 0x7777},   // no such creature
    };
    for (const auto& [first, second] : refused) {
        ASSERT_TRUE(a.piboBreed(first, second));
        const auto notice = awaitMessage(a, MessageType::Notice, client::decodeNotice);
        EXPECT_EQ(notice.code, 8);
        EXPECT_EQ(notice.text, "Those Pibo cannot breed right now");
    }
    EXPECT_TRUE(framesOfType(roundTrip(b), MessageType::PiboBred).empty());

    // Twelve units apart breeds; no refusal started a cooldown or used an egg id.
    ASSERT_TRUE(a.piboBreed(petA.id, petB.id));
    KarstClient* owners[] = {&a, &b};
    for (KarstClient* player : owners) {
        const auto bred = awaitMessage(*player, MessageType::PiboBred, client::decodePiboBred);
        EXPECT_EQ(bred.firstId, petA.id);
        EXPECT_EQ(bred.secondId, petB.id);
        EXPECT_EQ(bred.firstEggId, kEggIds[0]);
        EXPECT_EQ(bred.secondEggId, kEggIds[1]);
        EXPECT_EQ(bred.firstHolderPlayerId, a.playerId());
        EXPECT_EQ(bred.secondHolderPlayerId, b.playerId());
    }
    for (size_t i = 0; i < 2; ++i) {
        const std::vector<Frame> frames = roundTrip(*owners[i]);
        const auto eggs = decodeAll(frames, MessageType::PiboDelivery, client::decodePiboDelivery);
        ASSERT_EQ(eggs.size(), 1u);
        EXPECT_EQ(eggs[0].id, kEggIds[i]);
        EXPECT_EQ(eggs[0].parentA, petA.id);
        EXPECT_EQ(eggs[0].parentB, petB.id);
        EXPECT_EQ(eggs[0].name, "Sibling Egg");
        EXPECT_EQ(eggs[0].data[128], 1);
        EXPECT_EQ(eggs[0].data[1080], petA.data[1080]);  // both parents carry the same byte here
    }
    auto stored = storedCreatures(server.settings());
    ASSERT_EQ(stored.size(), 8u);
    EXPECT_EQ(stored[kEggIds[1]].owner, profileKeyFor(2));
    EXPECT_EQ(stored[kEggIds[1]].pendingDelivery, 1);

    // A takes its egg into slot 23, the last; B's waits for its next log-on, after a restart.
    // Claims by another profile, declined or into no slot change nothing.
    ASSERT_TRUE(a.piboClaim(kEggIds[0], 23));
    roundTrip(a);
    ASSERT_TRUE(b.piboClaim(kEggIds[0], 9));
    roundTrip(b);
    ASSERT_TRUE(a.piboClaim(kEggIds[0], 10, 0));
    ASSERT_TRUE(a.piboClaim(kEggIds[0], 24));
    ASSERT_TRUE(a.piboBreed(petA.id, petB.id));
    EXPECT_EQ(awaitNotice(a), 8);
    a.close();
    b.close();
    server.restart();
    stored = storedCreatures(server.settings());
    EXPECT_EQ(stored[kEggIds[0]].pendingDelivery, 0);
    EXPECT_EQ(stored[kEggIds[0]].localSlot, 23);
    b = enterPlayer(server, 2);
    EXPECT_EQ(awaitMessage(b, MessageType::PiboDelivery, client::decodePiboDelivery).id, kEggIds[1]);
    a = enterPlayer(server, 1);
    EXPECT_TRUE(framesOfType(roundTrip(a), MessageType::PiboDelivery).empty());

    enterRoom(a, kBreedingGarden);
    enterRoom(b, kBreedingGarden, {&a});
    placeCreature(a, b, petA, 0.0f);
    placeCreature(b, a, petB, 5.0f);
    ASSERT_TRUE(a.piboBreed(petA.id, petB.id));
    EXPECT_EQ(awaitNotice(a), 8);
    advanceWallClockForTesting(1799);
    ASSERT_TRUE(a.piboBreed(petA.id, petB.id));
    EXPECT_EQ(awaitNotice(a), 8);
    advanceWallClockForTesting(1);
    ASSERT_TRUE(a.piboBreed(petA.id, petB.id));
    const auto bred = awaitMessage(a, MessageType::PiboBred, client::decodePiboBred);
    EXPECT_EQ(bred.firstEggId, 0x8000000000000005ull);  // the id counter was saved too
    EXPECT_EQ(bred.secondEggId, 0x8000000000000007ull);
}

}  // namespace
}  // namespace karst::testing
