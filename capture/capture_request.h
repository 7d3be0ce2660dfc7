// The capture helper's request: parsing and building.
//
// Pure functions on bytes, any thread. ParseCaptureRequest is the whole
// validation of what an unprivileged client can say to the helper; it never
// reads outside `bytes` and rejects anything but one well-formed request.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "capture/capture_protocol.h"

namespace corvane::capture {

struct CaptureRequest {
  std::string interfaceName;  // 1..15 of [A-Za-z0-9._-]
};

// True when `bytes` is exactly one request of this protocol version whose
// interface name is well formed; otherwise false with `error` saying why.
// Whether the interface exists is for the caller to check.
bool ParseCaptureRequest(std::span<const uint8_t> bytes, CaptureRequest& request,
                         std::string& error);

// True when `name` may be sent as an interface name.
bool IsValidInterfaceName(std::string_view name);

// The request for `interfaceName` (which must be valid).
std::array<uint8_t, kRequestSize> BuildCaptureRequest(std::string_view interfaceName);

}  // namespace corvane::capture
