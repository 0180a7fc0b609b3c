#include "material/ZNT1ShaderGenerator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/ZNT1Engine.h"
#include "gpu/ZNT1FrameBufferObject.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1GLSLShader.h"
#include "material/ZNT1Shader.h"

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr double TwoPi = 2.0 * Pi;
constexpr double Deg = Pi / 180.0;

std::string I(int32_t v) { return std::to_string(v); }
std::string F(double v) { return GLSLFloat(v); }

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// A plain ordered list of lines: code is never refused.
struct TLineList {
  std::vector<std::string> Lines;
  void AppendTo(std::string& s) const {
    for (const std::string& l : Lines) {
      s += l;
      s += "\r\n";
    }
  }
};

void AppendLines(std::string& s, const std::vector<std::string>& Lines) {
  for (const std::string& l : Lines) {
    s += l;
    s += "\r\n";
  }
}

bool IsIdentChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A varying declaration split into qualifier, type, name and the rest ("[3];" or ";").
struct TDeclaration {
  std::string Qualifier, Type, Name, Rest;
};

TDeclaration SplitDeclaration(const std::string& Line) {
  TDeclaration d;
  size_t p = 0;
  auto Blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  auto Word = [&](std::string& Out) {
    while (p < Line.size() && Blank(Line[p])) p++;
    const size_t b = p;
    while (p < Line.size() && !Blank(Line[p])) p++;
    Out = Line.substr(b, p - b);
  };
  Word(d.Qualifier);
  Word(d.Type);
  while (p < Line.size() && Blank(Line[p])) p++;
  const size_t b = p;
  while (p < Line.size() && !Blank(Line[p]) && Line[p] != ';' && Line[p] != '[' && Line[p] != ']') p++;
  d.Name = Line.substr(b, p - b);
  d.Rest = Line.substr(p);
  return d;
}

bool HasBits(uint32_t Bits, uint32_t Mask) { return (Bits & Mask) != 0; }

// The stretch factor is one over the wave, which is infinite where the wave passes through 0 (and
// turns the coordinates into NaN). Its size is held at 256, past which a texture of the usual
// sizes shows its smallest mip level anyway; its sign follows the wave (0 counts as positive).
std::string StretchFactorLine(const std::string& N) {
  const std::string Min = F(1.0 / 256.0);
  return "  " + N + "=1.0/((" + N + "<0.0)?min(" + N + ",-" + Min + "):max(" + N + "," + Min + "));";
}

class TGenerator {
 public:
  TGenerator(TZNT1Shader* AShader, int32_t AShaderType, int32_t AStageIndex, bool AClipPlane, bool AFog,
             bool AInterpolateVertices)
      : Shader(AShader),
        ShaderType(AShaderType),
        SingleShaderStageIndex(AStageIndex),
        ClipPlane(AClipPlane),
        Fog(AFog),
        Interp(AInterpolateVertices) {
    if (Shader && Shader->Engine && Shader->Engine->GLCapabilities) Caps = Shader->Engine->GLCapabilities.get();
    static const TZNT1GLCapabilities DefaultCaps(nullptr);
    if (!Caps) Caps = &DefaultCaps;
  }

  void Run(TZNT1GeneratedShaderText& Out);

 private:
  // ---- building blocks ----
  // Attributes count one each, whatever their type.
  void AddAttribute(const std::string& Line) {
    if (Attributes.Add(Line)) AttributeCount++;
  }
  void AddVertexUniform(const std::string& Line) { VertexUniforms.Add(Line); }
  void AddGeometryUniform(const std::string& Line) { GeometryUniforms.Add(Line); }
  bool AddFragmentUniform(const std::string& Line) { return FragmentUniforms.Add(Line); }
  // A sampler that takes a texture unit of its own when first declared.
  void AddFragmentSampler(const std::string& Line) {
    if (AddFragmentUniform(Line)) TexUnits++;
  }
  void AddLightMapSampler() {
    AddFragmentUniform("uniform sampler2D uLightMapTex;");
    LightMapTex = true;
  }
  void AddVarying(const std::string& Line) { Varyings.Add(Line); }
  void V(std::string Line) { VertexLines.Lines.push_back(std::move(Line)); }
  void G(std::string Line) { GeometryLines.Lines.push_back(std::move(Line)); }
  void Fr(std::string Line) { FragmentLines.Lines.push_back(std::move(Line)); }
  void WaveformLines(TLineList& To, const std::string& n, const std::string& o, const TZNT1ShaderWaveform& w,
                     const std::string& TimeVar);
  void AddWaveform(const std::string& n, const std::string& o, const TZNT1ShaderWaveform& w,
                   const std::string& TimeVar) {
    WaveformLines(VertexLines, n, o, w, TimeVar);
  }
  void AddWaveformFragment(const std::string& n, const std::string& o, const TZNT1ShaderWaveform& w,
                           const std::string& TimeVar) {
    WaveformLines(FragmentLines, n, o, w, TimeVar);
  }
  void AddGeometryFillCode();
  void AddShadowMapFillCode();
  void AddShadowCubeMapFillCode();

  // ---- analysis ----
  TZNT1ShaderStage* Stage(int32_t i) const { return Shader->GetStage(i); }
  bool ValidStage(int32_t i) const { return i >= 0 && i < StageCount && Stage(i); }
  bool AlphaTestedMaterial() const { return HasBits(Shader->StateBits, GLS_ATEST_BITS); }
  bool IsMultiPassKind() const {
    return ShaderType == zstMULTIPASS || ShaderType == zstGEOMETRYFILLMULTIPASS ||
           ShaderType == zstSHADOWMAPFILLMULTIPASS || ShaderType == zstSHADOWCUBEMAPFILLMULTIPASS;
  }
  bool IsMaterialKind() const { return ShaderType == zstSINGLEPASS || ShaderType == zstMULTIPASS; }
  void CheckShaderForFeatures();
  void CheckShaderStageForFeatures(int32_t i);
  void CheckStageCoordinates(int32_t i);
  void FindAtlases(int32_t i);
  std::vector<int32_t> VisitedStages() const;

  // ---- code ----
  void LightGridFunction(bool Fragment);
  void VertexShaderCode();
  void Deformations();
  void GenerateShaderStageForVertexShader(int32_t i);
  void VertexTexMods(int32_t i);
  void VertexColor(int32_t i);
  void FragmentShaderCode();
  void PackingFunctions();
  void OffsetMappingFunction();
  void LightingFunction();
  void GenerateShaderStageForFragmentShader(int32_t i);
  void FogLines();
  void MultiPassBody();
  void SinglePassBody();
  void FillBody(bool SinglePass);
  void FillSampling(int32_t i);
  void AlphaTestOpen(int32_t i, uint32_t Bits);
  void FogVolumeBody();
  void GeometryShaderCode(TZNT1GeneratedShaderText& Out);
  std::string Coordinate(int32_t i) const;

  TZNT1Shader* Shader;
  int32_t ShaderType;
  int32_t SingleShaderStageIndex;
  bool ClipPlane, Fog, Interp;
  const TZNT1GLCapabilities* Caps = nullptr;
  int32_t StageCount = 0;

  TZNT1DeclarationList Attributes, VertexUniforms, GeometryUniforms, FragmentUniforms, Varyings;
  TLineList VertexLines, GeometryLines, FragmentLines;
  int32_t AttributeCount = 0;
  int32_t TexUnits = 0;
  bool LightMapTex = false;

  std::vector<int32_t> TexCoordAtlases, ColorAtlases;
  std::vector<bool> vColor, TexCoord, OffsetMappedTexCoord, LightingStage, Visited;
  int32_t NormalMapIndex = -1, SpecularMapIndex = -1;

  bool Barycentric = false, Normal = false, VaryingNormal = false, VaryingPosition = false, Time = false,
       Tangent = false, GeometryFill = false, NeedTexCoord = false, NeedLightMapCoord = false, NeedNormal = false,
       NeedTangent = false, NeedColor = false, NeedMiddle = false, VaryingWorldSpacePosition = false,
       VaryingViewSpacePosition = false, VaryingProjectionSpacePosition = false,
       VaryingTangentSpacePosition = false, VaryingNormalViewSpace = false, VaryingLightMapCoord = false,
       DoFog = false, PerPixelLighting = false, HasNormalMap = false, HasSpecularMap = false,
       HasDeluxeMap = false, HasOffsetMappedTexCoord = false, UseLightPrepass = false, HasLighting = false,
       Supported = true;

  // Blend emulation of the single-pass body.
  bool AlternativeBlending = false, MultIsZero = false, AddIsZero = true, MultIsOnePlus = false,
       HasSpecularColor = false, HasSpecularColorNow = false;
  int32_t ATestStart = -1;
};

// ---------------------------------------------------------------------------------------------
// Building blocks

void TGenerator::WaveformLines(TLineList& To, const std::string& n, const std::string& o,
                               const TZNT1ShaderWaveform& w, const std::string& TimeVar) {
  for (std::string& Line : WaveformCode(n, o, w, TimeVar)) To.Lines.push_back(std::move(Line));
}

void TGenerator::AddGeometryFillCode() {
  AddFragmentUniform("uniform float uWorldSpaceRadius;");
  AddFragmentUniform("uniform float uSpecularScale;");
  AddFragmentUniform("uniform float uSpecularPower;");
  AddFragmentUniform("uniform vec2 uClippingDistances;");
  const int32_t i = Shader->NormalMapShaderStageIndex;
  if (HasNormalMap && i >= 0) {
    AddFragmentSampler("uniform sampler2D uNormalMapTex" + I(i) + ";");
    if (OffsetMappedTexCoord[size_t(i)])
      Fr("  vec3 normal=normalize((textureGrad(uNormalMapTex" + I(i) +
         ",offsetMappedCoord,oTexCoordDX,oTexCoordDY).xyz-vec3(0.5))*vTangentToWorldMatrix);");
    else
      Fr("  vec3 normal=normalize((texture2D(uNormalMapTex" + I(i) + ",vTexCoord" + I(TexCoordAtlases[size_t(i)]) +
         ").xyz-vec3(0.5))*vTangentToWorldMatrix);");
  } else {
    Fr("  vec3 normal=vNormal.xyz;");
  }
  const int32_t j = Shader->SpecularMapShaderStageIndex;
  if (HasSpecularMap && j >= 0) {
    AddFragmentSampler("uniform sampler2D uSpecularMapTex" + I(j) + ";");
    if (OffsetMappedTexCoord[size_t(j)])
      Fr("  vec4 specularMapColor=textureGrad(uSpecularMapTex" + I(j) +
         ",offsetMappedCoord,oTexCoordDX,oTexCoordDY);");
    else
      Fr("  vec4 specularMapColor=texture2D(uSpecularMapTex" + I(j) + ",vTexCoord" +
         I(TexCoordAtlases[size_t(j)]) + ");");
    Fr("  float specularPower=uSpecularPower*specularMapColor.w;");
  } else {
    Fr("  float specularPower=uSpecularPower;");
  }
  AddFragmentUniform("uniform float uForce;");
  if (Caps->ShadowMapTextureFormat == GL_TEXTURE_RG32F) {
    Fr("  gl_FragData[0]=vec4(vec3((normalize(normal.xyz)*0.5)+vec3(0.5)),(uForce*0.5)+0.5);");
    Fr("  gl_FragData[1]=vec4(vec3(((vWorldSpacePosition.xyz/uWorldSpaceRadius)*0.5)+vec3(0.5)),specularPower/"
       "4096.0);");
    Fr("  gl_FragData[2]=vec4(((vProjectionSpacePosition.z/vProjectionSpacePosition.w)*0.5)+0.5,clamp(length("
       "vViewSpacePosition)/uClippingDistances.y,0.0,1.0),0.0,0.0);");
  } else {
    Fr("  float spkt=(((specularPower/256.0)*uForce)*0.5)+0.5;");
    Fr("  vec2 spktFrac=fract(vec2(1.0,256.0)*spkt);");
    Fr("  gl_FragData[0]=vec4(vec2((normal.xy/vec2(sqrt((normal.z*8.0)+8.0)))+vec2(0.5)),vec2(mix(vec2(spktFrac-("
       "spktFrac.yy*vec2(1.0/256.0,0.0))),vec2(1.0),step(1.0,spkt))));");
    Fr("  float depth=-(vViewSpacePosition.z/uClippingDistances.y);");
    Fr("  vec4 depthFrac=fract(vec4(1.0,255.0,65025.0,16581375.0)*depth);");
    Fr("  gl_FragData[1]=mix(vec4(depthFrac-(depthFrac.yzww*vec4(1.0/255.0,1.0/255.0,1.0/255.0,0.0))),vec4(1.0),"
       "step(1.0,depth));");
  }
}

void TGenerator::AddShadowMapFillCode() {
  const int32_t f = Caps->ShadowMapTextureFormat;
  const char* Depth =
      "  float depth=clamp(distance(uShadowMapLightPosition0,vWorldSpacePosition)*uShadowMapLightInvRadius0,0.0,1.0);";
  if ((f >= 2 && f <= 5) || (f >= 7 && f <= 10) || (f >= 12 && f <= 15)) {
    Fr(Depth);
    Fr("  float dx=dFdx(depth);");
    Fr("  float dy=dFdy(depth);");
    if (f == 15)
      Fr("  gl_FragColor=vec4(depth);");
    else if (f == 2 || f == 4)
      Fr("  gl_FragColor=vec4(packHalf(depth),packHalf((depth*depth)+(0.25*((dx*dx)+(dy*dy)))));");
    else
      Fr("  gl_FragColor=vec4(depth,(depth*depth)+(0.25*((dx*dx)+(dy*dy))),0.0,0.0);");
  } else {
    Fr(Depth);
    Fr("  gl_FragColor=vec4(pack(depth));");
  }
}

void TGenerator::AddShadowCubeMapFillCode() {
  Fr("  float depth=clamp(abs(distance(uShadowMapLightPosition0,vWorldSpacePosition))*uShadowMapLightInvRadius0,0.0,"
     "1.0);");
  Fr("  gl_FragColor=vec4(pack(depth));");
}

// ---------------------------------------------------------------------------------------------
// Feature analysis

void TGenerator::CheckShaderForFeatures() {
  if (ClipPlane) VaryingViewSpacePosition = true;
  const int32_t Count = std::clamp(Shader->NumDeformations, 0, MAX_DEFORMS);
  for (int32_t k = 0; k < Count; k++) {
    const int32_t d = Shader->Deformation[k].Deformation;
    if (d == DEFORM_BULGE) NeedTexCoord = true;
    if (d == DEFORM_BULGE || d == DEFORM_WAVE || d == DEFORM_NORMALS) Normal = NeedNormal = true;
    if (d == DEFORM_BULGE || d == DEFORM_WAVE || d == DEFORM_NORMALS || d == DEFORM_MOVE) Time = true;
  }
}

void TGenerator::CheckShaderStageForFeatures(int32_t i) {
  const TZNT1ShaderStage& s = *Stage(i);
  const bool Lit = s.RGBGen == CGEN_LIGHTING_DIFFUSE || s.RGBGen == CGEN_LIGHTING_DIFFUSE_VERTEX;
  const bool Specular = s.AlphaGen == AGEN_LIGHTING_SPECULAR;
  bool Deforms = false, DeformsInTime = false;
  const int32_t Count = std::clamp(Shader->NumDeformations, 0, MAX_DEFORMS);
  for (int32_t k = 0; k < Count; k++) {
    const int32_t d = Shader->Deformation[k].Deformation;
    if (d == DEFORM_BULGE || d == DEFORM_WAVE || d == DEFORM_NORMALS) Deforms = true;
    if (d >= DEFORM_BULGE && d <= DEFORM_MOVE) DeformsInTime = true;
  }

  if (Lit) {
    HasLighting = true;
    PerPixelLighting = !Caps->LowQuality;
  }
  if (IsMaterialKind() && (s.UseLightMap != 0 || s.IsLightMap || Lit)) UseLightPrepass = true;
  if (Specular || s.SpecularMap || s.NormalMap) VaryingViewSpacePosition = true;
  if (s.NormalMap) HasNormalMap = true;
  if (s.SpecularMap) HasSpecularMap = true;
  if (s.RGBGen == CGEN_BAD || s.RGBGen == CGEN_EXACT_VERTEX || s.RGBGen == CGEN_VERTEX ||
      s.RGBGen == CGEN_ONE_MINUS_VERTEX || s.RGBGen == CGEN_LIGHTING_DIFFUSE_VERTEX || s.AlphaGen == AGEN_VERTEX ||
      s.AlphaGen == AGEN_ONE_MINUS_VERTEX)
    NeedColor = true;
  const bool WhiteRGB = s.RGBGen == CGEN_IDENTITY_LIGHTING || s.RGBGen == CGEN_IDENTITY ||
                        (s.RGBGen == CGEN_CONST && s.ConstantColor.r == 1.0f && s.ConstantColor.g == 1.0f &&
                         s.ConstantColor.b == 1.0f);
  const bool WhiteAlpha = s.AlphaGen == AGEN_IDENTITY || s.AlphaGen == AGEN_SKIP || Specular ||
                          (s.AlphaGen == AGEN_CONST && s.ConstantColor.a == 1.0f);
  vColor[size_t(i)] = !(WhiteRGB && WhiteAlpha);
  CheckStageCoordinates(i);
  if (s.UseLightMap != 0) NeedLightMapCoord = true;
  if (HasNormalMap || HasSpecularMap) Tangent = true;
  if (Tangent) NeedTangent = true;
  if (Tangent || GeometryFill || PerPixelLighting) VaryingNormal = true;
  if (Fog && s.AdjustColorsForFog >= ACFF_MODULATE_RGB && s.AdjustColorsForFog <= ACFF_MODULATE_ALPHA)
    VaryingPosition = DoFog = true;
  if (Specular || s.SpecularMap || Tangent || (PerPixelLighting && (HasNormalMap || HasSpecularMap)))
    VaryingNormalViewSpace = true;
  if (s.UseLightMap != 0) VaryingLightMapCoord = true;
  if (VaryingNormal || Specular || s.SpecularMap || Lit || Deforms) Normal = true;
  if (Normal || Tangent || GeometryFill || s.SpecularMap || Specular || Lit) NeedNormal = true;
  if (s.RGBGen == CGEN_WAVEFORM || s.AlphaGen == AGEN_WAVEFORM || DeformsInTime) Time = true;
}

// What the vertex code of a stage's texture coordinates needs.
void TGenerator::CheckStageCoordinates(int32_t i) {
  const TZNT1ShaderStage& s = *Stage(i);
  if (s.TexCoordGen == TCGEN_TEXTURE) NeedTexCoord = true;
  if (s.TexCoordGen == TCGEN_LIGHTMAP) NeedLightMapCoord = true;
  TexCoord[size_t(i)] = s.TexCoordGen >= TCGEN_LIGHTMAP && s.TexCoordGen <= TCGEN_VIEWSPACE_ENVIRONMENT_MAPPED;
  if (s.TexCoordGen == TCGEN_ENVIRONMENT_MAPPED || s.TexCoordGen == TCGEN_VIEWSPACE_ENVIRONMENT_MAPPED)
    Normal = NeedNormal = true;
  for (int32_t j = 0; j < std::clamp(s.NumTexMods, 0, MAX_TEXMODS); j++) {
    const int32_t m = s.TexMods[j].TexMod;
    if (m == TMOD_TURBULENT || m == TMOD_SCROLL || m == TMOD_STRETCH || m == TMOD_ROTATE ||
        m == TMOD_ENTITY_TRANSLATE)
      Time = true;
  }
}

void TGenerator::FindAtlases(int32_t i) {
  const TZNT1ShaderStage& s = *Stage(i);
  bool TexFound = false, ColorFound = false;
  for (int32_t j = 0; j <= i && !(TexFound && ColorFound); j++) {
    if (j != i && !Visited[size_t(j)]) continue;
    const TZNT1ShaderStage& t = *Stage(j);
    if (!TexFound && s.TexCoordGen == t.TexCoordGen &&
        std::memcmp(s.TexCoordGenVectors, t.TexCoordGenVectors, sizeof(s.TexCoordGenVectors)) == 0 &&
        s.NumTexMods == t.NumTexMods && std::memcmp(s.TexMods, t.TexMods, sizeof(s.TexMods)) == 0) {
      TexCoordAtlases[size_t(i)] = j;
      TexFound = true;
    }
    if (!ColorFound && s.RGBGen == t.RGBGen && s.AlphaGen == t.AlphaGen &&
        std::memcmp(&s.RGBWave, &t.RGBWave, sizeof(s.RGBWave)) == 0 &&
        std::memcmp(&s.AlphaWave, &t.AlphaWave, sizeof(s.AlphaWave)) == 0 &&
        std::abs(double(s.ConstantColor.r) - double(t.ConstantColor.r)) < 1e-12 &&
        std::abs(double(s.ConstantColor.g) - double(t.ConstantColor.g)) < 1e-12 &&
        std::abs(double(s.ConstantColor.b) - double(t.ConstantColor.b)) < 1e-12 &&
        std::abs(double(s.ConstantColor.a) - double(t.ConstantColor.a)) < 1e-12) {
      ColorAtlases[size_t(i)] = j;
      ColorFound = true;
    }
  }
}

std::vector<int32_t> TGenerator::VisitedStages() const {
  std::vector<int32_t> Order;
  switch (ShaderType) {
    case zstSINGLEPASS:
      for (int32_t i = 0; i < StageCount; i++)
        if (Stage(i)) Order.push_back(i);
      break;
    case zstMULTIPASS: {
      // A material without a normal or specular map has -1 there: nothing to visit.
      int32_t Three[3] = {SingleShaderStageIndex, NormalMapIndex, SpecularMapIndex};
      std::sort(std::begin(Three), std::end(Three));
      for (int32_t i : Three)
        if (ValidStage(i)) Order.push_back(i);
      if (ValidStage(SingleShaderStageIndex)) Order.push_back(SingleShaderStageIndex);
      break;
    }
    case zstGEOMETRYFILLSINGLEPASS:
    case zstSHADOWMAPFILLSINGLEPASS:
    case zstSHADOWCUBEMAPFILLSINGLEPASS:
      if (AlphaTestedMaterial())
        for (int32_t i = 0; i < StageCount; i++)
          if (Stage(i) && HasBits(Stage(i)->StateBits, GLS_ATEST_BITS)) Order.push_back(i);
      break;
    case zstGEOMETRYFILLMULTIPASS:
    case zstSHADOWMAPFILLMULTIPASS:
    case zstSHADOWCUBEMAPFILLMULTIPASS:
      if (AlphaTestedMaterial() && ValidStage(SingleShaderStageIndex)) Order.push_back(SingleShaderStageIndex);
      break;
    default:
      break;
  }
  return Order;
}

// ---------------------------------------------------------------------------------------------
// Vertex code

void TGenerator::LightGridFunction(bool Fragment) {
  TLineList& To = Fragment ? FragmentLines : VertexLines;
  for (const char* Line : {"void lightGridProcess(in vec3 vertex,inout vec3 lightAmbient,inout vec3 lightDirected,"
                           "inout vec3 lightDirection){",
                           "  if(uLightGridScale.x>0.0){",
                           "    vec3 v=(vertex.xyz*uLightGridScale)-uLightGridOffset;",
                           "    vec4 a=texture3D(uLightGridTex,v);",
                           "    vec4 b=texture3D(uLightGridTex,vec3(v.xy,1.0-v.z));",
                           "    lightAmbient=a.xyz;",
                           "    lightDirected=b.xyz;",
                           "    lightDirection.x=(2.0*a.w)-1.0;",
                           "    lightDirection.y=(2.0*b.w)-1.0;",
                           "    lightDirection.z=(1.0-abs(lightDirection.x))-abs(lightDirection.y);",
                           "    if(lightDirection.z<0.0){",
                           "      lightDirection.xy=sign(lightDirection.xy)-lightDirection.xy;",
                           "    }",
                           "    lightDirection=normalize(lightDirection);",
                           "  }else{",
                           "    lightAmbient=uPrimaryLightAmbient;",
                           "    lightDirected=uPrimaryLightDirectional;",
                           "    lightDirection=uPrimaryLightDirection;",
                           "  }",
                           "}"})
    To.Lines.emplace_back(Line);
}

void TGenerator::Deformations() {
  const int32_t Count = std::clamp(Shader->NumDeformations, 0, MAX_DEFORMS);
  for (int32_t k = 0; k < Count; k++) {
    const TZNT1ShaderDeformation& d = Shader->Deformation[k];
    const std::string K = I(k);
    switch (d.Deformation) {
      case DEFORM_WAVE:
        V("  float deformOff" + K + "=(vPosition.x+vPosition.y+vPosition.z)*" + F(d.DeformationSpread) + ";");
        AddWaveform("deform" + K, "+deformOff" + K, d.DeformationWave, "uTime");
        V("  vPosition+=vNormal*deform" + K + ";");
        break;
      case DEFORM_NORMALS: {
        const std::string Amp = F(d.DeformationWave.Amplitude);
        V("  float deformTime" + K + "=" + F(d.DeformationWave.Frequency) + "*uTime;");
        V("  vec3 deformVec" + K + "=vNormal.xyz;");
        V("  float deformW" + K + "=deformVec" + K + ".z*deformTime" + K + ";");
        V("  deformVec" + K + "*=vec3(sin(deformW" + K + "),sin(deformW" + K + "+0.25),1.0)*vec3(" + Amp + "," + Amp +
          ",1.0);");
        V("  vNormal=deformVec" + K + ";");
        break;
      }
      case DEFORM_BULGE:
        V("  float deformBulgeWidth" + K + "=" + F(d.BulgeWidth) + ";");
        V("  float deformBulgeHeight" + K + "=" + F(d.BulgeHeight) + ";");
        V("  float deformBulgeSpeed" + K + "=2.0;");
        V("  float deformBulgeOff" + K + "=aTexCoord.x*" + F(d.BulgeSpeed) + "*2.0;");
        V("  float deformBulgeAX" + K + "=(uTime+deformBulgeOff" + K + ")/(deformBulgeSpeed" + K +
          "*deformBulgeWidth" + K + ");");
        V("  float deformBulgeX" + K + "=deformBulgeAX" + K + "-floor(deformBulgeAX" + K + ");");
        V("  float deformBulge" + K + "=sin(deformBulgeX" + K + "*" + F(TwoPi) + ")*deformBulgeHeight" + K + ";");
        V("  vPosition+=vNormal*deformBulge" + K + ";");
        break;
      case DEFORM_MOVE:
        AddWaveform("deform" + K, "+1.0", d.DeformationWave, "uTime");
        V("  vPosition+=vec3(" + F(d.MoveVector.x) + "," + F(d.MoveVector.y) + "," + F(d.MoveVector.z) +
          ")*deform" + K + ";");
        break;
      case DEFORM_AUTOSPRITE:
        V("  mat4 deformMat" + K + "=uModelMatrix*uViewMatrix;");
        V("  vPosition=aMiddle.xyz+(transpose(mat3(deformMat" + K +
          "))*vec3(vec3(vPosition-aMiddle.xyz).xzy)).xyz;");
        break;
      case DEFORM_AUTOSPRITE2:
        V("  mat4 deformMat" + K + "=uModelMatrix*uViewMatrix;");
        V("  vPosition=aMiddle.xyz+(normalize(cross(vec3(vPosition-aMiddle.xyz),vec3(-deformMat" + K +
          "[0].z,-deformMat" + K + "[1].z,-deformMat" + K + "[2].z)))*aMiddle.w);");
        break;
      default:
        break;
    }
  }
}

void TGenerator::VertexShaderCode() {
  if (HasLighting && !PerPixelLighting) LightGridFunction(false);
  for (const char* Line : {"mat3 inverse3x3(mat3 M){", "  mat3 M_t=transpose(M);",
                           "  float det=dot(cross(M_t[0],M_t[1]),M_t[2]);",
                           "  mat3 adjugate=mat3(cross(M_t[1],M_t[2]),cross(M_t[2],M_t[0]),cross(M_t[0],M_t[1]));",
                           "  return adjugate/det;", "}", "void main(){"})
    V(Line);
  if (VaryingPosition) {
    AddVarying("varying vec3 vPosition;");
    V(Interp ? "  vPosition=mix(aPosition,aPosition2,uInterpolation);" : "  vPosition=aPosition;");
  } else {
    V(Interp ? "  vec3 vPosition=mix(aPosition,aPosition2,uInterpolation);" : "  vec3 vPosition=aPosition;");
  }
  if (HasOffsetMappedTexCoord) {
    AddVarying("varying vec2 vTexCoord;");
    V(Interp ? "  vTexCoord=mix(aTexCoord,aTexCoord2,uInterpolation);" : "  vTexCoord=aTexCoord;");
  }
  if (Normal) {
    V(Interp ? "  vec3 nNormal=mix(aNormal,aNormal2,uInterpolation);" : "  vec3 nNormal=aNormal;");
    AddVertexUniform("uniform mat3 uModelNormalMatrix;");
    if (VaryingNormal) {
      AddVarying("varying vec3 vNormal;");
      V("  vNormal=uModelNormalMatrix*nNormal;");
    } else {
      V("  vec3 vNormal=uModelNormalMatrix*nNormal;");
    }
  }
  if (VaryingNormalViewSpace) {
    AddVarying("varying vec3 vNormalViewSpace;");
    AddVertexUniform("uniform mat3 uModelViewNormalMatrix;");
    V("  vNormalViewSpace=uModelViewNormalMatrix*nNormal;");
  }
  if (VaryingLightMapCoord) {
    AddVarying("varying vec2 vLightMapCoord;");
    V(Interp ? "  vLightMapCoord=mix(aLightMapCoord,aLightMapCoord2,uInterpolation);"
             : "  vLightMapCoord=aLightMapCoord;");
  }
  Deformations();
  V("  vPosition=(uModelMatrix*vec4(vPosition,1.0)).xyz;");
  if (PerPixelLighting || ShaderType == zstFOG) VaryingWorldSpacePosition = true;
  if (VaryingWorldSpacePosition) {
    AddVarying("varying vec3 vWorldSpacePosition;");
    V("  vWorldSpacePosition=vPosition;");
  } else if (VaryingTangentSpacePosition || HasLighting) {
    V("  vec3 vWorldSpacePosition=vPosition;");
  }
  if (VaryingViewSpacePosition) {
    AddVarying("varying vec4 vViewSpacePosition;");
    V("  vViewSpacePosition=uViewMatrix*vec4(vPosition,1.0);");
  } else {
    V("  vec4 vViewSpacePosition=uViewMatrix*vec4(vPosition,1.0);");
  }
  if (Tangent) {
    V("  vec3 tNormal=nNormal;");
    if (Interp) {
      V("  vec3 tTangent=mix(aTangent.xyz,aTangent2.xyz,uInterpolation);");
      V("  vec3 tBitangent=mix(cross(tNormal,aTangent.xyz)*aTangent.w,cross(tNormal,aTangent2.xyz)*aTangent2.w,"
        "uInterpolation);");
    } else {
      V("  vec3 tTangent=aTangent.xyz;");
      V("  vec3 tBitangent=cross(tNormal,tTangent.xyz)*aTangent.w;");
    }
  }
  if (HasNormalMap || HasSpecularMap) {
    AddVertexUniform("uniform mat3 uModelNormalMatrix;");
    if (GeometryFill) {
      AddVarying("varying mat3 vTangentToWorldMatrix;");
      V("  vTangentToWorldMatrix=mat3(uModelNormalMatrix*tTangent,uModelNormalMatrix*tBitangent,uModelNormalMatrix*"
        "tNormal);");
    } else if (Shader->UseLightMap) {
      AddVarying("varying vec3 vNormalMapT;");
      AddVarying("varying vec3 vNormalMapB;");
      AddVarying("varying vec3 vNormalMapN;");
      V("  vNormalMapT=uModelNormalMatrix*tTangent;");
      V("  vNormalMapB=uModelNormalMatrix*tBitangent;");
      V("  vNormalMapN=uModelNormalMatrix*tNormal;");
    } else {
      AddVarying("varying mat3 vNormalMapMatrix;");
      V("  vNormalMapMatrix=mat3(uModelNormalMatrix*tTangent,uModelNormalMatrix*tBitangent,uModelNormalMatrix*"
        "tNormal);");
    }
  }
  if (VaryingTangentSpacePosition) {
    AddVertexUniform("uniform mat3 uModelNormalMatrix;");
    AddVertexUniform("uniform vec3 uViewOrigin;");
    AddVarying("varying vec3 vTangentSpacePosition;");
    V("  vec3 tTangentSpacePosition=uViewOrigin.xyz-vWorldSpacePosition.xyz;");
    V("  vTangentSpacePosition=vec3(dot(tTangentSpacePosition,normalize(uModelNormalMatrix*tTangent)),dot("
      "tTangentSpacePosition,normalize(uModelNormalMatrix*tBitangent)),dot(tTangentSpacePosition,normalize("
      "uModelNormalMatrix*tNormal)));");
  }

  const std::string A = F(1.0 / 32.0), B = F(30.0 / 32.0), C = F(31.0 / 32.0);
  switch (ShaderType) {
    case zstSINGLEPASS:
      for (int32_t i = 0; i < StageCount; i++)
        if (Stage(i)) GenerateShaderStageForVertexShader(i);
      break;
    case zstMULTIPASS: {
      const int32_t n = NormalMapIndex, sp = SpecularMapIndex;
      for (int32_t i = 0; i < StageCount; i++) {
        if (!Stage(i)) continue;
        if (i == SingleShaderStageIndex || i == n || i == sp || (n >= 0 && i == TexCoordAtlases[size_t(n)]) ||
            (sp >= 0 && i == TexCoordAtlases[size_t(sp)]))
          GenerateShaderStageForVertexShader(i);
      }
      break;
    }
    case zstFOG:
      AddVertexUniform("uniform vec4 uFogDistanceVector;");
      AddVertexUniform("uniform vec4 uFogDepthVector;");
      AddVertexUniform("uniform float uFogEyeT;");
      AddVarying("varying vec2 vFogTexCoord;");
      V("  vec4 vFogPosition=vec4(vPosition.xyz,1.0);");
      V("  vFogTexCoord=vec2(dot(vFogPosition,uFogDistanceVector),dot(vFogPosition,uFogDepthVector));");
      V("  if(uFogEyeT<0.0){");
      V("    vFogTexCoord.y=(vFogTexCoord.y<1.0)?" + A + ":(" + A + "+((" + B +
        "*vFogTexCoord.y)/(vFogTexCoord.y-uFogEyeT)));");
      V("  }else{");
      V("    vFogTexCoord.y=(vFogTexCoord.y<0.0)?" + A + ":" + C + ";");
      V("  }");
      break;
    case zstGEOMETRYFILLSINGLEPASS:
    case zstSHADOWMAPFILLSINGLEPASS:
    case zstSHADOWCUBEMAPFILLSINGLEPASS:
    case zstGEOMETRYFILLMULTIPASS:
    case zstSHADOWMAPFILLMULTIPASS:
    case zstSHADOWCUBEMAPFILLMULTIPASS:
      for (int32_t i = 0; i < StageCount; i++)
        if (Visited[size_t(i)]) GenerateShaderStageForVertexShader(i);
      break;
    default:
      break;
  }

  if (VaryingProjectionSpacePosition) {
    AddVarying("varying vec4 vProjectionSpacePosition;");
    V("  vProjectionSpacePosition=uProjectionMatrix*vViewSpacePosition;");
  }
  if (Barycentric) V("  vBarycentric=vec3(0.0);");
  if (ShaderType == zstSHADOWCUBEMAPFILLSINGLEPASS || ShaderType == zstSHADOWCUBEMAPFILLMULTIPASS) {
    if (Caps->UseSinglePassShadowCubeMaps) {
      AddVertexUniform("uniform vec3 uShadowMapLightPosition0;");
      V("  gl_Position=vec4(vWorldSpacePosition.xyz-uShadowMapLightPosition0.xyz,1.0);");
    } else {
      AddVertexUniform("uniform mat4 uProjectionMatrix;");
      AddVertexUniform("uniform mat4 uViewMatrix;");
      AddVertexUniform("uniform vec3 uShadowMapLightPosition0;");
      V("  gl_Position=uProjectionMatrix*(uViewMatrix*vec4(vWorldSpacePosition.xyz-uShadowMapLightPosition0.xyz,1.0)"
        ");");
    }
  } else {
    V("  gl_Position=uProjectionMatrix*vViewSpacePosition;");
  }
  V("}");
}

void TGenerator::GenerateShaderStageForVertexShader(int32_t i) {
  const TZNT1ShaderStage& s = *Stage(i);
  const std::string Si = I(i);
  if (TexCoord[size_t(i)] && TexCoordAtlases[size_t(i)] == i && !OffsetMappedTexCoord[size_t(i)]) {
    AddVarying("varying vec2 vTexCoord" + Si + ";");
    const std::string T = "vTexCoord" + Si;
    const std::string Pos = Interp ? "mix(aPosition.xyz,aPosition2.xyz,uInterpolation)" : "aPosition.xyz";
    switch (s.TexCoordGen) {
      case TCGEN_LIGHTMAP:
        V("  " + T + (Interp ? "=mix(aLightMapCoord,aLightMapCoord2,uInterpolation);" : "=aLightMapCoord;"));
        break;
      case TCGEN_TEXTURE:
        V("  " + T + (Interp ? "=mix(aTexCoord,aTexCoord2,uInterpolation);" : "=aTexCoord;"));
        break;
      case TCGEN_ENVIRONMENT_MAPPED:
        AddVertexUniform("uniform vec3 uViewOrigin;");
        V("  " + T + "=vec2(0.5,0.5)-(reflect(normalize(uViewOrigin-" + Pos +
          "),vNormal).yz*vec2(0.5,-0.5));");
        break;
      case TCGEN_FOG: {
        const std::string A = F(1.0 / 32.0), B = F(30.0 / 32.0), C = F(31.0 / 32.0);
        AddVertexUniform("uniform vec4 uFogDistanceVector;");
        AddVertexUniform("uniform vec4 uFogDepthVector;");
        AddVertexUniform("uniform float uFogEyeT;");
        V("  " + T + "=vec2(dot(vec4(" + Pos + ",1.0),uFogDistanceVector),dot(vec4(" + Pos +
          ",1.0),uFogDepthVector));");
        V("  if(uFogEyeT<0.0){");
        V("    " + T + ".y=(" + T + ".y<1.0)?" + A + ":(" + A + "+((" + B + "*" + T + ".y)/(" + T +
          ".y-uFogEyeT)));");
        V("  }else{");
        V("    " + T + ".y=(" + T + ".y<0.0)?" + A + ":" + C + ";");
        V("  }");
        break;
      }
      case TCGEN_VECTOR: {
        const TZNT1Vector3& a = s.TexCoordGenVectors[0];
        const TZNT1Vector3& b = s.TexCoordGenVectors[1];
        V("  " + T + "=vec2(dot(" + Pos + ",vec3(" + F(a.x) + "," + F(a.y) + "," + F(a.z) + ")),dot(" + Pos +
          ",vec3(" + F(b.x) + "," + F(b.y) + "," + F(b.z) + ")));");
        break;
      }
      case TCGEN_VIEWSPACE_ENVIRONMENT_MAPPED:
        V("  " + T + "=vec2(0.5,0.5)-(reflect(normalize(-vViewSpacePosition.xyz),vNormal).yz*vec2(0.5,-0.5));");
        break;
      default:
        break;
    }
    VertexTexMods(i);
  }
  if (vColor[size_t(i)] && ColorAtlases[size_t(i)] == i) VertexColor(i);
}

void TGenerator::VertexTexMods(int32_t i) {
  const TZNT1ShaderStage& s = *Stage(i);
  const std::string Si = I(i), T = "vTexCoord" + Si;
  for (int32_t j = 0; j < std::clamp(s.NumTexMods, 0, MAX_TEXMODS); j++) {
    const TZNTShaderTexMod& m = s.TexMods[j];
    const std::string Sj = I(j);
    switch (m.TexMod) {
      case TMOD_TRANSFORM: {
        const std::string N = "stage" + Si + "trans" + Sj;
        V("  vec2 " + N + "=vec2((" + F(m.Matrix.m00) + "*" + T + ".x)+(" + F(m.Matrix.m10) + "*" + T + ".y),(" +
          F(m.Matrix.m01) + "*" + T + ".x)+(" + F(m.Matrix.m11) + "*" + T + ".y));");
        V("  " + T + "=" + N + "+vec2(" + F(m.Translate.x) + "," + F(m.Translate.y) + ");");
        break;
      }
      case TMOD_TURBULENT: {
        const std::string N = "stage" + Si + "turb" + Sj, Amp = F(m.Wave.Amplitude);
        V("  float " + N + "=(" + F(m.Wave.Phase) + "+(uTime*" + F(m.Wave.Frequency) + "))*0.25;");
        V("  " + T + "+=vec2(sin((((vPosition.x+vPosition.z)*(0.125/128.0))+" + N + ")*" + F(TwoPi) + ")*" + Amp +
          ",sin(((vPosition.y*(0.125/128.0))+" + N + ")*" + F(TwoPi) + ")*" + Amp + ");");
        break;
      }
      case TMOD_SCROLL:
        V("  " + T + "+=vec2(" + F(m.Scroll.x) + "," + F(m.Scroll.y) + ")*vec2(uTime,uTime);");
        break;
      case TMOD_SCALE:
        V("  " + T + "*=vec2(" + F(m.Scale.x) + "," + F(m.Scale.y) + ");");
        break;
      case TMOD_STRETCH: {
        const std::string N = "stage" + Si + "stretchWave" + Sj;
        AddWaveform(N, "", m.Wave, "uTime");
        V(StretchFactorLine(N));
        V("  " + T + "=(" + T + "*" + N + ")+vec2(0.5-(0.5*" + N + "),0.5-(0.5*" + N + "));");
        break;
      }
      case TMOD_ROTATE: {
        const std::string N = "stage" + Si + "rotate" + Sj;
        V("  float " + N + "=" + F(Deg * double(m.RotateSpeed)) + "*uTime;");
        V("  float " + N + "c=cos(" + N + ");");
        V("  float " + N + "s=sin(" + N + ");");
        V("  " + T + "-=vec2(0.5,0.5);");
        V("  " + T + "=vec2((" + T + ".x*" + N + "c)-(" + T + ".y*" + N + "s),(" + T + ".y*" + N + "c)+(" + T + ".x*" +
          N + "s));");
        V("  " + T + "+=vec2(0.5,0.5);");
        break;
      }
      default:
        break;
    }
  }
}

void TGenerator::VertexColor(int32_t i) {
  const TZNT1ShaderStage& s = *Stage(i);
  const std::string Si = I(i);
  AddVarying("varying vec4 vColor" + Si + ";");
  const std::string C = "  vColor" + Si;
  const std::string Lit = "vec4(vec3(clamp(lightAmbient" + Si + "+(max(dot(vNormal,lightDirection" + Si +
                          "),0.0)*lightDirected" + Si + "),0.0,1.0)),1.0);";
  auto LightGridLines = [&] {
    V("  vec3 lightAmbient" + Si + "=vec3(0.25);");
    V("  vec3 lightDirected" + Si + "=vec3(0.75);");
    V("  vec3 lightDirection" + Si + "=vNormal.xyz;");
    V("  lightGridProcess(vWorldSpacePosition.xyz,lightAmbient" + Si + ",lightDirected" + Si + ",lightDirection" + Si +
      ");");
  };
  const char* VertexColorLine = Interp ? "=mix(aColor,aColor2,uInterpolation);" : "=aColor;";
  switch (s.RGBGen) {
    case CGEN_IDENTITY_LIGHTING:
    case CGEN_IDENTITY:
      V(C + "=vec4(1.0,1.0,1.0,1.0);");
      break;
    case CGEN_ENTITY:
      AddVertexUniform("uniform vec4 uEntityColor;");
      V(C + "=uEntityColor;");
      break;
    case CGEN_ONE_MINUS_ENTITY:
      AddVertexUniform("uniform vec4 uEntityColor;");
      V(C + "=vec4(vec3(vec3(1.0)-uEntityColor.xyz),1.0);");
      break;
    case CGEN_ONE_MINUS_VERTEX:
      V(C + (Interp ? "=vec4(vec3(vec3(1.0)-mix(aColor.xyz,aColor2.xyz,uInterpolation)),1.0);"
                    : "=vec4(vec3(vec3(1.0)-aColor.xyz),1.0);"));
      break;
    case CGEN_WAVEFORM:
      AddWaveform("stage" + Si + "cc", "", s.RGBWave, "uTime");
      V(C + "=vec4(vec3(stage" + Si + "cc),1.0);");
      break;
    case CGEN_LIGHTING_DIFFUSE:
      if (PerPixelLighting) {
        LightingStage[size_t(i)] = true;
        V(C + "=vec4(1.0,1.0,1.0,1.0);");
      } else {
        LightGridLines();
        V(C + "=" + Lit);
      }
      break;
    case CGEN_FOG:
      AddVertexUniform("uniform vec4 uFogColor;");
      V(C + "=uFogColor;");
      break;
    case CGEN_CONST:
      V(C + "=vec4(" + F(s.ConstantColor.r) + "," + F(s.ConstantColor.g) + "," + F(s.ConstantColor.b) + "," +
        F(s.ConstantColor.a) + ");");
      break;
    case CGEN_LIGHTING_UNIFORM:
      AddVertexUniform("uniform vec3 uPrimaryLightAmbient;");
      V(C + "=vec4(vec3(clamp(uPrimaryLightAmbient+uPrimaryLightAmbient.xyz,0.0,1.0)),1.0);");
      break;
    case CGEN_LIGHTING_DYNAMIC:
      AddVertexUniform("uniform vec3 uDynamicLight;");
      V(C + "=vec4(vec3(clamp(uDynamicLight.xyz,0.0,1.0)),1.0);");
      break;
    case CGEN_LIGHTING_DIFFUSE_VERTEX:
      V(C + VertexColorLine);
      if (PerPixelLighting) {
        LightingStage[size_t(i)] = true;
      } else {
        LightGridLines();
        V(C + "*=" + Lit);
      }
      break;
    default:  // exact vertex, vertex, bad and unknown codes
      V(C + VertexColorLine);
      break;
  }
  switch (s.AlphaGen) {
    case AGEN_IDENTITY:
    case AGEN_LIGHTING_SPECULAR:
      V(C + ".w=1.0;");
      break;
    case AGEN_ENTITY:
      AddVertexUniform("uniform vec4 uEntityColor;");
      V(C + ".w=uEntityColor.w;");
      break;
    case AGEN_ONE_MINUS_ENTITY:
      AddVertexUniform("uniform vec4 uEntityColor;");
      V(C + ".w=1.0-uEntityColor.w;");
      break;
    case AGEN_VERTEX:
      V(C + (Interp ? ".w=mix(aColor.w,aColor2.w,uInterpolation);" : ".w=aColor.w;"));
      break;
    case AGEN_ONE_MINUS_VERTEX:
      V(C + (Interp ? ".w=1.0-mix(aColor.w,aColor2.w,uInterpolation);" : ".w=1.0-aColor.w;"));
      break;
    case AGEN_WAVEFORM:
      AddWaveform("stage" + Si + "ca", "", s.AlphaWave, "uTime");
      V(C + ".w=stage" + Si + "ca;");
      break;
    case AGEN_PORTAL: {
      AddVertexUniform("uniform vec3 uViewOrigin;");
      const std::string Factor = F(1.0 / double(Shader->PortalRange));
      V(C + (Interp ? ".w=clamp(length(mix(aPosition.xyz,aPosition2.xyz,uInterpolation)-uViewOrigin)*"
                    : ".w=clamp(length(aPosition.xyz-uViewOrigin)*") +
        Factor + ",0.0,1.0);");
      break;
    }
    case AGEN_CONST:
      V(C + ".w=" + F(s.ConstantColor.a) + ";");
      break;
    default:  // skip: the colour's own alpha stays
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// Fragment code

std::string TGenerator::Coordinate(int32_t i) const {
  const int32_t a = TexCoordAtlases[size_t(i)];
  if (OffsetMappedTexCoord[size_t(a)]) return "oTexCoord" + I(a);
  if (TexCoord[size_t(a)]) return "vTexCoord" + I(a);
  return "vec2(0.0,0.0)";
}

void TGenerator::PackingFunctions() {
  enum { None, Bits8, Bits16, Half, Clamp } Form = None;
  if (ShaderType == zstSHADOWCUBEMAPFILLSINGLEPASS || ShaderType == zstSHADOWCUBEMAPFILLMULTIPASS) {
    Form = Bits8;
  } else if (ShaderType == zstSHADOWMAPFILLSINGLEPASS || ShaderType == zstSHADOWMAPFILLMULTIPASS) {
    switch (Caps->ShadowMapTextureFormat) {
      case GL_TEXTURE_RGBA8:
        Form = Bits8;
        break;
      case GL_TEXTURE_RGBA16:
      case GL_TEXTURE_RGB16:
      case GL_TEXTURE_RG16:
        Form = Bits16;
        break;
      case GL_TEXTURE_RGBA16F:
      case GL_TEXTURE_RGB16F:
      case GL_TEXTURE_RG16F:
        Form = Half;
        break;
      case GL_TEXTURE_RGBA32:
      case GL_TEXTURE_RGBA32F:
      case GL_TEXTURE_RGB32:
      case GL_TEXTURE_RGB32F:
      case GL_TEXTURE_RG32:
      case GL_TEXTURE_RG32F:
      case GL_TEXTURE_R8:
      case GL_TEXTURE_R16:
      case GL_TEXTURE_R32:
      case GL_TEXTURE_R16F:
      case GL_TEXTURE_R32F:
        Form = Clamp;
        break;
      default:
        break;
    }
  }
  switch (Form) {
    case Bits8:
      for (const char* Line : {"vec4 pack(float v){", "  vec4 c=fract(vec4(1.0,255.0,65025.0,16581375.0)*v);",
                               "  return mix(vec4(c-(c.yzww*vec4(1.0/255.0,1.0/255.0,1.0/255.0,0.0))),vec4(1.0),step("
                               "1.0,v));;",
                               "}", "vec2 packHalf(float v){", "  vec2 c=fract(vec2(1.0,255.0)*v);",
                               "  return mix(vec2(c-(c.yy*vec2(1.0/255.0,0.0))),vec2(1.0),step(1.0,v));;", "}"})
        Fr(Line);
      break;
    case Clamp:
      for (const char* Line : {"vec4 pack(float v){", "  return vec4(clamp(v,0.0,1.0),vec3(0.0));", "}",
                               "vec2 packHalf(float v){", "  return vec2(clamp(v,0.0,1.0),0.0);", "}"})
        Fr(Line);
      break;
    case Bits16:
    case Half: {
      const std::string Scale = Form == Half ? "2048.0" : "65535.0";
      Fr("vec4 pack(float v){");
      Fr("  vec2 c=fract(vec2(1.0," + Scale + ")*v);");
      Fr("  return mix(vec4(c-(c.yy*vec2(1.0/" + Scale + ",0.0)),vec2(0.0)),vec4(1.0),step(1.0,v));");
      Fr("}");
      Fr("vec2 packHalf(float v){");
      Fr("  vec2 c=fract(vec2(1.0," + Scale + ")*v);");
      Fr("  return mix(vec2(c-(c.yy*vec2(1.0/" + Scale + ",0.0))),vec2(1.0),step(1.0,v));");
      Fr("}");
      break;
    }
    case None:
      break;
  }
}

void TGenerator::OffsetMappingFunction() {
  const std::string S = F(0.04 * double(Shader->OffsetMappingScale));
  const std::string B = F(1.0 - double(Shader->OffsetMappingBias));
  const std::string Step = "\tTexCoord.xy+=offsetVector.xy*(" + B + "-textureGrad(normalMap,TexCoord.xy,dPdx,dPdy).w);";
  Fr("vec2 OffsetMapping(sampler2D normalMap,vec2 TexCoord,vec2 dPdx,vec2 dPdy){");
  switch (Shader->OffsetMappingMode) {
    case zsommSINGLE:
      Fr("  vec2 offsetVector=(normalize(vTangentSpacePosition.xyz).xy*" + S + "*vec2(-1.0,1.0))*" + F(1.0) + ";");
      Fr(Step);
      Fr("  return TexCoord.xy;");
      break;
    case zsommDEFAULT:
    case zsommLINEAR:
      Fr("  vec2 offsetVector=(normalize(vTangentSpacePosition.xyz).xy*" + S + "*vec2(-1.0,1.0))*" + F(0.5) + ";");
      Fr(Step);
      Fr(Step);
      Fr("  return TexCoord.xy;");
      break;
    case zsommRELIEF:
      Fr("  vec3 offsetVector=vec3(normalize(vTangentSpacePosition.xyz).xy*" + S + "*vec2(-1.0,1.0),-1.0);");
      Fr("\tvec3 offsetBest=vec3(TexCoord.xy-(offsetVector.xy*" + F(Shader->OffsetMappingBias) + "),1.0);");
      Fr("\toffsetVector*=" + F(0.1) + ";");
      for (int32_t k = 0; k < 10; k++)
        Fr("  offsetBest+=offsetVector*step(textureGrad(normalMap,offsetBest.xy,dPdx,dPdy).w,offsetBest.z);");
      for (double f : {1.0, 0.5, 0.25, 0.125})
        Fr("  offsetBest+=offsetVector*((step(textureGrad(normalMap,offsetBest.xy,dPdx,dPdy).w,offsetBest.z)*" +
           F(f) + ")-" + F(f / 2) + ");");
      Fr("  return offsetBest.xy;");
      break;
    default:
      Fr("  return TexCoord.xy;");
      break;
  }
  Fr("}");
}

void TGenerator::LightingFunction() {
  const char* HeaderOffset =
      "vec4 perPixelLighting(in vec2 offsetMappedCoord,inout vec3 specularColor,in vec2 oTexCoordDX,in vec2 "
      "oTexCoordDY){";
  const char* HeaderPlain = "vec4 perPixelLighting(inout vec3 specularColor){";
  auto GridLighting = [&] {
    Fr(HasOffsetMappedTexCoord ? HeaderOffset : HeaderPlain);
    Fr("  vec3 lightAmbient=vec3(0.25);");
    Fr("  vec3 lightDirected=vec3(0.75);");
    Fr("  vec3 lightDirection=vNormal.xyz;");
    Fr("  lightGridProcess(vWorldSpacePosition.xyz,lightAmbient,lightDirected,lightDirection);");
    Fr("  vec4 color=vec4(vec3(clamp(lightAmbient+(max(dot(vNormal.xyz,lightDirection.xyz),0.0)*lightDirected),0.0,"
       "1.0)),1.0);");
    Fr("  return color;");
    Fr("}");
  };
  if (PerPixelLighting && !HasNormalMap && !HasSpecularMap) {
    GridLighting();
    return;
  }
  const int32_t n = NormalMapIndex, sp = SpecularMapIndex;
  if (n < 0 && sp < 0 && !PerPixelLighting) return;
  const bool LightMapped = Shader->UseLightMap;
  if (LightMapped) {
    HasDeluxeMap = true;
    Fr(HasOffsetMappedTexCoord ? "vec4 deluxeMap2D(in sampler2D lightMap,in vec2 lightMapCoord,in vec2 "
                                 "offsetMappedCoord,inout vec3 specularColor,in vec2 oTexCoordDX,in vec2 oTexCoordDY){"
                               : "vec4 deluxeMap2D(in sampler2D lightMap,in vec2 lightMapCoord,inout vec3 "
                                 "specularColor){");
  } else {
    if (PerPixelLighting) {
      AddFragmentUniform("uniform vec3 uPrimaryLightAmbient;");
      AddFragmentUniform("uniform vec3 uPrimaryLightDirection;");
      AddFragmentUniform("uniform vec3 uPrimaryLightDirectional;");
    } else {
      AddFragmentUniform("uniform vec3 uNormalMapLightDirection;");
    }
    Fr(HasOffsetMappedTexCoord ? HeaderOffset : HeaderPlain);
  }
  if (n >= 0) {
    AddFragmentSampler("uniform sampler2D uNormalMapTex" + I(n) + ";");
    if (OffsetMappedTexCoord[size_t(n)])
      Fr("  vec3 normal=normalize(textureGrad(uNormalMapTex" + I(n) +
         ",offsetMappedCoord,oTexCoordDX,oTexCoordDY).xyz-vec3(0.5));");
    else
      Fr("  vec3 normal=normalize(texture2D(uNormalMapTex" + I(n) + ",vTexCoord" + I(TexCoordAtlases[size_t(n)]) +
         ").xyz-vec3(0.5));");
  } else {
    Fr("  vec3 normal=vNormalViewSpace;");
  }
  if (LightMapped) {
    AddFragmentUniform("uniform float uDeluxeMapModelSpace;");
    AddFragmentSampler("uniform sampler2D uDeluxeMapTex;");
    Fr("  vec3 lightDir=((texture2D(uDeluxeMapTex,lightMapCoord).xyz-vec3(0.5))*2.0);");
    Fr("  lightDir=normalize(mix(lightDir,vec3(dot(lightDir,vNormalMapT),dot(lightDir,vNormalMapB),dot(lightDir,"
       "vNormalMapN)),uDeluxeMapModelSpace));");
  } else if (PerPixelLighting) {
    Fr("  vec3 lightAmbient=vec3(0.25);");
    Fr("  vec3 lightDirected=vec3(0.75);");
    Fr("  vec3 lightDirection=normal;");
    Fr("  lightGridProcess(vWorldSpacePosition.xyz,lightAmbient,lightDirected,lightDirection);");
    Fr("  vec3 lightDir=normalize(lightDirection*transpose(vNormalMapMatrix));");
  } else {
    Fr("  vec3 lightDir=normalize(uNormalMapLightDirection*transpose(vNormalMapMatrix));");
  }
  const char* LightMapColor =
      "  vec4 color=vec4(vec3(clamp(lightColor.xyz*max(0.0,dot(normal.xyz,lightDir.xyz)),lightColor.xyz*0.25,"
      "lightColor.xyz)),lightColor.w);";
  if (LightMapped) {
    Fr("  vec4 lightColor=texture2D(lightMap,lightMapCoord).xyzw;");
    Fr("  lightColor=mix(lightColor,lightColor*(1.0/max(0.25,lightDir.z)),uDeluxeMapModelSpace);");
    Fr(LightMapColor);
  } else if (PerPixelLighting) {
    Fr("  vec4 lightColor=vec4(lightDirected,1.0);");
    Fr("  vec4 color=vec4(vec3(clamp(lightAmbient+(max(dot(normal.xyz,lightDir.xyz),0.0)*lightDirected),0.0,1.0)),"
       "lightColor.w);");
  } else {
    Fr("  vec4 lightColor=vec4(1.0);");
    Fr(LightMapColor);
  }
  if (sp >= 0) {
    AddFragmentSampler("uniform sampler2D uSpecularMapTex" + I(sp) + ";");
    AddFragmentUniform("uniform float uSpecularScale;");
    AddFragmentUniform("uniform float uSpecularPower;");
    if (OffsetMappedTexCoord[size_t(sp)])
      Fr("  vec4 specularMapColor=textureGrad(uSpecularMapTex" + I(sp) +
         ",offsetMappedCoord,oTexCoordDX,oTexCoordDY);");
    else
      Fr("  vec4 specularMapColor=texture2D(uSpecularMapTex" + I(sp) + ",vTexCoord" +
         I(TexCoordAtlases[size_t(sp)]) + ");");
    Fr("  float lightSpecular=max(uSpecularScale*pow(max(-dot(reflect(lightDir.xyz,normal.xyz),normalize("
       "vTangentSpacePosition.xyz)),0.0),1.0+(uSpecularPower*specularMapColor.w)),0.0);");
    Fr("  specularColor.xyz=(specularMapColor.xyz*lightColor.xyz)*lightSpecular;");
  }
  Fr("  return color;");
  Fr("}");
  // The light-mapped form above is the deluxe function; stages lit per pixel still call
  // perPixelLighting, which would otherwise not exist.
  if (LightMapped && PerPixelLighting) GridLighting();
}

void TGenerator::GenerateShaderStageForFragmentShader(int32_t i) {
  if (!(TexCoord[size_t(i)] && TexCoordAtlases[size_t(i)] == i && OffsetMappedTexCoord[size_t(i)])) return;
  const TZNT1ShaderStage& s = *Stage(i);
  const std::string Si = I(i), O = "oTexCoord" + Si;
  Fr("  vec2 " + O + "=oTexCoord;");
  for (int32_t j = 0; j < std::clamp(s.NumTexMods, 0, MAX_TEXMODS); j++) {
    const TZNTShaderTexMod& m = s.TexMods[j];
    const std::string Sj = I(j);
    if (m.TexMod != TMOD_TRANSFORM && m.TexMod != TMOD_SCALE) AddFragmentUniform("uniform float uTime;");
    switch (m.TexMod) {
      case TMOD_TRANSFORM: {
        const std::string N = "stage" + Si + "trans" + Sj;
        Fr("  vec2 " + N + "=vec2((" + F(m.Matrix.m00) + "*" + O + ".x)+(" + F(m.Matrix.m10) + "*" + O + ".y),(" +
           F(m.Matrix.m01) + "*" + O + ".x)+(" + F(m.Matrix.m11) + "*" + O + ".y));");
        Fr("  " + O + "=" + N + "+vec2(" + F(m.Translate.x) + "," + F(m.Translate.y) + ");");
        break;
      }
      case TMOD_TURBULENT: {
        const std::string N = "stage" + Si + "turb" + Sj, Amp = F(m.Wave.Amplitude);
        Fr("  float " + N + "=(" + F(m.Wave.Phase) + "+(uTime*" + F(m.Wave.Frequency) + "))*0.25;");
        Fr("  " + O + "+=vec2(sin((((vWorldSpacePosition.x+vWorldSpacePosition.z)*(0.125/128.0))+" + N + ")*" +
           F(TwoPi) + ")*" + Amp + ",sin(((vWorldSpacePosition.y*(0.125/128.0))+" + N + ")*" + F(TwoPi) + ")*" + Amp +
           ");");
        break;
      }
      case TMOD_SCROLL:
        Fr("  " + O + "+=vec2(" + F(m.Scroll.x) + "," + F(m.Scroll.y) + ")*vec2(uTime,uTime);");
        break;
      case TMOD_SCALE:
        Fr("  " + O + "*=vec2(" + F(m.Scale.x) + "," + F(m.Scale.y) + ");");
        break;
      case TMOD_STRETCH: {
        const std::string N = "stage" + Si + "stretchWave" + Sj;
        AddWaveformFragment(N, "", m.Wave, "uTime");
        Fr(StretchFactorLine(N));
        Fr("  " + O + "=(" + O + "*" + N + ")+vec2(0.5-(0.5*" + N + "),0.5-(0.5*" + N + "));");
        break;
      }
      case TMOD_ROTATE: {
        const std::string N = "stage" + Si + "rotate" + Sj;
        Fr("  float " + N + "=" + F(Deg * double(m.RotateSpeed)) + "*uTime;");
        Fr("  " + O + "-=vec2(0.5,0.5);");
        Fr("  " + O + "=vec2((" + O + ".x*cos(" + N + "))-(" + O + ".y*sin(" + N + ")),(" + O + ".y*cos(" + N +
           "))+(" + O + ".x*sin(" + N + ")))+vec2(0.5,0.5);");
        break;
      }
      default:
        break;
    }
  }
}

void TGenerator::FogLines() {
  AddFragmentUniform("uniform vec4 uFogDistanceVector;");
  AddFragmentUniform("uniform vec4 uFogDepthVector;");
  AddFragmentUniform("uniform float uFogEyeT;");
  for (const char* Line : {"  vec4 fogPos=vec4(vPosition.xyz,1.0);", "  float fogS=dot(fogPos,uFogDistanceVector);",
                           "  float fogT=dot(fogPos,uFogDepthVector);", "  if(fogT>=1.0){",
                           "    fogS*=fogT/(fogT-min(uFogEyeT,0.0));", "  }else{",
                           "    fogS*=max(fogT+sign(uFogEyeT),0.0);", "  }",
                           "  fogS=1.0-sqrt(clamp(fogS*8.0,0.0,1.0));"})
    Fr(Line);
}

void TGenerator::MultiPassBody() {
  const int32_t s = SingleShaderStageIndex;
  const TZNT1ShaderStage& St = *Stage(s);
  const int32_t a = TexCoordAtlases[size_t(s)], c = ColorAtlases[size_t(s)];
  Stage(s)->SingleTextureShaderStageIndex = a;
  const bool Lit = PerPixelLighting && LightingStage[size_t(s)];
  const bool Deluxe = (St.IsLightMap || St.UseLightMap != 0) && HasDeluxeMap;
  const std::string Vt = vColor[size_t(s)] ? "*vColor" + I(c) : std::string();
  const bool OffsetMapped = OffsetMappedTexCoord[size_t(s)];
  const std::string X = OffsetMapped ? "oTexCoord" + I(a) : TexCoord[size_t(a)] ? "vTexCoord" + I(a) : "vec2(0.0,0.0)";
  const bool LitGen = St.RGBGen == CGEN_LIGHTING_DIFFUSE || St.RGBGen == CGEN_LIGHTING_DIFFUSE_VERTEX;

  if (Deluxe || Lit) Fr("  vec3 specularColor=vec3(0.0);");
  if (St.IsLightMap) {
    AddLightMapSampler();
    if (HasDeluxeMap) {
      Fr(HasOffsetMappedTexCoord
             ? "  vec4 color=deluxeMap2D(uLightMapTex," + X + ",offsetMappedCoord,specularColor,oTexCoordDX,oTexCoordDY)" +
                   Vt + ";"
             : "  vec4 color=deluxeMap2D(uLightMapTex," + X + ",specularColor)" + Vt + ";");
      if (UseLightPrepass) Fr("  specularColor*=shadowColor.xyz;");
    } else {
      Fr(OffsetMapped ? "  vec4 color=textureGrad(uLightMapTex," + X + ",oTexCoordDX,oTexCoordDY)" + Vt + ";"
                      : "  vec4 color=texture2D(uLightMapTex," + X + ")" + Vt + ";");
      if (UseLightPrepass) Fr("  color=(color*shadowColor)+lightsColor;");
    }
  } else {
    AddFragmentSampler("uniform sampler2D uTex" + I(s) + ";");
    Fr(OffsetMapped ? "  vec4 color=textureGrad(uTex" + I(s) + "," + X + ",oTexCoordDX,oTexCoordDY)" + Vt + ";"
                    : "  vec4 color=texture2D(uTex" + I(s) + "," + X + ")" + Vt + ";");
  }
  if (UseLightPrepass && LitGen) Fr("  baseColor=color;");
  if (Lit) {
    Fr(HasOffsetMappedTexCoord ? "  color*=perPixelLighting(offsetMappedCoord,specularColor,oTexCoordDX,oTexCoordDY);"
                               : "  color*=perPixelLighting(specularColor);");
    if (UseLightPrepass) Fr("  specularColor*=shadowColor.xyz;");
  }
  if (UseLightPrepass && LitGen) Fr("  color=(color*shadowColor)+(baseColor*lightsColor);");
  if (St.AlphaGen == AGEN_LIGHTING_SPECULAR)
    Fr("  color.w*=min(pow(max(dot(-reflect(normalize(vec3(-960.0,1980.0,96.0)-vViewSpacePosition.xyz),"
       "vNormalViewSpace),normalize(-vViewSpacePosition.xyz)),0.0),3.0),1.0);");
  const char* Test = HasBits(St.StateBits, GLS_ATEST_GT_0)    ? "  if(color.w==0.0){"
                     : HasBits(St.StateBits, GLS_ATEST_LT_80) ? "  if(color.w>=0.5){"
                     : HasBits(St.StateBits, GLS_ATEST_GE_80) ? "  if(color.w<0.5){"
                                                              : nullptr;
  if (Test) {
    Fr(Test);
    Fr("    discard;");
    Fr("  }");
  }
  if (Fog && St.AdjustColorsForFog >= ACFF_MODULATE_RGB && St.AdjustColorsForFog <= ACFF_MODULATE_ALPHA) {
    FogLines();
    if (St.AdjustColorsForFog == ACFF_MODULATE_RGB) Fr("  color*=vec4(vec3(fogS),1.0);");
    if (St.AdjustColorsForFog == ACFF_MODULATE_RGBA) Fr("  color*=vec4(fogS);");
    if (St.AdjustColorsForFog == ACFF_MODULATE_ALPHA) Fr("  color*=vec4(vec3(1.0),fogS);");
  }
  if (St.UseLightMap == 2 || St.UseLightMap == 3) {
    AddLightMapSampler();
    const std::string P = UseLightPrepass ? "(" : "", Q = UseLightPrepass ? "*shadowColor)+lightsColor;" : "";
    const std::string T =
        Deluxe ? (HasOffsetMappedTexCoord
                      ? "deluxeMap2D(uLightMapTex,vLightMapCoord,offsetMappedCoord,specularColor,oTexCoordDX,oTexCoordDY)"
                      : "deluxeMap2D(uLightMapTex,vLightMapCoord,specularColor)")
               : "texture2D(uLightMapTex,vLightMapCoord)";
    Fr((St.UseLightMap == 2 ? "  color+=" : "  color*=") + P + T + Q + ";");
    if (HasDeluxeMap && UseLightPrepass) Fr("  specularColor*=shadowColor.xyz;");
  }
  Fr(Deluxe || Lit ? "  gl_FragColor=vec4(clamp(color.xyz+specularColor.xyz,0.0,1.0),color.w);"
                   : "  gl_FragColor=color;");
}

void TGenerator::AlphaTestOpen(int32_t i, uint32_t Bits) {
  const char* Test = HasBits(Bits, GLS_ATEST_GT_0)    ? "  if(srcColor.w>0.0){"
                     : HasBits(Bits, GLS_ATEST_LT_80) ? "  if(srcColor.w<0.5){"
                     : HasBits(Bits, GLS_ATEST_GE_80) ? "  if(srcColor.w>=0.5){"
                                                      : nullptr;
  if (!Test) return;
  Fr(Test);
  if (ATestStart < 0) ATestStart = i;
}

void TGenerator::SinglePassBody() {
  Fr("  vec4 c=vec4(0.0,1.0,1.0,1.0);");
  if (DoFog) FogLines();
  for (int32_t i = 0; i < StageCount; i++) {
    if (Stage(i) && Stage(i)->UseLightMap != 0) {
      AddLightMapSampler();
      Fr(UseLightPrepass ? "  vec4 lightMapColor=(texture2D(uLightMapTex,vLightMapCoord)*shadowColor)+lightsColor;"
                         : "  vec4 lightMapColor=texture2D(uLightMapTex,vLightMapCoord);");
      break;
    }
  }
  const TZNT1ShaderStage* First = StageCount > 0 ? Stage(0) : nullptr;
  if (First && HasBits(First->StateBits, GLS_ATEST_BITS)) Supported = false;
  AlternativeBlending = First && (First->StateBits & 0xFF) == 0 && !AlphaTestedMaterial();
  if (AlternativeBlending) {
    Fr("  vec4 src=c.xxxx;");
    Fr("  vec4 dst=c.xxxx;");
    Fr("  vec4 dstColor=c.yyyy;");
  } else {
    Fr("  vec3 destColor;");
    Fr("  vec3 dstColorMult=c.yyy;");
    Fr("  vec3 dstColorAdd=c.xxx;");
  }
  Fr("  vec4 srcColor=c.xxxx;");
  bool AnySpecularAlpha = false, AnyLightMapStage = false;
  for (int32_t i = 0; i < StageCount; i++) {
    if (!Stage(i)) continue;
    if (Stage(i)->AlphaGen == AGEN_LIGHTING_SPECULAR) AnySpecularAlpha = true;
    if (Stage(i)->IsLightMap) AnyLightMapStage = true;
  }
  if (AnySpecularAlpha)
    Fr("  float alsLightSpecular=min(pow(max(dot(-reflect(normalize(vec3(-960.0,1980.0,96.0)-vViewSpacePosition.xyz),"
       "vNormalViewSpace),normalize(-vViewSpacePosition.xyz)),0.0),3.0),1.0);");
  if ((AnyLightMapStage && HasDeluxeMap) || PerPixelLighting) {
    HasSpecularColor = true;
    Fr("  vec3 specularColor=c.xxx;");
  }

  for (int32_t i = 0; i < StageCount; i++) {
    const TZNT1ShaderStage* S = Stage(i);
    if (!S || !S->IsDiffuseStage) continue;
    const TZNT1ShaderStage& St = *S;
    HasSpecularColorNow = false;
    const uint32_t SrcBlend = St.StateBits & GLS_SRCBLEND_BITS, DstBlend = St.StateBits & GLS_DSTBLEND_BITS;
    if (ATestStart >= 0 && !(HasBits(St.StateBits, GLS_DEPTHFUNC_EQUAL) && ATestStart == 0)) {
      Fr("  }");
      ATestStart = -1;
    }
    const int32_t a = TexCoordAtlases[size_t(i)], k = ColorAtlases[size_t(i)];
    const std::string X = Coordinate(i);
    const bool OffsetMapped = OffsetMappedTexCoord[size_t(a)];
    if (St.IsLightMap) {
      AddLightMapSampler();
      if (HasDeluxeMap) {
        HasSpecularColorNow = true;
        Fr(HasOffsetMappedTexCoord
               ? "  srcColor=deluxeMap2D(uLightMapTex," + X + ",offsetMappedCoord,specularColor,oTexCoordDX,oTexCoordDY);"
               : "  srcColor=deluxeMap2D(uLightMapTex," + X + ",specularColor);");
        if (UseLightPrepass) Fr("  specularColor*=shadowColor.xyz;");
      } else {
        Fr(OffsetMapped ? "  srcColor=textureGrad(uLightMapTex," + X + ",oTexCoordDX,oTexCoordDY);"
                        : "  srcColor=texture2D(uLightMapTex," + X + ");");
        if (UseLightPrepass) Fr("  srcColor=(srcColor*shadowColor)+lightsColor;");
      }
    } else {
      AddFragmentSampler("uniform sampler2D uTex" + I(i) + ";");
      Fr(OffsetMapped ? "  srcColor=textureGrad(uTex" + I(i) + "," + X + ",oTexCoordDX,oTexCoordDY);"
                      : "  srcColor=texture2D(uTex" + I(i) + "," + X + ");");
    }
    if (vColor[size_t(i)] && vColor[size_t(k)]) Fr("  srcColor*=vColor" + I(k) + ";");
    const bool LitGen = St.RGBGen == CGEN_LIGHTING_DIFFUSE || St.RGBGen == CGEN_LIGHTING_DIFFUSE_VERTEX;
    if (UseLightPrepass && LitGen) Fr("  baseColor=srcColor;");
    if (PerPixelLighting && LightingStage[size_t(i)]) {
      HasSpecularColorNow = true;
      Fr(HasOffsetMappedTexCoord
             ? "  srcColor*=perPixelLighting(offsetMappedCoord,specularColor,oTexCoordDX,oTexCoordDY);"
             : "  srcColor*=perPixelLighting(specularColor);");
      if (UseLightPrepass) Fr("  specularColor*=shadowColor.xyz;");
    }
    if (UseLightPrepass && LitGen) Fr("  srcColor=(srcColor*shadowColor)+(baseColor*lightsColor);");
    if (St.AlphaGen == AGEN_LIGHTING_SPECULAR) Fr("  srcColor.w*=alsLightSpecular;");
    AlphaTestOpen(i, St.StateBits);
    if (DoFog) {
      if (St.AdjustColorsForFog == ACFF_MODULATE_RGB) Fr("  srcColor*=vec4(vec3(fogS),1.0);");
      if (St.AdjustColorsForFog == ACFF_MODULATE_RGBA) Fr("  srcColor*=vec4(fogS);");
      if (St.AdjustColorsForFog == ACFF_MODULATE_ALPHA) Fr("  srcColor*=vec4(vec3(1.0),fogS);");
    }
    if (St.UseLightMap == 2) Fr("  srcColor+=lightMapColor;");
    if (St.UseLightMap == 3) Fr("  srcColor*=lightMapColor;");

    if (AlternativeBlending) {
      switch (SrcBlend) {
        case GLS_SRCBLEND_ZERO: Fr("  src=c.xxxx;"); break;
        case GLS_SRCBLEND_DST_COLOR: Fr("  src=dstColor.xyzw;"); break;
        case GLS_SRCBLEND_ONE_MINUS_DST_COLOR: Fr("  src=c.yyyy-dstColor.xyzw;"); break;
        case GLS_SRCBLEND_SRC_ALPHA: Fr("  src=srcColor.wwww;"); break;
        case GLS_SRCBLEND_ONE_MINUS_SRC_ALPHA: Fr("  src=c.yyyy-srcColor.wwww;"); break;
        case GLS_SRCBLEND_DST_ALPHA: Fr("  src=dstColor.wwww;"); break;
        case GLS_SRCBLEND_ONE_MINUS_DST_ALPHA: Fr("  src=c.yyyy-dstColor.wwww;"); break;
        case GLS_SRCBLEND_ALPHA_SATURATE:
          Fr("  src=(srcColor.w<(1.0-dstColor.w))?srcColor.wwww:(c.yyyy-dstColor.wwww);");
          break;
        default: Fr("  src=c.yyyy;"); break;  // one, or no blend
      }
      switch (DstBlend) {
        case GLS_DSTBLEND_ONE: Fr("  dst=c.yyyy;"); break;
        case GLS_DSTBLEND_SRC_COLOR: Fr("  dst=srcColor.xyzw;"); break;
        case GLS_DSTBLEND_ONE_MINUS_SRC_COLOR: Fr("  dst=c.yyyy-srcColor.xyzw;"); break;
        case GLS_DSTBLEND_SRC_ALPHA: Fr("  dst=srcColor.wwww;"); break;
        case GLS_DSTBLEND_ONE_MINUS_SRC_ALPHA: Fr("  dst=c.yyyy-srcColor.wwww;"); break;
        case GLS_DSTBLEND_DST_ALPHA: Fr("  dst=dstColor.wwww;"); break;
        case GLS_DSTBLEND_ONE_MINUS_DST_ALPHA: Fr("  dst=c.yyyy-dstColor.wwww;"); break;
        default: Fr("  dst=c.xxxx;"); break;  // zero, or no blend
      }
      Fr("  dstColor=clamp((srcColor*src)+(dstColor*dst),0.0,1.0);");
    } else {
      MultIsOnePlus = false;
      switch (DstBlend) {
        case GLS_DSTBLEND_ONE: Fr("  destColor=c.yyy;"); break;
        case GLS_DSTBLEND_SRC_COLOR: Fr("  destColor=srcColor.xyz;"); break;
        case GLS_DSTBLEND_ONE_MINUS_SRC_COLOR: Fr("  destColor=c.yyy-srcColor.xyz;"); break;
        case GLS_DSTBLEND_SRC_ALPHA: Fr("  destColor=srcColor.www;"); break;
        case GLS_DSTBLEND_ONE_MINUS_SRC_ALPHA: Fr("  destColor=c.yyy-srcColor.www;"); break;
        case GLS_DSTBLEND_DST_ALPHA:
        case GLS_DSTBLEND_ONE_MINUS_DST_ALPHA: Supported = false; break;
        default: Fr("  destColor=c.xxx;"); break;  // zero, or no blend
      }
      const bool Z = DstBlend == GLS_DSTBLEND_ZERO;
      switch (SrcBlend) {
        case GLS_SRCBLEND_ZERO:
          Fr("  dstColorMult*=destColor;");
          Fr("  dstColorAdd*=destColor;");
          MultIsZero = MultIsZero || Z;
          break;
        case GLS_SRCBLEND_DST_COLOR:
          Fr("  destColor=clamp(destColor+srcColor.xyz,0.0,1.0);");
          Fr("  dstColorMult*=destColor;");
          Fr("  dstColorAdd*=destColor;");
          MultIsOnePlus = DstBlend == GLS_DSTBLEND_ONE;
          Supported = false;
          break;
        case GLS_SRCBLEND_ONE_MINUS_DST_COLOR:
          Fr("  destColor=clamp(destColor-srcColor.xyz,0.0,1.0);");
          Fr("  dstColorMult*=destColor;");
          Fr("  dstColorAdd=clamp((dstColorAdd*destColor)+srcColor.xyz,0.0,1.0);");
          AddIsZero = false;
          Supported = false;
          break;
        case GLS_SRCBLEND_SRC_ALPHA:
          Fr("  dstColorMult*=destColor;");
          Fr("  dstColorAdd=clamp((dstColorAdd*destColor)+(srcColor.xyz*srcColor.w),0.0,1.0);");
          MultIsZero = MultIsZero || Z;
          AddIsZero = false;
          break;
        case GLS_SRCBLEND_ONE_MINUS_SRC_ALPHA:
          Fr("  dstColorMult*=destColor;");
          Fr("  dstColorAdd=clamp((dstColorAdd*destColor)+(srcColor.xyz*(c.y-srcColor.w)),0.0,1.0);");
          MultIsZero = MultIsZero || Z;
          AddIsZero = false;
          break;
        case GLS_SRCBLEND_DST_ALPHA:
        case GLS_SRCBLEND_ONE_MINUS_DST_ALPHA:
        case GLS_SRCBLEND_ALPHA_SATURATE:
          Supported = false;
          break;
        default:  // one, or no blend
          Fr("  dstColorMult*=destColor;");
          Fr("  dstColorAdd=clamp((dstColorAdd*destColor)+srcColor.xyz,0.0,1.0);");
          MultIsZero = MultIsZero || Z;
          AddIsZero = false;
          break;
      }
    }

    if (HasSpecularColorNow) {
      if (AlternativeBlending) {
        Fr("  dstColor.xyz=clamp(dstColor.xyz+specularColor.xyz,0.0,1.0);");
      } else {
        MultIsOnePlus = false;
        Fr("  dstColorAdd=clamp(dstColorAdd+specularColor.xyz,0.0,1.0);");
        MultIsZero = MultIsZero || DstBlend == GLS_DSTBLEND_ZERO;
        AddIsZero = false;
      }
    }
    if (HasBits(St.StateBits, GLS_ATEST_BITS) && ATestStart < i) Fr("  }");
  }
  if (ATestStart > 0) {
    Fr("  }");
  } else if (ATestStart == 0) {
    Fr("  }else{");
    Fr("    discard;");
    Fr("  }");
  }
  if (AlternativeBlending) {
    Fr("  gl_FragColor=dstColor;");
  } else {
    if (MultIsOnePlus) Fr("  dstColorMult-=c.yyy;");
    if (AddIsZero)
      Fr("  gl_FragColor=vec4(dstColorMult.xyz,c.y);");
    else if (MultIsZero)
      Fr("  gl_FragColor=vec4(dstColorAdd.xyz,c.y);");
    else
      Fr("  gl_FragColor=vec4(dstColorAdd.xyz,dot(dstColorMult.xyz,vec3(" + F(1.0 / 3.0) + ")));");
  }

  uint32_t Bits = First ? (First->StateBits & ~0xFFu) : Shader->StateBits;
  const bool Opaque = First && (First->StateBits & 0xFF) == 0;
  if (!Opaque && !MultIsZero) {
    if (AddIsZero)
      Bits |= GLS_SRCBLEND_DST_COLOR | (MultIsOnePlus ? GLS_DSTBLEND_ONE : GLS_DSTBLEND_ZERO);
    else
      Bits |= GLS_SRCBLEND_ONE | GLS_DSTBLEND_SRC_ALPHA;
  }
  Shader->SinglePassStateBits = Bits;
}

void TGenerator::FillSampling(int32_t i) {
  const TZNT1ShaderStage& St = *Stage(i);
  const int32_t a = TexCoordAtlases[size_t(i)], k = ColorAtlases[size_t(i)];
  const std::string X = TexCoord[size_t(a)] ? "vTexCoord" + I(a) : "vec2(0.0,0.0)";
  if (St.IsLightMap) {
    AddLightMapSampler();
    Fr("  srcColor=texture2D(uLightMapTex," + X + ");");
  } else {
    AddFragmentSampler("uniform sampler2D uTex" + I(i) + ";");
    Fr("  srcColor=texture2D(uTex" + I(i) + "," + X + ");");
  }
  if (vColor[size_t(i)] && vColor[size_t(k)]) Fr("  srcColor*=vColor" + I(k) + ";");
}

void TGenerator::FillBody(bool SinglePass) {
  if (SinglePass) {
    if (AlphaTestedMaterial()) {
      Fr("  vec4 srcColor;");
      ATestStart = -1;
      for (int32_t i = 0; i < StageCount; i++) {
        const TZNT1ShaderStage* S = Stage(i);
        if (!S || !S->IsDiffuseStage || !HasBits(S->StateBits, GLS_ATEST_BITS)) continue;
        if (ATestStart >= 0 && !(HasBits(S->StateBits, GLS_DEPTHFUNC_EQUAL) && ATestStart == 0)) {
          Fr("  }");
          ATestStart = -1;
        }
        FillSampling(i);
        AlphaTestOpen(i, S->StateBits);
        if (ATestStart < i) Fr("  }");
      }
      if (ATestStart > 0) {
        Fr("  }");
      } else if (ATestStart == 0) {
        Fr("  }else{");
        Fr("    discard;");
        Fr("  }");
      }
    }
  } else {
    const int32_t s = SingleShaderStageIndex;
    const uint32_t Bits = Stage(s)->StateBits;
    if (HasBits(Bits, GLS_ATEST_BITS)) {
      Fr("  vec4 srcColor;");
      FillSampling(s);
      Fr(HasBits(Bits, GLS_ATEST_GT_0)    ? "  if(srcColor.w==0.0){"
         : HasBits(Bits, GLS_ATEST_LT_80) ? "  if(srcColor.w>=0.5){"
                                          : "  if(srcColor.w<0.5){");
      Fr("    discard;");
      Fr("  }");
    }
  }
  switch (ShaderType) {
    case zstGEOMETRYFILLSINGLEPASS:
    case zstGEOMETRYFILLMULTIPASS:
      AddGeometryFillCode();
      break;
    case zstSHADOWMAPFILLSINGLEPASS:
    case zstSHADOWMAPFILLMULTIPASS:
      AddShadowMapFillCode();
      break;
    default:
      AddShadowCubeMapFillCode();
      break;
  }
}

void TGenerator::FogVolumeBody() {
  AddFragmentUniform("uniform vec3 uFogAABBMin;");
  AddFragmentUniform("uniform vec3 uFogAABBMax;");
  AddFragmentUniform("uniform vec4 uFogColor;");
  AddFragmentSampler("uniform sampler2D uFogTex;");
  for (const char* Line : {"vec4 fogColor;", "if((vWorldSpacePosition.x>=uFogAABBMin.x)&&",
                           "   (vWorldSpacePosition.y>=uFogAABBMin.y)&&", "   (vWorldSpacePosition.z>=uFogAABBMin.z)&&",
                           "   (vWorldSpacePosition.x<=uFogAABBMax.x)&&", "   (vWorldSpacePosition.y<=uFogAABBMax.y)&&",
                           "   (vWorldSpacePosition.z<=uFogAABBMax.z)){",
                           "    fogColor=texture2D(uFogTex,vFogTexCoord)*uFogColor;", "  }else{",
                           "    fogColor=vec4(0.0);", "  }", "  gl_FragColor=fogColor;"})
    Fr(Line);
}

void TGenerator::FragmentShaderCode() {
  if (PerPixelLighting) {
    AddFragmentUniform("uniform sampler3D uLightGridTex;");
    AddFragmentUniform("uniform vec3 uLightGridScale;");
    AddFragmentUniform("uniform vec3 uLightGridOffset;");
    AddFragmentUniform("uniform vec3 uPrimaryLightAmbient;");
    AddFragmentUniform("uniform vec3 uPrimaryLightDirection;");
    AddFragmentUniform("uniform vec3 uPrimaryLightDirectional;");
    LightGridFunction(true);
  }
  PackingFunctions();
  const bool Material = IsMaterialKind();
  if (Material && NormalMapIndex >= 0 && Shader->OffsetMappingMode != zsommOFF) OffsetMappingFunction();
  if (Material) LightingFunction();
  Fr("void main(){");
  if (ClipPlane) {
    AddFragmentUniform("uniform vec4 uClipPlane;");
    Fr("  if((dot(vViewSpacePosition.xyz,uClipPlane.xyz)+uClipPlane.w)<0.0){");
    Fr("    discard;");
    Fr("  }");
  }
  if (Material && HasOffsetMappedTexCoord) {
    const int32_t n = NormalMapIndex, an = TexCoordAtlases[size_t(n)];
    AddFragmentUniform("uniform sampler2D uNormalMapTex" + I(n) + ";");
    Fr("  vec2 oTexCoordDX=dFdx(vTexCoord.xy);");
    Fr("  vec2 oTexCoordDY=dFdy(vTexCoord.xy);");
    Fr("  vec2 oTexCoord=OffsetMapping(uNormalMapTex" + I(n) + ",vTexCoord,oTexCoordDX,oTexCoordDY);");
    for (int32_t i = 0; i < StageCount; i++)
      if (Stage(i)) GenerateShaderStageForFragmentShader(i);
    Fr(OffsetMappedTexCoord[size_t(an)] ? "  vec2 offsetMappedCoord=oTexCoord" + I(an) + ";"
                                         : "  vec2 offsetMappedCoord=vTexCoord" + I(an) + ";");
  }
  if (Material && UseLightPrepass) {
    AddFragmentSampler("uniform sampler2D uLightBufferTex0;");
    for (const char* Line :
         {"vec4 lightBufferTexel0=(vProjectionSpacePosition.w>0.0)?texture2D(uLightBufferTex0,((vProjectionSpacePosition."
          "xy/vProjectionSpacePosition.w)*0.5)+vec2(0.5)):vec4(0.0);",
          "vec4 shadowColor=vec4(vec3(1.0-(lightBufferTexel0.w*0.5)),1.0);",
          "vec4 lightsColor=vec4(lightBufferTexel0.xyz,0.0);", "vec4 baseColor=vec4(0.0);",
          "shadowColor=clamp(vec4(vec3(vec3(1.0)-((vec3(1.0)-shadowColor.xyz)-lightsColor.xyz)),1.0),0.0,1.0);"})
      Fr(Line);
  }
  switch (ShaderType) {
    case zstSINGLEPASS:
      SinglePassBody();
      break;
    case zstMULTIPASS:
      MultiPassBody();
      break;
    case zstDLIGHT:
      AddFragmentSampler("uniform sampler2D uDLightTex;");
      break;
    case zstFOG:
      FogVolumeBody();
      break;
    case zstGEOMETRYFILLSINGLEPASS:
    case zstSHADOWMAPFILLSINGLEPASS:
    case zstSHADOWCUBEMAPFILLSINGLEPASS:
      FillBody(true);
      break;
    case zstGEOMETRYFILLMULTIPASS:
    case zstSHADOWMAPFILLMULTIPASS:
    case zstSHADOWCUBEMAPFILLMULTIPASS:
      FillBody(false);
      break;
    case zstZPREPASS:
      Fr("  gl_FragColor=vec4(0.0);");
      break;
    case zstWHITE:
      Fr("  gl_FragColor=vec4(1.0);");
      break;
    case zstWIREFRAME:
      Fr("  vec3 t=smoothstep(vec3(0.0),fwidth(vBarycentric)*1.5,vBarycentric);");
      Fr("  gl_FragColor=vec4(vec3(1.0),(1.0-min(t.x,min(t.y,t.z)))*0.9);");
      break;
    default:
      break;
  }
  Fr("}");
  if (LightMapTex) TexUnits++;
}

void TGenerator::GeometryShaderCode(TZNT1GeneratedShaderText& Out) {
  const bool Cube = ShaderType == zstSHADOWCUBEMAPFILLSINGLEPASS || ShaderType == zstSHADOWCUBEMAPFILLMULTIPASS;
  if (ShaderType == zstWIREFRAME) {
    Out.OutputTriangles = 1;
    G("void main(){");
    G("  for(int i=0;i<3;i++){");
    for (const std::string& v : Varyings.Lines) {
      const std::string Name = SplitDeclaration(v).Name;
      if (Name == "vBarycentric")
        G("    vBarycentricOut=vec3(((i%3)==0)?1.0:0.0,((i%3)==1)?1.0:0.0,((i%3)==2)?1.0:0.0);");
      else
        G("    " + Name + "Out=" + Name + "In[i];");
    }
    G("    gl_Position=gl_PositionIn[i];");
    G("    EmitVertex();");
    G("  }");
    G("  EndPrimitive();");
    G("}");
  } else if (Cube && Caps->UseSinglePassShadowCubeMaps) {
    Out.OutputTriangles = 6;
    AddGeometryUniform("uniform mat4 uProjectionMatrix;");
    AddGeometryUniform("uniform mat4 uCubeMapMatrices[6];");
    AddGeometryUniform("uniform vec3 uShadowMapLightPosition0;");
    G("void main(){");
    G("  for(int i=0;i<6;i++){");
    G("    gl_Layer=i;");
    G("    for(int j=0;j<3;j++){");
    for (const std::string& v : Varyings.Lines) {
      const std::string Name = SplitDeclaration(v).Name;
      if (Name == "vBarycentric")
        G("      vBarycentricOut=vec3(((j%3)==0)?1.0:0.0,((j%3)==1)?1.0:0.0,((j%3)==2)?1.0:0.0);");
      else
        G("      " + Name + "Out=" + Name + "In[j];");
    }
    G("      gl_Position=uProjectionMatrix*(uCubeMapMatrices[i]*(vec4(vWorldSpacePositionIn[j].xyz-"
      "uShadowMapLightPosition0,1.0)));");
    G("      EmitVertex();");
    G("    }");
    G("    EndPrimitive();");
    G("  }");
    G("}");
  }
}

// ---------------------------------------------------------------------------------------------

void TGenerator::Run(TZNT1GeneratedShaderText& Out) {
  if (!Shader) {
    Out.Refusal = "no material";
    return;
  }
  StageCount = Shader->Count();
  const size_t n = size_t(StageCount);
  TexCoordAtlases.resize(n);
  ColorAtlases.resize(n);
  for (int32_t i = 0; i < StageCount; i++) TexCoordAtlases[size_t(i)] = ColorAtlases[size_t(i)] = i;
  vColor.assign(n, false);
  TexCoord.assign(n, false);
  OffsetMappedTexCoord.assign(n, false);
  LightingStage.assign(n, false);
  Visited.assign(n, false);
  for (int32_t i = 0; i < StageCount; i++) {
    if (!Stage(i)) continue;
    if (Stage(i)->NormalMap) NormalMapIndex = i;
    if (Stage(i)->SpecularMap) SpecularMapIndex = i;
  }
  Shader->NormalMapShaderStageIndex = NormalMapIndex;
  Shader->NormalMapShaderStage = NormalMapIndex >= 0 ? Stage(NormalMapIndex) : nullptr;
  Shader->SpecularMapShaderStageIndex = SpecularMapIndex;
  Shader->SpecularMapShaderStage = SpecularMapIndex >= 0 ? Stage(SpecularMapIndex) : nullptr;

  if (IsMultiPassKind() && !ValidStage(SingleShaderStageIndex)) {
    Out.Refusal = "no such stage";
    return;
  }

  Barycentric = ShaderType == zstWIREFRAME;
  GeometryFill = ShaderType == zstGEOMETRYFILLSINGLEPASS || ShaderType == zstGEOMETRYFILLMULTIPASS;
  Normal = VaryingNormal = Tangent = NeedNormal = NeedTangent = GeometryFill;
  VaryingWorldSpacePosition = ShaderType >= zstGEOMETRYFILLSINGLEPASS && ShaderType <= zstSHADOWCUBEMAPFILLMULTIPASS;
  VaryingViewSpacePosition = VaryingTangentSpacePosition = GeometryFill;
  NeedLightMapCoord = VaryingLightMapCoord = Shader->UseLightMap;
  NeedMiddle = Shader->HasAutoSpriteDeformation || Shader->HasAutoSprite2Deformation;

  CheckShaderForFeatures();
  for (int32_t i : VisitedStages()) {
    CheckShaderStageForFeatures(i);
    Visited[size_t(i)] = true;
    FindAtlases(i);
  }
  // The geometry fill samples the material's normal and specular maps at their stages'
  // coordinates, also where it reads those stages for nothing else.
  if (GeometryFill) {
    for (int32_t i : {HasNormalMap ? NormalMapIndex : -1, HasSpecularMap ? SpecularMapIndex : -1}) {
      if (!ValidStage(i) || Visited[size_t(i)]) continue;
      CheckStageCoordinates(i);
      Visited[size_t(i)] = true;
      FindAtlases(i);
    }
  }
  // Offset mapping moves the model's texture coordinates; a program that reads no stage with
  // them has nothing to move.
  if (NormalMapIndex >= 0 && IsMaterialKind() && Shader->OffsetMappingMode != zsommOFF) {
    for (int32_t i = 0; i < StageCount; i++)
      if (Visited[size_t(i)] && Stage(i)->TexCoordGen == TCGEN_TEXTURE) {
        OffsetMappedTexCoord[size_t(i)] = true;
        VaryingWorldSpacePosition = HasOffsetMappedTexCoord = true;
      }
  }
  if (Tangent) VaryingTangentSpacePosition = true;
  if (PerPixelLighting) VaryingNormal = Normal = NeedNormal = true;
  UseLightPrepass = UseLightPrepass && Shader->Sort <= SORT_BANNER && !Caps->LowQuality;
  VaryingProjectionSpacePosition = (UseLightPrepass && IsMaterialKind()) || GeometryFill;

  const struct {
    bool Need;
    const char* Line;
    const char* Twin;
  } AttributeTable[] = {
      {true, "attribute vec3 aPosition;", "attribute vec3 aPosition2;"},
      {NeedTexCoord, "attribute vec2 aTexCoord;", "attribute vec2 aTexCoord2;"},
      {NeedLightMapCoord, "attribute vec2 aLightMapCoord;", "attribute vec2 aLightMapCoord2;"},
      {NeedNormal, "attribute vec3 aNormal;", "attribute vec3 aNormal2;"},
      {NeedTangent, "attribute vec4 aTangent;", "attribute vec4 aTangent2;"},
      {NeedColor, "attribute vec4 aColor;", "attribute vec4 aColor2;"},
      {NeedMiddle, "attribute vec4 aMiddle;", "attribute vec4 aMiddle2;"},
  };
  for (const auto& a : AttributeTable) {
    if (!a.Need) continue;
    AddAttribute(a.Line);
    if (Interp) AddAttribute(a.Twin);
  }
  if (Barycentric) AddVarying("varying vec3 vBarycentric;");
  if (DoFog) VaryingPosition = true;
  AddVertexUniform("uniform mat4 uModelMatrix;");
  AddVertexUniform("uniform mat4 uViewMatrix;");
  AddVertexUniform("uniform mat4 uProjectionMatrix;");
  if (Time) AddVertexUniform("uniform float uTime;");
  if (Interp) AddVertexUniform("uniform float uInterpolation;");
  if (ShaderType >= zstSHADOWMAPFILLSINGLEPASS && ShaderType <= zstSHADOWCUBEMAPFILLMULTIPASS) {
    AddFragmentUniform("uniform vec3 uShadowMapLightPosition0;");
    AddFragmentUniform("uniform float uShadowMapLightInvRadius0;");
  }
  if (HasLighting && !PerPixelLighting) {
    for (const char* Line : {"uniform sampler3D uLightGridTex;", "uniform vec3 uLightGridScale;",
                             "uniform vec3 uLightGridOffset;", "uniform vec3 uPrimaryLightAmbient;",
                             "uniform vec3 uPrimaryLightDirection;", "uniform vec3 uPrimaryLightDirectional;"})
      AddVertexUniform(Line);
  }
  VertexShaderCode();
  // A stage whose colour another stage computes is lit per pixel like that stage; otherwise it
  // would be drawn unlit in the single pass.
  for (int32_t i = 0; i < StageCount; i++)
    if (LightingStage[size_t(ColorAtlases[size_t(i)])]) LightingStage[size_t(i)] = true;
  FragmentShaderCode();
  if (ShaderType == zstWIREFRAME || ShaderType == zstSHADOWCUBEMAPFILLSINGLEPASS ||
      ShaderType == zstSHADOWCUBEMAPFILLMULTIPASS)
    GeometryShaderCode(Out);

  Out.TexUnits = TexUnits;
  Out.AttributeCount = AttributeCount;
  Out.VertexUniformCount = VertexUniforms.Count;
  Out.GeometryUniformCount = GeometryUniforms.Count;
  Out.FragmentUniformCount = FragmentUniforms.Count;
  Out.VaryingCount = Varyings.Count;
  Out.Attributes = Attributes.Lines;
  Out.Varyings = Varyings.Lines;
  for (const TZNT1DeclarationList* l : {&VertexUniforms, &GeometryUniforms, &FragmentUniforms})
    Out.Uniforms.insert(Out.Uniforms.end(), l->Lines.begin(), l->Lines.end());

  if (ShaderType == zstSINGLEPASS && StageCount <= 1)
    Out.Refusal = "a single pass needs two stages";
  else if (TexUnits > Caps->MaxTextureUnits)
    Out.Refusal = "too many texture units";
  else if (AttributeCount > Caps->MaxVertexAttribs)
    Out.Refusal = "too many vertex attributes";
  else if (VertexUniforms.Count > Caps->MaxVertexUniformVectors)
    Out.Refusal = "too many vertex uniforms";
  else if (GeometryUniforms.Count > Caps->MaxGeometryUniformVectors)
    Out.Refusal = "too many geometry uniforms";
  else if (FragmentUniforms.Count > Caps->MaxFragmentUniformVectors)
    Out.Refusal = "too many fragment uniforms";
  else if (!Supported)
    Out.Refusal = "blending not expressible in one pass";
  else if (!GeometryLines.Lines.empty() && !Caps->GeometryShader)
    Out.Refusal = "no geometry shaders";
  if (!Out.Refusal.empty()) return;

  std::string Vertex = TZNT1GLSLShaders::VertexPrelude();
  Vertex += "\r\n";
  AppendLines(Vertex, Attributes.Lines);
  Vertex += "\r\n";
  AppendLines(Vertex, VertexUniforms.Lines);
  Vertex += "\r\n";
  AppendLines(Vertex, Varyings.Lines);
  Vertex += "\r\n";
  VertexLines.AppendTo(Vertex);

  std::string Fragment = TZNT1GLSLShaders::FragmentPrelude();
  Fragment += "\r\n";
  AppendLines(Fragment, FragmentUniforms.Lines);
  Fragment += "\r\n";
  AppendLines(Fragment, Varyings.Lines);
  Fragment += "\r\n";
  FragmentLines.AppendTo(Fragment);

  if (!GeometryLines.Lines.empty()) {
    std::string Geometry =
        "#version 140\r\n#extension GL_ARB_geometry_shader4 : enable\r\n#extension GL_EXT_gpu_shader4 : enable\r\n\r\n";
    AppendLines(Geometry, GeometryUniforms.Lines);
    Geometry += "\r\n";
    std::vector<TDeclaration> Declarations;
    for (const std::string& v : Varyings.Lines) Declarations.push_back(SplitDeclaration(v));
    for (const TDeclaration& d : Declarations) {
      Geometry += d.Qualifier + " in " + d.Type + " " + d.Name + "In[3]" + d.Rest + "\r\n";
      RenameIdentifier(Vertex, d.Name, "In");
    }
    for (const TDeclaration& d : Declarations) {
      Geometry += d.Qualifier + " out " + d.Type + " " + d.Name + "Out" + d.Rest + "\r\n";
      RenameIdentifier(Fragment, d.Name, "Out");
    }
    GeometryLines.AppendTo(Geometry);
    Out.GeometryShader = std::move(Geometry);
  } else {
    Out.OutputTriangles = 0;
  }
  Out.VertexShader = std::move(Vertex);
  Out.FragmentShader = std::move(Fragment);
}

}  // namespace

bool TZNT1DeclarationList::Holds(const std::string& Line) const {
  for (const std::string& l : Lines)
    if (SameIgnoringCase(l, Line)) return true;
  return false;
}

bool TZNT1DeclarationList::Add(const std::string& Line) {
  if (Holds(Line)) return false;
  Lines.push_back(Line);
  // An array of matrices counts as one matrix.
  Count += Line.find("mat4") != std::string::npos ? 4 : Line.find("mat3") != std::string::npos ? 3 : 1;
  return true;
}

std::vector<std::string> WaveformCode(const std::string& n, const std::string& o, const TZNT1ShaderWaveform& w,
                                      const std::string& TimeVar) {
  const std::string Base = F(w.Base), Amp = F(w.Amplitude), Phase = F(w.Phase), Freq = F(w.Frequency);
  std::string Middle;
  switch (w.Waveform) {
    case GF_SIN:
      return {"  float " + n + "=" + Base + "+(sin(((" + Phase + o + ")+(" + TimeVar + "*" + Freq + "))*" +
              F(TwoPi) + ")*" + Amp + ");"};
    case GF_SQUARE:
      Middle = "  " + n + "=(mod(floor(" + n + "*2.0)+1.0,2.0)*2.0)-1.0;";
      break;
    case GF_TRIANGLE:
      Middle = "  " + n + "=abs(2.0*fract(" + n + ")-1.0);";
      break;
    case GF_SAWTOOTH:
      Middle = "  " + n + "=fract(" + n + ");";
      break;
    case GF_INVERSESAWTOOTH:
      Middle = "  " + n + "=1.0-fract(" + n + ");";
      break;
    case GF_NOISE:
      Middle = "  " + n + "=mod(sin(dot(vec2((" + TimeVar + "+" + n + ")-7.0,(" + TimeVar + "-" + n +
               ")+13.0),vec2(12.9898,78.233)))*43758.5453,1.0);";
      break;
    default:
      return {"  float " + n + "=0.0;"};
  }
  return {"  float " + n + "=(" + Phase + o + ")+(" + TimeVar + "*" + Freq + ");", Middle,
          "  " + n + "=" + Base + "+(" + n + "*" + Amp + ");"};
}

void RenameIdentifier(std::string& Text, const std::string& Name, const std::string& Suffix) {
  if (Name.empty()) return;
  std::string Result;
  size_t From = 0;
  for (size_t At = Text.find(Name); At != std::string::npos; At = Text.find(Name, At + Name.size())) {
    const size_t End = At + Name.size();
    if ((At > 0 && IsIdentChar(Text[At - 1])) || (End < Text.size() && IsIdentChar(Text[End]))) continue;
    Result.append(Text, From, End - From);
    Result += Suffix;
    From = End;
  }
  if (From == 0) return;
  Result.append(Text, From, std::string::npos);
  Text = std::move(Result);
}

TZNT1GeneratedShaderText ComposeShader(TZNT1Shader* Shader, int32_t ShaderType, int32_t SingleShaderStageIndex,
                                       bool ClipPlane, bool Fog, bool InterpolateVertices, int32_t) {
  TZNT1GeneratedShaderText Out;
  TGenerator Generator(Shader, ShaderType, SingleShaderStageIndex, ClipPlane, Fog, InterpolateVertices);
  Generator.Run(Out);
  return Out;
}

TZNT1GLSLShader* GenerateShader(TZNT1Shader* Shader, int32_t ShaderType, int32_t SingleShaderStageIndex,
                                bool ClipPlane, bool Fog, bool InterpolateVertices, int32_t InputShadowMapCount) {
  const TZNT1GeneratedShaderText Text = ComposeShader(Shader, ShaderType, SingleShaderStageIndex, ClipPlane, Fog,
                                                      InterpolateVertices, InputShadowMapCount);
  if (!Text.Refusal.empty() || !Shader->Engine || !Shader->Engine->GLSLShaders) return nullptr;
  TZNT1GLSLShader* Program = Shader->Engine->GLSLShaders->GetShader(Text.VertexShader, Text.GeometryShader,
                                                                    Text.FragmentShader, Text.OutputTriangles);
  bool Compiled = false;
  try {
    Compiled = Program->Compile(false);
  } catch (const EShaderException&) {
    Compiled = false;
  }
  Shader->Engine->ShowLoadProgress(false, Shader->Engine->LastProgress);
  return Compiled ? Program : nullptr;
}
