#include "app/rcon_password.h"

#include <fstream>
#include <string>

#include "net/files.h"
#include "net/rcon_packet.h"

namespace karst {

namespace {

// A password longer than a packet's body could never be sent.
constexpr size_t kMaxRconPasswordLength = net::kRconMaxReplyBody;

void refuse(SettingsPhase& phase, std::string line) {
    phase.lines.push_back({true, std::move(line)});
    phase.exitCode = kExitSettingsError;
}

}  // namespace

void loadRconPassword(SettingsPhase& phase) {
    ServerSettings& settings = phase.settings;
    if (settings.rconPort == 0) return;
    const std::string& path = settings.rconPasswordFile;
    if (path.empty()) {
        refuse(phase, "RCON is on but no password file is set ([rcon] passwordfile).");
        return;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        refuse(phase, "Unable to read the RCON password file " + path);
        return;
    }
    // Bounded: only the first line matters, however large the file is.
    std::string line;
    char c = 0;
    while (line.size() <= kMaxRconPasswordLength && file.get(c) && c != '\n') line.push_back(c);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
        refuse(phase, "The RCON password in " + path + " is empty.");
        return;
    }
    if (line.size() < kMinRconPasswordLength) {
        refuse(phase, "The RCON password in " + path + " is shorter than " +
                          std::to_string(kMinRconPasswordLength) + " bytes.");
        return;
    }
    if (line.size() > kMaxRconPasswordLength) {
        refuse(phase, "The RCON password in " + path + " is longer than " +
                          std::to_string(kMaxRconPasswordLength) + " bytes.");
        return;
    }
    if (net::readableByOthers(path))
        phase.lines.push_back({true, "Warning: the RCON password file " + path +
                                         " is readable by group or others; make it the owner's alone (chmod 600)"});
    settings.rconPassword = std::move(line);
}

}  // namespace karst
