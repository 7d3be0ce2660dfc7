#include "storage/usage_alerts.h"

#include <algorithm>
#include <charconv>
#include <string_view>

#include "platform/clock.h"
#include "platform/file_io.h"

namespace corvane {
namespace {

constexpr std::string_view kDayWord = "day";
constexpr std::string_view kHourWord = "hour";

// Keys are names from other users' programs: one that would break the
// file's lines is never written (its alert is then kept for this run only).
bool Writable(const std::string& app) {
  return !app.empty() && app.find_first_of("\n\r") == std::string::npos;
}

}  // namespace

UsageAlerts::UsageAlerts(std::string stateFile) : stateFile_(std::move(stateFile)) {}

Status UsageAlerts::Load() {
  loaded_.clear();
  if (stateFile_.empty()) return Status::Ok();
  std::string text;
  if (Status read = ReadFile(stateFile_, text); !read) return read.Missing() ? Status::Ok() : read;
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    // "day|hour START APP"
    const size_t first = line.find(' ');
    if (first == std::string_view::npos) continue;
    const size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos || second + 1 >= line.size()) continue;
    const std::string_view word = line.substr(0, first);
    UsagePeriod period;
    if (word == kDayWord) {
      period = UsagePeriod::kDay;
    } else if (word == kHourWord) {
      period = UsagePeriod::kHour;
    } else {
      continue;
    }
    int64_t start = 0;
    const char* numberEnd = line.data() + second;
    auto [next, error] = std::from_chars(line.data() + first + 1, numberEnd, start);
    if (error != std::errc() || next != numberEnd) continue;
    loaded_[{period, start}].insert(std::string(line.substr(second + 1)));
  }
  return Status::Ok();
}

void UsageAlerts::Begin(UsagePeriod kind, int64_t start) {
  Period& period = Of(kind);
  if (period.start == start) return;
  period = Period{start, {}, {}};
  if (auto found = loaded_.find({kind, start}); found != loaded_.end()) {
    period.fired = std::move(found->second);
  }
  std::erase_if(loaded_, [kind, start](const auto& entry) {
    return entry.first.first == kind && entry.first.second <= start;
  });
}

void UsageAlerts::Seed(UsagePeriod kind, int64_t start, const std::vector<UsageCount>& counts) {
  Begin(kind, start);
  Period& period = Of(kind);
  for (const UsageCount& count : counts) period.bytes[count.app] += count.bytes;
}

void UsageAlerts::Baseline(const std::vector<UsageCount>& totals) {
  for (const UsageCount& total : totals) seen_[total.app] = total.bytes;
}

Status UsageAlerts::Observe(int64_t dayStart, int64_t hourStart,
                            const std::vector<UsageCount>& totals,
                            std::vector<UsageAlert>& alerts) {
  Begin(UsagePeriod::kDay, dayStart);
  Begin(UsagePeriod::kHour, hourStart);
  bool fired = false;
  for (const UsageCount& total : totals) {
    uint64_t& seen = seen_[total.app];
    // Totals only grow while the monitor runs; a smaller one is a new count.
    const uint64_t added = total.bytes >= seen ? total.bytes - seen : total.bytes;
    seen = total.bytes;
    if (added == 0) continue;
    for (UsagePeriod kind : {UsagePeriod::kDay, UsagePeriod::kHour}) {
      Period& period = Of(kind);
      uint64_t& bytes = period.bytes[total.app];
      const uint64_t before = bytes;
      bytes += added;
      const uint64_t limit = kind == UsagePeriod::kDay ? budget_.dayBytes : budget_.hourBytes;
      if (limit == 0 || before > limit || bytes <= limit) continue;
      if (!period.fired.insert(total.app).second) continue;
      alerts.push_back(UsageAlert{kind, total.app, total.name, bytes});
      fired = true;
    }
  }
  return fired ? Save() : Status::Ok();
}

Status UsageAlerts::Save() const {
  if (stateFile_.empty()) return Status::Ok();
  std::string text;
  for (UsagePeriod kind : {UsagePeriod::kDay, UsagePeriod::kHour}) {
    const Period& period = kind == UsagePeriod::kDay ? day_ : hour_;
    for (const std::string& app : period.fired) {
      if (!Writable(app)) continue;
      text += kind == UsagePeriod::kDay ? kDayWord : kHourWord;
      text += ' ';
      text += std::to_string(period.start);
      text += ' ';
      text += app;
      text += '\n';
    }
  }
  PublishOptions options;
  options.ownerOnly = true;
  return PublishFile(stateFile_, text, options);
}

int64_t LocalDayStart(int64_t now) {
  LocalTime local = ToLocalTime(now);
  local.hour = local.minute = local.second = 0;
  int64_t start = now;
  return FromLocalTime(local, start) && start <= now ? start : now - now % 86400;
}

int64_t LocalHourStart(int64_t now) {
  LocalTime local = ToLocalTime(now);
  local.minute = local.second = 0;
  int64_t start = now;
  return FromLocalTime(local, start) && start <= now ? start : now - now % 3600;
}

}  // namespace corvane
