// The player's weapons, animation choice and own sounds, with the content's weapons and sounds
// on the generated movement hall.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>

#include "core/ZNT1Globals.h"
#include "game/Game.h"
#include "game/GameClient.h"
#include "game/GameEntity.h"
#include "game/GameTestSupport.h"
#include "game/GameWeaponCache.h"
#include "sound/ZNT1Sound.h"
#include "support/BSPWriter.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1Model.h"

namespace {

constexpr float Tick = 1.0f / 60.0f;

class GameClientAction : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_CONTENT_DIR();
    if (!Engine) {
      Engine = new gametest::GameEngine({{"maps/move.bsp", bspwriter::MakeMovementFixture().File.Build()}}, true);
      ASSERT_TRUE(Engine->LoadMap("move"));
      Cache = new TGameWeaponCache(Engine);
      Cache->Load();
    }
    Client = std::make_unique<TGameClient>(Engine, Cache, nullptr);
    Client->StepClock = [](void* User) { return *static_cast<int64_t*>(User); };
    Client->StepClockUser = &Now;
  }
  static void TearDownTestSuite() {
    delete Cache;
    delete Engine;
    Cache = nullptr;
    Engine = nullptr;
  }
  // Settles the client on the plain floor.
  void Stand() {
    Client->SetPosition(Vector3(-1200, -200, 25));
    for (int i = 0; i < 10; ++i) Client->Move(Vector3Origin, false, Tick, false, false);
  }
  void Give(int32_t Weapon, int32_t Ammo) {
    Client->HasWeapon[static_cast<size_t>(Weapon)] = 1;
    Client->WeaponAmmo[static_cast<size_t>(Weapon)] = Ammo;
  }
  // Mixes blocks on this thread (the mixing thread is parked) until Done or 200 blocks.
  template <class F>
  void MixUntil(F Done) {
    TZNT1SoundSystem& s = *Engine->SoundSystem;
    for (int i = 0; i < 200 && !Done(); ++i) {
      s.CriticalSection.Enter();
      s.FillBuffer();
      s.CriticalSection.Leave();
    }
  }
  void UpdateSoundLocked(TGameClient& c) {
    Engine->SoundSystem->CriticalSection.Enter();
    c.UpdateSound();
    Engine->SoundSystem->CriticalSection.Leave();
  }

  static inline gametest::GameEngine* Engine = nullptr;
  static inline TGameWeaponCache* Cache = nullptr;
  std::unique_ptr<TGameClient> Client;
  int64_t Now = 1000;
};

TEST_F(GameClientAction, ConstructionHoldsTheGauntletAndFindsTheSamples) {
  ASSERT_EQ(Cache->Count(), 13);
  EXPECT_EQ(Client->WeaponIndex, WP_GAUNTLET);
  EXPECT_EQ(Client->WeaponAmmo[WP_SHOTGUN], 100);
  EXPECT_EQ(Client->WeaponAmmo[WP_GAUNTLET], -1);
  EXPECT_FALSE(Client->HasWeapon[WP_MACHINEGUN]);
  EXPECT_NE(Client->SampleWeaponChange, nullptr) << "change.ogg exists only as .wav";
  EXPECT_EQ(Client->SampleWeaponLowAmmo, nullptr) << "lowammo is missing";
  EXPECT_NE(Client->SampleJump, nullptr);
  for (auto* s : Client->SampleSteps) EXPECT_NE(s, nullptr);
  ASSERT_NE(Client->PlayerModel, nullptr);
  EXPECT_EQ(Client->PlayerModel->WeaponInstance, Client->WeaponCacheWeaponInstances[WP_GAUNTLET]);
  Client->Respawn();
  EXPECT_EQ(Client->WeaponIndex, WP_SHOTGUN);
  EXPECT_EQ(Client->WeaponAmmo[WP_SHOTGUN], 10);
}

TEST_F(GameClientAction, FiringCadenceOneRoundPerShot) {
  const struct {
    int32_t Weapon;
    int Ticks;
  } Cases[] = {{WP_SHOTGUN, 60}, {WP_MACHINEGUN, 6}, {WP_LIGHTNING, 3}, {WP_CHAINGUN, 2}};
  std::printf("\n| fire | expected ticks | measured |\n|---|---|---|\n");
  for (const auto& c : Cases) {
    Give(c.Weapon, 1000);
    Client->SwitchWeapon(c.Weapon);
    Client->WeaponState = WEAPON_READY;
    Client->WeaponTime = 0;
    Client->CommandFlags = gccfATTACK;
    std::vector<int> Shots;
    for (int t = 0; t < 240; ++t) {
      const int32_t Before = Client->WeaponAmmo[static_cast<size_t>(c.Weapon)];
      Client->CheckWeapon(Tick);
      const int32_t Used = Before - Client->WeaponAmmo[static_cast<size_t>(c.Weapon)];
      ASSERT_LE(Used, 1);
      if (Used == 1) Shots.push_back(t);
    }
    ASSERT_GE(Shots.size(), 3u);
    std::printf("| %s | %d | %d |\n", Cache->GetItem(c.Weapon)->WeaponModel.c_str(), c.Ticks, Shots[2] - Shots[1]);
    for (size_t i = 1; i < Shots.size(); ++i) EXPECT_EQ(Shots[i] - Shots[i - 1], c.Ticks) << c.Weapon;
    EXPECT_EQ(1000 - Client->WeaponAmmo[static_cast<size_t>(c.Weapon)], static_cast<int32_t>(Shots.size()));
    Client->CommandFlags = 0;
  }
}

TEST_F(GameClientAction, LowAndNoAmmunitionThenTheGauntlet) {
  Give(WP_SHOTGUN, 5);
  Client->SwitchWeapon(WP_SHOTGUN);
  Client->CommandFlags = gccfATTACK;
  bool LowAt3 = false, NoAt0 = false;
  for (int t = 0; t < 6 * 60 && Client->WeaponIndex == WP_SHOTGUN; ++t) {
    Client->CheckWeapon(Tick);
    const int32_t Ammo = Client->WeaponAmmo[WP_SHOTGUN];
    if (Client->DoPlaySampleWeaponLowAmmo.exchange(0) == -1) LowAt3 = Ammo == 3;
    if (Client->DoPlaySampleWeaponNoAmmo.exchange(0) == -1 && Ammo == 0) NoAt0 = true;
  }
  EXPECT_TRUE(LowAt3);
  EXPECT_TRUE(NoAt0);
  EXPECT_EQ(Client->WeaponAmmo[WP_SHOTGUN], 0);
  EXPECT_EQ(Client->WeaponIndex, WP_GAUNTLET);
  EXPECT_EQ(Client->DoPlaySampleWeaponChange.load(), -1);
}

TEST_F(GameClientAction, SwitchingDropsForPointTwoAndRaisesForPointTwentyFive) {
  // Not owned: nothing.
  Client->SwitchToWeapon(WP_LIGHTNING, true);
  EXPECT_EQ(Client->WeaponState, WEAPON_READY);
  EXPECT_EQ(Client->DoPlaySampleWeaponChange.load(), 0);
  // Shotgun: 12 ticks down, then 15 up.
  Client->SwitchToWeapon(WP_SHOTGUN, true);
  EXPECT_EQ(Client->WeaponState, WEAPON_DROPPING);
  EXPECT_EQ(Client->TorsoAnim, TORSO_DROP);
  EXPECT_EQ(Client->DoPlaySampleWeaponChange.load(), -1);
  Give(WP_MACHINEGUN, 10);
  Client->SwitchToWeapon(WP_MACHINEGUN, true);  // ignored while dropping
  EXPECT_EQ(Client->WeaponToIndex, WP_SHOTGUN);
  int Down = 0, Up = 0;
  while (Client->WeaponState == WEAPON_DROPPING && Down < 100) {
    Client->CheckWeapon(Tick);
    ++Down;
  }
  EXPECT_EQ(Client->WeaponIndex, WP_SHOTGUN);
  EXPECT_EQ(Client->TorsoAnim, TORSO_RAISE);
  while (Client->WeaponState == WEAPON_RAISING && Up < 100) {
    Client->CheckWeapon(Tick);
    ++Up;
  }
  EXPECT_EQ(Down, 12);
  EXPECT_EQ(Up, 15);
  EXPECT_EQ(Client->TorsoAnim, TORSO_STAND);
  // Ignored while firing.
  Client->CommandFlags = gccfATTACK;
  Client->CheckWeapon(Tick);
  EXPECT_EQ(Client->WeaponState, WEAPON_FIRING);
  Client->SwitchToWeapon(WP_MACHINEGUN, true);
  EXPECT_EQ(Client->WeaponState, WEAPON_FIRING);
  Client->CommandFlags = 0;
}

TEST_F(GameClientAction, WheelWrapsOverOwnedWeapons) {
  Give(WP_CHAINGUN, 10);
  // Gauntlet, shotgun, chaingun owned; holding the gauntlet.
  Client->SwitchToNextWeapon(-1, false);
  EXPECT_EQ(Client->WeaponToIndex, WP_CHAINGUN);
  Client->WeaponState = WEAPON_READY;
  Client->SwitchWeapon(WP_CHAINGUN);
  Client->SwitchToNextWeapon(1, false);
  EXPECT_EQ(Client->WeaponToIndex, WP_GAUNTLET);
  Client->WeaponState = WEAPON_READY;
  Client->SwitchWeapon(WP_GAUNTLET);
  Client->SwitchToNextWeapon(1, false);
  EXPECT_EQ(Client->WeaponToIndex, WP_SHOTGUN);
}

TEST_F(GameClientAction, LegsChoiceTable) {
  const struct {
    const char* Name;
    int32_t Ground;  // GroundMapModel
    bool Walking, Ducked, Turn;
    int32_t WaterLevel;
    uint32_t Keys;
    float Speed;
    int32_t Expected;
  } Cases[] = {
      {"air, swimming", -1, false, false, false, 2, 0, 100, LEGS_SWIM},
      {"air, slow", -1, false, false, false, 0, 0, 0, LEGS_IDLE},
      {"air, slow, ducked", -1, false, true, false, 0, 0, 0, LEGS_IDLECR},
      {"ground, turning", 0, true, false, true, 0, 0, 0, LEGS_TURN},
      {"ground, turning ducked", 0, true, true, true, 0, 0, 0, LEGS_WALKCR},
      {"ground, still", 0, true, false, false, 0, 0, 0, LEGS_IDLE},
      {"steep, keys, slow", 0, false, false, false, 0, gccfFORWARD, 0, LEGS_IDLE},
      {"run", 0, true, false, false, 0, gccfFORWARD, 300, LEGS_RUN},
      {"run backwards", 0, true, false, false, 0, gccfBACKWARD, 300, LEGS_BACK},
      {"walk", 0, true, false, false, 0, gccfFORWARD | gccfWALK, 130, LEGS_WALK},
      {"walk backwards", 0, true, false, false, 0, gccfBACKWARD | gccfWALK, 130, LEGS_BACKWALK},
      {"ducked", 0, true, true, false, 0, gccfFORWARD, 80, LEGS_WALKCR},
      {"ducked backwards", 0, true, true, false, 0, gccfBACKWARD, 80, LEGS_BACKCR},
  };
  for (const auto& c : Cases) {
    Client->LegsAnim = -1;
    Client->LegsTimer = -1;
    Client->GroundMapModel = c.Ground;
    Client->Walking = c.Walking;
    Client->Flags = c.Ducked ? gcfDUCKED : 0;
    Client->Turn = c.Turn;
    Client->WaterLevel = c.WaterLevel;
    Client->CommandFlags = c.Keys;
    Client->Velocity = Vector3(c.Speed, 0, 0);
    Client->CheckAnimation();
    EXPECT_EQ(Client->LegsAnim, c.Expected) << c.Name;
  }
  // The view body's legs hold their first frame while running; the drawn body's cycle.
  ASSERT_NE(Client->ViewPlayerModel->LowerInstance, nullptr);
  Client->ForceLegsAnim(LEGS_RUN, false);
  const TZNT1ModelAnimationState& View = Client->ViewPlayerModel->LowerInstance->Animation;
  const TZNT1ModelAnimationState& Body = Client->PlayerModel->LowerInstance->Animation;
  EXPECT_EQ(View.EndFrame, View.StartFrame);
  EXPECT_GT(Body.EndFrame, Body.StartFrame);
}

TEST_F(GameClientAction, TurningInPlacePlaysTurnInSlices) {
  Stand();
  Client->Angle.Yaw = 1.2f;  // past the 60 degrees that move the legs' target
  int Turning = 0;
  for (int t = 0; t < 120; ++t) {
    Client->Move(Vector3Origin, false, Tick, false, false);
    if (Client->Turn) {
      ++Turning;
      EXPECT_EQ(Client->LegsAnim, LEGS_TURN);
      EXPECT_DOUBLE_EQ(Client->LegsTimer, 0.016);
    }
  }
  EXPECT_GT(Turning, 10);
  EXPECT_EQ(Client->LegsAnim, LEGS_IDLE) << "the legs caught up";
  EXPECT_LT(std::fabs(Client->AngleYawLegs - 1.2f), 0.1308997f);
}

TEST_F(GameClientAction, FootstepsEvery250And500MillisecondsDoubledDucked) {
  const struct {
    bool Walk, Duck;
    int Steps;
  } Cases[] = {{false, false, 8}, {true, false, 4}, {false, true, 4}, {true, true, 2}};
  for (const auto& c : Cases) {
    Stand();
    Client->StepNextTime = 0;
    Client->DoPlayWalkSample = 0;
    int Steps = 0;
    for (int t = 0; t < 120; ++t) {
      Now = 100000 + t * 1000 / 60;
      Client->Move(Vector3(0, t % 2 ? 1.0f : -1.0f, 0), false, Tick, c.Walk, c.Duck);
      if (Client->DoPlayWalkSample.exchange(0) != 0) ++Steps;
    }
    EXPECT_EQ(Steps, c.Steps) << c.Walk << c.Duck;
  }
}

TEST_F(GameClientAction, RequestsPlayOnceAndHandlesComeBack) {
  Stand();
  // Two footstep requests before a block: one voice.
  Client->DoPlayWalkSample = StepNormal;
  int32_t Expected = 0;
  EXPECT_FALSE(Client->DoPlayWalkSample.compare_exchange_strong(Expected, StepNormal));
  auto ActiveSteps = [&] {
    int n = 0;
    for (auto* s : Client->SampleSteps)
      for (auto& v : s->Voices) n += v->Active;
    return n;
  };
  UpdateSoundLocked(*Client);
  EXPECT_EQ(ActiveSteps(), 1);
  UpdateSoundLocked(*Client);
  EXPECT_EQ(ActiveSteps(), 1);
  // One jump request per jump, however long the button is held.
  int Requests = 0;
  for (int t = 0; t < 90; ++t) {
    Client->Move(Vector3Origin, true, Tick, false, false);
    if (Client->DoPlaySampleJump.load() == -1) {
      ++Requests;
      UpdateSoundLocked(*Client);
      EXPECT_EQ(Client->DoPlaySampleJump.load(), 0);
    }
  }
  EXPECT_EQ(Requests, 1);
  EXPECT_GE(Client->SampleJumpVoice.load(), 0);
  MixUntil([&] { return Client->SampleJumpVoice.load() < 0; });
  EXPECT_EQ(Client->SampleJumpVoice.load(), -1) << "the handle is back at -1 when the voice ends";
}

// A voice of a shared sample must not outlive its client's handle field: the mixer would write
// -1 into freed memory when the voice ends (the sanitizer pass reports it).
TEST_F(GameClientAction, FreedClientLeavesNoHandleAddressBehind) {
  auto Other = std::make_unique<TGameClient>(Engine, Cache, nullptr);
  ASSERT_EQ(Other->SampleJump, Client->SampleJump);
  TZNT1SoundSample* Jump = Client->SampleJump;
  Engine->SoundSystem->Setup();
  Client->DoPlaySampleJump = -1;
  UpdateSoundLocked(*Client);
  const int32_t Voice = Client->SampleJumpVoice.load();
  ASSERT_GE(Voice, 0);
  Client.reset();
  EXPECT_FALSE(Jump->IsVoicePlaying(Voice));
  EXPECT_EQ(Jump->Voices[static_cast<size_t>(Voice)]->VoiceIndexPointer, nullptr);
  MixUntil([] { return false; });
  // The other owner still plays.
  Other->DoPlaySampleJump = -1;
  UpdateSoundLocked(*Other);
  EXPECT_GE(Other->SampleJumpVoice.load(), 0);
}

// Digits and the wheel through the game's bindings, after "map" has placed and armed the player.
TEST(GameClientBindings, DigitsAndWheelSwitchWeapons) {
  REQUIRE_CONTENT_DIR();
  gametest::GameEngine Engine({{"maps/move.bsp", bspwriter::MakeMovementFixture().File.Build()}}, true);
  TGame& Game = Engine.MakeGame();
  Game.LoadMap("move");
  ASSERT_NE(Game.LocalClientInstance, nullptr);
  TGameClient& c = *Game.LocalClientInstance;
  EXPECT_EQ(c.WeaponIndex, WP_SHOTGUN) << "respawned with the shotgun";
  EXPECT_EQ(Game.LocalClientEntity->Health, 100);
  auto Send = [&](const SDL_Event& e) { Game.ProcessSDLEvent(&e); };
  auto Digit = [&](SDL_Keycode k) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.keysym.sym = k;
    Send(e);
    e.type = SDL_KEYUP;
    Send(e);
  };
  auto Settle = [&] {
    for (int i = 0; i < 40; ++i) Game.Update(1.0 / 60.0);
  };
  Digit(SDLK_2);  // machine gun: not owned
  EXPECT_EQ(c.WeaponState, WEAPON_READY);
  Digit(SDLK_0);
  EXPECT_EQ(c.WeaponToIndex, WP_GAUNTLET);
  EXPECT_EQ(c.DoPlaySampleWeaponChange.load(), -1);
  Settle();
  EXPECT_EQ(c.WeaponIndex, WP_GAUNTLET);
  SDL_Event w{};
  w.type = SDL_MOUSEWHEEL;
  w.wheel.y = -1;
  Send(w);  // down from the gauntlet wraps to the last owned weapon
  Settle();
  EXPECT_EQ(c.WeaponIndex, WP_SHOTGUN);
  w.wheel.y = 1;
  Send(w);
  Settle();
  EXPECT_EQ(c.WeaponIndex, WP_GAUNTLET);
  Game.UnloadMap();
}

// The mixed output (the hook on this thread, the mixing thread parked): silent while the player
// stands, not silent once a jump's sound plays.
TEST(GameClientBindings, OutputSilentStandingAndNotAfterAJump) {
  REQUIRE_CONTENT_DIR();
  gametest::GameEngine Engine({{"maps/move.bsp", bspwriter::MakeMovementFixture().File.Build()}}, true);
  TGame& Game = Engine.MakeGame();
  Game.LoadMap("move");
  ASSERT_NE(Game.LocalClientInstance, nullptr);
  TZNT1SoundSystem& s = *Engine.SoundSystem;
  s.UpdateHook = [&Game] { Game.UpdateSounds(); };
  auto Block = [&] {
    s.CriticalSection.Enter();
    s.FillBuffer();
    s.CriticalSection.Leave();
    int Peak = 0;
    for (size_t i = 0; i + 1 < s.OutputBuffer.size(); i += 2)
      Peak = std::max(Peak, std::abs(static_cast<int>(static_cast<int16_t>(s.OutputBuffer[i] | (s.OutputBuffer[i + 1] << 8)))));
    return Peak;
  };
  int Standing = 0;
  for (int i = 0; i < 60; ++i) {
    Game.Update(1.0 / 60.0);
    if (i % 2) Standing = std::max(Standing, Block());
  }
  EXPECT_EQ(Standing, 0);
  Game.LocalClientInstance->CommandFlags |= gccfJUMP;
  int Jumping = 0;
  for (int i = 0; i < 20; ++i) {
    Game.Update(1.0 / 60.0);
    if (i % 2) Jumping = std::max(Jumping, Block());
  }
  EXPECT_GT(Jumping, 100);
  s.UpdateHook = nullptr;
  Game.UnloadMap();
}

}  // namespace
