#pragma once
// An engine on the caller's current OpenGL context with the OpenArena content mounted, all
// materials loaded and a game whose map load is the engine's: for frames of real maps; and the
// fixture that gives it a window of the frame's size.
#include <SDL2/SDL.h>

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "assets/ZipTestSupport.h"
#include "assets/ZNT1Texture.h"
#include "core/ZNT1Command.h"
#include "core/ZNT1Engine.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1GLSLShader.h"
#include "material/ZNT1Shader.h"
#include "platform/ZNT1OpenGL.h"
#include "renderer/ZNT1Renderer.h"
#include "support/GLContextFixture.h"
#include "support/TestData.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1Entity.h"
#include "world/ZNT1Model.h"

class RendererContentEngine : public TZNT1Engine {
 public:
  class MapGame : public TZNT1Game {
   public:
    using TZNT1Game::TZNT1Game;
    void LoadMap(const std::string& MapName) override {
      Engine->LoadMap(MapName);
      Engine->DoneLoadMap();
    }
  };

  // ForceLowQuality: -1 keeps the probe's choice, 0 and 1 override it (before any material exists);
  // ShadowFormat, when positive, replaces the shadow-map format before the programs are built;
  // Files (name, bytes) are mounted over the content, as one more archive.
  RendererContentEngine(const std::string& ContentDir, int32_t Width, int32_t Height, int ForceLowQuality = -1,
                        int32_t ShadowFormat = 0,
                        const ziptest::Files& Files = {})
      : TZNT1Engine(&CreateGameOfClass<MapGame>, false) {
    Archives->LoadDirectory(ContentDir + "/");
    ziptest::AddFiles(*Archives, Files);
    Archives->Finish();
    GLCapabilities = std::make_unique<TZNT1GLCapabilities>(this);
    GLCapabilities->Query();
    if (ForceLowQuality >= 0) GLCapabilities->LowQuality = ForceLowQuality == 1;
    if (ShadowFormat > 0) GLCapabilities->ShadowMapTextureFormat = ShadowFormat;
    Textures = std::make_unique<TZNT1Textures>(this);
    Textures->CreateDefaultTextures();
    GLSLShaders = std::make_unique<TZNT1GLSLShaders>(this);
    LightMaps = std::make_unique<TZNT1Textures>(this);
    Shaders = std::make_unique<TZNT1Shaders>(this);
    Models = std::make_unique<TZNT1Models>(this);
    Renderer = std::make_unique<TZNT1Renderer>(this);
    Shaders->Load();
    Game = GameClass(this);
    SetCanvas(Width, Height);
  }
  ~RendererContentEngine() override {
    Game.reset();
    UnloadMap();
  }

  void ShowLoadProgress(bool, float Progress) override { LastProgress = Progress; }

  void SetCanvas(int32_t Width, int32_t Height) {
    CanvasWidth = Width;
    CanvasHeight = Height;
    ViewPortLeft = ViewPortTop = 0;
    ViewPortRight = Width;
    ViewPortBottom = Height;
    Matrix4x4Perspective(ProjectionMatrix, 45.0f, float(Width) / float(Height), 1.0f, 8192.0f);
  }

  // The "map" console command.
  bool MapCommand(const std::string& Name) {
    Command->ExecuteString("map " + Name);
    return BSP != nullptr;
  }

  // Spawn points of the loaded map, in entity order.
  std::vector<const TZNT1Entity*> SpawnPoints() const {
    std::vector<const TZNT1Entity*> r;
    if (!BSP || !BSP->Entities) return r;
    for (int32_t i = 0; i < BSP->Entities->Count(); ++i) {
      const TZNT1Entity* e = BSP->Entities->GetEntity(i);
      if (e && e->HasField("classname", "info_player_deathmatch")) r.push_back(e);
    }
    if (r.empty())
      for (int32_t i = 0; i < BSP->Entities->Count(); ++i) {
        const TZNT1Entity* e = BSP->Entities->GetEntity(i);
        if (e && (e->HasField("classname", "info_player_start") || e->HasField("classname", "team_CTF_redspawn")))
          r.push_back(e);
      }
    return r;
  }

  // The eye of a spawn point (its origin raised to eye height) looking along its angle.
  bool SpawnView(size_t Index = 0) {
    const auto Points = SpawnPoints();
    if (Index >= Points.size()) return false;
    const TZNT1Entity& e = *Points[Index];
    TZNT1Vector3 Eye = e.GetVector("origin");
    Eye.z += 31.0f;
    const float Yaw = e.GetFloat("angle") * float(DEG2RAD);
    View(Eye, Vector3(0, Yaw, 0));
    return true;
  }

  void View(const TZNT1Vector3& Eye, const TZNT1Vector3& Angles) { ViewMatrix = Matrix4x4LookAtViewerLDX(Eye, Angles); }
  // The eye looking along Forward with Up (perpendicular to it) towards the top of the frame.
  void Look(const TZNT1Vector3& Eye, const TZNT1Vector3& Forward, const TZNT1Vector3& Up) {
    ViewMatrix = Matrix4x4LookAtLDX2(Eye, Vector3Add(Eye, Forward), Up);
  }

  // No antialiasing and no bloom, so that frames compared pixel by pixel differ only where the
  // scene does.
  void Plain() {
    Renderer->Antialiasing = aaNONE;
    Renderer->BloomEffect = false;
  }

  // Instance (with what is linked to it) posed at its animation as it stands, as a frame shows it.
  static void Pose(TZNT1ModelInstance* Instance) {
    Instance->Update(0);
    Instance->SmoothStore();
    Instance->SmoothInterpolate(0.0, true, nullptr, -1);
  }
  // Posed and added to the next frame.
  void AddInstance(TZNT1ModelInstance* Instance) {
    Pose(Instance);
    Renderer->AddModelInstance(Instance);
  }

  // One frame as the main loop draws it.
  void Frame() {
    Renderer->GLCalls = 0;
    Renderer->CountBatchItems = 0;
    Renderer->CountFlushs = 0;
    Renderer->Render();
  }

  // One frame with the map's sky box and dome set aside: the sky surfaces still mark the
  // stencil, but nothing is drawn there, which is the picture the brute-force baseline draws.
  void FrameWithoutSky() {
    if (!BSP) {
      Frame();
      return;
    }
    auto SetAside = [this] {
      for (int i = 0; i < 6; ++i) std::swap(BSP->SkyVBOSideIndices[i], SkySides[i]);
      std::swap(BSP->SkyVBOIndices, SkyDome);
    };
    SetAside();
    Frame();
    SetAside();
  }

  // The frame's picture, bottom row first, RGBA: from the main context's target in full
  // quality, else from the window.
  std::vector<uint8_t> ReadFrame() const {
    std::vector<uint8_t> Pixels(size_t(CanvasWidth) * size_t(CanvasHeight) * 4);
    const TZNT1RendererContext* c = Renderer->MainContext.get();
    if (c && c->UseFrameBufferObject && c->FrameBufferObject)
      glBindFramebuffer(GL_READ_FRAMEBUFFER, c->FrameBufferObject->FrameBuffer);
    else
      glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, CanvasWidth, CanvasHeight, GL_RGBA, GL_UNSIGNED_BYTE, Pixels.data());
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    return Pixels;
  }

 private:
  std::vector<uint32_t> SkySides[6], SkyDome;  // what FrameWithoutSky sets aside
};

struct FrameStats {
  double LitFraction = 0;  // pixels not black
  size_t Colours = 0;      // distinct RGB values
};

inline FrameStats MeasureFrame(const std::vector<uint8_t>& Pixels) {
  FrameStats s;
  std::vector<bool> Seen(1u << 24);
  size_t Lit = 0, n = Pixels.size() / 4;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t rgb = uint32_t(Pixels[i * 4]) << 16 | uint32_t(Pixels[i * 4 + 1]) << 8 | Pixels[i * 4 + 2];
    if (rgb) ++Lit;
    if (!Seen[rgb]) {
      Seen[rgb] = true;
      ++s.Colours;
    }
  }
  s.LitFraction = n ? double(Lit) / double(n) : 0;
  return s;
}

// A hidden window of the suite's frame size sharing the test context, current in every test of
// the suite with earlier OpenGL errors cleared; the content must be there. A suite either makes
// its engines in its tests or shares one made with the window.
class RendererContentFixture : public GLContextFixture {
 protected:
  // For a suite's SetUpTestSuite: the window alone.
  static void OpenWindow(const char* Title, int32_t Width, int32_t Height) {
    GLContextFixture::SetUpTestSuite();
    if (!Context() || testdata::ContentDir().empty()) return;
    window_ = SDL_CreateWindow(Title, 0, 0, Width, Height, SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
    if (window_) SDL_GL_MakeCurrent(window_, Context());
  }
  // Or the window and one engine of its size on it (ForceLowQuality as the engine takes it);
  // every test of the suite fails when there is none.
  static void OpenEngine(const char* Title, int32_t Width, int32_t Height, int ForceLowQuality = -1) {
    sharesEngine_ = true;
    OpenWindow(Title, Width, Height);
    if (window_)
      engine_ = std::make_unique<RendererContentEngine>(testdata::ContentDir(), Width, Height, ForceLowQuality);
  }
  // The engine goes while its context is current, then the window.
  static void CloseEngine() {
    if (!engine_) return;
    SDL_GL_MakeCurrent(window_, Context());
    engine_.reset();
  }
  static void TearDownTestSuite() {
    CloseEngine();
    if (window_) {
      SDL_GL_MakeCurrent(Window(), Context());
      SDL_DestroyWindow(window_);
      window_ = nullptr;
    }
    sharesEngine_ = false;
  }
  void SetUp() override {
    GLContextFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    REQUIRE_CONTENT_DIR();
    ASSERT_NE(window_, nullptr);
    if (sharesEngine_) {
      ASSERT_NE(engine_, nullptr);
    }
    SDL_GL_MakeCurrent(window_, Context());
    while (glGetError() != GL_NO_ERROR) {
    }
  }

  static inline std::unique_ptr<RendererContentEngine> engine_;
  static inline SDL_Window* window_ = nullptr;

 private:
  static inline bool sharesEngine_ = false;
};
