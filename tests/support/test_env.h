// The tests' system environment: the real one, except for what a test sets
// before the Monitor starts: the time (a ManualClock the test moves), quick
// waiters (a retry or a pass after a millisecond, counted), the capture
// source that opening a capture gives. It counts the threads started through
// it, so that a test can wait until all of them have ended (a lookup the
// monitor abandoned included). Must outlive the Monitor that uses it and
// every thread it started.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/env.h"
#include "tests/support/quick_waiters.h"

namespace corvane::testing {

class TestEnv : public EnvWrapper {
 public:
  using Opener = std::function<std::unique_ptr<CaptureSource>(const std::string& interfaceName,
                                                               Status& status)>;

  TestEnv() : EnvWrapper(Env::Default()) {}
  explicit TestEnv(const Clock& clock, QuickWaiters* waiters = nullptr)
      : EnvWrapper(Env::Default()), clock_(&clock), waiters_(waiters) {}

  // Every capture opened gets its source from `opener`, helper or not.
  void SetCaptureOpener(Opener opener) { opener_ = std::move(opener); }

  int64_t Now() const override { return clock_ ? clock_->Now() : EnvWrapper::Now(); }
  std::unique_ptr<Waiter> NewWaiter() override {
    return waiters_ ? waiters_->Make() : EnvWrapper::NewWaiter();
  }
  std::unique_ptr<CaptureSource> OpenCapture(const CaptureRequest& request,
                                             Status& status) override {
    return opener_ ? opener_(request.interfaceName, status) : EnvWrapper::OpenCapture(request, status);
  }
  std::thread StartThread(const std::string& name, std::function<void()> body) override {
    {
      std::lock_guard lock(threadsMutex_);
      ++liveThreads_;
    }
    try {
      return EnvWrapper::StartThread(name, [this, body = std::move(body)]() mutable {
        body();
        body = nullptr;  // what the thread owned goes before it counts as ended
        std::lock_guard lock(threadsMutex_);
        --liveThreads_;
        threadsEnded_.notify_all();
      });
    } catch (...) {
      std::lock_guard lock(threadsMutex_);
      --liveThreads_;
      throw;
    }
  }

  // Waits until every thread started through this environment has ended;
  // false after 30 seconds.
  bool WaitForThreadsToEnd() {
    std::unique_lock lock(threadsMutex_);
    return threadsEnded_.wait_for(lock, std::chrono::seconds(30), [&] { return liveThreads_ == 0; });
  }

 private:
  const Clock* clock_ = nullptr;
  QuickWaiters* waiters_ = nullptr;
  Opener opener_;
  std::mutex threadsMutex_;
  std::condition_variable threadsEnded_;
  size_t liveThreads_ = 0;
};

// The real system, except that the kernel's tables are read from `root`, a
// folder laid out like /proc.
class ProcRootEnv final : public EnvWrapper {
 public:
  explicit ProcRootEnv(std::string root) : EnvWrapper(Env::Default()), root_(std::move(root)) {}
  std::string ProcRoot() const override { return root_; }

 private:
  std::string root_;
};

}  // namespace corvane::testing
