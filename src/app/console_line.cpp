#include "app/console_line.h"

#include "app/config_file.h"
#include "net/printable_text.h"

namespace karst {

namespace {
constexpr std::string_view kBlanks = " \t";
}  // namespace

void ConsoleLineReader::feed(std::span<const uint8_t> bytes, std::vector<ConsoleInputLine>& lines) {
    for (uint8_t byte : bytes) {
        if (byte == '\n') {
            endLine(lines);
            continue;
        }
        if (discarding_) continue;
        pending_.push_back(static_cast<char>(byte));
        // One byte of slack for the carriage return of a CRLF line end.
        if (pending_.size() > kMaxConsoleLineLength + 1) {
            pending_.clear();
            discarding_ = true;
        }
    }
}

void ConsoleLineReader::finish(std::vector<ConsoleInputLine>& lines) {
    if (discarding_ || !pending_.empty()) endLine(lines);
}

void ConsoleLineReader::endLine(std::vector<ConsoleInputLine>& lines) {
    if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
    ConsoleInputLine line;
    line.tooLong = discarding_ || pending_.size() > kMaxConsoleLineLength;
    if (!line.tooLong) line.text = std::move(pending_);
    lines.push_back(std::move(line));
    pending_.clear();
    discarding_ = false;
}

ConsoleCommand parseConsoleCommand(std::string_view line) {
    ConsoleCommand command;
    size_t at = line.find_first_not_of(kBlanks);
    while (at != std::string_view::npos) {
        const size_t end = std::min(line.find_first_of(kBlanks, at), line.size());
        const std::string_view word = line.substr(at, end - at);
        if (command.name.empty()) {
            command.name = app::toLowerAscii(word);
        } else {
            command.args.emplace_back(word);
            const size_t last = line.find_last_not_of(kBlanks);
            command.tails.emplace_back(line.substr(at, last + 1 - at));
        }
        at = line.find_first_not_of(kBlanks, end);
    }
    return command;
}

std::optional<ProfileKey> parseProfileKeyHex(std::string_view text) {
    if (text.size() != 2 * kProfileKeySize) return std::nullopt;
    ProfileKey key{};
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) return std::nullopt;
        key[i / 2] = static_cast<uint8_t>(key[i / 2] << 4 | digit);
    }
    return key;
}

std::string formatProfileKeyHex(const ProfileKey& key) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : key) {
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
    return out;
}

std::string printableAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (!isPrintableAscii(static_cast<uint8_t>(c))) c = static_cast<char>(kUnprintableMark);
    return out;
}

}  // namespace karst
