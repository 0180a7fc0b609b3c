#pragma once
// What the engine knows about the OpenGL implementation: driver strings, the GLSL version
// as a number, a few limits, and the quality switches the rest of the engine follows.
#include <cstdint>
#include <string>

#include "gpu/ZNT1FrameBufferObject.h"

class TZNT1Engine;

class TZNT1GLCapabilities {
 public:
  // Defaults only; no OpenGL call.
  explicit TZNT1GLCapabilities(TZNT1Engine* AEngine) : Engine(AEngine) {}
  // Reads the current context; the context must be current.
  void Query();
  // Derives the GLSL version number, the quality switches, the extension flags and the software
  // rasterizer flag from the strings already in Vendor, Renderer, ShadingLanguageVersionString
  // and Extensions (Query's part that needs no OpenGL).
  void ApplyDriverStrings();

  // "1.40" gives $128: major * 256 or minor, both read in decimal; 0 for a missing major.
  static uint32_t ParseShadingLanguageVersion(const std::string& Text);

  TZNT1Engine* Engine;
  std::string Vendor;
  std::string Renderer;
  std::string Version;
  std::string ShadingLanguageVersionString;
  uint32_t ShadingLanguageVersion = 0x100;
  std::string Extensions;
  bool TextureMultisample = false;
  int32_t MaxElementsVertices = 65536;
  int32_t MaxElementsIndices = 3 * 65536;
  float MaxAnisotropy = 0.0f;  // 1 at most on a software rasterizer
  int32_t MaxVertexAttribs = 8;
  int32_t MaxTextureSize = 2048;
  int32_t MaxTextureUnits = 8;
  int32_t MaxFragmentUniformVectors = 16;
  int32_t MaxGeometryUniformVectors = 8;
  int32_t MaxVertexUniformVectors = 8;
  int32_t MaxVaryingVectors = 128;
  bool VertexArrayObject = false;
  bool FloatTextures = true;
  bool HalfFloatTextures = true;
  bool SkyFBO = false;
  uint32_t DepthStencilType = 0x88F0;  // GL_DEPTH24_STENCIL8
  int32_t ShadowMapTextureFormat = GL_TEXTURE_R32F;  // a framebuffer buffer-format code
  // glMultiDrawElements belongs to the 1.4 entry points, without which the engine does not start.
  bool MultiDrawElements = true;
  bool LowQuality = false;
  bool SoftwareRasterizer = false;  // the renderer string names a CPU rasterizer
  bool UseSinglePassShadowCubeMaps = true;
  bool GeometryShader = true;
};
