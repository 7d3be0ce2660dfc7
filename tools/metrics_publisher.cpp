#include "tools/metrics_publisher.h"

#include <cstring>

namespace corvane {

std::optional<MetricsEndpoint> MetricsPublisher::Start(std::string& error) {
  if (!options_.listen) return MetricsEndpoint{};
  if (!options_.tokenFile.empty()) {
    std::string token;
    if (Status read = ReadMetricsToken(options_.tokenFile, token); !read) {
      error = read.reason;
      return std::nullopt;
    }
    server_.RequireBearerToken(std::move(token));
  }
  if (Status started = server_.Start(*options_.listen); !started) {
    error = started.reason;
    return std::nullopt;
  }
  MetricsEndpoint bound = *options_.listen;
  bound.port = server_.port();
  return bound;
}

void MetricsPublisher::SetCaptureState(const Monitor::CaptureState& state) {
  MutexLock lock(stateMutex_);
  state_ = state;
}

MetricsSnapshot MetricsPublisher::Snapshot(Monitor& monitor) {
  Monitor::CaptureState state;
  {
    MutexLock lock(stateMutex_);
    state = state_;
  }
  MetricsSnapshot snapshot = TakeMetricsSnapshot(monitor, state);
  // Each capture counts its drops from zero, and none is open after Stop():
  // a smaller count is a new capture, which adds to the ones before.
  if (snapshot.kernelDrops < lastCaptureDrops_) dropsOfEndedCaptures_ += lastCaptureDrops_;
  lastCaptureDrops_ = snapshot.kernelDrops;
  snapshot.kernelDrops += dropsOfEndedCaptures_;
  return snapshot;
}

std::optional<std::string> MetricsPublisher::Write(const MetricsSnapshot& snapshot) {
  if (options_.file.empty()) return std::nullopt;
  if (Status written = WriteMetricsFile(options_.file, snapshot); !written) {
    return "can't write the metrics file " + options_.file + ": " + std::strerror(written.code);
  }
  return std::nullopt;
}

std::optional<std::string> MetricsPublisher::Publish(Monitor& monitor, long elapsedSeconds) {
  if (!enabled()) return std::nullopt;
  const MetricsSnapshot snapshot = Snapshot(monitor);
  server_.Publish(snapshot);
  if (elapsedSeconds % options_.intervalSeconds != 0) return std::nullopt;
  auto error = Write(snapshot);
  const std::string reason = error.value_or("");
  if (reason == lastError_) return std::nullopt;
  lastError_ = reason;
  return error;
}

std::optional<std::string> MetricsPublisher::Finish(Monitor& monitor) {
  if (!enabled()) return std::nullopt;
  const MetricsSnapshot snapshot = Snapshot(monitor);
  server_.Stop();
  return Write(snapshot);
}

}  // namespace corvane
