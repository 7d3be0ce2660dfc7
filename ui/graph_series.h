// One scrolling bar series of the speed graph: the byte counts of the last N
// one-second ticks as bar heights in pixels, scaled so that a bar of the full
// height H stands for F bytes.
//
// The window owns two of these (download and upload) and feeds each one byte
// count per tick from its own thread; a series is not shared between threads.
// Every bar stays proportional to the byte count it stands for: when a new
// count exceeds F the older bars shrink to the new scale, and when the bar
// that fixed the scale leaves, the remaining bars stretch so that the highest
// one is full height again. Counts are 64-bit and products of a count and a
// height are formed in 128 bits, so no tick count can overflow them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane {

class GraphSeries {
 public:
  // The byte count a full-height bar stands for before any traffic.
  static constexpr uint64_t kInitialFullScale = 100;

  GraphSeries() = default;
  // `sampleCount` bars (N), all 0, each at most `fullHeight` (H) pixels.
  GraphSeries(size_t sampleCount, uint32_t fullHeight);

  // Scrolls the series by one tick that counted `bytes`: the oldest bar
  // leaves, the newest stands for `bytes`.
  void Update(uint64_t bytes);

  size_t sampleCount() const { return heights_.size(); }
  uint32_t fullHeight() const { return fullHeight_; }
  // F: the byte count a bar of full height stands for; never 0.
  uint64_t fullScale() const { return fullScale_; }
  // Bar heights in pixels, index 0 the oldest, the last the newest.
  const std::vector<uint32_t>& heights() const { return heights_; }

 private:
  std::vector<uint32_t> heights_;
  uint32_t fullHeight_ = 0;
  uint64_t fullScale_ = kInitialFullScale;
};

}  // namespace corvane
