// pcapng files read block by block (see pcapng_reader.h). Like the classic
// pcap reader beside it, the file is read a megabyte at a time into a buffer
// that is reused, and blocks are parsed in place.
#include "platform/pcapng_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

namespace corvane {
namespace {

constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kObsoletePacket = 2;
constexpr uint32_t kSimplePacket = 3;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionTimeResolution = 9;  // if_tsresol
constexpr uint16_t kOptionTimeOffset = 14;     // if_tsoffset
// libpcap's limits: no block above 16 MiB, no frame above 262,144 bytes.
constexpr uint32_t kMaximumBlock = 16 * 1024 * 1024;
constexpr uint32_t kMaximumCaptureLength = 262144;
// A time stamp before 1970 or after the year 9999 is no capture's.
constexpr int64_t kLastSecond = 253402300799;
constexpr size_t kBufferSize = size_t{1} << 20;

struct Interface {
  int linkType = 0;
  uint32_t snapshot = kMaximumCaptureLength;
  uint64_t unitsPerSecond = 1000000;  // microseconds unless if_tsresol says otherwise
  int64_t offsetSeconds = 0;
};

class PcapngFile final : public CaptureSource {
 public:
  PcapngFile(int fd, std::string path) : fd_(fd), path_(std::move(path)), buffer_(kBufferSize) {}
  ~PcapngFile() override { close(fd_); }

  // Reads the first section header and the interfaces described before the
  // first packet.
  Status Open() {
    for (;;) {
      std::string why;
      const Step step = Peek(why);
      if (step == Step::kEnd) return Status::Ok();
      if (step != Step::kBlock) return Status::Failed("cannot read " + path_ + ": " + why);
      if (IsPacket(type_)) return Status::Ok();
      if (!Handle(why)) return Status::Failed("cannot read " + path_ + ": " + why);
      begin_ += length_;
    }
  }

  ReadStatus Next(CapturedDatagram& datagram, Status& status) override {
    for (;;) {
      if (interrupted_.load(std::memory_order_acquire)) return ReadStatus::Interrupted;
      if (ended_) return ReadStatus::EndOfFile;
      std::string why;
      switch (Peek(why)) {
        case Step::kEnd:
          ended_ = true;
          return ReadStatus::EndOfFile;
        case Step::kReadFailed:
          ended_ = true;
          status = Status::Failed("cannot read " + path_ + ": " + why, readError_);
          return ReadStatus::Error;
        case Step::kDamaged:
          return Damaged(status, why);
        case Step::kBlock:
          break;
      }
      // The block's bytes stay in the buffer until the next Peek().
      begin_ += length_;
      if (!IsPacket(type_)) {
        if (!Handle(why)) return Damaged(status, why);
        continue;
      }
      std::span<const uint8_t> frame;
      uint32_t originalLength = 0;
      if (!Packet(frame, originalLength, datagram, why)) return Damaged(status, why);
      const auto ip = StripLinkLayer(interface_->linkType, frame);
      if (ip.empty()) continue;
      const auto header = static_cast<size_t>(ip.data() - frame.data());
      datagram.bytes = ip;
      datagram.wireLength = originalLength > header ? originalLength - header : ip.size();
      return ReadStatus::Datagram;
    }
  }

  void Interrupt() override { interrupted_.store(true, std::memory_order_release); }

 private:
  enum class Step { kBlock, kEnd, kDamaged, kReadFailed };

  static bool IsPacket(uint32_t type) {
    return type == kEnhancedPacket || type == kSimplePacket || type == kObsoletePacket;
  }

  uint16_t Field16(const uint8_t* p) const {
    uint16_t value;
    std::memcpy(&value, p, sizeof value);
    return swapped_ ? __builtin_bswap16(value) : value;
  }
  uint32_t Field32(const uint8_t* p) const {
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return swapped_ ? __builtin_bswap32(value) : value;
  }

  // Makes the next block whole in the buffer: type_, length_ and body_ (the
  // bytes between the two length fields). Does not consume it.
  Step Peek(std::string& why) {
    if (!Fill(12, why)) return Step::kReadFailed;
    const size_t left = end_ - begin_;
    if (left == 0) return Step::kEnd;
    if (left < 12) {
      why = "the file ends inside a block header";
      return Step::kDamaged;
    }
    const uint8_t* p = buffer_.data() + begin_;
    uint32_t raw;
    std::memcpy(&raw, p, sizeof raw);
    // The section header's type reads the same in both byte orders; the
    // magic behind its length says which order the section is written in.
    if (raw == kPcapngSectionHeader) {
      uint32_t magic;
      std::memcpy(&magic, p + 8, sizeof magic);
      if (magic != kByteOrderMagic && __builtin_bswap32(magic) != kByteOrderMagic) {
        why = "a section header without the byte-order magic";
        return Step::kDamaged;
      }
      swapped_ = magic != kByteOrderMagic;
    } else if (!sectionSeen_) {
      why = "the file does not start with a section header";
      return Step::kDamaged;
    }
    const uint32_t length = Field32(p + 4);
    if (length < 12 || length % 4 != 0) {
      why = "block length " + std::to_string(length) + " is impossible";
      return Step::kDamaged;
    }
    if (length > kMaximumBlock) {
      why = "block of " + std::to_string(length) + " bytes, bigger than the maximum of " +
            std::to_string(kMaximumBlock);
      return Step::kDamaged;
    }
    if (!Fill(length, why)) return Step::kReadFailed;
    if (end_ - begin_ < length) {
      why = "truncated dump file; a block of " + std::to_string(length) + " bytes ends after " +
            std::to_string(end_ - begin_);
      return Step::kDamaged;
    }
    p = buffer_.data() + begin_;
    if (Field32(p + length - 4) != length) {
      why = "the block's two lengths differ";
      return Step::kDamaged;
    }
    type_ = Field32(p);
    length_ = length;
    body_ = std::span<const uint8_t>(p + 8, length - 12);
    return Step::kBlock;
  }

  // A block that carries no packet: a section header starts a new set of
  // interfaces, an interface description adds one, the rest is skipped.
  bool Handle(std::string& why) {
    if (type_ == kPcapngSectionHeader) {
      if (body_.size() < 16) {
        why = "a section header shorter than 28 bytes";
        return false;
      }
      const uint16_t major = Field16(body_.data() + 4);
      if (major != 1) {
        why = "pcapng version " + std::to_string(major) + "." +
              std::to_string(Field16(body_.data() + 6)) + " is not supported";
        return false;
      }
      sectionSeen_ = true;
      interfaces_.clear();
      return true;
    }
    if (type_ != kInterfaceDescription) return true;
    if (body_.size() < 8) {
      why = "an interface description shorter than 20 bytes";
      return false;
    }
    Interface described;
    described.linkType = Field16(body_.data());
    const uint32_t snapshot = Field32(body_.data() + 4);
    if (snapshot != 0 && snapshot < kMaximumCaptureLength) described.snapshot = snapshot;
    if (!IsSupportedLinkType(described.linkType)) {
      why = "interface " + std::to_string(interfaces_.size()) + " has link type " +
            std::to_string(described.linkType) +
            ", which does not carry IP datagrams Corvane can read";
      return false;
    }
    for (size_t at = 8; at + 4 <= body_.size();) {
      const uint16_t code = Field16(body_.data() + at);
      const uint16_t size = Field16(body_.data() + at + 2);
      if (code == kOptionEnd) break;
      if (size > body_.size() - at - 4) {
        why = "an interface option runs past its block";
        return false;
      }
      const uint8_t* value = body_.data() + at + 4;
      if (code == kOptionTimeResolution && size >= 1) {
        // Bit 7 set: a power of two, else a power of ten.
        const unsigned exponent = value[0] & 0x7F;
        const bool binary = (value[0] & 0x80) != 0;
        if (exponent > (binary ? 63u : 19u)) {
          why = "time resolution " + std::to_string(value[0]) + " is out of range";
          return false;
        }
        uint64_t units = 1;
        for (unsigned i = 0; i < exponent; ++i) units *= binary ? 2 : 10;
        described.unitsPerSecond = units;
      } else if (code == kOptionTimeOffset && size >= 8) {
        // One 64-bit number in the section's byte order.
        const uint64_t first = Field32(value), second = Field32(value + 4);
        const bool littleEndian = (std::endian::native == std::endian::little) != swapped_;
        const uint64_t whole = littleEndian ? (second << 32) | first : (first << 32) | second;
        described.offsetSeconds = static_cast<int64_t>(whole);
      }
      at += 4 + ((size + 3u) & ~3u);
    }
    interfaces_.push_back(described);
    return true;
  }

  // The frame of the packet block just read, its interface in interface_
  // and its time in `datagram`.
  bool Packet(std::span<const uint8_t>& frame, uint32_t& originalLength,
              CapturedDatagram& datagram, std::string& why) {
    uint32_t interface = 0;
    uint64_t stamp = 0;
    size_t header = 0;
    uint32_t captured = 0;
    const uint8_t* b = body_.data();
    if (type_ == kSimplePacket) {
      header = 4;
      if (body_.size() < header) {
        why = "a simple packet block shorter than 16 bytes";
        return false;
      }
      originalLength = Field32(b);
      captured = static_cast<uint32_t>(
          std::min<size_t>(originalLength, body_.size() - header));
    } else {
      header = 20;
      if (body_.size() < header) {
        why = "a packet block shorter than 32 bytes";
        return false;
      }
      interface = type_ == kEnhancedPacket ? Field32(b) : Field16(b);
      stamp = (uint64_t{Field32(b + 4)} << 32) | Field32(b + 8);
      captured = Field32(b + 12);
      originalLength = Field32(b + 16);
      if (captured > body_.size() - header) {
        why = "a packet of " + std::to_string(captured) + " bytes in a block of " +
              std::to_string(length_);
        return false;
      }
    }
    if (interface >= interfaces_.size()) {
      why = "a packet of interface " + std::to_string(interface) +
            ", which its section does not describe";
      return false;
    }
    interface_ = &interfaces_[interface];
    frame = body_.subspan(header, std::min(captured, interface_->snapshot));
    // A simple packet carries no time: it keeps the one before it.
    if (type_ == kSimplePacket) {
      datagram.seconds = lastSeconds_;
      datagram.microseconds = lastMicroseconds_;
      return true;
    }
    const uint64_t units = interface_->unitsPerSecond;
    const __int128 seconds = static_cast<__int128>(stamp / units) + interface_->offsetSeconds;
    if (seconds < 0 || seconds > kLastSecond) {
      why = "a time stamp outside the years 1970 to 9999";
      return false;
    }
    const auto fraction = static_cast<unsigned __int128>(stamp % units);
    lastSeconds_ = datagram.seconds = static_cast<int64_t>(seconds);
    lastMicroseconds_ = datagram.microseconds = static_cast<int32_t>(fraction * 1000000 / units);
    return true;
  }

  // Makes at least `wanted` bytes available from begin_, unless the file
  // ends first. False (with `why` saying why) when the read fails.
  bool Fill(size_t wanted, std::string& why) {
    if (end_ - begin_ >= wanted || atEnd_) return true;
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    if (buffer_.size() < wanted) buffer_.resize(wanted);
    while (end_ < wanted && !atEnd_) {
      const ssize_t got = read(fd_, buffer_.data() + end_, buffer_.size() - end_);
      if (got < 0) {
        if (errno == EINTR) continue;
        readError_ = errno;
        why = std::strerror(errno);
        return false;
      }
      if (got == 0) atEnd_ = true;
      end_ += static_cast<size_t>(got);
    }
    return true;
  }

  ReadStatus Damaged(Status& status, const std::string& why) {
    ended_ = true;
    status = Status::Failed("damaged record in " + path_ + ": " + why);
    return ReadStatus::Error;
  }

  const int fd_;
  const std::string path_;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;  // the next block
  size_t end_ = 0;    // the end of the bytes read
  bool atEnd_ = false;
  bool ended_ = false;
  int readError_ = 0;
  bool swapped_ = false;
  bool sectionSeen_ = false;
  std::vector<Interface> interfaces_;  // of the current section
  const Interface* interface_ = nullptr;  // the last packet's
  uint32_t type_ = 0;  // the block Peek() found
  uint32_t length_ = 0;
  std::span<const uint8_t> body_;
  int64_t lastSeconds_ = 0;
  int32_t lastMicroseconds_ = 0;
  std::atomic<bool> interrupted_{false};
};

}  // namespace

std::unique_ptr<CaptureSource> OpenPcapngFile(const std::string& path, Status& status) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    status = Status::SystemFailure("cannot read " + path, errno);
    return nullptr;
  }
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  auto file = std::make_unique<PcapngFile>(fd, path);
  status = file->Open();
  if (!status) return nullptr;
  return file;
}

}  // namespace corvane
