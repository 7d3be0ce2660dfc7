// Live capture through the capture helper (corvane-capture): the window and
// corvane-cli capture without holding any capability themselves.
//
// OpenHelperCapture starts the helper from its fixed installed path with an
// empty environment, its socketpair end as descriptor 3 and nothing else
// inherited, sends the one request (the interface name) and waits for the
// helper to say the capture is open. Next() then reads frames from the
// record stream and strips their link-layer header like the direct source.
//
// Threads: as for every CaptureSource, one reading thread; Interrupt() and
// DroppedByKernel() from any thread.
//
// Failure: opening fails with a message that says how to fix it (helper
// missing: the install command; permission denied: the group to join; the
// helper's own error). A helper that dies or sends a damaged stream makes
// Next() answer Error once with the reason, then EndOfFile; the caller opens
// a new source to go on.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "capture/capture_protocol.h"
#include "platform/capture_source.h"
#include "platform/helper_records.h"

namespace corvane {

// Where scripts/install-capture puts the helper, fixed at build time.
extern const char* const kCaptureHelperPath;
// The helper to run: libexec/corvane/corvane-capture beside the running
// program's own prefix when it is there (an installed package), else
// kCaptureHelperPath. Neither comes from the environment; a helper that is
// not the root-owned installed file holds no capability anyway.
std::string DefaultCaptureHelperPath();
// What to run to install it.
inline constexpr const char* kCaptureInstallCommand = "sudo scripts/install-capture";
// The group whose members may run the helper.
inline constexpr const char* kCaptureGroup = "corvane";

// How flows are named in `mode`, for the user: "kernel events" or
// "/proc (own programs only)".
const char* AttributionModeText(capture::AttributionMode mode);

struct HelperCaptureOptions {
  // Tests run a helper of their own build; the window and corvane-cli
  // always use DefaultCaptureHelperPath().
  std::string helperPath = DefaultCaptureHelperPath();
  // Called once, on the reading thread, when a helper that was capturing
  // stops (dies, fails or sends a damaged stream), with the reason.
  std::function<void(const std::string& reason)> onStopped;
  // Called on the opening thread once the capture is open, with the way
  // the helper names sockets.
  std::function<void(capture::AttributionMode mode)> onReady;
  // Called on the reading thread for every socket the kernel reported; the
  // owner's name views the stream and lasts for the call only.
  std::function<void(const SocketOwner& owner)> onSocketOwner;
};

class HelperCapture final : public CaptureSource {
 public:
  // `pending`: bytes already read from the socket behind the Ready record.
  HelperCapture(pid_t pid, int socketFd, int wakeFd, int linkType,
                std::span<const uint8_t> pending, const HelperCaptureOptions& options,
                capture::AttributionMode mode);
  ~HelperCapture() override;

  ReadStatus Next(CapturedDatagram& datagram, Status& status) override;
  void Interrupt() override;
  uint64_t DroppedByKernel() const override { return drops_.load(std::memory_order_relaxed); }

  pid_t pid() const { return pid_; }
  capture::AttributionMode attributionMode() const { return mode_; }

 private:
  // Ends the source with `reason`; `stop` kills a helper that is still running.
  ReadStatus Stopped(Status& status, const std::string& reason, bool stop);

  const pid_t pid_;
  bool reaped_ = false;
  const int socketFd_;
  const int wakeFd_;
  const int linkType_;
  const std::function<void(const std::string&)> onStopped_;
  const std::function<void(const SocketOwner&)> onSocketOwner_;
  const capture::AttributionMode mode_;
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool ended_ = false;
  std::atomic<uint64_t> drops_{0};
  std::atomic<bool> interrupted_{false};
};

// Captures on the interface named `interfaceName` through the helper.
// Returns null, with `status` saying why, when the helper cannot be started
// or cannot open the capture.
std::unique_ptr<HelperCapture> OpenHelperCapture(const std::string& interfaceName,
                                                 Status& status,
                                                 const HelperCaptureOptions& options = {});

// The same for the interface that holds `interfaceAddress` (network byte
// order; 127.x.y.z selects the loopback interface).
std::unique_ptr<CaptureSource> OpenHelperCaptureAt(uint32_t interfaceAddress, Status& status,
                                                   const HelperCaptureOptions& options = {});

}  // namespace corvane
