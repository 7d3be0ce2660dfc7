#include "platform/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace corvane {

namespace {

std::string Reason(int error) { return std::strerror(error); }

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view bytes, int& error) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

ReadFileStatus ReadTextFile(const std::string& path, std::string& contents, std::string& error) {
  contents.clear();
  // Never through a symbolic link (ELOOP): see ReadWholeFile.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return ReadFileStatus::Missing;
    error = Reason(errno);
    return ReadFileStatus::Error;
  }
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = Reason(errno);  // EISDIR for a directory
      ::close(fd);
      contents.clear();
      return ReadFileStatus::Error;
    }
    contents.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return ReadFileStatus::Ok;
}

std::optional<std::string> ReplaceFileAtomically(const std::string& path,
                                                 std::string_view contents) {
  static std::atomic<unsigned> counter{0};
  struct stat old {};
  const bool hadOld = ::stat(path.c_str(), &old) == 0;
  if (hadOld && S_ISDIR(old.st_mode)) return Reason(EISDIR);

  // A unique name in the same directory, so the rename stays on one file
  // system; O_EXCL never reuses a leftover.
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return Reason(errno);
  }
  if (fd < 0) return Reason(EEXIST);

  int error = 0;
  bool ok = true;
  if (hadOld && ::fchmod(fd, old.st_mode & 07777) != 0) {
    ok = false;
    error = errno;
  }
  if (ok) ok = WriteAll(fd, contents, error);
  if (ok && ::fsync(fd) != 0) {
    ok = false;
    error = errno;
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return Reason(error);
  }
  // The rename itself reaches the disk with the directory; a failure here
  // leaves a complete file of either version, so it is not reported.
  int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return std::nullopt;
}

}  // namespace corvane
