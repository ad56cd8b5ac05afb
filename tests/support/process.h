// Runs the built karst_server program as a child process, capturing its
// standard output and error in files, for end-to-end tests of the program.
#pragma once

#include "common/child_process.h"

#include <filesystem>
#include <string>
#include <vector>

namespace karst::testing {

using ProgramInput = tools::ChildInput;
using ProcessLimits = tools::ChildLimits;

class ServerProcess : public tools::ChildProcess {
public:
    // Starts the program in `workDir` with `args`.
    ServerProcess(const std::filesystem::path& workDir, const std::vector<std::string>& args,
                  ProgramInput input = ProgramInput::None, ProcessLimits limits = {});
};

// Runs the program to its end and returns the exit code.
int runServer(const std::filesystem::path& workDir, const std::vector<std::string>& args,
              std::string* out = nullptr, std::string* err = nullptr);

}  // namespace karst::testing
