// A program run as a child process (POSIX only), its standard output and error
// captured in stdout.txt and stderr.txt of its working directory: how the
// tests and the soak start karst_server and watch what it prints.
//
// Waits poll the child every few milliseconds on the steady clock; the
// destructor kills a child still running, so none outlives its owner.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

namespace karst::tools {

// Where the program's standard input comes from: nothing (/dev/null), so the
// owner's own never reaches the server's console, or a pipe the owner writes.
enum class ChildInput { None, Pipe };
// Limits the program runs under, set in the child before it starts.
struct ChildLimits {
    // Soft and hard limit on open descriptors; 0 keeps the owner's own.
    unsigned long openFiles = 0;
    // Runs the program as this user and group (the owner must be root).
    bool switchUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
    // A signal the program gets when the thread that started it ends (Linux's
    // parent-death signal), so a killed owner leaves nothing running; 0 for none.
    int signalWhenOwnerEnds = 0;
};

// The first of PATH's folders, then of `moreFolders`, that holds an executable
// `name`; an empty PATH entry is the working directory, as a shell reads it.
std::optional<std::string> findProgram(const std::string& name,
                                       std::span<const std::filesystem::path> moreFolders = {});

inline constexpr std::chrono::milliseconds kDefaultChildWait = std::chrono::seconds(20);

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs argv[0] with the rest as its arguments in `workDir`; false when no
    // process could be made (a program that cannot be run ends with code 127).
    bool start(const std::vector<std::string>& argv, const std::filesystem::path& workDir,
               ChildInput input = ChildInput::None, ChildLimits limits = {});
    pid_t pid() const { return pid_; }
    // False once the program has ended; its code is then kept.
    bool running();
    // Waits for the end; the exit code, 128 + signal, or -1 on timeout (the
    // program keeps running).
    int wait(std::chrono::milliseconds timeout = kDefaultChildWait);
    // Sends `signalNumber`, then waits; SIGKILL after the timeout, and -1.
    int stop(int signalNumber, std::chrono::milliseconds timeout);
    void signal(int signalNumber);

    // Writes to the program's standard input (ChildInput::Pipe only).
    bool sendInput(const std::string& text);
    // Ends the program's standard input.
    void closeInput();

    std::string out() const;
    std::string err() const;
    // Waits until standard output (error) contains `text` at or after byte `from`.
    bool waitForOutput(const std::string& text, size_t from = 0,
                       std::chrono::milliseconds timeout = kDefaultChildWait) const;
    bool waitForError(const std::string& text, size_t from = 0,
                      std::chrono::milliseconds timeout = kDefaultChildWait) const;

private:
    // SIGKILL, and the child reaped at once.
    void killNow();

    pid_t pid_ = -1;
    int exitCode_ = -1;
    int inputFd_ = -1;
    std::filesystem::path outPath_;
    std::filesystem::path errPath_;
};

}  // namespace karst::tools
