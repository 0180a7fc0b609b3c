// Quads drawn through the batch into a 64 x 64 target and read back.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Game.h"
#include "gpu/ZNT1FrameBufferObject.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1GLSLShader.h"
#include "gpu/ZNT1SpriteBatch.h"
#include "platform/ZNT1OpenGL.h"
#include "support/GLContextFixture.h"

namespace {

using Rect = TZNT1SpriteBatchRect;
using Color = TZNT1SpriteBatchColor;
using Tex = TZNT1SpriteBatchTexture;
using Pixel = std::array<int, 4>;

constexpr int Size = 64;
constexpr uint32_t Red = 0xFF0000FFu, Green = 0xFF00FF00u, Blue = 0xFFFF0000u, White = 0xFFFFFFFFu;  // ABGR

class SpriteBatchGL : public GLEngineFixture {
 protected:
  SpriteBatchGL() : GLEngineFixture(true) {}

  void SetUp() override {
    GLEngineFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    try {
      engine.GLSLShaders = std::make_unique<TZNT1GLSLShaders>(&engine);
    } catch (const EShaderException& e) {
      FAIL() << e.what();
    }
    glBindVertexArray(0);
    target = std::make_unique<TZNT1FrameBufferObject>(&engine, Size, Size, 1, false, false, true, false, false, false,
                                                      std::vector<int32_t>{GL_TEXTURE_RGBA8}, false, 0);
    target->Bind();
    glViewport(0, 0, Size, Size);
    Clear(0.0f, 0.0f, 1.0f, 1.0f);
    batch = std::make_unique<TZNT1SpriteBatch>(&engine);
    batch->Setup();
    batch->Width = Size;
    batch->Height = Size;
  }
  void TearDown() override {
    if (!Context()) return;
    batch.reset();
    if (target) target->Unbind();
    target.reset();
    if (!textures.empty()) glDeleteTextures(static_cast<GLsizei>(textures.size()), textures.data());
    glDisable(GL_BLEND);
    glDisable(GL_CULL_FACE);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    GLEngineFixture::TearDown();
  }

  static void Clear(float r, float g, float b, float a) {
    glClearColor(r, g, b, a);
    glClear(GL_COLOR_BUFFER_BIT);
  }

  // A nearest-filtered, wrapping texture; Texels are row by row from the first row.
  GLuint MakeTexture(int w, int h, const std::vector<uint32_t>& Texels) {
    GLuint t = 0;
    glGenTextures(1, &t);
    textures.push_back(t);
    glBindTexture(GL_TEXTURE_2D, t);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, Texels.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    return t;
  }

  // (x, y) in the batch's units: from the top-left corner, y downwards.
  static Pixel At(int x, int y) {
    uint8_t p[4] = {};
    glReadPixels(x, Size - 1 - y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, p);
    return {p[0], p[1], p[2], p[3]};
  }

  static void ExpectPixel(int x, int y, const Pixel& Want, int Tolerance = 0) {
    const Pixel Got = At(x, y);
    for (int i = 0; i < 4; i++) {
      EXPECT_NEAR(Got[i], Want[i], Tolerance) << "at (" << x << ", " << y << ") channel " << i << ": got " << Got[0]
                                              << " " << Got[1] << " " << Got[2] << " " << Got[3];
    }
  }

  std::unique_ptr<TZNT1FrameBufferObject> target;
  std::unique_ptr<TZNT1SpriteBatch> batch;
  std::vector<GLuint> textures;
};

TEST_F(SpriteBatchGL, TexturesColoursAndOrientation) {
  const GLuint Quad = MakeTexture(2, 2, {Red, Green, Blue, White});
  const GLuint Plain = MakeTexture(1, 1, {White});
  // Start must undo state that would hide the quads (they wind clockwise on screen).
  glEnable(GL_CULL_FACE);
  glCullFace(GL_BACK);
  glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
  const Color One{1, 1, 1, 1};

  batch->Start();
  // Source in texels of a 2 x 2 record: the first texel row is at the top.
  batch->Draw(Tex{Quad, 2, 2}, Rect{0, 0, 32, 32}, Rect{0, 0, 2, 2}, One);
  // Top and bottom swapped: upside down.
  batch->Draw(Tex{Quad, 2, 2}, Rect{32, 0, 64, 32}, Rect{0, 2, 2, 0}, One);
  // Colour times texel.
  batch->Draw(Tex{Plain, 1, 1}, Rect{0, 32, 32, 64}, Rect{0, 0, 1, 1}, Color{1.0f, 0.5f, 0.25f, 1.0f});
  // A 1 x 1 record makes plain texture coordinates: -2..2 repeats the texture four times.
  batch->Draw(Tex{Quad, 1, 1}, Rect{32, 32, 64, 64}, Rect{-2, -2, 2, 2}, One);
  batch->Stop();

  ExpectPixel(8, 8, {255, 0, 0, 255});
  ExpectPixel(24, 8, {0, 255, 0, 255});
  ExpectPixel(8, 24, {0, 0, 255, 255});
  ExpectPixel(24, 24, {255, 255, 255, 255});
  ExpectPixel(40, 8, {0, 0, 255, 255});
  ExpectPixel(56, 8, {255, 255, 255, 255});
  ExpectPixel(40, 24, {255, 0, 0, 255});
  ExpectPixel(16, 48, {255, 128, 64, 255}, 1);
  ExpectPixel(33, 33, {255, 0, 0, 255});  // texel size 4 pixels
  ExpectPixel(37, 33, {0, 255, 0, 255});
  ExpectPixel(33, 37, {0, 0, 255, 255});
  ExpectPixel(41, 33, {255, 0, 0, 255});
  ExpectPixel(62, 62, {255, 255, 255, 255});

  // Stop leaves nothing bound for the next user.
  GLint Value = -1;
  glGetIntegerv(GL_CURRENT_PROGRAM, &Value);
  EXPECT_EQ(Value, 0);
  glGetIntegerv(GL_ARRAY_BUFFER_BINDING, &Value);
  EXPECT_EQ(Value, 0);
  glGetIntegerv(GL_ELEMENT_ARRAY_BUFFER_BINDING, &Value);
  EXPECT_EQ(Value, 0);
  for (GLuint Attribute : {0u, 1u, 5u}) {
    glGetVertexAttribiv(Attribute, GL_VERTEX_ATTRIB_ARRAY_ENABLED, &Value);
    EXPECT_EQ(Value, 0) << "attribute " << Attribute;
  }
}

TEST_F(SpriteBatchGL, BlendModes) {
  const GLuint Plain = MakeTexture(1, 1, {White});
  struct Case {
    bool Active, Additive;
    Color Col;
    Pixel Want;
  };
  // Over (0.5, 0.25, 0, 1).
  const Case Cases[] = {
      {false, false, Color{1.0f, 0.0f, 0.0f, 0.5f}, {255, 0, 0, 128}},
      {false, true, Color{1.0f, 0.0f, 0.0f, 0.5f}, {255, 0, 0, 128}},  // additive only counts when blending
      {true, false, Color{0.0f, 0.0f, 1.0f, 0.5f}, {64, 32, 128, 191}},
      {true, true, Color{0.25f, 0.5f, 0.5f, 0.5f}, {191, 191, 128, 255}},
  };
  for (const Case& k : Cases) {
    SCOPED_TRACE(testing::Message() << "blending " << k.Active << " additive " << k.Additive);
    Clear(0.5f, 0.25f, 0.0f, 1.0f);
    batch->Start();
    batch->SetBlending(k.Active, k.Additive);
    batch->Draw(Tex{Plain, 1, 1}, Rect{0, 0, 64, 64}, Rect{0, 0, 1, 1}, k.Col);
    batch->Stop();
    ExpectPixel(32, 32, k.Want, 2);
  }
}

// Quads reach the target exactly when a run ends: a new texture, a new blend state, a full array, Stop.
TEST_F(SpriteBatchGL, RunsAreDrawnWhenTheyEnd) {
  const GLuint A = MakeTexture(1, 1, {White});
  const GLuint B = MakeTexture(1, 1, {White});
  const Rect Whole{0, 0, 1, 1};
  const Pixel Cleared{0, 0, 255, 255};

  batch->Start();
  batch->SetBlending(false, false);
  batch->Draw(Tex{A, 1, 1}, Rect{0, 0, 16, 16}, Whole, Color{1, 0, 0, 1});
  batch->Draw(Tex{A, 1, 1}, Rect{0, 16, 16, 32}, Whole, Color{1, 0, 0, 1});
  ExpectPixel(8, 8, Cleared);  // one run, still pending
  batch->Draw(Tex{B, 1, 1}, Rect{16, 0, 32, 16}, Whole, Color{0, 1, 0, 0.5f});
  ExpectPixel(8, 8, {255, 0, 0, 255});
  ExpectPixel(8, 24, {255, 0, 0, 255});
  ExpectPixel(24, 8, Cleared);
  EXPECT_EQ(batch->VertexBufferUsed, 4);

  batch->SetBlending(false, false);  // unchanged: nothing drawn
  ExpectPixel(24, 8, Cleared);
  batch->SetBlending(true, false);  // the pending quad goes out with the old state: unblended
  ExpectPixel(24, 8, {0, 255, 0, 128});
  batch->Draw(Tex{B, 1, 1}, Rect{32, 0, 48, 16}, Whole, Color{0, 1, 0, 0.5f});
  ExpectPixel(40, 8, Cleared);
  batch->Stop();
  ExpectPixel(40, 8, {0, 128, 128, 191}, 2);

  // 8,193 quads of one texture: the first 8,192 go out when the array fills, the last at Stop.
  Clear(0.0f, 0.0f, 1.0f, 1.0f);
  batch->SetBlending(false, false);
  batch->Start();
  for (int i = 0; i < 8192; i++) {
    const float x = static_cast<float>(i % 32);
    batch->Draw(Tex{A, 1, 1}, Rect{x, 0, x + 1, 32}, Whole, Color{1, 1, 0, 1});
  }
  ExpectPixel(0, 0, {255, 255, 0, 255});
  ExpectPixel(31, 31, {255, 255, 0, 255});
  batch->Draw(Tex{A, 1, 1}, Rect{32, 32, 64, 64}, Whole, Color{1, 0, 1, 1});
  ExpectPixel(48, 48, Cleared);
  batch->Stop();
  ExpectPixel(48, 48, {255, 0, 255, 255});
}

TEST_F(SpriteBatchGL, SetupAgainAndDestroyManageBuffers) {
  const GLuint Plain = MakeTexture(1, 1, {White});
  batch->Setup();
  const GLuint Vertex = batch->VertexID, Index = batch->IndexID;
  ASSERT_NE(Vertex, 0u);
  ASSERT_NE(Index, 0u);
  batch->Start();
  batch->Draw(Tex{Plain, 1, 1}, Rect{0, 0, 64, 64}, Rect{0, 0, 1, 1}, Color{0, 1, 1, 1});
  batch->Stop();
  ExpectPixel(32, 32, {0, 255, 255, 255});
  EXPECT_TRUE(glIsBuffer(Vertex));
  EXPECT_TRUE(glIsBuffer(Index));
  batch.reset();
  EXPECT_FALSE(glIsBuffer(Vertex));
  EXPECT_FALSE(glIsBuffer(Index));
}

}  // namespace
