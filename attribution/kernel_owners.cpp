// Kernel socket owners into the port map (see kernel_owners.h).
#include "attribution/kernel_owners.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

#include "attribution/port_scanner.h"

namespace corvane {

namespace {

// An owner's address as the datagrams show it: a v4-mapped IPv6 address
// (an IPv6 socket talking IPv4) becomes the IPv4 address.
IpAddress AddressOf(uint8_t family, const std::array<uint8_t, 16>& bytes) {
  if (family == AF_INET) {
    uint32_t v4;
    std::memcpy(&v4, bytes.data(), 4);
    return IpAddress::V4(v4);
  }
  return UnmapV4(IpAddress::V6(std::span<const uint8_t, 16>(bytes)));
}

}  // namespace

std::optional<OwnerAnswer> AnswerOfOwner(const SocketOwner& owner) {
  if (owner.family != AF_INET && owner.family != AF_INET6) return std::nullopt;
  SocketTuple tuple;
  tuple.protocol = owner.protocol;
  tuple.localAddress = AddressOf(owner.family, owner.localAddress);
  tuple.localPort = owner.localPort;
  // Unconnected: no remote address stands for every remote end.
  tuple.remoteAddress =
      owner.remotePort == 0 ? IpAddress{} : AddressOf(owner.family, owner.remoteAddress);
  tuple.remotePort = owner.remotePort;
  return OwnerAnswer{tuple, ProcessLabel(owner.name, static_cast<int>(owner.pid))};
}

void StoreSocketOwner(PortProcessMap& map, const SocketOwner& owner) {
  if (std::optional<OwnerAnswer> answer = AnswerOfOwner(owner)) {
    map.StoreAnswer(answer->tuple, std::move(answer->label));
  }
}

void SendSocketOwnersTo(HelperCaptureOptions& options, PortProcessMap& map,
                        std::function<void(const SocketOwner&)> onOwner) {
  if (!onOwner) onOwner = [&map](const SocketOwner& owner) { StoreSocketOwner(map, owner); };
  options.onSocketOwner = std::move(onOwner);
  options.onReady = [&map, then = std::move(options.onReady)](capture::AttributionMode mode) {
    map.SetKernelEvents(mode == capture::AttributionMode::kKernel);
    if (then) then(mode);
  };
}

}  // namespace corvane
