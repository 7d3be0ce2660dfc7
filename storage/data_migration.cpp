#include "storage/data_migration.h"

#include <sys/stat.h>

#include "platform/file_io.h"
#include "storage/settings.h"
#include "storage/traffic_log.h"

namespace corvane {

namespace {

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool SameFolder(const std::string& a, const std::string& b) {
  struct stat first, second;
  if (::stat(a.c_str(), &first) != 0 || ::stat(b.c_str(), &second) != 0) return a == b;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

void MoveOne(const std::string& from, const std::string& to, MigrationResult& result) {
  const Status moved = MoveFileWithoutReplacing(from, to);
  if (moved) {
    result.moved.push_back(to);
  } else if (moved.Exists()) {
    result.kept.push_back(from);
  } else {
    result.failures.push_back(moved.reason);
  }
}

}  // namespace

MigrationResult MigrateOldDataFiles(const std::string& oldDirectory, const DataFolders& folders) {
  MigrationResult result;
  if (SameFolder(oldDirectory, folders.config) || SameFolder(oldDirectory, folders.logs)) {
    return result;
  }
  for (const char* name : {kSettingsFileName, kFilterFileName}) {
    const std::string from = oldDirectory + "/" + name;
    if (IsRegularFile(from)) MoveOne(from, folders.config + "/" + name, result);
  }
  for (const std::string& name : ListFilesEndingWith(oldDirectory, kLogSuffix)) {
    if (IsTrafficLogName(name)) MoveOne(oldDirectory + "/" + name, folders.logs + "/" + name, result);
  }
  return result;
}

std::string MigrationMessage(const std::string& oldDirectory, const MigrationResult& result) {
  if (result.moved.empty() && result.failures.empty()) return "";
  std::string text;
  if (!result.moved.empty()) {
    text = "Corvane now keeps its files in its own folders. Moved from " + oldDirectory + ":\n";
    for (const std::string& path : result.moved) text += "  " + path + "\n";
  }
  if (!result.kept.empty()) {
    text += "Left in " + oldDirectory + " (the new folder already has a file of that name):\n";
    for (const std::string& path : result.kept) text += "  " + path + "\n";
  }
  if (!result.failures.empty()) {
    text += "Could not be moved (left where they are):\n";
    for (const std::string& reason : result.failures) text += "  " + reason + "\n";
  }
  return text;
}

}  // namespace corvane
