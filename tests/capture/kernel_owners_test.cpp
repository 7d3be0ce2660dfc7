// Socket owners reported by the kernel name flows through the port map: a
// new socket waits for its own owner rather than its port's old label, and
// an unconnected UDP socket's owner names every datagram of its port. With
// the helper's wiring a row is shown at the next pass, and each datagram is
// charged to the process that owned its socket when it was sent.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>

#include "engine/monitor_internals.h"
#include "attribution/kernel_owners.h"
#include "engine/monitor_fixture.h"
#include "platform/helper_capture.h"

namespace corvane {
namespace {


class KernelOwners : public testing::MonitorTest {
 protected:
  KernelOwners() {
    monitor_.SetAttributionActive(true);
    StateOf(monitor_).portMap.SetKernelEvents(true);
  }

  SocketOwner Owner(uint8_t protocol, uint32_t local, uint16_t localPort, uint32_t remote,
                    uint16_t remotePort, uint32_t pid, std::string_view name) {
    SocketOwner owner;
    owner.protocol = protocol;
    owner.family = AF_INET;
    owner.localPort = localPort;
    owner.remotePort = remotePort;
    owner.pid = pid;
    owner.name = name;
    std::memcpy(owner.localAddress.data(), &local, 4);
    std::memcpy(owner.remoteAddress.data(), &remote, 4);
    return owner;
  }

  // The labels of every row of `remote`, joined by ","; a flow split
  // between two programs shows both.
  std::string LabelOfRow(uint32_t remote) {
    std::string labels;
    for (const RowCells& row : Rows()) {
      if (row[kColumnRemoteIp] != FormatAddress(remote)) continue;
      if (!labels.empty()) labels += ",";
      labels += row[kColumnLocalSource];
    }
    return labels.empty() ? "(no row)" : labels;
  }
};

TEST_F(KernelOwners, NewSocketOnAReusedPortIsNamedByItsKernelOwnerNotThePortsOldLabel) {
  const uint32_t remote = MakeAddress(203, 0, 113, 5);
  // The scan still holds the port's previous owner.
  StateOf(monitor_).portMap.Store(6, kInterface, 40000, "old:1");
  Upload(remote, 6, 40000, 500);
  // The kernel's event arrives after the connection's first datagrams.
  StoreSocketOwner(StateOf(monitor_).portMap, Owner(6, kInterface, 40000, remote, 80, 42, "curl"));
  Upload(remote, 6, 40000, 500);
  PassAfter(3);
  EXPECT_EQ(LabelOfRow(remote), "curl:42");
  EXPECT_EQ(Flow(remote)->uploadBytes, 2u * (500 + 40));
}

TEST_F(KernelOwners, UnconnectedUdpOwnerNamesEveryDatagramOfItsPort) {
  // Bound to every address: its local address is 0.
  StoreSocketOwner(StateOf(monitor_).portMap, Owner(17, 0, 5353, 0, 0, 7, "avahi-daemon"));
  // An IPv4 talk of an IPv6 socket comes v4-mapped.
  SocketOwner mapped = Owner(17, 0, 6000, 0, 0, 8, "dig");
  mapped.family = AF_INET6;
  mapped.localAddress = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  std::memcpy(mapped.localAddress.data() + 12, &kInterface, 4);
  StoreSocketOwner(StateOf(monitor_).portMap, mapped);
  const uint32_t remotes[] = {MakeAddress(224, 0, 0, 251), MakeAddress(198, 51, 100, 1),
                              MakeAddress(198, 51, 100, 2)};
  for (uint32_t remote : remotes) Upload(remote, 17, 5353, 100);
  Upload(MakeAddress(198, 51, 100, 3), 17, 6000, 100);
  PassAfter(3);
  for (uint32_t remote : remotes) EXPECT_EQ(LabelOfRow(remote), "avahi-daemon:7");
  EXPECT_EQ(LabelOfRow(MakeAddress(198, 51, 100, 3)), "dig:8");
}

// The owners arrive as a live capture hands them over: on the capture
// thread, in stream order with the datagrams.
class KernelClock : public KernelOwners {
 protected:
  KernelClock() {
    monitor_.SendSocketOwnersFrom(helper_);
    helper_.onReady(capture::AttributionMode::kKernel);
  }
  void Report(const SocketOwner& owner) { helper_.onSocketOwner(owner); }
  // "address upload" of the row of `source`.
  std::string RowOf(const std::string& source) {
    for (const RowCells& row : Rows()) {
      if (row[kColumnLocalSource] == source) return row[kColumnRemoteIp] + " " + row[kColumnUpload];
    }
    return "no row";
  }

  const uint32_t kRemote = MakeAddress(10, 0, 0, 1);
  const uint32_t kOther = MakeAddress(10, 0, 0, 15);
  HelperCaptureOptions helper_;
};

TEST_F(KernelClock, RowIsNamedAtTheNextPassAndAnUnownedSocketWaitsOnlyAFewPasses) {
  Report(Owner(6, kInterface, 5000, kRemote, 80, 42, "curl"));
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

TEST_F(KernelClock, PortTakenOverByAnotherProcessChargesEachItsOwnDatagrams) {
  Report(Owner(17, kInterface, 6000, 0, 0, 1, "first"));
  Upload(kRemote, 17, 6000, 10);
  Report(Owner(17, kInterface, 6000, 0, 0, 2, "second"));
  Upload(kRemote, 17, 6000, 20);
  // A datagram read before its socket's owner event still goes to its owner.
  Upload(kOther, 17, 7000, 1);
  Report(Owner(17, kInterface, 7000, 0, 0, 3, "third"));
  Upload(kOther, 17, 7000, 1);
  Report(Owner(17, kInterface, 7000, 0, 0, 4, "fourth"));
  Upload(kOther, 17, 7000, 2);
  monitor_.RunPass();
  EXPECT_EQ(RowOf("first:1"), "10.0.0.1 38 B");
  EXPECT_EQ(RowOf("second:2"), "10.0.0.1 48 B");
  EXPECT_EQ(RowOf("third:3"), "10.0.0.15 58 B");
  EXPECT_EQ(RowOf("fourth:4"), "10.0.0.15 30 B");
}

}  // namespace
}  // namespace corvane
