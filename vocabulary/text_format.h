// The texts that the traffic list, the logs and the summary show for byte
// counts and times.
//
// Pure functions apart from the local time zone; safe on any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// "%d B" below 1 KB (1024), "%.2f KB" below 1 MB, "%.2f MB" below 1 GB,
// "%.2f GB" below 1 TB, "%.2f TB" from there on. A count just below a unit
// rounds up within its own unit: 1073741823 is "1024.00 MB".
std::string FormatByteCount(uint64_t bytes);

// The value of a byte-count text, the one reader of them all (list and log
// sorting, log reading): a number, optional blanks, then a unit word whose
// first letter gives the factor, "K" 1024, "M" 2^20, "G" 2^30, "T" 2^40, any
// other (as in "B") 1. So texts of every FormatByteCount version read,
// whether or not they knew GB and TB. Locale-free. nullopt when the text does
// not begin with a number (leading blanks aside) or the number is NaN.
std::optional<double> ByteCountValue(std::string_view text);

// "%d-%02d-%02d %02d:%02d:%02d" in local time, e.g. "2005-03-07 14:05:09".
std::string FormatTimestamp(int64_t seconds);

// Reads "%d-%d-%d %d:%d:%d" as local time. A text that is not a timestamp
// yields 0.
int64_t ParseTimestamp(std::string_view text);

}  // namespace corvane

namespace corvane {

// Whether a cleaned text keeps its plain blanks (U+0020): a host name has
// none, a program's name may ("Web Content").
enum class Blanks { kReplace, kKeep };

// A text that another party chose (a host name or web host from the network,
// a program's name from /proc or the kernel, a name read back from a log or
// the history), made safe for a terminal, a list cell, a log token and a
// label: every control character (bytes 0 to 31 and 127, C1 controls),
// every blank but U+0020 (which `blanks` decides), every invisible or
// reordering character (bidirectional marks, embeddings, overrides and
// isolates, zero-width characters, Hangul and other blank fillers, the TAG
// block U+E0000 to U+E007F) and every byte that is not part of well-formed
// UTF-8 becomes one "_". The result is well-formed UTF-8, never longer than
// `text`, and cleaning it again changes nothing. Letters of every script and
// variation selectors stay.
std::string SanitizeNetworkText(std::string_view text, Blanks blanks = Blanks::kReplace);

// The code point of the UTF-8 sequence at `text[i]` and its length, or 0
// when the bytes there are not a well-formed sequence (a stray or missing
// continuation byte, an overlong form, a surrogate, past U+10FFFF).
size_t DecodeUtf8(std::string_view text, size_t i, uint32_t& c);

}  // namespace corvane

namespace corvane {

// One row as a line of eight blank-separated tokens (the traffic-log line,
// without its line end): each blank, other white space or control character
// inside a cell is written as "_", and an empty cell as "_".
std::string FormatRowLine(const std::array<std::string, 8>& cells);

}  // namespace corvane
