// The policy both store files follow, in one place: a header check, reading a
// file no further than its header says it holds, and keeping a file that did not
// load aside so that no save ever overwrites it, and the save itself.
//
// Each store keeps its own layout and its own strictness (bytes after the last
// record refuse a profile store and are ignored in a Pibo store); what they share
// is here. Layout: a 4-byte magic, a u16 version, two reserved bytes, a u32
// record count, then whatever the store adds to its header, then the records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace karst {

inline constexpr size_t kStoreMagicSize = 4;
inline constexpr size_t kStoreCountOffset = 8;
inline constexpr size_t kStoreCommonHeaderSize = 12;
inline constexpr uint16_t kStoreFormatVersion = 1;

struct StoreFileShape {
    std::array<uint8_t, kStoreMagicSize> magic{};
    size_t headerSize = 0;  // the common 12 bytes and the store's own additions
    size_t recordSize = 0;
    // Bytes after the last record refuse the file (a profile store) or are
    // ignored (a Pibo store).
    bool trailingBytesRefused = false;
};

// The common header: magic, version 1, two reserved zero bytes, the count.
std::array<uint8_t, kStoreCommonHeaderSize> encodeStoreHeader(const StoreFileShape& shape, uint32_t count);
// Magic and version as the shape expects; false for a header too short to tell.
bool storeHeaderMatches(std::span<const uint8_t> file, const StoreFileShape& shape);
// The record count of a header that matches.
uint32_t storeRecordCount(std::span<const uint8_t> file);

enum class StoreFileRead { Missing, Unreadable, Read };

// Reads the header, then at most as many record bytes as its count announces, in
// pieces, so a damaged or forged header never costs more memory than the file
// really holds. For a shape that refuses trailing bytes, one byte beyond them is
// read too when there is one, so that the decoder sees it.
StoreFileRead readStoreFile(const std::string& path, const StoreFileShape& shape, std::vector<uint8_t>& bytes);

// A store file that did not load is kept aside ("<file>.rejected-<UTC time>")
// with a warning naming it ("profile store", "Pibo store"). While it cannot be
// moved, it still sits at the path and every save is refused, so the file an
// operator may want to recover is never overwritten.
class RejectedStoreFile {
public:
    RejectedStoreFile(std::string what, std::string path);

    // "Warning: ignored invalid WHAT PATH", then the file is moved aside.
    void reject();
    // True when nothing rejected sits at the path (moving it aside first if it
    // still does); false, with `error` set, when a save must not go ahead.
    bool clearForSave(std::error_code& error);
    void forget() { inPlace_ = false; }

private:
    bool moveAside();

    std::string what_;
    std::string path_;
    bool inPlace_ = false;
};

// The load of either store: a missing file loads as nothing; a file that cannot
// be read, or that `decode` refuses, is kept aside as rejected and the load is
// false. `decode` gets the bytes readStoreFile read and says whether they loaded.
bool loadStoreFile(const std::string& path, const StoreFileShape& shape, RejectedStoreFile& rejected,
                   const std::function<bool(std::span<const uint8_t>)>& decode);

// The save of either store: refused while a file that did not load still sits at
// the path, refused for more records than the header's 32-bit count can say (a
// wrapped count would make a corrupt file); otherwise `encode`'s bytes replace
// the file. `error` says why it failed.
bool saveStoreFile(const std::string& path, RejectedStoreFile& rejected, size_t recordCount,
                   const std::function<std::vector<uint8_t>()>& encode, std::error_code& error);

}  // namespace karst
