// The Monitor's use of the filters: hiding rows at their first event,
// testing hidden flows again, and loading filters.dat.
#include <gtest/gtest.h>

#include <map>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

#include "support/test_env.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "platform/net.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kLocal = MakeAddress(192, 168, 1, 10);

// Local noon, far from the midnight step whatever the time zone.
int64_t LocalNoon() {
  int64_t seconds = 0;
  FromLocalTime(LocalTime{2024, 6, 5, 12, 0, 0}, seconds);
  return seconds;
}

class MonitorFiltersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("corvane_monfilters_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    monitor_ = std::make_unique<Monitor>(env_, dir_.string());
    StateOf(*monitor_).settings.interfaceAddress = kLocal;
    StateOf(*monitor_).portMap.Store(6, 0, 5000, "firefox:99");
    StateOf(*monitor_).portMap.Store(6, 0, 6000, "curl:12");
    monitor_->SetAttributionActive(true);
  }
  void TearDown() override {
    monitor_.reset();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  void Send(uint32_t remote, uint16_t localPort, uint16_t length = 100) {
    PacketInfo info;
    info.sourceAddress = IpAddress::V4(kLocal);
    info.destinationAddress = IpAddress::V4(remote);
    info.sourcePort = localPort;
    info.destinationPort = 443;
    info.protocol = kProtocolTcp;
    info.length = length;
    info.requestText = std::string_view();
    monitor_->AccountDatagram(info);
  }

  // One pass that shows everything sent so far.
  void ShowAll() {
    clock_.Advance(3);
    monitor_->RunPass();
  }

  int RowOf(uint32_t remote, std::string_view localSource) {
    TrafficList::Lock lock(StateOf(*monitor_).list);
    return StateOf(*monitor_).list.FindRemoteIpRow(FormatAddress(remote), localSource);
  }
  int RowCount() {
    TrafficList::Lock lock(StateOf(*monitor_).list);
    return StateOf(*monitor_).list.Count();
  }

  ManualClock clock_{LocalNoon()};
  testing::TestEnv env_{clock_};
  fs::path dir_;
  std::unique_ptr<Monitor> monitor_;
};

const uint32_t kAdServer = MakeAddress(10, 9, 0, 5);
const uint32_t kMail = MakeAddress(10, 1, 0, 7);

TEST_F(MonitorFiltersTest, HiddenFlowGetsNoRowYetItsBytesCount) {
  monitor_->SetFilters(FilterSet{FilterMode::BlackList, {{"10.9.", "<ANY>"}}});
  Send(kAdServer, 5000, 300);
  Send(kMail, 5000, 200);
  ShowAll();
  EXPECT_EQ(RowOf(kAdServer, "firefox:99"), -1);
  EXPECT_EQ(RowOf(kMail, "firefox:99"), 0);
  StateOf(*monitor_).counters.Tick();
  EXPECT_EQ(StateOf(*monitor_).flows.Totals().uploadBytes, 500u);
  ASSERT_TRUE(StateOf(*monitor_).flows.LookupAddressTotal(IpAddress::V4(kAdServer)));
  EXPECT_EQ(StateOf(*monitor_).flows.LookupAddressTotal(IpAddress::V4(kAdServer))->uploadBytes, 300u);
}

// A flow hidden from its first datagram is kept aside; when the rule goes
// its row comes back at once, with the first activity it really had, not
// the moment it came back.
TEST_F(MonitorFiltersTest, HiddenFlowComesBackWithItsRealFirstActivityWhenTheRuleGoes) {
  monitor_->SetFilters(FilterSet{FilterMode::BlackList, {{"10.9.", "<ANY>"}}});
  const int64_t first = clock_.Now();
  Send(kAdServer, 5000, 100);
  ShowAll();
  ASSERT_EQ(RowCount(), 0);
  clock_.Advance(30);
  Send(kAdServer, 5000, 50);
  ShowAll();
  ASSERT_EQ(RowCount(), 0);

  clock_.Advance(30);
  monitor_->SetFilters(FilterSet{});
  ASSERT_EQ(RowOf(kAdServer, "firefox:99"), 0);
  TrafficList::ReadLock lock(StateOf(*monitor_).list);
  const RowValues& values = StateOf(*monitor_).list.Values(0);
  EXPECT_EQ(values.firstActivity, first);
  EXPECT_EQ(values.uploadBytes, 150u);
}

// Save & Clear (and so midnight and Exit) writes the day's every flow: a
// flow hidden from the start and one a later rule hid are rows of the log
// too, with their own bytes, and they are not counted again afterwards.
TEST_F(MonitorFiltersTest, SaveAndClearWritesHiddenFlowsToTheLog) {
  std::vector<RowCells> logged;
  monitor_->SetLogWriter([&](const std::vector<RowCells>& rows) {
    logged = rows;
    return Status::Ok();
  });
  Send(kMail, 5000, 200);
  ShowAll();
  monitor_->SetFilters(FilterSet{FilterMode::BlackList, {{"10.", "<ANY>"}}});
  Send(kAdServer, 5000, 300);
  Send(kMail, 5000, 50);
  ShowAll();
  ASSERT_EQ(RowCount(), 0);
  ASSERT_TRUE(monitor_->SaveAndClear());
  std::map<std::string, std::string> uploaded;
  for (const RowCells& row : logged) uploaded[row[kColumnRemoteIp]] = row[kColumnUpload];
  EXPECT_EQ(uploaded, (std::map<std::string, std::string>{{FormatAddress(kAdServer), "300 B"},
                                                         {FormatAddress(kMail), "250 B"}}));
  monitor_->SetFilters(FilterSet{});
  EXPECT_EQ(RowCount(), 0) << "saved hidden rows do not come back";
}

TEST_F(MonitorFiltersTest, LocalSourceDecidesPerRow) {
  monitor_->SetFilters(FilterSet{FilterMode::WhiteList, {{"<ANY>", "firefox"}}});
  Send(kMail, 5000);
  Send(kMail, 6000);
  ShowAll();
  EXPECT_GE(RowOf(kMail, "firefox:99"), 0);
  EXPECT_EQ(RowOf(kMail, "curl:12"), -1);
}

TEST_F(MonitorFiltersTest, ReloadHidesExistingRowsAtOnceAndTheyComeBackWhenTheRuleGoes) {
  Send(kAdServer, 5000);
  ShowAll();
  ASSERT_EQ(RowOf(kAdServer, "firefox:99"), 0);
  monitor_->SetFilters(FilterSet{FilterMode::BlackList, {{"<ANY>", "<ANY>"}}});
  EXPECT_EQ(RowOf(kAdServer, "firefox:99"), -1);
  Send(kMail, 5000);
  ShowAll();
  EXPECT_EQ(RowOf(kMail, "firefox:99"), -1);
  monitor_->SetFilters(FilterSet{});
  EXPECT_EQ(RowOf(kAdServer, "firefox:99"), 1);
  EXPECT_EQ(RowOf(kMail, "firefox:99"), 0) << "the flow hidden later comes back on top";
}

TEST_F(MonitorFiltersTest, LoadFiltersReadsFiltersDatBesideTheProgram) {
  EXPECT_EQ(monitor_->filterFile(), (dir_ / "filters.dat").string());
  ASSERT_TRUE(WriteFilterFile(monitor_->filterFile(), FilterMode::BlackList,
                               {{"10.9.", "firefox"}}));
  EXPECT_EQ(monitor_->LoadFilters().status, FilterLoadStatus::Loaded);
  Send(kAdServer, 5000);
  Send(kAdServer, 6000);
  ShowAll();
  EXPECT_EQ(RowOf(kAdServer, "firefox:99"), -1);
  EXPECT_EQ(RowOf(kAdServer, "curl:12"), 0);
}

TEST_F(MonitorFiltersTest, MissingFilterFileClearsTheActiveRules) {
  monitor_->SetFilters(FilterSet{FilterMode::BlackList, {{"<ANY>", "<ANY>"}}});
  EXPECT_EQ(monitor_->LoadFilters().status, FilterLoadStatus::Missing);
  Send(kMail, 5000);
  ShowAll();
  EXPECT_EQ(RowCount(), 1);
}

TEST_F(MonitorFiltersTest, StartLoadsTheFiltersBeforeAnyEventIsShown) {
  ASSERT_TRUE(WriteFilterFile(monitor_->filterFile(), FilterMode::BlackList,
                               {{"<ANY>", "<ANY>"}}));
  env_.SetCaptureOpener([](const std::string&, Status& status) -> std::unique_ptr<CaptureSource> {
    status = Status::Failed("no capture in this test");
    return nullptr;
  });
  monitor_->SetErrorHandler([](const std::string&) {});
  monitor_->SetLocalNetworks(LocalNetworks{{IpAddress::V4(kLocal)}, {}});
  monitor_->Start("lo");
  {
    EXPECT_TRUE(monitor_->IsHidden("10.0.0.1", "10.0.0.1", "TCP protocol"));
  }
  monitor_->Stop();
}

// Rules that cannot be read silently stop hiding flows: the user is told why
// (a missing file is normal and told nothing). A folder in the file's place
// cannot be read even by root.
TEST_F(MonitorFiltersTest, UnreadableFilterFileAtStartIsReportedWithItsReason) {
  fs::create_directory(monitor_->filterFile());
  env_.SetCaptureOpener([](const std::string&, Status& status) -> std::unique_ptr<CaptureSource> {
    status = Status::Failed("no capture in this test");
    return nullptr;
  });
  std::mutex mutex;
  std::vector<std::string> reports;
  monitor_->SetErrorHandler([&](const std::string& message) {
    std::lock_guard lock(mutex);
    reports.push_back(message);
  });
  monitor_->Start("lo");
  monitor_->Stop();
  std::lock_guard lock(mutex);
  const auto filters = std::count_if(reports.begin(), reports.end(), [&](const std::string& text) {
    return text.find(monitor_->filterFile() + ": Is a directory") != std::string::npos;
  });
  EXPECT_EQ(filters, 1) << ::testing::PrintToString(reports);
}

// The window reloads the filters while the processing thread shows events.
// Every reload has the same rules, freshly allocated: a match that ran
// during a swap would read freed rules (and the sanitizers would say so),
// and a flow it should hide could slip through.
TEST_F(MonitorFiltersTest, ReloadWhileProcessingNeverLetsAHiddenFlowThrough) {
  ASSERT_TRUE(WriteFilterFile(monitor_->filterFile(), FilterMode::BlackList,
                               {{"a", "b"}, {"c", "d"}, {"10.9.", "<ANY>"}, {"e", "f"}}));
  monitor_->LoadFilters();
  std::atomic<bool> done{false};
  std::thread processing([&] {
    for (int i = 0; i < 400; ++i) {
      uint32_t hidden = MakeAddress(10, 9, static_cast<uint8_t>(i / 200), static_cast<uint8_t>(i));
      uint32_t shown = MakeAddress(10, 1, static_cast<uint8_t>(i / 200), static_cast<uint8_t>(i));
      Send(hidden, 5000);
      Send(shown, 5000);
      ShowAll();
    }
    done.store(true);
  });
  int reloads = 0;
  while (!done.load()) {
    EXPECT_EQ(monitor_->LoadFilters().filters.rules.size(), 4u);
    ++reloads;
  }
  processing.join();
  EXPECT_GT(reloads, 0);
  TrafficList::Lock lock(StateOf(*monitor_).list);
  EXPECT_EQ(StateOf(*monitor_).list.Count(), 400);
  for (int row = 0; row < StateOf(*monitor_).list.Count(); ++row) {
    EXPECT_EQ(StateOf(*monitor_).list.Cell(row, kColumnRemoteIp).rfind("10.1.", 0), 0u)
        << StateOf(*monitor_).list.Cell(row, kColumnRemoteIp);
  }
}

}  // namespace
}  // namespace corvane
