#include "platform/data_folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/file_io.h"

namespace corvane {

namespace {

// A folder variable (XDG's, TMPDIR) counts only when it holds an absolute
// path.
std::optional<std::string> AbsoluteFolder(const EnvironmentLookup& environment, const char* name) {
  std::optional<std::string> value = environment(name);
  if (!value || value->empty() || value->front() != '/') return std::nullopt;
  return value;
}

// HOME, else the account's home from the password database; empty when
// neither names an absolute path (never the current directory).
std::string Home(const EnvironmentLookup& environment) {
  std::optional<std::string> home = environment("HOME");
  if (home && !home->empty() && home->front() == '/') return *home;
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return std::string();
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Ok when `path` is missing or fit to hold the user's data.
Status CheckIfThere(const std::string& path, bool followLinks) {
  Status checked = CheckOwnPath(path, followLinks);
  return checked.Missing() ? Status::Ok() : checked;
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
  std::optional<std::string> config = AbsoluteFolder(environment, "XDG_CONFIG_HOME");
  std::optional<std::string> state = AbsoluteFolder(environment, "XDG_STATE_HOME");
  if (!config || !state) {
    const std::string home = WithoutTrailingSlashes(Home(environment));
    if (home.empty()) return DataFolders{};
    if (!config) config = home + "/.config";
    if (!state) state = home + "/.local/state";
  }
  const std::string stateFolder = WithoutTrailingSlashes(*state) + "/corvane";
  return DataFolders{WithoutTrailingSlashes(*config) + "/corvane", stateFolder + "/logs",
                     stateFolder + "/history.sqlite"};
}

Status CheckDataFolders(const DataFolders& folders) {
  if (folders.config.empty() || folders.logs.empty() || folders.history.empty()) {
    return Status::Failed(
        "no folder for Corvane's files: HOME is not set and the account has no home folder; "
        "set HOME or choose a folder of your own with --data-dir");
  }
  for (const std::string& folder :
       {folders.config, folders.logs, ParentOf(folders.history)}) {
    if (Status checked = CheckIfThere(folder, /*followLinks=*/true); !checked) return checked;
  }
  for (const std::string& file : {folders.config + "/" + kSettingsFileName,
                                  folders.config + "/" + kFilterFileName, folders.history}) {
    if (Status checked = CheckIfThere(file, /*followLinks=*/false); !checked) return checked;
  }
  return Status::Ok();
}

Status MakePrivateFolder(const std::string& path) {
  if (path.empty()) return Status::Ok();
  // Every prefix that ends before a "/", then the whole path.
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string prefix = end == std::string::npos ? path : path.substr(0, end);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      const int code = errno;
      return Status::SystemFailure("cannot create " + prefix, code);
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
  return CheckOwnPath(path, /*followLinks=*/true);
}

Status MakeInstanceFolder(std::string& folder, const EnvironmentLookup& environment) {
  std::vector<std::string> candidates;
  if (std::optional<std::string> runtime = AbsoluteFolder(environment, "XDG_RUNTIME_DIR");
      runtime && CheckOwnPath(*runtime, /*followLinks=*/true)) {
    candidates.push_back(WithoutTrailingSlashes(*runtime) + "/corvane");
  }
  std::optional<std::string> temporary = AbsoluteFolder(environment, "TMPDIR");
  candidates.push_back(WithoutTrailingSlashes(temporary.value_or("/tmp")) + "/corvane-" +
                       std::to_string(::geteuid()));
  Status failure;
  for (const std::string& candidate : candidates) {
    if (::mkdir(candidate.c_str(), 0700) != 0 && errno != EEXIST) {
      const int code = errno;
      failure = Status::SystemFailure("cannot create " + candidate, code);
      continue;
    }
    failure = CheckOwnPath(candidate, /*followLinks=*/false);
    struct stat info;
    if (failure && (::lstat(candidate.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
      failure = Status::Failed(candidate + " is no folder; remove it");
    }
    if (failure) {
      folder = candidate;
      return failure;
    }
  }
  return failure;
}

}  // namespace corvane
