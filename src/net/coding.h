// Little-endian encoding of every wire message and every store file.
//
// All multi-byte integers on the wire and on disk are little-endian, whatever the
// host's order. Values are written and read with shifts (floats through memcpy of
// their bit pattern), never by casting a struct over a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace karst {

inline void putU8(uint8_t* p, uint8_t v) { p[0] = v; }

inline void putU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void putU64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void putI16(uint8_t* p, int16_t v) { putU16(p, static_cast<uint16_t>(v)); }
inline void putI32(uint8_t* p, int32_t v) { putU32(p, static_cast<uint32_t>(v)); }

inline void putF32(uint8_t* p, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    putU32(p, bits);
}

inline uint8_t getU8(const uint8_t* p) { return p[0]; }

inline uint16_t getU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t getU64(const uint8_t* p) {
    return static_cast<uint64_t>(getU32(p)) | (static_cast<uint64_t>(getU32(p + 4)) << 32);
}

inline int8_t getI8(const uint8_t* p) { return static_cast<int8_t>(p[0]); }
inline int16_t getI16(const uint8_t* p) { return static_cast<int16_t>(getU16(p)); }
inline int32_t getI32(const uint8_t* p) { return static_cast<int32_t>(getU32(p)); }

inline float getF32(const uint8_t* p) {
    const uint32_t bits = getU32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Sequential writer over a caller-sized buffer. Writing past the end is a
// programming error: every message and record has a fixed, compile-time size.
class ByteWriter {
public:
    explicit ByteWriter(std::span<uint8_t> out) : out_(out) {}

    ByteWriter& u8(uint8_t v) { putU8(take(1), v); return *this; }
    ByteWriter& u16(uint16_t v) { putU16(take(2), v); return *this; }
    ByteWriter& u32(uint32_t v) { putU32(take(4), v); return *this; }
    ByteWriter& u64(uint64_t v) { putU64(take(8), v); return *this; }
    ByteWriter& i16(int16_t v) { putI16(take(2), v); return *this; }
    ByteWriter& i32(int32_t v) { putI32(take(4), v); return *this; }
    ByteWriter& f32(float v) { putF32(take(4), v); return *this; }
    ByteWriter& bytes(const void* data, size_t n) {
        if (n != 0) std::memcpy(take(n), data, n);
        return *this;
    }
    // A fixed-width text field: at most `width` bytes of `text`, the rest zero.
    ByteWriter& text(std::string_view text, size_t width) {
        uint8_t* p = take(width);
        std::memset(p, 0, width);
        std::memcpy(p, text.data(), text.size() < width ? text.size() : width);
        return *this;
    }
    ByteWriter& zeros(size_t n) {
        std::memset(take(n), 0, n);
        return *this;
    }
    size_t position() const { return pos_; }

private:
    uint8_t* take(size_t n) {
        uint8_t* p = out_.data() + pos_;
        pos_ += n;
        return p;
    }
    std::span<uint8_t> out_;
    size_t pos_ = 0;
};

// Sequential reader; `ok()` turns false once a read would pass the end, and the
// failed read yields zero, so decoders can read a whole layout and check once.
class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> in) : in_(in) {}

    uint8_t u8() { const uint8_t* p = take(1); return p ? getU8(p) : 0; }
    uint16_t u16() { const uint8_t* p = take(2); return p ? getU16(p) : 0; }
    uint32_t u32() { const uint8_t* p = take(4); return p ? getU32(p) : 0; }
    uint64_t u64() { const uint8_t* p = take(8); return p ? getU64(p) : 0; }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    float f32() { const uint8_t* p = take(4); return p ? getF32(p) : 0.0f; }
    bool bytes(void* out, size_t n) {
        const uint8_t* p = take(n);
        if (!p) return false;
        if (n != 0) std::memcpy(out, p, n);
        return true;
    }
    void skip(size_t n) { take(n); }
    bool ok() const { return ok_; }
    size_t position() const { return pos_; }
    size_t remaining() const { return in_.size() - pos_; }

private:
    const uint8_t* take(size_t n) {
        if (!ok_ || in_.size() - pos_ < n) {
            ok_ = false;
            return nullptr;
        }
        const uint8_t* p = in_.data() + pos_;
        pos_ += n;
        return p;
    }
    std::span<const uint8_t> in_;
    size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace karst
