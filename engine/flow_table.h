// The flows and the byte counters of the monitor.
//
// FlowTable holds the address flows (one record per remote address, created
// and counted by the capture thread) and the proxy flows (one record per web
// host and local source, kept by the processing thread). It has its own
// mutex, the innermost lock of the program: it is held only for one lookup,
// one add, one read of a record or one clear, never while another lock is
// taken. Byte counts are unsigned 32-bit and wrap around.
//
// TrafficCounters are 64-bit atomics: the capture thread adds, the window's
// one-second tick takes the tick counts with one exchange each, so no byte is
// lost between the two.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/flat_hash.h"

namespace corvane {

inline constexpr int kDirectionUpload = 1;
inline constexpr int kDirectionDownload = 2;

struct FlowRecord {
  uint32_t key = 0;  // address flow: remote address; proxy flow: local port
  std::string remoteHost;   // proxy flows only
  std::string localSource;  // proxy flows only
  uint32_t uploadBytes = 0;
  uint32_t downloadBytes = 0;
};

// A copy of an address flow's counts.
struct FlowCounts {
  uint32_t uploadBytes = 0;
  uint32_t downloadBytes = 0;
};

class FlowTable {
 public:
  // Adds `length` to the address flow of `remoteAddress` in `direction`,
  // creating the flow when it is new.
  void AddToAddressFlow(uint32_t remoteAddress, int direction, uint32_t length);

  // The counts of the address flow, or nullopt when it does not exist (for
  // instance because it was cleared after its event was queued).
  std::optional<FlowCounts> LookupAddressFlow(uint32_t remoteAddress) const;

  // Adds to the first proxy flow with this host and local source, or appends
  // a new one at zero (the first event of a proxy flow is not counted).
  // Returns the flow's counts after the change and whether it was found.
  FlowCounts AddToProxyFlow(uint16_t localPort, const std::string& host,
                            const std::string& localSource, int direction, uint32_t length,
                            bool& found);

  // The counts of the first proxy flow with this host and local source, or
  // nullopt when there is none (for instance because it was cleared).
  std::optional<FlowCounts> LookupProxyFlow(const std::string& host,
                                            const std::string& localSource) const;

  // Empties both collections.
  void Clear();

  // Copies for reports: address flows in no particular order, proxy flows
  // in creation order.
  std::vector<FlowRecord> AddressFlows() const;
  std::vector<FlowRecord> ProxyFlows() const;
  size_t AddressFlowCount() const;

 private:
  struct ProxyKey {
    std::string host;
    std::string localSource;
    bool operator==(const ProxyKey&) const = default;
  };
  struct ProxyKeyHash {
    size_t operator()(const ProxyKey& key) const;
  };

  mutable std::mutex mutex_;
  FlatMap32<FlowCounts> addressFlows_;  // GUARDED_BY(mutex_)
  std::vector<FlowRecord> proxyFlows_;                     // GUARDED_BY(mutex_)
  // Index of the first proxy flow of each (host, local source).
  std::unordered_map<ProxyKey, size_t, ProxyKeyHash> proxyIndex_;  // GUARDED_BY(mutex_)
};

struct TrafficCounters {
  std::atomic<uint64_t> tickDownloadBytes{0};
  std::atomic<uint64_t> tickUploadBytes{0};
  std::atomic<uint64_t> totalDownloadBytes{0};
  std::atomic<uint64_t> totalUploadBytes{0};

  void AddTick(int direction, uint32_t length) {
    (direction == kDirectionUpload ? tickUploadBytes : tickDownloadBytes)
        .fetch_add(length, std::memory_order_relaxed);
  }

  // The one-second tick: moves the tick counts into the totals. Returns the
  // bytes of this tick (download, upload).
  std::pair<uint64_t, uint64_t> Tick() {
    uint64_t down = tickDownloadBytes.exchange(0, std::memory_order_relaxed);
    uint64_t up = tickUploadBytes.exchange(0, std::memory_order_relaxed);
    totalDownloadBytes.fetch_add(down, std::memory_order_relaxed);
    totalUploadBytes.fetch_add(up, std::memory_order_relaxed);
    return {down, up};
  }

  void ClearTotals() {
    totalDownloadBytes.store(0, std::memory_order_relaxed);
    totalUploadBytes.store(0, std::memory_order_relaxed);
  }
};

}  // namespace corvane
