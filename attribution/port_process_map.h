// Which local program last owned each local TCP or UDP port.
//
// One map per Monitor. The port scanner stores labels, the processing thread
// looks them up; both hold the map's mutex (portMapMutex) for one access
// only. Entries are added or overwritten, never removed: a closed port keeps
// the label of its last owner. TCP and UDP share the map, keyed by port
// number alone.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

class PortProcessMap {
 public:
  PortProcessMap() : labels_(65536), present_(65536, false) {}

  // A copy of the label stored for `port`, if any.
  std::optional<std::string> Lookup(uint16_t port) const {
    std::lock_guard lock(portMapMutex_);
    if (!present_[port]) return std::nullopt;
    return labels_[port];
  }

  // Stores `label` for `port`, replacing an earlier one.
  void Store(uint16_t port, std::string label) {
    std::lock_guard lock(portMapMutex_);
    labels_[port] = std::move(label);
    present_[port] = true;
  }

 private:
  mutable std::mutex portMapMutex_;
  std::vector<std::string> labels_;  // GUARDED_BY(portMapMutex_), indexed by port
  std::vector<bool> present_;        // GUARDED_BY(portMapMutex_)
};

}  // namespace corvane
