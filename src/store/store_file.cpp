#include "store/store_file.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "app/console.h"
#include "net/coding.h"
#include "store/file_replace.h"

namespace karst {

namespace {

// Reads up to `limit` more bytes into `out` in pieces of a MiB, so a count that
// promises more than the file holds allocates only what really arrives.
void readUpTo(std::istream& in, std::vector<uint8_t>& out, uint64_t limit) {
    constexpr size_t kPiece = size_t{1} << 20;
    while (limit > 0 && in) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(limit, kPiece));
        const size_t start = out.size();
        out.resize(start + want);
        in.read(reinterpret_cast<char*>(out.data() + start), static_cast<std::streamsize>(want));
        const size_t got = static_cast<size_t>(in.gcount());
        out.resize(start + got);
        limit -= got;
        if (got < want) break;
    }
}

}  // namespace

std::array<uint8_t, kStoreCommonHeaderSize> encodeStoreHeader(const StoreFileShape& shape, uint32_t count) {
    std::array<uint8_t, kStoreCommonHeaderSize> header{};
    std::memcpy(header.data(), shape.magic.data(), kStoreMagicSize);
    putU16(header.data() + kStoreMagicSize, kStoreFormatVersion);
    putU32(header.data() + kStoreCountOffset, count);
    return header;
}

bool storeHeaderMatches(std::span<const uint8_t> file, const StoreFileShape& shape) {
    return file.size() >= shape.headerSize &&
           std::memcmp(file.data(), shape.magic.data(), kStoreMagicSize) == 0 &&
           getU16(file.data() + kStoreMagicSize) == kStoreFormatVersion;
}

uint32_t storeRecordCount(std::span<const uint8_t> file) { return getU32(file.data() + kStoreCountOffset); }

StoreFileRead readStoreFile(const std::string& path, const StoreFileShape& shape, std::vector<uint8_t>& bytes) {
    bytes.clear();
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) return StoreFileRead::Missing;
    // A directory opens for reading on some systems; it is no store either way.
    if (error || status.type() != std::filesystem::file_type::regular) return StoreFileRead::Unreadable;
    std::ifstream in(path, std::ios::binary);
    if (!in) return StoreFileRead::Unreadable;
    readUpTo(in, bytes, shape.headerSize);
    if (bytes.size() == shape.headerSize) {
        const uint64_t records = uint64_t{storeRecordCount(bytes)} * shape.recordSize;
        // A file shorter than its header promises is refused from the header alone.
        const uintmax_t size = std::filesystem::file_size(path, error);
        if (!error && size >= shape.headerSize + records) readUpTo(in, bytes, records + (shape.trailingBytesRefused ? 1 : 0));
    }
    return in.bad() ? StoreFileRead::Unreadable : StoreFileRead::Read;
}

RejectedStoreFile::RejectedStoreFile(std::string what, std::string path)
    : what_(std::move(what)), path_(std::move(path)) {}

void RejectedStoreFile::reject() {
    printError("Warning: ignored invalid " + what_ + " " + path_);
    inPlace_ = true;
    if (!moveAside())
        printError("Warning: could not move rejected " + what_ + " " + path_ +
                   " aside; it is not saved until it can be");
}

bool RejectedStoreFile::moveAside() {
    const std::optional<std::string> newPath = keepRejectedFileAside(path_);
    if (!newPath) return false;
    printError("Warning: kept rejected " + what_ + " " + path_ + " as " + *newPath);
    inPlace_ = false;
    return true;
}

bool RejectedStoreFile::clearForSave(std::error_code& error) {
    // Retried on every save: the rejected file still holds the path.
    if (inPlace_ && !moveAside()) {
        error = std::make_error_code(std::errc::file_exists);
        return false;
    }
    return true;
}

bool loadStoreFile(const std::string& path, const StoreFileShape& shape, RejectedStoreFile& rejected,
                   const std::function<bool(std::span<const uint8_t>)>& decode) {
    rejected.forget();
    std::vector<uint8_t> bytes;
    const StoreFileRead read = readStoreFile(path, shape, bytes);
    if (read == StoreFileRead::Missing) return true;
    if (read == StoreFileRead::Read && decode(bytes)) return true;
    // The first save would overwrite the refused file with only this run's
    // records, so it is kept where an operator can still recover it.
    rejected.reject();
    return false;
}

bool saveStoreFile(const std::string& path, RejectedStoreFile& rejected, size_t recordCount,
                   const std::function<std::vector<uint8_t>()>& encode, std::error_code& error) {
    error.clear();
    if (!rejected.clearForSave(error)) return false;
    if (recordCount > std::numeric_limits<uint32_t>::max()) {
        error = std::make_error_code(std::errc::value_too_large);
        return false;
    }
    return replaceFileFromTemp(path, encode(), error);
}

}  // namespace karst
