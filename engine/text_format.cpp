#include "engine/text_format.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/clock.h"

namespace corvane {

namespace {

// "%.2f" of bytes / 2^shift followed by `unit`, in integers. The quotient is
// exact in binary (at most 32 significant bits), so printf rounds it to two
// decimals by the exact value, ties to even; so does this, and the texts are
// the same, without printf's cost in a pass that writes thousands of cells.
std::string FixedTwoDecimals(uint32_t bytes, unsigned shift, const char* unit) {
  // hundredths = bytes * 100 / 2^shift = bytes * 25 / 2^(shift - 2)
  const unsigned divisorShift = shift - 2;
  const uint64_t scaled = uint64_t{bytes} * 25;
  uint64_t hundredths = scaled >> divisorShift;
  const uint64_t remainder = scaled & ((uint64_t{1} << divisorShift) - 1);
  const uint64_t half = uint64_t{1} << (divisorShift - 1);
  if (remainder > half || (remainder == half && (hundredths & 1) != 0)) ++hundredths;
  std::string text = std::to_string(hundredths / 100);
  const unsigned cents = static_cast<unsigned>(hundredths % 100);
  text += '.';
  text += static_cast<char>('0' + cents / 10);
  text += static_cast<char>('0' + cents % 10);
  text += unit;
  return text;
}

}  // namespace

std::string FormatByteCount(uint32_t bytes) {
  if (bytes < 1024u) return std::to_string(bytes) + " B";
  if (bytes < 1048576u) return FixedTwoDecimals(bytes, 10, " KB");
  return FixedTwoDecimals(bytes, 20, " MB");
}

double ByteCountValue(std::string_view text) {
  std::string copy(text);
  char* end = nullptr;
  double number = std::strtod(copy.c_str(), &end);
  if (end == copy.c_str()) return 0;
  std::string_view unit(end);
  while (!unit.empty() && unit.front() == ' ') unit.remove_prefix(1);
  if (unit.starts_with("KB")) return number * 1024.0;
  if (unit.starts_with("MB")) return number * 1048576.0;
  return number;
}

std::string FormatTimestamp(int64_t seconds) {
  LocalTime t = ToLocalTime(seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return text;
}

int64_t ParseTimestamp(std::string_view text) {
  std::string copy(text);
  LocalTime t;
  if (std::sscanf(copy.c_str(), "%d-%d-%d %d:%d:%d", &t.year, &t.month, &t.day, &t.hour,
                  &t.minute, &t.second) != 6) {
    return 0;
  }
  int64_t seconds = 0;
  return FromLocalTime(t, seconds) ? seconds : 0;
}

}  // namespace corvane

namespace corvane {

std::string SanitizeNetworkText(std::string_view text) {
  std::string safe(text);
  for (char& c : safe) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f) c = '_';
  }
  return safe;
}

}  // namespace corvane

namespace corvane {

std::string FormatRowLine(const std::array<std::string, 8>& cells) {
  std::string line;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) line += ' ';
    // A token holds no white space and is never empty, or the line would not
    // read back as the same eight cells.
    if (cells[i].empty()) {
      line += '_';
      continue;
    }
    for (char c : cells[i]) {
      auto byte = static_cast<unsigned char>(c);
      line += byte <= 0x20 || byte == 0x7f ? '_' : c;
    }
  }
  return line;
}

}  // namespace corvane
