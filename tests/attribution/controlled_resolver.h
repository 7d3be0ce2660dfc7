// A resolver for tests: each lookup waits until the test answers it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "attribution/resolver_pool.h"

namespace corvane::testing {

// Generous limit for waits on other threads; reaching it fails the test
// instead of hanging it. Nothing is timed.
inline constexpr std::chrono::seconds kPatience{30};

class ControlledResolver {
 public:
  // Queues one answer for the next lookup of `address` (nullopt: no name).
  void Answer(uint32_t address, std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    answers_[address].push_back(std::move(name));
    changed_.notify_all();
  }
  // Every lookup from now on gets `name` at once when it has no queued
  // answer.
  void AnswerAllWith(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(name);
    answerAll_ = true;
    changed_.notify_all();
  }
  // The next lookups throw, as a lookup that ran out of memory would.
  void FailWithException() {
    std::lock_guard lock(mutex_);
    throwNext_ = true;
  }

  std::optional<std::string> Lookup(uint32_t address) {
    std::unique_lock lock(mutex_);
    asked_.push_back(address);
    maxInFlight_ = std::max(maxInFlight_, ++inFlight_);
    changed_.notify_all();
    if (throwNext_) {
      throwNext_ = false;
      --inFlight_;
      throw std::runtime_error("lookup failed");
    }
    changed_.wait(lock, [&] { return !answers_[address].empty() || answerAll_; });
    std::optional<std::string> name = fallback_;
    if (!answers_[address].empty()) {
      name = std::move(answers_[address].front());
      answers_[address].pop_front();
    }
    --inFlight_;
    changed_.notify_all();
    return name;
  }

  // Waits until at least `count` lookups have started.
  bool WaitAsked(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return asked_.size() >= count; });
  }
  size_t AskedCount() {
    std::lock_guard lock(mutex_);
    return asked_.size();
  }
  size_t MaxInFlight() {
    std::lock_guard lock(mutex_);
    return maxInFlight_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<uint32_t, std::deque<std::optional<std::string>>> answers_;
  std::optional<std::string> fallback_;
  bool answerAll_ = false;
  bool throwNext_ = false;
  std::vector<uint32_t> asked_;
  size_t inFlight_ = 0;
  size_t maxInFlight_ = 0;
};

// Set when the last copy of a lookup function is gone, which happens only
// once every pool thread that could run it has ended.
class ExitLatch {
 public:
  void Set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    cv_.notify_all();
  }
  bool Wait() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kPatience, [&] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

// The lookup function of `resolver` for a pool; `latch` is set when the
// pool's threads have all ended.
inline ResolverPool::LookupFn LookupOf(std::shared_ptr<ControlledResolver> resolver,
                                       std::shared_ptr<ExitLatch> latch = nullptr) {
  struct Sentinel {
    std::shared_ptr<ExitLatch> latch;
    ~Sentinel() {
      if (latch) latch->Set();
    }
  };
  std::shared_ptr<Sentinel> sentinel(new Sentinel{std::move(latch)});
  return [resolver = std::move(resolver), sentinel](const IpAddress& address) {
    return resolver->Lookup(address.V4Value());
  };
}

}  // namespace corvane::testing
