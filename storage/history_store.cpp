#include "storage/history_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>

#include "platform/app_identity.h"
#include "platform/file_io.h"
#include "storage/history_report.h"
#include "vocabulary/direction.h"
#include "vocabulary/text_format.h"

namespace corvane {

namespace {

// One row per minute, application, remote address and direction. The key
// starts with the minute, so that reports over a time range and pruning
// read only the minutes they need.
constexpr const char* kCreateSchema =
    "CREATE TABLE IF NOT EXISTS traffic_minute ("
    "  minute INTEGER NOT NULL,"     // UTC epoch seconds of the minute's start
    "  app TEXT NOT NULL,"
    "  remote TEXT NOT NULL,"        // the address's text
    "  remote_host TEXT NOT NULL,"   // '' while unnamed
    "  direction INTEGER NOT NULL,"  // 1 sent, 2 received
    "  family INTEGER NOT NULL,"     // 4 or 6
    "  bytes INTEGER NOT NULL,"
    "  PRIMARY KEY (minute, app, remote, direction)"
    ") STRICT, WITHOUT ROWID;";

constexpr const char* kUpsert =
    "INSERT INTO traffic_minute (minute, app, remote, remote_host, direction, family, bytes)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"
    " ON CONFLICT (minute, app, remote, direction) DO UPDATE SET bytes = excluded.bytes,"
    " remote_host = CASE WHEN excluded.remote_host <> '' THEN excluded.remote_host"
    " ELSE remote_host END;";

// Another process writing (the window beside corvane-cli watch) holds the
// lock for one minute's transaction, a few milliseconds.
constexpr int kDefaultBusyTimeoutMs = 2000;

// Closes a prepared statement on every path.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    result_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool prepared() const { return result_ == SQLITE_OK; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int result_ = SQLITE_OK;
};

struct RowKey {
  std::string app;
  IpAddress remote;
  int direction = 0;
  bool operator==(const RowKey&) const = default;
};
struct RowKeyHash {
  size_t operator()(const RowKey& key) const noexcept {
    return std::hash<std::string>()(key.app) * 31 + IpAddressHash()(key.remote) * 7 +
           static_cast<size_t>(key.direction);
  }
};

// The column a report groups by, read with direction and bytes (and the
// host name). The grouping is done here rather than by SQL's GROUP BY,
// whose sort costs several times the scan of the rows itself.
const char* ReportColumn(HistoryGrouping grouping) {
  switch (grouping) {
    case HistoryGrouping::kApp:
      return "app";
    case HistoryGrouping::kHost:
    case HistoryGrouping::kRemote:
      return "remote";
    case HistoryGrouping::kDay:
    case HistoryGrouping::kMonth:
      return "minute";
  }
  return "app";
}

// A text column's bytes; empty for NULL.
std::string_view ColumnText(sqlite3_stmt* stmt, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  return text ? std::string_view(text, static_cast<size_t>(sqlite3_column_bytes(stmt, column)))
              : std::string_view();
}

// `text` as reports and the window may show it: names stored by an older
// version or by another writer are read clean. Printable ASCII, nearly every
// key, is taken as it is.
void AssignClean(std::string& to, std::string_view text) {
  if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; })) {
    to.assign(text);
  } else {
    to = SanitizeNetworkText(text, Blanks::kKeep);
  }
}

// Adds up the totals whose keys `newKey` maps to the same key.
template <typename KeyOf>
std::vector<HistoryTotal> Fold(const std::vector<HistoryTotal>& totals, KeyOf newKey) {
  std::unordered_map<std::string, size_t> index;
  std::vector<HistoryTotal> folded;
  for (const HistoryTotal& total : totals) {
    std::string key = newKey(total.key);
    auto [it, added] = index.try_emplace(key, folded.size());
    if (added) folded.push_back({std::move(key), 0, 0});
    folded[it->second].sentBytes += total.sentBytes;
    folded[it->second].receivedBytes += total.receivedBytes;
  }
  return folded;
}

// Per remote address, the minute of its latest host name and that name.
using HostNameOf = std::unordered_map<std::string, std::pair<int64_t, std::string>>;

// Names each remote address after its latest host name (kHost) or folds
// the days into months (kMonth), then orders the totals: by time for days
// and months, else the largest first.
void FoldAndOrder(HistoryGrouping grouping, const HostNameOf& hostOf,
                  std::vector<HistoryTotal>& totals) {
  if (grouping == HistoryGrouping::kHost) {
    totals = Fold(totals, [&hostOf](const std::string& remote) {
      auto named = hostOf.find(remote);
      return named == hostOf.end() ? remote : named->second.second;
    });
  } else if (grouping == HistoryGrouping::kMonth) {
    totals = Fold(totals, [](const std::string& day) { return day.substr(0, 7); });
  }
  if (grouping == HistoryGrouping::kDay || grouping == HistoryGrouping::kMonth) {
    std::sort(totals.begin(), totals.end(),
              [](const HistoryTotal& a, const HistoryTotal& b) { return a.key < b.key; });
  } else {
    std::sort(totals.begin(), totals.end(), [](const HistoryTotal& a, const HistoryTotal& b) {
      const uint64_t left = a.sentBytes + a.receivedBytes, right = b.sentBytes + b.receivedBytes;
      return left != right ? left > right : a.key < b.key;
    });
  }
}

}  // namespace

HistoryStore::HistoryStore() : busyTimeoutMs_(kDefaultBusyTimeoutMs) {}

HistoryStore::~HistoryStore() { Close(); }

void HistoryStore::SetBusyTimeout(int milliseconds) {
  busyTimeoutMs_ = milliseconds;
  if (db_) sqlite3_busy_timeout(db_, busyTimeoutMs_);
}

void HistoryStore::Close() {
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

HistoryStatus HistoryStore::Fail(std::string_view what) {
  std::string reason = path_ + ": " + std::string(what);
  if (db_) {
    reason += ": ";
    reason += sqlite3_errmsg(db_);
  }
  return HistoryStatus::Failed(std::move(reason));
}

HistoryStatus HistoryStore::Execute(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return HistoryStatus::Ok();
  std::string reason = path_ + ": " + (message ? message : "cannot run a statement");
  sqlite3_free(message);
  return HistoryStatus::Failed(std::move(reason));
}

HistoryStatus HistoryStore::Open(const std::string& path, Mode mode) {
  Close();
  path_ = path;
  // Another user's file, or one others may write, is neither read nor
  // written; nor is a link, wherever it points.
  if (Status own = CheckOwnPath(path, /*followLinks=*/false); !own && !own.Missing()) {
    return own;
  }
  if (mode == Mode::kReadWrite) {
    // The history tells where the user went: a new file is the owner's
    // only, and SQLite gives its -wal and -shm files the same mode.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
  const int flags = (mode == Mode::kReadOnly ? SQLITE_OPEN_READONLY
                                             : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    HistoryStatus status = Fail(mode == Mode::kReadOnly ? "cannot open the history"
                                                        : "cannot open or create the history");
    Close();
    return status;
  }
  sqlite3_busy_timeout(db_, busyTimeoutMs_);
  sqlite3_extended_result_codes(db_, 1);

  // The first statement reads the header: a file that is no database
  // fails here, before anything is written to it.
  int version = 0;
  int tables = 0;
  {
    Statement query(db_,
                    "SELECT (SELECT user_version FROM pragma_user_version),"
                    " (SELECT count(*) FROM sqlite_schema);");
    if (!query.prepared() || sqlite3_step(query.get()) != SQLITE_ROW) {
      HistoryStatus status = Fail("cannot read the history");
      Close();
      return status;
    }
    version = sqlite3_column_int(query.get(), 0);
    tables = sqlite3_column_int(query.get(), 1);
  }
  if (version > kHistorySchemaVersion) {
    HistoryStatus status =
        HistoryStatus::Failed(path_ + ": the history was written by a newer Corvane (schema " +
                              std::to_string(version) + ")");
    Close();
    return status;
  }
  // A new file has no tables; one with tables but no version is another
  // program's.
  if (version == 0 && (tables > 0 || mode == Mode::kReadOnly)) {
    Close();
    return HistoryStatus::Failed(path + ": not a Corvane history");
  }
  if (mode == Mode::kReadOnly) return HistoryStatus::Ok();
  // A kill -9 of a writer loses nothing committed in WAL mode; NORMAL only
  // risks the last transactions on a power failure, a minute of counts.
  HistoryStatus status = Execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
  if (status && version == 0) {
    status = Execute((std::string("BEGIN IMMEDIATE;") + kCreateSchema +
                      "PRAGMA user_version=" + std::to_string(kHistorySchemaVersion) + "; COMMIT;")
                         .c_str());
    if (!status) sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
  }
  if (!status) Close();
  return status;
}

HistoryStatus HistoryStore::WriteMinute(int64_t minute, std::span<const HistoryRow> rows) {
  if (!db_) return HistoryStatus::Failed(path_ + ": the history is not open");
  minute -= ((minute % 60) + 60) % 60;
  // A program started twice counts as one application.
  std::unordered_map<RowKey, uint64_t, RowKeyHash> sums;
  std::unordered_map<IpAddress, const std::string*, IpAddressHash> hosts;
  sums.reserve(rows.size());
  static const std::string kNoHost;
  for (const HistoryRow& row : rows) {
    if (row.bytes == 0 || row.remote.family == IpFamily::kNone) continue;
    sums[RowKey{row.app, row.remote, row.direction}] += row.bytes;
    const std::string*& host = hosts.try_emplace(row.remote, &kNoHost).first->second;
    if (!row.remoteHost.empty()) host = &row.remoteHost;
  }
  if (sums.empty()) return HistoryStatus::Ok();

  if (HistoryStatus begun = Execute("BEGIN IMMEDIATE;"); !begun) return begun;
  {
    Statement upsert(db_, kUpsert);
    if (!upsert.prepared()) {
      HistoryStatus status = Fail("cannot write the history");
      sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
      return status;
    }
    sqlite3_stmt* stmt = upsert.get();
    for (const auto& [key, bytes] : sums) {
      const std::string remote = FormatIp(key.remote);
      const std::string& host = *hosts[key.remote];
      sqlite3_reset(stmt);
      sqlite3_bind_int64(stmt, 1, minute);
      sqlite3_bind_text(stmt, 2, key.app.data(), static_cast<int>(key.app.size()), SQLITE_STATIC);
      sqlite3_bind_text(stmt, 3, remote.data(), static_cast<int>(remote.size()), SQLITE_TRANSIENT);
      sqlite3_bind_text(stmt, 4, host.data(), static_cast<int>(host.size()), SQLITE_STATIC);
      sqlite3_bind_int(stmt, 5, key.direction);
      sqlite3_bind_int(stmt, 6, static_cast<int>(key.remote.family));
      sqlite3_bind_int64(stmt, 7, static_cast<sqlite3_int64>(bytes));
      if (sqlite3_step(stmt) != SQLITE_DONE) {
        HistoryStatus status = Fail("cannot write the history");
        sqlite3_reset(stmt);
        sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
        return status;
      }
    }
  }
  if (HistoryStatus committed = Execute("COMMIT;"); !committed) {
    sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
    return committed;
  }
  return HistoryStatus::Ok();
}

HistoryStatus HistoryStore::Prune(int64_t now, int days, int64_t* removed) {
  if (!db_) return HistoryStatus::Failed(path_ + ": the history is not open");
  Statement erase(db_, "DELETE FROM traffic_minute WHERE minute < ?1;");
  if (!erase.prepared()) return Fail("cannot prune the history");
  sqlite3_bind_int64(erase.get(), 1, now - int64_t{days} * kSecondsPerDay);
  if (sqlite3_step(erase.get()) != SQLITE_DONE) return Fail("cannot prune the history");
  if (removed) *removed = sqlite3_changes64(db_);
  return HistoryStatus::Ok();
}

HistoryStatus HistoryStore::Totals(HistoryGrouping grouping, int64_t since, int64_t until,
                                   std::vector<HistoryTotal>& totals) {
  return ReadTotals(grouping, since, until, nullptr, totals);
}

HistoryStatus HistoryStore::ApplicationTotals(const std::string& app, HistoryGrouping grouping,
                                              int64_t since, int64_t until,
                                              std::vector<HistoryTotal>& totals) {
  return ReadTotals(grouping, since, until, &app, totals);
}

HistoryStatus HistoryStore::ReadTotals(HistoryGrouping grouping, int64_t since, int64_t until,
                                       const std::string* app, std::vector<HistoryTotal>& totals) {
  totals.clear();
  if (!db_) return HistoryStatus::Failed(path_ + ": the history is not open");
  // The application is compared in today's form, not by SQL: rows stored
  // under an earlier form of its key are its rows too.
  const std::string sql = std::string("SELECT ") + ReportColumn(grouping) +
                          ", direction, bytes, remote_host, minute" + (app ? ", app" : "") +
                          " FROM traffic_minute WHERE minute >= ?1 AND minute < ?2;";
  Statement query(db_, sql.c_str());
  if (!query.prepared()) return Fail("cannot read the history");
  sqlite3_bind_int64(query.get(), 1, since);
  sqlite3_bind_int64(query.get(), 2, until);
  std::string wanted;
  if (app) AssignClean(wanted, CurrentApplicationKey(*app));
  std::string storedApp;
  sqlite3_stmt* stmt = query.get();
  const bool byTime = grouping == HistoryGrouping::kDay || grouping == HistoryGrouping::kMonth;
  std::unordered_map<std::string, size_t> index;  // key -> position in totals
  std::unordered_map<int64_t, size_t> dayIndex;   // day since 1970 -> position in totals
  // kHost: the latest name of each address and its minute; the minutes
  // before it was known count under it too.
  HostNameOf hostOf;
  std::string key;
  auto add = [&totals, stmt](size_t at) {
    const auto bytes = static_cast<uint64_t>(sqlite3_column_int64(stmt, 2));
    (sqlite3_column_int(stmt, 1) == kDirectionUpload ? totals[at].sentBytes
                                                     : totals[at].receivedBytes) += bytes;
  };
  int result;
  while ((result = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (app) {
      AssignClean(storedApp, CurrentApplicationKey(ColumnText(stmt, 5)));
      if (storedApp != wanted) continue;
    }
    if (byTime) {
      const int64_t minute = sqlite3_column_int64(stmt, 0);
      const int64_t day = (minute >= 0 ? minute : minute - kSecondsPerDay + 1) / kSecondsPerDay;
      auto [it, added] = dayIndex.try_emplace(day, totals.size());
      if (added) totals.push_back({FormatUtcTime(day * kSecondsPerDay).substr(0, 10), 0, 0});
      add(it->second);
      continue;
    }
    const std::string_view text = ColumnText(stmt, 0);
    AssignClean(key, grouping == HistoryGrouping::kApp ? CurrentApplicationKey(text) : text);
    auto it = index.find(key);
    if (it == index.end()) {
      it = index.emplace(key, totals.size()).first;
      totals.push_back({key, 0, 0});
    }
    if (grouping == HistoryGrouping::kHost && sqlite3_column_bytes(stmt, 3) > 0) {
      const int64_t minute = sqlite3_column_int64(stmt, 4);
      auto [named, added] = hostOf.try_emplace(key, minute, std::string());
      if (added || minute >= named->second.first) {
        named->second.first = minute;
        AssignClean(named->second.second, ColumnText(stmt, 3));
      }
    }
    add(it->second);
  }
  if (result != SQLITE_DONE) {
    totals.clear();
    return Fail("cannot read the history");
  }
  FoldAndOrder(grouping, hostOf, totals);
  return HistoryStatus::Ok();
}

HistoryStatus HistoryStore::PeriodTotals(HistoryGrouping period, int64_t since, int64_t until,
                                         std::vector<HistoryPeriodTotal>& totals) {
  totals.clear();
  if (!db_) return HistoryStatus::Failed(path_ + ": the history is not open");
  Statement query(db_,
                  "SELECT minute, app, direction, bytes FROM traffic_minute"
                  " WHERE minute >= ?1 AND minute < ?2;");
  if (!query.prepared()) return Fail("cannot read the history");
  sqlite3_bind_int64(query.get(), 1, since);
  sqlite3_bind_int64(query.get(), 2, until);
  sqlite3_stmt* stmt = query.get();
  // Days are told apart by number while reading; their texts are made once
  // per (day, application).
  std::unordered_map<std::string, std::unordered_map<int64_t, size_t>> index;  // app -> day -> at
  std::string app;
  int result;
  while ((result = sqlite3_step(stmt)) == SQLITE_ROW) {
    const int64_t minute = sqlite3_column_int64(stmt, 0);
    const int64_t day = (minute >= 0 ? minute : minute - kSecondsPerDay + 1) / kSecondsPerDay;
    AssignClean(app, CurrentApplicationKey(ColumnText(stmt, 1)));
    auto [at, added] = index[app].try_emplace(day, totals.size());
    if (added) totals.push_back({FormatUtcTime(day * kSecondsPerDay).substr(0, 10), app, 0, 0});
    const auto bytes = static_cast<uint64_t>(sqlite3_column_int64(stmt, 3));
    (sqlite3_column_int(stmt, 2) == kDirectionUpload ? totals[at->second].sentBytes
                                                     : totals[at->second].receivedBytes) += bytes;
  }
  if (result != SQLITE_DONE) {
    totals.clear();
    return Fail("cannot read the history");
  }
  if (period == HistoryGrouping::kMonth) {
    std::unordered_map<std::string, size_t> months;  // "YYYY-MM" + app -> position
    std::vector<HistoryPeriodTotal> folded;
    for (HistoryPeriodTotal& total : totals) {
      total.period.resize(7);
      auto [at, added] = months.try_emplace(total.period + '\n' + total.app, folded.size());
      if (added) {
        folded.push_back(std::move(total));
      } else {
        folded[at->second].sentBytes += total.sentBytes;
        folded[at->second].receivedBytes += total.receivedBytes;
      }
    }
    totals = std::move(folded);
  }
  std::sort(totals.begin(), totals.end(), [](const HistoryPeriodTotal& a, const HistoryPeriodTotal& b) {
    return a.period != b.period ? a.period < b.period : a.app < b.app;
  });
  return HistoryStatus::Ok();
}

HistoryStatus HistoryStore::CheckIntegrity() {
  if (!db_) return HistoryStatus::Failed(path_ + ": the history is not open");
  Statement query(db_, "PRAGMA integrity_check;");
  if (!query.prepared()) return Fail("cannot check the history");
  std::string problems;
  int result;
  while ((result = sqlite3_step(query.get())) == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(query.get(), 0));
    const std::string line = text ? text : "";
    if (line != "ok") problems += (problems.empty() ? "" : "; ") + line;
  }
  if (result != SQLITE_DONE) return Fail("cannot check the history");
  if (!problems.empty()) return HistoryStatus::Failed(path_ + ": damaged: " + problems);
  return HistoryStatus::Ok();
}

}  // namespace corvane
