#include "filters/filter_set.h"

namespace corvane {

namespace {

bool PartMatches(std::string_view rule, std::string_view subject) {
  return rule == kAnyText || subject.find(rule) != std::string_view::npos;
}

}  // namespace

bool MatchFilters(const FilterSet& filters, std::string_view remoteAddressText,
                  std::string_view remoteHostText, std::string_view localSourceText) {
  if (filters.rules.empty()) return false;
  bool matched = false;
  for (const FilterRule& rule : filters.rules) {
    bool remote = PartMatches(rule.remoteHost, remoteAddressText) ||
                  PartMatches(rule.remoteHost, remoteHostText);
    if (remote && PartMatches(rule.localSource, localSourceText)) {
      matched = true;
      break;
    }
  }
  return filters.mode == FilterMode::BlackList ? matched : !matched;
}

}  // namespace corvane
