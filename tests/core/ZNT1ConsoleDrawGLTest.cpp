// The console's cell image and its slide over the window, read back as pixels.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <vector>

#include "assets/ZNT1Texture.h"
#include "assets/ZefuPNG.h"
#include "core/ZNT1Console.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Game.h"
#include "gpu/ZNT1FontPNG.h"
#include "gpu/ZNT1FrameBufferObject.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1GLSLShader.h"
#include "platform/ZNT1OpenGL.h"
#include "support/GLContextFixture.h"
#include "world/ZNT1BSP.h"

namespace {

using Pixel = std::array<int, 3>;

class ConsoleDrawGL : public GLContextFixture {
 protected:
  void SetUp() override {
    GLContextFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    while (glGetError() != GL_NO_ERROR) {
    }
    engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<TZNT1Game>, false);
    engine->GLCapabilities = std::make_unique<TZNT1GLCapabilities>(engine.get());
    engine->GLCapabilities->Query();
    try {
      engine->GLSLShaders = std::make_unique<TZNT1GLSLShaders>(engine.get());
    } catch (const EShaderException& e) {
      FAIL() << e.what();
    }
    engine->Textures = std::make_unique<TZNT1Textures>(engine.get());
    engine->Textures->CreateDefaultTextures();
    SDL_GetWindowSize(Window(), &engine->CanvasWidth, &engine->CanvasHeight);
    con = engine->Console.get();

    void* p = nullptr;
    ASSERT_TRUE(LoadPNG(FontData, FontSize, p, fontW, fontH, false));
    font.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + fontW * fontH * 4);
    std::free(p);
  }
  void TearDown() override {
    if (!Context() || !engine) return;
    con->Dispose();
    engine.reset();
    glDisable(GL_BLEND);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
  }

  // Uploads, then takes the animated picture away so that the image is exact.
  void UploadWithoutPicture() {
    con->Upload();
    ASSERT_TRUE(con->Uploaded);
    ASSERT_NE(con->BackgroundTexHandle, 0u);
    con->BackgroundTexHandle = 0;
  }

  bool GlyphSet(uint8_t ch, int x, int y) const {
    const size_t o = (static_cast<size_t>((ch / 16) * 16 + y) * fontW + (ch % 16) * 8 + x) * 4;
    return font[o] != 0;
  }

  // The off-screen image, rows top first.
  std::vector<uint8_t> ReadImage() const {
    const int w = con->InternalWidth, h = con->InternalHeight;
    std::vector<uint8_t> gl(static_cast<size_t>(w) * h * 4), img(gl.size());
    glBindTexture(GL_TEXTURE_2D, con->FrameBufferObject->TextureHandles[0]);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, gl.data());
    for (int y = 0; y < h; ++y)
      std::copy_n(&gl[static_cast<size_t>(h - 1 - y) * w * 4], static_cast<size_t>(w) * 4,
                  &img[static_cast<size_t>(y) * w * 4]);
    return img;
  }
  Pixel At(const std::vector<uint8_t>& img, int x, int y) const {
    const size_t o = (static_cast<size_t>(y) * con->InternalWidth + x) * 4;
    return {img[o], img[o + 1], img[o + 2]};
  }
  static Pixel Rgb(const TZNT1SpriteBatchColor& c) {
    return {static_cast<int>(c.r * 255.0f + 0.5f), static_cast<int>(c.g * 255.0f + 0.5f),
            static_cast<int>(c.b * 255.0f + 0.5f)};
  }
  static bool Near(const Pixel& a, const Pixel& b) {
    for (int i = 0; i < 3; ++i)
      if (std::abs(a[i] - b[i]) > 3) return false;
    return true;
  }
  // Every pixel of cell (cx, cy), 0-based: Fg where the glyph is set, else Bg.
  void ExpectCell(const std::vector<uint8_t>& img, int cx, int cy, uint8_t ch, const Pixel& Fg, const Pixel& Bg) {
    int Bad = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 8; ++x) {
        const Pixel want = ch != 0 && GlyphSet(ch, x, y) ? Fg : Bg;
        if (!Near(At(img, cx * 8 + x, cy * 16 + y), want)) ++Bad;
      }
    EXPECT_EQ(Bad, 0) << "cell " << cx << "," << cy;
  }

  // The window's back buffer after Draw, rows top first.
  Pixel WindowAt(int x, int y) const {
    uint8_t p[4] = {};
    glReadPixels(x, engine->CanvasHeight - 1 - y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, p);
    return {p[0], p[1], p[2]};
  }
  void ClearWindowGreen() const {
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(0, 0, engine->CanvasWidth, engine->CanvasHeight);
    glClearColor(0.0f, 1.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
  }

  std::unique_ptr<TZNT1Engine> engine;
  TZNT1Console* con = nullptr;
  std::vector<uint8_t> font;
  int32_t fontW = 0, fontH = 0;
};

TEST_F(ConsoleDrawGL, UploadPadsEachGlyphAndDisposeReleasesEverything) {
  TZNT1Texture* white = engine->Textures->WhiteTexture;
  const int32_t refs = white->ReferenceCounter;
  con->Upload();
  ASSERT_TRUE(con->Uploaded);
  EXPECT_TRUE(con->BackgroundUploaded);
  EXPECT_NE(con->TexHandle, 0u);
  EXPECT_NE(con->BackgroundTexHandle, 0u);
  EXPECT_EQ(con->chrWidth, 8);
  EXPECT_EQ(con->chrHeight, 16);
  EXPECT_EQ(white->ReferenceCounter, refs + 1);
  EXPECT_TRUE(white->Uploaded);

  // Each glyph sits in the top-left quarter of a 16 x 32 cell; black pixels and the rest
  // of the cell are transparent.
  std::vector<uint8_t> tex(256 * 512 * 4);
  glBindTexture(GL_TEXTURE_2D, con->TexHandle);
  glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, tex.data());
  int Bad = 0, Lit = 0;
  for (int ch = 0; ch < 256; ++ch)
    for (int y = 0; y < 32; ++y)
      for (int x = 0; x < 16; ++x) {
        const size_t o = (static_cast<size_t>((ch / 16) * 32 + y) * 256 + (ch % 16) * 16 + x) * 4;
        const bool set = x < 8 && y < 16 && GlyphSet(static_cast<uint8_t>(ch), x, y);
        const uint8_t want = set ? 255 : 0;
        if (tex[o] != want || tex[o + 1] != want || tex[o + 2] != want || tex[o + 3] != want) ++Bad;
        Lit += set;
      }
  EXPECT_EQ(Bad, 0);
  EXPECT_GT(Lit, 1000);

  con->Dispose();
  EXPECT_FALSE(con->Uploaded);
  EXPECT_FALSE(con->BackgroundUploaded);
  EXPECT_EQ(con->TexHandle, 0u);
  EXPECT_EQ(con->BackgroundTexHandle, 0u);
  EXPECT_EQ(con->SpriteBatch, nullptr);
  EXPECT_EQ(white->ReferenceCounter, refs);
  con->Dispose();  // a second dispose does nothing
  EXPECT_EQ(white->ReferenceCounter, refs);

  // The next drawing uploads again.
  con->DrawBuffer(con->RawBuffer);
  EXPECT_TRUE(con->Uploaded);
  EXPECT_TRUE(con->BackgroundUploaded);
  EXPECT_EQ(white->ReferenceCounter, refs + 1);
}

TEST_F(ConsoleDrawGL, CellsShowGlyphsOnTheirBackgroundsWithBlinkAndCursor) {
  UploadWithoutPicture();
  TZNT1ConsoleBuffer buf(static_cast<size_t>(con->BufSize), 0);
  const auto Put = [&](int x, int y, uint8_t ch, uint8_t attr) {
    buf[con->CellOffset(x + 1, y + 1)] = ch;
    buf[con->CellOffset(x + 1, y + 1) + 1] = attr;
  };
  Put(0, 0, 'A', 0x1F);  // white on blue
  Put(1, 0, 'A', 0x8E);  // blinking yellow; background 8 counts as 0 with BlinkOn
  Put(2, 0, 0, 0x40);    // red cell, no glyph
  Put(3, 0, 'g', 0x07);  // light gray on black
  Put(4, 0, 0, 0x8E);    // nothing
  Put(5, 0, 'A', 0x8E);  // under the cursor
  con->BlinkOn = true;
  con->CursorOn = true;
  con->CursorBlinkOn = true;
  con->Cursor.CurPos = {6, 1};
  const Pixel Black{0, 0, 0}, White = Rgb(VGARGB[15]), Yellow = Rgb(VGARGB[14]);

  con->Blinking = false;
  con->DrawBuffer(buf);
  ASSERT_NE(con->FrameBufferObject, nullptr);
  EXPECT_EQ(con->FrameBufferObject->Width, 640);
  EXPECT_EQ(con->FrameBufferObject->Height, 400);
  std::vector<uint8_t> img = ReadImage();
  ExpectCell(img, 0, 0, 'A', White, Rgb(VGARGB[1]));
  ExpectCell(img, 1, 0, 0, Black, Black);
  ExpectCell(img, 2, 0, 0, Black, Rgb(VGARGB[4]));
  ExpectCell(img, 3, 0, 'g', Rgb(VGARGB[7]), Black);
  ExpectCell(img, 4, 0, 0, Black, Black);
  ExpectCell(img, 5, 0, 0, Black, White);  // the cursor is a full white cell
  ExpectCell(img, 79, 24, 0, Black, Black);

  con->Blinking = true;
  con->CursorBlinkOn = false;
  con->DrawBuffer(buf);
  img = ReadImage();
  ExpectCell(img, 1, 0, 'A', Yellow, Black);
  ExpectCell(img, 5, 0, 'A', Yellow, Black);  // no cursor in its off phase

  // Without BlinkOn, bit 7 of the attribute makes background 8 (dark gray).
  con->BlinkOn = false;
  con->DrawBuffer(buf);
  img = ReadImage();
  ExpectCell(img, 1, 0, 'A', Yellow, Rgb(VGARGB[8]));
}

TEST_F(ConsoleDrawGL, BackgroundPictureShowsThroughBlackCellsOnly) {
  con->Upload();
  ASSERT_NE(con->BackgroundTexHandle, 0u);
  TZNT1ConsoleBuffer buf(static_cast<size_t>(con->BufSize), 0);
  for (int x = 1; x <= 40; ++x) buf[con->CellOffset(x, 1) + 1] = 0x40;
  con->DrawBuffer(buf);
  const std::vector<uint8_t> img = ReadImage();
  int Lit = 0, Red = 0;
  for (int y = 16; y < 400; ++y)
    for (int x = 0; x < 640; ++x) {
      const Pixel p = At(img, x, y);
      Lit += p[0] + p[1] + p[2] > 0;
    }
  for (int x = 0; x < 320; ++x) Red += Near(At(img, x, 8), Rgb(VGARGB[4]));
  EXPECT_GT(Lit, 640 * 384 / 2);  // the picture is visible behind empty cells
  EXPECT_EQ(Red, 320);            // an opaque cell background hides it
}

TEST_F(ConsoleDrawGL, DrawSlidesTheImageDownAndFadesItIn) {
  UploadWithoutPicture();
  const int W = engine->CanvasWidth, H = engine->CanvasHeight;
  ASSERT_GE(H, 64);
  const int64_t Sixth = engine->HighResolutionTimer->FromFloatSeconds(1.0 / 6.0);
  const int x = W - 4;  // a column of empty black cells
  const auto Green = [](float CoveredAlpha) {
    return Pixel{0, static_cast<int>(255.0f * (1.0f - CoveredAlpha) + 0.5f), 0};
  };

  // Closed: nothing drawn.
  ClearWindowGreen();
  con->Focus = false;
  con->Draw(Sixth);
  EXPECT_EQ(WindowAt(x, 0), Green(0.0f));
  EXPECT_EQ(con->FrameBufferObject, nullptr);

  // Half open without a map: the bottom edge at half the screen, opacity 1 - 0.5^2.
  ClearWindowGreen();
  con->Focus = true;
  con->Draw(Sixth);
  ASSERT_NEAR(con->FocusFactor, 0.5f, 1e-4f);
  EXPECT_TRUE(Near(WindowAt(x, H / 2 - 2), Green(0.75f)));
  EXPECT_TRUE(Near(WindowAt(x, 0), Green(0.75f)));
  EXPECT_EQ(WindowAt(x, H / 2 + 1), Green(0.0f));

  // Fully open without a map: the whole screen, opaque.
  ClearWindowGreen();
  con->Draw(Sixth);
  ASSERT_EQ(con->FocusFactor, 1.0f);
  EXPECT_TRUE(Near(WindowAt(x, H - 1), Green(1.0f)));

  // Fully open over a map: the lower half of the image over the top half, at 80 %.
  engine->BSP = std::make_unique<TZNT1BSP>(engine.get());
  ClearWindowGreen();
  con->Draw(Sixth);
  EXPECT_TRUE(Near(WindowAt(x, 0), Green(0.8f)));
  EXPECT_TRUE(Near(WindowAt(x, H / 2 - 2), Green(0.8f)));
  EXPECT_EQ(WindowAt(x, H / 2 + 1), Green(0.0f));
  // The input row, with its prompt, ends at half the screen.
  int Prompt = 0;
  for (int y = H / 2 - H / 25; y < H / 2; ++y)
    for (int px = 0; px < W / 80; ++px) Prompt += WindowAt(px, y)[0] > 100;
  EXPECT_GT(Prompt, 0);
  engine->BSP.reset();
}

}  // namespace
