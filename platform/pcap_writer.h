// Writes classic pcap capture files (microsecond time stamps, snapshot length
// 65535, one link type per file). The benchmark generators, corvane-cli and
// the tests use it to produce the files that OpenCaptureFile() reads.
//
// One thread owns a writer. Records go through a large stdio buffer, so
// millions of small records cost little more than the bytes themselves.
// Failures are values: Open() fills `error`; Write() answers false for a
// time stamp the format cannot hold or when the disk write fails, and Close()
// answers false when any write since Open() failed. A frame longer than the
// snapshot length is cut to it, with its full length kept in the record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

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
  bool Open(const std::string& path, int linkType, std::string& error);

  // Appends one record. `seconds` must fit the format's unsigned 32 bits and
  // `micros` lie in [0, 999999]; otherwise nothing is written and the answer
  // is false.
  bool Write(int64_t seconds, int32_t micros, std::span<const uint8_t> frame);

  // Flushes and closes the file. False when a write or the flush failed, or
  // when no file was open.
  bool Close();

 private:
  std::FILE* file_ = nullptr;
  bool failed_ = false;
};

}  // namespace corvane
