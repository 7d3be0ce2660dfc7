// The kernel's socket tables, /proc/net/{tcp,tcp6,udp,udp6}: the local
// address, local port and socket inode of every socket.
//
// ParsePortTable works on text, so tests feed it fixtures; PortTableReader
// reads the real files. Neither keeps shared state: one thread per reader.
// Failures are values: a damaged line is skipped, an unreadable file is a
// Status with the file's path and the system's reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip_address.h"
#include "platform/status.h"

namespace corvane {

// One socket of a table. The inode is 0 when no process holds the socket
// (a TCP connection in TIME_WAIT, for example).
struct PortTableRow {
  uint16_t localPort = 0;  // host order
  uint64_t inode = 0;
  // 0.0.0.0 or :: for a socket bound to every address. An IPv6 row of an
  // IPv4-mapped address (::ffff:a.b.c.d) gives the IPv4 address.
  IpAddress localAddress;

  bool operator==(const PortTableRow&) const = default;
};

enum class TableFamily {
  kIpv4,  // /proc/net/tcp, /proc/net/udp
  kIpv6,  // /proc/net/tcp6, /proc/net/udp6
};

// Appends to `rows`, in table order, the rows of `text`. The heading line
// and lines of an unexpected shape are skipped; returns how many non-empty
// lines were skipped as damaged.
size_t ParsePortTable(std::string_view text, TableFamily family, std::vector<PortTableRow>& rows);

// The TCP rows and the UDP rows of one reading of the tables.
struct PortTables {
  std::vector<PortTableRow> tcp;
  std::vector<PortTableRow> udp;
};

// Reads the four tables under a proc root ("/proc", or a directory laid out
// like it in tests).
class PortTableReader {
 public:
  explicit PortTableReader(std::string procRoot);

  // Finds out which tables there are. Fails when /proc/net/tcp or
  // /proc/net/udp cannot be read. The IPv6 tables are optional: a kernel
  // without IPv6 has none.
  Status Open();

  // Reads every table found by Open(): tcp then tcp6 into `tables.tcp`,
  // udp then udp6 into `tables.udp`. Fails when one of them cannot be read.
  Status Read(PortTables& tables);

 private:
  Status ReadTable(const char* name, TableFamily family, std::vector<PortTableRow>& rows);

  std::string procRoot_;
  bool opened_ = false;
  bool haveTcp6_ = false;
  bool haveUdp6_ = false;
  std::string buffer_;  // reused between reads
};

}  // namespace corvane
