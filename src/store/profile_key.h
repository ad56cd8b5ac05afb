// The 16-byte persistent identity a client presents in Hello: key of the profile
// store and owner key of every Pibo record. Opaque to the server.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>

namespace karst {

inline constexpr size_t kProfileKeySize = 16;
using ProfileKey = std::array<uint8_t, kProfileKeySize>;

inline bool isZeroKey(const ProfileKey& key) {
    for (uint8_t b : key)
        if (b != 0) return false;
    return true;
}

struct ProfileKeyHash {
    size_t operator()(const ProfileKey& key) const noexcept {
        uint64_t a, b;
        std::memcpy(&a, key.data(), 8);
        std::memcpy(&b, key.data() + 8, 8);
        return std::hash<uint64_t>{}(a ^ (b * 0x9E3779B97F4A7C15ull));
    }
};

}  // namespace karst
