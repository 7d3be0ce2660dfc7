// The capture thread: opens capture on the watched interface, reads its
// datagrams and hands each one that parses to the accounting, and when the
// interface cannot be opened or goes away tries again about once a second.
//
// Start() and Stop() come from the window thread (or corvane-cli's main
// thread); Stop() ends a blocked read, wakes a retry wait and joins. The
// handlers are called on the capture thread: the state whenever it changes,
// the title once per start, the error handler once per start when capture
// cannot be opened at all. Capture is opened, the thread started and the
// retry waited for through the Env given, so tests retry at their own pace
// and hand in capture sources of their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "engine/packet_info.h"
#include "platform/capture_source.h"
#include "platform/env.h"
#include "platform/helper_capture.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "platform/waiter.h"

namespace corvane {

// What the error handler is told when capture on `interfaceName` cannot be
// opened: "Can't capture on NAME: REASON", with the opener's reason.
std::string CaptureErrorText(const std::string& interfaceName, const std::string& reason);

// Whether capture runs on the watched interface, and why not when it does
// not (the opener's or the source's reason).
struct CaptureState {
  bool capturing = false;
  std::string interfaceName;
  std::string reason;
  bool operator==(const CaptureState&) const = default;
};

class CaptureLoop {
 public:
  using DatagramSink = std::function<void(const PacketInfo& info)>;
  struct Handlers {
    std::function<void(const std::string& message)> error;
    std::function<void(const std::string& title)> title;
    std::function<void(const CaptureState& state)> state;
  };

  // How the window and corvane-cli capture: through the capture helper.
  struct HelperRoute {
    HelperCaptureOptions options;
    // Taken by the next start instead of opening a capture (corvane-cli
    // opens one early, so that the user hears at once why it fails).
    std::unique_ptr<CaptureSource> first;
    // Told, on the capture thread, the reason of every capture that could
    // not be opened, or "" when one was.
    std::function<void(const std::string& reason)> opened;
  };

  // `env` must outlive the loop.
  CaptureLoop(Env& env, DatagramSink sink);
  ~CaptureLoop() { Stop(); }
  CaptureLoop(const CaptureLoop&) = delete;
  CaptureLoop& operator=(const CaptureLoop&) = delete;

  // While no capture thread runs (before Start(), after Stop()). Without a
  // route the process opens live capture itself.
  void UseHelper(HelperRoute route) { helper_ = std::make_unique<HelperRoute>(std::move(route)); }
  void SetHandlers(Handlers handlers) { handlers_ = std::move(handlers); }

  // Ends the current capture thread for sure (joined) and starts one on the
  // interface named `interfaceName`.
  void Start(const std::string& interfaceName);
  void Stop();
  // Datagrams the kernel dropped before the current capture could read them
  // (0 while no live capture is open).
  uint64_t DroppedByKernel();

 private:
  struct Run {
    std::thread thread;
    std::atomic<bool> stop{false};
    std::unique_ptr<Waiter> waiter;
    Mutex sourceMutex;
    CaptureSource* source GUARDED_BY(sourceMutex) = nullptr;  // owned by the thread
  };
  void Thread(Run& run, const std::string& interfaceName);
  std::unique_ptr<CaptureSource> Open(const std::string& interfaceName, Status& status);

  Env& env_;
  DatagramSink sink_;
  std::unique_ptr<HelperRoute> helper_;  // used by the capture thread while it runs
  Handlers handlers_;
  std::unique_ptr<Run> run_;  // Start/Stop's thread only
};

}  // namespace corvane
