#include <gtest/gtest.h>

#include <cmath>

#include "core/ZNT1Math.h"
#include "renderer/ZNT1Renderer.h"
#include "world/ZNT1BSP.h"

// The camera-portal transform: what lies before the target camera shows behind the portal, the
// same way up as the target camera sees it when the camera's roll key is 180 (the usual value).
namespace {

// Unit axes of a view looking along Forward, up towards world z as far as it can.
struct Frame {
  TZNT1Vector3 Forward, Up, Right;
};
Frame FrameOf(const TZNT1Vector3& Forward) {
  Frame f;
  f.Forward = Vector3Norm(Forward);
  f.Up = Vector3Norm(Vector3Sub(Vector3(0, 0, 1), Vector3ScalarMul(f.Forward, f.Forward.z)));
  f.Right = Vector3Cross(f.Forward, f.Up);
  return f;
}

TZNT1Vector3 Along(const TZNT1Vector3& p, const Frame& f, float a, float b, float c) {
  return Vector3Add(p, Vector3Add(Vector3ScalarMul(f.Forward, a),
                                  Vector3Add(Vector3ScalarMul(f.Up, b), Vector3ScalarMul(f.Right, c))));
}

void ExpectNear(const TZNT1Vector3& a, const TZNT1Vector3& b) {
  EXPECT_NEAR(a.x, b.x, 1e-2f);
  EXPECT_NEAR(a.y, b.y, 1e-2f);
  EXPECT_NEAR(a.z, b.z, 1e-2f);
}

}  // namespace

TEST(RendererPortal, CameraPortalCarriesTheTargetViewBehindThePortal) {
  struct Case {
    const char* Name;
    TZNT1Vector3 Normal;     // portal plane normal, pointing away from the viewer
    TZNT1Vector3 Origin;     // portal origin, maybe off the plane through (0, 0, 64)
    TZNT1Vector3 Target;     // target camera origin
    TZNT1Vector3 Look;       // where it looks: a target point, or (0, angle, 0) when Angles
    bool Angles;             // the camera gives angles instead of a target point
    float Roll;              // the camera's roll key
    bool Upright, UpsideDown;  // the picture's way up is checked (a level look and a wall portal)
  };
  const float s = std::sqrt(0.5f);
  const Case Cases[] = {
      {"target point, roll 180", Vector3(1, 0, 0), Vector3(0, 0, 64), Vector3(1000, 0, 64), Vector3(1000, 100, 64),
       false, 180, true, false},
      {"target point, roll 0 turns the picture over", Vector3(1, 0, 0), Vector3(0, 0, 64), Vector3(1000, 0, 64),
       Vector3(1000, 100, 64), false, 0, false, true},
      {"angle 90, roll 180", Vector3(1, 0, 0), Vector3(0, 0, 64), Vector3(1000, 0, 64), Vector3(0, 90, 0), true, 180,
       true, false},
      {"angle 225 on a slanted wall", Vector3(s, s, 0), Vector3(0, 0, 64), Vector3(-300, 500, 96), Vector3(0, 225, 0),
       true, 180, true, false},
      {"origin off the plane", Vector3(0, -1, 0), Vector3(0, 5, 64), Vector3(40, 40, 40), Vector3(80, 40, 70), false,
       180, false, false},
      {"floor portal", Vector3(0, 0, 1), Vector3(0, 0, 64), Vector3(500, 0, 200), Vector3(600, 50, 200), false, 180,
       false, false},
      {"target looking straight down", Vector3(0, 1, 0), Vector3(0, 0, 64), Vector3(500, 0, 200),
       Vector3(500, 0, 100), false, 180, false, false},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    TZNT1Portal p{};
    p.TargetOrigin = c.Target;
    p.TargetPosition = c.Angles ? c.Target : c.Look;
    p.TargetAngles = c.Angles ? c.Look : Vector3(0, 0, 0);
    p.TargetRoll = c.Roll;
    TZNT1Plane Plane{};
    Plane.Normal = c.Normal;
    Plane.Distance = -Vector3Dot(c.Normal, Vector3(0, 0, 64));
    TZNT1Vector3 TargetPoint;
    const TZNT1Matrix4x4 M = CameraPortalMatrix(p, Plane, c.Origin, 0.0, TargetPoint);
    for (const auto& Row : M.M)
      for (float v : Row) ASSERT_TRUE(std::isfinite(v));
    const float Yaw = c.Look.y * float(DEG2RAD);
    const TZNT1Vector3 Forward =
        c.Angles ? Vector3(std::cos(Yaw), std::sin(Yaw), 0) : Vector3Norm(Vector3Sub(c.Look, c.Target));
    ExpectNear(Vector3Norm(Vector3Sub(TargetPoint, c.Target)), Forward);
    const Frame Target = FrameOf(Forward), Source = FrameOf(c.Normal);
    // The portal point: the origin moved onto the plane.
    const TZNT1Vector3 OnPlane =
        Vector3Sub(c.Origin, Vector3ScalarMul(c.Normal, Vector3Dot(c.Normal, c.Origin) + Plane.Distance));
    struct Point {
      float Ahead, Up, Right;
    };
    for (const Point& q : {Point{0, 0, 0}, Point{10, 0, 0}, Point{250, 0, 0}, Point{40, 8, 0}, Point{40, 0, -12},
                           Point{5, -3, 7}}) {
      SCOPED_TRACE(testing::Message() << q.Ahead << " ahead, " << q.Up << " up, " << q.Right << " right");
      const TZNT1Vector3 Got = Vector3TermMatrixMul(Along(c.Target, Target, q.Ahead, q.Up, q.Right), M);
      // Depth before the camera becomes depth behind the portal, whatever the way up.
      EXPECT_NEAR(Vector3Dot(Vector3Sub(Got, OnPlane), c.Normal), q.Ahead, 1e-2f);
      EXPECT_NEAR(Vector3Dist(Got, OnPlane), Vector3Dist(Along(c.Target, Target, q.Ahead, q.Up, q.Right), c.Target),
                  1e-2f);
      if (c.Upright) ExpectNear(Got, Along(OnPlane, Source, q.Ahead, q.Up, q.Right));
      if (c.UpsideDown) ExpectNear(Got, Along(OnPlane, Source, q.Ahead, -q.Up, -q.Right));
    }
  }
}
