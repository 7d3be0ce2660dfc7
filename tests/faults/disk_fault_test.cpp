// A full disk and a read-only application directory when the data files are
// written: the Filters dialog's OK (filters.dat), the Options dialog's OK
// (set.dat), Save & Clear and the midnight step (traffic logs). The old
// files must stay whole, no flow may be lost, and the user is told
// "Can't write to PATH" where the program reports it. Mounting the small
// file systems needs root (CI runs it as root).
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "support/test_env.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "filters/filter_set.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "storage/settings.h"
#include "storage/traffic_log.h"
#include "tests/faults/fault_support.h"
#include "tests/storage/temp_dir.h"

namespace corvane {
namespace {

const uint32_t kLocal = MakeAddress(192, 168, 0, 2);
const std::string kOldFilters = "1\r\nexample.org firefox\r\n";
const std::string kOldSettings = "1 0 0 ? ? 16777215\r\n";

enum class Fault { FullDisk, ReadOnly };

std::string FaultName(const ::testing::TestParamInfo<Fault>& info) {
  return info.param == Fault::FullDisk ? "FullDisk" : "ReadOnly";
}

// The application directory on a 256 KiB tmpfs holding the old set.dat and
// filters.dat; then either filled to the last byte or made read-only.
class DiskFaultTest : public ::testing::TestWithParam<Fault> {
 protected:
  void SetUp() override {
    CORVANE_REQUIRE_ROOT("mounting a tmpfs");
    app_ = dir_.File("app");
    std::filesystem::create_directory(app_);
    if (::mount("tmpfs", app_.c_str(), "tmpfs", 0, "size=256k,mode=0755") != 0) {
      FAIL() << "cannot mount a tmpfs: " << std::strerror(errno);
    }
    mounted_ = true;
    Write("filters.dat", kOldFilters);
    Write("set.dat", kOldSettings);
    if (GetParam() == Fault::FullDisk) {
      std::ofstream filler(app_ + "/filler", std::ios::binary);
      const std::string block(4096, 'f');
      while (filler.write(block.data(), block.size())) {
      }
      // Some file systems still take a few bytes into a started block.
      std::ofstream more(app_ + "/filler2", std::ios::binary);
      while (more.put('f')) {
      }
    } else {
      ASSERT_EQ(::mount(nullptr, app_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=256k"), 0)
          << std::strerror(errno);
    }
  }
  void TearDown() override {
    if (mounted_) ::umount2(app_.c_str(), MNT_DETACH);
  }

  void Write(const std::string& name, const std::string& text) {
    std::ofstream(app_ + "/" + name, std::ios::binary) << text;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(app_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> Leftovers() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(app_)) {
      const std::string name = entry.path().filename().string();
      if (name != "filters.dat" && name != "set.dat" && name != "filler" && name != "filler2")
        names.push_back(name);
    }
    return names;
  }

  TempDir dir_;
  std::string app_;
  bool mounted_ = false;
};

TEST_P(DiskFaultTest, FiltersOkNamesTheFullPathAndKeepsTheOldFile) {
  const std::string path = FilterFilePath(app_);
  const auto failure = WriteFilterFile(path, FilterMode::WhiteList,
                                       {{"a-rule-long-enough-to-need-space", "ssh"}});
  ASSERT_FALSE(failure);
  EXPECT_NE(failure.reason.find(path), std::string::npos) << failure.reason;
  EXPECT_NE(failure.code, 0) << failure.reason;
  EXPECT_EQ(Read("filters.dat"), kOldFilters);
  EXPECT_TRUE(Leftovers().empty());
}

TEST_P(DiskFaultTest, OptionsOkKeepsTheOldSetDatAndTheValuesStillApply) {
  SettingsFields fields;
  fields.freezeGraph = true;
  fields.proxyEnabled = true;
  fields.hostText = "127.0.0.3";
  fields.portText = "3128";
  EXPECT_FALSE(SaveSettings(app_ + "/set.dat", fields).ok);
  EXPECT_EQ(Read("set.dat"), kOldSettings);
  EXPECT_TRUE(Leftovers().empty());

  ManualClock clock(1'000'000);
  testing::TestEnv env(clock);
  Monitor monitor(env, app_);
  OptionsResult result;
  result.interfaceAddress = 0;
  result.freezeGraph = true;
  result.proxyEnabled = true;
  result.proxyHostText = "127.0.0.3";
  result.proxyPortText = "3128";
  monitor.ApplyOptions(result);
  EXPECT_TRUE(StateOf(monitor).settings.freezeGraph.load());
  EXPECT_EQ(StateOf(monitor).settings.proxyPort.load(), 3128);
  // The old filters stay in force.
  EXPECT_EQ(monitor.LoadFilters().filters.rules.size(), 1u);
  monitor.Stop();
}

TEST_P(DiskFaultTest, SaveAndClearAndMidnightKeepEveryFlow) {
  ManualClock clock(1'000'000);
  testing::TestEnv env(clock);
  Monitor monitor(env, app_);
  StateOf(monitor).settings.interfaceAddress = kLocal;
  std::mutex errorsMutex;
  std::vector<std::string> errors;
  monitor.SetErrorHandler([&](const std::string& message) {
    std::lock_guard lock(errorsMutex);
    errors.push_back(message);
  });
  monitor.SetLogWriter(TrafficLogWriter(app_, clock));
  for (int i = 0; i < 50; ++i) {
    PacketInfo info;
    info.sourceAddress = IpAddress::V4(MakeAddress(10, 1, 0, static_cast<uint8_t>(i + 1)));
    info.destinationAddress = IpAddress::V4(kLocal);
    info.length = 1000;
    info.protocol = 17;
    info.sourcePort = 53;
    info.destinationPort = 40000;
    monitor.AccountDatagram(info);
  }
  clock.Advance(5);
  monitor.ShowReadyEvents();
  ASSERT_EQ(StateOf(monitor).flows.AddressFlowCount(), 50u);

  const Status failed = monitor.SaveAndClear();
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.reason.rfind("Can't write to " + app_ + "/", 0), 0u) << failed.reason;
  EXPECT_EQ(StateOf(monitor).flows.AddressFlowCount(), 50u);
  {
    TrafficList::Lock lock(StateOf(monitor).list);
    EXPECT_EQ(StateOf(monitor).list.Count(), 50);
  }
  EXPECT_TRUE(ListLogs(app_).empty());
  EXPECT_TRUE(Leftovers().empty());

  // The midnight step: reported once as "Can't write to PATH", nothing lost.
  int64_t midnight = 0;
  ASSERT_TRUE(FromLocalTime(LocalTime{2005, 3, 2, 0, 0, 1}, midnight));
  clock.Set(midnight);
  monitor.MidnightStep();
  monitor.MidnightStep();
  {
    std::lock_guard lock(errorsMutex);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Can't write to " + app_ + "/2005-03-02_00t00t01", 0), 0u)
        << errors[0];
  }
  EXPECT_EQ(StateOf(monitor).flows.AddressFlowCount(), 50u);
  EXPECT_EQ(StateOf(monitor).flows.Totals().downloadBytes, 50u * 1000u);
  EXPECT_TRUE(ListLogs(app_).empty());
  EXPECT_TRUE(Leftovers().empty());
  EXPECT_EQ(Read("filters.dat"), kOldFilters);
}

INSTANTIATE_TEST_SUITE_P(Faults, DiskFaultTest,
                         ::testing::Values(Fault::FullDisk, Fault::ReadOnly), FaultName);

}  // namespace
}  // namespace corvane
