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
    std::string error;
    *first = OpenHelperCapture(wiring.openNow, error, wiring.helper);
    if (!*first) return Status::Failed(error);
  }
  monitor.SetCaptureOpener([first, helper = wiring.helper, opened = wiring.opened](
                               const std::string& name, std::string& error) {
    std::unique_ptr<CaptureSource> source;
    if (*first) {
      source = std::move(*first);
    } else {
      source = OpenHelperCapture(name, error, helper);
    }
    if (opened) opened(source ? std::string() : error);
    return source;
  });
  if (!wiring.logFolder.empty()) {
    monitor.SetLogWriter(TrafficLogWriter(wiring.logFolder, monitor.clock()));
  }
  if (wiring.hostNames) {
    monitor.EnableHostNames(
        [wanted = std::move(wiring.namesWanted)](const IpAddress& address) -> std::optional<std::string> {
          if (wanted && !wanted()) return std::nullopt;
          return NameForAddress(address, ReverseLookup);
        });
  }
  return Status::Ok();
}

}  // namespace corvane
