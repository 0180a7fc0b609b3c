#include <gtest/gtest.h>

#include "core/ZNT1Globals.h"

TEST(Interlocked, ExchangeAddReturnsOldValue) {
  int32_t v = 3;
  EXPECT_EQ(InterlockedExchangeAdd(v, -5), 3);
  EXPECT_EQ(v, -2);
  EXPECT_EQ(InterlockedExchange(v, 7), -2);
  EXPECT_EQ(v, 7);
  // -1/-1 reads without changing a value that is never -1.
  EXPECT_EQ(InterlockedCompareExchange(v, -1, -1), 7);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(InterlockedCompareExchange(v, 9, 7), 7);
  EXPECT_EQ(v, 9);
}
