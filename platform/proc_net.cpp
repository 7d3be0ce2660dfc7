#include "platform/proc_net.h"

#include "platform/file_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace corvane {

namespace {

// The fields of a row that matter: "sl:" is field 0, the local address
// field 1 and the inode field 9.
constexpr size_t kLocalAddressField = 1;
constexpr size_t kInodeField = 9;

bool ParseHex(std::string_view text, uint32_t& value) {
  if (text.empty() || text.size() > 8) return false;
  uint32_t v = 0;
  for (char c : text) {
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    v = v << 4 | digit;
  }
  value = v;
  return true;
}

bool ParseDecimal(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;  // 19 digits always fit
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  value = v;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits off the first blank-separated word of `rest`. A plain loop: tables
// of thousands of rows are parsed several times a second.
std::string_view NextWord(std::string_view& rest) {
  const char* p = rest.data();
  const char* end = p + rest.size();
  while (p != end && IsBlank(*p)) ++p;
  const char* begin = p;
  while (p != end && !IsBlank(*p)) ++p;
  rest = std::string_view(p, static_cast<size_t>(end - p));
  return std::string_view(begin, static_cast<size_t>(p - begin));
}

// The kernel prints an address as 32-bit words, each in the host's byte
// order: a parsed word holds the address bytes as they are in memory, so an
// IPv4 word is already the address in network byte order. An IPv4-mapped
// IPv6 address (::ffff:a.b.c.d) is read as the IPv4 address it is.
bool ParseIpv6Words(std::string_view hexAddress, IpAddress& address) {
  std::array<uint8_t, 16> bytes{};
  for (size_t word = 0; word < 4; ++word) {
    uint32_t value;
    if (!ParseHex(hexAddress.substr(word * 8, 8), value)) return false;
    std::memcpy(bytes.data() + word * 4, &value, 4);
  }
  static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::equal(kMappedPrefix, kMappedPrefix + 12, bytes.begin())) {
    uint32_t ipv4;
    std::memcpy(&ipv4, bytes.data() + 12, 4);
    address = IpAddress::V4(ipv4);
  } else {
    address = IpAddress::V6(bytes);
  }
  return true;
}

enum class LineKind { kRow, kSkipped, kDamaged };

LineKind ParseLine(std::string_view line, TableFamily family, PortTableRow& row) {
  std::string_view rest = line;
  std::array<std::string_view, kInodeField + 1> fields;
  for (size_t i = 0; i < fields.size(); ++i) {
    fields[i] = NextWord(rest);
    if (fields[i].empty()) {
      return i == 0 ? LineKind::kSkipped : LineKind::kDamaged;
    }
    if (i == 0 && fields[0] == "sl") return LineKind::kSkipped;  // the heading
  }
  if (fields[0].size() < 2 || fields[0].back() != ':') return LineKind::kDamaged;

  std::string_view local = fields[kLocalAddressField];
  const size_t addressLength = family == TableFamily::kIpv4 ? 8 : 32;
  if (local.size() < addressLength + 2 || local[addressLength] != ':') return LineKind::kDamaged;
  std::string_view address = local.substr(0, addressLength);
  uint32_t port;
  if (!ParseHex(local.substr(addressLength + 1), port) || port > 0xffff) {
    return LineKind::kDamaged;
  }
  uint64_t inode;
  if (!ParseDecimal(fields[kInodeField], inode)) return LineKind::kDamaged;

  IpAddress localAddress;
  if (family == TableFamily::kIpv4) {
    uint32_t ipv4 = 0;
    if (!ParseHex(address, ipv4)) return LineKind::kDamaged;
    localAddress = IpAddress::V4(ipv4);
  } else if (!ParseIpv6Words(address, localAddress)) {
    return LineKind::kDamaged;
  }
  row.localPort = static_cast<uint16_t>(port);
  row.inode = inode;
  row.localAddress = localAddress;
  return LineKind::kRow;
}

}  // namespace

size_t ParsePortTable(std::string_view text, TableFamily family, std::vector<PortTableRow>& rows) {
  size_t damaged = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    PortTableRow row;
    switch (ParseLine(line, family, row)) {
      case LineKind::kRow:
        rows.push_back(row);
        break;
      case LineKind::kSkipped:
        break;
      case LineKind::kDamaged:
        ++damaged;
        break;
    }
  }
  return damaged;
}


PortTableReader::PortTableReader(std::string procRoot) : procRoot_(std::move(procRoot)) {}

Status PortTableReader::Open() {
  PortTables probe;
  opened_ = false;
  if (Status status = ReadTable("tcp", TableFamily::kIpv4, probe.tcp); !status) return status;
  if (Status status = ReadTable("udp", TableFamily::kIpv4, probe.udp); !status) return status;
  // A kernel without IPv6 has no such tables; their reason is not a failure.
  haveTcp6_ = ReadTable("tcp6", TableFamily::kIpv6, probe.tcp).ok;
  haveUdp6_ = ReadTable("udp6", TableFamily::kIpv6, probe.udp).ok;
  opened_ = true;
  return Status::Ok();
}

Status PortTableReader::Read(PortTables& tables) {
  tables.tcp.clear();
  tables.udp.clear();
  if (!opened_) return Status::Failed("the port tables were not opened");
  if (Status status = ReadTable("tcp", TableFamily::kIpv4, tables.tcp); !status) return status;
  if (haveTcp6_) {
    if (Status status = ReadTable("tcp6", TableFamily::kIpv6, tables.tcp); !status) return status;
  }
  if (Status status = ReadTable("udp", TableFamily::kIpv4, tables.udp); !status) return status;
  if (haveUdp6_) {
    if (Status status = ReadTable("udp6", TableFamily::kIpv6, tables.udp); !status) return status;
  }
  return Status::Ok();
}

Status PortTableReader::ReadTable(const char* name, TableFamily family,
                                  std::vector<PortTableRow>& rows) {
  const std::string path = procRoot_ + "/net/" + name;
  if (Status read = ReadFile(path, buffer_); !read) return read;
  ParsePortTable(buffer_, family, rows);
  return Status::Ok();
}

}  // namespace corvane
