// Reverse lookups of remote addresses on a small pool of threads.
//
// The processing thread asks for the name of every new address-flow row
// while it holds listMutex, so Request() only appends to a queue and never
// waits for a lookup. A few threads (8 by default) take addresses from the
// queue, look each one up with no lock held, and hand the names to the
// apply function (the Monitor's ApplyHostName), one at a time. A lookup that
// gives no name changes nothing.
//
// The pool owns its threads. Stop() abandons the queue and sets the shared
// stopped flag; idle threads end at once and are joined. A thread inside a
// lookup cannot be interrupted (the system resolver may take seconds), so
// Stop() waits for it at most kStopGrace and then hands it to the process's
// abandoned-lookup owner, which joins it once its lookup returns (at the next
// hand-over, or at exit for at most kExitGrace; one still stuck after that
// ends with the process). An abandoned thread owns nothing but the pool's
// shared state and never calls the apply function again, so whatever the
// apply function refers to may be destroyed as soon as Stop() returns.
// Stop() waits for an apply call that is already running.
//
// Request() is safe from any thread; Start, Stop and WaitIdle are for the
// owner's thread. The apply function must not call Stop().
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "platform/ip_address.h"
#include "platform/mutex.h"

namespace corvane {

class ResolverPool {
 public:
  // The host's name for an address, or nullopt. Called on pool threads,
  // several at once.
  using LookupFn = std::function<std::optional<std::string>(const IpAddress& address)>;
  // Writes a name into the list; `tag` is the one the request carried (the
  // row that asked). Called on pool threads, one at a time.
  using ApplyFn = std::function<void(const IpAddress& address, uint64_t tag, const std::string& name)>;

  static constexpr size_t kDefaultThreads = 8;
  // Addresses waiting beyond this many are dropped (their rows keep the
  // dotted address), so a flood of new flows cannot grow the queue without
  // end.
  static constexpr size_t kMaxQueued = 65536;
  // How long Stop() waits for lookups in flight before it abandons them,
  // and how long the process's exit waits for abandoned ones.
  static constexpr std::chrono::milliseconds kStopGrace{100};
  static constexpr std::chrono::milliseconds kExitGrace{500};

  // The threads are started through `env`.
  ResolverPool(LookupFn lookup, ApplyFn apply, size_t threads, Env& env);
  // Stops the pool (see Stop()).
  ~ResolverPool();
  ResolverPool(const ResolverPool&) = delete;
  ResolverPool& operator=(const ResolverPool&) = delete;

  // Queues a lookup of `address` for the asker `tag`. Never blocks on a
  // lookup; false when the pool is stopped, has no thread or the queue is
  // full.
  bool Request(const IpAddress& address, uint64_t tag = 0);

  // Drops the queued lookups, joins the threads that end within kStopGrace
  // and abandons the rest (see above); returns once no apply call is
  // running. Names that arrive later are dropped. Idempotent.
  void Stop();

  // Waits until the queue is empty and no lookup or apply is in progress,
  // or until `timeout` has passed. True when idle (or stopped).
  bool WaitIdle(std::chrono::milliseconds timeout);

  // Threads that could be started (0 when the system refused every one).
  size_t ThreadCount() const { return threadCount_; }

 private:
  struct State {
    LookupFn lookup;
    ApplyFn apply;
    Mutex mutex;                          // the queue's mutex
    std::condition_variable_any work;     // a request arrived, or the pool stopped
    std::condition_variable_any idle;     // the pool may have become idle, or a thread ended
    std::deque<std::pair<IpAddress, uint64_t>> queue GUARDED_BY(mutex);
    size_t busy GUARDED_BY(mutex) = 0;       // lookups and applies running
    size_t live GUARDED_BY(mutex) = 0;       // threads not yet returned
    bool stopped GUARDED_BY(mutex) = false;  // set holding applyMutex too
    // Held around every apply call and by Stop() while it sets `stopped`,
    // so no apply starts after Stop() or runs past it. Taken before
    // `mutex`, and before the list's mutex inside the apply function.
    Mutex applyMutex;
  };

  static void Worker(std::shared_ptr<State> state);

  std::shared_ptr<State> state_;
  std::vector<std::thread> threads_;  // empty once stopped
  size_t threadCount_ = 0;
};

}  // namespace corvane
