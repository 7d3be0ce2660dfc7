#include "engine/row_order.h"

#include <algorithm>
#include <numeric>

#include "vocabulary/text_format.h"
#include "platform/ip_address.h"

namespace corvane {

bool IsByteCountColumn(int column) {
  return column == kColumnDownload || column == kColumnUpload || column == kColumnTotal;
}

namespace {

// The number a column sorts by, for the columns that have one.
bool NumberOf(int column, const RowValues& values, uint64_t& number) {
  switch (column) {
    case kColumnDownload: number = values.downloadBytes; return true;
    case kColumnUpload: number = values.uploadBytes; return true;
    case kColumnTotal: number = values.downloadBytes + values.uploadBytes; return true;
    // Times before 1970 do not occur; as unsigned they still order.
    case kColumnFirstActivity: number = static_cast<uint64_t>(values.firstActivity); return true;
    case kColumnLastActivity: number = static_cast<uint64_t>(values.lastActivity); return true;
    default: return false;
  }
}

// Byte-wise, as unsigned characters: std::string_view's compare uses
// char_traits<char>, which compares as unsigned char.
bool TextGreater(std::string_view a, std::string_view b) { return a.compare(b) > 0; }

// The address a "Remote IP" text stands for; texts that are no address
// ("???") sort below every address, IPv4 below IPv6.
IpAddress AddressOfText(std::string_view text) { return ParseIp(text).value_or(IpAddress{}); }

// Sorts `order` by `keys` (one per row), greatest first or smallest first;
// equal rows keep their order either way.
template <typename Key>
void SortByKeys(std::vector<int>& order, const std::vector<Key>& keys, SortDirection direction) {
  if (direction == SortDirection::kGreatestFirst) {
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
      return keys[static_cast<size_t>(b)] < keys[static_cast<size_t>(a)];
    });
  } else {
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
      return keys[static_cast<size_t>(a)] < keys[static_cast<size_t>(b)];
    });
  }
}

// `textOf(i)` gives row i's text of `column` (a text column), `valuesOf(i)`
// its numbers.
template <typename TextOf, typename ValuesOf>
std::vector<int> SortedOrder(size_t count, int column, SortDirection direction, TextOf textOf,
                             ValuesOf valuesOf) {
  std::vector<int> order(count);
  std::iota(order.begin(), order.end(), 0);
  if (column < 0 || column >= kColumnCount) return order;
  uint64_t unused;
  if (NumberOf(column, RowValues{}, unused)) {
    std::vector<uint64_t> numbers(count);
    for (size_t i = 0; i < count; ++i) NumberOf(column, valuesOf(i), numbers[i]);
    SortByKeys(order, numbers, direction);
  } else if (column == kColumnRemoteIp) {
    std::vector<IpAddress> addresses(count);
    for (size_t i = 0; i < count; ++i) addresses[i] = AddressOfText(textOf(i));
    SortByKeys(order, addresses, direction);
  } else {
    // Views into the cells, compared byte by byte as unsigned characters.
    std::vector<std::string_view> texts(count);
    for (size_t i = 0; i < count; ++i) texts[i] = textOf(i);
    SortByKeys(order, texts, direction);
  }
  return order;
}

}  // namespace

bool RowComesFirst(int column, const RowCells& aCells, const RowValues& a, const RowCells& bCells,
                   const RowValues& b) {
  return RowComesFirst(column, aCells[static_cast<size_t>(column)], a,
                       bCells[static_cast<size_t>(column)], b);
}

bool RowComesFirst(int column, std::string_view aText, const RowValues& a, std::string_view bText,
                   const RowValues& b) {
  uint64_t x, y;
  if (NumberOf(column, a, x)) {
    NumberOf(column, b, y);
    return x > y;
  }
  if (column == kColumnRemoteIp) return AddressOfText(bText) < AddressOfText(aText);
  return TextGreater(aText, bText);
}

std::vector<int> SortedRowOrder(const std::vector<RowCells>& rows, int column,
                                SortDirection direction) {
  std::vector<RowValues> values;
  uint64_t unused;
  if (column >= 0 && NumberOf(column, RowValues{}, unused)) {
    values.reserve(rows.size());
    for (const RowCells& row : rows) {
      values.push_back(ValuesOfCells(row));
      // A log row's total is its own rounded text, not the sum of two
      // rounded texts.
      if (column == kColumnTotal) {
        values.back().downloadBytes = static_cast<uint64_t>(ByteCountValue(row[kColumnTotal]).value_or(0));
        values.back().uploadBytes = 0;
      }
    }
  }
  return SortedOrder(
      rows.size(), column, direction,
      [&](size_t i) -> std::string_view { return rows[i][static_cast<size_t>(column)]; },
      [&](size_t i) -> const RowValues& { return values[i]; });
}

void SortTrafficList(TrafficList& list, int column, SortDirection direction) {
  if (column < 0 || column >= kColumnCount) return;
  list.SetSortedBy(column, direction == SortDirection::kSmallestFirst);
  // A lambda is checked as a function of its own that holds nothing. These
  // run only inside SortedOrder, called here with the list's lock held;
  // marking them REQUIRES would put that demand on SortedOrder, which also
  // sorts rows read from a log.
  std::vector<int> order = SortedOrder(
      static_cast<size_t>(list.Count()), column, direction,
      [&](size_t i) NO_THREAD_SAFETY_ANALYSIS -> std::string_view {
        const std::string* text = TextOfColumn(list.Texts(static_cast<int>(i)), column);
        return text ? std::string_view(*text) : std::string_view();
      },
      [&](size_t i) NO_THREAD_SAFETY_ANALYSIS -> const RowValues& {
        return list.Values(static_cast<int>(i));
      });
  for (size_t i = 0; i < order.size(); ++i) {
    if (order[i] != static_cast<int>(i)) {
      list.Reorder(order);
      return;
    }
  }
}

}  // namespace corvane
