// Fuzzes the client's parser of the capture helper's record stream: records
// are taken one after another as the reading loop takes them, every frame
// handed on goes through the link-layer removal and the datagram summary,
// every socket owner into a port map, and nothing may lie outside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "attribution/kernel_owners.h"
#include "engine/packet_info.h"
#include "platform/capture_source.h"
#include "platform/helper_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  size_t at = 0;
  corvane::PortProcessMap map;
  while (at < size) {
    corvane::HelperRecord record;
    size_t consumed = 0;
    if (corvane::ParseHelperRecord(input.subspan(at), record, consumed) !=
        corvane::RecordParse::kComplete)
      break;
    if (consumed == 0 || consumed > size - at) std::abort();
    if (record.type == corvane::capture::RecordType::kFrame) {
      if (record.frame.data() < data || record.frame.data() + record.frame.size() > data + size)
        std::abort();
      const auto ip = corvane::StripLinkLayer(corvane::kLinkEthernet, record.frame);
      if (!ip.empty()) (void)corvane::ParsePacketInfo(ip, record.wireLength);
    }
    if (record.type == corvane::capture::RecordType::kSocketOwner) {
      const auto* name = reinterpret_cast<const uint8_t*>(record.owner.name.data());
      if (record.owner.name.empty() || name < data || name + record.owner.name.size() > data + size)
        std::abort();
      // What the capture thread does with each owner.
      corvane::StoreSocketOwner(map, record.owner);
    }
    at += consumed;
  }
  return 0;
}
