// Record stream parsing (see helper_records.h).
#include "platform/helper_records.h"

#include <sys/socket.h>

#include <cstring>

namespace corvane {

using capture::RecordType;

namespace {

bool ParseSocketOwner(std::span<const uint8_t> payload, SocketOwner& owner) {
  const uint8_t* p = payload.data();
  uint16_t reserved;
  owner.protocol = p[0];
  owner.family = p[1];
  std::memcpy(&owner.localPort, p + 2, 2);
  std::memcpy(&owner.remotePort, p + 4, 2);
  std::memcpy(&reserved, p + 6, 2);
  std::memcpy(&owner.pid, p + 8, 4);
  std::memcpy(&owner.uid, p + 12, 4);
  std::memcpy(owner.localAddress.data(), p + 16, 16);
  std::memcpy(owner.remoteAddress.data(), p + 32, 16);
  owner.name = std::string_view(reinterpret_cast<const char*>(p) + capture::kSocketOwnerFixedPayload,
                                payload.size() - capture::kSocketOwnerFixedPayload);
  if (reserved != 0 || (owner.protocol != 6 && owner.protocol != 17)) return false;
  if (owner.family != AF_INET && owner.family != AF_INET6) return false;
  if (owner.localPort == 0 || owner.pid == 0) return false;
  if (owner.family == AF_INET) {
    for (size_t i = 4; i < 16; ++i) {
      if (owner.localAddress[i] != 0 || owner.remoteAddress[i] != 0) return false;
    }
  }
  // A base name: no directory part, no terminator inside.
  return owner.name.find_first_of(std::string_view("\0/", 2)) == std::string_view::npos;
}

}  // namespace

RecordParse ParseHelperRecord(std::span<const uint8_t> bytes, HelperRecord& record,
                              size_t& consumed) {
  if (bytes.size() < capture::kRecordHeaderSize) return RecordParse::kIncomplete;
  uint32_t length;
  uint16_t type;
  uint16_t reserved;
  std::memcpy(&length, bytes.data(), 4);
  std::memcpy(&type, bytes.data() + 4, 2);
  std::memcpy(&reserved, bytes.data() + 6, 2);
  if (reserved != 0 || length > capture::kLargestPayload) return RecordParse::kMalformed;
  bool sized = false;
  switch (static_cast<RecordType>(type)) {
    case RecordType::kReady: sized = length == capture::kReadyPayload; break;
    case RecordType::kFrame: sized = length >= capture::kFrameHeaderPayload; break;
    case RecordType::kDrops: sized = length == capture::kDropsPayload; break;
    case RecordType::kError: sized = length <= capture::kErrorBytes; break;
    case RecordType::kSocketOwner:
      sized = length > capture::kSocketOwnerFixedPayload &&
              length <= capture::kSocketOwnerFixedPayload + capture::kOwnerNameBytes;
      break;
  }
  if (!sized) return RecordParse::kMalformed;  // also every unknown type
  if (bytes.size() - capture::kRecordHeaderSize < length) return RecordParse::kIncomplete;

  const uint8_t* payload = bytes.data() + capture::kRecordHeaderSize;
  record = HelperRecord{};
  record.type = static_cast<RecordType>(type);
  switch (record.type) {
    case RecordType::kReady:
      std::memcpy(&record.linkType, payload, 4);
      std::memcpy(&record.attributionMode, payload + 4, 4);
      if (record.attributionMode > static_cast<uint32_t>(capture::AttributionMode::kKernel)) {
        return RecordParse::kMalformed;
      }
      break;
    case RecordType::kFrame:
      std::memcpy(&record.seconds, payload, 8);
      std::memcpy(&record.microseconds, payload + 8, 4);
      std::memcpy(&record.wireLength, payload + 12, 4);
      record.frame = std::span<const uint8_t>(payload + capture::kFrameHeaderPayload,
                                              length - capture::kFrameHeaderPayload);
      break;
    case RecordType::kDrops:
      std::memcpy(&record.drops, payload, 8);
      break;
    case RecordType::kError:
      record.text = std::string_view(reinterpret_cast<const char*>(payload), length);
      break;
    case RecordType::kSocketOwner:
      if (!ParseSocketOwner(std::span<const uint8_t>(payload, length), record.owner)) {
        return RecordParse::kMalformed;
      }
      break;
  }
  consumed = capture::kRecordHeaderSize + length;
  return RecordParse::kComplete;
}

}  // namespace corvane
