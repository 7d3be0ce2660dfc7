// The pass's folding tables: entries of an earlier pass must never leak into
// the next one, and keys that are only hashes must be told apart. The flow
// store keeps every entry where it was through the index's growth.
#include "engine/flat_hash.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <tuple>

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

TEST(FlowKeyStoreTest, EveryKeyKeepsItsOwnEntryWhileTheIndexGrowsAndNoneAfterAClear) {
  FlowKeyStore<uint64_t> store;
  std::map<std::tuple<int, uint32_t, uint64_t>, uint64_t> reference;
  auto keyOf = [](int family, uint32_t address, uint64_t word) {
    IpAddress ip = IpAddress::V4(address);
    if (family == 6) ip.family = IpFamily::kV6;  // the same bytes, another family
    return FlowKey::Of(ip, word);
  };
  std::mt19937_64 random(9);
  for (uint64_t n = 0; n < 70000; ++n) {
    const auto id = std::make_tuple(random() % 2 ? 4 : 6, static_cast<uint32_t>(random() % 30000),
                                    random() % 3);
    const FlowKey key = keyOf(std::get<0>(id), std::get<1>(id), std::get<2>(id));
    store[key] += n;
    reference[id] += n;
  }
  ASSERT_EQ(store.size(), reference.size());
  for (const auto& [id, sum] : reference) {
    const uint64_t* value = store.Lookup(keyOf(std::get<0>(id), std::get<1>(id), std::get<2>(id)));
    ASSERT_NE(value, nullptr);
    ASSERT_EQ(*value, sum);
  }
  store.clear();
  EXPECT_EQ(store.size(), 0u);
  EXPECT_EQ(store.Lookup(keyOf(4, 1, 0)), nullptr);
  store[keyOf(4, 1, 0)] = 7;
  EXPECT_EQ(*store.Lookup(keyOf(4, 1, 0)), 7u);
}

}  // namespace
}  // namespace corvane
