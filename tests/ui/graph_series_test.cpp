#include "ui/graph_series.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace corvane {
namespace {

class GraphSeriesTest : public ::testing::Test {
 protected:
  // Five samples, full height 10 pixels.
  GraphSeries series_{5, 10};

  void Feed(const std::vector<uint32_t>& counts) {
    for (uint32_t c : counts) series_.Update(c);
  }
};

TEST_F(GraphSeriesTest, StartsEmptyWithInitialScale) {
  EXPECT_EQ(series_.heights(), (std::vector<uint32_t>{0, 0, 0, 0, 0}));
  EXPECT_EQ(series_.fullScale(), 100u);
  EXPECT_EQ(series_.sampleCount(), 5u);
  EXPECT_EQ(series_.fullHeight(), 10u);
}

TEST_F(GraphSeriesTest, CountWithinScaleGivesProportionalBar) {
  series_.Update(50);
  EXPECT_EQ(series_.heights().back(), 5u);  // H * 50 / 100
  EXPECT_EQ(series_.fullScale(), 100u);
}

TEST_F(GraphSeriesTest, NewestSampleEntersAtTheRightAndOldestLeaves) {
  Feed({10, 20, 30, 40, 50, 60});
  EXPECT_EQ(series_.heights(), (std::vector<uint32_t>{2, 3, 4, 5, 6}));
}

TEST_F(GraphSeriesTest, FirstLargeTickBecomesFullScaleAndFullHeight) {
  series_.Update(5000);
  EXPECT_EQ(series_.fullScale(), 5000u);
  EXPECT_EQ(series_.heights().back(), 10u);
}

TEST_F(GraphSeriesTest, OlderBarsShrinkWhenANewCountRaisesTheScale) {
  Feed({100, 50});  // bars 10 and 5 at F = 100
  series_.Update(200);
  EXPECT_EQ(series_.fullScale(), 200u);
  // 100 bytes and 50 bytes at the new scale of 200 bytes per 10 pixels.
  EXPECT_EQ(series_.heights(), (std::vector<uint32_t>{0, 0, 5, 2, 10}));
}

TEST_F(GraphSeriesTest, BarsStretchWhenTheScaleSettingBarLeaves) {
  Feed({1000, 0, 500, 250, 0});  // F = 1000
  ASSERT_EQ(series_.heights(), (std::vector<uint32_t>{10, 0, 5, 2, 0}));
  series_.Update(0);
  // The highest remaining bar (500 bytes) is full height; F follows it.
  EXPECT_EQ(series_.heights(), (std::vector<uint32_t>{0, 10, 4, 0, 0}));
  EXPECT_EQ(series_.fullScale(), 500u);
  // A later tick is drawn on the stretched scale.
  series_.Update(250);
  EXPECT_EQ(series_.heights(), (std::vector<uint32_t>{10, 4, 0, 0, 5}));
}

TEST_F(GraphSeriesTest, ScaleNeverDropsToZeroWhenOnlyEmptyBarsRemain) {
  GraphSeries tall(3, 200);
  tall.Update(100);  // full height at the initial scale of 100 bytes
  tall.Update(0);
  tall.Update(0);
  tall.Update(0);  // the full bar leaves; 100 * 1 / 200 would be a scale of 0
  EXPECT_GE(tall.fullScale(), 1u);
  tall.Update(1);
  tall.Update(0);
  EXPECT_EQ(tall.heights(), (std::vector<uint32_t>{0, 200, 0}));
}

TEST_F(GraphSeriesTest, LargestTickCountDoesNotOverflowTheBarHeight) {
  GraphSeries tall(3, 1000);
  tall.Update(4'000'000'000u);
  tall.Update(3'000'000'000u);  // v * H overflows 32 bits
  EXPECT_EQ(tall.heights(), (std::vector<uint32_t>{0, 1000, 750}));
  tall.Update(4'294'967'295u);
  EXPECT_EQ(tall.fullScale(), 4'294'967'295u);
  EXPECT_EQ(tall.heights()[0], 931u);  // 4e9 bytes at the new scale
  // Ticks beyond 32 bits (10 Gbit/s moves 1.25e9 bytes a second, a replay
  // far more): v * H and s * F overflow 64 bits here.
  tall.Update(6'000'000'000u);
  EXPECT_EQ(tall.heights(), (std::vector<uint32_t>{499, 715, 1000}));
  tall.Update(UINT64_MAX);
  tall.Update(UINT64_MAX / 4);
  EXPECT_EQ(tall.fullScale(), UINT64_MAX);
  EXPECT_EQ(tall.heights(), (std::vector<uint32_t>{0, 1000, 249}));
}

TEST_F(GraphSeriesTest, SeriesWithoutSamplesIgnoresTicks) {
  GraphSeries none(0, 10);
  none.Update(12345);
  EXPECT_TRUE(none.heights().empty());
  GraphSeries flat(4, 0);
  flat.Update(12345);
  flat.Update(1);
  EXPECT_EQ(flat.heights(), (std::vector<uint32_t>{0, 0, 0, 0}));
}

}  // namespace
}  // namespace corvane
