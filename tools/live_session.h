// The live engine behind corvane-cli watch and top: a Monitor on the system
// clock fed by the capture helper on the watched interface, with the
// interface's addresses followed, the traffic history and the metrics.
// The command's thread sets it up, ticks it once a second and stops it; the
// Monitor and the address watcher run their own threads. Messages go to
// stderr as "corvane-cli: REASON".
#pragma once

#include <atomic>
#include <string>

#include "capture/capture_protocol.h"
#include "engine/monitor.h"
#include "platform/address_watcher.h"
#include "platform/clock.h"
#include "tools/cli_options.h"
#include "tools/metrics_publisher.h"

namespace corvane {

class LiveSession {
 public:
  explicit LiveSession(const Options& options);
  LiveSession(const LiveSession&) = delete;
  LiveSession& operator=(const LiveSession&) = delete;

  // Filters, names, history, metrics, the interface and the capture helper,
  // in that order. False after a message when the command must end (exit 1).
  bool Open();
  // Starts counting on the watched interface.
  void Start() { monitor_.Start(interfaceName_); }
  // The second's tick; publishes the metrics after `elapsedSeconds`.
  void Tick(long elapsedSeconds);
  // Prints the kernel's drops and stops the capture.
  void Stop();
  // After Stop: the address watcher, the last metrics, --flows and
  // --save-log. False when the metrics or the log failed.
  bool Finish();

  Monitor& monitor() { return monitor_; }
  // The interface Open() chose.
  const std::string& interfaceName() const { return interfaceName_; }
  const char* AttributionText() const;

 private:
  const Options& options_;
  // Set by the capture thread whenever a helper starts.
  std::atomic<capture::AttributionMode> mode_{capture::AttributionMode::kProc};
  Monitor monitor_;
  MetricsPublisher metrics_;
  AddressWatcher addresses_;
  std::string interfaceName_;
};

// SIGINT and SIGTERM (and SIGHUP when `hangUp`) set the flag Interrupted()
// reads; SIGPIPE is ignored, so a reader that goes away ends the command in
// order (history and log saved).
void CatchEndSignals(bool hangUp);
bool Interrupted();

}  // namespace corvane
