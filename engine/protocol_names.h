// The names of the IP protocols, and the "Local source" text of a flow whose
// program is not known. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/packet_info.h"

namespace corvane {

// The display name of an IP protocol number; numbers without a name give
// "IP protocol #%d".
std::string ProtocolName(uint16_t protocol);

// How many protocol numbers have a name of their own.
size_t NamedProtocolCount();

// "TCP protocol" or "UDP protocol"; any other protocol: ProtocolName.
std::string ProtocolSourceText(uint16_t protocol);

}  // namespace corvane
