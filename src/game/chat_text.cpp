// Chat text cleaning; works on the fixed-width field in place.
#include "game/chat_text.h"

#include <algorithm>
#include <array>

#include "net/printable_text.h"

namespace karst {

namespace {
constexpr uint8_t kSpace = ' ';
}  // namespace

bool sanitizeChatText(std::span<uint8_t, kChatTextFieldSize> text) {
    std::array<uint8_t, kChatTextMaxLength> kept;
    size_t length = 0;
    for (const uint8_t byte : text) {
        if (byte == 0 || length == kept.size()) break;
        if (!isPrintableAscii(byte)) continue;
        // A removed control byte between two spaces does not keep them apart,
        // because only kept bytes are compared.
        if (byte == kSpace && (length == 0 || kept[length - 1] == kSpace)) continue;
        kept[length++] = byte;
    }
    // Cutting to the field's limit happens before trimming, so the stored text
    // never ends in a space either.
    while (length != 0 && kept[length - 1] == kSpace) --length;
    std::fill(text.begin(), text.end(), uint8_t{0});
    std::copy_n(kept.begin(), length, text.begin());
    return length != 0;
}

}  // namespace karst
