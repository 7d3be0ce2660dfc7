// Kernel socket owners into the port map (see kernel_owners.h).
#include "attribution/kernel_owners.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "attribution/port_scanner.h"

namespace corvane {

namespace {

// The IPv4 address of an IPv4 or v4-mapped IPv6 owner address, network order.
std::optional<uint32_t> Ipv4Of(uint8_t family, const std::array<uint8_t, 16>& address) {
  const uint8_t* bytes = address.data();
  if (family == AF_INET6) {
    static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    // The unspecified address: an IPv6 socket bound to every address,
    // which IPv4 datagrams reach too.
    if (std::all_of(bytes, bytes + 16, [](uint8_t b) { return b == 0; })) return 0u;
    if (std::memcmp(bytes, kMapped, sizeof kMapped) != 0) return std::nullopt;
    bytes += 12;
  }
  uint32_t v4;
  std::memcpy(&v4, bytes, 4);
  return v4;
}

}  // namespace

void StoreSocketOwner(PortProcessMap& map, const SocketOwner& owner) {
  // The map keys IPv4 endpoints; an IPv6-only socket is named by the scan.
  const std::optional<uint32_t> local = Ipv4Of(owner.family, owner.localAddress);
  const std::optional<uint32_t> remote = Ipv4Of(owner.family, owner.remoteAddress);
  if (!local || !remote) return;
  SocketTuple tuple;
  tuple.protocol = owner.protocol;
  tuple.localAddress = *local;
  tuple.localPort = owner.localPort;
  // Unconnected: the zero tuple stands for every remote end.
  tuple.remoteAddress = owner.remotePort == 0 ? 0 : *remote;
  tuple.remotePort = owner.remotePort;
  map.StoreAnswer(tuple, ProcessLabel(owner.name, static_cast<int>(owner.pid)));
}

void SendSocketOwnersTo(HelperCaptureOptions& options, PortProcessMap& map) {
  options.onSocketOwner = [&map](const SocketOwner& owner) { StoreSocketOwner(map, owner); };
  options.onReady = [&map, then = std::move(options.onReady)](capture::AttributionMode mode) {
    map.SetKernelEvents(mode == capture::AttributionMode::kKernel);
    if (then) then(mode);
  };
}

}  // namespace corvane
