// Breeding over loopback: the eggs and who receives them (now or at the next
// log-on), claiming, every refusal, and the wall-clock cooldown across a restart.
#include "garden/garden_session.h"

#include "garden/pibo_store.h"

namespace karst::testing {
namespace {

const ProfileKey kKeyA = profileKey(0xA1);
const ProfileKey kKeyB = profileKey(0xB2);
constexpr RoomKey kBreedingGarden{39, 0, 0, 3};

std::optional<client::PiboBred> awaitBred(KarstClient& player) {
    const auto frame = player.receiveType(MessageType::PiboBred);
    if (!frame) return std::nullopt;
    return client::decodePiboBred(frame->payload);
}

std::optional<client::PiboDelivery> awaitDelivery(KarstClient& player) {
    const auto frame = player.receiveType(MessageType::PiboDelivery);
    if (!frame) return std::nullopt;
    return client::decodePiboDelivery(frame->payload);
}

// Registers the creature and sends its state at (x, 0, 0); returns once `watcher`
// has seen that state, so the server holds it before anything that follows.
void placeCreature(KarstClient& owner, KarstClient& watcher, const client::PiboRegister& pet,
                   float x) {
    registerCreature(owner, pet);
    ASSERT_TRUE(owner.piboState(stateAt(pet.id, x, pet.room)));
    for (;;) {
        const auto frame = watcher.receiveType(MessageType::PiboState);
        ASSERT_TRUE(frame.has_value()) << "state of " << pet.id << " not relayed";
        if (client::decodePiboState(frame->payload)->id == pet.id) return;
    }
}

client::PiboRegister gardenCreature(const ProfileKey& key, uint8_t slot,
                                    uint8_t type = kHatchedType) {
    return creature(key, slot, type, kBreedingGarden);
}

TEST(PiboBreeding, PairTwelveUnitsApartGivesEachOwnerAnEggUntilClaimed) {
    TestServer server;
    KarstClient a = logIn(server.port(), kKeyA, kBreedingGarden);
    KarstClient b = logIn(server.port(), kKeyB, kBreedingGarden);
    const client::PiboRegister petA = gardenCreature(kKeyA, 1);
    const client::PiboRegister petB = gardenCreature(kKeyB, 1);
    placeCreature(a, b, petA, 0.0f);
    placeCreature(b, a, petB, 12.0f);

    ASSERT_TRUE(a.piboBreed(petA.id, petB.id));
    for (KarstClient* player : {&a, &b}) {
        const auto bred = awaitBred(*player);
        ASSERT_TRUE(bred.has_value());
        EXPECT_EQ(bred->firstId, petA.id);
        EXPECT_EQ(bred->secondId, petB.id);
        EXPECT_EQ(bred->firstEggId, 0x8000000000000001ull);
        EXPECT_EQ(bred->secondEggId, 0x8000000000000003ull);
        EXPECT_EQ(bred->firstHolderPlayerId, a.playerId());
        EXPECT_EQ(bred->secondHolderPlayerId, b.playerId());
    }
    const uint64_t eggIds[2] = {0x8000000000000001ull, 0x8000000000000003ull};
    KarstClient* owners[2] = {&a, &b};
    for (size_t i = 0; i < 2; ++i) {
        const auto egg = awaitDelivery(*owners[i]);
        ASSERT_TRUE(egg.has_value());
        EXPECT_EQ(egg->id, eggIds[i]);
        EXPECT_EQ(egg->parentA, petA.id);
        EXPECT_EQ(egg->parentB, petB.id);
        EXPECT_EQ(egg->name, "Sibling Egg");
        EXPECT_EQ(egg->data[128], 1);
        EXPECT_TRUE(egg->data[1080] == petA.data[1080] || egg->data[1080] == petB.data[1080]);
        EXPECT_TRUE(framesOfType(*owners[i], MessageType::PiboDelivery).empty());
    }
    DecodedPiboStore stored = decodePiboStore(readFile(server.settings().piboStorePath));
    ASSERT_EQ(stored.records.size(), 4u);
    EXPECT_EQ(stored.records[2].pendingDelivery, 1);
    EXPECT_EQ(stored.records[3].pendingDelivery, 1);
    EXPECT_EQ(stored.records[3].owner, kKeyB);

    // A takes its egg into slot 7; B's egg waits while B is away and comes at log-on.
    ASSERT_TRUE(a.piboClaim(eggIds[0], 7));
    settle(a);
    b.close();
    ASSERT_TRUE(a.receiveType(MessageType::PiboRelease).has_value());  // B's departure handled
    KarstClient back;
    ASSERT_TRUE(back.connect(server.port()));
    ASSERT_TRUE(back.hello("Again", 0, {1, 2, 3}, kKeyB));
    ASSERT_TRUE(back.awaitWelcome().has_value());
    const auto waiting = awaitDelivery(back);
    ASSERT_TRUE(waiting.has_value());
    EXPECT_EQ(waiting->id, eggIds[1]);

    stored = decodePiboStore(readFile(server.settings().piboStorePath));
    EXPECT_EQ(stored.records[2].pendingDelivery, 0);
    EXPECT_EQ(stored.records[2].localSlot, 7);
    a.close();
    KarstClient aBack = logIn(server.port(), kKeyA, kNoRoom);
    EXPECT_TRUE(framesOfType(aBack, MessageType::PiboDelivery).empty());
}

TEST(PiboBreeding, EveryFailedRuleGetsTheSameRefusalAndChangesNothing) {
    TestServer server;
    KarstClient a = logIn(server.port(), kKeyA, kBreedingGarden);
    KarstClient b = logIn(server.port(), kKeyB, kBreedingGarden);
    const uint64_t a1 = gardenCreature(kKeyA, 1).id;
    const uint64_t a2 = gardenCreature(kKeyA, 2).id;
    const uint64_t aEgg = gardenCreature(kKeyA, 3, 1).id;
    const uint64_t b1 = gardenCreature(kKeyB, 1).id;
    const uint64_t bFar = gardenCreature(kKeyB, 2).id;
    const uint64_t bSilent = gardenCreature(kKeyB, 3).id;
    placeCreature(a, b, gardenCreature(kKeyA, 1), 0.0f);
    placeCreature(a, b, gardenCreature(kKeyA, 2), 1.0f);
    placeCreature(a, b, gardenCreature(kKeyA, 3, 1), 2.0f);
    placeCreature(b, a, gardenCreature(kKeyB, 1), 12.0f);
    placeCreature(b, a, gardenCreature(kKeyB, 2), 12.01f);
    registerCreature(b, gardenCreature(kKeyB, 3));

    const std::pair<uint64_t, uint64_t> refused[] = {
        {a1, bFar},     // 12.01 units apart
        {a1, bSilent},  // never sent a state
        {aEgg, b1},     // an egg
        {a1, a2},       // one owner
        {b1, a1},       // the first creature is the other player's
        {a1, 0x7777},   // no such creature
    };
    for (const auto& [first, second] : refused) {
        ASSERT_TRUE(a.piboBreed(first, second));
        const auto notice = awaitNotice(a);
        ASSERT_TRUE(notice.has_value());
        EXPECT_EQ(notice->code, 8);
        EXPECT_EQ(notice->text, "Those Pibo cannot breed right now");
    }
    EXPECT_TRUE(framesOfType(b, MessageType::PiboBred).empty());
    EXPECT_EQ(decodePiboStore(readFile(server.settings().piboStorePath)).records.size(), 6u);

    // No refusal started a cooldown or used an egg id.
    ASSERT_TRUE(a.piboBreed(a1, b1));
    const auto bred = awaitBred(a);
    ASSERT_TRUE(bred.has_value());
    EXPECT_EQ(bred->firstEggId, 0x8000000000000001ull);

    ASSERT_TRUE(a.piboBreed(a1, a1));
    EXPECT_TRUE(a.closedByPeer());
}

TEST(PiboBreeding, CooldownOutlivesARestartAndEndsAfter1800Seconds) {
    TestServer server;
    const client::PiboRegister petA = gardenCreature(kKeyA, 1);
    const client::PiboRegister petB = gardenCreature(kKeyB, 1);
    {
        KarstClient a = logIn(server.port(), kKeyA, kBreedingGarden);
        KarstClient b = logIn(server.port(), kKeyB, kBreedingGarden);
        placeCreature(a, b, petA, 0.0f);
        placeCreature(b, a, petB, 5.0f);
        ASSERT_TRUE(a.piboBreed(petA.id, petB.id));
        ASSERT_TRUE(awaitBred(a).has_value());
        ASSERT_TRUE(a.piboBreed(petA.id, petB.id));
        EXPECT_EQ(awaitNotice(a)->code, 8);
    }
    server.restart();

    KarstClient a = logIn(server.port(), kKeyA, kBreedingGarden);
    KarstClient b = logIn(server.port(), kKeyB, kBreedingGarden);
    placeCreature(a, b, petA, 0.0f);
    placeCreature(b, a, petB, 5.0f);
    ASSERT_TRUE(a.piboBreed(petA.id, petB.id));
    EXPECT_EQ(awaitNotice(a)->code, 8);

    advanceWallClockForTesting(1800);
    ASSERT_TRUE(a.piboBreed(petA.id, petB.id));
    const auto bred = awaitBred(a);
    ASSERT_TRUE(bred.has_value());
    EXPECT_EQ(bred->firstEggId, 0x8000000000000005ull);  // the id counter was saved too
    EXPECT_EQ(bred->secondEggId, 0x8000000000000007ull);
}

}  // namespace
}  // namespace karst::testing
