// The one-time move of the data files that older builds kept beside the
// executable (set.dat, filters.dat, traffic logs) into the data folders.
//
// Called once at start-up, before anything reads the files, by the window
// and by corvane-cli. A file whose name is already taken in its new folder
// stays where it is, as does one that cannot be moved: nothing is replaced
// or lost. Failures are values for the caller to show.
#pragma once

#include <string>
#include <vector>

#include "platform/data_folders.h"

namespace corvane {

struct MigrationResult {
  std::vector<std::string> moved;     // new paths
  std::vector<std::string> kept;      // old paths left because the new name was taken
  std::vector<std::string> failures;  // one reason per file that could not be moved
  bool Empty() const { return moved.empty() && kept.empty() && failures.empty(); }
};

// Moves the data files of `oldDirectory` into `folders`. Does nothing when
// `oldDirectory` is one of the folders.
MigrationResult MigrateOldDataFiles(const std::string& oldDirectory, const DataFolders& folders);

// What the user is told, or "" when nothing was moved and nothing failed.
std::string MigrationMessage(const std::string& oldDirectory, const MigrationResult& result);

}  // namespace corvane
