#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "RendererContentEngine.h"
#include "RendererGLRecorder.h"
#include "RendererTestMap.h"
#include "support/GLContextFixture.h"
#include "support/TestData.h"

// The sky of oa_dm2 from its spawn points, in both qualities, against the same frames with the
// sky geometry taken away: the sky changes only pixels inside its stencil mask.
namespace {

constexpr int32_t W = 160, H = 120;

class RendererSkyGL : public RendererContentFixture {
 protected:
  static void SetUpTestSuite() { OpenWindow("sky", W, H); }

  static std::vector<uint8_t> ReadStencil(const RendererContentEngine& e) {
    std::vector<uint8_t> s(size_t(W) * H);
    const TZNT1RendererContext* c = e.Renderer->MainContext.get();
    glBindFramebuffer(GL_READ_FRAMEBUFFER,
                      c && c->UseFrameBufferObject && c->FrameBufferObject ? c->FrameBufferObject->FrameBuffer : 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, W, H, GL_STENCIL_INDEX, GL_UNSIGNED_BYTE, s.data());
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    return s;
  }

  // The frame, drawn once more with the map's sky box sides and cloud dome emptied.
  static std::pair<std::vector<uint8_t>, std::vector<uint8_t>> WithAndWithoutSky(RendererContentEngine& e) {
    e.Frame();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    const std::vector<uint8_t> With = e.ReadFrame();
    e.FrameWithoutSky();
    return {With, e.ReadFrame()};
  }

  static bool Changed(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t p) {
    return a[p * 4] != b[p * 4] || a[p * 4 + 1] != b[p * 4 + 1] || a[p * 4 + 2] != b[p * 4 + 2];
  }
};

}  // namespace

TEST_F(RendererSkyGL, SkyFillsOnlyItsStencilMask) {
  for (const int LowQuality : {1, 0}) {
    SCOPED_TRACE(LowQuality ? "low quality" : "full quality");
    RendererContentEngine e(testdata::ContentDir(), W, H, LowQuality);
    ASSERT_TRUE(e.MapCommand("oa_dm2"));
    e.Plain();
    size_t SkyPixels = 0;
    for (size_t Spawn = 0; Spawn < e.SpawnPoints().size(); ++Spawn) {
      ASSERT_TRUE(e.SpawnView(Spawn));
      e.Frame();
      ASSERT_EQ(glGetError(), GLenum(GL_NO_ERROR));
      const std::vector<uint8_t> WithSky = e.ReadFrame(), Mask = ReadStencil(e);
      // The same frame with no sky box and no cloud dome to draw.
      e.FrameWithoutSky();
      const std::vector<uint8_t> Without = e.ReadFrame();
      size_t Outside = 0;
      for (size_t p = 0; p < Mask.size(); ++p) {
        if (!Changed(WithSky, Without, p)) continue;
        ++SkyPixels;
        if ((Mask[p] & 1) == 0) ++Outside;
      }
      EXPECT_EQ(Outside, 0u) << "spawn " << Spawn;
    }
    EXPECT_GT(SkyPixels, 0u);
    RecordProperty(LowQuality ? "SkyPixelsLow" : "SkyPixelsFull", int(SkyPixels));
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  }
}

// The built-in scene: the sky quad seen partly behind the green box. The sky changes only pixels
// of its stencil mask, none of the box's (the box lies inside the quad's outline on screen), and
// with the quad out of view it changes nothing.
TEST_F(RendererSkyGL, SkyStaysBehindTheBoxOfTheBuiltInScene) {
  using Scene = RendererTestMap::Scene;
  for (const int LowQuality : {1, 0}) {
    SCOPED_TRACE(LowQuality ? "low quality" : "full quality");
    RendererContentEngine e(testdata::ContentDir(), W, H, LowQuality, 0, Scene::Files());
    ASSERT_TRUE(e.MapCommand(Scene::Name));
    e.Plain();
    e.View(Scene::SkyEye, Vector3(0, 0, 0));
    const auto [With, Without] = WithAndWithoutSky(e);
    e.Frame();
    const std::vector<uint8_t> Mask = ReadStencil(e);
    size_t Sky = 0, Outside = 0, Box = 0, BoxInSky = 0;
    int SkyLeft = W, SkyRight = -1;  // columns the sky covers
    for (size_t p = 0; p < Mask.size(); ++p)
      if (Changed(With, Without, p)) {
        ++Sky;
        Outside += (Mask[p] & 1) == 0;
        SkyLeft = std::min(SkyLeft, int(p % W));
        SkyRight = std::max(SkyRight, int(p % W));
      }
    for (size_t p = 0; p < Mask.size(); ++p) {
      const bool Green = Without[p * 4 + 1] > 200 && Without[p * 4] < 120 && Without[p * 4 + 2] < 120;
      if (!Green) continue;
      ++Box;
      BoxInSky += int(p % W) > SkyLeft && int(p % W) < SkyRight;
      EXPECT_FALSE(Changed(With, Without, p)) << p;
      EXPECT_EQ(Mask[p] & 1, 0) << p;
    }
    EXPECT_GT(Sky, 100u);
    EXPECT_EQ(Outside, 0u);
    EXPECT_GT(BoxInSky, 100u);
    RecordProperty(LowQuality ? "SceneSkyPixelsLow" : "SceneSkyPixelsFull", int(Sky));
    // Facing the side, only the floor is in view: the sky draws nothing.
    e.View(Scene::SkyEye, Vector3(0, -1.5707963f, 0));
    const auto [Away, AwayWithout] = WithAndWithoutSky(e);
    EXPECT_EQ(Away, AwayWithout);
  }
}

// Sky box sides whose texture is the default texture are left out; the near box blends over the
// far one, both only inside the sky's mask.
TEST_F(RendererSkyGL, SkyBoxSidesWithTheDefaultTextureAreNotDrawn) {
  using Scene = RendererTestMap::Scene;
  RendererContentEngine e(testdata::ContentDir(), W, H, -1, 0, Scene::Files());
  ASSERT_TRUE(e.MapCommand(Scene::Name));
  e.Plain();
  e.View(Scene::SkyEye, Vector3(0, 0, 0));
  e.Frame();
  TZNT1Shader* Sky = e.Renderer->MainContext->SkyShader;
  ASSERT_NE(Sky, nullptr);
  TZNT1Texture *White = e.Textures->WhiteTexture, *Default = e.Textures->DefaultTexture;
  struct Case {
    const char* Name;
    TZNT1Texture* Outer[6];
    TZNT1Texture* Inner[6];
    int WhiteSides, Draws;  // sides with the white texture; sky program draws in all
  };
  const Case Cases[] = {
      {"far box, three default sides", {White, White, Default, White, Default, Default}, {}, 3, 3},
      {"far box led by a default side: none", {Default, White, White, White, White, White}, {}, 0, 0},
      {"near box only", {}, {White, Default, White, nullptr, White, White}, 4, 4},
  };
  int Sides = 0;
  for (int i = 0; i < 6; ++i) Sides += !e.BSP->SkyVBOSideIndices[i].empty();
  ASSERT_EQ(Sides, 6);
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Name);
    for (int i = 0; i < 6; ++i) {
      Sky->Sky.OuterBox[i] = c.Outer[i];
      Sky->Sky.InnerBox[i] = c.Inner[i];
    }
    e.Renderer->State->Reset();
    RendererGLRecorder Recorder;
    e.Frame();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    auto Draws = RendererGLRecorder::DrawsByTexture(uint32_t(e.GLSLShaders->DefaultGLSLSkyShader->ProgramHandle), 2);
    EXPECT_EQ(Draws[uint32_t(White->Handle)], c.WhiteSides);
    EXPECT_EQ(Draws[uint32_t(Default->Handle)], 0);
    int All = 0;
    for (const auto& [Texture, n] : Draws) All += n;
    EXPECT_EQ(All, c.Draws);
  }
  for (int i = 0; i < 6; ++i) Sky->Sky.OuterBox[i] = Sky->Sky.InnerBox[i] = nullptr;
}
