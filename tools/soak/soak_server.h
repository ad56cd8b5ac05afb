// A karst_server the soak starts and owns (POSIX only): a fresh directory
// under the system's temporary directory holding its stores, a completed save
// and its console output; the program pinned to one CPU with taskset when
// that is installed; its peak memory read from /proc/<pid>/status; a stop by
// SIGINT, as an operator would, so that it saves its stores on the way out.
#pragma once

#include "soak/soak_options.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

namespace karst::soak {

class OwnedServer {
public:
    OwnedServer() = default;
    ~OwnedServer();
    OwnedServer(const OwnedServer&) = delete;
    OwnedServer& operator=(const OwnedServer&) = delete;

    // Prepares the directory, starts the program and waits for its start-up
    // report; on failure `error` says why.
    bool start(const SoakOptions& options, std::string& error);
    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    bool pinned() const { return pinned_; }
    int cpu() const { return cpu_; }
    const std::filesystem::path& directory() const { return directory_; }

    // VmHWM and VmRSS in KiB; 0 when the process is gone.
    uint64_t peakMemoryKb() const;
    uint64_t residentKb() const;
    bool running();
    // SIGINT, then waits for the exit (SIGKILL after `timeoutSeconds`).
    // Returns the exit code, 128 + signal, or -1 when it had to be killed.
    int stop(int timeoutSeconds = 120);

    std::filesystem::path profileStore() const;
    std::filesystem::path piboStore() const;
    std::string consoleOut() const;
    std::string consoleErr() const;
    // Removes the directory unless the options asked to keep it.
    void cleanUp(bool keep);

private:
    bool prepareDirectory(const SoakOptions& options, std::string& error);
    bool launch(const SoakOptions& options, std::string& error);
    bool awaitReport(std::string& error);
    uint64_t statusField(const char* name) const;

    std::filesystem::path directory_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
    bool pinned_ = false;
    int cpu_ = -1;
    int exitCode_ = -1;
};

// A loopback port nothing is bound to at this moment (0 if none was found).
uint16_t freeLoopbackPort(const std::string& host);

}  // namespace karst::soak
