// The exact socket lookup over netlink, on sockets the test opens on
// loopback: each must come back with its own inode, however it was opened.
#include "platform/sock_diag.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace corvane {
namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  uint64_t inode() const {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? st.st_ino : 0;
  }

 private:
  int fd_;
};

uint32_t LoopbackValue(uint8_t last = 1) { return htonl(0x7f000000u | last); }
IpAddress Loopback(uint8_t last = 1) { return IpAddress::V4(LoopbackValue(last)); }
IpAddress Loopback6() { return *ParseIp("::1"); }

sockaddr_in V4(const IpAddress& address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address.V4Value();
  sa.sin_port = htons(port);
  return sa;
}

uint16_t PortOf(int fd) {
  sockaddr_storage sa{};
  socklen_t length = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length);
  return sa.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port)
                                  : ntohs(reinterpret_cast<sockaddr_in*>(&sa)->sin_port);
}

bool Bind(int fd, const IpAddress& address, uint16_t port = 0) {
  const sockaddr_in sa = V4(address, port);
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

class SocketDiagTest : public ::testing::Test {
 protected:
  // A listener on 127.0.0.1.
  void SetUp() override {
    ASSERT_TRUE(Bind(listener_.get(), Loopback())) << std::strerror(errno);
    ASSERT_EQ(::listen(listener_.get(), 8), 0);
    listenerPort_ = PortOf(listener_.get());
  }

  void ExpectFound(const SocketLookupResult& result, const Fd& socket) {
    ASSERT_EQ(result.status, SocketLookupStatus::kFound) << std::strerror(result.error);
    EXPECT_EQ(result.inode, socket.inode());
    EXPECT_EQ(result.uid, ::geteuid());
  }

  SocketDiag diag_;
  Fd listener_{::socket(AF_INET, SOCK_STREAM, 0)};
  uint16_t listenerPort_ = 0;
};

TEST_F(SocketDiagTest, TcpConnectionIsFoundFromEachEndWithItsOwnInode) {
  Fd client(::socket(AF_INET, SOCK_STREAM, 0));
  const sockaddr_in to = V4(Loopback(), listenerPort_);
  ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  Fd accepted(::accept(listener_.get(), nullptr, nullptr));
  const uint16_t clientPort = PortOf(client.get());

  ExpectFound(diag_.Find(6, Loopback(), clientPort, Loopback(), listenerPort_), client);
  ExpectFound(diag_.Find(6, Loopback(), listenerPort_, Loopback(), clientPort), accepted);
}

TEST_F(SocketDiagTest, UnconnectedWildcardUdpSocketIsFoundForAnyRemoteEnd) {
  Fd udp(::socket(AF_INET, SOCK_DGRAM, 0));
  ASSERT_TRUE(Bind(udp.get(), IpAddress::V4(INADDR_ANY))) << std::strerror(errno);
  ExpectFound(diag_.Find(17, Loopback(), PortOf(udp.get()), Loopback(9), 5353), udp);
}

TEST_F(SocketDiagTest, DualStackSocketsCarryingIpv4AreFound) {
  Fd tcp(::socket(AF_INET6, SOCK_STREAM, 0));
  Fd udp(::socket(AF_INET6, SOCK_DGRAM, 0));
  if (tcp.get() < 0 || udp.get() < 0) GTEST_SKIP() << "no IPv6 in this kernel";
  int off = 0;
  ::setsockopt(tcp.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  ::setsockopt(udp.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 to{};
  to.sin6_family = AF_INET6;
  to.sin6_port = htons(listenerPort_);
  ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:127.0.0.1", &to.sin6_addr), 1);
  ASSERT_EQ(::connect(tcp.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0)
      << std::strerror(errno);
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  ASSERT_EQ(::bind(udp.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);

  ExpectFound(diag_.Find(6, Loopback(), PortOf(tcp.get()), Loopback(), listenerPort_), tcp);
  ExpectFound(diag_.Find(17, Loopback(), PortOf(udp.get()), Loopback(), 53), udp);
}

TEST_F(SocketDiagTest, NativeIpv6SocketsAreFoundByTheirOwnAddresses) {
  Fd listener(::socket(AF_INET6, SOCK_STREAM, 0));
  if (listener.get() < 0) GTEST_SKIP() << "no IPv6 in this kernel";
  sockaddr_in6 loopback{};
  loopback.sin6_family = AF_INET6;
  loopback.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback), 0)
      << std::strerror(errno);
  ASSERT_EQ(::listen(listener.get(), 8), 0);
  Fd client(::socket(AF_INET6, SOCK_STREAM, 0));
  loopback.sin6_port = htons(PortOf(listener.get()));
  ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback), 0);
  Fd udp(::socket(AF_INET6, SOCK_DGRAM, 0));
  loopback.sin6_port = 0;
  ASSERT_EQ(::bind(udp.get(), reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback), 0);

  ExpectFound(diag_.Find(6, Loopback6(), PortOf(client.get()), Loopback6(), PortOf(listener.get())),
              client);
  ExpectFound(diag_.Find(17, Loopback6(), PortOf(udp.get()), Loopback6(), 53), udp);
}

TEST_F(SocketDiagTest, ClosedSocketIsNotFound) {
  uint16_t port;
  {
    Fd udp(::socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_TRUE(Bind(udp.get(), Loopback()));
    port = PortOf(udp.get());
  }
  const SocketLookupResult udp = diag_.Find(17, Loopback(), port, Loopback(), 53);
  EXPECT_EQ(udp.status, SocketLookupStatus::kNotFound) << std::strerror(udp.error);
  // No listener on this port: a TCP lookup must not fall back to anything.
  const SocketLookupResult tcp = diag_.Find(6, Loopback(), port, Loopback(), listenerPort_);
  EXPECT_EQ(tcp.status, SocketLookupStatus::kNotFound) << std::strerror(tcp.error);
}

}  // namespace
}  // namespace corvane
