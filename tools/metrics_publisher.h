// The metrics of one corvane-cli watch: the file for node_exporter's
// textfile collector, rewritten every interval, and the /metrics server,
// which always serves the counts of the last second.
//
// The watch loop owns the publisher and calls Start(), Publish() and
// Finish() from its thread (the monitor's owning thread); the monitor's
// capture thread calls SetCaptureState(). Failures are returned as the
// reason: a server that cannot listen, a file that cannot be written.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "engine/monitor.h"
#include "tools/metrics.h"
#include "tools/metrics_server.h"

namespace corvane {

inline constexpr int kDefaultMetricsIntervalSeconds = 15;

struct MetricsOptions {
  std::string file;  // empty: no file
  int intervalSeconds = kDefaultMetricsIntervalSeconds;
  std::optional<MetricsEndpoint> listen;
  std::string tokenFile;  // empty: the server asks for no bearer token
};

class MetricsPublisher {
 public:
  explicit MetricsPublisher(MetricsOptions options) : options_(std::move(options)) {}

  bool enabled() const { return !options_.file.empty() || options_.listen.has_value(); }
  // Starts the server, if one is asked for, with the token of the token
  // file (read here, once). The address it listens on, or nullopt with the
  // reason in `error`.
  std::optional<MetricsEndpoint> Start(std::string& error);
  // The monitor's CaptureStateHandler.
  void SetCaptureState(const Monitor::CaptureState& state);
  // Once a second, with the seconds since the watch started: hands the
  // counts to the server, and writes the file at 0 and every interval. A
  // failure to write is returned when it is new (not the reason returned
  // last time), so that a full disk is reported once, not every interval.
  std::optional<std::string> Publish(Monitor& monitor, long elapsedSeconds);
  // The last counts, after the monitor stopped: writes the file and stops
  // the server. Returns any failure to write.
  std::optional<std::string> Finish(Monitor& monitor);

 private:
  std::optional<std::string> Write(const MetricsSnapshot& snapshot);
  MetricsSnapshot Snapshot(Monitor& monitor);

  const MetricsOptions options_;
  MetricsServer server_;
  std::string lastError_;
  uint64_t lastCaptureDrops_ = 0;
  uint64_t dropsOfEndedCaptures_ = 0;
  Mutex stateMutex_;
  Monitor::CaptureState state_ GUARDED_BY(stateMutex_);
};

}  // namespace corvane
