// The player's view: eye height, launches and teleports, the view matrices and cameras, the
// client entity's hand-off of camera, light and water effect.
#include <gtest/gtest.h>

#include <cmath>

#include "GameTestSupport.h"
#include "game/GameClient.h"
#include "game/GameEntity.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1Model.h"

namespace {

using gametest::EntityBlock;
constexpr float Pi = 3.14159265358979f;
constexpr float Tick = 1.0f / 60.0f;

// A client without a map, and one in the room (optionally with the content's bodies).
struct Player {
  explicit Player(const std::string& Entities = "", bool WithContent = false)
      : Engine(Entities.empty() ? gametest::Files{{"readme.txt", gametest::Text("x")}}
                                : gametest::Files{gametest::RoomMap(Entities)},
               WithContent) {
    if (!Entities.empty()) Engine.LoadMap("room");
    List = std::make_unique<TGameEntities>(&Engine);
    List->Load(Engine.BSP.get());
    Entity = List->NewClient();
    Client = Entity->Client.get();
  }
  // One game tick and one drawn frame at the end of it.
  void TickAndDraw(float Interpolation = 1.0f) {
    List->SmoothStore();
    List->Update(Tick);
    List->SmoothInterpolate(Interpolation, Tick);
  }
  gametest::GameEngine Engine;
  std::unique_ptr<TGameEntities> List;
  TGameEntityClient* Entity = nullptr;
  TGameClient* Client = nullptr;
};

float AngleBetween(const TZNT1Vector3& a, const TZNT1Vector3& b) {
  const float c = Vector3Dot(Vector3Norm(a), Vector3Norm(b));
  return std::acos(c > 1.0f ? 1.0f : c < -1.0f ? -1.0f : c) * 180.0f / Pi;
}

// The world direction a view matrix looks along (its camera x axis, the game's forward).
TZNT1Vector3 LookDirection(const TZNT1Matrix4x4& View) { return Vector3(View.M[0][0], View.M[1][0], View.M[2][0]); }

// The world position of the camera of a view matrix.
TZNT1Vector3 EyeOf(const TZNT1Matrix4x4& View) {
  const TZNT1Matrix4x4 Inverse = Matrix4x4TermInverse(View);
  return Vector3(Inverse.M[3][0], Inverse.M[3][1], Inverse.M[3][2]);
}

TEST(GameClient, StartsAliveStandingWithEmptyInput) {
  Player p;
  TGameClient& c = *p.Client;
  EXPECT_EQ(c.Mode, gcmALIVE);
  EXPECT_EQ(c.CommandFlags, 0u);
  EXPECT_EQ(c.SmoothedViewHeight, 26.0f);
  EXPECT_EQ(c.ViewInterpolation, 0.0f);
  EXPECT_FALSE(c.ThirdPerson);
  EXPECT_EQ(c.StepTransitionTime, 1.0);
  EXPECT_TRUE(Vector3Compare(c.AABB.Min, Vector3(-15, -15, -24)));
  EXPECT_TRUE(Vector3Compare(c.AABB.Max, Vector3(15, 15, 32)));
  EXPECT_EQ(c.TraceMask, int32_t(MASK_PLAYERSOLID));
  ASSERT_TRUE(c.PlayerModel && c.ViewPlayerModel);
  EXPECT_EQ(c.PlayerModel->LowerInstance, nullptr) << "no player models in this archive";
}

TEST(GameClient, SetPositionResetsEveryRememberedPosition) {
  Player p;
  TGameClient& c = *p.Client;
  c.StepTransitionTime = 0.5;
  c.StepTransitionDelta = 8;
  c.JumpPadNumber = 3;
  c.JumpPadTime = 0.05;
  c.HasLastGoodPosition = true;
  c.LastOffsetVelocity = Vector3(1, 2, 3);
  const TZNT1Vector3 At = Vector3(10, 20, 30);
  c.SetPosition(At);
  for (const TZNT1Vector3& v : {c.InternalPosition, c.SmoothedPosition, c.LastPosition, c.LastGoodPosition,
                                c.CameraThirdPosition})
    EXPECT_TRUE(Vector3Compare(v, At));
  EXPECT_FALSE(c.HasLastGoodPosition);
  EXPECT_EQ(c.StepTransitionTime, 1.0);
  EXPECT_EQ(c.StepTransitionDelta, 0.0f);
  EXPECT_EQ(c.JumpPadNumber, -1);
  EXPECT_EQ(c.JumpPadTime, 0.0);
  EXPECT_TRUE(Vector3Compare(c.LastOffsetVelocity, Vector3Origin));
  EXPECT_TRUE(Vector3Compare(c.AABB.Min, Vector3(-5, 5, 6)));
}

TEST(GameClient, EyeHeightBlendsOverAnEighthOfASecond) {
  Player p;
  TGameClient& c = *p.Client;
  c.ViewHeight = CROUCH_VIEWHEIGHT;
  float Heights[9];
  for (int t = 0; t < 9; ++t) {
    c.Update(Tick);
    Heights[t] = c.SmoothedViewHeight;
  }
  EXPECT_NEAR(Heights[0], 26.0f - 14.0f * 8.0f / 60.0f, 1e-4);
  EXPECT_GT(Heights[6], 12.5f) << "7 ticks = 0.117 s";
  EXPECT_EQ(Heights[7], 12.0f) << "8 ticks = 0.133 s";
  EXPECT_EQ(Heights[8], 12.0f);
  EXPECT_NEAR(c.GetViewHeight(0.5f), 12.0f, 1e-6);
  c.ViewHeight = DEFAULT_VIEWHEIGHT;
  c.Update(Tick);
  EXPECT_NEAR(c.SmoothedViewHeight, 12.0f + 14.0f * 8.0f / 60.0f, 1e-4);
}

TEST(GameClient, InputTurnsTheLegsAndRampsTheWalkFactor) {
  Player p;
  TGameClient& c = *p.Client;
  c.Angle.Yaw = Pi / 2;
  c.CommandFlags = gccfFORWARD;
  for (int t = 0; t < 10; ++t) c.Update(Tick);
  EXPECT_NEAR(c.WalkFactor1, 40.0f / 60.0f, 1e-5);
  EXPECT_GT(c.AngleYawLegs, 1.0f) << "the legs turn towards the view while moving";
  EXPECT_NEAR(c.ForwardVector.y, 1.0f, 1e-5) << "forward input runs along the view";
  c.CommandFlags = 0;
  c.Update(Tick);
  EXPECT_NEAR(c.WalkFactor1, 36.0f / 60.0f, 1e-5);
  EXPECT_TRUE(Vector3Compare(c.InternalPosition, Vector3Origin)) << "the position is kept";
}

TEST(GameClient, JumpFromToTable) {
  struct Case {
    TZNT1Vector3 Src, Dest;
    bool Launch;
    TZNT1Vector3 Velocity;
  };
  const Case Cases[] = {
      {Vector3(0, 0, 0), Vector3(100, 0, 400), true, Vector3(100, 0, 800)},
      {Vector3(0, 0, 0), Vector3(300, 400, 100), true, Vector3(600, 800, 400)},
      {Vector3(0, 0, 100), Vector3(0, 0, 500), true, Vector3(0, 0, 800)},
      {Vector3(0, 0, 0), Vector3(0, 0, -400), true, Vector3(0, 0, 800)},  // a pad aimed down still throws up
      {Vector3(0, 0, 0), Vector3(500, 0, 0), false, Vector3(0, 0, 0)},    // level: nothing but the pad lock
  };
  for (const Case& k : Cases) {
    Player p;
    TGameClient& c = *p.Client;
    c.Walking = c.GroundPlane = true;
    c.GroundMapModel = 0;
    c.LastOffsetVelocity = Vector3(0, 0, 0);
    c.JumpFromTo(7, k.Src, k.Dest);
    EXPECT_EQ(c.JumpPadNumber, 7);
    EXPECT_EQ(c.JumpPadTime, 0.08);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(c.Velocity.xyz[i], k.Velocity.xyz[i], 1e-2) << k.Dest.x << " " << i;
    EXPECT_EQ(c.Walking, !k.Launch);
    EXPECT_EQ(c.GroundMapModel, k.Launch ? -1 : 0);
  }
  // A mover's speed adds to the launch, once.
  Player p;
  p.Client->LastOffsetVelocity = Vector3(0, 0, 50);
  p.Client->JumpFromTo(1, Vector3(0, 0, 0), Vector3(0, 0, 400));
  EXPECT_NEAR(p.Client->Velocity.z, 850.0f, 1e-3);
  EXPECT_TRUE(Vector3Compare(p.Client->LastOffsetVelocity, Vector3Origin));
  EXPECT_EQ(p.Client->LegsAnim, LEGS_JUMP);
}

TEST(GameClient, SamePadLaunchesOncePerLockOut) {
  Player p;
  TGameClient& c = *p.Client;
  int Launches = 0;
  std::vector<int> Ticks;
  for (int t = 0; t < 12; ++t) {
    c.Velocity = Vector3Origin;
    c.JumpFromTo(4, Vector3(0, 0, 0), Vector3(0, 0, 400));
    if (c.Velocity.z > 0) {
      ++Launches;
      Ticks.push_back(t);
    }
    c.Update(Tick);
  }
  // 0.08 s is 4.8 ticks: the lock ends in the fifth tick, and the next touch launches.
  ASSERT_EQ(Ticks.size(), 3u);
  EXPECT_EQ(Ticks[1] - Ticks[0], 5);
  c.JumpFromTo(5, Vector3(0, 0, 0), Vector3(0, 0, 400));
  EXPECT_EQ(c.JumpPadNumber, 5) << "another pad launches at once";
}

TEST(GameClient, JumpToGivesFiniteVelocitiesAboveLevelAndBelow) {
  struct Case {
    float DestZ;
    float Vz;
  };
  const Case Cases[] = {{100, 400}, {0.5f, 40}, {0, 40}, {-100, 400}, {-1e6f, 40000}};
  for (const Case& k : Cases) {
    Player p;
    TGameClient& c = *p.Client;
    c.SetPosition(Vector3(0, 0, 0));
    c.JumpTo(2, Vector3(80, -40, k.DestZ));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::isfinite(c.Velocity.xyz[i])) << k.DestZ;
    EXPECT_NEAR(c.Velocity.z, k.Vz, k.Vz * 1e-5);
    EXPECT_NEAR(c.Velocity.x, 80 * 800 / k.Vz, 1e-2);
    EXPECT_NEAR(c.Velocity.y, -40 * 800 / k.Vz, 1e-2);
    EXPECT_EQ(c.GroundMapModel, -1);
  }
}

TEST(GameClient, TeleportKeepsOrTakesTheAngle) {
  Player p;
  TGameClient& c = *p.Client;
  c.Angle = Vector3(0.3f, 1.0f, 0);
  c.Velocity = Vector3(5, 6, 7);
  c.TeleportTo(Vector3(10, 20, 30), 99999);
  EXPECT_TRUE(Vector3Compare(c.InternalPosition, Vector3(10, 20, 31)));
  EXPECT_TRUE(Vector3Compare(c.Angle, Vector3(0.3f, 1.0f, 0)));
  EXPECT_TRUE(Vector3Compare(c.Velocity, Vector3(5, 6, 7)));
  EXPECT_EQ(c.Flags & gcfTIME_KNOCKBACK, 0u);
  EXPECT_TRUE(c.Teleported);
  c.TeleportTo(Vector3(0, 0, 0), 90);
  EXPECT_NEAR(c.Angle.Yaw, Pi / 2, 1e-6);
  EXPECT_EQ(c.Angle.Pitch, 0.0f);
  EXPECT_NEAR(c.Velocity.x, 0, 1e-3);
  EXPECT_NEAR(c.Velocity.y, 400, 1e-3);
  EXPECT_NE(c.Flags & gcfTIME_KNOCKBACK, 0u);
  EXPECT_EQ(c.Time, 0.16);
  // The knockback runs out with the timers.
  for (int t = 0; t < 10; ++t) c.Update(Tick);
  EXPECT_EQ(c.Flags & gcfTIME_KNOCKBACK, 0u);
}

TEST(GameClient, FirstPersonViewLooksAlongTheDirectionWithoutABody) {
  Player p;
  TGameClient& c = *p.Client;
  c.SetPosition(Vector3(10, 20, 30));
  for (float Yaw : {0.0f, 0.5f, 1.5707964f, 3.0f, 4.5f, 6.2f})
    for (float Pitch : {-0.4f, -0.2f, 0.0f, 0.2f, 0.4f}) {
      c.Angle = Vector3(Pitch, Yaw, 0);
      const TZNT1Matrix4x4 View = c.GetFirstPersonViewMatrix(1.0f);
      EXPECT_LT(AngleBetween(LookDirection(View), c.GetDirection()), 2.0f) << Yaw << " " << Pitch;
      const TZNT1Vector3 Eye = EyeOf(View);
      EXPECT_NEAR(Eye.z, 30 + 26 + 5, 1e-3);
      EXPECT_NEAR(Eye.x, 10, 1e-3);
    }
  // Steep pitches look along the view's own forward axis (positive pitch looks down).
  for (float Pitch : {-1.5f, 1.5f}) {
    c.Angle = Vector3(Pitch, 0.7f, 0);
    const TZNT1Vector3 Forward =
        Vector3(std::cos(Pitch) * std::cos(0.7f), std::cos(Pitch) * std::sin(0.7f), -std::sin(Pitch));
    EXPECT_LT(AngleBetween(LookDirection(c.GetFirstPersonViewMatrix(1.0f)), Forward), 0.5f) << Pitch;
  }
}

TEST(GameClient, ViewBlendsToThirdPersonWithinHalfASecond) {
  Player p;
  TGameClient& c = *p.Client;
  c.ThirdPerson = true;
  for (int f = 0; f < 30; ++f) c.GetViewMatrix(Tick, 1.0f);
  EXPECT_GT(c.ViewInterpolation, 0.98f);
  c.ThirdPerson = false;
  for (int f = 0; f < 30; ++f) c.GetViewMatrix(Tick, 1.0f);
  EXPECT_LT(c.ViewInterpolation, 0.02f);
}

const std::string Room = EntityBlock({{"classname", "worldspawn"}});

TEST(GameClient, ThirdPersonCameraBehindOnOpenFloorInFrontAgainstAWall) {
  struct Case {
    const char* Name;
    TZNT1Vector3 At;
    float Yaw;
    bool Behind;
  };
  // Facing +x at x -250 leaves 262 units behind; at x -490 the wall is 22 units behind.
  const Case Cases[] = {{"open floor", Vector3(-250, 100, gametest::FloorZ), 0.0f, true},
                        {"open floor facing -y", Vector3(-250, 0, gametest::FloorZ), -Pi / 2, true},
                        {"wall behind", Vector3(-490, 100, gametest::FloorZ), 0.0f, false}};
  for (const Case& k : Cases) {
    SCOPED_TRACE(k.Name);
    Player p(Room);
    ASSERT_TRUE(p.Engine.BSP);
    TGameClient& c = *p.Client;
    c.SetPosition(k.At);
    c.Angle = Vector3(0, k.Yaw, 0);
    c.ThirdPerson = true;
    TZNT1Matrix4x4 View{};
    for (int f = 0; f < 60; ++f) View = c.GetThirdPersonViewMatrix(Tick, 1.0f);
    const TZNT1Vector3 Eye = Vector3Add(k.At, Vector3(0, 0, 26));
    const TZNT1Vector3 Offset = Vector3Sub(c.CameraThirdPosition, Eye);
    const float Along = Offset.x * std::cos(k.Yaw) + Offset.y * std::sin(k.Yaw);
    if (k.Behind) EXPECT_LE(Along, -32.0f);
    else EXPECT_GE(Along, 32.0f);
    EXPECT_GT(c.CameraThirdPosition.x, -512.0f);
    // The camera looks at the eye.
    EXPECT_LT(AngleBetween(LookDirection(View), Vector3Sub(Eye, c.CameraThirdPosition)), 1.0f);
  }
}

TEST(GameClient, StoredCameraInsideAWallComesOutOfIt) {
  Player p(Room);
  TGameClient& c = *p.Client;
  c.SetPosition(Vector3(-250, 100, gametest::FloorZ));
  c.CameraThirdPosition = Vector3(-300, 100, 264);  // inside the ceiling, near enough to glide
  c.GetThirdPersonViewMatrix(Tick, 1.0f);
  EXPECT_LT(c.CameraThirdPosition.z, 256.0f);
  EXPECT_EQ(p.Engine.BSP->PointContentFlags(c.CameraThirdPosition) & CONTENTS_SOLID, 0);
}

TEST(GameClient, ClientEntityHandsOverCameraLightAndWater) {
  Player p(Room);
  TGameEntityClient& e = *p.Entity;
  TGameClient& c = *p.Client;
  c.SetPosition(Vector3(-250, 100, gametest::FloorZ));
  p.TickAndDraw();
  EXPECT_TRUE(Vector3Compare(e.ClientLightPosition, c.GetPosition(1.0f)));
  EXPECT_LE(e.ClientLightAABB.Min.z, c.AABB.Min.z + 1e-3f) << "no body: the player's box";
  EXPECT_EQ(e.Leaf, p.Engine.BSP->FindLeaf(c.InternalPosition));
  struct Case {
    int32_t WaterLevel;
    bool Third, Effect;
  };
  const Case Cases[] = {{3, false, true}, {2, false, false}, {0, false, false}, {3, true, false}};
  for (const Case& k : Cases) {
    c.WaterLevel = k.WaterLevel;
    c.ViewInterpolation = k.Third ? 1.0f : 0.0f;
    c.ThirdPerson = k.Third;
    e.SmoothInterpolate(1.0f, Tick);
    EXPECT_EQ(e.ClientWaterEffect, k.Effect) << k.WaterLevel << " " << k.Third;
  }
}

TEST(GameClient, NoSweepAfterARespawn) {
  const std::string Lump = Room +
                           EntityBlock({{"classname", "info_player_deathmatch"}, {"origin", "-300 0 24.125"}}) +
                           EntityBlock({{"classname", "info_player_deathmatch"}, {"origin", "300 -300 24.125"}});
  Player p(Lump);
  TGameEntityClient& e = *p.Entity;
  e.ClientRespawn();
  p.TickAndDraw();
  p.TickAndDraw();
  e.ClientRespawn();
  // The frame right after: at the new place for any fraction, and no camera glide from the old one.
  e.SmoothInterpolate(0.0f, Tick);
  EXPECT_TRUE(Vector3Compare(e.ClientLightPosition, Vector3(300, -300, 24.125f)));
  EXPECT_FALSE(p.Client->Teleported);
  EXPECT_NEAR(EyeOf(e.ClientViewMatrix).x, 300.0f, 1e-2);
}

TEST(GameClient, FirstPersonEyeSitsInTheHead) {
  REQUIRE_CONTENT_DIR();
  Player p(Room, true);
  TGameClient& c = *p.Client;
  TZNT1ModelInstance* Head = c.ViewPlayerModel->HeadInstance;
  ASSERT_NE(Head, nullptr);
  c.SetPosition(Vector3(-250, 100, gametest::FloorZ));
  for (float Yaw : {0.0f, 1.0f, 2.5f, 4.0f, 5.5f})
    for (float Pitch : {-0.4f, 0.0f, 0.4f}) {
      SCOPED_TRACE(testing::Message() << Yaw << " " << Pitch);
      c.Angle = Vector3(Pitch, Yaw, 0);
      for (int t = 0; t < 90; ++t) p.TickAndDraw();  // the legs catch up with the view
      const TZNT1Matrix4x4 View = p.Entity->ClientViewMatrix;
      EXPECT_LT(AngleBetween(LookDirection(View), c.GetDirection()), 15.0f);
      const TZNT1Vector3 Eye = EyeOf(View);
      TZNT1AABB Box = Head->ViewAABB;
      for (int k = 0; k < 3; ++k) {
        EXPECT_GE(Eye.xyz[k], Box.Min.xyz[k] - 0.5f) << k;
        EXPECT_LE(Eye.xyz[k], Box.Max.xyz[k] + 0.5f) << k;
      }
    }
  // The light bounds are the body's drawn box.
  const TZNT1AABB Light = p.Entity->ClientLightAABB;
  EXPECT_LE(Light.Min.z, c.PlayerModel->LowerInstance->ViewAABB.Min.z);
  EXPECT_GE(Light.Max.z, c.PlayerModel->HeadInstance->ViewAABB.Max.z);
  EXPECT_EQ(c.PlayerModel->HeadInstance->RenderType, 1) << "first person leaves the head out";
  EXPECT_EQ(c.PlayerModel->LowerInstance->RenderType, 4);
}

}  // namespace
