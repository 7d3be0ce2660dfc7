// The desktop's application entries (.desktop files), read for the icon of
// a program: which entry's executable, StartupWMClass, Flatpak application
// id or snap name matches a program's name, and the Icon it names.
//
// The files come from other packages and may be anything: a file larger
// than kMaxDesktopFileBytes is not read, lines longer than kMaxLineBytes and
// lines of no "key=value" shape are ignored, only the [Desktop Entry] group
// is read, and an entry that is hidden or not an application gives nothing.
// At most kMaxDesktopFiles files are read in all.
//
// No Qt. ParseDesktopEntry is pure; LoadDesktopIcons reads the folders and
// is meant for a worker thread. Unreadable folders and files are skipped.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace corvane {

inline constexpr size_t kMaxDesktopFileBytes = 256 * 1024;
inline constexpr size_t kMaxLineBytes = 4096;
inline constexpr size_t kMaxDesktopFiles = 20000;

struct DesktopEntry {
  std::string icon;            // a theme icon name or an absolute path
  std::string executable;      // base name of Exec's program ("env" and assignments skipped)
  std::string startupWmClass;  // StartupWMClass
  std::string flatpakId;       // X-Flatpak
  std::string snapName;        // X-SnapInstanceName
};

// The entry of `text`; nullopt when it has no icon, is hidden or no
// application.
std::optional<DesktopEntry> ParseDesktopEntry(std::string_view text);

// Icons by program name, lower case.
class DesktopIcons {
 public:
  // The names an entry answers to: its executable, its StartupWMClass, its
  // Flatpak id ("flatpak:ID" and ID's last part), its snap name. An earlier
  // entry keeps a name.
  void Add(const DesktopEntry& entry);
  // The icon of program `name` (a row's program or an application key);
  // empty when no entry matches.
  std::string IconOf(std::string_view name) const;
  size_t size() const { return icons_.size(); }

 private:
  void Name(std::string_view name, const std::string& icon);
  std::unordered_map<std::string, std::string> icons_;
};

// The "applications" folders where the desktop looks for entries, first
// wins: $XDG_DATA_HOME (default ~/.local/share), each of $XDG_DATA_DIRS
// (default /usr/local/share:/usr/share), the Flatpak exports of the user and
// of the system, and the snaps' folder. `environment` reads a variable
// (empty when unset).
std::vector<std::string> DesktopEntryFolders(
    const std::function<std::string(const char*)>& environment);

// Reads every *.desktop file of `folders` (not descending); gives up with
// what it has when `stopped` (checked between files) says so.
DesktopIcons LoadDesktopIcons(const std::vector<std::string>& folders,
                              const std::function<bool()>& stopped = {});

}  // namespace corvane
