// Whole-file writes that never leave a half-written file behind, and the
// directory listing the data files need.
//
// The one writer and the one reader of the program's files (set.dat,
// filters.dat, traffic logs, the autostart entry, /proc tables).
//
// Safe on any thread. Failures are values: a Status says what went wrong in
// one line (the path and the system's reason), never throws.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace corvane {

struct PublishOptions {
  // The new file is readable and writable by its owner only (0600);
  // otherwise it is 0644.
  bool ownerOnly = false;
  // Fail (Status::Exists()) instead of replacing an existing `path`.
  bool keepExisting = false;
  // A file that replaces another keeps the other's permissions.
  bool keepPermissions = false;
};

// Writes `content` into a new temporary file in the directory of `path`,
// flushes it to the disk, moves it to `path` in one step and flushes the
// directory, so that after a crash `path` holds either the old or the new
// content, and the new one once this returned. A full disk, a read-only
// directory or any other failure leaves `path` (and the directory) as it was.
Status PublishFile(const std::string& path, std::string_view content,
                   const PublishOptions& options = {});

// The whole content of a file, read into `content` (whose buffer is reused).
// Fails when it cannot be read or `path` is a symbolic link (never
// followed); Status::Missing() when it does not exist.
Status ReadFile(const std::string& path, std::string& content);

// Names (without directory) of the regular files of `directory` whose names
// end in `suffix`, sorted byte-wise; symbolic links are left out. Empty when
// the directory cannot be read.
std::vector<std::string> ListFilesEndingWith(const std::string& directory,
                                             std::string_view suffix);

// Moves the file `from` to `to` (also across file systems, by a copy that
// keeps `from` until the copy is complete). Status::Exists() when `to`
// exists; then nothing changes.
Status MoveFileWithoutReplacing(const std::string& from, const std::string& to);

// Removes a file.
Status RemoveFile(const std::string& path);

// Whether an existing file or folder may hold the user's data: it belongs
// to the user running the program and neither its group nor others may
// write to it. Judged by owner and mode bits, not by access(), which grants
// root everything. A symbolic link is judged by what it points to when
// `followLinks`, and refused otherwise. Status::Missing() when nothing is
// there; any other failure names the path, what is wrong and the fix.
Status CheckOwnPath(const std::string& path, bool followLinks);

// Ok when `path` is a folder this process may create files in; else why
// not ("FOLDER: No such file or directory", "... is not a folder",
// "... cannot be written: Permission denied").
Status CheckWritableFolder(const std::string& path);

}  // namespace corvane
