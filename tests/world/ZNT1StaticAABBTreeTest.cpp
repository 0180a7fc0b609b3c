// Static AABB tree: build rules, the proxy-list invariant and the overlap query.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/MathTestSupport.h"
#include "world/ZNT1StaticAABBTree.h"

namespace {

using mathtest::Box;

bool SameBox(const TZNT1AABB& a, const TZNT1AABB& b) {
  for (int i = 0; i < 3; ++i)
    if (a.Min.xyz[i] != b.Min.xyz[i] || a.Max.xyz[i] != b.Max.xyz[i]) return false;
  return true;
}

// Proxy indices listed by each node; also checks each proxy sits in exactly one list.
std::vector<std::vector<int32_t>> ListsOf(const TZNT1StaticAABBTree& t) {
  std::vector<std::vector<int32_t>> Lists(static_cast<size_t>(t.NodeCount));
  std::vector<int> Seen(static_cast<size_t>(t.ProxiesCount), 0);
  for (int32_t n = 0; n < t.NodeCount; ++n)
    for (int32_t p = t.Nodes[n].Proxies; p >= 0; p = t.Proxies[p].Next) {
      Lists[n].push_back(p);
      ++Seen[p];
    }
  for (int32_t p = 0; p < t.ProxiesCount; ++p) EXPECT_EQ(Seen[p], 1) << "proxy " << p;
  return Lists;
}

std::vector<TZNT1AABB> RandomBoxes(std::mt19937& Rng, int n, float World, float MaxSize) {
  std::uniform_real_distribution<float> Pos(-World, World), Size(0.0f, MaxSize);
  std::vector<TZNT1AABB> Boxes;
  for (int i = 0; i < n; ++i) {
    const TZNT1Vector3 p = Vector3(Pos(Rng), Pos(Rng), Pos(Rng));
    Boxes.push_back(Box(p.x, p.y, p.z, p.x + Size(Rng), p.y + Size(Rng), p.z + Size(Rng)));
  }
  return Boxes;
}

}  // namespace

TEST(StaticAABBTree, SmallSetsStayOneNodeWithTheUnion) {
  struct Case {
    int Count, Threshold;
    bool Identical;
  } Cases[] = {{2, 0, false}, {7, 8, false}, {1, 8, false}, {40, 8, true}};
  for (const Case& c : Cases) {
    TZNT1StaticAABBTree t;
    TZNT1AABB Union = Box(0, 0, 0, 1, 1, 1);
    for (int i = 0; i < c.Count; ++i) {
      const float o = c.Identical ? 0.0f : static_cast<float>(i * 10);
      t.CreateProxy(Box(o, 0, -o, o + 1, 1, 1 - o), i);
      Union = AABBCombine(Union, t.Proxies[i].AABB);
    }
    t.Build(c.Threshold, 64, false);
    SCOPED_TRACE(c.Count);
    ASSERT_EQ(t.NodeCount, 1);
    EXPECT_EQ(t.Root, 0);
    EXPECT_EQ(t.Nodes[0].Children[0], -1);
    EXPECT_EQ(t.Nodes[0].Children[1], -1);
    EXPECT_TRUE(SameBox(t.Nodes[0].AABB, Union));
    EXPECT_EQ(ListsOf(t)[0].size(), static_cast<size_t>(c.Count));
  }
}

TEST(StaticAABBTree, EmptyBuildAndMaxDepth) {
  TZNT1StaticAABBTree Empty;
  EXPECT_EQ(Empty.NodeCount, -1);
  Empty.Build(8, 64, false);
  EXPECT_EQ(Empty.NodeCount, 0);
  EXPECT_TRUE(Empty.Nodes.empty());
  EXPECT_EQ(Empty.GetIntersectionProxy(Box(-1e9f, -1e9f, -1e9f, 1e9f, 1e9f, 1e9f)), nullptr);

  std::mt19937 Rng(7);
  const std::vector<TZNT1AABB> Boxes = RandomBoxes(Rng, 200, 1000, 20);
  for (int MaxDepth : {0, 1, 64, -1}) {
    TZNT1StaticAABBTree t;
    for (size_t i = 0; i < Boxes.size(); ++i) t.CreateProxy(Boxes[i], static_cast<intptr_t>(i));
    t.Build(8, MaxDepth, false);
    SCOPED_TRACE(MaxDepth);
    const int32_t Expected = MaxDepth == 0 ? 1 : MaxDepth == 1 ? 3 : -1;
    if (Expected > 0) {
      EXPECT_EQ(t.NodeCount, Expected);
    } else {
      EXPECT_GT(t.NodeCount, 30);
    }
    EXPECT_EQ(t.Nodes.size(), static_cast<size_t>(t.NodeCount));
  }
}

TEST(StaticAABBTree, MidpointOnTheCentreGoesRight) {
  TZNT1StaticAABBTree t;
  t.CreateProxy(Box(0, 0, 0, 2, 1, 1), 0);  // midpoint 1: left
  t.CreateProxy(Box(2, 0, 0, 4, 1, 1), 1);  // midpoint 3: right
  t.CreateProxy(Box(1, 0, 0, 3, 1, 1), 2);  // midpoint 2 = centre: right
  t.Build(1, 64, false);
  ASSERT_EQ(t.NodeCount, 3);
  const auto Lists = ListsOf(t);
  EXPECT_EQ(t.Nodes[0].Children[0], 1);
  EXPECT_EQ(t.Nodes[0].Children[1], 2);
  EXPECT_TRUE(Lists[0].empty());
  EXPECT_EQ(Lists[1], (std::vector<int32_t>{0}));
  EXPECT_EQ(Lists[2], (std::vector<int32_t>{2, 1}));  // put at the head: reverse order
  EXPECT_TRUE(SameBox(t.Nodes[1].AABB, Box(0, 0, 0, 2, 1, 1)));
  EXPECT_TRUE(SameBox(t.Nodes[2].AABB, Box(1, 0, 0, 4, 1, 1)));
}

TEST(StaticAABBTree, KDTreeKeepsStraddlersInTheInnerNode) {
  TZNT1StaticAABBTree t;
  for (int i = 0; i < 4; ++i) t.CreateProxy(Box(0.0f + i, 0, 0, 1.0f + i, 1, 1), i);  // left half
  for (int i = 0; i < 4; ++i) t.CreateProxy(Box(15.0f + i, 0, 0, 16.0f + i, 1, 1), 4 + i);  // right half
  t.CreateProxy(Box(9, 0, 0, 11, 1, 1), 8);  // crosses x = 9.5
  t.Build(3, 64, true);
  ASSERT_GE(t.NodeCount, 3);
  const auto Lists = ListsOf(t);
  EXPECT_EQ(Lists[0], (std::vector<int32_t>{8}));
  const TZNT1StaticAABBTreeProxy* p = t.GetIntersectionProxy(Box(10, 0.5f, 0.5f, 10, 0.5f, 0.5f));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->UserData, 8);
}

TEST(StaticAABBTree, RandomBuildsKeepTheInvariantsAndFindWhatALinearScanFinds) {
  std::mt19937 Rng(1234);
  for (bool KD : {false, true}) {
    for (int Round = 0; Round < 6; ++Round) {
      const std::vector<TZNT1AABB> Boxes = RandomBoxes(Rng, 50 + Round * 150, 2000, Round % 2 ? 300.0f : 40.0f);
      TZNT1StaticAABBTree t;
      for (size_t i = 0; i < Boxes.size(); ++i) t.CreateProxy(Boxes[i], static_cast<intptr_t>(i));
      t.Build(8, 64, KD);
      SCOPED_TRACE(testing::Message() << "KD " << KD << " round " << Round);
      const auto Lists = ListsOf(t);
      for (int32_t n = 0; n < t.NodeCount; ++n) {
        const TZNT1StaticAABBTreeNode& Node = t.Nodes[n];
        for (int32_t p : Lists[n]) EXPECT_TRUE(AABBContains(Node.AABB, t.Proxies[p].AABB));
        if (!KD && Node.Children[0] >= 0) {
          EXPECT_TRUE(Lists[n].empty());
        }
        for (int c = 0; c < 2; ++c) {
          if (Node.Children[c] >= 0) {
            EXPECT_TRUE(AABBContains(Node.AABB, t.Nodes[Node.Children[c]].AABB));
          }
        }
      }
      const std::vector<TZNT1AABB> Queries = RandomBoxes(Rng, 300, 2200, 200);
      for (const TZNT1AABB& q : Queries) {
        bool Any = false;
        for (const TZNT1AABB& b : Boxes) Any = Any || AABBIntersectEx(b, q, 1e-12f);
        const TZNT1StaticAABBTreeProxy* p = t.GetIntersectionProxy(q);
        ASSERT_EQ(p != nullptr, Any);
        if (p) {
          EXPECT_TRUE(AABBIntersectEx(p->AABB, q, 1e-12f));
        }
      }
    }
  }
}
