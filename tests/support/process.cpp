#include "support/process.h"

namespace karst::testing {

namespace {

std::vector<std::string> serverArgv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KARST_SERVER_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

ServerProcess::ServerProcess(const std::filesystem::path& workDir,
                             const std::vector<std::string>& args, ProgramInput input,
                             ProcessLimits limits) {
    start(serverArgv(args), workDir, input, limits);
}

int runServer(const std::filesystem::path& workDir, const std::vector<std::string>& args,
              std::string* out, std::string* err) {
    ServerProcess process(workDir, args);
    const int code = process.wait();
    if (out) *out = process.out();
    if (err) *err = process.err();
    return code;
}

}  // namespace karst::testing
