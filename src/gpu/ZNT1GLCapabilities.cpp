#include "gpu/ZNT1GLCapabilities.h"

#include <bitset>

#include "core/ZNT1Globals.h"
#include "platform/ZNT1OpenGL.h"

namespace {

std::string GLString(GLenum Name) {
  const GLubyte* s = glGetString(Name);
  return s ? std::string(reinterpret_cast<const char*>(s)) : std::string();
}

// Plain unsigned decimal; anything else (sign, letters, too many digits) reads as 0.
uint32_t DecimalOrZero(const std::string& Token) {
  if (Token.empty() || Token.size() > 9) return 0;
  uint32_t v = 0;
  for (char c : Token) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + uint32_t(c - '0');
  }
  return v;
}

std::string TrimLower(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
  std::string r = s.substr(b, e - b);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return r;
}

bool Contains(const std::string& s, const char* Word) { return s.find(Word) != std::string::npos; }

// A limit the driver refuses (or answers with nonsense) keeps its default.
void QueryLimit(GLenum Name, int32_t& Field, bool ComponentsToVectors) {
  while (glGetError() != GL_NO_ERROR) {
  }
  GLint v = -1;
  glGetIntegerv(Name, &v);
  if (glGetError() != GL_NO_ERROR || v < 0) return;
  Field = ComponentsToVectors ? int32_t(uint32_t(v) >> 2) : v;
}

}  // namespace

uint32_t TZNT1GLCapabilities::ParseShadingLanguageVersion(const std::string& Text) {
  std::bitset<256> separators;
  for (int c = 0; c <= 32; ++c) separators.set(size_t(c));
  separators.set(size_t(','));
  separators.set(size_t('.'));
  std::string s = Text;
  const uint32_t major = DecimalOrZero(Parse(s, separators, true));
  const uint32_t minor = DecimalOrZero(Parse(s, separators, true));
  return (major << 8) | minor;
}

void TZNT1GLCapabilities::ApplyDriverStrings() {
  ShadingLanguageVersion = ParseShadingLanguageVersion(ShadingLanguageVersionString);
  SkyFBO = false;
  const std::string v = TrimLower(Vendor);
  const bool fullQuality = Contains(v, "nvidia") || Contains(v, "ati") || Contains(v, "amd") ||
                           (Contains(v, "intel") && ShadingLanguageVersion >= 0x400);
  if (fullQuality) {
    if (ShadingLanguageVersion < 0x420) GeometryShader = false;
  } else {
    LowQuality = true;
    UseSinglePassShadowCubeMaps = false;
    GeometryShader = false;
  }
  // The generated geometry shaders are written for GL_ARB_geometry_shader4; without it the
  // wireframe and layered cube-fill programs cannot compile (cube maps then go face by face).
  if (!Contains(Extensions, "GL_ARB_geometry_shader4")) {
    GeometryShader = false;
  }
  // Layered cube fills are geometry programs: without them lights would cast no shadow.
  if (!GeometryShader) UseSinglePassShadowCubeMaps = false;
  TextureMultisample = Contains(Extensions, "GL_ARB_texture_multisample");
  const std::string r = TrimLower(Renderer);
  SoftwareRasterizer = Contains(r, "llvmpipe") || Contains(r, "softpipe") || Contains(r, "software") ||
                       Contains(r, "swr") || Contains(r, "swiftshader") || Contains(r, "gdi generic") ||
                       Contains(r, "basic render driver");
}

void TZNT1GLCapabilities::Query() {
  Vendor = GLString(GL_VENDOR);
  Renderer = GLString(GL_RENDERER);
  Version = GLString(GL_VERSION);
  ShadingLanguageVersionString = GLString(GL_SHADING_LANGUAGE_VERSION);
  Extensions = GLString(GL_EXTENSIONS);
  ApplyDriverStrings();

  if (Contains(Extensions, "GL_EXT_texture_filter_anisotropic")) {
    GLfloat a = 0.0f;
    glGetFloatv(GL_MAX_TEXTURE_MAX_ANISOTROPY_EXT, &a);
    // NaN and negative answers count as no anisotropy.
    MaxAnisotropy = a > 0.0f ? a : 0.0f;
    // A CPU rasterizer can spend seconds to minutes on one draw seen at a grazing angle under
    // anisotropic filtering; plain trilinear keeps every frame short there.
    if (SoftwareRasterizer && MaxAnisotropy > 1.0f) MaxAnisotropy = 1.0f;
  }

  QueryLimit(GL_MAX_VERTEX_ATTRIBS, MaxVertexAttribs, false);
  QueryLimit(GL_MAX_TEXTURE_SIZE, MaxTextureSize, false);
  QueryLimit(GL_MAX_COMBINED_TEXTURE_IMAGE_UNITS, MaxTextureUnits, false);
  QueryLimit(GL_MAX_FRAGMENT_UNIFORM_COMPONENTS, MaxFragmentUniformVectors, true);
  QueryLimit(GL_MAX_GEOMETRY_UNIFORM_COMPONENTS, MaxGeometryUniformVectors, true);
  QueryLimit(GL_MAX_VERTEX_UNIFORM_COMPONENTS, MaxVertexUniformVectors, true);
  QueryLimit(GL_MAX_VARYING_FLOATS, MaxVaryingVectors, true);

  // Fixed capacities: the buffers split their own batches, whatever the driver suggests.
  MaxElementsVertices = 0x100000;
  MaxElementsIndices = 3 * MaxElementsVertices;
}
