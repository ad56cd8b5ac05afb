// Safe replacement of the files the server writes (the stores and the metrics
// document), and the setting aside of store files that failed to load.
//
// A file is never rewritten in place: the new content goes to "<path>.tmp" next to
// the target and is renamed over it in one step, so a crash at any moment leaves
// either the complete old file or the complete new one. All files are binary.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace karst {

inline constexpr std::string_view kTempFileSuffix = ".tmp";
inline constexpr std::string_view kRejectedFileInfix = ".rejected-";

// Creates every missing directory of the path's parent; nothing when the path has
// no parent component. Returns false and sets `error` on failure.
bool ensureParentDirectories(const std::string& path, std::error_code& error);

// How far a replacement goes before it counts as done. A store holds confirmed
// changes, so it waits for the disk; a metrics file only needs its readers never
// to see half of it, and waiting for a slow disk every few seconds would stall
// every player for nothing.
enum class FileSync { ToDisk, RenameOnly };

// Writes `content` to "<path>.tmp", syncs it to disk (unless told RenameOnly)
// and renames it over `path`. True exactly when the rename succeeded. On any
// failure the target keeps its previous content and no temporary file of ours
// remains (an entry already blocking the temporary name is not ours and is left
// alone).
bool replaceFileFromTemp(const std::string& path, std::span<const uint8_t> content);
// The same, and on failure `error` says why, in the system's words (for example
// "No space left on device"), so the operator can be told.
bool replaceFileFromTemp(const std::string& path, std::span<const uint8_t> content,
                         std::error_code& error, FileSync sync = FileSync::ToDisk);

// A text document (the metrics files) through replaceFileFromTemp, renamed into
// place without waiting for the disk: an empty path writes nothing and
// succeeds; a parent directory that cannot be created fails before anything is
// written.
bool replaceTextFile(const std::string& path, std::string_view text, std::error_code& error);

// Renames a store file that failed to load to "<name>.rejected-YYYYMMDDTHHMMSSZ"
// (UTC, from the wall clock) in the same directory, adding "-2", "-3"... when that
// name is taken. Returns the new path, or nothing if the file could not be moved.
std::optional<std::string> keepRejectedFileAside(const std::string& path);

// "YYYYMMDDTHHMMSSZ" for a wall-clock time in seconds since 1970, in UTC.
std::string formatUtcStamp(uint64_t secondsSince1970);

}  // namespace karst
