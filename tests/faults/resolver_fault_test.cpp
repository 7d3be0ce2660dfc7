// The resolver never answers: every host-name lookup hangs until the test
// ends. Rows must still appear (without names) and keep counting, and
// Stop() (the work of "Exit") must return while the lookups still hang.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "platform/net.h"
#include "support/test_env.h"
#include "tests/faults/feed_source.h"
#include "tests/storage/temp_dir.h"

namespace corvane {
namespace {

const uint32_t kLocal = MakeAddress(10, 88, 0, 1);
constexpr int kRemotes = 5;
constexpr size_t kResolverThreads = 2;

uint32_t Remote(int i) { return MakeAddress(10, 99, 0, static_cast<uint8_t>(i + 1)); }

// Every lookup hangs until Release().
class SilentResolverEnv final : public testing::TestEnv {
 public:
  using TestEnv::TestEnv;
  std::optional<std::string> LookUpHostName(const IpAddress&) override {
    std::unique_lock lock(mutex_);
    ++asked_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
    return std::nullopt;
  }
  bool WaitAsked(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return asked_ >= count; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t asked_ = 0;
  bool released_ = false;
};

TEST(ResolverFaultTest, SilentResolverLeavesRowsUnnamedAndDoesNotHoldUpExit) {
  TempDir dir;
  ManualClock clock(1'000'000);
  testing::QuickWaiters waiters;
  SilentResolverEnv env(clock, &waiters);
  auto feed = std::make_shared<faults::Feed>();
  env.SetCaptureOpener([feed](const std::string&, Status&) {
    return std::unique_ptr<CaptureSource>(std::make_unique<faults::FeedSource>(feed));
  });
  auto monitor = std::make_unique<Monitor>(env, dir.path());
  TrafficState& state = StateOf(*monitor);
  state.settings.interfaceAddress = kLocal;
  monitor->EnableHostNames(nullptr, kResolverThreads);
  monitor->SetLocalNetworks(LocalNetworks{{IpAddress::V4(kLocal)}, {}});
  monitor->Start("lo");
  auto send = [&](int remote) {
    feed->Push(testing::BuildDatagram(testing::DatagramFields(Remote(remote), kLocal, 17, 53, 40000, 10)));
  };
  // Once the capture thread has counted them, the processing thread shows
  // the datagrams when they are 3 seconds old by the clock: two rounds
  // after the clock moved.
  auto showAll = [&](uint64_t datagrams) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (monitor->DatagramCount() < datagrams && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    clock.Advance(5);
    ASSERT_TRUE(waiters.WaitForRounds(2));
  };
  auto downloadOf = [&](int remote) {
    TrafficList::Lock lock(state.list);
    const int row = state.list.FindRemoteIpRow(FormatAddress(Remote(remote)));
    return row < 0 ? std::string("<no row>") : state.list.Cell(row, kColumnDownload);
  };

  for (int i = 0; i < kRemotes; ++i) send(i);
  showAll(kRemotes);
  // Every resolver thread is stuck in a lookup.
  ASSERT_TRUE(env.WaitAsked(kResolverThreads));
  {
    TrafficList::Lock lock(state.list);
    ASSERT_EQ(state.list.Count(), kRemotes);
    for (int row = 0; row < state.list.Count(); ++row) {
      const std::string& host = state.list.Cell(row, kColumnRemoteHost);
      EXPECT_TRUE(host.empty() || host == state.list.Cell(row, kColumnRemoteIp))
          << "row " << row << " got a name: " << host;
    }
  }
  // The rows keep counting while the lookups hang.
  const std::string before = downloadOf(0);
  send(0);
  showAll(kRemotes + 1);
  EXPECT_NE(downloadOf(0), before);

  // Stop() returns although the lookups are released only afterwards.
  monitor->Stop();
  monitor.reset();
  env.Release();
  EXPECT_TRUE(env.WaitForThreadsToEnd());
}

}  // namespace
}  // namespace corvane
