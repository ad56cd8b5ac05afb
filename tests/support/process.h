// Runs the built karst_server program as a child process, capturing its
// standard output and error in files, for end-to-end tests of the program.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace karst::testing {

// Where the program's standard input comes from: nothing (/dev/null), or a pipe
// the test writes console commands into.
enum class ProgramInput { None, Pipe };
// Limits the program runs under, set in the child before it starts.
struct ProcessLimits {
    // Soft and hard limit on open descriptors; 0 keeps the test's own.
    unsigned long openFiles = 0;
};

class ServerProcess {
public:
    // Starts the program in `workDir` with `args`.
    ServerProcess(const std::filesystem::path& workDir, const std::vector<std::string>& args,
                  ProgramInput input = ProgramInput::None, ProcessLimits limits = {});
    ~ServerProcess();

    // Writes to the program's standard input (ProgramInput::Pipe only).
    bool sendInput(const std::string& text);
    // Ends the program's standard input.
    void closeInput();

    // Waits for the program to end; returns its exit code, or -1 on timeout
    // (the program is then killed).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits until standard output contains `text` at or after byte `from`.
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20), size_t from = 0);
    // The same for standard error.
    bool waitForError(const std::string& text, size_t from = 0,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void signal(int signalNumber);
    pid_t pid() const { return pid_; }

    std::string out() const;
    std::string err() const;

private:
    pid_t pid_ = -1;
    int inputFd_ = -1;
    std::filesystem::path outPath_;
    std::filesystem::path errPath_;
};

// Runs the program to its end and returns the exit code.
int runServer(const std::filesystem::path& workDir, const std::vector<std::string>& args,
              std::string* out = nullptr, std::string* err = nullptr);

}  // namespace karst::testing
