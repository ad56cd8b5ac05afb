// Reads the completed save. At most one byte beyond the fixed size is ever read,
// so an over-long file costs nothing.
#include "store/completed_save.h"

#include <fstream>

namespace karst {

uint32_t fnv1a32(std::span<const uint8_t> bytes) {
    uint32_t hash = kFnv1a32OffsetBasis;
    for (uint8_t byte : bytes) hash = (hash ^ byte) * kFnv1a32Prime;
    return hash;
}

CompletedSave loadCompletedSave(const std::string& path) {
    CompletedSave save;
    std::ifstream file(path, std::ios::binary);
    if (!file) return save;
    std::array<uint8_t, kCompletedSaveFileSize> bytes{};
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (file.gcount() != static_cast<std::streamsize>(bytes.size())) return save;
    if (file.peek() != std::ifstream::traits_type::eof()) return save;
    save.bytes = bytes;
    save.hash = fnv1a32(save.bytes);
    save.loaded = true;
    return save;
}

}  // namespace karst
