// What corvane-cli watch prints: the rates it works out per row, the JSON
// line of a row, and the row a change record names.
#include "tools/watch_output.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/ip_address.h"
#include "storage/csv_json.h"

namespace corvane {
namespace {

using std::chrono::milliseconds;

// Texts that would end a JSON string, break a line, or drive a terminal
// (ESC and BEL of an OSC title, a C1 CSI as UTF-8 and as a bare byte).
const std::string kHostileHost = "evil\"\\\x1b]0;pwned\x07\nx\xc2\x9b" "31m\x9b.example";

RowKey KeyOf(const char* address, uint32_t label) {
  return RowKey{*ParseIp(address), 0, label};
}

RowCells CellsOf(const std::string& host) {
  return RowCells{"203.0.113.7", host, "2.93 KB", "500 B", "3.42 KB", "curl:77",
                  "2026-12-07 20:13:00", "2026-12-07 20:13:04"};
}

TEST(WatchOutput, RatesFollowTheWindowAndTheJsonLineCarriesExportFieldsEscaped) {
  RateTracker rates;
  const RowKey key = KeyOf("203.0.113.7", 1);
  const RateTracker::TimePoint start{};
  RowValues values{1000, 0, 1796670780, 1796670780};
  // A new row's first bytes count as come within the window.
  ByteRates now = rates.Observe(key, values, start + milliseconds(10000));
  EXPECT_DOUBLE_EQ(now.download, 500);
  values.downloadBytes = 3000;
  values.uploadBytes = 500;
  now = rates.Observe(key, values, start + milliseconds(11000));
  EXPECT_DOUBLE_EQ(now.download, 2000);
  EXPECT_DOUBLE_EQ(now.upload, 500);
  // Idle for the whole window: nothing left.
  now = rates.Observe(key, values, start + milliseconds(13000));
  EXPECT_DOUBLE_EQ(now.download, 0);
  EXPECT_DOUBLE_EQ(now.upload, 0);
  // Over the time since the last counts before the window.
  values.downloadBytes = 7000;
  values.lastActivity = 1796670784;
  now = rates.Observe(key, values, start + milliseconds(13500));
  EXPECT_DOUBLE_EQ(now.download, 1600);
  // Counts that went down are a new row of the same flow.
  values.downloadBytes = 100;
  values.uploadBytes = 0;
  EXPECT_DOUBLE_EQ(rates.Observe(key, values, start + milliseconds(14500)).download, 50);

  values = RowValues{7000, 500, 1796670780, 1796670784};
  EXPECT_EQ(FormatJsonlLine(CellsOf(kHostileHost), values, ByteRates{2000, 0.4}),
            "{\"remote_address\":\"203.0.113.7\","
            "\"remote_host\":\"evil\\\"\\\\\\u001b]0;pwned\\u0007\\u000ax"
            "\\u009b31m\xef\xbf\xbd.example\","
            "\"downloaded_bytes\":7000,\"uploaded_bytes\":500,\"total_bytes\":7500,"
            "\"local_source\":\"curl:77\","
            "\"first_activity\":\"2026-12-07T19:13:00Z\","
            "\"last_activity\":\"2026-12-07T19:13:04Z\","
            "\"download_rate\":2000,\"upload_rate\":0}\n");
}

TEST(WatchOutput, TextLineWritesNoTerminalControl) {
  const std::string line = FormatWatchRowLine(CellsOf(kHostileHost), ByteRates{1500, 0});
  for (char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(byte >= 0x20 && byte != 0x7f) << "control byte " << int(byte) << " in " << line;
  }
  EXPECT_EQ(line.find("\xc2\x9b"), std::string::npos) << "a C1 control went through";
  EXPECT_EQ(ValidUtf8(line), line);
  EXPECT_TRUE(line.ends_with(" 1.46_KB/s 0_B/s")) << line;
}

TEST(WatchOutput, ChangeOfARowThatMovedNamesThatRow) {
  TrafficList list;
  RowChangeFeed feed;
  list.SetChangeSink(feed.Sink());
  const RowKey first = KeyOf("192.0.2.1", 1), second = KeyOf("192.0.2.2", 1),
               third = KeyOf("2001:db8::3", 2);
  {
    TrafficList::Lock lock(list);
    for (const RowKey& key : {first, second, third}) {
      list.InsertTop(key, CellsOf("h"), RowValues{1, 1, 1796670780, 1796670780});
    }
  }
  list.Publish();
  RowChangeFeed::Changes changes = feed.Wait(std::chrono::steady_clock::now());
  EXPECT_EQ(changes.keys, (std::vector<RowKey>{first, second, third}));
  {
    TrafficList::Lock lock(list);
    list.Remove(list.FindRow(third));                   // the top row: the others move up
    list.Reorder({1, 0});                               // first on top
    list.SetCounts(list.FindRow(first), 9, 9, 1796670781);
  }
  list.Publish();
  changes = feed.Wait(std::chrono::steady_clock::now());
  EXPECT_EQ(changes.keys, std::vector<RowKey>{first});
  EXPECT_FALSE(changes.cleared);
}

}  // namespace
}  // namespace corvane
