// Traffic by program: the rows of the traffic list summed per program and,
// within a program, per remote host, for the window's Programs view.
//
// A row's "Local source" is "name:pid"; its program is the name, so every
// start of a program, whatever its pid, adds to one entry (a protocol's
// label such as "TCP protocol", or "Process ID# N", is an entry of its own).
// The totals are plain sums of the rows given: the view shows exactly what
// its rows add up to. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vocabulary/rows.h"

namespace corvane {

// One row of the list as the Programs view reads it.
struct ProgramRow {
  const RowCells* cells = nullptr;  // the row's texts; must outlive the call
  uint64_t downloadBytes = 0;
  uint64_t uploadBytes = 0;
  uint64_t bytesPerSecond = 0;  // both directions, now
};

// One remote host of a program: the rows of (remote address or web host,
// program), whatever their pids.
struct ProgramHost {
  std::string remoteIp;    // empty for a web host reached through a proxy
  std::string remoteHost;  // the name its topmost row shows, else the address
  uint64_t downloadBytes = 0;
  uint64_t uploadBytes = 0;
  uint64_t bytesPerSecond = 0;
  int rows = 0;
};

struct ProgramTotal {
  std::string program;  // ProgramOfSource()
  std::string source;   // the "Local source" of its topmost row
  uint64_t downloadBytes = 0;
  uint64_t uploadBytes = 0;
  uint64_t bytesPerSecond = 0;
  int rows = 0;
  std::vector<ProgramHost> hosts;  // in the order of their first row
};

// "firefox-esr:2817" -> "firefox-esr"; a label without a trailing ":pid"
// is its own program.
std::string_view ProgramOfSource(std::string_view localSource);

// The rows' sums per program, programs in the order of their first row.
// O(rows), one hash look-up per row for its program and one for its host.
std::vector<ProgramTotal> TotalsByProgram(std::span<const ProgramRow> rows);

}  // namespace corvane
