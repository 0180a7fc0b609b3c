#pragma once
// Builders and checks of the math records that the tests of several units share.
#include <gtest/gtest.h>

#include "core/ZNT1Math.h"

namespace mathtest {

constexpr float kPi = 3.14159265358979323846f;

inline TZNT1AABB Box(float x0, float y0, float z0, float x1, float y1, float z1) {
  TZNT1AABB b;
  b.Min = Vector3(x0, y0, z0);
  b.Max = Vector3(x1, y1, z1);
  return b;
}

inline TZNT1Sphere Ball(float x, float y, float z, float r) {
  TZNT1Sphere s;
  s.Center = Vector3(x, y, z);
  s.Radius = r;
  return s;
}

inline void ExpectVec(const TZNT1Vector3& v, float x, float y, float z, float Tol = 1e-5f) {
  EXPECT_NEAR(v.x, x, Tol);
  EXPECT_NEAR(v.y, y, Tol);
  EXPECT_NEAR(v.z, z, Tol);
}

}  // namespace mathtest
