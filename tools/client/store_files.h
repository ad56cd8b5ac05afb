// The two store files as docs/files.md lays them out, for the tools and tests
// that seed a server's store or check what a stopped server left: a reader
// that refuses a file exactly where a server would, and a writer.
//
// Written from the description, not shared with the server, so a store check
// built on it catches a server that writes what its own reader misreads.
// Little-endian throughout; text fields are zero-padded.
#pragma once

#include "client/game_facts.h"
#include "common/message_catalogue.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace karst::client {

inline constexpr size_t kProfileStoreHeaderSize = 12;
inline constexpr size_t kProfileRecordSize = 98;
inline constexpr size_t kPiboStoreHeaderSize = 20;
inline constexpr size_t kPiboRecordSize = 2116;
inline constexpr size_t kStoredNameSize = 24;
inline constexpr size_t kStoredPiboNameSize = 16;

struct StoredProfile {
    ProfileKey key{};
    uint32_t rings = 0;
    std::array<uint16_t, kFruitCodes> fruit{};  // count by fruit code
    std::string name{};
    uint8_t character = 0;
    Colour colour{};
};

struct StoredPibo {
    uint64_t id = 0;
    ProfileKey owner{};
    uint64_t parentA = 0;
    uint64_t parentB = 0;
    uint64_t breedReadyAt = 0;  // wall-clock seconds
    uint8_t localSlot = kNoLocalSlot;
    uint8_t stage = kPiboStageHatched;
    uint8_t pendingDelivery = 0;
    std::string name{};
    std::array<uint8_t, tools::kPiboDataSize> data{};
};

// A file's records by key or id; where one appears twice, the first counts.
using StoredProfiles = std::map<ProfileKey, StoredProfile>;
struct PiboStoreFile {
    uint64_t nextId = 0;
    std::map<uint64_t, StoredPibo> records;
};

// Nothing when a server would refuse the file as a whole.
std::optional<StoredProfiles> readProfileStore(std::span<const uint8_t> file);
std::optional<PiboStoreFile> readPiboStore(std::span<const uint8_t> file);

std::vector<uint8_t> writeProfileStore(std::span<const StoredProfile> records);
std::vector<uint8_t> writePiboStore(std::span<const StoredPibo> records, uint64_t nextId);

}  // namespace karst::client
