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
// ignored, as the XDG rules say; so is such a HOME, which then comes from
// the password database. With no home at all the folders are empty, which
// CheckDataFolders() refuses.
DataFolders ResolveDataFolders(const std::optional<std::string>& dataDir,
                               const EnvironmentLookup& environment = ProcessEnvironment);

// Whether the folders and the data files already in them may be used:
// each that exists belongs to the user and is writable by no one else
// (see CheckOwnPath()), and the data files are no symbolic links. The
// failure names the folder or file and the fix; then nothing may be read
// from the folders or written to them.
Status CheckDataFolders(const DataFolders& folders);

// Creates `path` and any missing parents. Folders it creates are 0700 (the
// logs are the user's browsing history); existing ones keep their mode.
// Fails when a folder cannot be made, `path` is no folder, or it is not
// the user's own (see CheckOwnPath()).
Status MakePrivateFolder(const std::string& path);

// The private folder of the window's lock and socket, into `folder`:
// $XDG_RUNTIME_DIR/corvane when the runtime folder is the user's own, else
// corvane-UID in the temporary folder ($TMPDIR or /tmp). Made 0700; one
// already there must be the user's own folder, writable by no one else and
// no link, so that no other user can hold the lock or answer on the socket.
// Fails with the reason when neither can be used.
Status MakeInstanceFolder(std::string& folder,
                          const EnvironmentLookup& environment = ProcessEnvironment);

}  // namespace corvane
