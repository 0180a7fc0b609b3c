// Collision pair map: one record per unordered pair, lower index first, insertion order, a
// pool that grows and is reused, and the bucket hash in unsigned 32-bit arithmetic.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "game/GameEntity.h"

namespace {

// Stand-ins: the map only compares and hands back the pointers.
struct Fake {
  char c;
};
std::vector<Fake> Store(5000);
TGameEntity* E(int32_t i) { return reinterpret_cast<TGameEntity*>(&Store[size_t(i)]); }
int32_t IndexOf(TGameEntity* e) { return int32_t(reinterpret_cast<Fake*>(e) - Store.data()); }

void Add(TGameEntitiesCollisionPairHashMap& m, int32_t a, int32_t b) { m.Add(E(a), a, E(b), b); }

std::vector<std::pair<int32_t, int32_t>> Drain(TGameEntitiesCollisionPairHashMap& m) {
  std::vector<std::pair<int32_t, int32_t>> r;
  m.Dispatch([&](TGameEntity* a, TGameEntity* b) { r.emplace_back(IndexOf(a), IndexOf(b)); });
  return r;
}

TEST(CollisionPairMap, BucketHashIsUnsigned32Bit) {
  struct Case {
    int32_t Lo, Hi;
    uint32_t Bucket;
  };
  const Case Cases[] = {{0, 0, 0},     {0, 1, 2583},          {1, 2, 3085},
                        {63, 64, 1373}, {64, 1000, 280},      {100000, 200000, 1824},
                        {2147483647, 2147483647, 564}};
  for (const Case& c : Cases) EXPECT_EQ(TGameEntitiesCollisionPairHashMap::Hash(c.Lo, c.Hi), c.Bucket) << c.Lo << "," << c.Hi;
}

TEST(CollisionPairMap, OncePerPairLowerIndexFirstInInsertionOrder) {
  TGameEntitiesCollisionPairHashMap m;
  ASSERT_EQ(m.Free, 0);
  Add(m, 7, 3);
  Add(m, 3, 7);
  Add(m, 1, 2);
  Add(m, 7, 3);
  Add(m, 2, 1);
  Add(m, 9, 64);
  m.Add(nullptr, 4, E(5), 5);
  m.Add(E(4), 4, nullptr, 5);
  EXPECT_EQ(m.CountPairs(), 3);
  EXPECT_EQ(m.First, 0);  // pair 0 is taken first
  const std::vector<std::pair<int32_t, int32_t>> Want = {{3, 7}, {1, 2}, {9, 64}};
  EXPECT_EQ(Drain(m), Want);
  EXPECT_EQ(m.First, -1);
  EXPECT_EQ(m.Last, -1);
  for (int32_t b : m.Buckets) ASSERT_EQ(b, -1);
  // The next tick starts empty: the same pair is recorded again.
  Add(m, 3, 7);
  EXPECT_EQ(Drain(m), (std::vector<std::pair<int32_t, int32_t>>{{3, 7}}));
}

TEST(CollisionPairMap, PoolGrowsPast1024WithoutLosingPairsAndThenStaysPut) {
  TGameEntitiesCollisionPairHashMap m;
  std::vector<std::pair<int32_t, int32_t>> Want;
  // 1500 distinct pairs, many sharing buckets, each offered twice.
  for (int32_t i = 0; i < 1500; ++i) {
    const int32_t a = i % 97, b = 100 + i;
    Want.emplace_back(a, b);
    Add(m, b, a);
    Add(m, a, b);
  }
  EXPECT_EQ(m.Pairs.size(), 2048u);
  EXPECT_EQ(m.CountPairs(), 1500);
  EXPECT_EQ(Drain(m), Want);
  // Once grown, later passes reuse the pool.
  const auto* Data = m.Pairs.data();
  for (int pass = 0; pass < 3; ++pass) {
    for (int32_t i = 0; i < 2048; ++i) Add(m, i, i + 1);
    EXPECT_EQ(int32_t(Drain(m).size()), 2048);
  }
  EXPECT_EQ(m.Pairs.data(), Data);
  EXPECT_EQ(m.Pairs.size(), 2048u);
}

TEST(CollisionPairMap, ResetEmptiesAnUnfinishedPass) {
  TGameEntitiesCollisionPairHashMap m;
  for (int32_t i = 0; i < 10; ++i) Add(m, i, i + 20);
  m.Reset();
  EXPECT_EQ(m.CountPairs(), 0);
  EXPECT_EQ(m.Free, 0);
  Add(m, 0, 20);  // not mistaken for the dropped record
  EXPECT_EQ(Drain(m), (std::vector<std::pair<int32_t, int32_t>>{{0, 20}}));
}

}  // namespace
