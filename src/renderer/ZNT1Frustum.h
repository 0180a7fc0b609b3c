#pragma once
// The view volume of a render context as six planes, with box, cube, sphere and point tests.
#include <cstdint>

#include "core/ZNT1Math.h"

// Results of BoxInFrustum (and, with the same values, SphereInFrustum).
constexpr int8_t COMPLETE_OUT = 0;
constexpr int8_t PARTIALLY_IN = 1;
constexpr int8_t COMPLETE_IN = 2;

// Planes 0 right, 1 left, 2 bottom, 3 top, 4 far, 5 near; normals point into the volume and
// a point p is in front when Normal . p + Distance > 0.
using TZNT1FrustumPlanes = TZNT1Plane[6];

namespace ZNT1Frustum {
// Divides normal and distance by the normal's length; a zero normal leaves the plane as it is
// (unlike the math layer's, which zeroes it).
TZNT1Plane PlaneNormalize(const TZNT1Plane& Plane);
}  // namespace ZNT1Frustum

class TZNT1Frustum {
 public:
  TZNT1Frustum();

  // Planes from ModelView x Projection (row vectors), and the box and sphere around the
  // volume's corners and plane points.
  void ExtractFrustum(const TZNT1Matrix4x4& ModelViewMatrix, const TZNT1Matrix4x4& ProjectionMatrix);
  // A sphere around the view slice from zNear to zFar (FOV in radians) into FrustumSphere.
  void ExtractFrustumSphere(float zNear, float zFar, float FOV, float AspectRatio, const TZNT1Vector3& Position,
                            const TZNT1Vector3& Direction);
  // False when one plane has every corner of the box (vA, vB in any order, widened by Offset)
  // behind it; a corner on a plane counts as in front.
  bool CubeInFrustum(const TZNT1Vector3& vA, const TZNT1Vector3& vB, float Offset) const;
  // COMPLETE_OUT, PARTIALLY_IN or COMPLETE_IN for the same widened box.
  int32_t BoxInFrustum(const TZNT1Vector3& vA, const TZNT1Vector3& vB, float Offset) const;
  // 0 outside (touching from outside included), 1 intersecting, 2 inside.
  int32_t SphereInFrustum(const TZNT1Sphere& Sphere, float Margin) const;
  // True only when the point is strictly in front of all six planes.
  bool PointInFrustum(const TZNT1Vector3& Point) const;
  // The box around the six plane points (not the stored AABB).
  void GetFrustumAABB(TZNT1AABB& AABB) const;
  void GetFrustumSphere(TZNT1Sphere& ASphere) const;

  TZNT1FrustumPlanes Frustum;
  TZNT1Sphere FrustumSphere;
  TZNT1AABB AABB;
  TZNT1Sphere Sphere;
};
