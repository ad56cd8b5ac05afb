#include "net/files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace karst::net {

std::FILE* openFileForWriting(const std::filesystem::path& path) { return std::fopen(path.c_str(), "wb"); }

bool syncFileToDisk(std::FILE* file) {
    int result;
    do {
        result = ::fsync(::fileno(file));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

// rename(2) replaces the target atomically: readers see the old or the new file.
bool renameReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

// The rename lives in the directory; without this a crash could forget it even
// though the file's data reached the disk.
void syncDirectory(const std::filesystem::path& directory) {
    const std::filesystem::path target = directory.empty() ? std::filesystem::path(".") : directory;
    const int fd = ::open(target.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool readableByOthers(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

std::error_code lastFileError() { return std::error_code(errno, std::generic_category()); }

}  // namespace karst::net
