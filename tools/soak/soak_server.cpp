#include "soak/soak_server.h"

#include "client/store_files.h"
#include "common/command_line.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <unistd.h>
#include <vector>

namespace karst::soak {

namespace fs = std::filesystem;

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(120);
constexpr const char* kStartedLine = "persistent player profiles";

bool writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

// Profiles unrelated to the players (first key byte 0x5E), so every save of
// the store writes them all.
std::vector<uint8_t> seededProfileStore(uint32_t count) {
    std::vector<client::StoredProfile> records(count);
    for (uint32_t i = 0; i < count; ++i) {
        client::StoredProfile& record = records[i];
        record.key[0] = 0x5E;
        for (int b = 0; b < 4; ++b) record.key[1 + b] = static_cast<uint8_t>(i >> (8 * b));
        record.rings = i % 10'000;
    }
    return client::writeProfileStore(records);
}

}  // namespace

bool OwnedServer::start(const SoakOptions& options, std::string& error) {
    port_ = options.portGiven ? options.port : tools::freeLoopbackPort(options.host);
    if (port_ == 0) {
        error = "no free loopback port";
        return false;
    }
    return prepareDirectory(options, error) && launch(options, error) && awaitReport(error);
}

bool OwnedServer::prepareDirectory(const SoakOptions& options, std::string& error) {
    std::string pattern = (fs::temp_directory_path() / "karst-soak-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        error = "cannot create a directory for the server";
        return false;
    }
    directory_ = pattern;
    fs::create_directories(directory_ / "SAVEDATA");
    // A completed save, so every Hello is answered with it as in production.
    std::vector<uint8_t> save(tools::kCompletedSaveFileSize);
    std::mt19937 random(static_cast<uint32_t>(options.seed));
    for (uint8_t& b : save) b = static_cast<uint8_t>(random());
    bool ok = writeBytes(directory_ / "SAVEDATA" / "CometTrail01.snc", save);
    if (options.seedProfiles > 0)
        ok = ok && writeBytes(profileStore(), seededProfileStore(options.seedProfiles));
    if (!ok) error = "cannot write the server's files in " + directory_.string();
    return ok;
}

bool OwnedServer::launch(const SoakOptions& options, std::string& error) {
    std::error_code ec;
    const std::string program = fs::absolute(options.serverPath, ec).string();
    if (ec || ::access(program.c_str(), X_OK) != 0) {
        error = "cannot run " + options.serverPath;
        return false;
    }
    std::vector<std::string> args;
    const std::optional<std::string> taskset = tools::findProgram("taskset");
    if (taskset) {
        const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
        cpu_ = options.cpu >= 0 ? options.cpu : static_cast<int>(std::max(1L, cpus) - 1);
        args = {*taskset, "-c", std::to_string(cpu_)};
        pinned_ = true;
    }
    args.insert(args.end(), {program, "--bind", tools::loopbackAddress(options.host), "--port",
                             std::to_string(port_), "--private", "--max-clients", "8192"});
    if (!process_.start(args, directory_)) {
        error = "fork failed";
        return false;
    }
    return true;
}

bool OwnedServer::awaitReport(std::string& error) {
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (process_.waitForOutput(kStartedLine, 0, std::chrono::milliseconds(20))) return true;
        if (!process_.running()) {
            error = "the server ended at start-up with code " + std::to_string(process_.wait()) +
                    ": " + consoleErr();
            return false;
        }
    }
    error = "the server printed no start-up report within 120 s";
    return false;
}

int OwnedServer::stop(int timeoutSeconds) {
    return process_.stop(SIGINT, std::chrono::seconds(timeoutSeconds));
}

uint64_t OwnedServer::statusField(const char* name) const {
    if (process_.pid() <= 0) return 0;
    std::ifstream in("/proc/" + std::to_string(process_.pid()) + "/status");
    std::string line;
    const std::string prefix = std::string(name) + ":";
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) return std::strtoull(line.c_str() + prefix.size(), nullptr, 10);
    return 0;
}

uint64_t OwnedServer::peakMemoryKb() const { return statusField("VmHWM"); }
uint64_t OwnedServer::residentKb() const { return statusField("VmRSS"); }

fs::path OwnedServer::profileStore() const {
    return directory_ / "SAVEDATA" / "karst-profile-store.bin";
}
fs::path OwnedServer::piboStore() const { return directory_ / "SAVEDATA" / "karst-pibo-store.bin"; }

void OwnedServer::cleanUp(bool keep) {
    if (keep || directory_.empty()) return;
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
}

}  // namespace karst::soak
