// The pass's folding tables: entries of an earlier pass must never leak into
// the next one, and keys that are only hashes must be told apart.
#include "engine/flat_hash.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace corvane {
namespace {

TEST(PassIndex64Test, ClearedEntriesAreGoneAndEqualKeysAreToldApartByTheCaller) {
  PassIndex64 index;
  auto any = [](uint32_t) { return true; };
  std::mt19937_64 random(5);
  for (int pass = 0; pass < 50; ++pass) {
    index.Clear();
    std::map<uint64_t, uint32_t> reference;
    // Keys from a small range, so that a pass both repeats keys of the
    // previous pass and grows the table past its first size.
    size_t count = 100 + random() % 5000;
    for (uint32_t value = 0; value < count; ++value) {
      uint64_t key = random() % 20000;
      if (reference.count(key)) continue;
      ASSERT_FALSE(index.Find(key, any)) << "pass " << pass << " key " << key;
      index.Insert(key, value);
      reference[key] = value;
    }
    for (auto [key, value] : reference) ASSERT_EQ(index.Find(key, any), value);
  }
  // Two values under one key: the caller's test picks the right one.
  index.Clear();
  index.Insert(42, 1);
  index.Insert(42, 2);
  EXPECT_EQ(index.Find(42, [](uint32_t v) { return v == 2; }), 2u);
  EXPECT_EQ(index.Find(42, [](uint32_t v) { return v == 1; }), 1u);
  EXPECT_FALSE(index.Find(42, [](uint32_t v) { return v == 3; }));
  EXPECT_FALSE(index.Find(43, any));
}

}  // namespace
}  // namespace corvane
