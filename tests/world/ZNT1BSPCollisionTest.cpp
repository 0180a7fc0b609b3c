// Collision traces on the collision fixture: the edge cases, brush models under transforms
// against the brute-force oracle, patch collision brushes and the map queries.
#include <cstring>
#include <random>

#include "support/CollisionOracle.h"
#include "world/WorldTestSupport.h"
#include "world/ZNT1BSPCollision.h"
#include "world/ZNT1StaticAABBTree.h"

using namespace worldtest;

namespace {

const TZNT1Vector3 PlayerMins = Vector3(-15, -15, -24), PlayerMaxs = Vector3(15, 15, 32);

bool Same(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool Same(const TZNT1Vector3& a, const TZNT1Vector3& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct CollisionMap : ::testing::Test {
  static void SetUpTestSuite() {
    Fixture = new bspwriter::TCollisionFixture(bspwriter::MakeCollisionFixture());
    Engine = new MapEngine();
  }
  static void TearDownTestSuite() {
    delete Engine;
    delete Fixture;
  }
  void SetUp() override {
    Map = LoadMapBytes(*Engine, Fixture->File.Build(), "collision");
    ASSERT_TRUE(Map);
  }
  TZNT1BSPCollisionTrace Ray(const TZNT1Vector3& a, const TZNT1Vector3& b, int32_t Mask = MASK_PLAYERSOLID) {
    TZNT1BSPCollisionTrace t;
    Map->Collision->TraceRay(a, b, 1, t, Mask);
    return t;
  }
  // Moves map model m by Transform for traces and queries alike.
  void Place(int32_t m, const TZNT1Matrix4x4& Transform, bool Collision = true, bool Touchable = false) {
    TBSPMapModel& Model = Map->BSPMapModels[size_t(m)];
    Model.Transform = Model.ViewTransform = Transform;
    Model.TransformedAABB = Model.ViewTransformedAABB = AABBTransform(Model.AABB, Transform);
    Model.Collision = Collision;
    Model.Visible = Collision;
    Model.Touchable = Touchable;
  }
  static bspwriter::TCollisionFixture* Fixture;
  static MapEngine* Engine;
  std::unique_ptr<TZNT1BSP> Map;
};
bspwriter::TCollisionFixture* CollisionMap::Fixture = nullptr;
MapEngine* CollisionMap::Engine = nullptr;

}  // namespace

TEST_F(CollisionMap, EdgeCases) {
  const uint32_t Solid = CONTENTS_SOLID;
  struct Case {
    const char* Name;
    TZNT1Vector3 Start, End;
    int32_t Mask;
    float Fraction;  // -1: not checked
    bool StartSolid, AllSolid, GoodPos;
    uint32_t Contents;
  } Cases[] = {
      {"empty space", Vector3(-100, 10, 50), Vector3(-60, 90, 120), MASK_PLAYERSOLID, 1.0f, false, false, true, 0},
      {"starts in the floor and leaves it", Vector3(0, 0, -8), Vector3(0, 0, 100), MASK_PLAYERSOLID, 1.0f, true, false,
       true, 0},
      {"wholly inside the floor", Vector3(0, 0, -12), Vector3(10, 0, -4), MASK_PLAYERSOLID, 1.0f, true, true, false,
       Solid},
      {"grazes the floor moving away", Vector3(0, 0, 0.5f), Vector3(0, 0, 10), MASK_PLAYERSOLID, 1.0f, false, false,
       true, 0},
      {"runs along the floor 1/32 above", Vector3(-100, 0, 0.03125f), Vector3(-10, 0, 0.03125f), MASK_PLAYERSOLID,
       1.0f, false, false, true, 0},
      {"water is air to a player", Vector3(-350, -300, 150), Vector3(-350, -300, 50), MASK_PLAYERSOLID, 1.0f, false,
       false, true, 0},
      {"water stops a water trace", Vector3(-350, -300, 150), Vector3(-350, -300, 50), MASK_WATER, -1, false, false,
       false, CONTENTS_WATER},
      {"fog is air to a water trace", Vector3(-150, -300, 200), Vector3(-150, -300, 20), MASK_WATER, 1.0f, false,
       false, true, 0},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    const TZNT1BSPCollisionTrace t = Ray(c.Start, c.End, c.Mask);
    EXPECT_TRUE(t.Valid);
    if (c.Fraction >= 0) {
      EXPECT_EQ(t.Fraction, c.Fraction);
    } else {
      EXPECT_LT(t.Fraction, 1.0f);
    }
    EXPECT_EQ(t.StartSolid, c.StartSolid);
    EXPECT_EQ(t.AllSolid, c.AllSolid);
    EXPECT_EQ(t.GoodPos, c.GoodPos);
    EXPECT_EQ(t.ContentFlags, c.Contents);
    EXPECT_EQ(t.Entity, -1);
    if (c.Fraction == 1.0f) {
      EXPECT_TRUE(Same(t.EndPos, c.End));
    }
    if (c.GoodPos) {
      EXPECT_FALSE(t.HasPlane);
      EXPECT_EQ(t.MapModelIndex, -1);
    } else {
      EXPECT_EQ(t.MapModelIndex, 0);
    }
  }
}

TEST_F(CollisionMap, SphereStopsItsRadiusAndASixteenthInFront) {
  TZNT1BSPCollisionTrace t;
  Map->Collision->TraceSphere(Vector3(-100, 0, 100), Vector3(-100, 0, -50), 16, 1, t, MASK_PLAYERSOLID);
  EXPECT_NEAR(t.EndPos.z, 16.0f + DIST_EPSILON, 1e-4f);
  EXPECT_TRUE(t.HasPlane);
  EXPECT_EQ(t.Plane.Normal.z, 1.0f);
  EXPECT_EQ(t.Plane.Distance, 0.0f);
  EXPECT_EQ(t.SurfaceFlags, SURF_METALSTEPS);
  EXPECT_EQ(t.MapModelIndex, 0);
}

TEST_F(CollisionMap, SwappedBoxBoundsTraceLikeOrderedOnes) {
  std::mt19937 Rng(5);
  std::uniform_real_distribution<float> Pos(-500, 500), Height(-20, 250);
  for (int i = 0; i < 200; ++i) {
    const TZNT1Vector3 a = Vector3(Pos(Rng), Pos(Rng), Height(Rng)), b = Vector3(Pos(Rng), Pos(Rng), Height(Rng));
    TZNT1BSPCollisionTrace Ordered, Swapped;
    Map->Collision->TraceBox(a, b, PlayerMins, PlayerMaxs, 1, Ordered, MASK_PLAYERSOLID);
    Map->Collision->TraceBox(a, b, Vector3(15, -15, 32), Vector3(-15, 15, -24), 1, Swapped, MASK_PLAYERSOLID);
    ASSERT_TRUE(Same(Ordered.Fraction, Swapped.Fraction) && Same(Ordered.EndPos, Swapped.EndPos));
    EXPECT_EQ(Ordered.StartSolid, Swapped.StartSolid);
    EXPECT_EQ(Ordered.AllSolid, Swapped.AllSolid);
  }
}

TEST_F(CollisionMap, TriesSlideAlongTheSlope) {
  // Walking +x into the 45 degree slope: one try stops at the slope, four slide up it.
  const TZNT1Vector3 Start = Vector3(60, 0, 40), End = Vector3(140, 0, 40);
  TZNT1BSPCollisionTrace One, Four;
  Map->Collision->TraceBox(Start, End, PlayerMins, PlayerMaxs, 1, One, MASK_PLAYERSOLID);
  ASSERT_LT(One.Fraction, 1.0f);
  ASSERT_TRUE(One.HasPlane);
  EXPECT_NEAR(One.Plane.Normal.x, -std::sqrt(0.5f), 1e-6f);
  Map->Collision->TraceBox(Start, End, PlayerMins, PlayerMaxs, 4, Four, MASK_PLAYERSOLID);
  EXPECT_TRUE(Four.GoodPos);
  // The slid end lies 1/32 in front of the slope, for the box's lowest front corner.
  const TZNT1Vector3 Corner = Vector3Add(Four.EndPos, Vector3(15, 0, -24));
  EXPECT_NEAR(Vector3Dot(One.Plane.Normal, Corner) - One.Plane.Distance, DIST_EPSILON, 1e-3f);

  // Into a corner nothing frees: the wall at x = 512 then the floor; the box stays at the start.
  TZNT1BSPCollisionTrace Stuck;
  Map->Collision->TraceBox(Vector3(400, 400, 30), Vector3(600, 400, -100), PlayerMins, PlayerMaxs, 1, Stuck,
                           MASK_PLAYERSOLID);
  ASSERT_LT(Stuck.Fraction, 1.0f);
  Map->Collision->TraceBox(Vector3(400, 400, 30), Vector3(600, 400, -100), PlayerMins, PlayerMaxs, 2, Stuck,
                           MASK_PLAYERSOLID);
  EXPECT_FALSE(Stuck.GoodPos);
  EXPECT_TRUE(Same(Stuck.EndPos, Vector3(400, 400, 30)));
}

TEST_F(CollisionMap, ModelsWithoutCollisionOnlyTouch) {
  Place(1, Matrix4x4Identity, false, true);
  std::vector<int32_t> Touched;
  TZNT1BSPCollisionTrace t;
  t.TouchMapModel = [&](int32_t m) { Touched.push_back(m); };
  Map->Collision->TraceRay(Vector3(0, 200, 64), Vector3(0, 400, 64), 1, t, MASK_PLAYERSOLID);
  EXPECT_EQ(t.Fraction, 1.0f);
  EXPECT_EQ(Touched, (std::vector<int32_t>{1}));
  // With collision on, the door blocks and reports its model.
  Place(1, Matrix4x4Identity, true, false);
  TZNT1BSPCollisionTrace b;
  Map->Collision->TraceRay(Vector3(0, 200, 64), Vector3(0, 400, 64), 1, b, MASK_PLAYERSOLID);
  EXPECT_NEAR(b.Fraction, (100.0f - DIST_EPSILON) / 200.0f, 1e-6f);
  EXPECT_EQ(b.MapModelIndex, 1);
  EXPECT_EQ(b.ContentFlags, CONTENTS_SOLID | CONTENTS_MOVER);
  // A model that is not touchable when its tracer is dead.
  Map->BSPMapModels[1].NotTouchableWhenNotAlive = true;
  TZNT1BSPCollisionTrace d;
  Map->Collision->TraceRay(Vector3(0, 200, 64), Vector3(0, 400, 64), 1, d, MASK_PLAYERSOLID);
  EXPECT_EQ(d.Fraction, 1.0f);
  d.Alive = true;
  Map->Collision->TraceRay(Vector3(0, 200, 64), Vector3(0, 400, 64), 1, d, MASK_PLAYERSOLID);
  EXPECT_LT(d.Fraction, 1.0f);
}

TEST_F(CollisionMap, MovedModelsAgreeWithTheOracle) {
  TCollisionOracle Oracle(*Map);
  const TZNT1Matrix4x4 Rotated =
      Matrix4x4TermMul(Matrix4x4RotateAngles(Angles(0, 0.7f, 0)), Matrix4x4Translate(-250, 150, 30));
  std::mt19937 Rng(77);
  std::uniform_real_distribution<float> Pos(-500, 500), Height(-10, 250), Step(-64, 64);
  int Hits = 0;
  for (int Setup = 0; Setup < 4; ++Setup) {
    Place(1, Matrix4x4Translate(0, -150.0f - 10.0f * Setup, 8), Setup != 1, true);
    Place(2, Setup < 2 ? Rotated : Matrix4x4TermMul(Matrix4x4RotateX(0.4f), Matrix4x4Translate(200, -300, 60)),
          Setup != 2, true);
    for (int i = 0; i < 1500; ++i) {
      const TZNT1Vector3 a = i % 2 ? Vector3(Pos(Rng), Pos(Rng), Height(Rng))
                                   : Vector3(Pos(Rng) * 0.3f - 100, Pos(Rng) * 0.4f - 100, Height(Rng) * 0.5f);
      const TZNT1Vector3 b = Vector3Add(a, Vector3(Step(Rng) * 3, Step(Rng) * 3, Step(Rng)));
      const int Kind = i % 3;
      const int32_t Tries = i % 4 == 0 ? 4 : 1;
      TZNT1BSPCollisionTrace t, o;
      std::vector<int32_t> TouchedT, TouchedO;
      t.TouchMapModel = [&](int32_t m) { TouchedT.push_back(m); };
      o.TouchMapModel = [&](int32_t m) { TouchedO.push_back(m); };
      if (Kind == 0) {
        Map->Collision->TraceBox(a, b, PlayerMins, PlayerMaxs, Tries, t, MASK_PLAYERSOLID);
        Oracle.TraceBox(a, b, PlayerMins, PlayerMaxs, Tries, o, MASK_PLAYERSOLID);
      } else if (Kind == 1) {
        Map->Collision->TraceSphere(a, b, 16, Tries, t, MASK_PLAYERSOLID);
        Oracle.TraceSphere(a, b, 16, Tries, o, MASK_PLAYERSOLID);
      } else {
        Map->Collision->TraceRay(a, b, Tries, t, MASK_PLAYERSOLID);
        Oracle.TraceRay(a, b, Tries, o, MASK_PLAYERSOLID);
      }
      SCOPED_TRACE(testing::Message() << "setup " << Setup << " trace " << i);
      ASSERT_TRUE(Same(t.Fraction, o.Fraction)) << t.Fraction << " vs " << o.Fraction;
      ASSERT_TRUE(Same(t.EndPos, o.EndPos));
      ASSERT_EQ(t.GoodPos, o.GoodPos);
      if (t.Fraction > 0) {
        ASSERT_EQ(t.StartSolid, o.StartSolid);
        ASSERT_EQ(t.AllSolid, o.AllSolid);
        ASSERT_EQ(TouchedT, TouchedO);
      }
      if (t.MapModelIndex > 0 && t.Fraction < 1) ++Hits;
    }
  }
  EXPECT_GT(Hits, 50);
}

TEST_F(CollisionMap, PointContentsOfMovedModels) {
  const TZNT1Vector3 InDoor = Vector3(0, 320, 64), Moved = Vector3(0, 120, 72);
  EXPECT_EQ(Map->PointContentFlags(InDoor), 0);  // neither visible nor colliding yet
  Place(1, Matrix4x4Translate(0, -200, 8));
  EXPECT_EQ(Map->PointContentFlags(Moved), int32_t(CONTENTS_SOLID | CONTENTS_MOVER));
  EXPECT_EQ(Map->PointContentFlags(InDoor), 0);
  // Rotated a quarter turn about z around the origin: the door now spans x -340..-300.
  Place(1, Matrix4x4RotateAngles(Angles(0, 3.14159265f / 2, 0)));
  const TZNT1Vector3 Turned = Vector3TermMatrixMul(Vector3(0, 320, 64), Map->BSPMapModels[1].ViewTransform);
  EXPECT_EQ(Map->PointContentFlags(Turned), int32_t(CONTENTS_SOLID | CONTENTS_MOVER));
  EXPECT_EQ(Map->PointContentFlags(InDoor), 0);
}
