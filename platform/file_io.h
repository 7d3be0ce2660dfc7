// Whole-file writes that never leave a half-written file behind, and the
// directory listing the data files need.
//
// Safe on any thread. Failures are values: the functions say what went wrong
// in one line (the system's reason), never throw.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvane {

enum class PublishResult {
  Written,  // `path` now holds `content`
  Taken,    // keepExisting was set and `path` already existed; nothing changed
  Failed,   // nothing changed; `error` says why
};

struct PublishOptions {
  // The new file is readable and writable by its owner only (0600);
  // otherwise it is 0644.
  bool ownerOnly = false;
  // Fail with Taken instead of replacing an existing `path`.
  bool keepExisting = false;
};

// Writes `content` into a new temporary file in the directory of `path`,
// flushes it to the disk and moves it to `path` in one step. A full disk, a
// read-only directory or any other failure leaves `path` (and the directory)
// as it was.
PublishResult PublishFile(const std::string& path, std::string_view content,
                          const PublishOptions& options, std::string& error);

// The whole content of a file. False (and `error`) when it cannot be read or
// `path` is a symbolic link (never followed).
bool ReadWholeFile(const std::string& path, std::string& content, std::string& error);

// Names (without directory) of the regular files of `directory` whose names
// end in `suffix`, sorted byte-wise; symbolic links are left out. Empty when the directory cannot be read.
std::vector<std::string> ListFilesEndingWith(const std::string& directory,
                                             std::string_view suffix);

// Moves the file `from` to `to` (also across file systems, by a copy that
// keeps `from` until the copy is complete). Taken when `to` exists; then
// nothing changes.
PublishResult MoveFileWithoutReplacing(const std::string& from, const std::string& to,
                                       std::string& error);

// Removes a file. False (and `error`) when it could not be removed.
bool RemoveFile(const std::string& path, std::string& error);

}  // namespace corvane
