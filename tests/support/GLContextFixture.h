#pragma once
// The one way tests get an OpenGL context: a hidden SDL window (Xvfb + Mesa in CI).
#include <gtest/gtest.h>
#include <SDL2/SDL.h>

#include <string>

class GLContextFixture : public ::testing::Test {
 protected:
  // One window and context for the whole test program; created on first use.
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;

  static SDL_Window* Window();
  static SDL_GLContext Context();

 private:
  static SDL_Window* window_;
  static SDL_GLContext context_;
  static std::string error_;
};
