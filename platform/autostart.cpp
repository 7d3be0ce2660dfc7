#include "platform/autostart.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/data_folders.h"
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

Status EnableAutostart(const std::string& executablePath) {
  for (char c : executablePath) {
    if (static_cast<unsigned char>(c) < 0x20) {
      return Status::Failed("the program's path holds a control character", EINVAL);
    }
  }
  std::string path = AutostartEntryPath();
  if (path.empty()) return Status::Failed("the home directory is unknown", ENOENT);
  if (Status folder = MakePrivateFolder(path.substr(0, path.rfind('/'))); !folder) return folder;
  return PublishFile(path, AutostartEntryText(executablePath));
}

Status DisableAutostart() {
  std::string path = AutostartEntryPath();
  if (path.empty()) return Status::Failed("the home directory is unknown", ENOENT);
  Status removed = RemoveFile(path);
  // An entry that is not there is as good as removed.
  return removed.Missing() ? Status::Ok() : removed;
}

}  // namespace corvane
