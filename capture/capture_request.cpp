// Request parsing for the capture helper (see capture_request.h).
#include "capture/capture_request.h"

#include <algorithm>
#include <cstring>

namespace corvane::capture {
namespace {

bool IsNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == '-';
}

}  // namespace

bool IsValidInterfaceName(std::string_view name) {
  if (name.empty() || name.size() >= kInterfaceNameBytes) return false;
  // "." and ".." are no interface and read like directories.
  if (name == "." || name == "..") return false;
  for (char c : name) {
    if (!IsNameCharacter(c)) return false;
  }
  return true;
}

bool ParseCaptureRequest(std::span<const uint8_t> bytes, CaptureRequest& request,
                         std::string& error) {
  if (bytes.size() != kRequestSize) {
    error = "request of " + std::to_string(bytes.size()) + " bytes, not " +
            std::to_string(kRequestSize);
    return false;
  }
  uint32_t magic;
  uint16_t version;
  uint16_t reserved;
  std::memcpy(&magic, bytes.data(), 4);
  std::memcpy(&version, bytes.data() + 4, 2);
  std::memcpy(&reserved, bytes.data() + 6, 2);
  if (magic != kRequestMagic) {
    error = "not a capture request";
    return false;
  }
  if (version != kProtocolVersion) {
    error = "protocol version " + std::to_string(version) + " is not " +
            std::to_string(kProtocolVersion) + " (client and helper come from different builds)";
    return false;
  }
  if (reserved != 0) {
    error = "reserved request field is not 0";
    return false;
  }
  const auto name = bytes.subspan(8, kInterfaceNameBytes);
  size_t length = 0;
  while (length < name.size() && name[length] != 0) ++length;
  // The name is NUL-terminated inside its field and padded with NULs, so
  // no byte after it can carry anything.
  for (size_t i = length; i < name.size(); ++i) {
    if (name[i] != 0) {
      error = "interface name is not NUL-terminated and padded";
      return false;
    }
  }
  const std::string_view text(reinterpret_cast<const char*>(name.data()), length);
  if (!IsValidInterfaceName(text)) {
    error = "invalid interface name";
    return false;
  }
  request.interfaceName = std::string(text);
  return true;
}

std::array<uint8_t, kRequestSize> BuildCaptureRequest(std::string_view interfaceName) {
  std::array<uint8_t, kRequestSize> bytes{};
  const uint32_t magic = kRequestMagic;
  const uint16_t version = kProtocolVersion;
  std::memcpy(bytes.data(), &magic, 4);
  std::memcpy(bytes.data() + 4, &version, 2);
  std::memcpy(bytes.data() + 8, interfaceName.data(),
              std::min(interfaceName.size(), kInterfaceNameBytes - 1));
  return bytes;
}

}  // namespace corvane::capture
