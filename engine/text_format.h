// The texts that the traffic list, the logs and the summary show for byte
// counts and times.
//
// Pure functions apart from the local time zone; safe on any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// "%d B" below 1024, "%.2f KB" below 1048576, "%.2f MB" from there on.
std::string FormatByteCount(uint32_t bytes);

// The value of a FormatByteCount text, for sorting: the number times its
// unit (B, KB = 1024, MB = 1048576). Texts that are not byte counts give 0.
double ByteCountValue(std::string_view text);

// "%d-%02d-%02d %02d:%02d:%02d" in local time, e.g. "2005-03-07 14:05:09".
std::string FormatTimestamp(int64_t seconds);

// Reads "%d-%d-%d %d:%d:%d" as local time. A text that is not a timestamp
// yields 0.
int64_t ParseTimestamp(std::string_view text);

}  // namespace corvane

namespace corvane {

// A text that came from the network (a host name, a requested web host),
// made safe for a list cell and a log token: every blank and control
// character (bytes 0 to 32 and 127) becomes "_".
std::string SanitizeNetworkText(std::string_view text);

}  // namespace corvane

namespace corvane {

// One row as a line of eight blank-separated tokens (the traffic-log line,
// without its line end): each blank, other white space or control character
// inside a cell is written as "_", and an empty cell as "_".
std::string FormatRowLine(const std::array<std::string, 8>& cells);

}  // namespace corvane
