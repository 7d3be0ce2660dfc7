// Filter rules: which flows the traffic list hides, and their file.
//
// A FilterSet is a mode and rules; MatchFilters is a pure function of it. The
// Monitor keeps the active set and swaps it under listMutex, so a match
// (always made under listMutex) never overlaps a reload.
//
// filters.dat is 8-bit text: line 1 the mode ("1" black list, anything else
// white list), then one rule per line as two blank-separated words, the
// remote-host text and the local-source text, a blank inside a text written
// as "?". Lines end with CR LF; the reader takes CR as white space, so files
// with LF or CR CR LF ends read the same. The parser and the writer have no
// line-length limit. All functions here are safe on any thread; none throws.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/data_folders.h"
#include "platform/status.h"

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

// The content of a filter file. Never fails: the first line's leading
// number (white space, optional sign, digits) is the mode, 1 for a black
// list, anything else (no number, no line at all) a white list. Each further
// line gives one rule from its first two words; "?" in a word reads as a
// blank, words past the second are ignored, a line of one word gives
// (word, "<ANY>") and a line without words is skipped.
FilterSet ReadFilterText(std::string_view text);

// The file text for `mode` and `rules`, with CR LF line ends. A blank (and
// any other white space, which could not be read back in place) is written
// as "?"; an empty text is written as "<ANY>", which matches the same.
std::string FormatFilterText(FilterMode mode, const std::vector<FilterRule>& rules);

enum class FilterLoadStatus {
  Loaded,      // the file was read
  Missing,     // there is no such file: the set is empty
  Unreadable,  // the file exists but cannot be read: the set is empty
};

struct FilterLoadResult {
  FilterSet filters;
  FilterLoadStatus status = FilterLoadStatus::Missing;
  // The file read's own result: the path and the system's reason when the
  // file is missing or unreadable.
  Status read;
};

// Reads the filter file at `path`. A missing or unreadable file gives an
// empty set (nothing hidden); the status says which, `read` why.
FilterLoadResult LoadFilterSet(const std::string& path);

// Writes the filter file at `path` from `mode` and `rows` (in display
// order). The text goes to a new file beside it that then replaces the old
// one, so a failure leaves the old file as it was; its reason names `path`
// (the window says "Can't write to" it). Does not touch any FilterSet in
// memory.
Status WriteFilterFile(const std::string& path, FilterMode mode,
                       const std::vector<FilterRule>& rows);

// `appDirectory` + "/filters.dat".
std::string FilterFilePath(const std::string& appDirectory);

}  // namespace corvane
