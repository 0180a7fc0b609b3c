#include <gtest/gtest.h>

#include <string>

#include "platform/ZNT1OpenGL.h"

TEST(OpenGLVersionCheck, OlderContextOrMissingEntryPointFails) {
  auto all = [](const char*) -> void* { return reinterpret_cast<void*>(1); };
  auto none31 = [](const char* n) -> void* {
    return std::string(n) == "glDrawArraysInstanced" ? nullptr : reinterpret_cast<void*>(1);
  };
  int fmaj = 0, fmin = 0;
  EXPECT_TRUE(LoadOpenGLRequired(all, 3, 1));
  EXPECT_FALSE(LoadOpenGLRequired(all, 3, 0, &fmaj, &fmin));  // a 3.0 driver lacks 3.1
  EXPECT_EQ(fmaj * 10 + fmin, 31);
  EXPECT_FALSE(LoadOpenGLRequired(none31, 4, 5, &fmaj, &fmin));
  EXPECT_EQ(fmaj * 10 + fmin, 31);
  EXPECT_EQ(LoadOpenGLOptional(all, 3, 1), 0);
  EXPECT_EQ(LoadOpenGLOptional(all, 4, 5), 2);
}
