// The garden over loopback: what closes the connection, registration and its
// refusals, the traffic a garden room sees (appear, state, release), releases
// on room changes and disconnects, the snapshot a newcomer gets, feeding with
// fruit from the profile store, and the interaction result codes.
#include <cmath>

#include "support/players.h"

namespace karst::testing {
namespace {

using Register = client::PiboRegister;
constexpr RoomKey kOtherGarden{40, 1, 0, 1};

bool sendState(KarstClient& player, uint64_t id, float further) {
    client::PiboState state = stateAt(id, 0.0f);
    state.further[2] = further;
    return player.piboState(state);
}

TEST(Garden, ContentOutsideTheRulesClosesTheConnection) {
    TestServer server;
    using Change = void (*)(Register&);
    const std::pair<const char*, Change> registrations[] = {
        {"hub level", [](Register& m) { m.room = kHubRoom; }},
        {"wrong room key", [](Register& m) { m.room = kOtherGarden; }},
        {"slot 24", [](Register& m) { m.localSlot = 24; }},
        {"type 0", [](Register& m) { m.data[128] = 0; }},
        {"type 26", [](Register& m) { m.data[128] = 26; }},
        {"egg with stage 2", [](Register& m) { m.data[128] = 1; }},
        {"hatched with stage 1", [](Register& m) { m.stage = 1; }},
    };
    uint8_t n = 10;
    for (const auto& [what, change] : registrations) {
        Register message = creature(n, 0);
        change(message);
        KarstClient player = enterPlayer(server, n++, message.room == kHubRoom ? kHubRoom : kGarden);
        ASSERT_TRUE(player.piboRegister(message));
        EXPECT_TRUE(player.closedByPeer()) << what;
    }
    using Send = bool (*)(KarstClient&, uint64_t);
    const std::pair<const char*, Send> others[] = {
        {"state with infinity", [](KarstClient& p, uint64_t id) { return sendState(p, id, INFINITY); }},
        {"state with NaN", [](KarstClient& p, uint64_t id) { return sendState(p, id, NAN); }},
        {"state above a million", [](KarstClient& p, uint64_t id) { return sendState(p, id, 1e6f + 1); }},
        {"feeding fruit 7", [](KarstClient& p, uint64_t) { return p.piboFeed(p.playerId(), 7); }},
        {"interaction 7", [](KarstClient& p, uint64_t id) { return p.piboInteract(0, id, 7); }},
        {"interaction 0", [](KarstClient& p, uint64_t id) { return p.piboInteract(0, id, 0); }},
        {"breeding with itself", [](KarstClient& p, uint64_t id) { return p.piboBreed(id, id); }},
    };
    for (const auto& [what, send] : others) {
        KarstClient player = enterPlayer(server, n, kGarden);
        ASSERT_TRUE(send(player, creature(n++, 0).id));
        EXPECT_TRUE(player.closedByPeer()) << what;
    }
}

TEST(PiboRegister, NewCreatureAppearsToTheGardenAndIsSavedUnlessRefused) {
    TestServer server;
    KarstClient a = enterPlayer(server, 1, kGarden);
    KarstClient b = enterPlayer(server, 2, kGarden);
    KarstClient elsewhere = enterPlayer(server, 3, kOtherGarden);
    Register message = creature(1, 23);  // the last slot
    message.name = "\tB DEFGHIJKLMNOP";
    registerCreature(a, message);
    const auto seen = awaitMessage(b, MessageType::PiboAppear, client::decodePiboAppear);
    EXPECT_EQ(seen.id, message.id);
    EXPECT_EQ(seen.holderPlayerId, a.playerId());
    EXPECT_EQ(seen.room, kGarden);
    EXPECT_EQ(seen.localSlot, 23);
    EXPECT_EQ(seen.present, 1);
    EXPECT_EQ(seen.name, "_B DEFGHIJKLMNO");
    EXPECT_EQ(seen.data, message.data);
    EXPECT_TRUE(framesOfType(roundTrip(elsewhere), MessageType::PiboAppear).empty());
    ASSERT_EQ(storedCreatures(server.settings()).size(), 1u);
    EXPECT_EQ(storedCreatures(server.settings())[message.id].owner, profileKeyFor(1));

    // An existing id skips the slot check: the creature of slot 23 moves to slot 5.
    message.localSlot = 5;
    message.name = "";
    EXPECT_EQ(registerCreature(a, message).name, "Pibo");
    Register foreignId = creature(1, 2);
    foreignId.localSlot = 4;  // the id is derived for slot 2
    const std::tuple<KarstClient*, Register, const char*> refused[] = {
        {&a, foreignId, "That Pibo ID is not owned by this profile"},
        {&a, creature(1, 5), "That local Pibo slot already has an owner record"},
        {&b, creature(1, 23), "Only the owning profile can register this Pibo"}};
    for (const auto& [player, refusedMessage, text] : refused) {
        ASSERT_TRUE(player->piboRegister(refusedMessage));
        const auto notice = awaitMessage(*player, MessageType::Notice, client::decodeNotice);
        EXPECT_EQ(notice.code, 7);
        EXPECT_EQ(notice.text, text);
    }
    EXPECT_TRUE(framesOfType(roundTrip(a), MessageType::PiboAppear).empty());
    ASSERT_EQ(storedCreatures(server.settings()).size(), 1u);
    EXPECT_EQ(storedCreatures(server.settings())[message.id].localSlot, 5);
}

std::vector<uint64_t> releasedIds(const std::vector<Frame>& frames) {
    std::vector<uint64_t> ids;
    for (const auto& r : decodeAll(frames, MessageType::PiboRelease, client::decodePiboRelease))
        ids.push_back(r.id);
    return ids;
}

TEST(PiboTraffic, StatesAndReleasesReachTheRoomUntilTheHolderLeaves) {
    FrozenClocks clocks;
    TestServer server;
    KarstClient a = enterPlayer(server, 1, kGarden);
    KarstClient b = enterPlayer(server, 2, kGarden);
    const Register pet = creature(1, 1);
    registerCreature(a, pet);
    ASSERT_TRUE(b.piboState(stateAt(pet.id, 1.0f)));  // not B's creature: ignored
    roundTrip(b);

    client::PiboState state = stateAt(pet.id, 1.5f);
    state.playerId = 999;
    state.further = {1'000'000.0f, -1'000'000.0f, 0.0f};  // the largest values accepted
    const auto sendNumbered = [&](float n) {
        state.further[2] = n;
        return a.piboState(state);
    };
    ASSERT_TRUE(sendNumbered(1));
    ASSERT_TRUE(sendNumbered(2));  // back to back: within 15 ms of the first
    EXPECT_TRUE(framesOfType(roundTrip(a), MessageType::PiboState).empty());
    advanceMonotonicClockForTesting(15 * kNsPerMs - 1);
    ASSERT_TRUE(sendNumbered(3));
    roundTrip(a);
    advanceMonotonicClockForTesting(1);
    ASSERT_TRUE(sendNumbered(4));
    ASSERT_TRUE(a.piboState(stateAt(pet.id, 1.0f, kOtherGarden)));  // wrong room key
    ASSERT_TRUE(a.piboState(stateAt(creature(1, 2).id, 1.0f)));     // never registered
    roundTrip(a);
    const auto states = decodeAll(roundTrip(b), MessageType::PiboState, client::decodePiboState);
    ASSERT_EQ(states.size(), 2u);
    state.playerId = a.playerId();
    for (size_t i = 0; i < 2; ++i) {
        state.further[2] = i == 0 ? 1.0f : 4.0f;
        EXPECT_EQ(client::encodePiboState(states[i]), client::encodePiboState(state));
    }

    ASSERT_TRUE(b.piboRelease(pet.id));  // not B's: ignored
    roundTrip(b);
    ASSERT_TRUE(a.piboRelease(pet.id));
    ASSERT_TRUE(a.piboState(stateAt(pet.id, 2.0f)));  // released: relayed no more
    EXPECT_TRUE(roundTrip(a).empty());
    EXPECT_EQ(releasedIds(roundTrip(b)), (std::vector<uint64_t>{pet.id}));

    // Leaving the room releases every held creature, in table order.
    const Register other = creature(1, 4);
    registerCreature(a, other);
    registerCreature(a, pet);
    const Register moving = creature(2, 1), still = creature(2, 2);
    registerCreature(b, moving);
    registerCreature(b, still);
    ASSERT_TRUE(b.piboState(stateAt(moving.id, 7.0f)));
    roundTrip(b);
    a.joinRoom(kOtherGarden);
    roundTrip(a);
    EXPECT_EQ(releasedIds(roundTrip(b)), (std::vector<uint64_t>{pet.id, other.id}));

    // Coming back, a newcomer gets each creature there, with its last state.
    a.joinRoom(kGarden);
    std::vector<Frame> arrival = untilRoomStatus(a);
    std::erase_if(arrival, [](const Frame& f) {
        return f.type() != MessageType::PiboAppear && f.type() != MessageType::PiboState;
    });
    ASSERT_EQ(arrival.size(), 3u);
    EXPECT_EQ(client::decodePiboAppear(arrival[0].payload)->id, moving.id);
    const auto last = client::decodePiboState(arrival[1].payload);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->id, moving.id);
    EXPECT_EQ(last->playerId, b.playerId());
    EXPECT_EQ(last->position[0], 7.0f);
    EXPECT_EQ(client::decodePiboAppear(arrival[2].payload)->id, still.id);

    b.close();  // a disconnect releases too
    EXPECT_EQ(awaitMessage(a, MessageType::PiboRelease, client::decodePiboRelease).id, moving.id);
    EXPECT_EQ(awaitMessage(a, MessageType::PiboRelease, client::decodePiboRelease).id, still.id);
}

TEST(PiboCare, FeedingAndInteractionsAnswerWithTheirCodes) {
    TestServer server([](ServerSettings& s) {
        StoredProfile profile{.key = profileKeyFor(1)};
        profile.fruit[3] = 1;
        writeProfileStore(s, {profile});
    });
    KarstClient a = enterPlayer(server, 1, kGarden);
    KarstClient b = enterPlayer(server, 2, kGarden);
    KarstClient away = enterPlayer(server, 3, kOtherGarden);

    const std::pair<uint32_t, uint16_t> refused[] = {
        {away.playerId(), 2},  // A holds no fruit 5 either: still "not nearby"
        {4242, 2},             // nobody has that id
        {b.playerId(), 6}};
    for (const auto& [owner, code] : refused) {
        ASSERT_TRUE(a.piboFeed(owner, 5));
        const auto notice = awaitMessage(a, MessageType::Notice, client::decodeNotice);
        EXPECT_EQ(notice.code, code);
        EXPECT_EQ(notice.text, code == 2 ? "That Pibo owner is no longer nearby"
                                         : "That fruit is not in your server inventory");
    }
    const client::PiboFeed feed{.playerId = 0, .ownerPlayerId = b.playerId(), .fruit = 3,
                                .extra = {4, 5, 6}};
    ASSERT_TRUE(a.sendMessage(MessageType::PiboFeed, client::encodePiboFeed(feed)));
    for (KarstClient* player : {&a, &b}) {
        const auto seen = awaitMessage(*player, MessageType::PiboFeed, client::decodePiboFeed);
        EXPECT_EQ(seen.playerId, a.playerId());
        EXPECT_EQ(seen.ownerPlayerId, b.playerId());
        EXPECT_EQ(seen.fruit, 3);
        EXPECT_EQ(seen.extra, feed.extra);
    }
    EXPECT_EQ(storedProfile(server.settings(), 1).fruit[3], 0);
    EXPECT_TRUE(framesOfType(roundTrip(away), MessageType::PiboFeed).empty());
    ASSERT_TRUE(a.piboFeed(b.playerId(), 3));  // the only one is eaten
    EXPECT_EQ(awaitNotice(a), 6);

    const uint64_t a1 = creature(1, 1).id, a2 = creature(1, 2).id, b1 = creature(2, 1).id;
    registerCreature(a, creature(1, 1));
    registerCreature(a, creature(1, 2));
    registerCreature(b, creature(2, 1));
    registerCreature(away, creature(3, 1, kHatchedType, kOtherGarden));
    roundTrip(b);
    struct Case {
        uint64_t actor, target;
        uint8_t action;
        uint16_t code;
    };
    const Case cases[] = {
        {0, a1, 1, 0},                 // the player acts on its own creature
        {0, b1, 1, 1},                 // not the owner of the target
        {0, a1, 6, 1},                 // creature-to-creature needs an actor
        {b1, a1, 6, 2},                // the actor is not the sender's
        {a2, b1, 3, 2},                // an actor only does action 6
        {0, creature(3, 1).id, 1, 3},  // present, but in another room
        {0, 0x5555, 1, 3},             // no such creature
        {a1, b1, 6, 0},                // allowed, and the whole room hears it
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(a.piboInteract(c.actor, c.target, c.action));
        const auto result = awaitMessage(a, MessageType::PiboInteractResult,
                                         client::decodePiboInteractResult);
        EXPECT_EQ(result.actorId, c.actor);
        EXPECT_EQ(result.targetId, c.target);
        EXPECT_EQ(result.action, c.action);
        EXPECT_EQ(result.resultCode, c.code) << c.actor << " " << c.target << " " << int(c.action);
        EXPECT_EQ(result.allowed, c.code == 0 ? 1 : 0);
    }
    const auto heard = decodeAll(receivedAfter(a, b, MessageType::PiboInteractResult),
                                 MessageType::PiboInteractResult, client::decodePiboInteractResult);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].actorId, a1);
}

}  // namespace
}  // namespace karst::testing
