// Player movement on the generated movement hall: the figures that follow from the constants,
// steps, slopes, water, the brush model, stuck boxes and the building blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/ZNT1Globals.h"
#include "game/GameClient.h"
#include "game/GameTestSupport.h"
#include "support/BSPWriter.h"
#include "world/ZNT1BSP.h"

namespace {

constexpr float Tick = 1.0f / 60.0f;
using bspwriter::TMovementFixture;

class GameClientMove : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Engine = new gametest::GameEngine({{"maps/move.bsp", bspwriter::MakeMovementFixture().File.Build()}});
    ASSERT_TRUE(Engine->LoadMap("move"));
    Engine->BSP->BSPMapModels[1].Collision = true;
  }
  static void TearDownTestSuite() {
    delete Engine;
    Engine = nullptr;
  }
  void SetUp() override {
    SetPlatform(Vector3Origin);
    Client = std::make_unique<TGameClient>(Engine, nullptr, nullptr);
  }

  // Puts the client 1 unit above Position's floor and lets it settle for Ticks ticks.
  void Place(const TZNT1Vector3& Position, int Ticks = 10) {
    Teleport(Position);
    for (int i = 0; i < Ticks; ++i) Step();
    Client->Velocity = Vector3Origin;
  }
  // A fresh start at Position: no velocity, no running timers.
  void Teleport(const TZNT1Vector3& Position) {
    Client->SetPosition(Position);
    Client->Velocity = Vector3Origin;
    Client->Time = 0.0;
    Client->Flags &= ~gcfALL_TIMES;
  }
  TZNT1Vector3 Step(const TZNT1Vector3& Direction = Vector3Origin, bool Jump = false, bool Walk = false,
                    bool Duck = false) {
    Client->CommandFlags = (Direction.x != 0 || Direction.y != 0) ? gccfFORWARD : 0;
    return Client->Move(Direction, Jump, Tick, Walk, Duck);
  }
  static void SetPlatform(const TZNT1Vector3& Offset) {
    TBSPMapModel& m = Engine->BSP->BSPMapModels[1];
    m.Transform = m.ViewTransform = Matrix4x4Translate(Offset);
    m.TransformedAABB = m.ViewTransformedAABB = AABBTransform(m.AABB, m.Transform);
  }
  float HSpeed() const { return std::hypot(Client->Velocity.x, Client->Velocity.y); }

  static inline gametest::GameEngine* Engine = nullptr;
  std::unique_ptr<TGameClient> Client;
};

const TZNT1Vector3 Open = Vector3(-1200, -200, 25);  // plain floor with 1,500 units of room towards +x
const TZNT1Vector3 East = Vector3(1, 0, 0);

struct Figure {
  std::string Name;
  double Expected;
  double Measured;
};

TEST_F(GameClientMove, FiguresTable) {
  std::vector<Figure> Rows;
  auto Add = [&](const std::string& Name, double Expected, double Measured) {
    Rows.push_back({Name, Expected, Measured});
  };

  // Run from rest.
  Place(Open);
  const float z0 = Client->InternalPosition.z;
  EXPECT_NEAR(z0, 24.03125f, 1e-4f);
  const float x0 = Client->InternalPosition.x;
  for (int i = 0; i < 9; ++i) Step(East);
  Add("run: speed after 9 ticks (>= 99%)", 320.0, HSpeed());
  for (int i = 9; i < 60; ++i) Step(East);
  Add("run: units in the first second", 302.4, Client->InternalPosition.x - x0);
  Add("run: speed", 320.0, HSpeed());

  // Walk, duck, duck and walk: two seconds to settle each.
  const struct {
    const char* Name;
    bool Walk, Duck;
    double Expected;
  } Gaits[] = {{"walk (Shift): speed", true, false, 400.0 / 3.0},
               {"duck: speed", false, true, 80.0},
               {"duck and walk: speed", true, true, 10.0 / 3.0}};
  for (const auto& g : Gaits) {
    Place(Open);
    for (int i = 0; i < 120; ++i) Step(East, false, g.Walk, g.Duck);
    Add(g.Name, g.Expected, HSpeed());
  }

  // Wading in the shallow strip.
  Place(Vector3(-1900, 736, 25));
  for (int i = 0; i < 60; ++i) Step(East);
  EXPECT_EQ(Client->WaterLevel, 1);
  Add("wading (water level 1): speed", 800.0 / 3.0, HSpeed());

  // Swimming deep in the pool, and sinking without input.
  Teleport(Vector3(1100, -880, 48));
  for (int i = 0; i < 60; ++i) Step(Vector3(0, 1, 0));
  EXPECT_GE(Client->WaterLevel, 2);
  Add("swim (level >= 2): speed", 160.0, Client->Velocity.y);
  Teleport(Vector3(1300, -640, 70));
  for (int i = 0; i < 40; ++i) Step();
  Add("sink with no input: speed", -60.0, Client->Velocity.z);

  // Stopping from full speed.
  Place(Open);
  Client->Velocity = Vector3(320, 0, 0);
  const float xs = Client->InternalPosition.x;
  int StopTicks = 0;
  while (Client->Velocity.x != 0.0f && StopTicks < 100) {
    Step();
    ++StopTicks;
  }
  Add("stop from 320 u/s: ticks", 22, StopTicks);
  Add("stop from 320 u/s: units", 40.5, Client->InternalPosition.x - xs);

  // Standing jump.
  Place(Open);
  const float zj = Client->InternalPosition.z;
  float Apex = 0.0f, AtTick20 = 0.0f;
  int Landed = 0;
  for (int i = 1; i <= 60 && !Landed; ++i) {
    Step(Vector3Origin, i == 1);
    Apex = std::max(Apex, Client->InternalPosition.z - zj);
    if (i == 20) AtTick20 = Client->InternalPosition.z - zj;
    if (i > 1 && Client->Walking) Landed = i;
  }
  Add("jump: apex (270^2/1600)", 45.5625, Apex);
  Add("jump: height at tick 20", 45.556, AtTick20);
  Add("jump: lands in tick", 41, Landed);

  // Running jump: 41 ticks of flight at 320.
  Place(Open);
  for (int i = 0; i < 30; ++i) Step(East);
  const float xr = Client->InternalPosition.x;
  Landed = 0;
  for (int i = 1; i <= 60 && !Landed; ++i) {
    Step(East, i == 1);
    if (i > 1 && Client->Walking) Landed = i;
  }
  Add("running jump: units", 218.7, Client->InternalPosition.x - xr);

  // Free fall.
  Teleport(Vector3(-1000, -200, 800));
  Step();
  Add("gravity: speed after one tick", -40.0 / 3.0, Client->Velocity.z);
  for (int i = 1; i < 60; ++i) Step();
  Add("gravity: units in the first second", 400.0, 800.0 - Client->InternalPosition.z);

  // Water jump at the ledge.
  Teleport(Vector3(1515, -640, 88));
  Client->ForwardVector = East;
  Client->CheckWaterLevel();
  EXPECT_EQ(Client->WaterLevel, 2);
  EXPECT_TRUE(Client->CheckWaterJump());
  Add("water jump: velocity x (200 f.x)", 200.0, Client->Velocity.x);
  Add("water jump: velocity z", 350.0, Client->Velocity.z);

  std::printf("\n| figure | expected | measured |\n|---|---|---|\n");
  for (const Figure& r : Rows) {
    std::printf("| %s | %.4f | %.4f |\n", r.Name.c_str(), r.Expected, r.Measured);
    EXPECT_NEAR(r.Measured, r.Expected, std::max(0.001 * std::fabs(r.Expected), 0.05)) << r.Name;
  }
}

TEST_F(GameClientMove, StepsOf16And18AreClimbedShownOverSixTicks24IsNot) {
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(TMovementFixture::StepHeight[i]);
    Place(Vector3(100, TMovementFixture::StepLaneY[i], 25));
    int StepTick = -1, ShownTicks = 0;
    for (int t = 0; t < 60; ++t) {
      const float Before = Client->InternalPosition.z;
      const TZNT1Vector3 Shown = Step(East);
      if (StepTick < 0 && Client->InternalPosition.z > Before + 1.0f) StepTick = t;
      if (Shown.z < Client->InternalPosition.z - 1e-4f) ++ShownTicks;
    }
    if (TMovementFixture::StepHeight[i] <= 18.0f) {
      EXPECT_NEAR(Client->InternalPosition.z, 24.03125f + TMovementFixture::StepHeight[i], 0.01f);
      EXPECT_GT(Client->InternalPosition.x, 300.0f);
      EXPECT_EQ(ShownTicks, 6);
    } else {
      EXPECT_LT(Client->InternalPosition.z, 25.0f);
      EXPECT_LT(Client->InternalPosition.x, 256.0f - 15.0f + 0.01f);
      EXPECT_EQ(StepTick, -1);
    }
  }
}

TEST_F(GameClientMove, SlopesOf30And45AreWalkable50Slides) {
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(TMovementFixture::RampDegrees[i]);
    const float a = TMovementFixture::RampDegrees[i] * 3.14159265f / 180.0f;
    const float x = 500.0f;
    const float z = (x + 15.0f - 256.0f) * std::tan(a) + 24.0f + 1.0f;
    Teleport(Vector3(x, TMovementFixture::RampLaneY[i], z));
    for (int t = 0; t < 5; ++t) Step();
    const TZNT1Vector3 Settled = Client->InternalPosition;
    const bool Walkable = Client->Walking;
    EXPECT_TRUE(Client->GroundPlane);
    for (int t = 0; t < 60; ++t) Step();
    if (i < 2) {
      EXPECT_TRUE(Walkable);
      EXPECT_NEAR(Client->InternalPosition.x, Settled.x, 0.01f);
      EXPECT_NEAR(Client->InternalPosition.z, Settled.z, 0.01f);
    } else {
      EXPECT_FALSE(Walkable);
      EXPECT_LT(Client->InternalPosition.x, Settled.x - 50.0f);
    }
  }
}

TEST_F(GameClientMove, StandingTenSecondsKeepsThePositionToTheBit) {
  Place(Open);
  const TZNT1Vector3 p = Client->InternalPosition;
  for (int i = 0; i < 600; ++i) Step();
  EXPECT_EQ(std::memcmp(&p, &Client->InternalPosition, sizeof p), 0);
  EXPECT_TRUE(Client->Walking);
}

TEST_F(GameClientMove, OneJumpPerPress) {
  Place(Open);
  int Jumps = 0;
  for (int i = 0; i < 240; ++i) {
    const bool WasWalking = Client->Walking;
    Step(Vector3Origin, true);
    if (WasWalking && Client->Velocity.z > 200.0f) ++Jumps;
  }
  EXPECT_EQ(Jumps, 1);
  Step();  // released
  Step(Vector3Origin, true);
  EXPECT_GT(Client->Velocity.z, 200.0f);
}

TEST_F(GameClientMove, LandingFromAFallPlaysTheLandAnimationAndTimer) {
  Teleport(Vector3(-1000, -200, 100));
  for (int i = 0; i < 60 && !Client->Walking; ++i) Step();
  ASSERT_TRUE(Client->Walking);
  EXPECT_LT(Client->PreviousVelocity.z, -200.0f);
  EXPECT_EQ(Client->LegsAnim, LEGS_LAND);
  EXPECT_TRUE(Client->Flags & gcfTIME_LAND);
  EXPECT_DOUBLE_EQ(Client->Time, 0.25);
  // A drop below 200 u/s does neither.
  Teleport(Vector3(-1000, -200, 40));
  Client->LegsAnim = -1;
  for (int i = 0; i < 60 && !Client->Walking; ++i) Step();
  EXPECT_NE(Client->LegsAnim, LEGS_LAND);
  EXPECT_FALSE(Client->Flags & gcfTIME_LAND);
}

TEST_F(GameClientMove, LandingSoundAfterAnAirPhaseOf36Units) {
  // Walking off the 24 step: 24 units of air, no landing sound.
  Place(Vector3(400, TMovementFixture::StepLaneY[2], 49));
  ASSERT_TRUE(Client->Walking);
  Client->DoPlaySampleLand = 0;
  for (int i = 0; i < 60; ++i) Step(Vector3(1, 0, 0));
  EXPECT_GT(Client->InternalPosition.x, 530.0f);
  EXPECT_EQ(Client->DoPlaySampleLand.load(), 0);
  // A plain jump reaches 45.6.
  Place(Open);
  Step(Vector3Origin, true);
  EXPECT_EQ(Client->DoPlaySampleJump.load(), -1);
  for (int i = 0; i < 60 && !Client->Walking; ++i) Step();
  EXPECT_EQ(Client->DoPlaySampleLand.load(), -1);
}

TEST_F(GameClientMove, BrushModelCarriesAndLaunches) {
  // Standing on the raised platform; the mover lowers itself and its rider 2 units a tick.
  TZNT1Vector3 Pos = Vector3(0, 0, 100);
  SetPlatform(Pos);
  Place(Vector3(1088, 320, 141));
  ASSERT_EQ(Client->GroundMapModel, 1);
  for (int i = 0; i < 30; ++i) {
    Pos.z -= 2.0f;
    SetPlatform(Pos);
    Client->ApplyOffset(Vector3(0, 0, -2), Vector3(0, 0, -120));
    Step();
    EXPECT_TRUE(Client->Walking) << i;
    EXPECT_EQ(Client->GroundMapModel, 1) << i;
  }
  EXPECT_NEAR(Client->InternalPosition.z, 40 + 24.03125f + 16, 0.01f);
  // Sideways.
  const float xStart = Client->InternalPosition.x;
  for (int i = 0; i < 30; ++i) {
    Pos.x += 2.0f;
    SetPlatform(Pos);
    Client->ApplyOffset(Vector3(2, 0, 0), Vector3(120, 0, 0));
    Step();
    EXPECT_EQ(Client->GroundMapModel, 1) << i;
  }
  EXPECT_NEAR(Client->InternalPosition.x, xStart + 60.0f, 0.01f);
  // Rising at 100 u/s: a jump adds the platform's speed.
  for (int i = 0; i < 3; ++i) {
    Pos.z += 100.0f / 60.0f;
    SetPlatform(Pos);
    Client->ApplyOffset(Vector3(0, 0, 100.0f / 60.0f), Vector3(0, 0, 100));
    if (i < 2) Step();
  }
  Client->CommandFlags = 0;
  Client->Jump = true;
  Client->Flags &= ~gcfJUMP_HELD;
  ASSERT_TRUE(Client->CheckJump());
  EXPECT_FLOAT_EQ(Client->Velocity.z, 370.0f);
}

TEST_F(GameClientMove, TracesReportTouchedBrushModels) {
  Engine->BSP->BSPMapModels[1].Touchable = true;
  Place(Vector3(960, 320, 25));
  EXPECT_FALSE(Client->HasTouchedMapModel(1));
  bool Touched = false;
  for (int i = 0; i < 30 && !Touched; ++i) {
    Step(East);
    Touched = Client->HasTouchedMapModel(1);
  }
  EXPECT_TRUE(Touched);
  EXPECT_EQ(Client->TouchedMapModelsListSize, 1);
  EXPECT_EQ(Client->TouchedMapModelsList[0], 1);
  Engine->BSP->BSPMapModels[1].Touchable = false;
}

TEST_F(GameClientMove, CheckStuckFreesABoxPlacedIntoAWall) {
  // 1 unit into the east wall (x 2048).
  Client->SetPosition(Vector3(2048 - 15 + 1, 0, 24.03125f));
  Client->CheckStuck();
  TZNT1BSPCollisionTrace Trace;
  Client->DoTrace(Client->InternalPosition, Client->InternalPosition, 1, Trace);
  EXPECT_FALSE(Trace.AllSolid);
  EXPECT_LT(Client->InternalPosition.x, 2048 - 15);
  EXPECT_TRUE(Client->HasLastGoodPosition);
  // Stuck again after a good position: back to it.
  const TZNT1Vector3 Good = Client->InternalPosition;
  Client->InternalPosition = Vector3(2048 - 10, 0, 24.03125f);
  Client->CheckStuck();
  EXPECT_TRUE(Vector3Compare(Client->InternalPosition, Good));
}

TEST_F(GameClientMove, FootstepsFollowTheSurface) {
  const struct {
    float y;
    int32_t Kind;
  } Cases[] = {{TMovementFixture::MetalY, StepMetal}, {TMovementFixture::NoStepsY, 0}, {-200, StepNormal}};
  for (const auto& c : Cases) {
    SCOPED_TRACE(c.y);
    Place(Vector3(c.y == -200 ? -1200 : TMovementFixture::TileX, c.y, 25));
    Client->DoPlayWalkSample = 0;
    Client->StepNextTime = 0;
    Step(East);
    EXPECT_EQ(Client->DoPlayWalkSample.load(), c.Kind);
  }
  // Swimming steps are water steps.
  Client->SetPosition(Vector3(1100, -700, 48));
  Client->DoPlayWalkSample = 0;
  Client->StepNextTime = 0;
  Step(Vector3(0, 1, 0));
  EXPECT_EQ(Client->DoPlayWalkSample.load(), StepWater);
}

TEST_F(GameClientMove, SlickFloorKeepsTheSpeed) {
  Place(Vector3(TMovementFixture::TileX - 200, TMovementFixture::SlickY, 25));
  Client->Velocity = Vector3(300, 0, 0);
  for (int i = 0; i < 10; ++i) Step();
  EXPECT_GT(Client->Velocity.x, 295.0f);
}

// ---- Building blocks ----

TEST(GameClientParts, ClipVelocity) {
  const struct {
    TZNT1Vector3 In, Normal, Out;
  } Cases[] = {
      {Vector3(100, 0, -100), Vector3(0, 0, 1), Vector3(100, 0, 0.1f)},         // into the floor: overclipped
      {Vector3(100, 0, 100), Vector3(0, 0, 1), Vector3(100, 0, 100 - 100 / 1.001f)},  // away: underclipped
      {Vector3(0, 300, 0), Vector3(0, -1, 0), Vector3(0, -0.3f, 0)},
      {Vector3(50, 50, 0), Vector3(1, 0, 0), Vector3(50 - 50 / 1.001f, 50, 0)},
      {Vector3(0, 0, 0), Vector3(0, 0, 1), Vector3(0, 0, 0)},
  };
  for (const auto& c : Cases) {
    TZNT1Vector3 r;
    TGameClient::ClipVelocity(c.In, c.Normal, r);
    EXPECT_NEAR(r.x, c.Out.x, 1e-3f);
    EXPECT_NEAR(r.y, c.Out.y, 1e-3f);
    EXPECT_NEAR(r.z, c.Out.z, 1e-3f);
  }
}

TEST(GameClientParts, AccelerateAndFriction) {
  TGameClient c(nullptr, nullptr, nullptr);
  c.q3movement_frameTime = Tick;
  const struct {
    float v0, WishSpeed, Accel, v1;
  } Acc[] = {{0, 320, 10, 53.333f}, {300, 320, 10, 320}, {320, 320, 10, 320}, {400, 320, 10, 400},
             {0, 160, 5, 13.333f},  {0, 320, 1, 5.333f}, {-100, 320, 10, -46.667f}};
  for (const auto& a : Acc) {
    c.Velocity = Vector3(a.v0, 0, 0);
    c.Accelerate(Vector3(1, 0, 0), a.WishSpeed, a.Accel);
    EXPECT_NEAR(c.Velocity.x, a.v1, 1e-3f) << a.v0 << " " << a.WishSpeed;
  }
  const struct {
    float v0;
    bool Walking;
    int32_t WaterLevel;
    float v1;
  } Fr[] = {{320, true, 0, 288},   {50, true, 0, 40},          {5, true, 0, 0},       {0.5f, true, 0, 0},
            {320, false, 0, 320},  {320, false, 2, 309.333f},  {320, true, 1, 282.667f}};
  for (const auto& f : Fr) {
    c.Velocity = Vector3(f.v0, 0, 0);
    c.Walking = f.Walking;
    c.WaterLevel = f.WaterLevel;
    c.GroundTrace = TZNT1BSPCollisionTrace{};
    c.ApplyFriction();
    EXPECT_NEAR(c.Velocity.x, f.v1, 1e-3f) << f.v0 << " " << f.Walking << " " << f.WaterLevel;
  }
}

TEST(GameClientParts, StuckOffsetsInTrialOrder) {
  const auto& o = TGameClient::GetStuckOffsets();
  ASSERT_EQ(o.size(), 85u);
  const TZNT1Vector3 Head[] = {Vector3(0, 0, 0),      Vector3(0, 0, -0.125f), Vector3(0, 0, 0.125f),
                               Vector3(0, -0.125f, 0), Vector3(0, 0.125f, 0),  Vector3(-0.125f, 0, 0),
                               Vector3(0.125f, 0, 0),  Vector3(-0.125f, -0.125f, -0.125f)};
  for (size_t i = 0; i < std::size(Head); ++i) EXPECT_TRUE(Vector3Compare(o[i], Head[i])) << i;
  EXPECT_TRUE(Vector3Compare(o[30], Vector3(0.125f, 0.125f, 0.125f)));
  EXPECT_TRUE(Vector3Compare(o[31], Vector3(0, 0, 1)));
  EXPECT_TRUE(Vector3Compare(o[32], Vector3(0, 0, 6)));
  EXPECT_TRUE(Vector3Compare(o[33], Vector3(0, -2, 0)));
  EXPECT_TRUE(Vector3Compare(o[36], Vector3(2, 0, 0)));
  EXPECT_TRUE(Vector3Compare(o[37], Vector3(-2, -2, -2)));
  EXPECT_TRUE(Vector3Compare(o[60], Vector3(2, 2, 2)));
  EXPECT_TRUE(Vector3Compare(o[61], Vector3(-2, -2, -6)));
  EXPECT_TRUE(Vector3Compare(o[84], Vector3(2, 2, 6)));
  // No entry of a block has i = j = 0.
  for (size_t i = 7; i < 85; ++i)
    if (i < 31 || i > 36) {
      EXPECT_FALSE(o[i].x == 0 && o[i].y == 0) << i;
    }
}

TEST(GameClientParts, ModesFourToSixKeepThePosition) {
  gametest::GameEngine Engine({{"maps/move.bsp", bspwriter::MakeMovementFixture().File.Build()}});
  ASSERT_TRUE(Engine.LoadMap("move"));
  TGameClient c(&Engine, nullptr, nullptr);
  c.SetPosition(Vector3(0, -200, 300));
  for (int32_t m : {gcmFREEZE, gcmINTERMISSION, gcmSPINTERMISSION}) {
    c.Mode = m;
    const TZNT1Vector3 r = c.Move(Vector3(1, 0, 0), true, Tick, false, false);
    EXPECT_TRUE(Vector3Compare(r, c.InternalPosition)) << m;
    EXPECT_TRUE(Vector3Compare(c.InternalPosition, Vector3(0, -200, 300))) << m;
  }
}

}  // namespace
