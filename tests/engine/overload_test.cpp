// The queue between capture and processing under a flood of datagrams: it
// must stay as long as the flows active per second, not the datagram count,
// and folding must never change what the list shows.
#include <random>

#include "support/test_env.h"
#include "engine/monitor_internals.h"
#include "monitor_fixture.h"

namespace corvane::testing {
namespace {

class OverloadTest : public MonitorTest {
 protected:
  const uint32_t kA = MakeAddress(10, 0, 0, 1);
  const uint32_t kB = MakeAddress(10, 0, 0, 2);
};

TEST_F(OverloadTest, InterleavedDatagramsOfTwoRowsInOneSecondQueueOneEventEach) {
  for (int i = 0; i < 1000; ++i) {
    Upload(kA, 17, 5000, 10);
    Download(kB, 17, 5001, 10);
  }
  EXPECT_EQ(StateOf(monitor_).packetQueue.Size(), 2u);
  clock_.Advance(1);
  Upload(kA, 17, 5000, 10);
  EXPECT_EQ(StateOf(monitor_).packetQueue.Size(), 3u);
}

TEST_F(OverloadTest, EventOfASecondAlreadyShownIsQueuedAgain) {
  // The clock was set back: events stamped "in the future" are shown at once,
  // while capture still stamps that second.
  Upload(kA, 17, 5000, 10);
  std::vector<FlowEvent> taken;
  StateOf(monitor_).packetQueue.TakeReady(kNoon - 60, taken);
  ASSERT_EQ(taken.size(), 1u);
  Upload(kA, 17, 5000, 10);
  EXPECT_EQ(StateOf(monitor_).packetQueue.Size(), 1u);
}

TEST_F(OverloadTest, SecondThatComesBackStartsAFreshRun) {
  Upload(kA, 17, 5000, 10);
  clock_.Advance(1);
  Upload(kB, 17, 5000, 10);
  clock_.Advance(-1);
  Upload(kA, 17, 5000, 10);
  EXPECT_EQ(StateOf(monitor_).packetQueue.Size(), 3u);
}

// Two ports of one program make one row: the row's last activity is the
// latest of their events, whichever port was seen first.
TEST_F(OverloadTest, PortsOfOneRowSeenInTurnShowTheLatestTimeInALatePass) {
  Upload(kA, 17, 6000, 10);
  clock_.Advance(1);
  Upload(kA, 17, 6001, 10);
  clock_.Advance(1);
  Upload(kA, 17, 6000, 10);
  PassAfter(3);
  auto rows = Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][kColumnFirstActivity], "2005-03-07 12:00:00");
  EXPECT_EQ(rows[0][kColumnLastActivity], "2005-03-07 12:00:02");
  EXPECT_EQ(rows[0][kColumnUpload], "114 B");
}

// A random flood over a few rows and seconds, shown through the folding queue
// and pass, against the same events shown one by one with ShowFlowEvent.
// Passes come late, every third second, so that one pass shows events of
// several seconds and of several ports that make the same row.
TEST_F(OverloadTest, FoldedEventsShowTheSameRowsTimesCountsAndMarksAsOneByOne) {
  ManualClock referenceClock(kNoon);
  testing::TestEnv referenceEnv(referenceClock);
  Monitor reference(referenceEnv, ".");
  StateOf(reference).settings.interfaceAddress = kInterface;
  std::mt19937 random(3);
  const uint32_t remotes[] = {kA, kB, MakeAddress(10, 0, 0, 3)};
  std::vector<FlowEvent> pending;  // what reference still has to show

  auto feedBoth = [&](const DatagramFields& fields) {
    Feed(fields);
    auto bytes = BuildDatagram(fields);
    auto info = ParsePacketInfo(bytes);
    ASSERT_TRUE(info);
    reference.AccountDatagram(*info);
  };
  auto passBoth = [&] {
    monitor_.RunPass();
    std::vector<FlowEvent> discarded;
    // Without attribution nothing waits for a scan: an event is ready at
    // the next pass.
    StateOf(reference).packetQueue.TakeReady(referenceClock.Now(), discarded, 0);
    while (!pending.empty() && IsReadyToShow(referenceClock.Now(), pending.front().time, 0)) {
      reference.ShowFlowEvent(pending.front());
      pending.erase(pending.begin());
    }
    reference.DeselectIdleRows();
  };

  for (int second = 0; second < 15; ++second) {
    // Few datagrams a second, so rows differ in which port was seen last.
    const int datagrams = second < 10 ? static_cast<int>(random() % 5) : 0;
    for (int i = 0; i < datagrams; ++i) {
      uint32_t remote = remotes[random() % 3];
      uint8_t protocol = random() % 2 ? 17 : 1;
      uint16_t port = protocol == 17 ? static_cast<uint16_t>(6000 + random() % 2) : 0;
      bool upload = random() % 2;
      DatagramFields fields = upload ? DatagramFields{kInterface, remote, protocol, port, 53, 20}
                                 : DatagramFields{remote, kInterface, protocol, 53, port, 20};
      feedBoth(fields);
      pending.push_back(FlowEvent{IpAddress::V4(remote), protocol, protocol == 17 ? port : uint16_t{0},
                                  protocol, clock_.Now()});
    }
    clock_.Advance(1);
    referenceClock.Advance(1);
    if (second % 3 != 2) continue;
    passBoth();

    std::vector<RowCells> expected;
    std::vector<bool> expectedMarks;
    {
      TrafficList::Lock lock(StateOf(reference).list);
      expected = StateOf(reference).list.Rows();
      for (int row = 0; row < StateOf(reference).list.Count(); ++row) {
        expectedMarks.push_back(StateOf(reference).list.IsSelected(row));
      }
    }
    ASSERT_EQ(Rows(), expected) << "after second " << second;
    for (size_t row = 0; row < expectedMarks.size(); ++row) {
      EXPECT_EQ(Selected(static_cast<int>(row)), expectedMarks[row]) << "row " << row;
    }
  }
  EXPECT_FALSE(Rows().empty());
}

}  // namespace
}  // namespace corvane::testing
