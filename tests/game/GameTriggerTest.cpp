// Triggers and targets on a generated room: trigger fields, relays, delays, timers, prints,
// pushes, jump pads and teleporters, and relay loops.
#include <gtest/gtest.h>

#include <cmath>

#include "EntityRoomSupport.h"

using namespace roomtest;

namespace {

using gametest::EntityBlock;
// Counts target uses (target_give notes each use for one tick; count the ticks).
using gametest::UseCounter;

const std::string World = EntityBlock({{"classname", "worldspawn"}});

// Swaps the targets of Source for fresh counters; returns them.
std::vector<UseCounter*> CountTargets(Room& r, TGameEntity* Source, int n = 1) {
  std::vector<UseCounter*> c;
  for (int i = 0; i < n; ++i) {
    auto* u = new UseCounter(&r.E());
    r.E().Add(u);
    c.push_back(u);
  }
  for (int i = 0; i < Source->NumTargets; ++i) Source->Targets[size_t(i)] = nullptr;
  Source->NumTargets = 0;
  for (UseCounter* u : c) Source->AddTarget(u);
  return c;
}

TEST(Trigger, MultipleFiresAtOnceThenEveryWait) {
  struct Case {
    const char* Wait;
    int Ticks;
    int Fires;
  };
  // 0.2 s: the first tick, then every 12 ticks (the field stays touched); -1: every tick.
  const Case Cases[] = {{"0.2", 60, 5}, {"-1", 60, 60}};
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Wait);
    Room r({{Box(-64, -64, 0, 64, 64, 64), CONTENTS_TRIGGER}},
           World + EntityBlock({{"classname", "trigger_multiple"}, {"model", "*1"}, {"wait", c.Wait}}));
    auto* Trigger = r.First<TGameEntityTriggerMultiple>();
    auto Counters = CountTargets(r, Trigger);
    r.Place(Vector3(0, 0, 30));
    // What the player's move reports each tick: it stands in the trigger's brush.
    for (int t = 0; t < c.Ticks; ++t) {
      r.Player().TouchedMapModelsList = {Trigger->MapModelIndex};
      r.Player().TouchedMapModelsListSize = 1;
      r.Run(1);
    }
    EXPECT_EQ(Counters[0]->Uses, c.Fires);
    EXPECT_EQ(Counters[0]->LastUser, &r.PlayerEntity());
  }
}

TEST(Trigger, DeadPlayersSetNothingOff) {
  Room r({{Box(-64, -64, 0, 64, 64, 64), CONTENTS_TRIGGER}, {Box(200, -64, 0, 328, 64, 64), CONTENTS_TRIGGER},
          {Box(-328, -64, 0, -200, 64, 64), CONTENTS_TRIGGER}},
         World + EntityBlock({{"classname", "trigger_multiple"}, {"model", "*1"}, {"target", "x"}}) +
             EntityBlock({{"classname", "trigger_push"}, {"model", "*2"}, {"target", "x"}}) +
             EntityBlock({{"classname", "trigger_teleport"}, {"model", "*3"}, {"target", "x"}}) +
             EntityBlock({{"classname", "target_position"}, {"targetname", "x"}, {"origin", "0 500 300"}}));
  auto Counters = CountTargets(r, r.First<TGameEntityTriggerMultiple>());
  r.Place(Vector3(0, 0, 30));
  r.Player().Mode = gcmDEAD;
  for (TGameEntity* e : {static_cast<TGameEntity*>(r.First<TGameEntityTriggerMultiple>()),
                         static_cast<TGameEntity*>(r.First<TGameEntityTriggerPush>()),
                         static_cast<TGameEntity*>(r.First<TGameEntityTriggerTeleport>())})
    e->Touch(&r.PlayerEntity());
  EXPECT_EQ(Counters[0]->Uses, 0);
  EXPECT_TRUE(Vector3Compare(r.Player().InternalPosition, Vector3(0, 0, 30)));
  EXPECT_TRUE(Vector3Compare(r.Player().Velocity, Vector3Origin));
}

TEST(Trigger, TargetsActWhenUsed) {
  Room r({}, World + EntityBlock({{"classname", "target_relay"}, {"targetname", "rr"}, {"spawnflags", "4"}}) +
                 EntityBlock({{"classname", "target_delay"}, {"targetname", "dd"}, {"wait", "0.5"}}) +
                 EntityBlock({{"classname", "func_timer"}, {"targetname", "tt"}, {"wait", "1"}, {"random", "0.01"}}) +
                 EntityBlock({{"classname", "trigger_always"}}) +
                 EntityBlock({{"classname", "target_print"}, {"message", "hello"}}));
  r.Park();
  auto* Relay = r.First<TGameEntityTargetRelay>();
  auto* Delay = r.First<TGameEntityTargetDelay>();
  auto* Timer = r.First<TGameEntityFuncTimer>();
  auto* Always = r.First<TGameEntityTriggerAlways>();
  auto RelayTargets = CountTargets(r, Relay, 3);
  auto DelayTargets = CountTargets(r, Delay);
  auto TimerTargets = CountTargets(r, Timer);
  auto AlwaysTargets = CountTargets(r, Always);
  // Random relay: exactly one of three per use.
  for (int i = 0; i < 30; ++i) Relay->Use(&r.PlayerEntity());
  int Sum = 0;
  for (UseCounter* c : RelayTargets) {
    EXPECT_GT(c->Uses, 0);
    Sum += c->Uses;
  }
  EXPECT_EQ(Sum, 30);
  // trigger_always fires once, in the tick in which 0.3 s have passed (the 18th).
  r.Run(17);
  EXPECT_EQ(AlwaysTargets[0]->Uses, 0);
  r.Run(1);
  EXPECT_EQ(AlwaysTargets[0]->Uses, 1);
  EXPECT_EQ(AlwaysTargets[0]->LastUser, Always);
  // A delay used twice within its delay fires once, 0.5 s on, as itself.
  Delay->Use(nullptr);
  r.Run(10);
  Delay->Use(nullptr);
  r.Run(19);
  EXPECT_EQ(DelayTargets[0]->Uses, 0);
  r.Run(1);
  EXPECT_EQ(DelayTargets[0]->Uses, 1);
  EXPECT_EQ(DelayTargets[0]->LastUser, Delay);
  r.Run(60);
  EXPECT_EQ(DelayTargets[0]->Uses, 1);
  // A timer without spawnflag 1 waits for a use; a second stops it, a third restarts it.
  // Each period is 1 to 1.01 s.
  r.Run(150);
  EXPECT_EQ(TimerTargets[0]->Uses, 0);
  Timer->Use(nullptr);
  r.Run(150);
  EXPECT_EQ(TimerTargets[0]->Uses, 2);
  Timer->Use(nullptr);
  r.Run(150);
  EXPECT_EQ(TimerTargets[0]->Uses, 2);
  Timer->Use(nullptr);
  r.Run(150);
  EXPECT_GE(TimerTargets[0]->Uses, 4);
  EXPECT_LE(TimerTargets[0]->Uses, 5);
  // target_print adds one line: a 0 byte, colour 13, the text.
  const int32_t Lines = r.ConsoleLines();
  r.First<TGameEntityTargetPrint>()->Use(nullptr);
  ASSERT_EQ(r.ConsoleLines(), Lines + 1);
  EXPECT_EQ(r.Engine.Console->Lines[Lines], std::string("\0\rhello", 7));
}

TEST(Trigger, RelaysAimingAtEachOtherDoNotRecurseForever) {
  // Two relays, a trigger_multiple and a random relay in loops, and a relay aiming at itself.
  Room r({}, World + EntityBlock({{"classname", "target_relay"}, {"targetname", "a"}, {"target", "b"}}) +
                 EntityBlock({{"classname", "target_relay"}, {"targetname", "b"}, {"target", "a"}}) +
                 EntityBlock({{"classname", "trigger_multiple"}, {"targetname", "c"}, {"target", "d"}, {"wait", "-1"}}) +
                 EntityBlock({{"classname", "target_relay"}, {"targetname", "d"}, {"target", "c"}, {"spawnflags", "4"}}) +
                 EntityBlock({{"classname", "target_relay"}, {"targetname", "s"}, {"target", "s"}}));
  r.Park();
  r.E().GetEntity("a")->Use(&r.PlayerEntity());
  r.E().GetEntity("c")->Use(&r.PlayerEntity());
  r.E().GetEntity("s")->Use(&r.PlayerEntity());
  for (TGameEntity* e : r.E().Items) {
    if (e) {
      EXPECT_FALSE(e->InUseTargets);
    }
  }
  r.Run(10);
}

TEST(Trigger, TargetPushSetsVelocityAndSoundsAtMostEveryOneAndAHalfSeconds) {
  Room r({}, World + EntityBlock({{"classname", "target_push"}, {"angles", "0 -1 0"}, {"spawnflags", "1"}}));
  r.Park();
  auto* Push = r.First<TGameEntityTargetPush>();
  EXPECT_TRUE(Vector3Compare(Push->MoveDirection, Vector3(0, 0, 1000)));
  EXPECT_TRUE(Vector3Compare(Push->Angles, Vector3Origin));
  Push->Use(&r.PlayerEntity());
  EXPECT_TRUE(Vector3Compare(r.Player().Velocity, Vector3(0, 0, 1000)));
  ASSERT_NE(Push->SampleInstance, nullptr);
  EXPECT_EQ(Push->SampleInstance->ToPlay.load(), -1);
  EXPECT_DOUBLE_EQ(Push->RemainTime, 1.5);
  // Its type starts no voice: the request is dropped.
  r.Sounds();
  EXPECT_EQ(Push->SampleInstance->ToPlay.load(), 0);
  EXPECT_FALSE(Push->SampleInstance->Playing());
  r.Run(60);
  Push->Use(&r.PlayerEntity());
  EXPECT_EQ(Push->SampleInstance->ToPlay.load(), 0) << "within 1.5 s";
  r.Run(31);
  Push->Use(&r.PlayerEntity());
  EXPECT_EQ(Push->SampleInstance->ToPlay.load(), -1);
}

TEST(Trigger, JumpPadAndTeleporterOnAGeneratedRoom) {
  // A pad at the floor aiming 256 up and 300 along x; a teleporter to a destination facing 90.
  Room r({{Box(-64, -64, 0, 64, 64, 8), CONTENTS_TRIGGER}, {Box(400, -64, 0, 528, 64, 64), CONTENTS_TRIGGER}},
         World + EntityBlock({{"classname", "trigger_push"}, {"model", "*1"}, {"target", "aim"}}) +
             EntityBlock({{"classname", "target_position"}, {"targetname", "aim"}, {"origin", "300 0 260"}}) +
             EntityBlock({{"classname", "trigger_teleport"}, {"model", "*2"}, {"target", "dest"}}) +
             EntityBlock({{"classname", "misc_teleporter_dest"}, {"targetname", "dest"}, {"origin", "-500 -500 40"},
                    {"angle", "90"}}));
  r.Place(Vector3(0, 0, 30));
  auto* Pad = r.First<TGameEntityTriggerPush>();
  Pad->Touch(&r.PlayerEntity());
  const float t = std::sqrt(256.0f / 400.0f);  // from the pad's centre at z 4
  EXPECT_NEAR(r.Player().Velocity.z, 800.0f * t, 1e-3f);
  EXPECT_NEAR(r.Player().Velocity.x, 300.0f / t, 1e-2f);
  EXPECT_EQ(Pad->SampleInstance->ToPlay.load(), 1) << "the local player hears its own pad unplaced";
  r.Sounds();
  EXPECT_TRUE(Pad->SampleInstance->Playing());
  // One launch per touch: the same pad again does nothing.
  r.Player().Velocity = Vector3Origin;
  Pad->Touch(&r.PlayerEntity());
  EXPECT_TRUE(Vector3Compare(r.Player().Velocity, Vector3Origin));

  r.Place(Vector3(464, 0, 30));
  r.First<TGameEntityTriggerTeleport>()->Touch(&r.PlayerEntity());
  EXPECT_TRUE(Vector3Compare(r.Player().InternalPosition, Vector3(-500, -500, 41)));
  EXPECT_NEAR(r.Player().Angle.Yaw, 3.14159265f / 2, 1e-5f);
  EXPECT_NEAR(r.Player().Velocity.y, 400.0f, 1e-3f);
  EXPECT_NEAR(r.Player().Velocity.x, 0.0f, 1e-3f);
  EXPECT_NEAR(r.Player().Time, 0.16, 1e-9);
}

}  // namespace
