// Fuzzes the traffic-log reader and the log names the Logs window shows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "storage/traffic_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto rows = corvane::ParseTrafficLog(text);
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  if (rows.size() > lines + 1) std::abort();
  const std::string name = corvane::LogDisplayName(text);
  if (name.size() > 99) std::abort();
  return 0;
}
