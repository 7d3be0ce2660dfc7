// An allocator for the big hash tables of the flows and rows: a table of
// hundreds of thousands of entries is touched all over at random, so a
// table of 2 MiB or more is backed by huge pages where the kernel allows
// them (transparent huge pages on request). That takes one page fault per
// 2 MiB instead of one per 4 KiB and keeps the table within few TLB
// entries. Smaller tables come from the ordinary heap.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace corvane {

inline constexpr size_t kHugePageBytes = size_t{2} << 20;

// Memory for `bytes` (at least kHugePageBytes), aligned to a huge page and
// offered to the kernel for huge pages before it is first touched.
void* AllocateLargeTable(size_t bytes);
void FreeLargeTable(void* table);

template <typename T>
struct LargeTableAllocator {
  using value_type = T;

  LargeTableAllocator() = default;
  template <typename U>
  LargeTableAllocator(const LargeTableAllocator<U>&) {}

  T* allocate(size_t count) {
    if (count * sizeof(T) < kHugePageBytes) return std::allocator<T>().allocate(count);
    return static_cast<T*>(AllocateLargeTable(count * sizeof(T)));
  }
  void deallocate(T* table, size_t count) {
    if (count * sizeof(T) < kHugePageBytes) {
      std::allocator<T>().deallocate(table, count);
    } else {
      FreeLargeTable(table);
    }
  }
  template <typename U>
  bool operator==(const LargeTableAllocator<U>&) const {
    return true;
  }
};

}  // namespace corvane
