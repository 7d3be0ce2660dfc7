// Fuzzes the parser of the kernel's socket tables (/proc/net/tcp and
// friends). The first byte picks the IPv4 or the IPv6 table layout.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/proc_net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const auto family = (data[0] & 1) ? corvane::TableFamily::kIpv6 : corvane::TableFamily::kIpv4;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<corvane::PortTableRow> rows;
  const size_t skipped = corvane::ParsePortTable(text, family, rows);
  size_t lines = 1;
  for (char c : text) lines += c == '\n';
  if (rows.size() + skipped > lines) std::abort();
  return 0;
}
