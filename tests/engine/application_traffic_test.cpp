// Bytes per application from the flows' running counts.
#include "engine/application_traffic.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

// One program's two processes, one of them ended before it was read, a pid
// that now runs another program, and a protocol: each lands under the right
// application, is announced once unless known before, and counts restart
// cleanly after the flows are cleared.
TEST(ApplicationTrafficTest, LabelsBecomeStableApplicationsCountedOnceAcrossClears) {
  ApplicationTraffic traffic([](int pid) -> std::optional<AppIdentity> {
    if (pid == 10) return AppIdentity{"/usr/bin/curl", "curl", {}};
    if (pid == 12) return AppIdentity{"/usr/bin/vim", "vim", {}};
    return std::nullopt;
  });
  std::vector<std::string> announced;
  traffic.SetNewApplicationHandler(
      [&](const std::string& app, const std::string&) { announced.push_back(app); },
      {"vim"});
  const IpAddress v4 = IpAddress::V4(0x0700000a), v6 = *ParseIp("2001:db8::7");

  traffic.Count(100, v4, 300, "curl:10", 1000, 100, "");
  traffic.Count(101, v4, 300, "curl:10", 1500, 100, "");  // 500 more received
  traffic.Count(102, v6, 301, "curl:11", 0, 40, "");      // ended before it was read
  traffic.Count(103, v4, 302, "bash:12", 7, 0, "");       // pid 12 is vim by now
  traffic.Count(104, v4, 6, "TCP protocol", 0, 9, "");
  traffic.Forget();                                        // Save & Clear
  traffic.Count(105, v4, 300, "curl:10", 20, 0, "");

  EXPECT_EQ(announced, (std::vector<std::string>{"curl", "bash"}));
  const std::vector<ApplicationBytes> totals = traffic.Totals();
  EXPECT_EQ(totals, (std::vector<ApplicationBytes>{{"curl", "curl", 4, 100, 1520},
                                                   {"curl", "curl", 6, 40, 0},
                                                   {"bash", "bash", 4, 0, 7},
                                                   {"TCP protocol", "TCP protocol", 4, 9, 0}}));
}

}  // namespace
}  // namespace corvane
