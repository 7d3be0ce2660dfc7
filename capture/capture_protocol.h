// The conversation between the capture helper (corvane-capture) and the
// program that starts it, over one stream socketpair.
//
// The client writes exactly one request of kRequestSize bytes; the helper
// answers with framed records until the client closes its end. Both ends run
// on the same machine, so numbers are in the host's byte order. The request
// is the only input the helper takes from its unprivileged client: it names
// an interface and nothing else (no path, no filter text, no size).
//
// Header-only constants and layouts; the helper and the client include it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane::capture {

// ---------------------------------------------------------------- request

inline constexpr uint32_t kRequestMagic = 0x51435643;  // "CVCQ"
inline constexpr uint16_t kProtocolVersion = 2;
inline constexpr size_t kInterfaceNameBytes = 16;  // IFNAMSIZ, NUL included

// magic u32, version u16, reserved u16 (0), interface name (NUL-padded).
inline constexpr size_t kRequestSize = 4 + 2 + 2 + kInterfaceNameBytes;

// The descriptor the helper finds its socketpair end on.
inline constexpr int kHelperSocketFd = 3;

// ---------------------------------------------------------------- records

// Every record: payload length u32, type u16, reserved u16, then the payload.
inline constexpr size_t kRecordHeaderSize = 8;

enum class RecordType : uint16_t {
  // Capture is open and every capability is gone. Payload: link type i32,
  // attribution mode u32 (AttributionMode).
  kReady = 1,
  // One frame. Payload: seconds i64, microseconds i32, length on the wire
  // u32, then at most kFrameBytes of the frame from its link-layer header on.
  kFrame = 2,
  // The kernel's drop count so far. Payload: u64.
  kDrops = 3,
  // The helper cannot go on and exits. Payload: text, at most kErrorBytes.
  kError = 4,
  // A TCP connection or UDP socket of the helper's network namespace
  // started, and which process started it (kernel attribution only). Payload: protocol u8 (6, 17), family u8
  // (AF_INET, AF_INET6), local port u16, remote port u16 (0: an unconnected
  // UDP socket), reserved u16 (0), pid u32, uid u32, local address [16],
  // remote address [16] (network order; IPv4 in the first 4 bytes, the rest
  // zero), then the executable's base name, 1 to kOwnerNameBytes bytes, no
  // NUL.
  kSocketOwner = 5,
};

enum class AttributionMode : uint32_t {
  kProc = 0,    // no kernel events: the client names flows from /proc
  kKernel = 1,  // the kernel program is attached: kSocketOwner records follow
};

inline constexpr size_t kReadyPayload = 8;
inline constexpr size_t kFrameHeaderPayload = 16;
inline constexpr size_t kDropsPayload = 8;
inline constexpr size_t kErrorBytes = 1024;
inline constexpr size_t kSocketOwnerFixedPayload = 48;
inline constexpr size_t kOwnerNameBytes = 255;  // NAME_MAX

// What parsing a datagram needs: the longest link-layer header (Ethernet
// with two VLAN tags, Linux cooked v2) plus the IP headers (IPv4 up to 60
// bytes; IPv6 40 plus room for 256 bytes of extension headers) and the TCP
// header (up to 60) plus the first 1,024 bytes of TCP payload that proxy
// attribution reads. Whole payloads never leave the helper.
inline constexpr size_t kFrameBytes = 32 + 40 + 256 + 60 + 1024;

inline constexpr size_t kLargestPayload = kFrameHeaderPayload + kFrameBytes;

}  // namespace corvane::capture
