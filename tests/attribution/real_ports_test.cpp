// The port scanner on the real /proc and netlink, with sockets the test and
// its children open themselves on loopback.
#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>

#include <chrono>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "attribution/port_process_map.h"
#include "attribution/port_scanner.h"
#include "tests/attribution/system_sockets.h"

namespace corvane {
namespace {

using corvane::testing::OwnLabel;
using corvane::testing::Socket;

using corvane::testing::Address;

const IpAddress kLoopback = IpAddress::V4(Address("127.0.0.1"));

class RealPortsTest : public ::testing::Test {
 protected:
  RealPortsTest() { map_.SetActive(true); }

  std::optional<std::string> Label(uint16_t port) { return map_.Lookup(6, kLoopback, port); }
  std::optional<std::string> UdpLabel(uint16_t port) { return map_.Lookup(17, kLoopback, port); }

  PortProcessMap map_;
  PortScanner scanner_{map_, Env::Default()};
};

TEST_F(RealPortsTest, OwnListenerConnectionAndUdpSocketGetThisProgramsLabel) {
  Socket listener(SOCK_STREAM);
  ASSERT_TRUE(listener.Bind("127.0.0.1")) << std::strerror(errno);
  ASSERT_EQ(::listen(listener.fd(), 4), 0);
  Socket client(SOCK_STREAM);
  const sockaddr_in to = listener.Name();
  ASSERT_EQ(::connect(client.fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0)
      << std::strerror(errno);
  Socket accepted(::accept(listener.fd(), nullptr, nullptr), true);
  ASSERT_GE(accepted.fd(), 0);
  Socket udp(SOCK_DGRAM);
  ASSERT_TRUE(udp.Bind("127.0.0.1")) << std::strerror(errno);

  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(listener.Port()), OwnLabel());
  EXPECT_EQ(Label(client.Port()), OwnLabel());
  EXPECT_EQ(UdpLabel(udp.Port()), OwnLabel());
}

// Native IPv6 sockets from tcp6 and udp6, found by their own addresses; a
// dual-stack listener on :: also names IPv4 connections to its port.
TEST_F(RealPortsTest, Ipv6SocketsFromTcp6AndUdp6GetThisProgramsLabel) {
  const int listener = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (listener < 0) GTEST_SKIP() << "no IPv6 in this kernel";
  Socket listenerOwner(listener, true);
  const int off = 0;
  ::setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const uint16_t listenerPort = ntohs(address.sin6_port);
  Socket client(::socket(AF_INET6, SOCK_STREAM, 0), true);
  address.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::connect(client.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  Socket udp(::socket(AF_INET6, SOCK_DGRAM, 0), true);
  address.sin6_port = 0;
  ASSERT_EQ(::bind(udp.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  length = sizeof address;
  ::getsockname(udp.fd(), reinterpret_cast<sockaddr*>(&address), &length);
  const uint16_t udpPort = ntohs(address.sin6_port);
  length = sizeof address;
  ::getsockname(client.fd(), reinterpret_cast<sockaddr*>(&address), &length);
  const uint16_t clientPort = ntohs(address.sin6_port);

  ASSERT_TRUE(scanner_.RunPass());
  const IpAddress one = *ParseIp("::1");
  EXPECT_EQ(map_.Lookup(6, one, clientPort), OwnLabel());
  EXPECT_EQ(map_.Lookup(6, one, listenerPort), OwnLabel());
  EXPECT_EQ(map_.Lookup(6, kLoopback, listenerPort), OwnLabel());
  EXPECT_EQ(map_.Lookup(17, one, udpPort), OwnLabel());
  EXPECT_FALSE(map_.Lookup(17, kLoopback, udpPort).has_value()) << "bound to ::1 only";
}

TEST_F(RealPortsTest, ConnectionClosedFirstHereKeepsItsLabelThroughTimeWait) {
  Socket listener(SOCK_STREAM);
  ASSERT_TRUE(listener.Bind("127.0.0.1")) << std::strerror(errno);
  ASSERT_EQ(::listen(listener.fd(), 4), 0);
  Socket client(SOCK_STREAM);
  const sockaddr_in to = listener.Name();
  ASSERT_EQ(::connect(client.fd(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  Socket accepted(::accept(listener.fd(), nullptr, nullptr), true);
  const uint16_t clientPort = client.Port();
  ASSERT_TRUE(scanner_.RunPass());
  // Closed here first: the row stays, without a process (inode 0).
  client.Close();
  accepted.Close();
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(clientPort), OwnLabel());
}

// A child process that holds a UDP socket on a given port until released.
class UdpChild {
 public:
  explicit UdpChild(uint16_t port) {
    int ready[2];
    if (::pipe(ready) != 0 || ::pipe(hold_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(hold_[1]);
      Socket udp(SOCK_DGRAM);
      const char ok = udp.Bind("127.0.0.1", port) ? 1 : 0;
      (void)!::write(ready[1], &ok, 1);
      char byte;
      while (::read(hold_[0], &byte, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold_[0]);
    char ok = 0;
    bound_ = pid_ > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 1;
    ::close(ready[0]);
  }
  ~UdpChild() {
    ::close(hold_[1]);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }
  bool bound() const { return bound_; }
  pid_t pid() const { return pid_; }

 private:
  int hold_[2] = {-1, -1};
  pid_t pid_ = -1;
  bool bound_ = false;
};

TEST_F(RealPortsTest, TcpHereAndUdpInAnotherProcessOnOneNumberAreEachNamedRight) {
  Socket listener(SOCK_STREAM);
  ASSERT_TRUE(listener.Bind("127.0.0.1")) << std::strerror(errno);
  ASSERT_EQ(::listen(listener.fd(), 4), 0);
  UdpChild child(listener.Port());
  ASSERT_TRUE(child.bound()) << "UDP port " << listener.Port() << " is taken";

  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(Label(listener.Port()), OwnLabel());
  EXPECT_EQ(UdpLabel(listener.Port()), OwnLabel(child.pid()));
}

TEST_F(RealPortsTest, PortOfAnEndedProgramIsNamedAfterTheNextProgramToUseIt) {
  uint16_t port;
  {
    Socket probe(SOCK_DGRAM);  // finds a free port
    ASSERT_TRUE(probe.Bind("127.0.0.1"));
    port = probe.Port();
  }
  pid_t firstPid;
  {
    UdpChild first(port);
    ASSERT_TRUE(first.bound()) << "UDP port " << port << " is taken";
    firstPid = first.pid();
    ASSERT_TRUE(scanner_.RunPass());
    ASSERT_EQ(UdpLabel(port), OwnLabel(firstPid));
  }  // the first child has ended
  UdpChild second(port);
  ASSERT_TRUE(second.bound()) << "UDP port " << port << " was taken meanwhile";
  ASSERT_NE(second.pid(), firstPid);
  ASSERT_TRUE(scanner_.RunPass());
  EXPECT_EQ(UdpLabel(port), OwnLabel(second.pid()));
}

// What the child tells the test after each connect or first send, as the
// capture would see the first datagram.
struct Opened {
  uint8_t protocol;
  uint16_t port;
};

// Runs in a forked child of a process with threads: system calls only, no
// allocation. 20 TCP connections of 50 ms, then 20 UDP sockets that send 5
// datagrams within 50 ms; each reported on `report` once open.
[[noreturn]] void OpenShortLivedSockets(int report, sockaddr_in tcpServer, sockaddr_in udpSink) {
  const timespec fifty{0, 50'000'000};
  const timespec ten{0, 10'000'000};
  char payload[512] = {};
  for (int i = 0; i < 20; ++i) {
    const int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(tcp, reinterpret_cast<const sockaddr*>(&tcpServer), sizeof tcpServer) != 0) {
      ::_exit(1);
    }
    (void)!::send(tcp, payload, sizeof payload, 0);
    sockaddr_in name{};
    socklen_t length = sizeof name;
    ::getsockname(tcp, reinterpret_cast<sockaddr*>(&name), &length);
    const Opened opened{6, ntohs(name.sin_port)};
    if (::write(report, &opened, sizeof opened) != sizeof opened) ::_exit(2);
    ::nanosleep(&fifty, nullptr);
    ::close(tcp);
  }
  for (int i = 0; i < 20; ++i) {
    const int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
    for (int datagram = 0; datagram < 5; ++datagram) {
      (void)!::sendto(udp, payload, sizeof payload, 0, reinterpret_cast<const sockaddr*>(&udpSink),
                      sizeof udpSink);
      if (datagram == 0) {
        sockaddr_in name{};
        socklen_t length = sizeof name;
        ::getsockname(udp, reinterpret_cast<sockaddr*>(&name), &length);
        const Opened opened{17, ntohs(name.sin_port)};
        if (::write(report, &opened, sizeof opened) != sizeof opened) ::_exit(2);
      }
      ::nanosleep(&ten, nullptr);
    }
    ::close(udp);
  }
  ::_exit(0);
}

TEST_F(RealPortsTest, ShortLivedSocketsOfAChildAreNamedThroughExactRequests) {
  Socket listener(SOCK_STREAM);
  ASSERT_TRUE(listener.Bind("127.0.0.1")) << std::strerror(errno);
  ASSERT_EQ(::listen(listener.fd(), 64), 0);
  Socket sink(SOCK_DGRAM);
  ASSERT_TRUE(sink.Bind("127.0.0.1")) << std::strerror(errno);
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const sockaddr_in tcpServer = listener.Name();
  const sockaddr_in udpSink = sink.Name();
  ASSERT_TRUE(scanner_.Start().ok);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(report[0]);
    ::close(listener.fd());
    ::close(sink.fd());
    OpenShortLivedSockets(report[1], tcpServer, udpSink);
  }
  ::close(report[1]);

  // Plays the capture thread: a new flow with no label asks at once.
  std::vector<SocketTuple> asked;
  Opened opened;
  while (::read(report[0], &opened, sizeof opened) == sizeof opened) {
    const uint16_t remotePort = opened.protocol == 6 ? listener.Port() : sink.Port();
    const SocketTuple tuple{opened.protocol, kLoopback, opened.port, kLoopback, remotePort};
    map_.RequestExact(tuple);
    asked.push_back(tuple);
  }
  ::close(report[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failed: " << status;
  ASSERT_EQ(asked.size(), 40u);
  ASSERT_TRUE(scanner_.WaitForRequestsServed(asked.size(), std::chrono::seconds(30)));
  scanner_.Stop();

  size_t named = 0;
  for (const SocketTuple& tuple : asked) {
    if (map_.TakeAnswer(tuple) == OwnLabel(child)) ++named;
  }
  std::cout << "named by exact request: " << named << " of " << asked.size() << "\n";
  RecordProperty("named", static_cast<int>(named));
  EXPECT_GE(named * 10, asked.size() * 9);
}

TEST_F(RealPortsTest, OtherUsersSocketLeavesTheEntryAsItWas) {
  CORVANE_REQUIRE(::geteuid() == 0, "needs root to run a scan as another user");
  Socket listener(SOCK_STREAM);
  ASSERT_TRUE(listener.Bind("127.0.0.1")) << std::strerror(errno);
  ASSERT_EQ(::listen(listener.fd(), 4), 0);
  const uint16_t rootPort = listener.Port();

  // The scan runs in a child that has dropped to "nobody": root's fd links
  // are closed to it, its own are not.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    listener.Close();  // inherited: only the parent may hold it
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(10);
    PortProcessMap map;
    PortScanner scanner(map, Env::Default());
    map.SetActive(true);
    map.Store(6, kLoopback, rootPort, "before:1");
    Socket udp(SOCK_DGRAM);
    if (!udp.Bind("127.0.0.1")) _exit(11);
    if (!scanner.RunPass()) _exit(12);
    if (map.Lookup(6, kLoopback, rootPort) != "before:1") _exit(13);
    if (map.Lookup(17, kLoopback, udp.Port()) != OwnLabel()) _exit(14);
    if (scanner.LastPassStats().leftAsIs == 0) _exit(15);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  // 13: root's port was relabelled; 14: own port not labelled.
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace corvane
