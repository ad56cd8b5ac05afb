// Address and network text as the ban list reads and writes it.
#include <gtest/gtest.h>

#include "net/ip_address.h"

namespace karst::net {
namespace {

TEST(IpAddress, ParsesTheUsualFormsAndFormatsThemCanonically) {
    const struct {
        const char* text;
        const char* formatted;  // nullptr: refused
    } cases[] = {
        {"192.0.2.7", "192.0.2.7"},
        {"0.0.0.0", "0.0.0.0"},
        {"255.255.255.255", "255.255.255.255"},
        {"256.0.0.1", nullptr},
        {"1.2.3", nullptr},
        {"1.2.3.4.5", nullptr},
        {"01.2.3.4", nullptr},
        {"1.2.3.4 ", nullptr},
        {"", nullptr},
        {"::1", "::1"},
        {"::", "::"},
        {"2001:DB8:0:0:0:0:0:7", "2001:db8::7"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},  // the first of equal runs
        {"1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7"},         // a single zero group stays
        {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
        {"::ffff:192.0.2.7", "192.0.2.7"},  // IPv4-mapped: the IPv4 address itself
        {"64:ff9b::192.0.2.7", "64:ff9b::c000:207"},
        {"1:2:3:4:5:6:7:8:9", nullptr},
        {"::1:2:3:4:5:6:7:8", nullptr},
        {"1::2::3", nullptr},
        {":1::", nullptr},
        {"12345::", nullptr},
        {"g::1", nullptr},
    };
    for (const auto& c : cases) {
        const auto parsed = parseIpAddress(c.text);
        if (!c.formatted) {
            EXPECT_FALSE(parsed) << c.text;
            continue;
        }
        ASSERT_TRUE(parsed) << c.text;
        EXPECT_EQ(formatIpAddress(*parsed), c.formatted) << c.text;
        EXPECT_EQ(parseIpAddress(formatIpAddress(*parsed)), parsed) << c.text;
    }
}

TEST(IpAddress, NetworksTakeTheirPrefixUpToTheAddressWidth) {
    EXPECT_EQ(formatIpNetwork(*parseIpNetwork("10.1.2.3/24")), "10.1.2.0/24");
    EXPECT_EQ(formatIpNetwork(*parseIpNetwork("10.1.2.3/32")), "10.1.2.3");
    EXPECT_EQ(formatIpNetwork(*parseIpNetwork("10.1.2.3/0")), "0.0.0.0/0");
    EXPECT_EQ(formatIpNetwork(*parseIpNetwork("10.255.2.3/9")), "10.128.0.0/9");
    EXPECT_FALSE(parseIpNetwork("10.1.2.3/33"));
    EXPECT_FALSE(parseIpNetwork("10.1.2.3/"));
    EXPECT_FALSE(parseIpNetwork("10.1.2.3/-1"));
    EXPECT_EQ(formatIpNetwork(*parseIpNetwork("2001:db8::1/128")), "2001:db8::1");
    EXPECT_EQ(formatIpNetwork(*parseIpNetwork("2001:db8:ffff::1/33")), "2001:db8:8000::/33");
    EXPECT_FALSE(parseIpNetwork("2001:db8::1/129"));
}

TEST(IpAddress, NetworkHoldsExactlyTheAddressesUnderItsPrefix) {
    const IpNetwork net24 = *parseIpNetwork("192.0.2.0/24");
    EXPECT_TRUE(networkContains(net24, *parseIpAddress("192.0.2.0")));
    EXPECT_TRUE(networkContains(net24, *parseIpAddress("192.0.2.255")));
    EXPECT_FALSE(networkContains(net24, *parseIpAddress("192.0.3.0")));
    EXPECT_FALSE(networkContains(net24, *parseIpAddress("192.0.1.255")));
    const IpNetwork net23 = *parseIpNetwork("192.0.2.0/23");
    EXPECT_TRUE(networkContains(net23, *parseIpAddress("192.0.3.255")));
    EXPECT_FALSE(networkContains(net23, *parseIpAddress("192.0.4.0")));
    const IpNetwork one = *parseIpNetwork("::1");
    EXPECT_TRUE(networkContains(one, *parseIpAddress("::1")));
    EXPECT_FALSE(networkContains(one, *parseIpAddress("::2")));
    // Families never match each other, not even the all-zero network.
    EXPECT_FALSE(networkContains(*parseIpNetwork("0.0.0.0/0"), *parseIpAddress("::1")));
    EXPECT_TRUE(networkContains(*parseIpNetwork("::/0"), *parseIpAddress("::1")));
}

}  // namespace
}  // namespace karst::net
