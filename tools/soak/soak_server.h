// A karst_server the soak starts and owns (POSIX only): a fresh directory
// under the system's temporary directory holding its stores, a completed save
// and its console output; the program pinned to one CPU with taskset when
// that is installed; its peak memory read from /proc/<pid>/status; a stop by
// SIGINT, as an operator would, so that it saves its stores on the way out.
#pragma once

#include "common/child_process.h"
#include "soak/soak_options.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

namespace karst::soak {

class OwnedServer {
public:
    // Prepares the directory, starts the program and waits for its start-up
    // report; on failure `error` says why.
    bool start(const SoakOptions& options, std::string& error);
    uint16_t port() const { return port_; }
    pid_t pid() const { return process_.pid(); }
    bool pinned() const { return pinned_; }
    int cpu() const { return cpu_; }
    const std::filesystem::path& directory() const { return directory_; }

    // VmHWM and VmRSS in KiB; 0 when the process is gone.
    uint64_t peakMemoryKb() const;
    uint64_t residentKb() const;
    bool running() { return process_.running(); }
    // SIGINT, then waits for the exit (SIGKILL after `timeoutSeconds`).
    // Returns the exit code, 128 + signal, or -1 when it had to be killed.
    int stop(int timeoutSeconds = 120);

    std::filesystem::path profileStore() const;
    std::filesystem::path piboStore() const;
    std::string consoleErr() const { return process_.err(); }
    // Removes the directory unless the options asked to keep it.
    void cleanUp(bool keep);

private:
    bool prepareDirectory(const SoakOptions& options, std::string& error);
    bool launch(const SoakOptions& options, std::string& error);
    bool awaitReport(std::string& error);
    uint64_t statusField(const char* name) const;

    std::filesystem::path directory_;
    tools::ChildProcess process_;
    uint16_t port_ = 0;
    bool pinned_ = false;
    int cpu_ = -1;
};

}  // namespace karst::soak
