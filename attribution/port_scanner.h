// Process attribution: PortScanThread keeps the Monitor's PortProcessMap
// up to date with the program that owns each local TCP and UDP port.
//
// The Monitor owns one PortScanner and starts it last (StartAttribution),
// stops it first (StopAttribution). A pass reads the kernel's TCP and UDP
// tables, finds the process that holds each socket and stores its
// ProcessLabel under the local port: TCP rows, then UDP rows, in table
// order, each under the map's mutex taken for that row alone. A later row
// replaces an earlier one, so a port in both tables ends a pass with its UDP
// owner. The map is never cleared: a closed port keeps its last label.
//
// A row whose socket has no process (inode 0, a connection in TIME_WAIT) is
// labelled as process 0. A row whose owner cannot be read (another user's
// process, without CAP_SYS_PTRACE / CAP_DAC_READ_SEARCH) leaves the map
// entry as it was rather than writing a wrong label.
//
// Start() and Stop() are for the Monitor's owner thread. RunPass() does one
// pass on the calling thread (tests, benchmarks); passes never overlap.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "attribution/port_process_map.h"
#include "platform/proc_net.h"
#include "platform/process_table.h"

namespace corvane {


// Labels are at most this many bytes.
inline constexpr size_t kMaxProcessLabel = 243;

// "%s:%d" with the program name and the process id. A name too long for
// kMaxProcessLabel is cut (at a character boundary), never the process id.
std::string ProcessLabel(std::string_view name, int pid);
// "Process ID# %d": a process whose name is not known.
std::string ProcessIdLabel(int pid);

// What the last pass did, for tests and benchmarks.
struct PortScanStats {
  size_t rows = 0;          // TCP and UDP rows read
  size_t stored = 0;        // labels stored
  size_t leftAsIs = 0;      // rows whose owner could not be read
  size_t processes = 0;     // processes known after the pass
  size_t fdDirectoriesRead = 0;  // in this pass
};

class PortScanner {
 public:
  static constexpr int kPassPauseMs = 300;

  // `procRoot` is "/proc", or a directory laid out like it in tests.
  explicit PortScanner(PortProcessMap& map, std::string procRoot = "/proc");
  ~PortScanner();
  PortScanner(const PortScanner&) = delete;
  PortScanner& operator=(const PortScanner&) = delete;

  // Returns -1, leaving attribution off, when the port tables cannot be read
  // at all; else sets attributionActive and starts PortScanThread (if it is
  // not running yet) and returns 0.
  int Start();

  // Clears attributionActive, wakes the thread from its pause and joins it.
  // Returns at once when the thread is between passes.
  void Stop();

  // One pass on the calling thread. Returns false when a table cannot be
  // read; the map keeps what earlier passes stored.
  bool RunPass();

  // Joins a thread that ended by itself after a failed table read (tests).
  void WaitForThreadEnd();
  bool ThreadEnded() const { return threadEnded_.load(); }

  PortScanStats LastPassStats() const;

 private:
  void PortScanThread();
  const std::string& LabelOf(int pid);

  PortProcessMap& map_;
  std::thread thread_;
  std::atomic<bool> threadEnded_{false};
  std::mutex wakeMutex_;
  std::condition_variable wake_;
  bool stopRequested_ = false;  // GUARDED_BY(wakeMutex_)

  mutable std::mutex passMutex_;  // one pass at a time
  PortTableReader reader_;        // GUARDED_BY(passMutex_)
  bool readerOpen_ = false;       // GUARDED_BY(passMutex_)
  ProcessTable processes_;        // GUARDED_BY(passMutex_)
  PortTables tables_;             // GUARDED_BY(passMutex_)
  std::vector<uint64_t> inodes_;  // GUARDED_BY(passMutex_)
  std::unordered_map<int, std::string> labels_;  // GUARDED_BY(passMutex_), this pass's
  std::vector<EndpointLabel> pass_;  // GUARDED_BY(passMutex_)
  PortScanStats stats_;           // GUARDED_BY(passMutex_)
};

}  // namespace corvane
