#include "support/test_server.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string_view>

#ifdef KARST_WITH_POSTGRESQL
#include <unistd.h>

#include "support/test_database.h"
#endif

namespace karst::testing {

namespace {

// KARST_TEST_STORE=postgresql runs the suite on the database backend: every
// server gets a fresh database of its own on the test cluster.
void chooseStore(ServerSettings& s) {
    const char* store = std::getenv("KARST_TEST_STORE");
    if (store == nullptr || std::string_view(store) != "postgresql") return;
#ifdef KARST_WITH_POSTGRESQL
    static int databases = 0;
    std::string error;
    test::TestDatabase* db = test::TestDatabase::shared(error);
    if (db == nullptr) throw std::runtime_error("no test database: " + error);
    s.storeBackend = "postgresql";
    s.storeUrl = db->createDatabase("suite_" + std::to_string(::getpid()) + "_" + std::to_string(++databases));
#else
    (void)s;
    throw std::runtime_error("KARST_TEST_STORE=postgresql needs a build with -DKARST_POSTGRESQL=ON");
#endif
}

}  // namespace

ServerSettings testSettings(const std::filesystem::path& dir) {
    ServerSettings s;
    s.bindAddress = "127.0.0.1";
    s.port = 0;
    s.listed = false;
    s.completedSavePath = (dir / "SAVEDATA" / "CometTrail01.snc").string();
    s.piboStorePath = (dir / "SAVEDATA" / "karst-pibo-store.bin").string();
    s.profileStorePath = (dir / "SAVEDATA" / "karst-profile-store.bin").string();
    s.metricsPath = (dir / "SAVEDATA" / "karst-metrics.json").string();
    s.prometheusPath = (dir / "SAVEDATA" / "karst-metrics.prom").string();
    s.banListPath = (dir / "SAVEDATA" / "karst-bans.txt").string();
    // The suite runs on either event loop: KARST_TEST_EVENT_LOOP=poll picks the other.
    if (const char* loop = std::getenv("KARST_TEST_EVENT_LOOP")) s.eventLoop = loop;
    chooseStore(s);
    return s;
}

TestServer::TestServer(ServerSettings settings) : settings_(std::move(settings)) { launch(); }

TestServer::TestServer(const std::function<void(ServerSettings&)>& adjust)
    : ownDir_(std::make_unique<TempDir>()), settings_(testSettings(ownDir_->path())) {
    if (adjust) adjust(settings_);
    launch();
}

TestServer::~TestServer() { stop(); }

std::string TestServer::file(const std::string& name) const {
    return (std::filesystem::path(settings_.profileStorePath).parent_path() / name).string();
}

void TestServer::launch() {
    ServerSettings settings = settings_;
    // A restart keeps the port clients already know.
    if (port_ != 0) settings.port = port_;
    server_ = std::make_unique<GameServer>(settings);
    if (!server_->start()) throw std::runtime_error("test server failed to start");
    port_ = server_->tcpPort();
    queryPort_ = server_->queryPort();
    loop_ = std::thread([server = server_.get()] { server->run(); });
}

void TestServer::stop() {
    if (!server_) return;
    server_->requestStop();
    if (loop_.joinable()) loop_.join();
    server_->shutdown();
    server_.reset();
}

void TestServer::restart() {
    stop();
    launch();
}

double TestServer::prometheusSample(const std::string& name) const {
    std::istringstream lines(fileText(settings_.prometheusPath));
    for (std::string line; std::getline(lines, line);)
        if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 && line[name.size()] == ' ')
            return std::stod(line.substr(name.size() + 1));
    return -1;
}

}  // namespace karst::testing
