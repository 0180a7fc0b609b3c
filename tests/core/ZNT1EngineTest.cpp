#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <thread>
#include <vector>

#include "core/ZNT1Engine.h"
#include "assets/ZNT1Texture.h"
#include "core/ZNT1Globals.h"
#include "sound/ZNT1Sound.h"
#include "world/ZNT1BSP.h"

namespace {

// Records what the engine hands to the game.
class RecordingGame : public TZNT1Game {
 public:
  using TZNT1Game::TZNT1Game;
  void Reset() override { ++resets; }
  bool ProcessSDLEvent(const SDL_Event* e) override {
    received.push_back(e->type);
    return true;
  }
  void Update(double) override {
    ++updates;
    clock += 1.0 / 60.0;
  }
  double GetTime() override { return clock; }

  int resets = 0;
  int updates = 0;
  double clock = 0.0;
  std::vector<uint32_t> received;
};

struct EngineFixture : ::testing::Test {
  void SetUp() override {
    engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<RecordingGame>, false);
    engine->Game = engine->GameClass(engine.get());
    game = static_cast<RecordingGame*>(engine->Game.get());
  }

  void Key(SDL_Keycode sym, uint16_t mod = 0, uint8_t repeat = 0) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.keysym.sym = sym;
    e.key.keysym.mod = mod;
    e.key.repeat = repeat;
    engine->SystemEventManager->EnqueueSDLEvent(e, 0);
  }
  void Text(const char* s) {
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    std::snprintf(e.text.text, sizeof e.text.text, "%s", s);
    engine->SystemEventManager->EnqueueSDLEvent(e, 0);
  }
  void Frame() {
    engine->SystemEventManager->Enqueue(zsetNONE, 0);
    engine->EventLoop();
  }

  std::unique_ptr<TZNT1Engine> engine;
  RecordingGame* game = nullptr;
};

}  // namespace

TEST_F(EngineFixture, CreationState) {
  EXPECT_EQ(game->resets, 1);  // the game's own Reset runs once on creation
  ASSERT_TRUE(engine->ConsoleVariables && engine->SystemEventManager && engine->Console && engine->Command &&
              engine->HighResolutionTimer && engine->Log && engine->Archives);
  EXPECT_FALSE(engine->GLCapabilities || engine->Textures || engine->GLSLShaders || engine->LightMaps ||
               engine->Shaders || engine->Models || engine->BSP || engine->Renderer || engine->SoundSystem ||
               engine->SpriteBatch);
  EXPECT_EQ(engine->cvComDedicated->ContentString, "0");
  EXPECT_EQ(engine->cvComDedicated->Flags, CVAR_LATCH);
  EXPECT_FALSE(engine->cvComDedicated->Validate);
  EXPECT_EQ(engine->cvVideoWidth->ContentString, "1280");
  EXPECT_EQ(engine->cvVideoHeight->ContentString, "720");
  EXPECT_EQ(engine->cvVideoFullScreen->ContentString, "0");
  for (TZNT1ConsoleVariable* v : {engine->cvVideoWidth, engine->cvVideoHeight, engine->cvVideoFullScreen}) {
    EXPECT_TRUE(v->Validate && v->Integral);
    EXPECT_FALSE(v->Modified);
    EXPECT_EQ(v->Flags, CVAR_ARCHIVE);
  }
  EXPECT_EQ(engine->FogTable[0], 0.0f);
  EXPECT_EQ(engine->FogTable[255], 1.0f);
  EXPECT_NEAR(engine->FogTable[64], 0.501f, 0.0005f);
  EXPECT_NEAR(engine->ProjectionMatrix.M[0][0], 2.41421f, 1e-4f);
  EXPECT_NEAR(engine->ProjectionMatrix.M[2][2], -4097.0f / 4095.0f, 1e-6f);
  EXPECT_EQ(engine->CanvasWidth, 1280);
  EXPECT_EQ(engine->CanvasHeight, 800);
  EXPECT_EQ(engine->ViewPortRight, 800);
  EXPECT_EQ(engine->ViewPortBottom, 600);
}

TEST(Engine, DedicatedInitCreatesLibrariesWithoutPlatform) {
  TZNT1Engine engine(&CreateGameOfClass<TZNT1Game>, true);
  EXPECT_EQ(engine.cvComDedicated->ContentString, "1");
  EXPECT_EQ(engine.cvComDedicated->Flags, CVAR_INIT);
  ASSERT_TRUE(engine.Init());
  EXPECT_EQ(engine.SDLSurfaceWindow, nullptr);
  EXPECT_EQ(engine.SDLSurfaceContext, nullptr);
  EXPECT_TRUE(engine.GLCapabilities && engine.Textures && engine.GLSLShaders && engine.LightMaps &&
              engine.Shaders && engine.Models && engine.Renderer && engine.SpriteBatch && engine.SoundSystem);
  EXPECT_EQ(engine.BSP, nullptr);
  EXPECT_EQ(engine.SoundSystem->SpatializationMode, SPATIALIZATION_PSEUDO);
  EXPECT_EQ(engine.SDLWaveFormat.freq, 44100);
  EXPECT_EQ(engine.SDLWaveFormat.samples, 1024);
  EXPECT_EQ(engine.SDLWaveFormat.size, 4096u);
  EXPECT_GE(engine.Console->Lines.Count(), 8);
  EXPECT_EQ(engine.Console->Lines[2].substr(0, 2), std::string("\0\x0e", 2));
  EXPECT_TRUE(engine.Done());
  EXPECT_EQ(engine.SoundSystem, nullptr);
}

TEST_F(EngineFixture, FixedStepClock) {
  TZNT1HighResolutionTimer& t = *engine->HighResolutionTimer;
  struct Case {
    double seconds;
    int updates;
    double interpolation;
  } cases[] = {{0.05, 3, 0.0}, {0.01, 0, 0.6}, {2.0, 15, 0.0}};
  for (const Case& c : cases) {
    engine->ResetTime();
    game->updates = 0;
    engine->AdvanceGameTime(engine->ClampFrameTime(t.FromFloatSeconds(c.seconds)));
    EXPECT_EQ(game->updates, c.updates) << c.seconds;
    EXPECT_NEAR(engine->GameTimeInterpolation, c.interpolation, 1e-6) << c.seconds;
    EXPECT_GE(engine->GameTimeResidual, 0.0);
    EXPECT_LT(engine->GameTimeResidual, engine->GameTimeStep);
    EXPECT_NEAR(engine->GameTime, c.updates / 60.0, 1e-9);
  }
  // The residual carries over: six frames of 0.01 s give three updates.
  engine->ResetTime();
  game->updates = 0;
  for (int i = 0; i < 6; ++i) engine->AdvanceGameTime(t.FromFloatSeconds(0.01));
  EXPECT_EQ(game->updates, 3);
  // A negative jump also counts as at most a quarter second.
  EXPECT_EQ(engine->ClampFrameTime(-t.FromFloatSeconds(3.0)), t.QuarterSecondInterval);
}

TEST_F(EngineFixture, InGameTimeInterpolatesBetweenUpdates) {
  engine->ResetTime();
  game->clock = 10.0;
  engine->AdvanceGameTime(engine->HighResolutionTimer->FromFloatSeconds(1.5 / 60.0));
  // One update moved the game clock from 10 to 10 + 1/60; half a step remains.
  EXPECT_NEAR(engine->GameTimeInterpolation, 0.5, 1e-6);
  EXPECT_NEAR(engine->InGameTime, 10.0 + 0.5 / 60.0, 1e-9);
}

TEST_F(EngineFixture, ConsoleKeysToggleFocusAndNeverReachInputOrGame) {
  for (SDL_Keycode k : {SDLK_CARET, SDLK_BACKQUOTE, SDLK_F8}) {
    engine->Console->Focus = false;
    Key(k);
    Text(k == SDLK_F8 ? "" : (k == SDLK_CARET ? "^" : "`"));
    Frame();
    EXPECT_TRUE(engine->Console->Focus) << k;
    EXPECT_EQ(engine->Console->Line, "") << k;
    EXPECT_TRUE(game->received.empty()) << k;
  }
  Key(SDLK_F8, 0, 1);  // repeats toggle too
  Frame();
  EXPECT_FALSE(engine->Console->Focus);
}

TEST_F(EngineFixture, InputRoutingFollowsConsoleFocus) {
  SDL_Event motion{};
  motion.type = SDL_MOUSEMOTION;
  engine->Console->Focus = true;
  engine->SystemEventManager->EnqueueSDLEvent(motion, 0);
  Text("a");
  Text("ab");  // more than one character: ignored
  Text("_");
  Text("\x7f");
  Key(SDLK_x);
  Frame();
  EXPECT_TRUE(game->received.empty());  // with the console open the game sees nothing
  EXPECT_EQ(engine->Console->Line, "a_\x7f");

  engine->Console->Focus = false;
  engine->SystemEventManager->EnqueueSDLEvent(motion, 0);
  Text("a");
  Key(SDLK_x);
  Frame();
  EXPECT_EQ(game->received, (std::vector<uint32_t>{SDL_MOUSEMOTION, SDL_TEXTINPUT, SDL_KEYDOWN}));
  EXPECT_EQ(engine->Console->Line, "a_\x7f");
}

TEST_F(EngineFixture, AltKeysQuitAndFullScreen) {
  Key(SDLK_RETURN, KMOD_LALT);
  Key(SDLK_RETURN, KMOD_LALT, 1);  // holding it does not toggle again
  Frame();
  EXPECT_EQ(engine->cvVideoFullScreen->IntegerValue, 1);
  EXPECT_TRUE(engine->cvVideoFullScreen->Modified);
  EXPECT_EQ(game->received.size(), 2u);  // the game still sees them
  EXPECT_FALSE(engine->Quit);
  Key(SDLK_F4, KMOD_RALT);
  Frame();
  EXPECT_TRUE(engine->Quit);
}

TEST_F(EngineFixture, WindowEventsAndQuitStayWithTheEngine) {
  SDL_Event e{};
  e.type = SDL_WINDOWEVENT;
  e.window.event = SDL_WINDOWEVENT_RESIZED;
  e.window.data1 = 640;
  e.window.data2 = 480;
  engine->SystemEventManager->EnqueueSDLEvent(e, 0);
  e.window.event = SDL_WINDOWEVENT_FOCUS_LOST;
  engine->SystemEventManager->EnqueueSDLEvent(e, 0);
  Frame();
  EXPECT_EQ(engine->CanvasWidth, 640);
  EXPECT_EQ(engine->CanvasHeight, 480);
  EXPECT_EQ(engine->cvVideoWidth->IntegerValue, 1280);  // the variables keep their values
  EXPECT_FALSE(engine->SDLSurfaceWindowFocused);
  e = SDL_Event{};
  e.type = SDL_QUIT;
  engine->SystemEventManager->EnqueueSDLEvent(e, 0);
  Frame();
  EXPECT_TRUE(engine->Quit);
  EXPECT_TRUE(game->received.empty());
}

TEST_F(EngineFixture, CommittedLineRunsInTheNextFrame) {
  engine->Console->Focus = true;
  engine->Console->Line = "echo hi";
  engine->SystemEventManager->Enqueue(zsetNONE, 5);  // a stale marker must not matter
  engine->EventLoop();
  Key(SDLK_RETURN);
  engine->SystemEventManager->Enqueue(zsetNONE, 7);
  EXPECT_EQ(engine->EventLoop(), 7);  // the marker's stamp is the frame time
  EXPECT_EQ(engine->Command->CommandBuffer, "");
  engine->SystemEventManager->Enqueue(zsetNONE, 9);
  engine->EventLoop();
  EXPECT_EQ(engine->Command->CommandBuffer, "echo hi\n");
}

TEST(Engine, AudioCallbackSilenceAndWakeUp) {
  std::vector<uint8_t> stream(4096, 0xAA);
  // No sound system: silence at once.
  TZNT1Engine::AudioFillBuffer(nullptr, stream.data(), 4096);
  EXPECT_EQ(stream, std::vector<uint8_t>(4096, 0));

  TZNT1Engine engine(&CreateGameOfClass<TZNT1Game>, true);
  engine.SoundSystem = std::make_unique<TZNT1SoundSystem>(&engine, 44100, 2, 16, 1024);
  TZNT1SoundSystem& s = *engine.SoundSystem;
  // Stop mixing and wait until the thread parks on its event.
  s.Lock();
  for (int i = 0; i < 2000 && InterlockedCompareExchange(s.Thread->Sleeping, -1, -1) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(InterlockedCompareExchange(s.Thread->Sleeping, -1, -1), -1);
  std::atomic<int> hooks{0};
  s.UpdateHook = [&] { ++hooks; };
  while (s.RingBuffer->Used() > 0) {
    uint8_t drain[256];
    s.RingBuffer->Read(drain, sizeof drain);
  }
  // Ready again but still parked: the callback finds the ring buffer short and wakes the mixer.
  s.Unlock();
  std::fill(stream.begin(), stream.end(), 0xAA);
  auto fill = std::async(std::launch::async, [&] { TZNT1Engine::AudioFillBuffer(&engine, stream.data(), 4096); });
  if (fill.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    s.Lock();  // ends the callback's wait, so that the test fails instead of hanging
    fill.wait();
    FAIL() << "the callback did not wake the mixer";
  }
  EXPECT_GE(hooks.load(), 1);
  EXPECT_EQ(stream, std::vector<uint8_t>(4096, 0));  // mixed silence through the ring buffer

  // Locked: no mixing, the callback plays silence without waiting.
  s.Lock();
  std::fill(stream.begin(), stream.end(), 0xAA);
  TZNT1Engine::AudioFillBuffer(&engine, stream.data(), 4096);
  EXPECT_EQ(stream, std::vector<uint8_t>(4096, 0));
  s.Unlock();

  // The mixer thread gone: silence.
  s.Thread.reset();
  std::fill(stream.begin(), stream.end(), 0xAA);
  TZNT1Engine::AudioFillBuffer(&engine, stream.data(), 4096);
  EXPECT_EQ(stream, std::vector<uint8_t>(4096, 0));
}

namespace {

// A dedicated run in which the mixer is busy mixing while the game is created, as it is when a
// real audio device drains the ring buffer: the hook must be handed over without a race.
class SoundProbeGame : public TZNT1Game {
 public:
  using TZNT1Game::TZNT1Game;
  void Reset() override {
    // The audio callback's part: it wakes a parked mixer and takes every block.
    drain = std::thread([e = Engine] {
      uint8_t block[4096];
      while (!stopDrain.load()) TZNT1Engine::AudioFillBuffer(e, block, sizeof block);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  void UpdateInput() override {
    // Ends the run once the mixer has called the hook, or after five seconds at the latest.
    if (soundUpdates.load() > 0 || ++frames > 1000) {
      stopDrain.store(true);
      Engine->SoundSystem->Lock();  // a callback still waiting for a block returns silence now
      if (drain.joinable()) drain.join();
      Engine->Quit = true;
    }
  }
  void UpdateSounds() override { ++soundUpdates; }
  ~SoundProbeGame() override {
    stopDrain.store(true);
    if (drain.joinable()) drain.join();
  }

  std::thread drain;
  int frames = 0;
  static inline std::atomic<bool> stopDrain{false};
  static inline std::atomic<int> soundUpdates{0};
};

}  // namespace

TEST(Engine, DedicatedRunHandsTheGamesUpdateSoundsToTheMixer) {
  TZNT1Engine engine(&CreateGameOfClass<SoundProbeGame>, true);
  ASSERT_TRUE(engine.Run());
  EXPECT_GT(SoundProbeGame::soundUpdates.load(), 0);
  EXPECT_EQ(engine.Game, nullptr);
  EXPECT_EQ(engine.SoundSystem, nullptr);
}

namespace {

// Hands every SDL event it gets on to the queue again, as a game driving the console might.
class RequeueingGame : public TZNT1Game {
 public:
  using TZNT1Game::TZNT1Game;
  bool ProcessSDLEvent(const SDL_Event* e) override {
    SDL_Event motion{};
    motion.type = SDL_MOUSEMOTION;
    Engine->SystemEventManager->EnqueueSDLEvent(motion, 99);
    seenType = e->type;  // read after queuing: the queue may have reused the dispatched record
    seenKey = e->key.keysym.sym;
    return true;
  }
  uint32_t seenType = 0;
  SDL_Keycode seenKey = 0;
};

}  // namespace

TEST(Engine, EventsAreDispatchedFromACopyOfTheirRecord) {
  TZNT1Engine engine(&CreateGameOfClass<RequeueingGame>, false);
  engine.Game = engine.GameClass(&engine);
  auto* game = static_cast<RequeueingGame*>(engine.Game.get());
  SDL_Event key{};
  key.type = SDL_KEYDOWN;
  key.key.keysym.sym = SDLK_a;
  engine.SystemEventManager->EnqueueSDLEvent(key, 1);
  engine.SystemEventManager->Enqueue(zsetNONE, 2);
  EXPECT_EQ(engine.EventLoop(), 2);
  EXPECT_EQ(game->seenType, uint32_t(SDL_KEYDOWN));
  EXPECT_EQ(game->seenKey, SDLK_a);
  // The event queued during dispatch waits behind the marker for the next frame.
  TZNT1SystemEvent* next = engine.SystemEventManager->QueueList.First;
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->SDLEvent.type, uint32_t(SDL_MOUSEMOTION));
  EXPECT_EQ(next->Next, nullptr);
}

namespace {

// Notes which engine objects still exist when the map is freed by the engine's destructor.
struct DestructionProbe {
  bool ran = false, laterFreedFirst = false, earlierStillThere = false, levelShotReleased = false;
};

class ProbeBSP : public TZNT1BSP {
 public:
  ProbeBSP(TZNT1Engine* AEngine, DestructionProbe* AProbe, TZNT1Texture* AHeld, int32_t AReferences)
      : TZNT1BSP(AEngine), probe(AProbe), held(AHeld), references(AReferences) {}
  ~ProbeBSP() override {
    TZNT1Engine& e = *Engine;
    probe->ran = true;
    probe->laterFreedFirst = !e.Console && !e.SoundSystem && !e.Renderer && !e.SpriteBatch;
    probe->earlierStillThere = e.Models && e.Shaders && e.LightMaps && e.GLSLShaders && e.Textures && e.Archives &&
                               e.Log && e.GLCapabilities && e.HighResolutionTimer && e.Command &&
                               e.SystemEventManager && e.ConsoleVariables;
    probe->levelShotReleased = !e.LevelShotTexture && held->ReferenceCounter == references;
  }
  DestructionProbe* probe;
  TZNT1Texture* held;
  int32_t references;
};

}  // namespace

TEST(Engine, DestructionOrder) {
  DestructionProbe probe;
  {
    TZNT1Engine engine(&CreateGameOfClass<TZNT1Game>, true);
    ASSERT_TRUE(engine.Init());
    TZNT1Texture* held = engine.Textures->WhiteTexture;
    ASSERT_NE(held, nullptr);
    const int32_t references = held->ReferenceCounter;
    held->IncRef();
    engine.LevelShotTexture = held;  // as while a map loads
    engine.BSP = std::make_unique<ProbeBSP>(&engine, &probe, held, references);
  }
  ASSERT_TRUE(probe.ran);
  EXPECT_TRUE(probe.laterFreedFirst);    // console, sound system, renderer, sprite batch go before the map
  EXPECT_TRUE(probe.earlierStillThere);  // the libraries and the core services go after it
  EXPECT_TRUE(probe.levelShotReleased);  // the level shot is released first, its texture kept
}

TEST(Engine, InitFailsWithTheSDLErrorWhenNoOpenGLWindowCanBeMade) {
  // SDL's dummy video driver, asked for explicitly, starts but has no OpenGL windows.
  const char* old = std::getenv("SDL_VIDEODRIVER");
  const std::string saved = old ? old : "";
  setenv("SDL_VIDEODRIVER", "dummy", 1);
  {
    TZNT1Engine engine(&CreateGameOfClass<TZNT1Game>, false);
    EXPECT_FALSE(engine.Init());
    EXPECT_EQ(engine.InitError.rfind("Could not create the window : ", 0), 0u) << engine.InitError;
    EXPECT_GT(engine.InitError.size(), std::string("Could not create the window : ").size());
    EXPECT_EQ(engine.SDLSurfaceWindow, nullptr);
    EXPECT_EQ(engine.SDLSurfaceContext, nullptr);
    EXPECT_EQ(engine.Textures, nullptr);  // nothing further was created
    EXPECT_EQ(engine.SoundSystem, nullptr);
  }
  if (old)
    setenv("SDL_VIDEODRIVER", saved.c_str(), 1);
  else
    unsetenv("SDL_VIDEODRIVER");
}

TEST(Engine, LoadProgressOnlyWhileLoadingAndAtMostFourTimesASecond) {
  TZNT1Engine dedicated(&CreateGameOfClass<TZNT1Game>, true);
  dedicated.Loading = true;
  dedicated.ShowLoadProgress(true, 0.5f);
  EXPECT_EQ(dedicated.LastProgress, 0.0f);  // a dedicated engine stores nothing

  TZNT1Engine engine(&CreateGameOfClass<TZNT1Game>, false);
  engine.ShowLoadProgress(true, 0.5f);
  EXPECT_EQ(engine.LastProgress, 0.0f);  // outside a load: nothing, not even the progress
  EXPECT_EQ(engine.LastProgressTime, 0);

  engine.Loading = true;
  engine.ShowLoadProgress(true, 0.25f);
  const int64_t drawn = engine.LastProgressTime;
  EXPECT_EQ(engine.LastProgress, 0.25f);
  EXPECT_NE(drawn, 0);
  engine.ShowLoadProgress(false, 0.5f);  // a keep-alive right after: stored, not drawn
  EXPECT_EQ(engine.LastProgress, 0.5f);
  EXPECT_EQ(engine.LastProgressTime, drawn);
  engine.LastProgressTime -= engine.HighResolutionTimer->QuarterSecondInterval + 1;
  engine.ShowLoadProgress(false, 0.5f);  // a quarter second later it draws again
  EXPECT_GE(engine.LastProgressTime, drawn);
  engine.LastProgressTime = engine.HighResolutionTimer->GetTime() + 12345;  // as if drawn just now
  engine.ShowLoadProgress(true, 0.75f);  // forced: always
  EXPECT_LT(engine.LastProgressTime, engine.HighResolutionTimer->GetTime() + 12345);
  EXPECT_EQ(engine.LastProgress, 0.75f);
}
