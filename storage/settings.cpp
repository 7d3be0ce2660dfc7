#include "storage/settings.h"

#include <limits>

#include "platform/file_io.h"
#include "platform/interfaces.h"
#include "platform/net.h"

namespace corvane {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A cursor over the line that scans the way sscanf does: every conversion
// skips white space first; a number needs at least one digit.
class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool Int(int& value) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (!Number(negative, magnitude)) return false;
    // Out-of-range values saturate, so a huge flag never reads as 0.
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int>::max());
    if (negative) {
      value = magnitude > kMax ? std::numeric_limits<int>::min()
                               : -static_cast<int>(magnitude);
    } else {
      value = magnitude > kMax ? std::numeric_limits<int>::max() : static_cast<int>(magnitude);
    }
    return true;
  }

  bool Unsigned(uint32_t& value) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (!Number(negative, magnitude)) return false;
    // As strtoul: a minus sign negates in unsigned arithmetic; the 32-bit
    // field keeps the low bits.
    value = static_cast<uint32_t>(negative ? 0 - magnitude : magnitude);
    return true;
  }

  bool Word(std::string& word) {
    SkipSpace();
    size_t start = pos_;
    while (pos_ < text_.size() && !IsSpace(text_[pos_])) ++pos_;
    if (pos_ == start) return false;
    word.assign(text_.substr(start, pos_ - start));
    return true;
  }

 private:
  void SkipSpace() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  }

  bool Number(bool& negative, uint64_t& magnitude) {
    SkipSpace();
    size_t at = pos_;
    if (at < text_.size() && (text_[at] == '+' || text_[at] == '-')) {
      negative = text_[at] == '-';
      ++at;
    }
    if (at >= text_.size() || !IsDigit(text_[at])) return false;
    magnitude = 0;
    constexpr uint64_t kLimit = std::numeric_limits<uint64_t>::max();
    while (at < text_.size() && IsDigit(text_[at])) {
      uint64_t digit = static_cast<uint64_t>(text_[at] - '0');
      magnitude = magnitude > (kLimit - digit) / 10 ? kLimit : magnitude * 10 + digit;
      ++at;
    }
    pos_ = at;
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// Field 6 holds the mask's octets with the first one in the lowest byte,
// whatever the machine's byte order.
uint32_t MaskFromField(uint32_t field) {
  return MakeAddress(static_cast<uint8_t>(field), static_cast<uint8_t>(field >> 8),
                     static_cast<uint8_t>(field >> 16), static_cast<uint8_t>(field >> 24));
}

uint32_t FieldFromMask(uint32_t mask) {
  const auto* octets = reinterpret_cast<const uint8_t*>(&mask);
  return uint32_t{octets[0]} | uint32_t{octets[1]} << 8 | uint32_t{octets[2]} << 16 |
         uint32_t{octets[3]} << 24;
}

// One word of the file: no white space (nor a zero byte) inside, at most
// 255 bytes. Leading white space is dropped, the rest is cut at the first
// white space.
std::string FileWord(std::string_view text) {
  size_t start = 0;
  while (start < text.size() && (IsSpace(text[start]) || text[start] == '\0')) ++start;
  size_t end = start;
  while (end < text.size() && !IsSpace(text[end]) && text[end] != '\0') ++end;
  std::string word(text.substr(start, end - start));
  if (word.size() > kMaxSettingsWord) word.resize(kMaxSettingsWord);
  return word;
}

}  // namespace

SettingsLine ParseSettingsLine(std::string_view line) {
  SettingsLine result;
  Scanner scan(line);
  if (!scan.Int(result.hideLanFlows)) return result;
  result.fieldsRead = 1;
  if (!scan.Int(result.freezeGraph)) return result;
  result.fieldsRead = 2;
  if (!scan.Int(result.proxyEnabled)) return result;
  result.fieldsRead = 3;
  if (!scan.Word(result.hostText)) return result;
  result.fieldsRead = 4;
  if (!scan.Word(result.portText)) return result;
  result.fieldsRead = 5;
  uint32_t field = 0;
  if (!scan.Unsigned(field)) return result;
  result.interfaceMask = MaskFromField(field);
  result.fieldsRead = 6;
  std::string name;
  if (!scan.Word(name) || !IsValidInterfaceName(name)) return result;
  result.interfaceName = std::move(name);
  result.fieldsRead = 7;
  return result;
}

std::optional<SettingsLine> ReadSettingsFile(const std::string& path) {
  std::string content;
  if (!ReadFile(path, content)) return std::nullopt;
  return ParseSettingsLine(std::string_view(content).substr(0, content.find('\n')));
}

void ApplySettingsLine(const SettingsLine& line, Settings& settings) {
  if (line.fieldsRead >= 1) settings.hideLanFlows = line.hideLanFlows != 0;
  if (line.fieldsRead >= 2) settings.freezeGraph = line.freezeGraph != 0;
  if (line.fieldsRead >= 3) settings.proxyEnabled = line.proxyEnabled != 0;
  if (line.fieldsRead >= 4) {
    settings.proxyHost = line.hostText;
    settings.proxyPort = ProxyPortFromText(line.fieldsRead >= 5 ? line.portText : "");
    if (auto address = ParseInetAddr(line.hostText)) {
      settings.proxyAddress = *address;
    } else if (settings.proxyEnabled && line.hostText != "?") {
      ResolvedProxy resolved = ResolveProxyHost(line.hostText);
      settings.proxyAddress = resolved.found ? resolved.address : 0xffffffffu;
    } else {
      settings.proxyAddress = 0xffffffffu;
    }
  }
  if (line.fieldsRead >= 6) settings.interfaceMask = line.interfaceMask;
  if (line.fieldsRead >= 7) settings.interfaceName = line.interfaceName;
}

void LoadSettings(const std::string& path, Settings& settings) {
  if (auto line = ReadSettingsFile(path)) ApplySettingsLine(*line, settings);
}

SettingsFields FieldsFromLine(const SettingsLine& line) {
  SettingsFields fields;
  fields.hideLanFlows = line.fieldsRead >= 1 && line.hideLanFlows != 0;
  fields.freezeGraph = line.fieldsRead >= 2 && line.freezeGraph != 0;
  fields.proxyEnabled = line.fieldsRead >= 3 && line.proxyEnabled != 0;
  // The host and port are stored as a pair: "?" in either empties both.
  if (line.fieldsRead >= 4 && line.hostText != "?") {
    fields.hostText = line.hostText;
    if (line.fieldsRead >= 5 && line.portText != "?") fields.portText = line.portText;
  }
  if (line.fieldsRead >= 6) fields.interfaceMask = line.interfaceMask;
  if (line.fieldsRead >= 7) fields.interfaceName = line.interfaceName;
  return fields;
}

void LoadSettings(const std::string& path, SettingsFields& fields) {
  fields = FieldsFromLine(ReadSettingsFile(path).value_or(SettingsLine{}));
}

std::string FormatSettingsLine(const SettingsFields& fields) {
  std::string host = FileWord(fields.hostText);
  std::string port = FileWord(fields.portText);
  if (host.empty()) host = "?";
  if (port.empty()) host = port = "?";
  std::string line;
  line += fields.hideLanFlows ? '1' : '0';
  line += ' ';
  line += fields.freezeGraph ? '1' : '0';
  line += ' ';
  line += fields.proxyEnabled ? '1' : '0';
  line += ' ' + host + ' ' + port + ' ' + std::to_string(FieldFromMask(fields.interfaceMask));
  if (IsValidInterfaceName(fields.interfaceName)) line += ' ' + fields.interfaceName;
  return line;
}

Status SaveSettings(const std::string& path, const SettingsFields& fields) {
  return PublishFile(path, FormatSettingsLine(fields) + "\r\n");
}

uint16_t ProxyPortFromText(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && IsSpace(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  uint32_t value = 0;
  for (; at < text.size() && IsDigit(text[at]); ++at) {
    value = (value * 10 + static_cast<uint32_t>(text[at] - '0')) % 65536u;
  }
  return static_cast<uint16_t>(negative ? (65536u - value) % 65536u : value);
}

ResolvedProxy ResolveProxyHost(const std::string& hostText) {
  ResolvedProxy result;
  if (auto address = ParseInetAddr(hostText)) {
    result.found = true;
    result.address = *address;
    result.dottedText = hostText;
    return result;
  }
  if (auto address = LookupHostAddress(hostText)) {
    result.found = true;
    result.address = *address;
    result.dottedText = FormatAddress(*address);
    return result;
  }
  // A proxy reached over IPv6 only: its address text is handed on and the
  // IPv4 address stays none.
  if (auto address = LookupHostIp(hostText); address && address->IsV6()) {
    result.found = true;
    result.dottedText = FormatIp(*address);
  }
  return result;
}

uint32_t ProxyAddressFromText(std::string_view dottedText) {
  return ParseInetAddr(dottedText).value_or(0xffffffffu);
}

}  // namespace corvane
