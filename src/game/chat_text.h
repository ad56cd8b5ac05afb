// Cleaning of chat text: what survives is printable ASCII with single spaces
// between words, so every client shows the same plain line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "net/protocol.h"

namespace karst {

// ChatText: u32 player id, then the zero-terminated, zero-padded text field.
inline constexpr size_t kChatPlayerIdOffset = 0;
inline constexpr size_t kChatTextOffset = 4;
inline constexpr size_t kChatTextFieldSize = 192;
inline constexpr size_t kChatTextMaxLength = kChatTextFieldSize - 1;
static_assert(kChatTextOffset + kChatTextFieldSize == kChatTextSize);

// Cleans the text field in place: reads up to the first zero byte, drops every
// byte outside 0x20..0x7E, drops leading spaces and folds runs of spaces into
// one, drops trailing spaces, and writes the result back zero-padded, at most
// 191 bytes. False when nothing is left.
bool sanitizeChatText(std::span<uint8_t, kChatTextFieldSize> text);

}  // namespace karst
