// Where Corvane keeps its files: set.dat and filters.dat (and the window's
// layout) in the configuration folder, traffic logs in a folder of their
// own, the traffic history in one database. By default these follow the XDG
// base directories, $XDG_CONFIG_HOME/corvane, $XDG_STATE_HOME/corvane/logs
// and $XDG_STATE_HOME/corvane/history.sqlite; an explicit
// data folder (--data-dir, or CORVANE_DATA_DIR) holds everything in one
// place.
//
// Any thread; nothing here keeps state. Failures are values carrying the
// system's reason.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/status.h"

namespace corvane {

inline constexpr const char* kDataDirVariable = "CORVANE_DATA_DIR";

// The files of the configuration folder.
inline constexpr const char* kSettingsFileName = "set.dat";
inline constexpr const char* kFilterFileName = "filters.dat";

struct DataFolders {
  std::string config;  // set.dat, filters.dat, the window's layout
  std::string logs;    // traffic logs
  std::string history; // the history database file (history.sqlite)
  bool operator==(const DataFolders&) const = default;
};

// Reads an environment variable; nullopt when it is not set.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// The process's own environment.
std::optional<std::string> ProcessEnvironment(const char* name);

// The folders to use: `dataDir` when given, else CORVANE_DATA_DIR, else the
// XDG folders. An XDG variable that is empty or not an absolute path is
// ignored, as the XDG rules say; without HOME the folders fall back to
// the current directory's ".config" and ".local/state".
DataFolders ResolveDataFolders(const std::optional<std::string>& dataDir,
                               const EnvironmentLookup& environment = ProcessEnvironment);

// Creates `path` and any missing parents. Folders it creates are 0700 (the
// logs are the user's browsing history); existing ones keep their mode.
// Fails when a folder cannot be made or `path` is no folder.
Status MakePrivateFolder(const std::string& path);

}  // namespace corvane
