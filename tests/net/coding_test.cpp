#include "net/coding.h"

#include <array>
#include <cmath>
#include <gtest/gtest.h>

namespace karst {
namespace {

TEST(Coding, IntegersAreLittleEndian) {
    std::array<uint8_t, 14> buf{};
    putU16(buf.data(), 0x0102);
    putU32(buf.data() + 2, 0x03040506);
    putU64(buf.data() + 6, 0x0708090A0B0C0D0Eull);
    const std::array<uint8_t, 14> expected{0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0x0E,
                                           0x0D, 0x0C, 0x0B, 0x0A, 0x09, 0x08, 0x07};
    EXPECT_EQ(buf, expected);
    EXPECT_EQ(getU16(buf.data()), 0x0102);
    EXPECT_EQ(getU32(buf.data() + 2), 0x03040506u);
    EXPECT_EQ(getU64(buf.data() + 6), 0x0708090A0B0C0D0Eull);
}

TEST(Coding, FloatsKeepTheirBitPattern) {
    std::array<uint8_t, 4> buf{};
    putF32(buf.data(), 1.0f);
    EXPECT_EQ(getU32(buf.data()), 0x3F800000u);
    putF32(buf.data(), std::nanf(""));
    EXPECT_TRUE(std::isnan(getF32(buf.data())));
}

TEST(Coding, ReaderStopsAtTheEndAndReportsIt) {
    const std::array<uint8_t, 6> buf{1, 0, 2, 0, 0, 0};
    ByteReader r(buf);
    EXPECT_EQ(r.u16(), 1);
    EXPECT_EQ(r.u32(), 2u);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.u8(), 0);
    EXPECT_FALSE(r.ok());
}

TEST(Coding, WriterPadsTextFieldsWithZeros) {
    std::array<uint8_t, 8> buf;
    buf.fill(0xAA);
    ByteWriter w(buf);
    w.text("abc", 5).u16(7).u8(9);
    const std::array<uint8_t, 8> expected{'a', 'b', 'c', 0, 0, 7, 0, 9};
    EXPECT_EQ(buf, expected);
    EXPECT_EQ(w.position(), 8u);
}

}  // namespace
}  // namespace karst
