#include <gtest/gtest.h>

#include <cstring>

#include "core/ZNT1Engine.h"
#include "platform/ZNT1OpenGL.h"
#include "support/TestData.h"

namespace {

// Looks at the running engine from inside its loop, then asks it to quit.
class ProbeGame : public TZNT1Game {
 public:
  using TZNT1Game::TZNT1Game;
  void Update(double) override {
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

bool HaveDisplay() {
  const char* d = std::getenv("DISPLAY");
  return d && *d;
}

}  // namespace

TEST(EngineGL, RunOpensTheWindowAndQuitsOnTheQuitEvent) {
  if (!HaveDisplay()) {
    if (testdata::InCI()) FAIL() << "no display in CI";
    GTEST_SKIP() << "no display";
  }
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
  EXPECT_NE(engine->Console->Lines[4].find("OpenGL version: "), std::string::npos);
}
