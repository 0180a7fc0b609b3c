// The game drawn on a real map: in third person the player's body shows where its box projects.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <memory>

#include "game/Game.h"
#include "game/GameClient.h"
#include "game/GameEntity.h"
#include "renderer/RendererContentEngine.h"
#include "support/GLContextFixture.h"
#include "support/TestData.h"

namespace {

constexpr int32_t Width = 640, Height = 480;

class GameGL : public RendererContentFixture {
 protected:
  static void SetUpTestSuite() {
    OpenEngine("game", Width, Height);
    if (engine_) engine_->Game = CreateGameOfClass<TGame>(engine_.get());
  }
};

// The pixel rectangle (bottom row 0) a box covers under the engine's view and projection.
struct TRect {
  float x0 = 1e9f, y0 = 1e9f, x1 = -1e9f, y1 = -1e9f;
};

TRect Project(const TZNT1Engine& e, const TZNT1AABB& Box) {
  const TZNT1Matrix4x4 VP = Matrix4x4TermMul(Matrix4x4TermMul(e.ViewMatrix, Matrix4x4Flip), e.ProjectionMatrix);
  TRect r;
  for (int i = 0; i < 8; ++i) {
    TZNT1Vector4 p = Vector4(i & 1 ? Box.Max.x : Box.Min.x, i & 2 ? Box.Max.y : Box.Min.y,
                             i & 4 ? Box.Max.z : Box.Min.z, 1.0f);
    Vector4MatrixMul(p, VP);
    if (p.w <= 0.0f) continue;
    const float x = (p.x / p.w * 0.5f + 0.5f) * float(e.CanvasWidth), y = (p.y / p.w * 0.5f + 0.5f) * float(e.CanvasHeight);
    r.x0 = std::min(r.x0, x);
    r.x1 = std::max(r.x1, x);
    r.y0 = std::min(r.y0, y);
    r.y1 = std::max(r.y1, y);
  }
  return r;
}

TEST_F(GameGL, ThirdPersonBodyShowsWhereItsBoxProjects) {
  RendererContentEngine& e = *engine_;
  TGame& g = static_cast<TGame&>(*e.Game);
  g.LoadMap("oa_dm1");
  ASSERT_TRUE(e.BSP);
  ASSERT_NE(g.LocalClientInstance, nullptr);
  TGameClient& c = *g.LocalClientInstance;
  TGamePlayerModel& Body = *c.PlayerModel;
  ASSERT_NE(Body.LowerInstance, nullptr);
  e.Renderer->BloomEffect = false;
  c.ThirdPerson = true;
  // Let the blend and the camera's glide settle.
  for (int f = 0; f < 240; ++f) {
    g.Update(1.0 / 60.0);
    c.GetViewMatrix(1.0f / 60.0f, 1.0f);
  }
  ASSERT_GT(c.ViewInterpolation, 0.99f);
  auto Shoot = [&](bool ShowBody) {
    g.Draw(1.0f, 1.0f / 60.0f);
    for (TZNT1ModelInstance* i : {Body.LowerInstance, Body.UpperInstance, Body.HeadInstance}) {
      i->CastShadow = false;
      if (!ShowBody) i->RenderType = 3;
    }
    e.Frame();
    return e.ReadFrame();
  };
  Shoot(true);  // programs compiled, targets made
  const std::vector<uint8_t> With = Shoot(true);
  const TZNT1AABB Box = AABBCombine(AABBCombine(Body.LowerInstance->ViewAABB, Body.UpperInstance->ViewAABB),
                                    Body.HeadInstance->ViewAABB);
  const TRect r = Project(e, Box);
  const std::vector<uint8_t> Without = Shoot(false);
  if (const char* Dump = std::getenv("ZNT1_DUMP_FRAME")) {
    FILE* f = std::fopen((std::string(Dump) + "third_person.ppm").c_str(), "wb");
    std::fprintf(f, "P6 %d %d 255\n", Width, Height);
    for (int y = Height - 1; y >= 0; --y)
      for (int x = 0; x < Width; ++x) std::fwrite(&With[(size_t(y) * Width + x) * 4], 1, 3, f);
    std::fclose(f);
  }
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  ASSERT_LT(r.x0, r.x1);
  int64_t Inside = 0, Outside = 0;
  for (int y = 0; y < Height; ++y)
    for (int x = 0; x < Width; ++x) {
      const size_t k = (size_t(y) * Width + x) * 4;
      int d = 0;
      for (int ch = 0; ch < 3; ++ch) d = std::max(d, std::abs(int(With[k + ch]) - int(Without[k + ch])));
      if (d <= 8) continue;
      const bool In = x >= r.x0 - 2 && x <= r.x1 + 2 && y >= r.y0 - 2 && y <= r.y1 + 2;
      (In ? Inside : Outside)++;
    }
  std::printf("body pixels %lld inside its box's %.0f x %.0f rectangle, %lld outside\n", (long long)Inside,
              double(r.x1 - r.x0), double(r.y1 - r.y0), (long long)Outside);
  EXPECT_GT(Inside, 200);
  EXPECT_LE(Outside, Inside / 50);
  // The camera stands behind the body: the rectangle is inside the picture.
  EXPECT_GT(r.x0, 0.0f);
  EXPECT_LT(r.x1, float(Width));
  g.UnloadMap();
}

// In full quality the game's first-person spawn views hold five shadow slots (two fill passes), the
// player's own among them: with each fill pass bounded to where its own slots' shadows can fall,
// the picture is the one passes over the whole view draw. On pul1duel-oa the far slot gathers the
// map's items, more casters than the regions have boxes.
TEST_F(GameGL, BoundedShadowPassesDrawTheWholeViewsPicture) {
  struct Case {
    const char* Map;
    int32_t MostCasters;  // at least this many in one slot
  };
  for (const Case& c : {Case{"oa_dm6", 1}, Case{"pul1duel-oa", TZNT1ShadowRegions::MaxBoxes + 1}}) {
    SCOPED_TRACE(c.Map);
    RendererContentEngine e(testdata::ContentDir(), Width, Height, 0);
    e.Game = CreateGameOfClass<TGame>(&e);
    TGame& g = static_cast<TGame&>(*e.Game);
    g.LoadMap(c.Map);
    ASSERT_TRUE(e.BSP);
    ASSERT_NE(g.LocalClientInstance, nullptr);
    for (int f = 0; f < 30; ++f) g.Update(1.0 / 60.0);
    auto Shoot = [&](bool Bounded) {
      e.Renderer->BoundShadowPasses = Bounded;
      g.Draw(1.0f, 1.0f / 60.0f);
      e.Frame();
      EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
      return e.ReadFrame();
    };
    Shoot(true);
    const std::vector<uint8_t> Bounded = Shoot(true);
    EXPECT_EQ(std::popcount(e.Renderer->MainContext->AllModelShadowMapBitmap), 5);
    int32_t Most = 0;
    for (const auto& s : e.Renderer->ShadowMaps)
      if (s) Most = std::max(Most, s->CountModelInstances);
    EXPECT_GE(Most, c.MostCasters);
    const std::vector<uint8_t> Whole = Shoot(false);
    EXPECT_TRUE(Bounded == Whole);
    e.Renderer->BoundShadowPasses = true;
    g.UnloadMap();
  }
}

}  // namespace
