// The capture thread's work on each datagram: its direction, the proxy's
// requests, the local-area test, the program of its socket, the flow, the
// tick counter and the event for the pass.
//
// AccountDatagram() runs on the capture thread (or on a test's or a replay's
// one driving thread). SetLocalNetworks() may come from any thread: the
// capture thread takes the newest set before its next datagram. Until it is
// first called, the set is the interface address and mask of the settings
// (with ::1 for a loopback address).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "attribution/kernel_owners.h"
#include "engine/flat_hash.h"
#include "engine/live_settings.h"
#include "engine/packet_info.h"
#include "engine/proxy_attribution.h"
#include "engine/traffic_state.h"
#include "platform/clock.h"
#include "platform/ip_address.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace corvane {

class DatagramAccounting {
 public:
  DatagramAccounting(TrafficState& state, const Clock& clock) : state_(state), clock_(clock) {}

  void AccountDatagram(const PacketInfo& info);

  // Sees each datagram counted for a socket (neither a proxy's nor one the
  // LAN setting hides), on the capture thread right after it was counted,
  // with the socket's key (SocketKeyOf) and its label: kUndecidedLabel
  // while the owner is asked for, and then FlowTable::LookupPendingSocket
  // gives the label once it is decided. May be set, replaced or cleared
  // (nullptr) from any thread while capture runs: the capture thread calls
  // it under observerMutex_, so once SetObserver returns the previous one
  // is neither running nor called again. Without one, a datagram costs one
  // relaxed atomic load.
  using Observer =
      std::function<void(const PacketInfo& info, const FlowKey& socketKey, uint32_t labelId)>;
  void SetObserver(Observer observer) EXCLUDES(observerMutex_);

  // Capture thread: the kernel named a socket's owner. The answer goes to
  // the port map, and the socket's datagrams counted while it was undecided
  // are its owner's now, before any later datagram: a port another process
  // takes over a moment later is charged to each process for its own
  // datagrams.
  void TakeSocketOwner(const SocketOwner& owner);

  // The watched interface's addresses and networks, which decide each
  // datagram's direction and, for IPv6, which peers are on the local area.
  // Also keeps the first IPv4 address and its mask in the settings for what
  // still asks for one (the Options dialog, proxy attribution).
  void SetLocalNetworks(LocalNetworks networks);
  // The set last given (empty before the first SetLocalNetworks).
  LocalNetworks localNetworks() const { return localNetworks_.Get(); }

 private:
  // The local networks the next datagram is judged by.
  const LocalNetworks& CurrentNetworks();
  // The label id of a datagram's socket, or kUndecidedLabel while its
  // owner is being asked for.
  uint32_t SocketLabel(const SocketTuple& tuple);

  TrafficState& state_;
  const Clock& clock_;
  // The label each socket was given, and the port map's version then.
  struct CachedLabel {
    uint32_t labelId = kUndecidedLabel;
    uint64_t version = 0;
    bool known = false;
  };
  FlowKeyMap<CachedLabel> socketLabels_;
  VersionedValue<LocalNetworks> localNetworks_;
  std::atomic<bool> localNetworksGiven_{false};
  // Capture thread only: the set in use, and what a derived one came from.
  std::shared_ptr<const LocalNetworks> networks_;
  uint64_t networksVersion_ = 0;
  uint32_t derivedAddress_ = 0;
  uint32_t derivedMask_ = 0;
  ProxyAttribution proxy_;
  // Whether observer_ is set: the capture thread looks here first.
  std::atomic<bool> observed_{false};
  Mutex observerMutex_;
  Observer observer_ GUARDED_BY(observerMutex_);
};

}  // namespace corvane
