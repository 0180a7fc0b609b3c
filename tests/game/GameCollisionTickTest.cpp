// Pairs in the tick: one Touch per pair per tick whichever way it was found, lower index first,
// more than 1024 pairs, and a rotating brush pushing a player along its arc.
#include <gtest/gtest.h>

#include <cmath>

#include "EntityRoomSupport.h"
#include "world/ZNT1BSPCollision.h"

using namespace roomtest;

namespace {

// Counts the touches it receives and logs them in one shared order.
struct Toucher : TGameEntity {
  Toucher(TGameEntities* e, std::vector<std::pair<Toucher*, TGameEntity*>>* ALog) : TGameEntity(e), Log(ALog) {}
  void Touch(TGameEntity* By) override {
    ++Touches;
    if (Log) Log->emplace_back(this, By);
  }
  int Touches = 0;
  std::vector<std::pair<Toucher*, TGameEntity*>>* Log;
};

Toucher* AddToucher(Room& r, const TZNT1AABB& Box, std::vector<std::pair<Toucher*, TGameEntity*>>* Log = nullptr) {
  auto* t = new Toucher(&r.E(), Log);
  r.E().Add(t);
  t->UpdateCollisionAABB(&Box);
  t->UpdateCollisionAABBProxy();
  return t;
}

const std::string World = "{\n\"classname\" \"worldspawn\"\n}\n";

TEST(CollisionTick, PlayerTouchingABrushBothWaysIsTouchedOncePerTick) {
  Room r({{Box(-64, -64, 0, 64, 64, 64), CONTENTS_TRIGGER}}, World);
  r.Place(Vector3(0, 0, 30));
  Toucher* T = AddToucher(r, Box(-64, -64, 0, 64, 64, 64));
  T->MapModelIndex = 1;
  r.E().MapModelsToEntities[1] = {T};
  for (int t = 0; t < 10; ++t) {
    r.Player().TouchedMapModelsList = {1};
    r.Player().TouchedMapModelsListSize = 1;
    r.Player().GroundMapModel = 1;
    r.Run(1);
  }
  EXPECT_EQ(T->Touches, 10);
}

TEST(CollisionTick, LowerIndexTouchesFirst) {
  Room r({}, World);
  r.Park();
  std::vector<std::pair<Toucher*, TGameEntity*>> Log;
  Toucher* A = AddToucher(r, Box(0, 0, 0, 10, 10, 10), &Log);
  Toucher* B = AddToucher(r, Box(5, 5, 5, 15, 15, 15), &Log);
  ASSERT_LT(A->Index, B->Index);
  r.Run(1);
  ASSERT_EQ(Log.size(), 2u);
  EXPECT_EQ(Log[0].first, A);
  EXPECT_EQ(Log[0].second, B);
  EXPECT_EQ(Log[1].first, B);
  EXPECT_EQ(A->CountCollisions, 1);
  EXPECT_EQ(A->Collisions[0], B);
}

TEST(CollisionTick, MoreThan1024PairsInOneTick) {
  Room r({}, World);
  r.Park();
  std::vector<Toucher*> All;
  for (int i = 0; i < 50; ++i) All.push_back(AddToucher(r, Box(float(i), 0, 0, 100.0f + i, 100, 100)));
  r.Run(1);  // 50 x 49 / 2 = 1225 pairs
  for (Toucher* t : All) EXPECT_EQ(t->Touches, 49);
  EXPECT_EQ(r.E().CollisionPairHashMap->Pairs.size(), 2048u);
  r.Run(1);
  for (Toucher* t : All) EXPECT_EQ(t->Touches, 98);
}

TEST(CollisionTick, RotatingBrushPushesAStandingPlayerAlongItsArcAndTurnsItsView) {
  // A bar along x through the origin turning about z at 90 degrees a second.
  Room r({{Box(-300, -8, 0, 300, 8, 64)}},
         World + "{\n\"classname\" \"func_rotating\"\n\"model\" \"*1\"\n\"speed\" \"90\"\n}\n");
  r.Place(Vector3(200, 40, 25));
  const float Radius0 = std::hypot(200.0f, 40.0f);
  r.Run(40);  // the bar turns 60 degrees
  const TZNT1Vector3 p = r.Player().InternalPosition;
  const float Angle = std::atan2(p.y, p.x) * 180.0f / 3.14159265f;
  EXPECT_GT(Angle, 45.0f) << "carried round ahead of the bar";
  EXPECT_NEAR(std::hypot(p.x, p.y), Radius0, 40.0f);
  EXPECT_GT(r.Player().Angle.Yaw, 0.5f) << "the view turns with the push";
  TZNT1BSPCollisionTrace Trace;
  Trace.Alive = true;
  r.Engine.BSP->Collision->TraceBox(p, p, r.Player().Mins, r.Player().Maxs, 1, Trace, 0x2010001);
  EXPECT_FALSE(Trace.StartSolid);
}

}  // namespace
