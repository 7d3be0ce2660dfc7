#include "engine/program_totals.h"

#include <unordered_map>

namespace corvane {

std::string_view ProgramOfSource(std::string_view localSource) {
  const size_t colon = localSource.rfind(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == localSource.size()) {
    return localSource;
  }
  for (size_t i = colon + 1; i < localSource.size(); ++i) {
    if (localSource[i] < '0' || localSource[i] > '9') return localSource;
  }
  return localSource.substr(0, colon);
}

std::vector<ProgramTotal> TotalsByProgram(std::span<const ProgramRow> rows) {
  std::vector<ProgramTotal> totals;
  std::unordered_map<std::string_view, size_t> programIndex;
  // Per program: its hosts by address (or web host name for a proxy row).
  std::vector<std::unordered_map<std::string_view, size_t>> hostIndex;
  for (const ProgramRow& row : rows) {
    if (!row.cells) continue;
    const RowCells& cells = *row.cells;
    const std::string_view program = ProgramOfSource(cells[kColumnLocalSource]);
    auto [at, added] = programIndex.try_emplace(program, totals.size());
    if (added) {
      ProgramTotal& added = totals.emplace_back();
      added.program = program;
      added.source = cells[kColumnLocalSource];
      hostIndex.emplace_back();
    }
    ProgramTotal& total = totals[at->second];
    const std::string& ip = cells[kColumnRemoteIp];
    const std::string_view hostKey = ip.empty() ? std::string_view(cells[kColumnRemoteHost]) : ip;
    auto [hostAt, newHost] = hostIndex[at->second].try_emplace(hostKey, total.hosts.size());
    if (newHost) {
      ProgramHost host;
      host.remoteIp = ip;
      host.remoteHost = cells[kColumnRemoteHost].empty() ? ip : cells[kColumnRemoteHost];
      total.hosts.push_back(std::move(host));
    }
    ProgramHost& host = total.hosts[hostAt->second];
    host.downloadBytes += row.downloadBytes;
    host.uploadBytes += row.uploadBytes;
    host.bytesPerSecond += row.bytesPerSecond;
    ++host.rows;
    total.downloadBytes += row.downloadBytes;
    total.uploadBytes += row.uploadBytes;
    total.bytesPerSecond += row.bytesPerSecond;
    ++total.rows;
  }
  return totals;
}

}  // namespace corvane
