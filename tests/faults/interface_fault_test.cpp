// The monitored interface goes away and comes back, for real: a veth pair in
// a network namespace that the test creates (and that goes away with it).
// Traffic leaves 10.77.0.1 on v0 for 10.77.0.3, a neighbour entered by hand,
// so it never leaves the namespace. Needs root (CI runs it as root).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "support/test_env.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "platform/net.h"
#include "tests/faults/fault_support.h"
#include "tests/storage/temp_dir.h"

namespace corvane {
namespace {

using faults::RunCommand;

const uint32_t kLocal = MakeAddress(10, 77, 0, 1);
const uint32_t kRemote = MakeAddress(10, 77, 0, 3);

bool MakeVethPair() {
  return RunCommand({"ip", "link", "set", "lo", "up"}) == 0 &&
         RunCommand({"ip", "link", "add", "v0", "type", "veth", "peer", "name", "v1"}) == 0 &&
         RunCommand({"ip", "address", "add", "10.77.0.1/24", "dev", "v0"}) == 0 &&
         RunCommand({"ip", "link", "set", "v0", "up"}) == 0 &&
         RunCommand({"ip", "link", "set", "v1", "up"}) == 0 &&
         RunCommand({"ip", "neigh", "replace", "10.77.0.3", "lladdr", "02:00:00:00:77:03", "dev",
                     "v0", "nud", "permanent"}) == 0;
}

bool RemoveVethPair() { return RunCommand({"ip", "link", "del", "v0"}) == 0; }

class InterfaceFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CORVANE_REQUIRE_ROOT("a network namespace with a veth pair");
    ns_ = std::make_unique<faults::NetworkNamespace>();
    ASSERT_TRUE(ns_->entered()) << ns_->error();
    ASSERT_TRUE(MakeVethPair()) << "cannot create the veth pair (ip link add ... type veth)";
    monitor_ = std::make_unique<Monitor>(env_, dir_.path());
    monitor_->SetLocalNetworks(LocalNetworks{{IpAddress::V4(kLocal)}, {}});
    monitor_->SetErrorHandler([this](const std::string& message) {
      std::lock_guard lock(errorsMutex_);
      errors_.push_back(message);
    });
  }
  void TearDown() override {
    if (monitor_) monitor_->Stop();
    monitor_.reset();
    ns_.reset();
  }

  // Sends one 100-byte UDP payload from the monitored address.
  void SendOne() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = kRemote;
    to.sin_port = htons(9);
    char payload[100] = {};
    (void)::sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
  }

  uint32_t UploadToRemote() {
    const auto counts = StateOf(*monitor_).flows.LookupAddressTotal(IpAddress::V4(kRemote));
    return counts ? counts->uploadBytes : 0;
  }

  // Sends until the upload to the remote address grows past `above`, or
  // `limit` passes. Capture opens and reopens on its own schedule, so this
  // waits for real time; it asserts nothing about how long that takes
  // beyond the limit.
  bool SendUntilCounted(uint32_t above, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      SendOne();
      if (UploadToRemote() > above) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  size_t ErrorCount() {
    std::lock_guard lock(errorsMutex_);
    return errors_.size();
  }

  ManualClock clock_{1'000'000};
  testing::QuickWaiters waiters_;
  testing::TestEnv env_{clock_, &waiters_};
  TempDir dir_;
  std::unique_ptr<faults::NetworkNamespace> ns_;
  std::unique_ptr<Monitor> monitor_;
  std::mutex errorsMutex_;
  std::vector<std::string> errors_;
};

TEST_F(InterfaceFaultTest, VanishedInterfaceIsReportedOnceAndCountingResumesWhenItReturns) {
  monitor_->Start("v0");
  ASSERT_TRUE(SendUntilCounted(0, std::chrono::seconds(10))) << "nothing counted on v0";
  EXPECT_EQ(ErrorCount(), 0u);

  ASSERT_TRUE(RemoveVethPair());
  // While the interface is gone: reported once, however many reopenings
  // fail meanwhile.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ErrorCount() == 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(ErrorCount(), 1u) << "the vanished interface was not reported";
  ASSERT_TRUE(waiters_.WaitForRounds(4));  // the retries failed again meanwhile
  EXPECT_EQ(ErrorCount(), 1u);
  {
    std::lock_guard lock(errorsMutex_);
    EXPECT_EQ(errors_.front().rfind("Can't capture on v0: ", 0), 0u) << errors_.front();
  }
  EXPECT_TRUE(monitor_->IsRunning());

  const uint32_t before = UploadToRemote();
  ASSERT_TRUE(MakeVethPair());
  EXPECT_TRUE(SendUntilCounted(before, std::chrono::seconds(10)))
      << "counting did not resume when the interface came back";
  EXPECT_EQ(ErrorCount(), 1u);
}

}  // namespace
}  // namespace corvane
