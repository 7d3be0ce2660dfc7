// The interface chosen by name, for real: a network namespace of the test's
// own joined by a veth link (va here, vb in a second namespace) to a peer,
// with IPv4 and IPv6 addresses on both ends and the default routes through
// the link. Neighbours are entered by hand, so the only datagrams between
// the two ends' global addresses are the test's own. Needs root (CI runs it
// as root); nothing leaves the two namespaces.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>

#include "support/test_env.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "platform/address_watcher.h"
#include "platform/clock.h"
#include "tests/faults/fault_support.h"
#include "tests/storage/temp_dir.h"

namespace corvane {
namespace {

using faults::RunCommand;

const char* const kLocal4 = "198.18.0.1";
const char* const kPeer4 = "198.18.0.2";
const char* const kLocal6 = "2001:db8::1";
const char* const kPeer6 = "2001:db8::2";
const char* const kLocalMac = "02:00:00:00:18:01";
const char* const kPeerMac = "02:00:00:00:18:02";

// Bytes of a peer's datagrams as counted on one side, by direction, and the
// transport protocols seen.
struct PeerCount {
  uint64_t download = 0;
  uint64_t upload = 0;
  std::set<int> protocols;
};

class InterfaceNamespaceEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    CORVANE_REQUIRE_ROOT("network namespaces joined by a veth link");
    ns_ = std::make_unique<faults::NetworkNamespace>();
    ASSERT_TRUE(ns_->entered()) << ns_->error();
    peer_ = "corvane-peer-" + std::to_string(::getpid());
    RunCommand({"ip", "netns", "del", peer_});  // left over from a crashed run
    ASSERT_EQ(RunCommand({"ip", "netns", "add", peer_}), 0) << "ip netns add";
    peerAdded_ = true;
    const std::vector<std::vector<std::string>> steps = {
        {"ip", "link", "set", "lo", "up"},
        {"ip", "-n", peer_, "link", "set", "lo", "up"},
        {"ip", "link", "add", "va", "address", kLocalMac, "type", "veth", "peer", "name", "vb",
         "address", kPeerMac, "netns", peer_},
        {"ip", "address", "add", std::string(kLocal4) + "/24", "dev", "va"},
        {"ip", "address", "add", std::string(kLocal6) + "/64", "dev", "va", "nodad"},
        {"ip", "-n", peer_, "address", "add", std::string(kPeer4) + "/24", "dev", "vb"},
        {"ip", "-n", peer_, "address", "add", std::string(kPeer6) + "/64", "dev", "vb", "nodad"},
        {"ip", "link", "set", "va", "up"},
        {"ip", "-n", peer_, "link", "set", "vb", "up"},
        {"ip", "neigh", "replace", kPeer4, "lladdr", kPeerMac, "dev", "va", "nud", "permanent"},
        {"ip", "neigh", "replace", kPeer6, "lladdr", kPeerMac, "dev", "va", "nud", "permanent"},
        {"ip", "-n", peer_, "neigh", "replace", kLocal4, "lladdr", kLocalMac, "dev", "vb", "nud",
         "permanent"},
        {"ip", "-n", peer_, "neigh", "replace", kLocal6, "lladdr", kLocalMac, "dev", "vb", "nud",
         "permanent"},
        {"ip", "route", "add", "default", "via", kPeer4, "dev", "va"},
        {"ip", "-6", "route", "add", "default", "via", kPeer6, "dev", "va"},
    };
    for (const auto& step : steps) {
      std::string text;
      for (const auto& word : step) text += word + ' ';
      ASSERT_EQ(RunCommand(step), 0) << text;
    }
  }

  void TearDown() override {
    // The peer's namespace takes vb, and with it va, away.
    if (peerAdded_) RunCommand({"ip", "netns", "del", peer_});
    ns_.reset();
  }

  // Runs `body` with this thread in the peer's namespace; sockets it makes
  // stay there.
  void InPeer(const std::function<void()>& body) {
    const int home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int peer = ::open(("/run/netns/" + peer_).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(home, 0);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(::setns(peer, CLONE_NEWNET), 0) << std::strerror(errno);
    body();
    ASSERT_EQ(::setns(home, CLONE_NEWNET), 0) << std::strerror(errno);
    ::close(peer);
    ::close(home);
  }

  std::string peer_;
  bool peerAdded_ = false;
  std::unique_ptr<faults::NetworkNamespace> ns_;
  TempDir dir_;
};

sockaddr_storage SocketAddress(const char* text, uint16_t port, socklen_t& length) {
  sockaddr_storage storage{};
  if (std::strchr(text, ':') != nullptr) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    ::inet_pton(AF_INET6, text, &in6->sin6_addr);
    length = sizeof *in6;
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    ::inet_pton(AF_INET, text, &in->sin_addr);
    length = sizeof *in;
  }
  return storage;
}

int BoundSocket(const char* address, uint16_t port, int type) {
  socklen_t length = 0;
  const sockaddr_storage at = SocketAddress(address, port, length);
  const int fd = ::socket(at.ss_family, type | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), length) != 0) {
    ::close(fd);
    return -1;
  }
  if (type == SOCK_STREAM) ::listen(fd, 4);
  return fd;
}

// A TCP exchange (the request, an answer, both ends closed) and three UDP
// datagrams each way between this namespace and the peer's sockets; over
// IPv6 also an echo request that the peer's kernel answers.
void Exchange(const char* peerAddress, int listener, int peerUdp) {
  socklen_t length = 0;
  const sockaddr_storage tcpTo = SocketAddress(peerAddress, 7001, length);
  const int client = ::socket(tcpTo.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<const sockaddr*>(&tcpTo), length), 0)
      << peerAddress << ": " << std::strerror(errno);
  const int served = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(served, 0);
  char buffer[2000] = {};
  ASSERT_EQ(::send(client, buffer, 1500, 0), 1500);
  size_t got = 0;
  while (got < 1500) {
    const ssize_t n = ::recv(served, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    got += static_cast<size_t>(n);
  }
  ASSERT_EQ(::send(served, buffer, 700, 0), 700);
  got = 0;
  while (got < 700) {
    const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    got += static_cast<size_t>(n);
  }
  ::close(client);
  // The peer's end sees the FIN, closes, and the last ACK comes back.
  ASSERT_EQ(::recv(served, buffer, sizeof buffer, 0), 0);
  ::close(served);

  const sockaddr_storage udpTo = SocketAddress(peerAddress, 7002, length);
  const int udp = ::socket(udpTo.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(::sendto(udp, buffer, 300 + i, 0, reinterpret_cast<const sockaddr*>(&udpTo), length),
              300 + i);
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    ASSERT_EQ(::recvfrom(peerUdp, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                         &fromLength),
              300 + i);
    ASSERT_EQ(::sendto(peerUdp, buffer, 200, 0, reinterpret_cast<sockaddr*>(&from), fromLength), 200);
    ASSERT_EQ(::recv(udp, buffer, sizeof buffer, 0), 200);
  }
  ::close(udp);

  if (udpTo.ss_family != AF_INET6) return;
  // The kernel fills in the checksum of a raw ICMPv6 socket's datagrams.
  const int icmp = ::socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
  ASSERT_GE(icmp, 0) << std::strerror(errno);
  uint8_t echo[64] = {128, 0, 0, 0, 0x12, 0x34, 0, 1};  // echo request, id, sequence
  sockaddr_storage pingTo = SocketAddress(peerAddress, 0, length);
  ASSERT_EQ(::sendto(icmp, echo, sizeof echo, 0, reinterpret_cast<const sockaddr*>(&pingTo), length),
            static_cast<ssize_t>(sizeof echo));
  pollfd reply{icmp, POLLIN, 0};
  bool answered = false;
  while (!answered && ::poll(&reply, 1, 5000) > 0) {
    uint8_t in[256];
    answered = ::recv(icmp, in, sizeof in, 0) > 0 && in[0] == 129;  // echo reply
  }
  ::close(icmp);
  ASSERT_TRUE(answered) << "no echo reply from " << peerAddress;
}

// The witness: every frame on `interfaceName`, both directions, read
// straight from a packet socket.
class Witness {
 public:
  explicit Witness(const char* interfaceName) {
    fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(::if_nametoindex(interfaceName));
    const int buffer = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
  }
  ~Witness() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return ok_; }

  // Counts what has arrived, by peer address text: IPv4 by its total
  // length, IPv6 by 40 plus its payload length, as the datagram says.
  std::map<std::string, PeerCount> Count(const std::string& local4, const std::string& local6) {
    std::map<std::string, PeerCount> counts;
    uint8_t frame[70000];
    while (true) {
      const ssize_t got = ::recv(fd_, frame, sizeof frame, MSG_DONTWAIT);
      if (got < 0) break;
      if (got < 14) continue;
      const uint16_t type = static_cast<uint16_t>(frame[12] << 8 | frame[13]);
      const uint8_t* ip = frame + 14;
      char source[INET6_ADDRSTRLEN] = {};
      char destination[INET6_ADDRSTRLEN] = {};
      uint64_t length = 0;
      int protocol = 0;
      if (type == ETH_P_IP && got >= 34) {
        ::inet_ntop(AF_INET, ip + 12, source, sizeof source);
        ::inet_ntop(AF_INET, ip + 16, destination, sizeof destination);
        length = static_cast<uint64_t>(ip[2]) << 8 | ip[3];
        protocol = ip[9];
      } else if (type == ETH_P_IPV6 && got >= 54) {
        ::inet_ntop(AF_INET6, ip + 8, source, sizeof source);
        ::inet_ntop(AF_INET6, ip + 24, destination, sizeof destination);
        length = 40 + (static_cast<uint64_t>(ip[4]) << 8 | ip[5]);
        protocol = ip[6];
      } else {
        continue;
      }
      if (source == local4 || source == local6) {
        counts[destination].upload += length;
        counts[destination].protocols.insert(protocol);
      } else if (destination == local4 || destination == local6) {
        counts[source].download += length;
        counts[source].protocols.insert(protocol);
      }
    }
    return counts;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

// corvane-cli with the helper beside it, as an installed tree has them.
std::string InstallCli(const std::string& prefix) {
  std::filesystem::create_directories(prefix + "/bin");
  std::filesystem::create_directories(prefix + "/libexec/corvane");
  std::filesystem::copy_file(CORVANE_TEST_CLI, prefix + "/bin/corvane-cli");
  std::filesystem::copy_file(CORVANE_TEST_HELPER, prefix + "/libexec/corvane/corvane-capture");
  return prefix + "/bin/corvane-cli";
}

std::string RunToText(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char chunk[512];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
  ::pclose(pipe);
  return output;
}

TEST(InterfaceChoiceTest, WatchOfAnUnknownInterfaceOrAddressExitsNonZeroSayingWhy) {
  for (const std::string wrong : {"nosuch0", "203.0.113.77"}) {
    TempDir data;
    const std::string command = std::string(CORVANE_TEST_CLI) + " watch --seconds 1 --data-dir " +
                                data.path() + " --interface " + wrong + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[512];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, got);
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
    EXPECT_NE(output.find(wrong), std::string::npos) << output;
  }
}

TEST_F(InterfaceNamespaceEndToEnd, InterfacesListMarksTheVethOfTheDefaultRoute) {
  const std::string listing = RunToText(std::string(CORVANE_TEST_CLI) + " interfaces");
  std::istringstream lines(listing);
  std::string line;
  bool found = false;
  while (std::getline(lines, line)) {
    if (line.rfind("va ", 0) == 0) {
      found = true;
      EXPECT_NE(line.find(",default"), std::string::npos) << line;
      EXPECT_NE(line.find(" 198.18.0.1/24"), std::string::npos) << line;
      EXPECT_NE(line.find(" 2001:db8::1/64"), std::string::npos) << line;
    } else {
      EXPECT_EQ(line.find(",default"), std::string::npos) << line;
    }
  }
  EXPECT_TRUE(found) << listing;

  // Without an IPv4 default route the IPv6 one decides.
  ASSERT_EQ(RunCommand({"ip", "route", "del", "default"}), 0);
  EXPECT_NE(RunToText(std::string(CORVANE_TEST_CLI) + " interfaces").find("va up,running,default"),
            std::string::npos);
}

TEST_F(InterfaceNamespaceEndToEnd, WatchByNameCountsTcpUdpAndIcmpv6OfBothFamiliesAsTheWitness) {
  int listener4 = -1, listener6 = -1, udp4 = -1, udp6 = -1;
  InPeer([&] {
    listener4 = BoundSocket(kPeer4, 7001, SOCK_STREAM);
    listener6 = BoundSocket(kPeer6, 7001, SOCK_STREAM);
    udp4 = BoundSocket(kPeer4, 7002, SOCK_DGRAM);
    udp6 = BoundSocket(kPeer6, 7002, SOCK_DGRAM);
  });
  ASSERT_TRUE(listener4 >= 0 && listener6 >= 0 && udp4 >= 0 && udp6 >= 0);

  Witness witness("va");
  ASSERT_TRUE(witness.ok()) << std::strerror(errno);

  const std::string cli = InstallCli(dir_.File("prefix"));
  int errPipe[2];
  ASSERT_EQ(::pipe2(errPipe, O_CLOEXEC), 0);
  const std::string outPath = dir_.File("watch.txt");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(errPipe[1], 2);
    const std::string data = dir_.File("data");
    ::execl(cli.c_str(), cli.c_str(), "watch", "--interface", "va", "--seconds", "3", "--flows",
            "--data-dir", data.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(errPipe[1]);
  // The title is told once the capture is open.
  std::string errors;
  pollfd wait{errPipe[0], POLLIN, 0};
  while (errors.find("Corvane [va]") == std::string::npos && ::poll(&wait, 1, 10000) > 0) {
    char chunk[512];
    const ssize_t got = ::read(errPipe[0], chunk, sizeof chunk);
    if (got <= 0) break;
    errors.append(chunk, static_cast<size_t>(got));
  }
  ASSERT_NE(errors.find("Corvane [va]"), std::string::npos) << errors;

  Exchange(kPeer4, listener4, udp4);
  Exchange(kPeer6, listener6, udp6);

  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  for (char chunk[512]; ::read(errPipe[0], chunk, sizeof chunk) > 0;) {
  }
  ::close(errPipe[0]);
  for (int fd : {listener4, listener6, udp4, udp6}) ::close(fd);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << errors;

  std::map<std::string, PeerCount> seen = witness.Count(kLocal4, kLocal6);
  std::map<std::string, PeerCount> counted;
  std::ifstream out(outPath);
  for (std::string line; std::getline(out, line);) {
    std::istringstream words(line);
    std::string address;
    uint64_t download = 0, upload = 0;
    std::string rest;
    if (words >> address >> download >> upload && !(words >> rest) && address != "totals") {
      counted[address] = PeerCount{download, upload, {}};
    }
  }

  EXPECT_EQ(seen[kPeer4].protocols, (std::set<int>{IPPROTO_TCP, IPPROTO_UDP}));
  EXPECT_EQ(seen[kPeer6].protocols, (std::set<int>{IPPROTO_TCP, IPPROTO_UDP, IPPROTO_ICMPV6}));
  for (const char* peer : {kPeer4, kPeer6}) {
    SCOPED_TRACE(peer);
    EXPECT_GT(seen[peer].download, 0u);
    EXPECT_GT(seen[peer].upload, 0u);
    EXPECT_EQ(counted[peer].download, seen[peer].download);
    EXPECT_EQ(counted[peer].upload, seen[peer].upload);
  }
}

// The watcher hands the monitor the interface's addresses at once, then
// again as they come and go.
TEST_F(InterfaceNamespaceEndToEnd, AddedAndRemovedAddressesReachTheMonitor) {
  ManualClock clock(1'000'000);
  testing::TestEnv env(clock);
  Monitor monitor(env, dir_.path());
  std::mutex mutex;
  std::condition_variable changed;
  AddressWatcher watcher;
  const Status watching = watcher.Start("va", [&](const LocalNetworks& networks) {
    monitor.SetLocalNetworks(networks);
    std::lock_guard lock(mutex);
    changed.notify_all();
  });
  ASSERT_TRUE(watching) << watching.reason;
  auto has = [&](const char* text) {
    return monitor.localNetworks().IsOwnAddress(*ParseIp(text));
  };
  auto waitUntil = [&](const std::function<bool()>& done) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), done);
  };
  EXPECT_TRUE(has(kLocal4) && has(kLocal6));

  ASSERT_EQ(RunCommand({"ip", "address", "add", "198.18.7.7/16", "dev", "va"}), 0);
  ASSERT_EQ(RunCommand({"ip", "address", "add", "2001:db8:7::7/64", "dev", "va", "nodad"}), 0);
  EXPECT_TRUE(waitUntil([&] { return has("198.18.7.7") && has("2001:db8:7::7"); }));
  EXPECT_TRUE(monitor.localNetworks().IsLocalArea(*ParseIp("198.18.200.1")));

  ASSERT_EQ(RunCommand({"ip", "address", "del", "198.18.0.1/24", "dev", "va"}), 0);
  EXPECT_TRUE(waitUntil([&] { return !has(kLocal4); }));
  EXPECT_EQ(StateOf(monitor).settings.interfaceAddress.load(), ParseIp("198.18.7.7")->V4Value());
  watcher.Stop();
}

}  // namespace
}  // namespace corvane
