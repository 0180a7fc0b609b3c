#include "core/ZNT1Math.h"

#include <cmath>

const TZNT1Matrix4x4 Matrix4x4Identity = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};

void Matrix4x4Perspective(TZNT1Matrix4x4& Result, float fovy, float Aspect, float zNear, float zFar) {
  const double Radians = fovy * 0.5 * (M_PI / 180.0);
  const float Sine = static_cast<float>(std::sin(Radians));
  const float ZDelta = zFar - zNear;
  if (ZDelta == 0.0f || Sine == 0.0f || Aspect == 0.0f) return;
  const float Cotangent = static_cast<float>(std::cos(Radians)) / Sine;
  Result = Matrix4x4Identity;
  Result.M[0][0] = Cotangent / Aspect;
  Result.M[1][1] = Cotangent;
  Result.M[2][2] = -(zFar + zNear) / ZDelta;
  Result.M[2][3] = -1.0f;
  Result.M[3][2] = -2.0f * zNear * zFar / ZDelta;
  Result.M[3][3] = 0.0f;
}
