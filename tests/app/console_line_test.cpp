// Console input cut into lines and commands; profile keys in hexadecimal.
#include <gtest/gtest.h>

#include <string>

#include "app/console_line.h"

namespace karst {
namespace {

std::vector<ConsoleInputLine> feed(ConsoleLineReader& reader, const std::string& bytes) {
    std::vector<ConsoleInputLine> lines;
    reader.feed({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, lines);
    return lines;
}

TEST(ConsoleLineReader, LineOfTheLimitPassesAndOneByteMoreIsRefusedWhole) {
    ConsoleLineReader reader;
    const std::string atLimit(kMaxConsoleLineLength, 'a');
    auto lines = feed(reader, atLimit + "\n" + atLimit + "b\n" + atLimit + "\r\nnext\n");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_FALSE(lines[0].tooLong);
    EXPECT_EQ(lines[0].text, atLimit);
    EXPECT_TRUE(lines[1].tooLong);
    EXPECT_TRUE(lines[1].text.empty());
    EXPECT_FALSE(lines[2].tooLong);  // the carriage return of CRLF does not count
    EXPECT_EQ(lines[2].text, atLimit);
    EXPECT_EQ(lines[3].text, "next");
}

TEST(ConsoleLineReader, LongLineArrivingInPiecesIsNeverRunInParts) {
    ConsoleLineReader reader;
    EXPECT_TRUE(feed(reader, "stop" + std::string(3000, ' ')).empty());
    EXPECT_TRUE(feed(reader, std::string(5000, 'x')).empty());
    auto lines = feed(reader, "stop\nlist\npartial");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].tooLong);
    EXPECT_EQ(lines[1].text, "list");
    std::vector<ConsoleInputLine> last;
    reader.finish(last);  // a last line without its line feed still counts
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].text, "partial");
}

TEST(ConsoleCommand, NameWithoutCaseWordsByBlanksAndTailsKeepInnerSpacing) {
    const ConsoleCommand c = parseConsoleCommand(" \tKiCk  bob   too   rude \t");
    EXPECT_EQ(c.name, "kick");
    ASSERT_EQ(c.args.size(), 3u);
    EXPECT_EQ(c.args[0], "bob");
    EXPECT_EQ(c.tail(1), "too   rude");
    EXPECT_EQ(c.tail(3), "");
    EXPECT_TRUE(parseConsoleCommand("   ").name.empty());
}

TEST(ConsoleCommand, ProfileKeyHexIsExactlyThirtyTwoDigitsOfEitherCase) {
    const auto key = parseProfileKeyHex("A5000102030405060708090a0B0c0d0E");
    ASSERT_TRUE(key);
    EXPECT_EQ((*key)[0], 0xA5);
    EXPECT_EQ((*key)[15], 0x0E);
    EXPECT_EQ(formatProfileKeyHex(*key), "a5000102030405060708090a0b0c0d0e");
    EXPECT_FALSE(parseProfileKeyHex("a5000102030405060708090a0b0c0d0"));
    EXPECT_FALSE(parseProfileKeyHex("a5000102030405060708090a0b0c0d0e0"));
    EXPECT_FALSE(parseProfileKeyHex("g5000102030405060708090a0b0c0d0e"));
    EXPECT_EQ(printableAscii("ok\tnot\x7F\xC3\xA9"), "ok_not___");
}

}  // namespace
}  // namespace karst
