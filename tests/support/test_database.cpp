#include "support/test_database.h"

#include "common/command_line.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace karst::test {

namespace {

namespace fs = std::filesystem;

constexpr auto kStartTimeout = std::chrono::seconds(60);
constexpr auto kStopTimeout = std::chrono::seconds(30);
constexpr const char* kSuperuser = "karst";

// Where initdb and postgres live: PATH first, then Debian's versioned folders,
// the newest version first.
std::string findProgram(const std::string& name) {
    std::vector<fs::path> versions;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ignored))
        versions.push_back(entry.path() / "bin");
    std::sort(versions.rbegin(), versions.rend());
    return tools::findProgram(name, versions).value_or("");
}

// How the cluster's programs run: as `postgres` under root, else as ourselves,
// and with SIGQUIT (an immediate shutdown for postgres, a clean exit for initdb)
// when the thread that started them ends.
bool clusterLimits(tools::ChildLimits& limits, std::string& error) {
    limits.signalWhenOwnerEnds = SIGQUIT;
    if (::geteuid() != 0) return true;
    const passwd* account = ::getpwnam("postgres");
    if (account == nullptr) {
        error = "running as root and there is no postgres user to own the test cluster";
        return false;
    }
    limits.switchUser = true;
    limits.uid = account->pw_uid;
    limits.gid = account->pw_gid;
    return true;
}

constexpr const char* kFolderPrefix = "karst-pg-";
constexpr const char* kOwnerFile = "/owner.pid";

bool processAlive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno != ESRCH); }

pid_t pidInFile(const fs::path& file) {
    std::ifstream in(file);
    long pid = 0;
    return in >> pid ? static_cast<pid_t>(pid) : 0;
}

// Clusters left by test binaries that were killed before they could clean up:
// their server died with them (the death signal), their folder did not. A
// folder without an owner file may be one being made right now, so it stays.
void removeAbandonedClusters() {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/tmp", ignored)) {
        const fs::path folder = entry.path();
        if (folder.filename().string().rfind(kFolderPrefix, 0) != 0) continue;
        const pid_t owner = pidInFile(folder.string() + kOwnerFile);
        if (owner <= 0 || processAlive(owner) || processAlive(pidInFile(folder / "data" / "postmaster.pid")))
            continue;
        fs::remove_all(folder, ignored);
    }
}

// The end of what a cluster program printed, for the failure's message.
std::string outputTail(const tools::ChildProcess& child) {
    const std::string text = child.out() + child.err();
    return text.substr(text.size() - std::min<size_t>(text.size(), 2000));
}

// A libpq connection-string value, quoted.
std::string quoted(const std::string& value) {
    std::string out = "'";
    for (const char c : value) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

}  // namespace

bool TestDatabase::available() {
    return !findProgram("initdb").empty() && !findProgram("postgres").empty();
}

TestDatabase* TestDatabase::shared(std::string& error) {
    static TestDatabase cluster;
    return cluster.start(error) ? &cluster : nullptr;
}

TestDatabase::~TestDatabase() {
    // Immediate: the data goes with the folder, so nothing needs a checkpoint.
    kill();
    if (folder_.empty()) return;
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

bool TestDatabase::initCluster(std::string& error) {
    tools::ChildLimits limits;
    if (!clusterLimits(limits, error)) return false;
    removeAbandonedClusters();
    // Under /tmp rather than TMPDIR: the socket path must stay short, and a
    // root-private TMPDIR would be closed to the postgres user.
    std::string pattern = std::string("/tmp/") + kFolderPrefix + "XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error = "cannot create a folder for the test cluster";
        return false;
    }
    folder_ = pattern;
    std::ofstream(folder_ + kOwnerFile) << ::getpid() << '\n';
    if (limits.switchUser && ::chown(folder_.c_str(), limits.uid, limits.gid) != 0) {
        error = "cannot hand " + folder_ + " to the postgres user";
        return false;
    }
    tools::ChildProcess initdb;
    if (!initdb.start({findProgram("initdb"), "-D", folder_ + "/data", "-U", kSuperuser, "-A", "trust",
                       "-E", "UTF8", "--locale=C", "-N"},
                      folder_, tools::ChildInput::None, limits) ||
        initdb.wait(kStartTimeout) != 0) {
        error = "initdb failed: " + outputTail(initdb);
        return false;
    }
    port_ = tools::freeLoopbackPort();
    return true;
}

bool TestDatabase::start(std::string& error) {
    if (running()) return true;
    if (folder_.empty() && !initCluster(error)) return false;
    tools::ChildLimits limits;
    if (!clusterLimits(limits, error)) return false;
    if (!server_.start({findProgram("postgres"), "-D", folder_ + "/data", "-k", folder_, "-p",
                        std::to_string(port_), "-c", "listen_addresses=", "-F", "-c",
                        "full_page_writes=off", "-c", "shared_buffers=16MB"},
                       folder_, tools::ChildInput::None, limits)) {
        error = "cannot start postgres";
        return false;
    }
    // A bounded attempt each time, so a server that accepts and then stalls
    // cannot hold the test past the deadline.
    const std::string url = urlFor("postgres") + " connect_timeout=2";
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (PQping(url.c_str()) == PQPING_OK) return true;
        if (!running()) {
            error = "postgres exited at start-up: " + outputTail(server_);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    server_.stop(SIGQUIT, kStopTimeout);
    error = "postgres did not accept connections in time: " + outputTail(server_);
    return false;
}

bool TestDatabase::running() { return server_.running(); }

void TestDatabase::stop() {
    if (running()) server_.stop(SIGINT, kStopTimeout);  // postgres's fast shutdown
}

void TestDatabase::kill() {
    if (running()) server_.stop(SIGQUIT, kStopTimeout);  // postgres's immediate shutdown
}

std::string TestDatabase::urlFor(const std::string& database) const {
    return "host=" + quoted(folder_) + " port=" + std::to_string(port_) + " user=" + kSuperuser +
           " dbname=" + quoted(database);
}

// The postmaster first, so that it forks no child the scan below would miss.
void TestDatabase::freeze(bool frozen) {
    const pid_t postmaster = server_.pid();
    const int signal = frozen ? SIGSTOP : SIGCONT;
    if (!running() || ::kill(postmaster, signal) != 0) return;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
        std::ifstream stat(entry.path() / "stat");
        std::string state;
        long parent = 0;
        // The fields after the command name, which sits in parentheses and may hold spaces.
        if (std::getline(stat, state, ')') && stat >> state >> parent && parent == postmaster)
            ::kill(static_cast<pid_t>(std::stol(entry.path().filename().string())), signal);
    }
}

std::string TestDatabase::createDatabase(const std::string& name) {
    std::string identifier;
    for (const char c : name) identifier += c == '"' ? std::string("\"\"") : std::string(1, c);
    return exec(urlFor("postgres"), "CREATE DATABASE \"" + identifier + "\"") ? urlFor(name) : std::string();
}

bool TestDatabase::exec(const std::string& url, const std::string& sql, std::string* out) {
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(url.c_str()), &PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) return false;
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(conn.get(), sql.c_str()), &PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) return false;
    if (out != nullptr) {
        out->clear();
        for (int row = 0; row < PQntuples(result.get()); ++row)
            *out += std::string(PQgetvalue(result.get(), row, 0)) + "\n";
    }
    return true;
}

}  // namespace karst::test
