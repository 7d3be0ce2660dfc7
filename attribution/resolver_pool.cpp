#include "attribution/resolver_pool.h"

#include <system_error>
#include <thread>

namespace corvane {

ResolverPool::ResolverPool(LookupFn lookup, ApplyFn apply, size_t threads)
    : state_(std::make_shared<State>()) {
  state_->lookup = std::move(lookup);
  state_->apply = std::move(apply);
  for (size_t i = 0; i < threads; ++i) {
    try {
      std::thread(Worker, state_).detach();
      ++threadCount_;
    } catch (const std::system_error&) {
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
    if (state->stopped) return;
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
}

}  // namespace corvane
