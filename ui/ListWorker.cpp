#include "ui/ListWorker.h"

#include <utility>

ListWorker::ListWorker() : thread_([this] { Run(); }) {}

ListWorker::~ListWorker() {
  Wait();
  {
    corvane::MutexLock lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ListWorker::Post(std::function<void()> task) {
  {
    corvane::MutexLock lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  changed_.notify_all();
}

void ListWorker::Wait() {
  corvane::MutexLock lock(mutex_);
  changed_.wait(lock, [this]() REQUIRES(mutex_) { return tasks_.empty() && !running_; });
}

void ListWorker::Run() {
  corvane::MutexLock lock(mutex_);
  while (true) {
    changed_.wait(lock, [this]() REQUIRES(mutex_) { return stop_ || !tasks_.empty(); });
    if (tasks_.empty()) return;
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    running_ = true;
    lock.unlock();
    task();
    lock.lock();
    running_ = false;
    changed_.notify_all();
  }
}
