#include "storage/row_sort.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

namespace corvane {

namespace {

constexpr float kNoSize = -std::numeric_limits<float>::infinity();

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int CompareBytes(std::string_view a, std::string_view b) {
  int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

}  // namespace

bool IsSizeColumn(int column) {
  return column == kColumnDownload || column == kColumnUpload || column == kColumnTotal;
}

float SizeSortValue(std::string_view cell) {
  // "%f %s": the number, then the first letter of the unit word. Read
  // without the locale, which the window may have set to one with a decimal
  // comma.
  const char* at = cell.data();
  const char* const stop = cell.data() + cell.size();
  while (at < stop && IsSpace(*at)) ++at;
  if (at < stop && *at == '+') ++at;
  float number = 0;
  auto [end, error] = std::from_chars(at, stop, number);
  if (error != std::errc() || std::isnan(number)) return kNoSize;
  const char* unit = end;
  while (unit < stop && IsSpace(*unit)) ++unit;
  switch (unit < stop ? *unit : '\0') {
    case 'K':
      return number * 1024.0f;
    case 'M':
      return number * 1048576.0f;
    case 'G':
      return number * 1073741824.0f;
    default:
      return number;
  }
}

int CompareRows(int column, const RowCells& a, const RowCells& b) {
  if (column < 0 || column >= kColumnCount) return 0;
  if (IsSizeColumn(column)) {
    float x = SizeSortValue(a[column]);
    float y = SizeSortValue(b[column]);
    return x > y ? -1 : x < y ? 1 : 0;
  }
  return -CompareBytes(a[column], b[column]);
}

std::vector<int> SortOrder(int column, const std::vector<RowCells>& rows) {
  std::vector<int> order(rows.size());
  std::iota(order.begin(), order.end(), 0);
  if (column < 0 || column >= kColumnCount) return order;
  if (IsSizeColumn(column)) {
    // Each cell is read once, not once per comparison.
    std::vector<float> keys(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) keys[i] = SizeSortValue(rows[i][column]);
    std::stable_sort(order.begin(), order.end(), [&](int x, int y) { return keys[x] > keys[y]; });
  } else {
    std::stable_sort(order.begin(), order.end(), [&](int x, int y) {
      return CompareBytes(rows[x][column], rows[y][column]) > 0;
    });
  }
  return order;
}

void SortRows(int column, std::vector<RowCells>& rows) {
  std::vector<int> order = SortOrder(column, rows);
  std::vector<RowCells> sorted;
  sorted.reserve(rows.size());
  for (int index : order) sorted.push_back(std::move(rows[index]));
  rows = std::move(sorted);
}

}  // namespace corvane
