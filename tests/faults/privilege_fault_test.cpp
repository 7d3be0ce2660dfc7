// Capture without privileges, for real: a child process gives up root (and
// with it every capability) before it starts the monitor. Capture must be
// reported once as "Can't capture on lo: " and the reason, and filters, options and
// logs must still work. Needs root to give it up (CI runs it as root).
// Port tables that cannot be read: the monitor's Env reads them from an
// empty folder instead of /proc.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "support/test_env.h"
#include "engine/monitor.h"
#include "filters/filter_set.h"
#include "platform/net.h"
#include "storage/settings.h"
#include "storage/traffic_log.h"
#include "tests/faults/fault_support.h"
#include "tests/storage/temp_dir.h"

namespace corvane {
namespace {

const uint32_t kMonitored = MakeAddress(127, 0, 0, 2);
const uint32_t kRemote = MakeAddress(127, 0, 0, 3);
constexpr uid_t kNobody = 65534;

bool Check(bool condition, const std::string& what, std::string& message) {
  if (!condition) message += what + "\n";
  return condition;
}

bool UnprivilegedChild(const std::string& dir, std::string& message) {
  if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
      ::setresuid(kNobody, kNobody, kNobody) != 0) {
    message = std::string("cannot give up root: ") + std::strerror(errno);
    return false;
  }
  Status probeWhy;
  if (OpenLiveCapture(kMonitored, probeWhy)) {
    message = "capture opened without privileges";
    return false;
  }

  ManualClock clock(1'000'000);
  testing::QuickWaiters waiters;
  testing::TestEnv env(clock, &waiters);
  Monitor monitor(env, dir);
  monitor.SetLocalNetworks(LocalNetworks{{IpAddress::V4(kMonitored)}, {}});
  std::mutex errorsMutex;
  std::vector<std::string> errors;
  monitor.SetErrorHandler([&](const std::string& text) {
    std::lock_guard lock(errorsMutex);
    errors.push_back(text);
  });
  monitor.SetLogWriter(TrafficLogWriter(dir, clock));
  monitor.RestartCapture("lo");
  // Capture tries again after each wait; three tries fail the same way.
  if (!waiters.WaitForRounds(3)) {
    message = "capture was not tried again";
    return false;
  }
  bool ok = true;
  {
    std::lock_guard lock(errorsMutex);
    ok &= Check(errors.size() == 1, "reports: " + std::to_string(errors.size()), message);
    ok &= Check(!errors.empty() && errors.front().rfind("Can't capture on lo: ", 0) == 0,
                "first report: " + (errors.empty() ? std::string() : errors.front()), message);
  }

  // Filters: the Filters dialog's OK writes the file, the monitor loads it.
  const std::string filterPath = FilterFilePath(dir);
  ok &= Check(WriteFilterFile(filterPath, FilterMode::BlackList, {{"10.9.9.9", "<ANY>"}}).ok,
              "filters.dat not written", message);
  const FilterLoadResult loaded = monitor.LoadFilters();
  ok &= Check(loaded.status == FilterLoadStatus::Loaded && loaded.filters.rules.size() == 1,
              "filters.dat not loaded", message);

  // Options: set.dat written and read back.
  SettingsFields fields;
  fields.hideLanFlows = true;
  fields.proxyEnabled = true;
  fields.hostText = "127.0.0.3";
  fields.portText = "3128";
  const std::string settingsPath = dir + "/" + kSettingsFileName;
  ok &= Check(SaveSettings(settingsPath, fields).ok, "set.dat not written", message);
  SettingsFields reread;
  LoadSettings(settingsPath, reread);
  ok &= Check(reread == fields, "set.dat read back differently", message);

  // Logs: a flow accounted by hand is saved by Save & Clear, owner-only.
  PacketInfo info;
  info.sourceAddress = IpAddress::V4(kRemote);
  info.destinationAddress = IpAddress::V4(kMonitored);
  info.length = 120;
  info.protocol = 17;
  info.sourcePort = 53;
  info.destinationPort = 40000;
  monitor.AccountDatagram(info);
  clock.Advance(5);
  monitor.RunPass();
  ok &= Check(monitor.SaveAndClear().ok, "Save & Clear failed", message);
  const auto logs = ListLogs(dir);
  ok &= Check(logs.size() == 1, "logs: " + std::to_string(logs.size()), message);
  if (logs.size() == 1) {
    const auto rows = ReadTrafficLog(dir + "/" + logs[0].fileName);
    ok &= Check(rows && rows->size() == 1 && (*rows)[0][kColumnRemoteIp] == "127.0.0.3",
                "the saved log does not hold the flow", message);
    struct stat st {};
    ::stat((dir + "/" + logs[0].fileName).c_str(), &st);
    ok &= Check((st.st_mode & 0777) == 0600, "log mode is not 0600", message);
  }
  monitor.Stop();
  {
    std::lock_guard lock(errorsMutex);
    ok &= Check(errors.size() == 1, "reports at the end: " + std::to_string(errors.size()),
                message);
  }
  return ok;
}

TEST(PrivilegeFaultTest, CaptureWithoutPrivilegeIsReportedOnceAndTheRestStillWorks) {
  CORVANE_REQUIRE_ROOT("giving up root in a child");
  TempDir dir;
  ASSERT_EQ(::chown(dir.path().c_str(), kNobody, kNobody), 0);
  std::string message;
  const int status = faults::RunInChild(
      [&](std::string& text) { return UnprivilegedChild(dir.path(), text); }, message);
  EXPECT_EQ(status, 0) << message;
}

// /proc is an empty folder: the kernel's port tables cannot be read.
class HiddenProcEnv final : public testing::TestEnv {
 public:
  HiddenProcEnv(const Clock& clock, std::string root) : TestEnv(clock), root_(std::move(root)) {}
  std::string ProcRoot() const override { return root_; }

 private:
  std::string root_;
};

TEST(PrivilegeFaultTest, UnreadablePortTablesAreReportedOnceWithTheReason) {
  TempDir dir;
  ManualClock clock(1'000'000);
  HiddenProcEnv env(clock, dir.File("proc"));
  env.SetCaptureOpener([](const std::string&, Status& status) -> std::unique_ptr<CaptureSource> {
    status = Status::Failed("no capture in this test");
    return nullptr;
  });
  Monitor monitor(env, dir.path());
  std::mutex errorsMutex;
  std::vector<std::string> errors;
  monitor.SetErrorHandler([&](const std::string& text) {
    std::lock_guard lock(errorsMutex);
    errors.push_back(text);
  });
  monitor.Start("lo");
  EXPECT_FALSE(monitor.AttributionActive()) << "attribution is on without port tables";
  monitor.Stop();
  std::lock_guard lock(errorsMutex);
  std::string all;
  for (const std::string& text : errors) all += text + "; ";
  EXPECT_EQ(std::count_if(errors.begin(), errors.end(),
                          [](const std::string& text) {
                            return text.find("/net/tcp: No such file or directory") != std::string::npos;
                          }),
            1)
      << all;
}

}  // namespace
}  // namespace corvane
