// A real GameServer on 127.0.0.1 with a system-chosen port, running its event
// loop on a thread of its own, with its files in a fresh temporary directory.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/game_server.h"
#include "app/settings.h"
#include "support/temp_dir.h"

namespace karst::testing {

// Loopback, port 0, not listed, every file inside `dir`.
ServerSettings testSettings(const std::filesystem::path& dir);

class TestServer {
public:
    explicit TestServer(ServerSettings settings);
    // Settings from testSettings() on a temporary directory of its own, changed
    // by `adjust` (which may also write files there) before the server starts.
    explicit TestServer(const std::function<void(ServerSettings&)>& adjust = {});
    ~TestServer();

    uint16_t port() const { return port_; }
    uint16_t queryPort() const { return queryPort_; }
    const ServerSettings& settings() const { return settings_; }
    std::string file(const std::string& name) const;
    // A sample of the Prometheus metrics file as last written (every test
    // server writes one); -1 when the file has no such sample.
    double prometheusSample(const std::string& name) const;

    // Stops the loop, shuts the server down (saving its stores) and starts a new
    // one with the same settings, as an operator's restart would.
    void restart();
    void stop();

private:
    void launch();

    std::unique_ptr<TempDir> ownDir_;
    ServerSettings settings_;
    std::unique_ptr<GameServer> server_;
    std::thread loop_;
    uint16_t port_ = 0;
    uint16_t queryPort_ = 0;
};

}  // namespace karst::testing
