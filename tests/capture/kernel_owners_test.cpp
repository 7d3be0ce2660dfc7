// Socket owners reported by the kernel name flows through the port map: a
// new socket waits for its own owner rather than its port's old label, and
// an unconnected UDP socket's owner names every datagram of its port.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstring>

#include "engine/monitor_internals.h"
#include "attribution/kernel_owners.h"
#include "engine/monitor_fixture.h"

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

}  // namespace
}  // namespace corvane
