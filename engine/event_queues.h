// The queues between the capture thread and the processing thread.
//
// The capture thread appends; the processing thread takes every event that
// is old enough in one short hold of the queue's mutex and shows them after
// releasing it, so capture never waits for the traffic list. Unbounded FIFO
// queues, as the flows must not lose an event.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "engine/flat_hash.h"
#include "engine/source_labels.h"
#include "platform/ip_address.h"
#include "platform/mutex.h"

namespace corvane {

// Bytes were added to a flow: to the address flow (remoteAddress, labelId),
// or, while labelId is kUndecidedLabel, to the pending socket flow of
// (remoteAddress, protocol, localPort).
struct FlowEvent {
  IpAddress remoteAddress;
  uint32_t labelId = 0;
  uint16_t localPort = 0;      // 0 for protocols other than TCP and UDP
  uint16_t protocol = 0;
  int64_t time = 0;            // seconds, taken after the bytes were added

  bool SameFlow(const FlowEvent& other) const {
    return remoteAddress == other.remoteAddress && labelId == other.labelId &&
           (labelId != kUndecidedLabel ||
            (localPort == other.localPort && protocol == other.protocol));
  }
};

struct ProxyEvent {
  std::string host;
  uint16_t localPort = 0;
  int64_t time = 0;
  uint32_t length = 0;
  int direction = 0;  // 1 upload, 2 download
  IpAddress localAddress;  // the own end of the connection to the proxy
};

// Without kernel events a socket's owner is known only after a /proc scan
// has caught up, so an event waits until the clock reads at least 3 seconds
// past its stamp; with them it is shown at the next pass.
inline constexpr int64_t kProcShowDelaySeconds = 3;

// Whether an event stamped `eventTime` is shown at `now` after `delay`
// seconds. The difference is taken unsigned, so an event stamped in the
// future (the clock was set back) counts as old.
inline bool IsReadyToShow(int64_t now, int64_t eventTime, int64_t delay = kProcShowDelaySeconds) {
  return static_cast<uint32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(eventTime)) >=
         static_cast<uint32_t>(delay);
}

template <typename Event>
class EventQueue {
 public:
  void Push(Event event) {
    MutexLock lock(mutex_);
    events_.push_back(std::move(event));
  }

  // Moves every event from the front that is ready at `now` into `out`, in
  // queue order, stopping at the first that is not.
  void TakeReady(int64_t now, std::vector<Event>& out, int64_t delay = kProcShowDelaySeconds) {
    MutexLock lock(mutex_);
    while (!events_.empty() && IsReadyToShow(now, events_.front().time, delay)) {
      out.push_back(std::move(events_.front()));
      events_.pop_front();
    }
  }

  size_t Size() const {
    MutexLock lock(mutex_);
    return events_.size();
  }

 private:
  mutable Mutex mutex_;   // queueMutex / queueProxyMutex
  std::deque<Event> events_ GUARDED_BY(mutex_);
};

// The capture thread's queue of address-flow events. An event of the same
// flow at the same second as one already queued in the current run of that
// second is kept once: the pass folds the events of one row into one anyway
// (first activity from the first, last activity from the last, counts from
// the flow), so the second one would change nothing the list shows. The queue therefore grows with the flows active per second,
// not with the datagram rate, and stays bounded however fast datagrams
// arrive.
class PacketQueue {
 public:
  void Push(const FlowEvent& event) {
    MutexLock lock(mutex_);
    if (!events_.empty()) {
      const FlowEvent& last = events_.back();
      if (last.SameFlow(event) && last.time == event.time) return;
    }
    if (event.time != runSecond_ || !runOpen_) {
      runKeys_.Clear();
      ++runGeneration_;
      // The IPv6 keys of runs gone by are only stale, never wrong; the
      // table starts afresh before it grows without bound.
      if (runKeys6_.size() >= kMaxRunKeys6) runKeys6_.clear();
      runSecond_ = event.time;
      runOpen_ = true;
    }
    if (event.remoteAddress.IsV6()) {
      uint64_t& generation = runKeys6_[KeyOf6(event)];
      if (generation == runGeneration_) return;
      generation = runGeneration_;
    } else if (const uint64_t key = KeyOf(event); key != kNoKey && !runKeys_.Insert(key)) {
      return;
    }
    events_.push_back(event);
  }

  void TakeReady(int64_t now, std::vector<FlowEvent>& out, int64_t delay = kProcShowDelaySeconds) {
    MutexLock lock(mutex_);
    while (!events_.empty() && IsReadyToShow(now, events_.front().time, delay)) {
      // Once an event of the open run has been shown, a later one of the
      // same row must be queued again to show its time.
      if (runOpen_ && events_.front().time == runSecond_) runOpen_ = false;
      out.push_back(events_.front());
      events_.pop_front();
    }
  }

  size_t Size() const {
    MutexLock lock(mutex_);
    return events_.size();
  }

 private:
  // IPv4, 56 bits: a decided flow by its address and label (bit 55 set), an
  // undecided one by its address, transport and port. Labels beyond 23 bits
  // are not folded here (the pass still folds them).
  static constexpr uint64_t kNoKey = ~uint64_t{0};
  static uint64_t KeyOf(const FlowEvent& event) {
    const uint64_t address = event.remoteAddress.V4Value();
    if (event.labelId == kUndecidedLabel) {
      return address << 17 | uint64_t{event.protocol == 17} << 16 | event.localPort;
    }
    if (event.labelId >= (1u << 23)) return kNoKey;
    return uint64_t{1} << 55 | address << 23 | event.labelId;
  }
  // IPv6 addresses do not fit a 56-bit key: the whole address, and the
  // label or, undecided (bit 40 set), the transport and port.
  static FlowKey KeyOf6(const FlowEvent& event) {
    if (event.labelId == kUndecidedLabel) {
      return FlowKey::Of(event.remoteAddress, uint64_t{1} << 40 |
                                                  uint64_t{static_cast<uint8_t>(event.protocol)} << 16 |
                                                  event.localPort);
    }
    return FlowKey::Of(event.remoteAddress, event.labelId);
  }
  static constexpr size_t kMaxRunKeys6 = size_t{1} << 16;

  mutable Mutex mutex_;       // queueMutex
  std::deque<FlowEvent> events_ GUARDED_BY(mutex_);
  // The keys queued since the time stamp last changed: the tail of
  // events_, all stamped runSecond_.
  GenerationSet56 runKeys_ GUARDED_BY(mutex_);
  // IPv6 keys, each with the run it was last queued in.
  FlowKeyMap<uint64_t> runKeys6_ GUARDED_BY(mutex_);
  uint64_t runGeneration_ GUARDED_BY(mutex_) = 0;
  int64_t runSecond_ GUARDED_BY(mutex_) = 0;
  bool runOpen_ GUARDED_BY(mutex_) = false;
};

using ProxyRequestQueue = EventQueue<ProxyEvent>;

}  // namespace corvane
