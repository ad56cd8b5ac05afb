// Chat text cleaning on the fixed 192-byte field.
#include "game/chat_text.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace karst {
namespace {

using Field = std::array<uint8_t, kChatTextFieldSize>;

TEST(ChatText, CleaningFoldsSpacesDropsUnprintablesAndZeroesTheRest) {
    struct Case {
        std::string sent, kept;
    };
    std::string full;
    for (size_t i = 0; i < kChatTextFieldSize; ++i) full += static_cast<char>('A' + i % 26);
    const Case cases[] = {
        {"  hello    world  ", "hello world"},
        {"caf\xC3\xA9 \x7F" "ok~\xFF", "caf ok~"},
        {"a\tb", "ab"},
        {"a \x01 b", "a b"},  // the removed byte does not keep the spaces apart
        {std::string("hi\0x", 4), "hi"},  // reading stops at the first zero byte
        {"   \t\x01\x1F \x7F  ", ""},
        {full, full.substr(0, kChatTextMaxLength)},
        {std::string(190, 'x') + " y", std::string(190, 'x')},  // no trailing space at the cut
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        Field field{};
        std::copy_n(c.sent.begin(), std::min(c.sent.size(), field.size()), field.begin());
        EXPECT_EQ(sanitizeChatText(field), !c.kept.empty());
        Field expected{};
        std::copy(c.kept.begin(), c.kept.end(), expected.begin());
        EXPECT_EQ(field, expected);
    }
}

}  // namespace
}  // namespace karst
