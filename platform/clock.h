// The program's view of time: the seconds clock and the local calendar.
//
// Everything that stamps, ages or dates traffic asks a Clock, so that tests
// and capture-file replays run on time they control. SystemClock is safe to
// share between threads; ManualClock is for one driving thread plus readers
// (its value is an atomic).
#pragma once

#include <atomic>
#include <cstdint>

namespace corvane {

// The broken-down local time that the program needs.
struct LocalTime {
  int year = 1970;  // four digits
  int month = 1;    // 1..12
  int day = 1;
  int hour = 0;     // 0..23
  int minute = 0;
  int second = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1 January 1970 (UTC).
  virtual int64_t Now() const = 0;
};

class SystemClock final : public Clock {
 public:
  int64_t Now() const override;
};

class ManualClock final : public Clock {
 public:
  explicit ManualClock(int64_t start = 0) : now_(start) {}
  int64_t Now() const override { return now_.load(std::memory_order_relaxed); }
  void Set(int64_t seconds) { now_.store(seconds, std::memory_order_relaxed); }
  void Advance(int64_t seconds) { now_.fetch_add(seconds, std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> now_;
};

// The local calendar time of `seconds`, as the system's time zone says.
LocalTime ToLocalTime(int64_t seconds);

// The inverse of ToLocalTime: the six numbers taken as local time, the system
// deciding about daylight saving time. Out-of-range fields are normalised as
// mktime does. Returns false when the system cannot represent the time.
bool FromLocalTime(const LocalTime& local, int64_t& seconds);

}  // namespace corvane
