// The traffic history: rewriting a minute, the report totals, damaged and
// locked databases, and a writer killed in the middle of a transaction.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "storage/history_recorder.h"
#include "storage/history_report.h"
#include "storage/history_store.h"
#include "temp_dir.h"

namespace corvane {
namespace {

constexpr int kSent = 1;
constexpr int kReceived = 2;
// 2026-11-30T23:59:00Z and the minutes after it: two days, two months.
constexpr int64_t kMinute = 1796083140;

IpAddress Address(const char* text) { return *ParseIp(text); }

class HistoryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(store_.Open(path_).ok) << path_; }

  std::vector<HistoryTotal> Totals(HistoryGrouping grouping, int64_t since = 0,
                                   int64_t until = INT64_MAX) {
    std::vector<HistoryTotal> totals;
    const HistoryStatus status = store_.Totals(grouping, since, until, totals);
    EXPECT_TRUE(status.ok) << status.reason;
    return totals;
  }

  TempDir dir_;
  std::string path_ = dir_.File(kHistoryFileName);
  HistoryStore store_;
};

TEST_F(HistoryStoreTest, WritingAMinuteAgainReplacesItsCountsAndNeverCountsTwice) {
  const IpAddress remote = Address("198.18.0.7");
  // Two processes of one program in one flush are one application.
  std::vector<HistoryRow> firstFlush = {{"curl", remote, "", kSent, 100},
                                        {"curl", remote, "", kSent, 50},
                                        {"curl", remote, "", kReceived, 1000}};
  ASSERT_TRUE(store_.WriteMinute(kMinute + 20, firstFlush).ok);
  std::vector<HistoryRow> laterFlush = {{"curl", remote, "example.test", kSent, 400},
                                        {"curl", remote, "", kReceived, 3000}};
  ASSERT_TRUE(store_.WriteMinute(kMinute + 50, laterFlush).ok);
  ASSERT_TRUE(store_.WriteMinute(kMinute, laterFlush).ok) << "the same counts once more";
  // A flush without the name keeps the one already stored.
  ASSERT_TRUE(store_.WriteMinute(kMinute, {{{"curl", remote, "", kSent, 400}}}).ok);

  EXPECT_EQ(Totals(HistoryGrouping::kApp),
            (std::vector<HistoryTotal>{{"curl", 400, 3000}}));
  EXPECT_EQ(Totals(HistoryGrouping::kHost),
            (std::vector<HistoryTotal>{{"example.test", 400, 3000}}));
  for (const std::string& file : {path_, path_ + "-wal"}) {
    struct stat info;
    ASSERT_EQ(::stat(file.c_str(), &info), 0) << file;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << file << " tells where the user went";
  }
  // A minute written without the name still counts under it.
  ASSERT_TRUE(store_.WriteMinute(kMinute - 60, {{{"curl", remote, "", kSent, 1}}}).ok);
  EXPECT_EQ(Totals(HistoryGrouping::kHost),
            (std::vector<HistoryTotal>{{"example.test", 401, 3000}}));
}

TEST_F(HistoryStoreTest, ReportTotalsEqualWhatWasWrittenForEveryGrouping) {
  const IpAddress v4 = Address("198.18.0.1"), v6 = Address("2001:db8::1");
  ASSERT_TRUE(store_
                  .WriteMinute(kMinute, {{{"firefox", v4, "a.test", kSent, 10},
                                          {"firefox", v6, "", kReceived, 2000},
                                          {"ssh", v4, "a.test", kReceived, 7}}})
                  .ok);
  ASSERT_TRUE(store_
                  .WriteMinute(kMinute + 60, {{{"ssh", v6, "", kSent, 5},
                                               {"firefox", v4, "a.test", kReceived, 1}}})
                  .ok);

  EXPECT_EQ(Totals(HistoryGrouping::kApp),
            (std::vector<HistoryTotal>{{"firefox", 10, 2001}, {"ssh", 5, 7}}));
  EXPECT_EQ(Totals(HistoryGrouping::kRemote),
            (std::vector<HistoryTotal>{{"2001:db8::1", 5, 2000}, {"198.18.0.1", 10, 8}}));
  EXPECT_EQ(Totals(HistoryGrouping::kHost),
            (std::vector<HistoryTotal>{{"2001:db8::1", 5, 2000}, {"a.test", 10, 8}}));
  EXPECT_EQ(Totals(HistoryGrouping::kDay),
            (std::vector<HistoryTotal>{{"2026-11-30", 10, 2007}, {"2026-12-01", 5, 1}}));
  EXPECT_EQ(Totals(HistoryGrouping::kMonth),
            (std::vector<HistoryTotal>{{"2026-11", 10, 2007}, {"2026-12", 5, 1}}));
  const auto december = ParseUtcTime("2026-12-01");
  const auto endOfDecemberFirst = ParseUtcTime("2026-12-01", true);
  ASSERT_TRUE(december && endOfDecemberFirst);
  EXPECT_EQ(Totals(HistoryGrouping::kApp, *december, *endOfDecemberFirst),
            (std::vector<HistoryTotal>{{"ssh", 5, 0}, {"firefox", 0, 1}}));

  EXPECT_EQ(FormatHistoryReport(Totals(HistoryGrouping::kApp), HistoryGrouping::kApp,
                                ReportFormat::kJson, december, std::nullopt),
            "{\"by\":\"app\",\"since\":\"2026-12-01T00:00:00Z\",\"until\":null,\"rows\":["
            "{\"app\":\"firefox\",\"sent_bytes\":10,\"received_bytes\":2001,\"total_bytes\":2011},"
            "{\"app\":\"ssh\",\"sent_bytes\":5,\"received_bytes\":7,\"total_bytes\":12}]}\n");
  EXPECT_EQ(FormatHistoryReport({{"a,\"b\"", 1, 2}}, HistoryGrouping::kHost, ReportFormat::kCsv,
                                std::nullopt, std::nullopt),
            "host,sent_bytes,received_bytes,total_bytes\n\"a,\"\"b\"\"\",1,2,3\n");

  // Retention removes whole minutes older than the limit, nothing newer.
  int64_t removed = 0;
  ASSERT_TRUE(store_.Prune(kMinute + kSecondsPerDay + 30, 1, &removed).ok);
  EXPECT_EQ(removed, 3);
  EXPECT_EQ(Totals(HistoryGrouping::kApp),
            (std::vector<HistoryTotal>{{"ssh", 5, 0}, {"firefox", 0, 1}}));
}

// The History view's queries: an application's bytes must land in its own
// day and month, never in another application's, and its hosts must be only
// the ones it talked to.
TEST_F(HistoryStoreTest, PeriodAndApplicationTotalsKeepEachApplicationInItsOwnDaysAndHosts) {
  const IpAddress a = Address("198.18.0.1"), b = Address("2001:db8::2");
  ASSERT_TRUE(store_
                  .WriteMinute(kMinute, {{{"firefox", a, "a.test", kSent, 10},
                                          {"firefox", b, "", kReceived, 2000},
                                          {"ssh", b, "", kReceived, 7}}})
                  .ok);
  ASSERT_TRUE(store_
                  .WriteMinute(kMinute + 60, {{{"ssh", a, "", kSent, 5},
                                               {"firefox", a, "", kReceived, 1}}})
                  .ok);

  std::vector<HistoryPeriodTotal> periods;
  ASSERT_TRUE(store_.PeriodTotals(HistoryGrouping::kDay, 0, INT64_MAX, periods).ok);
  EXPECT_EQ(periods, (std::vector<HistoryPeriodTotal>{{"2026-11-30", "firefox", 10, 2000},
                                                      {"2026-11-30", "ssh", 0, 7},
                                                      {"2026-12-01", "firefox", 0, 1},
                                                      {"2026-12-01", "ssh", 5, 0}}));
  // The two days of November are one month whatever the range's edges.
  ASSERT_TRUE(store_.WriteMinute(kMinute - kSecondsPerDay, {{{"ssh", a, "", kSent, 3}}}).ok);
  ASSERT_TRUE(store_.PeriodTotals(HistoryGrouping::kMonth, 0, kMinute + 60, periods).ok);
  EXPECT_EQ(periods, (std::vector<HistoryPeriodTotal>{{"2026-11", "firefox", 10, 2000},
                                                      {"2026-11", "ssh", 3, 7}}));

  std::vector<HistoryTotal> hosts;
  ASSERT_TRUE(store_.ApplicationTotals("firefox", HistoryGrouping::kHost, 0, INT64_MAX, hosts).ok);
  EXPECT_EQ(hosts, (std::vector<HistoryTotal>{{"2001:db8::2", 0, 2000}, {"a.test", 10, 1}}));
  ASSERT_TRUE(store_.ApplicationTotals("nobody", HistoryGrouping::kHost, 0, INT64_MAX, hosts).ok);
  EXPECT_TRUE(hosts.empty());
}

// Rows that an earlier version stored under the executable's path are the
// program's rows: every report adds them to the rows under its name, once,
// and a reader of the file as it is sees the same.
TEST_F(HistoryStoreTest, RowsUnderAnEarlierFormOfAKeyAddUpWithTodaysOnce) {
  const IpAddress a = Address("198.18.0.1");
  ASSERT_TRUE(store_
                  .WriteMinute(kMinute, {{{"/usr/bin/curl", a, "", kSent, 100},
                                          {"curl", a, "", kSent, 20},
                                          {"/usr/bin/curl", a, "", kReceived, 7},
                                          {"container:docker/0123456789ab", a, "", kSent, 1}}})
                  .ok);
  ASSERT_TRUE(store_.WriteMinute(kMinute + 60, {{{"curl", a, "", kReceived, 3}}}).ok);

  const std::vector<HistoryTotal> apps{{"curl", 120, 10}, {"container:docker/0123456789ab", 1, 0}};
  EXPECT_EQ(Totals(HistoryGrouping::kApp), apps);
  std::vector<HistoryPeriodTotal> periods;
  ASSERT_TRUE(store_.PeriodTotals(HistoryGrouping::kMonth, 0, INT64_MAX, periods).ok);
  EXPECT_EQ(periods,
            (std::vector<HistoryPeriodTotal>{{"2026-11", "container:docker/0123456789ab", 1, 0},
                                             {"2026-11", "curl", 120, 7},
                                             {"2026-12", "curl", 0, 3}}));
  for (const std::string app : {"curl", "/usr/bin/curl"}) {
    std::vector<HistoryTotal> remotes;
    ASSERT_TRUE(store_.ApplicationTotals(app, HistoryGrouping::kRemote, 0, INT64_MAX, remotes).ok);
    EXPECT_EQ(remotes, (std::vector<HistoryTotal>{{"198.18.0.1", 120, 10}})) << app;
  }

  store_.Close();
  ASSERT_TRUE(store_.Open(path_, HistoryStore::Mode::kReadOnly).ok);
  EXPECT_EQ(Totals(HistoryGrouping::kApp), apps);
}

TEST_F(HistoryStoreTest, ReportCommandReadsTheDataFolderHistoryWithinItsDates) {
  ASSERT_TRUE(store_.WriteMinute(kMinute, {{{"ssh", Address("198.18.0.1"), "", kSent, 3}}}).ok);
  ASSERT_TRUE(
      store_.WriteMinute(kMinute + 60, {{{"ssh", Address("198.18.0.1"), "", kSent, 4}}}).ok);
  auto run = [this](const std::string& arguments, int& status) {
    const std::string command = std::string(CORVANE_CLI) + " report --data-dir " + dir_.path() +
                                " " + arguments + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      out.append(buffer, n);
    status = pipe ? ::pclose(pipe) : -1;
    return out;
  };
  int status = -1;
  EXPECT_EQ(run("--by day --format json --until 2026-11-30", status),
            "{\"by\":\"day\",\"since\":null,\"until\":\"2026-12-01T00:00:00Z\",\"rows\":["
            "{\"day\":\"2026-11-30\",\"sent_bytes\":3,\"received_bytes\":0,\"total_bytes\":3}]}\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(run("--since 2026-12-01T00:00:00Z --format csv", status),
            "app,sent_bytes,received_bytes,total_bytes\nssh,4,0,4\n");
  EXPECT_EQ(run("--by week", status), "");
  EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST_F(HistoryStoreTest, RecorderFlushesNeverCountTwiceLateBytesAreKeptAndFailureIsReportedOnce) {
  std::vector<std::string> errors;
  HistoryRecorder recorder(store_,
                           [&errors](const std::string& reason) { errors.push_back(reason); });
  const IpAddress remote = Address("198.18.0.9");
  auto sent = [this](int64_t since, int64_t until) {
    uint64_t bytes = 0;
    for (const HistoryTotal& total : Totals(HistoryGrouping::kApp, since, until))
      bytes += total.sentBytes;
    return bytes;
  };
  recorder.Add(kMinute + 5, "ssh", remote, "", kSent, 100);
  ASSERT_TRUE(recorder.Flush(kMinute + 10));
  recorder.Add(kMinute + 20, "ssh", remote, "", kSent, 50);
  ASSERT_TRUE(recorder.Flush(kMinute + 30));
  recorder.Add(kMinute + 65, "ssh", remote, "", kSent, 7);
  ASSERT_TRUE(recorder.Flush(kMinute + 190));
  EXPECT_EQ(recorder.heldMinutes(), 0u);
  EXPECT_EQ(sent(kMinute, kMinute + 60), 150u);
  // Bytes of a minute already written and forgotten go to a later one.
  recorder.Add(kMinute + 5, "ssh", remote, "", kSent, 1);
  ASSERT_TRUE(recorder.Flush(kMinute + 200));
  EXPECT_EQ(sent(kMinute, kMinute + 60), 150u);
  EXPECT_EQ(sent(0, INT64_MAX), 158u);

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
  store_.SetBusyTimeout(0);
  recorder.Add(kMinute + 300, "ssh", remote, "", kSent, 10);
  EXPECT_FALSE(recorder.Flush(kMinute + 310));
  EXPECT_FALSE(recorder.Flush(kMinute + 320));
  ASSERT_EQ(errors.size(), 1u) << "a failing store is reported once";
  sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_TRUE(recorder.Flush(kMinute + 330));
  EXPECT_EQ(sent(0, INT64_MAX), 168u) << "the minute held while the store failed";
  EXPECT_EQ(errors.size(), 1u);
}

TEST_F(HistoryStoreTest, DatesOutsideTheCalendarAreRejected) {
  for (const char* text : {"2026-02-29", "2026-13-01", "2026-12-01T24:00:00Z",
                           "2026-12-01T10:00:00", "26-12-01", "2026-12-1", ""}) {
    EXPECT_FALSE(ParseUtcTime(text)) << text;
  }
  EXPECT_EQ(ParseUtcTime("2024-02-29T12:34:56Z"), 1709210096);
  EXPECT_EQ(FormatUtcTime(1709210096), "2024-02-29T12:34:56Z");
}

TEST_F(HistoryStoreTest, DamagedNewerOrLockedDatabaseGivesAReasonAndKeepsItsData) {
  std::string noise(8192, '\0');
  std::mt19937 random(7);
  for (char& c : noise) c = static_cast<char>(random());
  dir_.Write("damaged.sqlite", noise);
  HistoryStore damaged;
  HistoryStatus status = damaged.Open(dir_.File("damaged.sqlite"));
  EXPECT_FALSE(status.ok);
  EXPECT_NE(status.reason.find("not a database"), std::string::npos) << status.reason;
  EXPECT_EQ(dir_.Read("damaged.sqlite"), noise) << "a damaged file is left as it was";
  EXPECT_FALSE(damaged.WriteMinute(kMinute, {{{"x", Address("127.0.0.1"), "", kSent, 1}}}).ok);

  sqlite3* foreign = nullptr;
  ASSERT_EQ(sqlite3_open(dir_.File("foreign.sqlite").c_str(), &foreign), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(foreign, "CREATE TABLE notes (text TEXT);", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(foreign);
  status = damaged.Open(dir_.File("foreign.sqlite"));
  EXPECT_NE(status.reason.find("not a Corvane history"), std::string::npos) << status.reason;

  HistoryStore missing;
  status = missing.Open(dir_.File("none.sqlite"), HistoryStore::Mode::kReadOnly);
  EXPECT_FALSE(status.ok);
  EXPECT_NE(status.reason.find(dir_.File("none.sqlite")), std::string::npos) << status.reason;

  // Another process holds the write lock, then the file is from a newer
  // schema.
  ASSERT_TRUE(store_.WriteMinute(kMinute, {{{"x", Address("127.0.0.1"), "", kSent, 1}}}).ok);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
  store_.SetBusyTimeout(0);
  status = store_.WriteMinute(kMinute, {{{"x", Address("127.0.0.1"), "", kSent, 5}}});
  EXPECT_FALSE(status.ok);
  EXPECT_NE(status.reason.find("locked"), std::string::npos) << status.reason;
  ASSERT_EQ(sqlite3_exec(other, "COMMIT; PRAGMA user_version=99;", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(other);
  EXPECT_EQ(Totals(HistoryGrouping::kApp), (std::vector<HistoryTotal>{{"x", 1, 0}}));
  store_.Close();
  status = store_.Open(path_);
  EXPECT_FALSE(status.ok);
  EXPECT_NE(status.reason.find("newer"), std::string::npos) << status.reason;
}

TEST_F(HistoryStoreTest, WriterKilledMidWriteLeavesAnIntactStoreOfWholeMinutes) {
  constexpr uint64_t kFlows = 500;
  store_.Close();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HistoryStore writer;
    if (!writer.Open(path_).ok) ::_exit(1);
    std::vector<HistoryRow> rows;
    for (uint64_t i = 0; i < kFlows; ++i) {
      rows.push_back(
          {"app" + std::to_string(i % 50), IpAddress::V4(htonl(0xc6120000u + i)), "", kSent, 1});
    }
    for (int64_t minute = kMinute;; minute += 60) {
      if (!writer.WriteMinute(minute, rows).ok) ::_exit(1);
      // Tell the parent once the first minute is in; it kills the child
      // somewhere in a later transaction.
      if (minute == kMinute + 60 * 3 && ::write(ready[1], "x", 1) != 1) ::_exit(1);
    }
  }
  ::close(ready[1]);
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the writer did not start";
  ::close(ready[0]);
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int waited = 0;
  ASSERT_EQ(::waitpid(child, &waited, 0), child);
  ASSERT_TRUE(WIFSIGNALED(waited));

  ASSERT_TRUE(store_.Open(path_).ok);
  const HistoryStatus integrity = store_.CheckIntegrity();
  EXPECT_TRUE(integrity.ok) << integrity.reason;
  uint64_t sent = 0;
  for (const HistoryTotal& total : Totals(HistoryGrouping::kApp)) sent += total.sentBytes;
  EXPECT_GE(sent, 4 * kFlows);
  EXPECT_EQ(sent % kFlows, 0u) << "a minute was stored in part";
  EXPECT_TRUE(store_.WriteMinute(kMinute, {{{"after", Address("127.0.0.1"), "", kSent, 1}}}).ok);
}

}  // namespace
}  // namespace corvane
