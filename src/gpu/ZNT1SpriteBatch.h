#pragma once
// Batched 2D quads in screen space (console, loading screen): one draw per run of quads that
// share a texture and a blend mode.
#include <cstdint>
#include <string>
#include <vector>

class TZNT1Engine;

struct TZNT1SpriteBatchPoint {
  float x;
  float y;
};

struct TZNT1SpriteBatchRect {
  float Left;
  float Top;
  float Right;
  float Bottom;
};

struct TZNT1SpriteBatchColor {
  float r;
  float g;
  float b;
  float a;
};

struct TZNT1SpriteBatchTexture {
  uint32_t ID;
  int32_t Width;
  int32_t Height;
};

// The GPU layout: 32 bytes, position at 0, texture coordinate at 8, colour at 16.
struct TZNT1SpriteBatchVertex {
  TZNT1SpriteBatchPoint Position;  // clip coordinates
  TZNT1SpriteBatchPoint TextureCoord;
  TZNT1SpriteBatchColor Color;
};
static_assert(sizeof(TZNT1SpriteBatchVertex) == 32, "the vertex layout is 32 bytes");

struct TZNT1SpriteBatchFontChar {
  TZNT1SpriteBatchRect TextureRect;  // texels of the glyph
  TZNT1SpriteBatchPoint Advance;     // pen movement after the glyph
};

using TZNT1SpriteBatchFontChars = TZNT1SpriteBatchFontChar[256];

struct TZNT1SpriteBatchFont {
  TZNT1SpriteBatchTexture Texture;
  TZNT1SpriteBatchFontChars Chars;
};

class TZNT1SpriteBatch {
 public:
  // Vertex attribute locations of the 2D program.
  static constexpr uint32_t PositionAttribute = 0;
  static constexpr uint32_t TexCoordAttribute = 1;
  static constexpr uint32_t ColorAttribute = 5;

  // No OpenGL call here: Setup creates the buffers once a context exists.
  explicit TZNT1SpriteBatch(TZNT1Engine* AEngine);
  ~TZNT1SpriteBatch();
  TZNT1SpriteBatch(const TZNT1SpriteBatch&) = delete;
  TZNT1SpriteBatch& operator=(const TZNT1SpriteBatch&) = delete;

  void Setup();
  void SetBlending(bool Active, bool Additive);
  void Start();
  void Stop();
  void Flush();
  void SetTexture(const TZNT1SpriteBatchTexture& Texture);
  TZNT1SpriteBatchPoint RotatePoint(const TZNT1SpriteBatchPoint& PointToRotate, const TZNT1SpriteBatchPoint& AroundPoint,
                                    float Cosinus, float Sinus) const;

  void Draw(const TZNT1SpriteBatchTexture& Texture, const TZNT1SpriteBatchRect& Dest, const TZNT1SpriteBatchRect& Src,
            const TZNT1SpriteBatchColor& Color);
  void Draw(const TZNT1SpriteBatchTexture& Texture, float x, float y, const TZNT1SpriteBatchColor& Color);
  void Draw(const TZNT1SpriteBatchTexture& Texture, float dx1, float dy1, float dx2, float dy2, float sx1, float sy1,
            float sx2, float sy2, float Alpha);
  void Draw(const TZNT1SpriteBatchTexture& Texture, const TZNT1SpriteBatchRect& Dest, const TZNT1SpriteBatchRect& Src,
            const TZNT1SpriteBatchPoint& Origin, const TZNT1SpriteBatchColor& Color);
  void Draw(const TZNT1SpriteBatchTexture& Texture, const TZNT1SpriteBatchRect& Dest, const TZNT1SpriteBatchRect& Src,
            const TZNT1SpriteBatchPoint& Origin, float Rotation, const TZNT1SpriteBatchColor& Color);
  // The whole texture, stretched over Dest.
  void Draw(const TZNT1SpriteBatchTexture& Texture, const TZNT1SpriteBatchRect& Dest,
            const TZNT1SpriteBatchColor& Color);
  void DrawText(const TZNT1SpriteBatchFont& Font, const std::string& Text, float x, float y,
                const TZNT1SpriteBatchColor& Color);

  bool IsSetUp = false;
  bool Blending = false;
  bool AdditiveBlending = false;
  uint32_t LastTextureID = 0;
  uint32_t VertexID = 0;
  uint32_t IndexID = 0;
  float WidthInvFactor = 0.0f;
  float HeightInvFactor = 0.0f;
  int32_t VertexBufferUsed = 0;
  int32_t IndexBufferUsed = 0;
  std::vector<TZNT1SpriteBatchVertex> ClientVertex;
  std::vector<uint16_t> ClientIndex;
  int32_t VertexBufferCount;
  int32_t VertexBufferSize;
  int32_t IndexBufferCount;
  int32_t IndexBufferSize;
  TZNT1Engine* Engine;
  int32_t Width = 1;
  int32_t Height = 1;

 private:
  bool HasOpenGL() const;
  void DeleteBuffers();
  TZNT1SpriteBatchPoint ToClip(float x, float y) const;
  void AddVertex(const TZNT1SpriteBatchPoint& ClipPosition, float s, float t, const TZNT1SpriteBatchColor& Color);
};
