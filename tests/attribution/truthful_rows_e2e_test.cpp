// End to end on loopback with live capture and real attribution: programs
// (forked children) talk to one remote address, 127.0.0.3, from 127.0.0.2.
// Each program's row must hold exactly its own bytes, as a witness tally of
// the same capture counts them, and short connections must be named after
// the program that made them. Needs capture privilege (CI runs as root).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "support/test_env.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "vocabulary/text_format.h"
#include "platform/capture_source.h"
#include "platform/clock.h"
#include "tests/attribution/system_sockets.h"

namespace corvane {
namespace {

using corvane::testing::Address;
using corvane::testing::OwnLabel;
using corvane::testing::Socket;

const uint32_t kLocal = Address("127.0.0.2");
const uint32_t kRemote = Address("127.0.0.3");
// Sent to at the end: once the capture has read it, it has read the rest.
const uint32_t kMarker = Address("127.0.0.4");
constexpr uint16_t kMarkerPort = 9;

// Counts the IP bytes of every TCP and UDP datagram between kLocal and
// kRemote by local port, beside the monitor that reads the same datagrams.
class WitnessSource : public CaptureSource {
 public:
  explicit WitnessSource(std::unique_ptr<CaptureSource> inner) : inner_(std::move(inner)) {}
  ReadStatus Next(CapturedDatagram& datagram, Status& status) override {
    const ReadStatus read = inner_->Next(datagram, status);
    if (read != ReadStatus::Datagram) return read;
    seen_.store(true);
    if (auto info = ParsePacketInfo(datagram.bytes)) {
      if (info->destinationAddress == IpAddress::V4(kMarker)) marker_.store(true);
      const bool upload = info->sourceAddress == IpAddress::V4(kLocal) && info->destinationAddress == IpAddress::V4(kRemote);
      const bool download = info->sourceAddress == IpAddress::V4(kRemote) && info->destinationAddress == IpAddress::V4(kLocal);
      if ((upload || download) && info->protocol != kProtocolIcmp) {
        std::lock_guard lock(mutex_);
        bytes_[upload ? info->sourcePort : info->destinationPort] += info->length;
      }
    }
    return read;
  }
  void Interrupt() override { inner_->Interrupt(); }

  static std::atomic<bool> seen_;
  static std::atomic<bool> marker_;
  static std::mutex mutex_;
  static std::map<uint16_t, uint64_t> bytes_;  // by local port

 private:
  std::unique_ptr<CaptureSource> inner_;
};
std::atomic<bool> WitnessSource::seen_{false};
std::atomic<bool> WitnessSource::marker_{false};
std::mutex WitnessSource::mutex_;
std::map<uint16_t, uint64_t> WitnessSource::bytes_;

// A TCP server that answers each request with 100 bytes and closes after
// its client, and a UDP server that answers every datagram with 20 bytes.
class Servers {
 public:
  Servers() : tcp_(SOCK_STREAM), udp_(SOCK_DGRAM) {
    EXPECT_TRUE(tcp_.Bind("127.0.0.3") && ::listen(tcp_.fd(), 64) == 0);
    EXPECT_TRUE(udp_.Bind("127.0.0.3"));
    thread_ = std::thread([this] { Serve(); });
  }
  ~Servers() {
    stop_.store(true);
    thread_.join();
  }
  sockaddr_in Tcp() const { return tcp_.Name(); }
  sockaddr_in Udp() const { return udp_.Name(); }

 private:
  void Serve() {
    std::vector<pollfd> fds{{tcp_.fd(), POLLIN, 0}, {udp_.fd(), POLLIN, 0}};
    char buffer[65536];
    const std::string reply(100, 'r');
    while (!stop_.load()) {
      if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
      for (size_t i = 0; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        if (fds[i].fd == tcp_.fd()) {
          const int connection = ::accept(tcp_.fd(), nullptr, nullptr);
          if (connection >= 0) fds.push_back({connection, POLLIN, 0});
        } else if (fds[i].fd == udp_.fd()) {
          sockaddr_in from{};
          socklen_t length = sizeof from;
          if (::recvfrom(udp_.fd(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                         &length) > 0) {
            ::sendto(udp_.fd(), buffer, 20, 0, reinterpret_cast<sockaddr*>(&from), length);
          }
        } else {
          const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
          if (n > 0) {
            (void)!::send(fds[i].fd, reply.data(), reply.size(), MSG_NOSIGNAL);
          } else {
            ::close(fds[i].fd);
            fds.erase(fds.begin() + static_cast<ptrdiff_t>(i));
            break;
          }
        }
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) ::close(fds[i].fd);
  }

  Socket tcp_;
  Socket udp_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One TCP connection from 127.0.0.2: sends `bytes`, reads the reply, stays
// open `lifetime` and closes first.
void Connect(const sockaddr_in& server, size_t bytes, std::chrono::milliseconds lifetime) {
  const auto end = std::chrono::steady_clock::now() + lifetime;
  Socket client(SOCK_STREAM);
  if (!client.Bind("127.0.0.2") ||
      ::connect(client.fd(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
    _exit(20);
  }
  const std::string payload(bytes, 'p');
  if (::send(client.fd(), payload.data(), payload.size(), 0) != static_cast<ssize_t>(bytes)) _exit(21);
  char reply[100];
  size_t got = 0;
  while (got < sizeof reply) {
    const ssize_t n = ::recv(client.fd(), reply + got, sizeof reply - got, 0);
    if (n <= 0) _exit(22);
    got += static_cast<size_t>(n);
  }
  std::this_thread::sleep_until(end);
}

// A UDP socket on 127.0.0.2 that sends `datagrams` and closes, all within
// about `lifetime`.
void SendUdp(const sockaddr_in& server, int datagrams, std::chrono::milliseconds lifetime) {
  const auto end = std::chrono::steady_clock::now() + lifetime;
  Socket socket(SOCK_DGRAM);
  if (!socket.Bind("127.0.0.2")) _exit(23);
  for (int i = 0; i < datagrams; ++i) {
    if (!socket.SendTo(std::string(200, 'u'), server)) _exit(24);
  }
  std::this_thread::sleep_until(end);
}

class TruthfulRowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!corvane::testing::MayCapture()) {
      CORVANE_REQUIRE(false, "no capture privilege; run as root or with CAP_NET_RAW");
    }
    WitnessSource::seen_ = false;
    WitnessSource::marker_ = false;
    WitnessSource::bytes_.clear();
    monitor_.SetLocalNetworks(LocalNetworks{{IpAddress::V4(kLocal)}, {}});
    StateOf(monitor_).settings.interfaceMask = Address("255.255.255.255");
    env_.SetCaptureOpener([](const std::string& name, Status& status) -> std::unique_ptr<CaptureSource> {
      auto live = OpenLiveCapture(name, status);
      if (!live) return nullptr;
      return std::make_unique<WitnessSource>(std::move(live));
    });
    monitor_.RestartCapture("lo");
    ASSERT_TRUE(monitor_.StartAttribution().ok);
    // Capture is live once a datagram of other loopback hosts is seen.
    Socket probe(SOCK_DGRAM);
    ASSERT_TRUE(probe.Bind("127.0.0.9"));
    sockaddr_in to = probe.Name();
    to.sin_addr.s_addr = Address("127.0.0.10");
    to.sin_port = htons(kMarkerPort);
    for (int i = 0; i < 200 && !WitnessSource::seen_.load(); ++i) {
      probe.SendTo("probe", to);
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_TRUE(WitnessSource::seen_.load()) << "capture never started";
  }

  // Waits until the capture has read everything sent so far, stops the
  // monitor's threads and shows every event.
  void Finish() {
    Socket marker(SOCK_DGRAM);
    ASSERT_TRUE(marker.Bind("127.0.0.2"));
    sockaddr_in to = marker.Name();
    to.sin_addr.s_addr = kMarker;
    to.sin_port = htons(kMarkerPort);
    for (int i = 0; i < 200 && !WitnessSource::marker_.load(); ++i) {
      marker.SendTo("end", to);
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_TRUE(WitnessSource::marker_.load());
    monitor_.Stop();
    StateOf(monitor_).counters.Tick();
    clock_.Advance(4);
    monitor_.RunPass();
  }

  // Bytes of the rows of kRemote by local source.
  std::map<std::string, uint64_t> RowBytes() {
    std::map<std::string, uint64_t> bytes;
    TrafficList::Lock lock(StateOf(monitor_).list);
    for (int row = 0; row < StateOf(monitor_).list.Count(); ++row) {
      if (StateOf(monitor_).list.Cell(row, kColumnRemoteIp) != "127.0.0.3") continue;
      const RowValues& values = StateOf(monitor_).list.Values(row);
      bytes[StateOf(monitor_).list.Cell(row, kColumnLocalSource)] += values.downloadBytes + values.uploadBytes;
    }
    return bytes;
  }

  static pid_t Child(const std::function<void()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      body();
      _exit(0);
    }
    return pid;
  }
  static void Reap(pid_t pid) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failed: " << status;
  }

  ManualClock clock_{1'700'000'000};
  testing::TestEnv env_{clock_};
  Monitor monitor_{env_, "."};
};

TEST_F(TruthfulRowsTest, ThreeProgramsOfOneAddressEachShowOnlyTheirOwnBytes) {
  Servers servers;
  std::vector<pid_t> children;
  for (size_t i = 0; i < 3; ++i) {
    children.push_back(Child([&] { Connect(servers.Tcp(), 10000 * (i + 1), std::chrono::milliseconds(600)); }));
  }
  for (pid_t child : children) Reap(child);
  Finish();

  std::map<std::string, uint64_t> rows = RowBytes();
  uint64_t witnessed = 0;
  {
    std::lock_guard lock(WitnessSource::mutex_);
    for (const auto& [port, bytes] : WitnessSource::bytes_) witnessed += bytes;
  }
  uint64_t shown = 0;
  std::vector<uint64_t> perChild;
  for (pid_t child : children) {
    perChild.push_back(rows[OwnLabel(child)]);
    shown += rows[OwnLabel(child)];
  }
  // Each child sent 10,000 more than the one before: its row alone tells.
  EXPECT_GT(perChild[0], 10000u);
  EXPECT_GT(perChild[1], perChild[0] + 9000);
  EXPECT_GT(perChild[2], perChild[1] + 9000);
  EXPECT_EQ(shown, witnessed) << "rows: " << rows.size();
  uint64_t allRows = 0;
  for (const auto& [source, bytes] : rows) allRows += bytes;
  EXPECT_EQ(allRows, witnessed);
}

TEST_F(TruthfulRowsTest, ConnectionsOf50MillisecondsAreNamedAfterTheirProgram) {
  Servers servers;
  const pid_t child = Child([&] {
    for (int i = 0; i < 20; ++i) Connect(servers.Tcp(), 2000, std::chrono::milliseconds(50));
    for (int i = 0; i < 20; ++i) SendUdp(servers.Udp(), 5, std::chrono::milliseconds(50));
  });
  Reap(child);
  Finish();

  std::map<std::string, uint64_t> rows = RowBytes();
  uint64_t all = 0;
  for (const auto& [source, bytes] : rows) all += bytes;
  ASSERT_GT(all, 20u * 2000);
  EXPECT_GE(rows[OwnLabel(child)] * 10, all * 9) << "named " << rows[OwnLabel(child)] << " of " << all;
  EXPECT_FALSE(rows.contains("Process ID# 0"));
}

}  // namespace
}  // namespace corvane
