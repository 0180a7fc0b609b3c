#include <gtest/gtest.h>

#include "platform/ZNT1OpenGL.h"
#include "support/GLContextFixture.h"

using GLContext = GLContextFixture;

TEST_F(GLContext, GivesACompatibilityContextOfAtLeast31) {
  int major = 0, minor = 0;
  GetOpenGLContextVersion(major, minor);
  EXPECT_GE(major * 10 + minor, 31);
  EXPECT_TRUE(LoadOpenGLRequired([](const char* n) { return SDL_GL_GetProcAddress(n); }, major, minor));
  // Deprecated entry points work: the context is not a core profile one.
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}
