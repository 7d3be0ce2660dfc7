#include "platform/autostart.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/file_io.h"

namespace corvane {

namespace {

std::string ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  // Relative values are invalid and to be ignored.
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.config";
  if (passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr &&
                                              user->pw_dir[0] == '/') {
    return std::string(user->pw_dir) + "/.config";
  }
  return {};
}

// mkdir -p for the folders above the entry.
bool MakeDirectories(const std::string& path, std::string& error) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      error = "cannot create " + part + ": " + std::strerror(errno);
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

}  // namespace

std::string AutostartEntryPath() {
  std::string config = ConfigHome();
  if (config.empty()) return {};
  return config + "/autostart/" + kAutostartFileName;
}

bool IsAutostartEnabled() {
  std::string path = AutostartEntryPath();
  struct stat info;
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string AutostartEntryText(const std::string& executablePath) {
  // The Exec value: the path in double quotes with ", `, $ and \ escaped by
  // a backslash, then every backslash doubled again for the string value
  // itself; "%" is written "%%".
  std::string quoted = "\"";
  for (char c : executablePath) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string exec;
  for (char c : quoted) {
    if (c == '\\') {
      exec += "\\\\";
    } else if (c == '%') {
      exec += "%%";
    } else {
      exec += c;
    }
  }
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Corvane\n"
         "Comment=Network traffic monitor\n"
         "Exec=" + exec + "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

std::string EnableAutostart(const std::string& executablePath) {
  for (char c : executablePath) {
    if (static_cast<unsigned char>(c) < 0x20) return "the program's path holds a control character";
  }
  std::string path = AutostartEntryPath();
  if (path.empty()) return "the home directory is unknown";
  std::string error;
  if (!MakeDirectories(path.substr(0, path.rfind('/')), error)) return error;
  if (Status written = PublishFile(path, AutostartEntryText(executablePath)); !written) {
    return written.reason;
  }
  return {};
}

std::string DisableAutostart() {
  std::string path = AutostartEntryPath();
  if (path.empty()) return "the home directory is unknown";
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return "cannot remove " + path + ": " + std::strerror(errno);
  }
  return {};
}

}  // namespace corvane
