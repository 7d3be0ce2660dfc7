// Save & Clear and the midnight step on a real file system that refuses the
// log: a read-only directory and a full one. Mounting the small file systems
// needs root; without it these tests skip, except under CI=true.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "support/test_env.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "platform/net.h"
#include "storage/traffic_log.h"
#include "tests/storage/temp_dir.h"

namespace corvane {
namespace {

bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

const uint32_t kLocal = MakeAddress(192, 168, 0, 2);

int64_t LocalSeconds(int year, int month, int day, int hour, int minute, int second) {
  int64_t seconds = 0;
  FromLocalTime(LocalTime{year, month, day, hour, minute, second}, seconds);
  return seconds;
}

// A tmpfs mounted on a fresh directory for the test's lifetime.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& where, unsigned long flags, const char* options)
      : where_(where) {
    if (::mount("tmpfs", where.c_str(), "tmpfs", flags, options) == 0) {
      mounted_ = true;
    } else {
      error_ = std::strerror(errno);
    }
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  std::string where_;
  bool mounted_ = false;
  std::string error_;
};

#define REQUIRE_MOUNT(fs)                                                          \
  do {                                                                             \
    if (!(fs).mounted()) {                                                         \
      if (UnderCi()) FAIL() << "cannot mount a tmpfs: " << (fs).error();           \
      GTEST_SKIP() << "cannot mount a tmpfs (" << (fs).error() << "); run as root"; \
    }                                                                              \
  } while (0)

class SaveFailureTest : public ::testing::Test {
 protected:
  SaveFailureTest() : clock_(LocalSeconds(2005, 3, 1, 23, 59, 0)), env_(clock_), monitor_(env_, dir_.path()) {
    StateOf(monitor_).settings.interfaceAddress = kLocal;
    monitor_.SetErrorHandler([this](const std::string& message) { errors_.push_back(message); });
    logs_ = dir_.File("logs");
    std::filesystem::create_directory(logs_);
    monitor_.SetLogWriter(TrafficLogWriter(logs_, clock_));
  }

  // Rows for many remote addresses, shown and counted in the totals.
  void MakeTraffic(int flows) {
    for (int i = 0; i < flows; ++i) {
      PacketInfo info;
      info.sourceAddress = IpAddress::V4(MakeAddress(10, 1, static_cast<uint8_t>(i / 250),
                                       static_cast<uint8_t>(i % 250 + 1)));
      info.destinationAddress = IpAddress::V4(kLocal);
      info.length = 1000;
      info.protocol = kProtocolUdp;
      info.sourcePort = 53;
      info.destinationPort = 40000;
      monitor_.AccountDatagram(info);
    }
    clock_.Advance(3);
    StateOf(monitor_).counters.Tick();
    monitor_.ShowReadyEvents();
  }

  int Rows() {
    TrafficList::Lock lock(StateOf(monitor_).list);
    return StateOf(monitor_).list.Count();
  }

  void ExpectEverythingKept(int flows) {
    EXPECT_EQ(Rows(), flows);
    EXPECT_EQ(StateOf(monitor_).flows.AddressFlowCount(), static_cast<size_t>(flows));
    EXPECT_EQ(StateOf(monitor_).flows.Totals().downloadBytes, 1000u * flows);
  }

  TempDir dir_;
  ManualClock clock_;
  testing::TestEnv env_;
  Monitor monitor_;
  std::string logs_;
  std::vector<std::string> errors_;
};

TEST_F(SaveFailureTest, ReadOnlyDirectoryKeepsEveryFlowAndNamesThePath) {
  SmallFileSystem fs(logs_, MS_RDONLY, "size=64k");
  REQUIRE_MOUNT(fs);
  MakeTraffic(20);
  const Status failed = monitor_.SaveAndClear();
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.reason.rfind("Can't write to " + logs_ + "/", 0), 0u) << failed.reason;
  EXPECT_TRUE(failed.reason.ends_with(".log"));
  ExpectEverythingKept(20);
}

TEST_F(SaveFailureTest, FullDiskKeepsEveryFlowAndLeavesNoPartialLog) {
  SmallFileSystem fs(logs_, 0, "size=64k");
  REQUIRE_MOUNT(fs);
  {
    // Fill the file system to the last block.
    std::ofstream filler(logs_ + "/filler", std::ios::binary);
    std::string block(4096, 'x');
    for (int i = 0; i < 64 && filler.write(block.data(), block.size()); ++i) {
    }
  }
  MakeTraffic(300);
  ASSERT_FALSE(monitor_.SaveAndClear());
  ExpectEverythingKept(300);
  EXPECT_TRUE(ListLogs(logs_).empty());
  int entries = 0;
  for (auto& entry : std::filesystem::directory_iterator(logs_)) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);  // only the filler: the temporary file is gone

  // Space again: the same command now saves every row and clears.
  std::filesystem::remove(logs_ + "/filler");
  ASSERT_TRUE(monitor_.SaveAndClear());
  EXPECT_EQ(Rows(), 0);
  ASSERT_EQ(ListLogs(logs_).size(), 1u);
  EXPECT_EQ(ReadTrafficLog(logs_ + "/" + ListLogs(logs_)[0].fileName)->size(), 300u);
}

TEST_F(SaveFailureTest, MidnightReportsOnceAndRetriesWithinTheMinute) {
  SmallFileSystem fs(logs_, MS_RDONLY, "size=64k");
  REQUIRE_MOUNT(fs);
  MakeTraffic(5);
  clock_.Set(LocalSeconds(2005, 3, 2, 0, 0, 1));
  monitor_.MidnightStep();
  monitor_.MidnightStep();
  ASSERT_EQ(errors_.size(), 1u);
  EXPECT_EQ(errors_[0].rfind("Can't write to " + logs_ + "/2005-03-02_00t00t01", 0), 0u)
      << errors_[0];
  ExpectEverythingKept(5);

  // Writable again before the minute is over: the next pass saves and clears.
  ASSERT_EQ(::mount(nullptr, logs_.c_str(), nullptr, MS_REMOUNT, "size=64k"), 0)
      << std::strerror(errno);
  clock_.Set(LocalSeconds(2005, 3, 2, 0, 0, 30));
  monitor_.MidnightStep();
  EXPECT_EQ(errors_.size(), 1u);
  EXPECT_EQ(Rows(), 0);
  EXPECT_EQ(StateOf(monitor_).flows.Totals().downloadBytes, 0u);
  EXPECT_EQ(ListLogs(logs_).size(), 1u);
  // Once per night.
  MakeTraffic(1);
  clock_.Set(LocalSeconds(2005, 3, 2, 0, 0, 50));
  monitor_.MidnightStep();
  EXPECT_EQ(Rows(), 1);
}

}  // namespace
}  // namespace corvane
