#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "RendererGLRecorder.h"
#include "RendererTestMap.h"
#include "assets/ZNT1Texture.h"
#include "core/ZNT1Globals.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1GLSLShader.h"
#include "material/ZNT1Shader.h"
#include "renderer/ZNT1Renderer.h"
#include "support/GLContextFixture.h"

namespace {

using R = RendererGLRecorder;

class RendererMaterialGL : public GLEngineFixture {
 protected:
  RendererMaterialGL() : GLEngineFixture(true) {}
  void SetUp() override {
    GLEngineFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    engine.Textures = std::make_unique<TZNT1Textures>(&engine);
    engine.Textures->CreateDefaultTextures();
    engine.CanvasWidth = engine.CanvasHeight = 64;
    renderer = std::make_unique<TZNT1Renderer>(&engine);
    ctx = renderer->MainContext.get();
    ctx->CanvasWidth = ctx->CanvasHeight = 64;
    Program = std::make_unique<TZNT1GLSLShader>(&engine, nullptr);
    Program->SetCode(
        "#version 130\nin vec3 aPosition;\nuniform mat4 uModelViewMatrix;\nuniform mat4 uProjectionMatrix;\n"
        "void main() { gl_Position = uProjectionMatrix * uModelViewMatrix * vec4(aPosition, 1.0); }\n",
        "",
        "#version 130\nuniform sampler2D uTex0;\nuniform sampler2D uNormalMapTex0;\nout vec4 c;\n"
        "void main() { c = texture(uTex0, vec2(0.5)) + texture(uNormalMapTex0, vec2(0.5)); }\n",
        1);
    ASSERT_TRUE(Program->Compile(false));
    renderer->State->Reset();
    const TZNT1VBO& Quad = *renderer->QuadVBO;
    renderer->State->BindSingleVBO(uint32_t(Quad.VerticesVBOHandle), uint32_t(Quad.IndicesVBOHandle), 0, 0);
  }
  void TearDown() override {
    if (renderer) {
      renderer->State->RemoveVertexAttributes();
      renderer->State->UseShader(nullptr);
      glUseProgram(0);
      glDisable(GL_BLEND);
      glDisable(GL_CULL_FACE);
      glDepthMask(GL_TRUE);
      glDepthFunc(GL_LESS);
      glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    }
    Program.reset();
    Materials.clear();
    renderer.reset();
    GLEngineFixture::TearDown();
  }

  TZNT1Shader* Material(int Stages) {
    Materials.push_back(std::make_unique<TZNT1Shader>(&engine, nullptr));
    TZNT1Shader* m = Materials.back().get();
    for (int i = 0; i < Stages; ++i) m->Add(new TZNT1ShaderStage(m));
    return m;
  }

  GLint SamplerUnit(const char* Name) const {
    GLint v = -1;
    glGetUniformiv(GLuint(Program->ProgramHandle), glGetUniformLocation(GLuint(Program->ProgramHandle), Name), &v);
    return v;
  }

  std::unique_ptr<TZNT1Renderer> renderer;
  TZNT1RendererContext* ctx = nullptr;
  std::unique_ptr<TZNT1GLSLShader> Program;
  std::vector<std::unique_ptr<TZNT1Shader>> Materials;
};

}  // namespace

TEST_F(RendererMaterialGL, PassesPerStageAndBlendedMaterialsInTheGeometryFill) {
  // Multi-pass: three diffuse stages, the first alpha-tested.
  TZNT1Shader* Multi = Material(3);
  for (int i = 0; i < 3; ++i) {
    Multi->GetStage(i)->MultiPassGLSLShaders[0][0][0] = Program.get();
    Multi->GetStage(i)->MultiPassGeometryFillGLSLShaders[0][0] = Program.get();
  }
  Multi->GetStage(0)->StateBits = GLS_DEPTHMASK_TRUE | GLS_ATEST_GE_80;
  Multi->GetStage(1)->StateBits = GLS_DEPTHMASK_TRUE;
  Multi->GetStage(2)->StateBits = GLS_DEPTHMASK_TRUE;
  // Single-pass and blended.
  TZNT1Shader* Blended = Material(1);
  Blended->SinglePassGLSLShaders[0][0][0] = Program.get();
  Blended->SinglePassGeometryFillGLSLShaders[0][0] = Program.get();
  Blended->SinglePassStateBits = GLS_SRCBLEND_ONE | GLS_DSTBLEND_ONE;

  struct Case {
    TZNT1Shader* Shader;
    bool GeometryFill;
    int Draws;
  };
  const Case Cases[] = {{Multi, false, 3}, {Multi, true, 2}, {Blended, false, 1}, {Blended, true, 0}};
  for (const Case& c : Cases) {
    R rec;
    if (c.GeometryFill)
      ctx->ApplyGeometryFillShader(c.Shader, 6, Matrix4x4Identity);
    else
      ctx->ApplyShader(c.Shader, 6, false, Matrix4x4Identity);
    EXPECT_EQ(R::Count("DrawElements"), c.Draws) << (c.Shader == Multi) << c.GeometryFill;
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  }
  EXPECT_EQ(glIsEnabled(GL_BLEND), GL_TRUE);  // the blended colour pass left blending on
}

TEST_F(RendererMaterialGL, MirrorViewsCullTheOtherSide) {
  TZNT1Shader* m = Material(0);
  struct Case {
    int32_t Cull;
    bool Sky, Mirror;
    GLint Expected;  // 0: culling off
  };
  const Case Cases[] = {{GL_FRONT, false, false, GL_FRONT}, {GL_FRONT, false, true, GL_BACK},
                        {GL_BACK, false, true, GL_FRONT},   {0, false, true, 0},
                        {0, true, false, GL_BACK},          {0, true, true, GL_FRONT}};
  for (const Case& c : Cases) {
    m->Cull = c.Cull;
    m->IsSky = c.Sky;
    ctx->Mirror = c.Mirror;
    ctx->ApplyMaterialState(m, false, false);
    GLint Face = 0;
    glGetIntegerv(GL_CULL_FACE_MODE, &Face);
    if (c.Expected == 0) {
      EXPECT_EQ(glIsEnabled(GL_CULL_FACE), GL_FALSE);
    } else {
      EXPECT_EQ(glIsEnabled(GL_CULL_FACE), GL_TRUE);
      EXPECT_EQ(Face, c.Expected) << c.Cull << c.Sky << c.Mirror;
    }
  }
  ctx->Mirror = false;
}

TEST_F(RendererMaterialGL, SamplersOfStagesPastTheEighthAreNotSet) {
  TZNT1Shader* m = Material(10);
  m->SinglePassGLSLShaders[0][0][0] = Program.get();
  const GLint Before = SamplerUnit("uNormalMapTex0");
  ctx->ApplyShader(m, 6, false, Matrix4x4Identity);
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  EXPECT_EQ(SamplerUnit("uTex0"), 2);
  // Stage 8 has no sampler entry; it must not reach the normal-map sampler beside the array.
  EXPECT_EQ(SamplerUnit("uNormalMapTex0"), Before);
}

// A stage drawn by a program of its own samples through the sampler named after the stage: each
// pass, colour, geometry fill and shadow-map fill, points that one at the stage's texture unit.
TEST_F(RendererMaterialGL, StagesDrawnOneByOneSampleTheirOwnTexture) {
  TZNT1Shader* m = Material(3);
  std::vector<std::unique_ptr<TZNT1GLSLShader>> Programs;
  for (int i = 0; i < 3; ++i) {
    const std::string n = std::to_string(i);
    Programs.push_back(std::make_unique<TZNT1GLSLShader>(&engine, nullptr));
    Programs.back()->SetCode(
        "#version 130\nin vec3 aPosition;\nvoid main() { gl_Position = vec4(aPosition, 1.0); }\n", "",
        "#version 130\nuniform sampler2D uTex" + n + ";\nout vec4 c;\nvoid main() { c = texture(uTex" + n +
            ", vec2(0.5)); }\n",
        1);
    ASSERT_TRUE(Programs.back()->Compile(false));
    TZNT1ShaderStage& Stage = *m->GetStage(i);
    Stage.MultiPassGLSLShaders[0][0][0] = Stage.MultiPassGeometryFillGLSLShaders[0][0] =
        Stage.MultiPassShadowMapFillGLSLShaders[0][0] = Programs.back().get();
    // Alpha-tested but the last, so that the fill passes draw every stage.
    Stage.StateBits = GLS_DEPTHMASK_TRUE | (i < 2 ? GLS_ATEST_GE_80 : 0u);
  }
  const std::function<void()> Passes[] = {[&] { ctx->ApplyShader(m, 6, false, Matrix4x4Identity); },
                                          [&] { ctx->ApplyGeometryFillShader(m, 6, Matrix4x4Identity); },
                                          [&] { ctx->ApplyShadowMapFillShader(m, 6, Matrix4x4Identity, false); }};
  for (size_t Pass = 0; Pass < 3; ++Pass) {
    for (int i = 0; i < 3; ++i) {
      glUseProgram(GLuint(Programs[size_t(i)]->ProgramHandle));
      glUniform1i(Programs[size_t(i)]->uTexs[i], 7);
    }
    Passes[Pass]();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    for (int i = 0; i < 3; ++i) {
      GLint Unit = -1;
      glGetUniformiv(GLuint(Programs[size_t(i)]->ProgramHandle), Programs[size_t(i)]->uTexs[i], &Unit);
      EXPECT_EQ(Unit, 2) << "pass " << Pass << ", stage " << i;
    }
  }
}

TEST_F(RendererMaterialGL, MaterialChainLoopEnds) {
  TZNT1Shader *A = Material(1), *B = Material(1), *C = Material(1);
  for (TZNT1Shader* s : {A, B, C}) s->SinglePassGLSLShaders[0][0][0] = Program.get();
  A->NextShader = B;
  B->NextShader = C;
  C->NextShader = B;  // a loop that avoids the start
  ctx->ResolvedShader = A;
  ctx->ContextTask = ctNORMAL;
  ctx->PortalIndex = NoKey;
  ctx->EffectIndex = NoKey;
  R rec;
  ctx->FlushVBO(6, 0, false);
  EXPECT_EQ(R::Count("DrawElements"), 3);  // A, B and C once each
  C->NextShader = A;                       // back to the start
  R::Clear();
  ctx->FlushVBO(6, 0, false);
  EXPECT_EQ(R::Count("DrawElements"), 3);
}

TEST_F(RendererMaterialGL, TargetsOfATinyCanvasAreComplete) {
  engine.CanvasWidth = 50;
  engine.CanvasHeight = 30;
  renderer->Antialiasing = aaSMAA;
  renderer->CheckFrameBufferObjects();
  auto Complete = [](const TZNT1FrameBufferObject* f) {
    if (!f || f->Width < 1 || f->Height < 1) return false;
    glBindFramebuffer(GL_FRAMEBUFFER, f->FrameBuffer);
    const GLenum s = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    return s == GL_FRAMEBUFFER_COMPLETE;
  };
  for (int i = 0; i < 7; ++i) EXPECT_TRUE(Complete(renderer->ShadowBlurFrameBufferObjects[i].get())) << i;
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 2; ++j) EXPECT_TRUE(Complete(renderer->UpDownSampleFrameBufferObjects[i][j].get())) << i;
  EXPECT_TRUE(Complete(renderer->BloomFrameBufferObjects[0].get()));
  EXPECT_EQ(renderer->BloomFrameBufferObjects[0]->Width, 1);
  EXPECT_TRUE(Complete(renderer->AntialiasingFrameBufferObjects[1].get()));
  // Back to another mode: the SMAA targets go; a resize re-creates the canvas-sized ones.
  renderer->Antialiasing = aaFXAA3;
  engine.CanvasWidth = 80;
  renderer->CheckFrameBufferObjects();
  EXPECT_EQ(renderer->AntialiasingFrameBufferObjects[0], nullptr);
  EXPECT_EQ(renderer->FrameBufferObjects[0]->Width, 80);
  EXPECT_EQ(renderer->ShadowBlurFrameBufferObjects[0]->Width, 40);
}

TEST_F(RendererMaterialGL, AFrameWithoutAMap) {
  renderer->LightPosition = Vector3(1, 2, 3);
  renderer->WorldSpaceRadius = 1;
  renderer->Render();
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
  EXPECT_FLOAT_EQ(renderer->WorldSpaceRadius, 4096.0f);
  EXPECT_FLOAT_EQ(renderer->LightPosition.y, 2.0f);
  EXPECT_EQ(renderer->CountBatchItems, 0u);
}

TEST_F(RendererMaterialGL, FacesOfOneKeyShareADrawCall) {
  RendererTestMap Map;
  TZNT1BSP& b = *Map.Build(engine, false);
  // Faces 1 and 3 share material 1 as polygons; face 2 has it too, but as a mesh.
  b.BSPMapFaces[3].Shader = b.BSPMapFaces[2].Shader = Map.Materials[1].get();
  engine.Shaders = std::make_unique<TZNT1Shaders>(&engine);
  for (auto& m : Map.Materials) {
    m->SinglePassGLSLShaders[0][0][0] = Program.get();
    m->Sort = SORT_OPAQUE;
    engine.Shaders->SortedShaders->Items.push_back(m.get());
  }
  // One buffer, a quad per face.
  b.BSPVBOs.resize(1);
  TBSPVBO& v = b.BSPVBOs[0];
  for (int f = 0; f < RendererTestMap::Count; ++f) {
    for (int k = 0; k < 4; ++k) {
      TZNT1VBOVertex x{};
      x.Position = Vector3(float(k & 1), float(k >> 1), float(f));
      v.Vertices.push_back(x);
    }
    for (uint32_t i : {0u, 1u, 2u, 2u, 1u, 3u}) v.StaticIndices.push_back(uint32_t(f * 4) + i);
    b.BSPMapFaces[size_t(f)].StartVBOIndex = f * 6;
    b.BSPMapFaces[size_t(f)].CountIndices = 6;
    b.BSPMapFaces[size_t(f)].LightMapAtlas = -1;
  }
  v.CountVertices = int32_t(v.Vertices.size());
  v.CountStaticIndices = int32_t(v.StaticIndices.size());
  GLuint Buffers[3];
  glGenBuffers(3, Buffers);
  glBindBuffer(GL_ARRAY_BUFFER, Buffers[0]);
  glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(v.Vertices.size() * sizeof(TZNT1VBOVertex)), v.Vertices.data(), GL_STATIC_DRAW);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  for (int i = 1; i < 3; ++i) {
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, Buffers[i]);
    glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(v.StaticIndices.size() * 4), v.StaticIndices.data(), GL_STATIC_DRAW);
  }
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
  v.VertexVBOID = Buffers[0];
  v.StaticIndexVBOID = Buffers[1];
  v.DynamicIndexVBOID = Buffers[2];
  renderer->ResetBSP();
  engine.ViewMatrix = Matrix4x4LookAtViewerLDX(Vector3(100, 10, 0), Vector3(0, 0, 0));

  // Visible from room B: faces 1 and 3 (one batch), 2 (a mesh: its own), 5 (another material).
  for (bool MultiDraw : {true, false}) {
    engine.GLCapabilities->MultiDrawElements = MultiDraw;
    R rec;
    renderer->CountFlushs = 0;
    renderer->Render();
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    std::vector<std::string> Draws;
    for (const std::string& c : R::Calls())
      if (c.rfind("Draw", 0) == 0 || c.rfind("MultiDraw", 0) == 0) Draws.push_back(c);
    const std::vector<std::string> Expected =
        MultiDraw ? std::vector<std::string>{R::Format("MultiDrawElements", GL_TRIANGLES, 2),
                                             R::Format("MultiDrawElements", GL_TRIANGLES, 1),
                                             R::Format("MultiDrawElements", GL_TRIANGLES, 1)}
                  : std::vector<std::string>{R::Format("DrawElements", GL_TRIANGLES, 12, GL_UNSIGNED_INT, 0),
                                             R::Format("DrawElements", GL_TRIANGLES, 6, GL_UNSIGNED_INT, 0),
                                             R::Format("DrawElements", GL_TRIANGLES, 6, GL_UNSIGNED_INT, 0)};
    EXPECT_EQ(Draws, Expected) << MultiDraw;
    // No shadow or light pass reads a geometry fill here, so full quality draws none either.
    EXPECT_EQ(renderer->CountFlushs, 3u);
    EXPECT_EQ(R::Count("BufferSubData"), MultiDraw ? 0 : 3);
  }
  engine.GLCapabilities->MultiDrawElements = true;
  renderer->State->RemoveVertexAttributes();
  glDeleteBuffers(3, Buffers);
  engine.BSP.reset();
  renderer->ResetBSP();
}
