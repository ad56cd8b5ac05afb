// The INI-style configuration file ("server.ini" unless --config names another),
// read once at start-up over the defaults, and the value conversion it shares
// with the command line.
//
// The file is bytes: lines end at a line feed, there is no character-set
// conversion and no escape syntax. Section and key names compare lower-cased;
// only whole lines are comments. The reader is forgiving on purpose: an unknown
// section or key, a line without "=" or an unrecognised boolean is skipped
// silently, and a bad number costs one warning and keeps the previous value.
// Nothing is validated here; validation follows the command line.
#include "app/config_file.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <optional>

namespace karst {

namespace app {

std::string_view trimSpaces(std::string_view text) {
    const size_t first = text.find_first_not_of(kSpaceBytes);
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(kSpaceBytes);
    return text.substr(first, last - first + 1);
}

std::string toLowerAscii(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

namespace {

std::optional<bool> parseBoolean(std::string_view value) {
    const std::string word = toLowerAscii(value);
    if (word == "1" || word == "true" || word == "yes" || word == "on") return true;
    if (word == "0" || word == "false" || word == "no" || word == "off") return false;
    return std::nullopt;
}

}  // namespace

bool assignSettingValue(ServerSettings& settings, const SettingField& field,
                        std::string_view value) {
    switch (field.kind) {
        case FieldKind::Text:
            settings.*field.text = std::string(value);
            return true;
        case FieldKind::Number: {
            const auto parsed = parseUnsigned(value);
            if (!parsed.ok()) return false;
            settings.*field.number = parsed.value;
            return true;
        }
        case FieldKind::Port: {
            const auto parsed = parseUnsigned(value);
            if (!parsed.ok()) return false;
            settings.*field.port = static_cast<uint16_t>(parsed.value & 0xFFFFu);
            return true;
        }
        case FieldKind::Rings: {
            const auto parsed = parseUnsigned64(value);
            if (!parsed.ok()) return false;
            settings.*field.number =
                static_cast<uint32_t>(std::min<uint64_t>(parsed.value, kRingCap));
            return true;
        }
        case FieldKind::Boolean:
            if (const auto flag = parseBoolean(value)) settings.*field.flag = *flag;
            return true;
    }
    return true;
}

}  // namespace app

namespace {

using app::SettingField;

struct FileKey {
    std::string_view section;
    std::string_view key;
    SettingField field;
};

constexpr std::array kFileKeys = {
    FileKey{"server", "bind", app::textField(&ServerSettings::bindAddress)},
    FileKey{"server", "port", app::portField(&ServerSettings::port)},
    FileKey{"server", "name", app::textField(&ServerSettings::serverName)},
    FileKey{"server", "mods", app::textField(&ServerSettings::modList)},
    FileKey{"server", "maxclients", app::numberField(&ServerSettings::maxClients)},
    FileKey{"server", "maxplayersperroom", app::numberField(&ServerSettings::maxPlayersPerRoom)},
    FileKey{"server", "minimumready", app::numberField(&ServerSettings::minimumReady)},
    FileKey{"server", "proxies", app::numberField(&ServerSettings::proxyCount)},
    FileKey{"server", "startingrings", app::ringsField(&ServerSettings::startingRings)},
    FileKey{"server", "handshaketimeout",
            app::numberField(&ServerSettings::handshakeTimeoutSeconds)},
    FileKey{"server", "sendbudget", app::numberField(&ServerSettings::sendBudgetMiB)},
    FileKey{"server", "maxperaddress", app::numberField(&ServerSettings::maxConnectionsPerAddress)},
    FileKey{"server", "eventloop", app::textField(&ServerSettings::eventLoop)},
    FileKey{"files", "completedsave", app::textField(&ServerSettings::completedSavePath)},
    FileKey{"files", "pibostore", app::textField(&ServerSettings::piboStorePath)},
    FileKey{"files", "profilestore", app::textField(&ServerSettings::profileStorePath)},
    FileKey{"files", "metrics", app::textField(&ServerSettings::metricsPath)},
    FileKey{"files", "bans", app::textField(&ServerSettings::banListPath)},
    FileKey{"files", "allow", app::textField(&ServerSettings::allowListPath)},
    FileKey{"files", "prometheus", app::textField(&ServerSettings::prometheusPath)},
    FileKey{"store", "backend", app::textField(&ServerSettings::storeBackend)},
    FileKey{"store", "url", app::textField(&ServerSettings::storeUrl)},
    FileKey{"store", "leaseseconds", app::numberField(&ServerSettings::leaseSeconds)},
    FileKey{"rcon", "port", app::portField(&ServerSettings::rconPort)},
    FileKey{"rcon", "bind", app::textField(&ServerSettings::rconBind)},
    FileKey{"rcon", "passwordfile", app::textField(&ServerSettings::rconPasswordFile)},
    FileKey{"rcon", "maxconnections", app::numberField(&ServerSettings::rconMaxConnections)},
    FileKey{"master", "listed", app::booleanField(&ServerSettings::listed)},
    FileKey{"master", "host", app::textField(&ServerSettings::masterHost)},
    FileKey{"master", "port", app::portField(&ServerSettings::masterPort)},
    FileKey{"master", "advertisehost", app::textField(&ServerSettings::advertiseHost)},
    FileKey{"query", "port", app::portField(&ServerSettings::queryPort)},
};

const SettingField* findFileKey(std::string_view section, std::string_view key) {
    for (const FileKey& entry : kFileKeys) {
        if (entry.section == section && entry.key == key) return &entry.field;
    }
    return nullptr;
}

// Reading state carried from line to line.
struct FileReader {
    const std::string& path;
    ServerSettings& settings;
    std::vector<ConsoleLine>& lines;
    std::string section;  // lower-cased; empty before the first header

    void readLine(std::string_view rawLine) {
        const std::string_view line = app::trimSpaces(rawLine);
        if (line.empty() || line.front() == ';' || line.front() == '#') return;
        // A stray byte before "[" (a byte-order mark, say) makes this no header;
        // it then has no "=" and is skipped like any other such line.
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            section = app::toLowerAscii(app::trimSpaces(line.substr(1, line.size() - 2)));
            return;
        }
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) return;
        const std::string key = app::toLowerAscii(app::trimSpaces(line.substr(0, equals)));
        const std::string_view value = app::trimSpaces(line.substr(equals + 1));
        const SettingField* field = findFileKey(section, key);
        if (field == nullptr) return;
        if (!app::assignSettingValue(settings, *field, value)) {
            lines.push_back(
                {true, "Warning: ignored invalid " + section + "." + key + " in " + path});
        }
    }
};

}  // namespace

bool loadConfigFile(const std::string& path, ServerSettings& settings,
                    std::vector<ConsoleLine>& lines) {
    // Some systems open a directory for reading and only fail at the first read;
    // that would report a loaded configuration where there is none.
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) return false;
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) return false;
    FileReader reader{path, settings, lines, {}};
    std::string line;
    // A read error stops getline just as the end of the file does; what was
    // read up to there stays applied.
    while (std::getline(file, line)) reader.readLine(line);
    return true;
}

}  // namespace karst
