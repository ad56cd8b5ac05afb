// The MasterAdvert datagram: how a listed server describes itself to the master
// server. 404 bytes, little-endian, text fields zero-padded and always ending in
// at least one zero byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace karst {

inline constexpr size_t kMasterAdvertSize = 404;
inline constexpr size_t kAdvertNameField = 48;
inline constexpr size_t kAdvertHostField = 64;
inline constexpr size_t kAdvertModListField = 256;
inline constexpr uint16_t kAdvertFormatVersion = 2;
inline constexpr uint16_t kAdvertKind = 1;

// Offsets of the fields after the fixed preamble (magic, version, kind, three words).
inline constexpr size_t kAdvertNameOffset = 20;
inline constexpr size_t kAdvertHostOffset = kAdvertNameOffset + kAdvertNameField;
inline constexpr size_t kAdvertModListOffset = kAdvertHostOffset + kAdvertHostField;
inline constexpr size_t kAdvertGamePortOffset = kAdvertModListOffset + kAdvertModListField;
inline constexpr size_t kAdvertTrailerReserved = 8;

static_assert(kAdvertHostOffset == 68 && kAdvertModListOffset == 132 && kAdvertGamePortOffset == 388);
static_assert(kAdvertGamePortOffset + 4 * 2 + kAdvertTrailerReserved == kMasterAdvertSize);

struct MasterAdvertFields {
    std::string_view serverName;
    std::string_view advertiseHost;
    std::string_view modList;
    uint16_t gamePort = 0;
    uint64_t players = 0;   // clamped to 65535
    uint64_t capacity = 0;  // clamped to 65535
};

// Texts longer than their field less one byte are cut, so each keeps a zero after it.
std::array<uint8_t, kMasterAdvertSize> encodeMasterAdvert(const MasterAdvertFields& fields);

}  // namespace karst
