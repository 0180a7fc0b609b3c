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

namespace programtest {

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

inline const char* const Waveforms[] = {"sin", "square", "triangle", "sawtooth", "inversesawtooth", "noise"};

// Materials for what the content lacks: side maps with every offset-mapping mode, every
// generator and modifier word, deformations, fog-adjusting blends, grates, sky, fog, portals,
// eight stages and numbers beyond the single range.
inline std::string FixtureScript() {
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
  // Offset mapping on, but no stage reads the model's texture coordinates.
  Material(" {\n  map " + T + ".tga\n  tcgen environment\n  normalmap $whiteimage\n }\n");
  // The last normal-mapped stage is not alpha-tested: the fills sample its map all the same.
  Material(" {\n  map " + T + "\n  alphafunc ge128\n  normalmap $whiteimage\n }\n {\n  map " + T +
           "\n  blendfunc filter\n  normalmap $whiteimage\n }\n");

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

}  // namespace programtest
