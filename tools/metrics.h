// What corvane-cli watch tells Prometheus: bytes per application, direction
// and address family, datagrams, datagrams the kernel dropped, and whether
// capture runs. Labels carry no remote address and no pid, so the number of
// series stays that of the applications.
//
// Two texts of the same snapshot: the Prometheus text format (version
// 0.0.4), which node_exporter's textfile collector and `promtool check
// metrics` read, and OpenMetrics 1.0 for scrapers that ask for it.
// Application and interface names come from the system and may hold any
// byte; they are escaped, and bytes that are not UTF-8 become U+FFFD, so no
// name can break either format.
//
// Pure functions, safe on any thread, except TakeMetricsSnapshot (the thread
// that owns the monitor) and WriteMetricsFile (any thread; failures come
// back as a Status).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/application_traffic.h"
#include "engine/monitor.h"
#include "platform/status.h"

namespace corvane {

struct MetricsSnapshot {
  std::vector<ApplicationBytes> applications;
  uint64_t datagrams = 0;
  uint64_t kernelDrops = 0;
  bool capturing = false;
  std::string interfaceName;
};

// The monitor's counts now, with the capture state its handler last gave.
// Calls CaptureDroppedByKernel(): the monitor's owning thread only.
MetricsSnapshot TakeMetricsSnapshot(Monitor& monitor, const Monitor::CaptureState& state);

// A label value between the quotes of either format: backslash, double
// quote and line feed escaped, invalid UTF-8 replaced.
std::string EscapeLabelValue(std::string_view value);

// OpenMetrics 1.0 text, ending in "# EOF".
std::string RenderOpenMetrics(const MetricsSnapshot& snapshot);
// The Prometheus text format 0.0.4.
std::string RenderPrometheusText(const MetricsSnapshot& snapshot);

// Replaces `path` with the Prometheus text of `snapshot` (temporary file in
// the same folder, flushed, renamed; the folder flushed too), so that a
// collector never reads half a file. On failure `path` is as it was.
Status WriteMetricsFile(const std::string& path, const MetricsSnapshot& snapshot);

}  // namespace corvane
