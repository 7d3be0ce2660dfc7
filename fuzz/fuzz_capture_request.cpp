// Fuzzes the capture helper's request parser: the only input a user without
// privileges gives the program that holds capabilities. A request it accepts
// must carry a name the helper may pass to the kernel.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "capture/capture_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvane::capture::CaptureRequest request;
  std::string error;
  if (!corvane::capture::ParseCaptureRequest(std::span<const uint8_t>(data, size), request,
                                             error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (!corvane::capture::IsValidInterfaceName(request.interfaceName)) std::abort();
  const auto rebuilt = corvane::capture::BuildCaptureRequest(request.interfaceName);
  if (size != rebuilt.size() || std::memcmp(rebuilt.data(), data, size) != 0) std::abort();
  return 0;
}
