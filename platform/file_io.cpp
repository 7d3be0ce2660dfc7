#include "platform/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace corvane {

namespace {

bool WriteAll(int fd, std::string_view content, int& error) {
  const char* data = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

// Moves `from` to `to` unless `to` exists. EEXIST when it does.
int MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // The file system cannot rename without replacing: a hard link fails on an
  // existing name just as well.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return 0;
  }
  if (errno == EEXIST) return EEXIST;
  if (errno != EPERM && errno != EOPNOTSUPP) return errno;
  // Neither (vfat and the like): check, then rename. The gap between the two
  // is the best such a file system allows.
  struct stat existing;
  if (::lstat(to.c_str(), &existing) == 0) return EEXIST;
  if (::rename(from.c_str(), to.c_str()) != 0) return errno;
  return 0;
}

// "user NAME (uid N)", or "uid N" for an id without an account.
std::string UserName(uid_t uid) {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  const std::string id = "uid " + std::to_string(uid);
  if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return id;
  return "user " + std::string(found->pw_name) + " (" + id + ")";
}

}  // namespace

Status PublishFile(const std::string& path, std::string_view content,
                   const PublishOptions& options) {
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  // A hidden name that no "*.log" or "set.dat" lookup can mistake for the
  // real file.
  std::string temporary = directory + "." + base + ".part-XXXXXX";

  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);  // created 0600
  if (fd < 0) {
    const int code = errno;
    return Status::SystemFailure(
        "cannot create a file in " + (directory.empty() ? std::string(".") : directory), code);
  }
  int failure = 0;
  struct stat old;
  const bool keep = options.keepPermissions && ::stat(path.c_str(), &old) == 0;
  bool ok = keep ? ::fchmod(fd, old.st_mode & 07777) == 0
                 : options.ownerOnly || ::fchmod(fd, 0644) == 0;
  if (!ok) failure = errno;
  if (ok) ok = WriteAll(fd, content, failure);
  if (ok && ::fsync(fd) != 0) {
    // Some file systems cannot sync; only a failed write is a failure.
    if (errno != EINVAL && errno != EROFS) {
      failure = errno;
      ok = false;
    }
  }
  if (::close(fd) != 0 && ok) {
    failure = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return Status::SystemFailure("cannot write " + path, failure);
  }

  int moved = 0;
  if (options.keepExisting) {
    moved = MoveWithoutReplacing(temporary, path);
  } else if (::rename(temporary.c_str(), path.c_str()) != 0) {
    moved = errno;
  }
  if (moved != 0) {
    ::unlink(temporary.c_str());
    return Status::SystemFailure("cannot write " + path, moved);
  }
  // The rename reaches the disk with the directory. A directory that cannot
  // be synced leaves a complete file of either version, so it is no failure.
  const int folder = ::open(directory.empty() ? "." : directory.c_str(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    (void)::fsync(folder);
    ::close(folder);
  }
  return Status::Ok();
}

Status ReadFile(const std::string& path, std::string& content) {
  // A data file is never read through a symbolic link: a link named like a
  // log could point at a file the user should not see shown as one.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    const int code = errno;
    content.clear();
    return Status::SystemFailure("cannot open " + path, code);
  }
  // Read straight into the buffer, which keeps its size from the last read
  // (the port tables are read every second). /proc files report size 0.
  constexpr size_t kChunk = 64 * 1024;
  size_t used = 0;
  int code = 0;
  while (true) {
    if (content.size() - std::min(content.size(), used) < kChunk) {
      content.resize(used + std::max(kChunk, used));
    }
    const ssize_t n = ::read(fd, content.data() + used, content.size() - used);
    if (n > 0) {
      used += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) code = errno;  // EISDIR for a directory
    break;
  }
  ::close(fd);
  content.resize(code == 0 ? used : 0);
  if (code != 0) return Status::SystemFailure("cannot read " + path, code);
  return Status::Ok();
}

std::vector<std::string> ListFilesEndingWith(const std::string& directory,
                                             std::string_view suffix) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) {
    std::string_view name(entry->d_name);
    if (name.size() < suffix.size() || !name.ends_with(suffix)) continue;
    // Symbolic links are not listed: they are not files Corvane wrote.
    bool regular = entry->d_type == DT_REG;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat info;
      std::string full = directory + "/" + std::string(name);
      regular = ::lstat(full.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    }
    if (regular) names.emplace_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

Status MoveFileWithoutReplacing(const std::string& from, const std::string& to) {
  const int moved = MoveWithoutReplacing(from, to);
  if (moved == 0) return Status::Ok();
  if (moved != EXDEV) return Status::SystemFailure("cannot move " + from, moved);
  std::string content;
  if (Status read = ReadFile(from, content); !read) return read;
  struct stat info;
  PublishOptions options;
  options.keepExisting = true;
  options.ownerOnly = ::stat(from.c_str(), &info) != 0 || (info.st_mode & 0044) == 0;
  if (Status copied = PublishFile(to, content, options); !copied) return copied;
  // The copy is complete; a source that cannot be removed only stays behind.
  (void)RemoveFile(from);
  return Status::Ok();
}

Status RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) == 0) return Status::Ok();
  const int code = errno;
  return Status::SystemFailure("cannot remove " + path, code);
}

Status CheckOwnPath(const std::string& path, bool followLinks) {
  struct stat info;
  if ((followLinks ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info)) != 0) {
    const int code = errno;
    return Status::SystemFailure("cannot check " + path, code);
  }
  const bool folder = S_ISDIR(info.st_mode);
  if (S_ISLNK(info.st_mode)) {
    return Status::Failed(path + " is a symbolic link, which Corvane does not follow for its " +
                          "own files; remove it or use a folder of your own");
  }
  if (info.st_uid != ::geteuid()) {
    return Status::Failed(path + " belongs to " + UserName(info.st_uid) + ", not to you; use " +
                          (folder ? "a folder of your own" : "a file of your own, or remove it"));
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return Status::Failed(path + " is writable by " +
                          ((info.st_mode & S_IWOTH) != 0 ? "others" : "its group") +
                          "; run chmod go-w " + path);
  }
  return Status::Ok();
}

Status CheckWritableFolder(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return Status::SystemFailure(path, errno);
  if (!S_ISDIR(info.st_mode)) return Status::Failed(path + " is not a folder", ENOTDIR);
  if (access(path.c_str(), W_OK | X_OK) != 0) {
    return Status::SystemFailure(path + " cannot be written", errno);
  }
  return Status::Ok();
}

}  // namespace corvane
