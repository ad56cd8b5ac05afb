#include "support/test_database.h"

#include "common/command_line.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace karst::test {

namespace {

namespace fs = std::filesystem;

constexpr auto kStartTimeout = std::chrono::seconds(60);
constexpr auto kStopTimeout = std::chrono::seconds(30);
constexpr const char* kSuperuser = "karst";

// Where initdb and postgres live: PATH first, then Debian's versioned folders.
std::string findProgram(const std::string& name) {
    std::vector<fs::path> folders;
    if (const char* path = std::getenv("PATH")) {
        std::stringstream list(path);
        for (std::string folder; std::getline(list, folder, ':');)
            if (!folder.empty()) folders.emplace_back(folder);
    }
    std::vector<fs::path> versions;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ignored))
        versions.push_back(entry.path() / "bin");
    std::sort(versions.rbegin(), versions.rend());  // the newest version first
    folders.insert(folders.end(), versions.begin(), versions.end());
    for (const auto& folder : folders) {
        const fs::path candidate = folder / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return {};
}

// Whom the cluster's programs run as: `postgres` under root, else ourselves.
struct ClusterOwner {
    bool switchUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

bool clusterOwner(ClusterOwner& owner, std::string& error) {
    if (::geteuid() != 0) return true;
    const passwd* account = ::getpwnam("postgres");
    if (account == nullptr) {
        error = "running as root and there is no postgres user to own the test cluster";
        return false;
    }
    owner = {true, account->pw_uid, account->pw_gid};
    return true;
}

// Starts `argv` with its output appended to `logPath`; it gets SIGQUIT (an
// immediate shutdown for postgres, a clean exit for initdb) when the forking
// thread ends. Everything the child does before exec is async-signal-safe: the
// test binary may have threads.
pid_t forkProgram(const std::vector<std::string>& argv, const std::string& folder,
            const std::string& logPath, const ClusterOwner& owner) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (owner.switchUser &&
        (::setgroups(1, &owner.gid) != 0 || ::setgid(owner.gid) != 0 || ::setuid(owner.uid) != 0))
        ::_exit(126);
    // Set after the user switch, which would clear it; the parent may have gone
    // in between, hence the check.
    if (::prctl(PR_SET_PDEATHSIG, SIGQUIT) != 0 || ::getppid() != parent)
        ::_exit(126);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int nothing = ::open("/dev/null", O_RDONLY);
    if (log < 0 || nothing < 0 || ::chdir(folder.c_str()) != 0) ::_exit(126);
    ::dup2(nothing, STDIN_FILENO);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    ::execv(args[0], args.data());
    ::_exit(127);
}

// The death signal follows the thread that forked, not the process, so a
// cluster restarted from a short-lived test thread would die with it. Every fork
// happens on this one thread instead, which lives until the process ends: it is
// never joined and never destroyed.
class Launcher {
public:
    static pid_t run(std::function<pid_t()> job) {
        static Launcher* const launcher = new Launcher;
        return launcher->submit(std::move(job));
    }

private:
    Launcher() { std::thread([this] { serve(); }).detach(); }

    pid_t submit(std::function<pid_t()> job) {
        std::packaged_task<pid_t()> task(std::move(job));
        std::future<pid_t> pid = task.get_future();
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(task));
        }
        wake_.notify_one();
        return pid.get();
    }

    [[noreturn]] void serve() {
        for (;;) {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return !queue_.empty(); });
            std::packaged_task<pid_t()> task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            task();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::packaged_task<pid_t()>> queue_;
};

pid_t spawn(const std::vector<std::string>& argv, const std::string& folder,
            const std::string& logPath, const ClusterOwner& owner) {
    return Launcher::run([&] { return forkProgram(argv, folder, logPath, owner); });
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

std::string logTail(const std::string& path) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    constexpr size_t kTail = 2000;
    return text.size() > kTail ? text.substr(text.size() - kTail) : text;
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
    if (running()) shutDown(SIGQUIT);
    if (folder_.empty()) return;
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

bool TestDatabase::initCluster(std::string& error) {
    ClusterOwner owner;
    if (!clusterOwner(owner, error)) return false;
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
    if (owner.switchUser && ::chown(folder_.c_str(), owner.uid, owner.gid) != 0) {
        error = "cannot hand " + folder_ + " to the postgres user";
        return false;
    }
    const std::string log = folder_ + "/initdb.log";
    const pid_t pid = spawn({findProgram("initdb"), "-D", folder_ + "/data", "-U", kSuperuser,
                             "-A", "trust", "-E", "UTF8", "--locale=C", "-N"},
                            folder_, log, owner);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        error = "initdb failed: " + logTail(log);
        return false;
    }
    port_ = tools::freeLoopbackPort();
    return true;
}

bool TestDatabase::start(std::string& error) {
    if (running()) return true;
    if (folder_.empty() && !initCluster(error)) return false;
    ClusterOwner owner;
    if (!clusterOwner(owner, error)) return false;
    const std::string log = folder_ + "/server.log";
    serverPid_ = spawn({findProgram("postgres"), "-D", folder_ + "/data", "-k", folder_, "-p",
                        std::to_string(port_), "-c", "listen_addresses=", "-F", "-c",
                        "full_page_writes=off", "-c", "shared_buffers=16MB"},
                       folder_, log, owner);
    if (serverPid_ < 0) {
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
            error = "postgres exited at start-up: " + logTail(log);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    shutDown(SIGQUIT);
    error = "postgres did not accept connections in time: " + logTail(log);
    return false;
}

bool TestDatabase::running() {
    int status = 0;
    if (serverPid_ > 0 && ::waitpid(serverPid_, &status, WNOHANG) == 0) return true;
    serverPid_ = -1;  // never started, stopped, or exited on its own (and now reaped)
    return false;
}

void TestDatabase::stop() {
    if (running()) shutDown(SIGINT);  // postgres's fast shutdown
}

void TestDatabase::kill() {
    if (running()) shutDown(SIGQUIT);  // postgres's immediate shutdown
}

void TestDatabase::shutDown(int signalNumber) {
    ::kill(serverPid_, signalNumber);
    const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    int status = 0;
    while (::waitpid(serverPid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(serverPid_, SIGKILL);
            ::waitpid(serverPid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    serverPid_ = -1;
}

std::string TestDatabase::url(const std::string& host, unsigned port, const std::string& database) {
    return "host=" + quoted(host) + " port=" + std::to_string(port) + " user=" + kSuperuser +
           " dbname=" + quoted(database);
}

std::string TestDatabase::urlFor(const std::string& database) const {
    return url(folder_, port_, database);
}

std::string TestDatabase::urlThrough(uint16_t port, const std::string& database) const {
    return url("127.0.0.1", port, database);
}

// Where postgres puts its socket for `-k folder -p port`.
std::string TestDatabase::socketPath() const {
    return folder_ + "/.s.PGSQL." + std::to_string(port_);
}

std::string TestDatabase::createDatabase(const std::string& name) {
    std::string identifier = "\"";
    for (const char c : name) identifier += c == '"' ? std::string("\"\"") : std::string(1, c);
    identifier += '"';
    if (!exec(urlFor("postgres"), "CREATE DATABASE " + identifier)) return {};
    return urlFor(name);
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
