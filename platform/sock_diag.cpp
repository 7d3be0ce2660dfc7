#include "platform/sock_diag.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvane {

namespace {

struct Request {
  nlmsghdr header;
  inet_diag_req_v2 body;
};

// Writes an IPv4 address into `words` as itself (AF_INET) or as ::ffff:a
// (AF_INET6); an IPv6 address as itself.
void PutAddress(int family, const IpAddress& address, __be32 words[4]) {
  std::memset(words, 0, 4 * sizeof(__be32));
  if (address.IsV6()) {
    std::memcpy(words, address.bytes.data(), 16);
  } else if (family == AF_INET) {
    words[0] = address.V4Value();
  } else {
    words[2] = htonl(0xffff);
    words[3] = address.V4Value();
  }
}

// NLMSG_OK with the signs kept apart: the macro compares the unsigned
// nlmsg_len with the signed remaining length.
bool MessageFits(const nlmsghdr* message, int remaining) {
  return remaining >= static_cast<int>(sizeof(nlmsghdr)) && message->nlmsg_len >= sizeof(nlmsghdr) &&
         message->nlmsg_len <= static_cast<unsigned>(remaining);
}

}  // namespace

SocketDiag::~SocketDiag() {
  if (fd_ >= 0) ::close(fd_);
}

SocketLookupResult SocketDiag::Find(uint8_t protocol, const IpAddress& localAddress,
                                    uint16_t localPort, const IpAddress& remoteAddress,
                                    uint16_t remotePort) {
  if (fd_ < 0) {
    fd_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd_ < 0) {
      SocketLookupResult result;
      result.error = errno;
      return result;
    }
  }
  if (localAddress.IsV6()) {
    return Ask(AF_INET6, protocol, localAddress, localPort, remoteAddress, remotePort);
  }
  SocketLookupResult result =
      Ask(AF_INET, protocol, localAddress, localPort, remoteAddress, remotePort);
  // A dual-stack socket may be known only under its IPv4-mapped addresses.
  if (result.status == SocketLookupStatus::kNotFound) {
    result = Ask(AF_INET6, protocol, localAddress, localPort, remoteAddress, remotePort);
  }
  return result;
}

SocketLookupResult SocketDiag::Ask(int family, uint8_t protocol, const IpAddress& localAddress,
                                   uint16_t localPort, const IpAddress& remoteAddress,
                                   uint16_t remotePort) {
  SocketLookupResult result;
  Request request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST;  // one socket, no dump
  request.header.nlmsg_seq = ++sequence_;
  request.body.sdiag_family = static_cast<uint8_t>(family);
  request.body.sdiag_protocol = protocol;
  request.body.idiag_states = ~0u;
  inet_diag_sockid& id = request.body.id;
  // TCP finds the socket as "source = this end"; UDP as the receiving end
  // of a datagram, so source is the remote end. That receive-side lookup is
  // also what finds an unconnected UDP socket.
  const bool localIsSource = protocol != IPPROTO_UDP;
  PutAddress(family, localIsSource ? localAddress : remoteAddress, id.idiag_src);
  PutAddress(family, localIsSource ? remoteAddress : localAddress, id.idiag_dst);
  id.idiag_sport = htons(localIsSource ? localPort : remotePort);
  id.idiag_dport = htons(localIsSource ? remotePort : localPort);
  id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = ::sendto(fd_, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                    sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(sizeof request)) {
    result.error = sent < 0 ? errno : EIO;
    return result;
  }

  // The answer is queued before sendto returns; an earlier request's late
  // answer (other sequence number) is skipped.
  alignas(nlmsghdr) char buffer[8192];
  while (true) {
    const ssize_t received = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (received < 0) {
      if (errno == EINTR) continue;
      result.error = errno;
      return result;
    }
    int length = static_cast<int>(received);
    for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); MessageFits(message, length);
         message = NLMSG_NEXT(message, length)) {
      if (message->nlmsg_seq != request.header.nlmsg_seq) continue;
      if (message->nlmsg_type == NLMSG_ERROR) {
        if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
          result.error = EPROTO;
          return result;
        }
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
        if (error->error == -ENOENT) {
          result.status = SocketLookupStatus::kNotFound;
        } else {
          result.error = error->error < 0 ? -error->error : EPROTO;
        }
        return result;
      }
      if (message->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
          message->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
        result.status = SocketLookupStatus::kFound;
        result.inode = diag->idiag_inode;
        result.uid = diag->idiag_uid;
        return result;
      }
      result.error = EPROTO;
      return result;
    }
  }
}

}  // namespace corvane
