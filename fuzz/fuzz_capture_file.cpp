// Fuzzes the capture-file readers (classic pcap, pcapng with several
// interfaces and sections, and what libpcap reads), then the link-layer
// removal and the datagram summary, reading every record until the end or
// the first damaged record.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/packet_info.h"
#include "platform/capture_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/corvane-fuzz-capture-" + std::to_string(getpid()) + ".pcap";
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  corvane::Status status;
  auto source = corvane::OpenCaptureFile(path, status);
  if (!source) {
    if (status.reason.empty()) std::abort();
    return 0;
  }
  corvane::CapturedDatagram datagram;
  int errors = 0;
  for (int records = 0; records < 100000; ++records) {
    const auto read = source->Next(datagram, status);
    if (read == corvane::ReadStatus::Datagram) {
      (void)corvane::ParsePacketInfo(datagram.bytes);
      continue;
    }
    if (read == corvane::ReadStatus::Error) {
      if (++errors > 1) std::abort();  // one report, then the end
      continue;
    }
    if (read == corvane::ReadStatus::EndOfFile) return 0;
    std::abort();  // a file never times out or is interrupted
  }
  std::abort();  // no end in sight: the reader loops
}
