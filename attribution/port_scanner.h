// Process attribution: PortScanThread keeps a PortProcessMap up to date
// with the program that owns each local TCP and UDP endpoint.
//
// The Monitor owns one PortScanner and starts it last (StartAttribution),
// stops it first (StopAttribution). The thread does two things:
//
// - It answers exact requests at once: the capture thread's RequestExact()
//   for a new flow wakes it from its pause. For each requested flow it looks
//   the socket up over netlink (Env::FindSocket, microseconds), finds the process
//   holding that inode (ProcessTable::FindHolder: processes started since
//   the last pass first, stopping when found; a millisecond or so) and
//   hands the ProcessLabel to the map (StoreAnswer). A socket that is
//   already gone, one without a process (inode 0) or one whose holder
//   cannot be read gets no answer; its flow falls back to the protocol's
//   name.
// - Every kPassPauseMs, and while the capture helper reports kernel events
//   only once, it runs a pass: it reads the kernel's TCP and UDP
//   tables, finds the holder of every socket and replaces the map's labels
//   with the pass's (ReplaceFromPass), keyed by protocol, local address
//   and local port. A socket that is gone is forgotten, so a reused port
//   is named after its new program. A row without a process (inode 0, a
//   connection in TIME_WAIT) or whose owner cannot be read (another user's
//   process, without CAP_SYS_PTRACE / CAP_DAC_READ_SEARCH) is passed as
//   not owned: it never replaces the label known for its endpoint. Within a
//   pass a later row of one endpoint replaces an earlier one.
//
// Requests are served between passes, never during one. Start() and Stop()
// are for the Monitor's owner thread; Stop() wakes the thread through the
// map (Wake) and joins it at once. RunPass() and LookUpExact() work on the
// calling thread (tests, benchmarks) and never overlap with the thread's
// work.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "attribution/port_process_map.h"
#include "platform/env.h"
#include "platform/mutex.h"
#include "platform/proc_net.h"
#include "platform/process_table.h"
#include "platform/sock_diag.h"
#include "platform/status.h"

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
  size_t stored = 0;        // rows passed with their owner's label
  size_t leftAsIs = 0;      // rows whose owner could not be read
  size_t processes = 0;     // processes known after the pass
  size_t fdDirectoriesRead = 0;  // in this pass
};

class PortScanner {
 public:
  static constexpr int kPassPauseMs = 300;
  // With kernel events: how often the thread looks whether they still come.
  static constexpr int kKernelEventsCheckMs = 1000;

  // Reads the tables under env.ProcRoot() and starts its thread through
  // `env`, which must outlive the scanner.
  PortScanner(PortProcessMap& map, Env& env);
  ~PortScanner();
  PortScanner(const PortScanner&) = delete;
  PortScanner& operator=(const PortScanner&) = delete;

  // Fails with the reason ("cannot open /proc/net/tcp: Permission denied"),
  // leaving attribution off, when the port tables cannot be read at all;
  // else sets attributionActive and starts PortScanThread (if it is not
  // running yet).
  Status Start();

  // Told, on the scan thread, why scanning ended when a table could not be
  // read while it ran. Before Start().
  void SetStoppedHandler(std::function<void(const Status& reason)> handler) {
    stoppedHandler_ = std::move(handler);
  }

  // Clears attributionActive, wakes the thread from its pause and joins it.
  // Returns at once when the thread is between passes.
  void Stop();

  // One pass on the calling thread. Fails when a table cannot be read; the
  // map keeps what earlier passes stored.
  Status RunPass();

  // The label of the process holding the socket of `tuple`, looked up on
  // the calling thread as a request is; nullopt when there is none to give.
  std::optional<std::string> LookUpExact(const SocketTuple& tuple);

  // Waits until the thread has served `count` exact requests, answered or
  // not, since this scanner was made (tests). False on timeout.
  bool WaitForRequestsServed(uint64_t count, std::chrono::milliseconds timeout);

  // Joins a thread that ended by itself after a failed table read (tests).
  void WaitForThreadEnd();
  bool ThreadEnded() const { return threadEnded_.load(); }

  PortScanStats LastPassStats() const;

 private:
  void PortScanThread();
  void ServeRequests(const std::vector<SocketTuple>& requests);
  const std::string& LabelOf(int pid) REQUIRES(passMutex_);

  PortProcessMap& map_;
  Env& env_;
  std::thread thread_;
  std::function<void(const Status& reason)> stoppedHandler_;
  std::atomic<bool> threadEnded_{false};
  std::atomic<bool> stopRequested_{false};

  mutable Mutex servedMutex_;
  std::condition_variable_any servedChanged_;
  uint64_t requestsServed_ GUARDED_BY(servedMutex_) = 0;

  mutable Mutex passMutex_;  // one pass or lookup at a time
  PortTableReader reader_ GUARDED_BY(passMutex_);
  bool readerOpen_ GUARDED_BY(passMutex_) = false;
  ProcessTable processes_ GUARDED_BY(passMutex_);
  PortTables tables_ GUARDED_BY(passMutex_);
  std::vector<uint64_t> inodes_ GUARDED_BY(passMutex_);
  std::unordered_map<int, std::string> labels_ GUARDED_BY(passMutex_);  // this pass's
  std::vector<EndpointLabel> pass_ GUARDED_BY(passMutex_);
  PortScanStats stats_ GUARDED_BY(passMutex_);
};

}  // namespace corvane
