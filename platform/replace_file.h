// Whole-file reads and crash-safe whole-file replacement for the program's
// small data files.
//
// Safe on any thread. Errors come back as the system's reason text; nothing
// throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

enum class ReadFileStatus { Ok, Missing, Error };

// Reads all of `path` into `contents`. Missing: no such file (or a path
// component is missing). Error: anything else, with the reason in `error`.
ReadFileStatus ReadTextFile(const std::string& path, std::string& contents, std::string& error);

// Replaces `path` with `contents`: writes a new file beside it, flushes it
// to the disk and renames it over the old one, so that readers and a crash
// see either the old or the new file, never a part. A new file gets the old
// one's permissions, or the default ones (umask) when there was none. On
// failure the old file is untouched, the temporary file removed, and the
// reason returned.
std::optional<std::string> ReplaceFileAtomically(const std::string& path,
                                                 std::string_view contents);

}  // namespace corvane
