// Which local program owns each local TCP or UDP endpoint.
//
// One map per Monitor; it is where the capture thread, the processing thread
// and the port scanner meet. Labels ("name:pid") are keyed by (protocol,
// local address, local port): a TCP and a UDP socket on one port number, or
// two sockets bound to different local addresses, each keep their own. A
// socket bound to the wildcard address (0.0.0.0 or ::) answers for every
// local address of its family, protocol and port; a socket bound to :: also
// answers for IPv4 ones that no IPv4 socket holds (Linux's default: IPv6
// sockets accept IPv4 connections unless IPV6_V6ONLY is set, and the two
// never share a port). IPv4 addresses reached through an IPv6 socket
// (::ffff:a.b.c.d) are stored as the IPv4 addresses they are.
//
// The port scanner replaces the endpoint labels once per pass with what the
// kernel's tables show: a socket that is gone is forgotten, so a reused port
// is never named after a program that has ended. A table row without an owner
// (inode 0: a connection in TIME_WAIT) never replaces a label that is known.
//
// A socket too short-lived for the scan to see is asked for exactly: the
// capture thread calls RequestExact() when a new flow's endpoint has no label;
// the scanner answers within milliseconds (one netlink lookup of that socket)
// and the processing thread takes the answer with TakeAnswer().
//
// Every call takes the map's mutex (portMapMutex) for that call only; none
// waits for anything else. Lock order: a queue mutex, then portMapMutex, then
// listMutex, then the flow table's mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/ip_address.h"
#include "platform/mutex.h"

namespace corvane {

// One end of a flow as the capture saw it. Ports in host order; protocol 6
// (TCP) or 17 (UDP). Both addresses are of one family.
struct SocketTuple {
  uint8_t protocol = 0;
  IpAddress localAddress;
  uint16_t localPort = 0;
  IpAddress remoteAddress;
  uint16_t remotePort = 0;

  bool operator==(const SocketTuple&) const = default;
};

struct SocketTupleHash {
  size_t operator()(const SocketTuple& t) const {
    uint64_t a = IpAddressHash()(t.localAddress) * 31 + IpAddressHash()(t.remoteAddress);
    uint64_t b = uint64_t{t.protocol} << 32 | uint64_t{t.localPort} << 16 | t.remotePort;
    uint64_t h = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull + (a << 6) + (a >> 2));
    return static_cast<size_t>(h ^ (h >> 29));
  }
};

// The wildcard address of a family: 0.0.0.0 or ::.
inline IpAddress WildcardOf(IpFamily family) {
  IpAddress address;
  address.family = family;
  return address;
}

// An IPv4 address written as IPv6 (::ffff:a.b.c.d) as the IPv4 address it
// is; every other address as it stands.
IpAddress UnmapV4(const IpAddress& address);

// An endpoint label as one scanner pass found it.
struct EndpointLabel {
  uint8_t protocol = 0;
  IpAddress localAddress;     // 0.0.0.0 or ::: bound to every address
  uint16_t localPort = 0;
  bool owned = true;          // false: no process holds the socket (inode 0)
  std::string label;          // empty when !owned
};

class PortProcessMap {
 public:
  // Pending exact requests are kept up to this many; more are dropped (their
  // flows fall back to the protocol name).
  static constexpr size_t kMaxPendingRequests = 4096;
  // Answers not taken by the processing thread are kept up to this many;
  // the oldest go first.
  static constexpr size_t kMaxAnswers = 65536;

  // --- readers: capture thread and processing thread ---

  // True while a port scanner keeps the map; while false Lookup answers
  // nothing and RequestExact drops the request.
  bool Active() const { return active_.load(std::memory_order_relaxed); }
  void SetActive(bool active) { active_.store(active, std::memory_order_relaxed); }

  // The label of the live socket bound to exactly this endpoint, else of the
  // one of this protocol and port bound to the wildcard address; nullopt
  // when neither is known or the map is not active.
  std::optional<std::string> Lookup(uint8_t protocol, const IpAddress& localAddress,
                                    uint16_t localPort) const;
  std::optional<std::string> Lookup(uint8_t protocol, uint32_t localAddress,
                                    uint16_t localPort) const {
    return Lookup(protocol, IpAddress::V4(localAddress), localPort);
  }

  // Grows by one whenever a label is added, changed or forgotten; readers
  // that cache a label look it up again when this moved.
  uint64_t Version() const { return version_.load(std::memory_order_acquire); }

  // Capture thread: asks the scanner for the owner of the socket of
  // `tuple`. Never blocks on the scanner; a request for a tuple already
  // pending, or beyond kMaxPendingRequests, is dropped.
  void RequestExact(const SocketTuple& tuple);

  // Processing thread: the answer to an earlier request for `tuple`,
  // handed out once; else the answer stored for its unconnected socket
  // (remote address and port 0, local address its own or 0), kept for every
  // datagram of that port; nullopt when none came (yet).
  std::optional<std::string> TakeAnswer(const SocketTuple& tuple);

  // True while the capture helper reports the owner of every socket that
  // starts (kernel attribution): a new socket then waits for that answer
  // rather than taking the label its port had.
  bool KernelEvents() const { return kernelEvents_.load(std::memory_order_relaxed); }
  void SetKernelEvents(bool on) { kernelEvents_.store(on, std::memory_order_relaxed); }

  // --- writers: the port scanner (and tests) ---

  // Stores `label` for one endpoint, replacing an earlier one.
  void Store(uint8_t protocol, const IpAddress& localAddress, uint16_t localPort,
             std::string label);
  void Store(uint8_t protocol, uint32_t localAddress, uint16_t localPort, std::string label) {
    Store(protocol, IpAddress::V4(localAddress), localPort, std::move(label));
  }

  // Replaces every endpoint label with those of one pass. Endpoints the pass
  // did not see are forgotten; an endpoint seen only without an owner keeps
  // the label it had (its connection is closing), and is otherwise left
  // without a label.
  void ReplaceFromPass(const std::vector<EndpointLabel>& pass);

  // Scanner thread: waits until a request is pending, `timeout` has passed
  // or Wake() was called, then moves the pending requests into `out`.
  void WaitForRequests(std::chrono::milliseconds timeout, std::vector<SocketTuple>& out);
  // Ends a WaitForRequests() at once (the scanner is being stopped).
  void Wake();

  // Scanner thread: the owner found for a requested socket. Also stores the
  // label for the tuple's local endpoint.
  void StoreAnswer(const SocketTuple& tuple, std::string label);

 private:
  struct EndpointKey {
    uint8_t protocol;
    IpAddress localAddress;
    uint16_t localPort;
    bool operator==(const EndpointKey&) const = default;
  };
  struct EndpointKeyHash {
    size_t operator()(const EndpointKey& k) const {
      return SocketTupleHash()(SocketTuple{k.protocol, k.localAddress, k.localPort, {}, 0});
    }
  };

  std::atomic<bool> active_{false};
  std::atomic<bool> kernelEvents_{false};
  std::atomic<uint64_t> version_{0};
  mutable Mutex portMapMutex_;
  std::condition_variable_any requestReady_;
  bool woken_ GUARDED_BY(portMapMutex_) = false;
  std::unordered_map<EndpointKey, std::string, EndpointKeyHash> endpoints_ GUARDED_BY(portMapMutex_);
  std::vector<SocketTuple> requests_ GUARDED_BY(portMapMutex_);
  std::unordered_map<SocketTuple, std::string, SocketTupleHash> answers_ GUARDED_BY(portMapMutex_);
  std::deque<SocketTuple> answerOrder_ GUARDED_BY(portMapMutex_);
};

}  // namespace corvane
