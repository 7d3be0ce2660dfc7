// The rows every part of the program speaks of: the eight cells of a row of
// the traffic list (as shown, saved in a traffic log and exported), the
// identity of the flow a row shows, and its numbers.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/ip_address.h"

namespace corvane {

enum Column : int {
  kColumnRemoteIp = 0,
  kColumnRemoteHost = 1,
  kColumnDownload = 2,
  kColumnUpload = 3,
  kColumnTotal = 4,
  kColumnLocalSource = 5,
  kColumnFirstActivity = 6,
  kColumnLastActivity = 7,
};
inline constexpr int kColumnCount = 8;

using RowCells = std::array<std::string, kColumnCount>;

// The flow a row shows. Address rows: the remote address and the label id
// of the local source, host 0. Proxy rows: the id of the web host (from 1)
// and the label id, no address.
struct RowKey {
  IpAddress remoteAddress;  // none for a proxy row
  uint32_t hostId = 0;
  uint32_t labelId = 0;

  bool operator==(const RowKey&) const = default;
  bool IsProxy() const { return hostId != 0; }
};

// A row's numbers: what its byte-count and time cells show.
struct RowValues {
  uint64_t downloadBytes = 0;
  uint64_t uploadBytes = 0;
  int64_t firstActivity = 0;
  int64_t lastActivity = 0;
};

// The numbers that a row of texts shows (a row read from a log): byte
// counts in B, KB, MB, GB or TB, local times; a text without a number
// counts as 0.
RowValues ValuesOfCells(const RowCells& cells);

}  // namespace corvane
