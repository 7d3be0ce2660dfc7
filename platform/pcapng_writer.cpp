#include "platform/pcapng_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/pcapng_reader.h"

namespace corvane {
namespace {

constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kLinkTypeRaw = 101;
constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionComment = 1;
constexpr uint16_t kOptionUserApplication = 4;  // shb_userappl
constexpr uint16_t kOptionInterfaceName = 2;    // if_name
// An option's value is at most 65535 bytes; comments longer are cut.
constexpr size_t kLargestOption = 0xFFFC;
constexpr int32_t kMicrosPerSecond = 1000000;

// Fields are in this machine's byte order; readers tell the order from the
// section header's magic.
void Put16(std::string& out, uint16_t value) { out.append(reinterpret_cast<char*>(&value), 2); }
void Put32(std::string& out, uint32_t value) { out.append(reinterpret_cast<char*>(&value), 4); }
void PadTo4(std::string& out) { out.append((4 - out.size() % 4) % 4, '\0'); }

void PutOption(std::string& out, uint16_t code, std::string_view value) {
  if (value.empty()) return;
  value = value.substr(0, kLargestOption);
  Put16(out, code);
  Put16(out, static_cast<uint16_t>(value.size()));
  out.append(value);
  PadTo4(out);
}

// A whole block: type, length, `body` (padded), options and the end of
// options when there are some, length again.
std::string Block(uint32_t type, std::string body, const std::string& options) {
  PadTo4(body);
  if (!options.empty()) {
    body += options;
    Put16(body, kOptionEnd);
    Put16(body, 0);
  }
  std::string block;
  const auto length = static_cast<uint32_t>(12 + body.size());
  Put32(block, type);
  Put32(block, length);
  block += body;
  Put32(block, length);
  return block;
}

}  // namespace

PcapngWriter::~PcapngWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

Status PcapngWriter::Create(const std::string& path, std::string_view sectionComment,
                            std::string_view application, std::string_view interfaceName,
                            uint32_t snapLength) {
  if (file_ != nullptr) return Status::Failed("a capture file is open already");
  path_ = path;
  failure_ = Status::Ok();
  packets_ = 0;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Status::SystemFailure("can't create " + path, errno);
  file_ = ::fdopen(fd, "wb");
  if (file_ == nullptr) {
    const int code = errno;
    ::close(fd);
    return Status::SystemFailure("can't create " + path, code);
  }
  std::string header;
  Put32(header, kByteOrderMagic);
  Put16(header, 1);  // version 1.0
  Put16(header, 0);
  Put32(header, 0xFFFFFFFFu);  // section length not given
  Put32(header, 0xFFFFFFFFu);
  std::string options;
  PutOption(options, kOptionComment, sectionComment);
  PutOption(options, kOptionUserApplication, application);
  Status written = Append(Block(kPcapngSectionHeader, header, options));
  std::string interface;
  Put16(interface, kLinkTypeRaw);
  Put16(interface, 0);
  Put32(interface, snapLength);
  options.clear();
  PutOption(options, kOptionInterfaceName, interfaceName);
  if (written) written = Append(Block(kInterfaceDescription, interface, options));
  return written;
}

Status PcapngWriter::Write(int64_t seconds, int32_t micros, std::span<const uint8_t> bytes,
                           size_t wireLength, std::string_view comment) {
  if (file_ == nullptr) return Status::Failed("no capture file is open");
  if (!failure_) return failure_;
  if (seconds < 0 || micros < 0 || micros >= kMicrosPerSecond) {
    return Status::Failed("a time stamp before 1970 or out of range");
  }
  // Time stamps in microseconds (the interface's default resolution).
  const uint64_t stamp = static_cast<uint64_t>(seconds) * kMicrosPerSecond +
                         static_cast<uint64_t>(micros);
  std::string body;
  Put32(body, 0);  // the one interface
  Put32(body, static_cast<uint32_t>(stamp >> 32));
  Put32(body, static_cast<uint32_t>(stamp));
  Put32(body, static_cast<uint32_t>(bytes.size()));
  Put32(body, static_cast<uint32_t>(std::max(wireLength, bytes.size())));
  body.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string options;
  PutOption(options, kOptionComment, comment);
  const Status written = Append(Block(kEnhancedPacket, std::move(body), options));
  if (written) ++packets_;
  return written;
}

Status PcapngWriter::Append(const std::string& block) {
  if (std::fwrite(block.data(), 1, block.size(), file_) != block.size()) {
    failure_ = Status::SystemFailure("can't write " + path_, errno);
  }
  return failure_;
}

Status PcapngWriter::Close() {
  if (file_ == nullptr) return failure_;
  if (failure_ && (std::fflush(file_) != 0 || ::fsync(::fileno(file_)) != 0)) {
    failure_ = Status::SystemFailure("can't write " + path_, errno);
  }
  if (std::fclose(file_) != 0 && failure_) {
    failure_ = Status::SystemFailure("can't write " + path_, errno);
  }
  file_ = nullptr;
  return failure_;
}

}  // namespace corvane
