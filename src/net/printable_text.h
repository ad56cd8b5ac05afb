// Printable ASCII, the one character set every text field of the wire shows
// others: names, chat, and what reaches the console from a player or an
// operator. Anything else is a byte a terminal or a client might act on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace karst {

inline constexpr uint8_t kFirstPrintable = 0x20;
inline constexpr uint8_t kLastPrintable = 0x7E;
inline constexpr uint8_t kUnprintableMark = '_';

constexpr bool isPrintableAscii(uint8_t byte) {
    return byte >= kFirstPrintable && byte <= kLastPrintable;
}

// Cleans a zero-padded name field in place and returns the name's length: the
// last byte becomes 0, so the name always ends inside the field; bytes before
// the first zero that are not printable become '_'; an empty name becomes
// `fallback`, zero-padded. Bytes after the first zero stay as received.
inline size_t sanitizeNameField(std::span<uint8_t> field, std::string_view fallback) {
    field.back() = 0;
    size_t length = 0;
    for (; field[length] != 0; ++length)
        if (!isPrintableAscii(field[length])) field[length] = kUnprintableMark;
    if (length != 0) return length;
    std::fill(field.begin(), field.end(), uint8_t{0});
    std::copy(fallback.begin(), fallback.end(), field.begin());
    return fallback.size();
}

}  // namespace karst
