// The entity classes on the content's maps: every door, platform and button of oa_dm2 goes out and
// comes back, and the jump pads and teleporters of pul1duel-oa and sleekgrinder launch and place
// the player as their targets say.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "GameTestSupport.h"
#include "game/GameClient.h"
#include "game/GameEntity.h"
#include "core/ZNT1Command.h"
#include "sound/ZNT1Sound.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1DynamicAABBTree.h"

namespace {

constexpr double Tick = 1.0 / 60.0;

template <class T>
std::vector<T*> All(TGameEntities& e) {
  std::vector<T*> r;
  for (TGameEntity* x : e.Items)
    if (auto* t = dynamic_cast<T*>(x)) r.push_back(t);
  return r;
}

TEST(EntityContent, EveryMoverOfOaDm2GoesOutAndComesBack) {
  REQUIRE_CONTENT_DIR();
  gametest::GameEngine Engine({}, true);
  TGame& g = Engine.MakeGame();
  g.LoadMap("oa_dm2");
  ASSERT_TRUE(g.GameEntities);
  TGameEntities& e = *g.GameEntities;
  auto Doors = All<TGameEntityFuncDoor>(e);
  auto Plats = All<TGameEntityFuncPlat>(e);
  auto Buttons = All<TGameEntityFuncButton>(e);
  EXPECT_EQ(Doors.size(), 11u);
  EXPECT_EQ(Plats.size(), 2u);
  EXPECT_EQ(Buttons.size(), 9u);
  EXPECT_EQ(All<TGameEntityFuncTrain>(e).size(), 1u);
  EXPECT_EQ(All<TGameEntityFuncBobbing>(e).size(), 1u);
  g.LocalClientInstance->Mode = gcmDEAD;  // out of the way: touches nothing
  std::vector<TGameEntity*> Movers;
  for (auto* d : Doors)
    if (!d->TeamSlave) Movers.push_back(d);
  Movers.insert(Movers.end(), Plats.begin(), Plats.end());
  Movers.insert(Movers.end(), Buttons.begin(), Buttons.end());
  for (TGameEntity* m : Movers) {
    // Settle (platforms rise on their own at first), then use it and wait for the round trip.
    for (int t = 0; t < 600 && m->MoverState != 0; ++t) e.Update(Tick);
    ASSERT_EQ(m->MoverState, 0) << m->Index;
    m->Use(nullptr);
    int Out = -1, Back = -1;
    for (int t = 1; t <= 60 * 60 && Back < 0; ++t) {
      e.Update(Tick);
      if (Out < 0 && m->MoverState == 16) Out = t;
      if (Out >= 0 && m->MoverState == 16 && m->Wait < 0) m->Use(nullptr);
      if (Out >= 0 && m->MoverState == 0) Back = t;
    }
    std::printf("%-12s %3d: travel %.3f s, wait %.2f, out in %d ticks, back in %d\n",
                m->EntityType == ET_FUNC_DOOR ? "func_door" : m->EntityType == ET_FUNC_PLAT ? "func_plat" : "func_button",
                m->Index, m->Duration, m->Wait, Out, Back);
    EXPECT_GT(Out, 0) << m->Index;
    EXPECT_GT(Back, Out) << m->Index;
    EXPECT_TRUE(Vector3Compare(m->Translation, m->Pos1)) << m->Index;
  }
  g.UnloadMap();
}

struct PadCase {
  const char* Map;
  size_t Pads, Teleporters;
};

TEST(EntityContent, PadsAndTeleportersCarryThePlayer) {
  REQUIRE_CONTENT_DIR();
  gametest::GameEngine Engine({}, true);
  TGame& g = Engine.MakeGame();
  for (const PadCase& c : {PadCase{"pul1duel-oa", 2, 4}, PadCase{"sleekgrinder", 7, 2}}) {
    SCOPED_TRACE(c.Map);
    g.LoadMap(c.Map);
    ASSERT_TRUE(g.GameEntities);
    TGameEntities& e = *g.GameEntities;
    TGameEntityClient& Player = *g.LocalClientEntity;
    TGameClient& Client = *g.LocalClientInstance;
    auto Pads = All<TGameEntityTriggerPush>(e);
    auto Teleporters = All<TGameEntityTriggerTeleport>(e);
    EXPECT_EQ(Pads.size(), c.Pads);
    EXPECT_EQ(Teleporters.size(), c.Teleporters);
    for (TGameEntityTriggerPush* Pad : Pads) {
      ASSERT_GE(Pad->NumTargets, 1);
      const TZNT1Vector3 From = Vector3Avg(Pad->MapModel()->TransformedAABB.Min, Pad->MapModel()->TransformedAABB.Max);
      const TZNT1Vector3 To = Pad->Targets[0]->Origin;
      Client.SetPosition(From);
      Pad->Touch(&Player);
      const float t = std::sqrt(std::fabs(To.z - From.z) / 400.0f);
      EXPECT_NEAR(Client.Velocity.z, 800.0f * t, 1e-2f) << Pad->Index;
      EXPECT_NEAR(Client.Velocity.x * t, To.x - From.x, 0.05f) << Pad->Index;
      // Once per touch: the same pad again leaves the velocity alone.
      Client.Velocity = Vector3Origin;
      Pad->Touch(&Player);
      EXPECT_TRUE(Vector3Compare(Client.Velocity, Vector3Origin));
      for (int i = 0; i < 10; ++i) Client.Timers(float(Tick));
      std::printf("%s pad %d: launch (%.1f %.1f %.1f) towards (%.0f %.0f %.0f)\n", c.Map, Pad->Index,
                  From.x, From.y, From.z, To.x, To.y, To.z);
      // The real flight, standing on the pad's floor with no input: the apex lies at the launch
      // point plus the pad's aim, unless the arc meets the map (then it is only reported).
      const TZNT1Vector3 Launch = Vector3(From.x, From.y, Pad->MapModel()->TransformedAABB.Min.z + 25.0f);
      const TZNT1Vector3 Expected = Vector3Add(Launch, Vector3Sub(To, From));
      Client.SetPosition(Launch);
      Client.Velocity = Vector3Origin;
      Client.CommandFlags = 0;
      Pad->Touch(&Player);
      const TZNT1Vector3 Aim = Client.Velocity;
      TZNT1Vector3 Apex = Client.InternalPosition;
      bool Free = true;
      for (int i = 0; i < 600; ++i) {
        const TZNT1Vector3 Before = Client.InternalPosition;
        Client.Update(float(Tick));
        // Blocked: the aim changed, or the move fell short of it (a start inside the map included).
        const TZNT1Vector3 Step = Vector3Sub(Client.InternalPosition, Before);
        if (std::fabs(Client.Velocity.x - Aim.x) > 1.0f || std::fabs(Client.Velocity.y - Aim.y) > 1.0f ||
            std::fabs(Step.x - Aim.x * float(Tick)) > 1.0f || std::fabs(Step.y - Aim.y * float(Tick)) > 1.0f ||
            (i == 0 && Step.z <= 0.0f))
          Free = false;
        if (Client.InternalPosition.z <= Apex.z) break;
        Apex = Client.InternalPosition;
      }
      const float Miss = Vector3Dist(Apex, Expected);
      std::printf("%s pad %d: apex (%.1f %.1f %.1f), expected (%.1f %.1f %.1f), %.2f off, arc %s\n", c.Map,
                  Pad->Index, Apex.x, Apex.y, Apex.z, Expected.x, Expected.y, Expected.z, Miss,
                  Free ? "free" : "blocked");
      if (Free) {
        EXPECT_LT(Miss, 4.0f) << Pad->Index;
      }
      for (int i = 0; i < 10; ++i) Client.Timers(float(Tick));
    }
    for (TGameEntityTriggerTeleport* Tele : Teleporters) {
      ASSERT_GE(Tele->NumTargets, 1);
      const TGameEntity* Dest = Tele->Targets[0];
      Tele->Touch(&Player);
      EXPECT_TRUE(Vector3Compare(Client.InternalPosition, Vector3Add(Dest->Origin, Vector3(0, 0, 1)))) << Tele->Index;
      EXPECT_NEAR(Client.Angle.Yaw, Dest->Angles.y * 3.14159265f / 180.0f, 1e-4f);
      EXPECT_NEAR(Vector3Length(Client.Velocity), 400.0f, 1e-2f);
      EXPECT_NEAR(Client.Time, 0.16, 1e-6);
    }
    g.UnloadMap();
  }
}

}  // namespace

namespace {

// A run through the game as the engine drives it, on pul1duel-oa: the console loads the map, the
// player is put where it would walk (standing in a brush, as its move would report) onto a jump
// pad, into a teleporter and onto an item, every tick through the game's Update and the sound
// hook, and the console quits.
TEST(EntityContent, ScriptedRunOnPul1duel) {
  REQUIRE_CONTENT_DIR();
  gametest::GameEngine Engine({}, true);
  Engine.Game = Engine.GameClass(&Engine);
  TGame& g = static_cast<TGame&>(*Engine.Game);
  Engine.Command->ExecuteString("map pul1duel-oa");
  ASSERT_TRUE(g.GameEntities);
  TGameEntities& e = *g.GameEntities;
  TGameClient& c = *g.LocalClientInstance;
  auto Tick = [&](int n, int32_t StandingIn = -1) {
    for (int i = 0; i < n; ++i) {
      c.TouchedMapModelsList.assign(StandingIn >= 0 ? 1 : 0, StandingIn);
      c.TouchedMapModelsListSize = StandingIn >= 0 ? 1 : 0;
      g.Update(1.0 / 60.0);
      Engine.SoundSystem->Lock();
      g.UpdateSounds();
      Engine.SoundSystem->Unlock();
    }
  };
  Tick(10);
  // Onto a jump pad.
  TGameEntityTriggerPush* Pad = All<TGameEntityTriggerPush>(e).at(0);
  const TZNT1Vector3 PadCentre = Vector3Avg(Pad->MapModel()->TransformedAABB.Min, Pad->MapModel()->TransformedAABB.Max);
  // Standing on the pad's floor: feet just above the bottom of its brush.
  c.SetPosition(Vector3(PadCentre.x, PadCentre.y, Pad->MapModel()->TransformedAABB.Min.z + 25.0f));
  Tick(1, Pad->MapModelIndex);
  EXPECT_GT(c.Velocity.z, 100.0f) << "launched";
  EXPECT_EQ(c.JumpPadNumber, Pad->Index);
  Tick(30);
  // Into a teleporter.
  TGameEntityTriggerTeleport* Tele = All<TGameEntityTriggerTeleport>(e).at(0);
  c.SetPosition(Vector3Avg(Tele->MapModel()->TransformedAABB.Min, Tele->MapModel()->TransformedAABB.Max));
  Tick(1, Tele->MapModelIndex);
  // Put at the destination, then one tick of its own move (400 u/s forward) at most.
  EXPECT_LT(Vector3Length(Vector3Sub(c.InternalPosition, Vector3Add(Tele->Targets[0]->Origin, Vector3(0, 0, 1)))),
            16.0f);
  EXPECT_TRUE(Tele->SampleInstance == nullptr || Tele->SampleInstance->Playing());
  // Onto an item: collected, hidden, back after its wait.
  TGameEntityItem* Item = nullptr;
  for (TGameEntityItem* i : All<TGameEntityItem>(e))
    if (i->NumChildren > 0 && i->HasCollisionAABB && !(i->SpawnFlags & 1)) {
      Item = i;
      break;
    }
  ASSERT_NE(Item, nullptr);
  c.SetPosition(Vector3Avg(Item->CollisionAABB.Min, Item->CollisionAABB.Max));
  Tick(2);
  ASSERT_TRUE(Item->Collected);
  EXPECT_FALSE(Item->Visible);
  c.SetPosition(Vector3(99999, 99999, 99999));
  const int Wait = int(Item->RemainTime * 60.0) + 2;
  Tick(Wait);
  EXPECT_FALSE(Item->Collected);
  EXPECT_TRUE(Item->Visible);
  Engine.Command->ExecuteString("quit");
  EXPECT_TRUE(Engine.Quit);
  g.UnloadMap();
}

// Items in front of spawn points stay there: neither an item's first box (a sweep from the world
// origin before) nor the player's respawn from the previous spawn point (a sweep through walls)
// may hand them over; and no item's broad-phase box stretches far beyond the item.
TEST(EntityContent, ItemsBeforeSpawnPointsStay) {
  REQUIRE_CONTENT_DIR();
  gametest::GameEngine Engine({}, true);
  TGame& g = Engine.MakeGame();
  struct Case {
    const char* Map;
    int Respawns;  // after the map load's own, to reach the spawn point
    const char* ClassName;
    TZNT1Vector3 Origin;
  };
  for (const Case& k : {Case{"kaos2", 0, "item_armor_body", Vector3(64, 1184, 400)},
                        Case{"oa_dm2", 2, "weapon_railgun", Vector3(2480, -192, 32)}, Case{"oa_thor", 0, "", {}}}) {
    g.LoadMap(k.Map);
    ASSERT_TRUE(g.GameEntities) << k.Map;
    TGameEntities& e = *g.GameEntities;
    for (int r = 0; r <= k.Respawns; ++r) {
      if (r > 0) g.LocalClientEntity->ClientRespawn();
      for (int t = 0; t < 60; ++t) e.Update(Tick);
    }
    TGameEntityItem* Item = nullptr;
    int Stretched = 0, Items = 0;
    for (TGameEntityItem* i : All<TGameEntityItem>(e)) {
      if (k.ClassName[0] && Vector3Compare(i->Origin, k.Origin)) Item = i;
      if (i->CollisionDynamicAABBTreeProxy < 0) continue;
      ++Items;
      const TZNT1AABB& b = e.CollisionDynamicAABBTree->Nodes[size_t(i->CollisionDynamicAABBTreeProxy)].AABB;
      const TZNT1AABB Near{Vector3Sub(i->CollisionAABB.Min, Vector3(64, 64, 64)),
                           Vector3Add(i->CollisionAABB.Max, Vector3(64, 64, 64))};
      if (!AABBContains(Near, b)) ++Stretched;
    }
    EXPECT_GT(Items, 0) << k.Map;
    EXPECT_EQ(Stretched, 0) << k.Map << ": items whose broad-phase box reaches far beyond them";
    if (!k.ClassName[0]) continue;
    ASSERT_NE(Item, nullptr) << k.Map << " " << k.ClassName;
    EXPECT_FALSE(Item->Collected) << k.Map << " " << k.ClassName;
  }
  g.UnloadMap();
}

}  // namespace
