// Waiters for tests: a capture retry or a processing pass comes after a
// millisecond instead of a second, and a test waits for the rounds it needs
// to have passed instead of sleeping for them. A TestEnv hands them out;
// must outlive the Monitor whose waiters it made.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/waiter.h"

namespace corvane::testing {

class QuickWaiters {
 public:
  std::unique_ptr<Waiter> Make() { return std::make_unique<Quick>(*this); }
  // Waits until `more` waits, of any waiter made, have ended since the
  // call; false when that takes over 10 seconds.
  bool WaitForRounds(uint64_t more) {
    std::unique_lock lock(mutex_);
    const uint64_t target = rounds_ + more;
    return ended_.wait_for(lock, std::chrono::seconds(10), [&] { return rounds_ >= target; });
  }

 private:
  class Quick final : public Waiter {
   public:
    explicit Quick(QuickWaiters& owner) : owner_(owner) {}
    void WaitFor(std::chrono::milliseconds) override {
      inner_.WaitFor(std::chrono::milliseconds(1));
      {
        std::lock_guard lock(owner_.mutex_);
        ++owner_.rounds_;
      }
      owner_.ended_.notify_all();
    }
    void Wake() override { inner_.Wake(); }

   private:
    QuickWaiters& owner_;
    SteadyWaiter inner_;
  };

  std::mutex mutex_;
  std::condition_variable ended_;
  uint64_t rounds_ = 0;
};

}  // namespace corvane::testing
