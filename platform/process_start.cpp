#include "platform/process_start.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace corvane {

double BootClockSeconds() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::optional<uint64_t> ParseStatStartTicks(std::string_view statLine) {
  // "pid (comm) state ppid ...": the fields after the name's last ')' start
  // with field 3; the start time is field 22.
  const size_t close = statLine.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = statLine.substr(close + 1);
  constexpr int kStartTimeField = 22;
  int field = 2;
  while (!rest.empty()) {
    const size_t begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) break;
    rest.remove_prefix(begin);
    const size_t end = std::min(rest.find(' '), rest.size());
    if (++field == kStartTimeField) {
      uint64_t ticks = 0;
      std::string_view word = rest.substr(0, end);
      while (!word.empty() && (word.back() == '\n' || word.back() == '\r')) word.remove_suffix(1);
      auto [ptr, error] = std::from_chars(word.data(), word.data() + word.size(), ticks);
      if (error != std::errc() || ptr != word.data() + word.size()) return std::nullopt;
      return ticks;
    }
    rest.remove_prefix(end);
  }
  return std::nullopt;
}

std::optional<double> ProcessStartBootSeconds() {
  std::ifstream stat("/proc/self/stat");
  std::string line;
  if (!stat || !std::getline(stat, line)) return std::nullopt;
  const std::optional<uint64_t> ticks = ParseStatStartTicks(line);
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  if (!ticks || ticksPerSecond <= 0) return std::nullopt;
  return static_cast<double>(*ticks) / static_cast<double>(ticksPerSecond);
}

}  // namespace corvane
