// The processing pass: when events are shown, rows, marks, filters and the
// midnight step.
#include "engine/monitor_internals.h"
#include "engine/monitor_fixture.h"

namespace corvane {
namespace {

using testing::MonitorTest;

const uint32_t kRemote = MakeAddress(10, 0, 0, 1);
const uint32_t kOther = MakeAddress(10, 0, 0, 15);

class ProcessingTest : public MonitorTest {};

TEST_F(ProcessingTest, EventWaitsThreeSecondsForTheProcScanOnlyWhileAttributionIsOn) {
  monitor_.SetAttributionActive(true);
  Upload(kRemote, 6, 1100, 0);
  PassAfter(2);
  EXPECT_TRUE(Rows().empty());
  PassAfter(1);
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][kColumnRemoteIp], "10.0.0.1");
  EXPECT_EQ(rows[0][kColumnRemoteHost], "10.0.0.1");
  EXPECT_EQ(rows[0][kColumnUpload], "40 B");
  EXPECT_EQ(rows[0][kColumnDownload], "0 B");
  EXPECT_EQ(rows[0][kColumnTotal], "40 B");
  EXPECT_EQ(rows[0][kColumnLocalSource], "TCP protocol");
  EXPECT_EQ(rows[0][kColumnFirstActivity], "2005-03-07 12:00:00");
  EXPECT_EQ(rows[0][kColumnLastActivity], "2005-03-07 12:00:00");
  EXPECT_TRUE(Selected(0));
  // Without attribution (a replay) no scan is waited for.
  monitor_.SetAttributionActive(false);
  Upload(kOther, 6, 1100, 0);
  PassAfter(0);
  EXPECT_EQ(Rows().size(), 2u);
}

TEST_F(ProcessingTest, EventStampedInTheFutureIsShownAtOnce) {
  clock_.Advance(100);
  Upload(kRemote, 17, 1, 0);
  clock_.Set(kNoon);
  monitor_.RunPass();
  EXPECT_EQ(Rows().size(), 1u);
}

TEST_F(ProcessingTest, MarkIsClearedWhenLastActivityIsFiveToEightSecondsOld) {
  Upload(kRemote, 6, 1100, 0);
  PassAfter(3);
  EXPECT_TRUE(Selected(0));
  PassAfter(1);  // 4 s old
  EXPECT_TRUE(Selected(0));
  PassAfter(1);  // 5 s old
  EXPECT_FALSE(Selected(0));
}

TEST_F(ProcessingTest, LatePassMissingTheWindowLeavesTheMark) {
  Upload(kRemote, 6, 1100, 0);
  PassAfter(3);
  PassAfter(6);  // 9 s old: past the window
  EXPECT_TRUE(Selected(0));
}

TEST_F(ProcessingTest, EachLocalSourceGetsItsOwnRowWithItsOwnCounts) {
  StateOf(monitor_).portMap.Store(6, 0, 1100, "firefox:10");
  StateOf(monitor_).portMap.Store(6, 0, 1200, "curl:11");
  monitor_.SetAttributionActive(true);
  Upload(kRemote, 6, 1100, 10);
  Download(kRemote, 6, 1200, 20);
  Upload(kRemote, 1, 0, 0);
  PassAfter(3);
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 3u);
  // Newest row on top.
  EXPECT_EQ(rows[0][kColumnLocalSource], "ICMP protocol");
  EXPECT_EQ(rows[1][kColumnLocalSource], "curl:11");
  EXPECT_EQ(rows[2][kColumnLocalSource], "firefox:10");
  // Only the row's own bytes; together they are the address's.
  EXPECT_EQ(rows[0][kColumnUpload], "28 B");
  EXPECT_EQ(rows[1][kColumnDownload], "60 B");
  EXPECT_EQ(rows[1][kColumnUpload], "0 B");
  EXPECT_EQ(rows[2][kColumnUpload], "50 B");
  EXPECT_EQ(rows[2][kColumnTotal], "50 B");
}

TEST_F(ProcessingTest, PortLearntLaterMakesASecondRowForTheSameAddress) {
  monitor_.SetAttributionActive(true);
  Upload(kRemote, 6, 1100, 0);
  PassAfter(3);
  StateOf(monitor_).portMap.Store(6, 0, 1100, "wget:77");
  Upload(kRemote, 6, 1100, 0);
  PassAfter(3);
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][kColumnLocalSource], "wget:77");
  EXPECT_EQ(rows[1][kColumnLocalSource], "TCP protocol");
}

TEST_F(ProcessingTest, LaterEventsUpdateCountsAndLastActivityOnly) {
  Upload(kRemote, 17, 1, 0);
  PassAfter(3);
  clock_.Advance(7);
  Download(kRemote, 17, 1, 0);
  PassAfter(3);
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][kColumnFirstActivity], "2005-03-07 12:00:00");
  EXPECT_EQ(rows[0][kColumnLastActivity], "2005-03-07 12:00:10");
  EXPECT_EQ(rows[0][kColumnTotal], "56 B");
  EXPECT_TRUE(Selected(0));
}

TEST_F(ProcessingTest, ManyEventsOfOneRowInAPassShowLikeOneByOne) {
  for (int i = 0; i < 5; ++i) {
    Upload(kRemote, 17, 1, 0);
    Upload(kOther, 17, 1, 0);
    clock_.Advance(1);
  }
  clock_.Advance(3);
  monitor_.RunPass();
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][kColumnRemoteIp], "10.0.0.15");
  EXPECT_EQ(rows[1][kColumnFirstActivity], "2005-03-07 12:00:00");
  EXPECT_EQ(rows[1][kColumnLastActivity], "2005-03-07 12:00:04");
  EXPECT_EQ(rows[1][kColumnUpload], "140 B");
}

// A replay accounts the next second while the second half of a pass runs:
// what it counts meanwhile belongs to the next pass, not to rows made now.
TEST_F(ProcessingTest, PassInTwoHalvesShowsTheFlowsAsTheyWereWhenItBegan) {
  Upload(kRemote, 17, 1, 0);
  clock_.Advance(1);
  ASSERT_TRUE(monitor_.BeginPass());
  Upload(kRemote, 17, 1, 100);
  clock_.Advance(1);
  Upload(kOther, 17, 1, 0);
  monitor_.FinishPass();
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][kColumnUpload], "28 B");
  EXPECT_EQ(rows[0][kColumnLastActivity], "2005-03-07 12:00:00");
  monitor_.RunPass();
  rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1][kColumnUpload], "156 B");
  EXPECT_EQ(rows[1][kColumnLastActivity], "2005-03-07 12:00:01");
}

TEST_F(ProcessingTest, NewRowEntersAtTheTopEvenAfterTheListWasReordered) {
  Upload(kRemote, 17, 1, 0);
  Upload(kOther, 17, 1, 0);
  PassAfter(3);
  {
    TrafficList::Lock lock(StateOf(monitor_).list);
    StateOf(monitor_).list.Reorder({1, 0});
  }
  Upload(MakeAddress(10, 0, 0, 99), 17, 1, 0);
  PassAfter(3);
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][kColumnRemoteIp], "10.0.0.99");
  EXPECT_EQ(rows[1][kColumnRemoteIp], "10.0.0.1");
}

TEST_F(ProcessingTest, HiddenFlowGetsNoRowButKeepsCountingAndIsAskedAgain) {
  FilterSet filters;
  filters.mode = FilterMode::BlackList;
  filters.rules.push_back({"10.0.0.1", "<ANY>"});
  monitor_.SetFilters(filters);
  Upload(kRemote, 17, 1, 0);
  PassAfter(3);
  EXPECT_TRUE(Rows().empty());
  EXPECT_EQ(Flow(kRemote)->uploadBytes, 28u);
  EXPECT_EQ(StateOf(monitor_).counters.tickUploadBytes, 28u);

  monitor_.SetFilters(FilterSet{});
  Upload(kRemote, 17, 1, 0);
  PassAfter(3);
  ASSERT_EQ(Rows().size(), 1u);
  EXPECT_EQ(Rows()[0][kColumnUpload], "56 B");
}

TEST_F(ProcessingTest, RowsLeaveAtOnceWhenARuleHidesThemAndReturnWithTheirCountsWhenItGoes) {
  const uint32_t other = MakeAddress(10, 0, 0, 2);
  Upload(kRemote, 17, 1, 0);
  Upload(other, 17, 1, 0);
  PassAfter(3);
  ASSERT_EQ(Rows().size(), 2u);
  FilterSet filters;
  filters.mode = FilterMode::BlackList;
  filters.rules.push_back({"10.0.0.1", "<ANY>"});
  monitor_.SetFilters(filters);
  ASSERT_EQ(Rows().size(), 1u) << "no datagram needed for the row to go";
  EXPECT_EQ(Rows()[0][kColumnRemoteIp], "10.0.0.2");

  Upload(kRemote, 17, 1, 100);  // counted while hidden
  PassAfter(3);
  EXPECT_EQ(Rows().size(), 1u);
  monitor_.SetFilters(FilterSet{});
  ASSERT_EQ(Rows().size(), 2u);
  EXPECT_EQ(Rows()[0][kColumnRemoteIp], "10.0.0.1");
  EXPECT_EQ(Rows()[0][kColumnUpload], "156 B");
  EXPECT_EQ(Rows()[0][kColumnTotal], "156 B");

  monitor_.SetFilters(filters);
  ASSERT_TRUE(monitor_.SaveAndClear());
  monitor_.SetFilters(FilterSet{});
  EXPECT_TRUE(Rows().empty()) << "a row hidden before Save & Clear belongs to the old day";
}

TEST_F(ProcessingTest, EventOfAClearedFlowIsDropped) {
  Upload(kRemote, 17, 1, 0);
  StateOf(monitor_).flows.Clear();
  PassAfter(3);
  EXPECT_TRUE(Rows().empty());
}

TEST_F(ProcessingTest, HostNameIsRequestedOncePerNewAddressRow) {
  std::vector<IpAddress> requested;
  monitor_.SetHostNameRequester([&](const IpAddress& a, uint32_t) { requested.push_back(a); });
  Upload(kRemote, 17, 1, 0);
  Upload(kRemote, 6, 2, 0);
  PassAfter(3);
  Upload(kRemote, 17, 1, 0);
  PassAfter(3);
  EXPECT_EQ(requested, (std::vector<IpAddress>{IpAddress::V4(kRemote), IpAddress::V4(kRemote)}));
}

TEST_F(ProcessingTest, SaveAndClearEmptiesFlowsListAndTotalsOnlyAfterTheLogWasWritten) {
  Upload(kRemote, 17, 1, 0);
  PassAfter(3);
  StateOf(monitor_).counters.Tick();
  std::vector<RowCells> saved;
  bool fail = true;
  monitor_.SetLogWriter([&](const std::vector<RowCells>& rows) {
    if (fail) return Status::Failed("Can't write to /read-only/2005-03-07_12t00t03.log");
    saved = rows;
    return Status::Ok();
  });
  ASSERT_FALSE(monitor_.SaveAndClear());
  EXPECT_EQ(Rows().size(), 1u);
  EXPECT_TRUE(Flow(kRemote));
  EXPECT_EQ(StateOf(monitor_).flows.Totals().uploadBytes, 28u);

  fail = false;
  EXPECT_TRUE(monitor_.SaveAndClear());
  EXPECT_EQ(saved.size(), 1u);
  EXPECT_TRUE(Rows().empty());
  EXPECT_FALSE(Flow(kRemote));
  EXPECT_EQ(StateOf(monitor_).flows.Totals().uploadBytes, 0u);
}

TEST_F(ProcessingTest, SaveAndClearSavesWhatIsQueuedAndKeepsWhatIsCountedAfterIt) {
  Upload(kRemote, 17, 1, 0);
  PassAfter(3);
  Upload(kRemote, 17, 1, 0);  // queued, not shown yet
  std::vector<RowCells> saved;
  monitor_.SetLogWriter([&](const std::vector<RowCells>& rows) {
    saved = rows;
    // The capture thread goes on while the log is written.
    Upload(kRemote, 17, 1, 1);
    Upload(kOther, 17, 1, 2);
    return Status::Ok();
  });
  ASSERT_TRUE(monitor_.SaveAndClear());
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0][kColumnUpload], "56 B");
  EXPECT_TRUE(Rows().empty());
  EXPECT_EQ(monitor_.Totals().second, 59u);
  PassAfter(3);
  const std::vector<RowCells> rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][kColumnRemoteIp] + " " + rows[0][kColumnUpload], "10.0.0.15 30 B");
  EXPECT_EQ(rows[1][kColumnRemoteIp] + " " + rows[1][kColumnUpload], "10.0.0.1 29 B");
}

TEST_F(ProcessingTest, MidnightSavesAndClearsOnceInItsMinuteAndAnEmptyDayWritesNoLog) {
  int saves = 0;
  monitor_.SetLogWriter([&](const std::vector<RowCells>& rows) {
    ++saves;
    EXPECT_EQ(rows.size(), 1u);
    return Status::Ok();
  });
  clock_.Set(kNoon - 12 * 3600);  // 00:00:00 of a day with no rows yet
  monitor_.RunPass();
  EXPECT_EQ(saves, 0);
  clock_.Set(kNoon + 12 * 3600 - 10);  // 23:59:50
  Upload(kRemote, 17, 1, 0);
  PassAfter(3);
  StateOf(monitor_).counters.Tick();
  clock_.Set(kNoon + 12 * 3600);  // 00:00:00
  monitor_.RunPass();
  EXPECT_EQ(saves, 1);
  EXPECT_TRUE(Rows().empty());
  EXPECT_EQ(StateOf(monitor_).flows.Totals().uploadBytes, 0u);
  for (int i = 0; i < 59; ++i) PassAfter(1);  // the rest of minute 00:00
  EXPECT_EQ(saves, 1);
  PassAfter(1);  // 00:01:00
  EXPECT_EQ(saves, 1);
}

TEST_F(ProcessingTest, FailedMidnightSaveKeepsEverythingReportsOnceAndRetries) {
  std::vector<std::string> errors;
  monitor_.SetErrorHandler([&](const std::string& m) { errors.push_back(m); });
  int attempts = 0;
  monitor_.SetLogWriter([&](const std::vector<RowCells>&) {
    return ++attempts < 3 ? Status::Failed("Can't write to /full/x.log") : Status::Ok();
  });
  clock_.Set(kNoon + 12 * 3600 - 10);
  Upload(kRemote, 17, 1, 0);
  PassAfter(3);
  clock_.Set(kNoon + 12 * 3600);
  monitor_.RunPass();
  EXPECT_EQ(Rows().size(), 1u);
  EXPECT_TRUE(Flow(kRemote));
  PassAfter(1);
  EXPECT_EQ(Rows().size(), 1u);
  PassAfter(1);
  EXPECT_TRUE(Rows().empty());
  EXPECT_EQ(attempts, 3);
  EXPECT_EQ(errors, std::vector<std::string>{"Can't write to /full/x.log"});
}

TEST_F(ProcessingTest, AfterMidnightTheNextDatagramStartsAFreshFlowAndRow) {
  monitor_.SetLogWriter([](const std::vector<RowCells>&) { return Status::Ok(); });
  clock_.Set(kNoon + 12 * 3600 - 10);
  Upload(kRemote, 17, 1, 0);
  PassAfter(3);
  clock_.Set(kNoon + 12 * 3600);
  monitor_.RunPass();
  Download(kRemote, 17, 1, 0);
  PassAfter(3);
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][kColumnUpload], "0 B");
  EXPECT_EQ(rows[0][kColumnDownload], "28 B");
  EXPECT_EQ(rows[0][kColumnFirstActivity], "2005-03-08 00:00:00");
}

TEST_F(ProcessingTest, ProxyFlowStartsAtZeroAndCountsFromItsNextEvent) {
  monitor_.ShowProxyEvent(ProxyEvent{"10.0.0.7", 1100, kNoon, 300, kDirectionUpload, {}});
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][kColumnRemoteIp], "10.0.0.7");
  EXPECT_EQ(rows[0][kColumnRemoteHost], "10.0.0.7");
  EXPECT_EQ(rows[0][kColumnUpload], "0 B");
  EXPECT_EQ(StateOf(monitor_).counters.tickUploadBytes, 0u);
  monitor_.ShowProxyEvent(ProxyEvent{"10.0.0.7", 1100, kNoon + 1, 500, kDirectionDownload, {}});
  rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][kColumnDownload], "500 B");
  EXPECT_EQ(StateOf(monitor_).counters.tickDownloadBytes, 500u);
}

TEST_F(ProcessingTest, UnresolvableProxyHostShowsTheProxyHostTextOrQuestionMarks) {
  monitor_.ShowProxyEvent(ProxyEvent{"no-such-host.invalid", 1100, kNoon, 1, kDirectionUpload, {}});
  StateOf(monitor_).settings.SetProxyHost("proxy.lan");
  monitor_.ShowProxyEvent(ProxyEvent{"other.invalid", 1100, kNoon, 1, kDirectionUpload, {}});
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][kColumnRemoteIp], "proxy.lan");
  EXPECT_EQ(rows[1][kColumnRemoteIp], "???");
}

}  // namespace
}  // namespace corvane
