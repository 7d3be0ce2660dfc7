#include "support/pcap_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvane {
namespace {

constexpr uint32_t kPcapMagicMicroseconds = 0xa1b2c3d4;
constexpr uint16_t kVersionMajor = 2;
constexpr uint16_t kVersionMinor = 4;
constexpr size_t kBufferBytes = 1 << 20;
constexpr int64_t kMaxSeconds = 0xFFFFFFFFLL;
constexpr int32_t kMicrosPerSecond = 1000000;

// Fields are written in this machine's byte order; readers tell the order
// from the magic number.
void Put16(uint8_t* out, uint16_t value) { std::memcpy(out, &value, 2); }
void Put32(uint8_t* out, uint32_t value) { std::memcpy(out, &value, 4); }

}  // namespace

PcapWriter::~PcapWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

Status PcapWriter::Open(const std::string& path, int linkType) {
  if (file_ != nullptr) {
    // The file being replaced is the caller's to check; a new Open() drops it.
    (void)Close();
  }
  failure_ = Status::Ok();
  path_ = path;
  file_ = std::fopen(path.c_str(), "wbe");  // e: close-on-exec
  if (file_ == nullptr) return WriteFailure();
  // A null buffer lets stdio allocate (and free) one of this size.
  std::setvbuf(file_, nullptr, _IOFBF, kBufferBytes);

  uint8_t header[24];
  Put32(header, kPcapMagicMicroseconds);
  Put16(header + 4, kVersionMajor);
  Put16(header + 6, kVersionMinor);
  Put32(header + 8, 0);   // time zone offset, always 0
  Put32(header + 12, 0);  // time stamp accuracy, always 0
  Put32(header + 16, kSnapshotLength);
  Put32(header + 20, static_cast<uint32_t>(linkType));
  if (std::fwrite(header, sizeof header, 1, file_) != 1) {
    Status failed = WriteFailure();
    std::fclose(file_);
    file_ = nullptr;
    return failed;
  }
  return Status::Ok();
}

Status PcapWriter::Write(int64_t seconds, int32_t micros,
                         std::span<const uint8_t> frame) {
  if (file_ == nullptr) return Status::Failed("no capture file is open");
  if (seconds < 0 || seconds > kMaxSeconds || micros < 0 ||
      micros >= kMicrosPerSecond) {
    return Status::Failed("cannot write " + path_ + ": time stamp " + std::to_string(seconds) +
                              "." + std::to_string(micros) + " does not fit the format",
                          EINVAL);
  }
  const size_t captured =
      std::min<size_t>(frame.size(), static_cast<size_t>(kSnapshotLength));
  const uint32_t original = static_cast<uint32_t>(
      std::min<size_t>(frame.size(), static_cast<size_t>(UINT32_MAX)));
  uint8_t header[16];
  Put32(header, static_cast<uint32_t>(seconds));
  Put32(header + 4, static_cast<uint32_t>(micros));
  Put32(header + 8, static_cast<uint32_t>(captured));
  Put32(header + 12, original);
  if (std::fwrite(header, sizeof header, 1, file_) != 1 ||
      (captured > 0 && std::fwrite(frame.data(), captured, 1, file_) != 1)) {
    Status failed = WriteFailure();
    if (failure_) failure_ = failed;
    return failed;
  }
  return Status::Ok();
}

Status PcapWriter::Close() {
  if (file_ == nullptr) return Status::Failed("no capture file is open");
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!failure_) return failure_;
  return closed ? Status::Ok() : WriteFailure();
}

Status PcapWriter::WriteFailure() const {
  return Status::SystemFailure("cannot write " + path_, errno);
}

}  // namespace corvane
