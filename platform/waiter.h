// How a worker thread waits between rounds (the capture thread between
// attempts to open an interface, the processing thread between passes), and
// how it is woken early to stop.
//
// The program waits on the real clock (SteadyWaiter). A test's Env hands
// out Waiters of its own, so that a retry or a pass comes at the test's pace
// and no test sleeps for one. Each worker thread has a Waiter of its own,
// made by Env::NewWaiter(); Wake() may come from any thread.
#pragma once

#include <chrono>
#include <condition_variable>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace corvane {

class Waiter {
 public:
  virtual ~Waiter() = default;
  // Waits about `duration`; returns at once once Wake() was called.
  virtual void WaitFor(std::chrono::milliseconds duration) = 0;
  // Ends the current wait and every later one. Thread-safe.
  virtual void Wake() = 0;
};

class SteadyWaiter final : public Waiter {
 public:
  void WaitFor(std::chrono::milliseconds duration) override {
    MutexLock lock(mutex_);
    wake_.wait_for(lock, duration, [this]() REQUIRES(mutex_) { return woken_; });
  }
  void Wake() override {
    {
      MutexLock lock(mutex_);
      woken_ = true;
    }
    wake_.notify_all();
  }

 private:
  Mutex mutex_;
  std::condition_variable_any wake_;
  bool woken_ GUARDED_BY(mutex_) = false;
};

}  // namespace corvane
