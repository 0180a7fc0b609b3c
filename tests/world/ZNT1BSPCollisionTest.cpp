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

TEST_F(CollisionMap, ClusterVisibility) {
  ASSERT_TRUE(Map->BSPVisData.Valid);
  // The test's own reading of the rows: bit t of row c.
  const uint8_t Rows[3] = {0x03, 0x02, 0x04};
  for (int32_t c = 0; c < 3; ++c)
    for (int32_t t = 0; t < 3; ++t)
      for (bool d : {false, true}) EXPECT_EQ(Map->IsClusterVisible(c, t, d), ((Rows[c] >> t) & 1) != 0);
  // Clusters outside the rows answer the default rather than read past them.
  struct Case {
    int32_t Current, Test;
  } Outside[] = {{3, 0}, {0, 3}, {-1, 0}, {0, -1}, {7, 7}, {1 << 20, 0}, {0, 1 << 20}};
  for (const Case& c : Outside)
    for (bool d : {false, true}) EXPECT_EQ(Map->IsClusterVisible(c.Current, c.Test, d), d) << c.Current << " " << c.Test;
  EXPECT_TRUE(Map->IsLeafFromLeafVisible(0, 1, false));  // leaf 0 (cluster 0) sees cluster 1
  EXPECT_FALSE(Map->IsLeafFromLeafVisible(1, 0, true));  // cluster 1 does not see 0
  EXPECT_TRUE(Map->IsLeafFromLeafVisible(0, 0, false));
  EXPECT_FALSE(Map->IsLeafFromLeafVisible(-1, 0, false));
  EXPECT_TRUE(Map->IsLeafFromLeafVisible(0, -1, true));
  EXPECT_TRUE(Map->IsLeafFromLeafVisible(0, 3, true));  // no such leaf: the default
  EXPECT_TRUE(Map->IsPointFromPointVisible(Vector3(100, 0, 50), Vector3(-100, 0, 50), false));
  EXPECT_FALSE(Map->IsPointFromPointVisible(Vector3(-100, 0, 50), Vector3(100, 0, 50), true));

  Map->BSPMapLeafs[2].Cluster = -1;  // a leaf outside the map sees nothing and is seen by nothing
  EXPECT_FALSE(Map->IsLeafFromLeafVisible(2, 0, true));
  EXPECT_FALSE(Map->IsLeafFromLeafVisible(1, 2, true));
  Map->BSPVisData.Valid = false;  // no vis data: the default, and leaves with clusters see each other
  EXPECT_FALSE(Map->IsClusterVisible(0, 1, false));
  EXPECT_TRUE(Map->IsLeafFromLeafVisible(1, 0, false));
}

TEST_F(CollisionMap, PointContents) {
  EXPECT_EQ(Map->FindLeaf(Vector3(0, 0, 50)), 1);  // on the node plane: the back
  EXPECT_EQ(Map->FindLeaf(Vector3(0.01f, 0, 50)), 0);
  struct Case {
    TZNT1Vector3 p;
    uint32_t Contents;
  } Cases[] = {
      {Vector3(-50, 0, 50), 0},
      {Vector3(-50, 0, -8), CONTENTS_SOLID},
      {Vector3(-50, 0, 0), CONTENTS_SOLID},  // on the floor's top side
      {Vector3(-350, -300, 50), CONTENTS_WATER},
      {Vector3(-250, -300, 50), CONTENTS_WATER | CONTENTS_FOG},
      {Vector3(-200, -300, 100), CONTENTS_WATER | CONTENTS_FOG},  // on two of the water's sides
      {Vector3(-150, -300, 120), CONTENTS_FOG},
      {Vector3(200, 0, 50), CONTENTS_SOLID},   // under the slope
      {Vector3(150, 0, 100), 0},                // above it
      {Vector3(150, 0, 50), CONTENTS_SOLID},    // on it
  };
  for (const Case& c : Cases) EXPECT_EQ(Map->PointContentFlags(c.p), int32_t(c.Contents)) << c.p.x << " " << c.p.z;
}

TEST_F(CollisionMap, QueriesWithoutCallers) {
  float Height = 0;
  struct Case {
    const char* Name;
    bool Result, Expected;
  } Cases[] = {
      {"inside: empty room", Map->IsPointInside(Vector3(100, 0, 100)), true},
      {"inside: in the floor", Map->IsPointInside(Vector3(-100, 0, -8)), false},
      // The nearest plane of a leaf brush lies 20 away: the water's top (planes count unbounded).
      {"collision test: far from every side", Map->CollisionTest(Vector3(400, 0, 120), 10), false},
      {"collision test: a side within reach", Map->CollisionTest(Vector3(400, 0, 120), 25), true},
      {"point collision: out of the floor", Map->HasPointCollision(Vector3(50, 0, -5), Vector3(50, 0, 5)), true},
      {"point collision: standing still", Map->HasPointCollision(Vector3(50, 0, 100), Vector3(50, 0, 100)), false},
      {"test collision: across the floor", Map->TestCollision(Vector3(0, 0, 10), Vector3(0, 0, -10), 0), true},
      {"test collision: near the node plane", Map->TestCollision(Vector3(0.5f, 7, 50), Vector3(0.5f, 7, 50), 1), true},
      {"test collision: one point, no reach", Map->TestCollision(Vector3(1.25f, 5.5f, 91), Vector3(1.25f, 5.5f, 91), 0),
       false},
      // Down -y from y = 0: the water quad at -100 is skipped, the solid one at -300 is the height.
      {"height: below the point", Map->HeightAtPoint(Vector3(0, 0, 50), Height) && Height == -300.0f, true},
      {"height: nothing below", Map->HeightAtPoint(Vector3(0, -400, 50), Height), false},
  };
  for (const Case& c : Cases) EXPECT_EQ(c.Result, c.Expected) << c.Name;

  // Only the full set AUX | LAVA | WATER (44) takes a brush out of the collision test.
  TBSPMapTexture& Water = Map->BSPMapTextures[size_t(Fixture->tWater)];
  const TZNT1Vector3 NearWater = Vector3(-395, -300, 50);  // 5 units from the water's -x side, far from others
  EXPECT_TRUE(Map->CollisionTest(NearWater, 8));
  Water.ContentFlags = CONTENTS_AUX | CONTENTS_SLIME | CONTENTS_WATER;
  EXPECT_TRUE(Map->CollisionTest(NearWater, 8));
  Water.ContentFlags = CONTENTS_SET_NO_COLLISION_ONE;
  EXPECT_FALSE(Map->CollisionTest(NearWater, 8));
}

namespace {

const TBSPPatch* PatchOf(const TZNT1BSP& Map, int32_t Face) {
  for (const TBSPPatch& p : Map.BSPPatches)
    if (p.Face == Face) return &p;
  return nullptr;
}

}  // namespace

TEST_F(CollisionMap, PatchBrushes) {
  ASSERT_EQ(Map->CountBSPPatches, 2);
  EXPECT_EQ(Map->CountBSPLeafPatches, 4);  // each patch once per leaf, in both leaves
  EXPECT_EQ(Map->BSPMapLeafs[2].CountLeafPatches, 0);
  const TBSPPatch* Flat = PatchOf(*Map, Fixture->FlatPatch);
  const TBSPPatch* Dome = PatchOf(*Map, Fixture->CurvedPatch);
  ASSERT_TRUE(Flat && Dome);
  EXPECT_EQ(Flat->numbrushes, 2);  // a 2 x 2 grid: one cell
  EXPECT_EQ(Flat->StaticAABBTree, nullptr);
  EXPECT_GT(Dome->numbrushes, 16);
  EXPECT_NE(Dome->StaticAABBTree, nullptr);
  EXPECT_EQ(Map->CountBSPBrushes, int32_t(Fixture->File.Brushes.size()) + Flat->numbrushes + Dome->numbrushes);

  auto Side = [&](const TBSPMapBrush& b, int32_t s) -> const TBSPPlane& {
    return Map->BSPPlanes[size_t(Map->BSPBrushSides[size_t(b.brushside + s)].plane)];
  };
  for (int32_t i = 0; i < Flat->numbrushes; ++i) {
    // In the plane z = 40: the face plane both ways coincides with the axial z sides, kept once.
    const TBSPMapBrush& b = Map->BSPMapBrushes[size_t(Flat->brush + i)];
    EXPECT_TRUE(b.IsPatch);
    int Up = 0, Down = 0;
    for (int32_t s = 0; s < b.numOfBrushsides; ++s) {
      const TBSPPlane& p = Side(b, s);
      Up += p.Normal.z == 1.0f && p.Distance == 40.0f;
      Down += p.Normal.z == -1.0f && p.Distance == -40.0f;
      for (int32_t k = s + 1; k < b.numOfBrushsides; ++k)
        EXPECT_FALSE(Vector3Compare(p.Normal, Side(b, k).Normal) && p.Distance == Side(b, k).Distance);
    }
    EXPECT_EQ(Up, 1);
    EXPECT_EQ(Down, 1);
    // The exact +x, +y, +z sides come first; every side faces up with the face but the -z one.
    for (int32_t s = 1; s < b.numOfBrushsides; ++s) {
      const TBSPPlane& p = Side(b, s);
      EXPECT_FALSE(PlaneType(Plane(p.Normal, p.Distance)) < 3 &&
                   PlaneType(Plane(Side(b, s - 1).Normal, Side(b, s - 1).Distance)) == 5);
      EXPECT_EQ(Map->BSPBrushSides[size_t(b.brushside + s)].texture, p.Normal.z == -1.0f ? 0 : Fixture->tCurve);
    }
  }
  for (int32_t i = 0; i < Dome->numbrushes; ++i) {
    // On the dome the side facing most upwards carries the face's texture, the most downwards 0.
    const TBSPMapBrush& b = Map->BSPMapBrushes[size_t(Dome->brush + i)];
    EXPECT_TRUE(AABBContains(Dome->AABB, b.AABB));
    int32_t Top = 0, Bottom = 0;
    for (int32_t s = 1; s < b.numOfBrushsides; ++s) {
      if (Side(b, s).Normal.z > Side(b, Top).Normal.z) Top = s;
      if (Side(b, s).Normal.z < Side(b, Bottom).Normal.z) Bottom = s;
    }
    EXPECT_EQ(Map->BSPBrushSides[size_t(b.brushside + Top)].texture, Fixture->tCurve);
    EXPECT_EQ(Map->BSPBrushSides[size_t(b.brushside + Bottom)].texture, 0);
  }
}

TEST_F(CollisionMap, BoxDroppedOnTheDomeStopsInFrontOfAPatchSide) {
  TBSPPatch& Dome = *const_cast<TBSPPatch*>(PatchOf(*Map, Fixture->CurvedPatch));
  TZNT1BSPCollisionTrace WithTree, WithoutTree;
  for (int Pass = 0; Pass < 2; ++Pass) {
    TZNT1BSPCollisionTrace& t = Pass == 0 ? WithTree : WithoutTree;
    if (Pass == 1) {
      delete Dome.StaticAABBTree;
      Dome.StaticAABBTree = nullptr;
    }
    Map->Collision->TraceBox(Vector3(310, 290, 220), Vector3(310, 290, 40), PlayerMins, PlayerMaxs, 1, t,
                             MASK_PLAYERSOLID);
    ASSERT_LT(t.Fraction, 1.0f);
    ASSERT_TRUE(t.HasPlane);
    EXPECT_GT(t.EndPos.z, 100.0f);
    bool OnePatchSide = false;
    for (int32_t b = Dome.brush; b < Dome.brush + Dome.numbrushes; ++b) {
      const TBSPMapBrush& Brush = Map->BSPMapBrushes[size_t(b)];
      for (int32_t s = 0; s < Brush.numOfBrushsides; ++s) {
        const TBSPPlane& p = Map->BSPPlanes[size_t(Map->BSPBrushSides[size_t(Brush.brushside + s)].plane)];
        OnePatchSide = OnePatchSide || (std::memcmp(&p.Normal, &t.Plane.Normal, 12) == 0 && p.Distance == t.Plane.Distance);
      }
    }
    EXPECT_TRUE(OnePatchSide);
    TZNT1Vector3 Corner;
    for (int a = 0; a < 3; ++a)
      Corner.xyz[a] = t.EndPos.xyz[a] + (t.Plane.Normal.xyz[a] < 0 ? PlayerMaxs.xyz[a] : PlayerMins.xyz[a]);
    EXPECT_NEAR(Vector3Dot(t.Plane.Normal, Corner) - t.Plane.Distance, DIST_EPSILON, 1e-3f);
  }
  EXPECT_TRUE(Same(WithTree.Fraction, WithoutTree.Fraction) && Same(WithTree.EndPos, WithoutTree.EndPos));
  Dome.numbrushes = 0;  // a patch without collision brushes lets everything through
  TZNT1BSPCollisionTrace Through;
  Map->Collision->TraceBox(Vector3(310, 290, 220), Vector3(310, 290, 40), PlayerMins, PlayerMaxs, 1, Through,
                           MASK_PLAYERSOLID);
  EXPECT_EQ(Through.Fraction, 1.0f);
}

TEST(CollisionPatches, FacesThatDoNotCollideGetNoPatch) {
  bspwriter::TCollisionFixture x = bspwriter::MakeCollisionFixture();
  {
    bspwriter::TBSPFile f = x.File;
    f.Textures[size_t(x.tCurve)].ContentFlags = 0;
    MapEngine Engine;
    auto Map = LoadMapBytes(Engine, f.Build(), "collision");
    ASSERT_TRUE(Map);
    EXPECT_EQ(Map->CountBSPPatches, 0);
    EXPECT_EQ(Map->CountBSPLeafPatches, 0);
    EXPECT_EQ(Map->CountBSPBrushes, int32_t(f.Brushes.size()));
  }
  const std::string Script = "textures/collision/curve\n{\n\tsurfaceparm nonsolid\n}\n";
  MapEngine NonSolid({{"scripts/collision.shader", std::vector<uint8_t>(Script.begin(), Script.end())}});
  auto Map = LoadMapBytes(NonSolid, x.File.Build(), "collision");
  ASSERT_TRUE(Map);
  EXPECT_EQ(Map->CountBSPPatches, 0);
  for (const TBSPMapLeaf& l : Map->BSPMapLeafs) EXPECT_EQ(l.CountLeafPatches, 0);
}

TEST(CollisionTree, AChainOfNodesDeeperThanTheCapIsCutOff) {
  // Every node splits at x = 0 and sends its back side to the next: a descent 100,000 deep.
  bspwriter::TCollisionFixture x = bspwriter::MakeCollisionFixture();
  const TBSPNode First = x.File.Nodes[0];
  x.File.Nodes.clear();
  constexpr int32_t Count = 100000;
  for (int32_t i = 0; i < Count; ++i) {
    TBSPNode n = First;
    n.back = i + 1 < Count ? i + 1 : -2;
    x.File.Nodes.push_back(n);
  }
  MapEngine Engine;
  auto Map = LoadMapBytes(Engine, x.File.Build(), "chain");
  ASSERT_TRUE(Map);
  TZNT1BSPCollisionTrace t;
  Map->Collision->TraceBox(Vector3(-100, 0, 50), Vector3(-100, 0, -50), Vector3(-8, -8, -8), Vector3(8, 8, 8), 1, t,
                           MASK_PLAYERSOLID);
  EXPECT_TRUE(t.Valid);
  EXPECT_EQ(t.Fraction, 1.0f);  // the floor's leaf lies past the cap
  // From the front side the first node leads straight to a leaf.
  Map->Collision->TraceBox(Vector3(100, 0, 50), Vector3(100, 0, -50), Vector3(-8, -8, -8), Vector3(8, 8, 8), 1, t,
                           MASK_PLAYERSOLID);
  EXPECT_LT(t.Fraction, 1.0f);
}

TEST(CollisionTree, BrushesReachingPastTheirLeafBoundsStillCollide) {
  // Leaf 0's file bounds stop at z = 200 (its faces widen them to 260); the ceiling brush it
  // lists spans 256..272, as hull brushes reach past the leaf bounds of real maps.
  bspwriter::TCollisionFixture x = bspwriter::MakeCollisionFixture();
  x.File.Leafs[0].max.z = 200;
  MapEngine Engine;
  auto Map = LoadMapBytes(Engine, x.File.Build(), "bounds");
  ASSERT_TRUE(Map);
  ASSERT_LT(Map->BSPMapLeafs[0].AABB.Max.z, 264.0f);
  TZNT1BSPCollisionTrace t;
  Map->Collision->TraceRay(Vector3(100, 0, 265), Vector3(100, 0, 270), 1, t, MASK_PLAYERSOLID);
  EXPECT_TRUE(t.AllSolid);
  EXPECT_EQ(t.ContentFlags, CONTENTS_SOLID);
}
