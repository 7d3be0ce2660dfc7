// Fuzzes the filters.dat reader. What is read, written back and read again
// must give the same file text, and matching must work on any rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "filters/filter_set.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const corvane::FilterSet filters = corvane::ReadFilterText(text);
  for (const auto& rule : filters.rules) {
    (void)corvane::MatchFilters(filters, rule.remoteHost, rule.remoteHost, rule.localSource);
  }
  (void)corvane::MatchFilters(filters, "127.0.0.3", "localhost", "TCP protocol");

  const std::string once = corvane::FormatFilterText(filters.mode, filters.rules);
  const corvane::FilterSet again = corvane::ReadFilterText(once);
  const std::string twice = corvane::FormatFilterText(again.mode, again.rules);
  if (once != twice) std::abort();
  if (again.mode != filters.mode || again.rules.size() != filters.rules.size()) std::abort();
  return 0;
}
