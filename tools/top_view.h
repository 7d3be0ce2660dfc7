// What corvane-cli top shows, without the terminal: the traffic list's rows
// summed by program or by remote host, with rates, filtered and sorted, and
// names clipped to a column.
//
// The list is read once per refresh by SnapshotTopRows (under its ReadLock);
// everything else works on that copy. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/program_totals.h"  // ProgramOfSource
#include "engine/traffic_list.h"
#include "tools/watch_output.h"
#include "vocabulary/rows.h"

namespace corvane {

enum class TopGrouping { kProgram, kHost };
// d, u, t and n: rates down and up, total bytes (largest first), name (A-Z).
enum class TopSort { kDownloadRate, kUploadRate, kTotal, kName };

// One row of the list, as top needs it.
struct TopRow {
  RowKey key;
  std::string program;  // the local source without its ":pid"
  std::string host;     // the remote host, else the remote address
  RowValues values;
};

// One line of top: a program or a remote host.
struct TopEntry {
  std::string name;
  uint64_t download = 0;
  uint64_t upload = 0;
  ByteRates rates;
  // Remote hosts of a program, programs of a remote host.
  size_t others = 0;
};

// The rows of the list now, top to bottom. Takes the list's ReadLock.
std::vector<TopRow> SnapshotTopRows(const TrafficList& list);

// The entries of `rows` (with their rates, one per row) by `grouping`, only
// rows whose program or host holds `filter` (any case; empty: all), sorted
// by `sort`, ties by name. Each entry's counts and rates are the sums of its
// rows'.
std::vector<TopEntry> AggregateTop(const std::vector<TopRow>& rows,
                                   const std::vector<ByteRates>& rates, TopGrouping grouping,
                                   std::string_view filter, TopSort sort);

// `text` cleaned of control, formatting and malformed bytes (as every
// terminal output is) and cut to at most `width` terminal columns. With
// `utf8` false (a terminal that is not UTF-8) every non-ASCII character is
// written as "?". With `pad`, blanks fill it up to `width`.
std::string ClipToColumns(std::string_view text, int width, bool utf8, bool pad = false);

}  // namespace corvane
