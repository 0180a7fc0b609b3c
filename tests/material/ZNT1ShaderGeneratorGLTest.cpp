// Every program the material tables ask for compiles and links on the driver.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "assets/ZNT1Texture.h"
#include "gpu/ZNT1FrameBufferObject.h"
#include "material/ZNT1ShaderGenerator.h"
#include "platform/ZNT1OpenGL.h"
#include "support/GLContextFixture.h"
#include "support/ShaderProgramTestSupport.h"
#include "support/TestData.h"

using namespace programtest;

namespace {

// The table entry that holds a request's program.
TZNT1GLSLShader* Entry(TZNT1Shader& M, int32_t Kind, int32_t Stage, bool c, bool f, bool i) {
  switch (Kind) {
    case zstSINGLEPASS: return M.SinglePassGLSLShaders[c][f][i];
    case zstMULTIPASS: return M.GetStage(Stage)->MultiPassGLSLShaders[c][f][i];
    case zstGEOMETRYFILLSINGLEPASS: return M.SinglePassGeometryFillGLSLShaders[c][i];
    case zstSHADOWMAPFILLSINGLEPASS: return M.SinglePassShadowMapFillGLSLShaders[c][i];
    case zstSHADOWCUBEMAPFILLSINGLEPASS: return M.SinglePassShadowCubeMapFillGLSLShaders[c][i];
    case zstGEOMETRYFILLMULTIPASS: return M.GetStage(Stage)->MultiPassGeometryFillGLSLShaders[c][i];
    case zstSHADOWMAPFILLMULTIPASS: return M.GetStage(Stage)->MultiPassShadowMapFillGLSLShaders[c][i];
    case zstSHADOWCUBEMAPFILLMULTIPASS: return M.GetStage(Stage)->MultiPassShadowCubeMapFillGLSLShaders[c][i];
    case zstFOG: return M.FogPassGLSLShaders[c][i];
    case zstZPREPASS: return M.ZPrepassGLSLShaders[c][i];
    case zstWHITE: return M.WhiteGLSLShaders[c][i];
    case zstWIREFRAME: return M.WireframeGLSLShaders[c][i];
    default: return nullptr;
  }
}

class ShaderGeneratorGL : public GLEngineFixture {
 protected:
  ShaderGeneratorGL() : GLEngineFixture(true) {}
  void SetUp() override {
    GLEngineFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    engine.Textures = std::make_unique<TZNT1Textures>(&engine);
    engine.Textures->CreateDefaultTextures();
    engine.GLSLShaders = std::make_unique<TZNT1GLSLShaders>(&engine);
    engine.Shaders = std::make_unique<TZNT1Shaders>(&engine);
  }
  void TearDown() override {
    engine.Shaders.reset();
    engine.GLSLShaders.reset();
    engine.Textures.reset();
    GLEngineFixture::TearDown();
  }
};

}  // namespace

TEST_F(ShaderGeneratorGL, CompileGate) {
  REQUIRE_CONTENT_DIR();
  // The probe decides the quality: Mesa's own vendor gives low quality, a forced full-quality
  // vendor the other setting (and still no GL_ARB_geometry_shader4).
  const bool Forced = std::getenv("force_gl_vendor") != nullptr;
  TZNT1GLCapabilities& Caps = *engine.GLCapabilities;
  EXPECT_EQ(Caps.LowQuality, !Forced) << Caps.Vendor;
  if (Caps.Extensions.find("GL_ARB_geometry_shader4") == std::string::npos) {
    EXPECT_FALSE(Caps.GeometryShader);
    EXPECT_FALSE(Caps.UseSinglePassShadowCubeMaps);
  }

  engine.Archives->LoadDirectory(testdata::ContentDir() + "/");
  engine.Archives->Finish();
  TZNT1Shaders& Library = *engine.Shaders;
  Library.Load();
  const int32_t Content = Library.Count();
  ASSERT_GT(Content, 2000);
  Library.Parse(FixtureScript(), "fixture.shader");
  const int32_t Fixture = Library.Count() - Content;
  for (const char* Name : {"textures/base_wall/metalfloor_wall_14", "textures/base_floor/clang_floor", "no/such"})
    for (int Kind = 0; Kind < 3; Kind++) Library.AddDefaultTextureShader(Name, Kind > 0, Kind == 2);

  const int32_t ProgramsBefore = engine.GLSLShaders->Count();
  const auto Start = std::chrono::steady_clock::now();
  int Requests = 0, Programs = 0, Refused = 0;
  for (int32_t m = 0; m < Library.Count(); m++) {
    TZNT1Shader& M = *Library.GetItem(m);
    if (m < Content + Fixture) M.DoInterpolateVertices = true;
    M.GenerateDefaultStages();
    for (TZNT1ShaderStage* Stage : M.Stages) Stage->Generate();
    ForEachProgramRequest(M, [&](int32_t Kind, int32_t Stage, bool c, bool f, bool i) {
      Requests++;
      if (TZNT1GLSLShader* p = Entry(M, Kind, Stage, c, f, i)) {
        Programs++;
        EXPECT_GE(p->ProgramHandle, 0) << M.Name;
        return true;
      }
      Refused++;
      // A missing program is one the generator refused, never one the driver rejected.
      const auto Text = ComposeShader(&M, Kind, Stage, c, f, i, 1);
      EXPECT_NE(Text.Refusal, "") << M.Name << " kind " << Kind << " stage " << Stage << " clip " << c << " fog "
                                  << f << " interp " << i;
      return false;
    });
  }
  const double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  const int32_t Distinct = engine.GLSLShaders->Count() - ProgramsBefore;
  std::printf("compile gate (%s): %d materials (%d fixture), %d requests, %d programs, %d refused, %d distinct "
              "programs, %.1f s\n",
              Caps.LowQuality ? "low quality" : "full quality", Library.Count(), Fixture, Requests, Programs, Refused,
              Distinct, Seconds);
  EXPECT_GT(Fixture, 30);
  EXPECT_GT(Distinct, 100);

  // One grate's fills for each shadow-map format family that has packing functions.
  TZNT1Shader* Grate = nullptr;
  for (TZNT1Shader* M : Library.Items)
    if (M->Name.rfind("fixture/", 0) == 0 && M->Count() > 0 && (M->GetStage(0)->StateBits & GLS_ATEST_GE_80)) Grate = M;
  ASSERT_NE(Grate, nullptr);
  for (int32_t Format : {GL_TEXTURE_RGBA8, GL_TEXTURE_RGBA16, GL_TEXTURE_RGB16, GL_TEXTURE_RGBA16F, GL_TEXTURE_RGBA32F,
                         GL_TEXTURE_RG32F, GL_TEXTURE_R32F}) {
    Caps.ShadowMapTextureFormat = Format;
    for (int32_t Kind = zstGEOMETRYFILLSINGLEPASS; Kind <= zstSHADOWCUBEMAPFILLMULTIPASS; Kind++)
      EXPECT_NE(GenerateShader(Grate, Kind, 0, true, false, false, 1), nullptr) << Format << " kind " << Kind;
  }
}

TEST_F(ShaderGeneratorGL, IdenticalRequestsCompileOnce) {
  auto A = MakeMaterial(engine, {{GLS_DEPTHMASK_TRUE}, {GLS_SRCBLEND_ONE | GLS_DSTBLEND_ONE}}, "a");
  auto B = MakeMaterial(engine, {{GLS_DEPTHMASK_TRUE}, {GLS_SRCBLEND_ONE | GLS_DSTBLEND_ONE}}, "b");
  TZNT1GLSLShader* p = GenerateShader(A.get(), zstSINGLEPASS, 0, false, false, false, 1);
  ASSERT_NE(p, nullptr);
  const int32_t Handle = p->ProgramHandle;
  EXPECT_GE(Handle, 0);
  EXPECT_EQ(GenerateShader(B.get(), zstSINGLEPASS, 0, false, false, false, 1), p);
  EXPECT_EQ(p->ProgramHandle, Handle);
}

// The stretch modifier's coordinates on the GPU, through a wave's zero crossing: two points
// with the coordinates (0, 0) and (1, 1) go through the generated code into a float target,
// which then holds 0.5 -+ 0.5 times the stretch factor. The vertex code stretches plain stages,
// the fragment code offset-mapped ones (a normal map of height 1, which moves nothing).
TEST_F(ShaderGeneratorGL, StretchStaysFiniteWhereTheWavePassesZero) {
  GLuint Target = 0, FrameBuffer = 0, Buffer = 0;
  glGenTextures(1, &Target);
  glBindTexture(GL_TEXTURE_2D, Target);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, 2, 1, 0, GL_RGBA, GL_FLOAT, nullptr);
  glBindTexture(GL_TEXTURE_2D, 0);
  glGenFramebuffers(1, &FrameBuffer);
  glBindFramebuffer(GL_FRAMEBUFFER, FrameBuffer);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, Target, 0);
  ASSERT_EQ(glCheckFramebufferStatus(GL_FRAMEBUFFER), GLenum(GL_FRAMEBUFFER_COMPLETE));
  // Position x, y, z and texture coordinate s, t of each point, at the centres of the two pixels.
  const float Points[] = {-0.5f, 0, 0, 0, 0, 0.5f, 0, 0, 1, 1};
  glGenBuffers(1, &Buffer);
  glBindBuffer(GL_ARRAY_BUFFER, Buffer);
  glBufferData(GL_ARRAY_BUFFER, sizeof(Points), Points, GL_STATIC_DRAW);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 5 * sizeof(float), nullptr);
  glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 5 * sizeof(float), reinterpret_cast<const void*>(3 * sizeof(float)));
  glEnableVertexAttribArray(0);
  glEnableVertexAttribArray(1);
  glVertexAttrib3f(3, 0, 0, 1);     // normal
  glVertexAttrib4f(4, 1, 0, 0, 1);  // tangent
  glViewport(0, 0, 2, 1);
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_BLEND);
  const float Identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  const float Identity3[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

  struct TCase {
    int32_t Waveform;
    const char* Name;
    std::vector<float> Times;  // where the wave is 0 and around it
  };
  const TCase Cases[] = {
      {GF_SAWTOOTH, "sawtooth", {0.0f, 1e-6f, 1e-3f, 1.0f, 0.999f, 2.0f}},
      {GF_SIN, "sin", {0.0f, 1e-6f, -1e-6f, 0.5f, 0.5f - 1e-4f, 0.5f + 1e-4f, 1.0f, 0.25f}},
      {GF_INVERSESAWTOOTH, "inversesawtooth", {0.9999f, 0.999f, 0.0f}},
      {GF_TRIANGLE, "triangle", {0.5f, 0.5f + 1e-5f, 0.25f}},
  };
  for (const bool OffsetMapped : {false, true})
    for (const TCase& c : Cases) {
      auto M = MakeMaterial(engine, {{GLS_DEPTHMASK_TRUE, TCGEN_TEXTURE}}, std::string("stretch/") + c.Name);
      TZNT1ShaderStage& Stage = *M->GetStage(0);
      if (OffsetMapped) Stage.NormalMap = engine.Textures->WhiteTexture;
      Stage.NumTexMods = 1;
      Stage.TexMods[0].TexMod = TMOD_STRETCH;
      Stage.TexMods[0].Wave = {c.Waveform, 0.0f, 1.0f, 0.0f, 1.0f};
      const auto Text = ComposeShader(M.get(), zstMULTIPASS, 0, false, false, false, 1);
      ASSERT_EQ(Text.Refusal, "") << c.Name;
      // The fragment code writes the stage's coordinates in place of its colour.
      std::string Fragment = OffsetMapped ? Text.FragmentShader
                                          : "#version 140\r\nvarying vec2 vTexCoord0;\r\nvoid main(){\r\n"
                                            "  gl_FragColor=color;\r\n}\r\n";
      const size_t Output = Fragment.rfind("  gl_FragColor=color;");
      ASSERT_NE(Output, std::string::npos);
      Fragment.replace(Output, 21, std::string("  gl_FragColor=vec4(") + (OffsetMapped ? "o" : "v") +
                                       "TexCoord0,0.0,1.0);");
      TZNT1GLSLShader* Program = engine.GLSLShaders->GetShader(Text.VertexShader, "", Fragment, 0);
      ASSERT_TRUE(Program->Compile(false)) << c.Name;
      Program->Bind();
      for (int32_t Location : {Program->uModelMatrix, Program->uViewMatrix, Program->uProjectionMatrix})
        glUniformMatrix4fv(Location, 1, GL_FALSE, Identity);
      if (OffsetMapped) {
        glUniformMatrix3fv(Program->uModelNormalMatrix, 1, GL_FALSE, Identity3);
        glUniform3f(Program->uViewOrigin, 0, 0, 4);
        glUniform1i(Program->uNormalMapTexs[0], 0);  // unit 0 holds no texture: height 1
      }
      ASSERT_GE(Program->uTime, 0);
      for (float t : c.Times) {
        glClearColor(0, 0, 0, 0);
        glClear(GL_COLOR_BUFFER_BIT);
        glUniform1f(Program->uTime, t);
        glDrawArrays(GL_POINTS, 0, 2);
        float Texels[8] = {};
        glReadPixels(0, 0, 2, 1, GL_RGBA, GL_FLOAT, Texels);
        // The wave in double: the factor must follow its sign.
        const double Phase = double(t) - std::floor(double(t));
        const double Wave = c.Waveform == GF_SIN             ? std::sin(double(t) * 6.283185307179586)
                            : c.Waveform == GF_SAWTOOTH       ? Phase
                            : c.Waveform == GF_INVERSESAWTOOTH ? 1.0 - Phase
                                                               : std::abs(2.0 * Phase - 1.0);
        const float Factor = Texels[4] - Texels[0];
        SCOPED_TRACE(std::string(OffsetMapped ? "fragment " : "vertex ") + c.Name + " at " + std::to_string(t) +
                     ", wave " + std::to_string(Wave));
        for (float v : Texels) ASSERT_TRUE(std::isfinite(v));
        EXPECT_LE(std::abs(Factor), 256.0f);
        EXPECT_NEAR(Texels[0] + Texels[4], 1.0f, 1e-3f);  // stretched around the centre (0.5, 0.5)
        if (std::abs(Wave) > 0.01) {
          EXPECT_NEAR(Factor * Wave, 1.0, 1e-3);  // away from 0 the factor is one over the wave
        }
        if (std::abs(Wave) > 1e-5) {
          EXPECT_EQ(Factor > 0, Wave > 0);
        }
      }
    }
  glUseProgram(0);
  glVertexAttrib4f(3, 0, 0, 0, 1);
  glVertexAttrib4f(4, 0, 0, 0, 1);
  glDisableVertexAttribArray(0);
  glDisableVertexAttribArray(1);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glDeleteBuffers(1, &Buffer);
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glDeleteFramebuffers(1, &FrameBuffer);
  glDeleteTextures(1, &Target);
}
