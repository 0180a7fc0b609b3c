#include <gtest/gtest.h>

#include <limits>

#include "core/ZNT1HighResolutionTimer.h"

TEST(HighResolutionTimer, FrequencyScalingTable) {
  struct Case {
    int64_t counter, frequency;
    int32_t shift;
    int64_t ms, quarter;
  } cases[] = {
      {3'000'000'000, 375'000'000, 3, 375'000, 93'750'000},
      {10'000'000, 10'000'000, 0, 10'000, 2'500'000},
      {3'579'545, 3'579'545, 0, 3'580, 894'886},
      {0, 1000, 0, 1, 250},  // no counter: the millisecond tick count
  };
  for (const Case& c : cases) {
    TZNT1HighResolutionTimer t(c.counter);
    EXPECT_EQ(t.Frequency, c.frequency) << c.counter;
    EXPECT_EQ(t.FrequencyShift, c.shift) << c.counter;
    EXPECT_EQ(t.MillisecondInterval, c.ms) << c.counter;
    EXPECT_EQ(t.QuarterSecondInterval, c.quarter) << c.counter;
    EXPECT_EQ(t.HourInterval, c.frequency * 3600);
    EXPECT_LT(t.Frequency, int64_t(1) << 29);
  }
}

TEST(HighResolutionTimer, Conversions) {
  TZNT1HighResolutionTimer ms(0);
  EXPECT_EQ(ms.ToMilliseconds(123456), 123456);
  EXPECT_EQ(ms.FromMilliseconds(123456), 123456);
  EXPECT_EQ(ms.ToMicroseconds(3), 3000);

  TZNT1HighResolutionTimer t(10'000'000);
  EXPECT_EQ(t.ToMilliseconds(15'000), 2);  // 1.5 ms rounds up
  EXPECT_EQ(t.FromMilliseconds(3), 30'000);
  EXPECT_EQ(t.ToMicroseconds(25), 3);  // 2.5 us rounds up
  EXPECT_EQ(t.ToNanoseconds(1), 100);
  EXPECT_EQ(t.FromNanoseconds(150), 2);
  EXPECT_DOUBLE_EQ(t.ToFloatSeconds(5'000'000), 0.5);
  EXPECT_EQ(t.FromFloatSeconds(0.25), 2'500'000);

  // Large tick counts must not overflow in the intermediate product.
  const int64_t big = std::numeric_limits<int64_t>::max() / 100;
  EXPECT_EQ(t.ToMilliseconds(big), big / 10'000 + ((big % 10'000) * 1000 + 5'000'000) / 10'000'000);
  EXPECT_EQ(t.ToNanoseconds(big * 10), std::numeric_limits<int64_t>::max());  // saturates
  EXPECT_GT(t.ToNanoseconds(big / 1000), 0);
}

TEST(HighResolutionTimer, ClockAndSleep) {
  TZNT1HighResolutionTimer t;
  EXPECT_LT(t.Frequency, int64_t(1) << 29);
  const int64_t a = t.GetTime();
  t.Sleep(0);
  t.Sleep(-5);
  t.Sleep(t.FromMilliseconds(3));
  const int64_t b = t.GetTime();
  EXPECT_GE(b - a, t.FromMilliseconds(3));
}
