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
  // The row whose insertion asked for the name is normally the topmost of
  // its address; after a sort it may be another row of the same address.
  int row = list.FindRemoteIpRow(addressText);
  if (row < 0) return;
  if (monitor.IsHidden(addressText, safeName, list.Cell(row, kColumnLocalSource))) {
    list.Remove(row);
  } else {
    list.SetCell(row, kColumnRemoteHost, safeName);
  }
}

}  // namespace corvane
