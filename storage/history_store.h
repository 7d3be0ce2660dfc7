// The traffic history: bytes per minute, application, remote address and
// direction, kept in an SQLite database (history.sqlite in the state
// folder) for reports over days and months.
//
// A writer (the window, corvane-cli watch) keeps the counts of the current
// minute and calls WriteMinute() at least once a minute with everything it
// counted in that minute so far; the counts it writes replace the stored
// ones of the same minute, application, remote address and direction. So
// writing a minute again, by a later flush or by replaying the same capture
// once more, never counts a byte twice, and a crash loses at most the part
// of the minute not yet written. Each call is one transaction; the database
// is in WAL mode, so readers (reports) never block the writer.
//
// Applications are read in the form AppIdentity keys them today: rows that
// an earlier version stored under the executable's full path
// ("/usr/bin/curl") are read as the program's name ("curl") and add up with
// the rows stored under it; the file itself is not rewritten, so a reader
// of a read-only file sees the same totals.
//
// One HistoryStore per thread; SQLite's own locking serialises processes.
// Failures are values: a damaged file, a locked database or a full disk
// gives a HistoryStatus with the reason, never a crash, and never changes
// or removes a file that is not a history database.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_address.h"
#include "platform/status.h"

struct sqlite3;

namespace corvane {

inline constexpr const char* kHistoryFileName = "history.sqlite";
inline constexpr int kHistorySchemaVersion = 1;
inline constexpr int kDefaultHistoryDays = 400;
inline constexpr int64_t kSecondsPerDay = 86400;

// The history's failures say what went wrong with the file's path.
using HistoryStatus = Status;

// The bytes of one flow in one minute, one direction.
struct HistoryRow {
  std::string app;         // AppIdentity::Key(), or a protocol's label, stored as it is
  IpAddress remote;        // its family is stored too
  std::string remoteHost;  // empty while unnamed; a later name wins
  int direction = 0;       // kDirectionUpload (1, sent) or kDirectionDownload (2, received)
  uint64_t bytes = 0;
};

enum class HistoryGrouping { kApp, kHost, kRemote, kDay, kMonth };

// One line of a report. For kHost the key is the latest name of the remote
// address within the report's time, or the address where none was known;
// for kDay "YYYY-MM-DD", for kMonth "YYYY-MM", both UTC.
struct HistoryTotal {
  std::string key;
  uint64_t sentBytes = 0;
  uint64_t receivedBytes = 0;
  bool operator==(const HistoryTotal&) const = default;
};

// The bytes of one application in one day ("YYYY-MM-DD") or month
// ("YYYY-MM"), UTC.
struct HistoryPeriodTotal {
  std::string period;
  std::string app;
  uint64_t sentBytes = 0;
  uint64_t receivedBytes = 0;
  bool operator==(const HistoryPeriodTotal&) const = default;
};

class HistoryStore {
 public:
  enum class Mode { kReadWrite, kReadOnly };

  HistoryStore();
  ~HistoryStore();
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // Opens the database at `path`. kReadWrite creates it when missing, puts
  // it into WAL mode and creates or checks its tables; kReadOnly fails when
  // it is missing. A file that is no SQLite database, another program's
  // database, or a history of a newer schema fails with the reason and is
  // left as it is.
  HistoryStatus Open(const std::string& path, Mode mode = Mode::kReadWrite);
  bool isOpen() const { return db_ != nullptr; }
  // How long a write waits for another process's transaction before it
  // fails as locked.
  void SetBusyTimeout(int milliseconds);
  const std::string& path() const { return path_; }

  // Stores the counts of the minute starting at `minute` (UTC epoch seconds,
  // rounded down to a whole minute), in one transaction. Rows with the same
  // application, remote address and direction are added up first; the sum
  // replaces what the store held for them in that minute. A remote host
  // named by any row names the address in every row of the call; an empty
  // one keeps the stored name. Rows with no bytes or no remote address are
  // skipped. On failure nothing of the call is
  // stored.
  HistoryStatus WriteMinute(int64_t minute, std::span<const HistoryRow> rows);

  // Removes the minutes that began more than `days` days before `now`.
  // `removed`, when given, receives the number of rows removed.
  HistoryStatus Prune(int64_t now, int days = kDefaultHistoryDays, int64_t* removed = nullptr);

  // The sent and received bytes of the minutes in [since, until), grouped;
  // applications, hosts and addresses by their total bytes, largest first,
  // days and months in time order.
  HistoryStatus Totals(HistoryGrouping grouping, int64_t since, int64_t until,
                       std::vector<HistoryTotal>& totals);
  // The same for the minutes of the application `app` only (in either form
  // of its key): its hosts with kHost, its days with kDay, and so on.
  HistoryStatus ApplicationTotals(const std::string& app, HistoryGrouping grouping, int64_t since,
                                  int64_t until, std::vector<HistoryTotal>& totals);
  // The bytes of each application per day (`period` kDay) or month (kMonth)
  // in [since, until); in time order, each period's applications by name.
  HistoryStatus PeriodTotals(HistoryGrouping period, int64_t since, int64_t until,
                             std::vector<HistoryPeriodTotal>& totals);

  // SQLite's "PRAGMA integrity_check": ok, or the problems it found.
  HistoryStatus CheckIntegrity();

  void Close();

 private:
  HistoryStatus Fail(std::string_view what);
  HistoryStatus Execute(const char* sql);
  // Totals() of every application, or of `*app` only.
  HistoryStatus ReadTotals(HistoryGrouping grouping, int64_t since, int64_t until,
                           const std::string* app, std::vector<HistoryTotal>& totals);

  sqlite3* db_ = nullptr;
  std::string path_;
  int busyTimeoutMs_;
};

}  // namespace corvane
