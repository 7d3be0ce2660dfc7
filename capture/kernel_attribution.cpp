// Kernel attribution in the capture helper (see kernel_attribution.h).
#include "capture/kernel_attribution.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/capture_protocol.h"

#if CORVANE_KERNEL_ATTRIBUTION
#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include "attribution.skel.h"
#include "capture/attribution_event.h"
#endif

namespace corvane::capture {

void AppendRecord(std::vector<uint8_t>& out, RecordType type, const void* payload, size_t size,
                  const void* tail, size_t tailSize) {
  const uint32_t length = static_cast<uint32_t>(size + tailSize);
  const uint16_t kind = static_cast<uint16_t>(type);
  const uint16_t reserved = 0;
  const size_t at = out.size();
  out.resize(at + kRecordHeaderSize + length);
  uint8_t* p = out.data() + at;
  std::memcpy(p, &length, 4);
  std::memcpy(p + 4, &kind, 2);
  std::memcpy(p + 6, &reserved, 2);
  if (size > 0) std::memcpy(p + kRecordHeaderSize, payload, size);
  if (tailSize > 0) std::memcpy(p + kRecordHeaderSize + size, tail, tailSize);
}

bool SetCapabilities(uint64_t effective, uint64_t permitted) {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[2] = {};
  data[0].effective = static_cast<uint32_t>(effective);
  data[1].effective = static_cast<uint32_t>(effective >> 32);
  data[0].permitted = static_cast<uint32_t>(permitted);
  data[1].permitted = static_cast<uint32_t>(permitted >> 32);
  return syscall(SYS_capset, &header, data) == 0;
}

#if CORVANE_KERNEL_ATTRIBUTION

namespace {

int QuietLibbpf(libbpf_print_level, const char*, va_list) { return 0; }

// Appends the kSocketOwner record of one event.
void AppendOwner(std::vector<uint8_t>& out, const attribution_event& e) {
  // Kernel threads have no executable; their thread name stands in. It may
  // hold a '/' ("kworker/0:1"), which a base name never does and the client
  // refuses.
  char name[kOwnerNameBytes];
  const bool hasExecutable = e.name[0] != 0;
  const size_t nameLength =
      hasExecutable ? strnlen(e.name, std::min<size_t>(ATTRIBUTION_NAME_BYTES, kOwnerNameBytes))
                    : strnlen(e.comm, ATTRIBUTION_COMM_BYTES);
  std::memcpy(name, hasExecutable ? e.name : e.comm, nameLength);
  std::replace(name, name + nameLength, '/', '_');
  // What the client would refuse as impossible is not sent.
  if (nameLength == 0 || e.local_port == 0 || e.pid == 0) return;
  uint8_t fixed[kSocketOwnerFixedPayload] = {};
  const uint16_t reserved = 0;
  fixed[0] = e.protocol;
  fixed[1] = e.family;
  std::memcpy(fixed + 2, &e.local_port, 2);
  std::memcpy(fixed + 4, &e.remote_port, 2);
  std::memcpy(fixed + 6, &reserved, 2);
  std::memcpy(fixed + 8, &e.pid, 4);
  std::memcpy(fixed + 12, &e.uid, 4);
  std::memcpy(fixed + 16, e.local_addr, 16);
  std::memcpy(fixed + 32, e.remote_addr, 16);
  AppendRecord(out, RecordType::kSocketOwner, fixed, sizeof fixed, name, nameLength);
}

// `context`: where Drain() collects the records (a std::vector<uint8_t>*).
int OnEvent(void* context, void* data, size_t size) {
  if (size < sizeof(attribution_event)) return 0;
  attribution_event e;
  std::memcpy(&e, data, sizeof e);
  AppendOwner(**static_cast<std::vector<uint8_t>**>(context), e);
  return 0;
}

// Opens the program with the helper's namespace set; without `listing` the
// iterator of open sockets is left out (a kernel without task iterators).
attribution* OpenProgram(uint32_t ownNamespace, bool listing) {
  attribution* skeleton = attribution__open();
  if (!skeleton) return nullptr;
  skeleton->rodata->own_netns = ownNamespace;
  if (!listing) bpf_program__set_autoload(skeleton->progs.ListSockets, false);
  return skeleton;
}

}  // namespace

struct KernelAttribution::State {
  attribution* skeleton = nullptr;
  ring_buffer* ring = nullptr;
  std::vector<uint8_t>* out = nullptr;
  int listing = -1;  // the open-sockets iterator, read once
  ~State() {
    if (listing >= 0) close(listing);
    if (ring) ring_buffer__free(ring);
    if (skeleton) attribution__destroy(skeleton);
  }
};

KernelAttribution::KernelAttribution() = default;
KernelAttribution::~KernelAttribution() = default;

bool KernelAttribution::Load(uint64_t permitted) {
  libbpf_set_print(QuietLibbpf);
  // The program reports only sockets of this namespace; without knowing it,
  // it would report none, so there is no point in loading it.
  struct stat ownNamespace {};
  if (stat("/proc/self/ns/net", &ownNamespace) != 0 || ownNamespace.st_ino == 0 ||
      ownNamespace.st_ino > UINT32_MAX) {
    return false;
  }
  const uint32_t ownNetns = static_cast<uint32_t>(ownNamespace.st_ino);
  auto state = std::make_unique<State>();
  const uint64_t wanted = uint64_t{1} << CAP_BPF | uint64_t{1} << CAP_PERFMON;
  // Without both, try as we are: root passes, others fail below with EPERM.
  const bool raised = (permitted & wanted) == wanted && SetCapabilities(wanted, permitted);
  int error = -1;
  // A kernel that refuses the iterator still gets the tracepoints.
  for (const bool listing : {true, false}) {
    if (state->skeleton) attribution__destroy(state->skeleton);
    state->skeleton = OpenProgram(ownNetns, listing);
    if (!state->skeleton) break;
    error = attribution__load(state->skeleton);
    if (error == 0) error = attribution__attach(state->skeleton);
    if (error == 0) {
      if (listing) state->listing = bpf_iter_create(bpf_link__fd(state->skeleton->links.ListSockets));
      break;
    }
  }
  if (raised) SetCapabilities(0, permitted);
  if (error != 0) return false;
  if (state->listing >= 0) fcntl(state->listing, F_SETFD, FD_CLOEXEC);
  // Mapping the ring needs no capability.
  state->ring = ring_buffer__new(bpf_map__fd(state->skeleton->maps.events), OnEvent,
                                 &state->out, nullptr);
  if (!state->ring) return false;
  fcntl(ring_buffer__epoll_fd(state->ring), F_SETFD, FD_CLOEXEC);
  state_ = std::move(state);
  return true;
}

int KernelAttribution::Descriptor() const {
  return state_ ? ring_buffer__epoll_fd(state_->ring) : -1;
}

void KernelAttribution::ListOpenSockets(std::vector<uint8_t>& out) {
  if (!state_ || state_->listing < 0) return;
  // The iterator writes whole events; a read returns as many as fit.
  std::vector<uint8_t> buffer(64 * sizeof(attribution_event));
  size_t have = 0;
  for (;;) {
    const ssize_t got = read(state_->listing, buffer.data() + have, buffer.size() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    have += static_cast<size_t>(got);
    size_t used = 0;
    for (; have - used >= sizeof(attribution_event); used += sizeof(attribution_event)) {
      attribution_event e;
      std::memcpy(&e, buffer.data() + used, sizeof e);
      AppendOwner(out, e);
    }
    std::memmove(buffer.data(), buffer.data() + used, have - used);
    have -= used;
  }
  close(state_->listing);
  state_->listing = -1;
}

void KernelAttribution::Drain(std::vector<uint8_t>& out) {
  if (!state_) return;
  state_->out = &out;
  ring_buffer__consume(state_->ring);
  state_->out = nullptr;
}

#else

struct KernelAttribution::State {};
KernelAttribution::KernelAttribution() = default;
KernelAttribution::~KernelAttribution() = default;

// Built without libbpf or BTF.
bool KernelAttribution::Load(uint64_t) { return false; }

int KernelAttribution::Descriptor() const { return -1; }
void KernelAttribution::ListOpenSockets(std::vector<uint8_t>&) {}
void KernelAttribution::Drain(std::vector<uint8_t>&) {}

#endif

}  // namespace corvane::capture
