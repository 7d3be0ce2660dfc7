#include "platform/process_start.h"

#include <gtest/gtest.h>

namespace {

using corvane::ParseStatStartTicks;

TEST(ProcessStartTest, StartTimeIsTheTwentySecondField) {
  EXPECT_EQ(ParseStatStartTicks("4242 (corvane) S 1 4242 4242 0 -1 4194560 3 0 0 0 1 2 0 0 20 0 "
                                "9 0 123456 10000000 300 18446744073709551615\n"),
            123456u);
}

TEST(ProcessStartTest, NameWithBlanksAndParenthesesDoesNotShiftTheFields) {
  EXPECT_EQ(ParseStatStartTicks("77 (a) b (c d) R 1 77 77 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 "
                                "987 1 1"),
            987u);
}

TEST(ProcessStartTest, ShortOrDamagedLinesGiveNothing) {
  EXPECT_FALSE(ParseStatStartTicks(""));
  EXPECT_FALSE(ParseStatStartTicks("12 corvane S 1"));
  EXPECT_FALSE(ParseStatStartTicks("12 (corvane) S 1 2 3"));
  EXPECT_FALSE(ParseStatStartTicks("77 (x) R 1 77 77 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 12x4 1"));
}

TEST(ProcessStartTest, ThisProcessStartedBeforeNow) {
  const std::optional<double> start = corvane::ProcessStartBootSeconds();
  ASSERT_TRUE(start.has_value());
  EXPECT_GT(*start, 0.0);
  EXPECT_LE(*start, corvane::BootClockSeconds());
}

}  // namespace
