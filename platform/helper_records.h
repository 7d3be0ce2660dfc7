// Parsing the record stream of the capture helper (capture/capture_protocol.h).
//
// Pure function on bytes, any thread. The helper runs with capabilities but
// is another program, so its stream is checked like any outside input: a
// record with an unknown type, an impossible length or a size that does not
// fit its type is Malformed, never read past.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "capture/capture_protocol.h"

namespace corvane {

enum class RecordParse {
  kComplete,    // `record` holds the first record; it took `consumed` bytes
  kIncomplete,  // the bytes end inside the first record: read more
  kMalformed,   // the stream is damaged; nothing behind this point can be trusted
};

struct HelperRecord {
  capture::RecordType type = capture::RecordType::kError;
  // kReady
  int32_t linkType = 0;
  uint32_t attributionMode = 0;
  // kFrame: `frame` views the input bytes
  int64_t seconds = 0;
  int32_t microseconds = 0;
  uint32_t wireLength = 0;
  std::span<const uint8_t> frame;
  // kDrops
  uint64_t drops = 0;
  // kError: views the input bytes
  std::string_view text;
};

RecordParse ParseHelperRecord(std::span<const uint8_t> bytes, HelperRecord& record,
                              size_t& consumed);

}  // namespace corvane
