#include "gpu/ZNT1SpriteBatch.h"

#include <cmath>
#include <cstddef>

#include "core/ZNT1Engine.h"
#include "gpu/ZNT1GLSLShader.h"
#include "platform/ZNT1OpenGL.h"

TZNT1SpriteBatch::TZNT1SpriteBatch(TZNT1Engine* AEngine) : Engine(AEngine) {
  VertexBufferCount = 32768;
  // The GPU buffer is four times the client array, as it always was; only the first part is used.
  VertexBufferSize = VertexBufferCount * 128;
  IndexBufferCount = (VertexBufferCount * 6) / 4;
  IndexBufferSize = IndexBufferCount * 2;
  ClientVertex.resize(static_cast<size_t>(VertexBufferCount));
  ClientIndex.resize(static_cast<size_t>(IndexBufferCount));
}

TZNT1SpriteBatch::~TZNT1SpriteBatch() { DeleteBuffers(); }

// A dedicated server has no context: the batch then keeps its client arrays but never calls OpenGL.
bool TZNT1SpriteBatch::HasOpenGL() const { return Engine && !Engine->Dedicated; }

void TZNT1SpriteBatch::DeleteBuffers() {
  if (!HasOpenGL()) return;
  if (VertexID != 0) {
    glDeleteBuffers(1, &VertexID);
    VertexID = 0;
  }
  if (IndexID != 0) {
    glDeleteBuffers(1, &IndexID);
    IndexID = 0;
  }
}

void TZNT1SpriteBatch::Setup() {
  if (IsSetUp) DeleteBuffers();
  LastTextureID = 0;
  VertexID = 0;
  IndexID = 0;
  VertexBufferUsed = 0;
  IndexBufferUsed = 0;

  // Written in place, so that a second Setup does not grow the pattern.
  size_t i = 0;
  for (int32_t q = 0; q < VertexBufferCount; q += 4) {
    const uint16_t v = static_cast<uint16_t>(q);
    ClientIndex[i++] = v;
    ClientIndex[i++] = static_cast<uint16_t>(v + 1);
    ClientIndex[i++] = static_cast<uint16_t>(v + 2);
    ClientIndex[i++] = v;
    ClientIndex[i++] = static_cast<uint16_t>(v + 2);
    ClientIndex[i++] = static_cast<uint16_t>(v + 3);
  }

  if (HasOpenGL()) {
    glGenBuffers(1, &VertexID);
    glBindBuffer(GL_ARRAY_BUFFER, VertexID);
    glBufferData(GL_ARRAY_BUFFER, VertexBufferSize, nullptr, GL_STREAM_DRAW);

    glGenBuffers(1, &IndexID);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, IndexID);
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, IndexBufferSize, ClientIndex.data(), GL_STATIC_DRAW);
  }
  IsSetUp = true;
}

void TZNT1SpriteBatch::SetBlending(bool Active, bool Additive) {
  if (Active != Blending || Additive != AdditiveBlending) {
    Flush();
    Blending = Active;
    AdditiveBlending = Additive;
  }
}

void TZNT1SpriteBatch::Start() {
  LastTextureID = 0;
  VertexBufferUsed = 0;
  IndexBufferUsed = 0;
  if (!HasOpenGL()) return;
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_STENCIL_TEST);
  glDisable(GL_CULL_FACE);
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  if (Engine->GLSLShaders && Engine->GLSLShaders->DefaultGLSL2DTextureShader)
    Engine->GLSLShaders->DefaultGLSL2DTextureShader->Bind();
  glBindBuffer(GL_ARRAY_BUFFER, VertexID);
  glEnableVertexAttribArray(PositionAttribute);
  glEnableVertexAttribArray(TexCoordAttribute);
  glEnableVertexAttribArray(ColorAttribute);
  const GLsizei Stride = sizeof(TZNT1SpriteBatchVertex);
  glVertexAttribPointer(PositionAttribute, 2, GL_FLOAT, GL_FALSE, Stride,
                        reinterpret_cast<const void*>(offsetof(TZNT1SpriteBatchVertex, Position)));
  glVertexAttribPointer(TexCoordAttribute, 2, GL_FLOAT, GL_FALSE, Stride,
                        reinterpret_cast<const void*>(offsetof(TZNT1SpriteBatchVertex, TextureCoord)));
  glVertexAttribPointer(ColorAttribute, 4, GL_FLOAT, GL_FALSE, Stride,
                        reinterpret_cast<const void*>(offsetof(TZNT1SpriteBatchVertex, Color)));
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, IndexID);
}

void TZNT1SpriteBatch::Stop() {
  Flush();
  if (!HasOpenGL()) return;
  glDisableVertexAttribArray(PositionAttribute);
  glDisableVertexAttribArray(TexCoordAttribute);
  glDisableVertexAttribArray(ColorAttribute);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
  glUseProgram(0);
}

void TZNT1SpriteBatch::Flush() {
  if (VertexBufferUsed <= 0) return;
  if (HasOpenGL()) {
    if (Blending) {
      glEnable(GL_BLEND);
      glBlendEquation(GL_FUNC_ADD);
      if (AdditiveBlending)
        glBlendFunc(GL_ONE, GL_ONE);
      else
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    } else {
      glDisable(GL_BLEND);
    }
    glActiveTexture(GL_TEXTURE2);
    glBindTexture(GL_TEXTURE_2D, LastTextureID);
    // Orphan the storage so the driver need not wait for the previous draw to finish with it.
    glBufferData(GL_ARRAY_BUFFER, VertexBufferSize, nullptr, GL_STREAM_DRAW);
    glBufferSubData(GL_ARRAY_BUFFER, 0, static_cast<GLsizeiptr>(VertexBufferUsed) * sizeof(TZNT1SpriteBatchVertex),
                    ClientVertex.data());
    glDrawElements(GL_TRIANGLES, IndexBufferUsed, GL_UNSIGNED_SHORT, nullptr);
  }
  VertexBufferUsed = 0;
  IndexBufferUsed = 0;
}

void TZNT1SpriteBatch::SetTexture(const TZNT1SpriteBatchTexture& Texture) {
  if (Texture.ID != LastTextureID) {
    Flush();
    LastTextureID = Texture.ID;
  }
  // The factors only shape the coordinates of quads still to come, so a new size for the same
  // texture needs no flush.
  WidthInvFactor = 1.0f / static_cast<float>(Texture.Width);
  HeightInvFactor = 1.0f / static_cast<float>(Texture.Height);
}

TZNT1SpriteBatchPoint TZNT1SpriteBatch::ToClip(float x, float y) const {
  return {((x / static_cast<float>(Width)) - 0.5f) * 2.0f, -(((y / static_cast<float>(Height)) - 0.5f) * 2.0f)};
}

TZNT1SpriteBatchPoint TZNT1SpriteBatch::RotatePoint(const TZNT1SpriteBatchPoint& PointToRotate,
                                                    const TZNT1SpriteBatchPoint& AroundPoint, float Cosinus,
                                                    float Sinus) const {
  const float dx = PointToRotate.x - AroundPoint.x;
  const float dy = PointToRotate.y - AroundPoint.y;
  return ToClip((dx * Cosinus) - (dy * Sinus) + AroundPoint.x, (dx * Sinus) + (dy * Cosinus) + AroundPoint.y);
}

void TZNT1SpriteBatch::AddVertex(const TZNT1SpriteBatchPoint& ClipPosition, float s, float t,
                                 const TZNT1SpriteBatchColor& Color) {
  TZNT1SpriteBatchVertex& v = ClientVertex[static_cast<size_t>(VertexBufferUsed++)];
  v.Position = ClipPosition;
  v.TextureCoord = {s, t};
  v.Color = Color;
}

void TZNT1SpriteBatch::Draw(const TZNT1SpriteBatchTexture& Texture, const TZNT1SpriteBatchRect& Dest,
                            const TZNT1SpriteBatchRect& Src, const TZNT1SpriteBatchColor& Color) {
  SetTexture(Texture);
  const float s0 = Src.Left * WidthInvFactor;
  const float t0 = Src.Top * HeightInvFactor;
  const float s1 = Src.Right * WidthInvFactor;
  const float t1 = Src.Bottom * HeightInvFactor;
  AddVertex(ToClip(Dest.Left, Dest.Top), s0, t0, Color);
  AddVertex(ToClip(Dest.Right, Dest.Top), s1, t0, Color);
  AddVertex(ToClip(Dest.Right, Dest.Bottom), s1, t1, Color);
  AddVertex(ToClip(Dest.Left, Dest.Bottom), s0, t1, Color);
  IndexBufferUsed += 6;
  // The capacity is a multiple of four, so checking after the append never overruns.
  if (VertexBufferUsed >= VertexBufferCount) Flush();
}

void TZNT1SpriteBatch::Draw(const TZNT1SpriteBatchTexture& Texture, float x, float y,
                            const TZNT1SpriteBatchColor& Color) {
  const float w = static_cast<float>(Texture.Width);
  const float h = static_cast<float>(Texture.Height);
  Draw(Texture, TZNT1SpriteBatchRect{x, y, x + w, y + h}, TZNT1SpriteBatchRect{0.0f, 0.0f, w, h}, Color);
}

void TZNT1SpriteBatch::Draw(const TZNT1SpriteBatchTexture& Texture, float dx1, float dy1, float dx2, float dy2,
                            float sx1, float sy1, float sx2, float sy2, float Alpha) {
  Draw(Texture, TZNT1SpriteBatchRect{dx1, dy1, dx2, dy2}, TZNT1SpriteBatchRect{sx1, sy1, sx2, sy2},
       TZNT1SpriteBatchColor{1.0f, 1.0f, 1.0f, Alpha});
}

void TZNT1SpriteBatch::Draw(const TZNT1SpriteBatchTexture& Texture, const TZNT1SpriteBatchRect& Dest,
                            const TZNT1SpriteBatchRect& Src, const TZNT1SpriteBatchPoint& Origin,
                            const TZNT1SpriteBatchColor& Color) {
  Draw(Texture,
       TZNT1SpriteBatchRect{Dest.Left - Origin.x, Dest.Top - Origin.y, Dest.Right - Origin.x, Dest.Bottom - Origin.y},
       Src, Color);
}

void TZNT1SpriteBatch::Draw(const TZNT1SpriteBatchTexture& Texture, const TZNT1SpriteBatchRect& Dest,
                            const TZNT1SpriteBatchRect& Src, const TZNT1SpriteBatchPoint& Origin, float Rotation,
                            const TZNT1SpriteBatchColor& Color) {
  SetTexture(Texture);
  const float Cosinus = std::cos(Rotation);
  const float Sinus = std::sin(Rotation);
  const TZNT1SpriteBatchPoint Around{Dest.Left + Origin.x, Dest.Top + Origin.y};
  const float s0 = Src.Left * WidthInvFactor;
  const float t0 = Src.Top * HeightInvFactor;
  const float s1 = Src.Right * WidthInvFactor;
  const float t1 = Src.Bottom * HeightInvFactor;
  AddVertex(RotatePoint({Dest.Left, Dest.Top}, Around, Cosinus, Sinus), s0, t0, Color);
  AddVertex(RotatePoint({Dest.Right, Dest.Top}, Around, Cosinus, Sinus), s1, t0, Color);
  AddVertex(RotatePoint({Dest.Right, Dest.Bottom}, Around, Cosinus, Sinus), s1, t1, Color);
  AddVertex(RotatePoint({Dest.Left, Dest.Bottom}, Around, Cosinus, Sinus), s0, t1, Color);
  IndexBufferUsed += 6;
  if (VertexBufferUsed >= VertexBufferCount) Flush();
}

void TZNT1SpriteBatch::Draw(const TZNT1SpriteBatchTexture& Texture, const TZNT1SpriteBatchRect& Dest,
                            const TZNT1SpriteBatchColor& Color) {
  Draw(Texture, Dest,
       TZNT1SpriteBatchRect{0.0f, 0.0f, static_cast<float>(Texture.Width), static_cast<float>(Texture.Height)},
       Color);
}

void TZNT1SpriteBatch::DrawText(const TZNT1SpriteBatchFont& Font, const std::string& Text, float x, float y,
                                const TZNT1SpriteBatchColor& Color) {
  float PenX = x;
  float PenY = y;
  for (const char c : Text) {
    const TZNT1SpriteBatchFontChar& g = Font.Chars[static_cast<uint8_t>(c)];
    const float w = g.TextureRect.Right - g.TextureRect.Left;
    const float h = g.TextureRect.Bottom - g.TextureRect.Top;
    Draw(Font.Texture, TZNT1SpriteBatchRect{PenX, PenY, PenX + w, PenY + h}, g.TextureRect, Color);
    PenX += g.Advance.x;
    PenY += g.Advance.y;
  }
}
