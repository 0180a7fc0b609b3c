#include "material/ZNT1ShaderGenerator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gpu/ZNT1FrameBufferObject.h"
#include "support/ShaderProgramTestSupport.h"

using namespace programtest;

namespace {

// Every line of a generated text, without the CR LF ends.
std::vector<std::string> SplitLines(const std::string& Text) {
  std::vector<std::string> Lines;
  size_t From = 0;
  for (size_t At = Text.find("\r\n"); At != std::string::npos; At = Text.find("\r\n", From)) {
    Lines.push_back(Text.substr(From, At - From));
    From = At + 2;
  }
  if (From < Text.size()) Lines.push_back(Text.substr(From));
  return Lines;
}

int CountLine(const std::string& Text, const std::string& Line) {
  int n = 0;
  for (const std::string& l : SplitLines(Text)) n += l == Line;
  return n;
}

bool HasLine(const std::string& Text, const std::string& Line) { return CountLine(Text, Line) > 0; }

// Position of the first line equal to Line (or starting with it when Prefix), -1 when absent.
int LineIndex(const std::vector<std::string>& Lines, const std::string& Line, bool Prefix = false) {
  for (size_t i = 0; i < Lines.size(); i++)
    if (Prefix ? Lines[i].rfind(Line, 0) == 0 : Lines[i] == Line) return int(i);
  return -1;
}

bool IdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

bool HasIdentifier(const std::string& Text, const std::string& Name) {
  for (size_t At = Text.find(Name); At != std::string::npos; At = Text.find(Name, At + 1)) {
    const size_t End = At + Name.size();
    if ((At == 0 || !IdentChar(Text[At - 1])) && (End >= Text.size() || !IdentChar(Text[End]))) return true;
  }
  return false;
}

class ShaderGenerator : public ::testing::Test {
 protected:
  TZNT1GeneratedShaderText Compose(TZNT1Shader& Shader, int32_t Kind, int32_t Stage = 0, bool Clip = false,
                                   bool Fog = false, bool Interp = false) {
    return ComposeShader(&Shader, Kind, Stage, Clip, Fog, Interp, 1);
  }
  // Both capabilities that the geometry-shader kinds need, forced on.
  void ForceGeometryShaders() {
    E.Caps().GeometryShader = true;
    E.Caps().UseSinglePassShadowCubeMaps = true;
  }

  TGeneratorEngine E;
  TZNT1Engine& Engine = E.Engine;
};

const uint32_t Opaque = GLS_DEPTHMASK_TRUE;
const uint32_t Add = GLS_SRCBLEND_ONE | GLS_DSTBLEND_ONE;
const uint32_t Filter = GLS_SRCBLEND_ZERO | GLS_DSTBLEND_SRC_COLOR;

}  // namespace

TEST(ShaderGeneratorBlocks, DeclarationListRefusesEqualLinesAndCountsVectors) {
  TZNT1DeclarationList l;
  const struct {
    const char* Line;
    bool Added;
    int32_t Count;
  } steps[] = {
      {"uniform mat4 uModelMatrix;", true, 4},      {"uniform mat4 uModelMatrix;", false, 4},
      {"UNIFORM MAT4 UMODELMATRIX;", false, 4},     {"uniform mat3 uModelNormalMatrix;", true, 7},
      {"uniform mat4 uCubeMapMatrices[6];", true, 11},  // an array of matrices counts as one
      {"uniform vec4 uClipPlane;", true, 12},       {"varying vec2 vTexCoord0;", true, 13},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(l.Add(s.Line), s.Added) << s.Line;
    EXPECT_EQ(l.Count, s.Count) << s.Line;
  }
  EXPECT_EQ(l.Lines.size(), 5u);
}

TEST(ShaderGeneratorBlocks, WaveformCode) {
  auto Wave = [](int32_t Code, float Base, float Amp, float Phase, float Freq) {
    TZNT1ShaderWaveform w;
    w.Waveform = Code;
    w.Base = Base;
    w.Amplitude = Amp;
    w.Phase = Phase;
    w.Frequency = Freq;
    return w;
  };
  const std::string First = "  float w=(0.10000000149011612+o)+(uTime*2.0);", Last = "  w=0.5+(w*0.25);";
  const struct {
    int32_t Code;
    std::vector<std::string> Lines;
  } cases[] = {
      {GF_SQUARE, {First, "  w=(mod(floor(w*2.0)+1.0,2.0)*2.0)-1.0;", Last}},
      {GF_TRIANGLE, {First, "  w=abs(2.0*fract(w)-1.0);", Last}},
      {GF_SAWTOOTH, {First, "  w=fract(w);", Last}},
      {GF_INVERSESAWTOOTH, {First, "  w=1.0-fract(w);", Last}},
      {GF_NOISE,
       {First, "  w=mod(sin(dot(vec2((uTime+w)-7.0,(uTime-w)+13.0),vec2(12.9898,78.233)))*43758.5453,1.0);", Last}},
      {GF_SIN, {"  float w=0.5+(sin(((0.10000000149011612+o)+(uTime*2.0))*6.283185307179586)*0.25);"}},
      {GF_NONE, {"  float w=0.0;"}},
      {7, {"  float w=0.0;"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(WaveformCode("w", "+o", Wave(c.Code, 0.5f, 0.25f, 0.1f, 2.0f), "uTime"), c.Lines) << c.Code;
  EXPECT_EQ(WaveformCode("w", "", Wave(GF_SIN, 0, 1, 0, 1), "uTime"),
            std::vector<std::string>{"  float w=0.0+(sin(((0.0)+(uTime*1.0))*6.283185307179586)*1.0);"});
}

TEST(ShaderGeneratorBlocks, RenameIdentifierTouchesWholeNamesOnly) {
  const struct {
    const char* In;
    const char* Out;
  } cases[] = {
      {"vNormal=vNormalViewSpace*vNormal;", "vNormalIn=vNormalViewSpace*vNormalIn;"},
      {"varying vec3 vNormal;", "varying vec3 vNormalIn;"},
      {"xvNormal vNormal2 vNormal_ vNormal.xyz", "xvNormal vNormal2 vNormal_ vNormalIn.xyz"},
      {"vNormal", "vNormalIn"},
      {"", ""},
  };
  for (const auto& c : cases) {
    std::string s = c.In;
    RenameIdentifier(s, "vNormal", "In");
    EXPECT_EQ(s, c.Out);
  }
}

TEST_F(ShaderGenerator, GeometryFillWithoutMapsAndItsTwoTargetLayouts) {
  auto M = MakeMaterial(Engine, {{Opaque}});
  auto t = Compose(*M, zstGEOMETRYFILLSINGLEPASS);
  ASSERT_EQ(t.Refusal, "");
  EXPECT_TRUE(HasLine(t.FragmentShader, "  vec3 normal=vNormal.xyz;"));
  EXPECT_TRUE(HasLine(t.FragmentShader, "  float specularPower=uSpecularPower;"));
  EXPECT_EQ(t.FragmentShader.find("sampler"), std::string::npos);
  EXPECT_TRUE(HasLine(t.FragmentShader, "  float spkt=(((specularPower/256.0)*uForce)*0.5)+0.5;"));
  EXPECT_FALSE(HasLine(t.FragmentShader, "  gl_FragData[2]=vec4(((vProjectionSpacePosition.z/"
                                         "vProjectionSpacePosition.w)*0.5)+0.5,clamp(length(vViewSpacePosition)/"
                                         "uClippingDistances.y,0.0,1.0),0.0,0.0);"));
  E.Caps().ShadowMapTextureFormat = GL_TEXTURE_RG32F;
  t = Compose(*M, zstGEOMETRYFILLSINGLEPASS);
  EXPECT_TRUE(HasLine(t.FragmentShader, "  gl_FragData[2]=vec4(((vProjectionSpacePosition.z/"
                                        "vProjectionSpacePosition.w)*0.5)+0.5,clamp(length(vViewSpacePosition)/"
                                        "uClippingDistances.y,0.0,1.0),0.0,0.0);"));
  EXPECT_EQ(t.FragmentShader.find("spkt"), std::string::npos);
}

TEST_F(ShaderGenerator, ShadowFillsByFormat) {
  auto M = MakeMaterial(Engine, {{Opaque}});
  const std::string Pack = "  gl_FragColor=vec4(pack(depth));";
  const std::string Moments = "  gl_FragColor=vec4(depth,(depth*depth)+(0.25*((dx*dx)+(dy*dy))),0.0,0.0);";
  const std::string HalfMoments =
      "  gl_FragColor=vec4(packHalf(depth),packHalf((depth*depth)+(0.25*((dx*dx)+(dy*dy)))));";
  const std::string Bits8 = "  vec4 c=fract(vec4(1.0,255.0,65025.0,16581375.0)*v);";
  const std::string Bits16 = "  vec2 c=fract(vec2(1.0,65535.0)*v);";
  const std::string Half = "  vec2 c=fract(vec2(1.0,2048.0)*v);";
  const std::string Clamp = "  return vec4(clamp(v,0.0,1.0),vec3(0.0));";
  const struct {
    int32_t Format;
    std::string Output, PackForm;  // PackForm empty: no packing functions
  } cases[] = {
      {GL_TEXTURE_RGBA8, Pack, Bits8},         {GL_TEXTURE_RGBA16, HalfMoments, Bits16},
      {GL_TEXTURE_RGBA16F, HalfMoments, Half}, {GL_TEXTURE_RGBA32F, Moments, Clamp},
      {GL_TEXTURE_RGB16, Moments, Bits16},     {GL_TEXTURE_RG16F, Moments, Half},
      {GL_TEXTURE_RG32F, "  gl_FragColor=vec4(depth);", Clamp},
      {GL_TEXTURE_R32F, Pack, Clamp},          {GL_TEXTURE_NONE, Pack, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Format);
    E.Caps().ShadowMapTextureFormat = c.Format;
    const auto t = Compose(*M, zstSHADOWMAPFILLSINGLEPASS);
    EXPECT_TRUE(HasLine(t.FragmentShader, c.Output));
    if (c.PackForm.empty())
      EXPECT_FALSE(HasLine(t.FragmentShader, "vec4 pack(float v){"));
    else
      EXPECT_TRUE(HasLine(t.FragmentShader, c.PackForm));
    // No alpha test: no stage code and no sampler.
    EXPECT_EQ(t.FragmentShader.find("sampler"), std::string::npos);
    EXPECT_EQ(t.FragmentShader.find("srcColor"), std::string::npos);
    // Cube fills always pack into 8-bit channels.
    const auto Cube = Compose(*M, zstSHADOWCUBEMAPFILLSINGLEPASS);
    EXPECT_TRUE(HasLine(Cube.FragmentShader, Bits8));
    EXPECT_TRUE(HasLine(Cube.FragmentShader, "  float depth=clamp(abs(distance(uShadowMapLightPosition0,"
                                             "vWorldSpacePosition))*uShadowMapLightInvRadius0,0.0,1.0);"));
  }
}

TEST_F(ShaderGenerator, SinglePassNeedsTwoStagesAndTheTextureUnits) {
  auto One = MakeMaterial(Engine, {{Opaque}});
  EXPECT_NE(Compose(*One, zstSINGLEPASS).Refusal, "");
  EXPECT_EQ(Compose(*One, zstMULTIPASS).Refusal, "");
  auto Three = MakeMaterial(Engine, {{Opaque}, {Filter}, {Add}});
  EXPECT_EQ(Compose(*Three, zstSINGLEPASS).Refusal, "");
  E.Caps().MaxTextureUnits = 2;
  const auto t = Compose(*Three, zstSINGLEPASS);
  EXPECT_EQ(t.TexUnits, 3);
  EXPECT_EQ(t.Refusal, "too many texture units");
}

TEST_F(ShaderGenerator, StagesComputingTheSameCoordinatesOrColourShareOneVarying) {
  auto M = MakeMaterial(Engine, {{Opaque, TCGEN_TEXTURE, CGEN_VERTEX}, {Filter, TCGEN_TEXTURE, CGEN_VERTEX}});
  auto t = Compose(*M, zstSINGLEPASS);
  EXPECT_TRUE(HasLine(t.FragmentShader, "  srcColor=texture2D(uTex1,vTexCoord0);"));
  EXPECT_EQ(CountLine(t.FragmentShader, "  srcColor*=vColor0;"), 2);
  EXPECT_EQ(t.VertexShader.find("vTexCoord1"), std::string::npos);
  EXPECT_EQ(t.VertexShader.find("vColor1"), std::string::npos);
  EXPECT_EQ(CountLine(t.VertexShader, "  vColor0=aColor;"), 1);
  // A difference in an unused modifier slot is a difference.
  M->GetStage(1)->TexMods[3].Scale.x = 2.0f;
  t = Compose(*M, zstSINGLEPASS);
  EXPECT_TRUE(HasLine(t.FragmentShader, "  srcColor=texture2D(uTex1,vTexCoord1);"));
  EXPECT_TRUE(HasLine(t.VertexShader, "varying vec2 vTexCoord1;"));
}

TEST_F(ShaderGenerator, InterpolatedVerticesDeclareEveryAttributeTwice) {
  auto M = MakeMaterial(Engine, {{Opaque, TCGEN_TEXTURE, CGEN_VERTEX}, {Filter, TCGEN_LIGHTMAP}});
  M->GetStage(0)->NormalMap = &E.SideTexture;
  M->HasAutoSpriteDeformation = true;
  const auto t = Compose(*M, zstSINGLEPASS, 0, false, false, true);
  ASSERT_EQ(t.Attributes.size(), 14u);
  for (size_t i = 0; i < t.Attributes.size(); i += 2) {
    const std::string& a = t.Attributes[i];
    EXPECT_EQ(t.Attributes[i + 1], a.substr(0, a.size() - 1) + "2;");
  }
  EXPECT_TRUE(HasLine(t.VertexShader, "uniform float uInterpolation;"));
  const auto Plain = Compose(*M, zstSINGLEPASS);
  EXPECT_EQ(Plain.Attributes.size(), 7u);
  EXPECT_FALSE(HasLine(Plain.VertexShader, "uniform float uInterpolation;"));
}

TEST_F(ShaderGenerator, WireframeNeedsGeometryShadersAndRenamesItsVaryings) {
  auto M = MakeMaterial(Engine, {{Opaque}});
  EXPECT_EQ(Compose(*M, zstWIREFRAME).Refusal, "no geometry shaders");
  E.Caps().UseSinglePassShadowCubeMaps = true;  // layered cube fills need the geometry stage too
  EXPECT_EQ(Compose(*M, zstSHADOWCUBEMAPFILLSINGLEPASS).Refusal, "no geometry shaders");
  EXPECT_EQ(Compose(*M, zstSHADOWCUBEMAPFILLMULTIPASS).Refusal, "no geometry shaders");
  ForceGeometryShaders();
  const auto t = Compose(*M, zstWIREFRAME);
  ASSERT_EQ(t.Refusal, "");
  EXPECT_EQ(t.OutputTriangles, 1);
  EXPECT_TRUE(HasLine(t.GeometryShader, "varying in vec3 vBarycentricIn[3];"));
  EXPECT_TRUE(HasLine(t.GeometryShader, "varying out vec3 vBarycentricOut;"));
  EXPECT_TRUE(HasLine(t.GeometryShader,
                      "    vBarycentricOut=vec3(((i%3)==0)?1.0:0.0,((i%3)==1)?1.0:0.0,((i%3)==2)?1.0:0.0);"));
  EXPECT_TRUE(HasLine(t.VertexShader, "varying vec3 vBarycentricIn;"));
  EXPECT_TRUE(HasLine(t.VertexShader, "  vBarycentricIn=vec3(0.0);"));
  EXPECT_TRUE(HasLine(t.FragmentShader, "varying vec3 vBarycentricOut;"));
  EXPECT_TRUE(HasLine(t.FragmentShader, "  vec3 t=smoothstep(vec3(0.0),fwidth(vBarycentricOut)*1.5,vBarycentricOut);"));
  EXPECT_EQ(t.GeometryShader.rfind("#version 140\r\n#extension GL_ARB_geometry_shader4 : enable\r\n", 0), 0u);
}

TEST_F(ShaderGenerator, IdenticalRequestsShareOneProgramObject) {
  auto A = MakeMaterial(Engine, {{Opaque}, {Filter}}, "a");
  auto B = MakeMaterial(Engine, {{Opaque}, {Filter}}, "b");
  const int32_t Before = Engine.GLSLShaders->Count();
  TZNT1GLSLShader* p = GenerateShader(A.get(), zstSINGLEPASS, 0, false, false, false, 1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(GenerateShader(A.get(), zstSINGLEPASS, 0, false, false, false, 1), p);
  EXPECT_EQ(GenerateShader(B.get(), zstSINGLEPASS, 0, false, false, false, 1), p);
  EXPECT_NE(GenerateShader(B.get(), zstSINGLEPASS, 0, true, false, false, 1), p);
  EXPECT_EQ(Engine.GLSLShaders->Count(), Before + 2);
  EXPECT_EQ(GenerateShader(A.get(), zstWIREFRAME, 0, false, false, false, 1), nullptr);
}

TEST_F(ShaderGenerator, VertexCodeCases) {
  {  // environment mapping with interpolation: the mixed position, uViewOrigin once
    auto M = MakeMaterial(Engine, {{Opaque, TCGEN_ENVIRONMENT_MAPPED}, {Add, TCGEN_ENVIRONMENT_MAPPED}});
    M->GetStage(1)->NumTexMods = 1;
    M->GetStage(1)->TexMods[0].TexMod = TMOD_SCALE;
    const auto t = Compose(*M, zstSINGLEPASS, 0, false, false, true);
    EXPECT_EQ(CountLine(t.VertexShader, "uniform vec3 uViewOrigin;"), 1);
    EXPECT_TRUE(HasLine(t.VertexShader, "  vTexCoord1=vec2(0.5,0.5)-(reflect(normalize(uViewOrigin-mix(aPosition.xyz,"
                                        "aPosition2.xyz,uInterpolation)),vNormal).yz*vec2(0.5,-0.5));"));
  }
  {  // wave deformation: time, normals, and the move before the model matrix
    auto M = MakeMaterial(Engine, {{Opaque}});
    M->NumDeformations = 1;
    M->Deformation[0].Deformation = DEFORM_WAVE;
    M->Deformation[0].DeformationWave.Waveform = GF_SIN;
    const auto t = Compose(*M, zstMULTIPASS);
    const auto Lines = SplitLines(t.VertexShader);
    EXPECT_TRUE(HasLine(t.VertexShader, "uniform float uTime;"));
    EXPECT_TRUE(HasLine(t.VertexShader, "attribute vec3 aNormal;"));
    const int Move = LineIndex(Lines, "  vPosition+=vNormal*deform0;");
    ASSERT_GE(Move, 0);
    EXPECT_LT(Move, LineIndex(Lines, "  vPosition=(uModelMatrix*vec4(vPosition,1.0)).xyz;"));
  }
  {  // a bulge needs texture coordinates even when no stage does
    auto M = MakeMaterial(Engine, {{Opaque, TCGEN_LIGHTMAP, CGEN_IDENTITY, AGEN_IDENTITY, true}});
    M->NumDeformations = 1;
    M->Deformation[0].Deformation = DEFORM_BULGE;
    EXPECT_TRUE(HasLine(Compose(*M, zstMULTIPASS).VertexShader, "attribute vec2 aTexCoord;"));
  }
  {  // rotate speed in degrees, numbers widened from single, portal range
    auto M = MakeMaterial(Engine, {{Opaque, TCGEN_TEXTURE, CGEN_IDENTITY, AGEN_PORTAL}});
    auto& s = *M->GetStage(0);
    s.NumTexMods = 2;
    s.TexMods[0].TexMod = TMOD_ROTATE;
    s.TexMods[0].RotateSpeed = 90.0f;
    s.TexMods[1].TexMod = TMOD_SCALE;
    s.TexMods[1].Scale.x = 0.1f;
    s.TexMods[1].Scale.y = 2.0f;
    const auto t = Compose(*M, zstMULTIPASS);
    EXPECT_TRUE(HasLine(t.VertexShader, "  float stage0rotate0=1.5707963267948966*uTime;"));
    EXPECT_TRUE(HasLine(t.VertexShader, "  vTexCoord0*=vec2(0.10000000149011612,2.0);"));
    EXPECT_TRUE(HasLine(t.VertexShader, "  vColor0.w=clamp(length(aPosition.xyz-uViewOrigin)*0.00390625,0.0,1.0);"));
  }
}

TEST_F(ShaderGenerator, DiffuseLightingPerVertexOnLowQualityPerPixelOtherwise) {
  auto M = MakeMaterial(Engine, {{Opaque, TCGEN_TEXTURE, CGEN_LIGHTING_DIFFUSE}, {Filter, TCGEN_LIGHTMAP}});
  for (bool Low : {true, false}) {
    SCOPED_TRACE(Low);
    E.Caps().LowQuality = Low;
    const auto t = Compose(*M, zstMULTIPASS);
    EXPECT_EQ(HasLine(t.VertexShader, "  lightGridProcess(vWorldSpacePosition.xyz,lightAmbient0,lightDirected0,"
                                      "lightDirection0);"),
              Low);
    EXPECT_EQ(HasLine(t.VertexShader, "  vColor0=vec4(1.0,1.0,1.0,1.0);"), !Low);
    EXPECT_EQ(HasLine(t.FragmentShader, "  color*=perPixelLighting(specularColor);"), !Low);
    // The specular sum is written only for a stage lit per pixel.
    EXPECT_EQ(HasLine(t.FragmentShader, "  gl_FragColor=vec4(clamp(color.xyz+specularColor.xyz,0.0,1.0),color.w);"),
              !Low);
  }
}

// Two lit stages share one colour varying; both are lit per pixel (160 content materials, armour
// among them, have two lit stages).
TEST_F(ShaderGenerator, StagesSharingALitColourAreBothLitPerPixel) {
  E.Caps().LowQuality = false;
  auto M = MakeMaterial(Engine, {{Opaque, TCGEN_TEXTURE, CGEN_LIGHTING_DIFFUSE},
                                 {Add, TCGEN_ENVIRONMENT_MAPPED, CGEN_LIGHTING_DIFFUSE}});
  const auto t = Compose(*M, zstSINGLEPASS);
  ASSERT_EQ(t.Refusal, "");
  EXPECT_EQ(t.VertexShader.find("vColor1"), std::string::npos);
  EXPECT_EQ(CountLine(t.FragmentShader, "  srcColor*=perPixelLighting(specularColor);"), 2);
  EXPECT_EQ(CountLine(t.FragmentShader, "  dstColor.xyz=clamp(dstColor.xyz+specularColor.xyz,0.0,1.0);"), 2);
}

TEST_F(ShaderGenerator, ReliefMappingSearchesTenSlicesAndRefinesFourTimes) {
  auto M = MakeMaterial(Engine, {{Opaque}, {Filter, TCGEN_LIGHTMAP}});
  M->GetStage(0)->NormalMap = &E.SideTexture;
  M->OffsetMappingMode = zsommRELIEF;
  const auto t = Compose(*M, zstSINGLEPASS);
  ASSERT_EQ(t.Refusal, "");
  EXPECT_EQ(CountLine(t.FragmentShader,
                      "  offsetBest+=offsetVector*step(textureGrad(normalMap,offsetBest.xy,dPdx,dPdy).w,offsetBest.z);"),
            10);
  for (const char* f : {"1.0)-0.5", "0.5)-0.25", "0.25)-0.125", "0.125)-0.0625"})
    EXPECT_TRUE(HasLine(t.FragmentShader, std::string("  offsetBest+=offsetVector*((step(textureGrad(normalMap,"
                                                      "offsetBest.xy,dPdx,dPdy).w,offsetBest.z)*") +
                                              f + ");"))
        << f;
  EXPECT_TRUE(HasLine(t.FragmentShader, "  srcColor=textureGrad(uTex0,oTexCoord0,oTexCoordDX,oTexCoordDY);"));
  EXPECT_TRUE(HasLine(t.FragmentShader, "  vec2 offsetMappedCoord=oTexCoord0;"));
  const struct {
    int32_t Mode;
    int Steps;
  } modes[] = {{zsommSINGLE, 1}, {zsommDEFAULT, 2}, {zsommLINEAR, 2}, {zsommOFF, 0}};
  for (const auto& m : modes) {
    M->OffsetMappingMode = m.Mode;
    const auto s = Compose(*M, zstSINGLEPASS);
    EXPECT_EQ(CountLine(s.FragmentShader,
                        "\tTexCoord.xy+=offsetVector.xy*(1.0-textureGrad(normalMap,TexCoord.xy,dPdx,dPdy).w);"),
              m.Steps)
        << m.Mode;
  }
}

TEST_F(ShaderGenerator, MultiPassAlphaTestsAndUntexturedCoordinates) {
  const struct {
    uint32_t Bits;
    const char* Test;
  } cases[] = {{GLS_ATEST_GE_80, "  if(color.w<0.5){"},
               {GLS_ATEST_GT_0, "  if(color.w==0.0){"},
               {GLS_ATEST_LT_80, "  if(color.w>=0.5){"}};
  for (const auto& c : cases) {
    auto M = MakeMaterial(Engine, {{Opaque | c.Bits, TCGEN_IDENTITY}});
    const auto Lines = SplitLines(Compose(*M, zstMULTIPASS).FragmentShader);
    const int At = LineIndex(Lines, c.Test);
    ASSERT_GE(At, 0) << c.Test;
    EXPECT_EQ(Lines[size_t(At + 1)], "    discard;");
    EXPECT_GE(LineIndex(Lines, "  vec4 color=texture2D(uTex0,vec2(0.0,0.0));"), 0);
  }
}

TEST_F(ShaderGenerator, ClipPlaneTestOpensMainInEveryKind) {
  ForceGeometryShaders();
  auto M = MakeMaterial(Engine, {{Opaque | GLS_ATEST_GE_80}, {Filter}});
  for (int32_t Kind = zstSINGLEPASS; Kind <= zstWIREFRAME; Kind++) {
    if (Kind == zstDLIGHT) continue;
    SCOPED_TRACE(Kind);
    const auto t = Compose(*M, Kind, 0, true);
    if (Kind == zstSINGLEPASS) {  // an alpha-tested first stage cannot go in one pass
      EXPECT_EQ(t.Refusal, "blending not expressible in one pass");
      continue;
    }
    ASSERT_EQ(t.Refusal, "");
    const auto Lines = SplitLines(t.FragmentShader);
    const int Main = LineIndex(Lines, "void main(){");
    ASSERT_GE(Main, 0);
    EXPECT_EQ(Lines[size_t(Main + 1)].rfind("  if((dot(vViewSpacePosition", 0), 0u) << Lines[size_t(Main + 1)];
  }
}

TEST_F(ShaderGenerator, SinglePassBlendRoutes) {
  const struct {
    std::vector<uint32_t> Stages;
    const char* Output;
    uint32_t Blend;  // low 8 bits of SinglePassStateBits
  } cases[] = {
      {{Opaque, GLS_SRCBLEND_DST_COLOR | GLS_DSTBLEND_ZERO}, "  gl_FragColor=dstColor;", 0},
      {{Add, Add}, "  gl_FragColor=vec4(dstColorAdd.xyz,dot(dstColorMult.xyz,vec3(0.3333333333333333)));", 0x52},
      {{Filter, Filter}, "  gl_FragColor=vec4(dstColorMult.xyz,c.y);", 0x13},
      {{GLS_SRCBLEND_SRC_ALPHA | GLS_DSTBLEND_ZERO, Add}, "  gl_FragColor=vec4(dstColorAdd.xyz,c.y);", 0},
  };
  for (const auto& c : cases) {
    auto M = MakeMaterial(Engine, {});
    for (uint32_t Bits : c.Stages) {
      auto* s = new TZNT1ShaderStage(M.get());
      s->StateBits = Bits;
      s->TexCoordGen = TCGEN_TEXTURE;
      s->RGBGen = CGEN_IDENTITY;
      M->StateBits |= Bits;
      M->Add(s);
    }
    SCOPED_TRACE(c.Output);
    const auto t = Compose(*M, zstSINGLEPASS);
    ASSERT_EQ(t.Refusal, "");
    EXPECT_TRUE(HasLine(t.FragmentShader, c.Output));
    EXPECT_EQ(M->SinglePassStateBits & 0xFF, c.Blend);
    EXPECT_EQ(M->SinglePassStateBits & ~0xFFu, c.Stages[0] & ~0xFFu);
    if (c.Blend == 0 && c.Stages[0] == Opaque) {
      EXPECT_EQ(CountLine(t.FragmentShader, "  dstColor=clamp((srcColor*src)+(dstColor*dst),0.0,1.0);"), 2);
    }
  }
}

TEST_F(ShaderGenerator, SinglePassRefusals) {
  const std::vector<uint32_t> cases[] = {
      {Opaque | GLS_ATEST_GE_80, Filter},                            // alpha-tested first stage
      {Add, GLS_SRCBLEND_DST_ALPHA | GLS_DSTBLEND_ZERO},             // screen alpha as source
      {Add, GLS_SRCBLEND_ONE | GLS_DSTBLEND_ONE_MINUS_DST_ALPHA},    // screen alpha as destination
      {Add, GLS_SRCBLEND_DST_COLOR | GLS_DSTBLEND_ONE},              // screen colour as source
      {Add, GLS_SRCBLEND_ALPHA_SATURATE | GLS_DSTBLEND_ONE},
  };
  for (const auto& Stages : cases) {
    auto M = MakeMaterial(Engine, {{Stages[0]}, {Stages[1]}});
    M->SinglePassStateBits = 0xDEAD0000u;
    EXPECT_EQ(Compose(*M, zstSINGLEPASS).Refusal, "blending not expressible in one pass") << Stages[1];
    EXPECT_NE(M->SinglePassStateBits, 0xDEAD0000u);  // written even when refused
  }
}

TEST_F(ShaderGenerator, LaterAlphaTestSkipsOnlyItsOwnStage) {
  auto N = MakeMaterial(Engine, {{Add}, {Add | GLS_ATEST_GT_0}, {Filter}});
  const auto u = Compose(*N, zstSINGLEPASS);
  ASSERT_EQ(u.Refusal, "");
  const auto Lines = SplitLines(u.FragmentShader);
  const int Open = LineIndex(Lines, "  if(srcColor.w>0.0){");
  ASSERT_GE(Open, 0);
  EXPECT_EQ(Lines[size_t(Open - 1)], "  srcColor=texture2D(uTex1,vTexCoord0);");
  const int Third = LineIndex(Lines, "  srcColor=texture2D(uTex2,vTexCoord0);");
  ASSERT_GT(Third, Open);
  EXPECT_EQ(Lines[size_t(Third - 1)], "  }");
  EXPECT_EQ(LineIndex(Lines, "    discard;"), -1);
}

TEST_F(ShaderGenerator, GrateFillsDiscardWhatTheAlphaTestRejects) {
  auto M = MakeMaterial(Engine, {{Opaque | GLS_ATEST_GE_80}, {Filter | GLS_DEPTHFUNC_EQUAL, TCGEN_LIGHTMAP,
                                                              CGEN_IDENTITY, AGEN_IDENTITY, true}});
  EXPECT_NE(Compose(*M, zstSINGLEPASS).Refusal, "");
  const auto Single = SplitLines(Compose(*M, zstSHADOWMAPFILLSINGLEPASS).FragmentShader);
  const int Open = LineIndex(Single, "  if(srcColor.w>=0.5){");
  ASSERT_GE(Open, 0);
  EXPECT_EQ(Single[size_t(Open - 1)], "  srcColor=texture2D(uTex0,vTexCoord0);");
  EXPECT_EQ(Single[size_t(Open + 1)], "  }else{");
  EXPECT_EQ(Single[size_t(Open + 2)], "    discard;");
  const auto Multi = SplitLines(Compose(*M, zstSHADOWMAPFILLMULTIPASS, 0).FragmentShader);
  const int Test = LineIndex(Multi, "  if(srcColor.w<0.5){");
  ASSERT_GE(Test, 0);
  EXPECT_EQ(Multi[size_t(Test + 1)], "    discard;");
  // The light-map stage has no alpha test: its multi-pass fill is the plain fill.
  EXPECT_EQ(Compose(*M, zstSHADOWMAPFILLMULTIPASS, 1).FragmentShader.find("srcColor"), std::string::npos);
}

TEST_F(ShaderGenerator, MultiPassWithoutNormalOrSpecularMapVisitsOnlyItsStage) {
  auto M = MakeMaterial(Engine, {{Opaque, TCGEN_TEXTURE, CGEN_VERTEX}, {Filter, TCGEN_ENVIRONMENT_MAPPED}});
  for (int32_t s = 0; s < 2; s++) {
    const auto t = Compose(*M, zstMULTIPASS, s);
    ASSERT_EQ(t.Refusal, "");
    EXPECT_EQ(M->NormalMapShaderStageIndex, -1);
    EXPECT_EQ(M->SpecularMapShaderStageIndex, -1);
    EXPECT_TRUE(HasLine(t.FragmentShader, "uniform sampler2D uTex" + std::to_string(s) + ";"));
    EXPECT_EQ(t.FragmentShader.find("uTex" + std::to_string(1 - s)), std::string::npos);
    EXPECT_EQ(M->GetStage(s)->SingleTextureShaderStageIndex, s);
  }
  EXPECT_EQ(Compose(*M, zstMULTIPASS, 2).Refusal, "no such stage");
  EXPECT_EQ(Compose(*M, zstMULTIPASS, -1).Refusal, "no such stage");
  EXPECT_EQ(GenerateShader(M.get(), zstMULTIPASS, 5, false, false, false, 1), nullptr);
  EXPECT_EQ(GenerateShader(nullptr, zstSINGLEPASS, 0, false, false, false, 1), nullptr);
}

TEST_F(ShaderGenerator, NormalMappedMultiPassReadsTheMapStage) {
  auto M = MakeMaterial(Engine, {{Opaque, TCGEN_LIGHTMAP, CGEN_IDENTITY, AGEN_IDENTITY, true}, {Filter}});
  M->GetStage(1)->NormalMap = &E.SideTexture;
  M->GetStage(1)->SpecularMap = &E.SideTexture;
  M->OffsetMappingMode = zsommOFF;
  const auto t = Compose(*M, zstMULTIPASS, 0);
  ASSERT_EQ(t.Refusal, "");
  EXPECT_EQ(M->NormalMapShaderStageIndex, 1);
  EXPECT_EQ(M->NormalMapShaderStage, M->GetStage(1));
  EXPECT_EQ(M->SpecularMapShaderStageIndex, 1);
  EXPECT_TRUE(HasLine(t.VertexShader, "  vTexCoord1=aTexCoord;"));
  EXPECT_TRUE(HasLine(t.FragmentShader, "uniform sampler2D uNormalMapTex1;"));
  EXPECT_TRUE(HasLine(t.FragmentShader, "uniform sampler2D uSpecularMapTex1;"));
}

// A program samples a side map at coordinates it computes itself: the geometry fill of an
// alpha-tested stage computes those of the (untested) normal-map stage, and offset mapping
// without a stage that reads the model's coordinates moves nothing.
TEST_F(ShaderGenerator, SideMapsOfStagesTheProgramReadsForNothingElse) {
  for (int32_t Gen : {TCGEN_TEXTURE, TCGEN_ENVIRONMENT_MAPPED}) {
    auto M = MakeMaterial(Engine, {{Opaque | GLS_ATEST_GE_80}, {Filter, Gen}});
    for (TZNT1ShaderStage* s : M->Stages) s->NormalMap = &E.SideTexture;
    const std::string k = Gen == TCGEN_TEXTURE ? "0" : "1";  // the second stage's own varying when they differ
    for (int32_t Kind : {zstGEOMETRYFILLSINGLEPASS, zstGEOMETRYFILLMULTIPASS}) {
      const auto t = Compose(*M, Kind, 0);
      ASSERT_EQ(t.Refusal, "");
      EXPECT_TRUE(HasLine(t.FragmentShader, "  vec3 normal=normalize((texture2D(uNormalMapTex1,vTexCoord" + k +
                                                ").xyz-vec3(0.5))*vTangentToWorldMatrix);"))
          << Kind;
      EXPECT_TRUE(HasLine(t.VertexShader, "varying vec2 vTexCoord" + k + ";")) << Kind;
      EXPECT_EQ(HasIdentifier(t.VertexShader, "vTexCoord1"), Gen != TCGEN_TEXTURE) << Kind;
    }
  }

  auto Env = MakeMaterial(Engine, {{Opaque, TCGEN_ENVIRONMENT_MAPPED}, {Add, TCGEN_ENVIRONMENT_MAPPED}});
  Env->GetStage(0)->NormalMap = &E.SideTexture;
  ASSERT_EQ(Env->OffsetMappingMode, zsommDEFAULT);
  for (int32_t Kind : {zstSINGLEPASS, zstMULTIPASS}) {
    const auto t = Compose(*Env, Kind);
    ASSERT_EQ(t.Refusal, "");
    EXPECT_FALSE(HasIdentifier(t.VertexShader, "aTexCoord")) << Kind;
    EXPECT_FALSE(HasIdentifier(t.FragmentShader, "oTexCoord")) << Kind;
  }
  // A stage that does read them keeps its offset mapping.
  Env->GetStage(1)->TexCoordGen = TCGEN_TEXTURE;
  EXPECT_TRUE(HasIdentifier(Compose(*Env, zstSINGLEPASS).FragmentShader, "oTexCoord"));
}

// Geometry kinds, with both capabilities forced on: every varying goes through the geometry
// stage as nameIn[3] and nameOut, and no name is left alone or renamed twice elsewhere.
TEST_F(ShaderGenerator, GeometryKindsRenameEveryVaryingOnce) {
  ForceGeometryShaders();
  E.Caps().LowQuality = false;
  // A lit, normal-mapped, alpha-tested stage declares both vNormal and vNormalViewSpace.
  auto M = MakeMaterial(Engine, {{Opaque | GLS_ATEST_GE_80, TCGEN_TEXTURE, CGEN_LIGHTING_DIFFUSE}, {Filter}});
  M->GetStage(0)->NormalMap = &E.SideTexture;
  bool SawBoth = false;
  for (int32_t Kind : {zstWIREFRAME, zstSHADOWCUBEMAPFILLSINGLEPASS, zstSHADOWCUBEMAPFILLMULTIPASS}) {
    for (bool Interp : {false, true}) {
      SCOPED_TRACE(Kind);
      const auto t = Compose(*M, Kind, 0, true, false, Interp);
      ASSERT_EQ(t.Refusal, "");
      EXPECT_EQ(t.OutputTriangles, Kind == zstWIREFRAME ? 1 : 6);
      bool Normal = false, NormalViewSpace = false;
      for (const std::string& v : t.Varyings) {
        const size_t End = v.find_first_of(";[");
        const std::string Name = v.substr(v.rfind(' ', End) + 1, End - v.rfind(' ', End) - 1);
        Normal |= Name == "vNormal";
        NormalViewSpace |= Name == "vNormalViewSpace";
        EXPECT_NE(t.GeometryShader.find(" " + Name + "In[3]"), std::string::npos) << Name;
        EXPECT_TRUE(HasIdentifier(t.GeometryShader, Name + "Out")) << Name;
        EXPECT_TRUE(HasIdentifier(t.VertexShader, Name + "In")) << Name;
        EXPECT_TRUE(HasIdentifier(t.FragmentShader, Name + "Out")) << Name;
        for (const std::string* Text : {&t.VertexShader, &t.FragmentShader}) {
          EXPECT_FALSE(HasIdentifier(*Text, Name)) << Name;
          EXPECT_EQ(Text->find(Name + "InIn"), std::string::npos) << Name;
          EXPECT_EQ(Text->find(Name + "OutOut"), std::string::npos) << Name;
        }
      }
      SawBoth |= Normal && NormalViewSpace;
    }
  }
  EXPECT_TRUE(SawBoth);
  // Without the layered capability the cube fills project face by face, with no geometry stage.
  E.Caps().UseSinglePassShadowCubeMaps = false;
  const auto Face = Compose(*M, zstSHADOWCUBEMAPFILLSINGLEPASS);
  EXPECT_EQ(Face.Refusal, "");
  EXPECT_EQ(Face.GeometryShader, "");
  EXPECT_EQ(Face.OutputTriangles, 0);
  EXPECT_TRUE(HasLine(Face.VertexShader, "  gl_Position=uProjectionMatrix*(uViewMatrix*vec4(vWorldSpacePosition.xyz-"
                                         "uShadowMapLightPosition0.xyz,1.0));"));
}

TEST_F(ShaderGenerator, TextsStartWithTheLibraryPreludes) {
  auto M = MakeMaterial(Engine, {{Opaque}, {Filter}});
  const auto t = Compose(*M, zstSINGLEPASS);
  EXPECT_EQ(t.VertexShader.rfind(TZNT1GLSLShaders::VertexPrelude() + "\r\nattribute vec3 aPosition;\r\n", 0), 0u);
  EXPECT_EQ(t.FragmentShader.rfind(TZNT1GLSLShaders::FragmentPrelude() + "\r\n", 0), 0u);
  EXPECT_EQ(t.VertexShader.substr(t.VertexShader.size() - 3), "}\r\n");
  EXPECT_EQ(t.FragmentShader.substr(t.FragmentShader.size() - 3), "}\r\n");
}

// A light-mapped material with a specular map writes the deluxe function; a stage lit per pixel
// calls perPixelLighting, which must exist beside it.
TEST_F(ShaderGenerator, LitStageOfASpecularMappedLightMappedMaterialHasItsLightingFunction) {
  E.Caps().LowQuality = false;
  auto M = MakeMaterial(Engine, {{Opaque, TCGEN_TEXTURE, CGEN_LIGHTING_DIFFUSE, AGEN_IDENTITY, false, 3}, {Add}});
  M->GetStage(0)->SpecularMap = &E.SideTexture;
  for (int32_t Kind : {zstSINGLEPASS, zstMULTIPASS}) {
    const auto t = Compose(*M, Kind);
    ASSERT_EQ(t.Refusal, "");
    EXPECT_TRUE(HasLine(t.FragmentShader, "vec4 deluxeMap2D(in sampler2D lightMap,in vec2 lightMapCoord,in vec2 "
                                          "offsetMappedCoord,inout vec3 specularColor,in vec2 oTexCoordDX,in vec2 "
                                          "oTexCoordDY){") ||
                HasLine(t.FragmentShader, "vec4 deluxeMap2D(in sampler2D lightMap,in vec2 lightMapCoord,inout vec3 "
                                          "specularColor){"));
    EXPECT_TRUE(HasLine(t.FragmentShader, "vec4 perPixelLighting(inout vec3 specularColor){"));
    EXPECT_EQ(CountLine(t.FragmentShader, Kind == zstSINGLEPASS ? "  srcColor*=perPixelLighting(specularColor);"
                                                                : "  color*=perPixelLighting(specularColor);"),
              1);
  }
}

// Each compile keeps the loading screen alive; a refused request compiles nothing.
TEST(ShaderGeneratorProgress, EachCompileRefreshesTheLoadingScreen) {
  class TCountingEngine : public TZNT1Engine {
   public:
    using TZNT1Engine::TZNT1Engine;
    void ShowLoadProgress(bool Force, float Progress) override {
      Calls++;
      LastForce = Force;
      LastValue = Progress;
    }
    int Calls = 0;
    bool LastForce = true;
    float LastValue = -1.0f;
  };
  TCountingEngine Engine{&CreateGameOfClass<TZNT1Game>, true};
  Engine.GLCapabilities = std::make_unique<TZNT1GLCapabilities>(&Engine);
  SetMesaCapabilities(*Engine.GLCapabilities, true);
  Engine.GLSLShaders = std::make_unique<TZNT1GLSLShaders>(&Engine);
  Engine.LastProgress = 0.25f;
  auto M = MakeMaterial(Engine, {{Opaque}, {Filter}});
  ASSERT_NE(GenerateShader(M.get(), zstSINGLEPASS, 0, false, false, false, 1), nullptr);
  EXPECT_EQ(Engine.Calls, 1);
  EXPECT_FALSE(Engine.LastForce);
  EXPECT_EQ(Engine.LastValue, 0.25f);
  EXPECT_EQ(GenerateShader(M.get(), zstWIREFRAME, 0, false, false, false, 1), nullptr);
  EXPECT_EQ(Engine.Calls, 1);
}
