#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "assets/ZNT1Texture.h"
#include "assets/ZipTestSupport.h"
#include "core/ZNT1Engine.h"
#include "platform/ZNT1OpenGL.h"
#include "support/EngineRunFixture.h"

namespace {

// Looks at the running engine from inside its loop, then asks it to quit.
class ProbeGame : public TZNT1Game {
 public:
  using TZNT1Game::TZNT1Game;
  void Update(double) override {
    // Never hang: a run that draws nothing still ends after ten seconds of updates.
    if (updates == 600) {
      SDL_Event quit{};
      quit.type = SDL_QUIT;
      SDL_PushEvent(&quit);
    }
    if (++updates == 1) {
      SDL_Window* w = Engine->SDLSurfaceWindow;
      title = w ? SDL_GetWindowTitle(w) : "";
      if (w) SDL_GetWindowSize(w, &width, &height);
      flags = w ? SDL_GetWindowFlags(w) : 0;
      GetOpenGLContextVersion(glMajor, glMinor);
    }
  }
  void Draw(float, float) override {
    if (++draws == 5) {
      SDL_Event quit{};
      quit.type = SDL_QUIT;
      SDL_PushEvent(&quit);
    }
  }
  static inline int updates = 0, draws = 0, width = 0, height = 0, glMajor = 0, glMinor = 0;
  static inline uint32_t flags = 0;
  static inline std::string title;
};

// Counts what the engine hands to the game.
class CountingGame : public TZNT1Game {
 public:
  using TZNT1Game::TZNT1Game;
  bool ProcessSDLEvent(const SDL_Event* e) override {
    received.push_back(e->type);
    return true;
  }
  void UpdateInput() override { ++inputs; }
  void Draw(float, float) override { ++draws; }
  int inputs = 0, draws = 0;
  std::vector<uint32_t> received;
};

bool Finite(const TZNT1Matrix4x4& m) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      if (!std::isfinite(m.M[i][j])) return false;
  return true;
}

// A scratch content folder holding one archive, removed at the end of the test.
struct ContentFolder {
  std::filesystem::path Path;
  explicit ContentFolder(const std::vector<ziptest::Entry>& Entries) {
    char tmpl[] = "/tmp/znt1-engine-XXXXXX";
    Path = ::mkdtemp(tmpl);
    const ziptest::Bytes zip = ziptest::BuildZip(Entries).Bytes_;
    std::ofstream(Path / "pak0.pk3", std::ios::binary)
        .write(reinterpret_cast<const char*>(zip.data()), static_cast<std::streamsize>(zip.size()));
  }
  ~ContentFolder() {
    std::error_code ec;
    std::filesystem::remove_all(Path, ec);
  }
};

class EngineGL : public EngineRunFixture {};

}  // namespace

TEST_F(EngineGL, RunOpensTheWindowAndQuitsOnTheQuitEvent) {
  auto engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<ProbeGame>, false);
  ASSERT_TRUE(engine->Run()) << engine->InitError;
  EXPECT_EQ(ProbeGame::title, "ZANTOR1 (F8 = console)");
  EXPECT_EQ(ProbeGame::width, 1280);
  EXPECT_EQ(ProbeGame::height, 720);
  EXPECT_TRUE(ProbeGame::flags & SDL_WINDOW_RESIZABLE);
  EXPECT_FALSE(ProbeGame::flags & SDL_WINDOW_FULLSCREEN);
  EXPECT_GE(ProbeGame::glMajor * 10 + ProbeGame::glMinor, 31);
  EXPECT_GE(ProbeGame::draws, 5);
  // Done ran: platform objects and the sound system are gone, the game freed.
  EXPECT_EQ(engine->SDLSurfaceWindow, nullptr);
  EXPECT_EQ(engine->SDLSurfaceContext, nullptr);
  EXPECT_EQ(engine->SoundSystem, nullptr);
  EXPECT_EQ(engine->Game, nullptr);
  // What deletes OpenGL objects in its destructor went while the context existed.
  EXPECT_EQ(engine->Renderer, nullptr);
  EXPECT_EQ(engine->SpriteBatch, nullptr);
  EXPECT_NE(engine->Console->Lines[4].find("OpenGL version: "), std::string::npos);
}

TEST_F(EngineGL, ZeroSizedCanvasSkipsProjectionAndDrawing) {
  auto engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<CountingGame>, false);
  ASSERT_TRUE(engine->Init()) << engine->InitError;
  engine->Game = engine->GameClass(engine.get());
  auto* game = static_cast<CountingGame*>(engine->Game.get());
  const TZNT1Matrix4x4 before = engine->ProjectionMatrix;
  for (auto size : {std::pair{0, 720}, std::pair{1280, 0}}) {
    engine->CanvasWidth = size.first;  // as after a resize to nothing
    engine->CanvasHeight = size.second;
    engine->RunFrame();
    EXPECT_EQ(game->draws, 0);
    EXPECT_TRUE(Finite(engine->ProjectionMatrix));
    EXPECT_EQ(std::memcmp(&before, &engine->ProjectionMatrix, sizeof before), 0);
  }
  SDL_Event e{};
  e.type = SDL_WINDOWEVENT;
  e.window.event = SDL_WINDOWEVENT_RESIZED;
  e.window.data1 = 640;
  e.window.data2 = 480;
  SDL_PushEvent(&e);
  engine->RunFrame();  // the size comes back: the same frame draws with the new aspect
  EXPECT_EQ(game->draws, 1);
  EXPECT_TRUE(Finite(engine->ProjectionMatrix));
  EXPECT_NEAR(engine->ProjectionMatrix.M[1][1] / engine->ProjectionMatrix.M[0][0], 640.0f / 480.0f, 1e-4f);
  engine->Game.reset();
}

TEST_F(EngineGL, QuitEndsTheFrameBeforeTheGameRunsOrDraws) {
  auto engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<CountingGame>, false);
  ASSERT_TRUE(engine->Init()) << engine->InitError;
  engine->Game = engine->GameClass(engine.get());
  auto* game = static_cast<CountingGame*>(engine->Game.get());
  engine->RunFrame();  // a frame without a quit reaches the game and draws
  ASSERT_EQ(game->inputs, 1);
  ASSERT_EQ(game->draws, 1);
  auto Push = [](uint32_t Type, SDL_Keycode Key = 0, uint16_t Mod = 0) {
    SDL_Event e{};
    e.type = Type;
    e.key.keysym.sym = Key;
    e.key.keysym.mod = Mod;
    SDL_PushEvent(&e);
  };
  const struct {
    const char* Name;
    std::function<void()> Raise;
  } Cases[] = {
      {"window closed or SIGTERM", [&] { Push(SDL_QUIT); }},
      {"Alt+F4", [&] { Push(SDL_KEYDOWN, SDLK_F4, KMOD_LALT); }},
      {"quit command", [&] { engine->Command->Queue("quit\n"); }},
  };
  for (const auto& c : Cases) {
    engine->Quit = false;
    c.Raise();
    engine->RunFrame();
    EXPECT_TRUE(engine->Quit) << c.Name;
    EXPECT_EQ(game->inputs, 1) << c.Name;
    EXPECT_EQ(game->draws, 1) << c.Name;
  }
  engine->Game.reset();
}

TEST_F(EngineGL, MapLoadQueuesPendingEventsWithoutAnEndMarker) {
  ziptest::Entry map;
  map.Name = "maps/tiny.bsp";
  map.Data = ziptest::Bytes(64, 0);
  ContentFolder content({map});
  auto engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<CountingGame>, false);
  ASSERT_TRUE(engine->Archives->LoadDirectory(content.Path.string() + "/"));
  engine->Archives->Finish();
  ASSERT_TRUE(engine->Init()) << engine->InitError;
  engine->Game = engine->GameClass(engine.get());
  auto* game = static_cast<CountingGame*>(engine->Game.get());
  engine->GetSystemEvents();
  engine->EventLoop();  // whatever the window's creation brought
  game->received.clear();

  // A level shot still held from an earlier load is released, not freed.
  TZNT1Texture* held = engine->Textures->DefaultTexture;
  ASSERT_NE(held, nullptr);
  const int32_t references = held->ReferenceCounter;
  held->IncRef();
  engine->LevelShotTexture = held;

  EXPECT_FALSE(engine->LoadMap("nothere"));  // no map file: false at once, the screen stays up
  EXPECT_TRUE(engine->Loading);
  EXPECT_EQ(engine->LevelShotTexture, nullptr);
  EXPECT_EQ(held->ReferenceCounter, references);
  EXPECT_EQ(engine->Textures->DefaultTexture, held);
  // The loading screen holds the white texture until it closes.
  TZNT1Texture* white = engine->Textures->WhiteTexture;
  const int32_t whiteWhileLoading = white->ReferenceCounter;
  EXPECT_GE(whiteWhileLoading, 1);
  EXPECT_TRUE(white->Uploaded);

  SDL_Event user{};
  user.type = SDL_USEREVENT;
  SDL_PushEvent(&user);  // arrives while the map loads
  engine->LoadMap("  TINY ");  // found as maps/tiny.bsp, so the loader polls afterwards
  engine->DoneLoadMap();
  EXPECT_FALSE(engine->Loading);
  EXPECT_EQ(white->ReferenceCounter, whiteWhileLoading - 1);
  int markers = 0, users = 0;
  for (TZNT1SystemEvent* e = engine->SystemEventManager->QueueList.First; e; e = e->Next) {
    markers += e->EventType == zsetNONE;
    users += e->EventType == zsetSDL && e->SDLEvent.type == SDL_USEREVENT;
  }
  EXPECT_EQ(markers, 0);
  EXPECT_EQ(users, 1);

  // The next frame handles them, and nothing of it is left for the frame after.
  engine->GetSystemEvents();
  engine->EventLoop();
  EXPECT_EQ(std::count(game->received.begin(), game->received.end(), uint32_t(SDL_USEREVENT)), 1);
  EXPECT_EQ(engine->SystemEventManager->QueueList.First, nullptr);
  engine->Game.reset();
}

TEST_F(EngineGL, LoadingScreenDrawsTheProgressBar) {
  auto engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<CountingGame>, false);
  ASSERT_TRUE(engine->Init()) << engine->InitError;
  ASSERT_EQ(engine->CanvasWidth, 1280);
  ASSERT_EQ(engine->CanvasHeight, 720);
  engine->Loading = true;
  engine->ShowLoadProgress(true, 0.5f);
  glFinish();
  // Mesa's swap under Xvfb copies the back buffer to the window and leaves it as it was.
  glReadBuffer(GL_BACK);
  // Window rows count from the bottom; the bar lies at 93-97 % of the height from the top.
  auto pixel = [](int x, int y) -> uint32_t {
    uint8_t p[4] = {};
    glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, p);
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
  };
  EXPECT_EQ(pixel(320, 36), 0xFFFFFFu);  // the white bar up to half the width
  EXPECT_EQ(pixel(960, 36), 0u);                     // black inside the frame beyond it
  EXPECT_EQ(pixel(960, 53), 0xFFFFFFu);              // the frame's top edge
  EXPECT_EQ(pixel(640, 360), 0u);                    // no picture: a black background
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
  engine->DoneLoadMap();
  EXPECT_FALSE(engine->Loading);
}
