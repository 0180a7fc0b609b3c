#include "support/GameViewEngine.h"

#include <png.h>

#include <chrono>
#include <cstdlib>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Command.h"
#include "core/ZNT1ConsoleVariable.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1HighResolutionTimer.h"
#include "game/Game.h"
#include "game/GameClient.h"
#include "game/GameEntity.h"
#include "platform/ZNT1OpenGL.h"
#include "renderer/ZNT1Renderer.h"
#include "sound/ZNT1Sound.h"

namespace {

// The program's engine, noting when a load's loading screen first reaches the window.
class TViewEngine : public TZNT1Engine {
 public:
  TViewEngine() : TZNT1Engine(&CreateGameOfClass<TGame>, false) {}
  void ShowLoadProgress(bool Force, float Progress) override {
    TZNT1Engine::ShowLoadProgress(Force, Progress);
    if (Loading && Force && !ScreenShown) {
      ScreenShown = true;
      ScreenTime = std::chrono::steady_clock::now();
      ScreenOverMap = BSP != nullptr;
    }
  }
  bool ScreenShown = false, ScreenOverMap = false;
  std::chrono::steady_clock::time_point ScreenTime;
};

}  // namespace

GameViewEngine::GameViewEngine(const std::string& ContentDir, int32_t Width, int32_t Height, bool FullQuality)
    : Engine_(std::make_unique<TViewEngine>()), Width_(Width), Height_(Height) {
  if (FullQuality)
    setenv("force_gl_vendor", "NVIDIA Corporation", 1);
  else
    unsetenv("force_gl_vendor");
  TZNT1Engine& e = *Engine_;
  e.cvVideoWidth->SetValue(std::to_string(Width), true);
  e.cvVideoHeight->SetValue(std::to_string(Height), true);
  e.cvVideoWidth->Modified = e.cvVideoHeight->Modified = false;
  if (!e.Archives->LoadDirectory(ContentDir + "/")) {
    Error_ = "no content in " + ContentDir;
    return;
  }
  e.Archives->Finish();
  if (!e.Init()) {
    Error_ = e.InitError;
    return;
  }
  e.Game = e.GameClass(&e);
  // The mixer runs as in the program, so that a frame shares the machine as it does there.
  if (e.SoundSystem) {
    TZNT1Game* g = e.Game.get();
    e.SoundSystem->CriticalSection.Enter();
    e.SoundSystem->UpdateHook = [g] { g->UpdateSounds(); };
    e.SoundSystem->CriticalSection.Leave();
    e.SoundSystem->Thread->Start();
  }
  Width_ = e.CanvasWidth;
  Height_ = e.CanvasHeight;
  Ready_ = true;
}

GameViewEngine::~GameViewEngine() {
  if (!Engine_) return;
  if (Engine_->Game) {
    Engine_->Game->UnloadMap();
    Engine_->Game.reset();
  }
  Engine_.reset();
}

TGame& GameViewEngine::Game() { return static_cast<TGame&>(*Engine_->Game); }

TGameClient* GameViewEngine::Client() { return Ready_ ? Game().LocalClientInstance : nullptr; }

bool GameViewEngine::LoadMap(const std::string& Name) {
  if (!Ready_) return false;
  TViewEngine& e = static_cast<TViewEngine&>(*Engine_);
  e.ScreenShown = false;
  const auto Start = std::chrono::steady_clock::now();
  Engine_->Command->ExecuteString("map " + Name);
  Engine_->Command->ExecuteCommandBuffer();
  LoadingScreenMs_ = e.ScreenShown ? std::chrono::duration<double, std::milli>(e.ScreenTime - Start).count() : -1.0;
  LoadingScreenOverOldMap_ = e.ScreenOverMap;
  return Engine_->BSP && Game().LocalClientEntity;
}

std::vector<GameViewEngine::TSpot> GameViewEngine::Spawns() const {
  std::vector<TSpot> r;
  const TGame& g = static_cast<const TGame&>(*Engine_->Game);
  if (!g.GameEntities || !g.LocalClientEntity) return r;
  for (const TRespawnPosition& p : g.GameEntities->RespawnPositions)
    if (p.RespawnPositionType & g.LocalClientEntity->RespawnPositionType) r.push_back({p.Origin, p.Angle});
  return r;
}

void GameViewEngine::Place(const TZNT1Vector3& Origin, float YawDegrees, float PitchDegrees) {
  TGameEntityClient* e = Game().LocalClientEntity;
  if (!e) return;
  e->Translation = Origin;
  e->Client->SetPosition(Origin);
  e->Client->Angle = Vector3(PitchDegrees * float(DEG2RAD), YawDegrees * float(DEG2RAD), 0.0f);
  e->Client->UpdateAABB();
  e->Client->Respawn();
  e->Client->Teleported = true;
  e->AABB = e->Client->AABB;
}

bool GameViewEngine::PlaceAtSpawn(size_t Index) {
  const std::vector<TSpot> s = Spawns();
  if (Index >= s.size()) return false;
  Place(s[Index].Origin, s[Index].Yaw);
  return true;
}

void GameViewEngine::Advance(double Seconds) {
  TZNT1Engine& e = *Engine_;
  e.Command->ExecuteCommandBuffer();
  e.AdvanceGameTime(e.HighResolutionTimer->FromFloatSeconds(Seconds));
  e.FloatTime += Seconds;
}

double GameViewEngine::Frame(double Seconds, std::vector<uint8_t>* Pixels) {
  TZNT1Engine& e = *Engine_;
  const auto Start = std::chrono::steady_clock::now();
  MarkRendererStage("game");
  e.Command->ExecuteCommandBuffer();
  e.Game->UpdateInput();
  const double Delta = e.AdvanceGameTime(e.HighResolutionTimer->FromFloatSeconds(Seconds));
  e.SetUpView();
  e.Game->Draw(float(e.GameTimeInterpolation), float(Delta));
  e.Renderer->Render();
  MarkRendererStage("console");
  e.Console->Draw(e.HighResolutionTimer->FromFloatSeconds(Seconds));
  MarkRendererStage("finish");
  glFinish();
  const double Ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
  if (Pixels) {
    Pixels->assign(size_t(Width_) * size_t(Height_) * 3, 0);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    std::vector<uint8_t> Rows(Pixels->size());
    glReadPixels(0, 0, Width_, Height_, GL_RGB, GL_UNSIGNED_BYTE, Rows.data());
    const size_t Stride = size_t(Width_) * 3;
    for (int32_t y = 0; y < Height_; ++y)
      std::copy_n(Rows.data() + size_t(Height_ - 1 - y) * Stride, Stride, Pixels->data() + size_t(y) * Stride);
  }
  if (e.SDLSurfaceWindow) SDL_GL_SwapWindow(e.SDLSurfaceWindow);
  e.FloatTime += Delta;
  return Ms;
}

bool GameViewEngine::WritePNG(const std::string& Path, const std::vector<uint8_t>& Pixels) const {
  if (Pixels.size() < size_t(Width_) * size_t(Height_) * 3) return false;
  png_image Image{};
  Image.version = PNG_IMAGE_VERSION;
  Image.width = png_uint_32(Width_);
  Image.height = png_uint_32(Height_);
  Image.format = PNG_FORMAT_RGB;
  return png_image_write_to_file(&Image, Path.c_str(), 0, Pixels.data(), Width_ * 3, nullptr) != 0;
}

double GameViewEngine::MeanLuma(const std::vector<uint8_t>& Pixels, double Fraction) const {
  const int32_t w = int32_t(Width_ * Fraction), h = int32_t(Height_ * Fraction);
  const int32_t x0 = (Width_ - w) / 2, y0 = (Height_ - h) / 2;
  double Sum = 0;
  for (int32_t y = y0; y < y0 + h; ++y)
    for (int32_t x = x0; x < x0 + w; ++x) {
      const uint8_t* p = &Pixels[(size_t(y) * size_t(Width_) + size_t(x)) * 3];
      Sum += 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
    }
  return w > 0 && h > 0 ? Sum / (double(w) * double(h)) : 0.0;
}
