// Maps loaded one after another by the program's engine and game, drawn on a window: a map
// loaded again after another holds what it held the first time, in the libraries and in live
// OpenGL objects, and an unload goes back to what the engine held without a map. Resident
// memory is printed for each step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "game/Game.h"
#include "platform/ZNT1OpenGL.h"
#include "support/EngineHoldings.h"
#include "support/GameViewEngine.h"
#include "support/TestData.h"

namespace {

// Live OpenGL objects by kind, found by asking each name the driver may have handed out.
struct TGLObjects {
  int32_t Textures = 0, Buffers = 0, VertexArrays = 0, Framebuffers = 0, Renderbuffers = 0, Programs = 0,
          Shaders = 0;
  auto Tie() const { return std::tie(Textures, Buffers, VertexArrays, Framebuffers, Renderbuffers, Programs, Shaders); }
  bool operator==(const TGLObjects& o) const { return Tie() == o.Tie(); }
  friend std::ostream& operator<<(std::ostream& s, const TGLObjects& g) {
    return s << "textures " << g.Textures << ", buffers " << g.Buffers << ", vertex arrays " << g.VertexArrays
             << ", framebuffers " << g.Framebuffers << ", renderbuffers " << g.Renderbuffers << ", programs "
             << g.Programs << ", shaders " << g.Shaders;
  }
};

TGLObjects LiveGLObjects() {
  // A fresh name lies above every live one when names are handed out in rising order; when
  // freed names are reused, live ones stay below the most ever held at once.
  GLuint Fresh[2] = {0, 0};
  glGenTextures(1, &Fresh[0]);
  glGenBuffers(1, &Fresh[1]);
  glDeleteTextures(1, &Fresh[0]);
  glDeleteBuffers(1, &Fresh[1]);
  const GLuint Last = std::max<GLuint>({Fresh[0], Fresh[1], 1u << 16});
  TGLObjects g;
  for (GLuint n = 1; n <= Last; ++n) {
    g.Textures += glIsTexture(n);
    g.Buffers += glIsBuffer(n);
    g.VertexArrays += glIsVertexArray(n);
    g.Framebuffers += glIsFramebuffer(n);
    g.Renderbuffers += glIsRenderbuffer(n);
    g.Programs += glIsProgram(n);
    g.Shaders += glIsShader(n);
  }
  return g;
}

struct TStep {
  holdings::TInUse InUse;
  TGLObjects GL;
};

class GameMapCycleGL : public ::testing::TestWithParam<bool> {};

TEST_P(GameMapCycleGL, ALoadAfterAnotherHoldsWhatTheFirstHeld) {
  REQUIRE_CONTENT_DIR();
  const bool Full = GetParam();
  GameViewEngine View(testdata::ContentDir(), 320, 240, Full);
  ASSERT_TRUE(View.Ready()) << View.Error();
  auto Step = [&](const char* What) {
    View.Frame();
    TStep s{holdings::InUse(View.Engine()), LiveGLObjects()};
    std::printf("%s quality, %-14s RSS %7.1f MB | %s\n", Full ? "full" : "low", What, holdings::ResidentMB(),
                ::testing::PrintToString(s.GL).c_str());
    return s;
  };
  const TStep NoMap = Step("no map");
  ASSERT_TRUE(View.LoadMap("oa_dm1"));
  const TStep First = Step("oa_dm1");
  EXPECT_GT(First.GL.Buffers, NoMap.GL.Buffers);
  EXPECT_GT(First.GL.Textures, NoMap.GL.Textures);
  ASSERT_TRUE(View.LoadMap("oa_dm2"));
  // The loading screen went up before the old map was freed: a big map takes a while to free.
  EXPECT_TRUE(View.LoadingScreenOverOldMap());
  Step("oa_dm2");
  ASSERT_TRUE(View.LoadMap("oa_dm1"));
  const TStep Again = Step("oa_dm1 again");
  EXPECT_EQ(Again.InUse, First.InUse);
  EXPECT_EQ(Again.GL, First.GL);
  View.Game().UnloadMap();
  const TStep Unloaded = Step("unloaded");
  EXPECT_EQ(Unloaded.InUse, NoMap.InUse);
  EXPECT_EQ(Unloaded.GL, NoMap.GL);
}

INSTANTIATE_TEST_SUITE_P(Quality, GameMapCycleGL, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Full" : "Low"; });

}  // namespace
