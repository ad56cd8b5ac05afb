// Every tunable value of the server, and the settings phase of start-up:
// built-in defaults, then the configuration file, then the command line, then
// validation. Nothing changes the settings once the server is constructed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "game/catalogue.h"

namespace karst {

inline constexpr uint32_t kMaxProxyCount = 32;
inline constexpr size_t kMaxServerNameLength = 47;
inline constexpr size_t kMaxModListLength = 255;
inline constexpr size_t kMaxAdvertiseHostLength = 63;
inline constexpr uint32_t kMinLeaseSeconds = 2;
inline constexpr uint32_t kMaxLeaseSeconds = 3600;

struct ServerSettings {
    std::string bindAddress = "0.0.0.0";
    uint16_t port = 27015;
    uint32_t maxClients = 2048;
    uint32_t maxPlayersPerRoom = 128;
    uint32_t minimumReady = 1;
    uint32_t proxyCount = 6;
    uint32_t startingRings = 1000;
    std::string serverName = "KARST Server";
    std::string modList = "KARST";
    bool listed = true;
    std::string masterHost;
    uint16_t masterPort = 27016;
    std::string advertiseHost;
    std::string completedSavePath = "SAVEDATA/CometTrail01.snc";
    std::string piboStorePath = "SAVEDATA/karst-pibo-store.bin";
    std::string profileStorePath = "SAVEDATA/karst-profile-store.bin";
    std::string metricsPath = "SAVEDATA/karst-metrics.json";
    // Banned profile keys and addresses; set only by the configuration file.
    std::string banListPath = "SAVEDATA/karst-bans.txt";
    // The only profile keys that may log on; empty = everyone may. Set only by
    // the configuration file ([files] allow).
    std::string allowListPath;
    // The metrics in Prometheus text format as well; empty = not written.
    // Set only by the configuration file ([files] prometheus).
    std::string prometheusPath;
    // Seconds a new connection has to complete its handshake; 0 = no deadline.
    // Set only by the configuration file, so the command line stays as documented.
    uint32_t handshakeTimeoutSeconds = 10;
    // The settings below are set only by the configuration file.
    // Unsent bytes over all connections, in MiB; past it the largest queues are
    // cut off first. 0 = no cap.
    uint32_t sendBudgetMiB = 256;
    // Connections one remote address may hold at once; 0 = no cap.
    uint32_t maxConnectionsPerAddress = 0;
    // "poll" waits on every socket each pass (for comparison); anything else
    // uses the system's readiness queue where it has one.
    std::string eventLoop = "auto";
    // Where profiles and Pibo live: "files" (the two store files) or
    // "postgresql" (a database that several servers share; see docs/fleet.md).
    std::string storeBackend = "files";
    // The database's libpq connection string; its password may come from the
    // environment or a password file instead.
    std::string storeUrl;
    // How long a server's hold on a player's profile lasts unless renewed.
    uint32_t leaseSeconds = 60;
    // The UDP port answering server queries (A2S); 0 = off. Never the game port.
    uint16_t queryPort = 0;
    // The remote console ([rcon]; 0 = off). Its password is the first line of
    // rconPasswordFile, read by the settings phase into rconPassword.
    uint16_t rconPort = 0;
    std::string rconBind = "127.0.0.1";
    std::string rconPasswordFile;
    uint32_t rconMaxConnections = 4;
    std::string rconPassword;
    // The Agones SDK sidecar's REST port (AGONES_SDK_HTTP_PORT, never a key of
    // the file); 0 = not under Agones.
    uint16_t agonesSdkPort = 0;
};

inline constexpr std::string_view kDefaultConfigPath = "server.ini";

enum class ParseStatus { Ok, Invalid, OutOfRange };

template <typename T>
struct ParsedNumber {
    ParseStatus status = ParseStatus::Invalid;
    T value = 0;
    bool ok() const { return status == ParseStatus::Ok; }
};

// Decimal conversion shared by the command line and the configuration file:
// leading white space, one optional sign, digits up to the first non-digit (the
// rest is ignored). No digit is Invalid; a value beyond the type is OutOfRange;
// a minus sign negates modulo 2^32 (or 2^64).
ParsedNumber<uint32_t> parseUnsigned(std::string_view text);
ParsedNumber<uint64_t> parseUnsigned64(std::string_view text);

// One console line produced while settings are read, in the order produced.
struct ConsoleLine {
    bool error = false;  // standard error when true, standard output otherwise
    std::string text;
};

// Reads the INI-style configuration file at `path` over `settings`. Returns false
// only if the file cannot be opened. Warnings about invalid numbers are appended
// to `lines`.
bool loadConfigFile(const std::string& path, ServerSettings& settings,
                    std::vector<ConsoleLine>& lines);

std::string usageLine();

// Any settings error ends the process with this code, and so does a shared store
// that cannot be opened: both are the operator's configuration to fix.
inline constexpr int kExitSettingsError = 2;

// The outcome of the settings phase: either settings to run with, or an exit code.
struct SettingsPhase {
    std::optional<int> exitCode;  // set when the program must end now
    ServerSettings settings;
    std::vector<ConsoleLine> lines;  // to print, in order, before anything else
};

// `args` excludes the program name.
SettingsPhase runSettingsPhase(std::span<const std::string> args);

}  // namespace karst
