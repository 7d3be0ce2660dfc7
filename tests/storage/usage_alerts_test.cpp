// Usage alerts: one alert per program and period, kept across restarts.
#include "storage/usage_alerts.h"

#include <gtest/gtest.h>

#include "tests/storage/temp_dir.h"

namespace corvane {
namespace {

constexpr uint64_t kMB = 1000 * 1000;
constexpr int64_t kDay = 1'700'000'000 - 1'700'000'000 % 86400;

std::vector<UsageAlert> Observe(UsageAlerts& alerts, int64_t day, uint64_t curlBytes) {
  std::vector<UsageAlert> fired;
  EXPECT_TRUE(alerts.Observe(day, day + 3600, {{"curl", "curl", curlBytes}, {"ssh", "ssh", 1}}, fired));
  return fired;
}

TEST(UsageAlertsTest, FiresOnceAtTheCrossingNotAgainAfterARestartTheSameDayAgainTheNextDay) {
  TempDir dir;
  const std::string file = dir.File("usage-alerts");
  {
    UsageAlerts alerts(file);
    alerts.SetBudget({100 * kMB, 0});
    ASSERT_TRUE(alerts.Load());
    alerts.Seed(UsagePeriod::kDay, kDay, {{"curl", "curl", 60 * kMB}});
    EXPECT_TRUE(Observe(alerts, kDay, 30 * kMB).empty());
    const std::vector<UsageAlert> crossed = Observe(alerts, kDay, 50 * kMB);
    ASSERT_EQ(crossed.size(), 1u);
    EXPECT_EQ(crossed[0].name, "curl");
    EXPECT_EQ(crossed[0].period, UsagePeriod::kDay);
    EXPECT_EQ(crossed[0].bytes, 110 * kMB);
    EXPECT_TRUE(Observe(alerts, kDay, 500 * kMB).empty());
  }
  // A restart whose history lacks the last minutes: the count starts under
  // the budget again and crosses it, and the file says it fired already.
  {
    UsageAlerts alerts(file);
    alerts.SetBudget({100 * kMB, 0});
    ASSERT_TRUE(alerts.Load());
    alerts.Seed(UsagePeriod::kDay, kDay, {{"curl", "curl", 90 * kMB}});
    EXPECT_TRUE(Observe(alerts, kDay, 20 * kMB).empty());
  }
  // Without the file, a program over the budget in the history is not news.
  dir.Write("usage-alerts", "garbage\nday x curl\n");
  {
    UsageAlerts alerts(file);
    alerts.SetBudget({100 * kMB, 0});
    ASSERT_TRUE(alerts.Load());
    alerts.Seed(UsagePeriod::kDay, kDay, {{"curl", "curl", 150 * kMB}});
    EXPECT_TRUE(Observe(alerts, kDay, 20 * kMB).empty());
    // The next day counts from zero and alerts again; so does a new hour.
    alerts.SetBudget({100 * kMB, 50 * kMB});
    EXPECT_TRUE(Observe(alerts, kDay + 86400, 30 * kMB).empty());
    const std::vector<UsageAlert> next = Observe(alerts, kDay + 86400, 90 * kMB);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].period, UsagePeriod::kHour);
    const std::vector<UsageAlert> day = Observe(alerts, kDay + 86400, 131 * kMB);
    ASSERT_EQ(day.size(), 1u);
    EXPECT_EQ(day[0].period, UsagePeriod::kDay);
    EXPECT_EQ(day[0].bytes, 111 * kMB);
  }
}

}  // namespace
}  // namespace corvane
