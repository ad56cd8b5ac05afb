#include "app/ban_list.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "app/config_file.h"
#include "app/console_line.h"

namespace karst {

namespace {

// Why the last C library call failed; a call that failed without saying why
// still reports a failure.
std::error_code lastLibraryError() {
    return std::error_code(errno != 0 ? errno : EIO, std::generic_category());
}

std::optional<Ban> parseBanLine(std::string_view text, ListEntries accepted) {
    const ConsoleCommand words = parseConsoleCommand(text);
    if (words.args.empty()) return std::nullopt;
    Ban ban;
    ban.reason = words.tail(1);
    if (words.name == "key") {
        const auto key = parseProfileKeyHex(words.args[0]);
        // The all-zero key is refused at Hello anyway; banning it means a typo.
        if (!key || isZeroKey(*key)) return std::nullopt;
        ban.kind = Ban::Kind::Key;
        ban.key = *key;
        return ban;
    }
    if (words.name == "address" && accepted == ListEntries::KeysAndAddresses) {
        const auto network = net::parseIpNetwork(words.args[0]);
        if (!network) return std::nullopt;
        ban.kind = Ban::Kind::Address;
        ban.network = *network;
        return ban;
    }
    return std::nullopt;
}

bool isComment(std::string_view text) {
    const std::string_view trimmed = app::trimSpaces(text);
    return trimmed.empty() || trimmed.front() == '#';
}

}  // namespace

ParsedBanFile BanList::parse(std::string_view text, ListEntries accepted) {
    ParsedBanFile parsed;
    size_t number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        BanLine entry{std::string(line), std::nullopt};
        if (!isComment(line)) {
            entry.ban = parseBanLine(line, accepted);
            if (!entry.ban) parsed.invalidLines.push_back(number);
        }
        parsed.list.lines_.push_back(std::move(entry));
    }
    return parsed;
}

std::string BanList::serialize() const {
    std::string out;
    for (const BanLine& line : lines_) {
        out += line.text;
        out += '\n';
    }
    return out;
}

const Ban* BanList::findKey(const ProfileKey& key) const {
    for (const BanLine& line : lines_)
        if (line.ban && line.ban->kind == Ban::Kind::Key && line.ban->key == key) return &*line.ban;
    return nullptr;
}

const Ban* BanList::findAddress(const net::IpAddress& address) const {
    for (const BanLine& line : lines_)
        if (line.ban && line.ban->kind == Ban::Kind::Address &&
            net::networkContains(line.ban->network, address))
            return &*line.ban;
    return nullptr;
}

void BanList::add(Ban ban) {
    lines_.push_back({formatBanLine(ban), std::move(ban)});
}

bool BanList::addKey(const ProfileKey& key, std::string_view reason) {
    if (findKey(key)) return false;
    add(Ban{.kind = Ban::Kind::Key, .key = key, .network = {}, .reason = std::string(reason)});
    return true;
}

bool BanList::addNetwork(const net::IpNetwork& network, std::string_view reason) {
    for (const BanLine& line : lines_)
        if (line.ban && line.ban->kind == Ban::Kind::Address && line.ban->network == network)
            return false;
    add(Ban{.kind = Ban::Kind::Address, .key = {}, .network = network, .reason = std::string(reason)});
    return true;
}

template <typename Match>
bool BanList::removeFirst(Match match) {
    const auto it = std::find_if(lines_.begin(), lines_.end(),
                                 [&](const BanLine& line) { return line.ban && match(*line.ban); });
    if (it == lines_.end()) return false;
    lines_.erase(it);
    return true;
}

bool BanList::removeKey(const ProfileKey& key) {
    return removeFirst([&](const Ban& b) { return b.kind == Ban::Kind::Key && b.key == key; });
}

bool BanList::removeNetwork(const net::IpNetwork& network) {
    return removeFirst(
        [&](const Ban& b) { return b.kind == Ban::Kind::Address && b.network == network; });
}

std::vector<const Ban*> BanList::bans() const {
    std::vector<const Ban*> out;
    for (const BanLine& line : lines_)
        if (line.ban) out.push_back(&*line.ban);
    return out;
}

size_t BanList::size() const {
    return static_cast<size_t>(
        std::count_if(lines_.begin(), lines_.end(), [](const BanLine& l) { return l.ban.has_value(); }));
}

BanFileStamp stampBanFile(const std::string& path) {
    namespace fs = std::filesystem;
    BanFileStamp stamp;
    std::error_code error;
    const auto modified = fs::last_write_time(path, error);
    if (error) return stamp;
    stamp.size = fs::file_size(path, error);
    if (error) stamp.size = 0;
    stamp.exists = true;
    stamp.modified = static_cast<int64_t>(modified.time_since_epoch().count());
    return stamp;
}

bool readBanFile(const std::string& path, std::string& text, std::error_code& error) {
    namespace fs = std::filesystem;
    error.clear();
    const fs::file_status status = fs::status(path, error);
    if (error) return false;
    // A device or a pipe could block the loop or never end, so only files are read.
    if (!fs::is_regular_file(status)) {
        error = std::make_error_code(fs::is_directory(status) ? std::errc::is_a_directory
                                                              : std::errc::invalid_argument);
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = lastLibraryError();
        return false;
    }
    text.assign(kMaxBanFileBytes + 1, '\0');
    const size_t length = std::fread(text.data(), 1, text.size(), file);
    if (std::ferror(file) != 0) error = lastLibraryError();
    std::fclose(file);
    if (!error && length > kMaxBanFileBytes) error = std::make_error_code(std::errc::file_too_large);
    if (error) return false;
    text.resize(length);
    return true;
}

std::string describeBan(const Ban& ban) {
    return ban.kind == Ban::Kind::Key ? "key " + formatProfileKeyHex(ban.key)
                                      : "address " + net::formatIpNetwork(ban.network);
}

std::string formatBanLine(const Ban& ban) {
    std::string line = describeBan(ban);
    if (!ban.reason.empty()) {
        line += ' ';
        line += ban.reason;
    }
    return line;
}

}  // namespace karst
