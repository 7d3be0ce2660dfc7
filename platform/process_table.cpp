#include "platform/process_table.h"

#include "platform/app_identity.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <functional>
#include <string_view>

namespace corvane {

namespace {

bool ParsePid(const char* name, int& pid) {
  const char* end = name;
  while (*end >= '0' && *end <= '9') ++end;
  if (end == name || *end != '\0') return false;
  auto [ptr, ec] = std::from_chars(name, end, pid);
  return ec == std::errc() && ptr == end && pid > 0;
}

// "socket:[12345]" -> 12345.
bool ParseSocketLink(std::string_view link, uint64_t& inode) {
  constexpr std::string_view kPrefix = "socket:[";
  if (link.size() < kPrefix.size() + 2 || link.substr(0, kPrefix.size()) != kPrefix ||
      link.back() != ']') {
    return false;
  }
  std::string_view digits = link.substr(kPrefix.size(), link.size() - kPrefix.size() - 1);
  auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), inode);
  return ec == std::errc() && ptr == digits.data() + digits.size();
}

bool Gone(int error) { return error == ENOENT || error == ESRCH; }

}  // namespace

ProcessTable::ProcessTable(std::string procRoot) : procRoot_(std::move(procRoot)) {}

bool ProcessTable::ListPids(std::vector<int>& pids) {
  pids.clear();
  DIR* dir = ::opendir(procRoot_.c_str());
  if (!dir) return false;
  while (const dirent* entry = ::readdir(dir)) {
    int pid;
    if (ParsePid(entry->d_name, pid)) pids.push_back(pid);
  }
  ::closedir(dir);
  return true;
}

void ProcessTable::ForgetSockets(int pid, const Process& process) {
  for (uint64_t inode : process.sockets) {
    auto it = owners_.find(inode);
    if (it != owners_.end() && it->second == pid) owners_.erase(it);
  }
}

void ProcessTable::ForgetProcess(int pid) {
  auto it = processes_.find(pid);
  if (it == processes_.end()) return;
  ForgetSockets(pid, it->second);
  processes_.erase(it);
}

bool ProcessTable::ScanProcess(int pid, Process& process) {
  ForgetSockets(pid, process);
  process.sockets.clear();
  process.scannedInPass = pass_;
  // What the process runs may have changed too (exec, or a recycled pid).
  process.name.reset();
  process.nameRead = false;

  const std::string path = procRoot_ + "/" + std::to_string(pid) + "/fd";
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (Gone(errno)) return false;
    // EACCES for another user's process: its sockets stay without owner.
    ++unreadableDirectories_;
    return true;
  }
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return true;
  }
  ++fdDirectoriesRead_;
  char link[64];
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    // Fds that close meanwhile fail with ENOENT; they are simply not there.
    const ssize_t n = ::readlinkat(::dirfd(dir), entry->d_name, link, sizeof link);
    uint64_t inode;
    if (n <= 0 || n == sizeof link) continue;
    if (!ParseSocketLink(std::string_view(link, static_cast<size_t>(n)), inode)) continue;
    process.sockets.push_back(inode);
    owners_.try_emplace(inode, pid);
  }
  ::closedir(dir);
  return true;
}

void ProcessTable::Refresh(std::span<const uint64_t> wanted) {
  ++pass_;
  if (ListPids(pids_)) {
    for (int pid : pids_) {
      auto [it, isNew] = processes_.try_emplace(pid);
      it->second.listedInPass = pass_;
      if (isNew && !ScanProcess(pid, it->second)) ForgetProcess(pid);
    }
    for (auto it = processes_.begin(); it != processes_.end();) {
      if (it->second.listedInPass == pass_) {
        ++it;
        continue;
      }
      ForgetSockets(it->first, it->second);
      it = processes_.erase(it);
    }
  }

  // An inode that no known process holds, and that was not already looked
  // for in vain last pass, makes every process read again once: one of them
  // opened a socket since it was read.
  bool lookAgain = false;
  for (uint64_t inode : wanted) {
    if (inode != 0 && !owners_.contains(inode) && !unresolved_.contains(inode)) {
      lookAgain = true;
      break;
    }
  }
  if (lookAgain) {
    for (auto it = processes_.begin(); it != processes_.end();) {
      if (it->second.scannedInPass != pass_ && !ScanProcess(it->first, it->second)) {
        ForgetSockets(it->first, it->second);
        it = processes_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Remembered so that an owner that cannot be read (another user's
  // process, a socket held by the kernel) costs no re-read every pass.
  unresolved_.clear();
  for (uint64_t inode : wanted) {
    if (inode != 0 && !owners_.contains(inode)) unresolved_.insert(inode);
  }
}

std::optional<int> ProcessTable::OwnerOf(uint64_t inode) const {
  auto it = owners_.find(inode);
  if (it == owners_.end()) return std::nullopt;
  return it->second;
}

std::optional<int> ProcessTable::FindHolder(uint64_t inode, uint32_t socketUid) {
  if (auto owner = OwnerOf(inode)) return owner;
  // Looked for in vain already (a kernel socket, say): each new flow of it
  // would otherwise read every process again.
  if (inode == 0 || unresolved_.contains(inode)) return std::nullopt;
  const uid_t self = ::geteuid();
  if (self != 0 && socketUid != self) return std::nullopt;
  if (!ListPids(pids_)) return std::nullopt;
  // Pids grow until they wrap: the newest processes are the likeliest to
  // have just started and opened a socket.
  std::sort(pids_.begin(), pids_.end(), std::greater<>());
  known_.clear();
  for (int pid : pids_) {
    auto [it, isNew] = processes_.try_emplace(pid);
    if (!isNew) {
      const std::vector<uint64_t>& sockets = it->second.sockets;
      const uint64_t newest = sockets.empty() ? 0 : *std::max_element(sockets.begin(), sockets.end());
      known_.emplace_back(newest, pid);
      continue;
    }
    it->second.listedInPass = pass_;
    if (!ScanProcess(pid, it->second)) {
      ForgetProcess(pid);
      continue;
    }
    if (auto owner = OwnerOf(inode)) return owner;
  }
  // Socket inodes are numbered in the order sockets are made: a process
  // that opened one lately is the likeliest to have opened this one too.
  std::sort(known_.begin(), known_.end(), std::greater<>());
  for (auto [newest, pid] : known_) {
    auto it = processes_.find(pid);
    if (!ScanProcess(pid, it->second)) {
      ForgetProcess(pid);
      continue;
    }
    if (auto owner = OwnerOf(inode)) return owner;
  }
  unresolved_.insert(inode);
  return std::nullopt;
}

const std::string* ProcessTable::NameOf(int pid) {
  auto it = processes_.find(pid);
  if (it == processes_.end()) return nullptr;
  Process& process = it->second;
  if (!process.nameRead) {
    process.nameRead = true;
    const std::string path = ReadExecutablePath(pid, procRoot_);
    if (std::string name = path.substr(path.rfind('/') + 1); !name.empty()) {
      process.name = std::move(name);
    } else if (std::string comm = ReadCommandName(pid, procRoot_); !comm.empty()) {
      // Kernel threads have no exe, and another user's exe needs
      // CAP_SYS_PTRACE; comm is readable by everyone.
      process.name = std::move(comm);
    }
  }
  return process.name ? &*process.name : nullptr;
}

}  // namespace corvane
