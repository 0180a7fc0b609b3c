#include "material/ZNT1Shader.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "assets/ZNT1Archive.h"
#include "assets/ZNT1Texture.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Sort.h"
#include "core/ZNT1Stream.h"
#include "core/ZefuDoubleToString.h"
#include "core/ZefuStringToDouble.h"
#include "gpu/ZNT1GLSLShader.h"
#include "material/ZNT1ShaderGenerator.h"

// ---- Helpers ----

float DoubleToSingle(double d) {
  // A plain cast is undefined beyond the single range.
  constexpr double MaxSingle = std::numeric_limits<float>::max();
  if (d > MaxSingle) return std::numeric_limits<float>::infinity();
  if (d < -MaxSingle) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(d);
}

double ConvertStringToDouble(std::string_view StringValue, int32_t RoundingMode, bool* OK, int32_t Base) {
  std::string Text;
  std::string_view Value = StringValue;
  if (!Value.empty() && Value[0] == '.') {
    Text = "0";
    Text.append(Value);
    Value = Text;
  } else if (Value.size() >= 2 && Value[0] == '-' && Value[1] == '.') {
    Text.reserve(Value.size() + 4);
    for (size_t i = 0; i < Value.size(); ++i) {
      if (Value[i] == '-' && i + 1 < Value.size() && Value[i + 1] == '.') {
        Text += "-0";
      } else {
        Text += Value[i];
      }
    }
    Value = Text;
  }
  const double Result = ZefuConvertStringToDouble(Value, RoundingMode, OK, Base);
  return std::isnan(Result) ? 0.0 : Result;
}

std::string GLSLFloat(double d) {
  if (std::isnan(d)) return "0.0";
  // GLSL has no infinity literal; beyond the single range the largest single stands in.
  constexpr double MaxSingle = std::numeric_limits<float>::max();
  if (d > MaxSingle) d = MaxSingle;
  if (d < -MaxSingle) d = -MaxSingle;
  std::string Result = ZefuConvertDoubleToString(d, zdtsmSTANDARD, 0);
  if (Result.find_first_of(".eE") == std::string::npos) Result += ".0";
  return Result;
}

uint32_t TranslateShaderBlend(uint32_t Blend) {
  constexpr uint32_t GL_ZERO_ = 0, GL_ONE_ = 1, GL_SRC_COLOR_ = 0x0300, GL_ONE_MINUS_SRC_COLOR_ = 0x0301,
                     GL_SRC_ALPHA_ = 0x0302, GL_ONE_MINUS_SRC_ALPHA_ = 0x0303, GL_DST_ALPHA_ = 0x0304,
                     GL_ONE_MINUS_DST_ALPHA_ = 0x0305, GL_DST_COLOR_ = 0x0306, GL_ONE_MINUS_DST_COLOR_ = 0x0307,
                     GL_SRC_ALPHA_SATURATE_ = 0x0308;
  switch (Blend) {
    case GLS_SRCBLEND_ZERO: return GL_ZERO_;
    case GLS_SRCBLEND_ONE: return GL_ONE_;
    case GLS_SRCBLEND_DST_COLOR: return GL_DST_COLOR_;
    case GLS_SRCBLEND_ONE_MINUS_DST_COLOR: return GL_ONE_MINUS_DST_COLOR_;
    case GLS_SRCBLEND_SRC_ALPHA: return GL_SRC_ALPHA_;
    case GLS_SRCBLEND_ONE_MINUS_SRC_ALPHA: return GL_ONE_MINUS_SRC_ALPHA_;
    case GLS_SRCBLEND_DST_ALPHA: return GL_DST_ALPHA_;
    case GLS_SRCBLEND_ONE_MINUS_DST_ALPHA: return GL_ONE_MINUS_DST_ALPHA_;
    case GLS_SRCBLEND_ALPHA_SATURATE: return GL_SRC_ALPHA_SATURATE_;
    case GLS_DSTBLEND_ZERO: return GL_ZERO_;
    case GLS_DSTBLEND_ONE: return GL_ONE_;
    case GLS_DSTBLEND_SRC_COLOR: return GL_SRC_COLOR_;
    case GLS_DSTBLEND_ONE_MINUS_SRC_COLOR: return GL_ONE_MINUS_SRC_COLOR_;
    case GLS_DSTBLEND_SRC_ALPHA: return GL_SRC_ALPHA_;
    case GLS_DSTBLEND_ONE_MINUS_SRC_ALPHA: return GL_ONE_MINUS_SRC_ALPHA_;
    case GLS_DSTBLEND_DST_ALPHA: return GL_DST_ALPHA_;
    case GLS_DSTBLEND_ONE_MINUS_DST_ALPHA: return GL_ONE_MINUS_DST_ALPHA_;
    default: return GL_ZERO_;
  }
}

int32_t CompareShaderItems(const void* a, const void* b) {
  const TZNT1Shader* A = static_cast<const TZNT1Shader*>(a);
  const TZNT1Shader* B = static_cast<const TZNT1Shader*>(b);
  if (A->Sort < B->Sort) return -1;
  if (A->Sort > B->Sort) return 1;
  if (A->UnsortedIndex < B->UnsortedIndex) return 1;
  if (A->UnsortedIndex > B->UnsortedIndex) return -1;
  return 0;
}

// ---- Stage ----

TZNT1ShaderStage::TZNT1ShaderStage(TZNT1Shader* AShader) : Shader(AShader) {}

TZNT1ShaderStage::~TZNT1ShaderStage() = default;

int32_t TZNT1ShaderStage::Index() const {
  if (!Shader) return -1;
  for (int32_t i = 0; i < Shader->Count(); ++i) {
    if (Shader->GetStage(i) == this) return i;
  }
  return -1;
}

template <typename F>
void TZNT1ShaderStage::ForEachProgram(F f) {
  for (auto& a : MultiPassGLSLShaders)
    for (auto& b : a)
      for (TZNT1GLSLShader* p : b)
        if (p) f(p);
  for (TZNT1ShaderClipPlaneGLSLShaders* Table :
       {&MultiPassGeometryFillGLSLShaders, &MultiPassShadowMapFillGLSLShaders, &MultiPassShadowCubeMapFillGLSLShaders})
    for (auto& a : *Table)
      for (TZNT1GLSLShader* p : a)
        if (p) f(p);
}

void TZNT1ShaderStage::Generate() {
  if (Generated) return;
  Generated = true;
  if (!Shader) return;
  const int32_t StageIndex = Index();
  const int32_t LastInterp = Shader->DoInterpolateVertices ? 1 : 0;
  for (int32_t Clip = 0; Clip <= 1; ++Clip) {
    for (int32_t Fog = 0; Fog <= 1; ++Fog) {
      for (int32_t Interp = 0; Interp <= LastInterp; ++Interp) {
        TZNT1GLSLShader*& Entry = MultiPassGLSLShaders[Clip][Fog][Interp];
        if (!Entry && !Shader->SinglePassGLSLShaders[Clip][Fog][Interp]) {
          Entry = GenerateShader(Shader, zstMULTIPASS, StageIndex, Clip, Fog, Interp, 1);
        }
      }
    }
  }
  struct TFill {
    TZNT1ShaderClipPlaneGLSLShaders* Own;
    TZNT1ShaderClipPlaneGLSLShaders* Single;
    int32_t Kind;
  };
  const TFill Fills[] = {
      {&MultiPassGeometryFillGLSLShaders, &Shader->SinglePassGeometryFillGLSLShaders, zstGEOMETRYFILLMULTIPASS},
      {&MultiPassShadowMapFillGLSLShaders, &Shader->SinglePassShadowMapFillGLSLShaders, zstSHADOWMAPFILLMULTIPASS},
      {&MultiPassShadowCubeMapFillGLSLShaders, &Shader->SinglePassShadowCubeMapFillGLSLShaders,
       zstSHADOWCUBEMAPFILLMULTIPASS},
  };
  for (int32_t Clip = 0; Clip <= 1; ++Clip) {
    for (int32_t Interp = 0; Interp <= LastInterp; ++Interp) {
      for (const TFill& Fill : Fills) {
        TZNT1GLSLShader*& Entry = (*Fill.Own)[Clip][Interp];
        if (!Entry && !(*Fill.Single)[Clip][Interp]) {
          Entry = GenerateShader(Shader, Fill.Kind, StageIndex, Clip, false, Interp, 1);
        }
      }
    }
  }
}

// ---- Material ----

TZNT1Shader::TZNT1Shader(TZNT1Engine* AEngine, TZNT1Shaders* AShaders) : Engine(AEngine), Shaders(AShaders) {
  SunDirection = Vector3Norm(Vector3(0.9f, 0.3f, 0.45f));
  SunLight = Vector3ScalarMul(SunDirection, -4096.0f);
}

TZNT1Shader::~TZNT1Shader() {
  // Only this material's own registration goes: a later material of the same name
  // may have taken the key over.
  if (Shaders && Shaders->HashMap.GetValue(HashKey) == this) Shaders->HashMap.Delete(HashKey);
  for (TZNT1ShaderStage* Stage : Stages) delete Stage;
  Stages.clear();
}

int32_t TZNT1Shader::Add(TZNT1ShaderStage* Item) {
  Stages.push_back(Item);
  return Count() - 1;
}

template <typename F>
void TZNT1Shader::ForEachProgram(F f) {
  for (TZNT1ShaderStage* Stage : Stages) {
    if (Stage) Stage->ForEachProgram(f);
  }
  for (auto& a : SinglePassGLSLShaders)
    for (auto& b : a)
      for (TZNT1GLSLShader* p : b)
        if (p) f(p);
  for (TZNT1ShaderClipPlaneGLSLShaders* Table :
       {&FogPassGLSLShaders, &ZPrepassGLSLShaders, &SinglePassGeometryFillGLSLShaders,
        &SinglePassShadowMapFillGLSLShaders, &SinglePassShadowCubeMapFillGLSLShaders, &WhiteGLSLShaders,
        &WireframeGLSLShaders})
    for (auto& a : *Table)
      for (TZNT1GLSLShader* p : a)
        if (p) f(p);
}

void TZNT1Shader::GenerateDefaultStages() {
  if (Generated) return;
  Generated = true;
  const int32_t LastInterp = DoInterpolateVertices ? 1 : 0;
  for (int32_t Clip = 0; Clip <= 1; ++Clip) {
    for (int32_t Fog = 0; Fog <= 1; ++Fog) {
      for (int32_t Interp = 0; Interp <= LastInterp; ++Interp) {
        TZNT1GLSLShader*& Entry = SinglePassGLSLShaders[Clip][Fog][Interp];
        if (!Entry) Entry = GenerateShader(this, zstSINGLEPASS, 0, Clip, Fog, Interp, 1);
      }
    }
  }
  for (int32_t Clip = 0; Clip <= 1; ++Clip) {
    for (int32_t Interp = 0; Interp <= LastInterp; ++Interp) {
      for (auto [Table, Kind] : {std::pair{&SinglePassGeometryFillGLSLShaders, zstGEOMETRYFILLSINGLEPASS},
                                 std::pair{&SinglePassShadowMapFillGLSLShaders, zstSHADOWMAPFILLSINGLEPASS},
                                 std::pair{&SinglePassShadowCubeMapFillGLSLShaders, zstSHADOWCUBEMAPFILLSINGLEPASS}}) {
        TZNT1GLSLShader*& Entry = (*Table)[Clip][Interp];
        if (!Entry) Entry = GenerateShader(this, Kind, 0, Clip, false, Interp, 1);
      }
    }
  }
  for (int32_t Interp = 0; Interp <= LastInterp; ++Interp) {
    for (auto [Table, Kind] : {std::pair{&FogPassGLSLShaders, zstFOG}, std::pair{&ZPrepassGLSLShaders, zstZPREPASS},
                               std::pair{&WhiteGLSLShaders, zstWHITE}, std::pair{&WireframeGLSLShaders, zstWIREFRAME}}) {
      for (int32_t Clip = 0; Clip <= 1; ++Clip) {
        TZNT1GLSLShader*& Entry = (*Table)[Clip][Interp];
        if (!Entry) Entry = GenerateShader(this, Kind, 0, Clip, false, Interp, 1);
      }
    }
  }
}

template <typename F>
void TZNT1Shader::ForEachTexture(F Texture) {
  for (TZNT1ShaderStage* Stage : Stages) {
    if (!Stage) continue;
    if (Stage->NormalMap) Texture(Stage->NormalMap);
    if (Stage->SpecularMap) Texture(Stage->SpecularMap);
    for (TZNT1Texture* Frame : Stage->Texture) {
      if (Frame) Texture(Frame);
    }
  }
  for (int32_t i = 0; i < 6; ++i) {
    if (Sky.OuterBox[i]) Texture(Sky.OuterBox[i]);
    if (Sky.InnerBox[i]) Texture(Sky.InnerBox[i]);
  }
}

void TZNT1Shader::IncRef() {
  if (ReferenceCounter != 0) {
    ++ReferenceCounter;
    Upload();
    return;
  }
  GenerateDefaultStages();
  TZNT1Texture* White = Engine && Engine->Textures ? Engine->Textures->WhiteTexture : nullptr;
  for (TZNT1ShaderStage* Stage : Stages) {
    if (!Stage) continue;
    Stage->Generate();
    // A light-map stage samples the white texture; the map binds its light maps itself.
    if (Stage->IsLightMap) Stage->Texture[0] = White;
  }
  ForEachTexture([](TZNT1Texture* t) { t->IncRef(); });
  ForEachProgram([](TZNT1GLSLShader* p) { p->IncRef(); });
  ReferenceCounter = 1;
  Upload();
}

void TZNT1Shader::DecRef() {
  if (ReferenceCounter < 1) return;
  if (--ReferenceCounter != 0) return;
  ForEachTexture([](TZNT1Texture* t) { t->DecRef(); });
  ForEachProgram([](TZNT1GLSLShader* p) { p->DecRef(); });
  Dispose();
}

void TZNT1Shader::Upload() {
  if (ReferenceCounter <= 0 || Uploaded) return;
  Uploaded = true;
  GenerateDefaultStages();
  for (TZNT1ShaderStage* Stage : Stages) {
    if (Stage) Stage->Generate();
  }
  ForEachProgram([](TZNT1GLSLShader* p) { p->Upload(); });
}

void TZNT1Shader::Dispose() {
  if (!Uploaded) return;
  Uploaded = false;
  ForEachProgram([](TZNT1GLSLShader* p) { p->Dispose(); });
}

// ---- Tokenizer ----

std::string_view TZNT1ShaderTokenizer::TokenNextView(bool AllowLineBreaks) {
  static constexpr char LineBreak[] = "\r";
  const char* const Text = Source.data();
  const size_t Start = SourcePosition;
  size_t i = SourcePosition - 1;  // 0-based from here on
  const size_t n = SourceLength;
  while (i < n) {
    bool HadLineBreak = false;
    while (i < n && static_cast<uint8_t>(Text[i]) <= 32) {
      if (Text[i] == 10 || Text[i] == 13) HadLineBreak = true;
      ++i;
    }
    if (HadLineBreak) {
      if (AllowLineBreaks) {
        SourcePosition = i + 1;
        return std::string_view(LineBreak, 1);
      }
      SourcePosition = Start;
      return {};
    }
    if (i + 1 < n && Text[i] == '/' && Text[i + 1] == '/') {
      i += 2;
      while (i < n && Text[i] != 10 && Text[i] != 13) ++i;
    } else if (i + 1 < n && Text[i] == '/' && Text[i + 1] == '*') {
      i += 2;
      while (i < n && !(Text[i] == '*' && i + 1 < n && Text[i + 1] == '/')) ++i;
      i = i < n ? i + 2 : n;
    } else {
      break;
    }
  }
  if (i >= n) {
    SourcePosition = n + 1;
    return {};
  }
  size_t First = i;
  if (Text[i] == '"') {
    First = ++i;
    while (i < n && Text[i] != '"') ++i;
    const size_t Last = i;
    if (i < n) ++i;  // the closing quote
    SourcePosition = i + 1;
    return std::string_view(Text + First, Last - First);
  }
  while (i < n && static_cast<uint8_t>(Text[i]) > 32) ++i;
  SourcePosition = i + 1;
  return std::string_view(Text + First, i - First);
}

// ---- Script parser ----

using namespace std::literals;

namespace {

void LowerInto(std::string_view Token, std::string& Out) {
  Out.assign(Token);
  for (char& c : Out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
}

// An additive stage that follows From's waves, coordinates and texture modifiers; the caller
// sets its textures and colour source.
std::unique_ptr<TZNT1ShaderStage> GlowStage(TZNT1Shader& Shader, const TZNT1ShaderStage& From) {
  auto Glow = std::make_unique<TZNT1ShaderStage>(&Shader);
  Glow->RGBWave = From.RGBWave;
  Glow->AlphaGen = From.AlphaGen;
  Glow->AlphaWave = From.AlphaWave;
  Glow->TexCoordGen = From.TexCoordGen;
  Glow->TexCoordGenVectors[0] = From.TexCoordGenVectors[0];
  Glow->TexCoordGenVectors[1] = From.TexCoordGenVectors[1];
  Glow->NumTexMods = From.NumTexMods;
  for (int32_t m = 0; m < MAX_TEXMODS; ++m) Glow->TexMods[m] = From.TexMods[m];
  Glow->StateBits = GLS_SRCBLEND_ONE | GLS_DSTBLEND_ONE;
  Glow->UseLightMap = 0;
  Glow->AdjustColorsForFog = ACFF_MODULATE_RGB;
  return Glow;
}

// "name.ext" -> ("name", ".ext"); the extension only counts after the last "\" or ":".
void SplitExtension(const std::string& Name, std::string& Base, std::string& Extension) {
  for (size_t i = Name.size(); i-- > 0;) {
    const char c = Name[i];
    if (c == '.') {
      Base = Name.substr(0, i);
      Extension = Name.substr(i);
      return;
    }
    if (c == '\\' || c == ':') break;
  }
  Base = Name;
  Extension.clear();
}

// A decimal integer token, saturated to the 32-bit range; 0 when the token is no integer.
int64_t ParseSaturatedInteger(std::string_view Token) {
  size_t i = 0;
  bool Negative = false;
  if (i < Token.size() && (Token[i] == '-' || Token[i] == '+')) Negative = Token[i++] == '-';
  if (i >= Token.size()) return 0;
  int64_t Value = 0;
  for (; i < Token.size(); ++i) {
    if (Token[i] < '0' || Token[i] > '9') return 0;
    Value = Value * 10 + (Token[i] - '0');
    if (Value > INT32_MAX) Value = int64_t(INT32_MAX) + 1;
  }
  return Negative ? -Value : Value;
}

struct TSurfaceParm {
  const char* Word;
  bool ClearsSolid;
  uint32_t Contents;
  uint32_t Surface;
};

constexpr TSurfaceParm SurfaceParms[] = {
    {"water", true, CONTENTS_WATER, 0},
    {"slime", true, CONTENTS_SLIME, 0},
    {"lava", true, CONTENTS_LAVA, 0},
    {"playerclip", false, CONTENTS_PLAYERCLIP, 0},
    {"monsterclip", false, CONTENTS_MONSTERCLIP, 0},
    {"nodrop", true, CONTENTS_NODROP, 0},
    {"nonsolid", true, 0, SURF_NONSOLID},
    {"origin", true, CONTENTS_ORIGIN, 0},
    {"trans", false, CONTENTS_TRANSLUCENT, 0},
    {"details", false, CONTENTS_DETAIL, 0},
    {"structural", false, CONTENTS_STRUCTURAL, 0},
    {"areaportal", true, CONTENTS_AREAPORTAL, 0},
    {"clusterportal", true, CONTENTS_CLUSTERPORTAL, 0},
    {"donotenter", true, CONTENTS_DONOTENTER, 0},
    {"fog", true, CONTENTS_FOG, 0},
    {"sky", false, 0, SURF_SKY},
    {"lightfilter", false, 0, SURF_LIGHTFILTER},
    {"alphashadow", false, 0, SURF_ALPHASHADOW},
    {"hint", false, 0, SURF_HINT},
    {"slick", false, 0, SURF_SLICK},
    {"noimpact", false, 0, SURF_NOIMPACT},
    {"nomarks", false, 0, SURF_NOMARKS},
    {"ladder", false, 0, SURF_LADDER},
    {"nodamage", false, 0, SURF_NODAMAGE},
    {"metalsteps", false, 0, SURF_METALSTEPS},
    {"flesh", false, 0, SURF_FLESH},
    {"nosteps", false, 0, SURF_NOSTEPS},
    {"nodraw", false, 0, SURF_NODRAW},
    {"pointlight", false, 0, SURF_POINTLIGHT},
    {"nolightmap", false, 0, SURF_NOLIGHTMAP},
    {"nodlight", false, 0, SURF_NODLIGHT},
    {"dust", false, 0, SURF_DUST},
};

// Blend bits of the first stage, of the second, the light-map combine code the kept stage
// takes, and the kept stage's new blend bits.
constexpr uint32_t CollapseTable[8][4] = {
    {0x00, 0x31, 3, 0x00}, {0x00, 0x13, 3, 0x00}, {0x13, 0x13, 3, 0x13}, {0x31, 0x13, 3, 0x13},
    {0x13, 0x31, 3, 0x13}, {0x31, 0x31, 3, 0x13}, {0x00, 0x22, 2, 0x00}, {0x22, 0x22, 2, 0x22},
};

enum EKeyword : uint8_t {
  kw_none,
  kw_alphafunc,
  kw_alphagen,
  kw_animmap,
  kw_blendfunc,
  kw_bumpmap,
  kw_clamptime,
  kw_cull,
  kw_deformvertexes,
  kw_depthfunc,
  kw_depthwrite,
  kw_detail,
  kw_dpglossexponentmod,
  kw_dpglossintensitymod,
  kw_dpoffsetmapping,
  kw_entitymergable,
  kw_fogparams,
  kw_fogparms,
  kw_glowmap,
  kw_light,
  kw_map,
  kw_next,
  kw_nomipmaps,
  kw_nopicmip,
  kw_normalmap,
  kw_polygonoffset,
  kw_portal,
  kw_portalname,
  kw_q3map_sun,
  kw_q3map_sunext,
  kw_rgbgen,
  kw_skyparams,
  kw_skyparms,
  kw_sort,
  kw_specularmap,
  kw_surfaceparm,
  kw_tcgen,
  kw_tcmod,
  kw_teopxgen,
  kw_tesssize,
  kw_videomap,
};

// Keywords by name: one hash lookup instead of a chain of comparisons.
EKeyword KeywordOf(std::string_view Word) {
  static const std::unordered_map<std::string_view, EKeyword> Table = {
      {"alphafunc", kw_alphafunc},
      {"alphagen", kw_alphagen},
      {"animmap", kw_animmap},
      {"blendfunc", kw_blendfunc},
      {"bumpmap", kw_bumpmap},
      {"clamptime", kw_clamptime},
      {"cull", kw_cull},
      {"deformvertexes", kw_deformvertexes},
      {"depthfunc", kw_depthfunc},
      {"depthwrite", kw_depthwrite},
      {"detail", kw_detail},
      {"dpglossexponentmod", kw_dpglossexponentmod},
      {"dpglossintensitymod", kw_dpglossintensitymod},
      {"dpoffsetmapping", kw_dpoffsetmapping},
      {"entitymergable", kw_entitymergable},
      {"fogparams", kw_fogparams},
      {"fogparms", kw_fogparms},
      {"glowmap", kw_glowmap},
      {"light", kw_light},
      {"map", kw_map},
      {"next", kw_next},
      {"nomipmaps", kw_nomipmaps},
      {"nopicmip", kw_nopicmip},
      {"normalmap", kw_normalmap},
      {"polygonoffset", kw_polygonoffset},
      {"portal", kw_portal},
      {"portalname", kw_portalname},
      {"q3map_sun", kw_q3map_sun},
      {"q3map_sunext", kw_q3map_sunext},
      {"rgbgen", kw_rgbgen},
      {"skyparams", kw_skyparams},
      {"skyparms", kw_skyparms},
      {"sort", kw_sort},
      {"specularmap", kw_specularmap},
      {"surfaceparm", kw_surfaceparm},
      {"tcgen", kw_tcgen},
      {"tcmod", kw_tcmod},
      {"teopxgen", kw_teopxgen},
      {"tesssize", kw_tesssize},
      {"videomap", kw_videomap},
  };
  const auto Found = Table.find(Word);
  return Found == Table.end() ? kw_none : Found->second;
}

const char* const SkyFaceSuffixes[6] = {"_rt.tga", "_lf.tga", "_bk.tga", "_ft.tga", "_up.tga", "_dn.tga"};

}  // namespace

// The state of one Parse call.
class TZNT1ShaderScriptParser {
 public:
  TZNT1ShaderScriptParser(TZNT1Shaders* AShaders, std::string_view ASource, TZNT1StringHashMap& ALookups)
      : Shaders(AShaders), Engine(AShaders->Engine), Tokenizer(ASource), Lookups(ALookups) {
    if (Engine && Engine->Textures) {
      WhiteTexture = Engine->Textures->WhiteTexture;
      DefaultTexture = Engine->Textures->DefaultTexture;
    }
  }

  void Run();

  bool EndedInsideMaterial = false;
  bool EndedInsideStage = false;
  bool TooManyStages = false;
  bool NumberOutOfRange = false;

 private:
  std::string_view Next(bool AllowLineBreaks) { return Tokenizer.TokenNextView(AllowLineBreaks); }
  // The next argument of the line, lower-cased.
  const std::string& NextWord() {
    LowerInto(Next(false), Word);
    return Word;
  }
  // The same into a second buffer, for an argument that must outlive the next NextWord.
  const std::string& NextArgument() {
    LowerInto(Next(false), Argument);
    return Argument;
  }
  double NextDouble() { return ConvertStringToDouble(Next(false)); }
  float NextFloat() { return ToSingle(NextDouble()); }
  float ToSingle(double d) {
    const float f = DoubleToSingle(d);
    if (std::isinf(f)) NumberOutOfRange = true;
    return f;
  }
  // True at the end of a line read word by word ("animmap", "surfaceparm").
  bool LineWordsEnd(std::string_view Token) const {
    return Token == "\r"sv || (Token.empty() && Tokenizer.TokenEOF());
  }

  // Scripts name many textures more than once, and most lookups miss; the answers, misses
  // included, are kept for the caller's run of scripts.
  TZNT1Texture* FindTexture(const std::string& Name, bool MipMap, bool AllowPicMip, int32_t Wrap,
                            float BumpMapScale) {
    if (!Engine || !Engine->Textures) return nullptr;
    LookupKey.assign(Name);
    LookupKey += '\0';
    LookupKey += static_cast<char>((MipMap ? 1 : 0) | (AllowPicMip ? 2 : 0));
    char Bytes[8];
    std::memcpy(Bytes, &Wrap, 4);
    std::memcpy(Bytes + 4, &BumpMapScale, 4);
    LookupKey.append(Bytes, 8);
    if (const TZNT1StringHashMapEntity* Known = Lookups.Get(LookupKey, false)) {
      return static_cast<TZNT1Texture*>(Known->Value);
    }
    TZNT1Texture* Found = Engine->Textures->FindTextureFile(Name, MipMap, AllowPicMip, Wrap, 0.0f, BumpMapScale);
    Lookups.Add(LookupKey, Found);
    return Found;
  }
  TZNT1Texture* StageTexture(const std::string& Name, float BumpMapScale = 0.0f) {
    return FindTexture(Name, !Shader->NoMipMaps, !Shader->NoPicMip, GLWrapClampMode, BumpMapScale);
  }
  TZNT1Texture* SideTexture(const std::string& Name, const char* Suffix, float BumpMapScale = 0.0f) {
    std::string Base, Extension;
    SplitExtension(Name, Base, Extension);
    return StageTexture(Base + Suffix + Extension, BumpMapScale);
  }

  void ParseMaterial();
  void ParseStage();
  void ParseWaveform(TZNT1ShaderWaveform& Wave);
  void StageKeyword(const std::string& Keyword);
  void MaterialKeyword(const std::string& Keyword);
  void CloseStage();
  void CloseMaterial();
  void SkyParms();

  TZNT1Shaders* Shaders;
  TZNT1Engine* Engine;
  TZNT1ShaderTokenizer Tokenizer;
  TZNT1StringHashMap& Lookups;
  std::string LookupKey;
  TZNT1Texture* WhiteTexture = nullptr;
  TZNT1Texture* DefaultTexture = nullptr;
  std::string Name;
  std::string Keyword;
  std::string Word;
  std::string Argument;
  bool NewLine = false;
  TZNT1Shader* Shader = nullptr;
  TZNT1ShaderStage* ShaderStage = nullptr;
  bool DiscardStage = false;
  uint32_t DepthMaskBits = 0, BlendSrcBits = 0, BlendDstBits = 0, AlphaTestBits = 0, DepthFuncBits = 0;
  bool DepthMaskExplicit = false;
  int32_t GLWrapClampMode = ZNT1_GL_REPEAT;
};

void TZNT1ShaderScriptParser::Run() {
  Name.clear();
  while (!Tokenizer.TokenEOF()) {
    const std::string_view Token = Next(true);
    if (Token.empty() && Tokenizer.TokenEOF()) break;
    if (Token == "\r"sv) continue;
    if (Token != "{"sv) {
      Name.assign(Token);
      continue;
    }
    ParseMaterial();
  }
}

void TZNT1ShaderScriptParser::ParseMaterial() {
  auto Material = std::make_unique<TZNT1Shader>(Engine, Shaders);
  Shader = Material.get();
  LowerInto(Name, Shader->Name);
  for (char& c : Shader->Name) {
    if (c == '\\') c = '/';
  }
  NewLine = true;
  bool Closed = false;
  while (!Tokenizer.TokenEOF()) {
    const std::string_view Token = Next(true);
    if (Token.empty() && Tokenizer.TokenEOF()) break;
    if (Token == "}"sv) {
      Closed = true;
      break;
    }
    if (Token == "\r"sv) {
      NewLine = true;
    } else if (Token == "{"sv) {
      ParseStage();
      NewLine = true;
    } else if (NewLine) {
      NewLine = false;
      LowerInto(Token, Keyword);
      MaterialKeyword(Keyword);
    }
  }
  if (!Closed) EndedInsideMaterial = true;
  Material.release();
  CloseMaterial();
  Shader = nullptr;
}

void TZNT1ShaderScriptParser::ParseStage() {
  DepthMaskBits = GLS_DEPTHMASK_TRUE;
  BlendSrcBits = BlendDstBits = AlphaTestBits = DepthFuncBits = 0;
  DepthMaskExplicit = false;
  // Beyond the last stage a program can bind, a stage is read and then dropped.
  DiscardStage = Shader->Count() >= MAX_SHADER_STAGES;
  auto Stage = std::make_unique<TZNT1ShaderStage>(Shader);
  ShaderStage = Stage.get();
  NewLine = true;
  bool Closed = false;
  while (!Tokenizer.TokenEOF()) {
    const std::string_view Token = Next(true);
    if (Token.empty() && Tokenizer.TokenEOF()) break;
    if (Token == "}"sv) {
      Closed = true;
      break;
    }
    if (Token == "\r"sv) {
      NewLine = true;
    } else if (NewLine) {
      NewLine = false;
      LowerInto(Token, Keyword);
      StageKeyword(Keyword);
    }
  }
  if (!Closed) EndedInsideStage = true;
  CloseStage();
  if (DiscardStage) {
    TooManyStages = true;
  } else {
    Shader->Add(Stage.release());
  }
  ShaderStage = nullptr;
  DiscardStage = false;
}

void TZNT1ShaderScriptParser::ParseWaveform(TZNT1ShaderWaveform& Wave) {
  const std::string& Function = NextWord();
  if (Function == "sin"sv) {
    Wave.Waveform = GF_SIN;
  } else if (Function == "square"sv) {
    Wave.Waveform = GF_SQUARE;
  } else if (Function == "triangle"sv) {
    Wave.Waveform = GF_TRIANGLE;
  } else if (Function == "sawtooth"sv) {
    Wave.Waveform = GF_SAWTOOTH;
  } else if (Function == "inversesawtooth"sv) {
    Wave.Waveform = GF_INVERSESAWTOOTH;
  } else if (Function == "noise"sv) {
    Wave.Waveform = GF_NOISE;
  } else {
    Wave.Waveform = GF_SIN;
  }
  Wave.Base = NextFloat();
  Wave.Amplitude = NextFloat();
  Wave.Phase = NextFloat();
  Wave.Frequency = NextFloat();
}

void TZNT1ShaderScriptParser::StageKeyword(const std::string& Key) {
  TZNT1ShaderStage& Stage = *ShaderStage;
  const bool Clamp = Key.compare(0, 5, "clamp") == 0;
  const std::string_view Base = Clamp ? std::string_view(Key).substr(5) : std::string_view(Key);
  GLWrapClampMode = Clamp ? ZNT1_GL_CLAMP_TO_EDGE : ZNT1_GL_REPEAT;
  const EKeyword K = KeywordOf(Base);

  if (K == kw_map) {
    const std::string& TextureName = NextArgument();
    if (!Clamp && TextureName == "$whiteimage"sv) {
      Stage.Texture[0] = WhiteTexture;
    } else if (!Clamp && TextureName == "$lightmap"sv) {
      Stage.IsLightMap = true;
      Stage.Texture[0] = WhiteTexture;
      if (!DiscardStage) Shader->UseLightMap = true;
    } else {
      TZNT1Texture* Found = StageTexture(TextureName);
      Stage.Texture[0] = Found ? Found : WhiteTexture;
      if (Found) {
        if (!Stage.NormalMap) Stage.NormalMap = SideTexture(TextureName, "_norm");
        if (!Stage.NormalMap) Stage.NormalMap = SideTexture(TextureName, "_bump", 1.0f);
        if (!Stage.SpecularMap) Stage.SpecularMap = SideTexture(TextureName, "_specular");
        if (!Stage.SpecularMap) Stage.SpecularMap = SideTexture(TextureName, "_gloss");
        if (!Stage.GlowTexture[0]) Stage.GlowTexture[0] = SideTexture(TextureName, "_glow");
      }
    }
  } else if (K == kw_animmap) {
    Stage.ImageAnimationSpeed = NextFloat();
    for (;;) {
      const std::string_view Token = Next(true);
      if (LineWordsEnd(Token)) break;
      if (Stage.NumImageAnimation >= MAX_IMAGE_ANIMATIONS) continue;
      LowerInto(Token, Word);
      const int32_t Frame = Stage.NumImageAnimation++;
      TZNT1Texture* Found = StageTexture(Word);
      Stage.Texture[Frame] = Found ? Found : WhiteTexture;
      if (Found && !Stage.GlowTexture[Frame]) Stage.GlowTexture[Frame] = SideTexture(Word, "_glow");
    }
    NewLine = true;  // the line break is consumed
  } else if ((!Clamp && K == kw_videomap)) {
    // not supported
  } else if (K == kw_bumpmap || K == kw_normalmap || K == kw_specularmap || K == kw_glowmap) {
    const std::string& TextureName = NextArgument();
    TZNT1Texture* Found;
    if (!Clamp && TextureName == "$whiteimage"sv) {
      Found = WhiteTexture;
    } else if (K == kw_bumpmap) {
      float Scale = NextFloat();
      if (Scale == 0.0f) Scale = 1.0f;
      Found = StageTexture(TextureName, Scale);
    } else {
      Found = StageTexture(TextureName);
    }
    // A side map before the stage's texture is white.
    if (!Stage.Texture[0]) Found = WhiteTexture;
    if (K == kw_bumpmap || K == kw_normalmap) {
      Stage.NormalMap = Found;
    } else if (K == kw_specularmap) {
      Stage.SpecularMap = Found;
    } else {
      Stage.GlowTexture[0] = Found;
    }
  } else if ((!Clamp && K == kw_alphafunc)) {
    const std::string& Function = NextWord();
    AlphaTestBits = Function == "gt0"sv     ? GLS_ATEST_GT_0
                    : Function == "lt128"sv ? GLS_ATEST_LT_80
                    : Function == "ge128"sv ? GLS_ATEST_GE_80
                                          : 0;
  } else if ((!Clamp && K == kw_depthfunc)) {
    const std::string& Function = NextWord();
    if (Function == "lequal"sv) {
      DepthFuncBits = 0;
    } else if (Function == "equal"sv) {
      DepthFuncBits = GLS_DEPTHFUNC_EQUAL;
    }
  } else if ((!Clamp && K == kw_detail)) {
    Stage.IsDetail = true;
  } else if ((!Clamp && K == kw_blendfunc)) {
    const std::string& Source = NextArgument();
    if (Source == "add"sv) {
      BlendSrcBits = GLS_SRCBLEND_ONE;
      BlendDstBits = GLS_DSTBLEND_ONE;
    } else if (Source == "filter"sv) {
      BlendSrcBits = GLS_SRCBLEND_DST_COLOR;
      BlendDstBits = GLS_DSTBLEND_ZERO;
    } else if (Source == "blend"sv) {
      BlendSrcBits = GLS_SRCBLEND_SRC_ALPHA;
      BlendDstBits = GLS_DSTBLEND_ONE_MINUS_SRC_ALPHA;
    } else {
      static constexpr std::string_view Words[] = {"gl_zero",      "gl_one",       "gl_dst_color",
                                              "gl_one_minus_dst_color",        "gl_src_alpha",
                                              "gl_one_minus_src_alpha",        "gl_dst_alpha",
                                              "gl_one_minus_dst_alpha",        "gl_alpha_saturate"};
      BlendSrcBits = GLS_SRCBLEND_ONE;
      for (uint32_t i = 0; i < 9; ++i) {
        if (Source == Words[i]) BlendSrcBits = i + 1;
      }
      static constexpr std::string_view DstWords[] = {"gl_zero",      "gl_one",       "gl_src_color",
                                                 "gl_one_minus_src_color",        "gl_src_alpha",
                                                 "gl_one_minus_src_alpha",        "gl_dst_alpha",
                                                 "gl_one_minus_dst_alpha"};
      const std::string& Destination = NextWord();
      BlendDstBits = GLS_DSTBLEND_ONE;
      for (uint32_t i = 0; i < 8; ++i) {
        if (Destination == DstWords[i]) BlendDstBits = (i + 1) << 4;
      }
    }
    if (!DepthMaskExplicit) DepthMaskBits = 0;
  } else if ((!Clamp && K == kw_rgbgen)) {
    const std::string& Mode = NextWord();
    if (Mode == "wave"sv) {
      Stage.RGBGen = CGEN_WAVEFORM;
      ParseWaveform(Stage.RGBWave);
    } else if (Mode == "const"sv) {
      Stage.RGBGen = CGEN_CONST;
      if (Next(false) == "("sv) {
        Stage.ConstantColor.r = NextFloat();
        Stage.ConstantColor.g = NextFloat();
        Stage.ConstantColor.b = NextFloat();
        Next(false);
      }
    } else if (Mode == "identity"sv) {
      Stage.RGBGen = CGEN_IDENTITY;
    } else if (Mode == "identitylighting"sv) {
      Stage.RGBGen = CGEN_IDENTITY_LIGHTING;
    } else if (Mode == "entity"sv) {
      Stage.RGBGen = CGEN_ENTITY;
    } else if (Mode == "oneminusentity"sv) {
      Stage.RGBGen = CGEN_ONE_MINUS_ENTITY;
    } else if (Mode == "vertex"sv) {
      Stage.RGBGen = CGEN_VERTEX;
      if (Stage.AlphaGen == AGEN_IDENTITY) Stage.AlphaGen = AGEN_VERTEX;
    } else if (Mode == "exactvertex"sv) {
      Stage.RGBGen = CGEN_EXACT_VERTEX;
    } else if (Mode == "lightingdiffuse"sv) {
      Stage.RGBGen = CGEN_LIGHTING_DIFFUSE;
    } else if (Mode == "oneminusvertex"sv) {
      Stage.RGBGen = CGEN_ONE_MINUS_VERTEX;
    }
  } else if ((!Clamp && K == kw_alphagen)) {
    const std::string& Mode = NextWord();
    if (Mode == "wave"sv) {
      Stage.AlphaGen = AGEN_WAVEFORM;
      ParseWaveform(Stage.AlphaWave);
    } else if (Mode == "const"sv) {
      Stage.AlphaGen = AGEN_CONST;
      Next(false);
      Stage.ConstantColor.a = NextFloat();
    } else if (Mode == "identity"sv) {
      Stage.AlphaGen = AGEN_IDENTITY;
    } else if (Mode == "entity"sv) {
      Stage.AlphaGen = AGEN_ENTITY;
    } else if (Mode == "oneminusentity"sv) {
      Stage.AlphaGen = AGEN_ONE_MINUS_ENTITY;
    } else if (Mode == "vertex"sv) {
      Stage.AlphaGen = AGEN_VERTEX;
    } else if (Mode == "lightingspecular"sv) {
      Stage.AlphaGen = AGEN_LIGHTING_SPECULAR;
    } else if (Mode == "oneminusvertex"sv) {
      Stage.AlphaGen = AGEN_ONE_MINUS_VERTEX;
    } else if (Mode == "portal"sv) {
      Stage.AlphaGen = AGEN_PORTAL;
      bool OK = false;
      const double Range = ConvertStringToDouble(Next(false), 0, &OK, -1);
      const float Value = OK ? ToSingle(Range) : 256.0f;
      if (!DiscardStage) Shader->PortalRange = Value;
    }
  } else if ((!Clamp && K == kw_tcgen) || (!Clamp && K == kw_teopxgen)) {
    const std::string& Mode = NextWord();
    if (Mode == "environment"sv) {
      Stage.TexCoordGen = TCGEN_ENVIRONMENT_MAPPED;
    } else if (Mode == "viewspaceenvironment"sv) {
      Stage.TexCoordGen = TCGEN_VIEWSPACE_ENVIRONMENT_MAPPED;
    } else if (Mode == "lightmap"sv) {
      Stage.TexCoordGen = TCGEN_LIGHTMAP;
    } else if (Mode == "texture"sv || Mode == "base"sv) {
      Stage.TexCoordGen = TCGEN_TEXTURE;
    } else if (Mode == "vector"sv) {
      Stage.TexCoordGen = TCGEN_VECTOR;
      auto ReadVector = [this](TZNT1Vector3& v) {
        v.x = NextFloat();
        v.y = NextFloat();
        v.z = NextFloat();
      };
      if (Next(false) == "("sv) {
        ReadVector(Stage.TexCoordGenVectors[0]);
        if (Next(false) == ")"sv && Next(false) == "("sv) {
          ReadVector(Stage.TexCoordGenVectors[1]);
          Next(false);
        }
      }
    }
  } else if ((!Clamp && K == kw_tcmod)) {
    if (Stage.NumTexMods >= MAX_TEXMODS) return;
    TZNTShaderTexMod& Mod = Stage.TexMods[Stage.NumTexMods++];
    Mod = TZNTShaderTexMod();
    const std::string& Mode = NextArgument();
    if (Mode == "turb"sv) {
      Mod.TexMod = TMOD_TURBULENT;
      const std::string_view First = Next(false);
      LowerInto(First, Word);
      if (Word == "sin"sv) {
        for (int i = 0; i < 4; ++i) NextFloat();
        --Stage.NumTexMods;
      } else {
        Mod.Wave.Base = ToSingle(ConvertStringToDouble(First));
        Mod.Wave.Amplitude = NextFloat();
        Mod.Wave.Phase = NextFloat();
        Mod.Wave.Frequency = NextFloat();
      }
    } else if (Mode == "scale"sv) {
      Mod.TexMod = TMOD_SCALE;
      Mod.Scale.x = NextFloat();
      Mod.Scale.y = NextFloat();
    } else if (Mode == "scroll"sv) {
      Mod.TexMod = TMOD_SCROLL;
      Mod.Scroll.x = NextFloat();
      Mod.Scroll.y = NextFloat();
    } else if (Mode == "stretch"sv) {
      Mod.TexMod = TMOD_STRETCH;
      ParseWaveform(Mod.Wave);
    } else if (Mode == "transform"sv) {
      Mod.TexMod = TMOD_TRANSFORM;
      Mod.Matrix.m00 = NextFloat();
      Mod.Matrix.m01 = NextFloat();
      Mod.Matrix.m10 = NextFloat();
      Mod.Matrix.m11 = NextFloat();
      Mod.Translate.x = NextFloat();
      Mod.Translate.y = NextFloat();
    } else if (Mode == "rotate"sv) {
      Mod.TexMod = TMOD_ROTATE;
      Mod.RotateSpeed = NextFloat();
    } else if (Mode == "entitytranslate"sv) {
      Mod.TexMod = TMOD_ENTITY_TRANSLATE;
    } else {
      Mod = TZNTShaderTexMod();
      --Stage.NumTexMods;
    }
  } else if ((!Clamp && K == kw_depthwrite)) {
    DepthMaskBits = GLS_DEPTHMASK_TRUE;
    DepthMaskExplicit = true;
  }
}

void TZNT1ShaderScriptParser::CloseStage() {
  TZNT1ShaderStage& Stage = *ShaderStage;
  if (Stage.RGBGen == CGEN_BAD) {
    Stage.RGBGen = (BlendSrcBits == 0 || BlendSrcBits == GLS_SRCBLEND_ONE || BlendSrcBits == GLS_SRCBLEND_SRC_ALPHA)
                       ? CGEN_IDENTITY_LIGHTING
                       : CGEN_IDENTITY;
  }
  if (BlendSrcBits == GLS_SRCBLEND_ONE && BlendDstBits == GLS_DSTBLEND_ZERO) {
    BlendSrcBits = BlendDstBits = 0;
    DepthMaskBits = GLS_DEPTHMASK_TRUE;
  }
  if (Stage.AlphaGen == AGEN_IDENTITY &&
      (Stage.RGBGen == CGEN_IDENTITY || Stage.RGBGen == CGEN_LIGHTING_DIFFUSE ||
       Stage.RGBGen == CGEN_LIGHTING_DIFFUSE_VERTEX)) {
    Stage.AlphaGen = AGEN_SKIP;
  }
  Stage.StateBits = DepthMaskBits | BlendSrcBits | BlendDstBits | AlphaTestBits | DepthFuncBits;
  if (DiscardStage) return;
  Shader->Blend = Shader->Blend || (Stage.StateBits & 0xFF) != 0;
  if (Stage.IsLightMap && (Stage.TexCoordGen == TCGEN_ENVIRONMENT_MAPPED ||
                           Stage.TexCoordGen == TCGEN_VIEWSPACE_ENVIRONMENT_MAPPED || Stage.NumTexMods > 0)) {
    Shader->DoNeedOwnLightMapAtlas = true;
  }
}

void TZNT1ShaderScriptParser::SkyParms() {
  Shader->IsSky = true;
  auto FillBox = [this](TZNT1Texture* (&Box)[6], const std::string& BaseName, int32_t Wrap) {
    for (int32_t i = 0; i < 6; ++i) {
      TZNT1Texture* Found = FindTexture(BaseName + SkyFaceSuffixes[i], true, true, Wrap, 0.0f);
      Box[i] = Found ? Found : DefaultTexture;
    }
  };
  const std::string Outer = NextWord();
  if (Outer != "-"sv) FillBox(Shader->Sky.OuterBox, Outer, ZNT1_GL_CLAMP_TO_EDGE);
  const std::string& Cloud = NextWord();
  const float Height = (Cloud == "-"sv || Cloud == "full"sv) ? 0.0f : ToSingle(ConvertStringToDouble(Cloud));
  Shader->Sky.CloudHeight = Height == 0.0f ? 512.0f : Height;
  const std::string Inner = NextWord();
  if (Inner == "-"sv) return;
  FillBox(Shader->Sky.InnerBox, Inner, ZNT1_GL_REPEAT);
}

void TZNT1ShaderScriptParser::MaterialKeyword(const std::string& Key) {
  TZNT1Shader& S = *Shader;
  const EKeyword K = KeywordOf(Key);
  if (Key.compare(0, 3, "qer") == 0) {
    // editor hints
  } else if (K == kw_q3map_sun || K == kw_q3map_sunext) {
    TZNT1Vector3 Color;
    Color.x = NextFloat();
    Color.y = NextFloat();
    Color.z = NextFloat();
    const float Intensity = NextFloat();
    const double Azimuth = NextDouble() * (M_PI / 180.0);
    const double Elevation = NextDouble() * (M_PI / 180.0);
    if (K == kw_q3map_sunext) {
      NextDouble();
      NextDouble();
    }
    S.HasSunLight = true;
    S.SunLight = Vector3ScalarMul(Vector3Norm(Color), Intensity / 255.0f);
    S.SunDirection = Vector3Norm(Vector3(static_cast<float>(std::cos(Elevation) * std::cos(Azimuth)),
                                         static_cast<float>(std::cos(Elevation) * std::sin(Azimuth)),
                                         static_cast<float>(std::sin(Elevation))));
  } else if (K == kw_deformvertexes) {
    if (S.NumDeformations >= MAX_DEFORMS) return;
    TZNT1ShaderDeformation& D = S.Deformation[S.NumDeformations++];
    const std::string& Mode = NextArgument();
    if (Mode == "projectionshadow"sv) {
      D.Deformation = DEFORM_PROJECTION_SHADOW;
    } else if (Mode == "autosprite"sv) {
      D.Deformation = DEFORM_AUTOSPRITE;
      S.HasAutoSpriteDeformation = true;
    } else if (Mode == "autosprite2"sv) {
      D.Deformation = DEFORM_AUTOSPRITE2;
      S.HasAutoSprite2Deformation = true;
    } else if (Mode.size() == 5 && Mode.compare(0, 4, "text") == 0 && Mode[4] >= '0' && Mode[4] <= '9') {
      D.Deformation = Mode[4] <= '7' ? DEFORM_TEXT0 + (Mode[4] - '0') : DEFORM_TEXT0;
    } else if (Mode == "bulge"sv) {
      D.Deformation = DEFORM_BULGE;
      D.BulgeWidth = NextFloat();
      D.BulgeHeight = NextFloat();
      D.BulgeSpeed = NextFloat();
    } else if (Mode == "wave"sv) {
      D.Deformation = DEFORM_WAVE;
      const double Spread = NextDouble();
      D.DeformationSpread = Spread == 0.0 ? 100.0f : ToSingle(1.0 / Spread);
      ParseWaveform(D.DeformationWave);
    } else if (Mode == "normal"sv) {
      D.Deformation = DEFORM_NORMALS;
      D.DeformationWave.Amplitude = NextFloat();
      D.DeformationWave.Frequency = NextFloat();
    } else if (Mode == "move"sv) {
      D.Deformation = DEFORM_MOVE;
      D.MoveVector.x = NextFloat();
      D.MoveVector.y = NextFloat();
      D.MoveVector.z = NextFloat();
      ParseWaveform(D.DeformationWave);
    }
  } else if (K == kw_tesssize) {
    // compiler hint
  } else if (K == kw_next) {
    S.NextShaderName.assign(Next(false));
  } else if (K == kw_dpglossintensitymod) {
    S.SpecularScale = NextFloat();
  } else if (K == kw_dpglossexponentmod) {
    S.SpecularPower = NextFloat();
  } else if (K == kw_dpoffsetmapping) {
    const std::string& Mode = NextWord();
    if (Mode.empty()) return;
    if (Mode == "disable"sv || Mode == "none"sv || Mode == "off"sv) {
      S.OffsetMappingMode = zsommOFF;
    } else if (Mode == "default"sv || Mode == "normal"sv) {
      S.OffsetMappingMode = zsommDEFAULT;
    } else if (Mode == "single"sv) {
      S.OffsetMappingMode = zsommSINGLE;
    } else if (Mode == "linear"sv) {
      S.OffsetMappingMode = zsommLINEAR;
    } else if (Mode == "relief"sv) {
      S.OffsetMappingMode = zsommRELIEF;
    }
    const std::string_view Scale = Next(false);
    if (Scale.empty()) return;
    S.OffsetMappingScale = ToSingle(ConvertStringToDouble(Scale));
    const std::string Kind = NextWord();
    if (Kind.empty()) return;
    const std::string_view ValueText = Next(false);
    if (ValueText.empty()) return;
    const double v = ConvertStringToDouble(ValueText);
    if (Kind == "bias"sv) {
      S.OffsetMappingBias = ToSingle(v);
    } else if (Kind == "match"sv) {
      S.OffsetMappingBias = ToSingle(1.0 - v);
    } else if (Kind == "match8"sv) {
      S.OffsetMappingBias = ToSingle(1.0 - v / 255.0);
    } else if (Kind == "match16"sv) {
      S.OffsetMappingBias = ToSingle(1.0 - v / 65536.0);
    }
  } else if (K == kw_clamptime) {
    S.ClampTime = NextFloat();
  } else if (Key.compare(0, 5, "q3map") == 0) {
    // compiler hint
  } else if (K == kw_surfaceparm) {
    for (;;) {
      const std::string_view Token = Next(true);
      if (LineWordsEnd(Token)) break;
      LowerInto(Token, Word);
      for (const TSurfaceParm& Parm : SurfaceParms) {
        if (Word != Parm.Word) continue;
        if (Parm.ClearsSolid) S.ContentFlags &= ~CONTENTS_SOLID;
        S.ContentFlags |= Parm.Contents;
        S.SurfaceFlags |= Parm.Surface;
        break;
      }
    }
    NewLine = true;  // the line break is consumed
  } else if (K == kw_nomipmaps) {
    S.NoMipMaps = true;
    S.NoPicMip = true;
  } else if (K == kw_nopicmip) {
    S.NoPicMip = true;
  } else if (K == kw_polygonoffset) {
    S.PolygonOffset = true;
  } else if (K == kw_entitymergable) {
    S.EntityMergable = true;
  } else if (K == kw_fogparms || K == kw_fogparams) {
    if (Next(false) == "("sv) {
      const float r = NextFloat();
      const float g = NextFloat();
      const float b = NextFloat();
      S.FogParams.Color = TZNT1Color{r, g, b, 1.0f};
      Next(false);
    }
    S.FogParams.DepthForOpaque = NextFloat();
  } else if (K == kw_portal || K == kw_portalname) {
    S.Sort = SORT_PORTAL;
    S.IsPortal = true;
    S.Flags |= SF_PORTAL;
    if (S.PortalName.empty()) S.PortalName = NextWord();
  } else if (K == kw_skyparms || K == kw_skyparams) {
    SkyParms();
  } else if (K == kw_light) {
    NextDouble();
  } else if (K == kw_cull) {
    const std::string& Mode = NextWord();
    uint32_t Bit = 0;
    if (Mode == "front"sv || Mode == "frontside"sv || Mode == "frontsided"sv) {
      S.Cull = ZNT1_GL_FRONT;
      Bit = SF_CULLFRONT;
    } else if (Mode == "back"sv || Mode == "backside"sv || Mode == "backsided"sv) {
      S.Cull = ZNT1_GL_BACK;
      Bit = SF_CULLBACK;
    } else if (Mode == "none"sv || Mode == "disable"sv || Mode == "twosided"sv) {
      S.Cull = 0;
      Bit = SF_NOCULL;
    }
    if (Bit) S.Flags = (S.Flags & ~(SF_NOCULL | SF_CULLBACK | SF_CULLFRONT)) | Bit;
  } else if (K == kw_sort) {
    const std::string& Mode = NextWord();
    if (Mode == "one"sv) {
      S.Sort = SORT_PORTAL;
    } else if (Mode == "portal"sv) {
      S.Sort = SORT_PORTAL;
      S.IsPortal = true;
      S.Flags |= SF_PORTAL;
    } else if (Mode == "sky"sv) {
      S.Sort = SORT_ENVIRONMENT;
    } else if (Mode == "opaque"sv) {
      S.Sort = SORT_OPAQUE;
    } else if (Mode == "decal"sv) {
      S.Sort = SORT_DECAL;
    } else if (Mode == "seethrough"sv) {
      S.Sort = SORT_SEETHROUGH;
    } else if (Mode == "banner"sv) {
      S.Sort = SORT_BANNER;
    } else if (Mode == "underwater"sv) {
      S.Sort = SORT_UNDERWATER;
    } else if (Mode == "additive"sv) {
      S.Sort = SORT_BLEND1;
    } else if (Mode == "nearest"sv) {
      S.Sort = SORT_NEAREST;
    } else {
      const int64_t Value = ParseSaturatedInteger(Mode);
      S.Sort = static_cast<int32_t>(Value < 0 ? 0 : Value > 255 ? 255 : Value);
    }
  }
}

void TZNT1ShaderScriptParser::CloseMaterial() {
  TZNT1Shader& S = *Shader;
  if (S.IsSky) {
    S.Sort = SORT_ENVIRONMENT;
  } else if (S.PolygonOffset && S.Sort == SORT_NONE) {
    S.Sort = SORT_DECAL;
  }

  // Glow stages, one per textured stage with a glow texture, while programs can bind them.
  const int32_t Scripted = S.Count();
  for (int32_t i = 0; i < Scripted && S.Count() < MAX_SHADER_STAGES; ++i) {
    const TZNT1ShaderStage& From = *S.GetStage(i);
    if (!From.Texture[0] || !From.GlowTexture[0]) continue;
    std::unique_ptr<TZNT1ShaderStage> Glow = GlowStage(S, From);
    int32_t Frames = 0;
    while (Frames < MAX_IMAGE_ANIMATIONS && From.GlowTexture[Frames]) {
      Glow->Texture[Frames] = From.GlowTexture[Frames];
      ++Frames;
    }
    if (Frames > 1) {
      Glow->NumImageAnimation = Frames;
      Glow->ImageAnimationSpeed = From.ImageAnimationSpeed;
    }
    Glow->RGBGen = From.RGBGen;
    S.Add(Glow.release());
    S.Blend = true;
  }

  // A light-map stage and a texture stage that only modulate or add fold into one stage.
  if (S.Count() >= 2) {
    TZNT1ShaderStage* First = S.GetStage(0);
    TZNT1ShaderStage* Second = S.GetStage(1);
    if ((First->StateBits & ~0x1FFu) == (Second->StateBits & ~0x1FFu) && First->IsLightMap != Second->IsLightMap) {
      TZNT1ShaderStage* LightMap = First->IsLightMap ? First : Second;
      TZNT1ShaderStage* Other = First->IsLightMap ? Second : First;
      const uint32_t a = First->StateBits & 0xFF;
      const uint32_t b = Second->StateBits & 0xFF;
      for (const auto& Row : CollapseTable) {
        if (Row[0] != a || Row[1] != b) continue;
        if ((LightMap->RGBGen == CGEN_BAD || LightMap->RGBGen == CGEN_IDENTITY) &&
            (LightMap->AlphaGen == AGEN_IDENTITY || LightMap->AlphaGen == AGEN_SKIP) &&
            (LightMap->TexCoordGen == TCGEN_BAD || LightMap->TexCoordGen == TCGEN_LIGHTMAP)) {
          Other->UseLightMap = static_cast<int32_t>(Row[2]);
          Other->StateBits = (First->StateBits & ~0xFFu) | Row[3];
          S.Stages.erase(S.Stages.begin() + (LightMap == First ? 0 : 1));
          delete LightMap;
        }
        break;
      }
    }
  }

  for (size_t i = 0; i < S.Stages.size();) {
    TZNT1ShaderStage* Stage = S.Stages[i];
    if (!Stage->Texture[0]) {
      S.Stages.erase(S.Stages.begin() + static_cast<ptrdiff_t>(i));
      delete Stage;
      continue;
    }
    if (Stage->TexCoordGen == TCGEN_BAD) Stage->TexCoordGen = Stage->IsLightMap ? TCGEN_LIGHTMAP : TCGEN_TEXTURE;
    if ((Stage->StateBits & 0xFF) != 0 && (S.Stages[0]->StateBits & 0xFF) != 0) {
      switch (Stage->StateBits & 0xFF) {
        case GLS_SRCBLEND_ONE | GLS_DSTBLEND_ONE:
        case GLS_SRCBLEND_ZERO | GLS_DSTBLEND_ONE_MINUS_SRC_COLOR:
          Stage->AdjustColorsForFog = ACFF_MODULATE_RGB;
          break;
        case GLS_SRCBLEND_SRC_ALPHA | GLS_DSTBLEND_ONE_MINUS_SRC_ALPHA:
          Stage->AdjustColorsForFog = ACFF_MODULATE_ALPHA;
          break;
        case GLS_SRCBLEND_ONE | GLS_DSTBLEND_ONE_MINUS_SRC_ALPHA:
          Stage->AdjustColorsForFog = ACFF_MODULATE_RGBA;
          break;
        default:
          break;
      }
      if (S.Sort == SORT_NONE) S.Sort = (Stage->StateBits & GLS_DEPTHMASK_TRUE) ? SORT_SEETHROUGH : SORT_BLEND0;
    }
    ++i;
  }

  if (S.Sort == SORT_NONE) S.Sort = SORT_OPAQUE;

  bool Fallback = false;
  if (S.Count() == 0 && !S.IsSky) {
    S.Sort = SORT_FOG;
    if ((S.ContentFlags & CONTENTS_FOG) == 0) {
      auto Stage = std::make_unique<TZNT1ShaderStage>(&S);
      Stage->Texture[0] = DefaultTexture;
      Stage->StateBits = GLS_DEPTHMASK_TRUE | GLS_SRCBLEND_ONE | GLS_DSTBLEND_ZERO;
      Stage->RGBGen = CGEN_IDENTITY;
      Stage->AlphaGen = AGEN_IDENTITY;
      Stage->TexCoordGen = TCGEN_TEXTURE;
      Stage->UseLightMap = 3;
      S.Add(Stage.release());
      S.UseLightMap = true;
      Fallback = true;
    }
  }
  if (!Fallback) S.ExplicitlyDefined = true;

  S.Opaque = S.Count() == 0 || (S.GetStage(0)->StateBits & 0x700000FFu) == 0;

  Shaders->Register(&S, S.Name);

  S.StateBits = 0;
  S.AdditiveBlend = false;
  bool Lit = false;
  for (const TZNT1ShaderStage* Stage : S.Stages) {
    S.StateBits |= Stage->StateBits;
    if ((Stage->StateBits & 0xFF) == (GLS_SRCBLEND_ONE | GLS_DSTBLEND_ONE)) S.AdditiveBlend = true;
    if (Stage->UseLightMap != 0 || Stage->IsLightMap || Stage->RGBGen == CGEN_LIGHTING_DIFFUSE ||
        Stage->RGBGen == CGEN_LIGHTING_DIFFUSE_VERTEX) {
      Lit = true;
    }
  }
  S.SinglePassStateBits = S.StateBits;

  if (S.Sort <= SORT_OPAQUE) {
    S.HasFogPass = FP_EQUAL;
  } else if (S.ContentFlags & CONTENTS_FOG) {
    S.HasFogPass = FP_LEQUAL;
  } else if (S.Sort == SORT_BANNER) {
    S.HasFogPass = FP_EQUAL;
  } else {
    S.HasFogPass = FP_NONE;
  }
  S.HasShadowPass = (Lit && S.Sort >= SORT_OPAQUE && S.Sort <= SORT_BANNER) ? SP_EQUAL : SP_NONE;
}

// ---- Sorted list ----

int32_t TZNT1SortedShaders::Add(TZNT1Shader* Item) {
  Items.push_back(Item);
  return Count() - 1;
}

void TZNT1SortedShaders::Sort() {
  if (Count() <= 1) return;
  IntroSort(reinterpret_cast<void**>(Items.data()), 0, Count() - 1, CompareShaderItems);
  for (int32_t i = 0; i < Count(); ++i) Items[static_cast<size_t>(i)]->SortedIndex = i;
}

// ---- Library ----

TZNT1Shaders::TZNT1Shaders(TZNT1Engine* AEngine)
    : Engine(AEngine), SortedShaders(std::make_unique<TZNT1SortedShaders>(AEngine)) {}

TZNT1Shaders::~TZNT1Shaders() {
  for (TZNT1Shader* Shader : Items) delete Shader;
  Items.clear();
  SortedShaders.reset();
  HashMap.Clear();
}

TZNT1Shader* TZNT1Shaders::GetShader(std::string_view Name) const {
  return static_cast<TZNT1Shader*>(HashMap.GetValue(Name));
}

void TZNT1Shaders::Warning(const std::string& Text) const {
  if (Engine && Engine->Console) Engine->Console->Lines.Add("Warning: " + Text);
}

void TZNT1Shaders::Load() {
  if (Engine && Engine->Archives) {
    TStringList Files;
    Engine->Archives->FindFiles("scripts/*.shader", &Files);
    TZNT1StringHashMap Lookups;
    for (const std::string& Path : Files.Strings) {
      std::unique_ptr<TMemoryStream> Stream = Engine->Archives->ExtractFile(Path);
      std::string Text;
      if (ReadScript(Stream.get(), Text)) ParseScript(Text, Path, Lookups);
    }
  }
  Sort();
  ResolveLinks();
}

bool TZNT1Shaders::ReadScript(TMemoryStream* Source, std::string& Text) {
  if (!Source || Source->Size() < 1) return false;
  Text.assign(static_cast<size_t>(Source->Size()), '\0');
  Source->Seek(0);
  return Source->Read(Text.data(), Source->Size()) == Source->Size();
}

void TZNT1Shaders::ParseFromStream(TMemoryStream* Source, const std::string& ScriptName) {
  std::string Text;
  if (ReadScript(Source, Text)) Parse(Text, ScriptName);
}

void TZNT1Shaders::Parse(std::string_view Source, const std::string& ScriptName) {
  TZNT1StringHashMap Lookups;
  ParseScript(Source, ScriptName, Lookups);
}

void TZNT1Shaders::ParseScript(std::string_view Source, const std::string& ScriptName, TZNT1StringHashMap& Lookups) {
  TZNT1ShaderScriptParser Parser(this, Source, Lookups);
  Parser.Run();
  std::string Problems;
  auto Note = [&Problems](bool Found, const char* Text) {
    if (!Found) return;
    if (!Problems.empty()) Problems += ", ";
    Problems += Text;
  };
  Note(Parser.EndedInsideStage, "the text ends inside a stage");
  Note(Parser.EndedInsideMaterial && !Parser.EndedInsideStage, "the text ends inside a material");
  Note(Parser.TooManyStages, "stages beyond the eighth are dropped");
  Note(Parser.NumberOutOfRange, "a number beyond the single range");
  if (Problems.empty()) return;
  Warning("material script" + (ScriptName.empty() ? std::string() : " \"" + ScriptName + "\"") + ": " + Problems);
}

TZNT1Shader* TZNT1Shaders::AddDefaultTextureShader(const std::string& TextureName, bool Mesh, bool Model) {
  std::string Key;
  if (Mesh) Key.assign("mesh\0", 5);
  Key += TextureName;
  if (TZNT1Shader* Existing = GetShader(Key)) return Existing;

  auto Shader = std::make_unique<TZNT1Shader>(Engine, this);
  Shader->Name = TextureName;
  Shader->ExplicitlyDefined = true;
  auto Stage = std::make_unique<TZNT1ShaderStage>(Shader.get());
  TZNT1Textures* Textures = Engine ? Engine->Textures.get() : nullptr;
  TZNT1Texture* GlowTexture = nullptr;
  if (Textures) {
    auto Find = [Textures](const std::string& Name, float BumpMapScale) {
      return Textures->FindTextureFile(Name, false, false, ZNT1_GL_REPEAT, 0.0f, BumpMapScale);
    };
    Stage->Texture[0] = Find(TextureName, 0.0f);
    if (!Stage->Texture[0]) {
      Stage->Texture[0] = Textures->WhiteTexture;
    } else {
      std::string Base, Extension;
      SplitExtension(TextureName, Base, Extension);
      Stage->NormalMap = Find(Base + "_norm" + Extension, 0.0f);
      if (!Stage->NormalMap) Stage->NormalMap = Find(Base + "_bump" + Extension, 1.0f);
      Stage->SpecularMap = Find(Base + "_specular" + Extension, 0.0f);
      if (!Stage->SpecularMap) Stage->SpecularMap = Find(Base + "_gloss" + Extension, 0.0f);
      GlowTexture = Find(Base + "_glow" + Extension, 0.0f);
      Stage->GlowTexture[0] = GlowTexture;
    }
  }
  Shader->Cull = ZNT1_GL_FRONT;
  Shader->Sort = SORT_OPAQUE;
  Shader->HasFogPass = FP_EQUAL;
  Shader->HasShadowPass = SP_EQUAL;
  Shader->Blend = false;
  Stage->StateBits = GLS_DEPTHMASK_TRUE | GLS_SRCBLEND_ONE | GLS_DSTBLEND_ZERO;
  Stage->AlphaGen = AGEN_IDENTITY;
  Stage->TexCoordGen = TCGEN_TEXTURE;
  if (Mesh) {
    Stage->RGBGen = Model ? CGEN_LIGHTING_DIFFUSE_VERTEX : CGEN_VERTEX;
    Stage->UseLightMap = 0;
  } else {
    Stage->RGBGen = CGEN_IDENTITY;
    Stage->UseLightMap = 3;
    Shader->UseLightMap = true;
  }
  const TZNT1ShaderStage& First = *Stage;
  Shader->Add(Stage.release());
  if (GlowTexture) {
    std::unique_ptr<TZNT1ShaderStage> Glow = GlowStage(*Shader, First);
    Glow->Texture[0] = GlowTexture;
    Glow->RGBGen = Mesh ? CGEN_VERTEX : CGEN_IDENTITY;
    Shader->Add(Glow.release());
    Shader->Blend = true;
  }
  Shader->Opaque = true;
  Shader->DoInterpolateVertices = false;
  TZNT1Shader* Result = Shader.release();
  Register(Result, Key);
  Result->GenerateDefaultStages();
  return Result;
}

void TZNT1Shaders::Register(TZNT1Shader* Shader, const std::string& Key) {
  Shader->UnsortedIndex = Count();
  Items.push_back(Shader);
  Shader->SortedIndex = SortedShaders->Add(Shader);
  Shader->HashKey = Key;
  HashMap.Add(Key, Shader);
}

void TZNT1Shaders::ResolveLinks() {
  for (TZNT1Shader* Shader : Items) {
    if (Shader) Shader->NextShader = Shader->NextShaderName.empty() ? nullptr : GetShader(Shader->NextShaderName);
  }
}

void TZNT1Shaders::ResetRemappedShader() {
  for (TZNT1Shader* Shader : Items) {
    if (Shader) Shader->RemappedShader = nullptr;
  }
}

void TZNT1Shaders::Sort() {
  SortedShaders->Clear();
  for (int32_t i = 0; i < Count(); ++i) {
    TZNT1Shader* Shader = GetItem(i);
    if (!Shader) continue;
    Shader->UnsortedIndex = i;
    Shader->SortedIndex = SortedShaders->Add(Shader);
  }
  SortedShaders->Sort();
}

void TZNT1Shaders::Upload() {
  for (TZNT1Shader* Shader : Items) {
    if (!Shader) continue;
    Shader->Upload();
    if (Engine) Engine->ShowLoadProgress(false, Engine->LastProgress);
  }
}

void TZNT1Shaders::Dispose() {
  for (TZNT1Shader* Shader : Items) {
    if (Shader) Shader->Dispose();
  }
}
