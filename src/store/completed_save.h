// The completed save: an opaque save file of the host game that every client
// receives after its handshake, read once at start-up, with its FNV-1a hash.
#pragma once

#include "net/protocol.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace karst {

inline constexpr uint32_t kFnv1a32OffsetBasis = 0x811C9DC5u;
inline constexpr uint32_t kFnv1a32Prime = 0x01000193u;

uint32_t fnv1a32(std::span<const uint8_t> bytes);

struct CompletedSave {
    bool loaded = false;
    uint32_t hash = 0;
    std::array<uint8_t, kCompletedSaveFileSize> bytes{};
};

// Loaded only when the file holds exactly kCompletedSaveFileSize bytes. Silent:
// start-up reports the outcome.
CompletedSave loadCompletedSave(const std::string& path);

}  // namespace karst
