#include "core/ZNT1Math.h"

#include <limits>

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr double TwoPi = 2.0 * Pi;

inline float Sin(double a) { return static_cast<float>(std::sin(a)); }
inline float Cos(double a) { return static_cast<float>(std::cos(a)); }

// Column i of a view matrix is the axis a_i; row 3 moves the eye to the origin.
TZNT1Matrix4x4 ViewFromAxes(const TZNT1Vector3& Eye, const TZNT1Vector3& a0, const TZNT1Vector3& a1,
                            const TZNT1Vector3& a2) {
  TZNT1Matrix4x4 r;
  const TZNT1Vector3* Axes[3] = {&a0, &a1, &a2};
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; k < 3; ++k) r.M[k][i] = Axes[i]->xyz[k];
    r.M[3][i] = -Vector3Dot(Eye, *Axes[i]);
  }
  r.M[0][3] = 0;
  r.M[1][3] = 0;
  r.M[2][3] = 0;
  r.M[3][3] = 1;
  return r;
}

// The raw formulas of the viewer axes, before any normalization.
void AxesLDX(const TZNT1Vector3& Angles, TZNT1Vector3& Forward, TZNT1Vector3& Right, TZNT1Vector3& Up) {
  const float cp = Cos(Angles.Pitch), sp = Sin(Angles.Pitch);
  const float cy = Cos(Angles.Yaw), sy = Sin(Angles.Yaw);
  const float cr = Cos(Angles.Roll), sr = Sin(Angles.Roll);
  Forward = Vector3(cp * cy, cp * sy, -sp);
  Right = Vector3(-sr * sp * cy + cr * sy, -sr * sp * sy - cr * cy, -sr * cp);
  Up = Vector3(cr * sp * cy + sr * sy, cr * sp * sy - sr * cy, cr * cp);
}

}  // namespace

const TZNT1Matrix3x3 Matrix3x3Identity = {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
const TZNT1Matrix4x4 Matrix4x4Identity = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
const TZNT1Matrix4x4 Matrix4x4Flip = {{{0, 0, -1, 0}, {-1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 0, 1}}};

TZNT1Matrix3x3 Matrix3x3(const TZNT1Matrix4x4& m) {
  TZNT1Matrix3x3 r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r.M[i][j] = m.M[i][j];
  return r;
}

// ---- Scalar functions ----

double Modulo(double x, double y) { return std::fmod(x, y); }

double ModuloPos(double x, double y) {
  if (!(y > 0)) return x;
  double r = std::fmod(x, y);
  while (r < 0) r += y;
  while (r >= y) r -= y;
  return r;
}

float TAN(float Angle) { return static_cast<float>(std::sin(double{Angle}) / std::cos(double{Angle})); }

float ArcCos(float x) { return static_cast<float>(std::atan2(std::sqrt(1.0 - double{x} * x), double{x})); }

float ArcSin(float x) { return static_cast<float>(std::atan2(double{x}, std::sqrt(1.0 - double{x} * x))); }

// ---- Vectors ----

bool Vector2Compare(const TZNT1Vector2& v1, const TZNT1Vector2& v2) {
  return std::fabs(v1.x - v2.x) < EPSILON && std::fabs(v1.y - v2.y) < EPSILON;
}

TZNT1Vector2 Vector2Lerp(const TZNT1Vector2& v1, const TZNT1Vector2& v2, float w) {
  const float iw = 1.0f - w;
  return Vector2(iw * v1.x + w * v2.x, iw * v1.y + w * v2.y);
}

bool Vector3Compare(const TZNT1Vector3& v1, const TZNT1Vector3& v2) {
  return std::fabs(v1.x - v2.x) < EPSILON && std::fabs(v1.y - v2.y) < EPSILON && std::fabs(v1.z - v2.z) < EPSILON;
}

float Vector3Normalize(TZNT1Vector3& v) {
  const float L = Vector3Length(v);
  if (std::fabs(L) <= EPSILON) {
    v = Vector3Origin;
  } else {
    Vector3Scale(v, 1.0f / L);
  }
  return L;
}

TZNT1Vector3 Vector3Norm(const TZNT1Vector3& v) {
  TZNT1Vector3 r = v;
  Vector3Normalize(r);
  return r;
}

void Vector3RotateZ(TZNT1Vector3& v, float a) {
  const float c = Cos(a), s = Sin(a);
  const float x = v.x, y = v.y;
  v.x = x * c - y * s;
  v.y = x * s + y * c;
}

TZNT1Vector3 Vector3TermMatrixMul(const TZNT1Vector3& v, const TZNT1Matrix3x3& m) {
  TZNT1Vector3 r;
  for (int j = 0; j < 3; ++j) r.xyz[j] = v.x * m.M[0][j] + v.y * m.M[1][j] + v.z * m.M[2][j];
  return r;
}

TZNT1Vector3 Vector3TermMatrixMulEx(const TZNT1Vector3& v, const TZNT1Matrix4x4& m) {
  TZNT1Vector3 r;
  for (int j = 0; j < 3; ++j) r.xyz[j] = v.x * m.M[0][j] + v.y * m.M[1][j] + v.z * m.M[2][j];
  return r;
}

TZNT1Vector3 Vector3TermMatrixMul(const TZNT1Vector3& v, const TZNT1Matrix4x4& m) {
  TZNT1Vector3 r;
  for (int j = 0; j < 3; ++j) r.xyz[j] = v.x * m.M[0][j] + v.y * m.M[1][j] + v.z * m.M[2][j] + m.M[3][j];
  return r;
}

TZNT1Vector3 Vector3Lerp(const TZNT1Vector3& v1, const TZNT1Vector3& v2, float w) {
  const float iw = 1.0f - w;
  return Vector3(iw * v1.x + w * v2.x, iw * v1.y + w * v2.y, iw * v1.z + w * v2.z);
}

void Vector4MatrixMul(TZNT1Vector4& v, const TZNT1Matrix4x4& m) {
  TZNT1Vector4 r;
  for (int j = 0; j < 4; ++j) r.xyzw[j] = v.x * m.M[0][j] + v.y * m.M[1][j] + v.z * m.M[2][j] + v.w * m.M[3][j];
  v = r;
}

TZNT1Vector4 Vector4Lerp(const TZNT1Vector4& v1, const TZNT1Vector4& v2, float w) {
  const float iw = 1.0f - w;
  return Vector4(iw * v1.x + w * v2.x, iw * v1.y + w * v2.y, iw * v1.z + w * v2.z, iw * v1.w + w * v2.w);
}

// ---- Angles ----

float AngleClamp(float a) {
  if (!std::isfinite(a)) return std::numeric_limits<float>::quiet_NaN();
  // Stepping by 2 pi alone would take millions of rounds for huge angles and never end
  // once 2 pi falls below half a unit in the last place; small angles keep the exact steps.
  if (std::fabs(a) > 1024.0f) a = static_cast<float>(std::fmod(double{a}, TwoPi));
  while (a < -Pi) a = static_cast<float>(a + TwoPi);
  while (a > Pi) a = static_cast<float>(a - TwoPi);
  return a;
}

float AngleDiff(float a, float b) { return AngleClamp(AngleClamp(b) - AngleClamp(a)); }

float AngleLerp(float a, float b, float x) { return a + x * AngleDiff(a, b); }

void AnglesToVector3LDX(const TZNT1Vector3& Angles, TZNT1Vector3& ForwardVector, TZNT1Vector3& RightVector,
                        TZNT1Vector3& UpVector) {
  AxesLDX(Angles, ForwardVector, RightVector, UpVector);
  Vector3Normalize(ForwardVector);
  Vector3Normalize(RightVector);
  Vector3Normalize(UpVector);
}

// ---- Matrices ----

TZNT1Matrix3x3 Matrix3x3Rotate(float Angle, const TZNT1Vector3& Axis) {
  const float c = Cos(Angle), s = Sin(Angle), t = 1.0f - c;
  const float x = Axis.x, y = Axis.y, z = Axis.z;
  TZNT1Matrix3x3 r;
  r.M[0][0] = t * x * x + c;
  r.M[0][1] = t * x * y + s * z;
  r.M[0][2] = t * x * z - s * y;
  r.M[1][0] = t * x * y - s * z;
  r.M[1][1] = t * y * y + c;
  r.M[1][2] = t * y * z + s * x;
  r.M[2][0] = t * x * z + s * y;
  r.M[2][1] = t * y * z - s * x;
  r.M[2][2] = t * z * z + c;
  return r;
}

TZNT1Matrix4x4 Matrix4x4Rotation(const TZNT1Matrix4x4& m) {
  TZNT1Matrix4x4 r = m;
  for (int i = 0; i < 3; ++i) {
    r.M[i][3] = 0;
    r.M[3][i] = 0;
  }
  r.M[3][3] = 1;
  return r;
}

TZNT1Matrix4x4 Matrix4x4RotateX(float Angle) {
  const float c = Cos(Angle), s = Sin(Angle);
  TZNT1Matrix4x4 r = Matrix4x4Identity;
  r.M[1][1] = c;
  r.M[1][2] = s;
  r.M[2][1] = -s;
  r.M[2][2] = c;
  return r;
}

TZNT1Matrix4x4 Matrix4x4RotateAngles(const TZNT1Vector3& Angles) {
  const float cp = Cos(Angles.Pitch), sp = Sin(Angles.Pitch);
  const float cy = Cos(Angles.Yaw), sy = Sin(Angles.Yaw);
  const float cr = Cos(Angles.Roll), sr = Sin(Angles.Roll);
  return TZNT1Matrix4x4{{{cr * cy, sp * sr * cy + cp * sy, -cp * sr * cy + sp * sy, 0},
                         {-cr * sy, -sp * sr * sy + cp * cy, cp * sr * sy + sp * cy, 0},
                         {sr, -sp * cr, cp * cr, 0},
                         {0, 0, 0, 1}}};
}

TZNT1Matrix4x4 Matrix4x4RotateAnglesLDXModel(const TZNT1Vector3& Angles) {
  TZNT1Vector3 Forward, Right, Up;
  AnglesToVector3LDX(Angles, Forward, Right, Up);
  const TZNT1Vector3 Left = Vector3Norm(Vector3Neg(Right));
  return TZNT1Matrix4x4{{{Forward.x, Forward.y, Forward.z, 0},
                         {Left.x, Left.y, Left.z, 0},
                         {Up.x, Up.y, Up.z, 0},
                         {0, 0, 0, 1}}};
}

TZNT1Matrix4x4 Matrix4x4Translate(float x, float y, float z) {
  TZNT1Matrix4x4 r = Matrix4x4Identity;
  r.M[3][0] = x;
  r.M[3][1] = y;
  r.M[3][2] = z;
  return r;
}

TZNT1Matrix4x4 Matrix4x4Translate(const TZNT1Vector3& v) { return Matrix4x4Translate(v.x, v.y, v.z); }

TZNT1Matrix4x4 Matrix4x4Scale(float sx, float sy, float sz) {
  TZNT1Matrix4x4 r = Matrix4x4Identity;
  r.M[0][0] = sx;
  r.M[1][1] = sy;
  r.M[2][2] = sz;
  return r;
}

TZNT1Matrix4x4 Matrix4x4Scale(const TZNT1Vector3& s) { return Matrix4x4Scale(s.x, s.y, s.z); }

TZNT1Matrix4x4 Matrix4x4TermMul(const TZNT1Matrix4x4& m1, const TZNT1Matrix4x4& m2) {
  TZNT1Matrix4x4 r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      r.M[i][j] = m1.M[i][0] * m2.M[0][j] + m1.M[i][1] * m2.M[1][j] + m1.M[i][2] * m2.M[2][j] + m1.M[i][3] * m2.M[3][j];
  return r;
}

void Matrix4x4Mul(TZNT1Matrix4x4& m1, const TZNT1Matrix4x4& m2) { m1 = Matrix4x4TermMul(m1, m2); }

// Through a temporary, so mr may be either factor.
void Matrix4x4Mul(TZNT1Matrix4x4& mr, const TZNT1Matrix4x4& m1, const TZNT1Matrix4x4& m2) {
  mr = Matrix4x4TermMul(m1, m2);
}

TZNT1Matrix4x4 Matrix4x4Lerp(const TZNT1Matrix4x4& a, const TZNT1Matrix4x4& b, float x) {
  if (x <= 0) return a;
  if (x >= 1) return b;
  TZNT1Matrix4x4 r;
  const float ix = 1.0f - x;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) r.M[i][j] = ix * a.M[i][j] + x * b.M[i][j];
  return r;
}

TZNT1Matrix4x4 Matrix4x4TermTranspose(const TZNT1Matrix4x4& m) {
  TZNT1Matrix4x4 r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) r.M[i][j] = m.M[j][i];
  return r;
}

TZNT1Matrix4x4 Matrix4x4TermReflect(const TZNT1Plane& Plane) {
  TZNT1Plane p = Plane;
  PlaneNormalize(p);
  TZNT1Matrix4x4 r;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) r.M[i][j] = (i == j ? 1.0f : 0.0f) - 2.0f * p.Normal.xyz[i] * p.Normal.xyz[j];
    r.M[i][3] = 0;
    r.M[3][i] = -2.0f * p.d * p.Normal.xyz[i];
  }
  r.M[3][3] = 1;
  return r;
}

TZNT1Matrix4x4 Matrix4x4TermSimpleInverse(const TZNT1Matrix4x4& ma) {
  TZNT1Matrix4x4 r;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) r.M[i][j] = ma.M[j][i];
    r.M[i][3] = ma.M[i][3];
  }
  for (int j = 0; j < 3; ++j)
    r.M[3][j] = -(ma.M[3][0] * ma.M[j][0] + ma.M[3][1] * ma.M[j][1] + ma.M[3][2] * ma.M[j][2]);
  r.M[3][3] = ma.M[3][3];
  return r;
}

bool Matrix4x4Inverse(TZNT1Matrix4x4& mr, const TZNT1Matrix4x4& ma) {
  double m[16];
  for (int i = 0; i < 16; ++i) m[i] = ma.M[i / 4][i % 4];
  double inv[16];
  // Cofactors (the adjugate, transposed into place).
  inv[0] = m[5] * m[10] * m[15] - m[5] * m[11] * m[14] - m[9] * m[6] * m[15] + m[9] * m[7] * m[14] +
           m[13] * m[6] * m[11] - m[13] * m[7] * m[10];
  inv[4] = -m[4] * m[10] * m[15] + m[4] * m[11] * m[14] + m[8] * m[6] * m[15] - m[8] * m[7] * m[14] -
           m[12] * m[6] * m[11] + m[12] * m[7] * m[10];
  inv[8] = m[4] * m[9] * m[15] - m[4] * m[11] * m[13] - m[8] * m[5] * m[15] + m[8] * m[7] * m[13] +
           m[12] * m[5] * m[11] - m[12] * m[7] * m[9];
  inv[12] = -m[4] * m[9] * m[14] + m[4] * m[10] * m[13] + m[8] * m[5] * m[14] - m[8] * m[6] * m[13] -
            m[12] * m[5] * m[10] + m[12] * m[6] * m[9];
  inv[1] = -m[1] * m[10] * m[15] + m[1] * m[11] * m[14] + m[9] * m[2] * m[15] - m[9] * m[3] * m[14] -
           m[13] * m[2] * m[11] + m[13] * m[3] * m[10];
  inv[5] = m[0] * m[10] * m[15] - m[0] * m[11] * m[14] - m[8] * m[2] * m[15] + m[8] * m[3] * m[14] +
           m[12] * m[2] * m[11] - m[12] * m[3] * m[10];
  inv[9] = -m[0] * m[9] * m[15] + m[0] * m[11] * m[13] + m[8] * m[1] * m[15] - m[8] * m[3] * m[13] -
           m[12] * m[1] * m[11] + m[12] * m[3] * m[9];
  inv[13] = m[0] * m[9] * m[14] - m[0] * m[10] * m[13] - m[8] * m[1] * m[14] + m[8] * m[2] * m[13] +
            m[12] * m[1] * m[10] - m[12] * m[2] * m[9];
  inv[2] = m[1] * m[6] * m[15] - m[1] * m[7] * m[14] - m[5] * m[2] * m[15] + m[5] * m[3] * m[14] +
           m[13] * m[2] * m[7] - m[13] * m[3] * m[6];
  inv[6] = -m[0] * m[6] * m[15] + m[0] * m[7] * m[14] + m[4] * m[2] * m[15] - m[4] * m[3] * m[14] -
           m[12] * m[2] * m[7] + m[12] * m[3] * m[6];
  inv[10] = m[0] * m[5] * m[15] - m[0] * m[7] * m[13] - m[4] * m[1] * m[15] + m[4] * m[3] * m[13] +
            m[12] * m[1] * m[7] - m[12] * m[3] * m[5];
  inv[14] = -m[0] * m[5] * m[14] + m[0] * m[6] * m[13] + m[4] * m[1] * m[14] - m[4] * m[2] * m[13] -
            m[12] * m[1] * m[6] + m[12] * m[2] * m[5];
  inv[3] = -m[1] * m[6] * m[11] + m[1] * m[7] * m[10] + m[5] * m[2] * m[11] - m[5] * m[3] * m[10] -
           m[9] * m[2] * m[7] + m[9] * m[3] * m[6];
  inv[7] = m[0] * m[6] * m[11] - m[0] * m[7] * m[10] - m[4] * m[2] * m[11] + m[4] * m[3] * m[10] +
           m[8] * m[2] * m[7] - m[8] * m[3] * m[6];
  inv[11] = -m[0] * m[5] * m[11] + m[0] * m[7] * m[9] + m[4] * m[1] * m[11] - m[4] * m[3] * m[9] -
            m[8] * m[1] * m[7] + m[8] * m[3] * m[5];
  inv[15] = m[0] * m[5] * m[10] - m[0] * m[6] * m[9] - m[4] * m[1] * m[10] + m[4] * m[2] * m[9] +
            m[8] * m[1] * m[6] - m[8] * m[2] * m[5];
  const double det = m[0] * inv[0] + m[1] * inv[4] + m[2] * inv[8] + m[3] * inv[12];
  if (!(std::fabs(det) > EPSILON)) return false;  // NaN counts as singular too
  const double InvDet = 1.0 / det;
  for (int i = 0; i < 16; ++i) mr.M[i / 4][i % 4] = static_cast<float>(inv[i] * InvDet);
  return true;
}

TZNT1Matrix4x4 Matrix4x4TermInverse(const TZNT1Matrix4x4& ma) {
  TZNT1Matrix4x4 r = ma;
  Matrix4x4Inverse(r, ma);
  return r;
}

void Matrix4x4Perspective(TZNT1Matrix4x4& Result, float fovy, float Aspect, float zNear, float zFar) {
  const double Radians = fovy * 0.5 * DEG2RAD;
  const double Sine = std::sin(Radians);
  const float ZDelta = zFar - zNear;
  if (ZDelta == 0.0f || Sine == 0.0 || Aspect == 0.0f) return;
  const float Cotangent = static_cast<float>(std::cos(Radians) / Sine);
  Result = Matrix4x4Identity;
  Result.M[0][0] = Cotangent / Aspect;
  Result.M[1][1] = Cotangent;
  Result.M[2][2] = -(zFar + zNear) / ZDelta;
  Result.M[2][3] = -1.0f;
  Result.M[3][2] = -2.0f * zNear * zFar / ZDelta;
  Result.M[3][3] = 0.0f;
}

TZNT1Matrix4x4 Matrix4x4LookAtViewerLDX(const TZNT1Vector3& Eye, const TZNT1Vector3& Angles) {
  TZNT1Vector3 Forward, Right, Up;
  AnglesToVector3LDX(Angles, Forward, Right, Up);
  return ViewFromAxes(Eye, Forward, Vector3Neg(Right), Up);
}

TZNT1Matrix4x4 Matrix4x4LookWithAnglesLDX(const TZNT1Vector3& Eye, const TZNT1Vector3& Angles) {
  const TZNT1Vector3 Radians = Vector3(static_cast<float>(Angles.Pitch * DEG2RAD),
                                       static_cast<float>(Angles.Yaw * DEG2RAD), static_cast<float>(Angles.Roll * DEG2RAD));
  TZNT1Vector3 Forward, Right, Up;
  AnglesToVector3LDX(Radians, Forward, Right, Up);
  return ViewFromAxes(Eye, Vector3Neg(Forward), Vector3Neg(Right), Vector3Neg(Up));
}

TZNT1Matrix4x4 Matrix4x4LookAtLDX(const TZNT1Vector3& Eye, const TZNT1Vector3& Center, const TZNT1Vector3& Up) {
  const TZNT1Vector3 a0 = Vector3Norm(Vector3Sub(Eye, Center));
  const TZNT1Vector3 a1 = Vector3Norm(Vector3Cross(Up, a0));
  const TZNT1Vector3 a2 = Vector3Norm(Vector3Cross(a0, a1));
  return ViewFromAxes(Eye, a0, a1, a2);
}

TZNT1Matrix4x4 Matrix4x4LookAtLDX2(const TZNT1Vector3& Eye, const TZNT1Vector3& Center, const TZNT1Vector3& Up) {
  const TZNT1Vector3 a0 = Vector3Norm(Vector3Sub(Center, Eye));
  const TZNT1Vector3 a1 = Vector3Norm(Vector3Cross(Up, a0));
  const TZNT1Vector3 a2 = Vector3Norm(Vector3Cross(a0, a1));
  return ViewFromAxes(Eye, a0, a1, a2);
}

TZNT1Matrix4x4 Matrix4x4ProjectionMatrixClip(const TZNT1Matrix4x4& ProjectionMatrix, const TZNT1Plane& ClipPlane) {
  const TZNT1Matrix4x4& M = ProjectionMatrix;
  const TZNT1Vector4 q = Vector4((static_cast<float>(Sign(ClipPlane.a)) + M.M[2][0]) / M.M[0][0],
                                 (static_cast<float>(Sign(ClipPlane.b)) + M.M[2][1]) / M.M[1][1], -1.0f,
                                 (1.0f + M.M[2][2]) / M.M[3][2]);
  const TZNT1Vector4 c = Vector4ScalarMul(ClipPlane.xyzw, 2.0f / Vector4Dot(ClipPlane.xyzw, q));
  TZNT1Matrix4x4 r = M;
  r.M[0][2] = c.x;
  r.M[1][2] = c.y;
  r.M[2][2] = c.z + 1.0f;
  r.M[3][2] = c.w;
  return r;
}

// ---- Planes ----

TZNT1Plane PlaneMatrixMul(const TZNT1Plane& Plane, const TZNT1Matrix4x4& Matrix) {
  TZNT1Plane r;
  for (int j = 0; j < 4; ++j)
    r.xyzw.xyzw[j] =
        Plane.a * Matrix.M[0][j] + Plane.b * Matrix.M[1][j] + Plane.c * Matrix.M[2][j] + Plane.d * Matrix.M[3][j];
  return r;
}

void PlaneNormalize(TZNT1Plane& Plane) {
  const float l = Vector3Length(Plane.Normal);
  if (l > EPSILON) {
    const float f = 1.0f / l;
    Plane.a *= f;
    Plane.b *= f;
    Plane.c *= f;
    Plane.d *= f;
  } else {
    Plane.xyzw = Vector4(0, 0, 0, 0);
  }
}

TZNT1Plane PlaneFromPoints(const TZNT1Vector3& p1, const TZNT1Vector3& p2, const TZNT1Vector3& p3) {
  const TZNT1Vector3 n = Vector3Norm(Vector3Cross(Vector3Sub(p2, p1), Vector3Sub(p3, p1)));
  return Plane(n, -Vector3Dot(n, p1));
}

// ---- Quaternions ----

float QuaternionNormal(const TZNT1Quaternion& q) { return std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z); }

void QuaternionNormalize(TZNT1Quaternion& q) {
  const float n = QuaternionNormal(q);
  if (n == 0.0f) return;
  const float f = 1.0f / n;
  for (float& c : q.wxyz) c *= f;
}

namespace {

template <typename TMatrix>
TZNT1Quaternion QuaternionFromRotation(const TMatrix& m) {
  const auto M = [&m](int i, int j) { return m.M[i][j]; };
  const float T = M(0, 0) + M(1, 1) + M(2, 2);
  TZNT1Quaternion q;
  if (T > 2.99999f) {
    q.w = 1;
    q.x = q.y = q.z = 0;
  } else if (T > 0.00001f) {
    const float S = 2.0f * std::sqrt(1.0f + T);
    q.w = S * 0.25f;
    q.x = (M(2, 1) - M(1, 2)) / S;
    q.y = (M(0, 2) - M(2, 0)) / S;
    q.z = (M(1, 0) - M(0, 1)) / S;
  } else if (M(0, 0) > M(1, 1) && M(0, 0) > M(2, 2)) {
    const float S = 2.0f * std::sqrt(1.0f + M(0, 0) - M(1, 1) - M(2, 2));
    q.w = (M(2, 1) - M(1, 2)) / S;
    q.x = S * 0.25f;
    q.y = (M(0, 1) + M(1, 0)) / S;
    q.z = (M(0, 2) + M(2, 0)) / S;
  } else if (M(1, 1) > M(2, 2)) {
    const float S = 2.0f * std::sqrt(1.0f + M(1, 1) - M(0, 0) - M(2, 2));
    q.w = (M(0, 2) - M(2, 0)) / S;
    q.x = (M(0, 1) + M(1, 0)) / S;
    q.y = S * 0.25f;
    q.z = (M(1, 2) + M(2, 1)) / S;
  } else {
    const float S = 2.0f * std::sqrt(1.0f + M(2, 2) - M(0, 0) - M(1, 1));
    q.w = (M(1, 0) - M(0, 1)) / S;
    q.x = (M(0, 2) + M(2, 0)) / S;
    q.y = (M(1, 2) + M(2, 1)) / S;
    q.z = S * 0.25f;
  }
  QuaternionNormalize(q);
  return q;
}

}  // namespace

TZNT1Quaternion QuaternionFromMatrix3x3(const TZNT1Matrix3x3& AMatrix) { return QuaternionFromRotation(AMatrix); }

TZNT1Quaternion QuaternionFromMatrix4x4(const TZNT1Matrix4x4& AMatrix) { return QuaternionFromRotation(AMatrix); }

TZNT1Matrix4x4 QuaternionToMatrix4x4(const TZNT1Quaternion& AQuaternion) {
  TZNT1Quaternion q = AQuaternion;
  QuaternionNormalize(q);
  const float xx = q.x * q.x, yy = q.y * q.y, zz = q.z * q.z;
  const float xy = q.x * q.y, xz = q.x * q.z, yz = q.y * q.z;
  const float xw = q.x * q.w, yw = q.y * q.w, zw = q.z * q.w;
  return TZNT1Matrix4x4{{{1 - 2 * (yy + zz), 2 * (xy - zw), 2 * (xz + yw), 0},
                         {2 * (xy + zw), 1 - 2 * (xx + zz), 2 * (yz - xw), 0},
                         {2 * (xz - yw), 2 * (yz + xw), 1 - 2 * (xx + yy), 0},
                         {0, 0, 0, 1}}};
}

TZNT1Quaternion QuaternionSlerp(const TZNT1Quaternion& q1, const TZNT1Quaternion& q2, float t) {
  float c = q1.w * q2.w + q1.x * q2.x + q1.y * q2.y + q1.z * q2.z;
  TZNT1Quaternion b = q2;
  if (c < 0) {  // the shorter arc
    c = -c;
    for (float& v : b.wxyz) v = -v;
  }
  float k1, k2;
  if (1.0f - c > EPSILON) {
    const float Omega = ArcCos(c);
    const double SinOmega = std::sin(double{Omega});
    k1 = static_cast<float>(std::sin((1.0 - t) * Omega) / SinOmega);
    k2 = static_cast<float>(std::sin(double{t} * Omega) / SinOmega);
  } else {
    k1 = 1.0f - t;
    k2 = t;
  }
  TZNT1Quaternion r;
  for (int i = 0; i < 4; ++i) r.wxyz[i] = k1 * q1.wxyz[i] + k2 * b.wxyz[i];
  return r;
}

// ---- Bounding volumes ----

TZNT1Sphere SphereFromAABB(const TZNT1AABB& AABB) {
  TZNT1Sphere s;
  s.Center = Vector3Avg(AABB.Min, AABB.Max);
  s.Radius = Vector3Dist(AABB.Min, AABB.Max) * 0.5125f;
  return s;
}

TZNT1Sphere SphereFromFrustum(float zNear, float zFar, float FOV, float AspectRatio, const TZNT1Vector3& Position,
                              const TZNT1Vector3& Direction) {
  const float ViewLen = zFar - zNear;
  const float Height = ViewLen * TAN(static_cast<float>(FOV * 0.5 * DEG2RAD));
  const float Width = Height * AspectRatio;
  const float Middle = zNear + ViewLen * 0.5f;
  TZNT1Sphere s;
  s.Radius = Vector3Dist(Vector3(Width, Height, ViewLen), Vector3(0, 0, Middle));
  s.Center = Vector3Add(Position, Vector3ScalarMul(Direction, Middle));
  return s;
}

TZNT1Sphere SphereExtend(const TZNT1Sphere& Sphere, const TZNT1Sphere& WithSphere) {
  const TZNT1Vector3 d = Vector3Sub(WithSphere.Center, Sphere.Center);
  const float L = Vector3Length(d);
  // B already holds A (concentric spheres included): the merge would come out too small.
  if (L + Sphere.Radius <= WithSphere.Radius) return WithSphere;
  if (L >= EPSILON && L + WithSphere.Radius >= Sphere.Radius) {
    const float R = (L + Sphere.Radius + WithSphere.Radius) * 0.5f;
    TZNT1Sphere s;
    s.Center = Vector3Add(Sphere.Center, Vector3ScalarMul(d, (R - Sphere.Radius) / L));
    s.Radius = R;
    return s;
  }
  return Sphere;
}

float AABBCost(const TZNT1AABB& AABB) {
  return (AABB.Max.x - AABB.Min.x) * (AABB.Max.y - AABB.Min.y) * (AABB.Max.z - AABB.Min.z);
}

TZNT1AABB AABBFromSphere(const TZNT1Sphere& Sphere) {
  TZNT1AABB r;
  for (int i = 0; i < 3; ++i) {
    r.Min.xyz[i] = Sphere.Center.xyz[i] - Sphere.Radius;
    r.Max.xyz[i] = Sphere.Center.xyz[i] + Sphere.Radius;
  }
  return r;
}

TZNT1AABB AABBCombine(const TZNT1AABB& AABB, const TZNT1AABB& WithAABB) {
  TZNT1AABB r;
  for (int i = 0; i < 3; ++i) {
    r.Min.xyz[i] = Min(AABB.Min.xyz[i], WithAABB.Min.xyz[i]);
    r.Max.xyz[i] = Max(AABB.Max.xyz[i], WithAABB.Max.xyz[i]);
  }
  return r;
}

TZNT1AABB AABBCombineVector3(const TZNT1AABB& AABB, const TZNT1Vector3& v) {
  TZNT1AABB r;
  for (int i = 0; i < 3; ++i) {
    r.Min.xyz[i] = Min(AABB.Min.xyz[i], v.xyz[i]);
    r.Max.xyz[i] = Max(AABB.Max.xyz[i], v.xyz[i]);
  }
  return r;
}

float AABBDistance(const TZNT1AABB& AABB, const TZNT1AABB& WithAABB) {
  float Sum = 0;
  for (int i = 0; i < 3; ++i) {
    float Gap = 0;
    if (AABB.Min.xyz[i] > WithAABB.Max.xyz[i])
      Gap = AABB.Min.xyz[i] - WithAABB.Max.xyz[i];
    else if (WithAABB.Min.xyz[i] > AABB.Max.xyz[i])
      Gap = WithAABB.Min.xyz[i] - AABB.Max.xyz[i];
    Sum += Gap * Gap;
  }
  return Sum <= 0 ? 0.0f : std::sqrt(Sum);
}

bool AABBIntersect(const TZNT1AABB& AABB, const TZNT1AABB& WithAABB) {
  return AABB.Max.x >= WithAABB.Min.x && AABB.Min.x <= WithAABB.Max.x && AABB.Max.y >= WithAABB.Min.y &&
         AABB.Min.y <= WithAABB.Max.y && AABB.Max.z >= WithAABB.Min.z && AABB.Min.z <= WithAABB.Max.z;
}

bool AABBIntersectEx(const TZNT1AABB& AABB, const TZNT1AABB& WithAABB, float Threshold) {
  for (int i = 0; i < 3; ++i)
    if (!(AABB.Max.xyz[i] + Threshold >= WithAABB.Min.xyz[i] - Threshold &&
          WithAABB.Max.xyz[i] + Threshold >= AABB.Min.xyz[i] - Threshold))
      return false;
  return true;
}

bool AABBContains(const TZNT1AABB& InAABB, const TZNT1AABB& AABB) {
  for (int i = 0; i < 3; ++i)
    if (!(InAABB.Min.xyz[i] <= AABB.Min.xyz[i] && AABB.Max.xyz[i] <= InAABB.Max.xyz[i])) return false;
  return true;
}

bool AABBContains(const TZNT1AABB& AABB, const TZNT1Vector3& Vector) {
  for (int i = 0; i < 3; ++i)
    if (!(AABB.Min.xyz[i] <= Vector.xyz[i] && Vector.xyz[i] <= AABB.Max.xyz[i])) return false;
  return true;
}

bool AABBTouched(const TZNT1AABB& AABB, const TZNT1Vector3& Vector, float Threshold) {
  for (int i = 0; i < 3; ++i)
    if (!(AABB.Min.xyz[i] - Threshold <= Vector.xyz[i] && Vector.xyz[i] <= AABB.Max.xyz[i] + Threshold)) return false;
  return true;
}

TZNT1AABB AABBTransform(const TZNT1AABB& DstAABB, const TZNT1Matrix4x4& Transform) {
  TZNT1AABB r;
  for (int i = 0; i < 3; ++i) {
    r.Min.xyz[i] = Transform.M[3][i];
    r.Max.xyz[i] = Transform.M[3][i];
    for (int j = 0; j < 3; ++j) {
      const float a = Transform.M[j][i] * DstAABB.Min.xyz[j];
      const float b = Transform.M[j][i] * DstAABB.Max.xyz[j];
      r.Min.xyz[i] += Min(a, b);
      r.Max.xyz[i] += Max(a, b);
    }
  }
  return r;
}

bool AABBScissorRect(const TZNT1AABB& AABB, TZNT1ClipRect& Scissor, const TZNT1Matrix4x4& mvp, const TZNT1ClipRect& vp,
                     bool zcull) {
  const float Left = static_cast<float>(vp[0]), Bottom = static_cast<float>(vp[1]);
  const float Right = static_cast<float>(vp[0]) + static_cast<float>(vp[2]);
  const float Top = static_cast<float>(vp[1]) + static_cast<float>(vp[3]);
  int32_t BeforeNear = 0, BeyondFar = 0;
  bool Unbounded = false;
  float MinX = std::numeric_limits<float>::infinity(), MinY = MinX;
  float MaxX = -MinX, MaxY = -MinX;
  for (int k = 0; k < 8; ++k) {
    TZNT1Vector4 p = Vector4((k & 1) ? AABB.Max.x : AABB.Min.x, (k & 2) ? AABB.Max.y : AABB.Min.y,
                             (k & 4) ? AABB.Max.z : AABB.Min.z, 1.0f);
    Vector4MatrixMul(p, mvp);
    if (p.w <= EPSILON) {
      // At or behind the eye the divide flips or overflows: the box reaches past the screen.
      if (zcull) ++BeyondFar;
      Unbounded = true;
      continue;
    }
    float x = p.x / p.w, y = p.y / p.w, z = p.z / p.w;
    x = static_cast<float>(vp[2]) * ((x + 1.0f) * 0.5f) + static_cast<float>(vp[0]);
    y = static_cast<float>(vp[3]) * ((y + 1.0f) * 0.5f) + static_cast<float>(vp[1]);
    z = (z + 1.0f) * 0.5f;
    if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(z))) {
      // A corner in the eye plane (w = 0) projects to infinity or NaN: it counts as beyond
      // the far range, and the rectangle cannot be bounded by it.
      if (zcull) ++BeyondFar;
      Unbounded = true;
      continue;
    }
    if (zcull) {
      if (z < -EPSILON)
        ++BeforeNear;
      else if (z > 1.0 + EPSILON)
        ++BeyondFar;
    }
    if (x < Left) x = Left;
    if (x > Right) x = Right;
    if (y < Bottom) y = Bottom;
    if (y > Top) y = Top;
    MinX = Min(MinX, x);
    MinY = Min(MinY, y);
    MaxX = Max(MaxX, x);
    MaxY = Max(MaxY, y);
  }
  if (Unbounded) {
    Scissor = {vp[0], vp[1], vp[0] + vp[2], vp[1] + vp[3]};
  } else {
    // Halves go to even; the values lie inside the viewport, so they fit.
    Scissor = {static_cast<int32_t>(std::nearbyint(MinX)), static_cast<int32_t>(std::nearbyint(MinY)),
               static_cast<int32_t>(std::nearbyint(MaxX)), static_cast<int32_t>(std::nearbyint(MaxY))};
  }
  if (BeforeNear == 8 || BeyondFar == 8) return false;
  // Some corners behind the far range (or behind the eye): the projection is unreliable.
  if (BeyondFar >= 1) Scissor = {vp[0], vp[1], vp[0] + vp[2], vp[1] + vp[3]};
  return true;
}

bool AABBSweepTest(const TZNT1AABB& aAABB, const TZNT1AABB& bAABB, const TZNT1Vector3& aV, const TZNT1Vector3& bV,
                   float& FirstTime, float& LastTime) {
  if (AABBIntersect(aAABB, bAABB)) {
    FirstTime = 0;
    LastTime = 0;
    return true;
  }
  const TZNT1Vector3 v = Vector3Sub(bV, aV);
  float tMin[3], tMax[3];
  for (int i = 0; i < 3; ++i) {
    if (v.xyz[i] < 0) {
      tMin[i] = (aAABB.Max.xyz[i] - bAABB.Min.xyz[i]) / v.xyz[i];
      tMax[i] = (aAABB.Min.xyz[i] - bAABB.Max.xyz[i]) / v.xyz[i];
    } else if (v.xyz[i] > 0) {
      tMin[i] = (aAABB.Min.xyz[i] - bAABB.Max.xyz[i]) / v.xyz[i];
      tMax[i] = (aAABB.Max.xyz[i] - bAABB.Min.xyz[i]) / v.xyz[i];
    } else {
      if (aAABB.Max.xyz[i] < bAABB.Min.xyz[i] || aAABB.Min.xyz[i] > bAABB.Max.xyz[i]) return false;
      tMin[i] = 0;
      tMax[i] = 1;
    }
  }
  FirstTime = Max(Max(tMin[0], tMin[1]), tMin[2]);
  LastTime = Min(Min(tMax[0], tMax[1]), tMax[2]);
  return LastTime >= 0 && FirstTime <= 1 && FirstTime <= LastTime;
}

bool RayIntersectTriangle(const TZNT1Vector3& _orig, const TZNT1Vector3& _dir, const TZNT1Vector3& _v0,
                          const TZNT1Vector3& _v1, const TZNT1Vector3& _v2, float& _t, float& _u, float& _v) {
  const TZNT1Vector3 edge1 = Vector3Sub(_v1, _v0);
  const TZNT1Vector3 edge2 = Vector3Sub(_v2, _v0);
  const TZNT1Vector3 pvec = Vector3Cross(_dir, edge2);
  const float det = Vector3Dot(edge1, pvec);
  if (det < 0.0001f) return false;
  const TZNT1Vector3 tvec = Vector3Sub(_orig, _v0);
  _u = Vector3Dot(tvec, pvec);
  if (_u < 0 || _u > det) return false;
  const TZNT1Vector3 qvec = Vector3Cross(tvec, edge1);
  _v = Vector3Dot(_dir, qvec);
  if (_v < 0 || _u + _v > det) return false;
  _t = Vector3Dot(edge2, qvec);
  const float InvDet = 1.0f / det;
  _t *= InvDet;
  _u *= InvDet;
  _v *= InvDet;
  return true;
}

float PointTriangleDistanceSq(float& pfSParam, float& pfTParam, const TZNT1Vector3& rkPoint,
                              const TZNT1SegmentTriangle& rkTri) {
  const TZNT1Vector3 kDiff = Vector3Sub(rkTri.Origin, rkPoint);
  const float a00 = Vector3LengthSquared(rkTri.Edge0);
  const float a01 = Vector3Dot(rkTri.Edge0, rkTri.Edge1);
  const float a11 = Vector3LengthSquared(rkTri.Edge1);
  const float b0 = Vector3Dot(kDiff, rkTri.Edge0);
  const float b1 = Vector3Dot(kDiff, rkTri.Edge1);
  const float c = Vector3LengthSquared(kDiff);
  const float det = Max(std::fabs(a00 * a11 - a01 * a01), EPSILON);
  float s = a01 * b1 - a11 * b0;
  float t = a01 * b0 - a00 * b1;

  // The minimum on an edge where one parameter is 0: the other from its own terms.
  const auto ClampEdge = [](float bk, float akk) { return bk >= 0 ? 0.0f : (-bk >= akk ? 1.0f : -bk / akk); };

  if (s + t <= det) {
    if (s < 0) {
      if (t < 0) {
        if (b0 < 0) {
          t = 0;
          s = -b0 >= a00 ? 1.0f : -b0 / a00;
        } else {
          s = 0;
          t = ClampEdge(b1, a11);
        }
      } else {
        s = 0;
        t = ClampEdge(b1, a11);
      }
    } else if (t < 0) {
      t = 0;
      s = ClampEdge(b0, a00);
    } else {
      s /= det;
      t /= det;
    }
  } else if (s < 0) {
    const float tmp0 = a01 + b0, tmp1 = a11 + b1;
    if (tmp1 > tmp0) {
      const float numer = tmp1 - tmp0, denom = a00 - 2 * a01 + a11;
      if (numer >= denom) {
        s = 1;
        t = 0;
      } else {
        s = numer / denom;
        t = 1 - s;
      }
    } else {
      s = 0;
      t = tmp1 <= 0 ? 1.0f : (b1 >= 0 ? 0.0f : -b1 / a11);
    }
  } else if (t < 0) {
    const float tmp0 = a01 + b1, tmp1 = a00 + b0;
    if (tmp1 > tmp0) {
      const float numer = tmp1 - tmp0, denom = a00 - 2 * a01 + a11;
      if (numer >= denom) {
        t = 1;
        s = 0;
      } else {
        t = numer / denom;
        s = 1 - t;
      }
    } else {
      t = 0;
      s = tmp1 <= 0 ? 1.0f : (b0 >= 0 ? 0.0f : -b0 / a00);
    }
  } else {
    const float numer = a11 + b1 - a01 - b0;
    if (numer <= 0) {
      s = 0;
      t = 1;
    } else {
      const float denom = a00 - 2 * a01 + a11;
      if (numer >= denom) {
        s = 1;
        t = 0;
      } else {
        s = numer / denom;
        t = 1 - s;
      }
    }
  }
  pfSParam = s;
  pfTParam = t;
  return std::fabs(s * (a00 * s + a01 * t + 2 * b0) + t * (a01 * s + a11 * t + 2 * b1) + c);
}

float PointTriangleDistance(const TZNT1Vector3& Point, const TZNT1Vector3& t0, const TZNT1Vector3& t1,
                            const TZNT1Vector3& t2) {
  TZNT1SegmentTriangle Tri;
  Tri.Origin = t0;
  Tri.Edge0 = Vector3Sub(t1, t0);
  Tri.Edge1 = Vector3Sub(t2, t0);
  Tri.Edge2 = Vector3Sub(t2, t1);
  float s, t;
  PointTriangleDistanceSq(s, t, Point, Tri);
  const TZNT1Vector3 Closest =
      Vector3Add(Tri.Origin, Vector3Add(Vector3ScalarMul(Tri.Edge0, s), Vector3ScalarMul(Tri.Edge1, t)));
  return Vector3Dist(Point, Closest);
}
