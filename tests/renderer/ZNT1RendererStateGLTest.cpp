#include <gtest/gtest.h>

#include <memory>

#include "RendererGLRecorder.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1GLSLShader.h"
#include "renderer/ZNT1Renderer.h"
#include "support/GLContextFixture.h"

namespace {

using R = RendererGLRecorder;

class RendererStateGL : public GLEngineFixture {
 protected:
  void SetUp() override {
    GLEngineFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    renderer = std::make_unique<TZNT1Renderer>(&engine);
    state = renderer->State.get();
    state->Reset();
    renderer->GLCalls = 0;
  }
  void TearDown() override {
    if (state) {
      // Leave the shared context as the next test expects it.
      state->RemoveVertexAttributes();
      glBindVertexArray(0);
      glUseProgram(0);
      for (GLenum u = 0; u < 4; ++u) {
        glActiveTexture(GL_TEXTURE0 + u);
        glBindTexture(GL_TEXTURE_2D, 0);
        glBindTexture(GL_TEXTURE_3D, 0);
      }
      glActiveTexture(GL_TEXTURE0);
      glDisable(GL_BLEND);
      glDisable(GL_POLYGON_OFFSET_FILL);
    }
    renderer.reset();
    GLEngineFixture::TearDown();
  }

  static GLint Integer(GLenum Name) {
    GLint v = -1;
    glGetIntegerv(Name, &v);
    return v;
  }

  static GLuint NewTexture(GLenum Target) {
    GLuint t = 0;
    glGenTextures(1, &t);
    glBindTexture(Target, t);
    glBindTexture(Target, 0);
    return t;
  }

  static GLuint NewBuffer() {
    GLuint b = 0;
    glGenBuffers(1, &b);
    glBindBuffer(GL_ARRAY_BUFFER, b);
    glBufferData(GL_ARRAY_BUFFER, 96 * 16, nullptr, GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    return b;
  }

  std::unique_ptr<TZNT1Renderer> renderer;
  TZNT1RendererState* state = nullptr;
};

}  // namespace

TEST_F(RendererStateGL, CapabilitiesAndPlainSettersSendOnlyChanges) {
  R rec;
  state->Disable(GL_BLEND);  // off by default, but unknown after a reset
  state->Disable(GL_BLEND);
  state->Enable(GL_BLEND);
  state->Enable(GL_BLEND);
  EXPECT_EQ(R::Count("Disable"), 1);
  EXPECT_EQ(R::Count("Enable"), 1);
  EXPECT_EQ(glIsEnabled(GL_BLEND), GL_TRUE);
  EXPECT_EQ(renderer->GLCalls, 2u);

  struct Case {
    const char* Name;
    void (*Twice)(TZNT1RendererState&);
  };
  const Case Cases[] = {
      {"DepthMask", [](TZNT1RendererState& s) { s.SetDepthMask(false); s.SetDepthMask(false); }},
      {"DepthFunc", [](TZNT1RendererState& s) { s.SetDepthFunc(GL_LEQUAL); s.SetDepthFunc(GL_LEQUAL); }},
      {"BlendEquation", [](TZNT1RendererState& s) { s.SetBlendEquation(GL_FUNC_ADD); s.SetBlendEquation(GL_FUNC_ADD); }},
      {"BlendFunc", [](TZNT1RendererState& s) { s.SetBlendFunc(GL_ONE, GL_ONE); s.SetBlendFunc(GL_ONE, GL_ONE); }},
      {"CullFace", [](TZNT1RendererState& s) { s.SetCullFace(GL_FRONT); s.SetCullFace(GL_FRONT); }},
      {"PolygonMode", [](TZNT1RendererState& s) { s.SetPolyModeLine(false); s.SetPolyModeLine(false); }},
      {"UseProgram", [](TZNT1RendererState& s) { s.UseProgram(0); s.UseProgram(0); }},
      {"EnableVertexAttribArray", [](TZNT1RendererState& s) { s.SetVertexAttribArray(3, true); s.SetVertexAttribArray(3, true); }},
  };
  for (const Case& c : Cases) {
    R::Clear();
    const uint32_t Before = renderer->GLCalls;
    c.Twice(*state);
    EXPECT_EQ(R::Count(c.Name), 1) << c.Name;
    EXPECT_EQ(renderer->GLCalls, Before + 1) << c.Name;
  }
  // A changed blend factor on either side is sent again.
  R::Clear();
  state->SetBlendFunc(GL_ONE, GL_ZERO);
  state->SetBlendFunc(GL_SRC_ALPHA, GL_ZERO);
  EXPECT_EQ(R::Count("BlendFunc"), 2);
  EXPECT_EQ(Integer(GL_BLEND_SRC_RGB), GL_SRC_ALPHA);
  EXPECT_EQ(Integer(GL_CULL_FACE_MODE), GL_FRONT);
  EXPECT_EQ(Integer(GL_DEPTH_WRITEMASK), GL_FALSE);
  state->SetVertexAttribArray(3, false);
  state->SetDepthMask(true);
  state->Disable(GL_BLEND);
}

TEST_F(RendererStateGL, PolygonOffsetAndDepthRangeAreNotCounted) {
  R rec;
  state->SetPolygonOffset(-1, -2);
  state->SetPolygonOffset(-1, -2);
  EXPECT_EQ(R::Count("PolygonOffset"), 1);
  state->SetPolygonOffset(-0.0f, -2);  // another bit pattern than the unknown marker and than 0
  EXPECT_EQ(R::Count("PolygonOffset"), 2);
  state->SetDepthRange(0, 0);
  state->SetDepthRange(0, 0);
  EXPECT_EQ(R::Count("DepthRange"), 2);
  EXPECT_EQ(renderer->GLCalls, 0u);
  state->SetDepthRange(0, 1);
}

TEST_F(RendererStateGL, BindTextureCases) {
  const GLuint t2 = NewTexture(GL_TEXTURE_2D), t2b = NewTexture(GL_TEXTURE_2D), t3 = NewTexture(GL_TEXTURE_3D);
  R rec;
  // First bind on a unit after a reset: the old target is unknown, so nothing is unbound.
  state->BindTexture(GL_TEXTURE1, t2, GL_TEXTURE_2D);
  EXPECT_EQ(R::Calls(), (std::vector<std::string>{R::Format("ActiveTexture", 1), R::Format("BindTexture", GL_TEXTURE_2D, t2)}));
  EXPECT_EQ(renderer->GLCalls, 2u);
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));

  // The same handle with another target sends nothing.
  R::Clear();
  state->BindTexture(GL_TEXTURE1, t2, GL_TEXTURE_3D);
  EXPECT_TRUE(R::Calls().empty());

  // Another 2D texture: active unit and bind.
  state->BindTexture(GL_TEXTURE1, t2b, GL_TEXTURE_2D);
  EXPECT_EQ(R::Count("BindTexture"), 1);
  EXPECT_EQ(renderer->GLCalls, 4u);

  // A 3D texture where a 2D one was: the 2D target is unbound first, three calls counted.
  R::Clear();
  state->BindTexture(GL_TEXTURE1, t3, GL_TEXTURE_3D);
  EXPECT_EQ(R::Calls(), (std::vector<std::string>{R::Format("ActiveTexture", 1), R::Format("BindTexture", GL_TEXTURE_2D, 0),
                                                  R::Format("BindTexture", GL_TEXTURE_3D, t3)}));
  EXPECT_EQ(renderer->GLCalls, 7u);
  glActiveTexture(GL_TEXTURE1);
  EXPECT_EQ(Integer(GL_TEXTURE_BINDING_2D), 0);
  EXPECT_EQ(Integer(GL_TEXTURE_BINDING_3D), GLint(t3));
  glActiveTexture(GL_TEXTURE0);

  // Units beyond the cache are refused rather than written past its end.
  R::Clear();
  state->BindTexture(GL_TEXTURE0 + 32, t2, GL_TEXTURE_2D);
  EXPECT_TRUE(R::Calls().empty());
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  GLuint All[3] = {t2, t2b, t3};
  glDeleteTextures(3, All);
}

TEST_F(RendererStateGL, EveryUnitBindsWithoutErrorAfterAReset) {
  // The frame's clean-up binds texture 0 on every unit right after contexts reset the cache.
  const GLuint t = NewTexture(GL_TEXTURE_2D);
  for (uint32_t i = 0; i < 8; ++i) state->BindTexture(GL_TEXTURE0 + i, t, GL_TEXTURE_2D);
  state->Reset();
  for (uint32_t i = 0; i < 8; ++i) state->BindTexture(GL_TEXTURE0 + i, 0, GL_TEXTURE_2D);
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  glDeleteTextures(1, &t);
}

TEST_F(RendererStateGL, UseShaderOfNilSendsProgramZero) {
  TZNT1GLSLShader Program(&engine, nullptr);
  Program.ProgramHandle = static_cast<int32_t>(glCreateProgram());
  R rec;
  EXPECT_TRUE(state->UseShader(nullptr));  // nil is already current after a reset: nothing
  EXPECT_TRUE(R::Calls().empty());
  // Only the program name is compared by UseProgram; an unlinked program is fine to skip here.
  state->ProgramHandle = static_cast<uint32_t>(Program.ProgramHandle);
  state->Shader = &Program;
  EXPECT_TRUE(state->UseShader(nullptr));
  EXPECT_EQ(R::Calls(), (std::vector<std::string>{R::Format("UseProgram", 0)}));
  EXPECT_TRUE(state->UseShader(nullptr));
  EXPECT_EQ(R::Calls().size(), 1u);
  glDeleteProgram(static_cast<GLuint>(Program.ProgramHandle));
  Program.ProgramHandle = -1;
}

TEST_F(RendererStateGL, VertexArrayObjectAfterPlainBuffersAndBack) {
  engine.GLCapabilities->VertexArrayObject = true;
  const GLuint Vertices = NewBuffer(), Indices = NewBuffer();
  GLuint VAO = 0;
  glGenVertexArrays(1, &VAO);
  R rec;
  state->BindSingleVBO(Vertices, Indices, 2, 0);
  EXPECT_EQ(R::Count("EnableVertexAttribArray"), 7);
  EXPECT_EQ(R::Count("VertexAttribPointer"), 7);
  // Pointers start at vertex 2; the colour is four normalised bytes at offset 56.
  EXPECT_NE(std::find(R::Calls().begin(), R::Calls().end(),
                      R::Format("VertexAttribPointer", 5, 4, GL_UNSIGNED_BYTE, 1, 96, 2 * 96 + 56)),
            R::Calls().end());
  EXPECT_EQ(R::Calls().back(), R::Format("BindBuffer", GL_ELEMENT_ARRAY_BUFFER, Indices));
  EXPECT_EQ(renderer->GLCalls, 7u + 7u + 2u);

  R::Clear();
  state->BindSingleVBO(Vertices, Indices, 0, VAO);
  std::vector<std::string> Expected;
  for (int i = 0; i < 7; ++i) Expected.push_back(R::Format("DisableVertexAttribArray", i));
  Expected.push_back(R::Format("BindBuffer", GL_ARRAY_BUFFER, 0));
  Expected.push_back(R::Format("BindBuffer", GL_ELEMENT_ARRAY_BUFFER, 0));
  Expected.push_back(R::Format("BindVertexArray", VAO));
  EXPECT_EQ(R::Calls(), Expected);
  EXPECT_EQ(Integer(GL_VERTEX_ARRAY_BINDING), GLint(VAO));

  R::Clear();
  state->BindSingleVBO(Vertices, Indices, 0, 0);
  ASSERT_FALSE(R::Calls().empty());
  EXPECT_EQ(R::Calls().front(), R::Format("BindVertexArray", 0));
  EXPECT_EQ(Integer(GL_VERTEX_ARRAY_BINDING), 0);
  EXPECT_EQ(Integer(GL_ARRAY_BUFFER_BINDING), GLint(Vertices));

  state->RemoveVertexAttributes();
  glDeleteVertexArrays(1, &VAO);
  GLuint Buffers[2] = {Vertices, Indices};
  glDeleteBuffers(2, Buffers);
}

TEST_F(RendererStateGL, DualBuffersPointTheSecondFrameAtTheSecondSet) {
  const GLuint A = NewBuffer(), B = NewBuffer(), Indices = NewBuffer();
  R rec;
  state->BindDualVBO(A, Indices, A, Indices, 1, 3);
  EXPECT_EQ(R::Count("BindBuffer(" + std::to_string(GL_ARRAY_BUFFER)), 1);  // one buffer for both frames
  EXPECT_EQ(R::Count("EnableVertexAttribArray"), 14);
  EXPECT_NE(std::find(R::Calls().begin(), R::Calls().end(), R::Format("VertexAttribPointer", 7, 3, GL_FLOAT, 0, 96, 3 * 96)),
            R::Calls().end());
  R::Clear();
  state->BindDualVBO(A, Indices, B, Indices, 0, 0);
  EXPECT_EQ(R::Count("BindBuffer(" + std::to_string(GL_ARRAY_BUFFER)), 2);
  // A single binding after a dual one switches the second set off.
  R::Clear();
  state->BindSingleVBO(A, Indices, 0, 0);
  EXPECT_EQ(R::Count("DisableVertexAttribArray"), 7);
  R::Clear();
  state->RemoveVertexAttributes();
  EXPECT_EQ(R::Count("DisableVertexAttribArray"), 7);  // 7..13 are already off
  EXPECT_EQ(Integer(GL_ARRAY_BUFFER_BINDING), 0);
  GLuint Buffers[3] = {A, B, Indices};
  glDeleteBuffers(3, Buffers);
}
