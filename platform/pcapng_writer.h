// A writer of pcapng capture files of raw IP datagrams (link type RAW, 101,
// one interface), each packet with a comment, for corvane-cli record and the
// window's recording of one program.
//
// The file is made new, for this user only: created 0600 with O_EXCL and
// O_NOFOLLOW, so an existing file or a link planted in its place is never
// written through. Blocks are written whole through a buffer; Close()
// flushes them to the disk. On a failure (full disk, closed file) every
// later Write() fails too, with the first reason, so a caller can stop and
// report it; what was written before stays readable up to the last whole
// block. One thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace corvane {

class PcapngWriter {
 public:
  PcapngWriter() = default;
  ~PcapngWriter();
  PcapngWriter(const PcapngWriter&) = delete;
  PcapngWriter& operator=(const PcapngWriter&) = delete;

  // Creates `path` (which must not exist) and writes the section header,
  // with `sectionComment` and `application` (shb_userappl), and the one
  // interface, with `interfaceName` and `snapLength`.
  Status Create(const std::string& path, std::string_view sectionComment,
                std::string_view application, std::string_view interfaceName,
                uint32_t snapLength);

  // One datagram captured at `seconds`.`micros` (UTC), of `wireLength`
  // bytes of which `bytes` were kept, with `comment` (opt_comment).
  Status Write(int64_t seconds, int32_t micros, std::span<const uint8_t> bytes,
               size_t wireLength, std::string_view comment);

  // Flushes and closes the file; the first failure of the file, if any.
  Status Close();

  uint64_t packets() const { return packets_; }

 private:
  Status Append(const std::string& block);

  std::FILE* file_ = nullptr;
  std::string path_;
  Status failure_;
  uint64_t packets_ = 0;
};

}  // namespace corvane
