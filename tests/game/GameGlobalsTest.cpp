// Random numbers: one seedable generator per thread.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "game/GameGlobals.h"

namespace {

std::vector<double> Draw(int n) {
  std::vector<double> v;
  for (int i = 0; i < n; ++i) v.push_back(Random());
  return v;
}

TEST(GameRandom, SeededSequencesRepeatAndStayInRange) {
  RandomSeed(42);
  const std::vector<double> a = Draw(1000);
  RandomSeed(42);
  EXPECT_EQ(Draw(1000), a);
  RandomSeed(43);
  EXPECT_NE(Draw(1000), a);
  int32_t Counts[4] = {};
  for (int i = 0; i < 40000; ++i) {
    const double r = Random();
    ASSERT_GE(r, 0.0);
    ASSERT_LT(r, 1.0);
    const int32_t k = Random(4);
    ASSERT_GE(k, 0);
    ASSERT_LT(k, 4);
    ++Counts[k];
  }
  for (int32_t c : Counts) EXPECT_NEAR(c, 10000, 600);
  EXPECT_EQ(Random(0), 0);
  EXPECT_EQ(Random(-5), 0);
  EXPECT_EQ(Random(1), 0);
  for (int i = 0; i < 1000; ++i) ASSERT_LT(Random(2147483647), 2147483647);
}

TEST(GameRandom, AnotherThreadLeavesThisThreadsSequenceAlone) {
  RandomSeed(7);
  const std::vector<double> Expected = Draw(100);
  RandomSeed(7);
  std::vector<double> Got = Draw(50);
  std::vector<double> Other;
  std::thread t([&] { Other = Draw(1000); });
  t.join();
  const std::vector<double> Rest = Draw(50);
  Got.insert(Got.end(), Rest.begin(), Rest.end());
  EXPECT_EQ(Got, Expected);
  EXPECT_EQ(Other.size(), 1000u);
}

}  // namespace
