// The program's mutex and its scoped lock, both known to the lock check of
// platform/thread_annotations.h.
//
// Mutex is a std::mutex that the check treats as a lock, so members marked
// GUARDED_BY(aMutex) may only be touched while it is held. MutexLock holds it
// for a scope. A thread that waits for a condition uses
// std::condition_variable_any with the MutexLock itself: the condition
// variable releases and retakes it through MutexLock's unlock() and lock(),
// and for the check the lock stays held across the wait, which it is again
// when the wait returns. A predicate lambda is marked REQUIRES(theMutex):
// the condition variable calls it holding the lock, and unmarked it would be
// checked as a function that holds nothing. Neither type throws except as
// std::mutex does.
#pragma once

#include <mutex>

#include "platform/thread_annotations.h"

namespace corvane {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // For std::condition_variable_any, and for a scope that lets the mutex
  // go before its end.
  void unlock() RELEASE() {
    mutex_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }

 private:
  Mutex& mutex_;
  bool held_ = true;
};

}  // namespace corvane
