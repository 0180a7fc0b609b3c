#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "RendererContentEngine.h"
#include "support/GLContextFixture.h"
#include "support/TestData.h"

// The post chain in full quality on oa_dm1's spawn view, at a small size (llvmpipe is slow).
namespace {

constexpr int32_t W = 192, H = 128;

class RendererPostGL : public RendererContentFixture {
 protected:
  static void SetUpTestSuite() {
    OpenEngine("post", W, H, 0);
    if (engine_ && (!engine_->MapCommand("oa_dm1") || !engine_->SpawnView())) CloseEngine();
  }

  // The window's picture, bottom row first.
  static std::vector<uint8_t> ReadWindow() {
    std::vector<uint8_t> Pixels(size_t(W) * H * 4);
    glBindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, W, H, GL_RGBA, GL_UNSIGNED_BYTE, Pixels.data());
    return Pixels;
  }

  // Pair entry i of the ping-pong targets, bottom row first.
  static std::vector<uint8_t> ReadPair(int i) {
    std::vector<uint8_t> Pixels(size_t(W) * H * 4);
    glBindTexture(GL_TEXTURE_2D, engine_->Renderer->FrameBufferObjects[i]->TextureHandles[0]);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, Pixels.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    return Pixels;
  }

  static size_t Differing(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size(); i += 4) n += a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2];
    return n;
  }
};

}  // namespace

TEST_F(RendererPostGL, EveryModeReachesTheWindowWithoutGLError) {
  TZNT1Renderer& r = *engine_->Renderer;
  ASSERT_FALSE(engine_->GLCapabilities->LowQuality);
  r.WaterEffect = false;
  r.BloomEffect = false;
  r.Antialiasing = aaNONE;
  engine_->Frame();
  ASSERT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  // Without antialiasing, water and bloom the window shows the main target as it is.
  const std::vector<uint8_t> Plain = ReadWindow();
  const std::vector<uint8_t> Main = engine_->ReadFrame();
  EXPECT_EQ(Differing(Plain, Main), 0u);

  std::vector<uint8_t> Fxaa3;
  for (int32_t Mode : {aaDLAA, aaFXAA2, aaFXAA3, aaNFAA, aaSMAA, 7}) {
    SCOPED_TRACE(Mode);
    r.Antialiasing = Mode;
    engine_->Frame();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    if (Mode == aaFXAA3) Fxaa3 = ReadWindow();
    const size_t Changed = Differing(ReadWindow(), Plain);
    if (Mode == 7) {
      EXPECT_EQ(Changed, 0u);  // outside 0..5: as none
    } else {
      // Antialiasing touches edges, not the whole picture.
      EXPECT_GT(Changed, 0u);
      EXPECT_LT(Changed, size_t(W) * H / 2);
    }
  }
  r.Antialiasing = aaNONE;
  for (const bool Water : {true, false}) {
    r.WaterEffect = Water;
    r.BloomEffect = !Water;
    engine_->Frame();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    EXPECT_GT(Differing(ReadWindow(), Plain), 0u) << (Water ? "water" : "bloom");
  }
  // Default settings: luma and FXAA 3 write entries 1 and 0; the bloom combine reads entry 0 and
  // draws straight into the window.
  r.WaterEffect = false;
  r.BloomEffect = true;
  r.Antialiasing = aaFXAA3;
  engine_->Frame();
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  EXPECT_EQ(Differing(ReadPair(0), Fxaa3), 0u);
  EXPECT_GT(Differing(ReadWindow(), Fxaa3), 0u);
}
