#include "material/ZNT1Shader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "MaterialTestSupport.h"

using namespace materialtest;

namespace {

// Zero-byte textures: lookups only test that a file exists.
const std::vector<std::pair<std::string, std::string>> TextureFiles = {
    {"textures/plain.tga", ""},    {"textures/base.tga", ""},      {"textures/base_glow.tga", ""},
    {"textures/base_norm.tga", ""}, {"textures/bumpy.tga", ""},    {"textures/bumpy_bump.tga", ""},
    {"textures/shiny.tga", ""},    {"textures/shiny_gloss.tga", ""}, {"textures/f1.tga", ""},
    {"textures/f1_glow.tga", ""},  {"textures/f2.tga", ""},        {"textures/f2_glow.tga", ""},
    {"env/sky_rt.tga", ""},        {"env/sky_up.tga", ""},         {"textures/model.tga", ""},
};

class ZNT1ShaderParse : public ::testing::Test {
 protected:
  TEngine E{TextureFiles};
  TZNT1Texture* Tex(const std::string& Name, int32_t Wrap = 10497, float Bump = 0.0f) {
    return E.Engine.Textures->FindTextureFile(Name, true, true, Wrap, 0.0f, Bump);
  }
  // One material with one stage of the given lines.
  TZNT1Shader* Stage(const std::string& Lines) { return E.Parse("m\n{\n{\n" + Lines + "\n}\n}\n"); }
};

}  // namespace

TEST(ZNT1ShaderModel, NewMaterialAndStageDefaults) {
  TZNT1Shader S(nullptr, nullptr);
  EXPECT_EQ(S.Cull, 1028);
  EXPECT_EQ(S.Flags, SF_CULLFRONT);
  EXPECT_EQ(S.PortalRange, 256.0f);
  EXPECT_EQ(S.OffsetMappingMode, zsommDEFAULT);
  EXPECT_EQ(S.NormalMapShaderStageIndex, -1);
  EXPECT_EQ(S.SpecularMapShaderStageIndex, -1);
  EXPECT_EQ(S.Hash, 0xFFFFFFFFu);
  EXPECT_EQ(S.FogParams.DepthForOpaque, 1.0f);
  EXPECT_EQ(S.SpecularScale, 1.0f);
  EXPECT_EQ(S.SpecularPower, 1.0f);
  EXPECT_NEAR(Vector3Length(S.SunDirection), 1.0f, 1e-6f);
  EXPECT_NEAR(S.SunDirection.x / S.SunDirection.y, 3.0f, 1e-5f);
  EXPECT_NEAR(S.SunLight.z, S.SunDirection.z * -4096.0f, 1e-3f);

  TZNT1ShaderStage Stage(&S);
  EXPECT_EQ(Stage.Shader, &S);
  EXPECT_EQ(Stage.ConstantColor.r, 1.0f);
  EXPECT_EQ(Stage.ConstantColor.a, 1.0f);
  EXPECT_TRUE(Stage.IsDiffuseStage);
  EXPECT_FALSE(Stage.IsFogStage);
  EXPECT_EQ(Stage.NumImageAnimation, 0);
  EXPECT_EQ(Stage.Index(), -1);
}

TEST(ZNT1ShaderTokenizer, Tokens) {
  // Each step: AllowLineBreaks, then the expected token.
  struct Row {
    const char* Text;
    std::vector<std::pair<bool, std::string>> Steps;
  };
  const Row Rows[] = {
      {"a  b", {{true, "a"}, {true, "b"}, {true, ""}, {true, ""}}},
      {"a\nb", {{true, "a"}, {true, "\r"}, {true, "b"}}},
      {"a\r\nb", {{true, "a"}, {false, ""}, {false, ""}, {true, "\r"}, {false, "b"}}},
      {"/* note */ name {", {{true, "name"}, {true, "{"}}},
      {"a//b c", {{true, "a//b"}, {true, "c"}}},
      {"// line\nx", {{true, "\r"}, {true, "x"}}},
      {"x /* two\nlines */ y", {{false, "x"}, {false, "y"}}},
      {"\"two words\" x", {{true, "two words"}, {true, "x"}}},
      {"\"across\nlines\"", {{true, "across\nlines"}, {true, ""}}},
      {"\"open to the end", {{true, "open to the end"}, {true, ""}}},
      {"a\"b c", {{true, "a\"b"}, {true, "c"}}},
      {"/* never closed", {{true, ""}}},
      {"/", {{true, "/"}, {true, ""}}},
      {"x /", {{true, "x"}, {true, "/"}}},
      {"", {{true, ""}, {false, ""}}},
  };
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Text);
    TZNT1ShaderTokenizer T(R.Text);
    for (const auto& [Allow, Expected] : R.Steps) EXPECT_EQ(T.TokenNext(Allow), Expected);
  }

  // Byte 0 is blank, not the end; positions count from 1.
  const std::string Zero("ab\0cd", 5);
  TZNT1ShaderTokenizer T(Zero);
  EXPECT_EQ(T.SourcePosition, 1u);
  EXPECT_EQ(T.TokenNext(true), "ab");
  EXPECT_EQ(T.SourcePosition, 3u);
  EXPECT_EQ(T.TokenNext(true), "cd");
  EXPECT_TRUE(T.TokenEOF());
}

TEST_F(ZNT1ShaderParse, StageKeywords) {
  struct Row {
    const char* Lines;
    std::function<void(const TZNT1Shader&, const TZNT1ShaderStage&)> Check;
  };
  auto* Plain = Tex("textures/plain.tga");
  const Row Rows[] = {
      // Only the first word of a line is a keyword.
      {"map textures/plain.tga blendfunc add",
       [&](const TZNT1Shader&, const TZNT1ShaderStage& s) {
         EXPECT_EQ(s.Texture[0], Plain);
         EXPECT_EQ(s.StateBits, 0x100u);
         EXPECT_EQ(s.RGBGen, CGEN_IDENTITY_LIGHTING);
       }},
      {"tcmod scroll 1\ntcmod rotate 5",
       [](const TZNT1Shader&, const TZNT1ShaderStage& s) {
         ASSERT_EQ(s.NumTexMods, 2);
         EXPECT_EQ(s.TexMods[0].TexMod, TMOD_SCROLL);
         EXPECT_EQ(s.TexMods[0].Scroll.x, 1.0f);
         EXPECT_EQ(s.TexMods[0].Scroll.y, 0.0f);
         EXPECT_EQ(s.TexMods[1].TexMod, TMOD_ROTATE);
         EXPECT_EQ(s.TexMods[1].RotateSpeed, 5.0f);
       }},
      {"map textures/plain.tga\ntcmod scale 1 2\ntcmod scroll 1 1\ntcmod turb 0 1 2 3\ntcmod stretch sin 1 2 3 4\n"
       "tcmod transform 1 2 3 4 5 6",
       [](const TZNT1Shader&, const TZNT1ShaderStage& s) {
         ASSERT_EQ(s.NumTexMods, 4);
         EXPECT_EQ(s.TexMods[2].TexMod, TMOD_TURBULENT);
         EXPECT_EQ(s.TexMods[2].Wave.Frequency, 3.0f);
         EXPECT_EQ(s.TexMods[3].TexMod, TMOD_STRETCH);
         EXPECT_EQ(s.TexMods[3].Wave.Waveform, GF_SIN);
         EXPECT_EQ(s.TexMods[3].Wave.Frequency, 4.0f);
       }},
      {"tcmod turb sin 1 2 3 4\ntcmod bogus 1\ntcmod entitytranslate",
       [](const TZNT1Shader&, const TZNT1ShaderStage& s) {
         ASSERT_EQ(s.NumTexMods, 1);
         EXPECT_EQ(s.TexMods[0].TexMod, TMOD_ENTITY_TRANSLATE);
       }},
      {"animmap 4 textures/f1.tga textures/f2.tga x3 x4 x5 x6 x7 x8 x9\nrgbgen vertex",
       [&](const TZNT1Shader&, const TZNT1ShaderStage& s) {
         EXPECT_EQ(s.NumImageAnimation, 8);
         EXPECT_EQ(s.ImageAnimationSpeed, 4.0f);
         EXPECT_EQ(s.Texture[0], Tex("textures/f1.tga"));
         EXPECT_EQ(s.GlowTexture[1], Tex("textures/f2_glow.tga"));
         EXPECT_EQ(s.Texture[7], E.White());
         EXPECT_EQ(s.RGBGen, CGEN_VERTEX);  // the next line's keyword is still read
       }},
      {"map textures/plain.tga\nblendfunc gl_one gl_zero",
       [](const TZNT1Shader& m, const TZNT1ShaderStage& s) {
         EXPECT_EQ(s.StateBits, 0x100u);
         EXPECT_TRUE(m.Opaque);
       }},
      {"depthwrite\nblendfunc add", [](auto&, auto& s) { EXPECT_EQ(s.StateBits, 0x122u); }},
      {"blendfunc add\ndepthwrite", [](auto&, auto& s) { EXPECT_EQ(s.StateBits, 0x122u); }},
      {"blendfunc add", [](auto&, auto& s) {
         EXPECT_EQ(s.StateBits, 0x22u);
         EXPECT_EQ(s.RGBGen, CGEN_IDENTITY_LIGHTING);
       }},
      {"blendfunc filter", [](auto&, auto& s) {
         EXPECT_EQ(s.StateBits, 0x13u);
         EXPECT_EQ(s.RGBGen, CGEN_IDENTITY);
         EXPECT_EQ(s.AlphaGen, AGEN_SKIP);
       }},
      {"blendfunc blend", [](auto&, auto& s) { EXPECT_EQ(s.StateBits, 0x65u); }},
      {"blendfunc GL_DST_COLOR GL_ONE_MINUS_DST_ALPHA", [](auto&, auto& s) { EXPECT_EQ(s.StateBits, 0x83u); }},
      {"blendfunc bogus bogus", [](auto&, auto& s) { EXPECT_EQ(s.StateBits, 0x22u); }},
      {"alphagen entity\nrgbgen vertex", [](auto&, auto& s) { EXPECT_EQ(s.AlphaGen, AGEN_ENTITY); }},
      {"rgbgen vertex", [](auto&, auto& s) { EXPECT_EQ(s.AlphaGen, AGEN_VERTEX); }},
      {"depthfunc equal\nalphafunc ge128",
       [](auto&, auto& s) { EXPECT_EQ(s.StateBits, 0x100u | 0x20000u | 0x40000000u); }},
      {"rgbgen const ( 0.5 .25 -.5 )\nalphagen const ( 0.75 )",
       [](auto&, auto& s) {
         EXPECT_EQ(s.RGBGen, CGEN_CONST);
         EXPECT_EQ(s.ConstantColor.g, 0.25f);
         EXPECT_EQ(s.ConstantColor.b, -0.5f);
         EXPECT_EQ(s.AlphaGen, AGEN_CONST);
         EXPECT_EQ(s.ConstantColor.a, 0.75f);
       }},
      {"rgbgen wave triangle 1 2 3 4",
       [](auto&, auto& s) {
         EXPECT_EQ(s.RGBWave.Waveform, GF_TRIANGLE);
         EXPECT_EQ(s.RGBWave.Base, 1.0f);
         EXPECT_EQ(s.RGBWave.Frequency, 4.0f);
       }},
      {"alphagen portal 512", [](const TZNT1Shader& m, auto& s) {
         EXPECT_EQ(s.AlphaGen, AGEN_PORTAL);
         EXPECT_EQ(m.PortalRange, 512.0f);
       }},
      {"alphagen portal", [](const TZNT1Shader& m, auto&) { EXPECT_EQ(m.PortalRange, 256.0f); }},
      {"teopxgen vector ( 1 0 0 ) ( 0 1 0 )",
       [](auto&, auto& s) {
         EXPECT_EQ(s.TexCoordGen, TCGEN_VECTOR);
         EXPECT_EQ(s.TexCoordGenVectors[0].x, 1.0f);
         EXPECT_EQ(s.TexCoordGenVectors[1].y, 1.0f);
       }},
      {"tcgen environment", [](auto&, auto& s) { EXPECT_EQ(s.TexCoordGen, TCGEN_ENVIRONMENT_MAPPED); }},
      {"map $lightmap\ntcmod scroll 1 0",
       [&](const TZNT1Shader& m, const TZNT1ShaderStage& s) {
         EXPECT_TRUE(s.IsLightMap);
         EXPECT_EQ(s.Texture[0], E.White());
         EXPECT_EQ(s.TexCoordGen, TCGEN_LIGHTMAP);
         EXPECT_TRUE(m.UseLightMap);
         EXPECT_TRUE(m.DoNeedOwnLightMapAtlas);
       }},
      {"map textures/base.tga",
       [&](const TZNT1Shader&, const TZNT1ShaderStage& s) {
         EXPECT_EQ(s.NormalMap, Tex("textures/base_norm.tga"));
         EXPECT_EQ(s.GlowTexture[0], Tex("textures/base_glow.tga"));
         EXPECT_EQ(s.SpecularMap, nullptr);
       }},
      {"map textures/bumpy.tga", [&](auto&, auto& s) { EXPECT_EQ(s.NormalMap, Tex("textures/bumpy_bump.tga", 10497, 1.0f)); }},
      {"map textures/shiny.tga", [&](auto&, auto& s) { EXPECT_EQ(s.SpecularMap, Tex("textures/shiny_gloss.tga")); }},
      {"clampmap textures/plain.tga",
       [&](auto&, auto& s) { EXPECT_EQ(s.Texture[0], Tex("textures/plain.tga", 33071)); }},
      {"map textures/missing.tga", [&](auto&, auto& s) { EXPECT_EQ(s.Texture[0], E.White()); }},
      // A side map named before the stage's texture is white, whatever was found.
      {"normalmap textures/plain.tga\nmap textures/plain.tga\nspecularmap textures/plain.tga\nbumpmap textures/nope.tga",
       [&](auto&, auto& s) {
         EXPECT_EQ(s.SpecularMap, Plain);
         EXPECT_EQ(s.NormalMap, nullptr);
       }},
      {"glowmap textures/plain.tga\nmap textures/plain.tga", [&](auto&, auto& s) { EXPECT_EQ(s.GlowTexture[0], E.White()); }},
  };
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Lines);
    // A stage without texture is dropped at the close; give those rows one first.
    const std::string Lines = std::string(R.Lines).find("map ") == std::string::npos
                                  ? std::string("map textures/plain.tga\n") + R.Lines
                                  : std::string(R.Lines);
    const TZNT1Shader* S = Stage(Lines);
    ASSERT_TRUE(S);
    ASSERT_GE(S->Count(), 1);
    R.Check(*S, *S->GetStage(0));
  }
}

TEST_F(ZNT1ShaderParse, BlockStructure) {
  // "}" after the texture name ends the stage; the next word then starts a line.
  TZNT1Shader* S = E.Parse("m { { map textures/plain.tga } cull none }");
  ASSERT_TRUE(S);
  EXPECT_EQ(S->Count(), 1);
  EXPECT_EQ(S->Cull, 0);

  // A comment before the name does not change it; two slashes inside a token stay in it.
  EXPECT_EQ(E.Parse("/* x */ Textures\\Comment { }")->Name, "textures/comment");
  EXPECT_EQ(E.Parse("a//b { }")->Name, "a//b");
  // A "{" without a name before it reuses the last one.
  EXPECT_EQ(E.Parse("first { } { }")->Name, "first");

  // A fifth tcmod and a ninth animmap frame are dropped.
  S = Stage("map textures/plain.tga\ntcmod scale 1 1\ntcmod scale 1 1\ntcmod scale 1 1\ntcmod scale 1 1\ntcmod rotate 9");
  EXPECT_EQ(S->GetStage(0)->NumTexMods, 4);
  EXPECT_EQ(S->GetStage(0)->TexMods[3].TexMod, TMOD_SCALE);
}

TEST_F(ZNT1ShaderParse, MaterialKeywordsAndClose) {
  struct Row {
    const char* Text;
    std::function<void(const TZNT1Shader&)> Check;
  };
  const Row Rows[] = {
      {"m { skyparms env/sky - - }",
       [&](const TZNT1Shader& m) {
         EXPECT_TRUE(m.IsSky);
         EXPECT_EQ(m.Sky.OuterBox[0], Tex("env/sky_rt.tga", 33071));
         EXPECT_EQ(m.Sky.OuterBox[1], E.Default());
         EXPECT_EQ(m.Sky.OuterBox[4], Tex("env/sky_up.tga", 33071));
         EXPECT_EQ(m.Sky.CloudHeight, 512.0f);
         for (auto* t : m.Sky.InnerBox) EXPECT_EQ(t, nullptr);
         EXPECT_EQ(m.Sort, SORT_ENVIRONMENT);
         EXPECT_EQ(m.Count(), 0);
       }},
      {"m { skyparms - 300 env/sky }",
       [&](const TZNT1Shader& m) {
         EXPECT_EQ(m.Sky.OuterBox[0], nullptr);
         EXPECT_EQ(m.Sky.CloudHeight, 300.0f);
         EXPECT_EQ(m.Sky.InnerBox[0], Tex("env/sky_rt.tga"));
       }},
      {"m {\nsort additive\nskyparms - full -\n}", [](const TZNT1Shader& m) { EXPECT_EQ(m.Sort, SORT_ENVIRONMENT); }},
      {"m {\nsurfaceparm nodraw nonsolid trans\n}",
       [](const TZNT1Shader& m) {
         EXPECT_EQ(m.SurfaceFlags, SURF_NODRAW | SURF_NONSOLID);
         EXPECT_EQ(m.ContentFlags, CONTENTS_TRANSLUCENT);
       }},
      {"m {\nsurfaceparm water\nsurfaceparm SKY\n}",
       [](const TZNT1Shader& m) {
         EXPECT_EQ(m.ContentFlags, CONTENTS_WATER);
         EXPECT_EQ(m.SurfaceFlags, SURF_SKY);
       }},
      {"m {\ndeformvertexes wave 0 sin 1 2 3 4\ndeformvertexes wave 100 square 0 0 0 0\ndeformvertexes autosprite2\n"
       "deformvertexes text9\ndeformvertexes bogus\n}",
       [](const TZNT1Shader& m) {
         ASSERT_EQ(m.NumDeformations, 5);
         EXPECT_EQ(m.Deformation[0].DeformationSpread, 100.0f);
         EXPECT_EQ(m.Deformation[0].DeformationWave.Frequency, 4.0f);
         EXPECT_FLOAT_EQ(m.Deformation[1].DeformationSpread, 0.01f);
         EXPECT_EQ(m.Deformation[1].DeformationWave.Waveform, GF_SQUARE);
         EXPECT_EQ(m.Deformation[2].Deformation, DEFORM_AUTOSPRITE2);
         EXPECT_TRUE(m.HasAutoSprite2Deformation);
         EXPECT_EQ(m.Deformation[3].Deformation, DEFORM_TEXT0);
         EXPECT_EQ(m.Deformation[4].Deformation, DEFORM_NONE);
       }},
      {"m {\ndeformvertexes move 1 2 3 sin 0 1 0 1\ndeformvertexes bulge 1 2 3\ndeformvertexes normal 0.5 2\n}",
       [](const TZNT1Shader& m) {
         EXPECT_EQ(m.Deformation[0].MoveVector.z, 3.0f);
         EXPECT_EQ(m.Deformation[1].BulgeSpeed, 3.0f);
         EXPECT_EQ(m.Deformation[2].DeformationWave.Frequency, 2.0f);
       }},
      // Light map and texture fold into one stage.
      {"m {\n{\nmap $lightmap\nrgbgen identity\n}\n{\nmap textures/plain.tga\nblendfunc filter\n}\n}",
       [](const TZNT1Shader& m) {
         ASSERT_EQ(m.Count(), 1);
         EXPECT_EQ(m.GetStage(0)->UseLightMap, 3);
         EXPECT_EQ(m.GetStage(0)->StateBits, 0x100u);
         EXPECT_FALSE(m.GetStage(0)->IsLightMap);
         EXPECT_EQ(m.HasShadowPass, SP_EQUAL);
       }},
      {"m {\n{\nmap $lightmap\nrgbgen identity\n}\n{\nmap textures/plain.tga\nblendfunc add\n}\n}",
       [](const TZNT1Shader& m) {
         ASSERT_EQ(m.Count(), 1);
         EXPECT_EQ(m.GetStage(0)->UseLightMap, 2);
       }},
      {"m {\n{\nmap $lightmap\n}\n{\nmap textures/plain.tga\nblendfunc filter\n}\n}",
       [](const TZNT1Shader& m) { EXPECT_EQ(m.Count(), 2); }},
      {"m {\nsurfaceparm nodraw\n}",
       [&](const TZNT1Shader& m) {
         EXPECT_EQ(m.Sort, SORT_FOG);
         ASSERT_EQ(m.Count(), 1);
         EXPECT_EQ(m.GetStage(0)->Texture[0], E.Default());
         EXPECT_EQ(m.GetStage(0)->StateBits, 0x112u);
         EXPECT_TRUE(m.UseLightMap);
         EXPECT_FALSE(m.ExplicitlyDefined);
         EXPECT_FALSE(m.Opaque);
         EXPECT_FALSE(m.AdditiveBlend);
       }},
      {"m {\nsurfaceparm fog\nfogparms ( 1 0.5 0 ) 300\n}",
       [](const TZNT1Shader& m) {
         EXPECT_EQ(m.Sort, SORT_FOG);
         EXPECT_EQ(m.Count(), 0);
         EXPECT_EQ(m.HasFogPass, FP_LEQUAL);
         EXPECT_TRUE(m.ExplicitlyDefined);
         EXPECT_TRUE(m.Opaque);
         EXPECT_EQ(m.FogParams.Color.g, 0.5f);
         EXPECT_EQ(m.FogParams.Color.a, 1.0f);
         EXPECT_EQ(m.FogParams.DepthForOpaque, 300.0f);
       }},
      {"m {\nfogparms x 200\n}", [](const TZNT1Shader& m) { EXPECT_EQ(m.FogParams.DepthForOpaque, 200.0f); }},
      {"m {\n{\nmap textures/missing.tga\n}\n{\nrgbgen vertex\n}\n}",
       [&](const TZNT1Shader& m) {
         ASSERT_EQ(m.Count(), 1);
         EXPECT_EQ(m.GetStage(0)->Texture[0], E.White());
         EXPECT_TRUE(m.ExplicitlyDefined);
       }},
      {"m {\ncull twosided\n}",
       [](const TZNT1Shader& m) {
         EXPECT_EQ(m.Cull, 0);
         EXPECT_EQ(m.Flags & 0xE000u, SF_NOCULL);
       }},
      {"m {\ncull back\n}", [](const TZNT1Shader& m) { EXPECT_EQ(m.Flags & 0xE000u, SF_CULLBACK); }},
      {"m {\ncull sideways\n}", [](const TZNT1Shader& m) { EXPECT_EQ(m.Cull, 1028); }},
      {"m {\nsort 300\n{\nmap textures/plain.tga\n}\n}", [](const TZNT1Shader& m) { EXPECT_EQ(m.Sort, 255); }},
      // -4 clamps to 0, and the close then decides as without "sort".
      {"m {\nsort -4\n{\nmap textures/plain.tga\n}\n}", [](const TZNT1Shader& m) { EXPECT_EQ(m.Sort, SORT_OPAQUE); }},
      {"m {\nsort 99999999999999999999 { map textures/plain.tga }\n}", [](const TZNT1Shader& m) { EXPECT_EQ(m.Sort, 255); }},
      {"m {\nsort -99999999999999999999 { map textures/plain.tga }\n}",
       [](const TZNT1Shader& m) { EXPECT_EQ(m.Sort, SORT_OPAQUE); }},
      {"m {\nsort word\n{\nmap textures/plain.tga\n}\n}", [](const TZNT1Shader& m) { EXPECT_EQ(m.Sort, SORT_OPAQUE); }},
      {"m {\nsort portal\n}",
       [](const TZNT1Shader& m) {
         EXPECT_TRUE(m.IsPortal);
         EXPECT_TRUE(m.Flags & SF_PORTAL);
       }},
      {"m {\nportal Mirror1 { map textures/plain.tga }\n}",
       [](const TZNT1Shader& m) {
         EXPECT_EQ(m.Sort, SORT_PORTAL);
         EXPECT_EQ(m.PortalName, "mirror1");
       }},
      {"m {\npolygonoffset\n{\nmap textures/plain.tga\nblendfunc blend\n}\n}",
       [](const TZNT1Shader& m) {
         EXPECT_EQ(m.Sort, SORT_DECAL);
         EXPECT_EQ(m.GetStage(0)->AdjustColorsForFog, ACFF_MODULATE_ALPHA);
       }},
      {"m {\n{\nmap textures/plain.tga\nblendfunc add\n}\n}",
       [](const TZNT1Shader& m) {
         EXPECT_EQ(m.Sort, SORT_BLEND0);
         EXPECT_TRUE(m.AdditiveBlend);
         EXPECT_TRUE(m.Blend);
         EXPECT_FALSE(m.Opaque);
         EXPECT_EQ(m.HasFogPass, FP_NONE);
         EXPECT_EQ(m.GetStage(0)->AdjustColorsForFog, ACFF_MODULATE_RGB);
       }},
      {"m {\n{\nmap textures/plain.tga\nblendfunc add\ndepthwrite\n}\n}",
       [](const TZNT1Shader& m) { EXPECT_EQ(m.Sort, SORT_SEETHROUGH); }},
      {"m {\nsort banner\n{\nmap textures/plain.tga\nalphafunc gt0\n}\n}",
       [](const TZNT1Shader& m) {
         EXPECT_EQ(m.HasFogPass, FP_EQUAL);
         EXPECT_FALSE(m.Opaque);
         EXPECT_EQ(m.StateBits, m.SinglePassStateBits);
         EXPECT_EQ(m.StateBits, 0x10000100u);
       }},
      // A glow stage follows a stage whose texture has one.
      {"m {\n{\nmap textures/base.tga\nrgbgen vertex\ntcmod scroll 1 2\n}\n}",
       [&](const TZNT1Shader& m) {
         ASSERT_EQ(m.Count(), 2);
         const TZNT1ShaderStage& g = *m.GetStage(1);
         EXPECT_EQ(g.Texture[0], Tex("textures/base_glow.tga"));
         EXPECT_EQ(g.StateBits, 0x22u);
         EXPECT_EQ(g.RGBGen, CGEN_VERTEX);
         EXPECT_EQ(g.NumTexMods, 1);
         EXPECT_EQ(g.NumImageAnimation, 0);
         EXPECT_EQ(g.AdjustColorsForFog, ACFF_MODULATE_RGB);
         EXPECT_TRUE(m.Blend);
       }},
      {"m {\n{\nanimmap 7 textures/f1.tga textures/f2.tga\n}\n}",
       [&](const TZNT1Shader& m) {
         ASSERT_EQ(m.Count(), 2);
         EXPECT_EQ(m.GetStage(1)->NumImageAnimation, 2);
         EXPECT_EQ(m.GetStage(1)->ImageAnimationSpeed, 7.0f);
         EXPECT_EQ(m.GetStage(1)->Texture[1], Tex("textures/f2_glow.tga"));
       }},
      {"m {\nq3map_sun 1 1 0 255 90 0\nqer_editorimage x\nq3map_other 1\n}",
       [](const TZNT1Shader& m) {
         EXPECT_TRUE(m.HasSunLight);
         EXPECT_NEAR(m.SunLight.x, std::sqrt(0.5f), 1e-6f);
         EXPECT_NEAR(m.SunDirection.y, 1.0f, 1e-6f);
         EXPECT_NEAR(m.SunDirection.x, 0.0f, 1e-6f);
       }},
      {"m {\nq3map_sunext 1 0 0 510 0 90 1 2\n}",
       [](const TZNT1Shader& m) {
         EXPECT_NEAR(m.SunLight.x, 2.0f, 1e-6f);
         EXPECT_NEAR(m.SunDirection.z, 1.0f, 1e-6f);
       }},
      {"m {\ndpoffsetmapping linear 2 match8 51\ndpglossintensitymod 3\ndpglossexponentmod 4\nclamptime 5\n}",
       [](const TZNT1Shader& m) {
         EXPECT_EQ(m.OffsetMappingMode, zsommLINEAR);
         EXPECT_EQ(m.OffsetMappingScale, 2.0f);
         EXPECT_FLOAT_EQ(m.OffsetMappingBias, 0.8f);
         EXPECT_EQ(m.SpecularScale, 3.0f);
         EXPECT_EQ(m.SpecularPower, 4.0f);
         EXPECT_EQ(m.ClampTime, 5.0f);
       }},
      {"m {\ndpoffsetmapping off\nnomipmaps\npolygonoffset\nentitymergable\n}",
       [](const TZNT1Shader& m) {
         EXPECT_EQ(m.OffsetMappingMode, zsommOFF);
         EXPECT_EQ(m.OffsetMappingScale, 1.0f);
         EXPECT_TRUE(m.NoMipMaps && m.NoPicMip && m.PolygonOffset && m.EntityMergable);
       }},
  };
  for (const Row& R : Rows) {
    SCOPED_TRACE(R.Text);
    const TZNT1Shader* S = E.Parse(R.Text);
    ASSERT_TRUE(S);
    R.Check(*S);
  }
  EXPECT_TRUE(E.Warnings().empty());
}

TEST_F(ZNT1ShaderParse, NextLinksAndSameNames) {
  E.Parse("a {\nnext textures/b\n}\nc {\nnext Textures/B\n}\ntextures/b { }\nTEXTURES/B { }");
  TZNT1Shaders& L = E.Shaders();
  ASSERT_EQ(L.Count(), 4);
  EXPECT_EQ(L.GetShader("textures/b"), L.GetItem(3));  // the later one of the name
  EXPECT_EQ(L.GetItem(1)->NextShaderName, "Textures/B");  // kept as written
  L.ResolveLinks();
  EXPECT_EQ(L.GetShader("a")->NextShader, L.GetItem(3));
  EXPECT_EQ(L.GetShader("c")->NextShader, nullptr);
  EXPECT_EQ(L.GetShader("A"), nullptr);
  EXPECT_EQ(L.GetShader("textures\\b"), nullptr);
}

TEST_F(ZNT1ShaderParse, DestroyRemovesOnlyItsOwnKey) {
  E.Parse("same { }\nsame { }\nother { }");
  TZNT1Shaders& L = E.Shaders();
  TZNT1Shader* Mesh = L.AddDefaultTextureShader("textures/model.tga", true, true);
  TZNT1Shader* World = L.AddDefaultTextureShader("textures/model.tga", false, false);
  // The earlier "same" goes: the later one keeps the name.
  delete L.GetItem(0);
  L.Items.erase(L.Items.begin());
  EXPECT_EQ(L.GetShader("same"), L.GetItem(0));
  // A mesh default material takes its "mesh" key with it.
  const std::string MeshKey = std::string("mesh\0", 5) + "textures/model.tga";
  EXPECT_EQ(L.GetShader(MeshKey), Mesh);
  L.Items.erase(std::find(L.Items.begin(), L.Items.end(), Mesh));
  delete Mesh;
  EXPECT_EQ(L.GetShader(MeshKey), nullptr);
  EXPECT_EQ(L.GetShader("textures/model.tga"), World);
  L.Sort();
  EXPECT_EQ(L.SortedShaders->Count(), L.Count());
}

TEST_F(ZNT1ShaderParse, DefaultTextureMaterials) {
  TZNT1Shaders& L = E.Shaders();
  TZNT1Shader* World = L.AddDefaultTextureShader("textures/base.tga", false, false);
  ASSERT_TRUE(World);
  EXPECT_EQ(L.AddDefaultTextureShader("textures/base.tga", false, false), World);
  TZNT1Shader* Mesh = L.AddDefaultTextureShader("textures/base.tga", true, true);
  EXPECT_NE(Mesh, World);
  EXPECT_EQ(Mesh->Name, "textures/base.tga");
  EXPECT_EQ(L.Count(), 2);
  EXPECT_EQ(L.SortedShaders->GetItem(1), Mesh);
  EXPECT_EQ(Mesh->SortedIndex, 1);

  EXPECT_TRUE(World->ExplicitlyDefined);
  EXPECT_TRUE(World->Opaque);
  EXPECT_TRUE(World->UseLightMap);
  EXPECT_TRUE(World->Generated);
  EXPECT_EQ(World->Sort, SORT_OPAQUE);
  EXPECT_EQ(World->HasFogPass, FP_EQUAL);
  EXPECT_EQ(World->HasShadowPass, SP_EQUAL);
  ASSERT_EQ(World->Count(), 2);  // base and its glow
  const TZNT1ShaderStage& s = *World->GetStage(0);
  EXPECT_EQ(s.Texture[0], E.Engine.Textures->FindTextureFile("textures/base.tga", false, false, 10497, 0, 0));
  EXPECT_EQ(s.NormalMap, E.Engine.Textures->FindTextureFile("textures/base_norm.tga", false, false, 10497, 0, 0));
  EXPECT_EQ(s.StateBits, 0x112u);
  EXPECT_EQ(s.RGBGen, CGEN_IDENTITY);
  EXPECT_EQ(s.UseLightMap, 3);
  EXPECT_EQ(s.TexCoordGen, TCGEN_TEXTURE);
  EXPECT_EQ(World->GetStage(1)->StateBits, 0x22u);
  EXPECT_EQ(World->GetStage(1)->RGBGen, CGEN_IDENTITY);
  EXPECT_TRUE(World->Blend);

  EXPECT_EQ(Mesh->GetStage(0)->RGBGen, CGEN_LIGHTING_DIFFUSE_VERTEX);
  EXPECT_EQ(Mesh->GetStage(0)->UseLightMap, 0);
  EXPECT_EQ(Mesh->GetStage(1)->RGBGen, CGEN_VERTEX);
  EXPECT_FALSE(Mesh->UseLightMap);
  EXPECT_EQ(L.AddDefaultTextureShader("textures/plain.tga", true, false)->GetStage(0)->RGBGen, CGEN_VERTEX);

  TZNT1Shader* Missing = L.AddDefaultTextureShader("textures/none.tga", false, false);
  ASSERT_EQ(Missing->Count(), 1);
  EXPECT_EQ(Missing->GetStage(0)->Texture[0], E.White());
}

TEST(ZNT1ShaderLibrary, LoadWithoutScriptsAndSortOrder) {
  TEngine E;
  E.Shaders().Load();
  EXPECT_EQ(E.Shaders().Count(), 0);
  EXPECT_EQ(E.Shaders().SortedShaders->Count(), 0);

  // Loaded in path order; within one Sort the later-registered material first.
  TEngine F({{"scripts/b.shader", "b1 { sort 5 { map t } }\nb2 { sort 3 { map t } }"},
             {"scripts/a.shader", "a1 { sort 3 { map t } }\na2 { sort 5 { map t } }\nb1 { sort 9 { map t } }"},
             {"scripts/readme.txt", "x { }"}});
  F.Shaders().Load();
  TZNT1Shaders& L = F.Shaders();
  ASSERT_EQ(L.Count(), 5);
  std::vector<std::string> Order;
  for (int32_t i = 0; i < L.SortedShaders->Count(); ++i) {
    Order.push_back(L.SortedShaders->GetItem(i)->Name + "@" + std::to_string(L.SortedShaders->GetItem(i)->Sort));
    EXPECT_EQ(L.SortedShaders->GetItem(i)->SortedIndex, i);
  }
  EXPECT_EQ(Order, (std::vector<std::string>{"b2@3", "a1@3", "b1@5", "a2@5", "b1@9"}));
  EXPECT_EQ(L.GetShader("b1")->Sort, 5);  // scripts/b.shader comes later

  // A damaged script still gives its materials, with one warning naming it.
  TEngine G(TFiles{{"scripts/fine.shader", "a { }"}, {"scripts/broken.shader", "b {\n{\nmap x"}});
  G.Shaders().Load();
  EXPECT_EQ(G.Shaders().Count(), 2);
  ASSERT_EQ(G.Warnings().size(), 1u);
  EXPECT_EQ(G.Warnings()[0], "Warning: material script \"scripts/broken.shader\": the text ends inside a stage");

  // Remapping is cleared for every material.
  L.GetItem(0)->RemappedShader = L.GetItem(1);
  L.ResetRemappedShader();
  EXPECT_EQ(L.GetItem(0)->RemappedShader, nullptr);
}

TEST(ZNT1ShaderLibrary, ParseFromStream) {
  TEngine E;
  TMemoryStream Empty;
  E.Shaders().ParseFromStream(&Empty);
  E.Shaders().ParseFromStream(nullptr);
  TMemoryStream One(std::vector<uint8_t>{'m', ' ', '{', ' ', '}'});
  One.Seek(3);
  E.Shaders().ParseFromStream(&One);
  EXPECT_EQ(E.Shaders().Count(), 1);
}

TEST(ZNT1ShaderHelpers, TranslateShaderBlend) {
  const std::pair<uint32_t, uint32_t> Rows[] = {
      {0, 0},          {1, 0},          {2, 1},          {3, 0x0306},     {4, 0x0307},     {5, 0x0302},
      {6, 0x0303},     {7, 0x0304},     {8, 0x0305},     {9, 0x0308},     {0x10, 0},       {0x20, 1},
      {0x30, 0x0300},  {0x40, 0x0301},  {0x50, 0x0302},  {0x60, 0x0303},  {0x70, 0x0304},  {0x80, 0x0305},
      {0x22, 0},       {0x90, 0},       {10, 0},
  };
  for (const auto& [Bits, Factor] : Rows) EXPECT_EQ(TranslateShaderBlend(Bits), Factor) << Bits;
}

TEST(ZNT1ShaderHelpers, GLSLFloat) {
  const double Inf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> Rows[] = {
      {2, "2.0"},
      {-0.25, "-0.25"},
      {1, "1.0"},
      {0.5, "0.5"},
      {0, "0.0"},
      {1e21, "1e+21"},
      {1e-7, "1e-7"},
      {std::nan(""), "0.0"},
      {Inf, "3.4028234663852886e+38"},
      {-Inf, "-3.4028234663852886e+38"},
      {1e300, "3.4028234663852886e+38"},
      {-1e39, "-3.4028234663852886e+38"},
      {3.4028234663852886e+38, "3.4028234663852886e+38"},
  };
  for (const auto& [Value, Text] : Rows) EXPECT_EQ(GLSLFloat(Value), Text) << Value;
}

TEST(ZNT1ShaderHelpers, ConvertStringToDoubleAndSingles) {
  const std::pair<const char*, double> Rows[] = {
      {".5", 0.5}, {"-.5", -0.5}, {"", 0},    {"word", 0}, {"NaN", 0},    {"12abc", 12},
      {"0x10", 16}, {"0x", 0},    {"-", 0},   {"1e2", 100},
  };
  for (const auto& [Text, Value] : Rows) EXPECT_EQ(ConvertStringToDouble(Text), Value) << Text;
  bool OK = true;
  ConvertStringToDouble("x", 0, &OK, -1);
  EXPECT_FALSE(OK);
  EXPECT_TRUE(std::isinf(ConvertStringToDouble("1e999")));

  const double Inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(DoubleToSingle(1e300), std::numeric_limits<float>::infinity());
  EXPECT_EQ(DoubleToSingle(-1e39), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(DoubleToSingle(-Inf), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(DoubleToSingle(3.4028234663852886e+38), std::numeric_limits<float>::max());
  EXPECT_EQ(DoubleToSingle(0.1), 0.1f);
  EXPECT_TRUE(std::isnan(DoubleToSingle(std::nan(""))));
}

TEST_F(ZNT1ShaderParse, ReferencesGiveTexturesBack) {
  TZNT1Shader* S = E.Parse(
      "m {\nskyparms env/sky - env/sky\n{\nmap $lightmap\n}\n{\nanimmap 1 textures/f1.tga textures/f2.tga\n"
      "blendfunc filter\n}\n{\nmap textures/base.tga\nblendfunc add\n}\n}");
  ASSERT_TRUE(S);
  ASSERT_EQ(S->Count(), 5);  // light map, frames, base, and the glow stages of frames and base
  std::vector<TZNT1Texture*> All;
  for (auto& t : E.Engine.Textures->Items) All.push_back(t.get());
  auto Counts = [&] {
    std::vector<int32_t> c;
    for (auto* t : All) c.push_back(t->ReferenceCounter);
    return c;
  };
  const auto Before = Counts();
  S->GetStage(0)->Texture[0] = nullptr;
  S->IncRef();
  EXPECT_EQ(S->GetStage(0)->Texture[0], E.White());  // light-map stage
  EXPECT_TRUE(S->Uploaded);
  EXPECT_TRUE(S->Generated);
  EXPECT_EQ(Tex("textures/f2.tga")->ReferenceCounter, 1);
  EXPECT_EQ(Tex("textures/base_norm.tga")->ReferenceCounter, 1);
  EXPECT_EQ(Tex("env/sky_up.tga")->ReferenceCounter, 1);
  EXPECT_EQ(E.Default()->ReferenceCounter, 8);  // 4 outer and 4 inner faces missing
  S->IncRef();
  EXPECT_EQ(Tex("textures/f2.tga")->ReferenceCounter, 1);
  S->DecRef();
  EXPECT_TRUE(S->Uploaded);
  S->DecRef();
  EXPECT_FALSE(S->Uploaded);
  EXPECT_EQ(S->ReferenceCounter, 0);
  S->DecRef();
  EXPECT_EQ(S->ReferenceCounter, 0);
  EXPECT_EQ(Counts(), Before);

  TZNT1Shader* Quiet = E.Parse("q { { map textures/plain.tga } }");
  Quiet->Upload();
  EXPECT_FALSE(Quiet->Uploaded);
  EXPECT_FALSE(Quiet->Generated);
  Quiet->Dispose();
  EXPECT_FALSE(Quiet->Uploaded);
  // Engine-wide passes only touch referenced materials.
  S->IncRef();
  E.Shaders().Dispose();
  EXPECT_FALSE(S->Uploaded);
  EXPECT_EQ(S->ReferenceCounter, 1);
  E.Shaders().Upload();
  EXPECT_TRUE(S->Uploaded);
  EXPECT_FALSE(Quiet->Uploaded);
  S->DecRef();
}
