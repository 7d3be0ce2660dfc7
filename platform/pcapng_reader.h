// A reader of pcapng capture files of its own, for OpenCaptureFile.
//
// libpcap takes a pcapng file only when all its interfaces share one link
// type and one snapshot length; a file written from several interfaces at
// once (`dumpcap -i eth0 -i any`) is refused or read in part. This reader
// keeps each interface's link type, snapshot length and time resolution
// (if_tsresol, if_tsoffset) and strips each frame's link layer by its own
// interface's type. It reads Section Header, Interface Description,
// Enhanced Packet, Simple Packet and the obsolete Packet blocks in either
// byte order, and skips every other block; a new section starts a new set
// of interfaces. Every length is checked against its block before a read.
//
// Failures: a file whose first section cannot be read, or whose interfaces
// listed before the first packet use a link type StripLinkLayer does not
// know, is refused at open ("cannot read FILE: reason"). Inside the file, a
// damaged block (cut short, an impossible length, a packet of an unknown
// interface, an interface of an unknown link type) makes Next() answer Error
// once ("damaged record in FILE: reason") and EndOfFile from then on.
//
// The source is read by one thread; Interrupt() may come from any.
#pragma once

#include <memory>
#include <string>

#include "platform/capture_source.h"
#include "platform/status.h"

namespace corvane {

// The first four bytes of every pcapng file (a Section Header Block's type).
inline constexpr uint32_t kPcapngSectionHeader = 0x0A0D0D0A;

// Opens `path` as a pcapng file. Null, with `status` saying why, when it
// cannot be read (see above).
std::unique_ptr<CaptureSource> OpenPcapngFile(const std::string& path, Status& status);

}  // namespace corvane
