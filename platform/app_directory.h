// Where the program keeps its data files: the directory of its executable.
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
