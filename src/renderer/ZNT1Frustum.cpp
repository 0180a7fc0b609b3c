#include "renderer/ZNT1Frustum.h"

#include <cmath>

namespace ZNT1Frustum {

TZNT1Plane PlaneNormalize(const TZNT1Plane& Plane) {
  const float l = Vector3Length(Plane.Normal);
  if (l == 0.0f) return Plane;
  TZNT1Plane Result = Plane;
  Result.a /= l;
  Result.b /= l;
  Result.c /= l;
  Result.d /= l;
  return Result;
}

}  // namespace ZNT1Frustum

namespace {

TZNT1Vector3 PlanePoint(const TZNT1Plane& Plane) { return Vector3ScalarMul(Plane.Normal, -Plane.Distance); }

// The eight corners of the box spanned by vA and vB, widened by Offset on every side.
void BoxCorners(const TZNT1Vector3& vA, const TZNT1Vector3& vB, float Offset, TZNT1Vector3 (&Corners)[8]) {
  const TZNT1Vector3 Lo = Vector3(Min(vA.x, vB.x) - Offset, Min(vA.y, vB.y) - Offset, Min(vA.z, vB.z) - Offset);
  const TZNT1Vector3 Hi = Vector3(Max(vA.x, vB.x) + Offset, Max(vA.y, vB.y) + Offset, Max(vA.z, vB.z) + Offset);
  for (int i = 0; i < 8; ++i)
    Corners[i] = Vector3((i & 1) ? Hi.x : Lo.x, (i & 2) ? Hi.y : Lo.y, (i & 4) ? Hi.z : Lo.z);
}

}  // namespace

TZNT1Frustum::TZNT1Frustum() {
  for (TZNT1Plane& p : Frustum) p = Plane(Vector3Origin, 0.0f);
  FrustumSphere.Center = Vector3Origin;
  FrustumSphere.Radius = 0.0f;
  AABB.Min = Vector3Origin;
  AABB.Max = Vector3Origin;
  Sphere = FrustumSphere;
}

void TZNT1Frustum::ExtractFrustum(const TZNT1Matrix4x4& ModelViewMatrix, const TZNT1Matrix4x4& ProjectionMatrix) {
  const TZNT1Matrix4x4 Clip = Matrix4x4TermMul(ModelViewMatrix, ProjectionMatrix);
  auto Column = [&Clip](int j) {
    return Vector4(Clip.M[0][j], Clip.M[1][j], Clip.M[2][j], Clip.M[3][j]);
  };
  const TZNT1Vector4 C0 = Column(0), C1 = Column(1), C2 = Column(2), C3 = Column(3);
  auto Make = [](const TZNT1Vector4& a, const TZNT1Vector4& b, float s) {
    TZNT1Plane p;
    p.a = a.x + s * b.x;
    p.b = a.y + s * b.y;
    p.c = a.z + s * b.z;
    p.d = a.w + s * b.w;
    return ZNT1Frustum::PlaneNormalize(p);
  };
  Frustum[0] = Make(C3, C0, -1.0f);
  Frustum[1] = Make(C3, C0, 1.0f);
  Frustum[2] = Make(C3, C1, 1.0f);
  Frustum[3] = Make(C3, C1, -1.0f);
  Frustum[4] = Make(C3, C2, -1.0f);
  Frustum[5] = Make(C3, C2, 1.0f);

  const TZNT1Matrix4x4 Inverse = Matrix4x4TermInverse(Clip);
  TZNT1Vector3 Points[14];
  int Count = 0;
  for (int x = -1; x <= 1; x += 2)
    for (int y = -1; y <= 1; y += 2)
      for (int z = -1; z <= 1; z += 2) {
        TZNT1Vector4 v = Vector4(float(x), float(y), float(z), 1.0f);
        Vector4MatrixMul(v, Inverse);
        if (std::fabs(v.w) > 1e-18f) Points[Count++] = Vector3(v.x / v.w, v.y / v.w, v.z / v.w);
      }
  for (const TZNT1Plane& p : Frustum) Points[Count++] = PlanePoint(p);

  AABB.Min = Points[0];
  AABB.Max = Points[0];
  TZNT1Vector3 Sum = Vector3Origin;
  for (int i = 0; i < Count; ++i) {
    AABB = AABBCombineVector3(AABB, Points[i]);
    Sum = Vector3Add(Sum, Points[i]);
  }
  Sphere.Center = Vector3ScalarMul(Sum, 1.0f / float(Count));
  Sphere.Radius = 0.0f;
  for (int i = 0; i < Count; ++i) Sphere.Radius = Max(Sphere.Radius, Vector3Dist(Sphere.Center, Points[i]));
}

void TZNT1Frustum::ExtractFrustumSphere(float zNear, float zFar, float FOV, float AspectRatio,
                                        const TZNT1Vector3& Position, const TZNT1Vector3& Direction) {
  const float ViewLen = zFar - zNear;
  const float Height = ViewLen * std::tan(FOV * 0.5f);
  const float Width = Height * AspectRatio;
  const TZNT1Vector3 P = Vector3(0.0f, 0.0f, zNear + ViewLen * 0.5f);
  const TZNT1Vector3 Q = Vector3(Width, Height, ViewLen);
  FrustumSphere.Radius = Vector3Dist(Q, P);
  FrustumSphere.Center = Vector3Add(Position, Vector3ScalarMul(Direction, zNear + ViewLen * 0.5f));
}

bool TZNT1Frustum::CubeInFrustum(const TZNT1Vector3& vA, const TZNT1Vector3& vB, float Offset) const {
  TZNT1Vector3 Corners[8];
  BoxCorners(vA, vB, Offset, Corners);
  for (const TZNT1Plane& p : Frustum) {
    bool AllBehind = true;
    for (const TZNT1Vector3& c : Corners)
      if (PlaneVectorDistance(p, c) >= 0.0f) {
        AllBehind = false;
        break;
      }
    if (AllBehind) return false;
  }
  return true;
}

int32_t TZNT1Frustum::BoxInFrustum(const TZNT1Vector3& vA, const TZNT1Vector3& vB, float Offset) const {
  TZNT1Vector3 Corners[8];
  BoxCorners(vA, vB, Offset, Corners);
  int FullyPassed = 0;
  for (const TZNT1Plane& p : Frustum) {
    int c = 0;
    for (const TZNT1Vector3& Corner : Corners)
      if (PlaneVectorDistance(p, Corner) >= 0.0f) ++c;
    if (c == 0) return COMPLETE_OUT;
    if (c == 8) ++FullyPassed;
  }
  return FullyPassed == 6 ? COMPLETE_IN : PARTIALLY_IN;
}

int32_t TZNT1Frustum::SphereInFrustum(const TZNT1Sphere& ASphere, float Margin) const {
  const float r = ASphere.Radius + Margin;
  int FullyPassed = 0;
  for (const TZNT1Plane& p : Frustum) {
    const float d = PlaneVectorDistance(p, ASphere.Center);
    if (d <= -r) return COMPLETE_OUT;
    if (d > r) ++FullyPassed;
  }
  return FullyPassed == 6 ? COMPLETE_IN : PARTIALLY_IN;
}

bool TZNT1Frustum::PointInFrustum(const TZNT1Vector3& Point) const {
  for (const TZNT1Plane& p : Frustum)
    if (PlaneVectorDistance(p, Point) <= 0.0f) return false;
  return true;
}

void TZNT1Frustum::GetFrustumAABB(TZNT1AABB& Result) const {
  Result.Min = PlanePoint(Frustum[0]);
  Result.Max = Result.Min;
  for (int i = 1; i < 6; ++i) Result = AABBCombineVector3(Result, PlanePoint(Frustum[i]));
}

void TZNT1Frustum::GetFrustumSphere(TZNT1Sphere& ASphere) const { ASphere = Sphere; }
