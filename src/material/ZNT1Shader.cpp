#include "material/ZNT1Shader.h"

#include <cmath>
#include <cstring>
#include <limits>

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

void TZNT1ShaderStage::Generate() {
  if (Generated) return;
  Generated = true;
}

// ---- Material ----

TZNT1Shader::TZNT1Shader(TZNT1Engine* AEngine, TZNT1Shaders* AShaders) : Engine(AEngine), Shaders(AShaders) {
  SunDirection = Vector3Norm(Vector3(0.9f, 0.3f, 0.45f));
  SunLight = Vector3ScalarMul(SunDirection, -4096.0f);
}

TZNT1Shader::~TZNT1Shader() {
  // Only this material's own registration goes: a later material of the same name
  // may have taken the key over.
  if (Shaders && !HashKey.empty() && Shaders->HashMap.GetValue(HashKey) == this) Shaders->HashMap.Delete(HashKey);
  for (TZNT1ShaderStage* Stage : Stages) delete Stage;
  Stages.clear();
}

int32_t TZNT1Shader::Add(TZNT1ShaderStage* Item) {
  Stages.push_back(Item);
  return Count() - 1;
}

template <typename F>
void TZNT1Shader::ForEachProgram(F f) {
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
}

void TZNT1Shader::IncRef() {
  if (ReferenceCounter != 0) {
    ++ReferenceCounter;
    Upload();
    return;
  }
  ReferenceCounter = 1;
  Upload();
}

void TZNT1Shader::DecRef() {
  if (ReferenceCounter < 1) return;
  if (--ReferenceCounter == 0) Dispose();
}

void TZNT1Shader::Upload() {
  if (ReferenceCounter <= 0 || Uploaded) return;
  Uploaded = true;
}

void TZNT1Shader::Dispose() {
  if (!Uploaded) return;
  Uploaded = false;
}

// ---- Tokenizer ----

std::string_view TZNT1ShaderTokenizer::TokenNextView(bool) { return {}; }

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

void TZNT1Shaders::Load() {}

void TZNT1Shaders::ParseFromStream(TMemoryStream*, const std::string&) {}

void TZNT1Shaders::Parse(std::string_view, const std::string&) {}

TZNT1Shader* TZNT1Shaders::AddDefaultTextureShader(const std::string&, bool, bool) { return nullptr; }

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
