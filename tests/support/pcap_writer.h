// Writes classic pcap capture files (microsecond time stamps, snapshot length
// 65535, one link type per file). The tests and the benchmarks' capture
// generator (bench/capture_gen) use it to produce the files that
// OpenCaptureFile() reads; the programs never write capture files.
//
// One thread owns a writer. Records go through a large stdio buffer, so
// millions of small records cost little more than the bytes themselves.
// Failures are values: Open() and Write() fail with the reason (Write() also
// for a time stamp the format cannot hold), and Close() fails with the reason
// of the first write since Open() that failed. A frame longer than the
// snapshot length is cut to it, with its full length kept in the record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "platform/status.h"

namespace corvane {

class PcapWriter {
 public:
  static constexpr uint32_t kSnapshotLength = 65535;

  PcapWriter() = default;
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Creates (or truncates) `path` and writes the file header. `linkType` is a
  // pcap LINKTYPE_ value (see LinkType in capture_source.h).
  Status Open(const std::string& path, int linkType);

  // Appends one record. `seconds` must fit the format's unsigned 32 bits and
  // `micros` lie in [0, 999999]; otherwise nothing is written and it fails.
  Status Write(int64_t seconds, int32_t micros, std::span<const uint8_t> frame);

  // Flushes and closes the file. Fails when a write or the flush failed, or
  // when no file was open.
  Status Close();

 private:
  // "cannot write PATH: " and errno's text.
  Status WriteFailure() const;

  std::FILE* file_ = nullptr;
  std::string path_;
  Status failure_;  // the first failed write since Open()
};

}  // namespace corvane
