#include "gpu/ZNT1FrameBufferObject.h"

#include <algorithm>

#include "core/ZNT1Engine.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "platform/ZNT1OpenGL.h"

const uint32_t CubeMapTexs[6] = {GL_TEXTURE_CUBE_MAP_POSITIVE_X, GL_TEXTURE_CUBE_MAP_NEGATIVE_X,
                                 GL_TEXTURE_CUBE_MAP_POSITIVE_Y, GL_TEXTURE_CUBE_MAP_NEGATIVE_Y,
                                 GL_TEXTURE_CUBE_MAP_POSITIVE_Z, GL_TEXTURE_CUBE_MAP_NEGATIVE_Z};

const uint32_t DrawBuffers[16] = {
    GL_COLOR_ATTACHMENT0,      GL_COLOR_ATTACHMENT0 + 1,  GL_COLOR_ATTACHMENT0 + 2,  GL_COLOR_ATTACHMENT0 + 3,
    GL_COLOR_ATTACHMENT0 + 4,  GL_COLOR_ATTACHMENT0 + 5,  GL_COLOR_ATTACHMENT0 + 6,  GL_COLOR_ATTACHMENT0 + 7,
    GL_COLOR_ATTACHMENT0 + 8,  GL_COLOR_ATTACHMENT0 + 9,  GL_COLOR_ATTACHMENT0 + 10, GL_COLOR_ATTACHMENT0 + 11,
    GL_COLOR_ATTACHMENT0 + 12, GL_COLOR_ATTACHMENT0 + 13, GL_COLOR_ATTACHMENT0 + 14, GL_COLOR_ATTACHMENT0 + 15};

const TZNT1Matrix4x4 CubeMapMatrices[6] = {
    {{{0, 0, -1, 0}, {0, -1, 0, 0}, {-1, 0, 0, 0}, {0, 0, 0, 1}}},  // +X
    {{{0, 0, 1, 0}, {0, -1, 0, 0}, {1, 0, 0, 0}, {0, 0, 0, 1}}},    // -X
    {{{1, 0, 0, 0}, {0, 0, -1, 0}, {0, 1, 0, 0}, {0, 0, 0, 1}}},    // +Y
    {{{1, 0, 0, 0}, {0, 0, 1, 0}, {0, -1, 0, 0}, {0, 0, 0, 1}}},    // -Y
    {{{1, 0, 0, 0}, {0, -1, 0, 0}, {0, 0, -1, 0}, {0, 0, 0, 1}}},   // +Z
    {{{-1, 0, 0, 0}, {0, -1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}},   // -Z
};

TZNT1BufferFormatInfo BufferFormatInfo(int32_t Code) {
  // The 32-bit integer formats take the integer pixel formats: with a plain one OpenGL refuses
  // to allocate the image at all.
  static const TZNT1BufferFormatInfo Table[24] = {
      {GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE, true},  // GL_TEXTURE_NONE
      {GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE, true},
      {GL_RGBA16, GL_RGBA, GL_UNSIGNED_SHORT, true},
      {GL_RGBA32UI, GL_RGBA_INTEGER, GL_UNSIGNED_INT, true},
      {GL_RGBA16F, GL_RGBA, GL_FLOAT, false},
      {GL_RGBA32F, GL_RGBA, GL_FLOAT, false},
      {GL_RGB, GL_RGB, GL_UNSIGNED_BYTE, true},
      {GL_RGB16, GL_RGB, GL_UNSIGNED_SHORT, true},
      {GL_RGB32UI, GL_RGB_INTEGER, GL_UNSIGNED_INT, true},
      {GL_RGB16F, GL_RGB, GL_FLOAT, false},
      {GL_RGB32F, GL_RGB, GL_FLOAT, false},
      {GL_RG, GL_RG, GL_UNSIGNED_BYTE, true},
      {GL_RG16, GL_RG, GL_UNSIGNED_SHORT, true},
      {GL_RG32UI, GL_RG_INTEGER, GL_UNSIGNED_INT, true},
      {GL_RG16F, GL_RG, GL_FLOAT, false},
      {GL_RG32F, GL_RG, GL_FLOAT, false},
      {GL_RED, GL_RED, GL_UNSIGNED_BYTE, true},
      {GL_R16, GL_RED, GL_UNSIGNED_SHORT, true},
      {GL_R32UI, GL_RED_INTEGER, GL_UNSIGNED_INT, true},
      {GL_R16F, GL_RED, GL_FLOAT, false},
      {GL_R32F, GL_RED, GL_FLOAT, false},
      {GL_DEPTH_COMPONENT16, GL_DEPTH_COMPONENT, GL_FLOAT, false},
      {GL_DEPTH_COMPONENT24, GL_DEPTH_COMPONENT, GL_FLOAT, false},
      {GL_DEPTH_COMPONENT32, GL_DEPTH_COMPONENT, GL_FLOAT, false},
  };
  return (Code >= 0 && Code < 24) ? Table[Code] : Table[GL_TEXTURE_RGBA8];
}

TZNT1FrameBufferObject::TZNT1FrameBufferObject(TZNT1Engine* AEngine, int32_t AWidth, int32_t AHeight,
                                               int32_t ATextures, bool ACubeMap, bool ACubeMapSinglePass,
                                               bool AClamping, bool AInterpolation, bool ADepthBuffer,
                                               bool AStencilBuffer, const std::vector<int32_t>& ABufferFormat,
                                               bool AMultiSample, int32_t AMipMaps)
    : Engine(AEngine),
      Width(AWidth),
      Height(AHeight),
      HasDepthBuffer(ADepthBuffer),
      HasStencilBuffer(AStencilBuffer),
      CubeMap(ACubeMap),
      CubeMapSinglePass(ACubeMapSinglePass) {
  if (CubeMap && CubeMapSinglePass) {
    Textures = 2;
    glGenTextures(2, TextureHandles);
    for (int32_t t = 0; t < 2; ++t) {
      glBindTexture(GL_TEXTURE_CUBE_MAP, TextureHandles[t]);
      SetSampling(GL_TEXTURE_CUBE_MAP, AClamping, AInterpolation);
      for (uint32_t Face : CubeMapTexs) CreateTexture(Face, t, ABufferFormat, false);
    }
    glGenFramebuffers(1, &FrameBuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, FrameBuffer);
    glFramebufferTexture(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, TextureHandles[0], 0);
    glFramebufferTexture(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, TextureHandles[1], 0);
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
  } else if (CubeMap) {
    Textures = 1;
    glGenTextures(1, TextureHandles);
    glBindTexture(GL_TEXTURE_CUBE_MAP, TextureHandles[0]);
    SetSampling(GL_TEXTURE_CUBE_MAP, AClamping, AInterpolation);
    for (uint32_t Face : CubeMapTexs) {
      glTexImage2D(Face, 0, GL_RGBA, Width, Height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    }
    glGenFramebuffers(1, &FrameBuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, FrameBuffer);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_CUBE_MAP_POSITIVE_X, TextureHandles[0], 0);
    CreateDepthBuffer(false);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE) glDrawBuffer(GL_COLOR_ATTACHMENT0);
  } else {
    // TextureHandles has room for 16.
    Textures = std::clamp(ATextures, 0, MaxTextures);
    glGenFramebuffers(1, &FrameBuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, FrameBuffer);
    CreateDepthBuffer(AMultiSample);
    const GLenum Target = AMultiSample ? GL_TEXTURE_2D_MULTISAMPLE : GL_TEXTURE_2D;
    for (int32_t i = 0; i < Textures; ++i) {
      glGenTextures(1, &TextureHandles[i]);
      glBindTexture(Target, TextureHandles[i]);
      // Multisample textures have no sampler state; setting it would only raise errors.
      if (!AMultiSample) SetSampling(GL_TEXTURE_2D, AClamping, AInterpolation);
      CreateTexture(Target, i, ABufferFormat, AMultiSample);
      glFramebufferTexture2D(GL_FRAMEBUFFER, DrawBuffers[i], Target, TextureHandles[i], 0);
    }
  }
  if (CubeMap) glBindTexture(GL_TEXTURE_CUBE_MAP, 0);
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
}

TZNT1FrameBufferObject::~TZNT1FrameBufferObject() {
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  if (ColorBuffer != NoBuffer) glDeleteRenderbuffers(1, &ColorBuffer);
  if (DepthBuffer != 0) glDeleteRenderbuffers(1, &DepthBuffer);
  if (HasStencilBuffer && StencilBuffer != NoBuffer) glDeleteRenderbuffers(1, &StencilBuffer);
  glDeleteFramebuffers(1, &FrameBuffer);
  if (Textures > 0) glDeleteTextures(Textures, TextureHandles);
}

void TZNT1FrameBufferObject::Bind() {
  glBindFramebuffer(GL_FRAMEBUFFER, FrameBuffer);
  if (CubeMap) return;
  if (Textures < 2) {
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
  } else {
    glDrawBuffers(Textures, DrawBuffers);
  }
}

void TZNT1FrameBufferObject::Unbind() { glBindFramebuffer(GL_FRAMEBUFFER, 0); }

void TZNT1FrameBufferObject::SetSampling(uint32_t Target, bool Clamping, bool Interpolation) {
  const GLint Filter = Interpolation ? GL_LINEAR : GL_NEAREST;
  const GLint Wrap = Clamping ? GL_CLAMP_TO_EDGE : GL_REPEAT;
  glTexParameteri(Target, GL_TEXTURE_MIN_FILTER, Filter);
  glTexParameteri(Target, GL_TEXTURE_MAG_FILTER, Filter);
  glTexParameteri(Target, GL_TEXTURE_WRAP_S, Wrap);
  glTexParameteri(Target, GL_TEXTURE_WRAP_T, Wrap);
  if (Target == GL_TEXTURE_CUBE_MAP) glTexParameteri(Target, GL_TEXTURE_WRAP_R, Wrap);
  glTexParameteri(Target, GL_GENERATE_MIPMAP, GL_FALSE);
}

void TZNT1FrameBufferObject::CreateTexture(uint32_t Target, int32_t WhichIndex, const std::vector<int32_t>& BufferFormat,
                                           bool MultiSample) {
  int32_t Code = GL_TEXTURE_RGBA8;
  if (!BufferFormat.empty()) {
    Code = BufferFormat[std::min(static_cast<size_t>(std::max(WhichIndex, 0)), BufferFormat.size() - 1)];
  }
  const TZNT1BufferFormatInfo Info = BufferFormatInfo(Code);
  const GLenum Clamp = Info.Clamping ? GL_TRUE : GL_FALSE;
  glClampColor(GL_CLAMP_VERTEX_COLOR, Clamp);
  glClampColor(GL_CLAMP_FRAGMENT_COLOR, Clamp);
  glClampColor(GL_CLAMP_READ_COLOR, Clamp);
  if (MultiSample) {
    glTexImage2DMultisample(Target, 4, Info.InternalFormat, Width, Height, GL_TRUE);
  } else {
    glTexImage2D(Target, 0, static_cast<GLint>(Info.InternalFormat), Width, Height, 0, Info.PixelFormat,
                 Info.PixelType, nullptr);
  }
}

// A stencil request takes the probe's packed depth-stencil format and falls back to depth only
// (or to nothing, when depth was not requested either) without one.
void TZNT1FrameBufferObject::CreateDepthBuffer(bool MultiSample) {
  static const TZNT1GLCapabilities Defaults(nullptr);  // before the probe has run
  const TZNT1GLCapabilities& Capabilities =
      (Engine && Engine->GLCapabilities) ? *Engine->GLCapabilities : Defaults;
  const bool PackedStencil = HasStencilBuffer && Capabilities.DepthStencilType != 0;
  GLenum Format;
  if (PackedStencil) {
    Format = Capabilities.DepthStencilType;
  } else if (HasDepthBuffer) {
    Format = GL_DEPTH_COMPONENT;
  } else {
    return;
  }
  glGenRenderbuffers(1, &DepthBuffer);
  glBindRenderbuffer(GL_RENDERBUFFER, DepthBuffer);
  if (MultiSample) {
    glRenderbufferStorageMultisample(GL_RENDERBUFFER, 4, Format, Width, Height);
  } else {
    glRenderbufferStorage(GL_RENDERBUFFER, Format, Width, Height);
  }
  glBindRenderbuffer(GL_RENDERBUFFER, 0);
  glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, DepthBuffer);
  if (PackedStencil) {
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_STENCIL_ATTACHMENT, GL_RENDERBUFFER, DepthBuffer);
  }
}
