// Fuzzes the summary of a captured IPv4 or IPv6 datagram: whatever its
// header fields claim (IHL, lengths, the extension-header chain), the parser
// reads only the bytes it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "engine/packet_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto info = corvane::ParsePacketInfo(std::span<const uint8_t>(data, size));
  const int version = size > 0 ? data[0] >> 4 : 0;
  if (!info) {
    if (version == 4 && size >= corvane::kMinimumDatagram) std::abort();
    if (version == 6 && size >= corvane::kIpv6HeaderLength) std::abort();
    return 0;
  }
  if (version != 4 && version != 6) std::abort();
  // A length field of 0 counts the bytes received.
  const size_t field = version == 4 ? 2 : 4;
  if (data[field] == 0 && data[field + 1] == 0 && info->length != size) std::abort();
  if (version == 6 && (data[4] | data[5]) != 0 && info->length != 40u + (data[4] << 8 | data[5]))
    std::abort();
  if (info->requestText) {
    // The request text is a view into the datagram: touch every byte so
    // ASan sees a read past its end.
    volatile unsigned sum = 0;
    for (char c : *info->requestText) sum = sum + static_cast<unsigned char>(c);
    const auto* begin = reinterpret_cast<const uint8_t*>(info->requestText->data());
    if (!info->requestText->empty() &&
        (begin < data || begin + info->requestText->size() > data + size))
      std::abort();
  }
  return 0;
}
