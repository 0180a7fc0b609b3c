#pragma once
// The program generator: writes the GLSL program of one kind for a material.
#include <cstdint>

class TZNT1Shader;
class TZNT1GLSLShader;

// The shared program of kind ShaderType (a zst constant) for Shader, taken from the
// engine's program library; nullptr when no program of that kind exists for it.
TZNT1GLSLShader* GenerateShader(TZNT1Shader* Shader, int32_t ShaderType, int32_t SingleShaderStageIndex,
                                bool ClipPlane, bool Fog, bool InterpolateVertices, int32_t InputShadowMapCount);
