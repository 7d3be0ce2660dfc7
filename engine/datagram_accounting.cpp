#include "engine/datagram_accounting.h"

#include <bit>
#include <optional>
#include <string>
#include <utility>

#include "platform/net.h"
#include "vocabulary/direction.h"

namespace corvane {

namespace {

// The networks of an interface known only by its IPv4 address and mask.
// The loopback interface also holds ::1.
LocalNetworks NetworksOfAddress(uint32_t address, uint32_t mask) {
  LocalNetworks networks;
  const IpAddress own = IpAddress::V4(address);
  networks.addresses.push_back(own);
  networks.prefixes.push_back(
      IpPrefix{IpAddress::V4(address & mask),
               static_cast<uint8_t>(std::popcount(mask))});
  if (IsLoopback(own)) {
    std::array<uint8_t, 16> one{};
    one[15] = 1;
    networks.addresses.push_back(IpAddress::V6(one));
    networks.prefixes.push_back(IpPrefix{IpAddress::V6(one), 128});
  }
  return networks;
}

// The first of the interface's addresses of `family`; the wildcard address
// when it has none.
IpAddress FirstOwnAddress(const LocalNetworks& networks, IpFamily family) {
  for (const IpAddress& address : networks.addresses) {
    if (address.family == family) return address;
  }
  return WildcardOf(family);
}

}  // namespace

void DatagramAccounting::SetLocalNetworks(LocalNetworks networks) {
  // The settings keep the first IPv4 address and its network for what still
  // asks for one (the Options dialog, proxy attribution).
  for (const IpPrefix& prefix : networks.prefixes) {
    if (!prefix.address.IsV4()) continue;
    const uint32_t mask = prefix.length == 0 ? 0 : ~uint32_t{0} << (32 - prefix.length);
    state_.settings.interfaceMask.store(MakeAddress(static_cast<uint8_t>(mask >> 24),
                                              static_cast<uint8_t>(mask >> 16),
                                              static_cast<uint8_t>(mask >> 8),
                                              static_cast<uint8_t>(mask)));
    break;
  }
  uint32_t address = 0;
  for (const IpAddress& own : networks.addresses) {
    if (own.IsV4()) {
      address = own.V4Value();
      break;
    }
  }
  state_.settings.interfaceAddress.store(address);
  localNetworks_.Set(std::move(networks));
  localNetworksGiven_.store(true, std::memory_order_release);
}

const LocalNetworks& DatagramAccounting::CurrentNetworks() {
  if (localNetworksGiven_.load(std::memory_order_acquire)) {
    localNetworks_.Refresh(networks_, networksVersion_);
    return *networks_;
  }
  const uint32_t address = state_.settings.interfaceAddress.load(std::memory_order_relaxed);
  const uint32_t mask = state_.settings.interfaceMask.load(std::memory_order_relaxed);
  if (!networks_ || address != derivedAddress_ || mask != derivedMask_) {
    networks_ = std::make_shared<const LocalNetworks>(NetworksOfAddress(address, mask));
    derivedAddress_ = address;
    derivedMask_ = mask;
  }
  return *networks_;
}

void DatagramAccounting::AccountDatagram(const PacketInfo& info) {
  const LocalNetworks& networks = CurrentNetworks();
  int direction;
  if (networks.IsOwnAddress(info.sourceAddress)) {
    direction = kDirectionUpload;
  } else if (networks.IsOwnAddress(info.destinationAddress) ||
             IsMulticast(info.destinationAddress)) {
    direction = kDirectionDownload;
  } else {
    return;
  }
  state_.datagrams.fetch_add(1, std::memory_order_relaxed);

  // The proxy attribution answers false for everything while it is off;
  // asking it only when on spares the capture thread a clock read.
  if (state_.settings.proxyEnabled.load(std::memory_order_relaxed) &&
      proxy_.AttributeProxyDatagram(state_.settings, info.sourceAddress, info.destinationAddress,
                                    info.length, info.destinationPort, info.sourcePort, direction,
                                    info.requestText, clock_.Now(), state_.proxyQueue)) {
    return;
  }

  const bool upload = direction == kDirectionUpload;
  if (state_.settings.hideLanFlows.load(std::memory_order_relaxed)) {
    if (IsMulticast(info.destinationAddress)) return;
    if (info.sourceAddress.IsV4()) {
      // The user's mask decides for IPv4, as it always has.
      const uint32_t mask = state_.settings.interfaceMask.load(std::memory_order_relaxed);
      if ((info.sourceAddress.V4Value() & mask) == (info.destinationAddress.V4Value() & mask)) {
        return;
      }
    } else if (networks.IsLocalArea(upload ? info.destinationAddress : info.sourceAddress)) {
      return;
    }
  }

  SocketTuple tuple;
  tuple.protocol = static_cast<uint8_t>(info.protocol);
  tuple.remoteAddress = upload ? info.destinationAddress : info.sourceAddress;
  // A datagram to a multicast group arrives at the interface's socket.
  tuple.localAddress = upload ? info.sourceAddress
                       : IsMulticast(info.destinationAddress)
                           ? FirstOwnAddress(networks, info.destinationAddress.family)
                           : info.destinationAddress;
  tuple.localPort = upload ? info.sourcePort : info.destinationPort;
  tuple.remotePort = upload ? info.destinationPort : info.sourcePort;

  uint32_t labelId = SocketLabel(tuple);
  if (labelId == kUndecidedLabel) {
    labelId = state_.flows.AddToPendingSocket(tuple, direction, info.length);
    if (labelId != kUndecidedLabel) {
      socketLabels_[SocketKeyOf(tuple.remoteAddress, tuple.protocol, tuple.localPort)].labelId =
          labelId;
    }
  } else {
    state_.flows.AddToAddressFlow(tuple.remoteAddress, labelId, direction, info.length);
  }
  state_.counters.AddTick(direction, info.length);
  state_.packetQueue.Push(
      FlowEvent{tuple.remoteAddress, labelId, tuple.localPort, info.protocol, clock_.Now()});
  if (observed_.load(std::memory_order_relaxed)) {
    MutexLock lock(observerMutex_);
    if (observer_) {
      observer_(info, SocketKeyOf(tuple.remoteAddress, tuple.protocol, tuple.localPort), labelId);
    }
  }
}

void DatagramAccounting::SetObserver(Observer observer) {
  Observer previous;
  {
    MutexLock lock(observerMutex_);
    previous = std::exchange(observer_, std::move(observer));
    observed_.store(static_cast<bool>(observer_), std::memory_order_relaxed);
  }
  // The previous one (and what it holds) goes outside the lock.
}

uint32_t DatagramAccounting::SocketLabel(const SocketTuple& tuple) {
  // Without attribution every flow is named by its protocol; the cache is
  // not needed (and a replay spares its cost).
  if ((tuple.protocol != kProtocolTcp && tuple.protocol != kProtocolUdp) || !state_.portMap.Active()) {
    return state_.ProtocolLabel(tuple.protocol);
  }
  // Sockets come and go; a cache that grows past this starts afresh.
  constexpr size_t kMaxCachedSockets = size_t{1} << 20;
  if (socketLabels_.size() >= kMaxCachedSockets) socketLabels_.clear();
  CachedLabel& cached =
      socketLabels_[SocketKeyOf(tuple.remoteAddress, tuple.protocol, tuple.localPort)];
  const uint64_t version = state_.portMap.Version();
  if (cached.known && cached.version == version) return cached.labelId;
  // New, or the port map changed since the label was taken: the port may
  // now belong to another program.
  // With kernel events a new socket takes its own owner, which the helper
  // sends before the socket's datagrams, or else waits for it: its port may
  // still carry the label of a socket that used it before.
  const bool awaitOwner = !cached.known && state_.portMap.KernelEvents();
  if (awaitOwner) {
    if (std::optional<std::string> owner = state_.portMap.TakeAnswer(tuple)) {
      cached = CachedLabel{state_.labels.Intern(*owner), version, true};
      return cached.labelId;
    }
  }
  if (std::optional<std::string> label =
          awaitOwner ? std::nullopt
                     : state_.portMap.Lookup(tuple.protocol, tuple.localAddress, tuple.localPort)) {
    cached.labelId = state_.labels.Intern(*label);
  } else if (!cached.known) {
    // Too new for the scan: the owner is asked for now, while the socket
    // still exists, and the pass takes the answer.
    state_.portMap.RequestExact(tuple);
    cached.labelId = kUndecidedLabel;
  }
  // Otherwise the socket keeps its label: it is gone from the tables but its
  // last datagrams are still its own.
  cached.known = true;
  cached.version = version;
  return cached.labelId;
}

void DatagramAccounting::TakeSocketOwner(const SocketOwner& owner) {
  std::optional<OwnerAnswer> answer = AnswerOfOwner(owner);
  if (!answer) return;
  const SocketTuple tuple = answer->tuple;
  const uint32_t labelId = state_.labels.Intern(answer->label);
  state_.portMap.StoreAnswer(tuple, std::move(answer->label));
  if (answer->Unconnected()) {
    // Every remote end of the port; cached labels of the port are looked up
    // again, as the map's version moved.
    state_.flows.DecidePendingSocketsOfPort(tuple.protocol, tuple.localPort, labelId);
    return;
  }
  const FlowKey key = SocketKeyOf(tuple.remoteAddress, tuple.protocol, tuple.localPort);
  state_.flows.DecidePendingSocket(key, labelId);
  socketLabels_[key] = CachedLabel{labelId, state_.portMap.Version(), true};
}

}  // namespace corvane
