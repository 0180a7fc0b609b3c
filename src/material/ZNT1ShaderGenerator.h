#pragma once
// The program generator: writes the GLSL program of one kind for a material.
#include <cstdint>
#include <string>
#include <vector>

class TZNT1Shader;
class TZNT1GLSLShader;
struct TZNT1ShaderWaveform;

// An ordered list of GLSL declarations that refuses a line it already holds (compared without
// regard to letter case) and counts vectors: 4 for a line holding "mat4", 3 for "mat3", else 1.
class TZNT1DeclarationList {
 public:
  // True when the line was new and appended.
  bool Add(const std::string& Line);
  bool Holds(const std::string& Line) const;
  std::vector<std::string> Lines;
  int32_t Count = 0;
};

// The lines that set the float n to Wave at time TimeVar; o is written right after the phase.
std::vector<std::string> WaveformCode(const std::string& n, const std::string& o, const TZNT1ShaderWaveform& Wave,
                                      const std::string& TimeVar);

// The texts of one program as composed, before the program library sees them.
struct TZNT1GeneratedShaderText {
  std::string VertexShader;
  std::string GeometryShader;  // empty without a geometry stage
  std::string FragmentShader;
  int32_t OutputTriangles = 0;
  // Why no program exists for this request; empty when the texts go to the compiler.
  std::string Refusal;
  int32_t TexUnits = 0;
  int32_t AttributeCount = 0;
  int32_t VertexUniformCount = 0;
  int32_t GeometryUniformCount = 0;
  int32_t FragmentUniformCount = 0;
  int32_t VaryingCount = 0;
  // The declaration lists as written (uniforms of all three stages, varyings, attributes).
  std::vector<std::string> Attributes, Uniforms, Varyings;
};

// Writes the texts of kind ShaderType (a zst constant) for Shader without touching the program
// library; writes back the same material and stage fields as GenerateShader.
TZNT1GeneratedShaderText ComposeShader(TZNT1Shader* Shader, int32_t ShaderType, int32_t SingleShaderStageIndex,
                                       bool ClipPlane, bool Fog, bool InterpolateVertices,
                                       int32_t InputShadowMapCount);

// The shared program of kind ShaderType (a zst constant) for Shader, taken from the
// engine's program library; nullptr when no program of that kind exists for it.
TZNT1GLSLShader* GenerateShader(TZNT1Shader* Shader, int32_t ShaderType, int32_t SingleShaderStageIndex,
                                bool ClipPlane, bool Fog, bool InterpolateVertices, int32_t InputShadowMapCount);

// Renames every whole identifier Name in Text to Name followed by Suffix.
void RenameIdentifier(std::string& Text, const std::string& Name, const std::string& Suffix);
