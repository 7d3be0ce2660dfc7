// Socket owners reported by the kernel (through the capture helper) become
// port map answers.
//
// StoreSocketOwner runs on the capture thread, where the helper's records
// are read; it only takes the port map's mutex. An owner the map cannot key
// is left out and its flows are named by the /proc scan.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "attribution/port_process_map.h"
#include "platform/helper_capture.h"
#include "platform/helper_records.h"

namespace corvane {

// The socket a kernel owner record names and its "name:pid" label; an
// unconnected UDP socket (remote port 0) has no remote address. nullopt for
// a family the map cannot key.
struct OwnerAnswer {
  SocketTuple tuple;
  std::string label;
  bool Unconnected() const { return tuple.remotePort == 0; }
};
std::optional<OwnerAnswer> AnswerOfOwner(const SocketOwner& owner);

// The "name:pid" answer for the owner's socket: for its exact tuple, and for
// an unconnected UDP socket (remote port 0) for every datagram of its local
// port.
void StoreSocketOwner(PortProcessMap& map, const SocketOwner& owner);

// Sets `options` so that the helper's socket owners go to `onOwner` (by
// default StoreSocketOwner into `map`) and `map` knows whether they come.
// Any onReady set before still runs.
void SendSocketOwnersTo(HelperCaptureOptions& options, PortProcessMap& map,
                        std::function<void(const SocketOwner&)> onOwner = nullptr);

}  // namespace corvane
