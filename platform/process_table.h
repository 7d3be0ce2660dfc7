// Which process holds each socket inode, and the program name of a process,
// from /proc/[pid]/fd, /proc/[pid]/exe and /proc/[pid]/comm.
//
// Reading every process's fd links is the expensive part of attribution, so
// the table is a cache kept between passes. A pass re-reads only what
// changed: processes that appeared are read, those that left are forgotten,
// and only a socket inode that no cached process holds makes the processes
// not yet read in this pass be read again. An unchanged pass therefore costs
// one listing of /proc plus a hash lookup per socket.
//
// A socket the capture has just seen, before any pass, is looked for alone
// with FindHolder(): processes not yet known, newest pids first, then known
// ones, those that opened a socket most lately first, stopping at the
// holder.
//
// Processes that vanish while being read (ENOENT, ESRCH) and fd directories
// that cannot be read (EACCES: another user's process without
// CAP_SYS_PTRACE / CAP_DAC_READ_SEARCH) are skipped; their sockets have no
// known owner. Not thread-safe: one thread (the port scanner) uses a table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace corvane {

class ProcessTable {
 public:
  // `procRoot`: "/proc" (Env::ProcRoot()), or a folder laid out like it.
  explicit ProcessTable(std::string procRoot);

  // Brings the cache up to date for one pass in which the tables hold the
  // socket inodes `wanted` (0 entries are ignored). Afterwards OwnerOf()
  // answers for every wanted inode whose holder could be read.
  void Refresh(std::span<const uint64_t> wanted);

  // The process that holds `inode`, when one could be read. When several
  // hold it (a socket inherited over fork), the first one found keeps it.
  std::optional<int> OwnerOf(uint64_t inode) const;

  // The holder of one socket that may have opened since the last
  // Refresh(): the cached owner, else the fd directories read until it is
  // found: processes not seen before first, newest pid first, then the
  // known ones, by their newest socket inode. `socketUid` is the socket's
  // owner: another user's processes cannot be read unless this process
  // runs as root, so then nothing is read. Nullopt when no readable
  // process holds it; that inode then counts as looked for in vain, as
  // after a Refresh(), and is not looked for again.
  std::optional<int> FindHolder(uint64_t inode, uint32_t socketUid);

  // The program name of `pid`: the base name of /proc/[pid]/exe (without
  // the " (deleted)" the kernel adds for a replaced file), else the content
  // of /proc/[pid]/comm. Read on first use after the process was (re)read,
  // then cached. Null when the process is not known or both reads fail.
  const std::string* NameOf(int pid);

  // Counters for tests and benchmarks.
  size_t processCount() const { return processes_.size(); }
  size_t fdDirectoriesRead() const { return fdDirectoriesRead_; }
  size_t unreadableDirectories() const { return unreadableDirectories_; }

 private:
  struct Process {
    std::vector<uint64_t> sockets;  // inodes found in the last read of fd/
    std::optional<std::string> name;
    bool nameRead = false;
    uint64_t scannedInPass = 0;  // pass number of the last read of fd/
    uint64_t listedInPass = 0;   // pass number of the last listing that showed it
  };

  // Lists the numeric entries of the proc root into `pids`.
  bool ListPids(std::vector<int>& pids);
  // Reads /proc/[pid]/fd. Returns false when the process is gone.
  bool ScanProcess(int pid, Process& process);
  void ForgetSockets(int pid, const Process& process);
  void ForgetProcess(int pid);

  std::string procRoot_;
  std::unordered_map<int, Process> processes_;
  std::unordered_map<uint64_t, int> owners_;   // socket inode -> pid
  std::unordered_set<uint64_t> unresolved_;    // looked for in vain since the last pass
  uint64_t pass_ = 0;
  std::vector<int> pids_;   // reused by ListPids
  std::vector<std::pair<uint64_t, int>> known_;  // reused by FindHolder: newest socket, pid
  size_t fdDirectoriesRead_ = 0;
  size_t unreadableDirectories_ = 0;
};

}  // namespace corvane
