// The MasterAdvert layout, and a real server advertising to a UDP socket on
// loopback that stands in for the master.
#include "net/master_advert.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "client/test_client.h"
#include "net/clock.h"
#include "net/coding.h"
#include "net/socket.h"
#include "support/test_server.h"

namespace karst {
namespace {

std::string fieldAt(const std::array<uint8_t, kMasterAdvertSize>& d, size_t offset, size_t width) {
    std::string out(reinterpret_cast<const char*>(d.data() + offset), width);
    return out.substr(0, out.find('\0'));
}

TEST(MasterAdvert, FieldsSitAtTheirOffsets) {
    MasterAdvertFields f;
    f.serverName = "Plaza Server";
    f.advertiseHost = "karst.example";
    f.modList = "KARST;Extra";
    f.gamePort = 27015;
    f.players = 12;
    f.capacity = 2048;
    const auto d = encodeMasterAdvert(f);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.data()), 4), "KRSL");
    EXPECT_EQ(getU16(d.data() + 4), 2);
    EXPECT_EQ(getU16(d.data() + 6), 1);
    EXPECT_EQ(getU32(d.data() + 8), 0u);
    EXPECT_EQ(getU32(d.data() + 12), 1u);
    EXPECT_EQ(getU32(d.data() + 16), 1u);
    EXPECT_EQ(fieldAt(d, 20, 48), "Plaza Server");
    EXPECT_EQ(fieldAt(d, 68, 64), "karst.example");
    EXPECT_EQ(fieldAt(d, 132, 256), "KARST;Extra");
    EXPECT_EQ(getU16(d.data() + 388), 27015);
    EXPECT_EQ(getU16(d.data() + 390), 12);
    EXPECT_EQ(getU16(d.data() + 392), 2048);
    EXPECT_EQ(getU16(d.data() + 394), 7);
    for (size_t i = 396; i < kMasterAdvertSize; ++i) EXPECT_EQ(d[i], 0) << i;
}

TEST(MasterAdvert, FullLengthTextsKeepOneZeroAfterThem) {
    const std::string name(47, 'N');
    const std::string host(63, 'h');
    const std::string mods(255, 'm');
    const auto d = encodeMasterAdvert({name, host, mods, 1, 0, 0});
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.data() + 20), 47), name);
    EXPECT_EQ(d[67], 0);
    EXPECT_EQ(d[68], 'h');
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.data() + 68), 63), host);
    EXPECT_EQ(d[131], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.data() + 132), 255), mods);
    EXPECT_EQ(d[387], 0);
    // Longer texts are cut rather than spilling into the next field.
    const auto cut = encodeMasterAdvert({std::string(60, 'N'), "", "", 1, 0, 0});
    EXPECT_EQ(fieldAt(cut, 20, 48), name);
    EXPECT_EQ(cut[68], 0);
}

TEST(MasterAdvert, CountsAboveSixteenBitsAreClamped) {
    const auto d = encodeMasterAdvert({"S", "", "", 1, 70000, 70000});
    EXPECT_EQ(getU16(d.data() + 390), 65535);
    EXPECT_EQ(getU16(d.data() + 392), 65535);
}

// ---- Against a real server ----------------------------------------------------

constexpr int kWaitMs = 2000;
constexpr int kQuietMs = 200;

// A UDP socket on 127.0.0.1 standing in for the master server.
class FakeMaster {
public:
    FakeMaster() {
        net::startSocketLibrary();
        const auto a = net::resolveAddresses("127.0.0.1", 0, net::SocketType::Datagram, true);
        if (a.empty()) return;
        socket_ = net::openSocket(a[0].family, a[0].socketType, a[0].protocol);
        if (net::bindSocket(socket_, a[0].address)) port_ = net::localPort(socket_);
    }
    ~FakeMaster() { net::closeSocket(socket_); }

    uint16_t port() const { return port_; }

    // The next datagram, with its length as received, or nothing within the time.
    std::optional<std::vector<uint8_t>> receive(int timeoutMs, net::SocketAddress* from = nullptr) {
        std::vector<net::PollEntry> entries{net::PollEntry{socket_, net::kPollIn, 0}};
        if (net::pollSockets(entries, timeoutMs) <= 0) return std::nullopt;
        std::vector<uint8_t> buffer(1024);
        net::SocketAddress source;
        const net::IoResult r = net::receiveDatagram(socket_, buffer, source);
        if (r.status != net::IoStatus::Ok) return std::nullopt;
        buffer.resize(r.bytes);
        if (from) *from = source;
        return buffer;
    }

private:
    net::SocketHandle socket_ = net::kInvalidSocket;
    uint16_t port_ = 0;
};

ServerSettings advertisingSettings(const testing::TempDir& dir, uint16_t masterPort) {
    ServerSettings s = testing::testSettings(dir.path());
    s.listed = true;
    s.masterHost = "127.0.0.1";
    s.masterPort = masterPort;
    s.serverName = "Loopback Karst";
    return s;
}

TEST(MasterAdvertLoopback, SentAtStartAndAgainOnlyAfterThirtySeconds) {
    FakeMaster master;
    ASSERT_NE(master.port(), 0);
    testing::TempDir dir;
    testing::TestServer server(advertisingSettings(dir, master.port()));

    net::SocketAddress firstSource;
    const auto first = master.receive(kWaitMs, &firstSource);
    ASSERT_TRUE(first.has_value());
    ASSERT_EQ(first->size(), kMasterAdvertSize);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(first->data() + 20)), "Loopback Karst");
    EXPECT_EQ(getU16(first->data() + 388), server.port());
    EXPECT_EQ(getU16(first->data() + 390), 0);
    EXPECT_EQ(getU16(first->data() + 392), 2048);

    client::KarstClient player;
    ASSERT_TRUE(player.connect(server.port()));
    ASSERT_TRUE(player.hello("Counted", 0, {1, 2, 3}, ProfileKey{7}));
    ASSERT_TRUE(player.awaitWelcome().has_value());
    EXPECT_FALSE(master.receive(kQuietMs).has_value());
    advanceMonotonicClockForTesting(29 * kNsPerSecond);
    EXPECT_FALSE(master.receive(kQuietMs).has_value());

    advanceMonotonicClockForTesting(1 * kNsPerSecond);
    net::SocketAddress secondSource;
    const auto second = master.receive(kWaitMs, &secondSource);
    ASSERT_TRUE(second.has_value());
    ASSERT_EQ(second->size(), kMasterAdvertSize);
    EXPECT_EQ(getU16(second->data() + 390), 1);
    // The socket of the first advert is kept for the next ones.
    EXPECT_TRUE(net::sameEndpoint(firstSource, secondSource));
    EXPECT_FALSE(master.receive(kQuietMs).has_value());
}

TEST(MasterAdvertLoopback, PrivateServerNeverAdvertises) {
    FakeMaster master;
    ASSERT_NE(master.port(), 0);
    testing::TempDir dir;
    ServerSettings settings = advertisingSettings(dir, master.port());
    settings.listed = false;
    testing::TestServer server(settings);
    EXPECT_FALSE(master.receive(kQuietMs).has_value());
    advanceMonotonicClockForTesting(31 * kNsPerSecond);
    EXPECT_FALSE(master.receive(kQuietMs).has_value());
}

}  // namespace
}  // namespace karst
