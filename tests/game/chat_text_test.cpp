// Chat text cleaning on the fixed 192-byte field.
#include "game/chat_text.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace karst {
namespace {

using Field = std::array<uint8_t, kChatTextFieldSize>;

Field fieldOf(const std::string& text) {
    Field field{};
    for (size_t i = 0; i < text.size() && i < field.size(); ++i)
        field[i] = static_cast<uint8_t>(text[i]);
    return field;
}

// The cleaned text, after checking that everything behind it is zero.
std::string cleaned(Field& field, bool& kept) {
    kept = sanitizeChatText(field);
    size_t length = 0;
    while (length < field.size() && field[length] != 0) ++length;
    for (size_t i = length; i < field.size(); ++i) EXPECT_EQ(field[i], 0) << "byte " << i;
    return std::string(field.begin(), field.begin() + static_cast<std::ptrdiff_t>(length));
}

std::string cleaned(const std::string& text) {
    Field field = fieldOf(text);
    bool kept = false;
    return cleaned(field, kept);
}

TEST(ChatText, SpacesFoldAndTrim) {
    EXPECT_EQ(cleaned("  hello    world  "), "hello world");
    EXPECT_EQ(cleaned("plain"), "plain");
}

TEST(ChatText, NonPrintableBytesAreRemovedNotReplaced) {
    EXPECT_EQ(cleaned("a\tb"), "ab");
    EXPECT_EQ(cleaned("caf\xC3\xA9 \x7F" "ok\xFF"), "caf ok");
    // The removed control byte does not keep the two spaces apart.
    EXPECT_EQ(cleaned("a \x01 b"), "a b");
}

TEST(ChatText, NothingPrintableLeftIsEmptyAndAllZero) {
    Field field = fieldOf("   \t\x01\x1F \x7F  ");
    bool kept = true;
    EXPECT_EQ(cleaned(field, kept), "");
    EXPECT_FALSE(kept);
    Field empty{};
    EXPECT_FALSE(sanitizeChatText(empty));
}

TEST(ChatText, ReadingStopsAtTheFirstZeroByte) {
    Field field = fieldOf("hi");
    field[3] = 'x';  // stale bytes behind the terminator are cleared
    bool kept = false;
    EXPECT_EQ(cleaned(field, kept), "hi");
    EXPECT_TRUE(kept);
}

TEST(ChatText, FullFieldKeepsItsFirst191Bytes) {
    Field field;
    for (size_t i = 0; i < field.size(); ++i) field[i] = static_cast<uint8_t>('A' + i % 26);
    const Field original = field;
    bool kept = false;
    const std::string text = cleaned(field, kept);
    ASSERT_EQ(text.size(), kChatTextMaxLength);
    EXPECT_TRUE(std::equal(text.begin(), text.end(), original.begin()));
    EXPECT_EQ(field.back(), 0);
}

TEST(ChatText, CutToTheLimitNeverLeavesATrailingSpace) {
    // 190 letters, then a space at index 190 and a letter at 191.
    std::string text(190, 'x');
    text += " y";
    Field field = fieldOf(text);
    bool kept = false;
    EXPECT_EQ(cleaned(field, kept), std::string(190, 'x'));
}

}  // namespace
}  // namespace karst
