// The scripted run through the engine's own loop on pul1duel-oa: "map" typed into the console, the
// player placed and walked with pushed keys onto a jump pad, into a teleporter and onto an item
// (collected, hidden, back after its wait), screenshots written, "quit" typed.
//
// Every step is driven by the game's state, seen once per tick from the game's Update: the script
// pushes a key, waits for its effect, then lets go. Frames carry a varying number of ticks on a
// loaded machine, so nothing here counts frames or wall-clock time; each step has an upper bound
// in ticks, past which it records why and pushes SDL_QUIT, so the run fails instead of hanging.
#include <gtest/gtest.h>
#include <png.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/ZNT1Console.h"
#include "core/ZNT1Engine.h"
#include "game/Game.h"
#include "game/GameClient.h"
#include "game/GameEntity.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "platform/ZNT1OpenGL.h"
#include "support/EngineRunFixture.h"
#include "support/TestData.h"
#include "world/ZNT1BSP.h"

namespace {

constexpr float TickSeconds = 1.0f / 60.0f;
constexpr float ApproachDistance = 96.0f;
// The picked item's wait, shortened from the map's 20 s to keep the run to seconds.
constexpr float ItemWait = 1.0f;

void PushKey(SDL_Keycode Key, bool Down) {
  SDL_Event e{};
  e.type = Down ? SDL_KEYDOWN : SDL_KEYUP;
  e.key.state = Down ? SDL_PRESSED : SDL_RELEASED;
  e.key.keysym.sym = Key;
  SDL_PushEvent(&e);
}

void PushQuit() {
  SDL_Event e{};
  e.type = SDL_QUIT;
  SDL_PushEvent(&e);
}

// Opens the console unless open, then types Line and Enter.
void TypeCommand(TZNT1Engine& Engine, const std::string& Line) {
  if (!Engine.Console->Focus) PushKey(SDLK_F8, true);
  for (const char c : Line) {
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    e.text.text[0] = c;
    SDL_PushEvent(&e);
  }
  PushKey(SDLK_RETURN, true);
}

// The window's back buffer as an RGB PNG; fails the test when it shows mostly black.
void WriteScreenshot(int W, int H, const std::string& Path) {
  std::vector<uint8_t> Pixels(size_t(W) * size_t(H) * 3);
  GLint ReadFrameBuffer = 0;
  glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &ReadFrameBuffer);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
  glReadBuffer(GL_BACK);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, W, H, GL_RGB, GL_UNSIGNED_BYTE, Pixels.data());
  glBindFramebuffer(GL_READ_FRAMEBUFFER, GLuint(ReadFrameBuffer));
  png_image Image{};
  Image.version = PNG_IMAGE_VERSION;
  Image.width = png_uint_32(W);
  Image.height = png_uint_32(H);
  Image.format = PNG_FORMAT_RGB;
  // A negative stride writes the bottom-up rows top row first.
  const bool Written = png_image_write_to_file(&Image, Path.c_str(), 0, Pixels.data(), -(W * 3), nullptr) != 0;
  if (!Written) ADD_FAILURE() << "could not write " << Path << ": " << Image.message;
  size_t Lit = 0;
  for (size_t i = 0; i < Pixels.size(); i += 3) Lit += (Pixels[i] | Pixels[i + 1] | Pixels[i + 2]) != 0;
  std::printf("screenshot %s: %.0f%% lit\n", Path.c_str(), 100.0 * double(Lit) / double(W * H));
  EXPECT_GT(Lit, size_t(W * H) / 4) << Path << " shows the map";
}

TZNT1Vector3 Centre(const TZNT1AABB& b) { return Vector3Avg(b.Min, b.Max); }

bool Overlaps(const TZNT1AABB& a, const TZNT1AABB& b) {
  return a.Min.x <= b.Max.x && a.Max.x >= b.Min.x && a.Min.y <= b.Max.y && a.Max.y >= b.Min.y && a.Min.z <= b.Max.z &&
         a.Max.z >= b.Min.z;
}

// Where the player starts a straight walk onto a goal, facing it.
struct TApproach {
  TZNT1Vector3 Start{};
  float Yaw = 0.0f;
};

// The player's box swept from From to To against the map.
TZNT1BSPCollisionTrace Sweep(TGameClient& c, const TZNT1Vector3& From, const TZNT1Vector3& To) {
  TZNT1BSPCollisionTrace t;
  c.DoTrace(From, To, 1, t);
  return t;
}

// Where the player's box comes to rest dropped from p; false when it starts in the map or finds
// no floor within Depth.
bool Floor(TGameClient& c, const TZNT1Vector3& p, float Depth, TZNT1Vector3& Standing) {
  const TZNT1BSPCollisionTrace t = Sweep(c, p, Vector3Sub(p, Vector3(0, 0, Depth)));
  if (t.StartSolid || t.AllSolid || t.Fraction >= 1.0f) return false;
  Standing = t.EndPos;
  return true;
}

// The player's box standing at p.
TZNT1AABB PlayerBox(const TGameClient& c, const TZNT1Vector3& p) {
  TZNT1AABB b;
  b.Min = Vector3Add(p, c.Mins);
  b.Max = Vector3Add(p, c.Maxs);
  return b;
}

bool OverlapsAcross(const TZNT1AABB& a, const TZNT1AABB& b) {
  return a.Min.x <= b.Max.x && a.Max.x >= b.Min.x && a.Min.y <= b.Max.y && a.Max.y >= b.Min.y;
}

// A spot ApproachDistance from the goal box, on a floor within a step of the goal's, whose straight
// walk meets no wall and no hole before the player's box reaches across the goal box; the first
// of 16 directions that has one.
bool FindApproach(TGameClient& c, const TZNT1AABB& Goal, TApproach& Result) {
  // Standing in the goal: dropped from the lowest free height over its middle.
  TZNT1Vector3 Target;
  bool Found = false;
  for (float z = Goal.Min.z + 40.0f; z <= Goal.Max.z + 40.0f && !Found; z += 8.0f)
    Found = Floor(c, Vector3(Centre(Goal).x, Centre(Goal).y, z), 512.0f, Target);
  if (!Found || !Overlaps(PlayerBox(c, Target), Goal)) return false;
  const TZNT1Vector3 Step = Vector3(0, 0, q3movement_stepsize);
  for (int k = 0; k < 16; ++k) {
    const float a = float(k) * 3.14159265f / 8.0f;
    const TZNT1Vector3 Back = Vector3ScalarMul(Vector3(-std::cos(a), -std::sin(a), 0.0f), ApproachDistance);
    TZNT1Vector3 Start;
    if (!Floor(c, Vector3Add(Vector3Add(Target, Back), Step), 64.0f, Start) ||
        std::fabs(Start.z - Target.z) > q3movement_stepsize)
      continue;
    // A step's height up, so steps pass; short of the goal's middle when a wall stands behind it.
    const TZNT1BSPCollisionTrace Walk =
        Sweep(c, Vector3Add(Start, Step), Vector3(Target.x, Target.y, Start.z + q3movement_stepsize));
    if (Walk.StartSolid || !OverlapsAcross(PlayerBox(c, Walk.EndPos), Goal)) continue;
    bool Ground = true;
    for (int i = 1; i < 8 && Ground; ++i) {
      TZNT1Vector3 Under;
      Ground = Floor(c, Vector3Lerp(Vector3Add(Start, Step), Walk.EndPos, float(i) / 8.0f),
                     2.0f * q3movement_stepsize + 2.0f, Under);
    }
    if (!Ground) continue;
    Result.Start = Start;
    Result.Yaw = a;
    return true;
  }
  return false;
}

// What the script saw; outside the game object, which dies inside Run.
struct TScriptRecord {
  std::string Failure;
  bool Launched = false, Teleported = false, Collected = false, Hidden = false, Back = false, QuitTyped = false;
  float LaunchSpeedZ = 0.0f, ExpectedLaunchSpeedZ = 0.0f;
  float TeleportYaw = 0.0f, ExpectedTeleportYaw = 0.0f, TeleportSpeed = 0.0f;
  int CollectedTick = -1, BackTick = -1, Ticks = 0;
  std::vector<std::string> Screenshots;
};
TScriptRecord Record;

// A frame that never ends (the loop stuck in a draw or a swap) is beyond the script's reach: a
// watchdog thread ends the process with the last state seen, so the run fails and never hangs.
class TFrameWatchdog {
 public:
  explicit TFrameWatchdog(int Seconds) : Thread([this, Seconds] { Watch(Seconds); }) {}
  ~TFrameWatchdog() {
    {
      std::lock_guard<std::mutex> Lock(Mutex);
      Finished = true;
    }
    Wake.notify_all();
    Thread.join();
  }
  // Once per frame from the engine's loop.
  void Beat(const std::string& State) {
    std::lock_guard<std::mutex> Lock(Mutex);
    ++Frames;
    LastState = State;
  }

 private:
  void Watch(int Seconds) {
    std::unique_lock<std::mutex> Lock(Mutex);
    for (;;) {
      const int64_t Seen = Frames;
      if (Wake.wait_for(Lock, std::chrono::seconds(Seconds), [&] { return Finished || Frames != Seen; })) {
        if (Finished) return;
        continue;
      }
      std::fprintf(stderr, "scripted run: no frame for %d s after %lld frames; last %s\n", Seconds,
                   static_cast<long long>(Frames), LastState.c_str());
      std::fflush(nullptr);
      std::_Exit(3);
    }
  }
  std::mutex Mutex;
  std::condition_variable Wake;
  bool Finished = false;
  int64_t Frames = 0;
  std::string LastState = "(none)";
  std::thread Thread;
};
TFrameWatchdog* Watchdog = nullptr;

class TScriptedRunGame : public TGame {
 public:
  // Made after the engine's Init, before any map texture exists.
  explicit TScriptedRunGame(TZNT1Engine* AEngine) : TGame(AEngine) {
    // Mesa's software rasteriser stalls for seconds to minutes in its anisotropic sampler on some
    // views of this map (the pad's arc among them); the run is about the game, not filtering.
    if (Engine->GLCapabilities) Engine->GLCapabilities->MaxAnisotropy = 0.0f;
  }

  enum TStep { sMap, sSettle, sPad, sFlight, sTeleporter, sAfterTeleport, sItem, sLeaveItem, sItemBack, sQuit, sDone };

  void UpdateInput() override {
    TGame::UpdateInput();
    if (Watchdog) {
      char State[160];
      const TGameClient* c = LocalClientInstance;
      std::snprintf(State, sizeof State, "step %d, tick %d, player (%.1f %.1f %.1f) yaw %.3f pitch %.3f", int(Step),
                    Record.Ticks, c ? double(c->InternalPosition.x) : 0.0, c ? double(c->InternalPosition.y) : 0.0,
                    c ? double(c->InternalPosition.z) : 0.0, c ? double(c->Angle.Yaw) : 0.0,
                    c ? double(c->Angle.Pitch) : 0.0);
      Watchdog->Beat(State);
    }
    // Read before this frame draws: the back buffer still holds the frame the request was made in
    // (Mesa keeps it across the swap; the check on lit pixels would notice otherwise).
    if (!ScreenshotName.empty()) {
      char* Base = SDL_GetBasePath();
      const std::string Path = std::string(Base ? Base : "") + "scripted-run-" + ScreenshotName + ".png";
      SDL_free(Base);
      WriteScreenshot(Engine->CanvasWidth, Engine->CanvasHeight, Path);
      Record.Screenshots.push_back(Path);
      ScreenshotName.clear();
    }
  }

  void Update(double DeltaTime) override {
    TGame::Update(DeltaTime);
    ++Record.Ticks;
    ++StepTicks;
    if (Step == sDone) return;
    if (StepTicks > Limit()) {
      Fail("did not complete within " + std::to_string(Limit()) + " ticks");
      return;
    }
    TGameClient* c = LocalClientInstance;
    switch (Step) {
      case sMap:
        if (StepTicks == 1) TypeCommand(*Engine, "map pul1duel-oa");
        if (GameEntities && c) Next(sSettle);
        break;
      case sSettle:
        if (StepTicks < 10) break;
        if (!Pick()) return;
        ScreenshotName = "pad";
        WalkFrom(PadApproach);
        Next(sPad);
        break;
      case sPad:
        Aim();
        if (c->JumpPadNumber == Pad->Index && c->Velocity.z > 0.0f) {
          // The pad set the launch during this tick's contacts; the move after it took one tick of gravity.
          Record.Launched = true;
          Record.LaunchSpeedZ = c->Velocity.z + q3movement_gravity * TickSeconds;
          const TZNT1Vector3 From = Centre(Pad->MapModel()->TransformedAABB);
          Record.ExpectedLaunchSpeedZ = 800.0f * std::sqrt(std::fabs(Pad->Targets[0]->Origin.z - From.z) / 400.0f);
          PushKey(SDLK_w, false);
          Next(sFlight);
        }
        break;
      case sFlight:
        if (c->Velocity.z <= 0.0f && !ApexShot) {
          ScreenshotName = "pad-apex";
          ApexShot = true;
        }
        if (StepTicks > 10 && c->GroundPlane && !(c->CommandFlags & gccfFORWARD)) {
          WalkFrom(TeleporterApproach);
          Next(sTeleporter);
        }
        break;
      case sTeleporter:
        // One tick of the destination's 400 u/s at most.
        if (Vector3Dist(c->InternalPosition, Destination()) < 8.0f) {
          Record.Teleported = true;
          Record.TeleportYaw = c->Angle.Yaw;
          Record.ExpectedTeleportYaw = Teleporter->Targets[0]->Angles.y * 3.14159265f / 180.0f;
          Record.TeleportSpeed = std::hypot(c->Velocity.x, c->Velocity.y);
          PushKey(SDLK_w, false);
          Next(sAfterTeleport);
        } else {
          Aim();
        }
        break;
      case sAfterTeleport:
        // The picture first: the walk to the item moves the player away.
        if (StepTicks == 20) ScreenshotName = "teleported";
        if (StepTicks > 20 && ScreenshotName.empty() && c->GroundPlane && !(c->CommandFlags & gccfFORWARD)) {
          Item->Wait = ItemWait;
          Item->RandomEx = 0.0f;
          WalkFrom(ItemApproach);
          Next(sItem);
        }
        break;
      case sItem:
        Aim();
        if (Item->Collected) {
          Record.Collected = true;
          Record.Hidden = !Item->Visible;
          Record.CollectedTick = Record.Ticks;
          PushKey(SDLK_w, false);
          Next(sLeaveItem);
        }
        break;
      case sLeaveItem:
        // Off the item once the key is up, so it is not taken again when it comes back.
        if (!(c->CommandFlags & gccfFORWARD)) {
          c->SetPosition(ItemApproach.Start);
          c->Velocity = Vector3Origin;
          Next(sItemBack);
        }
        [[fallthrough]];
      case sItemBack:
        if (!Item->Collected && Item->Visible) {
          Record.Back = true;
          Record.BackTick = Record.Ticks;
          ScreenshotName = "item-back";
          Next(sQuit);
        }
        break;
      case sQuit:
        if (StepTicks >= 5 && ScreenshotName.empty() && !Record.QuitTyped) {
          TypeCommand(*Engine, "quit");
          Record.QuitTyped = true;
        }
        break;
      default: break;
    }
  }

 private:
  int Limit() const {
    switch (Step) {
      case sMap: return 60 * 60;  // the map loads in one frame; its ticks follow
      case sItemBack: return int(ItemWait * 60.0f) + 60 * 5;
      case sQuit: return 60 * 5;
      default: return 60 * 10;
    }
  }

  void Next(TStep To) {
    const TGameClient* c = LocalClientInstance;
    std::printf("tick %5d at %6u ms: step %d -> %d, player (%.0f %.0f %.0f)\n", Record.Ticks, SDL_GetTicks(), int(Step),
                int(To), c ? double(c->InternalPosition.x) : 0.0, c ? double(c->InternalPosition.y) : 0.0,
                c ? double(c->InternalPosition.z) : 0.0);
    Step = To;
    StepTicks = 0;
  }

  void Fail(const std::string& Why) {
    const TGameClient* c = LocalClientInstance;
    char Where[96] = "";
    if (c)
      std::snprintf(Where, sizeof Where, ", player at (%.0f %.0f %.0f) moving (%.0f %.0f %.0f)",
                    double(c->InternalPosition.x), double(c->InternalPosition.y), double(c->InternalPosition.z),
                    double(c->Velocity.x), double(c->Velocity.y), double(c->Velocity.z));
    Record.Failure = "step " + std::to_string(int(Step)) + " " + Why + Where;
    Step = sDone;
    PushQuit();
  }

  // The first pad, teleporter and visible item that a straight walk reaches.
  bool Pick() {
    TGameClient& c = *LocalClientInstance;
    for (TGameEntity* x : GameEntities->Items) {
      if (auto* p = dynamic_cast<TGameEntityTriggerPush*>(x);
          p && !Pad && p->NumTargets >= 1 && p->MapModel() &&
          FindApproach(c, p->MapModel()->TransformedAABB, PadApproach))
        Pad = p;
      if (auto* t = dynamic_cast<TGameEntityTriggerTeleport*>(x);
          t && !Teleporter && t->NumTargets == 1 && t->Targets[0] && t->MapModel() &&
          FindApproach(c, t->MapModel()->TransformedAABB, TeleporterApproach))
        Teleporter = t;
      if (auto* i = dynamic_cast<TGameEntityItem*>(x); i && !Item && i->Visible && i->HasCollisionAABB &&
                                                       !(i->SpawnFlags & 1) &&
                                                       FindApproach(c, i->CollisionAABB, ItemApproach))
        Item = i;
    }
    if (Pad && Teleporter && Item) return true;
    Fail(std::string("found no walkable") + (!Pad ? " pad" : "") + (!Teleporter ? " teleporter" : "") +
         (!Item ? " item" : ""));
    return false;
  }

  // Puts the player at rest on the approach's start, facing along it, and holds the forward key.
  void WalkFrom(const TApproach& a) {
    TGameClient& c = *LocalClientInstance;
    c.SetPosition(a.Start);
    c.Velocity = Vector3Origin;
    WalkYaw = a.Yaw;
    Aim();
    PushKey(SDLK_w, true);
  }

  // Holds the aim as a steady hand on the mouse would.
  void Aim() { LocalClientInstance->Angle = Vector3(0, WalkYaw, 0); }

  TZNT1Vector3 Destination() const { return Vector3Add(Teleporter->Targets[0]->Origin, Vector3(0, 0, 1)); }

  TStep Step = sMap;
  int StepTicks = 0;
  float WalkYaw = 0.0f;
  std::string ScreenshotName;
  bool ApexShot = false;
  TGameEntityTriggerPush* Pad = nullptr;
  TGameEntityTriggerTeleport* Teleporter = nullptr;
  TGameEntityItem* Item = nullptr;
  TApproach PadApproach, TeleporterApproach, ItemApproach;
};

}  // namespace

class ScriptedRunGL : public EngineRunFixture {};

TEST_F(ScriptedRunGL, PadTeleporterAndItemOnPul1duel) {
  REQUIRE_CONTENT_DIR();
  using G = TScriptedRunGame;
  Record = TScriptRecord();
  auto Engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<G>, false);
  ASSERT_TRUE(MountContent(*Engine));
  Engine->cvVideoWidth->SetValue("320", true);
  Engine->cvVideoHeight->SetValue("240", true);
  bool Ran = false;
  {
    // Init, the map load and the first programs come before or within one frame: a minute each.
    TFrameWatchdog Guard(60);
    Watchdog = &Guard;
    Ran = Engine->Run();
    Watchdog = nullptr;
  }
  ASSERT_TRUE(Ran) << Engine->InitError;
  const TScriptRecord& r = Record;
  EXPECT_EQ(r.Failure, "");
  EXPECT_TRUE(Engine->Quit);
  EXPECT_TRUE(r.QuitTyped) << "ended by the console's quit";
  EXPECT_TRUE(r.Launched);
  EXPECT_NEAR(r.LaunchSpeedZ, r.ExpectedLaunchSpeedZ, 0.5f);
  EXPECT_TRUE(r.Teleported);
  EXPECT_NEAR(std::remainder(r.TeleportYaw - r.ExpectedTeleportYaw, 2.0f * 3.14159265f), 0.0f, 1e-3f);
  EXPECT_NEAR(r.TeleportSpeed, 400.0f, 1.0f);
  EXPECT_TRUE(r.Collected);
  EXPECT_TRUE(r.Hidden);
  EXPECT_TRUE(r.Back);
  // Back after its wait, to the tick.
  EXPECT_NEAR(r.BackTick - r.CollectedTick, ItemWait * 60.0f, 1.0f);
  EXPECT_EQ(r.Screenshots.size(), 4u);
  std::printf("%d ticks\n", r.Ticks);
}
