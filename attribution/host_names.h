// Writing a resolved host name into the traffic list.
//
// Called on a resolver thread once the name of a row's remote address is
// known. Takes listMutex itself; the caller must hold no list lock.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvane {

class Monitor;

// Gives the name to the topmost row whose "Remote IP" is `address`, or takes
// that row out of the list when the filters, asked again with the name, hide
// it. The name comes from the network, so every blank and control character
// in it becomes "_" first: the cell must stay one log token. Without such a
// row (cleared meanwhile) or with an empty name, nothing changes.
void ApplyHostName(Monitor& monitor, uint32_t address, std::string_view name);

}  // namespace corvane
