// Filter rules: which flows the traffic list hides.
//
// A FilterSet is a mode and rules; MatchFilters is a pure function of it. The
// Monitor keeps the active set and swaps it under listMutex, so a match
// (always made under listMutex) never overlaps a reload.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace corvane {

enum class FilterMode { BlackList = 1, WhiteList = 2 };

inline constexpr std::string_view kAnyText = "<ANY>";

struct FilterRule {
  std::string remoteHost;   // must occur in the remote address or host text
  std::string localSource;  // must occur in the local source text
  bool operator==(const FilterRule&) const = default;
};

struct FilterSet {
  FilterMode mode = FilterMode::WhiteList;
  std::vector<FilterRule> rules;
};

// True when the flow is to be hidden. No rules: nothing is hidden, whatever
// the mode. A rule text that is empty or exactly "<ANY>" matches everything;
// other texts are byte-wise, case-sensitive substring tests.
bool MatchFilters(const FilterSet& filters, std::string_view remoteAddressText,
                  std::string_view remoteHostText, std::string_view localSourceText);

}  // namespace corvane
