#include "platform/app_directory.h"

#include <unistd.h>

#include <climits>

namespace corvane {

std::string AppDirectory() {
  char path[PATH_MAX + 1] = {};
  ssize_t n = ::readlink("/proc/self/exe", path, PATH_MAX);
  std::string full = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
  size_t slash = full.rfind('/');
  if (slash == std::string::npos) {
    char cwd[PATH_MAX + 1] = {};
    return ::getcwd(cwd, PATH_MAX) ? std::string(cwd) : std::string(".");
  }
  if (slash == 0) return "/";
  return full.substr(0, slash);
}

std::string AppFilePath(const std::string& name) {
  std::string dir = AppDirectory();
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace corvane
