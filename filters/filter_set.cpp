#include "filters/filter_set.h"


#include "platform/file_io.h"

namespace corvane {

namespace {

bool PartMatches(std::string_view rule, std::string_view subject) {
  return rule == kAnyText || subject.find(rule) != std::string_view::npos;
}

// White space as the reader's "%s" words know it.
bool IsWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The leading decimal number of the mode line: white space, an optional
// sign, digits; 0 without digits. Only "is it 1" matters, so a long run of
// digits saturates instead of overflowing.
long LeadingNumber(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && IsWhiteSpace(line[i])) ++i;
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) {
    negative = line[i] == '-';
    ++i;
  }
  long value = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    if (value < 1000000) value = value * 10 + (line[i] - '0');
  }
  return negative ? -value : value;
}

std::string DecodeWord(std::string_view word) {
  std::string text(word);
  for (char& c : text) {
    if (c == '?') c = ' ';
  }
  return text;
}

std::string EncodeText(std::string_view text) {
  if (text.empty()) return std::string(kAnyText);
  std::string word(text);
  // Any white space would end the word when read back, and CR or LF would
  // even start a new rule; "?" brings it back as a blank.
  for (char& c : word) {
    if (IsWhiteSpace(c)) c = '?';
  }
  return word;
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

FilterSet ReadFilterText(std::string_view text) {
  FilterSet filters;
  bool modeLine = true;
  while (!text.empty() || modeLine) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (modeLine) {
      modeLine = false;
      filters.mode = LeadingNumber(line) == 1 ? FilterMode::BlackList : FilterMode::WhiteList;
      continue;
    }
    std::string_view words[2];
    int count = 0;
    size_t i = 0;
    while (count < 2) {
      while (i < line.size() && IsWhiteSpace(line[i])) ++i;
      if (i == line.size()) break;
      size_t start = i;
      while (i < line.size() && !IsWhiteSpace(line[i])) ++i;
      words[count++] = line.substr(start, i - start);
    }
    if (count == 0) continue;
    // A hand-edited line of one word: the local source is left open.
    filters.rules.push_back(FilterRule{DecodeWord(words[0]),
                                       count == 2 ? DecodeWord(words[1]) : std::string(kAnyText)});
  }
  return filters;
}

std::string FormatFilterText(FilterMode mode, const std::vector<FilterRule>& rules) {
  std::string text = mode == FilterMode::BlackList ? "1\r\n" : "2\r\n";
  for (const FilterRule& rule : rules) {
    text += EncodeText(rule.remoteHost);
    text += ' ';
    text += EncodeText(rule.localSource);
    text += "\r\n";
  }
  return text;
}

FilterLoadResult LoadFilterSet(const std::string& path) {
  FilterLoadResult result;
  std::string text;
  result.read = ReadFile(path, text);
  if (result.read) {
    result.filters = ReadFilterText(text);
    result.status = FilterLoadStatus::Loaded;
  } else if (result.read.Missing()) {
    result.status = FilterLoadStatus::Missing;
  } else {
    result.status = FilterLoadStatus::Unreadable;
  }
  return result;
}

Status WriteFilterFile(const std::string& path, FilterMode mode,
                       const std::vector<FilterRule>& rows) {
  PublishOptions options;
  options.keepPermissions = true;
  if (Status written = PublishFile(path, FormatFilterText(mode, rows), options); !written) {
    return Status::SystemFailure("cannot write " + path, written.code);
  }
  return Status::Ok();
}

std::string FilterFilePath(const std::string& appDirectory) {
  if (!appDirectory.empty() && appDirectory.back() == '/') return appDirectory + kFilterFileName;
  return appDirectory + "/" + kFilterFileName;
}

}  // namespace corvane
