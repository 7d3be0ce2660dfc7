// What the parts of the monitor share: the live settings, the flows and
// their counters, the event queues, the port map, the source labels, the
// traffic list and the bytes by application.
//
// The Monitor owns one TrafficState and hands it to its parts (accounting on
// the capture thread, the processing pass, row filtering, persistence); each
// member says which threads use it and under which lock in its own header.
// Nothing outside engine/ sees a TrafficState: the window and corvane-cli
// talk to the Monitor.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "attribution/port_process_map.h"
#include "engine/application_traffic.h"
#include "engine/event_queues.h"
#include "engine/flow_table.h"
#include "engine/live_settings.h"
#include "engine/protocol_names.h"
#include "engine/source_labels.h"
#include "engine/traffic_list.h"
#include "platform/env.h"

namespace corvane {

struct TrafficState {
  // Applications are read from `env`, which must outlive the state.
  explicit TrafficState(Env& env)
      : applications([&env](int pid) { return env.ReadAppIdentity(pid); }) {
    for (uint16_t protocol = 0; protocol < protocolLabels.size(); ++protocol) {
      protocolLabels[protocol] = labels.Intern(ProtocolSourceText(protocol));
    }
  }
  TrafficState(const TrafficState&) = delete;
  TrafficState& operator=(const TrafficState&) = delete;

  // Label ids 0 to 255 are the protocols' own labels ("TCP protocol", ...),
  // by protocol number.
  uint32_t ProtocolLabel(uint16_t protocol) const { return protocolLabels[protocol & 0xff]; }

  LiveSettings settings;
  FlowTable flows;
  TrafficCounters counters;
  TrafficList list;
  PacketQueue packetQueue;
  ProxyRequestQueue proxyQueue;
  PortProcessMap portMap;
  SourceLabels labels;
  std::array<uint32_t, 256> protocolLabels{};
  // Counted by the pass under the list's lock; flushed to the history by
  // persistence on the processing thread.
  ApplicationTraffic applications;
  // Datagrams accounted since the start; any thread.
  std::atomic<uint64_t> datagrams{0};
};

}  // namespace corvane
