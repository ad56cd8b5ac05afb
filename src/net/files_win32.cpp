#include "net/files.h"

#include <io.h>

#include "net/win32_api.h"

namespace karst::net {

namespace {

// A reader that opened the target without delete sharing (a virus scanner, a
// backup, a tool polling the metrics) blocks the rename only while it holds the
// file, usually a few milliseconds; the wait stays short because it stalls the loop.
constexpr int kRenameAttempts = 5;
constexpr DWORD kRenameRetryDelayMs = 20;

bool renameBlockedByReader(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

}  // namespace

std::FILE* openFileForWriting(const std::filesystem::path& path) { return _wfopen(path.c_str(), L"wb"); }

bool syncFileToDisk(std::FILE* file) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return FlushFileBuffers(handle) != 0;
}

// Write-through makes the call return only once the new directory entry is on
// disk, which is what syncing the directory achieves on POSIX.
bool renameReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
            return true;
        if (attempt == kRenameAttempts || !renameBlockedByReader(GetLastError())) return false;
        Sleep(kRenameRetryDelayMs);
    }
}

void syncDirectory(const std::filesystem::path&) {}

bool readableByOthers(const std::filesystem::path&) { return false; }

std::error_code lastFileError() {
    return std::error_code(static_cast<int>(GetLastError()), std::system_category());
}

}  // namespace karst::net
