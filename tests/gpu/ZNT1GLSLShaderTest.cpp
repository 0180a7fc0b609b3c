#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Game.h"
#include "gpu/ZNT1FrameBufferObject.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1GLSLShader.h"

namespace {

// A dedicated engine: programs are built and referenced but never reach OpenGL.
class GLSLShaders : public ::testing::Test {
 protected:
  void SetUp() override { engine.GLCapabilities = std::make_unique<TZNT1GLCapabilities>(&engine); }

  std::unique_ptr<TZNT1GLSLShaders> Library(int32_t Format) {
    engine.GLCapabilities->ShadowMapTextureFormat = Format;
    return std::make_unique<TZNT1GLSLShaders>(&engine);
  }

  static std::vector<std::string> SplitLines(const std::string& Text) {
    std::vector<std::string> Result;
    size_t Start = 0;
    for (size_t At; (At = Text.find("\r\n", Start)) != std::string::npos; Start = At + 2)
      Result.push_back(Text.substr(Start, At - Start));
    EXPECT_EQ(Start, Text.size()) << "text does not end with CR LF";
    return Result;
  }

  static bool Has(const std::string& Text, const std::string& Part) { return Text.find(Part) != std::string::npos; }

  TZNT1Engine engine{&CreateGameOfClass<TZNT1Game>, true};
};

}  // namespace

TEST(GLSLMyPos, IsOneBasedAndZeroWhenAbsent) {
  struct Case {
    const char* ToSearch;
    const char* InWhat;
    int32_t Expected;
  };
  const Case Cases[] = {{"aPosition", "attribute vec3 aPosition2;", 16},
                        {"uTex0", "uTex0", 1},
                        {"uFogTex", "uniform sampler2D uTex0;", 0},
                        {"", "anything", 0},
                        {"abc", "", 0},
                        {"b", "abcb", 2}};
  for (const Case& c : Cases) EXPECT_EQ(MyPos(c.ToSearch, c.InWhat), c.Expected) << c.ToSearch << " in " << c.InWhat;
}

TEST_F(GLSLShaders, GetShaderSharesOneProgramPerSourceTriple) {
  auto Shaders = Library(GL_TEXTURE_R32F);
  const int32_t Before = Shaders->Count();
  TZNT1GLSLShader* a = Shaders->GetShader("v", "", "f", 3);
  TZNT1GLSLShader* b = Shaders->GetShader("v", "", "f", 7);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->OutputTriangles, 3);
  EXPECT_EQ(a->Combined, std::string("v\0\0f\0", 5));
  EXPECT_EQ(a->ReferenceCounter, 0);
  EXPECT_EQ(a->ProgramHandle, -1);
  EXPECT_EQ(a->LinkCounter, 0xFFFFFFFFu);
  // The zero bytes keep the three texts apart.
  TZNT1GLSLShader* c = Shaders->GetShader("v", "f", "", 1);
  TZNT1GLSLShader* d = Shaders->GetShader("", "v", "f", 1);
  EXPECT_NE(c, a);
  EXPECT_NE(d, a);
  EXPECT_NE(c, d);
  EXPECT_EQ(Shaders->Count(), Before + 3);
  EXPECT_EQ(Shaders->GetItem(Before), a);
  EXPECT_EQ(Shaders->HashMap.GetValue(a->Combined), a);
}

TEST_F(GLSLShaders, BuiltInFieldsShareByText) {
  auto Shaders = Library(GL_TEXTURE_R32F);
  const TZNT1GLSLShaders& s = *Shaders;
  EXPECT_EQ(s.DefaultGLSLSkyFBOMapShader, s.DefaultGLSLPortalShader);
  EXPECT_EQ(s.DefaultGLSLDownSampleShader, s.DefaultGLSLShadowDownSampleShader);
  EXPECT_EQ(s.DefaultGLSLPortalShader->ReferenceCounter, 2);
  EXPECT_EQ(s.DefaultGLSLCopyShader->ReferenceCounter, 1);
  for (const TZNT1GLSLShader* Shader : {s.DefaultGLSLFXAA3Shader, s.DefaultGLSLSMAAEdgeDetectionShader,
                                        s.DefaultGLSLSMAABlendingWeightCalculationShader,
                                        s.DefaultGLSLSMAANeighborhoodBlendingShader}) {
    ASSERT_NE(Shader, nullptr);
    EXPECT_EQ(Shader->ReferenceCounter, 1);
  }
  // The SMAA passes share the text but each has its own vertex and fragment program.
  EXPECT_NE(s.DefaultGLSLSMAAEdgeDetectionShader->VertexShader,
            s.DefaultGLSLSMAANeighborhoodBlendingShader->VertexShader);
  // 39 built-in fields, 37 programs, plus the four shadow-fill programs.
  std::set<TZNT1GLSLShader*> Distinct(s.Items.begin(), s.Items.end());
  EXPECT_EQ(Distinct.size(), 41u);
  EXPECT_EQ(s.Count(), 41);
  EXPECT_EQ(s.MaxShadowMapCountAtOnce, 4);
  for (TZNT1GLSLShader* Fill : s.DefaultGLSLShadowFillShader) {
    ASSERT_NE(Fill, nullptr);
    EXPECT_EQ(Fill->ReferenceCounter, 2);
  }
  for (TZNT1GLSLShader* Shader : s.Items) {
    EXPECT_GE(Shader->ReferenceCounter, 1);
    EXPECT_EQ(Shader->ProgramHandle, -1);  // no OpenGL on a dedicated engine
    EXPECT_TRUE(Shader->GeometryShader.empty());
    EXPECT_EQ(Shader->OutputTriangles, 1);
    Shader->LinkCounter = 5;
  }
  Shaders->ResetLinkCounters();
  for (TZNT1GLSLShader* Shader : s.Items) EXPECT_EQ(Shader->LinkCounter, 0xFFFFFFFFu);
}

TEST_F(GLSLShaders, PreludesAndEveryBuiltInTextStartWithThem) {
  const auto Fragment = SplitLines(TZNT1GLSLShaders::FragmentPrelude());
  const auto Vertex = SplitLines(TZNT1GLSLShaders::VertexPrelude());
  ASSERT_EQ(Fragment.size(), 16u);
  ASSERT_EQ(Vertex.size(), 13u);
  EXPECT_EQ(Fragment[0], "#version 140");
  EXPECT_EQ(Fragment[2], "#extension GL_EXT_gpu_shader4 : enable");
  EXPECT_EQ(Fragment[15], "#define texture3D(a,b) texture(a,b)");
  std::vector<std::string> Expected = Fragment;
  for (const char* Dropped : {"#define textureCube(a,b) texture(a,b)", "#define textureCubeLod(a,b,c) textureLod(a,b,c)",
                              "#define texture2DOffset(a,b,c) textureOffset(a,b,c)"})
    Expected.erase(std::find(Expected.begin(), Expected.end(), Dropped));
  EXPECT_EQ(Vertex, Expected);

  auto Shaders = Library(GL_TEXTURE_R32F);
  const std::set<const TZNT1GLSLShader*> Own130 = {
      Shaders->DefaultGLSLSMAAEdgeDetectionShader, Shaders->DefaultGLSLSMAABlendingWeightCalculationShader,
      Shaders->DefaultGLSLSMAANeighborhoodBlendingShader};
  for (const TZNT1GLSLShader* Shader : Shaders->Items) {
    // FXAA 3.11 and SMAA bring their own GLSL 1.30 headers.
    const bool Fxaa3 = Shader == Shaders->DefaultGLSLFXAA3Shader;
    EXPECT_EQ(Shader->VertexShader.rfind(Own130.count(Shader) ? "#version 130\r\n" : TZNT1GLSLShaders::VertexPrelude(), 0), 0u);
    EXPECT_EQ(Shader->FragmentShader.rfind(Own130.count(Shader) || Fxaa3 ? "#version 130\r\n" : TZNT1GLSLShaders::FragmentPrelude(), 0), 0u);
    SplitLines(Shader->VertexShader);
    SplitLines(Shader->FragmentShader);
  }
  // The two quad texts differ only in statement order, which makes them two programs.
  EXPECT_NE(Shaders->DefaultGLSLBoxFilterShader->VertexShader, Shaders->DefaultGLSLCopyShader->VertexShader);
  EXPECT_EQ(Shaders->DefaultGLSLGlobalShadowCopyShader->VertexShader,
            Shaders->DefaultGLSLBoxFilterShader->VertexShader);
  EXPECT_TRUE(Has(Shaders->DefaultGLSLLightFillShader->VertexShader, "vViewRayDirection"));
  EXPECT_EQ(Shaders->DefaultGLSLShadowFillShader[0]->VertexShader, Shaders->DefaultGLSLLightFillShader->VertexShader);
}

TEST_F(GLSLShaders, BlurTextFollowsTheShadowMapFormat) {
  struct Case {
    int32_t Format;
    const char* Present;
    const char* Absent;
  };
  const Case Cases[] = {
      {GL_TEXTURE_R32F, "v += weights[k + 3] * texture2D(", "pack"},
      {GL_TEXTURE_RGBA8, "fract(vec4(1.0, 255.0, 65025.0, 16581375.0) * v)", "PACK_SCALE"},
      {GL_TEXTURE_RGB16, "#define PACK_SCALE 65535.0", "vec2 pack"},
      {GL_TEXTURE_RG16F, "#define PACK_SCALE 2048.0", "vec2 pack"},
      {GL_TEXTURE_RGBA16, "vec2 pack(float v)", "2048"},
      {GL_TEXTURE_RGBA16F, "gl_FragColor = vec4(pack(v.x), pack(v.y));", "65535"},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Format);
    const std::string Text = Library(c.Format)->DefaultGLSLBlurShader->FragmentShader;
    EXPECT_TRUE(Has(Text, c.Present));
    EXPECT_FALSE(Has(Text, c.Absent));
    EXPECT_TRUE(Has(Text, "0.015625, 0.09375, 0.234375, 0.3125, 0.234375, 0.09375, 0.015625"));
  }
}

TEST_F(GLSLShaders, ShadowFillTextsDeclareOneUniformSetPerMap) {
  auto Shaders = Library(GL_TEXTURE_R32F);
  for (int32_t Count = 1; Count <= 4; Count++) {
    SCOPED_TRACE(Count);
    const auto L = SplitLines(Shaders->DefaultGLSLShadowFillShader[Count - 1]->FragmentShader);
    ASSERT_GT(L.size(), 30u);
    EXPECT_EQ(L[16], "varying vec2 vTexCoord;");
    EXPECT_EQ(L[29], "uniform float uPenumbraScale;");
    for (int32_t i = 0; i < 4; i++) {
      const std::string n = std::to_string(i);
      const bool Declared = std::count(L.begin(), L.end(), "uniform sampler2D uShadowMapTex" + n + ";") == 1;
      EXPECT_EQ(Declared, i < Count) << i;
      if (i < Count) {
        EXPECT_EQ(L[30 + 8 * i], "uniform sampler2D uShadowMapTex" + n + ";");
        EXPECT_EQ(L[30 + 8 * i + 7], "uniform mat4 uShadowMapLightMatrix" + n + ";");
      }
    }
    EXPECT_EQ(L.back(), "}");
    EXPECT_EQ(L[L.size() - 2], "  gl_FragColor = pack(clamp(shadow, 0.0, 1.0));");
  }
}

TEST_F(GLSLShaders, ShadowFillTextFollowsTheShadowMapFormat) {
  struct Case {
    int32_t Format;
    std::vector<const char*> Present;
    std::vector<const char*> Absent;
  };
  const Case Cases[] = {
      // The default: one float, the eight rotated taps compared through unpack.
      {GL_TEXTURE_R32F,
       {"  return vec4(v);", "  return clamp(t.x, 0.0, 1.0);", "float doShadow(",
        "float s = unpack(texture2D(shadowMapTexture", "vec2 m = vec2(unpackHalf(texel.xy), unpackHalf(texel.zw));",
        "float force = sign(", "uInverseViewMatrix * vec4(view, 1.0)"},
       {"shadow = 1.0 - VSM(", "vec4 doShadow("}},
      // Two depths, four channels out unpacked, positions and normals read from the G-buffer.
      {GL_TEXTURE_RG32F,
       {"vec4 doShadow(", "vec2 m = texture2D(shadowMapTexture, smPos).xy;", "shadow.w = 1.0;",
        "  gl_FragColor = clamp(shadow, 0.0, 1.0);", "vec3 world = (texel1.rgb - vec3(0.5)) * 2.0 * uWorldSpaceRadius;",
        "float force = texel0.w;"},
       {"gl_FragColor = pack(", "shadow = 1.0 - VSM("}},
      // Variance shadow maps.
      {GL_TEXTURE_RGBA16F,
       {"shadow = 1.0 - VSM(", "1.0 / 16777216.0", "vec2(1.0, 1.0 / 2048.0)"},
       {"float s = unpack("}},
      {GL_TEXTURE_RGBA8, {"vec2(1.0, 1.0 / 255.0)", "float s = unpack("}, {"VSM(shadowMapTexture"}},
      {GL_TEXTURE_RGB16, {"shadow = 1.0 - VSM(", "vec2 m = texture2D(shadowMapTexture, smPos).xy;", "65535.0"}, {}},
      // No packing functions: the text is built but cannot compile.
      {GL_TEXTURE_RGB8, {"float doShadow("}, {"pack(float v)", "unpackHalf(vec2 h)"}},
      {GL_TEXTURE_RG8, {"float doShadow("}, {"pack(float v)", "unpack(vec4 t)"}},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Format);
    auto Shaders = Library(c.Format);
    const std::string Text = Shaders->DefaultGLSLShadowFillShader[1]->FragmentShader;
    for (const char* Part : c.Present) EXPECT_TRUE(Has(Text, Part)) << Part;
    for (const char* Part : c.Absent) EXPECT_FALSE(Has(Text, Part)) << Part;
  }
}

TEST_F(GLSLShaders, DedicatedCompileTouchesNoOpenGL) {
  auto Shaders = Library(GL_TEXTURE_R32F);
  TZNT1GLSLShader* Shader = Shaders->GetShader("", "", "", 1);
  Shader->aColor = true;
  EXPECT_TRUE(Shader->Compile(false));  // a dedicated engine answers true before looking at the texts
  EXPECT_FALSE(Shader->aColor);
  Shader->IncRef();
  Shader->Bind();
  Shader->Unbind();
  Shader->DecRef();
  EXPECT_EQ(Shader->ProgramHandle, -1);
  EXPECT_EQ(Shader->uTex0, -1);
  EXPECT_EQ(Shader->uShadowMapTexArray[3], -1);
  Shaders->Dispose();
  Shaders->Upload();
}
