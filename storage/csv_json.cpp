#include "storage/csv_json.h"

#include <cstdio>

#include "vocabulary/text_format.h"

namespace corvane {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

std::string ValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      out += text[i++];
      continue;
    }
    uint32_t c = 0;
    if (const size_t length = DecodeUtf8(text, i, c); length > 0) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out.append(kReplacement);
      ++i;
    }
  }
  return out;
}

std::string CsvField(std::string_view text) {
  std::string field = ValidUtf8(text);
  if (!field.empty() && std::string_view("=+-@\t\r").find(field.front()) != std::string_view::npos) {
    field.insert(field.begin(), '\'');
  }
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string quoted = "\"";
  for (const char c : field) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : ValidUtf8(text)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(byte));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + '"';
}

}  // namespace corvane
