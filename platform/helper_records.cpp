// Record stream parsing (see helper_records.h).
#include "platform/helper_records.h"

#include <cstring>

namespace corvane {

using capture::RecordType;

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
  }
  consumed = capture::kRecordHeaderSize + length;
  return RecordParse::kComplete;
}

}  // namespace corvane
