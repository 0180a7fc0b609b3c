// Movers on generated rooms: doors, platforms, buttons, trains and clock-driven brushes.
#include <gtest/gtest.h>

#include <cmath>

#include "EntityRoomSupport.h"

using namespace roomtest;

namespace {

// A door rising 128 units (136 high, lip 8) at 400 u/s, plus whatever the test adds.
std::string DoorEntities(const std::string& DoorKeys, const std::string& More = "") {
  return "{\n\"classname\" \"worldspawn\"\n}\n"
         "{\n\"classname\" \"info_player_deathmatch\"\n\"origin\" \"900 900 30\"\n}\n"
         "{\n\"classname\" \"func_door\"\n\"model\" \"*1\"\n\"angle\" \"-1\"\n\"target\" \"opened\"\n" +
         DoorKeys + "}\n{\n\"classname\" \"target_print\"\n\"targetname\" \"opened\"\n\"message\" \"open\"\n}\n" + More;
}

TEST(Mover, DoorArrivesInItsTwentiethTickWithEndSoundAndTargets) {
  Room r({{Box(-64, -8, 0, 64, 8, 136)}}, DoorEntities(""));
  r.Park();
  auto* Door = r.First<TGameEntityFuncDoor>();
  ASSERT_NE(Door, nullptr);
  EXPECT_FLOAT_EQ(Door->Pos2.z, 128.0f);
  EXPECT_NEAR(Door->Duration, 0.32f, 1e-6f);
  ASSERT_NE(Door->EndSampleInstance, nullptr);
  const int32_t Lines = r.ConsoleLines();
  Door->Use(nullptr);
  for (int t = 1; t <= 19; ++t) {
    r.Run(1);
    ASSERT_EQ(Door->MoverState, 1) << t;
    ASSERT_EQ(Door->EndSampleInstance->ToPlay.load(), 0) << t;
  }
  EXPECT_EQ(r.ConsoleLines(), Lines);
  r.Run(1);
  EXPECT_EQ(Door->MoverState, 16);
  EXPECT_FLOAT_EQ(Door->Translation.z, 128.0f);
  EXPECT_EQ(Door->EndSampleInstance->ToPlay.load(), -1);
  ASSERT_EQ(r.ConsoleLines(), Lines + 1);
  const std::string Printed = r.Engine.Console->Lines[Lines];
  EXPECT_EQ(Printed, std::string("\0\x0d" "open", 6));
  // The map model went with it.
  EXPECT_FLOAT_EQ(Door->MapModel()->TransformedAABB.Min.z, 128.0f);
}

TEST(Mover, DoorReturnAlwaysTakesItsTravelTimeAndStaysBetweenItsEnds) {
  // Sent back early (used again while open, or idle-closing), held past its wait, and plain.
  struct Case {
    const char* Keys;
    int HoldTicks;  // ticks the player stands in the field after arrival
    bool UseAgain;
  };
  const Case Cases[] = {{"", 0, false}, {"", 300, false}, {"\"CloseWhenIdle\" \"1\"\n", 0, false},
                        {"\"targetname\" \"d\"\n", 0, true}};
  for (const Case& c : Cases) {
    SCOPED_TRACE(std::string(c.Keys) + " hold " + std::to_string(c.HoldTicks));
    Room r({{Box(-64, -8, 0, 64, 8, 136)}}, DoorEntities(c.Keys));
    auto* Door = r.First<TGameEntityFuncDoor>();
    r.Park();
    Door->Use(nullptr);
    if (c.HoldTicks) r.Place(Vector3(0, 60, 30));
    int Ticks = 0;
    do {
      r.Run(1);
      ++Ticks;
    } while (Door->MoverState == 1 && Ticks < 100);
    ASSERT_EQ(Ticks, 20);
    r.Run(c.HoldTicks);
    if (c.HoldTicks) {
      ASSERT_EQ(Door->MoverState, 16) << "held open while touched";
    }
    r.Park();
    if (c.UseAgain) Door->Use(nullptr);
    int Closing = 0, Waiting = 0;
    while (Door->MoverState == 16 && Waiting < 1000) r.Run(1), ++Waiting;
    while (Door->MoverState == 17 && Closing < 1000) {
      ASSERT_GE(Door->Translation.z, 0.0f);
      ASSERT_LE(Door->Translation.z, 128.0f);
      r.Run(1);
      ++Closing;
    }
    EXPECT_EQ(Door->MoverState, 0);
    EXPECT_FLOAT_EQ(Door->Translation.z, 0.0f);
    // The return (which may start inside a tick of the wait) ends 19 or 20 ticks later.
    EXPECT_GE(Closing, 19);
    EXPECT_LE(Closing, 20);
    if (c.HoldTicks == 0 && !c.UseAgain && std::string(c.Keys).empty()) {
      EXPECT_NEAR(Waiting, 120, 1);  // wait 2 s
    }
    if (c.UseAgain || std::string(c.Keys).find("CloseWhenIdle") != std::string::npos) {
      EXPECT_LE(Waiting, 1);
    }
  }
}

TEST(Mover, DoorOpensOnApproachUnlessTargeted) {
  {
    Room r({{Box(-64, -8, 0, 64, 8, 136)}}, DoorEntities(""));
    auto* Door = r.First<TGameEntityFuncDoor>();
    r.Place(Vector3(0, 100, 30));  // inside the field, 120 units either side of the thin axis
    r.Run(2);  // the player's box enters the broad phase with its first update
    EXPECT_EQ(Door->MoverState, 1);
  }
  {
    Room r({{Box(-64, -8, 0, 64, 8, 136)}},
           DoorEntities("\"targetname\" \"d\"\n", "{\n\"classname\" \"target_relay\"\n\"target\" \"d\"\n}\n"));
    auto* Door = r.First<TGameEntityFuncDoor>();
    ASSERT_NE(Door->Source, nullptr);
    r.Place(Vector3(0, 100, 30));
    r.Run(30);
    EXPECT_EQ(Door->MoverState, 0);
    r.First<TGameEntityTargetRelay>()->Use(&r.PlayerEntity());
    r.Run(1);
    EXPECT_EQ(Door->MoverState, 1);
  }
}

TEST(Mover, DoorTeamMovesTogether) {
  Room r({{Box(-64, -8, 0, 0, 8, 136)}, {Box(0, -8, 0, 64, 8, 136)}},
         "{\n\"classname\" \"worldspawn\"\n}\n"
         "{\n\"classname\" \"func_door\"\n\"model\" \"*1\"\n\"angle\" \"-1\"\n\"team\" \"pair\"\n}\n"
         "{\n\"classname\" \"func_door\"\n\"model\" \"*2\"\n\"angle\" \"-1\"\n\"team\" \"pair\"\n\"targetname\" \"t\"\n}\n");
  r.Park();
  auto* A = r.First<TGameEntityFuncDoor>(0);
  auto* B = r.First<TGameEntityFuncDoor>(1);
  EXPECT_EQ(B->TeamMaster, A);
  EXPECT_EQ(A->TargetName, "t");
  B->Use(nullptr);  // a slave passes the use to its master
  for (int i = 0; i < 25; ++i) {
    r.Run(1);
    ASSERT_EQ(A->MoverState, B->MoverState);
    ASSERT_FLOAT_EQ(A->Translation.z, B->Translation.z);
  }
  EXPECT_EQ(A->MoverState, 16);
}

TEST(Mover, PlatformRisesWaitsWhileRiddenAndSinksASecondAfter) {
  // A 64-unit high platform: rises 56 (lip 8) at 200 u/s.
  Room r({{Box(-128, -128, 0, 128, 128, 64)}},
         "{\n\"classname\" \"worldspawn\"\n}\n{\n\"classname\" \"func_plat\"\n\"model\" \"*1\"\n}\n");
  r.Park();
  auto* Plat = r.First<TGameEntityFuncPlat>();
  EXPECT_FLOAT_EQ(Plat->Height, 56.0f);
  EXPECT_FLOAT_EQ(Plat->Pos1.z, -56.0f);
  EXPECT_NEAR(Plat->Duration, 0.28f, 1e-6f);
  // Without a targetname it rises in the first tick and settles at the top.
  r.Run(1);
  EXPECT_EQ(Plat->MoverState, 1);
  r.Run(17);
  EXPECT_EQ(Plat->MoverState, 16);
  EXPECT_FLOAT_EQ(Plat->Translation.z, 0.0f);
  // Wait 1 s at the top, then back down.
  r.Run(61);
  EXPECT_EQ(Plat->MoverState, 17);
  r.Run(20);
  EXPECT_EQ(Plat->MoverState, 0);
  // A player standing on it raises it and keeps it up; it sinks 1 s after the player leaves.
  r.Place(Vector3(0, 0, 64 - 56 + 25));
  r.Run(40);
  EXPECT_EQ(Plat->MoverState, 16);
  // Standing on it (what the player's move reports) keeps it up.
  r.Place(Vector3(0, 0, 64 + 25));
  r.Player().GroundMapModel = Plat->MapModelIndex;
  r.Run(200);
  EXPECT_EQ(Plat->MoverState, 16);
  r.Park();
  r.Player().GroundMapModel = -1;
  r.Run(59);
  EXPECT_EQ(Plat->MoverState, 16);
  r.Run(2);
  EXPECT_EQ(Plat->MoverState, 17);
}

TEST(Mover, ButtonWithWaitMinusOneStaysPressedUntilUsedAgain) {
  Room r({{Box(-8, -16, 32, 8, 16, 64)}},
         "{\n\"classname\" \"worldspawn\"\n}\n"
         "{\n\"classname\" \"func_button\"\n\"model\" \"*1\"\n\"angle\" \"0\"\n\"wait\" \"-1\"\n\"speed\" \"100\"\n}\n");
  r.Park();
  auto* Button = r.First<TGameEntityFuncButton>();
  EXPECT_FLOAT_EQ(Button->Speed, 40.0f);
  EXPECT_FLOAT_EQ(Button->Lip, 4.0f);
  EXPECT_FLOAT_EQ(Button->Pos2.x, 12.0f);  // 16 deep minus the lip
  EXPECT_NEAR(Button->Duration, 0.3f, 1e-6f);
  Button->Use(nullptr);
  r.Run(25);
  EXPECT_EQ(Button->MoverState, 16);
  r.Run(600);
  EXPECT_EQ(Button->MoverState, 16);
  Button->Use(nullptr);
  r.Run(1);
  EXPECT_EQ(Button->MoverState, 17);
  r.Run(20);
  EXPECT_EQ(Button->MoverState, 0);
}

std::string TrainEntities(const std::string& CornerBWait) {
  // Four corners on a square of side 200 at speed 100: 2 s per side.
  return "{\n\"classname\" \"worldspawn\"\n}\n"
         "{\n\"classname\" \"func_train\"\n\"model\" \"*1\"\n\"target\" \"a\"\n}\n"
         "{\n\"classname\" \"path_corner\"\n\"targetname\" \"a\"\n\"target\" \"b\"\n\"origin\" \"0 0 0\"\n}\n"
         "{\n\"classname\" \"path_corner\"\n\"targetname\" \"b\"\n\"target\" \"c\"\n\"origin\" \"200 0 0\"\n" +
         CornerBWait +
         "}\n"
         "{\n\"classname\" \"path_corner\"\n\"targetname\" \"c\"\n\"target\" \"d\"\n\"origin\" \"200 200 0\"\n}\n"
         "{\n\"classname\" \"path_corner\"\n\"targetname\" \"d\"\n\"target\" \"a\"\n\"origin\" \"0 200 0\"\n}\n";
}

TEST(Mover, TrainLoopTakesTheSumOfItsSegmentsAndWaitsAdd) {
  for (const bool Wait : {false, true}) {
    SCOPED_TRACE(Wait);
    Room r({{Box(-32, -32, 0, 32, 32, 16)}}, TrainEntities(Wait ? "\"wait\" \"2\"\n" : ""));
    r.Park();
    auto* Train = r.First<TGameEntityFuncTrain>();
    ASSERT_TRUE(Train->Looping);
    EXPECT_FLOAT_EQ(Train->TotalDuration, Wait ? 10.0f : 8.0f);
    EXPECT_EQ(Train->CountCorners, Wait ? 6 : 5);
    // Sample the path: at 1 s half way along the first side; at the corner after b's wait.
    r.Run(60);  // Translation shows the time before this tick's advance
    EXPECT_NEAR(Train->Translation.x, 100.0f * 59 / 60, 0.01f);
    r.Run(60 * 3);
    if (Wait) {
      EXPECT_NEAR(Train->Translation.x, 200.0f, 0.01f);  // still waiting at c after b
      EXPECT_NEAR(Train->Translation.y, 200.0f * 0 + Train->Translation.y, 0.01f);
    }
    const int32_t Loop = Wait ? 600 : 480;
    r.Run(Loop - 240);
    EXPECT_NEAR(Train->Translation.x, 0.0f, 2.0f);
    EXPECT_NEAR(Train->Translation.y, 0.0f, 2.0f);
    // And the next loop is the same.
    r.Run(60);
    EXPECT_NEAR(Train->Translation.x, 100.0f * 59 / 60, 0.01f);
  }
}

TEST(Mover, TrainPathsThatComeBackToALaterCornerEndThere) {
  // a -> b -> c -> b, and a corner that targets itself: both load and end, neither loops.
  const char* Chains[] = {
      "{\n\"classname\" \"path_corner\"\n\"targetname\" \"a\"\n\"target\" \"b\"\n\"origin\" \"0 0 0\"\n}\n"
      "{\n\"classname\" \"path_corner\"\n\"targetname\" \"b\"\n\"target\" \"c\"\n\"origin\" \"100 0 0\"\n}\n"
      "{\n\"classname\" \"path_corner\"\n\"targetname\" \"c\"\n\"target\" \"b\"\n\"origin\" \"100 100 0\"\n}\n",
      "{\n\"classname\" \"path_corner\"\n\"targetname\" \"a\"\n\"target\" \"b\"\n\"origin\" \"0 0 0\"\n}\n"
      "{\n\"classname\" \"path_corner\"\n\"targetname\" \"b\"\n\"target\" \"b\"\n\"origin\" \"100 0 0\"\n}\n"};
  for (const char* Chain : Chains) {
    Room r({{Box(-32, -32, 0, 32, 32, 16)}}, std::string("{\n\"classname\" \"worldspawn\"\n}\n"
                                                          "{\n\"classname\" \"func_train\"\n\"model\" \"*1\"\n\"target\" \"a\"\n}\n") +
                                                  Chain);
    r.Park();
    auto* Train = r.First<TGameEntityFuncTrain>();
    EXPECT_FALSE(Train->Looping);
    EXPECT_GE(Train->CountCorners, 2);
    r.Run(600);
    EXPECT_EQ(Train->Translation.x, Train->Corners.back().Origin.x);
    EXPECT_EQ(Train->Translation.y, Train->Corners.back().Origin.y);
  }
}

TEST(Mover, RotatingTurnsOnceInFourSecondsAtSpeedNinety) {
  for (const int Flags : {0, 4}) {
    Room r({{Box(-32, -32, 0, 32, 32, 16)}}, "{\n\"classname\" \"worldspawn\"\n}\n"
                                              "{\n\"classname\" \"func_rotating\"\n\"model\" \"*1\"\n\"speed\" \"90\"\n"
                                              "\"spawnflags\" \"" + std::to_string(Flags) + "\"\n}\n");
    r.Park();
    auto* Rot = r.First<TGameEntityFuncRotating>();
    EXPECT_DOUBLE_EQ(Rot->InvSpeed, 4.0);
    r.Run(61);  // 1 s has passed in the placement of the 61st tick
    const float a = Flags == 4 ? Rot->Rotation.z : Rot->Rotation.y;
    EXPECT_NEAR(a, 90.0f, 1e-3f);
    EXPECT_FLOAT_EQ(Flags == 4 ? Rot->Rotation.y : Rot->Rotation.z, 0.0f);
    r.Run(180);
    // A whole turn after 4 s (the clock wraps there, give or take rounding).
    EXPECT_NEAR(std::remainder(Flags == 4 ? Rot->Rotation.z : Rot->Rotation.y, 360.0f), 0.0f, 1e-2f);
  }
}

TEST(Mover, RotationOffsetAcrossTheWrap) {
  Room r({{Box(-32, -32, 0, 32, 32, 16)}}, "{\n\"classname\" \"worldspawn\"\n}\n"
                                            "{\n\"classname\" \"func_rotating\"\n\"model\" \"*1\"\n\"speed\" \"1200\"\n}\n");
  r.Park();
  auto* Rot = r.First<TGameEntityFuncRotating>();
  for (int i = 0; i < 120; ++i) {
    r.Run(1);
    if (i > 0) {
      ASSERT_NEAR(Rot->RotationOffset.y, 20.0f, 1e-2f) << i;
    }
  }
}

}  // namespace

namespace {

TEST(Mover, TimeOffsetFastForwardsClocksTrainsAndDoors) {
  Room r({{Box(-32, -32, 0, 32, 32, 16)}, {Box(-64, -8, 0, 64, 8, 136)}},
         TrainEntities("") + "{\n\"classname\" \"func_rotating\"\n\"model\" \"*1\"\n\"speed\" \"90\"\n}\n"
                             "{\n\"classname\" \"func_door\"\n\"model\" \"*2\"\n\"angle\" \"-1\"\n}\n");
  r.Park();
  auto* Train = r.First<TGameEntityFuncTrain>();
  auto* Rot = r.First<TGameEntityFuncRotating>();
  auto* Door = r.First<TGameEntityFuncDoor>();
  r.E().ApplyTimeOffset(9.0);  // one loop of 8 s and one more second; 2 turns and a quarter
  EXPECT_NEAR(Train->CurrentTime, 1.0, 1e-6);
  EXPECT_EQ(Train->Current, 1);
  EXPECT_NEAR(Rot->CurrentTime, 1.0, 1e-6);
  EXPECT_EQ(Door->MoverState, 0) << "a door at rest stays at rest";
  r.Run(1);
  EXPECT_NEAR(Rot->Rotation.y, 90.0f, 1e-3f);
  EXPECT_NEAR(Train->Translation.x, 100.0f, 1e-3f);  // half way along the first 2 s side
  // A door on its way is carried across its states.
  Door->Use(nullptr);
  r.Run(1);
  r.E().ApplyTimeOffset(0.5);
  EXPECT_EQ(Door->MoverState, 16);
  EXPECT_FLOAT_EQ(Door->Translation.z, 128.0f);
}

}  // namespace
