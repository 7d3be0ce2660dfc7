#include "platform/data_folders.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace corvane {

namespace {

// An XDG folder variable counts only when it holds an absolute path.
std::optional<std::string> XdgFolder(const EnvironmentLookup& environment, const char* name) {
  std::optional<std::string> value = environment(name);
  if (!value || value->empty() || value->front() != '/') return std::nullopt;
  return value;
}

std::string Home(const EnvironmentLookup& environment) {
  std::optional<std::string> home = environment("HOME");
  return home && !home->empty() ? *home : std::string(".");
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::optional<std::string> ProcessEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

DataFolders ResolveDataFolders(const std::optional<std::string>& dataDir,
                               const EnvironmentLookup& environment) {
  std::optional<std::string> single = dataDir;
  if (!single || single->empty()) single = environment(kDataDirVariable);
  if (single && !single->empty()) {
    std::string folder = WithoutTrailingSlashes(*single);
    return DataFolders{folder, folder, folder + "/history.sqlite"};
  }
  const std::string config =
      XdgFolder(environment, "XDG_CONFIG_HOME").value_or(Home(environment) + "/.config");
  const std::string state =
      XdgFolder(environment, "XDG_STATE_HOME").value_or(Home(environment) + "/.local/state");
  const std::string stateFolder = WithoutTrailingSlashes(state) + "/corvane";
  return DataFolders{WithoutTrailingSlashes(config) + "/corvane", stateFolder + "/logs",
                     stateFolder + "/history.sqlite"};
}

Status MakePrivateFolder(const std::string& path) {
  if (path.empty()) return Status::Ok();
  // Every prefix that ends before a "/", then the whole path.
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string prefix = end == std::string::npos ? path : path.substr(0, end);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      return Status::SystemFailure("cannot create " + prefix, errno);
    }
    if (end == std::string::npos) break;
  }
  struct stat info;
  const int failure = ::stat(path.c_str(), &info) != 0 ? errno
                      : S_ISDIR(info.st_mode)          ? 0
                                                       : ENOTDIR;
  if (failure != 0) {
    return Status::SystemFailure("cannot create " + path, failure);
  }
  return Status::Ok();
}

}  // namespace corvane
