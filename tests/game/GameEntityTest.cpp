// Entity framework: map loading into entities, teams and targets, clients and respawn positions,
// the tick's offsets and clock, transforms and map-model switches, and damaged entity lumps.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "GameTestSupport.h"
#include "game/GameClient.h"
#include "game/GameEntity.h"
#include "support/MD3Writer.h"
#include "support/TestData.h"
#include "world/ZNT1BSP.h"
#include "material/ZNT1Shader.h"
#include "world/ZNT1Model.h"

namespace {

using gametest::EntityBlock;

// An engine holding the room map with the given entities (and a small model), the map loaded.
struct RoomWorld {
  explicit RoomWorld(const std::string& Entities, bool WithContent = false)
      : Engine({gametest::RoomMap(Entities), {"models/test/box.md3", md3test::Write(md3test::TwoFrameFixture())}},
               WithContent) {
    Engine.LoadMap("room");
  }
  std::unique_ptr<TGameEntities> Load() {
    auto e = std::make_unique<TGameEntities>(&Engine);
    e->Load(Engine.BSP.get());
    return e;
  }
  gametest::GameEngine Engine;
};

const std::string World = EntityBlock({{"classname", "worldspawn"}});

TEST(GameEntities, LoadReadsCommonKeysAndAddsModelChildren) {
  const std::string Lump =
      World +
      // A static brush entity: its class adds nothing to the common keys.
      EntityBlock({{"classname", "func_static"}, {"model", "*1"}, {"angles", "0 45 0"}, {"angle", "90"},
                   {"targetname", "d1"}, {"target", "t1"}, {"wait", "3"}, {"count", "7"}, {"spawnflags", "5"},
                   {"origin", "1 2 3"}, {"model2", "models/test/box.md3"},
                   {"targetShaderName", "x"}, {"targetShaderNewName", "y"}}) +
      EntityBlock({{"classname", "trigger_multiple"}, {"model", "*2"}, {"angle", "90"}, {"target", "d1"}}) +
      EntityBlock({{"classname", "target_relay"}, {"targetname", "t1"}, {"model2", "models/missing.md3"}}) +
      EntityBlock({{"classname", "target_relay"}, {"targetname", "t1"}});
  RoomWorld w(Lump);
  ASSERT_TRUE(w.Engine.BSP);
  auto e = w.Load();
  ASSERT_EQ(e->Count(), 64 + 5 + 1);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(e->GetItem(i), nullptr);
  TGameEntity* Door = e->GetItem(65);
  TGameEntity* Child = e->GetItem(66);
  TGameEntity* Trigger = e->GetItem(67);
  TGameEntity* Relay1 = e->GetItem(68);
  TGameEntity* Relay2 = e->GetItem(69);
  ASSERT_TRUE(Door && Child && Trigger && Relay1 && Relay2);
  EXPECT_EQ(Door->Index, 65);
  EXPECT_EQ(Door->EntityType, ET_FUNC_STATIC);
  EXPECT_EQ(Door->SpawnFlags, 5);
  EXPECT_EQ(Door->Count, 7);
  EXPECT_FLOAT_EQ(Door->Wait, 3.0f);
  EXPECT_TRUE(Vector3Compare(Door->Origin, Vector3(1, 2, 3)));
  EXPECT_TRUE(Vector3Compare(Door->Translation, Vector3(1, 2, 3)));
  EXPECT_TRUE(Vector3Compare(Door->Angles, Vector3(0, 45, 0))) << "angles wins over angle";
  EXPECT_TRUE(Vector3Compare(Trigger->Angles, Vector3(0, 90, 0)));
  EXPECT_EQ(Door->MapModelIndex, 1);
  EXPECT_EQ(Relay1->MapModelIndex, -1);
  EXPECT_EQ(Door->TargetShader, nullptr) << "unknown materials give nil";
  // The model child sits right behind its parent and draws with the parent's entity index.
  EXPECT_EQ(Child->EntityType, ET_MODEL);
  EXPECT_EQ(Child->Parent, Door);
  EXPECT_EQ(Door->NumChildren, 1);
  ASSERT_NE(Child->ModelInstance, nullptr);
  EXPECT_EQ(Child->ModelInstance->EntityIndex, 268435457 + 2 * 1);
  EXPECT_GE(Child->Model->ReferenceCounter, 1);
  EXPECT_EQ(Relay1->NumChildren, 0) << "a missing model2 adds nothing";
  // Names: the later entity of a name wins the index; targets reach every entity of the name.
  EXPECT_EQ(e->GetEntity("t1"), Relay2);
  EXPECT_EQ(e->GetEntity("d1"), Door);
  EXPECT_EQ(e->GetEntity("nobody"), nullptr);
  ASSERT_EQ(Door->NumTargets, 2);
  EXPECT_EQ(Door->Targets[0], Relay1);
  EXPECT_EQ(Door->Targets[1], Relay2);
  EXPECT_EQ(Relay2->Source, Door);
  ASSERT_EQ(Trigger->NumTargets, 1);
  EXPECT_EQ(Trigger->Targets[0], Door);
  // Map models: index and switches by class.
  ASSERT_EQ(e->MapModelsToEntities.size(), 3u);
  ASSERT_EQ(e->MapModelsToEntities[1].size(), 1u);
  EXPECT_EQ(e->MapModelsToEntities[1][0], Door);
  EXPECT_EQ(e->MapModelsToEntities[2][0], Trigger);
  const TBSPMapModel& m1 = w.Engine.BSP->BSPMapModels[1];
  const TBSPMapModel& m2 = w.Engine.BSP->BSPMapModels[2];
  EXPECT_TRUE(m1.Visible && m1.Collision && m1.Touchable);
  EXPECT_TRUE(m2.Visible && !m2.Collision && m2.Touchable);
  EXPECT_EQ(e->Time, 0.0);
}

TEST(GameEntities, MapModelSwitchesByClassname) {
  struct Case {
    const char* ClassName;
    bool Visible, Collision, Touchable;
  };
  const Case Cases[] = {{"func_door", true, true, true},         {"func_static", true, true, true},
                        {"func_breakable", true, true, true},    {"func_group", true, true, true},
                        {"trigger_push", true, false, true},     {"trigger_hurt", true, false, true},
                        {"trigger_teleport", true, false, true}, {"info_null", false, false, false},
                        {"Func_Door", false, false, false},      {"", false, false, false}};
  for (const Case& c : Cases) {
    bool v = true, col = true, t = true;
    MapModelSwitchesOfClass(c.ClassName, v, col, t);
    EXPECT_EQ(v, c.Visible) << c.ClassName;
    EXPECT_EQ(col, c.Collision) << c.ClassName;
    EXPECT_EQ(t, c.Touchable) << c.ClassName;
  }
  // An unknown class hides its brush model from drawing, collision and touching.
  RoomWorld w(World + EntityBlock({{"classname", "func_nothing"}, {"model", "*1"}}));
  w.Engine.BSP->BSPMapModels[1].Visible = w.Engine.BSP->BSPMapModels[1].Collision = true;
  auto e = w.Load();
  EXPECT_FALSE(w.Engine.BSP->BSPMapModels[1].Visible || w.Engine.BSP->BSPMapModels[1].Collision ||
               w.Engine.BSP->BSPMapModels[1].Touchable);
}

TEST(GameEntities, TeamsChainBehindTheMasterAndTakeTheSlavesNames) {
  RoomWorld w(World);
  TGameEntities e(&w.Engine);
  auto Make = [&](const std::string& Team, const std::string& Name, const std::string& Target) {
    auto* x = new TGameEntityUnknown(&e);
    x->Team = Team;
    x->TargetName = Name;
    x->Target = Target;
    e.Add(x);
    return x;
  };
  TGameEntity* A = Make("t", "a", "");
  TGameEntity* B = Make("t", "b", "");
  TGameEntity* C = Make("t", "", "");
  TGameEntity* D = Make("u", "d", "");
  TGameEntity* UserB = Make("", "", "b");
  TGameEntity* UserA = Make("", "", "a");
  e.LinkTeams();
  e.LinkTargets();
  EXPECT_EQ(A->TeamMaster, A);
  EXPECT_FALSE(A->TeamSlave);
  EXPECT_TRUE(B->TeamSlave && C->TeamSlave);
  EXPECT_EQ(B->TeamMaster, A);
  EXPECT_EQ(C->TeamMaster, A);
  // Each later member goes right behind the master: A, C, B.
  EXPECT_EQ(A->TeamChain, C);
  EXPECT_EQ(C->TeamChain, B);
  EXPECT_EQ(B->TeamChain, nullptr);
  EXPECT_EQ(A->TargetName, "b") << "the master ends with the later member's name";
  EXPECT_TRUE(B->TargetName.empty());
  EXPECT_EQ(D->TeamMaster, D);
  EXPECT_EQ(D->TeamChain, nullptr);
  ASSERT_EQ(UserB->NumTargets, 1);
  EXPECT_EQ(UserB->Targets[0], A) << "a slave's former name reaches the master";
  EXPECT_EQ(UserA->NumTargets, 0);
}

TEST(GameEntities, ChildrenAndTargetsReuseFreeSlots) {
  RoomWorld w(World);
  TGameEntities e(&w.Engine);
  auto* P = new TGameEntityUnknown(&e);
  e.Add(P);
  std::vector<TGameEntity*> Kids;
  for (int i = 0; i < 5; ++i) {
    Kids.push_back(new TGameEntityUnknown(&e));
    e.Add(Kids.back());
    P->AddChild(Kids.back());
  }
  P->AddChild(nullptr);
  EXPECT_EQ(P->NumChildren, 5);
  EXPECT_EQ(P->Children.size(), 8u) << "grown to a power of two";
  P->RemoveChild(Kids[1]);
  EXPECT_EQ(Kids[1]->Parent, nullptr);
  EXPECT_EQ(P->NumChildren, 5);
  P->AddChild(Kids[1]);
  EXPECT_EQ(P->Children[1], Kids[1]) << "the freed slot is reused";
  EXPECT_EQ(P->NumChildren, 5);
  P->AddTarget(Kids[0]);
  P->AddTarget(Kids[2]);
  P->RemoveTarget(Kids[0]);
  EXPECT_EQ(Kids[0]->Source, nullptr);
  P->AddTarget(Kids[3]);
  EXPECT_EQ(P->Targets[0], Kids[3]);
  EXPECT_EQ(P->NumTargets, 2);
}

TEST(GameEntities, ClientSlotsAndThe65thClient) {
  RoomWorld w(World);
  auto e = w.Load();
  const int32_t Count = e->Count();
  for (int i = 0; i < 64; ++i) {
    TGameEntityClient* c = e->NewClient();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->Index, i);
    EXPECT_EQ(c->EntityType, ET_CLIENT);
    EXPECT_EQ(c->Health, 100);
    EXPECT_EQ(e->CountMaxPlayers, i + 1);
  }
  EXPECT_EQ(e->NewClient(), nullptr);
  EXPECT_EQ(e->Count(), Count);
  EXPECT_EQ(e->CountMaxPlayers, 64);
}

TEST(GameEntities, RespawnPositionsInClassOrderAndCycling) {
  const std::string Lump =
      World + EntityBlock({{"classname", "info_player_deathmatch"}, {"origin", "100 0 24"}, {"angle", "90"}}) +
      EntityBlock({{"classname", "team_CTF_redplayer"}, {"origin", "0 0 24"}}) +
      EntityBlock({{"classname", "info_player_deathmatch"}, {"origin", "200 0 24"}, {"angles", "0 45 0"}}) +
      EntityBlock({{"classname", "info_player_start"}, {"origin", "-100 0 24"}, {"angle", "180"}}) +
      EntityBlock({{"classname", "info_player_race"}, {"origin", "-200 0 24"}});
  RoomWorld w(Lump);
  auto e = w.Load();
  ASSERT_EQ(e->RespawnPositions.size(), 5u);
  const uint32_t Types[] = {rptSTART, rptRACE, rptDEATHMATCH, rptDEATHMATCH, rptCTFRED};
  const float Xs[] = {-100, -200, 100, 200, 0};
  const float AnglesDeg[] = {180, 0, 90, 0, 0};  // "angles" is not read here
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(e->RespawnPositions[i].RespawnPositionType, Types[i]);
    EXPECT_EQ(e->RespawnPositions[i].Origin.x, Xs[i]);
    EXPECT_EQ(e->RespawnPositions[i].Angle, AnglesDeg[i]);
  }
  TGameEntityClient* c = e->NewClient();
  c->RespawnPositionType = rptDEATHMATCH | rptSTART;
  const float Expected[] = {-100, 100, 200, -100, 100};
  for (float x : Expected) {
    c->ClientRespawn();
    EXPECT_EQ(c->Client->InternalPosition.x, x);
    EXPECT_EQ(c->Translation.x, x);
    EXPECT_TRUE(c->Client->Teleported);
    EXPECT_TRUE(Vector3Compare(c->AABB.Min, c->Client->AABB.Min));
  }
  EXPECT_NEAR(c->Client->Angle.Yaw, 90.0f * 3.14159265f / 180.0f, 1e-6);
  c->RespawnPositionType = rptTEAM1;  // none of that type: the player stays
  c->ClientRespawn();
  EXPECT_EQ(c->Client->InternalPosition.x, 100);
}

TEST(GameEntities, NoRespawnPositionsLeavesThePlayerAtTheOrigin) {
  RoomWorld w(World);
  auto e = w.Load();
  TGameEntityClient* c = e->NewClient();
  c->ClientRespawn();
  EXPECT_TRUE(Vector3Compare(c->Client->InternalPosition, Vector3Origin));
  EXPECT_FALSE(c->Client->Teleported);
}

// Turns to a set rotation in its tick.
struct TurningEntity : TGameEntityUnknown {
  using TGameEntityUnknown::TGameEntityUnknown;
  void Update() override {
    Rotation = NextRotation;
    Translation = Vector3Add(Translation, Vector3(1, 0, 0));
  }
  TZNT1Vector3 NextRotation{};
};

TEST(GameEntities, TickOffsetsVelocityAndClockWrap) {
  RoomWorld w(World);
  TGameEntities e(&w.Engine);
  auto* t = new TurningEntity(&e);
  e.Add(t);
  struct Case {
    float From, To, Offset;
  };
  const Case Cases[] = {{350, 10, 20}, {10, 350, -20}, {0, 179, 179}, {-170, 170, -20}, {90, 90, 0}};
  for (const Case& c : Cases) {
    t->Rotation = Vector3(c.From, c.From, c.From);
    t->NextRotation = Vector3(c.To, c.To, c.To);
    e.Update(1.0 / 60.0);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(t->RotationOffset.xyz[k], c.Offset, 1e-3) << c.From << " -> " << c.To;
  }
  EXPECT_NEAR(t->Velocity.x, 60.0f, 1e-3);
  EXPECT_NEAR(t->TranslationOffset.x, 1.0f, 1e-6);
  e.Update(0.0);
  EXPECT_EQ(t->Velocity.x, 1.0f) << "a zero-length tick gives the offset itself";
  e.Time = 86400.0 - 0.01;
  e.Update(1.0 / 60.0);
  EXPECT_NEAR(e.Time, 1.0 / 60.0 - 0.01, 1e-9);
}

TEST(GameEntities, InvisibleBrushEntityLeavesDrawingCollisionAndTouching) {
  RoomWorld w(World + EntityBlock({{"classname", "func_door"}, {"model", "*1"}}));
  auto e = w.Load();
  TGameEntity* Door = e->GetItem(65);
  const TBSPMapModel& m = w.Engine.BSP->BSPMapModels[1];
  Door->Visible = false;
  Door->UpdateTransformMatrix();
  EXPECT_FALSE(m.Visible || m.Collision || m.Touchable);
  Door->Visible = true;
  Door->UpdateTransformMatrix();
  EXPECT_TRUE(m.Visible && m.Collision && m.Touchable);
  // The entity's box follows the moved model.
  Door->Translation = Vector3(0, 0, 100);
  Door->UpdateTransformMatrix();
  EXPECT_NEAR(Door->AABB.Min.z, m.AABB.Min.z + 100.0f, 1e-3);
  EXPECT_NEAR(m.TransformedAABB.Max.z, m.AABB.Max.z + 100.0f, 1e-3);
}

TEST(GameEntities, DrawnBoxOfAMovedAndTurnedBrushEntityIsItsCollisionBox) {
  RoomWorld w(World + EntityBlock({{"classname", "func_door"}, {"model", "*1"}}));
  auto e = w.Load();
  TGameEntity* Door = e->GetItem(65);
  const TBSPMapModel& m = w.Engine.BSP->BSPMapModels[1];
  Door->UpdateTransformMatrix();
  Door->SmoothStore();
  Door->Translation = Vector3(100, -40, 8);
  Door->Rotation = Vector3(0, 30, 0);
  Door->UpdateTransformMatrix();
  Door->SmoothInterpolate(1.0f, 1.0f / 60.0f);
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(m.ViewTransformedAABB.Min.xyz[k], m.TransformedAABB.Min.xyz[k], 0.01f) << k;
    EXPECT_NEAR(m.ViewTransformedAABB.Max.xyz[k], m.TransformedAABB.Max.xyz[k], 0.01f) << k;
  }
  EXPECT_EQ(m.ViewTransformedCluster, w.Engine.BSP->FindCluster(m.ViewTransformedSphere.Center));
  // Halfway: the model's own box under the halfway placement.
  Door->SmoothInterpolate(0.5f, 1.0f / 60.0f);
  const TZNT1AABB Half = AABBTransform(m.AABB, m.ViewTransform);
  EXPECT_NEAR(m.ViewTransformedAABB.Min.x, Half.Min.x, 1e-3);
  EXPECT_NEAR(m.ViewTransform.M[3][0], 50.0f, 1e-3);
}

TEST(GameEntities, SetMoveDirTable) {
  struct Case {
    TZNT1Vector3 Angles, Dir;
  };
  const Case Cases[] = {{Vector3(0, -1, 0), Vector3(0, 0, 1)},  {Vector3(0, -2, 0), Vector3(0, 0, -1)},
                        {Vector3(0, 0, 0), Vector3(1, 0, 0)},   {Vector3(0, 90, 0), Vector3(0, 1, 0)},
                        {Vector3(0, 180, 0), Vector3(-1, 0, 0)}, {Vector3(-90, 0, 0), Vector3(0, 0, 1)},
                        {Vector3(1, -1, 0), Vector3(0.99985f, -0.01745f, -0.01745f)}};
  for (const Case& c : Cases) {
    TZNT1Vector3 a = c.Angles, d{};
    SetMoveDir(a, d);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(d.xyz[k], c.Dir.xyz[k], 1e-3) << c.Angles.x << " " << c.Angles.y;
    EXPECT_TRUE(Vector3Compare(a, Vector3Origin));
  }
}

TEST(GameEntities, TouchedThroughBoxesAndMapModels) {
  RoomWorld w(World + EntityBlock({{"classname", "trigger_multiple"}, {"model", "*1"}}));
  auto e = w.Load();
  TGameEntity* Trigger = e->GetItem(65);
  TGameEntityClient* c = e->NewClient();
  EXPECT_FALSE(Trigger->Touched(nullptr));
  EXPECT_FALSE(Trigger->Touched(c)) << "a player touches a brush entity only through its move";
  c->Client->TouchMapModel(1);
  EXPECT_TRUE(Trigger->Touched(c));
  EXPECT_TRUE(c->Touched(Trigger));
  c->Client->TouchMapModel(99);  // out of range: ignored
  EXPECT_FALSE(c->Client->HasTouchedMapModel(99));
  // Plain boxes.
  TGameEntities& l = *e;
  auto* a = new TGameEntityUnknown(&l);
  auto* b = new TGameEntityUnknown(&l);
  l.Add(a);
  l.Add(b);
  TZNT1AABB Box, Far;
  Box.Min = Vector3(0, 0, 0);
  Box.Max = Vector3(10, 10, 10);
  Far.Min = Vector3(20, 0, 0);
  Far.Max = Vector3(30, 10, 10);
  a->UpdateCollisionAABB(&Box);
  EXPECT_FALSE(a->Touched(b)) << "no box on the other side";
  b->UpdateCollisionAABB(&Far);
  EXPECT_FALSE(a->Touched(b));
  b->UpdateCollisionAABB(&Box);
  EXPECT_TRUE(a->Touched(b));
  EXPECT_TRUE(b->HasCollisionDisplacement);
  EXPECT_NEAR(b->CollisionDisplacement.x, -20.0f, 1e-5);
  EXPECT_NEAR(b->CollisionDisplacementAABB.Min.x, 20.0f, 1e-5);
  b->UpdateCollisionAABBProxy();
  EXPECT_GE(b->CollisionDynamicAABBTreeProxy, 0);
}

TEST(GameEntities, UseTargetsSwapsTheMaterialAndUsesEveryTarget) {
  const std::string Script = "textures/game/old\n{\n\t{\n\t\tmap $whiteimage\n\t}\n}\n"
                             "textures/game/new\n{\n\t{\n\t\tmap $whiteimage\n\t}\n}\n";
  gametest::GameEngine Engine({{"scripts/game.shader", gametest::Text(Script)}});
  TZNT1Shader* Old = Engine.Shaders->GetShader("textures/game/old");
  TZNT1Shader* New = Engine.Shaders->GetShader("textures/game/new");
  ASSERT_TRUE(Old && New);
  TGameEntities e(&Engine);
  auto* User = new TGameEntityUnknown(&e);
  auto* a = new gametest::UseCounter(&e);
  auto* b = new gametest::UseCounter(&e);
  for (TGameEntity* x : {static_cast<TGameEntity*>(User), static_cast<TGameEntity*>(a), static_cast<TGameEntity*>(b)})
    e.Add(x);
  User->AddTarget(a);
  User->AddTarget(b);
  User->TargetShader = Old;
  User->TargetShaderNew = New;
  e.Time = 5.0;
  const int32_t Refs = New->ReferenceCounter;
  User->UseTargets(User);
  EXPECT_EQ(Old->RemappedShader, New);
  EXPECT_EQ(Old->TimeOffset, 5.0);
  EXPECT_EQ(New->TimeOffset, 5.0);
  EXPECT_EQ(New->ReferenceCounter, Refs == 0 ? 1 : Refs);
  EXPECT_EQ(a->Uses, 1);
  EXPECT_EQ(b->Uses, 1);
  EXPECT_EQ(b->LastUser, User);
  // Swapping a material for itself undoes the swap.
  User->TargetShaderNew = Old;
  User->RemoveTarget(a);
  User->UseTargets(nullptr);
  EXPECT_EQ(Old->RemappedShader, nullptr);
  EXPECT_EQ(a->Uses, 1);
  EXPECT_EQ(b->Uses, 2);
}

TEST(GameEntities, DamagedEntityListsLoadAndTick) {
  std::mt19937 Rng(2119);
  const char* Keys[] = {"classname", "origin", "angle", "angles", "model", "model2", "target", "targetname",
                        "spawnflags", "wait", "count", "team", "targetShaderName", "targetShaderNewName", "x"};
  const char* Classes[] = {"worldspawn", "info_player_start", "info_player_deathmatch", "func_door",
                           "trigger_multiple", "team_CTF_redplayer", "misc_model", "", "info_player_race"};
  const char* Values[] = {"*1", "*2", "*9999", "*-3", "*", "-1", "2147483647", "-2147483648", "99999999999",
                          "1e39", "-1e39", "nan", "0 0 0", "1 2", "100 100 24 7", "a", "b", "",
                          "models/test/box.md3", "models/none.md3", "textures/x", "\\\\", "   "};
  const int Rounds = testdata::Sanitizing ? 40 : 200;
  RoomWorld w(World);
  for (int r = 0; r < Rounds; ++r) {
    std::string Lump;
    const int n = static_cast<int>(Rng() % 12);
    for (int i = 0; i < n; ++i) {
      std::vector<std::pair<std::string, std::string>> Pairs;
      Pairs.push_back({"classname", Classes[Rng() % std::size(Classes)]});
      const int k = static_cast<int>(Rng() % 8);
      for (int j = 0; j < k; ++j)
        Pairs.push_back({Keys[Rng() % std::size(Keys)], Values[Rng() % std::size(Values)]});
      Lump += EntityBlock(Pairs);
    }
    w.Engine.BSP->Entities->Clear();
    ParseEntities(*w.Engine.BSP->Entities, Lump);
    auto e = w.Load();
    e->LinkTargets();  // twice: only adds links
    TGameEntityClient* c = e->NewClient();
    c->ClientRespawn();
    for (int t = 0; t < 3; ++t) {
      e->SmoothStore();
      e->Update(1.0 / 60.0);
      e->SmoothInterpolate(0.5f, 1.0f / 60.0f);
    }
    for (TGameEntity* x : e->Items)
      if (x) {
        TZNT1AABB Box;
        x->GetAABB(Box, false);
        x->Touched(c);
        x->UseTargets(c);
      }
  }
}

TEST(GameEntities, BodyAnimationAdvancesByTheTickWhateverTheClock) {
  REQUIRE_CONTENT_DIR();
  RoomWorld w(World, true);
  auto e = w.Load();
  TGameEntityClient* c = e->NewClient();
  TZNT1ModelInstance* Legs = c->Client->PlayerModel->LowerInstance;
  ASSERT_NE(Legs, nullptr);
  const int32_t Frames = static_cast<int32_t>(Legs->Model->Frames.size());
  ASSERT_GT(Frames, 40);
  e->Update(1.0 / 60.0);  // the body takes its standing animation
  for (double Clock : {0.0, 3600.0}) {
    SCOPED_TRACE(Clock);
    e->Time = Clock;
    TZNT1ModelAnimationState& s = Legs->Animation;
    s.Animation = true;
    s.Loop = true;
    s.Backwards = false;
    s.StartFrame = 0;
    s.EndFrame = Frames - 1;
    s.Frame = 0;
    s.NextFrame = 1;
    s.NextRequestedFrame = -1;
    s.FrameTime = 0.0;
    s.FramesPerSecond = 20.0f;
    c->Client->LegsTimer = 10.0;  // keeps the standing animation from taking over again
    for (int t = 0; t < 60; ++t) e->Update(1.0 / 60.0);
    EXPECT_NEAR(s.Frame + s.FrameTime, 20.0, 0.01);
  }
}

}  // namespace
