#include "material/ZNT1ShaderGenerator.h"

TZNT1GLSLShader* GenerateShader(TZNT1Shader*, int32_t, int32_t, bool, bool, bool, int32_t) { return nullptr; }
