#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "RendererContentEngine.h"
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
};

}  // namespace

TEST_F(RendererSkyGL, SkyFillsOnlyItsStencilMask) {
  for (const int LowQuality : {1, 0}) {
    SCOPED_TRACE(LowQuality ? "low quality" : "full quality");
    RendererContentEngine e(testdata::ContentDir(), W, H, LowQuality);
    ASSERT_TRUE(e.MapCommand("oa_dm2"));
    e.Renderer->Antialiasing = aaNONE;
    e.Renderer->BloomEffect = false;
    size_t SkyPixels = 0;
    for (size_t Spawn = 0; Spawn < e.SpawnPoints().size(); ++Spawn) {
      ASSERT_TRUE(e.SpawnView(Spawn));
      e.Frame();
      ASSERT_EQ(glGetError(), GLenum(GL_NO_ERROR));
      const std::vector<uint8_t> WithSky = e.ReadFrame(), Mask = ReadStencil(e);
      // The same frame with no sky box and no cloud dome to draw.
      std::vector<uint32_t> Sides[6], Dome;
      for (int i = 0; i < 6; ++i) std::swap(Sides[i], e.BSP->SkyVBOSideIndices[i]);
      std::swap(Dome, e.BSP->SkyVBOIndices);
      e.Frame();
      const std::vector<uint8_t> Without = e.ReadFrame();
      for (int i = 0; i < 6; ++i) std::swap(Sides[i], e.BSP->SkyVBOSideIndices[i]);
      std::swap(Dome, e.BSP->SkyVBOIndices);
      size_t Outside = 0;
      for (size_t p = 0; p < Mask.size(); ++p) {
        const bool Changed = WithSky[p * 4] != Without[p * 4] || WithSky[p * 4 + 1] != Without[p * 4 + 1] ||
                             WithSky[p * 4 + 2] != Without[p * 4 + 2];
        if (!Changed) continue;
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
