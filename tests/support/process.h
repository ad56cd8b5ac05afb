// Runs the built karst_server program as a child process, capturing its
// standard output and error in files, for end-to-end tests of the program.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace karst::testing {

// Limits the program runs under, set in the child before it starts.
struct ProcessLimits {
    // Soft and hard limit on open descriptors; 0 keeps the test's own.
    unsigned long openFiles = 0;
};

class ServerProcess {
public:
    // Starts the program in `workDir` with `args`.
    ServerProcess(const std::filesystem::path& workDir, const std::vector<std::string>& args,
                  ProcessLimits limits = {});
    ~ServerProcess();

    // Waits for the program to end; returns its exit code, or -1 on timeout
    // (the program is then killed).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits until standard output contains `text`.
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void signal(int signalNumber);
    pid_t pid() const { return pid_; }

    std::string out() const;
    std::string err() const;

private:
    pid_t pid_ = -1;
    std::filesystem::path outPath_;
    std::filesystem::path errPath_;
};

// Runs the program to its end and returns the exit code.
int runServer(const std::filesystem::path& workDir, const std::vector<std::string>& args,
              std::string* out = nullptr, std::string* err = nullptr);

}  // namespace karst::testing
