// The flows and the byte counters of the monitor.
//
// An address flow is what one row shows: the bytes exchanged with one remote
// address by one local source (the label id of the program, or of the
// protocol). The capture thread creates and counts them. A socket whose
// program is not known yet when its first datagram is accounted counts into
// a pending socket flow; the processing thread decides its label and moves
// its bytes into the address flow of that label, and later datagrams of the
// socket go there directly. Proxy flows (one per web host and local source)
// are kept by the processing thread. Counts are 64-bit.
//
// The table is the one ledger of the bytes: the totals are the sum of its
// flows, kept as they are added, and a clear takes from each flow exactly
// what its row showed, so bytes counted after the rows were read stay for
// the next rows.
//
// The table has its own mutex, the innermost lock of the program but for the
// label table's: held only for one lookup, one add, one move or one clear,
// or for the look-ups of one chunk of a pass (a few hundred flows).
//
// TrafficCounters are the speed of the last tick, 64-bit atomics: the
// capture thread adds, the window's one-second tick takes the counts with one
// exchange each, so no byte is lost between the two. They feed the graph and
// the speeds, never a total.
#pragma once

#include <atomic>
#include <functional>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "attribution/port_process_map.h"
#include "engine/flat_hash.h"
#include "engine/source_labels.h"
#include "platform/mutex.h"
#include "vocabulary/direction.h"

namespace corvane {

struct FlowCounts {
  uint64_t uploadBytes = 0;
  uint64_t downloadBytes = 0;

  void Add(int direction, uint64_t length) {
    (direction == kDirectionUpload ? uploadBytes : downloadBytes) += length;
  }
  void Add(const FlowCounts& other) {
    uploadBytes += other.uploadBytes;
    downloadBytes += other.downloadBytes;
  }
};

// The key of an address flow, and of its row: remote address and label id.
inline FlowKey AddressFlowKey(const IpAddress& remoteAddress, uint32_t labelId) {
  return FlowKey::Of(remoteAddress, labelId);
}
// The key of a socket as the capture sees it: remote address, transport
// protocol and local port.
inline FlowKey SocketKeyOf(const IpAddress& remoteAddress, uint16_t protocol, uint16_t localPort) {
  return FlowKey::Of(remoteAddress,
                     uint64_t{static_cast<uint8_t>(protocol)} << 16 | localPort);
}

// One remote address's bytes over all of its flows (reports).
struct AddressTotal {
  IpAddress remoteAddress;
  FlowCounts counts;
};

// A copy of a proxy flow (reports), in creation order.
struct ProxyFlowRecord {
  std::string remoteHost;
  uint32_t labelId = 0;
  FlowCounts counts;
};

class FlowTable {
 public:
  // Capture thread: adds `length` to the address flow (remote, label),
  // creating it when it is new.
  void AddToAddressFlow(const IpAddress& remoteAddress, uint32_t labelId, int direction, uint64_t length);

  // Capture thread: a datagram of a socket whose label is undecided. Adds to
  // the socket's pending flow (created with `tuple` when new) and returns
  // kUndecidedLabel; once the processing thread has decided the socket's
  // label, adds to that label's address flow instead and returns the label.
  uint32_t AddToPendingSocket(const SocketTuple& tuple, int direction, uint64_t length);

  // Processing thread: the tuple of a pending socket and the label it was
  // given (kUndecidedLabel while none); nullopt when there is no such socket
  // (it was cleared).
  std::optional<std::pair<SocketTuple, uint32_t>> LookupPendingSocket(const FlowKey& socketKey) const;

  // Processing thread: gives a pending socket its label and moves the bytes
  // it holds into the address flow (remote, label). A socket decided before
  // keeps its label. Returns the socket's label, or kUndecidedLabel when the
  // socket is gone.
  uint32_t DecidePendingSocket(const FlowKey& socketKey, uint32_t labelId);

  // The counts of the address flow (remote, label), or nullopt when it does
  // not exist (for instance because it was cleared after its event was
  // queued).
  std::optional<FlowCounts> LookupAddressFlow(const IpAddress& remoteAddress, uint32_t labelId) const;

  // Processing thread: for each address flow of `flows` (AddressFlowKey),
  // in one hold of the table, its counts and what it counted since the last
  // call for it, which the application totals take; nullopt for a flow that
  // does not exist. `news[i]` is that of `flows[i]`; `news` is as long as
  // `flows`.
  struct FlowNews {
    FlowCounts counts;
    FlowCounts news;
  };
  void TakeAddressFlowNews(std::span<const FlowKey> flows, std::span<std::optional<FlowNews>> news);

  // All bytes exchanged with `remoteAddress`, pending sockets included, or
  // nullopt when there are none. Walks the table: for reports and tests.
  std::optional<FlowCounts> LookupAddressTotal(const IpAddress& remoteAddress) const;

  // Processing thread: adds to the proxy flow of this host and label, or
  // creates it at zero (the first event of a proxy flow is not counted).
  // Returns the flow's counts after the change and whether it was found.
  FlowCounts AddToProxyFlow(const std::string& host, uint32_t labelId, int direction,
                            uint64_t length, bool& found);

  // The counts of the proxy flow of this host and label, or nullopt when
  // there is none (for instance because it was cleared).
  std::optional<FlowCounts> LookupProxyFlow(const std::string& host, uint32_t labelId) const;

  // Capture thread: the owner of an unconnected socket (protocol, local
  // port) is known: every undecided pending socket of that port, whatever
  // its remote end, gets `labelId` as DecidePendingSocket does.
  void DecidePendingSocketsOfPort(uint16_t protocol, uint16_t localPort, uint32_t labelId);

  // Every byte counted since the start or the last clear (download, upload),
  // hidden flows and undecided sockets included.
  FlowCounts Totals() const;

  // Empties everything.
  void Clear();

  // Save & Clear: each address flow gives up the counts `shown` says its row
  // showed (they are in a log now) and keeps what it counted since, as news
  // for the application totals as far as they had not taken it; a flow
  // without a row (hidden, or its row not made yet) and undecided sockets
  // keep everything. Proxy flows and decided sockets go. The keys of the
  // flows that had a row are put into `shownFlows`. `shown` is called with
  // the table's mutex held and must not call back into the table.
  void ClearShown(const std::function<std::optional<FlowCounts>(const FlowKey& flow)>& shown,
                  std::vector<FlowKey>& shownFlows);

  // Copies for reports: every remote address's bytes, in address order
  // (IPv4 first); proxy flows in creation order.
  std::vector<AddressTotal> AddressTotals() const;
  std::vector<ProxyFlowRecord> ProxyFlows() const;
  // Address flows and pending sockets.
  size_t AddressFlowCount() const;

 private:
  struct AddressFlow {
    FlowCounts counts;
    FlowCounts taken;  // what TakeAddressFlowNews() has handed on
  };
  struct PendingSocket {
    SocketTuple tuple;
    uint32_t labelId = kUndecidedLabel;
    FlowCounts counts;  // while undecided
  };
  struct ProxyKey {
    std::string host;
    uint32_t labelId = 0;
    bool operator==(const ProxyKey&) const = default;
  };
  struct ProxyKeyHash {
    size_t operator()(const ProxyKey& key) const;
  };

  mutable Mutex mutex_;
  FlowCounts totals_ GUARDED_BY(mutex_);
  size_t undecidedSockets_ GUARDED_BY(mutex_) = 0;
  FlowKeyStore<AddressFlow> addressFlows_ GUARDED_BY(mutex_);  // by AddressFlowKey
  FlowKeyMap<PendingSocket> pendingSockets_ GUARDED_BY(mutex_);  // by SocketKeyOf
  std::vector<ProxyFlowRecord> proxyFlows_ GUARDED_BY(mutex_);
  std::unordered_map<ProxyKey, size_t, ProxyKeyHash> proxyIndex_ GUARDED_BY(mutex_);
};

struct TrafficCounters {
  std::atomic<uint64_t> tickDownloadBytes{0};
  std::atomic<uint64_t> tickUploadBytes{0};

  void AddTick(int direction, uint64_t length) {
    (direction == kDirectionUpload ? tickUploadBytes : tickDownloadBytes)
        .fetch_add(length, std::memory_order_relaxed);
  }

  // The one-second tick: the bytes of this tick (download, upload), from
  // zero again.
  std::pair<uint64_t, uint64_t> Tick() {
    uint64_t down = tickDownloadBytes.exchange(0, std::memory_order_relaxed);
    uint64_t up = tickUploadBytes.exchange(0, std::memory_order_relaxed);
    return {down, up};
  }
};

}  // namespace corvane
