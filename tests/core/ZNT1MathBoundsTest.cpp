// Bounding volumes and intersection tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "core/ZNT1Math.h"
#include "support/MathTestSupport.h"

namespace {

using namespace mathtest;

bool Holds(const TZNT1Sphere& Outer, const TZNT1Sphere& Inner) {
  return Vector3Dist(Outer.Center, Inner.Center) + Inner.Radius <= Outer.Radius * (1 + 1e-5f) + 1e-5f;
}

}  // namespace

TEST(MathSpheres, FromBoxAndFrustum) {
  const TZNT1Sphere s = SphereFromAABB(Box(0, 0, 0, 2, 0, 0));
  ExpectVec(s.Center, 1, 0, 0);
  EXPECT_FLOAT_EQ(s.Radius, 1.025f);
  const TZNT1AABB b = AABBFromSphere(Ball(1, 2, 3, 0.5f));
  ExpectVec(b.Min, 0.5f, 1.5f, 2.5f);
  ExpectVec(b.Max, 1.5f, 2.5f, 3.5f);

  // Near 1, far 101, 90 degrees, aspect 2: height 100, width 200, middle 51.
  const TZNT1Sphere f = SphereFromFrustum(1, 101, 90, 2, Vector3(5, 0, 0), Vector3(0, 1, 0));
  EXPECT_NEAR(f.Radius, std::sqrt(200.0f * 200 + 100 * 100 + 49 * 49), 1e-2f);
  ExpectVec(f.Center, 5, 51, 0);
}

TEST(MathSpheres, Extend) {
  const struct {
    TZNT1Sphere A, B, Out;
  } Cases[] = {
      // Apart: the sphere through both.
      {Ball(0, 0, 0, 1), Ball(4, 0, 0, 1), Ball(2, 0, 0, 3)},
      // B inside A: A.
      {Ball(0, 0, 0, 5), Ball(1, 0, 0, 1), Ball(0, 0, 0, 5)},
      // A inside B: B (the plain formula would give a sphere smaller than B).
      {Ball(1, 0, 0, 1), Ball(0, 0, 0, 5), Ball(0, 0, 0, 5)},
      // Concentric: the larger one.
      {Ball(2, 2, 2, 1), Ball(2, 2, 2, 3), Ball(2, 2, 2, 3)},
      {Ball(2, 2, 2, 3), Ball(2, 2, 2, 1), Ball(2, 2, 2, 3)},
  };
  for (const auto& c : Cases) {
    const TZNT1Sphere r = SphereExtend(c.A, c.B);
    ExpectVec(r.Center, c.Out.Center.x, c.Out.Center.y, c.Out.Center.z);
    EXPECT_NEAR(r.Radius, c.Out.Radius, 1e-5f);
  }
  std::mt19937 Rng(17);
  std::uniform_real_distribution<float> P(-10, 10), R(0, 6);
  for (int i = 0; i < 1000; ++i) {
    const TZNT1Sphere a = Ball(P(Rng), P(Rng), P(Rng), R(Rng));
    const TZNT1Sphere b = i % 5 == 0 ? Ball(a.Center.x, a.Center.y, a.Center.z, R(Rng)) : Ball(P(Rng), P(Rng), P(Rng), R(Rng));
    const TZNT1Sphere r = SphereExtend(a, b);
    EXPECT_TRUE(Holds(r, a)) << i;
    EXPECT_TRUE(Holds(r, b)) << i;
    EXPECT_LE(r.Radius, std::max(a.Radius, b.Radius) + Vector3Dist(a.Center, b.Center) + 1e-4f);
  }
}

TEST(MathBoxes, CombineCostAndContainment) {
  const TZNT1AABB a = Box(0, 0, 0, 1, 2, 3), b = Box(-1, 1, 1, 0.5f, 5, 2);
  const TZNT1AABB u = AABBCombine(a, b);
  ExpectVec(u.Min, -1, 0, 0);
  ExpectVec(u.Max, 1, 5, 3);
  const TZNT1AABB g = AABBCombineVector3(a, Vector3(4, -1, 1));
  ExpectVec(g.Min, 0, -1, 0);
  ExpectVec(g.Max, 4, 2, 3);
  EXPECT_FLOAT_EQ(AABBCost(a), 6);

  EXPECT_TRUE(AABBContains(a, a));
  EXPECT_TRUE(AABBContains(u, a));
  EXPECT_FALSE(AABBContains(a, u));
  EXPECT_TRUE(AABBContains(a, Vector3(1, 2, 3)));  // corners count
  EXPECT_FALSE(AABBContains(a, Vector3(1.0001f, 2, 3)));
  EXPECT_TRUE(AABBTouched(a, Vector3(1.5f, -0.5f, 3), 0.5f));
  EXPECT_FALSE(AABBTouched(a, Vector3(1.6f, 0, 0), 0.5f));
}

TEST(MathBoxes, IntersectAndDistance) {
  const TZNT1AABB Unit = Box(0, 0, 0, 1, 1, 1);
  const struct {
    TZNT1AABB Other;
    bool Intersect;
    float Distance;
  } Cases[] = {
      {Box(1, 0, 0, 2, 1, 1), true, 0},          // a shared face
      {Box(1, 1, 1, 2, 2, 2), true, 0},          // a shared corner
      {Box(0.2f, 0.2f, 0.2f, 0.5f, 0.5f, 0.5f), true, 0},
      {Box(4, 5, 0, 5, 6, 1), false, 5},         // 3 apart on x, 4 on y
      {Box(-3, 0, 0, -2, 1, 1), false, 2},
      {Box(0, 0, 3, 1, 1, 4), false, 2},
  };
  for (const auto& c : Cases) {
    EXPECT_EQ(AABBIntersect(Unit, c.Other), c.Intersect);
    EXPECT_EQ(AABBIntersect(c.Other, Unit), c.Intersect);
    EXPECT_FLOAT_EQ(AABBDistance(Unit, c.Other), c.Distance);
    EXPECT_FLOAT_EQ(AABBDistance(c.Other, Unit), c.Distance);
  }
  EXPECT_FALSE(AABBIntersectEx(Unit, Box(2, 0, 0, 3, 1, 1), 0.4f));
  EXPECT_TRUE(AABBIntersectEx(Unit, Box(2, 0, 0, 3, 1, 1), 0.5f));  // each widened by the threshold
  EXPECT_TRUE(AABBIntersectEx(Unit, Box(0.5f, 0, 0, 0.6f, 1, 1), 0));
}

TEST(MathBoxes, Transform) {
  // 90 degrees about z for row vectors, then a move by (10, 0, 0).
  TZNT1Matrix4x4 m = Matrix4x4Identity;
  m.M[0][0] = 0;
  m.M[0][1] = 1;
  m.M[1][0] = -1;
  m.M[1][1] = 0;
  m.M[3][0] = 10;
  const TZNT1AABB r = AABBTransform(Box(0, 0, 0, 1, 1, 1), m);
  ExpectVec(r.Min, 9, 0, 0);
  ExpectVec(r.Max, 10, 1, 1);

  // Any transform: the box of the eight transformed corners.
  std::mt19937 Rng(9);
  std::uniform_real_distribution<float> D(-2, 2);
  for (int i = 0; i < 50; ++i) {
    TZNT1Matrix4x4 t = Matrix4x4Identity;
    for (int a = 0; a < 4; ++a)
      for (int b = 0; b < 3; ++b) t.M[a][b] = D(Rng);
    const TZNT1AABB In = Box(-1, D(Rng) - 3, 0, 2, 3, D(Rng) + 3);
    const TZNT1AABB Out = AABBTransform(In, t);
    TZNT1AABB Expect = Box(1e30f, 1e30f, 1e30f, -1e30f, -1e30f, -1e30f);
    for (int k = 0; k < 8; ++k) {
      const TZNT1Vector3 c = Vector3((k & 1) ? In.Max.x : In.Min.x, (k & 2) ? In.Max.y : In.Min.y, (k & 4) ? In.Max.z : In.Min.z);
      Expect = AABBCombineVector3(Expect, Vector3TermMatrixMul(c, t));
    }
    ExpectVec(Out.Min, Expect.Min.x, Expect.Min.y, Expect.Min.z, 1e-4f);
    ExpectVec(Out.Max, Expect.Max.x, Expect.Max.y, Expect.Max.z, 1e-4f);
  }
}

TEST(MathBoxes, ScissorRect) {
  const TZNT1ClipRect vp = {0, 0, 8, 8};
  TZNT1ClipRect s = {-1, -1, -1, -1};
  // Identity projection: window x = 8 (x + 1) / 2. Halves round to even: 0.5 -> 0, 1.5 -> 2, 5.5 -> 6, 4.5 -> 4.
  EXPECT_TRUE(AABBScissorRect(Box(-0.875f, -0.625f, 0, 0.375f, 0.125f, 0.5f), s, Matrix4x4Identity, vp, true));
  EXPECT_EQ(s, (TZNT1ClipRect{0, 2, 6, 4}));
  // Clamped into the viewport, which may sit off the origin.
  EXPECT_TRUE(AABBScissorRect(Box(-3, -0.5f, 0, 0.5f, 9, 0.5f), s, Matrix4x4Identity, TZNT1ClipRect{10, 20, 8, 8}, true));
  EXPECT_EQ(s, (TZNT1ClipRect{10, 22, 16, 28}));

  TZNT1Matrix4x4 Projection = Matrix4x4Identity;
  Matrix4x4Perspective(Projection, 90, 1, 1, 100);
  const TZNT1ClipRect Screen = {0, 0, 640, 480};
  const TZNT1AABB Ahead = Box(-1, -1, -20, 1, 1, -10);
  EXPECT_TRUE(AABBScissorRect(Ahead, s, Projection, Screen, true));
  EXPECT_GT(s[0], 0);
  EXPECT_LT(s[2], 640);
  // Beyond the far plane: culled with zcull, always visible without.
  const TZNT1AABB Far = Box(-1, -1, -300, 1, 1, -200);
  EXPECT_FALSE(AABBScissorRect(Far, s, Projection, Screen, true));
  EXPECT_TRUE(AABBScissorRect(Far, s, Projection, Screen, false));
  // Entirely behind the viewer: every corner lands beyond the far range after the divide.
  const TZNT1AABB Behind = Box(-1, -1, 10, 1, 1, 20);
  EXPECT_FALSE(AABBScissorRect(Behind, s, Projection, Screen, true));
  EXPECT_TRUE(AABBScissorRect(Behind, s, Projection, Screen, false));
  // Straddling the eye: part beyond, so the whole viewport, with or without zcull (corners
  // behind the eye would otherwise project mirrored).
  for (const bool zcull : {true, false}) {
    s = {-1, -1, -1, -1};
    EXPECT_TRUE(AABBScissorRect(Box(-1, -1, -20, 1, 1, 5), s, Projection, Screen, zcull));
    EXPECT_EQ(s, (TZNT1ClipRect{0, 0, 640, 480}));
    s = {-1, -1, -1, -1};
    EXPECT_TRUE(AABBScissorRect(Box(3, 3, -20, 4, 4, 0.5f), s, Projection, Screen, zcull));
    EXPECT_EQ(s, (TZNT1ClipRect{0, 0, 640, 480}));
  }

  // Corners in the eye plane (w = 0) give infinities: never rounded, counted beyond far,
  // and the rectangle falls back to the whole viewport.
  const TZNT1AABB EyePlane = Box(-1, -1, -10, 1, 1, 0);
  for (const bool zcull : {true, false}) {
    s = {-1, -1, -1, -1};
    EXPECT_TRUE(AABBScissorRect(EyePlane, s, Projection, Screen, zcull));
    EXPECT_EQ(s, (TZNT1ClipRect{0, 0, 640, 480}));
  }
  const TZNT1AABB FlatInEyePlane = Box(-1, -1, 0, 1, 1, 0);  // all eight corners with w = 0
  EXPECT_FALSE(AABBScissorRect(FlatInEyePlane, s, Projection, Screen, true));
  EXPECT_TRUE(AABBScissorRect(FlatInEyePlane, s, Projection, Screen, false));
  EXPECT_EQ(s, (TZNT1ClipRect{0, 0, 640, 480}));
}

TEST(MathBoxes, SweepTest) {
  const TZNT1AABB a = Box(0, 0, 0, 1, 1, 1), b = Box(3, 0, 0, 4, 1, 1);
  const struct {
    TZNT1Vector3 aV, bV;
    bool Hit;
    float First, Last;
  } Cases[] = {
      {Vector3(0, 0, 0), Vector3(-4, 0, 0), true, 0.5f, 1.0f},
      {Vector3(0, 0, 0), Vector3(-1, 0, 0), false, 2.0f, 1.0f},  // the still axes end at 1
      {Vector3(2, 0, 0), Vector3(0, 0, 0), true, 1.0f, 1.0f},    // a reaches b just in time
      {Vector3(1, 0, 0), Vector3(-1, 0, 0), true, 1.0f, 1.0f},
      {Vector3(0, 0, 0), Vector3(-4, 0.5f, 0), true, 0.5f, 1.0f},
      {Vector3(0, 0, 0), Vector3(4, 0, 0), false, 0.0f, -0.5f},  // moving apart
  };
  for (const auto& c : Cases) {
    float First = 99, Last = 99;
    EXPECT_EQ(AABBSweepTest(a, b, c.aV, c.bV, First, Last), c.Hit);
    EXPECT_FLOAT_EQ(First, c.First);
    EXPECT_FLOAT_EQ(Last, c.Last);
  }
  // Still relative to each other on a separated axis: false at once, times not written.
  float First = 99, Last = 99;
  EXPECT_FALSE(AABBSweepTest(a, b, Vector3(0, 0, 0), Vector3(0, 0, 0), First, Last));
  EXPECT_EQ(First, 99);
  EXPECT_EQ(Last, 99);
  // Overlapping at the start.
  EXPECT_TRUE(AABBSweepTest(a, Box(0.5f, 0.5f, 0.5f, 2, 2, 2), Vector3(0, 0, 0), Vector3(9, 9, 9), First, Last));
  EXPECT_EQ(First, 0);
  EXPECT_EQ(Last, 0);
}

TEST(MathTriangles, RayIntersect) {
  const TZNT1Vector3 v0 = Vector3(0, 0, 0), v1 = Vector3(1, 0, 0), v2 = Vector3(0, 1, 0);
  float t = 0, u = 0, v = 0;
  ASSERT_TRUE(RayIntersectTriangle(Vector3(0.25f, 0.25f, 1), Vector3(0, 0, -1), v0, v1, v2, t, u, v));
  EXPECT_FLOAT_EQ(t, 1);
  EXPECT_FLOAT_EQ(u, 0.25f);
  EXPECT_FLOAT_EQ(v, 0.25f);
  EXPECT_FALSE(RayIntersectTriangle(Vector3(0.25f, 0.25f, 1), Vector3(0, 0, -1), v0, v2, v1, t, u, v));  // back face
  EXPECT_FALSE(RayIntersectTriangle(Vector3(0.75f, 0.75f, 1), Vector3(0, 0, -1), v0, v1, v2, t, u, v));  // outside
  EXPECT_FALSE(RayIntersectTriangle(Vector3(0.25f, 0.25f, 1), Vector3(1, 0, 0), v0, v1, v2, t, u, v));   // parallel
  // Behind the origin still counts, with a negative t.
  ASSERT_TRUE(RayIntersectTriangle(Vector3(0.5f, 0.25f, -2), Vector3(0, 0, -1), v0, v1, v2, t, u, v));
  EXPECT_FLOAT_EQ(t, -2);
  EXPECT_FLOAT_EQ(u, 0.5f);
  EXPECT_FLOAT_EQ(v, 0.25f);
}

namespace {

// Exact closest point in double: inside projection, else the nearest of the three edges.
double ReferenceDistance(const TZNT1Vector3& p, const TZNT1Vector3& a, const TZNT1Vector3& b, const TZNT1Vector3& c) {
  struct D3 {
    double x, y, z;
  };
  const auto V = [](const TZNT1Vector3& q) { return D3{q.x, q.y, q.z}; };
  const auto Sub = [](D3 l, D3 r) { return D3{l.x - r.x, l.y - r.y, l.z - r.z}; };
  const auto Dot = [](D3 l, D3 r) { return l.x * r.x + l.y * r.y + l.z * r.z; };
  const auto Len = [&](D3 l) { return std::sqrt(Dot(l, l)); };
  const D3 P = V(p), A = V(a), B = V(b), C = V(c);
  const auto Segment = [&](D3 s, D3 e) {
    const D3 d = Sub(e, s);
    const double t = std::clamp(Dot(Sub(P, s), d) / Dot(d, d), 0.0, 1.0);
    return Len(Sub(P, D3{s.x + t * d.x, s.y + t * d.y, s.z + t * d.z}));
  };
  double Best = std::min({Segment(A, B), Segment(B, C), Segment(C, A)});
  const D3 e0 = Sub(B, A), e1 = Sub(C, A), w = Sub(P, A);
  const double a00 = Dot(e0, e0), a01 = Dot(e0, e1), a11 = Dot(e1, e1), b0 = Dot(w, e0), b1 = Dot(w, e1);
  const double det = a00 * a11 - a01 * a01;
  const double s = (a11 * b0 - a01 * b1) / det, t = (a00 * b1 - a01 * b0) / det;
  if (s >= 0 && t >= 0 && s + t <= 1)
    Best = std::min(Best, Len(Sub(P, D3{A.x + s * e0.x + t * e1.x, A.y + s * e0.y + t * e1.y, A.z + s * e0.z + t * e1.z})));
  return Best;
}

}  // namespace

TEST(MathTriangles, PointDistance) {
  const TZNT1Vector3 t0 = Vector3(0, 0, 0), t1 = Vector3(1, 0, 0), t2 = Vector3(0, 1, 0);
  EXPECT_FLOAT_EQ(PointTriangleDistance(Vector3(0, 0, 1), t0, t1, t2), 1);
  EXPECT_FLOAT_EQ(PointTriangleDistance(Vector3(2, 2, 0), t0, t1, t2), std::sqrt(4.5f));
  EXPECT_FLOAT_EQ(PointTriangleDistance(Vector3(-1, -1, 0), t0, t1, t2), std::sqrt(2.0f));
  EXPECT_FLOAT_EQ(PointTriangleDistance(Vector3(0.2f, 0.2f, -3), t0, t1, t2), 3);

  TZNT1SegmentTriangle Tri;
  Tri.Origin = t0;
  Tri.Edge0 = Vector3Sub(t1, t0);
  Tri.Edge1 = Vector3Sub(t2, t0);
  Tri.Edge2 = Vector3Sub(t2, t1);
  float s = -1, t = -1;
  EXPECT_FLOAT_EQ(PointTriangleDistanceSq(s, t, Vector3(2, 2, 0), Tri), 4.5f);
  EXPECT_FLOAT_EQ(s, 0.5f);
  EXPECT_FLOAT_EQ(t, 0.5f);
  EXPECT_FLOAT_EQ(PointTriangleDistanceSq(s, t, Vector3(0.25f, 0.5f, 2), Tri), 4);
  EXPECT_FLOAT_EQ(s, 0.25f);
  EXPECT_FLOAT_EQ(t, 0.5f);

  // Points all around random triangles reach every region.
  std::mt19937 Rng(31);
  std::uniform_real_distribution<float> D(-3, 3);
  for (int i = 0; i < 3000; ++i) {
    const TZNT1Vector3 a = Vector3(D(Rng), D(Rng), D(Rng)), b = Vector3(D(Rng), D(Rng), D(Rng)),
                       c = Vector3(D(Rng), D(Rng), D(Rng));
    if (Vector3Length(Vector3Cross(Vector3Sub(b, a), Vector3Sub(c, a))) < 0.5f) continue;
    const TZNT1Vector3 p = Vector3(2 * D(Rng), 2 * D(Rng), 2 * D(Rng));
    const double Expected = ReferenceDistance(p, a, b, c);
    EXPECT_NEAR(PointTriangleDistance(p, a, b, c), Expected, 1e-3 * (1 + Expected)) << i;
    TZNT1SegmentTriangle T;
    T.Origin = a;
    T.Edge0 = Vector3Sub(b, a);
    T.Edge1 = Vector3Sub(c, a);
    T.Edge2 = Vector3Sub(c, b);
    float ss, tt;
    const float Sq = PointTriangleDistanceSq(ss, tt, p, T);
    EXPECT_NEAR(std::sqrt(Sq), Expected, 1e-3 * (1 + Expected)) << i;
    EXPECT_TRUE(ss >= -1e-6f && tt >= -1e-6f && ss + tt <= 1 + 1e-5f) << i;
  }
}
