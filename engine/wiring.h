// How the window and corvane-cli put a Monitor to work on a live interface,
// the one way for both: capture through the capture helper (which reports
// each socket's owner to the port map), the traffic log folder of Save &
// Clear and the midnight step, and the names of remote hosts.
//
// Called once, before Start(), on the thread that owns the Monitor. The
// callbacks in LiveWiring run on the capture thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "engine/monitor.h"
#include "platform/capture_source.h"
#include "platform/helper_capture.h"
#include "platform/status.h"

namespace corvane {

struct LiveWiring {
  // The caller's onReady and onStopped; the wiring adds the socket owners.
  HelperCaptureOptions helper;
  // When set, capture is opened on this interface at once, so that a user
  // without capture rights hears why before anything starts (corvane-cli);
  // the first start takes it, later ones open their own.
  std::string openNow;
  // Told the reason of every capture that could not be opened, or "" when
  // one was.
  std::function<void(const std::string& reason)> opened;
  // Save & Clear and the midnight step write their logs here; empty: the
  // rows are cleared without a log and kept across midnight.
  std::string logFolder;
  // Remote hosts are named by the Env's lookups while this flag says so
  // (see Monitor::EnableHostNames); none: they are named always.
  bool hostNames = true;
  std::shared_ptr<const std::atomic<bool>> namesWanted;
};

// Fails only when capture was to be opened now and could not be (the
// helper's reason).
Status WireLiveMonitor(Monitor& monitor, LiveWiring wiring);

}  // namespace corvane
