// The garden over loopback: registration and its refusals, the traffic a garden
// room sees (appear, state, release), releases on room changes and disconnects,
// the snapshot a newcomer gets, feeding with fruit from the profile store, and
// the interaction result codes.
#include "garden/garden_session.h"

#include "garden/pibo_store.h"

#include <limits>

namespace karst::testing {
namespace {

using client::Frame;

const ProfileKey kKeyA = profileKey(0xA1);
const ProfileKey kKeyB = profileKey(0xB2);
const ProfileKey kKeyC = profileKey(0xC3);

TEST(PiboRegister, ContentOutsideTheRulesClosesTheConnection) {
    TestServer server;
    struct Case {
        const char* what;
        RoomKey joined;
        void (*change)(client::PiboRegister&);
    };
    const Case cases[] = {
        {"hub level", kHub, [](client::PiboRegister& m) { m.room = kHub; }},
        {"wrong room key", kGarden, [](client::PiboRegister& m) { m.room = kOtherGarden; }},
        {"slot 24", kGarden, [](client::PiboRegister& m) { m.localSlot = 24; }},
        {"type 0", kGarden, [](client::PiboRegister& m) { m.data[128] = 0; }},
        {"type 26", kGarden, [](client::PiboRegister& m) { m.data[128] = 26; }},
        {"egg with stage 2", kGarden, [](client::PiboRegister& m) { m.data[128] = 1; }},
        {"hatched with stage 1", kGarden, [](client::PiboRegister& m) { m.stage = 1; }},
    };
    uint8_t keyByte = 0x10;
    for (const Case& c : cases) {
        const ProfileKey key = profileKey(keyByte++);
        KarstClient player = logIn(server.port(), key, c.joined);
        client::PiboRegister message = creature(key, 0);
        c.change(message);
        ASSERT_TRUE(player.piboRegister(message));
        EXPECT_TRUE(player.closedByPeer()) << c.what;
    }
}

TEST(PiboRegister, NewCreatureAppearsToTheWholeGardenAndIsSaved) {
    TestServer server;
    KarstClient a = logIn(server.port(), kKeyA);
    KarstClient b = logIn(server.port(), kKeyB);
    KarstClient elsewhere = logIn(server.port(), kKeyC, kOtherGarden);
    client::PiboRegister message = creature(kKeyA, 3);
    message.name = "ABCDEFGHIJKLMNOP";
    registerCreature(a, message);

    const auto seen = awaitAppear(b);
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->id, message.id);
    EXPECT_EQ(seen->holderPlayerId, a.playerId());
    EXPECT_EQ(seen->room, kGarden);
    EXPECT_EQ(seen->localSlot, 3);
    EXPECT_EQ(seen->stage, 2);
    EXPECT_EQ(seen->present, 1);
    EXPECT_EQ(seen->name, "ABCDEFGHIJKLMNO");
    EXPECT_EQ(seen->data, message.data);
    EXPECT_TRUE(framesOfType(elsewhere, MessageType::PiboAppear).empty());

    const DecodedPiboStore stored = decodePiboStore(readFile(server.settings().piboStorePath));
    ASSERT_EQ(stored.records.size(), 1u);
    EXPECT_EQ(stored.records[0].id, message.id);
    EXPECT_EQ(stored.records[0].owner, kKeyA);
    EXPECT_EQ(stored.records[0].localSlot, 3);
}

TEST(PiboRegister, EmptyAndControlCharacterNamesAreRepaired) {
    TestServer server;
    KarstClient a = logIn(server.port(), kKeyA);
    client::PiboRegister empty = creature(kKeyA, 1);
    empty.name = "";
    ASSERT_TRUE(a.piboRegister(empty));
    EXPECT_EQ(awaitAppear(a)->name, "Pibo");
    client::PiboRegister tab = creature(kKeyA, 2);
    tab.name = "\t";
    ASSERT_TRUE(a.piboRegister(tab));
    EXPECT_EQ(awaitAppear(a)->name, "_");
}

TEST(PiboRegister, OwnershipRefusalsAnswerWithCodeSeven) {
    TestServer server;
    KarstClient a = logIn(server.port(), kKeyA);
    KarstClient b = logIn(server.port(), kKeyB);

    client::PiboRegister foreignId = creature(kKeyA, 2);
    foreignId.localSlot = 4;  // the id is derived for slot 2
    ASSERT_TRUE(a.piboRegister(foreignId));
    auto notice = awaitNotice(a);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->code, 7);
    EXPECT_EQ(notice->text, "That Pibo ID is not owned by this profile");

    // An existing id skips the slot check: the creature of slot 3 moves to slot 5.
    registerCreature(a, creature(kKeyA, 3));
    client::PiboRegister moved = creature(kKeyA, 3);
    moved.localSlot = 5;
    registerCreature(a, moved);
    ASSERT_TRUE(a.piboRegister(creature(kKeyA, 5)));
    notice = awaitNotice(a);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->code, 7);
    EXPECT_EQ(notice->text, "That local Pibo slot already has an owner record");

    ASSERT_TRUE(b.piboRegister(creature(kKeyA, 3)));
    notice = awaitNotice(b);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(notice->code, 7);
    EXPECT_EQ(notice->text, "Only the owning profile can register this Pibo");

    EXPECT_TRUE(framesOfType(a, MessageType::PiboAppear).empty());
    EXPECT_EQ(decodePiboStore(readFile(server.settings().piboStorePath)).records.size(), 1u);
}

TEST(PiboState, RelayedToTheOthersWithTheSenderIdAtMostOncePer15Ms) {
    TestServer server;
    KarstClient a = logIn(server.port(), kKeyA);
    KarstClient b = logIn(server.port(), kKeyB);
    const client::PiboRegister pet = creature(kKeyA, 1);
    registerCreature(a, pet);

    client::PiboState state = stateAt(pet.id, 1.5f);
    state.playerId = 999;
    // Both frames in one write reach the server within the same 15 ms.
    const auto payload = client::encodePiboState(state);
    std::vector<uint8_t> bytes =
        client::encodeFrame(MessageType::PiboState, payload, a.nextSequence());
    const std::vector<uint8_t> second =
        client::encodeFrame(MessageType::PiboState, payload, a.nextSequence() + 1);
    bytes.insert(bytes.end(), second.begin(), second.end());
    a.setNextSequence(a.nextSequence() + 2);
    ASSERT_TRUE(a.sendRaw(bytes));

    const auto relayed = b.receiveType(MessageType::PiboState);
    ASSERT_TRUE(relayed.has_value());
    const auto seen = client::decodePiboState(relayed->payload);
    EXPECT_EQ(seen->id, pet.id);
    EXPECT_EQ(seen->playerId, a.playerId());
    EXPECT_EQ(seen->room, kGarden);
    EXPECT_EQ(seen->position[0], 1.5f);
    EXPECT_EQ(seen->further, state.further);
    EXPECT_EQ(seen->extra, state.extra);
    EXPECT_TRUE(framesOfType(b, MessageType::PiboState).empty());
    EXPECT_TRUE(framesOfType(a, MessageType::PiboState).empty());

    ASSERT_TRUE(a.piboState(stateAt(pet.id, 2.0f)));
    const auto later = b.receiveType(MessageType::PiboState);
    ASSERT_TRUE(later.has_value());
    EXPECT_EQ(client::decodePiboState(later->payload)->position[0], 2.0f);
}

TEST(PiboState, IgnoredUnlessOwnedPresentAndFromTheCreaturesRoom) {
    TestServer server;
    KarstClient a = logIn(server.port(), kKeyA);
    KarstClient b = logIn(server.port(), kKeyB);
    const client::PiboRegister pet = creature(kKeyA, 1);
    registerCreature(a, pet);
    ASSERT_TRUE(b.piboState(stateAt(pet.id, 1.0f)));                 // not B's creature
    ASSERT_TRUE(a.piboState(stateAt(pet.id, 1.0f, kOtherGarden)));   // wrong room key
    ASSERT_TRUE(a.piboState(stateAt(creature(kKeyA, 2).id, 1.0f)));  // never registered
    EXPECT_TRUE(framesOfType(a, MessageType::PiboState).empty());
    EXPECT_TRUE(framesOfType(b, MessageType::PiboState).empty());
}

TEST(PiboState, NonFiniteOrHugeFloatClosesTheConnection) {
    TestServer server;
    uint8_t keyByte = 0x20;
    for (const float bad : {std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(), 1'000'001.0f}) {
        KarstClient player = logIn(server.port(), profileKey(keyByte++));
        client::PiboState state = stateAt(1, 0.0f);
        state.further[2] = bad;
        ASSERT_TRUE(player.piboState(state));
        EXPECT_TRUE(player.closedByPeer()) << bad;
    }
}

TEST(PiboRelease, OthersSeeTheCreatureLeaveAndItsStatesStop) {
    TestServer server;
    KarstClient a = logIn(server.port(), kKeyA);
    KarstClient b = logIn(server.port(), kKeyB);
    const client::PiboRegister pet = creature(kKeyA, 1);
    registerCreature(a, pet);
    ASSERT_TRUE(b.piboRelease(pet.id));  // not B's: ignored
    ASSERT_TRUE(a.piboRelease(pet.id));
    const auto released = b.receiveType(MessageType::PiboRelease);
    ASSERT_TRUE(released.has_value());
    EXPECT_EQ(client::decodePiboRelease(released->payload)->id, pet.id);
    EXPECT_TRUE(framesOfType(a, MessageType::PiboRelease).empty());

    ASSERT_TRUE(a.piboState(stateAt(pet.id, 1.0f)));
    EXPECT_TRUE(framesOfType(b, MessageType::PiboState).empty());
    KarstClient newcomer = logIn(server.port(), kKeyC, kNoRoom);
    ASSERT_TRUE(newcomer.joinRoom(kGarden));
    EXPECT_TRUE(framesOfType(newcomer, MessageType::PiboAppear).empty());
}

std::vector<uint64_t> releasedIds(KarstClient& player) {
    std::vector<uint64_t> ids;
    for (const Frame& frame : framesOfType(player, MessageType::PiboRelease))
        ids.push_back(client::decodePiboRelease(frame.payload)->id);
    return ids;
}

TEST(PiboPresence, LeavingTheRoomReleasesEveryHeldCreatureInTableOrder) {
    TestServer server;
    KarstClient a = logIn(server.port(), kKeyA);
    KarstClient b = logIn(server.port(), kKeyB);
    const client::PiboRegister first = creature(kKeyA, 4);
    const client::PiboRegister second = creature(kKeyA, 1);
    registerCreature(a, first);
    registerCreature(a, second);
    registerCreature(b, creature(kKeyB, 1));
    ASSERT_TRUE(a.joinRoom(kOtherGarden));
    EXPECT_EQ(releasedIds(b), (std::vector<uint64_t>{first.id, second.id}));

    // Back in the garden, A's creatures are gone and B's is still there.
    (void)a.drain(kQuietMs);
    ASSERT_TRUE(a.joinRoom(kGarden));
    const std::vector<Frame> appears = framesOfType(a, MessageType::PiboAppear);
    ASSERT_EQ(appears.size(), 1u);
    EXPECT_EQ(client::decodePiboAppear(appears[0].payload)->id, creature(kKeyB, 1).id);
}

TEST(PiboPresence, DisconnectReleasesHeldCreatures) {
    TestServer server;
    KarstClient a = logIn(server.port(), kKeyA);
    KarstClient b = logIn(server.port(), kKeyB);
    const client::PiboRegister pet = creature(kKeyA, 1);
    registerCreature(a, pet);
    a.close();
    EXPECT_EQ(releasedIds(b), (std::vector<uint64_t>{pet.id}));
}

TEST(PiboPresence, NewcomerGetsAppearThenStateForEveryCreatureThere) {
    TestServer server;
    KarstClient a = logIn(server.port(), kKeyA);
    const client::PiboRegister moving = creature(kKeyA, 1);
    const client::PiboRegister still = creature(kKeyA, 2);
    registerCreature(a, moving);
    registerCreature(a, still);
    ASSERT_TRUE(a.piboState(stateAt(moving.id, 7.0f)));
    settle(a);

    KarstClient b = logIn(server.port(), kKeyB, kNoRoom);
    ASSERT_TRUE(b.joinRoom(kGarden));
    std::vector<Frame> frames = b.drain(kQuietMs);
    std::erase_if(frames, [](const Frame& f) {
        return f.type() != MessageType::PiboAppear && f.type() != MessageType::PiboState;
    });
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].type(), MessageType::PiboAppear);
    EXPECT_EQ(client::decodePiboAppear(frames[0].payload)->id, moving.id);
    ASSERT_EQ(frames[1].type(), MessageType::PiboState);
    const auto state = client::decodePiboState(frames[1].payload);
    EXPECT_EQ(state->id, moving.id);
    EXPECT_EQ(state->playerId, a.playerId());
    EXPECT_EQ(state->position[0], 7.0f);
    EXPECT_EQ(frames[2].type(), MessageType::PiboAppear);
    EXPECT_EQ(client::decodePiboAppear(frames[2].payload)->id, still.id);

    KarstClient elsewhere = logIn(server.port(), kKeyC, kNoRoom);
    ASSERT_TRUE(elsewhere.joinRoom(kOtherGarden));
    EXPECT_TRUE(framesOfType(elsewhere, MessageType::PiboAppear).empty());
}

// A server whose profile store gives A one fruit 3 before it starts.
class PiboFeedTest : public ::testing::Test {
protected:
    PiboFeedTest() : settings_(testSettings(dir_.path())) {
        ProfileTable table;
        ProfileRecord profile;
        profile.profileKey = kKeyA;
        profile.rings = 100;
        profile.serverInventory[3] = 1;
        table.emplace(kKeyA, profile);
        std::filesystem::create_directories(
            std::filesystem::path(settings_.profileStorePath).parent_path());
        const std::vector<uint8_t> file = encodeProfileStore(table);
        std::ofstream(settings_.profileStorePath, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()),
                   static_cast<std::streamsize>(file.size()));
        server_ = std::make_unique<TestServer>(settings_);
    }

    uint16_t storedFruit(const ProfileKey& key, size_t fruit) const {
        const DecodedProfileStore stored = decodeProfileStore(readFile(settings_.profileStorePath));
        const auto it = stored.table.find(key);
        return it == stored.table.end() ? 0 : it->second.serverInventory[fruit];
    }

    TempDir dir_;
    ServerSettings settings_;
    std::unique_ptr<TestServer> server_;
};

TEST_F(PiboFeedTest, NoticesEchoAndTheSavedFruit) {
    KarstClient a = logIn(server_->port(), kKeyA);
    KarstClient b = logIn(server_->port(), kKeyB);
    KarstClient away = logIn(server_->port(), kKeyC, kOtherGarden);

    ASSERT_TRUE(a.piboFeed(away.playerId(), 5));  // A holds no fruit 5: still "not nearby"
    auto notice = awaitNotice(a);
    EXPECT_EQ(notice->code, 2);
    EXPECT_EQ(notice->text, "That Pibo owner is no longer nearby");
    ASSERT_TRUE(a.piboFeed(b.playerId(), 5));
    notice = awaitNotice(a);
    EXPECT_EQ(notice->code, 6);
    EXPECT_EQ(notice->text, "That fruit is not in your server inventory");

    client::PiboFeed feed{
        .playerId = 0, .ownerPlayerId = b.playerId(), .fruit = 3, .extra = {4, 5, 6}};
    ASSERT_TRUE(a.sendMessage(MessageType::PiboFeed, client::encodePiboFeed(feed)));
    for (KarstClient* player : {&a, &b}) {
        const auto echo = player->receiveType(MessageType::PiboFeed);
        ASSERT_TRUE(echo.has_value());
        const auto seen = client::decodePiboFeed(echo->payload);
        EXPECT_EQ(seen->playerId, a.playerId());
        EXPECT_EQ(seen->ownerPlayerId, b.playerId());
        EXPECT_EQ(seen->fruit, 3);
        EXPECT_EQ(seen->extra, feed.extra);
    }
    EXPECT_EQ(storedFruit(kKeyA, 3), 0);
    EXPECT_TRUE(framesOfType(away, MessageType::PiboFeed).empty());

    ASSERT_TRUE(a.piboFeed(b.playerId(), 3));
    EXPECT_EQ(awaitNotice(a)->code, 6);
    ASSERT_TRUE(a.piboFeed(4242, 3));  // nobody has that id
    EXPECT_EQ(awaitNotice(a)->code, 2);
}

TEST_F(PiboFeedTest, CodeThatIsNoFruitClosesTheConnection) {
    KarstClient a = logIn(server_->port(), kKeyA);
    ASSERT_TRUE(a.piboFeed(a.playerId(), 7));
    EXPECT_TRUE(a.closedByPeer());
}

TEST(PiboInteract, ResultCodesAndWhoHearsThem) {
    TestServer server;
    KarstClient a = logIn(server.port(), kKeyA);
    KarstClient b = logIn(server.port(), kKeyB);
    KarstClient c = logIn(server.port(), kKeyC, kOtherGarden);
    const uint64_t a1 = creature(kKeyA, 1).id;
    const uint64_t a2 = creature(kKeyA, 2).id;
    const uint64_t b1 = creature(kKeyB, 1).id;
    registerCreature(a, creature(kKeyA, 1));
    registerCreature(a, creature(kKeyA, 2));
    registerCreature(b, creature(kKeyB, 1));
    registerCreature(c, creature(kKeyC, 1, kHatchedType, kOtherGarden));

    struct Case {
        uint64_t actor, target;
        uint8_t action;
        uint16_t code;
    };
    const Case cases[] = {
        {0, a1, 1, 0},                     // the player acts on its own creature
        {0, b1, 1, 1},                     // not the owner of the target
        {0, a1, 6, 1},                     // creature-to-creature needs an actor
        {b1, a1, 6, 2},                    // the actor is not the sender's
        {a2, b1, 3, 2},                    // an actor only does action 6
        {0, creature(kKeyC, 1).id, 1, 3},  // present, but in another room
        {0, 0x5555, 1, 3},                 // no such creature
        {a1, b1, 6, 0},                    // allowed, and the whole room hears it
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(a.piboInteract(c.actor, c.target, c.action));
        const auto frame = a.receiveType(MessageType::PiboInteractResult);
        ASSERT_TRUE(frame.has_value());
        const auto result = client::decodePiboInteractResult(frame->payload);
        EXPECT_EQ(result->actorId, c.actor);
        EXPECT_EQ(result->targetId, c.target);
        EXPECT_EQ(result->action, c.action);
        EXPECT_EQ(result->resultCode, c.code) << c.actor << " " << c.target << " " << int(c.action);
        EXPECT_EQ(result->allowed, c.code == 0 ? 1 : 0);
    }
    const std::vector<Frame> heardByB = framesOfType(b, MessageType::PiboInteractResult);
    ASSERT_EQ(heardByB.size(), 1u);
    EXPECT_EQ(client::decodePiboInteractResult(heardByB[0].payload)->actorId, a1);

    ASSERT_TRUE(a.piboInteract(0, a1, 7));
    EXPECT_TRUE(a.closedByPeer());
}

}  // namespace
}  // namespace karst::testing
