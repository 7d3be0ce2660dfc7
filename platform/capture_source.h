// Sources of whole IPv4 and IPv6 datagrams: live capture on one interface, and capture
// files (pcap and pcapng).
//
// A source is owned and read by one thread (the capture thread, or the replay
// driver). The only call another thread may make is Interrupt(), which makes
// a blocked or future Next() return ReadStatus::Interrupted promptly; it is
// how a capture restart or the exit ends the old capture loop for sure.
//
// Every datagram handed out has its link-layer header removed (Ethernet with
// or without 802.1Q / 802.1ad tags, Linux cooked capture v1 and v2, raw IP,
// BSD null/loopback). Frames that carry neither IPv4 nor IPv6 are skipped
// inside Next().
// Errors are values: opening fails with a message, never an exception.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/status.h"

namespace corvane {

enum class ReadStatus {
  Datagram,     // `datagram` holds one IPv4 or IPv6 datagram
  Timeout,      // nothing arrived within the read timeout (about 100 ms)
  Interrupted,  // Interrupt() was called
  EndOfFile,    // a capture file has no more records
  Error,        // the read failed; `status` says why
};

struct CapturedDatagram {
  // Valid until the next call of Next() on the same source.
  std::span<const uint8_t> bytes;
  // The datagram's length before the capture's snapshot cut it (the
  // record's original length less the link-layer header).
  size_t wireLength = 0;
  // Capture time of the record (live capture: the kernel's time stamp).
  int64_t seconds = 0;
  int32_t microseconds = 0;
};

class CaptureSource {
 public:
  virtual ~CaptureSource() = default;

  // Blocks at most about 100 ms for a live source. `status` is written only
  // when the answer is Error, so a caller that keeps one Status for its
  // whole loop pays nothing for it per datagram.
  virtual ReadStatus Next(CapturedDatagram& datagram, Status& status) = 0;

  // Thread-safe. Ends a blocked Next() and makes every later Next() answer
  // Interrupted.
  virtual void Interrupt() = 0;

  // Kernel drop counters for a live source (0 for files).
  virtual uint64_t DroppedByKernel() const { return 0; }
};

// Opens live capture, not promiscuous (TPACKET_V3 ring of 32 MB with 10 ms
// blocks, snapshot 65535, kernel filter "ip or ip6") on the interface named `name`.
// Returns null, with `status` saying why, when it cannot be opened
// (libpcap's reason: no such device, or no CAP_NET_RAW).
std::unique_ptr<CaptureSource> OpenLiveCapture(const std::string& name, Status& status);

// The same on the interface that holds `interfaceAddress` (network byte
// order); 127.x.y.z addresses select the loopback interface. Fails also when
// no interface holds it ("no interface holds address A.B.C.D").
std::unique_ptr<CaptureSource> OpenLiveCapture(uint32_t interfaceAddress, Status& status);

// Name of the interface that holds `interfaceAddress` (network byte order;
// 127.x.y.z selects the loopback interface), or empty with `status` saying
// why ("no interface holds address A.B.C.D").
std::string FindInterface(uint32_t interfaceAddress, Status& status);

// Opens a pcap or pcapng file. Returns null, with `status` saying why
// ("cannot read FILE: reason"), when the file cannot be read, is not a capture file, or uses
// a link type StripLinkLayer does not know. Inside a readable file, records
// that carry neither IPv4 nor IPv6 are skipped by Next(). A damaged record (cut short,
// or with an impossible length) makes Next() answer Error once with the
// reason; the records behind it cannot be found again, so every later Next()
// answers EndOfFile. A pcapng file may hold interfaces of several link types
// (see pcapng_reader.h): each frame is stripped by its own interface's.
std::unique_ptr<CaptureSource> OpenCaptureFile(const std::string& path, Status& status);

// Link-layer types understood by StripLinkLayer (the pcap LINKTYPE_ values).
enum LinkType : int {
  kLinkNull = 0,        // BSD loopback, host-order family word
  kLinkEthernet = 1,
  kLinkRaw = 101,       // raw IPv4 / IPv6
  kLinkLoop = 108,      // OpenBSD loopback, network-order family word
  kLinkLinuxSll = 113,
  kLinkIpv4 = 228,
  kLinkIpv6 = 229,
  kLinkLinuxSll2 = 276,
  kLinkRawAlt = 12,     // DLT_RAW as some systems number it
  kLinkRawAlt2 = 14,
};

// Returns the IPv4 or IPv6 datagram that `frame` carries, or an empty span
// when the frame carries neither (another EtherType or family, or a payload
// whose version nibble does not match it) or is too short for its link-layer
// header. Pure function,
// never reads outside `frame`.
std::span<const uint8_t> StripLinkLayer(int linkType,
                                        std::span<const uint8_t> frame);

// True for the link types StripLinkLayer understands.
bool IsSupportedLinkType(int linkType);

}  // namespace corvane
