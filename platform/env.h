// What the engine asks of the operating system, in one place: the clock and
// waiting, threads, the /proc and netlink reads of process attribution,
// opening a capture and host-name lookups.
//
// The Monitor is handed one Env and passes it to its parts (the capture
// loop, the port scanner, the applications' identities, the resolver pool,
// the processing thread). Env::Default() is the real system and lives for
// the whole process. A test that wants one fault derives from EnvWrapper,
// which forwards every call to another Env, and overrides that one call (a
// lookup that never returns, /proc that cannot be read, a capture source of
// its own).
//
// Every call may come from any thread, several at once; an Env must outlive
// every user, including a host-name lookup that a stopped resolver pool
// abandoned. Failures are values, as each call says.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/app_identity.h"
#include "platform/capture_source.h"
#include "platform/clock.h"
#include "platform/helper_capture.h"
#include "platform/ip_address.h"
#include "platform/sock_diag.h"
#include "platform/status.h"
#include "platform/waiter.h"

namespace corvane {

// What to capture on, and how.
struct CaptureRequest {
  std::string interfaceName;
  // Set: through the capture helper run with these options (the window and
  // corvane-cli hold no capability). Null: live capture opened by this
  // process itself (tests and benchmarks, as root).
  const HelperCaptureOptions* helper = nullptr;
};

class Env : public Clock {
 public:
  // The real system.
  static Env& Default();

  // Clock: Now() is the seconds since 1970 (UTC) that stamp the traffic.

  // A waiter of the calling worker's own (see platform/waiter.h).
  virtual std::unique_ptr<Waiter> NewWaiter() = 0;

  // Starts `body` on a new thread named `name` (at most 15 characters are
  // kept). The caller owns the thread and joins it. Throws std::system_error
  // when the system cannot start one, as std::thread does.
  virtual std::thread StartThread(const std::string& name, std::function<void()> body) = 0;

  // The folder the kernel's process and socket tables are read from
  // ("/proc"): the port scanner's port tables and process table.
  virtual std::string ProcRoot() const = 0;
  // The application of a running process (platform/app_identity.h);
  // nullopt when it is gone or cannot be read.
  virtual std::optional<AppIdentity> ReadAppIdentity(int pid) = 0;
  // The socket of one flow, asked of the kernel over NETLINK_SOCK_DIAG (see
  // platform/sock_diag.h); failures are in the result.
  virtual SocketLookupResult FindSocket(uint8_t protocol, const IpAddress& localAddress,
                                        uint16_t localPort, const IpAddress& remoteAddress,
                                        uint16_t remotePort) = 0;

  // Opens capture as `request` says. Returns null, with `status` saying why,
  // when it cannot be opened.
  virtual std::unique_ptr<CaptureSource> OpenCapture(const CaptureRequest& request,
                                                     Status& status) = 0;

  // The name of `address` by the rule of platform/host_names.h (the system
  // resolver for public addresses, /etc/hosts for the user's own networks),
  // or nullopt. May block for as long as the resolver takes.
  virtual std::optional<std::string> LookUpHostName(const IpAddress& address) = 0;
};

// Forwards every call to `target`; a test overrides the calls it wants to
// change. Overriding one call does not change what the target's others do.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : target_(target) {}
  Env& target() const { return target_; }

  int64_t Now() const override { return target_.Now(); }
  std::unique_ptr<Waiter> NewWaiter() override { return target_.NewWaiter(); }
  std::thread StartThread(const std::string& name, std::function<void()> body) override {
    return target_.StartThread(name, std::move(body));
  }
  std::string ProcRoot() const override { return target_.ProcRoot(); }
  std::optional<AppIdentity> ReadAppIdentity(int pid) override {
    return target_.ReadAppIdentity(pid);
  }
  SocketLookupResult FindSocket(uint8_t protocol, const IpAddress& localAddress, uint16_t localPort,
                                const IpAddress& remoteAddress, uint16_t remotePort) override {
    return target_.FindSocket(protocol, localAddress, localPort, remoteAddress, remotePort);
  }
  std::unique_ptr<CaptureSource> OpenCapture(const CaptureRequest& request,
                                             Status& status) override {
    return target_.OpenCapture(request, status);
  }
  std::optional<std::string> LookUpHostName(const IpAddress& address) override {
    return target_.LookUpHostName(address);
  }

 private:
  Env& target_;
};

}  // namespace corvane
