// The window's work on the traffic list that waits for the list's lock or
// for the disk: sorts of the core list, "Look up again", Save & Clear and
// Export list.
//
// One thread runs the tasks in the order the window posted them, so the
// window thread never waits for the processing pass, a sort or a disk
// write, and a later sort still comes after an earlier one. A task that has
// an answer for the user hands it back with a queued call to the window.
// The window owns the worker; Wait() (also run by the destructor) returns
// once every task posted has run.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <thread>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

class ListWorker {
 public:
  ListWorker();
  ~ListWorker();
  ListWorker(const ListWorker&) = delete;
  ListWorker& operator=(const ListWorker&) = delete;

  // Window thread: queues `task` and returns at once.
  void Post(std::function<void()> task);
  // Window thread: returns when every task posted so far has run.
  void Wait();

 private:
  void Run();

  corvane::Mutex mutex_;
  std::condition_variable_any changed_;
  std::deque<std::function<void()>> tasks_ GUARDED_BY(mutex_);
  bool running_ GUARDED_BY(mutex_) = false;  // a task is being run
  bool stop_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};
