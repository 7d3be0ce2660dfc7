// corvane-capture: the only part of Corvane that holds capabilities.
//
// Installed root:corvane, mode 0750, with cap_net_raw,cap_bpf,cap_perfmon in
// its permitted set only. Started by the window or corvane-cli with an empty
// environment and its socketpair end on descriptor 3, it reads one request
// (an interface name, within two seconds), raises CAP_NET_RAW into its
// effective set for the calls that open the capture (libpcap's socket and
// the busy ring's, capture/busy_ring.h) and cap_bpf,cap_perfmon for the one
// that loads the kernel attribution program,
// then drops every capability for good and streams records
// (capture/capture_protocol.h) until its peer closes: frames, drop counts
// and, when the program is attached, the owner of each socket of its own
// network namespace that starts. While it waits for the request it holds no
// effective capability and no permitted one beyond those three.
//
// One thread, but for a short-lived one that makes the busy ring while the
// capture goes on (capture/busy_ring.h). Any failure is sent as one error
// record, then the helper exits non-zero: a request that is incomplete
// after two seconds, malformed, or followed by more bytes (the client never
// writes again) is one. A peer that closes ends it with status 0. A program
// that cannot be loaded is no failure: the Ready record then says kProc.
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/if_packet.h>
#include <malloc.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <pcap.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "capture/busy_ring.h"
#include "capture/capture_protocol.h"
#include "capture/capture_request.h"
#include "capture/kernel_attribution.h"

namespace corvane::capture {
namespace {

// libpcap's TPACKET_V3 ring: resident all the time and fixed once opened
// (a new one would need CAP_NET_RAW again). It holds what arrives while the
// helper itself is not scheduled; a client that lags is covered by the
// outbox below. On an Ethernet-like link (lo included) it is small, and
// while the capture is busy a second ring (capture/busy_ring.h) takes the
// datagrams. Small, but it must last from the first busy moment until the
// second ring is made (up to 20 ms) while the helper competes for a core:
// with 1 MiB one of eight bench/live runs at 800,000 datagrams/s on a
// loaded two-core machine lost 9,266 at the start, with 2 MiB none of ten
// did. Other links keep one ring of the size a busy capture needs:
// 8 MiB holds about 50,000 small datagrams or 5,000 full-size frames; with
// 4 MiB the helper lost 0.8 % at 720,000 datagrams/s on a busy two-core
// machine (bench/live measures it).
constexpr int kRestingBufferBytes = 2 * 1024 * 1024;
constexpr int kKernelBufferBytes = 8 * 1024 * 1024;
// The capture is busy when its rings took this much in kBusyWindowMs (one
// of libpcap's blocks; about 5 MB/s), and quiet again after kQuietMs
// without a window of a quarter of it.
constexpr size_t kBusyRingBytes = 256 * 1024;
constexpr int64_t kBusyWindowMs = 50;
constexpr int64_t kQuietMs = 5000;
// After the datagrams are sent to the other ring, the one they went to
// before is read until it stays empty this long (the kernel hands over a
// block it has begun within its timeout); the other's frames wait in
// memory until then, so the records stay in the order the kernel took the
// datagrams.
constexpr int64_t kHandOverMs = 50;
constexpr int kBlockTimeoutMs = 10;
constexpr int kPollMs = 100;
// Kernel events wait in their ring until drained; the program wakes the
// helper only for a backlog, so it looks at least this often.
// After kRestAfterMs with no frame and no event it looks less often: a
// frame wakes it anyway, and the events are drained before the frames.
constexpr int kDrainMs = 10;
constexpr int kRestDrainMs = 50;
constexpr int64_t kRestAfterMs = 1000;
// The client's reads stay cheap when frames travel in batches.
constexpr size_t kFlushBytes = 64 * 1024;
// Frames taken from the ring per pcap_dispatch call. Without a limit libpcap
// reads on as long as the kernel fills blocks, so under a load the helper
// only just keeps up with, the batch grew by hundreds of MiB (kept for good
// by the vector) before any of it went out. With it a batch stays below
// kFlushBytes plus kDispatchFrames records of the largest size.
constexpr int kDispatchFrames = 32;
// How long a client may take to send its request: it sends it in one call
// right after starting the helper.
constexpr int kRequestMs = 2000;
// The most the outbox holds for a client that lags (about a second of
// 500,000 small datagrams); beyond it the helper stops reading the ring,
// which then holds what comes and counts what it cannot.
constexpr size_t kMaxOutboxBytes = size_t{64} << 20;
static_assert(kFlushBytes + kDispatchFrames * (kRecordHeaderSize + kLargestPayload) <=
              2 * kFlushBytes);

const int socketFd = kHelperSocketFd;

uint64_t PermittedCapabilities() {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return 0;
  return uint64_t{data[1].permitted} << 32 | data[0].permitted;
}

constexpr uint64_t kNeeded =
    uint64_t{1} << CAP_NET_RAW | uint64_t{1} << CAP_BPF | uint64_t{1} << CAP_PERFMON;

// Keeps, permitted only, what the capture and the kernel program need;
// returns what is left. The installed helper holds just these, permitted
// only; one started by root holds every capability, effective too, and
// sheds the rest here, the bounding set included while it still may.
uint64_t KeepOnlyNeededCapabilities() {
  for (int cap = 0; cap <= CAP_LAST_CAP; ++cap) {
    if ((kNeeded >> cap & 1) == 0) prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
  }
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  const uint64_t kept = PermittedCapabilities() & kNeeded;
  if (!SetCapabilities(0, kept)) return PermittedCapabilities();
  return kept;
}

// Leaves the process with no capability in any set it can change and no way
// to gain one again through exec. The bounding set shrinks only where
// CAP_SETPCAP is held (a helper started by root); otherwise it stays, with
// nothing permitted and no new privileges allowed it grants nothing.
bool DropEveryCapability() {
  for (int cap = 0; cap <= CAP_LAST_CAP; ++cap) prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  __user_cap_data_struct data[2] = {};  // effective, permitted, inheritable: none
  if (syscall(SYS_capset, &header, data) != 0) return false;
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

bool WriteAll(const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(socketFd, data, size, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// The records the client has not taken yet, in order, in batches of about
// kFlushBytes sent without blocking. It grows while the client lags, so
// the ring keeps being read, and each batch's memory goes back to the
// system as soon as it is sent (batches are mapped, not heap: see Run).
class Outbox {
 public:
  bool Empty() const { return batches_.empty(); }
  size_t Bytes() const { return bytes_; }

  // Sends `batch` after what waits already, as far as the socket takes it
  // now; the rest waits here. `batch` is left empty. False when the client
  // is gone.
  bool Send(std::vector<uint8_t>& batch) {
    size_t taken = 0;
    if (batches_.empty() && !batch.empty()) {
      // The usual case: nothing waits, and the socket takes the batch whole.
      const ssize_t sent = SendSome(batch.data(), batch.size());
      if (sent < 0) return false;
      taken = static_cast<size_t>(sent);
      if (taken == batch.size()) {
        batch.clear();
        return true;
      }
    }
    if (!batch.empty()) {
      if (batches_.empty()) offset_ = taken;
      bytes_ += batch.size() - taken;
      batches_.push_back(std::move(batch));
      batch = std::vector<uint8_t>();
      batch.reserve(2 * kFlushBytes);
    }
    while (!batches_.empty()) {
      const std::vector<uint8_t>& front = batches_.front();
      const ssize_t sent = SendSome(front.data() + offset_, front.size() - offset_);
      if (sent < 0) return false;
      if (sent == 0) return true;  // the socket is full: later
      offset_ += static_cast<size_t>(sent);
      bytes_ -= static_cast<size_t>(sent);
      if (offset_ == front.size()) {
        batches_.pop_front();
        offset_ = 0;
      }
    }
    return true;
  }

  // Sends everything, waiting for the client as long as it takes. False
  // when the client is gone.
  bool SendAll(std::vector<uint8_t>& batch) {
    if (!Send(batch)) return false;
    while (!batches_.empty()) {
      pollfd fd{socketFd, POLLOUT, 0};
      if (poll(&fd, 1, -1) < 0 && errno != EINTR) return false;
      std::vector<uint8_t> none;
      if (!Send(none)) return false;
    }
    return true;
  }

 private:
  // Bytes the socket took now (0 when it is full), or -1 when the client is
  // gone.
  static ssize_t SendSome(const uint8_t* data, size_t size) {
    for (;;) {
      const ssize_t sent = send(socketFd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent >= 0) return sent;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      if (errno != EINTR) return -1;
    }
  }

  std::deque<std::vector<uint8_t>> batches_;
  size_t offset_ = 0;  // bytes of the front batch already sent
  size_t bytes_ = 0;   // not sent yet
};

int Fail(const std::string& text) {
  std::vector<uint8_t> out;
  AppendRecord(out, RecordType::kError, text.data(), std::min(text.size(), kErrorBytes));
  WriteAll(out.data(), out.size());
  return 1;
}

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// True when the client has written more than its request (checked without
// waiting).
bool MoreBytesWaiting() {
  uint8_t byte;
  ssize_t got;
  do {
    got = recv(socketFd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  return got > 0;
}

// Reads exactly one request within kRequestMs; false with `error` saying
// why otherwise.
bool ReadRequest(std::vector<uint8_t>& bytes, std::string& error) {
  bytes.resize(kRequestSize);
  size_t have = 0;
  const int64_t deadline = MonotonicMs() + kRequestMs;
  while (have < bytes.size()) {
    const int64_t left = deadline - MonotonicMs();
    pollfd fd{socketFd, POLLIN, 0};
    const int polled = left > 0 ? poll(&fd, 1, static_cast<int>(left)) : 0;
    if (polled < 0 && errno == EINTR) continue;
    const ssize_t got =
        polled > 0 ? recv(socketFd, bytes.data() + have, bytes.size() - have, 0) : -1;
    if (polled > 0 && got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      error = "incomplete capture request: " + std::to_string(have) + " of " +
              std::to_string(kRequestSize) + " bytes " +
              (polled == 0 ? "after " + std::to_string(kRequestMs / 1000) + " s"
                           : std::string("before the client closed"));
      return false;
    }
    have += static_cast<size_t>(got);
  }
  if (MoreBytesWaiting()) {
    error = "malformed capture request: more than its " + std::to_string(kRequestSize) + " bytes";
    return false;
  }
  return true;
}

struct PcapCloser {
  void operator()(pcap_t* handle) const { pcap_close(handle); }
};

std::string PcapText(pcap_t* handle, int status) {
  std::string text = pcap_geterr(handle);
  if (text.empty()) text = pcap_statustostr(status);
  return text;
}

// Where libpcap's frames go, and about how much of its ring they took.
struct FrameSink {
  std::vector<uint8_t>* out;
  size_t ringBytes = 0;
};

// A frame's header and address in a TPACKET_V3 ring, before its bytes.
constexpr size_t kRingFrameOverhead = 96;

void OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
  auto& sink = *reinterpret_cast<FrameSink*>(user);
  auto& out = *sink.out;
  sink.ringBytes += kRingFrameOverhead + header->caplen;
  uint8_t fixed[kFrameHeaderPayload];
  const int64_t seconds = header->ts.tv_sec;
  const int32_t microseconds = static_cast<int32_t>(header->ts.tv_usec);
  const uint32_t wire = header->len;
  std::memcpy(fixed, &seconds, 8);
  std::memcpy(fixed + 8, &microseconds, 4);
  std::memcpy(fixed + 12, &wire, 4);
  AppendRecord(out, RecordType::kFrame, fixed, sizeof fixed, bytes,
               std::min<size_t>(header->caplen, kFrameBytes));
}

// True when libpcap reads `name` as Ethernet from a raw packet socket, as
// the busy ring does.
bool EthernetLike(const std::string& name) {
  const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  ifreq request{};
  std::memcpy(request.ifr_name, name.data(), std::min(name.size(), sizeof request.ifr_name - 1));
  const bool known = ioctl(probe, SIOCGIFHWADDR, &request) == 0;
  close(probe);
  const int type = request.ifr_hwaddr.sa_family;
  return known && (type == ARPHRD_ETHER || type == ARPHRD_LOOPBACK);
}

// A line for whoever keeps the helper's standard error: the window's log,
// a file or pipe corvane-cli's is sent to. Not a terminal, where it would
// land in the middle of corvane-cli top's screen.
void Note(const std::string& text) {
  if (isatty(STDERR_FILENO)) return;
  const std::string line = "corvane-capture: " + text + "\n";
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
}

std::string MiB(size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

int Run() {
  // Nothing but the socketpair end and the standard descriptors comes in.
  close_range(kHelperSocketFd + 1, ~0U, 0);
  fcntl(socketFd, F_SETFD, FD_CLOEXEC);
  std::signal(SIGPIPE, SIG_IGN);
  // Every outbox batch (2 * kFlushBytes reserved) is mapped on its own and
  // unmapped when sent, so a drained outbox leaves nothing resident; a
  // fixed threshold keeps the allocator from moving batches to its heap.
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(kFlushBytes));
  const uint64_t permitted = KeepOnlyNeededCapabilities();

  std::vector<uint8_t> bytes;
  std::string error;
  if (!ReadRequest(bytes, error)) return Fail(error);
  CaptureRequest request;
  if (!ParseCaptureRequest(bytes, request, error)) return Fail(error);
  if (if_nametoindex(request.interfaceName.c_str()) == 0) {
    return Fail("no interface named " + request.interfaceName);
  }

  char errbuf[PCAP_ERRBUF_SIZE] = {};
  std::unique_ptr<pcap_t, PcapCloser> handle(pcap_create(request.interfaceName.c_str(), errbuf));
  if (!handle) return Fail(errbuf);
  pcap_t* p = handle.get();
  pcap_set_snaplen(p, static_cast<int>(kFrameBytes));
  pcap_set_promisc(p, 0);
  // Not immediate mode: libpcap then uses the TPACKET_V3 ring, handed over a
  // block at a time (full, or after kBlockTimeoutMs).
  pcap_set_immediate_mode(p, 0);
  const bool ethernetLike = EthernetLike(request.interfaceName);
  const int ringBytes = ethernetLike ? kRestingBufferBytes : kKernelBufferBytes;
  pcap_set_buffer_size(p, ringBytes);
  pcap_set_timeout(p, kBlockTimeoutMs);

  const uint64_t netRaw = uint64_t{1} << CAP_NET_RAW;
  const bool raised = (permitted & netRaw) != 0 && SetCapabilities(netRaw, permitted);
  const int activated = pcap_activate(p);
  // The busy ring's socket is made now too: later the capability is gone.
  BusyRing busy;
  if (activated >= 0 && ethernetLike) busy.Open();
  if (raised) SetCapabilities(0, permitted);
  if (activated < 0) {
    std::string text = request.interfaceName + ": " + PcapText(p, activated);
    if (activated == PCAP_ERROR_PERM_DENIED) {
      text += " (corvane-capture lacks cap_net_raw; run: sudo scripts/install-capture)";
    }
    return Fail(text);
  }
  const int descriptor = pcap_get_selectable_fd(p);
  if (descriptor < 0) return Fail("libpcap offers no descriptor to wait on");
  fcntl(descriptor, F_SETFD, FD_CLOEXEC);
  // Without the program the client names flows from /proc; capture goes on.
  KernelAttribution kernel;
  const bool kernelEvents = kernel.Load(permitted);
  if (!DropEveryCapability()) {
    return Fail(std::string("cannot drop capabilities: ") + std::strerror(errno));
  }

  bpf_program program{};
  if (pcap_compile(p, &program, "ip or ip6", 1, PCAP_NETMASK_UNKNOWN) != 0) {
    return Fail(request.interfaceName + ": " + PcapText(p, PCAP_ERROR));
  }
  const int filtered = pcap_setfilter(p, &program);
  if (filtered != 0) {
    pcap_freecode(&program);
    return Fail(request.interfaceName + ": " + PcapText(p, PCAP_ERROR));
  }
  if (pcap_setnonblock(p, 1, errbuf) != 0) {
    pcap_freecode(&program);
    return Fail(request.interfaceName + ": " + errbuf);
  }
  // lo hands the capture every datagram twice, leaving and arriving, and
  // libpcap throws the leaving copy away only after it has taken ring room;
  // the kernel can leave it out instead. Older kernels lack the option: the
  // copy then costs room, not a count.
  const bool loopback = request.interfaceName == "lo";
  if (loopback) {
    const int one = 1;
    setsockopt(pcap_fileno(p), SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
  }
  if (ethernetLike && pcap_datalink(p) == DLT_EN10MB) {
    const sock_fprog filter{static_cast<unsigned short>(program.bf_len),
                            reinterpret_cast<sock_filter*>(program.bf_insns)};
    busy.Attach(pcap_fileno(p), static_cast<int>(if_nametoindex(request.interfaceName.c_str())),
                filter, loopback);
  }
  pcap_freecode(&program);
  if (busy.Attached()) {
    Note("capture ring " + MiB(static_cast<size_t>(ringBytes)) + " at rest, " +
         MiB(BusyRing::kRingBytes) + " more while busy");
  } else {
    Note("capture ring " + MiB(static_cast<size_t>(ringBytes)) + ", fixed");
  }

  std::vector<uint8_t> out;
  out.reserve(2 * kFlushBytes);
  uint8_t ready[kReadyPayload];
  const int32_t linkType = pcap_datalink(p);
  const uint32_t mode =
      static_cast<uint32_t>(kernelEvents ? AttributionMode::kKernel : AttributionMode::kProc);
  std::memcpy(ready, &linkType, 4);
  std::memcpy(ready + 4, &mode, 4);
  AppendRecord(out, RecordType::kReady, ready, sizeof ready);
  // The owners of the sockets open before the start go out before any frame.
  kernel.ListOpenSockets(out);
  if (!WriteAll(out.data(), out.size())) return 0;
  out.clear();

  uint64_t reportedDrops = 0;
  Outbox outbox;
  // A failure goes out after the records already waiting: a record the
  // socket took in part is finished first, so the stream stays whole.
  auto failAfterQueued = [&](const std::string& text) {
    if (!outbox.SendAll(out)) return 0;
    return Fail(text);
  };
  // While the datagrams move from one ring to the other, the frames of
  // the one they now go to wait here (see kHandOverMs).
  std::vector<uint8_t> held;
  int64_t handOverMs = -1;     // when they last moved, while the move lasts
  int64_t windowMs = MonotonicMs();
  size_t windowBytes = 0;      // ring bytes taken since windowMs
  int64_t busyMs = windowMs;   // the last window with traffic of a busy capture
  int64_t growFailedMs = windowMs - kQuietMs;  // when the kernel last refused the busy ring
  int64_t activeMs = windowMs;  // the last frame or event read
  for (;;) {
    // A full outbox leaves the frames in the rings until the client takes
    // some; a non-empty one waits for room in the socket as well.
    const bool readRing = outbox.Bytes() < kMaxOutboxBytes;
    const short ringEvents = readRing ? POLLIN : 0;
    // poll() passes over the negative descriptors of parts that are off.
    pollfd fds[4] = {{descriptor, ringEvents, 0},
                     {socketFd, static_cast<short>(POLLIN | (outbox.Empty() ? 0 : POLLOUT)), 0},
                     {kernelEvents ? kernel.Descriptor() : -1, POLLIN, 0},
                     {busy.Descriptor(), ringEvents, 0}};
    const bool changing = handOverMs >= 0 || busy.Growing();
    const bool resting = MonotonicMs() - activeMs >= kRestAfterMs && outbox.Empty();
    const int wait = changing    ? kBlockTimeoutMs
                     : !kernelEvents ? kPollMs
                     : resting     ? kRestDrainMs
                                   : kDrainMs;
    const int polled = poll(fds, 4, wait);
    if (polled < 0 && errno != EINTR) {
      return failAfterQueued(std::string("poll: ") + std::strerror(errno));
    }
    // The client never writes after its request: readable means closed,
    // unless it did write.
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      if (MoreBytesWaiting()) return failAfterQueued("malformed capture request: the client wrote again");
      return 0;
    }
    // A socket's owner goes out before the frames read after it.
    const size_t eventsBefore = out.size();
    kernel.Drain(out);
    bool active = out.size() != eventsBefore;
    const bool handing = handOverMs >= 0;
    // The ring the datagrams went to before is read first.
    FrameSink pcapSink{handing && !busy.Active() ? &held : &out};
    std::vector<uint8_t>& busyOut = handing && busy.Active() ? held : out;
    size_t pcapBytes = 0;
    size_t busyBytes = 0;
    int pcapStatus = 0;
    auto readPcap = [&]() -> bool {
      const size_t before = pcapSink.out->size();
      while (readRing) {
        const int count =
            pcap_dispatch(p, kDispatchFrames, OnFrame, reinterpret_cast<u_char*>(&pcapSink));
        if (count < 0) {
          pcapStatus = count;
          return false;
        }
        if (pcapSink.out->size() - before >= kFlushBytes || count == 0) break;
      }
      pcapBytes = pcapSink.ringBytes;
      return true;
    };
    auto readBusy = [&] {
      if (readRing) busyBytes = busy.Drain(busyOut, kFlushBytes);
    };
    bool pcapRead = true;
    if (busy.Active()) {
      pcapRead = readPcap();
      readBusy();
    } else {
      readBusy();
      pcapRead = readPcap();
    }
    if (!pcapRead) {
      out.insert(out.end(), held.begin(), held.end());
      return failAfterQueued(request.interfaceName + ": " + PcapText(p, pcapStatus));
    }
    const int64_t now = MonotonicMs();
    // (Only when the rings were read: a full outbox leaves them unread.)
    if (handing && readRing && now - handOverMs >= kHandOverMs &&
        (busy.Active() ? pcapBytes : busyBytes) == 0) {
      // The ring left behind is read to its end: its successor's frames follow.
      out.insert(out.end(), held.begin(), held.end());
      held = std::vector<uint8_t>();
      handOverMs = -1;
      if (!busy.Active()) {
        busy.Release();
        Note("quiet for " + std::to_string(kQuietMs / 1000) + " s: capture ring back to " +
             MiB(static_cast<size_t>(ringBytes)));
      }
    }
    windowBytes += pcapBytes + busyBytes;
    active = active || pcapBytes + busyBytes > 0;
    if (active) activeMs = now;
    bool grow = windowBytes >= kBusyRingBytes;
    if (windowBytes >= kBusyRingBytes / 4) busyMs = now;
    if (now - windowMs >= kBusyWindowMs) {
      windowMs = now;
      windowBytes = 0;
    }
    pcap_stat stats{};
    if (pcap_stats(p, &stats) == 0) {
      const uint64_t drops = static_cast<uint64_t>(stats.ps_drop) + stats.ps_ifdrop + busy.Drops();
      if (drops != reportedDrops) {
        // A ring overflowed: the capture is busy whatever the window says.
        grow = true;
        reportedDrops = drops;
        AppendRecord(out, RecordType::kDrops, &drops, sizeof drops);
      }
    }
    if (handOverMs < 0 && busy.Attached()) {
      if (busy.Growing()) {
        if (busy.Grown()) {
          handOverMs = now;
          busyMs = now;
          Note("busy: capture ring " + MiB(static_cast<size_t>(ringBytes)) + " + " +
               MiB(busy.RingBytes()));
        } else if (!busy.Growing()) {
          growFailedMs = now;
          Note("busy, but the kernel gave no memory for a second capture ring");
        }
      } else if (!busy.Active() && grow && now - growFailedMs >= kQuietMs) {
        busy.StartGrowing();
      } else if (busy.Active() && now - busyMs >= kQuietMs && busy.Shrink()) {
        handOverMs = now;
      }
    }
    // A peer that went away ends the helper; a slow one makes the outbox
    // grow, and past its limit the kernel ring counts what it cannot hold.
    if (!outbox.Send(out)) return 0;
  }
}

}  // namespace
}  // namespace corvane::capture

int main() { return corvane::capture::Run(); }
