#include "soak/soak_server.h"

#include "bots/bot_options.h"
#include "net/protocol.h"
#include "net/socket.h"
#include "store/profile_store.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace karst::soak {

namespace fs = std::filesystem;

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(120);
constexpr const char* kStartedLine = "persistent player profiles";

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool writeBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

// The first directory of PATH holding an executable of that name.
std::optional<std::string> findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return std::nullopt;
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const fs::path candidate = fs::path(dir.empty() ? "." : dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return std::nullopt;
}

// Profiles unrelated to the players (first key byte 0x5E), so every save of
// the store writes them all.
std::vector<uint8_t> seededProfileStore(uint32_t count) {
    ProfileTable table;
    table.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        ProfileRecord record;
        record.profileKey[0] = 0x5E;
        for (int b = 0; b < 4; ++b) record.profileKey[1 + b] = static_cast<uint8_t>(i >> (8 * b));
        record.rings = i % 10'000;
        table.emplace(record.profileKey, record);
    }
    return encodeProfileStore(table);
}

}  // namespace

uint16_t freeLoopbackPort(const std::string& host) {
    const auto addresses = net::resolveAddresses(bots::loopbackAddress(host), 0,
                                                 net::SocketType::Stream, false);
    if (addresses.empty()) return 0;
    const net::ResolvedAddress& a = addresses.front();
    const net::SocketHandle s = net::openSocket(a.family, a.socketType, a.protocol);
    uint16_t port = 0;
    if (s != net::kInvalidSocket && net::bindSocket(s, a.address)) port = net::localPort(s);
    net::closeSocket(s);
    return port;
}

OwnedServer::~OwnedServer() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool OwnedServer::start(const SoakOptions& options, std::string& error) {
    port_ = options.portGiven ? options.port : freeLoopbackPort(options.host);
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
    std::vector<uint8_t> save(kCompletedSaveFileSize);
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
    const std::optional<std::string> taskset = findProgram("taskset");
    if (taskset) {
        const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
        cpu_ = options.cpu >= 0 ? options.cpu : static_cast<int>(std::max(1L, cpus) - 1);
        args = {*taskset, "-c", std::to_string(cpu_)};
        pinned_ = true;
    }
    args.insert(args.end(), {program, "--bind", bots::loopbackAddress(options.host), "--port",
                             std::to_string(port_), "--private", "--max-clients", "8192"});
    const fs::path out = directory_ / "stdout.txt";
    const fs::path err = directory_ / "stderr.txt";
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) {
        error = "fork failed";
        return false;
    }
    if (pid_ == 0) {
        // Child: only async-signal-safe calls until exec.
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || ::chdir(directory_.c_str()) != 0) ::_exit(127);
        ::dup2(o, STDOUT_FILENO);
        ::dup2(e, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return true;
}

bool OwnedServer::awaitReport(std::string& error) {
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (consoleOut().find(kStartedLine) != std::string::npos) return true;
        if (!running()) {
            error = "the server ended at start-up with code " + std::to_string(exitCode_) + ": " +
                    consoleErr();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error = "the server printed no start-up report within 120 s";
    return false;
}

bool OwnedServer::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return false;
}

int OwnedServer::stop(int timeoutSeconds) {
    if (!running()) return exitCode_;
    ::kill(pid_, SIGINT);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!running()) return exitCode_;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
}

uint64_t OwnedServer::statusField(const char* name) const {
    if (pid_ <= 0) return 0;
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
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
std::string OwnedServer::consoleOut() const { return readText(directory_ / "stdout.txt"); }
std::string OwnedServer::consoleErr() const { return readText(directory_ / "stderr.txt"); }

void OwnedServer::cleanUp(bool keep) {
    if (keep || directory_.empty()) return;
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
}

}  // namespace karst::soak
