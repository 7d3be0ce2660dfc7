// The capture's second ring, there only while the capture is busy.
//
// libpcap's ring is fixed once opened and kept small, so that an idle
// helper stays light. Opening another capture needs CAP_NET_RAW, which the
// helper gives up at once; but the kernel checks it only when a packet
// socket is made. So the helper makes one more packet socket while it still
// holds the capability, and later binds it, gives it the capture's filter
// and puts it in one fanout group with libpcap's socket. A classic BPF
// program of the group picks the member for each datagram: libpcap's
// (member 0) or this one (member 1). The kernel runs it once per datagram,
// so a datagram goes to exactly one ring, and changing the program is one
// atomic step: the hand-over neither loses nor doubles a datagram.
//
// At rest this socket has no ring and the program picks libpcap's.
// StartGrowing() has the large ring made on a thread of its own (the kernel
// may take 20 ms to find and clear 16 MiB, longer than libpcap's small ring
// lasts at 800,000 datagrams/s, so the helper goes on reading that one
// meanwhile); Grown() then points the program at it. Shrink() points the
// program back, and Release() frees the ring once it has been read empty.
// The ring is only ever made or freed while the program picks the other
// member, so no datagram is put where it is then thrown away; should one be
// (a frame still in flight), it is counted with the drops.
//
// Every call but Open() runs without capabilities.
#pragma once

#include <linux/filter.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

namespace corvane::capture {

class BusyRing {
 public:
  static constexpr size_t kRingBytes = size_t{16} << 20;

  BusyRing() = default;
  ~BusyRing();
  BusyRing(const BusyRing&) = delete;
  BusyRing& operator=(const BusyRing&) = delete;

  // Makes the socket; CAP_NET_RAW must be effective. False without it.
  bool Open();
  // Joins libpcap's bound socket `primary` (on interface `interfaceIndex`,
  // with the capture's filter `filter`) in a new fanout group, ringless.
  // On lo, where each datagram passes twice, the group takes only the
  // arriving copy (where the kernel can say so; otherwise Drain skips the
  // leaving one, as libpcap does). False where the kernel refuses a step;
  // `primary` then captures alone, as it did.
  bool Attach(int primary, int interfaceIndex, const sock_fprog& filter, bool loopback);
  bool Attached() const { return attached_; }
  // The descriptor to poll while the ring exists, else -1.
  int Descriptor() const { return map_ != nullptr ? socket_ : -1; }
  size_t RingBytes() const { return map_ != nullptr ? ringBytes_ : 0; }
  // True while the group's datagrams go to this ring.
  bool Active() const { return active_; }

  // Starts making the ring, unless it is there or being made.
  void StartGrowing();
  bool Growing() const { return maker_.joinable(); }
  // Once the ring is made, sends the group's datagrams to it and returns
  // true. False while it is being made, and when the kernel could not give
  // the memory (nothing changed then).
  bool Grown();
  // Sends the group's datagrams back to libpcap's ring. The ring stays
  // until Release().
  bool Shrink();
  // Frees the ring (after Shrink() and once Drain() finds it empty); frames
  // the kernel put into it after that count as drops.
  void Release();

  // Appends the frames waiting in the ring to `out` as frame records, at
  // most about `budget` bytes of them; returns the bytes the frames took in
  // the ring.
  size_t Drain(std::vector<uint8_t>& out, size_t budget);
  // Datagrams this socket could not hold since the start.
  uint64_t Drops();

 private:
  bool Join(int primary, int interfaceIndex, const sock_fprog& filter, bool loopback);
  bool Pick(uint32_t member);
  // On the maker thread: the ring, or nullptr. It touches only the socket.
  static uint8_t* MakeRing(int socket);
  // Takes the kernel's counters (which restart at every read) into
  // accepted_ and drops_.
  void ReadCounters();

  int socket_ = -1;
  int primary_ = -1;
  bool attached_ = false;
  bool active_ = false;
  bool skipOutgoing_ = false;
  uint8_t* map_ = nullptr;
  size_t ringBytes_ = 0;
  uint32_t blocks_ = 0;
  uint32_t block_ = 0;     // the next block to read
  uint64_t accepted_ = 0;  // frames the kernel put into this socket's rings
  uint64_t read_ = 0;      // frames Drain() took out
  uint64_t drops_ = 0;
  std::thread maker_;
  std::atomic<bool> made_{false};
  uint8_t* madeMap_ = nullptr;  // the maker's result, read once made_
};

}  // namespace corvane::capture
