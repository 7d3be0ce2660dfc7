// Fuzzes the parser of /proc/PID/cgroup that names the unit of a process,
// and the report dates a user types.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/app_identity.h"
#include "storage/history_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const corvane::CgroupUnit unit = corvane::ParseCgroupUnit(text);
  // A unit name is cut out of the text, at most with escapes undone.
  if (unit.name.size() > size + 16) std::abort();
  if (auto seconds = corvane::ParseUtcTime(text)) {
    if (corvane::ParseUtcTime(corvane::FormatUtcTime(*seconds)) != seconds) std::abort();
  }
  return 0;
}
