// Fuzzes the set.dat reader. A line written from what was read must scan
// back into all six fields (seven with an interface name), and saving what
// was read is stable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "storage/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const corvane::SettingsLine line = corvane::ParseSettingsLine(text);
  if (line.fieldsRead < 0 || line.fieldsRead > 7) std::abort();
  (void)corvane::ProxyPortFromText(line.portText);
  (void)corvane::ProxyAddressFromText(line.hostText);

  // The first write settles the line: a port without a host is written as
  // "? PORT", which reads back as neither. From then on a save of what was
  // read gives the same line again.
  const std::string once = corvane::FormatSettingsLine(corvane::FieldsFromLine(line));
  const corvane::SettingsLine reread = corvane::ParseSettingsLine(once);
  const int expected = line.interfaceName.empty() ? 6 : 7;
  if (reread.fieldsRead != expected || reread.interfaceName != line.interfaceName) std::abort();
  const std::string twice = corvane::FormatSettingsLine(corvane::FieldsFromLine(reread));
  const corvane::SettingsLine rereadAgain = corvane::ParseSettingsLine(twice);
  if (rereadAgain.fieldsRead != expected) std::abort();
  if (corvane::FormatSettingsLine(corvane::FieldsFromLine(rereadAgain)) != twice) std::abort();
  return 0;
}
