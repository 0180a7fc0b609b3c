#pragma once
// Materials built in code for the program generator tests, and engines whose capability
// probe answers like Mesa's llvmpipe in either quality setting.
#include <initializer_list>
#include <memory>
#include <string>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "assets/ZNT1Texture.h"
#include "gpu/ZNT1GLSLShader.h"
#include "material/ZNT1Shader.h"

namespace materialtest {

// Mesa llvmpipe's limits; LowQuality as its own vendor string gives, full quality as a forced
// vendor gives (still without GL_ARB_geometry_shader4).
inline void SetMesaCapabilities(TZNT1GLCapabilities& Caps, bool LowQuality) {
  Caps.MaxVertexAttribs = 16;
  Caps.MaxTextureUnits = 192;
  Caps.MaxFragmentUniformVectors = 4096;
  Caps.MaxGeometryUniformVectors = 4096;
  Caps.MaxVertexUniformVectors = 4096;
  Caps.MaxVaryingVectors = 32;
  Caps.LowQuality = LowQuality;
  Caps.UseSinglePassShadowCubeMaps = false;
  Caps.GeometryShader = false;
}

// A dedicated engine (no OpenGL) with a capability probe, a program library and a material library.
class TGeneratorEngine {
 public:
  explicit TGeneratorEngine(bool LowQuality = true) {
    Engine.GLCapabilities = std::make_unique<TZNT1GLCapabilities>(&Engine);
    SetMesaCapabilities(*Engine.GLCapabilities, LowQuality);
    Engine.GLSLShaders = std::make_unique<TZNT1GLSLShaders>(&Engine);
    Engine.Shaders = std::make_unique<TZNT1Shaders>(&Engine);
  }
  TZNT1GLCapabilities& Caps() { return *Engine.GLCapabilities; }

  TZNT1Engine Engine{&CreateGameOfClass<TZNT1Game>, true};
  // Stands in for normal, specular and glow maps: the generator only asks whether one is set.
  TZNT1Texture SideTexture{&Engine, nullptr};
};

// One stage of a material built in code; unset fields keep the stage's defaults.
struct TStageSpec {
  uint32_t StateBits = GLS_DEPTHMASK_TRUE;
  int32_t TexCoordGen = TCGEN_TEXTURE;
  int32_t RGBGen = CGEN_IDENTITY;
  int32_t AlphaGen = AGEN_IDENTITY;
  bool IsLightMap = false;
  int32_t UseLightMap = 0;
};

// A material owned by the caller, with the given stages; StateBits is their or.
inline std::unique_ptr<TZNT1Shader> MakeMaterial(TZNT1Engine& Engine, std::initializer_list<TStageSpec> Stages,
                                                 const std::string& Name = "test/material") {
  auto Shader = std::make_unique<TZNT1Shader>(&Engine, nullptr);
  Shader->Name = Name;
  Shader->Sort = SORT_OPAQUE;
  for (const TStageSpec& s : Stages) {
    auto* Stage = new TZNT1ShaderStage(Shader.get());
    Stage->StateBits = s.StateBits;
    Stage->TexCoordGen = s.IsLightMap ? TCGEN_LIGHTMAP : s.TexCoordGen;
    Stage->RGBGen = s.RGBGen;
    Stage->AlphaGen = s.AlphaGen;
    Stage->IsLightMap = s.IsLightMap;
    Stage->UseLightMap = s.UseLightMap;
    if (s.UseLightMap != 0 || s.IsLightMap) Shader->UseLightMap = true;
    Shader->StateBits |= s.StateBits;
    Shader->Add(Stage);
  }
  Shader->SinglePassStateBits = Shader->StateBits;
  return Shader;
}

// Walks the program requests of a material's and its stages' tables in the lifecycle's order:
// Request(Kind, Stage, ClipPlane, Fog, Interpolate) answers whether the program exists; the
// multi-pass kinds are asked only where the matching single-pass entry is missing.
template <class F>
void ForEachProgramRequest(const TZNT1Shader& Shader, F Request) {
  const int InterpMax = Shader.DoInterpolateVertices ? 1 : 0;
  bool Single[2][2][2] = {}, Fill[3][2][2] = {};
  const int32_t FillKinds[3] = {zstGEOMETRYFILLSINGLEPASS, zstSHADOWMAPFILLSINGLEPASS, zstSHADOWCUBEMAPFILLSINGLEPASS};
  for (int c = 0; c < 2; c++)
    for (int f = 0; f < 2; f++)
      for (int i = 0; i <= InterpMax; i++) Single[c][f][i] = Request(zstSINGLEPASS, 0, c != 0, f != 0, i != 0);
  for (int c = 0; c < 2; c++)
    for (int i = 0; i <= InterpMax; i++)
      for (int k = 0; k < 3; k++) Fill[k][c][i] = Request(FillKinds[k], 0, c != 0, false, i != 0);
  for (int i = 0; i <= InterpMax; i++)
    for (int32_t Kind : {zstFOG, zstZPREPASS, zstWHITE, zstWIREFRAME})
      for (int c = 0; c < 2; c++) Request(Kind, 0, c != 0, false, i != 0);
  for (int32_t s = 0; s < Shader.Count(); s++) {
    for (int c = 0; c < 2; c++)
      for (int f = 0; f < 2; f++)
        for (int i = 0; i <= InterpMax; i++)
          if (!Single[c][f][i]) Request(zstMULTIPASS, s, c != 0, f != 0, i != 0);
    for (int c = 0; c < 2; c++)
      for (int i = 0; i <= InterpMax; i++)
        for (int k = 0; k < 3; k++)
          if (!Fill[k][c][i]) Request(FillKinds[k] + 1, s, c != 0, false, i != 0);
  }
}

}  // namespace materialtest
