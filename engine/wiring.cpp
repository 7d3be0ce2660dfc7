#include "engine/wiring.h"

#include <utility>

#include "storage/traffic_log.h"

namespace corvane {

Status WireLiveMonitor(Monitor& monitor, LiveWiring wiring) {
  monitor.SendSocketOwnersFrom(wiring.helper);
  CaptureLoop::HelperRoute route;
  if (!wiring.openNow.empty()) {
    Status opened;
    route.first = monitor.env().OpenCapture({wiring.openNow, &wiring.helper}, opened);
    if (!route.first) return opened;
  }
  route.options = std::move(wiring.helper);
  route.opened = std::move(wiring.opened);
  monitor.UseCaptureHelper(std::move(route));
  if (!wiring.logFolder.empty()) {
    monitor.SetLogWriter(TrafficLogWriter(wiring.logFolder, monitor.clock()));
  }
  if (wiring.hostNames) {
    monitor.EnableHostNames(std::move(wiring.namesWanted));
  }
  return Status::Ok();
}

}  // namespace corvane
