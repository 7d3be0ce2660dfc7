// Traffic by application: turns the running byte counts of the address
// flows into bytes per application, for the traffic history, the metrics of
// corvane-cli and the notice of a program that reaches the network for the
// first time.
//
// A row's "Local source" is "name:pid", which changes with every start; its
// name is the executable's base name as the kernel or /proc/PID/exe gave it
// when the row was made, and the application is that name (or its sandbox):
// one key per program however long its processes lived and whoever ran them
// (see platform/app_identity.h). The process is read once per label, possibly
// seconds after it ended, only for the sandbox that runs it; a pid that runs
// another program by then is not taken for it. A process read too late is
// put under the sandbox an earlier process of the same name was in. A name of
// exactly 15 bytes that begins exactly one longer program name known (from
// the history or this run) is taken as that program: it is a command name
// that the kernel cut. Protocol labels ("TCP protocol", ...) are
// applications of their own.
//
// Count() runs on the processing thread under the list's lock, with what
// the flow table says each flow counted since its last news (the table keeps
// what it handed on, also across a clear); Totals() from any thread. The recorder,
// when set, is used only by Count() and by the thread that runs Count(),
// which also flushes it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/flat_hash.h"
#include "engine/flow_table.h"
#include "platform/app_identity.h"
#include "platform/ip_address.h"
#include "platform/mutex.h"
#include "storage/history_recorder.h"

namespace corvane {

// The bytes one application exchanged over one address family since the
// monitor started (Save & Clear does not reset them).
struct ApplicationBytes {
  std::string app;   // AppIdentity::Key(), or the protocol's label
  std::string name;  // the executable's name, or the label
  int family = 4;    // 4 or 6
  uint64_t sentBytes = 0;
  uint64_t receivedBytes = 0;
  bool operator==(const ApplicationBytes&) const = default;
};

class ApplicationTraffic {
 public:
  // Reads the application of a running process; nullopt when it is gone.
  using IdentityReader = std::function<std::optional<AppIdentity>(int pid)>;
  // A program seen on the network for the first time: its application key
  // and name. Called on the processing thread, under the list's lock: the
  // handler only hands the news on.
  using NewApplicationHandler = std::function<void(const std::string& app, const std::string& name)>;

  explicit ApplicationTraffic(IdentityReader reader);

  // Where Count() writes bytes per minute; nullptr for none. `recorder`
  // must outlive its use.
  void SetRecorder(HistoryRecorder* recorder) { recorder_ = recorder; }
  // `known` are the applications seen before (the history's); every other
  // program that sends or receives a byte is announced once (protocols'
  // labels are not programs).
  void SetNewApplicationHandler(NewApplicationHandler handler, std::set<std::string> known);

  // The address flow (remote, label) received `receivedBytes` and sent
  // `sentBytes` more (FlowTable::TakeAddressFlowNews), the last of them at
  // `time`; `remoteHost` names the remote address when known (empty
  // otherwise).
  void Count(int64_t time, const IpAddress& remote, uint32_t labelId, const std::string& label,
             uint64_t receivedBytes, uint64_t sentBytes, std::string_view remoteHost);

  std::vector<ApplicationBytes> Totals() const;

 private:
  struct Application {
    std::string key;
    std::string name;
    std::array<size_t, 2>* totals = nullptr;  // its entries in totals_, IPv4 and IPv6
  };
  static constexpr size_t kNoTotals = SIZE_MAX;
  Application& ApplicationOf(uint32_t labelId, const std::string& label);
  // `name` itself, or the one longer known program name it is the cut
  // command name of.
  std::string WholeName(const std::string& name) const;

  IdentityReader reader_;
  HistoryRecorder* recorder_ = nullptr;
  NewApplicationHandler onNewApplication_;
  std::set<std::string> known_;  // announced or in the history
  std::set<std::string> programs_;  // names seen and keys in the history, for WholeName()
  std::unordered_map<uint32_t, Application> applications_;  // by label id
  std::unordered_map<std::string, std::string> keyOfName_;  // executable name -> last key read
  // An application's entries in totals_ by its key, shared by its labels.
  std::unordered_map<std::string, std::array<size_t, 2>> totalsOfKey_;

  mutable Mutex totalsMutex_;
  std::vector<ApplicationBytes> totals_ GUARDED_BY(totalsMutex_);
};

}  // namespace corvane
