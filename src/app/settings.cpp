// The settings phase of start-up: defaults, the configuration file, the command
// line, validation; and the decimal conversion shared with the file.
//
// The phase prints nothing itself. Every console line goes into the result in
// the order it arises, so main prints them and tests read them. Any settings
// error ends the process with exit code 2; a requested usage line with 0.
#include "app/settings.h"
#include "store/shared_store.h"

#include "app/agones_sdk.h"
#include "app/config_file.h"
#include "app/rcon_password.h"

#include <array>
#include <cstdlib>
#include <limits>
#include <utility>

namespace karst {

namespace {

constexpr int kExitUsage = 0;

template <typename T>
ParsedNumber<T> parseDecimal(std::string_view text) {
    size_t i = text.find_first_not_of(app::kSpaceBytes);
    if (i == std::string_view::npos) return {};
    const bool negative = text[i] == '-';
    if (text[i] == '+' || text[i] == '-') ++i;
    constexpr T kMax = std::numeric_limits<T>::max();
    T value = 0;
    bool sawDigit = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const T digit = static_cast<T>(text[i] - '0');
        if (value > (kMax - digit) / 10) return {ParseStatus::OutOfRange, 0};
        value = value * 10 + digit;
        sawDigit = true;
    }
    if (!sawDigit) return {};
    // Negation wraps around, so "-1" is the largest value of the type.
    if (negative) value = static_cast<T>(T{0} - value);
    return {ParseStatus::Ok, value};
}

enum class OptionKind { Value, SkippedValue, Private, Help };

struct CommandOption {
    std::string_view name;
    OptionKind kind;
    app::SettingField field{};  // for OptionKind::Value only
};

constexpr CommandOption valueOption(std::string_view name, app::SettingField field) {
    return {name, OptionKind::Value, field};
}

constexpr std::array kCommandOptions = {
    // The configuration path was taken by the pre-scan; here its value is skipped.
    CommandOption{"--config", OptionKind::SkippedValue},
    valueOption("--bind", app::textField(&ServerSettings::bindAddress)),
    valueOption("--port", app::portField(&ServerSettings::port)),
    valueOption("--name", app::textField(&ServerSettings::serverName)),
    valueOption("--mods", app::textField(&ServerSettings::modList)),
    valueOption("--max-clients", app::numberField(&ServerSettings::maxClients)),
    valueOption("--max-room", app::numberField(&ServerSettings::maxPlayersPerRoom)),
    valueOption("--min-ready", app::numberField(&ServerSettings::minimumReady)),
    valueOption("--proxies", app::numberField(&ServerSettings::proxyCount)),
    valueOption("--starting-rings", app::ringsField(&ServerSettings::startingRings)),
    valueOption("--save", app::textField(&ServerSettings::completedSavePath)),
    valueOption("--pibo-store", app::textField(&ServerSettings::piboStorePath)),
    valueOption("--profile-store", app::textField(&ServerSettings::profileStorePath)),
    valueOption("--metrics", app::textField(&ServerSettings::metricsPath)),
    valueOption("--master-host", app::textField(&ServerSettings::masterHost)),
    valueOption("--master-port", app::portField(&ServerSettings::masterPort)),
    valueOption("--advertise-host", app::textField(&ServerSettings::advertiseHost)),
    CommandOption{"--private", OptionKind::Private},
    CommandOption{"--help", OptionKind::Help},
    CommandOption{"-h", OptionKind::Help},
};

const CommandOption* findCommandOption(std::string_view argument) {
    for (const CommandOption& option : kCommandOptions) {
        if (option.name == argument) return &option;
    }
    return nullptr;
}

void stop(SettingsPhase& phase, int exitCode) { phase.exitCode = exitCode; }

void addOutput(SettingsPhase& phase, std::string text) {
    phase.lines.push_back({false, std::move(text)});
}

void addError(SettingsPhase& phase, std::string text) {
    phase.lines.push_back({true, std::move(text)});
}

// Agones sets the variable in every game server pod; anything but a port is
// reported and leaves the server as it would run anywhere else.
void readAgonesPort(SettingsPhase& phase) {
    const char* value = std::getenv(std::string(kAgonesPortVariable).c_str());
    if (value == nullptr) return;
    if (const std::optional<uint16_t> port = parseAgonesPort(value)) {
        phase.settings.agonesSdkPort = *port;
        return;
    }
    addError(phase, "Warning: " + std::string(kAgonesPortVariable) + " is not a port number (" +
                        std::string(value).substr(0, 32) + "); the server runs without Agones");
}

// The file is read before the main pass so that every option on the command
// line, wherever it stands, overrides it.
bool loadConfiguration(std::span<const std::string> args, SettingsPhase& phase) {
    std::string path(kDefaultConfigPath);
    bool explicitPath = false;
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "--config") {
            path = args[i + 1];
            explicitPath = true;
            break;
        }
    }
    if (loadConfigFile(path, phase.settings, phase.lines)) {
        addOutput(phase, "Loaded server config " + path);
        return true;
    }
    if (!explicitPath) return true;  // no server.ini: the defaults stand
    addError(phase, "Unable to open server config " + path);
    stop(phase, kExitSettingsError);
    return false;
}

bool applyCommandLine(std::span<const std::string> args, SettingsPhase& phase) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& argument = args[i];
        const CommandOption* option = findCommandOption(argument);
        if (option == nullptr) {
            addError(phase, "Unknown argument: " + argument);
            addOutput(phase, usageLine());
            stop(phase, kExitSettingsError);
            return false;
        }
        if (option->kind == OptionKind::Help) {
            addOutput(phase, usageLine());
            stop(phase, kExitUsage);
            return false;
        }
        if (option->kind == OptionKind::Private) {
            phase.settings.listed = false;
            continue;
        }
        if (i + 1 == args.size()) {
            addOutput(phase, usageLine());
            stop(phase, kExitSettingsError);
            return false;
        }
        const std::string& value = args[++i];
        if (option->kind == OptionKind::SkippedValue) continue;
        if (!app::assignSettingValue(phase.settings, option->field, value)) {
            addError(phase, "Invalid value for " + argument + ": " + value);
            stop(phase, kExitSettingsError);
            return false;
        }
    }
    return true;
}

std::string_view validationError(const ServerSettings& settings) {
    if (settings.maxClients < 1 || settings.maxPlayersPerRoom < 1 || settings.minimumReady < 1) {
        return "Capacity values must be positive.";
    }
    if (settings.proxyCount > kMaxProxyCount) {
        return "Proxy player count must be between 0 and 32.";
    }
    if (settings.serverName.empty() || settings.serverName.size() > kMaxServerNameLength ||
        settings.modList.size() > kMaxModListLength ||
        settings.advertiseHost.size() > kMaxAdvertiseHostLength) {
        return "Server name, mod list, or advertised host is too long.";
    }
    if (settings.storeBackend != "files" && settings.storeBackend != "postgresql")
        return "Store backend must be files or postgresql.";
    if (settings.storeBackend == "postgresql" && !databaseBackendBuilt())
        return "This server was built without PostgreSQL support: set [store] backend = files, "
               "or build with -DKARST_POSTGRESQL=ON.";
    if (settings.leaseSeconds < kMinLeaseSeconds || settings.leaseSeconds > kMaxLeaseSeconds)
        return "Lease seconds must be between 2 and 3600.";
    // Movement datagrams arrive on the game port; queries need a socket of their own.
    if (settings.queryPort != 0 && settings.queryPort == settings.port)
        return "Query port must differ from the game port.";
    if (settings.rconPort != 0 && settings.rconMaxConnections < 1)
        return "RCON maxconnections must be at least 1.";
    return {};
}

}  // namespace

ParsedNumber<uint32_t> parseUnsigned(std::string_view text) { return parseDecimal<uint32_t>(text); }

ParsedNumber<uint64_t> parseUnsigned64(std::string_view text) {
    return parseDecimal<uint64_t>(text);
}

std::string usageLine() {
    return "Usage: karst_server [--config PATH] [--bind ADDRESS] [--port PORT] [--name NAME] "
           "[--mods LIST] [--max-clients N] [--max-room N] [--min-ready N] [--proxies N] "
           "[--starting-rings N] [--save PATH] [--pibo-store PATH] [--profile-store PATH] "
           "[--metrics PATH] [--master-host HOST] [--master-port PORT] "
           "[--advertise-host HOST] [--private]";
}

SettingsPhase runSettingsPhase(std::span<const std::string> args) {
    SettingsPhase phase;
    if (!loadConfiguration(args, phase)) return phase;
    if (!applyCommandLine(args, phase)) return phase;
    const std::string_view error = validationError(phase.settings);
    if (!error.empty()) {
        addError(phase, std::string(error));
        stop(phase, kExitSettingsError);
        return phase;
    }
    loadRconPassword(phase);
    readAgonesPort(phase);
    return phase;
}

}  // namespace karst
