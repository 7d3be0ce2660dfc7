// The directory of the running executable: where older builds kept their
// data files (see storage/data_migration.h). The data files themselves live
// in the folders of platform/data_folders.h.
#pragma once

#include <string>

namespace corvane {

// The directory of the running executable (from /proc/self/exe), without a
// trailing separator. Falls back to the current directory when the link
// cannot be read.
std::string AppDirectory();

// AppDirectory() + "/" + name.
std::string AppFilePath(const std::string& name);

}  // namespace corvane
