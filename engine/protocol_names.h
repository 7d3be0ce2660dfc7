// The "Local source" text of a flow: the program that owns its local port,
// or the name of its transport or IP protocol.
//
// Called on the processing thread. LocalSourceText takes the port map's
// mutex for one lookup only and never while holding another lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/packet_info.h"

namespace corvane {

class PortProcessMap;

// The display name of an IP protocol number; numbers without a name give
// "IP protocol #%d".
std::string ProtocolName(uint16_t protocol);

// How many protocol numbers have a name of their own.
size_t NamedProtocolCount();

// TCP and UDP: the port's process label when `portMap` is given (process
// attribution is active) and knows the port, else "TCP protocol" or
// "UDP protocol". Any other protocol: ProtocolName. The remote address is
// accepted for the callers' symmetry and not used.
std::string LocalSourceText(uint16_t localPort, uint32_t remoteAddress, uint16_t protocol,
                            const PortProcessMap* portMap);

}  // namespace corvane
