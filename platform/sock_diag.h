// The exact lookup of one TCP or UDP socket by its addresses and ports,
// over NETLINK_SOCK_DIAG: which socket inode carries a flow that the capture
// has just seen, before the /proc/net tables are read again.
//
// One request names the socket's 4-tuple (no dump), so a lookup costs a few
// microseconds whatever the number of sockets, and needs no privilege. A UDP
// socket that is not connected is found too: the kernel looks it up as it
// would deliver a datagram from the remote end. A dual-stack (AF_INET6)
// socket carrying IPv4 is found under its IPv4-mapped addresses.
//
// Not thread-safe: one thread (the port scanner) uses one SocketDiag.
// Failures are values; nothing here blocks (the kernel answers such a
// request before the send returns).
#pragma once

#include <cstdint>

#include "platform/ip_address.h"

namespace corvane {

enum class SocketLookupStatus {
  kFound,
  kNotFound,  // no socket has these addresses and ports (it closed)
  kFailed,    // netlink refused or gave no answer: `error` says why
};

struct SocketLookupResult {
  SocketLookupStatus status = SocketLookupStatus::kFailed;
  uint64_t inode = 0;  // 0: no process holds the socket (TCP TIME_WAIT)
  uint32_t uid = 0;    // who opened the socket
  int error = 0;       // errno, when kFailed
};

class SocketDiag {
 public:
  SocketDiag() = default;
  ~SocketDiag();
  SocketDiag(const SocketDiag&) = delete;
  SocketDiag& operator=(const SocketDiag&) = delete;

  // The socket of `protocol` (6 TCP, 17 UDP) whose local end is
  // localAddress:localPort and whose remote end is remoteAddress:remotePort.
  // Both addresses of one family; ports in host order. For TCP a
  // listener answers for a connection it no longer holds (the same
  // program). Opens the netlink socket on first use and again after a
  // failure to open it.
  SocketLookupResult Find(uint8_t protocol, const IpAddress& localAddress, uint16_t localPort,
                          const IpAddress& remoteAddress, uint16_t remotePort);

 private:
  // One request of address family `family` (AF_INET or AF_INET6).
  SocketLookupResult Ask(int family, uint8_t protocol, const IpAddress& localAddress,
                         uint16_t localPort, const IpAddress& remoteAddress, uint16_t remotePort);

  int fd_ = -1;
  uint32_t sequence_ = 0;
};

}  // namespace corvane
