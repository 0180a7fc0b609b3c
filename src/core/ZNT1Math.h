#pragma once
// Single-precision 3D math: row vectors, v' = v * M, translation in row 3.
#include <cstdint>

struct TZNT1Matrix4x4 {
  float M[4][4];
};

extern const TZNT1Matrix4x4 Matrix4x4Identity;

// fovy in degrees. Degenerate input (zNear == zFar, fovy 0, Aspect 0) leaves Result untouched.
void Matrix4x4Perspective(TZNT1Matrix4x4& Result, float fovy, float Aspect, float zNear, float zFar);
