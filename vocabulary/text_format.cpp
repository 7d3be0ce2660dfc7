#include "vocabulary/text_format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

#include "platform/clock.h"

namespace corvane {

namespace {

// "%.2f" of bytes / 2^shift followed by `unit`, in integers, rounded to the
// nearest hundredth by the exact quotient, ties to even. That is printf's
// text for every count a double holds exactly (below 2^53), and the exact
// one above, without printf's cost in a pass that writes thousands of cells.
std::string FixedTwoDecimals(uint64_t bytes, unsigned shift, const char* unit) {
  // hundredths = bytes * 100 / 2^shift = bytes * 25 / 2^(shift - 2). bytes * 25
  // would overflow 64 bits from 2^59 on, so there the whole multiples of the
  // divisor are scaled apart from the rest.
  const unsigned divisorShift = shift - 2;
  const uint64_t mask = (uint64_t{1} << divisorShift) - 1;
  uint64_t hundredths;
  uint64_t remainder;
  if (bytes < (uint64_t{1} << 59)) {
    const uint64_t scaled = bytes * 25;
    hundredths = scaled >> divisorShift;
    remainder = scaled & mask;
  } else {
    const uint64_t restScaled = (bytes & mask) * 25;  // < 2^(divisorShift + 5)
    hundredths = (bytes >> divisorShift) * 25 + (restScaled >> divisorShift);
    remainder = restScaled & mask;
  }
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

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string FormatByteCount(uint64_t bytes) {
  if (bytes < (uint64_t{1} << 10)) return std::to_string(bytes) + " B";
  if (bytes < (uint64_t{1} << 20)) return FixedTwoDecimals(bytes, 10, " KB");
  if (bytes < (uint64_t{1} << 30)) return FixedTwoDecimals(bytes, 20, " MB");
  if (bytes < (uint64_t{1} << 40)) return FixedTwoDecimals(bytes, 30, " GB");
  return FixedTwoDecimals(bytes, 40, " TB");
}

std::optional<double> ByteCountValue(std::string_view text) {
  const char* at = text.data();
  const char* const stop = text.data() + text.size();
  while (at < stop && IsBlank(*at)) ++at;
  if (at < stop && *at == '+') ++at;
  double number = 0;
  // from_chars, not strtod: the window may run under a locale with a decimal
  // comma, and the text need not be terminated.
  auto [end, error] = std::from_chars(at, stop, number);
  if (error != std::errc() || std::isnan(number)) return std::nullopt;
  while (end < stop && IsBlank(*end)) ++end;
  switch (end < stop ? *end : '\0') {
    case 'K':
      return number * 1024.0;
    case 'M':
      return number * 1048576.0;
    case 'G':
      return number * 1073741824.0;
    case 'T':
      return number * 1099511627776.0;
    default:
      return number;
  }
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

namespace {

// Characters that change how the text around them is shown without showing
// themselves, or show as nothing: C1 controls, the soft hyphen, the combining
// grapheme joiner, bidirectional marks, embeddings, overrides and isolates,
// zero-width and invisible operators, the byte order mark, the interlinear
// annotations, the Hangul and Khmer fillers, the shorthand and musical format
// controls and the TAG block. A name carrying U+202E would read backwards.
bool IsInvisibleFormatting(uint32_t c) {
  return (c >= 0x80 && c <= 0x9f) || c == 0xad || c == 0x034f || c == 0x061c ||
         c == 0x115f || c == 0x1160 || c == 0x17b4 || c == 0x17b5 || c == 0x180e ||
         (c >= 0x200b && c <= 0x200f) || (c >= 0x2028 && c <= 0x202e) ||
         (c >= 0x2060 && c <= 0x206f) || c == 0x3164 || c == 0xfeff || c == 0xffa0 ||
         (c >= 0xfff9 && c <= 0xfffb) || (c >= 0x1bca0 && c <= 0x1bca3) ||
         (c >= 0x1d173 && c <= 0x1d17a) || (c >= 0xe0000 && c <= 0xe007f);
}

// Blanks other than U+0020 (no-break, typographic, braille and ideographic
// spaces): they would pass for a plain blank, or split a name where none is.
bool IsOtherBlank(uint32_t c) {
  return c == 0xa0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200a) || c == 0x202f ||
         c == 0x205f || c == 0x2800 || c == 0x3000;
}

}  // namespace

size_t DecodeUtf8(std::string_view text, size_t i, uint32_t& c) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                        : lead >= 0xe0 && lead <= 0xef ? 3
                        : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                       : 0;
  if (length == 0 || i + length > text.size()) return 0;
  uint32_t value = lead & (0x7f >> length);
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xc0) != 0x80) return 0;
    value = value << 6 | (next & 0x3f);
  }
  // Overlong forms would let a character hide behind another spelling;
  // surrogates and values past U+10FFFF are no characters at all.
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || (value >= 0xd800 && value <= 0xdfff) || value > 0x10ffff) {
    return 0;
  }
  c = value;
  return length;
}

std::string SanitizeNetworkText(std::string_view text, Blanks blanks) {
  std::string safe;
  safe.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      const bool keep = byte > 0x20 ? byte != 0x7f : byte == 0x20 && blanks == Blanks::kKeep;
      safe += keep ? text[i] : '_';
      ++i;
      continue;
    }
    uint32_t c = 0;
    const size_t length = DecodeUtf8(text, i, c);
    if (length == 0) {  // a byte of no well-formed sequence
      safe += '_';
      ++i;
    } else {
      if (IsInvisibleFormatting(c) || IsOtherBlank(c)) {
        safe += '_';
      } else {
        safe.append(text.substr(i, length));
      }
      i += length;
    }
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
