// Sorting the traffic list off the window thread.
//
// Each column click starts one SortThread: it asks the Monitor to sort its
// list by the clicked column, which waits for the list's lock (held by the
// processing pass or a resolver) on this thread, not the window's. The reorder reaches the window as a
// change record like any other change, so the window thread is never
// blocked by a sort. A later click starts another sort, which waits for the
// first. The window owns the SortThreads object; Wait() (also run by the
// destructor) joins every sort still running.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/monitor.h"
#include "engine/row_order.h"

class SortThreads {
 public:
  explicit SortThreads(corvane::Monitor& monitor) : monitor_(monitor) {}
  ~SortThreads() { Wait(); }
  SortThreads(const SortThreads&) = delete;
  SortThreads& operator=(const SortThreads&) = delete;

  // Window thread: starts a sort by `column` and returns at once.
  void Start(int column, corvane::SortDirection direction = corvane::SortDirection::kGreatestFirst);
  // Window thread: joins every sort that was started.
  void Wait();

 private:
  struct Sort {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  corvane::Monitor& monitor_;
  std::vector<std::unique_ptr<Sort>> sorts_;  // window thread only
};
