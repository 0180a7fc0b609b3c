// Every program the material tables ask for compiles and links on the driver.
#include <gtest/gtest.h>

#include <chrono>
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

  engine.Archives->LoadDirectory(testdata::ContentDir());
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
