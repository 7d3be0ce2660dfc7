// Replaying a capture file through the monitor's own accounting and
// processing, on a clock driven by the datagrams' capture times.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "attribution/port_process_map.h"
#include "engine/monitor.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/helper_records.h"
#include "platform/status.h"

namespace corvane {

struct ReplayResult {
  bool ok = false;
  std::string error;  // one line, when !ok
  uint64_t datagrams = 0;
  // Not ok after the monitor counted some of the file: a damaged record
  // ended it early, and the monitor holds only what came before.
  bool partial = false;
};

// A replay's system: its time is the capture's, set by ReplayCaptureFile,
// and the pids of a capture are another time's, so no process here is read.
class ReplayEnv final : public EnvWrapper {
 public:
  ReplayEnv() : EnvWrapper(Env::Default()) {}
  ManualClock& clock() { return clock_; }
  int64_t Now() const override { return clock_.Now(); }
  std::optional<AppIdentity> ReadAppIdentity(int) override { return std::nullopt; }

 private:
  ManualClock clock_;
};

// Reads every datagram of `path` into `monitor`, whose clock must be
// `clock`. Before each datagram the clock is set to its capture time; the
// window's one-second tick and the processing pass run for every simulated
// second, and a last pass runs 3 seconds after the last datagram so that
// every event is shown. A damaged record ends the replay, not ok and
// `partial`.
// Reads a file of socket owners, as the kernel reports them while a capture
// is taken, for Monitor::UseSocketOwners: one
// owner per line, "PROTOCOL LOCAL_ADDRESS LOCAL_PORT REMOTE_ADDRESS
// REMOTE_PORT PID UID NAME" (PROTOCOL tcp or udp; an unconnected UDP socket
// has remote port 0); blank lines and lines starting with "#" are skipped.
// A line of another shape fails with its number.
struct SocketOwnersResult {
  bool ok = false;
  std::string error;
  std::vector<SocketOwner> owners;
  std::deque<std::string> names;  // what the owners' names view
};
SocketOwnersResult LoadSocketOwners(const std::string& path);

ReplayResult ReplayCaptureFile(const std::string& path, Monitor& monitor, ManualClock& clock);

}  // namespace corvane
