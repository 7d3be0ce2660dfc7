#include "platform/clock.h"

#include <ctime>

namespace corvane {

int64_t SystemClock::Now() const { return static_cast<int64_t>(::time(nullptr)); }

LocalTime ToLocalTime(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
  LocalTime local;
  if (::localtime_r(&t, &parts) == nullptr) return local;
  local.year = parts.tm_year + 1900;
  local.month = parts.tm_mon + 1;
  local.day = parts.tm_mday;
  local.hour = parts.tm_hour;
  local.minute = parts.tm_min;
  local.second = parts.tm_sec;
  return local;
}

bool FromLocalTime(const LocalTime& local, int64_t& seconds) {
  struct tm parts {};
  parts.tm_year = local.year - 1900;
  parts.tm_mon = local.month - 1;
  parts.tm_mday = local.day;
  parts.tm_hour = local.hour;
  parts.tm_min = local.minute;
  parts.tm_sec = local.second;
  parts.tm_isdst = -1;
  errno = 0;
  time_t t = ::mktime(&parts);
  if (t == static_cast<time_t>(-1) && errno != 0) return false;
  seconds = static_cast<int64_t>(t);
  return true;
}

}  // namespace corvane
