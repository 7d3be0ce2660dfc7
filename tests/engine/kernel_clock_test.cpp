// With the kernel's socket events: rows are shown at the next pass, each
// datagram is charged to the process that owned its socket when it was
// sent, and Save & Clear takes every byte counted up to it exactly once.
#include <sys/socket.h>

#include <cstring>

#include "engine/monitor_fixture.h"
#include "platform/helper_capture.h"

namespace corvane {
namespace {

const uint32_t kRemote = MakeAddress(10, 0, 0, 1);
const uint32_t kOther = MakeAddress(10, 0, 0, 15);

class KernelClockTest : public testing::MonitorTest {
 protected:
  // The helper's wiring, as a live capture with kernel events sets it up.
  void UseKernelEvents() {
    monitor_.SendSocketOwnersFrom(helper_);
    helper_.onReady(capture::AttributionMode::kKernel);
    monitor_.SetAttributionActive(true);
  }
  // The helper reports who owns a socket of ours (remote port 0: unconnected).
  void Owner(uint8_t protocol, uint16_t localPort, uint32_t remote, uint16_t remotePort,
             const char* name, uint32_t pid) {
    SocketOwner owner;
    owner.protocol = protocol;
    owner.family = AF_INET;
    owner.localPort = localPort;
    owner.remotePort = remotePort;
    owner.pid = pid;
    std::memcpy(owner.localAddress.data(), &kInterface, 4);
    if (remotePort != 0) std::memcpy(owner.remoteAddress.data(), &remote, 4);
    owner.name = name;
    helper_.onSocketOwner(owner);
  }
  std::string RowOf(const std::string& source) {
    for (const RowCells& row : Rows()) {
      if (row[kColumnLocalSource] == source) return row[kColumnRemoteIp] + " " + row[kColumnUpload];
    }
    return "no row";
  }

  HelperCaptureOptions helper_;
};

TEST_F(KernelClockTest, RowIsNamedAtTheNextPassAndAnUnownedSocketWaitsOnlyAFewPasses) {
  UseKernelEvents();
  Owner(6, 5000, kRemote, 80, "curl", 42);
  Upload(kRemote, 6, 5000, 10);
  Upload(kOther, 17, 7000, 0);  // no owner event comes for this one
  monitor_.RunPass();           // the clock has not moved
  EXPECT_EQ(RowOf("curl:42"), "10.0.0.1 50 B");
  EXPECT_EQ(Rows().size(), 1u);
  for (int pass = 1; pass < ProcessingPass::kOwnerGracePasses; ++pass) monitor_.RunPass();
  EXPECT_EQ(Rows().size(), 1u);
  monitor_.RunPass();
  EXPECT_EQ(RowOf("UDP protocol"), "10.0.0.15 28 B");
}

TEST_F(KernelClockTest, PortTakenOverByAnotherProcessChargesEachItsOwnDatagrams) {
  UseKernelEvents();
  Owner(17, 6000, 0, 0, "first", 1);
  Upload(kRemote, 17, 6000, 10);
  Owner(17, 6000, 0, 0, "second", 2);
  Upload(kRemote, 17, 6000, 20);
  // A datagram read before its socket's owner event still goes to its owner.
  Upload(kOther, 17, 7000, 1);
  Owner(17, 7000, 0, 0, "third", 3);
  Upload(kOther, 17, 7000, 1);
  Owner(17, 7000, 0, 0, "fourth", 4);
  Upload(kOther, 17, 7000, 2);
  monitor_.RunPass();
  EXPECT_EQ(RowOf("first:1"), "10.0.0.1 38 B");
  EXPECT_EQ(RowOf("second:2"), "10.0.0.1 48 B");
  EXPECT_EQ(RowOf("third:3"), "10.0.0.15 58 B");
  EXPECT_EQ(RowOf("fourth:4"), "10.0.0.15 30 B");
}

TEST_F(KernelClockTest, SaveAndClearSavesWhatIsQueuedAndKeepsWhatIsCountedAfterIt) {
  // Without kernel events, so that events wait in the queue.
  Upload(kRemote, 17, 1, 0);
  PassAfter(3);
  Upload(kRemote, 17, 1, 0);  // queued, not shown yet
  std::vector<RowCells> saved;
  monitor_.SetLogWriter([&](const std::vector<RowCells>& rows) -> std::optional<std::string> {
    saved = rows;
    // The capture thread goes on while the log is written.
    Upload(kRemote, 17, 1, 1);
    Upload(kOther, 17, 1, 2);
    return std::nullopt;
  });
  ASSERT_FALSE(monitor_.SaveAndClear());
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_EQ(saved[0][kColumnUpload], "56 B");
  EXPECT_TRUE(Rows().empty());
  EXPECT_EQ(monitor_.Totals().second, 59u);
  PassAfter(3);
  EXPECT_EQ(RowOf("UDP protocol"), "10.0.0.15 30 B");
  ASSERT_EQ(Rows().size(), 2u);
  EXPECT_EQ(Rows()[1][kColumnUpload], "29 B");
}

}  // namespace
}  // namespace corvane
