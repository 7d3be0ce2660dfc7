// The Monitor's shared state, for tests and benchmarks that plant flows,
// read the queues or set the port map directly. The program itself (ui/,
// tools/) never includes this header: it talks to the Monitor's commands,
// and scripts/check-layers rejects an include of it there.
#pragma once

#include "engine/monitor.h"

namespace corvane {

struct MonitorInternals {
  static TrafficState& State(Monitor& monitor) { return monitor.state_; }
};

inline TrafficState& StateOf(Monitor& monitor) { return MonitorInternals::State(monitor); }

}  // namespace corvane
