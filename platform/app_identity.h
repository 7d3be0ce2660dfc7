// The application a process belongs to, as the traffic list, history,
// metrics and the new-program notice group it. The pid changes with every
// start; the application does not, and neither does its key:
//
//   - a sandbox: "flatpak:ID", "snap:NAME" or "container:RUNTIME/ID", whose
//     executables say little (every Flatpak runs from /app);
//   - anything else: the executable's base name as the kernel reports it,
//     the resolved file ("python3.11" for a python3 link), which is what the
//     capture helper's events carry and what /proc/PID/exe resolves to.
//
// The key never holds the executable's directory, and a service or desktop
// application unit does not change it: a unit can be read only while its
// process lives, and a desktop scope also holds the programs the
// application starts, so either would make the key depend on when and
// whether /proc could be read. The unit is kept in AppIdentity for whoever
// wants to show it.
//
// What can still split one program in two, and why:
//   - a sandbox's process that ended before it was read, and no process of
//     the same name was read before in this run: its cgroup is gone, so it is
//     known by its executable's name;
//   - a process named by its /proc/PID/comm because its executable could
//     not be read when its row was made (in /proc mode, one that was
//     exiting): comm is the name it was started by (the link "python3", not
//     "python3.11") cut to 15 bytes. A cut name that begins exactly one
//     longer known name is taken as that one (ApplicationTraffic); a link's
//     name cannot be told from a program's and stays apart;
//   - a process whose name could not be read at all ("Process ID# N"): it
//     names no program;
//   - names longer than about 235 bytes, which the row's label cuts at a
//     length that depends on the pid's digits.
//
// Earlier versions keyed by the full executable path ("/usr/bin/curl");
// CurrentApplicationKey() turns such a stored key into today's.
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

  // ApplicationKey(name, unit).
  std::string Key() const;
  // Whether the process still runs the program a row's label names
  // (`labelName`, from the kernel or from /proc when the row was made), not
  // another one that got its pid: the executable's base name is the label's,
  // or, when the executable cannot be read, comm is the label's name cut to
  // kCommandNameBytes.
  bool Runs(std::string_view labelName) const;
};

// The length to which the kernel cuts a command name (TASK_COMM_LEN - 1).
inline constexpr size_t kCommandNameBytes = 15;

// The key of a program named `executableName` run by `unit`: the sandbox's
// key, else the name.
std::string ApplicationKey(std::string_view executableName, const CgroupUnit& unit);

// A key as stored by any version in today's form: a full executable path
// ("/usr/bin/curl", written by earlier versions) gives its base name; every
// other key is returned as it is.
std::string_view CurrentApplicationKey(std::string_view storedKey);

// The unit that owns a process, from the text of /proc/PID/cgroup. The
// unified hierarchy's line ("0::/...") is used, else the "name=systemd" one
// of cgroup v1; the deepest unit of the path decides.
CgroupUnit ParseCgroupUnit(std::string_view cgroupText);

// The executable of a running process (/proc/PID/exe, without " (deleted)");
// empty when it cannot be read (a kernel thread, another user's process).
std::string ReadExecutablePath(int pid, const std::string& procRoot);
// Its command name (/proc/PID/comm), which everyone may read; empty when the
// process is gone.
std::string ReadCommandName(int pid, const std::string& procRoot);

// Reads /proc/PID/exe, /proc/PID/comm and /proc/PID/cgroup under `procRoot`.
// nullopt when the process is gone or neither its executable nor its name
// can be read.
std::optional<AppIdentity> ReadAppIdentity(int pid, const std::string& procRoot);

}  // namespace corvane
