// The lease list's text form. Strict on purpose: a number that decodes wrong
// could match a lease another server took and let an old record overwrite a new
// one, so anything unexpected refuses the whole list.
#include "store/lease_list.h"

#include "app/console_line.h"

#include <charconv>
#include <limits>
#include <unordered_set>

namespace karst {

namespace {

constexpr size_t kKeyDigits = 2 * kProfileKeySize;

// The server writes lower case only; anything else was not written by it.
bool isLowerHex(std::string_view text) {
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Digits only (no sign, no blanks), at most int64's largest value.
std::optional<int64_t> leaseNumberOf(std::string_view text) {
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value);
    if (text.empty() || failure != std::errc() || stop != end ||
        value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return std::nullopt;
    return static_cast<int64_t>(value);
}

// Adds one entry line; what is wrong with it (without the line number) otherwise.
std::string addEntry(std::string_view line, std::vector<LeaseEntry>& entries,
                     std::unordered_set<ProfileKey, ProfileKeyHash>& seen) {
    const size_t space = line.find(' ');
    const std::string_view hex = line.substr(0, space);
    if (space == std::string_view::npos || hex.size() != kKeyDigits || !isLowerHex(hex))
        return "expected 32 lower-case hex digits, a space and a lease number";
    const std::optional<int64_t> number = leaseNumberOf(line.substr(space + 1));
    if (!number) return "the lease number is not a decimal from 0 to 9223372036854775807";
    const ProfileKey key = *parseProfileKeyHex(hex);
    if (!seen.insert(key).second) return "key " + std::string(hex) + " is listed twice";
    entries.push_back({key, *number});
    return {};
}

}  // namespace

std::string encodeLeaseList(const std::vector<LeaseEntry>& entries) {
    std::string text(kLeaseListHeader);
    text += '\n';
    for (const LeaseEntry& entry : entries)
        text += formatProfileKeyHex(entry.key) + ' ' + std::to_string(entry.leaseNumber) + '\n';
    return text;
}

std::optional<std::vector<LeaseEntry>> decodeLeaseList(std::string_view text, std::string& error) {
    std::vector<LeaseEntry> entries;
    std::unordered_set<ProfileKey, ProfileKeyHash> seen;
    size_t lineNumber = 0;
    while (!text.empty() || lineNumber == 0) {
        ++lineNumber;
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        std::string why;
        if (end == std::string_view::npos && !text.empty())
            why = "no line end: the list is cut short";  // perhaps in the middle of a number
        else if (lineNumber == 1 && line != kLeaseListHeader)
            why = "not a lease list (its first line is not \"" + std::string(kLeaseListHeader) + "\")";
        else if (lineNumber > 1 && !line.starts_with('#'))
            why = addEntry(line, entries, seen);
        if (!why.empty()) {
            error = "line " + std::to_string(lineNumber) + ": " + why;
            return std::nullopt;
        }
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return entries;
}

std::string leaseListPathFor(const std::string& profileDumpPath) {
    return profileDumpPath + std::string(kLeaseListSuffix);
}

}  // namespace karst
