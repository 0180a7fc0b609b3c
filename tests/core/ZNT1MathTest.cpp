// Records, scalar functions, vectors and angles.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "core/ZNT1Math.h"
#include "support/MathTestSupport.h"

namespace {

using namespace mathtest;

}  // namespace

TEST(MathRecords, OverlaysNameTheSameStorage) {
  TZNT1Vector3 v = Vector3(1, 2, 3);
  EXPECT_EQ(v.r, 1);
  EXPECT_EQ(v.Yaw, 2);
  EXPECT_EQ(v.rgb[2], 3);
  v.PitchYawRoll[0] = 7;
  EXPECT_EQ(v.x, 7);

  TZNT1Vector2 t = Vector2(4, 5);
  EXPECT_EQ(t.v, 5);
  EXPECT_EQ(t.st[0], 4);

  TZNT1Vector4 c = Vector4(Vector3(1, 2, 3), 4);
  EXPECT_EQ(c.a, 4);
  EXPECT_EQ(c.rgba[1], 2);

  TZNT1Plane p = Plane(Vector3(0, 0, 1), -5);
  EXPECT_EQ(p.c, 1);
  EXPECT_EQ(p.d, -5);
  EXPECT_EQ(p.xyzw.w, -5);
  p.Distance = 2;
  EXPECT_EQ(p.xyzw.xyzw[3], 2);

  TZNT1Quaternion q;
  q.w = 1;
  q.x = 2;
  EXPECT_EQ(q.wxyz[0], 1);
  EXPECT_EQ(q.wxyz[1], 2);

  TZNT1Sphere s;
  s.xyzw = Vector4(1, 2, 3, 9);
  EXPECT_EQ(s.Center.z, 3);
  EXPECT_EQ(s.Radius, 9);

  TZNT1AABB b;
  b.Min = Vector3(-1, -2, -3);
  b.MinMax[1] = Vector3(1, 2, 3);
  EXPECT_EQ(b.Max.y, 2);
  EXPECT_EQ(b.MinMax[0].z, -3);

  EXPECT_EQ(Vector4Origin.w, 1);
  EXPECT_EQ(Matrix4x4Flip.M[0][2], -1);
  EXPECT_EQ(Matrix4x4Flip.M[1][0], -1);
  EXPECT_EQ(Matrix4x4Flip.M[2][1], 1);
  EXPECT_EQ(Matrix3x3Identity.M[2][2], 1);
  EXPECT_EQ(Matrix3x3(Matrix4x4Flip).M[1][0], -1);
}

TEST(MathScalars, ModuloAndComparisons) {
  const double NaN = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double x, y, Pos;
  } Cases[] = {{-1, 360, 359}, {725, 360, 5}, {5, 0, 5}, {5, -3, 5}, {-720, 360, 0}, {359.5, 360, 359.5},
               {-1e-300, 360, 0}, {86401, 86400, 1}, {7, NaN, 7}};
  for (const auto& c : Cases) {
    const double r = ModuloPos(c.x, c.y);
    EXPECT_EQ(r, c.Pos) << c.x << " mod " << c.y;
    if (c.y > 0) {
      EXPECT_TRUE(r >= 0 && r < c.y);
    }
  }
  EXPECT_EQ(Modulo(-1, 360), -1);
  EXPECT_EQ(Modulo(725, 360), 5);
  EXPECT_EQ(Modulo(-725.5, 360), -5.5);

  EXPECT_EQ(Sign(0.0f), 0);
  EXPECT_EQ(Sign(-0.0f), 0);
  EXPECT_EQ(Sign(-1e-30f), -1);
  EXPECT_EQ(Sign(3.0f), 1);
  // Ties return the second argument: visible with signed zeros.
  EXPECT_TRUE(std::signbit(Min(0.0f, -0.0f)));
  EXPECT_FALSE(std::signbit(Min(-0.0f, 0.0f)));
  EXPECT_TRUE(std::signbit(Max(0.0f, -0.0f)));
  EXPECT_EQ(Min(2, 2), 2);
  EXPECT_EQ(Max(1, 3), 3);
  EXPECT_EQ(MinInt(-4, 2), -4);
  EXPECT_EQ(MaxInt(-4, 2), 2);

  EXPECT_NEAR(TAN(kPi / 4), 1.0f, 1e-6f);
  EXPECT_NEAR(ArcCos(0.5f), kPi / 3, 1e-6f);
  EXPECT_NEAR(ArcCos(-1.0f), kPi, 1e-6f);
  EXPECT_NEAR(ArcSin(1.0f), kPi / 2, 1e-6f);
  EXPECT_NEAR(ArcSin(-0.5f), -kPi / 6, 1e-6f);
  EXPECT_TRUE(std::isnan(ArcCos(2.0f)));  // not clamped
}

TEST(MathVectors, Operations) {
  const TZNT1Vector3 a = Vector3(1, 2, 3), b = Vector3(-4, 5, 0.5f);
  ExpectVec(Vector3Add(a, b), -3, 7, 3.5f);
  ExpectVec(Vector3Sub(a, b), 5, -3, 2.5f);
  ExpectVec(Vector3Avg(a, b), -1.5f, 3.5f, 1.75f);
  ExpectVec(Vector3ScalarMul(a, -2), -2, -4, -6);
  ExpectVec(Vector3Neg(a), -1, -2, -3);
  EXPECT_FLOAT_EQ(Vector3Dot(a, b), 7.5f);
  ExpectVec(Vector3Cross(Vector3(1, 0, 0), Vector3(0, 1, 0)), 0, 0, 1);
  ExpectVec(Vector3Cross(a, b), 2 * 0.5f - 3 * 5, 3 * -4 - 1 * 0.5f, 1 * 5 - 2 * -4);
  EXPECT_FLOAT_EQ(Vector3Length(Vector3(3, 4, 12)), 13);
  EXPECT_FLOAT_EQ(Vector3LengthSquared(a), 14);
  EXPECT_FLOAT_EQ(Vector3Dist(Vector3(1, 1, 1), Vector3(4, 5, 1)), 5);
  ExpectVec(Vector3Lerp(a, b, 0.25f), 0.75f * 1 + 0.25f * -4, 0.75f * 2 + 0.25f * 5, 0.75f * 3 + 0.25f * 0.5f);
  ExpectVec(Vector3Lerp(a, b, 2), 2 * -4 - 1, 2 * 5 - 2, 2 * 0.5f - 3);  // not clamped
  TZNT1Vector3 s = a;
  Vector3Scale(s, 3);
  ExpectVec(s, 3, 6, 9);

  const TZNT1Vector2 l = Vector2Lerp(Vector2(0, 10), Vector2(10, 20), 0.5f);
  EXPECT_FLOAT_EQ(l.x, 5);
  EXPECT_FLOAT_EQ(l.y, 15);
  EXPECT_FLOAT_EQ(Vector2Sub(Vector2(3, 4), Vector2(1, 1)).y, 3);
  const TZNT1Vector4 v4 = Vector4Lerp(Vector4(0, 0, 0, 0), Vector4(4, 8, 12, 16), 0.25f);
  EXPECT_FLOAT_EQ(v4.w, 4);
  EXPECT_FLOAT_EQ(Vector4Add(v4, Vector4(1, 1, 1, 1)).z, 4);
  EXPECT_FLOAT_EQ(Vector4ScalarMul(v4, 2).y, 4);
  EXPECT_FLOAT_EQ(Vector4Dot(Vector4(1, 2, 3, 4), Vector4(1, 1, 1, 1)), 10);
}

TEST(MathVectors, CompareIsStrict) {
  EXPECT_TRUE(Vector3Compare(Vector3(1, 2, 3), Vector3(1, 2, 3)));
  EXPECT_FALSE(Vector3Compare(Vector3(0, 0, 0), Vector3(0, EPSILON, 0)));
  EXPECT_TRUE(Vector3Compare(Vector3(0, 0, 0), Vector3(0, EPSILON / 2, 0)));
  EXPECT_FALSE(Vector2Compare(Vector2(0, 0), Vector2(EPSILON, 0)));
  EXPECT_TRUE(Vector2Compare(Vector2(0, 0), Vector2(0, 0)));
}

TEST(MathVectors, NormalizeFallsBackToZero) {
  const struct {
    TZNT1Vector3 In;
    float Length;
    TZNT1Vector3 Out;
  } Cases[] = {
      {Vector3(0, 0, 0), 0, Vector3(0, 0, 0)},
      {Vector3(1e-13f, 0, 0), 1e-13f, Vector3(0, 0, 0)},
      {Vector3(3, 0, 4), 5, Vector3(0.6f, 0, 0.8f)},
      {Vector3(0, -2, 0), 2, Vector3(0, -1, 0)},
  };
  for (const auto& c : Cases) {
    TZNT1Vector3 v = c.In;
    EXPECT_FLOAT_EQ(Vector3Normalize(v), c.Length);
    ExpectVec(v, c.Out.x, c.Out.y, c.Out.z);
    const TZNT1Vector3 n = Vector3Norm(c.In);
    ExpectVec(n, c.Out.x, c.Out.y, c.Out.z);
  }
}

TEST(MathVectors, MatrixProducts) {
  TZNT1Vector3 r = Vector3(1, 0, 5);
  Vector3RotateZ(r, kPi / 2);
  ExpectVec(r, 0, 1, 5);
  Vector3RotateZ(r, kPi / 2);
  ExpectVec(r, -1, 0, 5);

  const TZNT1Matrix3x3 m3 = {{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}};
  ExpectVec(Vector3TermMatrixMul(Vector3(1, 1, 0), m3), 5, 7, 9);

  TZNT1Matrix4x4 m4 = Matrix4x4Translate(10, 20, 30);
  m4.M[0][0] = 2;
  ExpectVec(Vector3TermMatrixMul(Vector3(1, 1, 1), m4), 12, 21, 31);
  ExpectVec(Vector3TermMatrixMulEx(Vector3(1, 1, 1), m4), 2, 1, 1);

  // A projection leaves w != 1: the point comes back undivided.
  TZNT1Matrix4x4 Projection = Matrix4x4Identity;
  Matrix4x4Perspective(Projection, 90, 1, 1, 100);
  const TZNT1Vector3 p = Vector3TermMatrixMul(Vector3(1, 2, -10), Projection);
  ExpectVec(p, 1, 2, -10 * Projection.M[2][2] + Projection.M[3][2]);

  TZNT1Vector4 v = Vector4(1, 2, -10, 1);
  Vector4MatrixMul(v, Projection);
  EXPECT_NEAR(v.z, p.z, 1e-5f);
  EXPECT_NEAR(v.w, 10, 1e-5f);
}

TEST(MathAngles, Clamp) {
  const float PiAbove = kPi;                         // the single nearest to pi lies above it
  const float PiBelow = std::nextafter(kPi, 0.0f);   // stays
  const struct {
    float In, Out, Tol;
  } Cases[] = {
      {2.5f * kPi, 0.5f * kPi, 2e-6f},
      {-2.5f * kPi, -0.5f * kPi, 2e-6f},
      {0, 0, 0},
      {1, 1, 0},
      {-3, -3, 0},
      {PiBelow, PiBelow, 0},
      {PiAbove, -kPi, 1e-6f},
      {-PiAbove, kPi, 1e-6f},
      {6 * kPi + 1, 1, 1e-5f},
  };
  for (const auto& c : Cases) EXPECT_NEAR(AngleClamp(c.In), c.Out, c.Tol) << c.In;
  EXPECT_LT(AngleClamp(PiAbove), 0);
  EXPECT_GT(AngleClamp(-PiAbove), 0);

  // Huge angles end quickly and land in range; up to a few 1e9 they also keep their
  // direction (beyond that a single no longer pins an angle).
  for (const float a : {1e7f, -1e7f, 1.3e8f, 2e9f, -3e38f, 3.4e38f, 123456.78f}) {
    const float r = AngleClamp(a);
    EXPECT_TRUE(r >= -kPi - 1e-6f && r <= kPi + 1e-6f) << a;
    if (std::fabs(a) > 1e10f) continue;
    EXPECT_NEAR(std::sin(double{r}), std::sin(double{a}), 1e-5) << a;
    EXPECT_NEAR(std::cos(double{r}), std::cos(double{a}), 1e-5) << a;
  }
  EXPECT_TRUE(std::isnan(AngleClamp(std::numeric_limits<float>::infinity())));
  EXPECT_TRUE(std::isnan(AngleClamp(-std::numeric_limits<float>::infinity())));
  EXPECT_TRUE(std::isnan(AngleClamp(std::numeric_limits<float>::quiet_NaN())));
}

TEST(MathAngles, DiffAndLerp) {
  EXPECT_NEAR(AngleDiff(0.9f * kPi, -0.9f * kPi), 0.2f * kPi, 1e-5f);
  EXPECT_NEAR(AngleDiff(-0.9f * kPi, 0.9f * kPi), -0.2f * kPi, 1e-5f);
  EXPECT_NEAR(AngleDiff(0.1f, 0.4f), 0.3f, 1e-6f);
  EXPECT_NEAR(AngleLerp(0.9f * kPi, -0.9f * kPi, 1), 1.1f * kPi, 1e-5f);  // not wrapped again
  EXPECT_NEAR(AngleLerp(0.9f * kPi, -0.9f * kPi, 0.5f), kPi, 1e-5f);
}

TEST(MathAngles, AxesInGameSpace) {
  const struct {
    TZNT1Vector3 Angles;
    TZNT1Vector3 Forward, Right, Up;
  } Cases[] = {
      {Angles(0, 0, 0), Vector3(1, 0, 0), Vector3(0, -1, 0), Vector3(0, 0, 1)},
      {Angles(0, kPi / 2, 0), Vector3(0, 1, 0), Vector3(1, 0, 0), Vector3(0, 0, 1)},
      {Angles(kPi / 2, 0, 0), Vector3(0, 0, -1), Vector3(0, -1, 0), Vector3(1, 0, 0)},  // pitch down
      {Angles(0, 0, kPi / 2), Vector3(1, 0, 0), Vector3(0, 0, -1), Vector3(0, -1, 0)},
  };
  for (const auto& c : Cases) {
    TZNT1Vector3 f, r, u;
    AnglesToVector3LDX(c.Angles, f, r, u);
    ExpectVec(f, c.Forward.x, c.Forward.y, c.Forward.z);
    ExpectVec(r, c.Right.x, c.Right.y, c.Right.z);
    ExpectVec(u, c.Up.x, c.Up.y, c.Up.z);
  }
  // Any angles give an orthonormal frame with Forward x Left = Up.
  std::mt19937 Rng(5);
  std::uniform_real_distribution<float> A(-4, 4);
  for (int i = 0; i < 100; ++i) {
    TZNT1Vector3 f, r, u;
    AnglesToVector3LDX(Angles(A(Rng), A(Rng), A(Rng)), f, r, u);
    EXPECT_NEAR(Vector3Length(f), 1, 1e-5f);
    EXPECT_NEAR(Vector3Dot(f, r), 0, 1e-5f);
    EXPECT_NEAR(Vector3Dot(f, u), 0, 1e-5f);
    const TZNT1Vector3 c = Vector3Cross(f, Vector3Neg(r));
    ExpectVec(c, u.x, u.y, u.z, 1e-5f);
  }
}
