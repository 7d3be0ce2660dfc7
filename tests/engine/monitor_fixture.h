// A Monitor on a manual clock in UTC, with helpers to feed it datagrams and
// read its list.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "support/test_env.h"
#include "engine/monitor.h"
#include "engine/monitor_internals.h"
#include "vocabulary/text_format.h"
#include "support/datagram_builder.h"

namespace corvane::testing {

class MonitorTest : public ::testing::Test {
 protected:
  // 2005-03-07 12:00:00 UTC.
  static constexpr int64_t kNoon = 1110196800;
  const uint32_t kInterface = MakeAddress(192, 168, 1, 10);

  MonitorTest() : clock_(kNoon), env_(clock_), monitor_(env_, ".") {
    setenv("TZ", "UTC", 1);
    tzset();
    StateOf(monitor_).settings.interfaceAddress = kInterface;
  }

  void Feed(const DatagramFields& fields) {
    auto bytes = BuildDatagram(fields);
    auto info = ParsePacketInfo(bytes);
    ASSERT_TRUE(info);
    monitor_.AccountDatagram(*info);
  }
  void Upload(uint32_t remote, uint8_t protocol, uint16_t localPort, size_t payload) {
    Feed({kInterface, remote, protocol, localPort, 80, payload});
  }
  void Download(uint32_t remote, uint8_t protocol, uint16_t localPort, size_t payload) {
    Feed({remote, kInterface, protocol, 80, localPort, payload});
  }

  std::vector<RowCells> Rows() {
    TrafficList::Lock lock(StateOf(monitor_).list);
    return StateOf(monitor_).list.Rows();
  }
  bool Selected(int row) {
    TrafficList::Lock lock(StateOf(monitor_).list);
    return StateOf(monitor_).list.IsSelected(row);
  }
  std::optional<FlowCounts> Flow(uint32_t remote) {
    return StateOf(monitor_).flows.LookupAddressTotal(IpAddress::V4(remote));
  }
  std::optional<FlowCounts> Flow(const IpAddress& remote) {
    return StateOf(monitor_).flows.LookupAddressTotal(remote);
  }
  // Advances the clock by `seconds` and runs one pass.
  void PassAfter(int64_t seconds) {
    clock_.Advance(seconds);
    monitor_.RunPass();
  }

  ManualClock clock_;
  testing::TestEnv env_;
  Monitor monitor_;
};

}  // namespace corvane::testing
