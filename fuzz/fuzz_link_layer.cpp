// Fuzzes the removal of the link-layer header: the first byte picks the link
// type, the rest is the frame. The datagram handed on must lie inside the
// frame and is then summarised as the capture loop does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "engine/packet_info.h"
#include "platform/capture_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static constexpr int kTypes[] = {
      corvane::kLinkNull,     corvane::kLinkEthernet, corvane::kLinkRaw,
      corvane::kLinkLoop,     corvane::kLinkLinuxSll, corvane::kLinkIpv4,
      corvane::kLinkLinuxSll2, corvane::kLinkRawAlt,  corvane::kLinkRawAlt2,
      9999,                   corvane::kLinkIpv6};
  if (size < 1) return 0;
  const int linkType = kTypes[data[0] % (sizeof(kTypes) / sizeof(kTypes[0]))];
  const std::span<const uint8_t> frame(data + 1, size - 1);
  const auto datagram = corvane::StripLinkLayer(linkType, frame);
  if (datagram.empty()) return 0;
  if (datagram.data() < frame.data() ||
      datagram.data() + datagram.size() > frame.data() + frame.size())
    std::abort();
  if ((datagram[0] >> 4) != 4 && (datagram[0] >> 4) != 6) std::abort();
  (void)corvane::ParsePacketInfo(datagram);
  return 0;
}
