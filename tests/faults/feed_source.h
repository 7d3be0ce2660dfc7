// A capture source that hands out datagrams the test queued, and otherwise
// waits like live capture (Timeout after about 100 ms).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/capture_source.h"
#include "tests/support/datagram_builder.h"

namespace corvane::faults {

class Feed {
 public:
  void Push(testing::Bytes datagram) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(datagram));
    ready_.notify_all();
  }

 private:
  friend class FeedSource;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<testing::Bytes> queue_;
  bool interrupted_ = false;
};

class FeedSource : public CaptureSource {
 public:
  explicit FeedSource(std::shared_ptr<Feed> feed) : feed_(std::move(feed)) {}
  ReadStatus Next(CapturedDatagram& datagram, Status&) override {
    std::unique_lock lock(feed_->mutex_);
    feed_->ready_.wait_for(lock, std::chrono::milliseconds(100),
                           [&] { return feed_->interrupted_ || !feed_->queue_.empty(); });
    if (feed_->interrupted_) return ReadStatus::Interrupted;
    if (feed_->queue_.empty()) return ReadStatus::Timeout;
    current_ = std::move(feed_->queue_.front());
    feed_->queue_.pop_front();
    datagram.bytes = current_;
    return ReadStatus::Datagram;
  }
  void Interrupt() override {
    std::lock_guard lock(feed_->mutex_);
    feed_->interrupted_ = true;
    feed_->ready_.notify_all();
  }

 private:
  std::shared_ptr<Feed> feed_;
  testing::Bytes current_;
};

}  // namespace corvane::faults
