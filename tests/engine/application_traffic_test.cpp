// Bytes per application from the flows' running counts.
#include "engine/application_traffic.h"

#include "engine/flow_table.h"

#include <gtest/gtest.h>

#include "storage/history_store.h"
#include "storage/temp_dir.h"
#include "vocabulary/direction.h"

namespace corvane {
namespace {

// One program's two processes, one of them ended before it was read, a pid
// that now runs another program, and a protocol: each lands under the right
// application and is announced once unless known before. The flow table
// hands each flow's news once, also across a Save & Clear that took less
// than the flow counted.
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
  FlowTable flows;
  auto countNews = [&](int64_t time, const IpAddress& remote, uint32_t label, const char* text) {
    const FlowKey key = AddressFlowKey(remote, label);
    std::optional<FlowTable::FlowNews> flow;
    flows.TakeAddressFlowNews({&key, 1}, {&flow, 1});
    ASSERT_TRUE(flow);
    traffic.Count(time, remote, label, text, flow->news.downloadBytes, flow->news.uploadBytes, "");
  };

  flows.AddToAddressFlow(v4, 300, kDirectionDownload, 1000);
  flows.AddToAddressFlow(v4, 300, kDirectionUpload, 100);
  countNews(100, v4, 300, "curl:10");
  flows.AddToAddressFlow(v4, 300, kDirectionDownload, 500);
  countNews(101, v4, 300, "curl:10");
  countNews(101, v4, 300, "curl:10");  // nothing new
  flows.AddToAddressFlow(v6, 301, kDirectionUpload, 40);
  countNews(102, v6, 301, "curl:11");  // ended before it was read
  flows.AddToAddressFlow(v4, 302, kDirectionDownload, 7);
  countNews(103, v4, 302, "bash:12");  // pid 12 is vim by now
  flows.AddToAddressFlow(v4, 6, kDirectionUpload, 9);
  countNews(104, v4, 6, "TCP protocol");
  // curl:10's row showed 1200 received when Save & Clear took it; 300 of
  // the 1500 were counted after, then 20 more.
  std::vector<FlowKey> saved;
  flows.ClearShown(
      [&](const FlowKey& flow) -> std::optional<FlowCounts> {
        if (flow == FlowKey::Of(v4, 300)) return FlowCounts{100, 1200};
        return std::nullopt;
      },
      saved);
  EXPECT_EQ(flows.LookupAddressFlow(v4, 300)->downloadBytes, 300u);
  flows.AddToAddressFlow(v4, 300, kDirectionDownload, 20);
  countNews(105, v4, 300, "curl:10");

  EXPECT_EQ(announced, (std::vector<std::string>{"curl", "bash"}));
  const std::vector<ApplicationBytes> totals = traffic.Totals();
  EXPECT_EQ(totals, (std::vector<ApplicationBytes>{{"curl", "curl", 4, 100, 1520},
                                                   {"curl", "curl", 6, 40, 0},
                                                   {"bash", "bash", 4, 0, 7},
                                                   {"TCP protocol", "TCP protocol", 4, 9, 0}}));
}

// One program whose processes were read in every way a row can be: its
// executable readable, gone before it was read, another user's known only
// by comm (cut to 15 bytes), named by the kernel while comm names the link it
// was started by, and a sandbox's process gone before it was read. Each
// program is one application, and one the history holds under the full path
// an earlier version stored is not news.
TEST(ApplicationTrafficTest, OneProgramIsOneApplicationHoweverItsProcessesWereRead) {
  TempDir dir;
  HistoryStore store;
  ASSERT_TRUE(store.Open(dir.File(kHistoryFileName)).ok);
  const IpAddress remote = IpAddress::V4(0x0700000a);
  ASSERT_TRUE(store
                  .WriteMinute(60, {{{"/usr/bin/curl", remote, "", kDirectionUpload, 5},
                                     {"/usr/libexec/evolution-calendar-factory", remote, "",
                                      kDirectionUpload, 3}}})
                  .ok);
  std::vector<HistoryTotal> history;
  ASSERT_TRUE(store.Totals(HistoryGrouping::kApp, INT64_MIN, INT64_MAX, history).ok);
  std::set<std::string> known;
  for (const HistoryTotal& total : history) known.insert(total.key);

  ApplicationTraffic traffic([](int pid) -> std::optional<AppIdentity> {
    switch (pid) {
      case 10: return AppIdentity{"/usr/bin/curl", "curl", {}};
      case 12: return AppIdentity{"", "curl", {}};  // another user's
      case 13: return AppIdentity{"", "evolution-calen", {}};
      case 14: return AppIdentity{"", "python3", {}};
      case 15: return AppIdentity{"/app/lib/firefox/firefox", "firefox",
                                  {UnitKind::kFlatpak, "org.mozilla.firefox"}};
      default: return std::nullopt;  // gone
    }
  });
  std::vector<std::string> announced;
  traffic.SetNewApplicationHandler(
      [&](const std::string& app, const std::string&) { announced.push_back(app); }, known);
  const char* labels[] = {"curl:10",       "curl:11",       "curl:12",    "evolution-calen:13",
                          "python3.11:14", "python3.11:20", "firefox:15", "firefox:16"};
  uint32_t labelId = 100;
  for (const char* label : labels) traffic.Count(100, remote, labelId++, label, 0, 1, "");

  EXPECT_EQ(announced, (std::vector<std::string>{"python3.11", "flatpak:org.mozilla.firefox"}));
  EXPECT_EQ(traffic.Totals(),
            (std::vector<ApplicationBytes>{
                {"curl", "curl", 4, 3, 0},
                {"evolution-calendar-factory", "evolution-calendar-factory", 4, 1, 0},
                {"python3.11", "python3.11", 4, 2, 0},
                {"flatpak:org.mozilla.firefox", "firefox", 4, 2, 0}}));
}

}  // namespace
}  // namespace corvane
