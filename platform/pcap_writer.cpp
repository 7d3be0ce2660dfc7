#include "platform/pcap_writer.h"

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

bool PcapWriter::Open(const std::string& path, int linkType,
                      std::string& error) {
  if (file_ != nullptr) Close();
  failed_ = false;
  file_ = std::fopen(path.c_str(), "wbe");  // e: close-on-exec
  if (file_ == nullptr) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
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
    error = "cannot write " + path + ": " + std::strerror(errno);
    std::fclose(file_);
    file_ = nullptr;
    return false;
  }
  return true;
}

bool PcapWriter::Write(int64_t seconds, int32_t micros,
                       std::span<const uint8_t> frame) {
  if (file_ == nullptr) return false;
  if (seconds < 0 || seconds > kMaxSeconds || micros < 0 ||
      micros >= kMicrosPerSecond) {
    return false;
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
    failed_ = true;
    return false;
  }
  return true;
}

bool PcapWriter::Close() {
  if (file_ == nullptr) return false;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  return closed && !failed_;
}

}  // namespace corvane
