// The operator's command lines: cutting standard input into lines, and a line
// into a command name and its arguments. No server state; the commands
// themselves are GameServer members (app/operator_console.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/profile_key.h"

namespace karst {

// Longest command line accepted, line end excluded.
inline constexpr size_t kMaxConsoleLineLength = 1024;

struct ConsoleInputLine {
    std::string text;      // without its line end; empty when refused
    bool tooLong = false;  // refused as a whole: longer than kMaxConsoleLineLength
};

// Cuts a byte stream into lines at line feeds (a carriage return before one is
// dropped). A line over the limit is refused as one unit: what has been buffered
// is dropped at once and the rest is discarded up to its line feed, so memory
// stays bounded and no part of it is ever run as a command.
class ConsoleLineReader {
public:
    void feed(std::span<const uint8_t> bytes, std::vector<ConsoleInputLine>& lines);
    // End of input: a last line without its line feed still counts.
    void finish(std::vector<ConsoleInputLine>& lines);

private:
    void endLine(std::vector<ConsoleInputLine>& lines);

    std::string pending_;
    bool discarding_ = false;
};

struct ConsoleCommand {
    std::string name;               // lower-cased; empty for a blank line
    std::vector<std::string> args;  // words after the name
    // tails[i]: the line from args[i] to its end, inner blanks kept (a reason, a text).
    std::vector<std::string> tails;

    std::string tail(size_t i) const { return i < tails.size() ? tails[i] : std::string(); }
};

// Words are separated by spaces and tabs; the name compares without case.
ConsoleCommand parseConsoleCommand(std::string_view line);

// 32 hexadecimal digits, either case.
std::optional<ProfileKey> parseProfileKeyHex(std::string_view text);
// 32 lower-case hexadecimal digits.
std::string formatProfileKeyHex(const ProfileKey& key);

// A zero-padded text field (a player's name) up to its first zero byte.
template <size_t N>
std::string textBeforeZero(const std::array<uint8_t, N>& field) {
    size_t length = 0;
    while (length < N && field[length] != 0) ++length;
    return std::string(field.begin(), field.begin() + static_cast<std::ptrdiff_t>(length));
}

// Operator text for a player's screen: bytes outside printable ASCII become "_".
std::string printableAscii(std::string_view text);

}  // namespace karst
