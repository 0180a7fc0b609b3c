#include <gtest/gtest.h>

#include <cmath>

#include "core/ZNT1Math.h"
#include "renderer/ZNT1Renderer.h"
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
