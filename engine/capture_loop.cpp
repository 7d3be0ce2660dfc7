#include "engine/capture_loop.h"

#include <chrono>
#include <optional>

namespace corvane {

namespace {
// The interface may come back: capture is tried again this often.
constexpr std::chrono::milliseconds kRetryInterval{1000};
}  // namespace

std::string CaptureErrorText(const std::string& interfaceName, const std::string& reason) {
  std::string text = "Can't capture on " + interfaceName;
  if (reason.empty()) return text;
  // Openers' reasons often name the interface first already.
  if (reason.starts_with(interfaceName + ": ")) return "Can't capture on " + reason;
  return text + ": " + reason;
}

CaptureLoop::CaptureLoop(Env& env, DatagramSink sink) : env_(env), sink_(std::move(sink)) {}

std::unique_ptr<CaptureSource> CaptureLoop::Open(const std::string& interfaceName, Status& status) {
  if (!helper_) return env_.OpenCapture({interfaceName, nullptr}, status);
  std::unique_ptr<CaptureSource> source = std::move(helper_->first);
  if (!source) source = env_.OpenCapture({interfaceName, &helper_->options}, status);
  if (helper_->opened) helper_->opened(source ? std::string() : status.reason);
  return source;
}

void CaptureLoop::Thread(Run& run, const std::string& interfaceName) {
  if (handlers_.title) handlers_.title("Corvane [" + interfaceName + "]");

  std::unique_ptr<CaptureSource> source;
  bool reported = false;
  std::optional<CaptureState> told;
  auto tell = [&](bool capturing, std::string reason) {
    CaptureState state{capturing, interfaceName, std::move(reason)};
    if (told == state) return;
    told = state;
    if (handlers_.state) handlers_.state(state);
  };
  auto open = [&] {
    Status opened;
    source = Open(interfaceName, opened);
    if (!source && opened.reason.empty()) opened = Status::Failed("capture could not be opened");
    tell(source != nullptr, source ? std::string() : opened.reason);
    MutexLock lock(run.sourceMutex);
    run.source = source.get();
    if (source && run.stop.load()) source->Interrupt();
    if (!source && !reported) {
      reported = true;
      if (handlers_.error) handlers_.error(CaptureErrorText(interfaceName, opened.reason));
    }
  };
  auto close = [&] {
    MutexLock lock(run.sourceMutex);
    run.source = nullptr;
    source.reset();
  };

  open();
  CapturedDatagram datagram;
  Status read;
  while (!run.stop.load()) {
    if (!source) {
      // Never spinning: one attempt per interval, and Stop() wakes the wait.
      run.waiter->WaitFor(kRetryInterval);
      if (!run.stop.load()) open();
      continue;
    }
    switch (source->Next(datagram, read)) {
      case ReadStatus::Datagram:
        if (auto info = ParsePacketInfo(datagram.bytes, datagram.wireLength)) {
          info->captured = &datagram;
          sink_(*info);
        }
        break;
      case ReadStatus::Timeout:
      case ReadStatus::Interrupted:
        break;
      case ReadStatus::EndOfFile:
      case ReadStatus::Error:
        tell(false, read.ok ? std::string("the capture ended") : read.reason);
        read = Status::Ok();
        close();
        break;
    }
  }
  close();
}

void CaptureLoop::Stop() {
  if (!run_) return;
  run_->stop.store(true);
  run_->waiter->Wake();
  {
    MutexLock lock(run_->sourceMutex);
    if (run_->source) run_->source->Interrupt();
  }
  if (run_->thread.joinable()) run_->thread.join();
  run_.reset();
}

uint64_t CaptureLoop::DroppedByKernel() {
  if (!run_) return 0;
  MutexLock lock(run_->sourceMutex);
  return run_->source ? run_->source->DroppedByKernel() : 0;
}

void CaptureLoop::Start(const std::string& interfaceName) {
  Stop();
  run_ = std::make_unique<Run>();
  run_->waiter = env_.NewWaiter();
  Run& run = *run_;
  run.thread = env_.StartThread("corvane-capture",
                                [this, &run, interfaceName] { Thread(run, interfaceName); });
}

}  // namespace corvane
