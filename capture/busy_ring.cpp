#include "capture/busy_ring.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "capture/capture_protocol.h"
#include "capture/kernel_attribution.h"  // AppendRecord

namespace corvane::capture {
namespace {

// As libpcap's ring: blocks handed over when full or after this long.
constexpr uint32_t kBlockBytes = 256 * 1024;
constexpr unsigned kBlockTimeoutMs = 10;
constexpr uint32_t kFrameSlot = 2048;  // only a unit of the ring's layout in TPACKET_V3
// Linux 6.1's fanout flag; older headers lack it.
constexpr int kFanoutIgnoreOutgoing = 0x4000;
constexpr size_t kVlanTagBytes = 4;
constexpr size_t kMacBytes = 2 * ETH_ALEN;

}  // namespace

BusyRing::~BusyRing() {
  if (maker_.joinable()) maker_.join();
  if (madeMap_ != nullptr) munmap(madeMap_, kRingBytes);
  if (map_ != nullptr) munmap(map_, ringBytes_);
  if (socket_ >= 0) close(socket_);
}

bool BusyRing::Open() {
  // Protocol 0: the socket receives nothing until Attach binds it.
  socket_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  return socket_ >= 0;
}

bool BusyRing::Attach(int primary, int interfaceIndex, const sock_fprog& filter, bool loopback) {
  if (socket_ < 0) return false;
  attached_ = Join(primary, interfaceIndex, filter, loopback);
  if (!attached_) {
    close(socket_);
    socket_ = -1;
  }
  return attached_;
}

bool BusyRing::Join(int primary, int interfaceIndex, const sock_fprog& filter, bool loopback) {
  const int version = TPACKET_V3;
  if (setsockopt(socket_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) return false;
  // Bound but not yet in the group, the socket would see every datagram
  // libpcap's sees; it takes none until it is in.
  sock_filter none{BPF_RET | BPF_K, 0, 0, 0};
  const sock_fprog rejectAll{1, &none};
  if (setsockopt(socket_, SOL_SOCKET, SO_ATTACH_FILTER, &rejectAll, sizeof rejectAll) != 0) {
    return false;
  }
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_ALL);
  address.sll_ifindex = interfaceIndex;
  if (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
  // libpcap's socket founds a group of its own (the kernel picks an id no
  // other group uses) and so is its member 0; this one joins as member 1.
  // The group, not its members, decides whether lo's leaving copies come in.
  int flags = loopback ? kFanoutIgnoreOutgoing : 0;
  int group = (PACKET_FANOUT_CBPF | PACKET_FANOUT_FLAG_UNIQUEID | flags) << 16;
  if (setsockopt(primary, SOL_PACKET, PACKET_FANOUT, &group, sizeof group) != 0) {
    // A kernel before 6.1: the copies come in, and both readers skip them.
    flags = 0;
    group = (PACKET_FANOUT_CBPF | PACKET_FANOUT_FLAG_UNIQUEID) << 16;
    if (setsockopt(primary, SOL_PACKET, PACKET_FANOUT, &group, sizeof group) != 0) return false;
  }
  skipOutgoing_ = loopback && flags == 0;
  primary_ = primary;
  socklen_t length = sizeof group;
  if (getsockopt(primary, SOL_PACKET, PACKET_FANOUT, &group, &length) != 0) return false;
  const int join = (group & 0xffff) | (PACKET_FANOUT_CBPF | flags) << 16;
  if (!Pick(0)) return false;
  if (setsockopt(socket_, SOL_PACKET, PACKET_FANOUT, &join, sizeof join) != 0) return false;
  return setsockopt(socket_, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

bool BusyRing::Pick(uint32_t member) {
  // The member's index in the group; the kernel takes it modulo the
  // members present, so while this socket is briefly out of the group (as
  // its ring is made or freed) everything goes to libpcap's.
  sock_filter ret{BPF_RET | BPF_K, 0, 0, member};
  const sock_fprog program{1, &ret};
  return setsockopt(primary_, SOL_PACKET, PACKET_FANOUT_DATA, &program, sizeof program) == 0;
}

uint8_t* BusyRing::MakeRing(int socket) {
  tpacket_req3 request{};
  request.tp_block_size = kBlockBytes;
  request.tp_block_nr = static_cast<unsigned>(kRingBytes / kBlockBytes);
  request.tp_frame_size = kFrameSlot;
  request.tp_frame_nr = kBlockBytes / kFrameSlot * request.tp_block_nr;
  request.tp_retire_blk_tov = kBlockTimeoutMs;
  if (setsockopt(socket, SOL_PACKET, PACKET_RX_RING, &request, sizeof request) != 0) return nullptr;
  void* map = mmap(nullptr, kRingBytes, PROT_READ | PROT_WRITE, MAP_SHARED, socket, 0);
  if (map == MAP_FAILED) {
    tpacket_req3 free{};
    setsockopt(socket, SOL_PACKET, PACKET_RX_RING, &free, sizeof free);
    return nullptr;
  }
  return static_cast<uint8_t*>(map);
}

void BusyRing::StartGrowing() {
  if (!attached_ || map_ != nullptr || maker_.joinable()) return;
  made_.store(false);
  // The program picks libpcap's socket all along, so this one is given no
  // datagram while its ring is made.
  maker_ = std::thread([this, socket = socket_] {
    madeMap_ = MakeRing(socket);
    made_.store(true, std::memory_order_release);
  });
}

bool BusyRing::Grown() {
  if (!maker_.joinable() || !made_.load(std::memory_order_acquire)) return false;
  maker_.join();
  map_ = madeMap_;
  madeMap_ = nullptr;
  if (map_ == nullptr) return false;
  ringBytes_ = kRingBytes;
  blocks_ = static_cast<uint32_t>(kRingBytes / kBlockBytes);
  block_ = 0;
  if (!Pick(1)) {
    Release();
    return false;
  }
  active_ = true;
  return true;
}

bool BusyRing::Shrink() {
  if (!active_) return true;
  if (!Pick(0)) return false;
  active_ = false;
  return true;
}

void BusyRing::Release() {
  if (map_ == nullptr || active_) return;
  munmap(map_, ringBytes_);
  map_ = nullptr;
  tpacket_req3 free{};
  setsockopt(socket_, SOL_PACKET, PACKET_RX_RING, &free, sizeof free);
  // What the kernel put into the ring and Drain did not take went with it.
  ReadCounters();
  if (accepted_ > read_) {
    drops_ += accepted_ - read_;
    read_ = accepted_;
  }
}

void BusyRing::ReadCounters() {
  tpacket_stats_v3 stats{};
  socklen_t length = sizeof stats;
  if (getsockopt(socket_, SOL_PACKET, PACKET_STATISTICS, &stats, &length) != 0) return;
  // tp_packets counts the dropped ones too.
  accepted_ += stats.tp_packets - std::min(stats.tp_packets, stats.tp_drops);
  drops_ += stats.tp_drops;
}

size_t BusyRing::Drain(std::vector<uint8_t>& out, size_t budget) {
  if (map_ == nullptr) return 0;
  size_t used = 0;
  const size_t start = out.size();
  uint8_t tagged[kFrameBytes];
  while (out.size() - start < budget) {
    auto* block = reinterpret_cast<tpacket_block_desc*>(map_ + size_t{block_} * kBlockBytes);
    if ((__atomic_load_n(&block->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0) {
      break;
    }
    const uint8_t* at =
        reinterpret_cast<const uint8_t*>(block) + block->hdr.bh1.offset_to_first_pkt;
    read_ += block->hdr.bh1.num_pkts;
    used += block->hdr.bh1.blk_len;
    for (uint32_t i = 0; i < block->hdr.bh1.num_pkts; ++i) {
      const auto* frame = reinterpret_cast<const tpacket3_hdr*>(at);
      const auto* link =
          reinterpret_cast<const sockaddr_ll*>(at + TPACKET_ALIGN(sizeof(tpacket3_hdr)));
      at += frame->tp_next_offset;
      if (skipOutgoing_ && link->sll_pkttype == PACKET_OUTGOING) continue;
      const uint8_t* data = reinterpret_cast<const uint8_t*>(frame) + frame->tp_mac;
      size_t captured = frame->tp_snaplen;
      uint32_t wire = frame->tp_len;
      // The kernel takes a VLAN tag out of the frame; libpcap puts it back,
      // and so does this ring.
      const bool tag = frame->hv1.tp_vlan_tci != 0 || (frame->tp_status & TP_STATUS_VLAN_VALID);
      if (tag && captured >= kMacBytes) {
        const uint16_t tpid = htons((frame->tp_status & TP_STATUS_VLAN_TPID_VALID)
                                        ? frame->hv1.tp_vlan_tpid
                                        : static_cast<uint16_t>(ETH_P_8021Q));
        const uint16_t tci = htons(static_cast<uint16_t>(frame->hv1.tp_vlan_tci));
        captured = std::min(captured + kVlanTagBytes, kFrameBytes);
        std::memcpy(tagged, data, kMacBytes);
        std::memcpy(tagged + kMacBytes, &tpid, 2);
        std::memcpy(tagged + kMacBytes + 2, &tci, 2);
        std::memcpy(tagged + kMacBytes + kVlanTagBytes, data + kMacBytes,
                    captured - kMacBytes - kVlanTagBytes);
        data = tagged;
        wire += kVlanTagBytes;
      }
      uint8_t fixed[kFrameHeaderPayload];
      const int64_t seconds = frame->tp_sec;
      const int32_t microseconds = static_cast<int32_t>(frame->tp_nsec / 1000);
      std::memcpy(fixed, &seconds, 8);
      std::memcpy(fixed + 8, &microseconds, 4);
      std::memcpy(fixed + 12, &wire, 4);
      AppendRecord(out, RecordType::kFrame, fixed, sizeof fixed, data,
                   std::min(captured, kFrameBytes));
    }
    __atomic_store_n(&block->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    block_ = (block_ + 1) % blocks_;
  }
  return used;
}

uint64_t BusyRing::Drops() {
  // Without a ring the socket is never picked, so it has nothing to count.
  if (map_ != nullptr) ReadCounters();
  return drops_;
}

}  // namespace corvane::capture
