#include "platform/large_table.h"

#include <sys/mman.h>

#include <cstdlib>

namespace corvane {

void* AllocateLargeTable(size_t bytes) {
  const size_t rounded = (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  void* table = std::aligned_alloc(kHugePageBytes, rounded);
  if (table == nullptr) throw std::bad_alloc();
  // Only advice: without huge pages the table works the same on small ones.
  (void)::madvise(table, rounded, MADV_HUGEPAGE);
  return table;
}

void FreeLargeTable(void* table) { std::free(table); }

}  // namespace corvane
