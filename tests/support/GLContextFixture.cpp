#include "GLContextFixture.h"

#include "TestData.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "platform/ZNT1OpenGL.h"

SDL_Window* GLContextFixture::window_ = nullptr;
SDL_GLContext GLContextFixture::context_ = nullptr;
std::string GLContextFixture::error_;

void GLContextFixture::SetUpTestSuite() {
  // A test that ran a whole engine ends with SDL_Quit, which takes our window and context
  // with it: start again then.
  if (window_ && SDL_WasInit(SDL_INIT_VIDEO) == 0) {
    window_ = nullptr;
    context_ = nullptr;
  }
  if (window_) return;
  if (SDL_Init(SDL_INIT_VIDEO) < 0) {
    error_ = std::string("SDL_Init: ") + SDL_GetError();
    return;
  }
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_COMPATIBILITY);
  SDL_GL_SetAttribute(SDL_GL_RED_SIZE, 8);
  SDL_GL_SetAttribute(SDL_GL_GREEN_SIZE, 8);
  SDL_GL_SetAttribute(SDL_GL_BLUE_SIZE, 8);
  SDL_GL_SetAttribute(SDL_GL_ALPHA_SIZE, 8);
  SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 24);
  SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, 8);
  window_ = SDL_CreateWindow("test", 0, 0, 256, 256, SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
  if (!window_) {
    error_ = std::string("SDL_CreateWindow: ") + SDL_GetError();
    return;
  }
  context_ = SDL_GL_CreateContext(window_);
  if (!context_) {
    error_ = std::string("SDL_GL_CreateContext: ") + SDL_GetError();
    SDL_DestroyWindow(window_);
    window_ = nullptr;
  }
}

void GLContextFixture::TearDownTestSuite() {
  // Kept for the remaining suites of this program; the process exit frees it.
}

void GLContextFixture::SetUp() {
  SetUpTestSuite();
  if (!context_) {
    // Without a display the GL tests cannot run; CI always provides Xvfb.
    if (testdata::InCI()) FAIL() << "no OpenGL context: " << error_;
    GTEST_SKIP() << "no OpenGL context: " << error_;
  }
  SDL_GL_MakeCurrent(window_, context_);
}

SDL_Window* GLContextFixture::Window() { return window_; }
SDL_GLContext GLContextFixture::Context() { return context_; }

void GLEngineFixture::SetUp() {
  GLContextFixture::SetUp();
  if (IsSkipped() || HasFatalFailure()) return;
  ClearGLErrors();
  engine.GLCapabilities = std::make_unique<TZNT1GLCapabilities>(&engine);
  if (QueryCapabilities) engine.GLCapabilities->Query();
}

void GLEngineFixture::TearDown() {
  if (Context()) {
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
  }
}

void GLEngineFixture::ClearGLErrors() {
  while (glGetError() != GL_NO_ERROR) {
  }
}
