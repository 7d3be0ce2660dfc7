// Fuzzes the set.dat reader. A line written from what was read must scan
// back into all six fields, and into the same fields again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "storage/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const corvane::SettingsLine line = corvane::ParseSettingsLine(text);
  if (line.fieldsRead < 0 || line.fieldsRead > 6) std::abort();
  (void)corvane::ProxyPortFromText(line.portText);
  (void)corvane::ProxyAddressFromText(line.hostText);

  const corvane::SettingsFields fields = corvane::FieldsFromLine(line);
  const std::string written = corvane::FormatSettingsLine(fields);
  const corvane::SettingsLine reread = corvane::ParseSettingsLine(written);
  if (reread.fieldsRead != 6) std::abort();
  const corvane::SettingsFields fieldsAgain = corvane::FieldsFromLine(reread);
  if (corvane::FormatSettingsLine(fieldsAgain) != written) std::abort();
  return 0;
}
