#include <gtest/gtest.h>

#include <cmath>

#include "renderer/ZNT1Frustum.h"
#include "support/MathTestSupport.h"

namespace {

TZNT1Frustum CubeFrustum() {
  TZNT1Frustum f;
  f.ExtractFrustum(Matrix4x4Identity, Matrix4x4Identity);
  return f;
}

using mathtest::Ball;

}  // namespace

TEST(Frustum, IdentityMatricesGiveTheUnitCube) {
  const TZNT1Frustum f = CubeFrustum();
  const TZNT1Vector3 Normals[6] = {Vector3(-1, 0, 0), Vector3(1, 0, 0), Vector3(0, 1, 0),
                                   Vector3(0, -1, 0), Vector3(0, 0, -1), Vector3(0, 0, 1)};
  for (int i = 0; i < 6; ++i) {
    EXPECT_FLOAT_EQ(f.Frustum[i].a, Normals[i].x) << i;
    EXPECT_FLOAT_EQ(f.Frustum[i].b, Normals[i].y) << i;
    EXPECT_FLOAT_EQ(f.Frustum[i].c, Normals[i].z) << i;
    EXPECT_FLOAT_EQ(f.Frustum[i].Distance, 1.0f) << i;
  }
  for (int a = 0; a < 3; ++a) {
    EXPECT_FLOAT_EQ(f.AABB.Min.xyz[a], -1.0f);
    EXPECT_FLOAT_EQ(f.AABB.Max.xyz[a], 1.0f);
    EXPECT_NEAR(f.Sphere.Center.xyz[a], 0.0f, 1e-6f);
  }
  EXPECT_NEAR(f.Sphere.Radius, std::sqrt(3.0f), 1e-5f);
  TZNT1AABB Box;
  f.GetFrustumAABB(Box);
  EXPECT_FLOAT_EQ(Box.Min.x, -1.0f);
  EXPECT_FLOAT_EQ(Box.Max.z, 1.0f);
  TZNT1Sphere s;
  f.GetFrustumSphere(s);
  EXPECT_EQ(s.Radius, f.Sphere.Radius);
}

TEST(Frustum, PerspectiveNearOneFarHundred) {
  TZNT1Matrix4x4 Projection = Matrix4x4Identity;
  Matrix4x4Perspective(Projection, 90.0f, 1.0f, 1.0f, 100.0f);
  TZNT1Frustum f;
  f.ExtractFrustum(Matrix4x4Identity, Projection);
  // Near and far planes look along -z at distances 1 and 100.
  EXPECT_NEAR(f.Frustum[5].c, -1.0f, 1e-5f);
  EXPECT_NEAR(f.Frustum[5].Distance, -1.0f, 1e-3f);
  EXPECT_NEAR(f.Frustum[4].c, 1.0f, 1e-5f);
  EXPECT_NEAR(f.Frustum[4].Distance, 100.0f, 1e-2f);
  struct Case {
    TZNT1Vector3 p;
    bool Inside;
  };
  const Case Cases[] = {
      {Vector3(0, 0, -50), true},   {Vector3(0, 0, -0.5f), false}, {Vector3(0, 0, -101), false},
      {Vector3(0, 0, 5), false},    {Vector3(45, 0, -50), true},   {Vector3(55, 0, -50), false},
      {Vector3(0, -55, -50), false}, {Vector3(0, 45, -50), true},
  };
  for (const Case& c : Cases) EXPECT_EQ(f.PointInFrustum(c.p), c.Inside) << c.p.x << " " << c.p.y << " " << c.p.z;
  EXPECT_NEAR(f.AABB.Min.z, -100.0f, 0.05f);
  EXPECT_NEAR(f.AABB.Max.x, 100.0f, 0.05f);
  EXPECT_EQ(f.SphereInFrustum(Ball(0, 0, -50, 10), 0), COMPLETE_IN);
  EXPECT_EQ(f.SphereInFrustum(Ball(0, 0, 200, 10), 128), COMPLETE_OUT);
  EXPECT_EQ(f.SphereInFrustum(Ball(0, 0, 100, 10), 128), PARTIALLY_IN);
}

TEST(Frustum, SphereCases) {
  const TZNT1Frustum f = CubeFrustum();
  struct Case {
    TZNT1Sphere s;
    float Margin;
    int32_t Expected;
  };
  const Case Cases[] = {
      {Ball(1.5f, 0, 0, 0.5f), 0, COMPLETE_OUT},    // centre exactly -r from the right plane
      {Ball(0.5f, 0, 0, 0.5f), 0, PARTIALLY_IN},     // centre exactly r from the right plane
      {Ball(1, 0, 0, 0), 0, COMPLETE_OUT},          // a point on a plane is outside
      {Ball(0, 0, 0, 0.5f), 0, COMPLETE_IN},
      {Ball(0, 0, 0, 0.5f), 0.5f, PARTIALLY_IN},    // the margin widens the sphere
      {Ball(3, 0, 0, 0.5f), 2.0f, PARTIALLY_IN},
      {Ball(3, 3, 3, 0.5f), 0, COMPLETE_OUT},
  };
  for (size_t i = 0; i < std::size(Cases); ++i)
    EXPECT_EQ(f.SphereInFrustum(Cases[i].s, Cases[i].Margin), Cases[i].Expected) << i;
}

TEST(Frustum, BoxCubeAndPointCases) {
  const TZNT1Frustum f = CubeFrustum();
  struct Case {
    TZNT1Vector3 a, b;
    float Offset;
    int32_t Box;
  };
  const Case Cases[] = {
      {Vector3(-0.5f, -0.5f, -0.5f), Vector3(0.5f, 0.5f, 0.5f), 0, COMPLETE_IN},
      {Vector3(-1, -1, -1), Vector3(1, 1, 1), 0, COMPLETE_IN},          // corners on the planes
      {Vector3(-0.5f, -0.5f, -0.5f), Vector3(0.5f, 0.5f, 0.5f), 0.6f, PARTIALLY_IN},
      {Vector3(0.5f, 0, 0), Vector3(1.5f, 0.2f, 0.2f), 0, PARTIALLY_IN},
      {Vector3(2, 0, 0), Vector3(3, 1, 1), 0, COMPLETE_OUT},
      {Vector3(2, 0, 0), Vector3(3, 1, 1), 1.0f, PARTIALLY_IN},          // widened onto the plane
      {Vector3(1, -0.5f, -0.5f), Vector3(1, 0.5f, 0.5f), 0, COMPLETE_IN},  // flat box on a plane
  };
  for (size_t i = 0; i < std::size(Cases); ++i) {
    const Case& c = Cases[i];
    EXPECT_EQ(f.BoxInFrustum(c.a, c.b, c.Offset), c.Box) << i;
    EXPECT_EQ(f.BoxInFrustum(c.b, c.a, c.Offset), c.Box) << i;
    EXPECT_EQ(f.CubeInFrustum(c.a, c.b, c.Offset), c.Box != COMPLETE_OUT) << i;
    EXPECT_EQ(f.CubeInFrustum(c.b, c.a, c.Offset), c.Box != COMPLETE_OUT) << i;
    // Mixed corners: each axis swapped on its own.
    EXPECT_EQ(f.CubeInFrustum(Vector3(c.b.x, c.a.y, c.b.z), Vector3(c.a.x, c.b.y, c.a.z), c.Offset),
              c.Box != COMPLETE_OUT)
        << i;
  }
  EXPECT_TRUE(f.PointInFrustum(Vector3(0, 0, 0)));
  EXPECT_TRUE(f.PointInFrustum(Vector3(0.999f, 0, 0)));
  EXPECT_FALSE(f.PointInFrustum(Vector3(1, 0, 0)));
  EXPECT_FALSE(f.PointInFrustum(Vector3(0, 0, -1)));
}

TEST(Frustum, PlaneNormalizeKeepsADegeneratePlane) {
  TZNT1Plane p = Plane(Vector3(0, 0, 0), 5.0f);
  TZNT1Plane r = ZNT1Frustum::PlaneNormalize(p);
  EXPECT_EQ(r.Distance, 5.0f);
  EXPECT_EQ(r.a, 0.0f);
  r = ZNT1Frustum::PlaneNormalize(Plane(Vector3(0, 3, 4), 10.0f));
  EXPECT_FLOAT_EQ(r.b, 0.6f);
  EXPECT_FLOAT_EQ(r.c, 0.8f);
  EXPECT_FLOAT_EQ(r.Distance, 2.0f);
  // A zero plane tests with its raw values: every distance is 0, so points are not in front.
  TZNT1Frustum f = CubeFrustum();
  f.Frustum[2] = Plane(Vector3(0, 0, 0), 0.0f);
  EXPECT_FALSE(f.PointInFrustum(Vector3(0, 0, 0)));
  EXPECT_TRUE(f.CubeInFrustum(Vector3(0, 0, 0), Vector3(0.1f, 0.1f, 0.1f), 0));
}

TEST(Frustum, FrustumSphereAroundAViewSlice) {
  TZNT1Frustum f;
  const float Fov = static_cast<float>(M_PI / 2);  // tan(45 deg) = 1
  f.ExtractFrustumSphere(10, 110, Fov, 2.0f, Vector3(1, 2, 3), Vector3(1, 0, 0));
  // Height 100, width 200, slice centre 60: radius |(200, 100, 100) - (0, 0, 60)|.
  EXPECT_NEAR(f.FrustumSphere.Radius, std::sqrt(200.0f * 200 + 100 * 100 + 40 * 40), 1e-2f);
  EXPECT_FLOAT_EQ(f.FrustumSphere.Center.x, 61.0f);
  EXPECT_FLOAT_EQ(f.FrustumSphere.Center.y, 2.0f);
}
