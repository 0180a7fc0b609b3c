// The generated texts of every material keep to the interface of the program object, and the
// material tables receive the programs the lifecycle asks for.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "MaterialTestSupport.h"
#include "material/ZNT1ShaderGenerator.h"
#include "support/ShaderProgramTestSupport.h"
#include "support/TestData.h"

namespace {

// Every uniform name the program object caches a location for; arrays by index.
std::set<std::string> CachedUniformNames() {
  std::set<std::string> Names;
#define ZNT1_NAME(Name) Names.insert(#Name);
#define ZNT1_ARRAY4(Name, Text) \
  for (int i = 0; i < 4; i++) Names.insert(Text + std::to_string(i));
#define ZNT1_ARRAY8(Name, Text) \
  for (int i = 0; i < 8; i++) Names.insert(Text + std::to_string(i));
  ZNT1_GLSL_UNIFORMS_A(ZNT1_NAME)
  ZNT1_GLSL_UNIFORMS_B(ZNT1_NAME)
  ZNT1_GLSL_UNIFORMS_C(ZNT1_NAME)
  ZNT1_GLSL_UNIFORM_ARRAYS_4(ZNT1_ARRAY4)
  ZNT1_GLSL_UNIFORM_ARRAYS_8(ZNT1_ARRAY8)
#undef ZNT1_NAME
#undef ZNT1_ARRAY4
#undef ZNT1_ARRAY8
  return Names;
}

// "uniform vec3 uName;" or "uniform mat4 uName[6];" gives uName.
std::string DeclaredName(const std::string& Line) {
  const size_t End = Line.find_first_of("[;");
  const size_t Begin = Line.rfind(' ', End) + 1;
  return Line.substr(Begin, End - Begin);
}

}  // namespace

TEST(ShaderGeneratorContent, EveryTextKeepsToTheProgramInterface) {
  REQUIRE_CONTENT_DIR();
  materialtest::TEngine E({}, testdata::ContentDir());
  E.Engine.GLCapabilities = std::make_unique<TZNT1GLCapabilities>(&E.Engine);
  TZNT1Shaders& Library = E.Shaders();
  Library.Load();
  const int32_t Content = Library.Count();
  Library.Parse(programtest::FixtureScript(), "fixture.shader");
  for (const char* Name : {"textures/base_wall/metalfloor_wall_14", "no/such"})
    for (int Kind = 0; Kind < 3; Kind++) Library.AddDefaultTextureShader(Name, Kind > 0, Kind == 2);
  ASSERT_GT(Library.Count(), 2000);

  const std::set<std::string> Uniforms = CachedUniformNames();
  const std::set<std::string> Attributes(std::begin(TZNT1GLSLShader::AttributeNames),
                                         std::end(TZNT1GLSLShader::AttributeNames));
  const int32_t Step = testdata::Sanitizing ? 7 : 1;  // the sanitizer pass samples the content (not the fixture)
  int Texts = 0;
  std::set<std::string> Seen;
  for (int Setting = 0; Setting < 3; Setting++) {
    TZNT1GLCapabilities& Caps = *E.Engine.GLCapabilities;
    programtest::SetMesaCapabilities(Caps, Setting == 0);
    Caps.GeometryShader = Caps.UseSinglePassShadowCubeMaps = Setting == 2;
    for (int32_t m = 0; m < Library.Count(); m += m < Content ? Step : 1) {
      TZNT1Shader& M = *Library.GetItem(m);
      M.DoInterpolateVertices = true;
      programtest::ForEachProgramRequest(M, [&](int32_t Kind, int32_t Stage, bool c, bool f, bool i) {
        const auto t = ComposeShader(&M, Kind, Stage, c, f, i, 1);
        if (!t.Refusal.empty()) return false;
        Texts++;
        for (const std::string& u : t.Uniforms) {
          const std::string Name = DeclaredName(u);
          Seen.insert(Name);
          EXPECT_TRUE(Uniforms.count(Name)) << M.Name << ": " << u;
        }
        for (const std::string& a : t.Attributes) EXPECT_TRUE(Attributes.count(DeclaredName(a))) << M.Name << ": " << a;
        for (const std::string* Text : {&t.VertexShader, &t.GeometryShader, &t.FragmentShader}) {
          EXPECT_EQ(Text->find("Infinity"), std::string::npos) << M.Name;
          EXPECT_EQ(Text->find("NaN"), std::string::npos) << M.Name;
        }
        return true;
      });
    }
  }
  EXPECT_GT(Texts, 10000);
  // The corpus reaches the stage samplers, the side maps and the geometry stage's matrices.
  for (const char* Name : {"uTex0", "uTex7", "uLightMapTex", "uNormalMapTex0", "uSpecularMapTex0", "uDeluxeMapTex",
                           "uCubeMapMatrices", "uLightGridTex", "uFogTex", "uClipPlane"})
    EXPECT_TRUE(Seen.count(Name)) << Name;
}

// The program half of the lifecycle: which tables get programs, and references given back.
TEST(ShaderGeneratorContent, LifecycleFillsTheTablesAndGivesReferencesBack) {
  programtest::TGeneratorEngine G;
  using programtest::MakeMaterial;
  auto One = MakeMaterial(G.Engine, {{GLS_DEPTHMASK_TRUE}});
  One->GenerateDefaultStages();
  One->GetStage(0)->Generate();
  for (int c = 0; c < 2; c++)
    for (int f = 0; f < 2; f++) {
      EXPECT_EQ(One->SinglePassGLSLShaders[c][f][0], nullptr);
      EXPECT_NE(One->GetStage(0)->MultiPassGLSLShaders[c][f][0], nullptr);
      EXPECT_EQ(One->GetStage(0)->MultiPassGLSLShaders[c][f][1], nullptr);  // no interpolation asked for
    }

  auto Two = MakeMaterial(G.Engine, {{GLS_DEPTHMASK_TRUE}, {GLS_SRCBLEND_ONE | GLS_DSTBLEND_ONE}});
  Two->DoInterpolateVertices = true;
  Two->GenerateDefaultStages();
  for (TZNT1ShaderStage* s : Two->Stages) s->Generate();
  for (int c = 0; c < 2; c++)
    for (int f = 0; f < 2; f++)
      for (int i = 0; i < 2; i++) {
        EXPECT_NE(Two->SinglePassGLSLShaders[c][f][i], nullptr);
        EXPECT_EQ(Two->GetStage(1)->MultiPassGLSLShaders[c][f][i], nullptr);
      }
  EXPECT_NE(Two->ZPrepassGLSLShaders[1][1], nullptr);
  EXPECT_EQ(Two->WireframeGLSLShaders[0][0], nullptr);  // no geometry shaders on this driver

  // References come back to where they were.
  auto Three = MakeMaterial(G.Engine, {{GLS_DEPTHMASK_TRUE}, {GLS_SRCBLEND_ONE | GLS_DSTBLEND_ONE}}, "three");
  std::vector<int32_t> Before;
  for (TZNT1GLSLShader* p : G.Engine.GLSLShaders->Items) Before.push_back(p->ReferenceCounter);
  Three->IncRef();
  Three->IncRef();
  TZNT1GLSLShader* Single = Three->SinglePassGLSLShaders[0][0][0];
  ASSERT_NE(Single, nullptr);
  EXPECT_EQ(Single, Two->SinglePassGLSLShaders[0][0][0]);  // the same text: one program
  EXPECT_GT(Single->ReferenceCounter, 0);
  Three->DecRef();
  Three->DecRef();
  std::vector<int32_t> After;
  for (size_t k = 0; k < Before.size(); k++) After.push_back(G.Engine.GLSLShaders->Items[k]->ReferenceCounter);
  EXPECT_EQ(After, Before);
}
