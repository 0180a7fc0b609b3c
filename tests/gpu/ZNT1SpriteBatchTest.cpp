// Without an engine the batch makes no OpenGL call, so its vertex generation and its flush
// bookkeeping can be checked on the client arrays alone.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "gpu/ZNT1SpriteBatch.h"

namespace {

using Rect = TZNT1SpriteBatchRect;
using Color = TZNT1SpriteBatchColor;
using Tex = TZNT1SpriteBatchTexture;

void ExpectVertex(const TZNT1SpriteBatchVertex& v, float x, float y, float s, float t, const Color& c,
                  const std::string& Where) {
  SCOPED_TRACE(Where);
  EXPECT_FLOAT_EQ(v.Position.x, x);
  EXPECT_FLOAT_EQ(v.Position.y, y);
  EXPECT_FLOAT_EQ(v.TextureCoord.x, s);
  EXPECT_FLOAT_EQ(v.TextureCoord.y, t);
  EXPECT_EQ(v.Color.r, c.r);
  EXPECT_EQ(v.Color.g, c.g);
  EXPECT_EQ(v.Color.b, c.b);
  EXPECT_EQ(v.Color.a, c.a);
}

TEST(SpriteBatch, ConstructionSizesAndIndexPattern) {
  TZNT1SpriteBatch b(nullptr);
  EXPECT_EQ(b.VertexBufferCount, 32768);
  EXPECT_EQ(b.VertexBufferSize, 4194304);
  EXPECT_EQ(b.IndexBufferCount, 49152);
  EXPECT_EQ(b.IndexBufferSize, 98304);
  EXPECT_EQ(b.ClientVertex.size(), 32768u);
  EXPECT_EQ(b.Width, 1);
  EXPECT_EQ(b.Height, 1);
  EXPECT_FALSE(b.IsSetUp);
  EXPECT_FALSE(b.Blending);
  EXPECT_FALSE(b.AdditiveBlending);
  EXPECT_EQ(b.VertexID, 0u);
  EXPECT_EQ(b.IndexID, 0u);

  // A second Setup must leave the same pattern, not a longer one.
  for (int Round = 0; Round < 2; Round++) {
    b.Setup();
    EXPECT_TRUE(b.IsSetUp);
    ASSERT_EQ(b.ClientIndex.size(), 49152u);
    const std::vector<uint16_t> First(b.ClientIndex.begin(), b.ClientIndex.begin() + 12);
    EXPECT_EQ(First, (std::vector<uint16_t>{0, 1, 2, 0, 2, 3, 4, 5, 6, 4, 6, 7}));
    const std::vector<uint16_t> Last(b.ClientIndex.end() - 6, b.ClientIndex.end());
    EXPECT_EQ(Last, (std::vector<uint16_t>{32764, 32765, 32766, 32764, 32766, 32767}));
  }
}

TEST(SpriteBatch, DrawMakesClipSpaceQuadWithTexelCoordinates) {
  TZNT1SpriteBatch b(nullptr);
  b.Setup();
  b.Width = 4;
  b.Height = 2;
  b.Start();
  const Color c{0.25f, 0.5f, 0.75f, 1.0f};
  // Texels of an 8 x 4 texture; x 1 of 4 is clip -0.5, y 0.5 of 2 is clip 0.5.
  b.Draw(Tex{7, 8, 4}, Rect{1.0f, 0.5f, 3.0f, 2.0f}, Rect{2.0f, 1.0f, 6.0f, 3.0f}, c);
  ASSERT_EQ(b.VertexBufferUsed, 4);
  EXPECT_EQ(b.IndexBufferUsed, 6);
  EXPECT_EQ(b.LastTextureID, 7u);
  ExpectVertex(b.ClientVertex[0], -0.5f, 0.5f, 0.25f, 0.25f, c, "left top");
  ExpectVertex(b.ClientVertex[1], 0.5f, 0.5f, 0.75f, 0.25f, c, "right top");
  ExpectVertex(b.ClientVertex[2], 0.5f, -1.0f, 0.75f, 0.75f, c, "right bottom");
  ExpectVertex(b.ClientVertex[3], -0.5f, -1.0f, 0.25f, 0.75f, c, "left bottom");

  // A mirrored rectangle is drawn as given, not dropped.
  b.Draw(Tex{7, 8, 4}, Rect{3.0f, 2.0f, 1.0f, 0.5f}, Rect{0.0f, 4.0f, 8.0f, 0.0f}, c);
  ASSERT_EQ(b.VertexBufferUsed, 8);
  ExpectVertex(b.ClientVertex[4], 0.5f, -1.0f, 0.0f, 1.0f, c, "mirrored left top");
  ExpectVertex(b.ClientVertex[6], -0.5f, 0.5f, 1.0f, 0.0f, c, "mirrored right bottom");
}

// Each overload must produce the same vertices as the main Draw with the rectangles it stands for.
TEST(SpriteBatch, OverloadsBuildTheirRectangles) {
  const Tex t{3, 16, 8};
  const Color c{0.1f, 0.2f, 0.3f, 0.4f};
  const Rect d{2.0f, 3.0f, 10.0f, 7.0f};
  const Rect s{1.0f, 2.0f, 5.0f, 6.0f};
  struct Case {
    const char* Name;
    std::function<void(TZNT1SpriteBatch&)> Overload;
    Rect Dest;
    Rect Src;
    Color Col;
  };
  const Case Cases[] = {
      {"at x, y", [&](TZNT1SpriteBatch& b) { b.Draw(t, 2.0f, 3.0f, c); }, Rect{2, 3, 18, 11}, Rect{0, 0, 16, 8}, c},
      {"corners and alpha", [&](TZNT1SpriteBatch& b) { b.Draw(t, 2, 3, 10, 7, 1, 2, 5, 6, 0.5f); }, d, s,
       Color{1, 1, 1, 0.5f}},
      {"origin", [&](TZNT1SpriteBatch& b) { b.Draw(t, d, s, TZNT1SpriteBatchPoint{1.0f, -2.0f}, c); },
       Rect{1, 5, 9, 9}, s, c},
      {"rotation 0", [&](TZNT1SpriteBatch& b) { b.Draw(t, d, s, TZNT1SpriteBatchPoint{4.0f, 1.0f}, 0.0f, c); }, d, s,
       c},
      {"whole texture", [&](TZNT1SpriteBatch& b) { b.Draw(t, d, c); }, d, Rect{0, 0, 16, 8}, c},
  };
  for (const Case& k : Cases) {
    SCOPED_TRACE(k.Name);
    TZNT1SpriteBatch Got(nullptr), Want(nullptr);
    for (TZNT1SpriteBatch* b : {&Got, &Want}) {
      b->Width = 20;
      b->Height = 10;
      b->Start();
    }
    k.Overload(Got);
    Want.Draw(t, k.Dest, k.Src, k.Col);
    ASSERT_EQ(Got.VertexBufferUsed, 4);
    ASSERT_EQ(Got.IndexBufferUsed, 6);
    for (int i = 0; i < 4; i++) {
      const TZNT1SpriteBatchVertex& w = Want.ClientVertex[i];
      ExpectVertex(Got.ClientVertex[i], w.Position.x, w.Position.y, w.TextureCoord.x, w.TextureCoord.y, w.Color,
                   "vertex " + std::to_string(i));
    }
  }
}

TEST(SpriteBatch, RotationTurnsCornersAroundOrigin) {
  TZNT1SpriteBatch b(nullptr);
  b.Width = 2;
  b.Height = 2;  // clip = (x - 1, 1 - y)
  b.Start();
  const Color c{1, 1, 1, 1};
  // A quarter turn around (Left + 1, Top + 0) = (1, 0): (x, y) -> (1 - y, x - 1).
  b.Draw(Tex{1, 1, 1}, Rect{0, 0, 1, 1}, Rect{0, 0, 1, 1}, TZNT1SpriteBatchPoint{1, 0}, 3.14159265f / 2.0f, c);
  ASSERT_EQ(b.VertexBufferUsed, 4);
  const float Want[4][2] = {{1, -1}, {1, 0}, {0, 0}, {0, -1}};  // caller units
  const float Tc[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  for (int i = 0; i < 4; i++) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(b.ClientVertex[i].Position.x, Want[i][0] - 1.0f, 1e-6f);
    EXPECT_NEAR(b.ClientVertex[i].Position.y, 1.0f - Want[i][1], 1e-6f);
    EXPECT_EQ(b.ClientVertex[i].TextureCoord.x, Tc[i][0]);
    EXPECT_EQ(b.ClientVertex[i].TextureCoord.y, Tc[i][1]);
  }
}

TEST(SpriteBatch, FlushesOnTextureBlendAndFullArray) {
  TZNT1SpriteBatch b(nullptr);
  b.Setup();
  b.Start();
  const Rect r{0, 0, 1, 1};
  const Color c{1, 1, 1, 1};

  // Same texture: the run grows; another texture flushes what came before.
  b.Draw(Tex{1, 1, 1}, r, r, c);
  b.Draw(Tex{1, 1, 1}, r, r, c);
  EXPECT_EQ(b.VertexBufferUsed, 8);
  b.Draw(Tex{2, 1, 1}, r, r, c);
  EXPECT_EQ(b.VertexBufferUsed, 4);
  EXPECT_EQ(b.IndexBufferUsed, 6);

  // The same blend state keeps the run; a change of either flag flushes and is stored.
  b.SetBlending(false, false);
  EXPECT_EQ(b.VertexBufferUsed, 4);
  b.SetBlending(false, true);
  EXPECT_EQ(b.VertexBufferUsed, 0);
  EXPECT_FALSE(b.Blending);
  EXPECT_TRUE(b.AdditiveBlending);
  b.Draw(Tex{2, 1, 1}, r, r, c);
  b.SetBlending(true, true);
  EXPECT_EQ(b.VertexBufferUsed, 0);
  EXPECT_TRUE(b.Blending);

  // 8,193 quads: the array flushes itself at 8,192, one quad is left for Stop.
  b.Start();
  EXPECT_TRUE(b.Blending);  // blend state outlives the batch
  for (int i = 0; i < 8192; i++) b.Draw(Tex{5, 1, 1}, r, r, c);
  EXPECT_EQ(b.VertexBufferUsed, 0);
  EXPECT_EQ(b.IndexBufferUsed, 0);
  b.Draw(Tex{5, 1, 1}, r, r, c);
  EXPECT_EQ(b.VertexBufferUsed, 4);
  b.Stop();
  EXPECT_EQ(b.VertexBufferUsed, 0);
}

TEST(SpriteBatch, TextureSizeSetsFactorsEvenForTheSameName) {
  TZNT1SpriteBatch b(nullptr);
  b.Start();
  const Rect r{0, 0, 1, 1};
  const Color c{1, 1, 1, 1};
  b.Draw(Tex{9, 4, 2}, r, Rect{0, 0, 2, 2}, c);
  EXPECT_FLOAT_EQ(b.WidthInvFactor, 0.25f);
  EXPECT_FLOAT_EQ(b.HeightInvFactor, 0.5f);
  EXPECT_FLOAT_EQ(b.ClientVertex[2].TextureCoord.x, 0.5f);
  // A new size under the same name applies at once and keeps the pending run.
  b.Draw(Tex{9, 1, 1}, r, Rect{0, 0, 2, 2}, c);
  EXPECT_EQ(b.VertexBufferUsed, 8);
  EXPECT_FLOAT_EQ(b.ClientVertex[6].TextureCoord.x, 2.0f);
  EXPECT_FLOAT_EQ(b.ClientVertex[6].TextureCoord.y, 2.0f);
}

TEST(SpriteBatch, DrawTextPlacesOneGlyphPerByte) {
  TZNT1SpriteBatch b(nullptr);
  b.Width = 100;
  b.Height = 100;
  b.Start();
  TZNT1SpriteBatchFont Font{};
  Font.Texture = Tex{4, 64, 32};
  Font.Chars[static_cast<uint8_t>('A')] = {Rect{8, 0, 16, 16}, TZNT1SpriteBatchPoint{9, 0}};
  Font.Chars[0xE9] = {Rect{0, 16, 4, 24}, TZNT1SpriteBatchPoint{5, 2}};  // a byte above 127
  const Color c{1, 0, 0, 1};
  b.DrawText(Font, std::string("A\xE9" "A"), 10, 20, c);
  ASSERT_EQ(b.VertexBufferUsed, 12);
  auto Clip = [](float x, float y) { return std::pair<float, float>{(x / 100 - 0.5f) * 2, -((y / 100 - 0.5f) * 2)}; };
  // Glyph 1 at (10, 20), 8 x 16; glyph 2 at (19, 20), 4 x 8; glyph 3 at (24, 22).
  const float Corners[3][4] = {{10, 20, 18, 36}, {19, 20, 23, 28}, {24, 22, 32, 38}};
  const float Tcs[3][4] = {{8 / 64.f, 0, 16 / 64.f, 16 / 32.f}, {0, 16 / 32.f, 4 / 64.f, 24 / 32.f},
                           {8 / 64.f, 0, 16 / 64.f, 16 / 32.f}};
  for (int g = 0; g < 3; g++) {
    const auto lt = Clip(Corners[g][0], Corners[g][1]);
    const auto rb = Clip(Corners[g][2], Corners[g][3]);
    ExpectVertex(b.ClientVertex[g * 4], lt.first, lt.second, Tcs[g][0], Tcs[g][1], c, "glyph left top");
    ExpectVertex(b.ClientVertex[g * 4 + 2], rb.first, rb.second, Tcs[g][2], Tcs[g][3], c, "glyph right bottom");
  }
}

}  // namespace
