#include "game/Game.h"

#include <algorithm>
#include <cmath>

#include "core/ZNT1Console.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1HighResolutionTimer.h"
#include "game/GameClient.h"
#include "game/GameEntity.h"
#include "renderer/ZNT1Renderer.h"
#include "sound/ZNT1Sound.h"
#include "world/ZNT1BSP.h"

namespace {

constexpr float TwoPiF = 6.28318530717959f;
constexpr float HalfPiF = 1.57079632679490f;

// Releases the sound lock however the load leaves.
struct TSoundLock {
  explicit TSoundLock(TZNT1SoundSystem* ASound) : Sound(ASound) {
    if (Sound) Sound->Lock();
  }
  ~TSoundLock() {
    if (Sound) Sound->Unlock();
  }
  TZNT1SoundSystem* Sound;
};

}  // namespace

TGame::TGame(TZNT1Engine* AEngine) : TZNT1Game(AEngine) {}

TGame::~TGame() {
  std::unique_ptr<TGameEntities> Old = std::move(GameEntities);
  LocalClientEntity = nullptr;
  LocalClientInstance = nullptr;
}

void TGame::Reset() {}
void TGame::Init() {}
void TGame::Shutdown() {}

void TGame::FreeEntities() {
  std::unique_ptr<TGameEntities> Old = std::move(GameEntities);
  LocalClientEntity = nullptr;
  LocalClientInstance = nullptr;
  Old.reset();
}

void TGame::UnloadMap() {
  TSoundLock Lock(Engine->SoundSystem.get());
  FreeEntities();
  Engine->UnloadMap();
}

void TGame::LoadMap(const std::string& MapName) {
  LastWarmUpSeconds = 0.0;
  {
    TSoundLock Lock(Engine->SoundSystem.get());
    // The screen goes up before the old map's entities and the map itself are freed.
    Engine->ShowLoadingScreen(MapName);
    FreeEntities();
    // The loading screen notices a quit (Engine->Quit): the steps left are skipped, and a map
    // cut short is dropped whole, so no half-made entities stay behind.
    const auto Next = [this](float Progress) {
      Engine->ShowLoadProgress(true, Progress);
      return !Engine->Quit;
    };
    const auto Steps = [&] {
      Engine->LoadMap(MapName);
      if (!Engine->BSP || !Next(0.525f)) return;
      GameEntities = std::make_unique<TGameEntities>(Engine);
      GameEntities->Load(Engine->BSP.get());
      if (!Next(0.55f)) return;
      LocalClientEntity = GameEntities->NewClient();
      if (LocalClientEntity) {
        LocalClientInstance = LocalClientEntity->Client.get();
        LocalClientInstance->Local = true;
        LocalClientEntity->ClientRespawn();
        GameEntities->Clients.push_back(LocalClientInstance);
      } else {
        LocalClientInstance = nullptr;
      }
      if (!Next(0.6f)) return;
      Engine->Upload();
      if (!Next(0.7f)) return;
      GameEntities->Init();
      if (!Next(0.8f)) return;
      if (Engine->SoundSystem) Engine->SoundSystem->Setup();
      Engine->ShowLoadProgress(true, 0.9f);
      const TZNT1HighResolutionTimer& Timer = *Engine->HighResolutionTimer;
      const int64_t WarmUpStart = Timer.GetTime();
      if (WarmUpOnLoad) WarmUpViews();
      LastWarmUpSeconds = Timer.ToFloatSeconds(Timer.GetTime() - WarmUpStart);
    };
    Steps();
    if (Engine->Quit) {
      FreeEntities();
      Engine->UnloadMap();
    }
  }
  Engine->DoneLoadMap();
  if (Engine->Console) Engine->Console->Focus = false;
}

void TGame::WarmUpViews() {
  if (Engine->Dedicated || !Engine->Renderer || !Engine->HighResolutionTimer || !LocalClientEntity ||
      !LocalClientInstance || Engine->CanvasWidth <= 0 || Engine->CanvasHeight <= 0)
    return;
  TZNT1Renderer& r = *Engine->Renderer;
  const TZNT1HighResolutionTimer& Timer = *Engine->HighResolutionTimer;
  // Everything the map holds, seen at once from the player's place and drawn into a small corner
  // of the picture: the driver builds its code for each material, model and portal, and hardly a
  // pixel is filled. Building code the driver has never built before takes seconds on a big map:
  // a frame stops drawing after its time and is drawn again, the loading screen (and a quit) seen
  // in between; what one frame built, the next finds built. A frame that got no further than the
  // one before has twice the time.
  r.DrawEverything = true;
  int64_t Budget = Timer.QuarterSecondInterval;
  uint32_t LastIssued = 0;
  for (int Pass = 0; Pass < 64 && !Engine->Quit; ++Pass) {
    Engine->SetUpView();
    Draw(0.0f, 0.0f);
    Engine->ViewPortRight = std::max(1, Engine->CanvasWidth / 16);
    Engine->ViewPortBottom = std::max(1, Engine->CanvasHeight / 16);
    r.DrawDeadline = Timer.GetTime() + Budget;
    r.Render();
    const uint32_t Issued = r.DrawsIssued, Skipped = r.DrawsSkipped;
    Engine->ShowLoadProgress(true, 0.9f + 0.09f * float(Issued) / float(std::max(1u, Issued + Skipped)));
    if (Skipped == 0) break;
    if (Issued <= LastIssued) Budget *= 2;
    LastIssued = Issued;
  }
  r.DrawEverything = false;
  r.DrawDeadline = 0;
  Engine->SetUpView();  // the whole canvas again
}

void TGame::MoveLookLocked(float xDelta, float yDelta) {
  if (!LocalClientInstance) return;
  TZNT1Vector3& a = LocalClientInstance->Angle;
  if (!std::isfinite(xDelta) || !std::isfinite(yDelta)) return;
  a.Yaw -= 0.0025f * xDelta;
  if (!std::isfinite(a.Yaw)) a.Yaw = 0.0f;
  a.Yaw = std::fmod(a.Yaw, TwoPiF);  // a long way round in one step
  while (a.Yaw < 0.0f) a.Yaw += TwoPiF;
  while (a.Yaw >= TwoPiF) a.Yaw -= TwoPiF;
  a.Pitch += 0.0025f * yDelta;
  if (a.Pitch < -HalfPiF) a.Pitch = -HalfPiF;
  else if (a.Pitch > HalfPiF) a.Pitch = HalfPiF;
}

bool TGame::ProcessSDLEvent(const SDL_Event* Event) {
  if (!Event) return false;
  TGameClient* c = LocalClientInstance;
  auto SetFlag = [&](uint32_t Flag, bool On) {
    if (!c) return;
    if (On) c->CommandFlags |= Flag;
    else c->CommandFlags &= ~Flag;
  };
  switch (Event->type) {
    case SDL_KEYDOWN: {
      if (Event->key.repeat) break;
      switch (Event->key.keysym.sym) {
        case SDLK_w:
        case SDLK_UP: SetFlag(gccfFORWARD, true); break;
        case SDLK_s:
        case SDLK_DOWN: SetFlag(gccfBACKWARD, true); break;
        case SDLK_a:
        case SDLK_LEFT: SetFlag(gccfSIDELEFT, true); break;
        case SDLK_d:
        case SDLK_RIGHT: SetFlag(gccfSIDERIGHT, true); break;
        case SDLK_SPACE: SetFlag(gccfJUMP, true); break;
        case SDLK_c:
          DuckPerC = true;
          SetFlag(gccfDUCK, true);
          break;
        case SDLK_r:
          if (LocalClientEntity) LocalClientEntity->ClientRespawn();
          break;
        case SDLK_t:
          if (c) c->ThirdPerson = !c->ThirdPerson;
          break;
        case SDLK_l:
          if (Engine->Renderer) Engine->Renderer->WireFrame = !Engine->Renderer->WireFrame;
          break;
        case SDLK_b:
          if (Engine->Renderer) Engine->Renderer->BloomEffect = !Engine->Renderer->BloomEffect;
          break;
        default:
          if (c && Event->key.keysym.sym >= SDLK_0 && Event->key.keysym.sym <= SDLK_9)
            c->SwitchToWeapon(static_cast<int32_t>(Event->key.keysym.sym - SDLK_0), true);
          break;
      }
      break;
    }
    case SDL_KEYUP:
      switch (Event->key.keysym.sym) {
        case SDLK_w:
        case SDLK_UP: SetFlag(gccfFORWARD, false); break;
        case SDLK_s:
        case SDLK_DOWN: SetFlag(gccfBACKWARD, false); break;
        case SDLK_a:
        case SDLK_LEFT: SetFlag(gccfSIDELEFT, false); break;
        case SDLK_d:
        case SDLK_RIGHT: SetFlag(gccfSIDERIGHT, false); break;
        case SDLK_SPACE: SetFlag(gccfJUMP, false); break;
        case SDLK_c:
          DuckPerC = false;
          SetFlag(gccfDUCK, false);
          break;
        default: break;
      }
      break;
    case SDL_MOUSEBUTTONDOWN:
      if (Event->button.button == SDL_BUTTON_LEFT) SetFlag(gccfATTACK, true);
      else if (Event->button.button == SDL_BUTTON_RIGHT) SetFlag(gccfJUMP, true);
      break;
    case SDL_MOUSEBUTTONUP:
      if (Event->button.button == SDL_BUTTON_LEFT) SetFlag(gccfATTACK, false);
      else if (Event->button.button == SDL_BUTTON_RIGHT) SetFlag(gccfJUMP, false);
      break;
    case SDL_MOUSEWHEEL:
      if (c && Event->wheel.y > 0) c->SwitchToNextWeapon(1, true);
      else if (c && Event->wheel.y < 0) c->SwitchToNextWeapon(-1, true);
      break;
    case SDL_MOUSEMOTION:
      MoveLookLocked(static_cast<float>(Event->motion.xrel), static_cast<float>(Event->motion.yrel));
      break;
    default: break;
  }
  return false;
}

void TGame::UpdateInput() {
  const SDL_Keymod Mod = SDL_GetModState();
  const bool Walk = (Mod & (KMOD_LSHIFT | KMOD_RSHIFT)) != 0;
  const bool Duck = DuckPerC || (Mod & (KMOD_LCTRL | KMOD_RCTRL)) != 0;
  if (!LocalClientInstance) return;
  uint32_t& f = LocalClientInstance->CommandFlags;
  f = Duck ? f | gccfDUCK : f & ~gccfDUCK;
  f = Walk ? f | gccfWALK : f & ~gccfWALK;
}

void TGame::Update(double DeltaTime) {
  if (!GameEntities) return;
  GameEntities->SmoothStore();
  GameEntities->Update(DeltaTime);
}

void TGame::Draw(float Interpolation, float DeltaTime) {
  if (!GameEntities) return;
  GameEntities->SmoothInterpolate(Interpolation, DeltaTime);
  GameEntities->AddModelInstances();
  if (LocalClientInstance && LocalClientEntity) {
    if (Engine->Renderer) {
      Engine->Renderer->LightPosition = LocalClientEntity->ClientLightPosition;
      Engine->Renderer->LightAABB = LocalClientEntity->ClientLightAABB;
      Engine->Renderer->WaterEffect = LocalClientEntity->ClientWaterEffect;
    }
    Engine->ViewMatrix = LocalClientEntity->ClientViewMatrix;
  }
}

void TGame::UpdateSounds() {
  if (GameEntities) GameEntities->UpdateSound(LocalClientEntity);
}

double TGame::GetTime() { return GameEntities ? GameEntities->Time : TZNT1Game::GetTime(); }
