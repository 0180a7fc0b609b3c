#pragma once
// The one way tests get an OpenGL context: a hidden SDL window (Xvfb + Mesa in CI).
#include <gtest/gtest.h>
#include <SDL2/SDL.h>

#include <string>

#include "core/ZNT1Engine.h"

class GLContextFixture : public ::testing::Test {
 protected:
  // One window and context for the whole test program; created on first use, and again after
  // a test that ran a whole engine shut SDL down.
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

// A non-dedicated engine (no Init) on the shared context, with its capability probe, for tests
// of the GPU units; every test must leave no OpenGL error behind.
class GLEngineFixture : public GLContextFixture {
 protected:
  explicit GLEngineFixture(bool AQueryCapabilities = false) : QueryCapabilities(AQueryCapabilities) {}
  void SetUp() override;
  void TearDown() override;
  static void ClearGLErrors();

  TZNT1Engine engine{&CreateGameOfClass<TZNT1Game>, false};

 private:
  bool QueryCapabilities;
};
