#include "ui/SortThread.h"

#include <algorithm>

#include "engine/row_order.h"

void SortThreads::Start(int column, corvane::SortDirection direction) {
  // Finished sorts are joined here, so the list of threads stays short.
  for (auto& sort : sorts_) {
    if (sort->done.load() && sort->thread.joinable()) sort->thread.join();
  }
  sorts_.erase(std::remove_if(sorts_.begin(), sorts_.end(),
                              [](const auto& sort) { return !sort->thread.joinable(); }),
               sorts_.end());

  auto sort = std::make_unique<Sort>();
  Sort* raw = sort.get();
  corvane::Monitor* monitor = &monitor_;
  raw->thread = std::thread([monitor, raw, column, direction] {
    monitor->SortRows(column, direction);
    raw->done.store(true);
  });
  sorts_.push_back(std::move(sort));
}

void SortThreads::Wait() {
  for (auto& sort : sorts_) {
    if (sort->thread.joinable()) sort->thread.join();
  }
  sorts_.clear();
}
