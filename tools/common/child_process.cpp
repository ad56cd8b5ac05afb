#include "common/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace karst::tools {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(5);

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool waitForText(const std::filesystem::path& path, const std::string& text, size_t from,
                 std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string all = readFile(path);
        if (all.size() >= from && all.find(text, from) != std::string::npos) return true;
        std::this_thread::sleep_for(kPollInterval);
    }
    return false;
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void execChild(const std::vector<char*>& argv, const char* workDir, int in,
                            const char* outPath, const char* errPath, ChildLimits limits,
                            pid_t owner) {
    const int out = ::open(outPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || ::chdir(workDir) != 0) ::_exit(127);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    if (limits.openFiles != 0) {
        const rlimit openFiles{limits.openFiles, limits.openFiles};
        if (::setrlimit(RLIMIT_NOFILE, &openFiles) != 0) ::_exit(127);
    }
    if (limits.switchUser && (::setgroups(1, &limits.gid) != 0 || ::setgid(limits.gid) != 0 ||
                              ::setuid(limits.uid) != 0))
        ::_exit(127);
    // Set after the user switch, which clears it; the owner may have ended in
    // between, hence the check.
    if (limits.signalWhenOwnerEnds != 0 &&
        (::prctl(PR_SET_PDEATHSIG, limits.signalWhenOwnerEnds) != 0 || ::getppid() != owner))
        ::_exit(127);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

}  // namespace

std::optional<std::string> findProgram(const std::string& name,
                                       std::span<const std::filesystem::path> moreFolders) {
    std::vector<std::filesystem::path> folders;
    if (const char* path = std::getenv("PATH")) {
        std::stringstream list(path);
        for (std::string folder; std::getline(list, folder, ':');) folders.emplace_back(folder.empty() ? "." : folder);
    }
    folders.insert(folders.end(), moreFolders.begin(), moreFolders.end());
    for (const auto& folder : folders) {
        const std::filesystem::path candidate = folder / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return std::nullopt;
}

ChildProcess::~ChildProcess() {
    closeInput();
    killNow();
}

void ChildProcess::killNow() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
                         ChildInput input, ChildLimits limits) {
    outPath_ = workDir / "stdout.txt";
    errPath_ = workDir / "stderr.txt";
    // A previous run's output must not be mistaken for this one's.
    std::error_code ignored;
    std::filesystem::remove(outPath_, ignored);
    std::filesystem::remove(errPath_, ignored);
    int pipeFds[2] = {-1, -1};
    if (input == ChildInput::Pipe && ::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t owner = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        const int in = input == ChildInput::Pipe ? pipeFds[0] : ::open("/dev/null", O_RDONLY);
        execChild(args, workDir.c_str(), in, outPath_.c_str(), errPath_.c_str(), limits, owner);
    }
    if (pipeFds[0] >= 0) ::close(pipeFds[0]);
    inputFd_ = pipeFds[1];
    return pid_ > 0;
}

bool ChildProcess::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return false;
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(kPollInterval);
    }
    return exitCode_;
}

int ChildProcess::stop(int signalNumber, std::chrono::milliseconds timeout) {
    signal(signalNumber);
    const int code = wait(timeout);
    if (code == -1) killNow();
    return code;
}

void ChildProcess::signal(int signalNumber) {
    if (pid_ > 0) ::kill(pid_, signalNumber);
}

bool ChildProcess::sendInput(const std::string& text) {
    // A program that already ended makes the write fail rather than kill its owner.
    std::signal(SIGPIPE, SIG_IGN);
    size_t done = 0;
    while (inputFd_ >= 0 && done < text.size()) {
        const ssize_t n = ::write(inputFd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return inputFd_ >= 0;
}

void ChildProcess::closeInput() {
    if (inputFd_ >= 0) ::close(inputFd_);
    inputFd_ = -1;
}

std::string ChildProcess::out() const { return readFile(outPath_); }
std::string ChildProcess::err() const { return readFile(errPath_); }

bool ChildProcess::waitForOutput(const std::string& text, size_t from,
                                 std::chrono::milliseconds timeout) const {
    return waitForText(outPath_, text, from, timeout);
}

bool ChildProcess::waitForError(const std::string& text, size_t from,
                                std::chrono::milliseconds timeout) const {
    return waitForText(errPath_, text, from, timeout);
}

}  // namespace karst::tools
