#include "storage/history_report.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

#include "storage/csv_json.h"
#include "vocabulary/text_format.h"

namespace corvane {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil), so that no time zone of the machine takes part.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2);
}

bool Digits(std::string_view text, size_t at, size_t count, unsigned& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return true;
}

std::string JsonTime(std::optional<int64_t> seconds) {
  return seconds ? '"' + FormatUtcTime(*seconds) + '"' : std::string("null");
}

}  // namespace

const char* GroupingName(HistoryGrouping grouping) {
  switch (grouping) {
    case HistoryGrouping::kApp:
      return "app";
    case HistoryGrouping::kHost:
      return "host";
    case HistoryGrouping::kRemote:
      return "remote";
    case HistoryGrouping::kDay:
      return "day";
    case HistoryGrouping::kMonth:
      return "month";
  }
  return "app";
}

std::optional<HistoryGrouping> ParseGrouping(std::string_view text) {
  for (HistoryGrouping grouping :
       {HistoryGrouping::kApp, HistoryGrouping::kHost, HistoryGrouping::kRemote,
        HistoryGrouping::kDay, HistoryGrouping::kMonth}) {
    if (text == GroupingName(grouping)) return grouping;
  }
  return std::nullopt;
}

std::optional<ReportFormat> ParseReportFormat(std::string_view text) {
  if (text == "table") return ReportFormat::kTable;
  if (text == "csv") return ReportFormat::kCsv;
  if (text == "json") return ReportFormat::kJson;
  return std::nullopt;
}

std::optional<int64_t> ParseUtcTime(std::string_view text, bool dayEnd) {
  unsigned year, month, day;
  if (!Digits(text, 0, 4, year) || text.size() < 10 || text[4] != '-' ||
      !Digits(text, 5, 2, month) || text[7] != '-' || !Digits(text, 8, 2, day)) {
    return std::nullopt;
  }
  static constexpr unsigned kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (month < 1 || month > 12 || day < 1 || day > kMonthDays[month - 1] ||
      (month == 2 && day == 29 && !leap)) {
    return std::nullopt;
  }
  const int64_t dayStart = DaysFromCivil(year, month, day) * kSecondsPerDay;
  if (text.size() == 10) return dayEnd ? dayStart + kSecondsPerDay : dayStart;
  unsigned hour, minute, second;
  if (text.size() != 20 || text[10] != 'T' || !Digits(text, 11, 2, hour) || text[13] != ':' ||
      !Digits(text, 14, 2, minute) || text[16] != ':' || !Digits(text, 17, 2, second) ||
      text[19] != 'Z' || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  return dayStart + hour * 3600 + minute * 60 + second;
}

std::string FormatUtcTime(int64_t seconds) {
  const int64_t days = (seconds >= 0 ? seconds : seconds - kSecondsPerDay + 1) / kSecondsPerDay;
  const int64_t rest = seconds - days * kSecondsPerDay;
  int64_t year;
  unsigned month, day;
  CivilFromDays(days, year, month, day);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), month, day, static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

std::string FormatHistoryReport(const std::vector<HistoryTotal>& totals, HistoryGrouping grouping,
                                ReportFormat format, std::optional<int64_t> since,
                                std::optional<int64_t> until) {
  const std::string name = GroupingName(grouping);
  // Whatever the history holds, no key may reach a terminal as a control
  // sequence, reorder a line or split it.
  std::vector<std::string> keys;
  keys.reserve(totals.size());
  for (const HistoryTotal& total : totals) {
    keys.push_back(SanitizeNetworkText(total.key, Blanks::kKeep));
  }
  std::string out;
  switch (format) {
    case ReportFormat::kJson: {
      out = "{\"by\":" + JsonString(name) + ",\"since\":" + JsonTime(since) +
            ",\"until\":" + JsonTime(until) + ",\"rows\":[";
      for (size_t i = 0; i < totals.size(); ++i) {
        const HistoryTotal& total = totals[i];
        out += (i ? ",{" : "{") + JsonString(name) + ':' + JsonString(keys[i]) +
               ",\"sent_bytes\":" + std::to_string(total.sentBytes) +
               ",\"received_bytes\":" + std::to_string(total.receivedBytes) +
               ",\"total_bytes\":" + std::to_string(total.sentBytes + total.receivedBytes) + '}';
      }
      out += "]}\n";
      break;
    }
    case ReportFormat::kCsv:
      out = name + ",sent_bytes,received_bytes,total_bytes\n";
      for (size_t i = 0; i < totals.size(); ++i) {
        const HistoryTotal& total = totals[i];
        out += CsvField(keys[i]) + ',' + std::to_string(total.sentBytes) + ',' +
               std::to_string(total.receivedBytes) + ',' +
               std::to_string(total.sentBytes + total.receivedBytes) + "\n";
      }
      break;
    case ReportFormat::kTable: {
      std::vector<std::array<std::string, 4>> lines;
      lines.push_back({name, "sent", "received", "total"});
      for (std::string& head : lines[0]) {
        for (char& c : head) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
      }
      for (size_t i = 0; i < totals.size(); ++i) {
        const HistoryTotal& total = totals[i];
        lines.push_back({keys[i], std::to_string(total.sentBytes),
                         std::to_string(total.receivedBytes),
                         std::to_string(total.sentBytes + total.receivedBytes)});
      }
      std::array<size_t, 4> widths{};
      for (const auto& line : lines) {
        for (size_t c = 0; c < 4; ++c) widths[c] = std::max(widths[c], line[c].size());
      }
      for (const auto& line : lines) {
        out += line[0] + std::string(widths[0] - line[0].size(), ' ');
        for (size_t c = 1; c < 4; ++c) {
          out += "  " + std::string(widths[c] - line[c].size(), ' ') + line[c];
        }
        out += '\n';
      }
      break;
    }
  }
  return out;
}

}  // namespace corvane
