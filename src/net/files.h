// The file calls that differ between operating systems, for the safe
// replacement of the server's files (store/file_replace.cpp): opening a path
// for writing, syncing a file's data, renaming over an existing file, syncing a
// directory entry. One implementation per platform: files_posix.cpp or
// files_win32.cpp, chosen by CMake like the socket layer.
#pragma once

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace karst::net {

std::FILE* openFileForWriting(const std::filesystem::path& path);
// Flushed data reaches the disk, not only the system's cache.
bool syncFileToDisk(std::FILE* file);
// Replaces `to` in one step, so a reader sees the old file or the new one.
bool renameReplacing(const std::filesystem::path& from, const std::filesystem::path& to);
// Makes a rename in `directory` durable where the system needs it.
void syncDirectory(const std::filesystem::path& directory);
// The file grants reading to its group or to everyone (a secret kept in it
// is then not the owner's alone). False where the system has no such bits or
// the file cannot be examined: Windows keeps this in access lists instead.
bool readableByOthers(const std::filesystem::path& path);
// Why the last of the calls above failed.
std::error_code lastFileError();

}  // namespace karst::net
