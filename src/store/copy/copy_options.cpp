#include "store/copy/copy_options.h"

namespace karst::storecopy {

namespace {

std::optional<CopyCommand> commandNamed(const std::string& name) {
    if (name == "to-database") return CopyCommand::ToDatabase;
    if (name == "to-files") return CopyCommand::ToFiles;
    if (name == "merge") return CopyCommand::Merge;
    return std::nullopt;
}

CopyOptionsOutcome refuse(std::string error) { return {std::nullopt, std::move(error), false}; }

}  // namespace

std::string copyUsage() {
    return "Usage: karst_store_copy to-database|to-files|merge --url URL\n"
           "                        [--profile-store PATH] [--pibo-store PATH]\n"
           "                        [--leases PATH] [--skip-taken]   (merge only)\n"
           "  to-database  copy the two store files into a database that holds no records\n"
           "  to-files     write a database's records into two new store files\n"
           "  merge        load a server's dump of unsaved changes: a key's records go in\n"
           "               only while its lease number is still the one the dump lists\n"
           "  --url URL              libpq connection string, e.g. \"host=/var/run/postgresql dbname=karst\"\n"
           "  --profile-store PATH   default SAVEDATA/karst-profile-store.bin\n"
           "  --pibo-store PATH      default SAVEDATA/karst-pibo-store.bin\n"
           "  --leases PATH          the dump's lease list, default the profile store's PATH.leases\n"
           "  --skip-taken           merge the other keys when some were taken since the dump\n"
           "                         (without it, such a key means nothing is merged)\n"
           "Exit codes: 0 done, 1 refused or failed, 2 bad command line.\n";
}

CopyOptionsOutcome parseCopyOptions(const std::vector<std::string>& args) {
    for (const auto& arg : args)
        if (arg == "--help" || arg == "-h") return {std::nullopt, {}, true};
    if (args.empty()) return refuse("no command given");
    const std::optional<CopyCommand> command = commandNamed(args[0]);
    if (!command) return refuse("unknown command " + args[0]);
    CopyOptions options;
    options.command = *command;
    bool urlGiven = false;
    bool mergeOptionGiven = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--skip-taken") {
            options.skipTaken = mergeOptionGiven = true;
            continue;
        }
        if (i + 1 >= args.size()) return refuse(name + " needs a value");
        const std::string& value = args[++i];
        if (name == "--url") {
            options.url = value;
            urlGiven = true;
        } else if (name == "--profile-store") {
            options.profileStorePath = value;
        } else if (name == "--pibo-store") {
            options.piboStorePath = value;
        } else if (name == "--leases") {
            if (value.empty()) return refuse("--leases may not be empty");
            options.leaseListPath = value;
            mergeOptionGiven = true;
        } else {
            return refuse("unknown option " + name);
        }
    }
    if (!urlGiven) return refuse("--url is required");
    if (mergeOptionGiven && options.command != CopyCommand::Merge)
        return refuse("--leases and --skip-taken belong to merge");
    if (options.profileStorePath.empty() || options.piboStorePath.empty())
        return refuse("a store path may not be empty");
    if (options.profileStorePath == options.piboStorePath)
        return refuse("the profile store and the Pibo store need two different paths");
    return {options, {}, false};
}

}  // namespace karst::storecopy
