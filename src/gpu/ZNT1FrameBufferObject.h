#pragma once
// Off-screen render targets: colour textures or a cube map, with optional depth or depth-stencil.
#include <cstdint>
#include <vector>

#include "core/ZNT1Math.h"

class TZNT1Engine;

// Buffer-format codes, one per colour texture. Each group of five runs 8-bit, 16-bit,
// 32-bit unsigned integer, 16-bit float, 32-bit float.
constexpr int32_t GL_TEXTURE_NONE = 0;
constexpr int32_t GL_TEXTURE_RGBA8 = 1;
constexpr int32_t GL_TEXTURE_RGBA16 = 2;
constexpr int32_t GL_TEXTURE_RGBA32 = 3;
constexpr int32_t GL_TEXTURE_RGBA16F = 4;
constexpr int32_t GL_TEXTURE_RGBA32F = 5;
constexpr int32_t GL_TEXTURE_RGB8 = 6;
constexpr int32_t GL_TEXTURE_RGB16 = 7;
constexpr int32_t GL_TEXTURE_RGB32 = 8;
constexpr int32_t GL_TEXTURE_RGB16F = 9;
constexpr int32_t GL_TEXTURE_RGB32F = 10;
constexpr int32_t GL_TEXTURE_RG8 = 11;
constexpr int32_t GL_TEXTURE_RG16 = 12;
constexpr int32_t GL_TEXTURE_RG32 = 13;
constexpr int32_t GL_TEXTURE_RG16F = 14;
constexpr int32_t GL_TEXTURE_RG32F = 15;
constexpr int32_t GL_TEXTURE_R8 = 16;
constexpr int32_t GL_TEXTURE_R16 = 17;
constexpr int32_t GL_TEXTURE_R32 = 18;
constexpr int32_t GL_TEXTURE_R16F = 19;
constexpr int32_t GL_TEXTURE_R32F = 20;
constexpr int32_t GL_TEXTURE_D16 = 21;
constexpr int32_t GL_TEXTURE_D24 = 22;
constexpr int32_t GL_TEXTURE_D32 = 23;

// How a buffer-format code is allocated; codes outside 0..23 behave as RGBA8.
struct TZNT1BufferFormatInfo {
  uint32_t InternalFormat;
  uint32_t PixelFormat;
  uint32_t PixelType;
  bool Clamping;  // GL_CLAMP_VERTEX/FRAGMENT/READ_COLOR while and after allocating
};
TZNT1BufferFormatInfo BufferFormatInfo(int32_t Code);

// The six cube-map face targets, +X, -X, +Y, -Y, +Z, -Z.
extern const uint32_t CubeMapTexs[6];
// GL_COLOR_ATTACHMENT0 .. GL_COLOR_ATTACHMENT0 + 15 for the multiple-draw-buffer call.
extern const uint32_t DrawBuffers[16];
// A view rotation per face (order of CubeMapTexs); each turns its face direction to -z.
extern const TZNT1Matrix4x4 CubeMapMatrices[6];

class TZNT1FrameBufferObject {
 public:
  static constexpr int32_t MaxTextures = 16;
  static constexpr uint32_t NoBuffer = 0xFFFFFFFFu;

  // BufferFormat holds one code per texture; a shorter list repeats its last code, an empty
  // one means RGBA8. MipMaps has no effect. Leaves the window's framebuffer bound.
  TZNT1FrameBufferObject(TZNT1Engine* AEngine, int32_t AWidth, int32_t AHeight, int32_t ATextures, bool ACubeMap,
                         bool ACubeMapSinglePass, bool AClamping, bool AInterpolation, bool ADepthBuffer,
                         bool AStencilBuffer, const std::vector<int32_t>& ABufferFormat, bool AMultiSample,
                         int32_t AMipMaps);
  ~TZNT1FrameBufferObject();
  TZNT1FrameBufferObject(const TZNT1FrameBufferObject&) = delete;
  TZNT1FrameBufferObject& operator=(const TZNT1FrameBufferObject&) = delete;

  void Bind();
  void Unbind();

  TZNT1Engine* Engine;
  uint32_t FrameBuffer = 0;
  uint32_t ColorBuffer = NoBuffer;    // colour always goes to textures
  uint32_t DepthBuffer = 0;           // depth or packed depth-stencil renderbuffer; 0 when none
  uint32_t StencilBuffer = NoBuffer;  // stencil shares DepthBuffer
  int32_t Width;
  int32_t Height;
  int32_t Textures = 0;
  uint32_t TextureHandles[MaxTextures] = {};
  bool HasDepthBuffer;
  bool HasStencilBuffer;
  bool CubeMap;
  bool CubeMapSinglePass;

 private:
  void SetSampling(uint32_t Target, bool Clamping, bool Interpolation);
  void CreateTexture(uint32_t Target, int32_t WhichIndex, const std::vector<int32_t>& BufferFormat, bool MultiSample);
  void CreateDepthBuffer(bool MultiSample);
};
