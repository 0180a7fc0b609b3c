#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Game.h"
#include "gpu/ZNT1FrameBufferObject.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1GLSLShader.h"
#include "platform/ZNT1OpenGL.h"
#include "support/GLContextFixture.h"

namespace {

class GLSLShaderGL : public GLEngineFixture {
 protected:
  GLSLShaderGL() : GLEngineFixture(true) {}

  // Builds the library, reporting a failing built-in with its message instead of aborting.
  std::unique_ptr<TZNT1GLSLShaders> MakeLibrary() {
    try {
      return std::make_unique<TZNT1GLSLShaders>(&engine);
    } catch (const EShaderException& e) {
      ADD_FAILURE() << "format " << engine.GLCapabilities->ShadowMapTextureFormat << ": " << e.what();
      return nullptr;
    }
  }

  static std::vector<TZNT1GLSLShader*> BuiltIns(const TZNT1GLSLShaders& s) {
    return {s.DefaultGLSLSkyShader, s.DefaultGLSLSkyFBOMapShader, s.DefaultGLSLPortalShader,
            s.DefaultGLSLZPrepassShader, s.DefaultGLSLScreenQuadShader, s.DefaultGLSLBlurShader,
            s.DefaultGLSLBoxFilterShader, s.DefaultGLSLShadowBoxFilterShader, s.DefaultGLSLScreenBlitShader,
            s.DefaultGLSLScreenShadowBlitShader, s.DefaultGLSLCubeMapBlitShader, s.DefaultGLSLScreenWaterQuadShader,
            s.DefaultGLSL2DTextureShader, s.DefaultGLSLLumaShader, s.DefaultGLSLDLAAPrepassShader,
            s.DefaultGLSLDLAAPostPassShader, s.DefaultGLSLNFAAShader, s.DefaultGLSLFXAA2Shader,
            s.DefaultGLSLFXAA3Shader, s.DefaultGLSLSMAAEdgeDetectionShader,
            s.DefaultGLSLSMAABlendingWeightCalculationShader, s.DefaultGLSLSMAANeighborhoodBlendingShader,
            s.DefaultGLSLBloomFilterShader, s.DefaultGLSLBloomBlurShader, s.DefaultGLSLBloomCombineShader,
            s.DefaultGLSLDownSampleShader, s.DefaultGLSLShadowDownSampleShader,
            s.DefaultGLSLShadowCombineAndBlockerSearchShader, s.DefaultGLSLShadowMipMapFilterShader,
            s.DefaultGLSLShadowMipMapCombineShader, s.DefaultGLSLShadowMipMapBlurFilterShader,
            s.DefaultGLSLShadowMipMapBlurCombineShader, s.DefaultGLSLShadowBlurShader,
            s.DefaultGLSLGlobalShadowCopyShader, s.DefaultGLSLShadowCombineShader, s.DefaultGLSLCopyShader,
            s.DefaultGLSLGeometryEdgeShader, s.DefaultGLSLLightGridFillShader, s.DefaultGLSLLightFillShader};
  }

  static GLint SamplerUnit(const TZNT1GLSLShader* Shader, GLint Location) {
    GLint Value = -1;
    glGetUniformiv(static_cast<GLuint>(Shader->ProgramHandle), Location, &Value);
    return Value;
  }

  static std::string Vertex(const std::string& Body) { return TZNT1GLSLShaders::VertexPrelude() + Body; }
  static std::string Fragment(const std::string& Body) { return TZNT1GLSLShaders::FragmentPrelude() + Body; }

};

const char* const PlainVertex =
    "attribute vec3 aPosition;\nattribute vec2 aTexCoord;\nvarying vec2 vTexCoord;\n"
    "void main(){ vTexCoord = aTexCoord; gl_Position = vec4(aPosition, 1.0); }\n";
const char* const PlainFragment =
    "uniform sampler2D uTex0;\nvarying vec2 vTexCoord;\n"
    "void main(){ gl_FragColor = texture2D(uTex0, vTexCoord); }\n";

}  // namespace

TEST_F(GLSLShaderGL, EveryBuiltInProgramCompilesAndLinksWithTheDefaultFormat) {
  ASSERT_EQ(engine.GLCapabilities->ShadowMapTextureFormat, GL_TEXTURE_R32F);
  auto Library = MakeLibrary();
  ASSERT_TRUE(Library);
  const auto All = BuiltIns(*Library);
  for (TZNT1GLSLShader* Shader : All) {
    ASSERT_NE(Shader, nullptr);
    EXPECT_GE(Shader->ProgramHandle, 0);
    EXPECT_TRUE(glIsProgram(static_cast<GLuint>(Shader->ProgramHandle)));
    EXPECT_GE(Shader->ReferenceCounter, 1);
  }
  EXPECT_EQ(std::set<TZNT1GLSLShader*>(All.begin(), All.end()).size(), 37u);
  EXPECT_EQ(Library->MaxShadowMapCountAtOnce, 4);
  for (TZNT1GLSLShader* Shader : Library->DefaultGLSLShadowFillShader) {
    ASSERT_NE(Shader, nullptr);
    EXPECT_GE(Shader->ProgramHandle, 0);
    EXPECT_EQ(Shader->ReferenceCounter, 2);
  }
  EXPECT_EQ(Library->Count(), 37 + 4);

  // Cached locations and the sampler units set at link time.
  const TZNT1GLSLShader* Fill = Library->DefaultGLSLShadowFillShader[3];
  for (int i = 0; i < 4; i++) {
    EXPECT_GE(Fill->uShadowMapTexArray[i], 0) << i;
    EXPECT_GE(Fill->uShadowMapLightMatrixArray[i], 0) << i;
  }
  EXPECT_GE(Fill->uInverseViewMatrix, 0);
  EXPECT_EQ(Fill->uFogTex, -1);
  EXPECT_EQ(SamplerUnit(Fill, Fill->uTex0), 2);
  EXPECT_EQ(SamplerUnit(Fill, Fill->uTex1), 3);
  EXPECT_EQ(SamplerUnit(Fill, Fill->uShadowMapTexArray[0]), 2);
  EXPECT_EQ(Library->DefaultGLSLShadowFillShader[0]->uShadowMapTexArray[1], -1);
  const TZNT1GLSLShader* Bloom = Library->DefaultGLSLBloomCombineShader;
  EXPECT_EQ(SamplerUnit(Bloom, Bloom->uTex5), 7);
  EXPECT_EQ(Bloom->uTexs[5], Bloom->uTex5);
  EXPECT_EQ(Bloom->uTex6, -1);

  // Attribute flags follow the vertex text.
  const TZNT1GLSLShader* Sprite = Library->DefaultGLSL2DTextureShader;
  EXPECT_TRUE(Sprite->aPosition && Sprite->aTexCoord && Sprite->aColor);
  EXPECT_FALSE(Sprite->aNormal || Sprite->aPosition2);
  EXPECT_EQ(glGetAttribLocation(static_cast<GLuint>(Sprite->ProgramHandle), "aColor"), 5);
  EXPECT_TRUE(Library->DefaultGLSLZPrepassShader->aPosition);
  EXPECT_FALSE(Library->DefaultGLSLZPrepassShader->aTexCoord);
}

// Each format code selects its own blur and packing; only 0, 6 and 11 (and codes above 20)
// leave the shadow-fill programs without packing functions.
TEST_F(GLSLShaderGL, ShadowMapFormatsCompileTheirBlurAndShadowFillPrograms) {
  for (int32_t Format = 0; Format <= 21; Format++) {
    SCOPED_TRACE(Format);
    engine.GLCapabilities->ShadowMapTextureFormat = Format;
    testing::internal::CaptureStdout();
    auto Library = MakeLibrary();
    const std::string Printed = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(Library);
    EXPECT_GE(Library->DefaultGLSLBlurShader->ProgramHandle, 0);
    const bool Unpacked = Format == 0 || Format == 6 || Format == 11 || Format > 20;
    EXPECT_EQ(Library->MaxShadowMapCountAtOnce, Unpacked ? 0 : 4);
    EXPECT_EQ(Library->Count(), 37 + Library->MaxShadowMapCountAtOnce);
    for (TZNT1GLSLShader* Shader : Library->DefaultGLSLShadowFillShader) {
      EXPECT_EQ(Shader == nullptr, Unpacked);
    }
    // A dropped program printed its source on the way out.
    EXPECT_EQ(Printed.find("doShadow") != std::string::npos, Unpacked);
  }
}

TEST_F(GLSLShaderGL, CompileFailuresPrintTheSourceAndRaiseWithTheLog) {
  TZNT1GLSLShaders Library(&engine);
  struct Case {
    std::string Vertex, Geometry, Fragment, Message, Printed;
  };
  const std::string BadVertex = Vertex("void main(){ gl_Position = undeclaredThing; }\n");
  const std::string BadGeometry = "#version 150\nlayout(triangles) in;\nvoid main(){ broken }\n";
  const std::string BadFragment = Fragment("void main(){ gl_FragColor = nothingHere; }\n");
  // vTexCoord is a vec2 in the vertex text.
  const std::string Unlinked = Fragment("varying vec3 vTexCoord;\nvoid main(){ gl_FragColor = vec4(vTexCoord, 1.0); }\n");
  const Case Cases[] = {
      {BadVertex, "", Fragment(PlainFragment), "Unable to compile vertex shader program: ", BadVertex + "\n"},
      {Vertex(PlainVertex), BadGeometry, Fragment(PlainFragment), "Unable to compile geometry shader program: ",
       BadGeometry + "\n"},
      {Vertex(PlainVertex), "", BadFragment, "Unable to compile fragment shader program: ", BadFragment + "\n"},
      {Vertex(PlainVertex), "", Unlinked, "Unable to link shader: ",
       Vertex(PlainVertex) + "\n" + "\n" + Unlinked + "\n"},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Message);
    TZNT1GLSLShader* Shader = Library.GetShader(c.Vertex, c.Geometry, c.Fragment, 1);
    testing::internal::CaptureStdout();
    try {
      Shader->Compile(false);
      ADD_FAILURE() << "no exception";
    } catch (const EShaderException& e) {
      const std::string Message = e.what();
      EXPECT_EQ(Message.rfind(c.Message, 0), 0u) << Message;
      EXPECT_GT(Message.size(), c.Message.size());  // the driver's log follows
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.Printed);
    EXPECT_EQ(Shader->ProgramHandle, -1);
    EXPECT_EQ(Shader->VertexShaderHandle, -1);
    EXPECT_EQ(Shader->GeometryShaderHandle, -1);
    EXPECT_EQ(Shader->FragmentShaderHandle, -1);
  }
  // A built-in that fails is dropped, and no entry is left behind to hand out the freed program.
  testing::internal::CaptureStdout();
  EXPECT_EQ(Library.ReferenceOrDrop(Library.GetShader(BadVertex, "", Fragment(PlainFragment), 1)), nullptr);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(Library.HashMap.GetValue(BadVertex + '\0' + '\0' + Fragment(PlainFragment) + '\0'), nullptr);
  const int32_t Before = Library.Count();
  TZNT1GLSLShader* Again = Library.GetShader(BadVertex, "", Fragment(PlainFragment), 1);
  EXPECT_EQ(Library.Count(), Before + 1);
  EXPECT_EQ(Again->ReferenceCounter, 0);
  TZNT1GLSLShader* Good = Library.GetShader(Vertex(PlainVertex), "", Fragment(PlainFragment), 1);
  EXPECT_EQ(Library.ReferenceOrDrop(Good), Good);
  EXPECT_GE(Good->ProgramHandle, 0);
  // An empty stage is no program and no error.
  EXPECT_FALSE(Library.GetShader(Vertex(PlainVertex), "", "", 1)->Compile(false));
  EXPECT_FALSE(Library.GetShader("", "", Fragment(PlainFragment), 1)->Compile(false));
}

TEST_F(GLSLShaderGL, ReferencesCompileOnFirstUseAndDeleteOnLast) {
  TZNT1GLSLShaders Library(&engine);
  TZNT1GLSLShader* Shader = Library.GetShader(Vertex(PlainVertex), " \r\n\t\n", Fragment(PlainFragment), 1);
  EXPECT_EQ(Shader->ProgramHandle, -1);
  Shader->Upload();  // unreferenced: nothing to do
  EXPECT_EQ(Shader->ProgramHandle, -1);

  Shader->IncRef();
  const int32_t First = Shader->ProgramHandle;
  ASSERT_GE(First, 0);
  EXPECT_EQ(Shader->GeometryShaderHandle, -1);  // white space only: no geometry stage
  Shader->IncRef();
  EXPECT_EQ(Shader->ProgramHandle, First);
  EXPECT_TRUE(Shader->Compile(false));
  EXPECT_EQ(Shader->ProgramHandle, First);

  const std::string Sources = Shader->VertexShader + Shader->FragmentShader;
  Shader->DecRef();
  EXPECT_EQ(Shader->ProgramHandle, First);
  Shader->DecRef();
  EXPECT_EQ(Shader->ReferenceCounter, 0);
  EXPECT_EQ(Shader->ProgramHandle, -1);
  EXPECT_EQ(Shader->VertexShaderHandle, -1);
  EXPECT_EQ(Shader->FragmentShaderHandle, -1);
  EXPECT_FALSE(glIsProgram(static_cast<GLuint>(First)));
  EXPECT_EQ(Shader->VertexShader + Shader->FragmentShader, Sources);
  Shader->DecRef();  // never below zero
  EXPECT_EQ(Shader->ReferenceCounter, 0);

  Shader->IncRef();
  EXPECT_GE(Shader->ProgramHandle, 0);
  Shader->Bind();
  GLint Current = 0;
  glGetIntegerv(GL_CURRENT_PROGRAM, &Current);
  EXPECT_EQ(Current, Shader->ProgramHandle);
  Shader->Unbind();
  glGetIntegerv(GL_CURRENT_PROGRAM, &Current);
  EXPECT_EQ(Current, 0);
}

TEST_F(GLSLShaderGL, DisposeAndUploadRecompileEveryReferencedProgram) {
  TZNT1GLSLShaders Library(&engine);
  TZNT1GLSLShader* Unused = Library.GetShader(Vertex(PlainVertex), "", Fragment(PlainFragment), 1);
  Library.Dispose();
  for (TZNT1GLSLShader* Shader : Library.Items) EXPECT_EQ(Shader->ProgramHandle, -1);
  Library.Upload();
  for (TZNT1GLSLShader* Shader : Library.Items) EXPECT_EQ(Shader->ProgramHandle >= 0, Shader != Unused);
  EXPECT_EQ(SamplerUnit(Library.DefaultGLSLCopyShader, Library.DefaultGLSLCopyShader->uTex0), 2);
}

TEST_F(GLSLShaderGL, AttributeNamesAreFoundAsSubstrings) {
  TZNT1GLSLShaders Library(&engine);
  TZNT1GLSLShader* Shader = Library.GetShader(
      Vertex("attribute vec3 aPosition2;\nvoid main(){ gl_Position = vec4(aPosition2, 1.0); }\n"), "",
      Fragment("void main(){ gl_FragColor = vec4(1.0); }\n"), 1);
  Shader->IncRef();
  ASSERT_GE(Shader->ProgramHandle, 0);
  EXPECT_TRUE(Shader->aPosition);
  EXPECT_TRUE(Shader->aPosition2);
  EXPECT_FALSE(Shader->aTexCoord);
  EXPECT_EQ(glGetAttribLocation(static_cast<GLuint>(Shader->ProgramHandle), "aPosition2"), 7);
}

TEST_F(GLSLShaderGL, CubeMapMatricesAndGeometryStage) {
  TZNT1GLSLShaders Library(&engine);
  const std::string GeometryVertex = "#version 150\nin vec3 aPosition;\nvoid main(){ gl_Position = vec4(aPosition, 1.0); }\n";
  const std::string Geometry =
      "#version 150\nlayout(triangles) in;\nlayout(triangle_strip, max_vertices = 18) out;\n"
      "uniform mat4 uCubeMapMatrices[6];\nuniform int uCubeMapSide;\nflat out int vSide;\n"
      "void main(){ for (int f = 0; f < 6; f++) { for (int i = 0; i < 3; i++) {"
      " gl_Position = uCubeMapMatrices[f] * gl_in[i].gl_Position; vSide = f + uCubeMapSide; EmitVertex(); }"
      " EndPrimitive(); } }\n";
  const std::string GeometryFragment = "#version 150\nflat in int vSide;\nout vec4 oColor;\n"
                                       "void main(){ oColor = vec4(float(vSide)); }\n";
  TZNT1GLSLShader* Shader = Library.GetShader(GeometryVertex, Geometry, GeometryFragment, 6);
  Shader->IncRef();
  ASSERT_GE(Shader->ProgramHandle, 0);
  EXPECT_GE(Shader->GeometryShaderHandle, 0);
  ASSERT_GE(Shader->uCubeMapMatrices, 0);
  ASSERT_GE(Shader->uCubeMapSide, 0);
  const GLint Third = glGetUniformLocation(static_cast<GLuint>(Shader->ProgramHandle), "uCubeMapMatrices[3]");
  float Value[16] = {};
  glGetUniformfv(static_cast<GLuint>(Shader->ProgramHandle), Third, Value);
  for (int i = 0; i < 16; i++) EXPECT_EQ(Value[i], CubeMapMatrices[3].M[i / 4][i % 4]) << i;
  GLint Current = -1;
  glGetIntegerv(GL_CURRENT_PROGRAM, &Current);
  EXPECT_EQ(Current, 0);
}

namespace {

// Draws a program over a Width x 1 float target with the given RGBA32F inputs on uTex0, uTex1 ...
std::vector<float> DrawQuad(TZNT1GLSLShader* Shader, int Width, const std::vector<std::vector<float>>& Inputs,
                            const float* Scale) {
  std::vector<GLuint> Textures(Inputs.size() + 1);
  glGenTextures(static_cast<GLsizei>(Textures.size()), Textures.data());
  auto Define = [&](GLuint Texture, int w, const float* Data) {
    glBindTexture(GL_TEXTURE_2D, Texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, w, 1, 0, GL_RGBA, GL_FLOAT, Data);
  };
  for (size_t i = 0; i < Inputs.size(); i++) {
    glActiveTexture(static_cast<GLenum>(GL_TEXTURE2 + i));  // uTex0 is unit 2
    Define(Textures[i], static_cast<int>(Inputs[i].size() / 4), Inputs[i].data());
  }
  glActiveTexture(GL_TEXTURE0);
  Define(Textures.back(), Width, nullptr);
  GLuint Target = 0;
  glGenFramebuffers(1, &Target);
  glBindFramebuffer(GL_FRAMEBUFFER, Target);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, Textures.back(), 0);
  EXPECT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), static_cast<GLenum>(GL_FRAMEBUFFER_COMPLETE));
  glViewport(0, 0, Width, 1);
  glDisable(GL_BLEND);
  glDisable(GL_DEPTH_TEST);

  const float Positions[] = {-1, -1, 0, 1, -1, 0, -1, 1, 0, 1, 1, 0};
  const float TexCoords[] = {0, 0, 1, 0, 0, 1, 1, 1};
  GLuint Buffer = 0;
  GLuint VertexArray = 0;
  glGenVertexArrays(1, &VertexArray);
  glBindVertexArray(VertexArray);
  glGenBuffers(1, &Buffer);
  glBindBuffer(GL_ARRAY_BUFFER, Buffer);
  glBufferData(GL_ARRAY_BUFFER, sizeof(Positions) + sizeof(TexCoords), nullptr, GL_STATIC_DRAW);
  glBufferSubData(GL_ARRAY_BUFFER, 0, sizeof(Positions), Positions);
  glBufferSubData(GL_ARRAY_BUFFER, sizeof(Positions), sizeof(TexCoords), TexCoords);
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
  glEnableVertexAttribArray(1);
  glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 0, reinterpret_cast<const void*>(sizeof(Positions)));

  Shader->Bind();
  if (Scale && Shader->uScale >= 0) glUniform2f(Shader->uScale, Scale[0], Scale[1]);
  glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
  Shader->Unbind();

  std::vector<float> Result(static_cast<size_t>(Width) * 4);
  glReadPixels(0, 0, Width, 1, GL_RGBA, GL_FLOAT, Result.data());
  glBindVertexArray(0);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glDeleteBuffers(1, &Buffer);
  glDeleteVertexArrays(1, &VertexArray);
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glDeleteFramebuffers(1, &Target);
  glDeleteTextures(static_cast<GLsizei>(Textures.size()), Textures.data());
  return Result;
}

}  // namespace

TEST_F(GLSLShaderGL, FilterProgramsComputeTheirWeightsAndMerges) {
  TZNT1GLSLShaders Library(&engine);
  // The raw blur spreads one lit texel by 1, 6, 15, 20, 15, 6, 1 over 64.
  std::vector<float> Line(8 * 4, 0.0f);
  Line[4 * 4] = 1.0f;
  const float Step[2] = {1.0f / 8.0f, 0.0f};
  const auto Blurred = DrawQuad(Library.DefaultGLSLBlurShader, 8, {Line}, Step);
  const float Expected[8] = {0.0f, 0.015625f, 0.09375f, 0.234375f, 0.3125f, 0.234375f, 0.09375f, 0.015625f};
  for (int x = 0; x < 8; x++) EXPECT_NEAR(Blurred[x * 4], Expected[x], 1e-6f) << x;

  // Shadow combine: the larger amount and weight, y and z from the deeper input.
  const auto Combined = DrawQuad(Library.DefaultGLSLShadowCombineShader, 1,
                                 {{0.2f, 0.3f, 0.4f, 0.5f}, {0.6f, 0.7f, 0.9f, 0.1f}}, nullptr);
  const float ExpectedCombined[4] = {0.6f, 0.7f, 0.9f, 0.5f};
  for (int i = 0; i < 4; i++) EXPECT_NEAR(Combined[i], ExpectedCombined[i], 1e-6f) << i;

  // Mip combine: t0 with the y of the first input whose w passes 0.25.
  std::vector<std::vector<float>> Levels(8, std::vector<float>{0.0f, 0.0f, 0.0f, 0.0f});
  Levels[0] = {0.1f, 0.2f, 0.3f, 0.1f};
  Levels[3] = {0.0f, 0.75f, 0.0f, 0.5f};
  Levels[5] = {0.0f, 0.25f, 0.0f, 1.0f};
  const auto Merged = DrawQuad(Library.DefaultGLSLShadowMipMapCombineShader, 1, Levels, nullptr);
  const float ExpectedMerged[4] = {0.1f, 0.75f, 0.3f, 0.1f};
  for (int i = 0; i < 4; i++) EXPECT_NEAR(Merged[i], ExpectedMerged[i], 1e-6f) << i;
}
