// The server query through a real server on loopback: the challenge before
// any reply, what INFO and PLAYER report about players in rooms, datagrams that
// get nothing, the challenge's lifetime and the rate limit on the server's clock.

#include <optional>

#include "common/wire.h"
#include "support/loopback_udp.h"
#include "support/players.h"

namespace karst::testing {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kHeader{0xFF, 0xFF, 0xFF, 0xFF};

Bytes infoRequest(std::optional<uint32_t> challenge = std::nullopt) {
    const std::string_view text("\xFF\xFF\xFF\xFFTSource Engine Query\0", 25);
    Bytes out(text.begin(), text.end());
    if (challenge) {
        out.resize(out.size() + 4);
        tools::putU32(out.data() + 25, *challenge);
    }
    return out;
}

Bytes playerRequest(uint32_t challenge) {
    Bytes out{0xFF, 0xFF, 0xFF, 0xFF, 'U', 0, 0, 0, 0};
    tools::putU32(out.data() + 5, challenge);
    return out;
}

// A query client written from the published layouts, not the server's codec.
class QueryClient {
public:
    explicit QueryClient(uint16_t port) : serverPort_(port) {}
    void send(const Bytes& datagram) { socket_.sendTo(serverPort_, datagram); }
    Bytes receive() {
        const Bytes reply = socket_.receive(5000);
        if (reply.empty()) ADD_FAILURE() << "no reply";
        return reply;
    }
    // The challenge of a 9-byte reply, or nothing for any other reply.
    std::optional<uint32_t> challengeIn(const Bytes& reply) {
        if (reply.size() != 9 || !std::equal(kHeader.begin(), kHeader.end(), reply.begin()) || reply[4] != 'A')
            return std::nullopt;
        return tools::getU32(reply.data() + 5);
    }
    uint32_t challenge() {
        send(infoRequest());
        const auto value = challengeIn(receive());
        EXPECT_TRUE(value.has_value());
        return value.value_or(0);
    }

private:
    LoopbackUdp socket_;
    uint16_t serverPort_;
};

// Reads a reply's fields in order with the tools' own byte helpers, past its
// 5-byte header; texts end at a zero byte.
struct ReplyReader : tools::WireReader {
    explicit ReplyReader(const Bytes& bytes) : tools::WireReader(std::span(bytes).subspan(5)) {}
    std::string text() {
        std::string out;
        for (uint8_t c = u8(); c != 0 && ok(); c = u8()) out += static_cast<char>(c);
        return out;
    }
};

TEST(ServerQuery, InfoAndPlayersOnlyAfterTheChallenge) {
    TestServer server([](ServerSettings& s) { s.queryPort = LoopbackUdp().port(); });
    auto inHub = playersInRoom(server, 2, kHubRoom);
    KarstClient elsewhere = enterPlayer(server, 3, kOtherHubRoom);
    QueryClient query(server.queryPort());

    const uint32_t challenge = query.challenge();
    query.send(infoRequest(challenge + 1));
    EXPECT_EQ(query.challengeIn(query.receive()), challenge);
    query.send(infoRequest(challenge));
    const Bytes info = query.receive();
    ASSERT_GT(info.size(), 5u);
    EXPECT_EQ(info[4], 'I');
    ReplyReader r(info);
    EXPECT_EQ(r.u8(), 7);
    // Two players in level 0, one in level 11; 9 players with the 6 hub proxies
    // (bots); 2,048 clients clamped to 255; dedicated, Linux, public, no anticheat.
    for (const std::string& text : {server.settings().serverName, std::string("level0"), std::string("karst"),
                                   std::string("KARST")})
        EXPECT_EQ(r.text(), text);
    for (const int byte : {0, 0, 9, 255, 6, int{'d'}, int{'l'}, 0, 0}) EXPECT_EQ(r.u8(), byte);
    EXPECT_FALSE(r.text().empty());  // the build's version
    EXPECT_EQ(r.u8(), 0x80);
    EXPECT_EQ(r.u16(), server.port());
    EXPECT_EQ(r.remaining(), 0u);

    query.send(playerRequest(0xFFFFFFFF));
    EXPECT_EQ(query.challengeIn(query.receive()), challenge);
    query.send(playerRequest(challenge));
    const Bytes players = query.receive();
    ASSERT_GT(players.size(), 5u);
    EXPECT_EQ(players[4], 'D');
    ReplyReader p(players);
    ASSERT_EQ(p.u8(), 9);
    float longestPlayerTime = 0;
    for (uint8_t i = 0; i < 3; ++i) {
        EXPECT_EQ(p.u8(), i);
        EXPECT_EQ(p.text(), "P" + std::to_string(i + 1));
        EXPECT_EQ(p.u32(), 1000u);  // starting rings
        longestPlayerTime = std::max(longestPlayerTime, p.f32());
    }
    EXPECT_GE(longestPlayerTime, 0.0f);
    for (uint8_t i = 3; i < 9; ++i) {
        EXPECT_EQ(p.u8(), i);
        EXPECT_FALSE(p.text().empty());
        EXPECT_EQ(p.u32(), 0u);
        EXPECT_GE(p.f32(), longestPlayerTime);  // here since start: how clients tell bots
    }
    EXPECT_EQ(p.remaining(), 0u);

    // Neither is a request: only the PLAYER request after them is answered.
    Bytes longInfo = infoRequest(challenge);
    longInfo.push_back(0);
    for (const Bytes& datagram : {longInfo, Bytes(1500, 0xFF)}) query.send(datagram);
    query.send(playerRequest(challenge));
    const Bytes next = query.receive();
    ASSERT_GT(next.size(), 5u);
    EXPECT_EQ(next[4], 'D');
}

TEST(ServerQuery, ChallengeLifetimeAndRateLimitFollowTheServersClock) {
    FrozenClocks clocks;
    TestServer server([](ServerSettings& s) {
        s.queryPort = LoopbackUdp().port();
        s.proxyCount = 0;
        s.leaseSeconds = kMaxLeaseSeconds;  // a shared store's lease outlasts the clock's jumps
    });
    KarstClient player = enterPlayer(server, 1, kHubRoom);
    QueryClient query(server.queryPort());

    // Taken at start, good until 60 s later.
    const uint32_t challenge = query.challenge();
    advanceMonotonicClockForTesting(60 * kNsPerSecond - 1);
    query.send(infoRequest(challenge));
    EXPECT_EQ(query.receive()[4], 'I');
    advanceMonotonicClockForTesting(1);
    query.send(infoRequest(challenge));
    const std::optional<uint32_t> renewed = query.challengeIn(query.receive());
    ASSERT_TRUE(renewed.has_value());
    EXPECT_NE(*renewed, challenge);

    // Two replies in this window so far: eight more, then none for the rest of the second.
    for (int i = 0; i < 9; ++i) query.send(infoRequest());
    roundTrip(player);
    advanceMonotonicClockForTesting(kNsPerSecond - 2);
    query.send(playerRequest(*renewed));
    roundTrip(player);
    advanceMonotonicClockForTesting(1);
    query.send(infoRequest(*renewed));
    for (int i = 0; i < 8; ++i) EXPECT_EQ(query.challengeIn(query.receive()), renewed) << i;
    EXPECT_EQ(query.receive()[4], 'I');

    // INFO twice; challenges do not count.
    advanceMonotonicClockForTesting(5 * kNsPerSecond);
    afterTimers(player);
    EXPECT_EQ(server.prometheusSample("karst_queries_answered_total"), 2);
}

}  // namespace
}  // namespace karst::testing
