// The ban list's file text: what parses, what is kept, what a change rewrites.
#include <gtest/gtest.h>

#include "app/ban_list.h"
#include "app/console_line.h"

namespace karst {
namespace {

const std::string kKeyHex = "a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5";

TEST(BanList, ParsesBansKeepsCommentsAndNumbersTheLinesItSkips) {
    const std::string text =
        "# bans\n"
        "\n"
        "KEY " + kKeyHex + " cheating  badly\r\n"
        "address 10.1.2.3/24\n"
        "address ::1 local\n"
        "key 1234\n"                                   // 6: too short
        "key 00000000000000000000000000000000\n"       // 7: the zero key
        "address 10.0.0.1/33 x\n"                       // 8: prefix too long
        "ban 10.0.0.1\n"                                // 9: unknown kind
        "address\n";                                    // 10: no value
    ParsedBanFile parsed = BanList::parse(text);
    EXPECT_EQ(parsed.invalidLines, (std::vector<size_t>{6, 7, 8, 9, 10}));
    EXPECT_EQ(parsed.list.size(), 3u);
    const Ban* key = parsed.list.findKey(*parseProfileKeyHex(kKeyHex));
    ASSERT_TRUE(key);
    EXPECT_EQ(key->reason, "cheating  badly");
    EXPECT_TRUE(parsed.list.findAddress(*net::parseIpAddress("10.1.2.200")));
    EXPECT_FALSE(parsed.list.findAddress(*net::parseIpAddress("10.1.3.1")));
    EXPECT_TRUE(parsed.list.findAddress(*net::parseIpAddress("::1")));
    // Every line survives a rewrite, the skipped ones included; only CR is dropped.
    std::string expected = text;
    expected.erase(expected.find('\r'), 1);
    EXPECT_EQ(parsed.list.serialize(), expected);
}

TEST(BanList, AddAndRemoveChangeOnlyTheirOwnLine) {
    BanList list = BanList::parse("# keep me\naddress 192.0.2.0/24 old\n").list;
    const ProfileKey key = *parseProfileKeyHex(kKeyHex);
    EXPECT_TRUE(list.addKey(key, "griefing"));
    EXPECT_FALSE(list.addKey(key, "again"));
    EXPECT_FALSE(list.addNetwork(*net::parseIpNetwork("192.0.2.9/24"), ""));  // same network
    EXPECT_TRUE(list.addNetwork(*net::parseIpNetwork("192.0.2.9"), ""));      // a narrower one
    EXPECT_EQ(list.serialize(), "# keep me\naddress 192.0.2.0/24 old\nkey " + kKeyHex +
                                    " griefing\naddress 192.0.2.9\n");
    EXPECT_TRUE(list.removeNetwork(*net::parseIpNetwork("192.0.2.0/24")));
    EXPECT_FALSE(list.removeNetwork(*net::parseIpNetwork("192.0.2.0/24")));
    EXPECT_TRUE(list.removeKey(key));
    EXPECT_FALSE(list.removeKey(key));
    EXPECT_EQ(list.serialize(), "# keep me\naddress 192.0.2.9\n");
    EXPECT_EQ(BanList::parse(list.serialize()).list.size(), 1u);
}

TEST(BanList, AllowListTakesKeysAloneAndKeepsTheRest) {
    const std::string text = "key " + kKeyHex + " Tails\naddress 10.0.0.1\n# friends\n";
    ParsedBanFile parsed = BanList::parse(text, ListEntries::KeysOnly);
    EXPECT_EQ(parsed.invalidLines, (std::vector<size_t>{2}));
    EXPECT_EQ(parsed.list.size(), 1u);
    EXPECT_FALSE(parsed.list.findAddress(*net::parseIpAddress("10.0.0.1")));
    EXPECT_EQ(parsed.list.serialize(), text);
}

}  // namespace
}  // namespace karst
