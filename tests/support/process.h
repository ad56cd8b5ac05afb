// Runs the built karst_server program as a child process, capturing its
// standard output and error in files, for end-to-end tests of the program.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/types.h>
#include <vector>

namespace karst::testing {

class ServerProcess {
public:
    // Starts the program in `workDir` with `args`.
    ServerProcess(const std::filesystem::path& workDir, const std::vector<std::string>& args);
    ~ServerProcess();

    // Waits for the program to end; returns its exit code, or -1 on timeout
    // (the program is then killed).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits until standard output contains `text`.
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void signal(int signalNumber);

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
