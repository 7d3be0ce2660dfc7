#include "attribution/host_names.h"

#include <string>

#include "engine/monitor.h"
#include "engine/text_format.h"
#include "platform/net.h"

namespace corvane {

void ApplyHostName(Monitor& monitor, uint32_t address, std::string_view name) {
  if (name.empty()) return;
  const std::string safeName = SanitizeNetworkText(name);
  const std::string addressText = FormatAddress(address);
  TrafficList& list = monitor.list();
  TrafficList::Lock lock(list);
  // Every new row of an address asks for its name once, so each answer
  // goes to the topmost row of that address still showing the bare
  // address: two rows made in one pass are both named (and both tested
  // against the filters), and a row already named, or a proxy row showing
  // its web host, is never renamed.
  int row = list.FindUnnamedRow(addressText);
  if (row < 0) return;
  if (monitor.IsHidden(addressText, safeName, list.Cell(row, kColumnLocalSource))) {
    list.Remove(row);
  } else {
    list.SetCell(row, kColumnRemoteHost, safeName);
  }
}

}  // namespace corvane
