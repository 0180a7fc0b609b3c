#pragma once
// Materials: stages and material records, the script tokenizer and parser, the material
// library with its draw order, and the material's reference counting and program requests.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/ZNT1Globals.h"
#include "core/ZNT1Math.h"
#include "core/ZNT1StringHashMap.h"

class TZNT1Engine;
class TZNT1Texture;
class TZNT1GLSLShader;
class TMemoryStream;
class TZNT1Shader;
class TZNT1Shaders;

// ---- Program kinds (the ShaderType of the generator) ----
constexpr int32_t zstSINGLEPASS = 0;
constexpr int32_t zstMULTIPASS = 1;
constexpr int32_t zstDLIGHT = 2;
constexpr int32_t zstFOG = 3;
constexpr int32_t zstGEOMETRYFILLSINGLEPASS = 4;
constexpr int32_t zstGEOMETRYFILLMULTIPASS = 5;
constexpr int32_t zstSHADOWMAPFILLSINGLEPASS = 6;
constexpr int32_t zstSHADOWMAPFILLMULTIPASS = 7;
constexpr int32_t zstSHADOWCUBEMAPFILLSINGLEPASS = 8;
constexpr int32_t zstSHADOWCUBEMAPFILLMULTIPASS = 9;
constexpr int32_t zstZPREPASS = 10;
constexpr int32_t zstWHITE = 11;
constexpr int32_t zstWIREFRAME = 12;

// ---- Offset-mapping modes ----
constexpr int32_t zsommOFF = 0;
constexpr int32_t zsommDEFAULT = 1;
constexpr int32_t zsommSINGLE = 2;
constexpr int32_t zsommLINEAR = 3;
constexpr int32_t zsommRELIEF = 4;

// Most stages a material keeps: programs bind one sampler per stage, uTex0 .. uTex7.
constexpr int32_t MAX_SHADER_STAGES = 8;

constexpr int32_t ZNT1_GL_FRONT = 1028;
constexpr int32_t ZNT1_GL_BACK = 1029;
constexpr int32_t ZNT1_GL_REPEAT = 10497;
constexpr int32_t ZNT1_GL_CLAMP_TO_EDGE = 33071;

struct TZNT1ShaderWaveform {
  int32_t Waveform = GF_NONE;
  float Base = 0.0f;
  float Amplitude = 0.0f;
  float Phase = 0.0f;
  float Frequency = 0.0f;
};

struct TZNT1Matrix2 {
  float m00 = 0.0f, m01 = 0.0f, m10 = 0.0f, m11 = 0.0f;
};

// One "tcmod" entry.
struct TZNTShaderTexMod {
  int32_t TexMod = TMOD_NONE;
  TZNT1ShaderWaveform Wave;  // turbulence uses Base, Amplitude, Phase, Frequency only
  TZNT1Matrix2 Matrix;
  TZNT1Vector2 Translate{};
  TZNT1Vector2 Scale{};
  TZNT1Vector2 Scroll{};
  float RotateSpeed = 0.0f;  // degrees per second
};

// One "deformvertexes" entry.
struct TZNT1ShaderDeformation {
  int32_t Deformation = DEFORM_NONE;
  float DeformationSpread = 0.0f;  // reciprocal of the script's spread
  TZNT1ShaderWaveform DeformationWave;
  float BulgeWidth = 0.0f;
  float BulgeHeight = 0.0f;
  float BulgeSpeed = 0.0f;
  TZNT1Vector3 MoveVector{};
};

struct TZNT1ShaderFogParams {
  TZNT1Color Color{0.0f, 0.0f, 0.0f, 0.0f};
  float DepthForOpaque = 1.0f;
};

// Faces in the order rt, lf, bk, ft, up, dn.
struct TZNT1ShaderSky {
  TZNT1Texture* OuterBox[6] = {};
  float CloudHeight = 0.0f;
  TZNT1Texture* InnerBox[6] = {};
};

// Generated programs indexed by Booleans; nullptr: no program of that kind.
using TZNT1ShaderClipPlaneGLSLShaders = TZNT1GLSLShader* [2][2];        // [ClipPlane][InterpolateVertices]
using TZNT1ShaderClipPlaneFogGLSLShaders = TZNT1GLSLShader* [2][2][2];  // [ClipPlane][Fog][InterpolateVertices]

class TZNT1ShaderStage {
 public:
  explicit TZNT1ShaderStage(TZNT1Shader* AShader);
  ~TZNT1ShaderStage();
  TZNT1ShaderStage(const TZNT1ShaderStage&) = delete;
  TZNT1ShaderStage& operator=(const TZNT1ShaderStage&) = delete;

  // Requests this stage's multipass programs once, for the combinations that the
  // material's single-pass programs do not cover.
  void Generate();
  // Position in the owning material, -1 when not in it.
  int32_t Index() const;

  TZNT1Shader* Shader;
  uint32_t StateBits = 0;
  TZNT1Texture* NormalMap = nullptr;
  TZNT1Texture* SpecularMap = nullptr;
  TZNT1Texture* GlowTexture[MAX_IMAGE_ANIMATIONS] = {};
  TZNT1Texture* Texture[MAX_IMAGE_ANIMATIONS] = {};
  int32_t NumImageAnimation = 0;
  float ImageAnimationSpeed = 0.0f;
  int32_t TexCoordGen = TCGEN_BAD;
  TZNT1Vector3 TexCoordGenVectors[2] = {};
  int32_t NumTexMods = 0;
  TZNTShaderTexMod TexMods[MAX_TEXMODS];
  bool IsLightMap = false;
  int32_t UseLightMap = 0;  // 0, or the combine code of the light map: 2 add, 3 multiply
  int32_t RGBGen = CGEN_BAD;
  TZNT1ShaderWaveform RGBWave;
  int32_t AlphaGen = AGEN_IDENTITY;
  TZNT1ShaderWaveform AlphaWave;
  bool IsDetail = false;
  TZNT1Color ConstantColor{1.0f, 1.0f, 1.0f, 1.0f};
  int32_t AdjustColorsForFog = ACFF_NONE;
  TZNT1ShaderClipPlaneFogGLSLShaders MultiPassGLSLShaders = {};
  TZNT1ShaderClipPlaneGLSLShaders MultiPassGeometryFillGLSLShaders = {};
  TZNT1ShaderClipPlaneGLSLShaders MultiPassShadowMapFillGLSLShaders = {};
  TZNT1ShaderClipPlaneGLSLShaders MultiPassShadowCubeMapFillGLSLShaders = {};
  bool Generated = false;
  bool IsFogStage = false;
  bool IsDiffuseStage = true;
  int32_t SingleTextureShaderStageIndex = 0;

  // Calls f for every set program of this stage's tables.
  template <typename F>
  void ForEachProgram(F f);
};

// A material: its stages in drawing order (owned) and material-wide state.
class TZNT1Shader {
 public:
  TZNT1Shader(TZNT1Engine* AEngine, TZNT1Shaders* AShaders);
  // Removes its own key from the library's index (only while the key still maps to this
  // material), then frees its stages; textures and programs are only referenced.
  ~TZNT1Shader();
  TZNT1Shader(const TZNT1Shader&) = delete;
  TZNT1Shader& operator=(const TZNT1Shader&) = delete;

  int32_t Count() const { return static_cast<int32_t>(Stages.size()); }
  TZNT1ShaderStage* GetStage(int32_t Index) const { return Stages[static_cast<size_t>(Index)]; }
  void SetStage(int32_t Index, TZNT1ShaderStage* Item) { Stages[static_cast<size_t>(Index)] = Item; }
  // Appends a stage; the material owns it from now on.
  int32_t Add(TZNT1ShaderStage* Item);

  // Requests the material-wide programs once (Generated).
  void GenerateDefaultStages();
  // The first reference generates the programs and references textures and programs.
  void IncRef();
  // The last release gives every reference back and disposes the GPU objects.
  void DecRef();
  // Compiles the programs of a referenced material once, until Dispose.
  void Upload();
  // Frees the GPU objects of the programs; the descriptions stay.
  void Dispose();

  std::vector<TZNT1ShaderStage*> Stages;  // owned

  TZNT1Engine* Engine;
  TZNT1Shaders* Shaders;
  TZNT1Shader* RemappedShader = nullptr;
  TZNT1Shader* NextShader = nullptr;
  std::string NextShaderName;
  std::string Name;
  // The library key this material was registered under ("mesh", a 0 byte and the name for
  // mesh default materials).
  std::string HashKey;
  int32_t UnsortedIndex = 0;
  int32_t SortedIndex = 0;
  uint32_t Hash = 0xFFFFFFFFu;
  uint32_t Flags = SF_CULLFRONT;
  uint32_t ContentFlags = 0;
  uint32_t SurfaceFlags = 0;
  uint32_t StateBits = 0;
  uint32_t SinglePassStateBits = 0;
  int32_t Cull = ZNT1_GL_FRONT;
  int32_t Sort = SORT_NONE;
  int32_t HasFogPass = FP_NONE;
  int32_t HasShadowPass = SP_NONE;
  bool HasShadow = false;
  bool DoNeedOwnLightMapAtlas = false;
  bool Blend = false;
  bool AdditiveBlend = false;
  bool Opaque = false;
  float ClampTime = 0.0f;
  TZNT1ShaderDeformation Deformation[MAX_DEFORMS];
  int32_t NumDeformations = 0;
  bool NoMipMaps = false;
  bool NoPicMip = false;
  bool PolygonOffset = false;
  bool EntityMergable = false;
  TZNT1ShaderFogParams FogParams;
  std::string PortalName;
  bool IsPortal = false;
  bool IsSky = false;
  bool DoInterpolateVertices = false;
  TZNT1ShaderSky Sky;
  bool ExplicitlyDefined = false;
  float PortalRange = 256.0f;
  bool UseLightMap = false;
  int32_t ReferenceCounter = 0;
  bool Uploaded = false;
  bool HasAutoSpriteDeformation = false;
  bool HasAutoSprite2Deformation = false;
  bool Generated = false;
  TZNT1ShaderClipPlaneFogGLSLShaders SinglePassGLSLShaders = {};
  TZNT1ShaderClipPlaneGLSLShaders FogPassGLSLShaders = {};
  TZNT1ShaderClipPlaneGLSLShaders ZPrepassGLSLShaders = {};
  TZNT1ShaderClipPlaneGLSLShaders SinglePassGeometryFillGLSLShaders = {};
  TZNT1ShaderClipPlaneGLSLShaders SinglePassShadowMapFillGLSLShaders = {};
  TZNT1ShaderClipPlaneGLSLShaders SinglePassShadowCubeMapFillGLSLShaders = {};
  TZNT1ShaderClipPlaneGLSLShaders WhiteGLSLShaders = {};
  TZNT1ShaderClipPlaneGLSLShaders WireframeGLSLShaders = {};
  TZNT1Vector3 SunDirection;
  TZNT1Vector3 SunLight;
  bool HasSunLight = false;
  TZNT1ShaderStage* NormalMapShaderStage = nullptr;
  TZNT1ShaderStage* SpecularMapShaderStage = nullptr;
  int32_t NormalMapShaderStageIndex = -1;
  int32_t SpecularMapShaderStageIndex = -1;
  float SpecularScale = 1.0f;
  float SpecularPower = 1.0f;
  int32_t OffsetMappingMode = zsommDEFAULT;
  float OffsetMappingScale = 1.0f;
  float OffsetMappingBias = 0.0f;
  double TimeOffset = 0.0;

 private:
  // Calls f for every set program of the stages' and the material's tables.
  template <typename F>
  void ForEachProgram(F f);
  // Calls f for every texture a reference holds: stage side maps and frames, sky faces.
  template <typename F>
  void ForEachTexture(F f);
};

// Splits material script text into tokens. Positions count from 1. Tokens are views into
// the source (or a static "\r"), valid while the source lives.
class TZNT1ShaderTokenizer {
 public:
  explicit TZNT1ShaderTokenizer(std::string_view ASource) : Source(ASource), SourceLength(ASource.size()) {}

  bool TokenEOF() const { return SourcePosition > SourceLength; }
  // The next token. A skipped line break gives "\r" with AllowLineBreaks; without it the
  // empty token, leaving the line break unread. The empty token also at the end of the text.
  std::string_view TokenNextView(bool AllowLineBreaks);
  std::string TokenNext(bool AllowLineBreaks) { return std::string(TokenNextView(AllowLineBreaks)); }

  std::string_view Source;
  size_t SourcePosition = 1;
  size_t SourceLength;
};

// The materials in draw order; does not own them.
class TZNT1SortedShaders {
 public:
  explicit TZNT1SortedShaders(TZNT1Engine* AEngine) : Engine(AEngine) {}

  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  TZNT1Shader* GetItem(int32_t Index) const { return Items[static_cast<size_t>(Index)]; }
  void SetItem(int32_t Index, TZNT1Shader* Item) { Items[static_cast<size_t>(Index)] = Item; }
  int32_t Add(TZNT1Shader* Item);
  void Clear() { Items.clear(); }
  // Sort ascending, then the later-registered material first; SortedIndex follows.
  void Sort();

  std::vector<TZNT1Shader*> Items;
  TZNT1Engine* Engine;
};

// The engine's material library: every material (owned), the name index and the draw order.
class TZNT1Shaders {
 public:
  explicit TZNT1Shaders(TZNT1Engine* AEngine);
  ~TZNT1Shaders();
  TZNT1Shaders(const TZNT1Shaders&) = delete;
  TZNT1Shaders& operator=(const TZNT1Shaders&) = delete;

  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  TZNT1Shader* GetItem(int32_t Index) const { return Items[static_cast<size_t>(Index)]; }
  void SetItem(int32_t Index, TZNT1Shader* Item) { Items[static_cast<size_t>(Index)] = Item; }

  // The material registered under exactly this key (byte for byte), nullptr when none.
  TZNT1Shader* GetShader(std::string_view Name) const;
  // Parses every "scripts/*.shader" of the archives in path order, then Sort and ResolveLinks.
  void Load();
  // Parses a whole stream when it is non-empty and reads in full; the stream stays the caller's.
  void ParseFromStream(TMemoryStream* Source, const std::string& ScriptName = std::string());
  // Parses one script text and registers its materials; never fails. ScriptName only
  // names the script in warnings.
  void Parse(std::string_view Source, const std::string& ScriptName = std::string());
  // The default material of a bare texture, created, registered and generated on first use.
  TZNT1Shader* AddDefaultTextureShader(const std::string& TextureName, bool Mesh, bool Model);
  void ResolveLinks();
  void ResetRemappedShader();
  // Numbers the materials and puts SortedShaders in draw order.
  void Sort();
  void Upload();
  void Dispose();

  // Appends a finished material to both lists and maps Key to it.
  void Register(TZNT1Shader* Shader, const std::string& Key);

  std::vector<TZNT1Shader*> Items;  // owned
  TZNT1StringHashMap HashMap;
  TZNT1Engine* Engine;
  std::unique_ptr<TZNT1SortedShaders> SortedShaders;

 private:
  void Warning(const std::string& Text) const;
  // The whole stream from its start; false when empty or not read in full.
  static bool ReadScript(TMemoryStream* Source, std::string& Text);
  // Parse with texture lookups remembered in Lookups, which the caller keeps only while
  // neither the archives nor the texture library change.
  void ParseScript(std::string_view Source, const std::string& ScriptName, TZNT1StringHashMap& Lookups);
};

// Draw-order comparison: Sort ascending, then UnsortedIndex descending.
int32_t CompareShaderItems(const void* a, const void* b);

// The OpenGL blend factor of one blend field (source: bits & 0xF, destination: bits & 0xF0).
uint32_t TranslateShaderBlend(uint32_t Blend);

// A float literal for generated GLSL: shortest round-trip text, ".0" added when it has no
// "." and no exponent; NaN gives "0.0", and magnitudes beyond the single range give the
// largest single.
std::string GLSLFloat(double d);

// Text to double after the "." rewrites (".5", "-.5"); NaN gives 0. OK (when given) tells
// whether the whole text was a number.
double ConvertStringToDouble(std::string_view StringValue, int32_t RoundingMode = 0, bool* OK = nullptr,
                             int32_t Base = -1);

// Double to single: beyond the single range gives +-infinity, NaN stays NaN.
float DoubleToSingle(double d);
