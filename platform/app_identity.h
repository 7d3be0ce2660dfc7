// The application a process belongs to, as history and reports group it:
// its executable, and the unit that runs it when there is one (a system or
// user service, a desktop application scope, a Flatpak or snap sandbox, a
// container). The pid changes with every start; the application does not.
//
// ParseCgroupUnit is pure and takes the text of /proc/PID/cgroup; ReadAppIdentity
// reads one process and is meant to be called once per process by whoever
// keeps its result. Any thread. A process that vanished or cannot be read
// gives nullopt; a cgroup text of an unexpected shape gives no unit, never
// an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

enum class UnitKind : uint8_t {
  kNone,           // no unit, or only a login session
  kSystemService,  // a unit of the system manager ("nginx.service", "init.scope")
  kUserService,    // a service of a user's manager ("pipewire.service")
  kDesktopApp,     // a desktop application's scope or service ("org.gnome.Terminal")
  kFlatpak,        // a Flatpak application id ("org.mozilla.firefox")
  kSnap,           // a snap's name ("firefox")
  kContainer,      // a container's runtime and first 12 id characters ("docker/0123456789ab")
};

struct CgroupUnit {
  UnitKind kind = UnitKind::kNone;
  std::string name;
  bool operator==(const CgroupUnit&) const = default;
};

struct AppIdentity {
  std::string executablePath;  // /proc/PID/exe, without " (deleted)"; empty when unreadable
  std::string name;            // base name of the executable, else /proc/PID/comm
  CgroupUnit unit;

  // The text history groups by: "flatpak:ID", "snap:NAME" or
  // "container:RUNTIME/ID" for a sandbox, whose executable paths say little
  // (every Flatpak runs from /app), else the executable path, else the name.
  std::string Key() const;
};

// The unit that owns a process, from the text of /proc/PID/cgroup. The
// unified hierarchy's line ("0::/...") is used, else the "name=systemd" one
// of cgroup v1; the deepest unit of the path decides.
CgroupUnit ParseCgroupUnit(std::string_view cgroupText);

// The executable of a running process (/proc/PID/exe, without " (deleted)");
// empty when it cannot be read (a kernel thread, another user's process).
std::string ReadExecutablePath(int pid, const std::string& procRoot = "/proc");
// Its command name (/proc/PID/comm), which everyone may read; empty when the
// process is gone.
std::string ReadCommandName(int pid, const std::string& procRoot = "/proc");

// Reads /proc/PID/exe, /proc/PID/comm and /proc/PID/cgroup under `procRoot`.
// nullopt when the process is gone or neither its executable nor its name
// can be read.
std::optional<AppIdentity> ReadAppIdentity(int pid, const std::string& procRoot = "/proc");

}  // namespace corvane
