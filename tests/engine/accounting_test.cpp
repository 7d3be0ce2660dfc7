// Direction, the local-area test, flows and counters.
#include "engine/monitor_internals.h"
#include "engine/monitor_fixture.h"

namespace corvane {
namespace {

using testing::MonitorTest;

const uint32_t kGoogle = MakeAddress(8, 8, 8, 8);

class AccountingTest : public MonitorTest {};

TEST_F(AccountingTest, UploadAndReplyShareOneAddressFlow) {
  Feed({kInterface, kGoogle, 17, 5000, 53, 32});     // 60 bytes up
  Feed({kGoogle, kInterface, 17, 53, 5000, 72});     // 100 bytes down
  auto flow = Flow(kGoogle);
  ASSERT_TRUE(flow);
  EXPECT_EQ(flow->uploadBytes, 60u);
  EXPECT_EQ(flow->downloadBytes, 100u);
  EXPECT_EQ(StateOf(monitor_).counters.tickUploadBytes, 60u);
  EXPECT_EQ(StateOf(monitor_).counters.tickDownloadBytes, 100u);
  // Both would show the same row at the same second: queued once.
  EXPECT_EQ(StateOf(monitor_).packetQueue.Size(), 1u);
  clock_.Advance(1);
  Feed({kGoogle, kInterface, 17, 53, 5000, 0});
  EXPECT_EQ(StateOf(monitor_).packetQueue.Size(), 2u);
}

TEST_F(AccountingTest, TrafficBetweenOtherHostsIsIgnored) {
  Feed({MakeAddress(192, 168, 1, 20), kGoogle, 6, 1, 2, 0});
  Feed({MakeAddress(192, 168, 1, 20), MakeAddress(255, 255, 255, 255), 17, 1, 2, 0});
  Feed({MakeAddress(192, 168, 1, 20), MakeAddress(192, 168, 1, 255), 17, 1, 2, 0});
  EXPECT_EQ(StateOf(monitor_).flows.AddressFlowCount(), 0u);
  EXPECT_EQ(StateOf(monitor_).counters.tickDownloadBytes, 0u);
  EXPECT_EQ(StateOf(monitor_).packetQueue.Size(), 0u);
}

TEST_F(AccountingTest, TrafficToItselfIsAnUploadToItself) {
  Feed({kInterface, kInterface, 1, 0, 0, 10});
  auto flow = Flow(kInterface);
  ASSERT_TRUE(flow);
  EXPECT_EQ(flow->uploadBytes, 38u);
  EXPECT_EQ(flow->downloadBytes, 0u);
}

TEST_F(AccountingTest, MulticastCountsAsDownloadOfTheSenderOrUploadOfTheGroup) {
  const uint32_t router = MakeAddress(192, 168, 1, 1);
  const uint32_t ssdp = MakeAddress(239, 255, 255, 250);
  const uint32_t igmp = MakeAddress(224, 0, 0, 22);
  Feed({router, ssdp, 17, 1900, 1900, 0});
  Feed({kInterface, igmp, 2, 0, 0, 0});
  ASSERT_TRUE(Flow(router));
  EXPECT_EQ(Flow(router)->downloadBytes, 28u);
  ASSERT_TRUE(Flow(igmp));
  EXPECT_EQ(Flow(igmp)->uploadBytes, 20u);
}

TEST_F(AccountingTest, HideLanDropsMulticastAndTheMaskedNetworkOnly) {
  StateOf(monitor_).settings.hideLanFlows = true;
  StateOf(monitor_).settings.interfaceMask = MakeAddress(255, 255, 255, 0);
  Feed({MakeAddress(192, 168, 1, 1), MakeAddress(239, 255, 255, 250), 17, 1, 2, 0});
  Feed({kInterface, MakeAddress(224, 0, 0, 22), 2, 0, 0, 0});
  Feed({kInterface, MakeAddress(192, 168, 1, 20), 6, 1, 2, 0});
  EXPECT_EQ(StateOf(monitor_).flows.AddressFlowCount(), 0u);
  EXPECT_EQ(StateOf(monitor_).counters.tickUploadBytes, 0u);
  Feed({kInterface, MakeAddress(10, 0, 0, 1), 6, 1, 2, 0});
  EXPECT_TRUE(Flow(MakeAddress(10, 0, 0, 1)));
}

TEST_F(AccountingTest, DefaultMaskHidesOnlyMulticastAndSelfTraffic) {
  StateOf(monitor_).settings.hideLanFlows = true;
  Feed({kInterface, MakeAddress(192, 168, 1, 20), 6, 1, 2, 0});
  Feed({kInterface, kInterface, 6, 1, 2, 0});
  EXPECT_TRUE(Flow(MakeAddress(192, 168, 1, 20)));
  EXPECT_FALSE(Flow(kInterface));
}

TEST_F(AccountingTest, ZeroMaskHidesEverything) {
  StateOf(monitor_).settings.hideLanFlows = true;
  StateOf(monitor_).settings.interfaceMask = 0;
  Feed({kInterface, kGoogle, 6, 1, 2, 0});
  EXPECT_EQ(StateOf(monitor_).flows.AddressFlowCount(), 0u);
}

TEST_F(AccountingTest, LocalPortIsTheSourceOfUploadsAndDestinationOfDownloads) {
  StateOf(monitor_).portMap.Store(6, 0, 1100, "firefox:10");
  StateOf(monitor_).portMap.Store(6, 0, 1101, "curl:11");
  monitor_.SetAttributionActive(true);
  Feed({kInterface, kGoogle, 6, 1100, 443, 0});
  Feed({kGoogle, kInterface, 6, 443, 1101, 0});
  std::vector<FlowEvent> events;
  StateOf(monitor_).packetQueue.TakeReady(kNoon + 10, events);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].localPort, 1100);
  EXPECT_EQ(events[1].localPort, 1101);
  EXPECT_EQ(events[0].remoteAddress, IpAddress::V4(kGoogle));
  EXPECT_EQ(events[0].time, kNoon);
}

TEST_F(AccountingTest, IcmpIsQueuedWithPortZero) {
  Feed({kInterface, kGoogle, 1, 0, 0, 56});
  std::vector<FlowEvent> events;
  StateOf(monitor_).packetQueue.TakeReady(kNoon + 10, events);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].localPort, 0);
  EXPECT_EQ(events[0].protocol, 1);
}

TEST_F(AccountingTest, CountsDoNotWrapAt32Bits) {
  FlowTable& flows = StateOf(monitor_).flows;
  for (int i = 0; i < 3; ++i) flows.AddToAddressFlow(IpAddress::V4(kGoogle), 0, kDirectionDownload, 1u << 30);
  flows.AddToAddressFlow(IpAddress::V4(kGoogle), 0, kDirectionDownload, (1u << 30) + 5);
  EXPECT_EQ(Flow(kGoogle)->downloadBytes, (uint64_t{1} << 32) + 5);
}

TEST_F(AccountingTest, TickTakesEveryByteOnceAndDoesNotWrapAt32Bits) {
  TrafficCounters& counters = StateOf(monitor_).counters;
  counters.AddTick(kDirectionDownload, 100);
  counters.AddTick(kDirectionUpload, 7);
  auto [down, up] = counters.Tick();
  EXPECT_EQ(down, 100u);
  EXPECT_EQ(up, 7u);
  EXPECT_EQ(counters.tickDownloadBytes, 0u);
  counters.AddTick(kDirectionUpload, 0xffffffffu);
  counters.AddTick(kDirectionUpload, 0xffffffffu);
  EXPECT_EQ(counters.Tick().second, 0x1fffffffeu);
}

}  // namespace
}  // namespace corvane
