// Matrices, planes and quaternions.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>

#include "core/ZNT1Math.h"
#include "support/MathTestSupport.h"

namespace {

using namespace mathtest;

void ExpectMatrix(const TZNT1Matrix4x4& a, const TZNT1Matrix4x4& b, float Tol = 1e-5f) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(a.M[i][j], b.M[i][j], Tol) << "[" << i << "][" << j << "]";
}

bool SameBits(const TZNT1Matrix4x4& a, const TZNT1Matrix4x4& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TZNT1Matrix4x4 RandomMatrix(std::mt19937& Rng) {
  std::uniform_real_distribution<float> D(-3, 3);
  TZNT1Matrix4x4 m;
  for (auto& Row : m.M)
    for (float& v : Row) v = D(Rng);
  return m;
}

TZNT1Vector3 RandomUnit(std::mt19937& Rng) {
  std::normal_distribution<float> D;
  TZNT1Vector3 v = Vector3(D(Rng), D(Rng), D(Rng));
  Vector3Normalize(v);
  return v;
}

TZNT1Matrix4x4 From3x3(const TZNT1Matrix3x3& m) {
  TZNT1Matrix4x4 r = Matrix4x4Identity;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.M[i][j] = m.M[i][j];
  return r;
}

}  // namespace

TEST(MathMatrix, RotationsAndBuilders) {
  const TZNT1Matrix3x3 Rz = Matrix3x3Rotate(kPi / 2, Vector3(0, 0, 1));
  ExpectVec(Vector3TermMatrixMul(Vector3(1, 0, 0), Rz), 0, 1, 0);
  ExpectVec(Vector3TermMatrixMul(Vector3(0, 1, 0), Rz), -1, 0, 0);

  std::mt19937 Rng(11);
  for (int i = 0; i < 50; ++i) {
    const TZNT1Vector3 Axis = RandomUnit(Rng);
    const float Angle = std::uniform_real_distribution<float>(-3, 3)(Rng);
    const TZNT1Matrix4x4 R = From3x3(Matrix3x3Rotate(Angle, Axis));
    const TZNT1Matrix4x4 Back = From3x3(Matrix3x3Rotate(-Angle, Axis));
    ExpectMatrix(Matrix4x4TermMul(R, Matrix4x4TermTranspose(R)), Matrix4x4Identity);  // orthonormal
    ExpectMatrix(Matrix4x4TermTranspose(R), Back);
    ExpectVec(Vector3TermMatrixMulEx(Axis, R), Axis.x, Axis.y, Axis.z);  // the axis stays
  }

  const TZNT1Matrix4x4 Rx = Matrix4x4RotateX(kPi / 2);
  ExpectVec(Vector3TermMatrixMul(Vector3(0, 1, 0), Rx), 0, 0, 1);
  EXPECT_EQ(Rx.M[3][3], 1);

  ExpectMatrix(Matrix4x4RotateAngles(Angles(0, 0, 0)), Matrix4x4Identity);
  // Yaw alone turns +x towards +y, the same as Matrix3x3Rotate about z.
  ExpectMatrix(Matrix4x4RotateAngles(Angles(0, 0.3f, 0)), From3x3(Matrix3x3Rotate(0.3f, Vector3(0, 0, 1))));
  const TZNT1Matrix4x4 Ra = Matrix4x4RotateAngles(Angles(0.4f, -1.1f, 2.0f));
  ExpectMatrix(Matrix4x4TermMul(Ra, Matrix4x4TermTranspose(Ra)), Matrix4x4Identity);

  // The model matrix maps model x to forward, y to left, z to up.
  const TZNT1Vector3 A = Angles(0.2f, 1.0f, -0.5f);
  TZNT1Vector3 f, r, u;
  AnglesToVector3LDX(A, f, r, u);
  const TZNT1Matrix4x4 Model = Matrix4x4RotateAnglesLDXModel(A);
  ExpectVec(Vector3TermMatrixMulEx(Vector3(1, 0, 0), Model), f.x, f.y, f.z);
  ExpectVec(Vector3TermMatrixMulEx(Vector3(0, 1, 0), Model), -r.x, -r.y, -r.z);
  ExpectVec(Vector3TermMatrixMulEx(Vector3(0, 0, 1), Model), u.x, u.y, u.z);
  ExpectMatrix(Matrix4x4RotateAnglesLDXModel(Angles(0, 0, 0)), Matrix4x4Identity);

  ExpectVec(Vector3TermMatrixMul(Vector3(1, 1, 1), Matrix4x4Translate(Vector3(1, 2, 3))), 2, 3, 4);
  ExpectVec(Vector3TermMatrixMul(Vector3(1, 1, 1), Matrix4x4Scale(Vector3(2, 3, 4))), 2, 3, 4);
  ExpectMatrix(Matrix4x4Scale(2, 3, 4), Matrix4x4Scale(Vector3(2, 3, 4)));

  TZNT1Matrix4x4 WithTranslation = Matrix4x4TermMul(Ra, Matrix4x4Translate(5, 6, 7));
  WithTranslation.M[0][3] = 0.5f;
  const TZNT1Matrix4x4 Rot = Matrix4x4Rotation(WithTranslation);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) EXPECT_EQ(Rot.M[i][j], WithTranslation.M[i][j]);
    EXPECT_EQ(Rot.M[i][3], 0);
    EXPECT_EQ(Rot.M[3][i], 0);
  }
  EXPECT_EQ(Rot.M[3][3], 1);
}

TEST(MathMatrix, ProductsApplyLeftFactorFirst) {
  const TZNT1Matrix4x4 T = Matrix4x4Translate(10, 0, 0);
  const TZNT1Matrix4x4 S = Matrix4x4Scale(2, 2, 2);
  ExpectVec(Vector3TermMatrixMul(Vector3(1, 0, 0), Matrix4x4TermMul(T, S)), 22, 0, 0);
  ExpectVec(Vector3TermMatrixMul(Vector3(1, 0, 0), Matrix4x4TermMul(S, T)), 12, 0, 0);

  std::mt19937 Rng(3);
  const TZNT1Matrix4x4 a = RandomMatrix(Rng), b = RandomMatrix(Rng);
  const TZNT1Matrix4x4 ab = Matrix4x4TermMul(a, b);
  TZNT1Matrix4x4 m = a;
  Matrix4x4Mul(m, b);
  EXPECT_TRUE(SameBits(m, ab));
  m = a;
  Matrix4x4Mul(m, m);  // m2 may be m1
  EXPECT_TRUE(SameBits(m, Matrix4x4TermMul(a, a)));
  TZNT1Matrix4x4 r;
  Matrix4x4Mul(r, a, b);
  EXPECT_TRUE(SameBits(r, ab));
  r = a;
  Matrix4x4Mul(r, r, b);
  EXPECT_TRUE(SameBits(r, ab));
  r = b;
  Matrix4x4Mul(r, a, r);  // computed through a temporary, so the second factor may alias too
  EXPECT_TRUE(SameBits(r, ab));
}

TEST(MathMatrix, Lerp) {
  std::mt19937 Rng(4);
  const TZNT1Matrix4x4 a = RandomMatrix(Rng), b = RandomMatrix(Rng);
  EXPECT_TRUE(SameBits(Matrix4x4Lerp(a, b, -0.5f), a));
  EXPECT_TRUE(SameBits(Matrix4x4Lerp(a, b, 0), a));
  EXPECT_TRUE(SameBits(Matrix4x4Lerp(a, b, 1), b));
  EXPECT_TRUE(SameBits(Matrix4x4Lerp(a, b, 1.5f), b));
  const TZNT1Matrix4x4 Mid = Matrix4x4Lerp(a, b, 0.5f);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_NEAR(Mid.M[i][j], (a.M[i][j] + b.M[i][j]) / 2, 1e-6f);
}

TEST(MathMatrix, Inverses) {
  TZNT1Matrix4x4 r = Matrix4x4Flip;
  EXPECT_TRUE(Matrix4x4Inverse(r, Matrix4x4Identity));
  EXPECT_TRUE(SameBits(r, Matrix4x4Identity));

  // Determinant 1e-13: singular; the destination keeps what it held.
  const TZNT1Matrix4x4 Tiny = Matrix4x4Scale(1e-13f, 1, 1);
  r = Matrix4x4Flip;
  EXPECT_FALSE(Matrix4x4Inverse(r, Tiny));
  EXPECT_TRUE(SameBits(r, Matrix4x4Flip));
  EXPECT_TRUE(SameBits(Matrix4x4TermInverse(Tiny), Tiny));
  TZNT1Matrix4x4 Zero = {};
  EXPECT_FALSE(Matrix4x4Inverse(r, Zero));

  std::mt19937 Rng(8);
  for (int i = 0; i < 100; ++i) {
    const TZNT1Matrix4x4 m = RandomMatrix(Rng);
    TZNT1Matrix4x4 inv;
    ASSERT_TRUE(Matrix4x4Inverse(inv, m));
    ExpectMatrix(Matrix4x4TermMul(m, inv), Matrix4x4Identity, 2e-3f);
    EXPECT_TRUE(SameBits(Matrix4x4TermInverse(m), inv));
  }

  ExpectMatrix(Matrix4x4TermSimpleInverse(Matrix4x4Translate(1, 2, 3)), Matrix4x4Translate(-1, -2, -3));
  for (int i = 0; i < 20; ++i) {
    const TZNT1Matrix4x4 Rigid =
        Matrix4x4TermMul(From3x3(Matrix3x3Rotate(0.7f * i, RandomUnit(Rng))), Matrix4x4Translate(i, -2.0f * i, 3));
    ExpectMatrix(Matrix4x4TermSimpleInverse(Rigid), Matrix4x4TermInverse(Rigid), 1e-4f);
  }
}

TEST(MathMatrix, Perspective) {
  TZNT1Matrix4x4 m = Matrix4x4Flip;
  Matrix4x4Perspective(m, 45, 1, 1, 4096);
  const float Cot = static_cast<float>(1.0 / std::tan(22.5 * 3.14159265358979323846 / 180.0));
  EXPECT_NEAR(m.M[0][0], 2.41421f, 1e-5f);
  EXPECT_FLOAT_EQ(m.M[0][0], Cot);
  EXPECT_FLOAT_EQ(m.M[1][1], Cot);
  EXPECT_FLOAT_EQ(m.M[2][2], -4097.0f / 4095.0f);
  EXPECT_FLOAT_EQ(m.M[3][2], -8192.0f / 4095.0f);
  EXPECT_EQ(m.M[2][3], -1);
  EXPECT_EQ(m.M[3][3], 0);
  EXPECT_EQ(m.M[0][1], 0);
  // Depth -zNear maps to -1 and -zFar to +1 after the divide.
  for (const auto& [z, Ndc] : {std::pair{-1.0f, -1.0f}, {-4096.0f, 1.0f}}) {
    TZNT1Vector4 p = Vector4(0, 0, z, 1);
    Vector4MatrixMul(p, m);
    EXPECT_NEAR(p.z / p.w, Ndc, 1e-4f);
  }
  TZNT1Matrix4x4 Wide = m;
  Matrix4x4Perspective(Wide, 90, 2, 1, 100);
  EXPECT_NEAR(Wide.M[0][0], 0.5f, 1e-6f);
  EXPECT_NEAR(Wide.M[1][1], 1.0f, 1e-6f);

  // Degenerate input leaves the caller's matrix as it was.
  for (const auto& Args : {std::array<float, 4>{45, 1, 5, 5}, {0, 1, 1, 100}, {45, 0, 1, 100}}) {
    TZNT1Matrix4x4 Keep = Matrix4x4Flip;
    Matrix4x4Perspective(Keep, Args[0], Args[1], Args[2], Args[3]);
    EXPECT_TRUE(SameBits(Keep, Matrix4x4Flip)) << Args[0] << " " << Args[1] << " " << Args[2];
  }
}

TEST(MathMatrix, ViewMatrices) {
  ExpectMatrix(Matrix4x4LookAtViewerLDX(Vector3(0, 0, 0), Angles(0, 0, 0)), Matrix4x4Identity);
  ExpectVec(Vector3TermMatrixMul(Vector3(15, 0, 0), Matrix4x4LookAtViewerLDX(Vector3(10, 0, 0), Angles(0, 0, 0))), 5, 0,
            0);
  // Looking along +y: a point ahead lands on view x, a point on the left on view y.
  const TZNT1Matrix4x4 Left = Matrix4x4LookAtViewerLDX(Vector3(1, 1, 1), Angles(0, kPi / 2, 0));
  ExpectVec(Vector3TermMatrixMul(Vector3(1, 4, 1), Left), 3, 0, 0);
  ExpectVec(Vector3TermMatrixMul(Vector3(-1, 1, 1), Left), 0, 2, 0);

  const TZNT1Matrix4x4 w = Matrix4x4LookWithAnglesLDX(Vector3(0, 0, 0), Angles(0, 0, 0));
  const float Columns[3][3] = {{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}};
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(w.M[k][i], Columns[i][k], 1e-6f);
  EXPECT_EQ(w.M[3][3], 1);
  // Degrees: a yaw of 90 looks along +y.
  const TZNT1Matrix4x4 w90 = Matrix4x4LookWithAnglesLDX(Vector3(0, 0, 0), Angles(0, 90, 0));
  ExpectVec(Vector3TermMatrixMul(Vector3(0, 1, 0), w90), -1, 0, 0);

  const TZNT1Matrix4x4 At = Matrix4x4LookAtLDX(Vector3(0, 0, 0), Vector3(10, 0, 0), Vector3(0, 0, 1));
  ExpectVec(Vector3TermMatrixMul(Vector3(10, 0, 0), At), -10, 0, 0);
  ExpectVec(Vector3TermMatrixMul(Vector3(0, 0, 3), At), 0, 0, 3);
  const TZNT1Matrix4x4 At2 = Matrix4x4LookAtLDX2(Vector3(0, 0, 0), Vector3(10, 0, 0), Vector3(0, 0, 1));
  ExpectMatrix(At2, Matrix4x4Identity);
  const TZNT1Matrix4x4 At2Moved = Matrix4x4LookAtLDX2(Vector3(1, 2, 3), Vector3(1, 12, 3), Vector3(0, 0, 1));
  ExpectVec(Vector3TermMatrixMul(Vector3(1, 7, 3), At2Moved), 5, 0, 0);
}

TEST(MathMatrix, ReflectAndObliqueClip) {
  const TZNT1Matrix4x4 Floor = Matrix4x4TermReflect(Plane(Vector3(0, 0, 1), 0));
  ExpectMatrix(Floor, Matrix4x4Scale(1, 1, -1));
  // The plane z = 2 given unnormalized: (0, 0, 2) . p - 4 = 0.
  const TZNT1Matrix4x4 Mirror = Matrix4x4TermReflect(Plane(Vector3(0, 0, 2), -4));
  ExpectVec(Vector3TermMatrixMul(Vector3(1, 2, 5), Mirror), 1, 2, -1);
  ExpectVec(Vector3TermMatrixMul(Vector3(1, 2, 2), Mirror), 1, 2, 2);

  TZNT1Matrix4x4 Projection = Matrix4x4Identity;
  Matrix4x4Perspective(Projection, 90, 1, 1, 1000);
  TZNT1Plane Clip = Plane(Vector3(0.3f, -0.2f, -1), -5);  // view-space plane in front of the eye
  PlaneNormalize(Clip);
  const TZNT1Matrix4x4 Oblique = Matrix4x4ProjectionMatrixClip(Projection, Clip);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(Oblique.M[k][0], Projection.M[k][0]);
  // Points on the clip plane land on the near plane of the new projection.
  for (const auto& [x, y] : {std::pair{0.0f, 0.0f}, {2.0f, 1.0f}, {-1.0f, 3.0f}}) {
    const float z = -(Clip.a * x + Clip.b * y + Clip.d) / Clip.c;
    TZNT1Vector4 p = Vector4(x, y, z, 1);
    Vector4MatrixMul(p, Oblique);
    EXPECT_NEAR(p.z / p.w, -1, 1e-4f) << x << " " << y;
  }
}

TEST(MathPlanes, Operations) {
  const TZNT1Plane p = PlaneFromPoints(Vector3(0, 0, 0), Vector3(1, 0, 0), Vector3(0, 1, 0));
  ExpectVec(p.Normal, 0, 0, 1);
  EXPECT_FLOAT_EQ(p.Distance, 0);
  const TZNT1Plane Raised = PlaneFromPoints(Vector3(0, 0, 5), Vector3(0, 1, 5), Vector3(1, 0, 5));
  ExpectVec(Raised.Normal, 0, 0, -1);
  EXPECT_FLOAT_EQ(Raised.Distance, 5);
  EXPECT_FLOAT_EQ(PlaneVectorDistance(Raised, Vector3(3, 3, 2)), 3);
  const TZNT1Plane Line = PlaneFromPoints(Vector3(0, 0, 0), Vector3(1, 1, 1), Vector3(2, 2, 2));
  ExpectVec(Line.Normal, 0, 0, 0);

  TZNT1Plane n = Plane(Vector3(0, 3, 4), 10);
  PlaneNormalize(n);
  EXPECT_FLOAT_EQ(n.b, 0.6f);
  EXPECT_FLOAT_EQ(n.c, 0.8f);
  EXPECT_FLOAT_EQ(n.d, 2);
  TZNT1Plane z = Plane(Vector3(0, 1e-13f, 0), 7);
  PlaneNormalize(z);
  EXPECT_EQ(z.a, 0);
  EXPECT_EQ(z.b, 0);
  EXPECT_EQ(z.d, 0);

  // A plane moved with the inverse transpose of a point transform still holds the moved points.
  const TZNT1Matrix4x4 Move = Matrix4x4TermMul(Matrix4x4RotateX(0.5f), Matrix4x4Translate(1, 2, 3));
  const TZNT1Plane Moved = PlaneMatrixMul(p, Matrix4x4TermTranspose(Matrix4x4TermInverse(Move)));
  for (const auto& q : {Vector3(0, 0, 0), Vector3(4, -2, 0), Vector3(1, 7, 0)})
    EXPECT_NEAR(PlaneVectorDistance(Moved, Vector3TermMatrixMul(q, Move)), 0, 1e-4f);
  const TZNT1Plane Scaled = PlaneMatrixMul(Plane(Vector3(1, 0, 0), 1), Matrix4x4Scale(2, 2, 2));
  EXPECT_FLOAT_EQ(Scaled.a, 2);  // not renormalized
  EXPECT_FLOAT_EQ(Scaled.d, 1);
}

TEST(MathQuaternions, FromMatrixBranches) {
  const TZNT1Quaternion Id = QuaternionFromMatrix3x3(Matrix3x3Identity);
  EXPECT_EQ(Id.w, 1);
  EXPECT_EQ(Id.x, 0);
  EXPECT_EQ(Id.y, 0);
  EXPECT_EQ(Id.z, 0);
  const TZNT1Matrix3x3 HalfTurnX = {{{1, 0, 0}, {0, -1, 0}, {0, 0, -1}}};
  const TZNT1Quaternion qx = QuaternionFromMatrix3x3(HalfTurnX);
  EXPECT_NEAR(qx.w, 0, 1e-6f);
  EXPECT_NEAR(qx.x, 1, 1e-6f);
  EXPECT_NEAR(qx.y, 0, 1e-6f);
  EXPECT_NEAR(qx.z, 0, 1e-6f);
  const TZNT1Matrix3x3 HalfTurnY = {{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}};
  EXPECT_NEAR(QuaternionFromMatrix3x3(HalfTurnY).y, 1, 1e-6f);
  const TZNT1Matrix3x3 HalfTurnZ = {{{-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}};
  EXPECT_NEAR(QuaternionFromMatrix3x3(HalfTurnZ).z, 1, 1e-6f);

  // The matrix comes out transposed against Matrix3x3Rotate; reading it back is consistent.
  const float Angle = 0.8f;
  TZNT1Quaternion q;
  q.w = std::cos(Angle / 2);
  q.x = 0;
  q.y = 0;
  q.z = std::sin(Angle / 2);
  ExpectMatrix(QuaternionToMatrix4x4(q), Matrix4x4TermTranspose(From3x3(Matrix3x3Rotate(Angle, Vector3(0, 0, 1)))));

  std::mt19937 Rng(21);
  std::normal_distribution<float> D;
  for (int i = 0; i < 200; ++i) {
    TZNT1Quaternion r;
    for (float& c : r.wxyz) c = D(Rng);
    if (i % 4 == 0) r.w *= 0.01f;  // near half turns: the non-trace branches
    QuaternionNormalize(r);
    const TZNT1Quaternion Back = QuaternionFromMatrix4x4(QuaternionToMatrix4x4(r));
    const float s = (Back.w * r.w + Back.x * r.x + Back.y * r.y + Back.z * r.z) < 0 ? -1.0f : 1.0f;
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(s * Back.wxyz[k], r.wxyz[k], 2e-4f) << i;
  }
}

TEST(MathQuaternions, NormalizeAndSlerp) {
  TZNT1Quaternion z = {};
  QuaternionNormalize(z);
  EXPECT_EQ(QuaternionNormal(z), 0);
  TZNT1Quaternion q;
  q.w = 2;
  q.x = 0;
  q.y = 0;
  q.z = 0;
  EXPECT_EQ(QuaternionNormal(q), 2);
  QuaternionNormalize(q);
  EXPECT_EQ(q.w, 1);

  TZNT1Quaternion a;
  a.w = 0.5f;
  a.x = 0.5f;
  a.y = -0.5f;
  a.z = 0.5f;
  TZNT1Quaternion na;
  for (int k = 0; k < 4; ++k) na.wxyz[k] = -a.wxyz[k];
  for (const float t : {0.0f, 0.3f, 1.0f}) {
    const TZNT1Quaternion r = QuaternionSlerp(a, na, t);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(r.wxyz[k], a.wxyz[k], 1e-6f) << t;
  }

  // Halfway between no turn and a quarter turn about z is an eighth turn.
  TZNT1Quaternion Id = {};
  Id.w = 1;
  TZNT1Quaternion Quarter = {};
  Quarter.w = std::cos(kPi / 4);
  Quarter.z = std::sin(kPi / 4);
  const TZNT1Quaternion Half = QuaternionSlerp(Id, Quarter, 0.5f);
  EXPECT_NEAR(Half.w, std::cos(kPi / 8), 1e-6f);
  EXPECT_NEAR(Half.z, std::sin(kPi / 8), 1e-6f);
  EXPECT_NEAR(QuaternionNormal(Half), 1, 1e-6f);
  // The shorter arc: -Quarter is the same rotation and gives the same halfway point.
  TZNT1Quaternion NegQuarter;
  for (int k = 0; k < 4; ++k) NegQuarter.wxyz[k] = -Quarter.wxyz[k];
  const TZNT1Quaternion Half2 = QuaternionSlerp(Id, NegQuarter, 0.5f);
  for (int k = 0; k < 4; ++k) EXPECT_NEAR(Half2.wxyz[k], Half.wxyz[k], 1e-6f);
}
