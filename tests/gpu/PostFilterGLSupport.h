#pragma once
// Small RGBA8 images and full-screen passes for the antialiasing programs' GL tests.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

#include "gpu/ZNT1GLSLShader.h"
#include "platform/ZNT1OpenGL.h"

struct TPostImage {
  int W = 0, H = 0;
  std::vector<uint8_t> Pixels;  // RGBA, bottom row first
  uint8_t* At(int x, int y) { return &Pixels[(size_t(y) * size_t(W) + size_t(x)) * 4]; }
  const uint8_t* At(int x, int y) const { return &Pixels[(size_t(y) * size_t(W) + size_t(x)) * 4]; }
};

// White above the line y = Slope × x + Offset (pixel centres decide), black below.
inline TPostImage SlantedEdgeImage(int W, int H, double Slope, double Offset) {
  TPostImage I{W, H, std::vector<uint8_t>(size_t(W) * H * 4)};
  for (int y = 0; y < H; y++)
    for (int x = 0; x < W; x++) {
      const uint8_t v = (y + 0.5) > Slope * (x + 0.5) + Offset ? 255 : 0;
      uint8_t* p = I.At(x, y);
      p[0] = p[1] = p[2] = v;
      p[3] = 255;
    }
  return I;
}

// Share of pixel (x, y) above the line, by 32 x 32 samples.
inline double EdgeCoverage(int x, int y, double Slope, double Offset) {
  int Inside = 0;
  for (int j = 0; j < 32; j++)
    for (int i = 0; i < 32; i++)
      if (y + (j + 0.5) / 32 > Slope * (x + (i + 0.5) / 32) + Offset) Inside++;
  return Inside / 1024.0;
}

inline GLuint MakeTexture(int W, int H, const uint8_t* Pixels, bool Linear, GLint Format = GL_RGBA8) {
  GLuint t = 0;
  glGenTextures(1, &t);
  glBindTexture(GL_TEXTURE_2D, t);
  glTexImage2D(GL_TEXTURE_2D, 0, Format, W, H, 0, GL_RGBA, GL_UNSIGNED_BYTE, Pixels);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, Linear ? GL_LINEAR : GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, Linear ? GL_LINEAR : GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  glBindTexture(GL_TEXTURE_2D, 0);
  return t;
}

// Creates and binds a vertex array with a full-screen triangle strip: positions in attribute 0,
// texture coordinates in attribute 1. The caller deletes Vao and Buffer.
inline void BindScreenQuad(GLuint& Vao, GLuint& Buffer) {
  const float Quad[] = {-1, -1, 1, -1, -1, 1, 1, 1, 0, 0, 1, 0, 0, 1, 1, 1};
  glGenVertexArrays(1, &Vao);
  glBindVertexArray(Vao);
  glGenBuffers(1, &Buffer);
  glBindBuffer(GL_ARRAY_BUFFER, Buffer);
  glBufferData(GL_ARRAY_BUFFER, sizeof(Quad), Quad, GL_STATIC_DRAW);
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 0, nullptr);
  glEnableVertexAttribArray(1);
  glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 0, reinterpret_cast<const void*>(8 * sizeof(float)));
}

// Draws Shader over all of Target (W x H) with Inputs bound to units 0, 1, ... as uTex0, uTex1, ...
// and uFragCoordInvScale = 1 / size.
inline void PostPass(TZNT1GLSLShader* Shader, GLuint Target, int W, int H, const std::vector<GLuint>& Inputs) {
  GLuint Fbo = 0, Vao = 0, Buffer = 0;
  glGenFramebuffers(1, &Fbo);
  glBindFramebuffer(GL_FRAMEBUFFER, Fbo);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, Target, 0);
  glViewport(0, 0, W, H);
  glDisable(GL_BLEND);
  glDisable(GL_DEPTH_TEST);
  for (size_t i = 0; i < Inputs.size(); i++) {
    glActiveTexture(GLenum(GL_TEXTURE0 + i));
    glBindTexture(GL_TEXTURE_2D, Inputs[i]);
  }
  BindScreenQuad(Vao, Buffer);
  Shader->Bind();
  for (int i = 0; i < 3; i++)
    if (Shader->uTexs[i] >= 0) glUniform1i(Shader->uTexs[i], i);
  if (Shader->uFragCoordInvScale >= 0) glUniform2f(Shader->uFragCoordInvScale, 1.0f / W, 1.0f / H);
  glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
  Shader->Unbind();
  for (size_t i = 0; i < Inputs.size(); i++) {
    glActiveTexture(GLenum(GL_TEXTURE0 + i));
    glBindTexture(GL_TEXTURE_2D, 0);
  }
  glActiveTexture(GL_TEXTURE0);
  glBindVertexArray(0);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glDeleteBuffers(1, &Buffer);
  glDeleteVertexArrays(1, &Vao);
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glDeleteFramebuffers(1, &Fbo);
}

inline TPostImage ReadTexture(GLuint Texture, int W, int H) {
  TPostImage I{W, H, std::vector<uint8_t>(size_t(W) * H * 4)};
  glBindTexture(GL_TEXTURE_2D, Texture);
  glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, I.Pixels.data());
  glBindTexture(GL_TEXTURE_2D, 0);
  return I;
}
