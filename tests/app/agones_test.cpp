// Life under Agones, against a stand-in sidecar: Ready once the server listens,
// Health on the server's clock, calls again while the sidecar is away (warned of
// once), and Shutdown only once the stores are saved.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/agones_sdk.h"
#include "common/command_line.h"
#include "net/clock.h"
#include "support/agones_sidecar.h"
#include "support/console_lines.h"
#include "support/players.h"
#include "support/test_server.h"

namespace karst::testing {
namespace {

// The cadence as operators read it in docs/kubernetes.md, not the server's constants.
constexpr uint64_t kHealthEvery = 2 * kNsPerSecond;
constexpr uint64_t kReadyAgainAfter = 1 * kNsPerSecond;
constexpr uint64_t kAnswerWithin = 2 * kNsPerSecond;

// Long enough for a pass or two to run; what is due is due by the frozen clock.
void letPassesRun() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

TEST(AgonesPort, OnlyAPlainPortNumberTurnsTheSdkOn) {
    EXPECT_EQ(parseAgonesPort("9358"), 9358);
    EXPECT_EQ(parseAgonesPort("1"), 1);
    EXPECT_EQ(parseAgonesPort("65535"), 65535);
    for (const char* refused : {"", "0", "65536", "99999", "+9358", " 9358", "9358 ", "93a8", "123456"})
        EXPECT_FALSE(parseAgonesPort(refused)) << refused;
}

TEST(AgonesLink, TheStatusComesFromACompleteStatusLine) {
    EXPECT_EQ(httpStatusCode("HTTP/1.1 200 OK\r\n"), 200);
    EXPECT_EQ(httpStatusCode("HTTP/1.0 204\r\nX: y\r\n"), 204);
    EXPECT_EQ(httpStatusCode("HTTP/1.1 500 Internal Server Error\r\n"), 500);
    for (const char* refused : {"HTTP/1.1 200 OK", "HTTP/2 200\r\n", "HTTP/1.1 20\r\n", "HTTP/1.1 2000\r\n",
                                "HTTP/1.1 099 Low\r\n", "SSH-2.0-x\r\n", "\r\n"})
        EXPECT_FALSE(httpStatusCode(refused)) << refused;
    const std::string request = agonesRequest(AgonesCall::Ready, 9358);
    EXPECT_EQ(request.substr(0, request.find("\r\n")), "POST /ready HTTP/1.1");
    EXPECT_NE(request.find("\r\nContent-Type: application/json\r\n"), std::string::npos);
    EXPECT_TRUE(request.ends_with("\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}"));
}

TEST(Agones, ReadyOnceThenHealthEveryTwoSecondsOfTheServersClock) {
    AgonesSidecar sidecar;
    ConsoleLines lines;
    FrozenClocks frozen;
    TestServer server([&](ServerSettings& s) { s.agonesSdkPort = sidecar.port(); });
    ASSERT_TRUE(sidecar.await("/ready"));
    ASSERT_TRUE(lines.await("Told the Agones SDK on localhost:" + std::to_string(sidecar.port()) +
                            " that the server is Ready"));
    EXPECT_EQ(sidecar.count("/health"), 0u);
    // One nanosecond short of the interval, nothing; at it, one Health, and again.
    for (size_t health = 1; health <= 2; ++health) {
        advanceMonotonicClockForTesting(kHealthEvery - 1);
        letPassesRun();
        EXPECT_EQ(sidecar.count("/health"), health - 1);
        advanceMonotonicClockForTesting(1);
        ASSERT_TRUE(sidecar.await("/health", health));
    }
    EXPECT_EQ(sidecar.count("/ready"), 1u);
    EXPECT_NE(sidecar.requests().back().text.find("\r\n\r\n{}"), std::string::npos);
}

TEST(Agones, ASidecarThatIsNotUpYetIsCalledAgainAndWarnedOfOnce) {
    const uint16_t port = tools::freeLoopbackPort();
    ConsoleLines lines;
    FrozenClocks frozen;
    TestServer server([&](ServerSettings& s) { s.agonesSdkPort = port; });
    const std::string warning = "Warning: the Agones SDK on localhost:" + std::to_string(port) +
                                " did not take the ready call: ";
    ASSERT_TRUE(lines.await(warning));
    for (int retry = 0; retry < 3; ++retry) {
        advanceMonotonicClockForTesting(kReadyAgainAfter);
        letPassesRun();
    }
    AgonesSidecar sidecar(port);
    advanceMonotonicClockForTesting(kReadyAgainAfter);
    ASSERT_TRUE(sidecar.await("/ready"));
    ASSERT_TRUE(lines.await(" answers again after "));
    EXPECT_EQ(lines.count(warning), 1u);
}

TEST(Agones, AnUnansweredCallFailsAtTwoSecondsAndAnErrorIsAFailure) {
    AgonesSidecar sidecar;
    sidecar.answer(AgonesSidecar::Answer::Silence);
    ConsoleLines lines;
    FrozenClocks frozen;
    TestServer server([&](ServerSettings& s) { s.agonesSdkPort = sidecar.port(); });
    ASSERT_TRUE(sidecar.await("/ready"));
    advanceMonotonicClockForTesting(kAnswerWithin - 1);
    letPassesRun();
    EXPECT_EQ(lines.count("did not take the ready call"), 0u);
    // The call that failed began 2 s ago, so the next is due at once; the sidecar
    // answers it 500, which is no Ready either: asked again 1 s after it began.
    sidecar.answer(AgonesSidecar::Answer::ServerError);
    advanceMonotonicClockForTesting(1);
    ASSERT_TRUE(lines.await("did not take the ready call: no answer within 2 s"));
    ASSERT_TRUE(sidecar.await("/ready", 2));
    advanceMonotonicClockForTesting(kReadyAgainAfter - 1);
    letPassesRun();
    EXPECT_EQ(sidecar.count("/ready"), 2u);
    sidecar.answer(AgonesSidecar::Answer::Ok);
    advanceMonotonicClockForTesting(1);
    ASSERT_TRUE(sidecar.await("/ready", 3));
    ASSERT_TRUE(lines.await("that the server is Ready"));
    EXPECT_EQ(sidecar.count("/health"), 0u);
}

TEST(Agones, ShutdownComesOnlyOnceTheStoresAreSaved) {
    AgonesSidecar sidecar;
    TestServer server([&](ServerSettings& s) { s.agonesSdkPort = sidecar.port(); });
    ASSERT_TRUE(sidecar.await("/ready"));
    KarstClient player = welcomedClient(server.port(), "P", 1);
    player.close();
    const std::string store = server.settings().profileStorePath;
    std::filesystem::remove(store);
    bool storeSavedFirst = false;
    sidecar.onRequest([&](const AgonesSidecar::Request& request) {
        if (request.path == "/shutdown") storeSavedFirst = std::filesystem::exists(store);
    });
    server.stop();
    EXPECT_EQ(sidecar.count("/shutdown"), 1u);
    EXPECT_TRUE(storeSavedFirst);
}

}  // namespace
}  // namespace karst::testing
