// The MasterAdvert layout, read with the client tools' own byte helpers, and a
// real server advertising to a UDP socket on loopback that stands in for the master.
#include "net/master_advert.h"

#include "common/wire.h"
#include "net/socket.h"
#include "support/loopback_udp.h"
#include "support/players.h"

namespace karst {
namespace {

using tools::getU16;
using tools::getU32;

std::string fieldAt(const std::array<uint8_t, kMasterAdvertSize>& d, size_t offset, size_t width) {
    std::string out(reinterpret_cast<const char*>(d.data() + offset), width);
    return out.substr(0, out.find('\0'));
}

TEST(MasterAdvert, FieldsSitAtTheirOffsetsAndFullLengthTextsKeepAZero) {
    const auto d = encodeMasterAdvert(
        {std::string(47, 'N'), "karst.example", std::string(255, 'm'), 27015, 12, 70000});
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.data()), 4), "KRSL");
    EXPECT_EQ(getU16(d.data() + 4), 2);
    EXPECT_EQ(getU16(d.data() + 6), 1);
    EXPECT_EQ(getU32(d.data() + 8), 0u);
    EXPECT_EQ(getU32(d.data() + 12), 1u);
    EXPECT_EQ(getU32(d.data() + 16), 1u);
    EXPECT_EQ(fieldAt(d, 20, 48), std::string(47, 'N'));
    EXPECT_EQ(fieldAt(d, 68, 64), "karst.example");
    EXPECT_EQ(fieldAt(d, 132, 256), std::string(255, 'm'));
    EXPECT_EQ(getU16(d.data() + 388), 27015);
    EXPECT_EQ(getU16(d.data() + 390), 12);
    EXPECT_EQ(getU16(d.data() + 392), 65535);  // clamped from 70000
    EXPECT_EQ(getU16(d.data() + 394), 7);
    for (size_t i = 396; i < kMasterAdvertSize; ++i) EXPECT_EQ(d[i], 0) << i;
}

// ---- Against a real server ----------------------------------------------------

constexpr int kWaitMs = 2000;

TEST(MasterAdvertLoopback, SentAtStartAndAgainOnlyAfterThirtySeconds) {
    testing::FrozenClocks clocks;
    testing::LoopbackUdp master;  // stands in for the master server
    testing::TempDir dir;
    ServerSettings settings = testing::testSettings(dir.path());
    settings.listed = true;
    settings.masterHost = "127.0.0.1";
    settings.masterPort = master.port();
    settings.serverName = "Loopback Karst";
    settings.handshakeTimeoutSeconds = 0;  // no deadline: the bare connection below outlives 30 s
    testing::TestServer server(settings);

    const std::vector<uint8_t> first = master.receive(kWaitMs);
    const net::SocketAddress firstSource = master.lastSource;
    ASSERT_EQ(first.size(), kMasterAdvertSize);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(first.data() + 20)), "Loopback Karst");
    EXPECT_EQ(getU16(first.data() + 388), server.port());
    EXPECT_EQ(getU16(first.data() + 390), 0);
    EXPECT_EQ(getU16(first.data() + 392), 2048);

    client::KarstClient player = testing::welcomedClient(server.port(), "Counted", 7);
    client::KarstClient bare;  // a connection without Hello is no player
    ASSERT_TRUE(bare.connect(server.port()));
    testing::TempDir otherDir;  // a private server beside it never advertises
    ServerSettings privateSettings = testing::testSettings(otherDir.path());
    privateSettings.masterHost = "127.0.0.1";
    privateSettings.masterPort = master.port();
    testing::TestServer privateServer(privateSettings);
    // Datagrams on loopback arrive as they are sent: once a whole pass has run,
    // an advert it sent is already waiting.
    advanceMonotonicClockForTesting(30 * kNsPerSecond - 1);
    testing::afterTimers(player);
    EXPECT_TRUE(master.receive(0).empty());

    advanceMonotonicClockForTesting(1);
    testing::afterTimers(player);
    const std::vector<uint8_t> second = master.receive(0);
    ASSERT_EQ(second.size(), kMasterAdvertSize);
    EXPECT_EQ(getU16(second.data() + 390), 1);
    // The socket of the first advert is kept for the next ones.
    EXPECT_TRUE(net::sameEndpoint(firstSource, master.lastSource));
    testing::afterTimers(player);
    EXPECT_TRUE(master.receive(0).empty());
    EXPECT_FALSE(bare.closedByPeer(0));
    ASSERT_TRUE(bare.hello("late", 0, client::Colour{}, testing::profileKeyFor(4)));
    EXPECT_TRUE(bare.awaitWelcome().has_value());
}

TEST(MasterAdvertLoopback, LookupFailureWarnsEveryAttemptAndGivesTheReasonOncePerRun) {
    testing::FrozenClocks clocks;
    testing::TempDir dir;
    ServerSettings settings = testing::testSettings(dir.path());
    settings.listed = true;
    // Refused by the resolver itself (no such interface), so no lookup leaves the machine.
    settings.masterHost = "::1%karst-no-such-interface";
    settings.masterPort = 27016;
    const std::string where = settings.masterHost + ":27016";
    ::testing::internal::CaptureStderr();
    testing::TestServer server(settings);
    client::KarstClient player = testing::welcomedClient(server.port(), "Watcher", 8);
    advanceMonotonicClockForTesting(30 * kNsPerSecond);
    testing::afterTimers(player);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::countOf(err, "Warning: could not resolve KARST master " + where + "\n"), 2u) << err;
    const std::string reason = "Warning: KARST master " + where + ": lookup failed: ";
    EXPECT_EQ(testing::countOf(err, reason), 1u) << err;
    const size_t at = err.find(reason);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(err[at + reason.size()], '\n') << "the line ends before its reason";
}

}  // namespace
}  // namespace karst
