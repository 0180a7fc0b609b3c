#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "RendererContentEngine.h"
#include "core/ZNT1StringList.h"
#include "support/GLContextFixture.h"
#include "support/TestData.h"

namespace {

class RendererContentGL : public GLContextFixture {
 protected:
  static void SetUpTestSuite() {
    GLContextFixture::SetUpTestSuite();
    if (!Context() || testdata::ContentDir().empty()) return;
    // A window of the frame's size sharing the fixture's context.
    window_ = SDL_CreateWindow("renderer", 0, 0, 1280, 720, SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
    if (!window_) return;
    SDL_GL_MakeCurrent(window_, Context());
    engine_ = new RendererContentEngine(testdata::ContentDir(), 1280, 720);
  }
  static void TearDownTestSuite() {
    if (engine_) {
      SDL_GL_MakeCurrent(window_, Context());
      delete engine_;
      engine_ = nullptr;
    }
    if (window_) {
      SDL_GL_MakeCurrent(Window(), Context());
      SDL_DestroyWindow(window_);
      window_ = nullptr;
    }
  }
  void SetUp() override {
    GLContextFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    REQUIRE_CONTENT_DIR();
    ASSERT_NE(engine_, nullptr);
    SDL_GL_MakeCurrent(window_, Context());
    while (glGetError() != GL_NO_ERROR) {
    }
  }

  static RendererContentEngine* engine_;
  static SDL_Window* window_;
};

RendererContentEngine* RendererContentGL::engine_ = nullptr;
SDL_Window* RendererContentGL::window_ = nullptr;

}  // namespace

TEST_F(RendererContentGL, MapCommandThenSpawnViewsOfTheTableMaps) {
  RendererContentEngine& e = *engine_;
  e.SetCanvas(1280, 720);
  const char* const Maps[] = {"oa_dm1", "oa_dm2", "oa_dm3", "oa_dm4",     "oa_dm5",       "oa_dm6",
                              "oa_dm7", "kaos2",  "oa_rpg3dm2", "hydronex2", "am_underworks2"};
  for (const char* Name : Maps) {
    SCOPED_TRACE(Name);
    ASSERT_TRUE(e.MapCommand(Name));
    ASSERT_TRUE(e.SpawnView());
    // The first frame compiles programs; the second is the one measured.
    e.Frame();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    const auto t0 = std::chrono::steady_clock::now();
    e.Frame();
    glFinish();
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    const auto Pixels = e.ReadFrame();
    const FrameStats s = MeasureFrame(Pixels);
    if (const char* Dump = std::getenv("ZNT1_DUMP_FRAME")) {
      FILE* f = std::fopen((std::string(Dump) + Name + ".ppm").c_str(), "wb");
      std::fprintf(f, "P6 %d %d 255\n", e.CanvasWidth, e.CanvasHeight);
      for (int y = e.CanvasHeight - 1; y >= 0; --y)
        for (int x = 0; x < e.CanvasWidth; ++x) std::fwrite(&Pixels[(size_t(y) * e.CanvasWidth + x) * 4], 1, 3, f);
      std::fclose(f);
    }
    std::printf("%-14s %s lit %.3f colours %6zu items %4u gl calls %5u %7.1f ms\n", Name,
                e.GLCapabilities->LowQuality ? "low " : "full", s.LitFraction, s.Colours, e.Renderer->CountBatchItems,
                e.Renderer->GLCalls, std::chrono::duration<double, std::milli>(t1 - t0).count());
    EXPECT_GT(s.LitFraction, 0.5);
    EXPECT_GT(s.Colours, 1000u);
  }
}

TEST_F(RendererContentGL, EveryMapDrawsASmallLowQualityFrame) {
  RendererContentEngine& e = *engine_;
  if (!e.GLCapabilities->LowQuality) GTEST_SKIP() << "the low-quality pass runs with the plain driver";
  TStringList Found;
  ASSERT_TRUE(e.Archives->FindFiles("maps/*.bsp", &Found));
  std::sort(Found.Strings.begin(), Found.Strings.end());
  Found.Strings.erase(std::unique(Found.Strings.begin(), Found.Strings.end()), Found.Strings.end());
  EXPECT_EQ(Found.Strings.size(), 72u);
  e.SetCanvas(320, 240);
  int Drawn = 0;
  for (const std::string& Path : Found.Strings) {
    const std::string Name = Path.substr(5, Path.size() - 9);
    SCOPED_TRACE(Name);
    ASSERT_TRUE(e.MapCommand(Name));
    ASSERT_TRUE(e.SpawnView());
    e.Frame();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    const FrameStats s = MeasureFrame(e.ReadFrame());
    EXPECT_GT(s.LitFraction, 0.05);  // not a cleared frame
    EXPECT_GT(s.Colours, 16u);
    Drawn += s.LitFraction > 0.05;
  }
  std::printf("%d of %zu maps drawn at 320 x 240\n", Drawn, Found.Strings.size());
  e.SetCanvas(1280, 720);
}
