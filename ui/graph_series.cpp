#include "ui/graph_series.h"

#include <algorithm>

namespace corvane {

namespace {

// a * b / c, rounded down, for c > 0 and a result that fits 64 bits.
uint64_t MulDiv(uint64_t a, uint64_t b, uint64_t c) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b / c);
}

}  // namespace

GraphSeries::GraphSeries(size_t sampleCount, uint32_t fullHeight)
    : heights_(sampleCount, 0), fullHeight_(fullHeight) {}

void GraphSeries::Update(uint64_t bytes) {
  const uint64_t h = fullHeight_;
  const size_t n = heights_.size();
  if (n == 0 || h == 0) {
    // A graph too small to show a bar still keeps its scale moving.
    fullScale_ = std::max(fullScale_, bytes);
    return;
  }

  // The bar that fixed the scale is about to leave: stretch the others so
  // that the highest of them is full height, and let F follow, so every bar
  // keeps standing for its own byte count. The leaving bar itself is dropped
  // by the shift below and is not stretched.
  if (heights_[0] == fullHeight_) {
    uint32_t highest = 1;
    for (size_t k = 1; k < n; ++k) highest = std::max(highest, heights_[k]);
    if (highest < fullHeight_) {
      for (size_t k = 1; k < n; ++k) {
        heights_[k] = static_cast<uint32_t>(h * heights_[k] / highest);
      }
      // A scale of 0 bytes would make every later bar a division by zero.
      fullScale_ = std::max<uint64_t>(1, MulDiv(fullScale_, highest, h));
    }
  }

  std::copy(heights_.begin() + 1, heights_.end(), heights_.begin());

  if (bytes > fullScale_) {
    // Shrink the older bars to the new scale: a bar of height s stood for
    // s * F / H bytes, which at the new scale is s * F / bytes pixels.
    for (size_t k = 0; k + 1 < n; ++k) {
      heights_[k] = static_cast<uint32_t>(MulDiv(heights_[k], fullScale_, bytes));
    }
    fullScale_ = bytes;
    heights_[n - 1] = fullHeight_;
  } else {
    heights_[n - 1] = static_cast<uint32_t>(MulDiv(bytes, h, fullScale_));
  }
}

}  // namespace corvane
