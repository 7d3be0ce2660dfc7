#include "platform/env.h"

#include <pthread.h>

#include "platform/host_names.h"
#include "platform/net.h"

namespace corvane {

namespace {

class SystemEnv final : public Env {
 public:
  int64_t Now() const override { return clock_.Now(); }
  std::unique_ptr<Waiter> NewWaiter() override { return std::make_unique<SteadyWaiter>(); }

  std::thread StartThread(const std::string& name, std::function<void()> body) override {
    return std::thread([name = name.substr(0, 15), body = std::move(body)] {
      // Only for ps, top and debuggers: a name that is refused changes nothing.
      (void)::pthread_setname_np(::pthread_self(), name.c_str());
      body();
    });
  }

  std::string ProcRoot() const override { return "/proc"; }
  std::optional<AppIdentity> ReadAppIdentity(int pid) override {
    return corvane::ReadAppIdentity(pid, ProcRoot());
  }
  SocketLookupResult FindSocket(uint8_t protocol, const IpAddress& localAddress, uint16_t localPort,
                                const IpAddress& remoteAddress, uint16_t remotePort) override {
    // A SocketDiag is for one thread: each asking thread keeps its own
    // netlink socket, closed when the thread ends.
    thread_local SocketDiag diag;
    return diag.Find(protocol, localAddress, localPort, remoteAddress, remotePort);
  }

  std::unique_ptr<CaptureSource> OpenCapture(const CaptureRequest& request,
                                             Status& status) override {
    if (request.helper) return OpenHelperCapture(request.interfaceName, status, *request.helper);
    return OpenLiveCapture(request.interfaceName, status);
  }

  std::optional<std::string> LookUpHostName(const IpAddress& address) override {
    return NameForAddress(address, ReverseLookup);
  }

 private:
  SystemClock clock_;
};

}  // namespace

Env& Env::Default() {
  // Never destroyed: threads that outlive main() (an abandoned lookup) may
  // still call it.
  static Env* const env = new SystemEnv;
  return *env;
}

}  // namespace corvane
