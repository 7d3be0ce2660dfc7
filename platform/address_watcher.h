// Keeps the addresses of the watched interface current: addresses come and
// go while the program runs (DHCP renewals, IPv6 temporary addresses that
// rotate every few hours, a cable plugged in).
//
// The owner (the window or corvane-cli) starts and stops the watcher from
// one thread. Start() lists the interface's addresses, hands them to the
// handler before it returns, then runs a thread of its own that listens to
// the kernel's address and link announcements (rtnetlink) and hands over the
// addresses again whenever they changed. The handler runs on that thread and
// must be thread-safe (Monitor::SetLocalNetworks is). An interface that does
// not exist, or goes away, has no addresses until it comes back by the same
// name.
//
// Failure: Start() fails with the reason when the announcements
// cannot be subscribed to; the handler has then still been given the
// addresses of this moment. A lost announcement (the socket's buffer ran
// over) makes the thread list the addresses afresh.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "platform/ip_address.h"
#include "platform/status.h"

namespace corvane {

class AddressWatcher {
 public:
  using Handler = std::function<void(const LocalNetworks& networks)>;

  AddressWatcher() = default;
  ~AddressWatcher();
  AddressWatcher(const AddressWatcher&) = delete;
  AddressWatcher& operator=(const AddressWatcher&) = delete;

  // Stops any watch before, then watches `interfaceName`.
  Status Start(const std::string& interfaceName, Handler handler);
  // Ends the thread and joins it; the handler is not called afterwards.
  void Stop();

  const std::string& interfaceName() const { return interfaceName_; }

 private:
  void Run();
  // Lists the interface's addresses and hands them over when they differ
  // from the last ones handed over.
  void Publish();

  std::string interfaceName_;
  Handler handler_;
  LocalNetworks last_;  // watcher thread after Start() returned
  int socket_ = -1;
  int wake_ = -1;
  std::thread thread_;
};

}  // namespace corvane
