// The resolver never answers: in a child process with its own mount and
// network namespaces, /etc/resolv.conf names 127.0.0.9, where a socket
// receives the queries and never replies. The real reverse lookup is used.
// Rows must still appear (without names) and Stop() (the work of "Exit")
// must not wait for the stuck lookups. Needs root (CI runs it as root).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "support/quick_waiters.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "platform/net.h"
#include "tests/faults/fault_support.h"
#include "tests/faults/feed_source.h"
#include "tests/storage/temp_dir.h"

namespace corvane {
namespace {

const uint32_t kLocal = MakeAddress(10, 88, 0, 1);
constexpr int kRemotes = 5;

uint32_t Remote(int i) { return MakeAddress(10, 99, 0, static_cast<uint8_t>(i + 1)); }

// Runs in the child: it alone sees the silent resolver.
bool SilentResolverChild(const std::string& dir, std::string& message) {
  if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
    message = std::string("unshare: ") + std::strerror(errno);
    return false;
  }
  ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
  const std::string resolvConf = dir + "/resolv.conf";
  const std::string nsswitch = dir + "/nsswitch.conf";
  std::ofstream(resolvConf) << "nameserver 127.0.0.9\noptions timeout:30 attempts:3\n";
  std::ofstream(nsswitch) << "hosts: files dns\n";
  if (::mount(resolvConf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0 ||
      ::mount(nsswitch.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0) {
    message = std::string("bind mount over /etc: ") + std::strerror(errno);
    return false;
  }
  if (faults::RunCommand({"ip", "link", "set", "lo", "up"}) != 0) {
    message = "ip link set lo up failed";
    return false;
  }
  // The silent name server: takes every query, answers none.
  const int silent = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = MakeAddress(127, 0, 0, 9);
  at.sin_port = htons(53);
  if (silent < 0 || ::bind(silent, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    message = std::string("cannot bind 127.0.0.9:53: ") + std::strerror(errno);
    return false;
  }

  ManualClock clock(1'000'000);
  testing::QuickWaiters waiters;
  auto monitor = std::make_unique<Monitor>(clock, dir, waiters.Factory());
  StateOf(*monitor).settings.interfaceAddress = kLocal;
  auto feed = std::make_shared<faults::Feed>();
  monitor->SetCaptureOpener([feed](const std::string&, Status&) {
    return std::unique_ptr<CaptureSource>(std::make_unique<faults::FeedSource>(feed));
  });
  monitor->EnableHostNames(ReverseLookup, 2);
  monitor->SetLocalNetworks(LocalNetworks{{IpAddress::V4(kLocal)}, {}});
  monitor->Start("lo");
  for (int i = 0; i < kRemotes; ++i) {
    feed->Push(testing::BuildDatagram(testing::DatagramFields(Remote(i), kLocal, 17, 53, 40000, 10)));
  }
  // Once captured, the processing thread shows them when they are 3 seconds
  // old by the clock.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (StateOf(*monitor).flows.AddressFlowCount() < kRemotes && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  clock.Advance(5);
  // A whole pass after the clock moved has shown every event.
  waiters.WaitForRounds(2);
  int rows = 0;
  {
    TrafficList::Lock lock(StateOf(*monitor).list);
    rows = StateOf(*monitor).list.Count();
  }
  bool ok = true;
  if (rows != kRemotes) {
    message += "rows shown: " + std::to_string(rows) + " of " + std::to_string(kRemotes) + "\n";
    ok = false;
  }
  // The lookups are stuck in the resolver, not finished.
  if (monitor->WaitForHostNames(std::chrono::milliseconds(500))) {
    message += "the lookups finished: the resolver was not silent\n";
    ok = false;
  }
  {
    TrafficList::Lock lock(StateOf(*monitor).list);
    for (int row = 0; row < StateOf(*monitor).list.Count(); ++row) {
      const std::string& host = StateOf(*monitor).list.Cell(row, kColumnRemoteHost);
      const std::string& address = StateOf(*monitor).list.Cell(row, kColumnRemoteIp);
      if (!host.empty() && host != address) {
        message += "row " + std::to_string(row) + " got a name: " + host + "\n";
        ok = false;
      }
    }
  }
  const auto stopStart = std::chrono::steady_clock::now();
  monitor->Stop();
  monitor.reset();
  const auto stopTook = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - stopStart);
  if (stopTook > std::chrono::seconds(1)) {
    message += "Stop took " + std::to_string(stopTook.count()) + " ms with lookups stuck\n";
    ok = false;
  }
  return ok;
}

TEST(ResolverFaultTest, SilentResolverLeavesRowsUnnamedAndDoesNotHoldUpExit) {
  CORVANE_REQUIRE_ROOT("mount and network namespaces");
  TempDir dir;
  std::string message;
  const int status = faults::RunInChild(
      [&](std::string& text) { return SilentResolverChild(dir.path(), text); }, message);
  EXPECT_EQ(status, 0) << message;
}

}  // namespace
}  // namespace corvane
