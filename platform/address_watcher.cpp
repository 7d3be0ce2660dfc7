#include "platform/address_watcher.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/interfaces.h"

namespace corvane {

namespace {

LocalNetworks CurrentNetworks(const std::string& name) {
  Status status;
  const std::vector<NetworkInterface> interfaces = ListInterfaces(status);
  // An unreadable list reads as no addresses; the next announcement lists afresh.
  if (!status) return {};
  const NetworkInterface* entry = FindInterfaceNamed(interfaces, name);
  return entry ? NetworksOf(*entry) : LocalNetworks{};
}

bool SameNetworks(const LocalNetworks& a, const LocalNetworks& b) {
  return a.addresses == b.addresses && a.prefixes == b.prefixes;
}

}  // namespace

AddressWatcher::~AddressWatcher() { Stop(); }

Status AddressWatcher::Start(const std::string& interfaceName, Handler handler) {
  Stop();
  interfaceName_ = interfaceName;
  handler_ = std::move(handler);

  // Subscribed before the first listing, so that no change between the two
  // goes unseen.
  socket_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  bool subscribed = socket_ >= 0;
  if (subscribed) {
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    subscribed = ::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
  }
  Status status;
  if (!subscribed) {
    status = Status::SystemFailure("cannot follow the interface's addresses (rtnetlink)", errno);
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
  }

  last_ = CurrentNetworks(interfaceName_);
  handler_(last_);
  if (!subscribed) return status;

  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0) {
    Status failed = Status::SystemFailure("cannot follow the interface's addresses (eventfd)", errno);
    ::close(socket_);
    socket_ = -1;
    return failed;
  }
  thread_ = std::thread([this] { Run(); });
  return Status::Ok();
}

void AddressWatcher::Stop() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    thread_.join();
  }
  if (socket_ >= 0) ::close(socket_);
  if (wake_ >= 0) ::close(wake_);
  socket_ = wake_ = -1;
}

void AddressWatcher::Publish() {
  LocalNetworks now = CurrentNetworks(interfaceName_);
  if (SameNetworks(now, last_)) return;
  last_ = std::move(now);
  handler_(last_);
}

void AddressWatcher::Run() {
  alignas(nlmsghdr) char buffer[16384];
  while (true) {
    pollfd fds[2] = {{wake_, POLLIN, 0}, {socket_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) return;
    // Announcements come in bursts (an address and its route, a link and
    // its addresses): all that is waiting is read, then the addresses are
    // listed once. Which interface an announcement concerns is not looked
    // at: a rename makes another index carry the watched name.
    bool changed = false;
    bool lost = false;
    while (true) {
      const ssize_t got = ::recv(socket_, buffer, sizeof buffer, 0);
      if (got > 0) {
        changed = true;
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && errno == ENOBUFS) {
        lost = true;
        continue;
      }
      break;  // EAGAIN: nothing more waiting
    }
    if (changed || lost) Publish();
  }
}

}  // namespace corvane
