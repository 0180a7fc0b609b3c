// A map load ends by drawing the map under the loading screen, so that a driver which builds its
// code on first use (a software rasterizer takes seconds for a whole map) builds it there and not
// in play: every draw state that play at any spawn point uses was drawn with before play began.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "core/ZNT1Engine.h"
#include "game/Game.h"
#include "gpu/ZNT1GLSLShader.h"
#include "renderer/RendererGLRecorder.h"
#include "renderer/ZNT1Renderer.h"
#include "support/GameViewEngine.h"
#include "support/TestData.h"

namespace {

class GameWarmUpGL : public ::testing::TestWithParam<bool> {};

TEST_P(GameWarmUpGL, TheLoadDrawsInEveryStateThatPlayAtAnySpawnPointUses) {
  REQUIRE_CONTENT_DIR();
  // oa_dm1 has a mirror, oa_dm3 two camera portals.
  for (const char* Map : {"oa_dm1", "oa_dm3"}) {
    SCOPED_TRACE(Map);
    GameViewEngine View(testdata::ContentDir(), 320, 240, GetParam());
    ASSERT_TRUE(View.Ready()) << View.Error();
    RendererGLRecorder Recorder;
    View.Frame();  // the console's first frame, as the program draws before anything is typed
    ASSERT_TRUE(View.LoadMap(Map));
    const size_t Loaded = RendererGLRecorder::Calls().size();
    // The warm-up leaves the renderer as a frame would: the whole canvas, every draw made.
    EXPECT_FALSE(View.Engine().Renderer->DrawEverything);
    EXPECT_EQ(View.Engine().Renderer->DrawDeadline, 0);
    EXPECT_EQ(View.Engine().ViewPortRight, View.Width());
    EXPECT_EQ(View.Engine().ViewPortBottom, View.Height());
    const size_t Spawns = View.Spawns().size();
    ASSERT_GT(Spawns, 1u);
    for (size_t s = 0; s < Spawns; ++s) {
      ASSERT_TRUE(View.PlaceAtSpawn(s));
      View.Frame();
      View.Frame();
    }
    const std::set<std::string> Before = RendererGLRecorder::DrawStates(0, Loaded);
    const std::set<std::string> Play = RendererGLRecorder::DrawStates(Loaded, RendererGLRecorder::Calls().size());
    // The renderer's own programs that fill the light buffer from two to four shadow maps at once
    // are no map's: play builds each once per run, the first time that many shadows fall.
    std::set<std::string> Fills;
    for (const TZNT1GLSLShader* f : View.Engine().GLSLShaders->DefaultGLSLShadowFillShader)
      if (f) Fills.insert(RendererGLRecorder::Format("UseProgram", f->ProgramHandle));
    std::vector<std::string> Missing;
    for (const std::string& State : Play)
      if (!Before.count(State) && std::none_of(Fills.begin(), Fills.end(), [&](const std::string& f) {
            return State.find("=" + f + " ") != std::string::npos;
          }))
        Missing.push_back(State);
    std::printf("%s, %s quality: %zu draw states before play, %zu in play at %zu spawn points, %zu of them new\n",
                Map, GetParam() ? "full" : "low", Before.size(), Play.size(), Spawns, Missing.size());
    EXPECT_GT(Play.size(), 0u);
    for (size_t i = 0; i < Missing.size() && i < 5; ++i) ADD_FAILURE() << "first drawn in play: " << Missing[i];
  }
}

// A frame past its deadline makes no material draw and counts each one it leaves; without a
// deadline a frame makes them all.
TEST_P(GameWarmUpGL, DrawsPastTheDeadlineAreSkippedAndCounted) {
  REQUIRE_CONTENT_DIR();
  GameViewEngine View(testdata::ContentDir(), 320, 240, GetParam());
  ASSERT_TRUE(View.Ready()) << View.Error();
  ASSERT_TRUE(View.LoadMap("oa_dm1"));
  TZNT1Renderer& r = *View.Engine().Renderer;
  for (const int64_t Deadline : {int64_t(1) /* long past */, int64_t(0)}) {
    r.DrawDeadline = Deadline;
    View.Frame();
    EXPECT_EQ(r.DrawsIssued > 0, Deadline == 0);
    EXPECT_EQ(r.DrawsSkipped > 0, Deadline != 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Quality, GameWarmUpGL, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Full" : "Low"; });

}  // namespace
