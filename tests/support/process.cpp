#include "support/process.h"

#include <cerrno>
#include <csignal>
#include <functional>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace karst::testing {

namespace {
std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
}  // namespace

ServerProcess::ServerProcess(const std::filesystem::path& workDir,
                             const std::vector<std::string>& args, ProgramInput input,
                             ProcessLimits limits)
    : outPath_(workDir / "stdout.txt"), errPath_(workDir / "stderr.txt") {
    // A previous run's output must not be mistaken for this one's.
    std::error_code ignored;
    std::filesystem::remove(outPath_, ignored);
    std::filesystem::remove(errPath_, ignored);
    int pipeFds[2] = {-1, -1};
    if (input == ProgramInput::Pipe && ::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ != 0) {
        if (pipeFds[0] >= 0) ::close(pipeFds[0]);
        inputFd_ = pipeFds[1];
        return;
    }
    // Child: redirect, change directory, exec. Only async-signal-safe calls here.
    // Without a pipe, standard input is empty: the test runner's own must not
    // reach the server's console.
    const int in = input == ProgramInput::Pipe ? pipeFds[0] : ::open("/dev/null", O_RDONLY);
    const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || ::chdir(workDir.c_str()) != 0) ::_exit(127);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    if (limits.openFiles != 0) {
        const rlimit openFiles{limits.openFiles, limits.openFiles};
        if (::setrlimit(RLIMIT_NOFILE, &openFiles) != 0) ::_exit(127);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(KARST_SERVER_BINARY));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(KARST_SERVER_BINARY, argv.data());
    ::_exit(127);
}

ServerProcess::~ServerProcess() {
    closeInput();
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

int ServerProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

namespace {
bool waitForText(const std::function<std::string()>& read, const std::string& text, size_t from,
                 std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string all = read();
        if (all.size() >= from && all.find(text, from) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}
}  // namespace

bool ServerProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout,
                                  size_t from) {
    return waitForText([this] { return out(); }, text, from, timeout);
}

bool ServerProcess::waitForError(const std::string& text, size_t from,
                                 std::chrono::milliseconds timeout) {
    return waitForText([this] { return err(); }, text, from, timeout);
}

bool ServerProcess::sendInput(const std::string& text) {
    // A program that already ended makes the write fail rather than kill the tests.
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

void ServerProcess::closeInput() {
    if (inputFd_ >= 0) ::close(inputFd_);
    inputFd_ = -1;
}

void ServerProcess::signal(int signalNumber) {
    if (pid_ > 0) ::kill(pid_, signalNumber);
}

std::string ServerProcess::out() const { return readFile(outPath_); }
std::string ServerProcess::err() const { return readFile(errPath_); }

int runServer(const std::filesystem::path& workDir, const std::vector<std::string>& args,
              std::string* out, std::string* err) {
    ServerProcess process(workDir, args);
    const int code = process.wait();
    if (out) *out = process.out();
    if (err) *err = process.err();
    return code;
}

}  // namespace karst::testing
