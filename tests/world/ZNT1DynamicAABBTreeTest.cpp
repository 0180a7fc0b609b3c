// Dynamic AABB tree: insertion and removal shapes, pool growth, moves, rotations and a long
// seeded run under Validate.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "support/MathTestSupport.h"
#include "support/TestData.h"
#include "world/ZNT1DynamicAABBTree.h"

namespace {

using mathtest::Box;

TZNT1AABB Cube(float x) { return Box(x, 0, 0, x + 1, 1, 1); }

void* Tag(intptr_t i) { return reinterpret_cast<void*>(i + 1); }

}  // namespace

TEST(DynamicAABBTree, FirstProxiesAndDestroyingTheOnlyOne) {
  TZNT1DynamicAABBTree t;
  EXPECT_EQ(t.NodeCapacity, 16);
  EXPECT_EQ(t.FreeList, 0);
  const int32_t a = t.CreateProxy(Cube(0), Tag(0));
  EXPECT_EQ(t.Root, a);
  EXPECT_EQ(t.Nodes[a].Height, 0);
  EXPECT_EQ(t.Nodes[a].Parent, daabbtNULLNODE);
  const int32_t b = t.CreateProxy(Cube(10), Tag(1));
  ASSERT_NE(t.Root, a);
  EXPECT_EQ(t.Nodes[t.Root].Height, 1);
  EXPECT_EQ(t.Nodes[t.Root].Children[0], a);
  EXPECT_EQ(t.Nodes[t.Root].Children[1], b);
  EXPECT_TRUE(t.Validate());

  TZNT1DynamicAABBTree One;
  const int32_t Only = One.CreateProxy(Cube(0), Tag(0));
  One.DestroyProxy(Only);
  EXPECT_EQ(One.Root, daabbtNULLNODE);
  EXPECT_EQ(One.FreeList, Only);
  EXPECT_EQ(One.Nodes[Only].Height, -1);
  EXPECT_EQ(One.NodeCount, 0);
  EXPECT_TRUE(One.Validate());
}

TEST(DynamicAABBTree, PoolDoublesByNodesAndIdsStayValid) {
  // n proxies take 2n - 1 nodes: the 9th proxy needs node 17, the 17th node 33.
  struct Step {
    int Proxies, Capacity;
  } Steps[] = {{8, 16}, {9, 32}, {16, 32}, {17, 64}};
  TZNT1DynamicAABBTree t;
  std::vector<int32_t> Ids;
  for (const Step& s : Steps) {
    while (static_cast<int>(Ids.size()) < s.Proxies)
      Ids.push_back(t.CreateProxy(Cube(static_cast<float>(Ids.size()) * 3), Tag(static_cast<intptr_t>(Ids.size()))));
    EXPECT_EQ(t.NodeCount, 2 * s.Proxies - 1);
    EXPECT_EQ(t.NodeCapacity, s.Capacity) << s.Proxies << " proxies";
    for (size_t i = 0; i < Ids.size(); ++i) {
      EXPECT_EQ(t.Nodes[Ids[i]].UserData, Tag(static_cast<intptr_t>(i)));
      EXPECT_EQ(t.Nodes[Ids[i]].Height, 0);
    }
    EXPECT_TRUE(t.Validate());
  }
}

TEST(DynamicAABBTree, MoveProxy) {
  TZNT1DynamicAABBTree t;
  int32_t Ids[5];
  for (int i = 0; i < 5; ++i) Ids[i] = t.CreateProxy(Box(i * 10.0f, 0, 0, i * 10.0f + 4, 4, 4), Tag(i));
  const int32_t Id = Ids[2];
  std::vector<TZNT1DynamicAABBTreeNode> Before = t.Nodes;
  EXPECT_FALSE(t.MoveProxy(Id, Box(21, 1, 1, 23, 3, 3), Vector3(1, 1, 1)));
  EXPECT_FALSE(t.MoveProxy(Id, Box(20, 0, 0, 24, 4, 4), Vector3(1, 1, 1)));  // bounds inclusive
  EXPECT_EQ(std::memcmp(Before.data(), t.Nodes.data(), Before.size() * sizeof(TZNT1DynamicAABBTreeNode)), 0);

  const TZNT1AABB Moved = Box(22, -1, 0, 26, 3, 4);
  const TZNT1Vector3 d = Vector3(2, -1, 0);
  EXPECT_TRUE(t.MoveProxy(Id, Moved, d));
  const TZNT1AABB& s = t.Nodes[Id].AABB;
  const float e = 1e-12f;
  EXPECT_EQ(s.Min.x, Moved.Min.x - e);
  EXPECT_EQ(s.Max.x, (Moved.Max.x + e) + 4.0f);
  EXPECT_EQ(s.Min.y, (Moved.Min.y - e) - 2.0f);
  EXPECT_EQ(s.Max.y, Moved.Max.y + e);
  EXPECT_EQ(s.Min.z, -1e-12f);  // only the margin on a still axis
  EXPECT_EQ(s.Max.z, Moved.Max.z + e);
  EXPECT_EQ(t.Nodes[Id].UserData, Tag(2));
  EXPECT_TRUE(t.Validate());
}

TEST(DynamicAABBTree, RotatesOnlyWhenChildHeightsDifferByTwo) {
  TZNT1DynamicAABBTree t;
  const int32_t p0 = t.CreateProxy(Cube(0), Tag(0));
  t.CreateProxy(Cube(10), Tag(1));
  t.CreateProxy(Cube(20), Tag(2));  // goes under the second leaf: heights 0 and 1
  const int32_t RootBefore = t.Root;
  EXPECT_EQ(t.Nodes[RootBefore].Children[0], p0);
  EXPECT_EQ(t.Nodes[t.Nodes[RootBefore].Children[1]].Height, 1);
  t.CreateProxy(Cube(30), Tag(3));  // would make heights 0 and 2: the right child rises
  EXPECT_NE(t.Root, RootBefore);
  EXPECT_EQ(t.Nodes[t.Root].Children[0], RootBefore);
  EXPECT_EQ(t.Nodes[RootBefore].Children[0], p0);
  EXPECT_EQ(t.GetHeight(), 2);
  EXPECT_LE(t.GetMaxBalance(), 1);
  EXPECT_TRUE(t.Validate());
}

TEST(DynamicAABBTree, FlatBoxesCostNothingAndTiesGoToTheSecondChild) {
  TZNT1DynamicAABBTree t;
  // At z = 5 the 1e-12 margin vanishes in single precision.
  const int32_t a = t.CreateProxy(Box(0, 0, 5, 1, 1, 5), Tag(0));
  const int32_t b = t.CreateProxy(Box(5, 0, 5, 6, 1, 5), Tag(1));
  EXPECT_EQ(AABBCost(t.Nodes[a].AABB), 0.0f);
  const int32_t c = t.CreateProxy(Box(9, 0, 5, 10, 1, 5), Tag(2));
  const int32_t Inner = t.Nodes[t.Root].Children[1];
  EXPECT_EQ(t.Nodes[t.Root].Children[0], a);
  EXPECT_EQ(t.Nodes[Inner].Children[0], b);
  EXPECT_EQ(t.Nodes[Inner].Children[1], c);
  EXPECT_TRUE(t.Validate());
}

TEST(DynamicAABBTree, DiagnosticsOnAKnownTree) {
  TZNT1DynamicAABBTree t;
  EXPECT_EQ(t.GetHeight(), 0);
  EXPECT_EQ(t.ComputeHeight(), 0);
  EXPECT_EQ(t.GetAreaRatio(), 0.0f);
  EXPECT_EQ(t.GetIntersectionProxy(Cube(0)), nullptr);
  t.CreateProxy(Box(0, 0, 0, 1, 1, 1), Tag(0));
  t.CreateProxy(Box(1, 0, 0, 2, 1, 1), Tag(1));
  EXPECT_EQ(t.ComputeHeight(), 1);
  EXPECT_NEAR(t.GetAreaRatio(), 2.0f, 1e-5f);  // root 2 + two leaves of 1, over the root's 2
  EXPECT_EQ(t.GetMaxBalance(), 0);
  EXPECT_EQ(t.GetIntersectionProxy(Box(1.5f, 0.5f, 0.5f, 1.6f, 0.6f, 0.6f)), Tag(1));
  EXPECT_EQ(t.GetIntersectionProxy(Box(3, 3, 3, 4, 4, 4)), nullptr);
  t.Nodes[t.Root].AABB.Max.x += 1;  // a box that is no longer the union
  EXPECT_FALSE(t.ValidateMetrics());
  EXPECT_FALSE(t.Validate());
}

TEST(DynamicAABBTree, SeededCreateMoveDestroyRunStaysValid) {
  std::mt19937 Rng(42);
  std::uniform_real_distribution<float> Pos(-500, 500), Size(0.5f, 40), Step(-8, 8);
  TZNT1DynamicAABBTree t;
  struct Live {
    int32_t Id;
    TZNT1AABB Box;
    intptr_t Tag;
  };
  std::vector<Live> Proxies;
  intptr_t NextTag = 0;
  constexpr int Steps = testdata::Sanitizing ? 1500 : 4000;
  for (int i = 0; i < Steps; ++i) {
    const uint32_t Op = Rng() % 10;
    if (Op < 4 || Proxies.size() < 4) {
      const TZNT1Vector3 p = Vector3(Pos(Rng), Pos(Rng), Pos(Rng));
      const float s = Size(Rng), h = Rng() % 3 == 0 ? 0.0f : Size(Rng);
      const TZNT1AABB b = Box(p.x, p.y, p.z, p.x + s, p.y + s, p.z + h);
      Proxies.push_back({t.CreateProxy(b, Tag(NextTag)), b, NextTag});
      ++NextTag;
    } else if (Op < 8) {
      Live& l = Proxies[Rng() % Proxies.size()];
      const TZNT1Vector3 d = Vector3(Step(Rng), Step(Rng), Step(Rng));
      for (int a = 0; a < 3; ++a) {
        l.Box.Min.xyz[a] += d.xyz[a];
        l.Box.Max.xyz[a] += d.xyz[a];
      }
      t.MoveProxy(l.Id, l.Box, d);
    } else {
      const size_t k = Rng() % Proxies.size();
      t.DestroyProxy(Proxies[k].Id);
      Proxies[k] = Proxies.back();
      Proxies.pop_back();
    }
    if (i % 500 == 250) t.Rebalance(20);
    if (i % 1000 == 999) t.Rebuild();
    ASSERT_TRUE(t.Validate()) << "step " << i;
    for (const Live& l : Proxies) ASSERT_TRUE(AABBContains(t.Nodes[l.Id].AABB, l.Box));
    if (i % 50 == 0) {
      for (int q = 0; q < 20; ++q) {
        const TZNT1Vector3 p = Vector3(Pos(Rng), Pos(Rng), Pos(Rng));
        const TZNT1AABB Query = Box(p.x, p.y, p.z, p.x + 30, p.y + 30, p.z + 30);
        bool Any = false;
        for (const Live& l : Proxies) Any = Any || AABBIntersectEx(t.Nodes[l.Id].AABB, Query, 1e-12f);
        void* Found = t.GetIntersectionProxy(Query);
        ASSERT_EQ(Found != nullptr, Any);
        if (Found) {
          const intptr_t k = reinterpret_cast<intptr_t>(Found) - 1;
          bool Overlaps = false;
          for (const Live& l : Proxies)
            if (l.Tag == k) Overlaps = AABBIntersectEx(t.Nodes[l.Id].AABB, Query, 1e-12f);
          EXPECT_TRUE(Overlaps);
        }
      }
    }
  }
  EXPECT_LE(t.GetHeight(), 40);
}
