// The resolver pool on its own: bounded threads, the queue, and stopping.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "attribution/resolver_pool.h"
#include "controlled_resolver.h"

namespace corvane {
namespace {

using testing::ControlledResolver;
using testing::ExitLatch;
using testing::kPatience;
using testing::LookupOf;

class ResolverPoolTest : public ::testing::Test {
 protected:
  std::unique_ptr<ResolverPool> MakePool(size_t threads) {
    return std::make_unique<ResolverPool>(
        LookupOf(resolver_, latch_),
        [this](const IpAddress& address, uint64_t, const std::string& name) {
          std::lock_guard lock(appliedMutex_);
          applied_.emplace_back(address.V4Value(), name);
        },
        threads, Env::Default());
  }
  size_t AppliedCount() {
    std::lock_guard lock(appliedMutex_);
    return applied_.size();
  }

  std::shared_ptr<ControlledResolver> resolver_ = std::make_shared<ControlledResolver>();
  std::shared_ptr<ExitLatch> latch_ = std::make_shared<ExitLatch>();
  std::mutex appliedMutex_;
  std::vector<std::pair<uint32_t, std::string>> applied_;
};

TEST_F(ResolverPoolTest, BurstOfRequestsNeverRunsMoreLookupsThanThreads) {
  auto pool = MakePool(3);
  ASSERT_EQ(pool->ThreadCount(), 3u);
  for (uint32_t address = 1; address <= 500; ++address) ASSERT_TRUE(pool->Request(IpAddress::V4(address)));
  ASSERT_TRUE(resolver_->WaitAsked(3));
  resolver_->AnswerAllWith("host.example");
  ASSERT_TRUE(pool->WaitIdle(kPatience));
  EXPECT_EQ(resolver_->AskedCount(), 500u);
  EXPECT_EQ(AppliedCount(), 500u);
  EXPECT_EQ(resolver_->MaxInFlight(), 3u);
}

TEST_F(ResolverPoolTest, EveryRequestIsLookedUpEvenForTheSameAddress) {
  auto pool = MakePool(2);
  resolver_->AnswerAllWith("same.example");
  for (int i = 0; i < 5; ++i) pool->Request(IpAddress::V4(42));
  ASSERT_TRUE(pool->WaitIdle(kPatience));
  EXPECT_EQ(AppliedCount(), 5u);
}

TEST_F(ResolverPoolTest, FailedOrEmptyLookupAppliesNothing) {
  auto pool = MakePool(1);
  resolver_->Answer(1, std::nullopt);
  resolver_->Answer(2, std::string());
  resolver_->Answer(3, "three.example");
  pool->Request(IpAddress::V4(1));
  pool->Request(IpAddress::V4(2));
  pool->Request(IpAddress::V4(3));
  ASSERT_TRUE(pool->WaitIdle(kPatience));
  ASSERT_EQ(AppliedCount(), 1u);
  EXPECT_EQ(applied_[0], std::make_pair(uint32_t{3}, std::string("three.example")));
}

TEST_F(ResolverPoolTest, LookupThatThrowsDoesNotKillTheThread) {
  auto pool = MakePool(1);
  resolver_->FailWithException();
  resolver_->Answer(2, "two.example");
  pool->Request(IpAddress::V4(1));
  pool->Request(IpAddress::V4(2));
  ASSERT_TRUE(pool->WaitIdle(kPatience));
  EXPECT_EQ(AppliedCount(), 1u);
}

TEST_F(ResolverPoolTest, StopAbandonsTheQueueAndDropsTheAnswerInFlight) {
  auto pool = MakePool(1);
  for (uint32_t address = 1; address <= 10; ++address) pool->Request(IpAddress::V4(address));
  ASSERT_TRUE(resolver_->WaitAsked(1));
  pool->Stop();  // returns although a lookup is still blocked
  EXPECT_FALSE(pool->Request(IpAddress::V4(11)));
  pool.reset();
  resolver_->AnswerAllWith("late.example");
  ASSERT_TRUE(latch_->Wait()) << "a pool thread did not end";
  EXPECT_EQ(resolver_->AskedCount(), 1u);
  EXPECT_EQ(AppliedCount(), 0u);
}

TEST_F(ResolverPoolTest, QueueIsBoundedWhileLookupsHang) {
  auto pool = MakePool(1);
  ASSERT_TRUE(pool->Request(IpAddress::V4(0)));
  ASSERT_TRUE(resolver_->WaitAsked(1));  // the one thread is now stuck
  for (size_t i = 0; i < ResolverPool::kMaxQueued; ++i) {
    ASSERT_TRUE(pool->Request(IpAddress::V4(static_cast<uint32_t>(i + 1))));
  }
  EXPECT_FALSE(pool->Request(IpAddress::V4(7)));
  pool->Stop();
  resolver_->AnswerAllWith(std::nullopt);
}

}  // namespace
}  // namespace corvane
