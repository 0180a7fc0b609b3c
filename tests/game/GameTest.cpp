// The game object: the map-load sequence, unloading, bindings, mouse look, the clock, the
// sound hook against loads, and every content map.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "GameTestSupport.h"
#include "core/ZNT1Console.h"
#include "game/GameClient.h"
#include "game/GameEntity.h"
#include "renderer/ZNT1Renderer.h"
#include "sound/ZNT1Sound.h"
#include "support/TestData.h"
#include "world/ZNT1BSP.h"

namespace {

using gametest::EntityBlock;
constexpr double Tick = 1.0 / 60.0;

const std::string Lump = EntityBlock({{"classname", "worldspawn"}}) +
                         EntityBlock({{"classname", "info_player_deathmatch"}, {"origin", "-300 0 24.125"}, {"angle", "90"}}) +
                         EntityBlock({{"classname", "info_player_deathmatch"}, {"origin", "300 -300 24.125"}}) +
                         EntityBlock({{"classname", "func_door"}, {"model", "*1"}}) +
                         EntityBlock({{"classname", "info_player_deathmatch"}, {"origin", "0 300 24.125"}, {"angle", "180"}});

SDL_Event Key(uint32_t Type, SDL_Keycode Sym, bool Repeat = false) {
  SDL_Event e{};
  e.type = Type;
  e.key.keysym.sym = Sym;
  e.key.repeat = Repeat ? 1 : 0;
  return e;
}

SDL_Event Button(uint32_t Type, uint8_t Which) {
  SDL_Event e{};
  e.type = Type;
  e.button.button = Which;
  return e;
}

SDL_Event Motion(int32_t x, int32_t y) {
  SDL_Event e{};
  e.type = SDL_MOUSEMOTION;
  e.motion.xrel = x;
  e.motion.yrel = y;
  return e;
}

struct Loaded {
  Loaded() : Engine({gametest::RoomMap(Lump)}), Game(Engine.MakeGame()) {}
  gametest::GameEngine Engine;
  TGame& Game;
};

TEST(Game, LoadMapBuildsEntitiesAndPlacesThePlayer) {
  Loaded l;
  l.Engine.Console->Focus = true;
  l.Engine.FloatTime = 123.0;
  EXPECT_EQ(l.Game.GetTime(), 123.0) << "before a map: the engine's clock";
  l.Game.LoadMap("room");
  ASSERT_TRUE(l.Engine.BSP);
  ASSERT_TRUE(l.Game.GameEntities);
  TGameEntities& e = *l.Game.GameEntities;
  EXPECT_EQ(e.Count(), 64 + 5);
  ASSERT_NE(l.Game.LocalClientEntity, nullptr);
  EXPECT_EQ(e.GetItem(0), l.Game.LocalClientEntity);
  EXPECT_EQ(l.Game.LocalClientInstance, l.Game.LocalClientEntity->Client.get());
  EXPECT_TRUE(l.Game.LocalClientInstance->Local);
  ASSERT_EQ(e.Clients.size(), 1u);
  EXPECT_TRUE(Vector3Compare(l.Game.LocalClientInstance->InternalPosition, Vector3(-300, 0, 24.125f)));
  EXPECT_NEAR(l.Game.LocalClientInstance->Angle.Yaw, 3.14159265f / 2, 1e-6);
  EXPECT_EQ(e.RespawnPositionIndex, 1);
  EXPECT_FALSE(l.Engine.Console->Focus);
  EXPECT_EQ(l.Game.GetTime(), 0.0) << "the entity list's clock restarts";
  const auto First = std::find(l.Engine.Forced.begin(), l.Engine.Forced.end(), 0.525f);
  ASSERT_GE(l.Engine.Forced.end() - First, 7);
  EXPECT_EQ(std::vector<float>(First, First + 7), (std::vector<float>{0.525f, 0.55f, 0.6f, 0.7f, 0.8f, 0.9f, 1.0f}));
  EXPECT_FALSE(l.Engine.Loading) << "the loading screen has ended";
  EXPECT_TRUE(l.Engine.SoundSystem->IsReady.load());
  l.Game.Update(Tick);
  EXPECT_NEAR(l.Game.GetTime(), Tick, 1e-12);
  l.Game.UnloadMap();
  EXPECT_FALSE(l.Game.GameEntities);
  EXPECT_EQ(l.Game.LocalClientEntity, nullptr);
  EXPECT_EQ(l.Game.LocalClientInstance, nullptr);
  EXPECT_FALSE(l.Engine.BSP);
  EXPECT_TRUE(l.Engine.SoundSystem->IsReady.load());
}

TEST(Game, MissingMapLeavesNoEntitiesAndClosesTheConsole) {
  Loaded l;
  l.Game.LoadMap("room");
  ASSERT_TRUE(l.Game.GameEntities);
  l.Engine.Console->Focus = true;
  l.Game.LoadMap("no_such_map");
  EXPECT_FALSE(l.Engine.BSP);
  EXPECT_FALSE(l.Game.GameEntities);
  EXPECT_EQ(l.Game.LocalClientEntity, nullptr);
  EXPECT_FALSE(l.Engine.Console->Focus);
  EXPECT_TRUE(l.Engine.SoundSystem->IsReady.load());
  // Nothing to tick or draw.
  l.Game.Update(Tick);
  l.Game.Draw(0.5f, 0.01f);
  l.Game.UpdateSounds();
  EXPECT_EQ(l.Game.GetTime(), l.Engine.FloatTime);
}

TEST(Game, KeyBindings) {
  Loaded l;
  TGame& g = l.Game;
  // "c" before a load ducks the player that comes with the next map.
  SDL_Event c0 = Key(SDL_KEYDOWN, SDLK_c);
  g.ProcessSDLEvent(&c0);
  EXPECT_TRUE(g.DuckPerC);
  g.LoadMap("room");
  TGameClient& c = *g.LocalClientInstance;
  EXPECT_EQ(c.CommandFlags, 0u) << "a new client starts without input";
  SDL_SetModState(KMOD_NONE);
  g.UpdateInput();
  EXPECT_EQ(c.CommandFlags, gccfDUCK);
  SDL_Event e = Key(SDL_KEYUP, SDLK_c);
  g.ProcessSDLEvent(&e);
  EXPECT_FALSE(g.DuckPerC);
  EXPECT_EQ(c.CommandFlags, 0u);

  struct Case {
    SDL_Keycode Sym;
    uint32_t Flag;
  };
  const Case Cases[] = {{SDLK_w, gccfFORWARD},   {SDLK_UP, gccfFORWARD},      {SDLK_s, gccfBACKWARD},
                        {SDLK_DOWN, gccfBACKWARD}, {SDLK_a, gccfSIDELEFT},   {SDLK_LEFT, gccfSIDELEFT},
                        {SDLK_d, gccfSIDERIGHT}, {SDLK_RIGHT, gccfSIDERIGHT}, {SDLK_SPACE, gccfJUMP},
                        {SDLK_c, gccfDUCK}};
  for (const Case& k : Cases) {
    c.CommandFlags = 0;
    e = Key(SDL_KEYDOWN, k.Sym, true);
    g.ProcessSDLEvent(&e);
    EXPECT_EQ(c.CommandFlags, 0u) << "a repeat is ignored whole: " << k.Sym;
    e = Key(SDL_KEYDOWN, k.Sym);
    g.ProcessSDLEvent(&e);
    EXPECT_EQ(c.CommandFlags, k.Flag) << k.Sym;
    e = Key(SDL_KEYUP, k.Sym);
    g.ProcessSDLEvent(&e);
    EXPECT_EQ(c.CommandFlags, 0u) << k.Sym;
    c.CommandFlags = 0xFF;
    g.ProcessSDLEvent(&e);
    EXPECT_EQ(c.CommandFlags, 0xFFu & ~k.Flag) << "a key-up clears without its key-down: " << k.Sym;
  }
  c.CommandFlags = 0;
  e = Button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT);
  g.ProcessSDLEvent(&e);
  e = Button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_RIGHT);
  g.ProcessSDLEvent(&e);
  EXPECT_EQ(c.CommandFlags, gccfATTACK | gccfJUMP);
  e = Button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT);
  g.ProcessSDLEvent(&e);
  e = Button(SDL_MOUSEBUTTONUP, SDL_BUTTON_RIGHT);
  g.ProcessSDLEvent(&e);
  EXPECT_EQ(c.CommandFlags, 0u);

  // Modifiers: Shift walks, Ctrl ducks, both only through the per-frame refresh.
  SDL_SetModState(static_cast<SDL_Keymod>(KMOD_LSHIFT | KMOD_RCTRL));
  g.UpdateInput();
  EXPECT_EQ(c.CommandFlags, gccfWALK | gccfDUCK);
  SDL_SetModState(KMOD_NONE);
  g.UpdateInput();
  EXPECT_EQ(c.CommandFlags, 0u);

  // "t" toggles the camera, "r" respawns at the next position, "l" and "b" toggle the renderer.
  e = Key(SDL_KEYDOWN, SDLK_t);
  g.ProcessSDLEvent(&e);
  EXPECT_TRUE(c.ThirdPerson);
  g.ProcessSDLEvent(&e);
  EXPECT_FALSE(c.ThirdPerson);
  e = Key(SDL_KEYDOWN, SDLK_r);
  g.ProcessSDLEvent(&e);
  EXPECT_TRUE(Vector3Compare(c.InternalPosition, Vector3(300, -300, 24.125f)));
  g.ProcessSDLEvent(&e);
  EXPECT_TRUE(Vector3Compare(c.InternalPosition, Vector3(0, 300, 24.125f)));
  g.ProcessSDLEvent(&e);
  EXPECT_TRUE(Vector3Compare(c.InternalPosition, Vector3(-300, 0, 24.125f)));
  const bool Wire = l.Engine.Renderer->WireFrame, Bloom = l.Engine.Renderer->BloomEffect;
  e = Key(SDL_KEYDOWN, SDLK_l);
  g.ProcessSDLEvent(&e);
  e = Key(SDL_KEYDOWN, SDLK_b);
  g.ProcessSDLEvent(&e);
  EXPECT_NE(l.Engine.Renderer->WireFrame, Wire);
  EXPECT_NE(l.Engine.Renderer->BloomEffect, Bloom);
  // Digits and the wheel do nothing to the view or input bits.
  for (SDL_Keycode k = SDLK_0; k <= SDLK_9; ++k) {
    e = Key(SDL_KEYDOWN, k);
    g.ProcessSDLEvent(&e);
  }
  EXPECT_EQ(c.CommandFlags, 0u);
  EXPECT_FALSE(g.ProcessSDLEvent(nullptr));
}

TEST(Game, BindingsWithoutAMap) {
  Loaded l;
  TGame& g = l.Game;
  const bool Wire = l.Engine.Renderer->WireFrame;
  for (SDL_Keycode k : {SDLK_w, SDLK_r, SDLK_t, SDLK_SPACE, SDLK_1, SDLK_l}) {
    SDL_Event e = Key(SDL_KEYDOWN, k);
    EXPECT_FALSE(g.ProcessSDLEvent(&e));
    e = Key(SDL_KEYUP, k);
    g.ProcessSDLEvent(&e);
  }
  SDL_Event m = Motion(10, 10);
  g.ProcessSDLEvent(&m);
  g.UpdateInput();
  EXPECT_NE(l.Engine.Renderer->WireFrame, Wire) << "l needs no player";
}

TEST(Game, MouseLookKeepsYawAndPitchInRange) {
  Loaded l;
  l.Game.LoadMap("room");
  TGameClient& c = *l.Game.LocalClientInstance;
  c.Angle = Vector3(0, 0, 0.25f);
  SDL_Event e = Motion(100, 0);
  l.Game.ProcessSDLEvent(&e);
  EXPECT_NEAR(c.Angle.Yaw, 2 * 3.14159265f - 0.25f, 1e-5) << "moving right turns right";
  e = Motion(0, 100);
  l.Game.ProcessSDLEvent(&e);
  EXPECT_NEAR(c.Angle.Pitch, 0.25f, 1e-6) << "moving down raises pitch";
  std::mt19937 Rng(77);
  std::uniform_int_distribution<int32_t> d(-5000, 5000);
  for (int i = 0; i < 20000; ++i) {
    e = Motion(i % 97 == 0 ? 2000000000 : d(Rng), i % 89 == 0 ? -2000000000 : d(Rng));
    l.Game.ProcessSDLEvent(&e);
    ASSERT_GE(c.Angle.Yaw, 0.0f);
    ASSERT_LT(c.Angle.Yaw, 2 * 3.14159265f);
    ASSERT_GE(c.Angle.Pitch, -1.5707964f);
    ASSERT_LE(c.Angle.Pitch, 1.5707964f);
  }
  EXPECT_EQ(c.Angle.Roll, 0.25f);
}

TEST(Game, DrawHandsTheCameraToTheEngine) {
  Loaded l;
  l.Game.LoadMap("room");
  TGameClient& c = *l.Game.LocalClientInstance;
  for (float Yaw : {0.0f, 1.0f, 2.0f, 4.0f})
    for (float Pitch : {-0.4f, 0.0f, 0.3f}) {
      c.Angle = Vector3(Pitch, Yaw, 0);
      l.Game.Update(Tick);
      l.Game.Draw(0.5f, static_cast<float>(Tick));
      const TZNT1Matrix4x4& V = l.Engine.ViewMatrix;
      const TZNT1Vector3 Look = Vector3Norm(Vector3(V.M[0][0], V.M[1][0], V.M[2][0]));
      EXPECT_GT(Vector3Dot(Look, Vector3Norm(c.GetDirection())), std::cos(2.0f * 3.14159265f / 180.0f));
    }
  EXPECT_TRUE(Vector3Compare(l.Engine.Renderer->LightPosition, c.GetPosition(0.5f)));
  EXPECT_FALSE(l.Engine.Renderer->WaterEffect);
}

// The mixer runs the hook over the entity list while maps load and unload: the list it walks is
// never one being freed (the mixer re-tests readiness under the lock).
TEST(Game, SoundHookNeverSeesAFreedEntityList) {
  Loaded l;
  TZNT1SoundSystem& s = *l.Engine.SoundSystem;
  std::atomic<int64_t> Hooks{0};
  s.CriticalSection.Enter();
  s.UpdateHook = [&] {
    l.Game.UpdateSounds();
    if (l.Game.GameEntities)
      for (TGameEntity* x : l.Game.GameEntities->Items)
        if (x) x->Index += 0;  // touches every entity
    ++Hooks;
  };
  s.CriticalSection.Leave();
  s.Thread->Start();
  std::atomic<bool> Stop{false};
  // Stands in for the audio callback: takes the blocks and wakes a parked mixer.
  std::thread Drain([&] {
    std::vector<uint8_t> Sink(static_cast<size_t>(s.OutputBufferSize));
    while (!Stop) {
      TZNT1Engine::AudioFillBuffer(&l.Engine, Sink.data(), static_cast<int32_t>(Sink.size()));
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 200; ++i) {
    l.Game.LoadMap("room");
    ASSERT_TRUE(l.Game.GameEntities);
    // Give the mixer room to run the hook over the new list.
    const int64_t Seen = Hooks.load();
    for (int w = 0; w < 20000 && Hooks.load() == Seen; ++w) std::this_thread::sleep_for(std::chrono::microseconds(100));
    l.Game.Update(Tick);
    if (i % 2) l.Game.UnloadMap();
  }
  l.Game.UnloadMap();
  Stop = true;
  Drain.join();
  s.CriticalSection.Enter();
  s.UpdateHook = nullptr;
  s.CriticalSection.Leave();
  EXPECT_GE(Hooks.load(), 200);
}

TEST(GameContent, EngineFreedWithAMapAndPlayerStillLoaded) {
  REQUIRE_CONTENT_DIR();
  auto Engine = std::make_unique<gametest::GameEngine>(gametest::Files{gametest::RoomMap(Lump)}, true);
  TGame& g = Engine->MakeGame();
  g.LoadMap("room");
  ASSERT_NE(g.LocalClientInstance, nullptr);
  ASSERT_NE(g.LocalClientInstance->PlayerModel->LowerInstance, nullptr);
  Engine.reset();  // the game and its bodies go before the models they use
}

TEST(GameContent, EveryMapLoadsIntoEntitiesAndAPlayer) {
  REQUIRE_CONTENT_DIR();
  gametest::GameEngine Engine({}, true);
  TGame& g = Engine.MakeGame();
  // The sanitizer's sample of the stock maps stays the same whatever else the folder holds.
  std::set<std::string> Stock;
  const std::vector<std::string> Names = testdata::MapNamesStockFirst(*Engine.Archives, Stock);
  EXPECT_EQ(Stock.size(), 72u);
  const size_t Every = testdata::Sanitizing ? 12 : 1;
  double LargestLoad = 0.0;
  std::string Largest;
  int32_t LargestCount = 0;
  for (size_t n = 0; n < Names.size(); ++n) {
    if ((n < Stock.size() ? n : n - Stock.size()) % Every) continue;
    const std::string& Name = Names[n];
    SCOPED_TRACE(Name);
    Engine.Console->Focus = true;
    const auto Start = std::chrono::steady_clock::now();
    g.LoadMap(Name);
    ASSERT_TRUE(Engine.BSP);
    ASSERT_TRUE(g.GameEntities);
    TGameEntities& e = *g.GameEntities;
    const TZNT1Entities& Map = *Engine.BSP->Entities;
    int32_t Children = 0;
    for (TGameEntity* x : e.Items)
      if (x && x->EntityType == ET_MODEL) ++Children;
    EXPECT_EQ(e.Count(), 64 + Map.Count() + Children);
    ASSERT_NE(g.LocalClientEntity, nullptr);
    EXPECT_EQ(g.LocalClientEntity->Index, 0);
    if (!e.RespawnPositions.empty()) {
      EXPECT_TRUE(Vector3Compare(g.LocalClientInstance->InternalPosition, e.RespawnPositions[0].Origin));
      EXPECT_NEAR(g.LocalClientInstance->Angle.Yaw, e.RespawnPositions[0].Angle * 3.14159265f / 180.0f, 1e-5);
    }
    EXPECT_FALSE(Engine.Console->Focus);
    EXPECT_EQ(g.GetTime(), 0.0);
    if (Map.Count() > LargestCount) {
      LargestCount = Map.Count();
      Largest = Name;
      LargestLoad = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    }
    for (int t = 0; t < 3; ++t) {
      g.Update(Tick);
      g.Draw(0.5f, static_cast<float>(Tick));
    }
    g.UnloadMap();
    EXPECT_FALSE(g.GameEntities);
  }
  std::printf("largest entity list: %s, %d entities, map and entities loaded in %.3f s\n", Largest.c_str(),
              LargestCount, LargestLoad);
}

}  // namespace
