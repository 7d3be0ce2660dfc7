#include "engine/wiring.h"

#include <optional>
#include <utility>

#include "platform/host_names.h"
#include "platform/net.h"
#include "storage/traffic_log.h"

namespace corvane {

Status WireLiveMonitor(Monitor& monitor, LiveWiring wiring) {
  monitor.SendSocketOwnersFrom(wiring.helper);
  // std::function needs a copyable closure: the first source is shared.
  auto first = std::make_shared<std::unique_ptr<CaptureSource>>();
  if (!wiring.openNow.empty()) {
    Status opened;
    *first = OpenHelperCapture(wiring.openNow, opened, wiring.helper);
    if (!*first) return opened;
  }
  monitor.SetCaptureOpener([first, helper = wiring.helper, opened = wiring.opened](
                               const std::string& name, Status& status) {
    std::unique_ptr<CaptureSource> source;
    if (*first) {
      source = std::move(*first);
    } else {
      source = OpenHelperCapture(name, status, helper);
    }
    if (opened) opened(source ? std::string() : status.reason);
    return source;
  });
  if (!wiring.logFolder.empty()) {
    monitor.SetLogWriter(TrafficLogWriter(wiring.logFolder, monitor.clock()));
  }
  if (wiring.hostNames) {
    monitor.EnableHostNames(
        [wanted = std::move(wiring.namesWanted)](const IpAddress& address) -> std::optional<std::string> {
          if (wanted && !wanted->load()) return std::nullopt;
          return NameForAddress(address, ReverseLookup);
        });
  }
  return Status::Ok();
}

}  // namespace corvane
