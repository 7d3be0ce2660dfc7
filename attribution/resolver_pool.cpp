#include "attribution/resolver_pool.h"

#include <algorithm>
#include <cstdlib>
#include <system_error>

namespace corvane {

namespace {

// The owner of the threads of stopped pools that were still inside a lookup.
// It lives for the whole process (it is never destroyed, so a thread still
// stuck at exit is no std::thread destroyed while joinable): it joins the
// threads whose lookups have returned whenever a pool hands over more, and
// at exit waits up to ResolverPool::kExitGrace for the rest and joins those
// that end.
class AbandonedLookups {
 public:
  // Waits until every thread of a group has returned, for at most `wait`;
  // true when they have.
  using WaitEnded = std::function<bool(std::chrono::milliseconds wait)>;

  static AbandonedLookups& Instance() {
    static AbandonedLookups* const instance = [] {
      auto* created = new AbandonedLookups;
      std::atexit([] { Instance().JoinAtExit(); });
      return created;
    }();
    return *instance;
  }

  void Adopt(std::vector<std::thread> threads, WaitEnded waitEnded) {
    MutexLock lock(mutex_);
    for (auto group = groups_.begin(); group != groups_.end();) {
      if (group->waitEnded(std::chrono::milliseconds(0))) {
        for (std::thread& thread : group->threads) thread.join();
        group = groups_.erase(group);
      } else {
        ++group;
      }
    }
    groups_.push_back({std::move(threads), std::move(waitEnded)});
  }

 private:
  struct Group {
    std::vector<std::thread> threads;
    WaitEnded waitEnded;
  };

  void JoinAtExit() {
    MutexLock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + ResolverPool::kExitGrace;
    for (Group& group : groups_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (group.waitEnded(std::max(left, std::chrono::milliseconds(0)))) {
        for (std::thread& thread : group.threads) thread.join();
        group.threads.clear();
      }
    }
  }

  Mutex mutex_;
  std::vector<Group> groups_ GUARDED_BY(mutex_);
};

}  // namespace

ResolverPool::ResolverPool(LookupFn lookup, ApplyFn apply, size_t threads, Env& env)
    : state_(std::make_shared<State>()) {
  state_->lookup = std::move(lookup);
  state_->apply = std::move(apply);
  for (size_t i = 0; i < threads; ++i) {
    try {
      {
        MutexLock lock(state_->mutex);
        ++state_->live;
      }
      threads_.push_back(env.StartThread("corvane-names", [state = state_] { Worker(state); }));
      ++threadCount_;
    } catch (const std::system_error&) {
      MutexLock lock(state_->mutex);
      --state_->live;
      break;  // fewer threads, or none: lookups are an extra, not a need
    }
  }
}

ResolverPool::~ResolverPool() { Stop(); }

bool ResolverPool::Request(const IpAddress& address, uint64_t tag) {
  {
    MutexLock lock(state_->mutex);
    if (state_->stopped || threadCount_ == 0 || state_->queue.size() >= kMaxQueued) return false;
    state_->queue.push_back({address, tag});
  }
  state_->work.notify_one();
  return true;
}

void ResolverPool::Stop() {
  {
    MutexLock applyLock(state_->applyMutex);
    MutexLock lock(state_->mutex);
    if (state_->stopped) return;
    state_->stopped = true;
    state_->queue.clear();
  }
  state_->work.notify_all();
  state_->idle.notify_all();
  // Holds the shared state only while it waits: the state (and the lookup
  // and apply functions in it) goes with the last thread that returns.
  AbandonedLookups::WaitEnded waitEnded = [weak = std::weak_ptr<State>(state_)](
                                              std::chrono::milliseconds wait) {
    const std::shared_ptr<State> state = weak.lock();
    if (!state) return true;  // every thread has returned from Worker()
    MutexLock lock(state->mutex);
    return state->idle.wait_for(lock, wait, [&state]() REQUIRES(state->mutex) {
      return state->live == 0;
    });
  };
  if (waitEnded(kStopGrace)) {
    for (std::thread& thread : threads_) thread.join();
  } else {
    AbandonedLookups::Instance().Adopt(std::move(threads_), std::move(waitEnded));
  }
  threads_.clear();
}

bool ResolverPool::WaitIdle(std::chrono::milliseconds timeout) {
  MutexLock lock(state_->mutex);
  return state_->idle.wait_for(lock, timeout, [this]() REQUIRES(state_->mutex) {
    return state_->stopped || (state_->queue.empty() && state_->busy == 0);
  });
}

void ResolverPool::Worker(std::shared_ptr<State> state) {
  MutexLock lock(state->mutex);
  while (true) {
    state->work.wait(lock, [&]() REQUIRES(state->mutex) {
      return state->stopped || !state->queue.empty();
    });
    if (state->stopped) break;
    const auto [address, tag] = state->queue.front();
    state->queue.pop_front();
    ++state->busy;
    lock.unlock();

    std::optional<std::string> name;
    try {
      name = state->lookup(address);
    } catch (...) {
      name.reset();  // a failed lookup: the row keeps its address
    }
    if (name && !name->empty()) {
      MutexLock applyLock(state->applyMutex);
      // Checked under applyMutex: once Stop() has set the flag, the owner
      // of the apply function may already be gone.
      bool stopped;
      {
        MutexLock check(state->mutex);
        stopped = state->stopped;
      }
      if (!stopped) {
        try {
          state->apply(address, tag, *name);
        } catch (...) {
          // Out of memory while renaming one row: that row keeps its text.
        }
      }
    }

    lock.lock();
    --state->busy;
    if (state->queue.empty() && state->busy == 0) state->idle.notify_all();
  }
  --state->live;
  state->idle.notify_all();
}

}  // namespace corvane
