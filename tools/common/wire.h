// Byte order of everything the client tools put on the wire or in a store
// file: little-endian, written with shifts so the host's order never matters,
// and a bounded cursor over a buffer in each direction.
//
// The server has its own helpers; these are kept apart on purpose, so a fault
// in one side's encoding cannot hide behind the same fault in the other's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace karst::tools {

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
inline uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t getU32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | p[i];
    return v;
}
inline uint64_t getU64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// Writes fields in order; once a field does not fit, nothing more is written
// and ok() stays false.
class WireWriter {
public:
    explicit WireWriter(std::span<uint8_t> out) : out_(out) {}

    WireWriter& u8(uint8_t v) { return put(1, [&](uint8_t* p) { *p = v; }); }
    WireWriter& u16(uint16_t v) { return put(2, [&](uint8_t* p) { putU16(p, v); }); }
    WireWriter& u32(uint32_t v) { return put(4, [&](uint8_t* p) { putU32(p, v); }); }
    WireWriter& u64(uint64_t v) { return put(8, [&](uint8_t* p) { putU64(p, v); }); }
    WireWriter& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
    WireWriter& f32(float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        return u32(bits);
    }
    WireWriter& bytes(const void* data, size_t n) {
        return put(n, [&](uint8_t* p) { if (n != 0) std::memcpy(p, data, n); });
    }
    WireWriter& zeros(size_t n) { return put(n, [&](uint8_t* p) { std::memset(p, 0, n); }); }
    // At most `width` bytes of `text`, the rest of the field zero.
    WireWriter& text(const std::string& text, size_t width) {
        return put(width, [&](uint8_t* p) {
            std::memset(p, 0, width);
            std::memcpy(p, text.data(), std::min(text.size(), width));
        });
    }

    bool ok() const { return ok_; }
    size_t written() const { return at_; }

private:
    template <class Write>
    WireWriter& put(size_t n, Write write) {
        if (!ok_ || out_.size() - at_ < n) {
            ok_ = false;
            return *this;
        }
        write(out_.data() + at_);
        at_ += n;
        return *this;
    }

    std::span<uint8_t> out_;
    size_t at_ = 0;
    bool ok_ = true;
};

// Reads fields in order; a field past the end reads as zero and ok() turns false.
class WireReader {
public:
    explicit WireReader(std::span<const uint8_t> in) : in_(in) {}

    uint8_t u8() { return take(1) ? in_[at_ - 1] : 0; }
    uint16_t u16() { return take(2) ? getU16(&in_[at_ - 2]) : 0; }
    uint32_t u32() { return take(4) ? getU32(&in_[at_ - 4]) : 0; }
    uint64_t u64() { return take(8) ? getU64(&in_[at_ - 8]) : 0; }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    float f32() {
        const uint32_t bits = u32();
        float v;
        std::memcpy(&v, &bits, 4);
        return v;
    }
    void bytes(void* out, size_t n) {
        if (take(n)) std::memcpy(out, &in_[at_ - n], n);
        else std::memset(out, 0, n);
    }
    void skip(size_t n) { take(n); }
    // A zero-padded field of `width` bytes, up to its first zero byte.
    std::string text(size_t width) {
        if (!take(width)) return {};
        const auto field = in_.subspan(at_ - width, width);
        return std::string(field.begin(), std::find(field.begin(), field.end(), 0));
    }

    bool ok() const { return ok_; }
    size_t remaining() const { return in_.size() - at_; }

private:
    bool take(size_t n) {
        if (!ok_ || in_.size() - at_ < n) {
            ok_ = false;
            return false;
        }
        at_ += n;
        return true;
    }

    std::span<const uint8_t> in_;
    size_t at_ = 0;
    bool ok_ = true;
};

}  // namespace karst::tools
