#pragma once
// Single-precision 3D math: row vectors, v' = v * M, translation in row 3, radians
// (degrees only for the perspective and frustum fields of view and LookWithAnglesLDX).
// LDX names use the game's axes: x forward, y left, z up.
//
// Records are plain aggregates whose storage carries several sets of names; build them
// with the makers (Vector3(x, y, z) ...) rather than brace lists.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

struct TZNT1Vector2 {
  union {
    struct {
      float x, y;
    };
    struct {
      float u, v;
    };
    struct {
      float s, t;
    };
    float xy[2];
    float uv[2];
    float st[2];
  };
};

struct TZNT1Vector3 {
  union {
    struct {
      float x, y, z;
    };
    struct {
      float r, g, b;
    };
    struct {
      float Pitch, Yaw, Roll;
    };
    float xyz[3];
    float rgb[3];
    float PitchYawRoll[3];
  };
};

struct TZNT1Vector4 {
  union {
    struct {
      float x, y, z, w;
    };
    struct {
      float r, g, b, a;
    };
    float xyzw[4];
    float rgba[4];
  };
};

struct TZNT1Vector3i {
  union {
    struct {
      int32_t x, y, z;
    };
    struct {
      int32_t r, g, b;
    };
    int32_t xyz[3];
    int32_t rgb[3];
  };
};

// A point p lies on the plane when Normal . p + Distance = 0.
struct TZNT1Plane {
  union {
    struct {
      float a, b, c, d;
    };
    struct {
      TZNT1Vector3 Normal;
      float Distance;
    };
    TZNT1Vector4 xyzw;
  };
};

struct TZNT1Quaternion {
  union {
    struct {
      float w, x, y, z;
    };
    float wxyz[4];
  };
};

struct TZNT1Sphere {
  union {
    struct {
      TZNT1Vector3 Center;
      float Radius;
    };
    TZNT1Vector4 xyzw;
  };
};

struct TZNT1AABB {
  union {
    struct {
      TZNT1Vector3 Min, Max;
    };
    TZNT1Vector3 MinMax[2];
  };
};

struct TZNT1SphereCoords {
  float Radius, Theta, Phi;
};

// Vertices V0, V1, V2 as Origin = V0, Edge0 = V1 - V0, Edge1 = V2 - V0, Edge2 = V2 - V1.
struct TZNT1SegmentTriangle {
  TZNT1Vector3 Origin, Edge0, Edge1, Edge2;
};

// Viewport: origin x, y, width, height. Scissor result: min x, min y, max x, max y.
using TZNT1ClipRect = std::array<int32_t, 4>;

struct TZNT1Matrix2x2 {
  float M[2][2];
};

struct TZNT1Matrix3x3 {
  float M[3][3];  // [row][column]
};

struct TZNT1Matrix4x4 {
  float M[4][4];  // [row][column]; handed to OpenGL unchanged as its column-major matrix
};

using TZNT1Vector3Array = std::vector<TZNT1Vector3>;
using TZNT1Vector3s = TZNT1Vector3[];
using PZNT1Vector3s = TZNT1Vector3*;

static_assert(sizeof(TZNT1Vector2) == 8 && offsetof(TZNT1Vector2, y) == 4 && offsetof(TZNT1Vector2, t) == 4);
static_assert(sizeof(TZNT1Vector3) == 12 && offsetof(TZNT1Vector3, z) == 8 && offsetof(TZNT1Vector3, b) == 8 &&
              offsetof(TZNT1Vector3, Roll) == 8);
static_assert(sizeof(TZNT1Vector4) == 16 && offsetof(TZNT1Vector4, w) == 12 && offsetof(TZNT1Vector4, a) == 12);
static_assert(sizeof(TZNT1Vector3i) == 12 && offsetof(TZNT1Vector3i, z) == 8);
static_assert(sizeof(TZNT1Plane) == 16 && offsetof(TZNT1Plane, Normal) == 0 && offsetof(TZNT1Plane, d) == 12 &&
              offsetof(TZNT1Plane, Distance) == 12);
static_assert(sizeof(TZNT1Quaternion) == 16 && offsetof(TZNT1Quaternion, w) == 0 && offsetof(TZNT1Quaternion, x) == 4 &&
              offsetof(TZNT1Quaternion, z) == 12);
static_assert(sizeof(TZNT1Sphere) == 16 && offsetof(TZNT1Sphere, Radius) == 12);
static_assert(sizeof(TZNT1AABB) == 24 && offsetof(TZNT1AABB, Max) == 12);
static_assert(sizeof(TZNT1SphereCoords) == 12 && offsetof(TZNT1SphereCoords, Phi) == 8);
static_assert(sizeof(TZNT1SegmentTriangle) == 48 && offsetof(TZNT1SegmentTriangle, Edge2) == 36);
static_assert(sizeof(TZNT1ClipRect) == 16);
static_assert(sizeof(TZNT1Matrix2x2) == 16 && sizeof(TZNT1Matrix3x3) == 36 && sizeof(TZNT1Matrix4x4) == 64);

// ---- Constants ----
constexpr float EPSILON = 1e-12f;
constexpr double AABBEPSILON = 1e-12;
constexpr double SPHEREEPSILON = 1e-12;
constexpr double DEG2RAD = 3.14159265358979323846 / 180.0;
constexpr double RAD2DEG = 180.0 / 3.14159265358979323846;

// ---- Record makers ----
constexpr TZNT1Vector2 Vector2(float x, float y) { return TZNT1Vector2{{{x, y}}}; }
constexpr TZNT1Vector3 Vector3(float x, float y, float z) { return TZNT1Vector3{{{x, y, z}}}; }
constexpr TZNT1Vector4 Vector4(float x, float y, float z, float w) { return TZNT1Vector4{{{x, y, z, w}}}; }
constexpr TZNT1Vector4 Vector4(const TZNT1Vector3& v, float w) { return TZNT1Vector4{{{v.x, v.y, v.z, w}}}; }
constexpr TZNT1Plane Plane(const TZNT1Vector3& Normal, float Distance) {
  return TZNT1Plane{{{Normal.x, Normal.y, Normal.z, Distance}}};
}
constexpr TZNT1Vector3 Angles(float Pitch, float Yaw, float Roll) { return Vector3(Pitch, Yaw, Roll); }
TZNT1Matrix3x3 Matrix3x3(const TZNT1Matrix4x4& m);

constexpr TZNT1Vector3 Vector3Origin = Vector3(0, 0, 0);
constexpr TZNT1Vector4 Vector4Origin = Vector4(0, 0, 0, 1);
extern const TZNT1Matrix3x3 Matrix3x3Identity;
extern const TZNT1Matrix4x4 Matrix4x4Identity;
extern const TZNT1Matrix4x4 Matrix4x4Flip;

// ---- Scalar functions ----
double Modulo(double x, double y);     // truncated remainder, sign of x
double ModuloPos(double x, double y);  // into [0, y); x unchanged when y <= 0 or NaN
inline int32_t Sign(float x) { return x < 0 ? -1 : x > 0 ? 1 : 0; }
inline float Min(float a, float b) { return a < b ? a : b; }  // a tie gives b
inline float Max(float a, float b) { return a > b ? a : b; }
inline int32_t MinInt(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t MaxInt(int32_t a, int32_t b) { return a > b ? a : b; }
float TAN(float Angle);
float ArcCos(float x);  // not clamped: |x| > 1 gives NaN
float ArcSin(float x);

// ---- Vector operations ----
bool Vector2Compare(const TZNT1Vector2& v1, const TZNT1Vector2& v2);
inline TZNT1Vector2 Vector2Sub(const TZNT1Vector2& v1, const TZNT1Vector2& v2) { return Vector2(v1.x - v2.x, v1.y - v2.y); }
TZNT1Vector2 Vector2Lerp(const TZNT1Vector2& v1, const TZNT1Vector2& v2, float w);

bool Vector3Compare(const TZNT1Vector3& v1, const TZNT1Vector3& v2);
inline TZNT1Vector3 Vector3Add(const TZNT1Vector3& v1, const TZNT1Vector3& v2) {
  return Vector3(v1.x + v2.x, v1.y + v2.y, v1.z + v2.z);
}
inline TZNT1Vector3 Vector3Sub(const TZNT1Vector3& v1, const TZNT1Vector3& v2) {
  return Vector3(v1.x - v2.x, v1.y - v2.y, v1.z - v2.z);
}
inline TZNT1Vector3 Vector3Avg(const TZNT1Vector3& v1, const TZNT1Vector3& v2) {
  return Vector3((v1.x + v2.x) * 0.5f, (v1.y + v2.y) * 0.5f, (v1.z + v2.z) * 0.5f);
}
inline TZNT1Vector3 Vector3ScalarMul(const TZNT1Vector3& v, float s) { return Vector3(v.x * s, v.y * s, v.z * s); }
inline float Vector3Dot(const TZNT1Vector3& v1, const TZNT1Vector3& v2) { return v1.x * v2.x + v1.y * v2.y + v1.z * v2.z; }
inline TZNT1Vector3 Vector3Cross(const TZNT1Vector3& v1, const TZNT1Vector3& v2) {
  return Vector3(v1.y * v2.z - v1.z * v2.y, v1.z * v2.x - v1.x * v2.z, v1.x * v2.y - v1.y * v2.x);
}
inline TZNT1Vector3 Vector3Neg(const TZNT1Vector3& v) { return Vector3(-v.x, -v.y, -v.z); }
inline void Vector3Scale(TZNT1Vector3& v, float s) {
  v.x *= s;
  v.y *= s;
  v.z *= s;
}
inline float Vector3LengthSquared(const TZNT1Vector3& v) { return v.x * v.x + v.y * v.y + v.z * v.z; }
inline float Vector3Length(const TZNT1Vector3& v) { return std::sqrt(Vector3LengthSquared(v)); }
inline float Vector3Dist(const TZNT1Vector3& v1, const TZNT1Vector3& v2) { return Vector3Length(Vector3Sub(v1, v2)); }
float Vector3Normalize(TZNT1Vector3& v);  // returns the old length; length <= EPSILON gives (0, 0, 0)
TZNT1Vector3 Vector3Norm(const TZNT1Vector3& v);
void Vector3RotateZ(TZNT1Vector3& v, float a);
TZNT1Vector3 Vector3TermMatrixMul(const TZNT1Vector3& v, const TZNT1Matrix3x3& m);
TZNT1Vector3 Vector3TermMatrixMulEx(const TZNT1Vector3& v, const TZNT1Matrix4x4& m);  // direction: no translation
TZNT1Vector3 Vector3TermMatrixMul(const TZNT1Vector3& v, const TZNT1Matrix4x4& m);    // point, no divide by w
TZNT1Vector3 Vector3Lerp(const TZNT1Vector3& v1, const TZNT1Vector3& v2, float w);

inline TZNT1Vector4 Vector4Add(const TZNT1Vector4& v1, const TZNT1Vector4& v2) {
  return Vector4(v1.x + v2.x, v1.y + v2.y, v1.z + v2.z, v1.w + v2.w);
}
inline TZNT1Vector4 Vector4ScalarMul(const TZNT1Vector4& v, float s) { return Vector4(v.x * s, v.y * s, v.z * s, v.w * s); }
inline float Vector4Dot(const TZNT1Vector4& v1, const TZNT1Vector4& v2) {
  return v1.x * v2.x + v1.y * v2.y + v1.z * v2.z + v1.w * v2.w;
}
void Vector4MatrixMul(TZNT1Vector4& v, const TZNT1Matrix4x4& m);
TZNT1Vector4 Vector4Lerp(const TZNT1Vector4& v1, const TZNT1Vector4& v2, float w);

// ---- Angles (radians) ----
float AngleClamp(float a);  // into [-pi, pi]; a non-finite angle gives NaN
float AngleDiff(float a, float b);
float AngleLerp(float a, float b, float x);
void AnglesToVector3LDX(const TZNT1Vector3& Angles, TZNT1Vector3& ForwardVector, TZNT1Vector3& RightVector,
                        TZNT1Vector3& UpVector);

// ---- Matrices ----
TZNT1Matrix3x3 Matrix3x3Rotate(float Angle, const TZNT1Vector3& Axis);
TZNT1Matrix4x4 Matrix4x4Rotation(const TZNT1Matrix4x4& m);
TZNT1Matrix4x4 Matrix4x4RotateX(float Angle);
TZNT1Matrix4x4 Matrix4x4RotateAngles(const TZNT1Vector3& Angles);
TZNT1Matrix4x4 Matrix4x4RotateAnglesLDXModel(const TZNT1Vector3& Angles);
TZNT1Matrix4x4 Matrix4x4Translate(float x, float y, float z);
TZNT1Matrix4x4 Matrix4x4Translate(const TZNT1Vector3& v);
TZNT1Matrix4x4 Matrix4x4Scale(float sx, float sy, float sz);
TZNT1Matrix4x4 Matrix4x4Scale(const TZNT1Vector3& s);
void Matrix4x4Mul(TZNT1Matrix4x4& m1, const TZNT1Matrix4x4& m2);                             // m1 := m1 * m2
void Matrix4x4Mul(TZNT1Matrix4x4& mr, const TZNT1Matrix4x4& m1, const TZNT1Matrix4x4& m2);  // mr := m1 * m2
TZNT1Matrix4x4 Matrix4x4TermMul(const TZNT1Matrix4x4& m1, const TZNT1Matrix4x4& m2);
TZNT1Matrix4x4 Matrix4x4Lerp(const TZNT1Matrix4x4& a, const TZNT1Matrix4x4& b, float x);
TZNT1Matrix4x4 Matrix4x4TermTranspose(const TZNT1Matrix4x4& m);
TZNT1Matrix4x4 Matrix4x4TermReflect(const TZNT1Plane& Plane);
TZNT1Matrix4x4 Matrix4x4TermSimpleInverse(const TZNT1Matrix4x4& ma);  // rotation plus translation only
bool Matrix4x4Inverse(TZNT1Matrix4x4& mr, const TZNT1Matrix4x4& ma);   // false and mr untouched when singular
TZNT1Matrix4x4 Matrix4x4TermInverse(const TZNT1Matrix4x4& ma);        // a singular ma comes back unchanged
// fovy in degrees. Degenerate input (zNear == zFar, fovy 0, Aspect 0) leaves Result untouched.
void Matrix4x4Perspective(TZNT1Matrix4x4& Result, float fovy, float Aspect, float zNear, float zFar);
TZNT1Matrix4x4 Matrix4x4LookAtViewerLDX(const TZNT1Vector3& Eye, const TZNT1Vector3& Angles);
TZNT1Matrix4x4 Matrix4x4LookWithAnglesLDX(const TZNT1Vector3& Eye, const TZNT1Vector3& Angles);  // degrees
TZNT1Matrix4x4 Matrix4x4LookAtLDX(const TZNT1Vector3& Eye, const TZNT1Vector3& Center, const TZNT1Vector3& Up);
TZNT1Matrix4x4 Matrix4x4LookAtLDX2(const TZNT1Vector3& Eye, const TZNT1Vector3& Center, const TZNT1Vector3& Up);
TZNT1Matrix4x4 Matrix4x4ProjectionMatrixClip(const TZNT1Matrix4x4& ProjectionMatrix, const TZNT1Plane& ClipPlane);

// ---- Planes ----
TZNT1Plane PlaneMatrixMul(const TZNT1Plane& Plane, const TZNT1Matrix4x4& Matrix);
void PlaneNormalize(TZNT1Plane& Plane);
inline float PlaneVectorDistance(const TZNT1Plane& Plane, const TZNT1Vector3& Point) {
  return Vector3Dot(Plane.Normal, Point) + Plane.Distance;
}
TZNT1Plane PlaneFromPoints(const TZNT1Vector3& p1, const TZNT1Vector3& p2, const TZNT1Vector3& p3);

// ---- Quaternions (w, x, y, z) ----
float QuaternionNormal(const TZNT1Quaternion& AQuaternion);
void QuaternionNormalize(TZNT1Quaternion& AQuaternion);
TZNT1Quaternion QuaternionFromMatrix3x3(const TZNT1Matrix3x3& AMatrix);
TZNT1Quaternion QuaternionFromMatrix4x4(const TZNT1Matrix4x4& AMatrix);
// Comes out transposed against Matrix3x3Rotate; QuaternionFromMatrix reads it back consistently.
TZNT1Matrix4x4 QuaternionToMatrix4x4(const TZNT1Quaternion& AQuaternion);
TZNT1Quaternion QuaternionSlerp(const TZNT1Quaternion& q1, const TZNT1Quaternion& q2, float t);

// ---- Bounding volumes and intersection tests ----
TZNT1Sphere SphereFromAABB(const TZNT1AABB& AABB);
TZNT1Sphere SphereFromFrustum(float zNear, float zFar, float FOV, float AspectRatio, const TZNT1Vector3& Position,
                              const TZNT1Vector3& Direction);
TZNT1Sphere SphereExtend(const TZNT1Sphere& Sphere, const TZNT1Sphere& WithSphere);
float AABBCost(const TZNT1AABB& AABB);
TZNT1AABB AABBFromSphere(const TZNT1Sphere& Sphere);
TZNT1AABB AABBCombine(const TZNT1AABB& AABB, const TZNT1AABB& WithAABB);
TZNT1AABB AABBCombineVector3(const TZNT1AABB& AABB, const TZNT1Vector3& v);
float AABBDistance(const TZNT1AABB& AABB, const TZNT1AABB& WithAABB);
bool AABBIntersect(const TZNT1AABB& AABB, const TZNT1AABB& WithAABB);
bool AABBIntersectEx(const TZNT1AABB& AABB, const TZNT1AABB& WithAABB, float Threshold);
bool AABBContains(const TZNT1AABB& InAABB, const TZNT1AABB& AABB);
bool AABBContains(const TZNT1AABB& AABB, const TZNT1Vector3& Vector);
bool AABBTouched(const TZNT1AABB& AABB, const TZNT1Vector3& Vector, float Threshold);
TZNT1AABB AABBTransform(const TZNT1AABB& DstAABB, const TZNT1Matrix4x4& Transform);
bool AABBScissorRect(const TZNT1AABB& AABB, TZNT1ClipRect& Scissor, const TZNT1Matrix4x4& mvp, const TZNT1ClipRect& vp,
                     bool zcull);
bool AABBSweepTest(const TZNT1AABB& aAABB, const TZNT1AABB& bAABB, const TZNT1Vector3& aV, const TZNT1Vector3& bV,
                   float& FirstTime, float& LastTime);
bool RayIntersectTriangle(const TZNT1Vector3& _orig, const TZNT1Vector3& _dir, const TZNT1Vector3& _v0,
                          const TZNT1Vector3& _v1, const TZNT1Vector3& _v2, float& _t, float& _u, float& _v);
float PointTriangleDistanceSq(float& pfSParam, float& pfTParam, const TZNT1Vector3& rkPoint,
                              const TZNT1SegmentTriangle& rkTri);
float PointTriangleDistance(const TZNT1Vector3& Point, const TZNT1Vector3& t0, const TZNT1Vector3& t1,
                            const TZNT1Vector3& t2);
