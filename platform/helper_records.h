// Parsing the record stream of the capture helper (capture/capture_protocol.h).
//
// Pure function on bytes, any thread. The helper runs with capabilities but
// is another program, so its stream is checked like any outside input: a
// record with an unknown type, an impossible length or a size that does not
// fit its type is Malformed, never read past; so is a socket owner with a
// field no socket can have (protocol, family, port 0, pid 0, an IPv4 address
// with bytes past its fourth, an empty name or one with a NUL or '/').
#pragma once

#include <array>
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

// A socket that started and the process that started it (kSocketOwner).
struct SocketOwner {
  uint8_t protocol = 0;  // 6 TCP, 17 UDP
  uint8_t family = 0;    // AF_INET or AF_INET6
  uint16_t localPort = 0;
  uint16_t remotePort = 0;  // 0: an unconnected UDP socket
  uint32_t pid = 0;
  uint32_t uid = 0;
  // Network order; IPv4 in the first 4 bytes, the rest zero.
  std::array<uint8_t, 16> localAddress{};
  std::array<uint8_t, 16> remoteAddress{};
  std::string_view name;  // the executable's base name; views the input bytes
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
  // kSocketOwner
  SocketOwner owner;
};

RecordParse ParseHelperRecord(std::span<const uint8_t> bytes, HelperRecord& record,
                              size_t& consumed);

}  // namespace corvane
