// Pairs in the tick: one Touch per pair per tick whichever way it was found, lower index first,
// the order of the tree walk, more than 1024 pairs, and a rotating brush pushing a player along its arc.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>

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

// The touches a tick should dispatch, found by the plain walk: from the root, every inner node
// whose box meets the query box pushes both children (so the second child comes out first), and
// each leaf's entity is swept against the querying one. Pairs keep their first finding.
std::vector<std::pair<TGameEntity*, TGameEntity*>> WalkedTouches(TGameEntities& List) {
  const TZNT1DynamicAABBTree& Tree = *List.CollisionDynamicAABBTree;
  auto Sweep = [](const TGameEntity* e, TZNT1AABB& b, TZNT1Vector3& v) {
    b = e->HasCollisionDisplacement ? e->CollisionDisplacementAABB : e->CollisionAABB;
    v = e->HasCollisionDisplacement ? e->CollisionDisplacement : Vector3Origin;
  };
  std::vector<std::pair<TGameEntity*, TGameEntity*>> Pairs;
  std::set<std::pair<TGameEntity*, TGameEntity*>> Seen;
  for (TGameEntity* E : List.Items) {
    if (!E || !E->HasCollisionAABB || Tree.Root < 0) continue;
    const TZNT1AABB Query =
        E->HasCollisionDisplacement ? AABBCombine(E->CollisionAABB, E->OldCollisionAABB) : E->CollisionAABB;
    TZNT1AABB SweepE, SweepX;
    TZNT1Vector3 MotionE, MotionX;
    Sweep(E, SweepE, MotionE);
    std::vector<int32_t> Stack = {Tree.Root};
    while (!Stack.empty()) {
      const TZNT1DynamicAABBTreeNode& Node = Tree.Nodes[size_t(Stack.back())];
      Stack.pop_back();
      if (!AABBIntersectEx(Node.AABB, Query, 1e-12f)) continue;
      if (Node.Children[0] >= 0) {
        Stack.push_back(Node.Children[0]);
        Stack.push_back(Node.Children[1]);
        continue;
      }
      auto* X = static_cast<TGameEntity*>(Node.UserData);
      Sweep(X, SweepX, MotionX);
      float t0, t1;
      if (X == E || !AABBSweepTest(SweepE, SweepX, MotionE, MotionX, t0, t1)) continue;
      TGameEntity* Lo = E->Index < X->Index ? E : X;
      TGameEntity* Hi = Lo == E ? X : E;
      if (Seen.insert({Lo, Hi}).second) Pairs.emplace_back(Lo, Hi);
    }
  }
  std::vector<std::pair<TGameEntity*, TGameEntity*>> Touches;
  for (auto [A, B] : Pairs) {
    Touches.emplace_back(A, B);
    Touches.emplace_back(B, A);
  }
  return Touches;
}

TEST(CollisionTick, PairsComeInTheOrderOfThePlainTreeWalk) {
  Room r({}, World);
  r.Park();
  std::vector<std::pair<Toucher*, TGameEntity*>> Log;
  std::vector<Toucher*> All;
  std::mt19937 Rng(77);
  // Boxes on a coarse grid so faces often just touch; some flat, some near the origin.
  auto Coord = [&](int Range) { return float(int(Rng() % unsigned(Range)) - Range / 4) * 4.0f; };
  auto Size = [&]() { return float(Rng() % 9) * 4.0f; };
  auto BoxAt = [](TZNT1Vector3 p, TZNT1Vector3 s) { return Box(p.x, p.y, p.z, p.x + s.x, p.y + s.y, p.z + s.z); };
  std::vector<TZNT1Vector3> At, Extent, Speed;
  // Drawn one by one: the order of a call's arguments differs between compilers.
  auto Draw = [](auto&& f, auto&& g, auto&& h) {
    const float x = f(), y = g(), z = h();
    return Vector3(x, y, z);
  };
  auto C = [&](int Range) { return [&, Range] { return Coord(Range); }; };
  for (int i = 0; i < 400; ++i) {
    At.push_back(Draw(C(100), C(100), C(60)));
    Extent.push_back(Draw(Size, Size, Size));
    Speed.push_back(i % 3 ? Vector3Origin : Draw(C(20), C(20), C(8)));
    All.push_back(AddToucher(r, BoxAt(At.back(), Extent.back()), &Log));
  }
  size_t Total = 0;
  for (int Tick = 0; Tick < 8; ++Tick) {
    for (size_t i = 0; i < All.size(); ++i) {
      if (Speed[i].x == 0 && Speed[i].y == 0 && Speed[i].z == 0) continue;
      // Back and forth, now and then standing still for a tick.
      if ((Tick + int(i)) % 5 == 4) continue;
      At[i] = Vector3Add(At[i], Vector3ScalarMul(Speed[i], Tick % 4 < 2 ? 1.0f : -1.0f));
      const TZNT1AABB b = BoxAt(At[i], Extent[i]);
      All[i]->UpdateCollisionAABB(&b);
      All[i]->UpdateCollisionAABBProxy();
    }
    std::vector<std::pair<TGameEntity*, TGameEntity*>> Want;
    for (auto [A, B] : WalkedTouches(r.E()))
      if (dynamic_cast<Toucher*>(A)) Want.emplace_back(A, B);
    Log.clear();
    r.E().CollisionDetection();
    ASSERT_EQ(Log.size(), Want.size()) << "tick " << Tick;
    for (size_t k = 0; k < Want.size(); ++k)
      ASSERT_TRUE(Log[k].first == Want[k].first && Log[k].second == Want[k].second) << "tick " << Tick << ", touch " << k;
    Total += Want.size();
  }
  EXPECT_GT(Total, 1000u);  // a crowded field, not a trivially empty one
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
