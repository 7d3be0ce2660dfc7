// The options of the monitor and their file, set.dat.
//
// set.dat is one line "%d %d %d %s %s %u": hideLanFlows, freezeGraph,
// proxyEnabled, the proxy host text, the proxy port text (each one word, "?"
// when empty) and the interface mask (its four octets, first octet in the
// lowest byte, as an unsigned decimal), then, after one blank, the name of
// the watched interface. Older builds scan the six fields and never see the
// name. The window reads it at start-up
// (LoadSettings into Settings), the Options dialog reads it when it opens
// and writes it on OK (SettingsFields).
//
// Pure functions apart from the file and the name lookup of
// ResolveProxyHost, which may block for as long as the resolver takes. A
// missing or damaged file gives defaults; nothing here reports to the user.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/data_folders.h"
#include "platform/status.h"

namespace corvane {

// Longest word a set.dat field holds.
inline constexpr size_t kMaxSettingsWord = 255;

// The options that the window holds (the persisted ones come from set.dat).
struct Settings {
  uint32_t interfaceAddress = 0;         // network byte order; never persisted
  uint32_t interfaceMask = 0xffffffffu;  // network byte order
  bool hideLanFlows = false;
  bool freezeGraph = false;
  bool proxyEnabled = false;
  std::string proxyHost;                 // as stored in set.dat
  uint16_t proxyPort = 0;
  uint32_t proxyAddress = 0;             // network byte order
  std::string interfaceName;             // as saved; empty when none was
};

// The line of set.dat as scanned: the fields before the first one that does
// not match, the others at their defaults.
struct SettingsLine {
  int fieldsRead = 0;  // 0 to 7
  int hideLanFlows = 0;
  int freezeGraph = 0;
  int proxyEnabled = 0;
  std::string hostText;  // field 4 as read ("?" stays "?")
  std::string portText;  // field 5 as read
  uint32_t interfaceMask = 0xffffffffu;
  // Field 7; a word that is no interface name (damaged) is not read.
  std::string interfaceName;
};

// What the Options dialog edits and SaveSettings writes.
struct SettingsFields {
  bool hideLanFlows = false;
  bool freezeGraph = false;
  bool proxyEnabled = false;
  std::string hostText;  // as typed
  std::string portText;  // as typed
  uint32_t interfaceMask = 0xffffffffu;
  std::string interfaceName;  // empty: none is written
  bool operator==(const SettingsFields&) const = default;
};

// Scans one line with the rules of "%d %d %d %s %s %u". Words are read
// whole, whatever their length.
SettingsLine ParseSettingsLine(std::string_view line);

// The first line of `path`, scanned; nullopt when the file cannot be read.
std::optional<SettingsLine> ReadSettingsFile(const std::string& path);

// The window at start-up: fills `settings` from `path`. Fields the file does
// not supply keep their values; with a host text, proxyHost takes it
// unchanged, proxyPort the leading number of the port text and proxyAddress
// the host as a dotted address, else (proxy on) its first address by name,
// else 255.255.255.255. A missing file changes nothing.
void LoadSettings(const std::string& path, Settings& settings);
// The same from a scanned line (no file).
void ApplySettingsLine(const SettingsLine& line, Settings& settings);

// The Options dialog on opening: "?" as host empties host and port.
void LoadSettings(const std::string& path, SettingsFields& fields);
SettingsFields FieldsFromLine(const SettingsLine& line);

// The line SaveSettings writes, without its CR LF. An empty host becomes
// "?"; an empty port makes both "?". A text is first cut at its first white
// space (leading and trailing white space are dropped) and to 255 bytes, so
// that the line always scans back into the same six fields. The interface
// name follows only when it is a valid one.
std::string FormatSettingsLine(const SettingsFields& fields);

// Writes set.dat (the line and CR LF) through a temporary file, so a failed
// write leaves the old file whole and says why.
Status SaveSettings(const std::string& path, const SettingsFields& fields);

// The port of a port text: its leading decimal number modulo 65536 (an
// optional sign as atoi reads it; 0 when there is no number).
uint16_t ProxyPortFromText(std::string_view text);

struct ResolvedProxy {
  bool found = false;
  uint32_t address = 0xffffffffu;  // network byte order; none for an IPv6 proxy
  std::string dottedText;          // the text itself when it was an address
                                   // (IPv6: its RFC 5952 text)
};

// An address in inet_addr's notation is used as it stands; any other text is
// looked up by name (first IPv4 address).
ResolvedProxy ResolveProxyHost(const std::string& hostText);

// The proxy address of a host text as the Options command takes it: the
// text read as an address, 255.255.255.255 when it is not one.
uint32_t ProxyAddressFromText(std::string_view dottedText);

// The Options dialog's result after OK, for Monitor::ApplyOptions.
struct OptionsResult {
  std::string interfaceName;      // the interface to watch; empty keeps the watched one
  uint32_t interfaceAddress = 0;  // network byte order
  uint32_t interfaceMask = 0xffffffffu;
  bool hideLanFlows = false;
  bool freezeGraph = false;
  bool proxyEnabled = false;
  std::string proxyHostText;  // dotted address text; empty unless the proxy is on
  std::string proxyPortText;
};

}  // namespace corvane
