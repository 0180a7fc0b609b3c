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

const char* const Waveforms[] = {"sin", "square", "triangle", "sawtooth", "inversesawtooth", "noise"};

// Materials for what the content lacks: side maps with every offset-mapping mode, every
// generator and modifier word, deformations, fog-adjusting blends, grates, sky, fog, portals,
// eight stages and numbers beyond the single range.
std::string FixtureScript() {
  const std::string T = "textures/base_wall/metalfloor_wall_14";  // has _glow and _specular files
  const std::string N = "textures/base_floor/clang_floor";
  std::string s;
  int Count = 0;
  auto Material = [&](const std::string& Body) { s += "fixture/m" + std::to_string(Count++) + "\n{\n" + Body + "}\n"; };

  const char* Modes[] = {"none", "default", "single", "linear", "relief"};
  const char* Lighting[] = {"{\n map $lightmap\n blendfunc filter\n}\n", "", ""};
  const char* RGB[] = {"rgbgen identity", "rgbgen lightingdiffuse", "rgbgen vertex"};
  const char* Side[] = {"normalmap " , "bumpmap ", "normalmap "};
  for (const char* Mode : Modes)
    for (int l = 0; l < 3; l++)
      Material(std::string(" dpoffsetmapping ") + Mode + " 1.5 match8 128\n {\n  map " + T + "\n  " + Side[l] + N +
               "\n  " + RGB[l] + "\n  tcmod scroll 0.1 0.2\n }\n " + Lighting[l] + " {\n  map " + N +
               "\n  specularmap " + T + "\n  blendfunc add\n  tcmod rotate 30\n }\n");
  Material(" {\n  map " + N + "\n  glowmap " + T + "\n  specularmap " + T + "\n  rgbgen lightingdiffuse\n }\n");

  std::string Gens;
  for (const char* w : Waveforms) {
    Gens += " {\n  map " + N + "\n  blendfunc add\n  rgbgen wave " + w + " 0.5 0.5 0.1 2\n  alphagen wave " + w +
            " 0 1 0.25 0.5\n  tcmod stretch " + w + " 1 0.2 0 0.3\n }\n";
  }
  Material(Gens);
  const char* RGBWords[] = {"const ( 0.5 0.25 1 )", "identity",  "identitylighting", "entity",
                            "oneminusentity",       "vertex",    "exactvertex",      "lightingdiffuse",
                            "oneminusvertex",       "wave sin 1 0 0 1"};
  const char* AlphaWords[] = {"const 0.5",      "identity", "entity",       "oneminusentity", "vertex",
                              "lightingspecular", "oneminusvertex", "portal 512", "portal", "portal 0"};
  const char* TcGens[] = {"environment", "viewspaceenvironment", "lightmap", "texture", "base",
                          "vector ( 0.01 0 0 ) ( 0 0.01 0 )", "environment", "texture", "lightmap", "base"};
  for (int g = 0; g < 10; g += 5) {
    std::string Body;
    for (int i = g; i < g + 5; i++)
      Body += std::string(" {\n  map ") + (i % 2 ? T : N) + "\n  blendfunc " + (i == g ? "gl_one gl_zero" : "blend") +
              "\n  rgbgen " + RGBWords[i] + "\n  alphagen " + AlphaWords[i] + "\n  tcgen " + TcGens[i] +
              "\n  tcmod turb 0 0.1 0 0.5\n  tcmod transform 1 0.5 0 1 0.25 0\n  tcmod entitytranslate\n  tcmod "
              "scale 2 2\n }\n";
    Material(Body);
  }
  Material(" deformvertexes wave 64 sin 0 4 0 0.5\n deformvertexes normal 0.5 2\n deformvertexes bulge 3 6 1\n"
           " deformvertexes move 0 0 8 sawtooth 0 1 0 0.5\n deformvertexes projectionshadow\n deformvertexes text0\n"
           " {\n  map " + T + "\n  rgbgen lightingdiffuse\n }\n {\n  map $lightmap\n  blendfunc filter\n }\n");
  Material(" deformvertexes autosprite\n {\n  map " + T + "\n  blendfunc add\n  rgbgen vertex\n }\n");
  Material(" deformvertexes autosprite2\n {\n  map " + T + "\n  blendfunc blend\n }\n");
  Material(" deformvertexes wave 0 square 1 2 3 4\n {\n  map " + T + "\n }\n {\n  map " + N +
           "\n  blendfunc gl_dst_color gl_one\n }\n");
  // Grates: an alpha-tested stage and a depth-equal light map, in each test.
  for (const char* Test : {"gt0", "lt128", "ge128"})
    Material(std::string(" cull none\n {\n  map ") + T + "\n  alphafunc " + Test + "\n  depthwrite\n }\n" +
             " {\n  map $lightmap\n  blendfunc filter\n  depthfunc equal\n }\n {\n  map " + N +
             "\n  blendfunc add\n  alphafunc gt0\n  rgbgen vertex\n }\n");
  Material(" {\n  map " + N + "\n  blendfunc add\n }\n {\n  map " + T + "\n  blendfunc blend\n  alphafunc ge128\n }\n");
  // Fog-adjusting blends on a light-mapped surface.
  for (const char* Blend : {"add", "filter", "blend", "gl_src_alpha gl_one", "gl_one gl_one_minus_src_alpha",
                            "gl_zero gl_one_minus_src_color", "gl_dst_color gl_src_color"})
    Material(std::string(" {\n  map $lightmap\n }\n {\n  map ") + T + "\n  blendfunc " + Blend + "\n }\n");
  Material(" surfaceparm sky\n skyparms - 512 -\n q3map_sun 1 1 1 100 45 60\n {\n  map " + T +
           "\n  tcmod scroll 0.01 0.02\n }\n {\n  map " + N + "\n  blendfunc add\n  tcmod scale 3 3\n }\n");
  Material(" surfaceparm fog\n surfaceparm trans\n fogparms ( 0.5 0.3 0.1 ) 256\n");
  Material(" portal\n {\n  map " + T + "\n  alphagen portal 0\n  blendfunc gl_src_alpha gl_one_minus_src_alpha\n }\n");
  std::string Eight;
  for (int i = 0; i < 8; i++)
    Eight += std::string(" {\n  map ") + (i % 2 ? T : N) + "\n  blendfunc " + (i ? "add" : "gl_one gl_zero") +
             "\n  tcmod scroll " + std::to_string(i) + " 0\n  rgbgen const ( 0." + std::to_string(i) + " 1 1 )\n }\n";
  Material(Eight);
  Material(" deformvertexes wave 1e-40 sin 1e39 -1e39 1e300 -1e300\n {\n  map " + T +
           "\n  tcmod scale 1e39 -1e39\n  tcmod rotate 1e300\n  rgbgen wave sin 1e39 0 0 1\n  alphagen const 1e39\n }\n");
  return s;
}

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
