#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Game.h"
#include "gpu/ZNT1FrameBufferObject.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "platform/ZNT1OpenGL.h"
#include "support/GLContextFixture.h"

namespace {

class FrameBufferGL : public GLEngineFixture {
 protected:
  void TearDown() override {
    GLEngineFixture::TearDown();
    if (Context()) glBindFramebuffer(GL_FRAMEBUFFER, 0);
  }

  std::unique_ptr<TZNT1FrameBufferObject> Make(int32_t Textures, std::vector<int32_t> Formats, bool Depth = false,
                                               bool Stencil = false, int32_t Size = 8) {
    return std::make_unique<TZNT1FrameBufferObject>(&engine, Size, Size, Textures, false, false, true, true, Depth,
                                                    Stencil, Formats, false, 0);
  }

  static GLenum Status(const TZNT1FrameBufferObject& f) {
    glBindFramebuffer(GL_FRAMEBUFFER, f.FrameBuffer);
    const GLenum s = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    return s;
  }

  static GLint Attachment(const TZNT1FrameBufferObject& f, GLenum Point, GLenum Name) {
    GLint Value = -1;
    glBindFramebuffer(GL_FRAMEBUFFER, f.FrameBuffer);
    glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, Point, Name, &Value);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    return Value;
  }

  static GLint TextureInternalFormat(GLenum Binding, GLuint Texture, GLenum Target) {
    GLint Value = 0;
    glBindTexture(Binding, Texture);
    glGetTexLevelParameteriv(Target, 0, GL_TEXTURE_INTERNAL_FORMAT, &Value);
    glBindTexture(Binding, 0);
    return Value;
  }

  static bool ClampSwitches(bool On) {
    GLint Read = -1, Fragment = -1, Vertex = -1;
    glGetIntegerv(GL_CLAMP_READ_COLOR, &Read);
    glGetIntegerv(GL_CLAMP_FRAGMENT_COLOR, &Fragment);
    glGetIntegerv(GL_CLAMP_VERTEX_COLOR, &Vertex);
    const GLint Want = On ? GL_TRUE : GL_FALSE;
    return Read == Want && Fragment == Want && Vertex == Want;
  }

};

}  // namespace

TEST(FrameBufferTables, CubeMapMatricesTurnEachFaceTowardsMinusZ) {
  const TZNT1Vector3 Faces[6] = {Vector3(1, 0, 0), Vector3(-1, 0, 0), Vector3(0, 1, 0),
                                 Vector3(0, -1, 0), Vector3(0, 0, 1), Vector3(0, 0, -1)};
  for (int f = 0; f < 6; ++f) {
    SCOPED_TRACE(f);
    EXPECT_EQ(CubeMapTexs[f], static_cast<uint32_t>(34069 + f));
    const TZNT1Vector3 v = Vector3TermMatrixMulEx(Faces[f], CubeMapMatrices[f]);
    EXPECT_TRUE(Vector3Compare(v, Vector3(0, 0, -1)));
    // A pure rotation: its transpose is its inverse and it has no translation.
    TZNT1Matrix4x4 p = Matrix4x4TermMul(CubeMapMatrices[f], Matrix4x4TermTranspose(CubeMapMatrices[f]));
    for (int r = 0; r < 4; ++r) {
      for (int c = 0; c < 4; ++c) EXPECT_EQ(p.M[r][c], r == c ? 1.0f : 0.0f);
    }
    const TZNT1Matrix3x3 m = Matrix3x3(CubeMapMatrices[f]);
    const float Det = Vector3Dot(Vector3Cross(Vector3(m.M[0][0], m.M[0][1], m.M[0][2]),
                                              Vector3(m.M[1][0], m.M[1][1], m.M[1][2])),
                                 Vector3(m.M[2][0], m.M[2][1], m.M[2][2]));
    EXPECT_EQ(Det, 1.0f);
  }
  // The +X face as listed; its up direction is -y, as OpenGL's cube faces are laid out.
  const float PlusX[4][4] = {{0, 0, -1, 0}, {0, -1, 0, 0}, {-1, 0, 0, 0}, {0, 0, 0, 1}};
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) EXPECT_EQ(CubeMapMatrices[0].M[r][c], PlusX[r][c]);
  }
  for (int i = 0; i < 16; ++i) EXPECT_EQ(DrawBuffers[i], static_cast<uint32_t>(GL_COLOR_ATTACHMENT0 + i));
  EXPECT_EQ(BufferFormatInfo(99).InternalFormat, static_cast<uint32_t>(GL_RGBA));
  EXPECT_EQ(BufferFormatInfo(-1).PixelType, static_cast<uint32_t>(GL_UNSIGNED_BYTE));
  EXPECT_EQ(BufferFormatInfo(GL_TEXTURE_RG16F).InternalFormat, static_cast<uint32_t>(GL_RG16F));
  EXPECT_FALSE(BufferFormatInfo(GL_TEXTURE_R32F).Clamping);
  EXPECT_TRUE(BufferFormatInfo(GL_TEXTURE_R32).Clamping);
}

TEST_F(FrameBufferGL, EveryFormatCodeAllocatesItsTexture) {
  // The formats OpenGL must be able to render to; the rest are checked for allocation only.
  const bool Required[24] = {true, true, true, true, true,  true,  false, false, false, false, false, true,
                             true, true, true, true, true,  true,  true,  true,  true,  false, false, false};
  for (int32_t Code = 0; Code <= 24; ++Code) {
    SCOPED_TRACE(Code);
    auto f = Make(1, {Code});
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    ASSERT_EQ(f->Textures, 1);
    const TZNT1BufferFormatInfo Info = BufferFormatInfo(Code);
    EXPECT_EQ(TextureInternalFormat(GL_TEXTURE_2D, f->TextureHandles[0], GL_TEXTURE_2D) != 0, true);
    GLint Width = 0;
    glBindTexture(GL_TEXTURE_2D, f->TextureHandles[0]);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &Width);
    glBindTexture(GL_TEXTURE_2D, 0);
    EXPECT_EQ(Width, 8);  // the image exists
    if (Code < 24 && Required[Code]) {
      EXPECT_EQ(Status(*f), static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
    }
    EXPECT_TRUE(ClampSwitches(Info.Clamping));
  }
}

TEST_F(FrameBufferGL, ClearedTargetsReadBackInTheirFormat) {
  auto Bytes = Make(1, {GL_TEXTURE_RGBA8});
  Bytes->Bind();
  glViewport(0, 0, 8, 8);
  glClearColor(0.25f, 0.5f, 1.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT);
  uint8_t Pixel[4] = {};
  glReadPixels(3, 3, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, Pixel);
  EXPECT_NEAR(Pixel[0], 64, 1);
  EXPECT_NEAR(Pixel[1], 128, 1);
  EXPECT_EQ(Pixel[2], 255);

  // A float target keeps values outside 0..1: the clamping switches are off after it is made.
  auto Floats = Make(1, {GL_TEXTURE_RGBA32F});
  EXPECT_TRUE(ClampSwitches(false));
  Floats->Bind();
  glClearColor(2.5f, -1.0f, 0.125f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT);
  float Value[4] = {};
  glReadPixels(7, 7, 1, 1, GL_RGBA, GL_FLOAT, Value);
  EXPECT_EQ(Value[0], 2.5f);
  EXPECT_EQ(Value[1], -1.0f);
  EXPECT_EQ(Value[2], 0.125f);

  auto Integers = Make(1, {GL_TEXTURE_RGBA32});
  EXPECT_TRUE(ClampSwitches(true));
  Integers->Bind();
  const GLuint Clear[4] = {70000, 1, 2, 3};
  glClearBufferuiv(GL_COLOR, 0, Clear);
  GLuint Read[4] = {};
  glReadPixels(0, 0, 1, 1, GL_RGBA_INTEGER, GL_UNSIGNED_INT, Read);
  EXPECT_EQ(Read[0], 70000u);
  EXPECT_EQ(Read[3], 3u);
  Integers->Unbind();
  GLint Bound = -1;
  glGetIntegerv(GL_FRAMEBUFFER_BINDING, &Bound);
  EXPECT_EQ(Bound, 0);
  glClearColor(0, 0, 0, 0);
}

TEST_F(FrameBufferGL, GeometryBufferHasThreeFloatAttachmentsAndDrawsToAllOfThem) {
  auto f = Make(3, {GL_TEXTURE_RGBA32F, GL_TEXTURE_RGBA32F, GL_TEXTURE_RGBA32F}, true);
  ASSERT_EQ(f->Textures, 3);
  EXPECT_EQ(Status(*f), static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
  EXPECT_NE(f->DepthBuffer, 0u);
  EXPECT_EQ(f->ColorBuffer, 0xFFFFFFFFu);
  EXPECT_EQ(f->StencilBuffer, 0xFFFFFFFFu);
  EXPECT_EQ(Attachment(*f, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME), GLint(f->DepthBuffer));
  EXPECT_EQ(Attachment(*f, GL_STENCIL_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE), GL_NONE);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Attachment(*f, GL_COLOR_ATTACHMENT0 + i, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME),
              GLint(f->TextureHandles[i]));
    EXPECT_EQ(TextureInternalFormat(GL_TEXTURE_2D, f->TextureHandles[i], GL_TEXTURE_2D), GL_RGBA32F);
  }
  f->Bind();
  for (int i = 0; i < 3; ++i) {
    GLint Buffer = 0;
    glGetIntegerv(GL_DRAW_BUFFER0 + i, &Buffer);
    EXPECT_EQ(Buffer, GL_COLOR_ATTACHMENT0 + i);
  }
  for (int i = 0; i < 3; ++i) {
    const float Color[4] = {float(i) + 0.5f, -float(i), 3.0f, 1.0f};
    glClearBufferfv(GL_COLOR, i, Color);
  }
  for (int i = 0; i < 3; ++i) {
    float Value[4] = {};
    glReadBuffer(GL_COLOR_ATTACHMENT0 + i);
    glReadPixels(2, 5, 1, 1, GL_RGBA, GL_FLOAT, Value);
    EXPECT_EQ(Value[0], float(i) + 0.5f);
    EXPECT_EQ(Value[1], -float(i));
  }
  glReadBuffer(GL_COLOR_ATTACHMENT0);
  f->Unbind();
}

TEST_F(FrameBufferGL, ShortFormatListsRepeatTheirLastCodeAndTextureCountIsBounded) {
  auto Two = Make(2, {GL_TEXTURE_RGBA16F});
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(TextureInternalFormat(GL_TEXTURE_2D, Two->TextureHandles[i], GL_TEXTURE_2D), GL_RGBA16F);
  }
  auto Empty = Make(1, {});
  const GLint Format = TextureInternalFormat(GL_TEXTURE_2D, Empty->TextureHandles[0], GL_TEXTURE_2D);
  EXPECT_TRUE(Format == GL_RGBA || Format == GL_RGBA8) << Format;
  // TextureHandles holds 16: more would write over the fields behind it. (Drivers may offer fewer
  // attachments than 16; those beyond their limit are refused by OpenGL.)
  auto Many = Make(20, {GL_TEXTURE_R8}, false, false, 4);
  ClearGLErrors();
  EXPECT_EQ(Many->Textures, 16);
  EXPECT_FALSE(Many->HasDepthBuffer || Many->HasStencilBuffer || Many->CubeMap || Many->CubeMapSinglePass);
  EXPECT_EQ(Attachment(*Many, GL_COLOR_ATTACHMENT0 + 1, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME),
            GLint(Many->TextureHandles[1]));
  auto None = Make(-3, {GL_TEXTURE_RGBA8}, true);
  EXPECT_EQ(None->Textures, 0);
}

TEST_F(FrameBufferGL, DepthAndStencilFollowTheProbe) {
  // With the probe's packed format: one renderbuffer on both attachments, and both tests work.
  auto f = Make(1, {GL_TEXTURE_RGBA8}, true, true);
  ASSERT_NE(f->DepthBuffer, 0u);
  EXPECT_EQ(Status(*f), static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
  EXPECT_EQ(Attachment(*f, GL_STENCIL_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME), GLint(f->DepthBuffer));
  EXPECT_EQ(Attachment(*f, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME), GLint(f->DepthBuffer));
  EXPECT_GE(Attachment(*f, GL_STENCIL_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_STENCIL_SIZE), 8);

  f->Bind();
  glViewport(0, 0, 8, 8);
  glClearColor(0, 0, 0, 1);
  glClearDepth(1.0);
  glClearStencil(0);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glEnable(GL_DEPTH_TEST);
  glEnable(GL_STENCIL_TEST);
  glDepthFunc(GL_LESS);
  // Red at depth 0 over the left half, marking stencil 1 there.
  glStencilFunc(GL_ALWAYS, 1, 0xFF);
  glStencilOp(GL_KEEP, GL_KEEP, GL_REPLACE);
  glColor4f(1, 0, 0, 1);
  glRectf(-1, -1, 0, 1);
  // Green behind it over the whole target (hidden on the left by depth).
  glStencilFunc(GL_ALWAYS, 0, 0xFF);
  glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
  glColor4f(0, 1, 0, 1);
  glBegin(GL_QUADS);
  glVertex3f(-1, -1, 0.5f);
  glVertex3f(1, -1, 0.5f);
  glVertex3f(1, 1, 0.5f);
  glVertex3f(-1, 1, 0.5f);
  glEnd();
  // Blue in front, only where the stencil is 1.
  glStencilFunc(GL_EQUAL, 1, 0xFF);
  glColor4f(0, 0, 1, 1);
  glBegin(GL_QUADS);
  glVertex3f(-1, 0, -0.5f);
  glVertex3f(1, 0, -0.5f);
  glVertex3f(1, 1, -0.5f);
  glVertex3f(-1, 1, -0.5f);
  glEnd();
  glDisable(GL_STENCIL_TEST);
  glDisable(GL_DEPTH_TEST);
  glColor4f(1, 1, 1, 1);
  uint8_t Pixels[3][4] = {};
  glReadPixels(1, 1, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, Pixels[0]);  // left, low: red
  glReadPixels(6, 1, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, Pixels[1]);  // right: green
  glReadPixels(1, 6, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, Pixels[2]);  // left, high: blue
  f->Unbind();
  EXPECT_EQ(Pixels[0][0], 255);
  EXPECT_EQ(Pixels[0][1], 0);
  EXPECT_EQ(Pixels[1][1], 255);
  EXPECT_EQ(Pixels[1][0], 0);
  EXPECT_EQ(Pixels[2][2], 255);
  EXPECT_EQ(Pixels[2][0], 0);

  // Without a depth-stencil type: depth only, no stencil.
  engine.GLCapabilities->DepthStencilType = 0;
  auto DepthOnly = Make(1, {GL_TEXTURE_RGBA8}, true, true);
  ASSERT_NE(DepthOnly->DepthBuffer, 0u);
  EXPECT_EQ(Status(*DepthOnly), static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
  EXPECT_EQ(Attachment(*DepthOnly, GL_STENCIL_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE), GL_NONE);
  EXPECT_GT(Attachment(*DepthOnly, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_DEPTH_SIZE), 0);
  // ... and a stencil request without depth is dropped entirely.
  auto Nothing = Make(1, {GL_TEXTURE_RGBA8}, false, true);
  EXPECT_EQ(Nothing->DepthBuffer, 0u);
}

TEST_F(FrameBufferGL, DestroyDeletesEverythingItMade) {
  // Stencil without depth still makes the packed buffer, and it must go with the target.
  auto f = Make(2, {GL_TEXTURE_RGBA8}, false, true);
  ASSERT_NE(f->DepthBuffer, 0u);
  const GLuint Depth = f->DepthBuffer, Frame = f->FrameBuffer;
  const GLuint Textures[2] = {f->TextureHandles[0], f->TextureHandles[1]};
  ASSERT_TRUE(glIsRenderbuffer(Depth));
  f->Bind();
  f.reset();
  GLint Bound = -1;
  glGetIntegerv(GL_FRAMEBUFFER_BINDING, &Bound);
  EXPECT_EQ(Bound, 0);
  EXPECT_FALSE(glIsRenderbuffer(Depth));
  EXPECT_FALSE(glIsFramebuffer(Frame));
  EXPECT_FALSE(glIsTexture(Textures[0]));
  EXPECT_FALSE(glIsTexture(Textures[1]));
}

TEST_F(FrameBufferGL, SinglePassCubeMapIsLayeredColourAndDepth) {
  TZNT1FrameBufferObject f(&engine, 16, 16, 5, true, true, true, true, true, true,
                           {GL_TEXTURE_RGBA8, GL_TEXTURE_D24}, false, 0);
  ASSERT_EQ(f.Textures, 2);
  EXPECT_EQ(f.DepthBuffer, 0u);
  EXPECT_EQ(Status(f), static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
  EXPECT_EQ(Attachment(f, GL_COLOR_ATTACHMENT0, GL_FRAMEBUFFER_ATTACHMENT_LAYERED), GL_TRUE);
  EXPECT_EQ(Attachment(f, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_LAYERED), GL_TRUE);
  EXPECT_EQ(Attachment(f, GL_DEPTH_ATTACHMENT, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME), GLint(f.TextureHandles[1]));
  for (uint32_t Face : CubeMapTexs) {
    const GLint Colour = TextureInternalFormat(GL_TEXTURE_CUBE_MAP, f.TextureHandles[0], Face);
    EXPECT_TRUE(Colour == GL_RGBA || Colour == GL_RGBA8) << Colour;
    EXPECT_EQ(TextureInternalFormat(GL_TEXTURE_CUBE_MAP, f.TextureHandles[1], Face), GL_DEPTH_COMPONENT24);
  }
  GLint Bound = -1;
  glGetIntegerv(GL_TEXTURE_BINDING_CUBE_MAP, &Bound);
  EXPECT_EQ(Bound, 0);

  // A clear reaches every layer of both cube maps.
  f.Bind();
  GLint DrawBuffer = 0;
  glGetIntegerv(GL_DRAW_BUFFER0, &DrawBuffer);
  EXPECT_EQ(DrawBuffer, GL_COLOR_ATTACHMENT0);
  glViewport(0, 0, 16, 16);
  glClearColor(0, 1, 0, 1);
  glClearDepth(0.25);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glClearDepth(1.0);
  glClearColor(0, 0, 0, 0);
  f.Unbind();
  std::vector<uint8_t> Pixels(16 * 16 * 4);
  std::vector<float> Depths(16 * 16);
  for (uint32_t Face : CubeMapTexs) {
    glBindTexture(GL_TEXTURE_CUBE_MAP, f.TextureHandles[0]);
    glGetTexImage(Face, 0, GL_RGBA, GL_UNSIGNED_BYTE, Pixels.data());
    glBindTexture(GL_TEXTURE_CUBE_MAP, f.TextureHandles[1]);
    glGetTexImage(Face, 0, GL_DEPTH_COMPONENT, GL_FLOAT, Depths.data());
    EXPECT_EQ(Pixels[0], 0) << Face;
    EXPECT_EQ(Pixels[16 * 16 * 4 - 3], 255) << Face;
    EXPECT_NEAR(Depths[100], 0.25f, 1e-6f) << Face;
  }
  glBindTexture(GL_TEXTURE_CUBE_MAP, 0);
}

TEST_F(FrameBufferGL, SixPassCubeMapRendersFaceByFace) {
  TZNT1FrameBufferObject f(&engine, 8, 8, 1, true, false, true, true, true, false, {GL_TEXTURE_RGBA32F}, false, 0);
  ASSERT_EQ(f.Textures, 1);
  EXPECT_NE(f.DepthBuffer, 0u);
  EXPECT_EQ(Status(f), static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
  EXPECT_EQ(Attachment(f, GL_COLOR_ATTACHMENT0, GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_CUBE_MAP_FACE),
            GL_TEXTURE_CUBE_MAP_POSITIVE_X);
  // RGBA8 whatever the format list says.
  const GLint Colour = TextureInternalFormat(GL_TEXTURE_CUBE_MAP, f.TextureHandles[0], GL_TEXTURE_CUBE_MAP_NEGATIVE_Z);
  EXPECT_TRUE(Colour == GL_RGBA || Colour == GL_RGBA8) << Colour;

  f.Bind();
  glViewport(0, 0, 8, 8);
  for (int Face = 0; Face < 6; ++Face) {
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, CubeMapTexs[Face], f.TextureHandles[0], 0);
    glClearColor(float(Face) / 5.0f, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  }
  glClearColor(0, 0, 0, 0);
  f.Unbind();
  std::vector<uint8_t> Pixels(8 * 8 * 4);
  glBindTexture(GL_TEXTURE_CUBE_MAP, f.TextureHandles[0]);
  for (int Face = 0; Face < 6; ++Face) {
    glGetTexImage(CubeMapTexs[Face], 0, GL_RGBA, GL_UNSIGNED_BYTE, Pixels.data());
    EXPECT_EQ(Pixels[4 * 9], Face * 51) << Face;
  }
  glBindTexture(GL_TEXTURE_CUBE_MAP, 0);
}

TEST_F(FrameBufferGL, MultisampleTargetsResolve) {
  for (int32_t Code : {GL_TEXTURE_RGBA8, GL_TEXTURE_RGBA16F}) {
    SCOPED_TRACE(Code);
    TZNT1FrameBufferObject f(&engine, 8, 8, 1, false, false, true, true, true, true, {Code}, true, 0);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_EQ(Status(f), static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
    GLint Samples = 0;
    glBindTexture(GL_TEXTURE_2D_MULTISAMPLE, f.TextureHandles[0]);
    glGetTexLevelParameteriv(GL_TEXTURE_2D_MULTISAMPLE, 0, GL_TEXTURE_SAMPLES, &Samples);
    glBindTexture(GL_TEXTURE_2D_MULTISAMPLE, 0);
    EXPECT_GE(Samples, 4);
    auto Resolved = Make(1, {Code});
    f.Bind();
    glClearColor(0, 0.5f, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glClearColor(0, 0, 0, 0);
    glBindFramebuffer(GL_DRAW_FRAMEBUFFER, Resolved->FrameBuffer);
    glBlitFramebuffer(0, 0, 8, 8, 0, 0, 8, 8, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    glBindFramebuffer(GL_FRAMEBUFFER, Resolved->FrameBuffer);
    float Value[4] = {};
    glReadPixels(4, 4, 1, 1, GL_RGBA, GL_FLOAT, Value);
    EXPECT_NEAR(Value[1], 0.5f, 0.01f);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
  }
}
