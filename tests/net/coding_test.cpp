// The little-endian helpers every wire and file layout is written with.
#include "net/coding.h"

#include <array>
#include <gtest/gtest.h>

namespace karst {
namespace {

TEST(Coding, IntegersAreLittleEndianAndTextFieldsZeroPadded) {
    std::array<uint8_t, 19> buf;
    buf.fill(0xAA);
    ByteWriter w(buf);
    w.u16(0x0102).u32(0x03040506).text("abc", 5);
    putU64(buf.data() + 11, 0x0708090A0B0C0D0Eull);
    const std::array<uint8_t, 19> expected{0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 'a',  'b',  'c', 0,
                                           0,    0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0x09, 0x08, 0x07};
    EXPECT_EQ(buf, expected);
    EXPECT_EQ(getU64(buf.data() + 11), 0x0708090A0B0C0D0Eull);

    ByteReader r(buf);
    EXPECT_EQ(r.u16(), 0x0102);
    EXPECT_EQ(r.u32(), 0x03040506u);
    EXPECT_TRUE(r.ok());
    uint8_t rest[14];
    r.bytes(rest, sizeof rest);  // one byte more than is left
    EXPECT_FALSE(r.ok());
}

}  // namespace
}  // namespace karst
