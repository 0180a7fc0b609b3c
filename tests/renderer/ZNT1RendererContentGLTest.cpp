#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "RendererContentEngine.h"
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

TEST_F(RendererContentGL, MapCommandThenSpawnViews) {
  RendererContentEngine& e = *engine_;
  ASSERT_TRUE(e.MapCommand("oa_dm1"));
  ASSERT_TRUE(e.SpawnView());
  const auto t0 = std::chrono::steady_clock::now();
  e.Frame();
  glFinish();
  const auto t1 = std::chrono::steady_clock::now();
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  const auto Pixels = e.ReadFrame();
  const FrameStats s = MeasureFrame(Pixels);
  if (const char* Dump = std::getenv("ZNT1_DUMP_FRAME")) {
    FILE* f = std::fopen(Dump, "wb");
    std::fprintf(f, "P6 %d %d 255\n", e.CanvasWidth, e.CanvasHeight);
    for (int y = e.CanvasHeight - 1; y >= 0; --y)
      for (int x = 0; x < e.CanvasWidth; ++x) std::fwrite(&Pixels[(size_t(y) * e.CanvasWidth + x) * 4], 1, 3, f);
    std::fclose(f);
  }
  printf("oa_dm1 lit %.3f colours %zu items %u flushes %u gl %u %.1f ms lowq %d\n", s.LitFraction, s.Colours,
         e.Renderer->CountBatchItems, e.Renderer->CountFlushs, e.Renderer->GLCalls,
         std::chrono::duration<double, std::milli>(t1 - t0).count(), int(e.GLCapabilities->LowQuality));
  EXPECT_GT(s.LitFraction, 0.5);
  EXPECT_GT(s.Colours, 1000u);
}
