// Sorting the traffic list off the window thread.
//
// Each column click starts one SortThread: it takes listMutex (waiting for
// the processing pass or a resolver that holds it), sorts the core list by
// the clicked column and releases it. The reorder reaches the window as a
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

#include "engine/row_order.h"
#include "engine/traffic_list.h"

class SortThreads {
 public:
  explicit SortThreads(corvane::TrafficList& list) : list_(list) {}
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

  corvane::TrafficList& list_;
  std::vector<std::unique_ptr<Sort>> sorts_;  // window thread only
};
