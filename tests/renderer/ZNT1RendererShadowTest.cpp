#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Game.h"
#include "core/ZNT1Math.h"
#include "renderer/ZNT1Renderer.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1Model.h"

namespace {

TZNT1AABB Box(const TZNT1Vector3& Min, const TZNT1Vector3& Max) {
  TZNT1AABB b;
  b.Min = Min;
  b.Max = Max;
  return b;
}

}  // namespace

// Depth ranges, candidate order, slot bookkeeping and the sun's light view.

TEST(RendererShadow, DepthRangesOfANearOneFarFourThousandView) {
  TZNT1RendererShadowMapFrustums f{};
  TZNT1RendererContext::UpdateSplitDist(f, 1.0f, 4096.0f);
  const float Near[4] = {1.0f, 211.35f, 460.90f, 1024.05f};
  const float Far[4] = {212.41f, 463.20f, 1029.17f, 4096.0f};
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(f[size_t(i)].NearDistance, Near[i], 0.01f) << i;
    EXPECT_NEAR(f[size_t(i)].FarDistance, Far[i], 0.01f) << i;
  }
}

TEST(RendererShadow, LocalPlayerFirstThenAscendingSortIndex) {
  TZNT1ModelInstance Player(nullptr, nullptr), Other(nullptr, nullptr);
  Player.LocalPlayerModel = true;
  struct Case {
    TZNT1RendererShadowItem a, b;
    int32_t Expected;
  };
  const Case Cases[] = {
      {{5, nullptr, &Player}, {-600, nullptr, &Other}, -1},
      {{-600, nullptr, &Other}, {5, nullptr, &Player}, 1},
      {{-600, nullptr, nullptr}, {5, nullptr, &Player}, 1},  // no instance is never the player
      {{1, nullptr, &Other}, {2, nullptr, nullptr}, -1},
      {{3, nullptr, &Other}, {2, nullptr, &Other}, 1},
      {{2, nullptr, &Player}, {2, nullptr, &Player}, 0},
  };
  for (const Case& c : Cases) EXPECT_EQ(CompareShadowItem(c.a, c.b), c.Expected) << c.a.SortIndex << " " << c.b.SortIndex;
}

TEST(RendererShadow, SlotKeepsReservationAndCountsClustersOnce) {
  TZNT1RendererShadowMap s(nullptr, nullptr);
  s.AddCluster(7);
  s.AddCluster(3);
  s.AddCluster(7);
  EXPECT_EQ(s.CountClusters, 2);
  EXPECT_TRUE(s.IsPrimaryCluster(7));
  EXPECT_FALSE(s.IsPrimaryCluster(3));
  EXPECT_TRUE(s.ContainCluster(3));
  s.AddCaster(Box(Vector3(0, 0, 0), Vector3(1, 1, 1)), TZNT1Sphere{});
  s.AddCaster(Box(Vector3(-2, 4, 0), Vector3(0, 5, 3)), TZNT1Sphere{});
  EXPECT_EQ(s.CountCasters, 2);
  EXPECT_EQ(s.AllCasterAABB.Min.x, -2.0f);
  EXPECT_EQ(s.AllCasterAABB.Max.y, 5.0f);
  EXPECT_EQ(s.AllCasterAABB.Max.z, 3.0f);
  // Many casters grow the arrays.
  for (int i = 0; i < 3000; ++i) s.AddCaster(Box(Vector3(0, 0, 0), Vector3(1, 1, 1)), TZNT1Sphere{});
  EXPECT_EQ(s.CountCasters, 3002);
  s.LocalPlayerModel = true;
  s.ToRender = true;
  s.SplittedDistanceIndex = 2;
  s.Clear();
  EXPECT_EQ(s.CountCasters, 0);
  EXPECT_EQ(s.CountClusters, 0);
  EXPECT_EQ(s.SplittedDistanceIndex, -1);
  EXPECT_TRUE(s.LocalPlayerModel);
  EXPECT_TRUE(s.ToRender);
}

namespace {

bool Finite(const TZNT1Matrix4x4& m) {
  for (const auto& Row : m.M)
    for (float v : Row)
      if (!std::isfinite(v)) return false;
  return true;
}

}  // namespace

// Sun straight above a box of 10 x 20 x 30: the light box reaches 144 units below the casters
// and 16 units on the other sides, whatever the view direction, also looking exactly along the
// light or against it.
TEST(RendererShadow, LightViewPadsTheCastersAndSurvivesLookingAlongTheSun) {
  const TZNT1AABB Casters = Box(Vector3(0, 0, 0), Vector3(10, 20, 30));
  const TZNT1Vector3 Down = Vector3(0, 0, -1);
  for (const TZNT1Vector3 View : {Vector3(1, 0, 0), Vector3(0, 1, 0), Vector3(0, 0, -1), Vector3(0, 0, 1)}) {
    SCOPED_TRACE(testing::Message() << View.x << " " << View.y << " " << View.z);
    TZNT1Matrix4x4 MV, P;
    float ZNear = 0, ZFar = 0;
    ShadowMapLightView(View, Down, Casters, MV, P, ZNear, ZFar);
    ASSERT_TRUE(Finite(MV));
    ASSERT_TRUE(Finite(P));
    EXPECT_FLOAT_EQ(ZNear, -(30.0f + 16.0f));
    EXPECT_FLOAT_EQ(ZFar, 144.0f);
    // Light-space x and y are the box's horizontal extents in some order, each padded by 16.
    const float a = 2.0f / P.M[0][0], b = 2.0f / P.M[1][1];
    EXPECT_NEAR(std::min(a, b), 10.0f + 32.0f, 1e-3f);
    EXPECT_NEAR(std::max(a, b), 20.0f + 32.0f, 1e-3f);
    // The rotation is orthonormal and its third axis points at the sun.
    EXPECT_NEAR(MV.M[2][2], 1.0f, 1e-6f);
    TZNT1Matrix4x4 L, Inv;
    Matrix4x4Mul(L, MV, P);
    EXPECT_TRUE(Matrix4x4Inverse(Inv, L));
    // The top of the casters lies 16 units inside the near plane, their bottom 144 inside the far one.
    const float Depth = ZFar - ZNear;
    const TZNT1Vector3 Top = Vector3TermMatrixMul(Vector3(5, 10, 30), L);
    const TZNT1Vector3 Bottom = Vector3TermMatrixMul(Vector3(5, 10, 0), L);
    EXPECT_NEAR(Top.z, -1.0f + 2.0f * 16.0f / Depth, 1e-4f);
    EXPECT_NEAR(Bottom.z, 1.0f - 2.0f * 144.0f / Depth, 1e-4f);
  }
}

namespace {

// One caster of a slot-sharing case: a 10-unit cube at x = X (a map model or a model instance).
struct CasterSpec {
  float X;
  int32_t Range, Cluster;  // Cluster -1: not a valid cluster of the map
  bool Player = false, MapModel = false;
};

}  // namespace

// The five slots are shared by the first rule that yields one: the local player's slot, touching
// casters, the same valid cluster or depth range, an empty slot, the nearest slot.
TEST(RendererShadow, CastersShareTheFiveSlotsByTheFirstRuleThatFits) {
  struct Case {
    const char* Name;
    uint32_t Reserved;  // slots reserved for the local player in an earlier frame
    std::vector<CasterSpec> Casters;
    std::vector<int32_t> Slots;
  };
  const Case Cases[] = {
      {"boxes touching share", 0, {{0, 0, -1}, {10, 1, -1}}, {0, 0}},
      {"a map model touching an instance shares", 0, {{0, 0, -1}, {10, 2, -1, false, true}}, {0, 0}},
      {"a gap opens the next slot", 0, {{0, 0, -1}, {11, 1, -1}, {30, 2, -1}}, {0, 1, 2}},
      {"the same valid cluster shares", 0, {{0, 0, 3}, {500, 2, 3}}, {0, 0}},
      {"the same range with a valid cluster shares", 0, {{0, 1, 3}, {500, 1, 4}}, {0, 0}},
      {"the same range without a valid cluster does not", 0, {{0, 1, -1}, {500, 1, -1}}, {0, 1}},
      {"inside a slot's box but touching none of its casters", 0, {{0, 0, 3}, {100, 0, 3}, {50, 1, -1}}, {0, 0, 1}},
      {"five in use, then the nearest slot", 0,
       {{0, 0, -1}, {100, 0, -1}, {200, 0, -1}, {300, 0, -1}, {400, 0, -1}, {260, 0, -1}, {222, 0, -1}},
       {0, 1, 2, 3, 4, 3, 2}},
      {"five in use: an equal distance keeps the earlier slot", 0,
       {{0, 0, -1}, {100, 0, -1}, {200, 0, -1}, {300, 0, -1}, {400, 0, -1}, {150, 0, -1}}, {0, 1, 2, 3, 4, 1}},
      {"five in use: a slot whose box holds it wins before a nearer one", 0,
       {{0, 0, 3}, {300, 0, 3}, {1000, 1, -1}, {1100, 1, -1}, {1200, 1, -1}, {1300, 1, -1}, {290, 1, -1},
        {150, 1, -1}},
       {0, 0, 1, 2, 3, 4, 0, 0}},
      {"the player takes the first empty slot and keeps it to itself", 0,
       {{0, 0, -1, true}, {5, 0, 3}, {500, 0, 3}}, {0, 1, 1}},
      {"a reserved slot waits for the player", 1u << 2,
       {{0, 0, -1}, {100, 0, -1}, {200, 0, -1}, {300, 0, -1}, {400, 0, -1, true}, {350, 0, -1}},
       {0, 1, 3, 4, 2, 4}},
      {"a reserved slot takes no one else", 1u << 0,
       {{0, 0, -1}, {100, 0, -1}, {200, 0, -1}, {300, 0, -1}, {400, 0, -1}}, {1, 2, 3, 4, 4}},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    std::unique_ptr<TZNT1RendererShadowMap> Slots[MaxShadowMaps];
    for (int32_t k = 0; k < MaxShadowMaps; ++k) {
      Slots[k] = std::make_unique<TZNT1RendererShadowMap>(nullptr, nullptr);
      Slots[k]->LocalPlayerModel = (c.Reserved >> k) & 1;
    }
    std::vector<std::unique_ptr<TZNT1ModelInstance>> Instances;
    std::vector<std::unique_ptr<TBSPMapModel>> MapModels;
    int32_t MaxShadowMap = -1;
    std::vector<int32_t> Got;
    for (const CasterSpec& s : c.Casters) {
      const TZNT1AABB b = Box(Vector3(s.X, 0, 0), Vector3(s.X + 10, 10, 10));
      TZNT1RendererShadowItem Item;
      if (s.MapModel) {
        MapModels.push_back(std::make_unique<TBSPMapModel>());
        MapModels.back()->ViewTransformedAABB = b;
        Item.MapModel = MapModels.back().get();
      } else {
        Instances.push_back(std::make_unique<TZNT1ModelInstance>(nullptr, nullptr));
        Instances.back()->ViewAABB = b;
        Instances.back()->LocalPlayerModel = s.Player;
        Item.ModelInstance = Instances.back().get();
      }
      Got.push_back(AssignShadowMapSlot(Slots, MaxShadowMap, Item, s.Range, s.Cluster));
    }
    EXPECT_EQ(Got, c.Slots);
    EXPECT_EQ(MaxShadowMap, *std::max_element(Got.begin(), Got.end()));
    // Each slot's box is the union of its casters, and the first caster's range stays.
    for (int32_t k = 0; k < MaxShadowMaps; ++k) {
      const TZNT1RendererShadowMap& s = *Slots[k];
      float MinX = 1e9f, MaxX = -1e9f;
      int32_t Count = 0, FirstRange = -1;
      for (size_t i = 0; i < Got.size(); ++i)
        if (Got[i] == k) {
          MinX = std::min(MinX, c.Casters[i].X);
          MaxX = std::max(MaxX, c.Casters[i].X + 10);
          if (Count++ == 0) FirstRange = c.Casters[i].Range;
        }
      EXPECT_EQ(s.CountCasters, Count) << k;
      EXPECT_EQ(s.SplittedDistanceIndex, FirstRange) << k;
      if (Count) {
        EXPECT_EQ(s.AABB.Min.x, MinX) << k;
        EXPECT_EQ(s.AABB.Max.x, MaxX) << k;
      }
    }
  }
}

// Without a map, or with a map of no clusters, no slot is finished and the prepass finds nothing.
TEST(RendererShadow, NoMapOrNoClustersFinishesNoSlot) {
  TZNT1Engine Engine{&CreateGameOfClass<TZNT1Game>, true};
  TZNT1Renderer Renderer(&Engine);
  TZNT1RendererContext& c = *Renderer.MainContext;
  for (const bool WithMap : {false, true}) {
    SCOPED_TRACE(WithMap ? "map of no clusters" : "no map");
    if (WithMap) {
      Engine.BSP = std::make_unique<TZNT1BSP>(&Engine);
      c.Check();
      ASSERT_EQ(c.BSP, Engine.BSP.get());
    }
    c.AllModelShadowMapBitmap = 0x1F;
    c.RenderModelShadowMaps();
    EXPECT_EQ(c.AllModelShadowMapBitmap, 0u);
  }
  Engine.BSP.reset();
}
