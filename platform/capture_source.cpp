// Live and file capture sources on libpcap (see capture_source.h).
//
// A live source reads in non-blocking mode and waits in poll() on libpcap's
// descriptor together with an eventfd that Interrupt() signals, so a read
// waits at most kReadWait and an interrupt wakes it at once. libpcap's own
// break flag is left alone: it is a plain int, and the reading thread never
// sits inside libpcap waiting for it.
#include "platform/capture_source.h"
#include "platform/pcapng_reader.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace corvane {
namespace {

constexpr int kSnapshotLength = 65535;
constexpr int kKernelBufferBytes = 32 * 1024 * 1024;
constexpr int kReadTimeoutMs = 100;
constexpr int kBlockTimeoutMs = 10;
constexpr std::chrono::milliseconds kReadWait{kReadTimeoutMs};
// Linux gives lo the whole of 127.0.0.0/8, though it lists only 127.0.0.1.
constexpr uint32_t kLoopbackNet = 0x7F000000;
constexpr uint32_t kLoopbackMask = 0xFF000000;

// The datagram's length on the wire: the record's original length less the
// link-layer header in front of `ip` (which starts inside `record`).
size_t WireLength(uint32_t originalLength, const uint8_t* record, std::span<const uint8_t> ip) {
  const auto header = static_cast<size_t>(ip.data() - record);
  return originalLength > header ? originalLength - header : ip.size();
}

struct PcapCloser {
  void operator()(pcap_t* handle) const { pcap_close(handle); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

std::string DottedQuad(uint32_t networkOrderAddress) {
  in_addr address{};
  address.s_addr = networkOrderAddress;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

std::string PcapText(pcap_t* handle, int status) {
  std::string text = pcap_geterr(handle);
  if (text.empty()) text = pcap_statustostr(status);
  return text;
}

}  // namespace

std::string FindInterface(uint32_t address, Status& status) {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_if_t* devices = nullptr;
  if (pcap_findalldevs(&devices, errbuf) != 0) {
    status = Status::Failed(std::string("cannot list the network interfaces: ") + errbuf);
    return {};
  }
  const bool loopbackAddress = (ntohl(address) & kLoopbackMask) == kLoopbackNet;
  std::string exact;
  std::string loopback;
  for (pcap_if_t* device = devices; device != nullptr; device = device->next) {
    if (loopback.empty() && (device->flags & PCAP_IF_LOOPBACK) != 0) {
      loopback = device->name;
    }
    for (pcap_addr_t* a = device->addresses; a != nullptr && exact.empty();
         a = a->next) {
      if (a->addr == nullptr || a->addr->sa_family != AF_INET) continue;
      sockaddr_in inet{};
      std::memcpy(&inet, a->addr, sizeof inet);
      if (inet.sin_addr.s_addr == address) exact = device->name;
    }
    if (!exact.empty()) break;
  }
  pcap_freealldevs(devices);
  status = Status::Ok();
  if (!exact.empty()) return exact;
  if (loopbackAddress) return loopback.empty() ? std::string("lo") : loopback;
  status = Status::Failed("no interface holds address " + DottedQuad(address), ENODEV);
  return {};
}

namespace {

class LiveCapture final : public CaptureSource {
 public:
  LiveCapture(PcapHandle handle, int linkType, int wakeFd)
      : handle_(std::move(handle)), linkType_(linkType), wakeFd_(wakeFd) {}

  ~LiveCapture() override { close(wakeFd_); }

  ReadStatus Next(CapturedDatagram& datagram, Status& status) override {
    const auto deadline = std::chrono::steady_clock::now() + kReadWait;
    bool descriptorFailed = false;
    for (;;) {
      if (interrupted_.load(std::memory_order_acquire)) {
        return ReadStatus::Interrupted;
      }
      pcap_pkthdr* header = nullptr;
      const u_char* data = nullptr;
      const int result = pcap_next_ex(handle_.get(), &header, &data);
      if (result == 1) {
        const auto ip = StripLinkLayer(
            linkType_, std::span<const uint8_t>(data, header->caplen));
        if (!ip.empty()) {
          datagram.bytes = ip;
          datagram.wireLength = WireLength(header->len, data, ip);
          datagram.seconds = header->ts.tv_sec;
          datagram.microseconds = static_cast<int32_t>(header->ts.tv_usec);
          return ReadStatus::Datagram;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
          return ReadStatus::Timeout;
        }
        continue;
      }
      if (result == PCAP_ERROR_BREAK) return ReadStatus::Interrupted;
      if (result < 0) {
        status = Status::Failed(PcapText(handle_.get(), result));
        return ReadStatus::Error;
      }
      if (descriptorFailed) {
        status = Status::Failed("the capture descriptor failed");
        return ReadStatus::Error;
      }
      // Nothing buffered: wait for the descriptor or the interrupt.
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return ReadStatus::Timeout;
      pollfd fds[2] = {{pcap_get_selectable_fd(handle_.get()), POLLIN, 0},
                       {wakeFd_, POLLIN, 0}};
      const int ready = poll(fds, 2, static_cast<int>(left.count()));
      if (ready < 0 && errno != EINTR) {
        status = Status::SystemFailure("poll", errno);
        return ReadStatus::Error;
      }
      if (ready == 0) return ReadStatus::Timeout;
      // On an error condition the next pcap_next_ex() says what went wrong
      // (the interface went away, ...); if it has nothing to say either, the
      // descriptor itself is broken.
      descriptorFailed = (fds[0].revents & (POLLERR | POLLNVAL)) != 0;
    }
  }

  void Interrupt() override {
    interrupted_.store(true, std::memory_order_release);
    const uint64_t one = 1;
    // The eventfd stays readable, so every later poll() wakes at once too.
    [[maybe_unused]] const ssize_t written = write(wakeFd_, &one, sizeof one);
  }

  uint64_t DroppedByKernel() const override {
    pcap_stat stats{};
    if (pcap_stats(handle_.get(), &stats) != 0) return 0;
    return static_cast<uint64_t>(stats.ps_drop) + stats.ps_ifdrop;
  }

 private:
  PcapHandle handle_;
  const int linkType_;
  const int wakeFd_;
  std::atomic<bool> interrupted_{false};
};

// libpcap reads the seconds of a classic pcap record as a signed 32-bit
// number, while the format defines them unsigned: times from 2038 on come
// back negative. No capture file holds times before 1970, so the value is
// read the way the format means it.
int64_t FileSeconds(int64_t seconds) {
  constexpr int64_t kWrap = int64_t{1} << 32;
  if (seconds < 0 && seconds >= -(kWrap / 2)) return seconds + kWrap;
  return seconds;
}

class FileCapture final : public CaptureSource {
 public:
  FileCapture(PcapHandle handle, int linkType, std::string path)
      : handle_(std::move(handle)), linkType_(linkType), path_(std::move(path)) {}

  ReadStatus Next(CapturedDatagram& datagram, Status& status) override {
    for (;;) {
      if (interrupted_.load(std::memory_order_acquire)) {
        return ReadStatus::Interrupted;
      }
      if (ended_) return ReadStatus::EndOfFile;
      pcap_pkthdr* header = nullptr;
      const u_char* data = nullptr;
      const int result = pcap_next_ex(handle_.get(), &header, &data);
      if (result == 1) {
        const auto ip = StripLinkLayer(
            linkType_, std::span<const uint8_t>(data, header->caplen));
        if (ip.empty()) continue;
        datagram.bytes = ip;
        datagram.wireLength = WireLength(header->len, data, ip);
        datagram.seconds = FileSeconds(header->ts.tv_sec);
        datagram.microseconds = static_cast<int32_t>(header->ts.tv_usec);
        return ReadStatus::Datagram;
      }
      ended_ = true;
      if (result == PCAP_ERROR_BREAK) return ReadStatus::EndOfFile;
      // A damaged record leaves libpcap somewhere inside the file with no
      // record boundary to go back to; what follows it is lost.
      status = Status::Failed("damaged record in " + path_ + ": " +
                              PcapText(handle_.get(), result));
      return ReadStatus::Error;
    }
  }

  void Interrupt() override {
    interrupted_.store(true, std::memory_order_release);
  }

 private:
  PcapHandle handle_;
  const int linkType_;
  const std::string path_;
  bool ended_ = false;
  std::atomic<bool> interrupted_{false};
};

// Classic pcap files are read by this reader rather than by libpcap: one
// read() of a megabyte at a time into a buffer that is reused, and records
// parsed in place, instead of two stdio reads per record through 4 KB
// buffers. Records are checked as libpcap checks them: a header or a frame
// cut short by the end of the file, or a captured length above 262,144
// bytes, is a damaged record that ends the file.
class ClassicPcapFile final : public CaptureSource {
 public:
  static constexpr uint32_t kMaximumCaptureLength = 262144;

  ClassicPcapFile(int fd, bool swapped, bool nanoseconds, uint32_t snapshot, int linkType,
                  std::string path)
      : fd_(fd), swapped_(swapped), nanoseconds_(nanoseconds),
        snapshot_(snapshot == 0 || snapshot > kMaximumCaptureLength ? kMaximumCaptureLength
                                                                    : snapshot),
        linkType_(linkType), path_(std::move(path)), buffer_(kBufferSize) {}

  ~ClassicPcapFile() override { close(fd_); }

  ReadStatus Next(CapturedDatagram& datagram, Status& status) override {
    for (;;) {
      if (interrupted_.load(std::memory_order_acquire)) return ReadStatus::Interrupted;
      if (ended_) return ReadStatus::EndOfFile;
      if (!Fill(16, status)) return ReadStatus::Error;
      const size_t left = end_ - begin_;
      if (left == 0) {
        ended_ = true;
        return ReadStatus::EndOfFile;
      }
      if (left < 16) {
        return Damaged(status, "truncated dump file; tried to read 16 header bytes, only got " +
                                  std::to_string(left));
      }
      const uint32_t captured = Field(buffer_.data() + begin_ + 8);
      if (captured > kMaximumCaptureLength) {
        return Damaged(status, "invalid packet capture length " + std::to_string(captured) +
                                  ", bigger than maximum of " +
                                  std::to_string(kMaximumCaptureLength));
      }
      if (!Fill(16 + captured, status)) return ReadStatus::Error;
      if (end_ - begin_ < 16 + size_t{captured}) {
        return Damaged(status, "truncated dump file; tried to read " + std::to_string(captured) +
                                  " captured bytes, only got " +
                                  std::to_string(end_ - begin_ - 16));
      }
      const uint8_t* header = buffer_.data() + begin_;
      begin_ += 16 + captured;
      const auto ip = StripLinkLayer(
          linkType_, std::span<const uint8_t>(header + 16, std::min(captured, snapshot_)));
      if (ip.empty()) continue;
      const uint32_t fraction = Field(header + 4);
      datagram.bytes = ip;
      datagram.wireLength = WireLength(Field(header + 12), header + 16, ip);
      datagram.seconds = Field(header);  // unsigned 32 bits in the format
      datagram.microseconds = static_cast<int32_t>(nanoseconds_ ? fraction / 1000 : fraction);
      return ReadStatus::Datagram;
    }
  }

  void Interrupt() override { interrupted_.store(true, std::memory_order_release); }

 private:
  static constexpr size_t kBufferSize = size_t{1} << 20;  // > 16 + kMaximumCaptureLength

  uint32_t Field(const uint8_t* p) const {
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return swapped_ ? __builtin_bswap32(value) : value;
  }

  // Makes at least `wanted` bytes available from begin_, unless the file
  // ends first. False (with `status` saying why) when the read fails.
  bool Fill(size_t wanted, Status& status) {
    if (end_ - begin_ >= wanted || atEnd_) return true;
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    while (end_ < wanted && !atEnd_) {
      const ssize_t got = read(fd_, buffer_.data() + end_, buffer_.size() - end_);
      if (got < 0) {
        if (errno == EINTR) continue;
        ended_ = true;
        status = Status::SystemFailure("cannot read " + path_, errno);
        return false;
      }
      if (got == 0) atEnd_ = true;
      end_ += static_cast<size_t>(got);
    }
    return true;
  }

  ReadStatus Damaged(Status& status, const std::string& reason) {
    ended_ = true;
    status = Status::Failed("damaged record in " + path_ + ": " + reason);
    return ReadStatus::Error;
  }

  const int fd_;
  const bool swapped_;
  const bool nanoseconds_;
  const uint32_t snapshot_;
  const int linkType_;
  const std::string path_;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;  // next record
  size_t end_ = 0;    // end of the bytes read
  bool atEnd_ = false;
  bool ended_ = false;
  std::atomic<bool> interrupted_{false};
};

// A reader of its own for `path` when it is a classic pcap file (either
// byte order, micro- or nanosecond stamps); null when it is something else
// (pcapng, ...), and libpcap reads it instead.
std::unique_ptr<CaptureSource> OpenClassicPcap(const std::string& path, int linkType) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  uint8_t header[24];
  size_t have = 0;
  while (have < sizeof header) {
    const ssize_t got = read(fd, header + have, sizeof header - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    have += static_cast<size_t>(got);
  }
  uint32_t magic = 0;
  std::memcpy(&magic, header, sizeof magic);
  bool swapped = false;
  bool nanoseconds = false;
  switch (have == sizeof header ? magic : 0) {
    case 0xa1b2c3d4: break;
    case 0xd4c3b2a1: swapped = true; break;
    case 0xa1b23c4d: nanoseconds = true; break;
    case 0x4d3cb2a1: swapped = true; nanoseconds = true; break;
    default:
      close(fd);
      return nullptr;
  }
  uint32_t snapshot;
  std::memcpy(&snapshot, header + 16, sizeof snapshot);
  if (swapped) snapshot = __builtin_bswap32(snapshot);
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::make_unique<ClassicPcapFile>(fd, swapped, nanoseconds, snapshot, linkType, path);
}

bool StartsWithPcapngSection(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint32_t magic = 0;
  const bool read4 = read(fd, &magic, sizeof magic) == sizeof magic;
  close(fd);
  return read4 && magic == kPcapngSectionHeader;
}

}  // namespace

std::unique_ptr<CaptureSource> OpenLiveCapture(uint32_t interfaceAddress, Status& status) {
  const std::string name = FindInterface(interfaceAddress, status);
  if (name.empty()) return nullptr;
  return OpenLiveCapture(name, status);
}

std::unique_ptr<CaptureSource> OpenLiveCapture(const std::string& name, Status& status) {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  PcapHandle handle(pcap_create(name.c_str(), errbuf));
  if (!handle) {
    status = Status::Failed(name + ": " + errbuf);
    return nullptr;
  }
  pcap_t* p = handle.get();
  pcap_set_snaplen(p, kSnapshotLength);
  // A workstation monitor needs only its own traffic.
  pcap_set_promisc(p, 0);
  // Not immediate mode: libpcap then uses the TPACKET_V3 ring, whose blocks
  // hold frames of their own length (a 64-byte datagram takes about 160
  // bytes of ring, not a 64 KB slot), handed over when a block is full or
  // kBlockTimeoutMs has passed. That wait is nothing next to the seconds
  // before an event is shown, and one wake-up then serves a whole block.
  pcap_set_immediate_mode(p, 0);
  pcap_set_buffer_size(p, kKernelBufferBytes);
  pcap_set_timeout(p, kBlockTimeoutMs);
  const int activated = pcap_activate(p);
  // Positive values are warnings (promiscuous mode not supported, ...): the
  // capture still works.
  if (activated < 0) {
    std::string reason = name + ": " + PcapText(p, activated);
    int code = 0;
    if (activated == PCAP_ERROR_PERM_DENIED ||
        activated == PCAP_ERROR_PROMISC_PERM_DENIED) {
      reason += " (capturing needs CAP_NET_RAW)";
      code = EPERM;
    } else if (activated == PCAP_ERROR_NO_SUCH_DEVICE) {
      code = ENODEV;
    }
    status = Status::Failed(std::move(reason), code);
    return nullptr;
  }
  const int linkType = pcap_datalink(p);
  if (!IsSupportedLinkType(linkType)) {
    status = Status::Failed(name + ": link type " + std::to_string(linkType) +
                            " cannot carry IP datagrams Corvane can read");
    return nullptr;
  }
  bpf_program program{};
  // On a loopback device the kernel shows every datagram twice, as sent and
  // as received, and libpcap throws the sent copy away. Filtering it out in
  // the kernel ("inbound") would halve the ring's load, but then some
  // received copies went missing under load (about 1,500 of 600,000 at
  // 200,000 a second, with no drop counted), so both copies cross the ring.
  const char* filter = "ip or ip6";
  if (pcap_compile(p, &program, filter, 1, PCAP_NETMASK_UNKNOWN) != 0) {
    status = Status::Failed(name + ": " + PcapText(p, PCAP_ERROR));
    return nullptr;
  }
  const int filtered = pcap_setfilter(p, &program);
  pcap_freecode(&program);
  if (filtered != 0) {
    status = Status::Failed(name + ": " + PcapText(p, PCAP_ERROR));
    return nullptr;
  }
  if (pcap_setnonblock(p, 1, errbuf) != 0) {
    status = Status::Failed(name + ": " + errbuf);
    return nullptr;
  }
  if (pcap_get_selectable_fd(p) < 0) {
    status = Status::Failed(name + ": libpcap offers no descriptor to wait on");
    return nullptr;
  }
  fcntl(pcap_get_selectable_fd(p), F_SETFD, FD_CLOEXEC);
  const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    status = Status::SystemFailure(name + ": eventfd", errno);
    return nullptr;
  }
  status = Status::Ok();
  return std::make_unique<LiveCapture>(std::move(handle), linkType, wakeFd);
}

std::unique_ptr<CaptureSource> OpenCaptureFile(const std::string& path, Status& status) {
  // pcapng is read by a reader of its own, which, unlike libpcap, takes a
  // file whose interfaces differ in link type or snapshot length.
  if (StartsWithPcapngSection(path)) return OpenPcapngFile(path, status);
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  // Nanosecond files (pcapng with if_tsresol, pcap with the 0xa1b23c4d magic)
  // are scaled to the microseconds the rest of Corvane counts in.
  PcapHandle handle(pcap_open_offline_with_tstamp_precision(
      path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, errbuf));
  if (!handle) {
    status = Status::Failed("cannot read " + path + ": " + errbuf);
    return nullptr;
  }
  // libpcap opens the file without close-on-exec; a program started later
  // (a browser from a link) must not inherit it.
  if (FILE* file = pcap_file(handle.get())) fcntl(fileno(file), F_SETFD, FD_CLOEXEC);
  const int linkType = pcap_datalink(handle.get());
  if (!IsSupportedLinkType(linkType)) {
    status = Status::Failed("cannot read " + path + ": link type " + std::to_string(linkType) +
                            " does not carry IP datagrams Corvane can read");
    return nullptr;
  }
  // libpcap has checked the file header and the link type; classic pcap
  // records are then read by a reader of their own.
  status = Status::Ok();
  if (auto classic = OpenClassicPcap(path, linkType)) return classic;
  return std::make_unique<FileCapture>(std::move(handle), linkType, path);
}

}  // namespace corvane
