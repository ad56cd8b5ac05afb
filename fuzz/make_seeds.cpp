// Writes the seed corpora of the fuzz targets: conversations of valid frames of
// every client message, valid and damaged datagrams, store files and a sample
// configuration. Usage: make_seeds <corpus directory>; one subdirectory per target.
//
// The layouts of the inputs are the targets' own (see each fuzz_*.cpp); frames
// and datagrams come from the client library's builders, so seeds exercise the
// same bytes a real game sends.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/messages.h"
#include "fuzz_support.h"
#include "garden/pibo_store.h"
#include "net/coding.h"
#include "store/profile_store.h"

namespace karst::fuzz {
namespace {

namespace fs = std::filesystem;
// The conversations are a client's: its message types, room keys and framing.
using client::encodeFrame;
using client::MessageType;
using client::RoomKey;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kPlayerA = 0;
constexpr uint8_t kPlayerB = 1;
constexpr uint8_t kFinishPass = 0x20;
constexpr uint8_t kWallCooldown = 0x10;
constexpr uint8_t kReconnect = 0x40;
constexpr uint8_t kSameRead = 0x80;
constexpr uint8_t kGuestA = 0x08;
constexpr uint8_t kGuestB = 0x10;
constexpr uint8_t kTwoReady = 0x80;

constexpr uint8_t clockStep(uint8_t index) { return static_cast<uint8_t>(index << 1); }

constexpr RoomKey kCentralPlaza{.level = 26, .act = 3, .mission = 0, .instance = 0};
constexpr RoomKey kStage{.level = 1, .act = 0, .mission = 0, .instance = 0};
constexpr RoomKey kGarden{.level = 39, .act = 0, .mission = 0, .instance = 0};

ProfileKey helloKey(uint8_t seed) {
    ProfileKey key;
    key.fill(seed);
    return key;
}

// A conversation: frames of two players, each with its own control bits.
class Conversation {
public:
    explicit Conversation(uint8_t setup) : setup_(setup) {}

    template <size_t N>
    Conversation& send(uint8_t player, MessageType type, const std::array<uint8_t, N>& payload,
                       uint8_t control = 0) {
        return raw(player, encodeFrame(type, payload, ++sequence_[player]), control);
    }

    Conversation& raw(uint8_t player, const Bytes& bytes, uint8_t control = 0) {
        steps_.push_back({static_cast<uint8_t>(player | control), bytes});
        return *this;
    }

    // Sequence numbers restart on a new connection.
    Conversation& reconnect(uint8_t player) {
        sequence_[player] = 0;
        return *this;
    }

    Bytes encode() const {
        Bytes out{setup_};
        for (const Step& step : steps_) {
            out.push_back(step.control);
            out.insert(out.end(), step.bytes.begin(), step.bytes.end());
        }
        return out;
    }

    // The same steps, each arriving in reads of the setup's chunk size.
    Bytes encodeInReads(uint8_t chunkIndex) const {
        Bytes out = encode();
        out[0] = static_cast<uint8_t>((out[0] & ~7) | chunkIndex);
        return out;
    }

    Conversation& reconnectNext(uint8_t player, MessageType type, const auto& payload) {
        reconnect(player);
        return send(player, type, payload, kReconnect);
    }

private:
    struct Step {
        uint8_t control;
        Bytes bytes;
    };
    uint8_t setup_;
    std::vector<Step> steps_;
    std::array<uint32_t, 2> sequence_{};
};

client::PlayerStateRecord stateIn(const RoomKey& room, float x) {
    client::PlayerStateRecord record;
    record.room = room;
    record.position = {x, 10.0f, -x};
    record.velocity = {1.0f, 0.0f, 0.5f};
    record.yaw = 16384;
    record.timeMs = 1000;
    return record;
}

client::PiboRegister registration(const ProfileKey& owner, uint8_t slot, const RoomKey& room,
                                   uint8_t type) {
    client::PiboRegister m;
    m.id = client::derivePiboId(owner, slot);
    m.room = room;
    m.localSlot = slot;
    m.data[kPiboTypeOffset] = type;
    m.stage = type == kPiboTypeEgg ? kPiboStageEgg : kPiboStageHatched;
    m.name = "Chao" + std::to_string(slot);
    return m;
}

void write(const fs::path& dir, const std::string& name, const Bytes& bytes) {
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Conversation handshakeAndHub() {
    client::Hello helloA{.name = "Sonic", .character = 0, .colour = {0, 0, 255},
                         .profileKey = helloKey(0x21)};
    client::Hello helloB{.name = "Tails", .character = 1, .colour = {255, 200, 0},
                         .profileKey = helloKey(0x22)};
    Conversation c(kGuestA | kGuestB);
    c.send(kPlayerA, MessageType::Hello, client::encodeHello(helloA))
        .send(kPlayerB, MessageType::Hello, client::encodeHello(helloB))
        .send(kPlayerA, MessageType::JoinRoom, client::encodeJoinRoom(kCentralPlaza), kFinishPass)
        .send(kPlayerB, MessageType::JoinRoom, client::encodeJoinRoom(kCentralPlaza))
        .send(kPlayerA, MessageType::PlayerState,
              client::encodePlayerState(stateIn(kCentralPlaza, 5.0f)), clockStep(1) | kSameRead)
        .send(kPlayerA, MessageType::PlayerState,
              client::encodePlayerState(stateIn(kCentralPlaza, 6.0f)), clockStep(2) | kFinishPass)
        .send(kPlayerB, MessageType::ChatText,
              client::encodeChatText({.playerId = 0, .text = "hello there"}))
        .send(kPlayerA, MessageType::Ping, client::encodePing({1, 2, 3, 4}))
        .send(kPlayerA, MessageType::PlayerEvent,
              client::encodePlayerEvent({.playerId = 0, .kind = 1, .detail = {}, .value = 7}))
        .send(kPlayerB, MessageType::SetCharacter,
              client::encodeSetCharacter({.name = "Knuckles", .character = 2, .colour = {255, 0, 0}}))
        .send(kPlayerA, MessageType::BuyFruit, client::encodeBuyFruit(3))
        .send(kPlayerA, MessageType::BuyFruit, client::encodeBuyFruit(11), clockStep(5))
        .send(kPlayerB, MessageType::JoinRoom,
              client::encodeJoinRoom({.level = 26, .act = 3, .mission = 0, .instance = 1}), kFinishPass)
        .reconnectNext(kPlayerA, MessageType::Hello, client::encodeHello(helloA));
    return c;
}

Conversation stageRun() {
    Conversation c(kTwoReady);
    c.send(kPlayerA, MessageType::JoinRoom, client::encodeJoinRoom(kStage))
        .send(kPlayerB, MessageType::JoinRoom, client::encodeJoinRoom(kStage))
        .send(kPlayerA, MessageType::SetReady, client::encodeSetReady(1))
        .send(kPlayerB, MessageType::SetReady, client::encodeSetReady(1), kFinishPass);
    for (int i = 0; i < 4; ++i)
        c.send(kPlayerA, MessageType::Ping, client::encodePing({0, 0, 0, static_cast<uint8_t>(i)}),
               clockStep(5) | kFinishPass);
    c.send(kPlayerA, MessageType::PlayerState, client::encodePlayerState(stateIn(kStage, 1.0f)))
        .send(kPlayerA, MessageType::StageFinished,
              client::encodeStageFinished({.room = kStage, .result = 1}), kFinishPass)
        .send(kPlayerB, MessageType::StageFinished,
              client::encodeStageFinished({.room = kStage, .result = 0}), kFinishPass)
        .send(kPlayerB, MessageType::SetReady, client::encodeSetReady(0), clockStep(7) | kFinishPass);
    return c;
}

// Players who said Hello (so they have rings to buy fruit with) register a
// creature each, place them side by side, feed, play, breed and claim an egg.
Conversation garden() {
    const ProfileKey keyA = helloKey(0x41);
    const ProfileKey keyB = helloKey(0x42);
    const auto a0 = registration(keyA, 0, kGarden, 5);
    const auto a1 = registration(keyA, 1, kGarden, kPiboTypeEgg);
    const auto b0 = registration(keyB, 0, kGarden, 7);
    const client::PiboState stateA{.id = a0.id, .playerId = kFirstPlayerId, .room = kGarden,
                                   .position = {1.0f, 0.0f, 1.0f}};
    const client::PiboState stateB{.id = b0.id, .playerId = kFirstPlayerId + 1, .room = kGarden,
                                   .position = {1.5f, 0.0f, 1.0f}};
    Conversation c(kGuestA | kGuestB);
    c.send(kPlayerA, MessageType::Hello,
           client::encodeHello({.name = "Cream", .character = 4, .profileKey = keyA}))
        .send(kPlayerB, MessageType::Hello,
              client::encodeHello({.name = "Big", .character = 5, .profileKey = keyB}))
        .send(kPlayerA, MessageType::JoinRoom, client::encodeJoinRoom(kGarden))
        .send(kPlayerB, MessageType::JoinRoom, client::encodeJoinRoom(kGarden))
        .send(kPlayerA, MessageType::PiboRegister, client::encodePiboRegister(a0))
        .send(kPlayerA, MessageType::PiboRegister, client::encodePiboRegister(a1))
        .send(kPlayerB, MessageType::PiboRegister, client::encodePiboRegister(b0), kFinishPass)
        .send(kPlayerA, MessageType::PiboState, client::encodePiboState(stateA), clockStep(3))
        .send(kPlayerB, MessageType::PiboState, client::encodePiboState(stateB), clockStep(3))
        .send(kPlayerB, MessageType::BuyFruit, client::encodeBuyFruit(3))
        .send(kPlayerB, MessageType::PiboFeed,
              client::encodePiboFeed({.playerId = 0, .ownerPlayerId = kFirstPlayerId, .fruit = 3}))
        .send(kPlayerB, MessageType::PiboInteract,
              client::encodePiboInteract({.actorId = b0.id, .targetId = a0.id, .action = 1}),
              clockStep(4))
        .send(kPlayerA, MessageType::PiboBreed,
              client::encodePiboBreed({.firstId = a0.id, .secondId = b0.id}), kFinishPass)
        .send(kPlayerA, MessageType::PiboClaim,
              client::encodePiboClaim({.id = kFirstServerPiboId, .localSlot = 2, .accepted = 1}))
        .send(kPlayerA, MessageType::PiboBreed,
              client::encodePiboBreed({.firstId = a0.id, .secondId = b0.id}),
              kWallCooldown | kFinishPass)
        .send(kPlayerB, MessageType::PiboRelease, client::encodePiboRelease({.id = b0.id}))
        .send(kPlayerA, MessageType::JoinRoom, client::encodeJoinRoom(kCentralPlaza), kFinishPass)
        .reconnectNext(kPlayerB, MessageType::Hello,
                       client::encodeHello({.name = "Big", .character = 5, .profileKey = keyB}));
    return c;
}

Conversation faults() {
    Bytes badMagic = encodeFrame(MessageType::Ping, client::encodePing({}), 1);
    badMagic[0] = 'X';
    Bytes hugeLength = encodeFrame(MessageType::Ping, client::encodePing({}), 1);
    putU32(hugeLength.data() + 8, 5000);
    Bytes wrongSize = encodeFrame(MessageType::JoinRoom, client::encodeJoinRoom(kStage), 1);
    putU32(wrongSize.data() + 8, 4);
    wrongSize.resize(kFrameHeaderSize + 4);
    Conversation c(kGuestA);
    c.send(kPlayerA, MessageType::Ping, client::encodePing({}))  // before Hello
        .raw(kPlayerB, badMagic)
        .raw(kPlayerA, hugeLength)
        .raw(kPlayerB, wrongSize, clockStep(7) | kFinishPass)
        .raw(kPlayerA, encodeFrame(MessageType::Welcome, std::array<uint8_t, kWelcomeSize>{}, 1));
    return c;
}

void writeTcpSeeds(const fs::path& dir) {
    write(dir, "handshake_hub", handshakeAndHub().encode());
    write(dir, "handshake_hub_5_byte_reads", handshakeAndHub().encodeInReads(3));
    write(dir, "stage_run", stageRun().encode());
    write(dir, "garden", garden().encode());
    write(dir, "garden_100_byte_reads", garden().encodeInReads(6));
    write(dir, "faults", faults().encode());
    // A connection that never says Hello is closed past the deadline; the player
    // comes back on a new connection.
    Conversation late(kGuestA);
    late.send(kPlayerB, MessageType::Ping, client::encodePing({}), clockStep(7) | kFinishPass)
        .send(kPlayerA, MessageType::Hello,
              client::encodeHello({.name = "Amy", .character = 4, .profileKey = helloKey(0x33)}));
    write(dir, "handshake_deadline", late.encode());
}

// The UDP driver names its rooms in the server's terms.
Bytes datagram(uint32_t playerId, uint64_t token, const karst::RoomKey& room, uint32_t sequence,
               float x) {
    const RoomKey clientRoom{room.level, room.act, room.mission, room.instance};
    const client::UdpPlayerState m{.playerId = playerId, .udpToken = token,
                                   .record = stateIn(clientRoom, x)};
    const auto bytes = client::encodeUdpDatagram(m, sequence);
    return Bytes(bytes.begin(), bytes.end());
}

constexpr uint8_t udpClockStep(uint8_t index) { return static_cast<uint8_t>(index << 2); }
constexpr uint8_t kUdpExplicitLength = 0x20;
constexpr uint8_t kUdpMoveA = 0x40;

void udpStep(Bytes& out, uint8_t control, const Bytes& bytes) {
    out.push_back(control);
    if (control & kUdpExplicitLength) out.push_back(static_cast<uint8_t>(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void writeUdpSeeds(const fs::path& dir) {
    const uint32_t a = kFirstPlayerId;
    const uint32_t b = kFirstPlayerId + 1;
    Bytes relay;
    udpStep(relay, 0, datagram(a, kUdpTokenA, kUdpRoom, 1, 1.0f));
    udpStep(relay, 1, datagram(b, kUdpTokenB, kUdpRoom, 1, 2.0f));
    udpStep(relay, udpClockStep(2), datagram(a, kUdpTokenA, kUdpRoom, 2, 3.0f));
    udpStep(relay, 2, datagram(a, kUdpTokenA, kUdpRoom, 3, 4.0f));  // another address
    udpStep(relay, udpClockStep(2), datagram(a, kUdpTokenA, kUdpRoom, 2, 5.0f));  // old sequence
    udpStep(relay, udpClockStep(3) | kUdpMoveA, datagram(a, kUdpTokenA, kUdpOtherRoom, 9, 6.0f));
    write(dir, "relay_two_players", relay);

    Bytes faults;
    udpStep(faults, 0, datagram(a, kUdpTokenB, kUdpRoom, 1, 1.0f));      // wrong token
    udpStep(faults, 0, datagram(a + 2, 1, kUdpRoom, 1, 1.0f));           // owes its Hello
    udpStep(faults, 0, datagram(99, kUdpTokenA, kUdpRoom, 1, 1.0f));     // no such player
    udpStep(faults, kUdpMoveA, datagram(a, kUdpTokenA, kUdpRoom, 1, 1.0f));  // A left the room
    Bytes shortDatagram = datagram(b, kUdpTokenB, kUdpRoom, 1, 1.0f);
    shortDatagram.resize(40);
    udpStep(faults, kUdpExplicitLength, shortDatagram);
    Bytes nan = datagram(b, kUdpTokenB, kUdpRoom, 2, 1.0f);
    putU32(nan.data() + kFrameHeaderSize + 12 + 12, 0x7FC00000u);  // first float: NaN
    udpStep(faults, 1, nan);
    write(dir, "faults", faults);
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

void writeConfigSeeds(const fs::path& dir) {
    write(dir, "sample_server.ini", text(R"(; KARST dedicated server
[server]
bind = 0.0.0.0
port = 27015
name = KARST Server
mods = KARST
maxClients = 2048
maxPlayersPerRoom = 128
minimumReady = 1
proxies = 6
startingRings = 1000
handshakeTimeout = 10

[files]
completedSave = SAVEDATA/CometTrail01.snc
piboStore = SAVEDATA/karst-pibo-store.bin
profileStore = SAVEDATA/karst-profile-store.bin
metrics = SAVEDATA/karst-metrics.json

[master]
listed = yes
host = master.example.invalid
port = 27016
advertiseHost = 
)"));
    write(dir, "invalid_values.ini",
          text("\xEF\xBB\xBF[Server]\r\nPort = -1\r\nproxies=33\r\nmaxclients = 0x10\r\n"
               "startingrings = 99999999999999999999\r\nname =\r\n[MASTER]\r\nlisted = maybe\r\n"
               "# comment\r\n[files\r\nmetrics = \r\n"));
}

void writeStoreSeeds(const fs::path& profileDir, const fs::path& piboDir) {
    ProfileTable table;
    for (uint8_t i = 1; i <= 2; ++i) {
        ProfileRecord record;
        record.profileKey = helloKey(i);
        record.rings = 1000u * i;
        record.serverInventory[3] = i;
        record.name = {'P', 'l', 'a', 'y', 'e', 'r'};
        record.character = i;
        record.colour = {1, 2, 3};
        table.emplace(record.profileKey, record);
    }
    write(profileDir, "two_profiles", encodeProfileStore(table));
    write(profileDir, "empty", encodeProfileStore({}));

    std::vector<PiboRecord> records;
    for (uint8_t slot = 0; slot < 2; ++slot) {
        PiboRecord record = makeFreshPiboRecord(derivePiboId(helloKey(1), slot), helloKey(1));
        record.localSlot = slot;
        record.data[kPiboTypeOffset] = slot == 0 ? kPiboTypeEgg : 9;
        record.stage = slot == 0 ? kPiboStageEgg : kPiboStageHatched;
        record.name = {'C', 'h', 'a', 'o'};
        records.push_back(record);
    }
    PiboRecord egg = makeFreshPiboRecord(kFirstServerPiboId, helloKey(2));
    egg.data[kPiboTypeOffset] = kPiboTypeEgg;
    egg.stage = kPiboStageEgg;
    egg.parentA = records[0].id;
    egg.parentB = records[1].id;
    egg.pendingDelivery = 1;
    records.push_back(egg);
    write(piboDir, "three_records", encodePiboStore(records, kFirstServerPiboId + 2));
    Bytes trailing = encodePiboStore(std::span(records).first(1), kFirstServerPiboId);
    trailing.push_back(0xAB);
    write(piboDir, "trailing_byte", trailing);
}

}  // namespace
}  // namespace karst::fuzz

int main(int argc, char** argv) {
    using namespace karst::fuzz;
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds <corpus directory>\n");
        return 2;
    }
    const fs::path root = argv[1];
    writeTcpSeeds(root / "fuzz_tcp_stream");
    writeUdpSeeds(root / "fuzz_udp_datagram");
    writeConfigSeeds(root / "fuzz_config_file");
    writeStoreSeeds(root / "fuzz_profile_store", root / "fuzz_pibo_store");
    return 0;
}
