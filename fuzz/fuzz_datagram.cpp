// Fuzzes the summary of a captured IPv4 datagram: whatever its header
// fields claim, the parser reads only the bytes it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "engine/packet_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto info = corvane::ParsePacketInfo(std::span<const uint8_t>(data, size));
  if (!info) {
    if (size >= corvane::kMinimumDatagram) std::abort();
    return 0;
  }
  // A total length field of 0 counts the bytes received.
  if (data[2] == 0 && data[3] == 0 && info->length != size) std::abort();
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
