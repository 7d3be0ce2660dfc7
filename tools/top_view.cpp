#include "tools/top_view.h"

#include <algorithm>
#include <cwchar>
#include <map>
#include <set>

#include "vocabulary/text_format.h"

namespace corvane {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool HoldsIgnoringCase(std::string_view text, std::string_view part) {
  return std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
           return Lower(a) == Lower(b);
         }) != text.end();
}

bool Before(const TopEntry& a, const TopEntry& b, TopSort sort) {
  double first = 0;
  double second = 0;
  switch (sort) {
    case TopSort::kDownloadRate:
      first = a.rates.download, second = b.rates.download;
      break;
    case TopSort::kUploadRate:
      first = a.rates.upload, second = b.rates.upload;
      break;
    case TopSort::kTotal:
      first = static_cast<double>(a.download + a.upload);
      second = static_cast<double>(b.download + b.upload);
      break;
    case TopSort::kName:
      break;
  }
  if (first != second) return first > second;
  return a.name < b.name;
}

}  // namespace

std::vector<TopRow> SnapshotTopRows(const TrafficList& list) {
  std::vector<TopRow> rows;
  TrafficList::ReadLock lock(list);
  rows.reserve(static_cast<size_t>(list.Count()));
  for (int row = 0; row < list.Count(); ++row) {
    const RowCells& cells = list.Cells(row);
    const std::string& host = cells[kColumnRemoteHost];
    rows.push_back(TopRow{list.Key(row), std::string(ProgramOfSource(cells[kColumnLocalSource])),
                          host.empty() ? cells[kColumnRemoteIp] : host, list.Values(row)});
  }
  return rows;
}

std::vector<TopEntry> AggregateTop(const std::vector<TopRow>& rows,
                                   const std::vector<ByteRates>& rates, TopGrouping grouping,
                                   std::string_view filter, TopSort sort) {
  std::map<std::string, TopEntry> entries;
  std::map<std::string, std::set<std::string>> others;
  for (size_t i = 0; i < rows.size(); ++i) {
    const TopRow& row = rows[i];
    if (!filter.empty() && !HoldsIgnoringCase(row.program, filter) &&
        !HoldsIgnoringCase(row.host, filter)) {
      continue;
    }
    const bool byProgram = grouping == TopGrouping::kProgram;
    const std::string& name = byProgram ? row.program : row.host;
    TopEntry& entry = entries[name];
    entry.name = name;
    entry.download += row.values.downloadBytes;
    entry.upload += row.values.uploadBytes;
    if (i < rates.size()) {
      entry.rates.download += rates[i].download;
      entry.rates.upload += rates[i].upload;
    }
    others[name].insert(byProgram ? row.host : row.program);
  }
  std::vector<TopEntry> sorted;
  sorted.reserve(entries.size());
  for (auto& [name, entry] : entries) {
    entry.others = others[name].size();
    sorted.push_back(std::move(entry));
  }
  std::stable_sort(sorted.begin(), sorted.end(),
                   [sort](const TopEntry& a, const TopEntry& b) { return Before(a, b, sort); });
  return sorted;
}

std::string ClipToColumns(std::string_view text, int width, bool utf8, bool pad) {
  const std::string clean = SanitizeNetworkText(text, Blanks::kKeep);
  std::string out;
  int used = 0;
  for (size_t i = 0; i < clean.size();) {
    uint32_t c = static_cast<unsigned char>(clean[i]);
    const size_t length = c < 0x80 ? 1 : DecodeUtf8(clean, i, c);
    if (length == 0) break;  // cannot happen after the cleaning
    // A character the terminal cannot show (or whose width is unknown)
    // takes one column as "?".
    int columns = c < 0x80 ? 1 : utf8 ? ::wcwidth(static_cast<wchar_t>(c)) : -1;
    const bool shown = columns >= 0;
    if (!shown) columns = 1;
    if (used + columns > width) break;
    if (shown) {
      out.append(clean, i, length);
    } else {
      out += '?';
    }
    used += columns;
    i += length;
  }
  if (pad && used < width) out.append(static_cast<size_t>(width - used), ' ');
  return out;
}

}  // namespace corvane
