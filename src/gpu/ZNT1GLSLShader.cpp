#include "gpu/ZNT1GLSLShader.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <iterator>

#include "core/ZNT1Engine.h"
#include "gpu/ZNT1FXAA.h"
#include "gpu/ZNT1FrameBufferObject.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1SMAA.h"
#include "platform/ZNT1OpenGL.h"

int32_t MyPos(const std::string& ToSearch, const std::string& InWhat) {
  if (ToSearch.empty()) return 0;
  const size_t At = InWhat.find(ToSearch);
  return At == std::string::npos ? 0 : static_cast<int32_t>(At) + 1;
}

const char* const TZNT1GLSLShader::AttributeNames[AttributeCount] = {
    "aPosition",  "aTexCoord",  "aLightMapCoord",  "aNormal",  "aTangent",  "aColor",  "aMiddle",
    "aPosition2", "aTexCoord2", "aLightMapCoord2", "aNormal2", "aTangent2", "aColor2", "aMiddle2"};

TZNT1GLSLShader::TZNT1GLSLShader(TZNT1Engine* AEngine, TZNT1GLSLShaders* AShaders)
    : Engine(AEngine), Shaders(AShaders) {}

TZNT1GLSLShader::~TZNT1GLSLShader() {
  DequeueHash();
  Dispose();
}

bool TZNT1GLSLShader::HasOpenGL() const { return Engine && !Engine->Dedicated; }

void TZNT1GLSLShader::SetCode(const std::string& AVertexShader, const std::string& AGeometryShader,
                              const std::string& AFragmentShader, int32_t AOutputTriangles) {
  VertexShader = AVertexShader;
  GeometryShader = AGeometryShader;
  FragmentShader = AFragmentShader;
  OutputTriangles = AOutputTriangles;
}

void TZNT1GLSLShader::DequeueHash() {
  // Only our own entry: another program may never share the key, but be sure.
  if (Shaders && !Combined.empty() && Shaders->HashMap.GetValue(Combined) == this) Shaders->HashMap.Delete(Combined);
}

bool* TZNT1GLSLShader::AttributeFlag(int32_t Location) {
  bool* const Flags[AttributeCount] = {&aPosition,  &aTexCoord,  &aLightMapCoord,  &aNormal,  &aTangent,
                                       &aColor,     &aMiddle,    &aPosition2,      &aTexCoord2, &aLightMapCoord2,
                                       &aNormal2,   &aTangent2,  &aColor2,         &aMiddle2};
  return Flags[Location];
}

void TZNT1GLSLShader::ResetAttributeFlags() {
  aPosition = aTexCoord = aLightMapCoord = aNormal = aTangent = aBitangent = aColor = aMiddle = false;
  aPosition2 = aTexCoord2 = aLightMapCoord2 = aNormal2 = aTangent2 = aBitangent2 = aColor2 = aMiddle2 = false;
}

void TZNT1GLSLShader::DeleteObjects() {
  if (ProgramHandle >= 0) glDeleteProgram(static_cast<GLuint>(ProgramHandle));
  if (VertexShaderHandle >= 0) glDeleteShader(static_cast<GLuint>(VertexShaderHandle));
  if (GeometryShaderHandle >= 0) glDeleteShader(static_cast<GLuint>(GeometryShaderHandle));
  if (FragmentShaderHandle >= 0) glDeleteShader(static_cast<GLuint>(FragmentShaderHandle));
  ProgramHandle = VertexShaderHandle = GeometryShaderHandle = FragmentShaderHandle = -1;
}

namespace {

void WriteSource(const std::string& Source) {
  std::fwrite(Source.data(), 1, Source.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string ShaderLog(GLuint Handle) {
  GLint Length = 0;
  glGetShaderiv(Handle, GL_INFO_LOG_LENGTH, &Length);
  if (Length <= 0) return {};
  std::string Log(static_cast<size_t>(Length), '\0');
  GLsizei Written = 0;
  glGetShaderInfoLog(Handle, Length, &Written, Log.data());
  Log.resize(static_cast<size_t>(std::max<GLsizei>(Written, 0)));
  return Log;
}

std::string ProgramLog(GLuint Handle) {
  GLint Length = 0;
  glGetProgramiv(Handle, GL_INFO_LOG_LENGTH, &Length);
  if (Length <= 0) return {};
  std::string Log(static_cast<size_t>(Length), '\0');
  GLsizei Written = 0;
  glGetProgramInfoLog(Handle, Length, &Written, Log.data());
  Log.resize(static_cast<size_t>(std::max<GLsizei>(Written, 0)));
  return Log;
}

bool OnlyWhiteSpace(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

// The EXT geometry parameters exist only with the geometry_shader4 extensions; without them
// the layout qualifiers of the source decide.
bool GeometryProgramParametersAvailable(const TZNT1Engine* Engine) {
  if (!Engine || !Engine->GLCapabilities) return false;
  const std::string& Ext = Engine->GLCapabilities->Extensions;
  return MyPos("GL_ARB_geometry_shader4", Ext) > 0 || MyPos("GL_EXT_geometry_shader4", Ext) > 0;
}

}  // namespace

void TZNT1GLSLShader::CompileStage(uint32_t Kind, const std::string& Source, int32_t& Handle, const char* What) {
  const GLuint Shader = glCreateShader(Kind);
  Handle = static_cast<int32_t>(Shader);
  const GLchar* Text = Source.c_str();
  const GLint Length = static_cast<GLint>(Source.size());
  glShaderSource(Shader, 1, &Text, &Length);
  glCompileShader(Shader);
  GLint Status = GL_FALSE;
  glGetShaderiv(Shader, GL_COMPILE_STATUS, &Status);
  if (Status == GL_TRUE) return;
  const std::string Log = ShaderLog(Shader);
  std::string Message = std::string("Unable to compile ") + What + " shader program";
  if (!Log.empty()) {
    WriteSource(Source);
    Message += ": " + Log;
  }
  DeleteObjects();
  throw EShaderException(Message);
}

bool TZNT1GLSLShader::Compile(bool Force) {
  if (ProgramHandle >= 0 && !Force) return true;
  ResetAttributeFlags();
  if (!HasOpenGL()) return true;
  if (VertexShader.empty() || FragmentShader.empty()) return false;
  if (Force) DeleteObjects();

  CompileStage(GL_VERTEX_SHADER, VertexShader, VertexShaderHandle, "vertex");
  if (!OnlyWhiteSpace(GeometryShader)) CompileStage(GL_GEOMETRY_SHADER, GeometryShader, GeometryShaderHandle, "geometry");
  CompileStage(GL_FRAGMENT_SHADER, FragmentShader, FragmentShaderHandle, "fragment");

  const GLuint Program = glCreateProgram();
  ProgramHandle = static_cast<int32_t>(Program);
  glAttachShader(Program, static_cast<GLuint>(VertexShaderHandle));
  if (GeometryShaderHandle >= 0) {
    glAttachShader(Program, static_cast<GLuint>(GeometryShaderHandle));
    if (GeometryProgramParametersAvailable(Engine)) {
      glProgramParameteri(Program, GL_GEOMETRY_VERTICES_OUT_EXT, OutputTriangles * 3);
      glProgramParameteri(Program, GL_GEOMETRY_INPUT_TYPE_EXT, GL_TRIANGLES);
      glProgramParameteri(Program, GL_GEOMETRY_OUTPUT_TYPE_EXT, GL_TRIANGLE_STRIP);
    }
  }
  glAttachShader(Program, static_cast<GLuint>(FragmentShaderHandle));

  for (int32_t i = 0; i < AttributeCount; i++) {
    if (MyPos(AttributeNames[i], VertexShader) > 0) {
      glBindAttribLocation(Program, static_cast<GLuint>(i), AttributeNames[i]);
      *AttributeFlag(i) = true;
    }
  }

  glLinkProgram(Program);
  GLint Status = GL_FALSE;
  glGetProgramiv(Program, GL_LINK_STATUS, &Status);
  if (Status != GL_TRUE) {
    const std::string Log = ProgramLog(Program);
    std::string Message = "Unable to link shader";
    if (!Log.empty()) {
      WriteSource(VertexShader);
      WriteSource(GeometryShader);
      WriteSource(FragmentShader);
      Message += ": " + Log;
    }
    DeleteObjects();
    throw EShaderException(Message);
  }

  CacheUniformLocations();
  SetStartValues();
  return true;
}

void TZNT1GLSLShader::CacheUniformLocations() {
  const GLuint Program = static_cast<GLuint>(ProgramHandle);
  // Only names the sources mention are asked for; the rest are known to be absent.
  auto Locate = [&](const std::string& Name) -> int32_t {
    if (MyPos(Name, VertexShader) > 0 || MyPos(Name, GeometryShader) > 0 || MyPos(Name, FragmentShader) > 0)
      return glGetUniformLocation(Program, Name.c_str());
    return -1;
  };
#define ZNT1_GLSL_LOCATE(Name) Name = Locate(#Name);
#define ZNT1_GLSL_LOCATE_ARRAY(Name, Text) \
  for (int32_t i = 0; i < static_cast<int32_t>(std::size(Name)); i++) Name[i] = Locate(Text + std::to_string(i));
  ZNT1_GLSL_UNIFORMS_A(ZNT1_GLSL_LOCATE)
  ZNT1_GLSL_UNIFORM_ARRAYS_4(ZNT1_GLSL_LOCATE_ARRAY)
  ZNT1_GLSL_UNIFORMS_B(ZNT1_GLSL_LOCATE)
  ZNT1_GLSL_UNIFORM_ARRAYS_8(ZNT1_GLSL_LOCATE_ARRAY)
  ZNT1_GLSL_UNIFORMS_C(ZNT1_GLSL_LOCATE)
#undef ZNT1_GLSL_LOCATE
#undef ZNT1_GLSL_LOCATE_ARRAY
  const int32_t Texs[8] = {uTex0, uTex1, uTex2, uTex3, uTex4, uTex5, uTex6, uTex7};
  std::copy(std::begin(Texs), std::end(Texs), uTexs);
}

void TZNT1GLSLShader::SetStartValues() {
  glUseProgram(static_cast<GLuint>(ProgramHandle));
  if (uTime >= 0) glUniform1f(uTime, 0.0f);
  for (int32_t i = 0; i < 8; i++) {
    if (uTexs[i] >= 0) glUniform1i(uTexs[i], i + 2);
  }
  if (uLightMapTex >= 0) glUniform1i(uLightMapTex, 0);
  if (uDeluxeMapTex >= 0) glUniform1i(uDeluxeMapTex, 1);
  if (uShadowMapTexArray[0] >= 0) glUniform1i(uShadowMapTexArray[0], 2);
  if (uFogTex >= 0) glUniform1i(uFogTex, 2);
  if (uCubeMapMatrices >= 0) glUniformMatrix4fv(uCubeMapMatrices, 6, GL_FALSE, &CubeMapMatrices[0].M[0][0]);
  if (uCubeMapSide >= 0) glUniform1i(uCubeMapSide, 0);
  glUseProgram(0);
}

void TZNT1GLSLShader::Upload() {
  if (ReferenceCounter > 0 && ProgramHandle < 0) Compile(false);
}

void TZNT1GLSLShader::Dispose() {
  if (HasOpenGL()) DeleteObjects();
}

void TZNT1GLSLShader::IncRef() {
  ReferenceCounter++;
  Upload();
}

void TZNT1GLSLShader::DecRef() {
  if (ReferenceCounter > 0) {
    ReferenceCounter--;
    if (ReferenceCounter == 0) Dispose();
  }
}

void TZNT1GLSLShader::Bind() {
  // An uncompiled program has no name to bind; -1 would only raise a GL error.
  if (HasOpenGL() && ProgramHandle >= 0) glUseProgram(static_cast<GLuint>(ProgramHandle));
}

void TZNT1GLSLShader::Unbind() {
  if (HasOpenGL()) glUseProgram(0);
}

// ---------------------------------------------------------------------------------------------
// The program library and the built-in programs.

namespace {

// Every built-in text ends its lines with carriage return and line feed.
std::string CRLF(const char* Text) {
  std::string Result;
  for (const char* p = Text; *p; p++) {
    if (*p == '\n') Result += '\r';
    Result += *p;
  }
  return Result;
}

std::string Lines(std::initializer_list<std::string> List) {
  std::string Result;
  for (const std::string& Line : List) Result += Line + "\r\n";
  return Result;
}

std::string VertexText(const char* Body) { return TZNT1GLSLShaders::VertexPrelude() + CRLF(Body); }
std::string FragmentText(const char* Body) { return TZNT1GLSLShaders::FragmentPrelude() + CRLF(Body); }
std::string FragmentText(const std::string& Body) { return TZNT1GLSLShaders::FragmentPrelude() + Body; }

const char* const TransformVertex = R"(attribute vec3 aPosition;
attribute vec2 aTexCoord;
uniform mat4 uModelMatrix;
uniform mat4 uViewMatrix;
uniform mat4 uProjectionMatrix;
varying vec2 vTexCoord;
void main(){
  vTexCoord = aTexCoord;
  gl_Position = uProjectionMatrix * (uViewMatrix * (uModelMatrix * vec4(aPosition, 1.0)));
}
)";

const char* const PositionOnlyVertex = R"(attribute vec3 aPosition;
uniform mat4 uModelMatrix;
uniform mat4 uViewMatrix;
uniform mat4 uProjectionMatrix;
void main(){
  gl_Position = uProjectionMatrix * (uViewMatrix * (uModelMatrix * vec4(aPosition, 1.0)));
}
)";

const char* const QuadVertex = R"(attribute vec3 aPosition;
attribute vec2 aTexCoord;
varying vec2 vTexCoord;
void main(){
  gl_Position = vec4(aPosition, 1.0);
  vTexCoord = aTexCoord;
}
)";

const char* const QuadVertex2 = R"(attribute vec3 aPosition;
attribute vec2 aTexCoord;
varying vec2 vTexCoord;
void main(){
  vTexCoord = aTexCoord;
  gl_Position = vec4(aPosition, 1.0);
}
)";

const char* const ClipSpaceQuadVertex = R"(attribute vec3 aPosition;
varying vec2 vTexCoord;
void main(){
  gl_Position = vec4(aPosition, 1.0);
  vTexCoord = ((gl_Position.xy / gl_Position.w) * 0.5) + vec2(0.5);
}
)";

const char* const Quad2DVertex = R"(attribute vec2 aPosition;
attribute vec2 aTexCoord;
varying vec2 vTexCoord;
void main(){
  vTexCoord = aTexCoord;
  gl_Position = vec4(aPosition, 1.0, 1.0);
}
)";

const char* const ColoredQuad2DVertex = R"(attribute vec2 aPosition;
attribute vec2 aTexCoord;
attribute vec4 aColor;
varying vec2 vTexCoord;
varying vec4 vColor;
void main(){
  vTexCoord = aTexCoord;
  vColor = aColor;
  gl_Position = vec4(aPosition, 1.0, 1.0);
}
)";

const char* const FXAA2Vertex = R"(attribute vec2 aPosition;
attribute vec2 aTexCoord;
uniform vec2 uFragCoordInvScale;
varying vec4 vTexCoord;
void main(){
  vTexCoord = vec4(aTexCoord, aTexCoord - (uFragCoordInvScale * (0.5 + 0.25)));
  gl_Position = vec4(aPosition, 1.0, 1.0);
}
)";

const char* const ViewRayVertex = R"(attribute vec3 aPosition;
attribute vec2 aTexCoord;
uniform mat4 uInverseProjectionMatrix;
varying vec2 vTexCoord;
varying vec3 vViewRayDirection;
void main(){
  gl_Position = vec4(aPosition, 1.0);
  vViewRayDirection = (uInverseProjectionMatrix * vec4((aTexCoord - vec2(0.5)) * 2.0, 0.0, 1.0)).xyz;
  vTexCoord = aTexCoord;
}
)";

const char* const SkyFragment = R"(uniform sampler2D uTex0;
varying vec2 vTexCoord;
void main(){
  gl_FragColor = texture2D(uTex0, vTexCoord);
}
)";

const char* const SkyFBOMapFragment = R"(uniform sampler2D uTex0;
uniform vec2 uFragCoordInvScale;
void main(){
  gl_FragColor = texture2D(uTex0, gl_FragCoord.xy * uFragCoordInvScale);
}
)";

const char* const ZPrepassFragment = R"(void main(){
  gl_FragColor = vec4(1.0);
}
)";

const char* const ScreenQuadFragment = R"(uniform sampler2D uTex0;
varying vec2 vTexCoord;
void main(){
  gl_FragColor = vec4(texture2D(uTex0, vTexCoord).rgb, 1.0);
}
)";

const char* const BoxFilterFragment = R"(uniform sampler2D uTex0;
uniform vec2 uScale;
varying vec2 vTexCoord;
void main(){
  vec4 sum = vec4(0.0);
  for (int j = -1; j <= 1; j++) {
    for (int i = -1; i <= 1; i++) {
      sum += texture2D(uTex0, vTexCoord + (vec2(float(i), float(j)) * uScale));
    }
  }
  gl_FragColor = sum / 9.0;
}
)";

const char* const ShadowBoxFilterFragment = R"(uniform sampler2D uTex0;
uniform sampler2D uTex1;
uniform sampler2D uTex2;
uniform vec2 uScale;
varying vec2 vTexCoord;
void main(){
  vec4 sum = vec4(0.0);
  for (int j = -1; j <= 1; j++) {
    for (int i = -1; i <= 1; i++) {
      sum += texture2D(uTex1, vTexCoord + (vec2(float(i), float(j)) * uScale));
    }
  }
  gl_FragColor = mix(sum / 9.0, texture2D(uTex0, vTexCoord), texture2D(uTex2, vTexCoord).x);
}
)";

const char* const ScreenBlitFragment = R"(uniform sampler2D uTex0;
varying vec2 vTexCoord;
void main(){
  gl_FragColor = vec4(texture2D(uTex0, vTexCoord).rgb, 0.25);
}
)";

const char* const ScreenShadowBlitFragment = R"(uniform sampler2D uTex0;
varying vec2 vTexCoord;
void main(){
  gl_FragColor = vec4(texture2D(uTex0, vTexCoord).rgb, 0.5);
}
)";

const char* const CubeMapBlitFragment = R"(uniform samplerCube uTex0;
varying vec2 vTexCoord;
void main(){
  float u = vTexCoord.x;
  float v = vTexCoord.y;
  vec3 direction;
  if (v < 0.5) {
    float y = (0.25 - v) / 0.25;
    if (u < 0.33) {
      direction = vec3(-1.0, y, (u - 0.165) / 0.165);
    } else if (u < 0.66) {
      direction = vec3((u - 0.33 - 0.165) / 0.165, y, -1.0);
    } else {
      direction = vec3(1.0, y, (u - 0.66 - 0.165) / 0.165);
    }
  } else {
    float y = (0.75 - v) / 0.25;
    if (u < 0.33) {
      direction = vec3((u - 0.165) / 0.165, y, 1.0);
    } else if (u < 0.66) {
      direction = vec3((u - 0.33 - 0.165) / 0.165, 1.0, -y);
    } else {
      direction = vec3((u - 0.66 - 0.165) / 0.165, -1.0, -y);
    }
  }
  gl_FragColor = vec4(textureCube(uTex0, direction).rgb, 0.25);
}
)";

const char* const ScreenWaterQuadFragment = R"(uniform sampler2D uTex0;
uniform float uTime;
varying vec2 vTexCoord;
void main(){
  vec2 tc = vTexCoord;
  vec3 tx = vec3(tc * 7.0, uTime * 1.985);
  vec3 ty = vec3(tc.yx * 5.0, (uTime + 3.0) * 2.34);
  vec2 vt = vec2(sin(tx.x + tx.y + tx.z + sin(ty.x - ty.y + ty.z)), sin(ty.x + ty.y + ty.z + sin(tx.x - tx.y + tx.z))) * 0.025;
  vec2 p2 = tc + vt;
  vec2 p3 = p2 + (vec2(sin(tx.x + tx.y + (uTime * 2.15)), sin(ty.x + ty.y + (uTime * 1.87))) * 0.005);
  vec2 p4 = p2 - (vec2(sin(tx.x - tx.y + (uTime * 1.79)), sin(ty.x - ty.y + (uTime * 2.36))) * 0.005);
  vec2 edge = abs((tc - vec2(0.5)) * 2.0);
  gl_FragColor = vec4(texture2D(uTex0, mix(p2, tc, edge)).r,
                      texture2D(uTex0, mix(p3, tc, edge)).g,
                      texture2D(uTex0, mix(p4, tc, edge)).b,
                      1.0);
}
)";

const char* const TextureFragment2D = R"(uniform sampler2D uTex0;
varying vec2 vTexCoord;
varying vec4 vColor;
void main(){
  gl_FragColor = texture2D(uTex0, vTexCoord) * vColor;
}
)";

const char* const LumaFragment = R"(uniform sampler2D uTex0;
varying vec2 vTexCoord;
void main(){
  vec4 c = texture2D(uTex0, vTexCoord);
  gl_FragColor = vec4(c.rgb, dot(c.rgb, vec3(0.299, 0.587, 0.114)));
}
)";

const char* const DLAAPrepassFragment = R"(uniform sampler2D uTex0;
uniform vec2 uFragCoordInvScale;
varying vec2 vTexCoord;
float luma(vec3 c){
  return dot(c, vec3(0.2126, 0.7152, 0.0722));
}
void main(){
  vec4 c = texture2D(uTex0, vTexCoord);
  vec4 l = texture2D(uTex0, vTexCoord - vec2(uFragCoordInvScale.x, 0.0));
  vec4 r = texture2D(uTex0, vTexCoord + vec2(uFragCoordInvScale.x, 0.0));
  vec4 t = texture2D(uTex0, vTexCoord - vec2(0.0, uFragCoordInvScale.y));
  vec4 b = texture2D(uTex0, vTexCoord + vec2(0.0, uFragCoordInvScale.y));
  vec4 edge = 4.0 * abs((l + r + t + b) - (4.0 * c));
  gl_FragColor = vec4(c.rgb, luma(edge.rgb));
}
)";

const char* const DLAAPostPassFragment = R"(uniform sampler2D uTex0;
uniform vec2 uFragCoordInvScale;
varying vec2 vTexCoord;
float luma(vec3 c){
  return dot(c, vec3(0.2126, 0.7152, 0.0722));
}
vec4 tap(vec2 offset){
  return texture2D(uTex0, vTexCoord + (offset * uFragCoordInvScale));
}
void main(){
  const float lambda = 3.0;
  const float epsilon = 0.1;
  vec4 center = tap(vec2(0.0));
  vec4 left = tap(vec2(-1.5, 0.0));
  vec4 right = tap(vec2(1.5, 0.0));
  vec4 top = tap(vec2(0.0, -1.5));
  vec4 bottom = tap(vec2(0.0, 1.5));
  vec4 wh = 2.0 * (left + right);
  vec4 wv = 2.0 * (top + bottom);
  vec4 edgeH = abs(wh - (4.0 * center)) / 4.0;
  vec4 edgeV = abs(wv - (4.0 * center)) / 4.0;
  vec4 blurredH = (wh + (2.0 * center)) / 6.0;
  vec4 blurredV = (wv + (2.0 * center)) / 6.0;
  float edgeMaskH = saturate(((lambda * luma(edgeH.rgb)) - epsilon) / luma(blurredV.rgb));
  float edgeMaskV = saturate(((lambda * luma(edgeV.rgb)) - epsilon) / luma(blurredH.rgb));
  vec4 clr = mix(center, blurredH, edgeMaskV);
  clr = mix(clr, blurredV, edgeMaskH * 0.5);
  vec4 h0 = tap(vec2(1.5, 0.0));
  vec4 h1 = tap(vec2(3.5, 0.0));
  vec4 h2 = tap(vec2(5.5, 0.0));
  vec4 h3 = tap(vec2(7.5, 0.0));
  vec4 h4 = tap(vec2(-1.5, 0.0));
  vec4 h5 = tap(vec2(-3.5, 0.0));
  vec4 h6 = tap(vec2(-5.5, 0.0));
  vec4 h7 = tap(vec2(-7.5, 0.0));
  vec4 v0 = tap(vec2(0.0, 1.5));
  vec4 v1 = tap(vec2(0.0, 3.5));
  vec4 v2 = tap(vec2(0.0, 5.5));
  vec4 v3 = tap(vec2(0.0, 7.5));
  vec4 v4 = tap(vec2(0.0, -1.5));
  vec4 v5 = tap(vec2(0.0, -3.5));
  vec4 v6 = tap(vec2(0.0, -5.5));
  vec4 v7 = tap(vec2(0.0, -7.5));
  float longEdgeMaskH = saturate((((h0.a + h1.a + h2.a + h3.a + h4.a + h5.a + h6.a + h7.a) / 8.0) * 2.0) - 1.0);
  float longEdgeMaskV = saturate((((v0.a + v1.a + v2.a + v3.a + v4.a + v5.a + v6.a + v7.a) / 8.0) * 2.0) - 1.0);
  if (abs(longEdgeMaskH - longEdgeMaskV) > 0.2) {
    vec4 left1 = tap(vec2(-1.0, 0.0));
    vec4 right1 = tap(vec2(1.0, 0.0));
    vec4 top1 = tap(vec2(0.0, -1.0));
    vec4 bottom1 = tap(vec2(0.0, 1.0));
    float lbH = luma(((h0 + h1 + h2 + h3 + h4 + h5 + h6 + h7) / 8.0).rgb);
    float lbV = luma(((v0 + v1 + v2 + v3 + v4 + v5 + v6 + v7) / 8.0).rgb);
    float lc = luma(center.rgb);
    float ll = luma(left1.rgb);
    float lr = luma(right1.rgb);
    float lt = luma(top1.rgb);
    float lb = luma(bottom1.rgb);
    vec4 vhxy = vec4(saturate((lbV - ll) / (lc - ll)),
                     saturate(1.0 + ((lbV - lc) / (lc - lr))),
                     saturate((lbH - lt) / (lc - lt)),
                     saturate(1.0 + ((lbH - lc) / (lc - lb))));
    if (all(equal(vhxy, vec4(0.0)))) {
      vhxy = vec4(1.0);
    }
    vec4 clrV = mix(right1, mix(left1, center, vhxy.x), vhxy.y);
    vec4 clrH = mix(bottom1, mix(top1, center, vhxy.z), vhxy.w);
    clr = mix(clr, clrV, longEdgeMaskV);
    clr = mix(clr, clrH, longEdgeMaskH);
  }
  gl_FragColor = clr;
}
)";

const char* const NFAAFragment = R"(uniform sampler2D uTex0;
uniform vec2 uFragCoordInvScale;
varying vec2 vTexCoord;
float luma(vec3 c){
  return dot(c, vec3(0.2126, 0.7152, 0.0722));
}
float lumaAt(vec2 p){
  return luma(texture2D(uTex0, p).rgb);
}
void main(){
  vec2 tc = vTexCoord;
  vec2 up = vec2(0.0, uFragCoordInvScale.y) * 3.0;
  vec2 right = vec2(uFragCoordInvScale.x, 0.0) * 3.0;
  float top = lumaAt(tc + up);
  float bottom = lumaAt(tc - up);
  float rightLuma = lumaAt(tc + right);
  float leftLuma = lumaAt(tc - right);
  float rightTop = lumaAt(tc + right - up);
  float rightBottom = lumaAt(tc + right + up);
  float leftTop = lumaAt(tc - right + up);
  float leftBottom = lumaAt(tc - right - up);
  float sum0 = rightTop + top + rightBottom;
  float sum1 = leftTop + bottom + leftBottom;
  float sum2 = leftTop + leftLuma + rightTop;
  float sum3 = leftBottom + rightLuma + rightBottom;
  vec2 n = vec2(sum1 - sum0, sum2 - sum3) * uFragCoordInvScale * 3.0;
  vec2 m = vec2(n.x, -n.y) * 0.5;
  gl_FragColor = (texture2D(uTex0, tc) + texture2D(uTex0, tc + n) + texture2D(uTex0, tc - n) +
                  texture2D(uTex0, tc + m) + texture2D(uTex0, tc - m)) / 5.0;
}
)";

const char* const FXAA2Fragment = R"(uniform sampler2D uTex0;
uniform vec2 uFragCoordInvScale;
varying vec4 vTexCoord;
#define FXAA_SPAN_MAX 8.0
#define FXAA_REDUCE_MUL (1.0 / 8.0)
#define FXAA_REDUCE_MIN (1.0 / 128.0)
void main(){
#ifdef GL_EXT_gpu_shader4
  vec3 rgbNW = textureLodOffset(uTex0, vTexCoord.zw, 0.0, ivec2(0, 0)).xyz;
  vec3 rgbNE = textureLodOffset(uTex0, vTexCoord.zw, 0.0, ivec2(1, 0)).xyz;
  vec3 rgbSW = textureLodOffset(uTex0, vTexCoord.zw, 0.0, ivec2(0, 1)).xyz;
  vec3 rgbSE = textureLodOffset(uTex0, vTexCoord.zw, 0.0, ivec2(1, 1)).xyz;
#else
  vec3 rgbNW = texture2DLod(uTex0, vTexCoord.zw, 0.0).xyz;
  vec3 rgbNE = texture2DLod(uTex0, vTexCoord.zw + (vec2(1.0, 0.0) * uFragCoordInvScale), 0.0).xyz;
  vec3 rgbSW = texture2DLod(uTex0, vTexCoord.zw + (vec2(0.0, 1.0) * uFragCoordInvScale), 0.0).xyz;
  vec3 rgbSE = texture2DLod(uTex0, vTexCoord.zw + (vec2(1.0, 1.0) * uFragCoordInvScale), 0.0).xyz;
#endif
  vec3 rgbM = texture2DLod(uTex0, vTexCoord.xy, 0.0).xyz;
  vec3 luma = vec3(0.299, 0.587, 0.114);
  float lumaNW = dot(rgbNW, luma);
  float lumaNE = dot(rgbNE, luma);
  float lumaSW = dot(rgbSW, luma);
  float lumaSE = dot(rgbSE, luma);
  float lumaM = dot(rgbM, luma);
  float lumaMin = min(lumaM, min(min(lumaNW, lumaNE), min(lumaSW, lumaSE)));
  float lumaMax = max(lumaM, max(max(lumaNW, lumaNE), max(lumaSW, lumaSE)));
  vec2 dir = vec2(-((lumaNW + lumaNE) - (lumaSW + lumaSE)), (lumaNW + lumaSW) - (lumaNE + lumaSE));
  float dirReduce = max((lumaNW + lumaNE + lumaSW + lumaSE) * (0.25 * FXAA_REDUCE_MUL), FXAA_REDUCE_MIN);
  float rcpDirMin = 1.0 / (min(abs(dir.x), abs(dir.y)) + dirReduce);
  dir = clamp(dir * rcpDirMin, vec2(-FXAA_SPAN_MAX), vec2(FXAA_SPAN_MAX)) * uFragCoordInvScale;
  vec3 rgbA = 0.5 * (texture2DLod(uTex0, vTexCoord.xy + (dir * ((1.0 / 3.0) - 0.5)), 0.0).xyz +
                     texture2DLod(uTex0, vTexCoord.xy + (dir * ((2.0 / 3.0) - 0.5)), 0.0).xyz);
  vec3 rgbB = (rgbA * 0.5) + (0.25 * (texture2DLod(uTex0, vTexCoord.xy + (dir * -0.5), 0.0).xyz +
                                      texture2DLod(uTex0, vTexCoord.xy + (dir * 0.5), 0.0).xyz));
  float lumaB = dot(rgbB, luma);
  if ((lumaB < lumaMin) || (lumaB > lumaMax)) {
    gl_FragColor = vec4(rgbA, 1.0);
  } else {
    gl_FragColor = vec4(rgbB, 1.0);
  }
}
)";

const char* const BloomFilterFragment = R"(uniform sampler2D uTex0;
varying vec2 vTexCoord;
void main(){
  gl_FragColor = vec4(clamp((texture2D(uTex0, vTexCoord).rgb - vec3(0.5)) * 1.0, 0.0, 1.0), 1.0);
}
)";

const char* const BloomBlurFragment = R"(uniform sampler2D uTex0;
uniform vec2 uScale;
varying vec2 vTexCoord;
void main(){
  gl_FragColor = (texture2D(uTex0, vTexCoord) * 0.3125) +
                 ((texture2D(uTex0, vTexCoord - uScale) + texture2D(uTex0, vTexCoord + uScale)) * 0.234375) +
                 ((texture2D(uTex0, vTexCoord - (uScale * 2.0)) + texture2D(uTex0, vTexCoord + (uScale * 2.0))) * 0.09375) +
                 ((texture2D(uTex0, vTexCoord - (uScale * 3.0)) + texture2D(uTex0, vTexCoord + (uScale * 3.0))) * 0.015625);
}
)";

const char* const BloomCombineFragment = R"(uniform sampler2D uTex0;
uniform sampler2D uTex1;
uniform sampler2D uTex2;
uniform sampler2D uTex3;
uniform sampler2D uTex4;
uniform sampler2D uTex5;
varying vec2 vTexCoord;
void main(){
  vec4 s = texture2D(uTex0, vTexCoord);
  vec4 b = min(texture2D(uTex1, vTexCoord) + texture2D(uTex2, vTexCoord) + texture2D(uTex3, vTexCoord) +
               texture2D(uTex4, vTexCoord) + texture2D(uTex5, vTexCoord), vec4(1.0));
  gl_FragColor = vec4(clamp((s + b) - (s * b), 0.0, 1.0).rgb, s.a);
}
)";

const char* const DownSampleFragment = R"(uniform sampler2D uTex0;
varying vec2 vTexCoord;
void main(){
  gl_FragColor = (texture2DOffset(uTex0, vTexCoord, ivec2(0, 0)) + texture2DOffset(uTex0, vTexCoord, ivec2(0, 1)) +
                  texture2DOffset(uTex0, vTexCoord, ivec2(1, 0)) + texture2DOffset(uTex0, vTexCoord, ivec2(1, 1))) * 0.25;
}
)";

const char* const CopyFragment = R"(uniform sampler2D uTex0;
varying vec2 vTexCoord;
void main(){
  gl_FragColor = texture2D(uTex0, vTexCoord);
}
)";

const char* const GeometryEdgeFragment = R"(uniform sampler2D uTex0;
uniform sampler2D uTex2;
varying vec2 vTexCoord;
#define n(o) ((texture2DOffset(uTex0, vTexCoord, o).rgb - vec3(0.5)) * 2.0)
#define d(o) (texture2DOffset(uTex2, vTexCoord, o).x)
void main(){
  vec3 nc = (texture2D(uTex0, vTexCoord).rgb - vec3(0.5)) * 2.0;
  vec4 a = vec4(dot(nc, n(ivec2(-1, -1))), dot(nc, n(ivec2(0, -1))), dot(nc, n(ivec2(1, -1))), dot(nc, n(ivec2(1, 0))));
  vec4 b = vec4(dot(nc, n(ivec2(-1, 1))), dot(nc, n(ivec2(0, 1))), dot(nc, n(ivec2(1, 1))), dot(nc, n(ivec2(-1, 0))));
  float edge = dot(step(vec4(0.25), abs(a - b)), vec4(0.25)) * 8.0;
  float dc = texture2D(uTex2, vTexCoord).x;
  vec4 da = abs(vec4(d(ivec2(-1, -1)), d(ivec2(0, -1)), d(ivec2(1, -1)), d(ivec2(1, 0))) - vec4(dc));
  vec4 db = abs(vec4(d(ivec2(-1, 1)), d(ivec2(0, 1)), d(ivec2(1, 1)), d(ivec2(-1, 0))) - vec4(dc));
  vec4 dmin = max(min(da, db), vec4(max(dc * 0.00125, 0.00125)));
  vec4 dmax = max(da, db);
  float smallest = min(min(dmin.x, dmin.y), min(dmin.z, dmin.w));
  edge = max(edge, dot(step(vec4(smallest), dmax), vec4(0.25)) * 8.0);
  gl_FragColor = vec4(step(0.1, edge), 0.0, 0.0, 1.0);
}
)";

const char* const LightGridFillFragment = R"(uniform sampler2D uTex0;
uniform sampler2D uTex1;
uniform sampler2D uTex2;
uniform sampler2D uTex3;
uniform sampler3D uLightGridTex;
uniform vec3 uLightGridScale;
uniform vec3 uLightGridOffset;
uniform float uWorldSpaceRadius;
varying vec2 vTexCoord;
void main(){
  vec4 texel0 = texture2D(uTex0, vTexCoord);
  vec4 texel1 = texture2D(uTex1, vTexCoord);
  vec4 texel2 = texture2D(uTex2, vTexCoord);
  vec4 texel3 = texture2D(uTex3, vTexCoord);
  vec3 normal = normalize((texel0.rgb - vec3(0.5)) * 2.0);
  vec3 position = (texel1.rgb - vec3(0.5)) * 2.0 * uWorldSpaceRadius;
  vec3 eye = normalize((texel3.rgb - vec3(0.5)) * 2.0);
  vec3 ambient = vec3(0.25);
  vec3 directed = vec3(0.75);
  vec3 direction = vec3(0.0, 0.0, 1.0);
  gl_FragData[0] = vec4(0.0);
  gl_FragData[1] = vec4(0.0);
  if ((texel1.a > 0.9) && (uLightGridScale.x > 0.0)) {
    vec3 v = (position * uLightGridScale) - uLightGridOffset;
    vec4 a = texture3D(uLightGridTex, v);
    vec4 b = texture3D(uLightGridTex, vec3(v.xy, 1.0 - v.z));
    ambient = a.rgb;
    directed = b.rgb;
    vec2 o = (vec2(a.w, b.w) * 2.0) - vec2(1.0);
    vec3 octahedral = vec3(o, 1.0 - abs(o.x) - abs(o.y));
    if (octahedral.z < 0.0) {
      octahedral.xy = sign(octahedral.xy) - octahedral.xy;
    }
    direction = normalize(octahedral);
    gl_FragData[0] = vec4(clamp(ambient + (max(dot(normal, direction), 0.0) * directed), 0.0, 1.0), 1.0);
    float specular = max(texel3.a * pow(max(dot(-reflect(direction, normal), eye), 0.0), 1.0 + texel2.a), 0.0);
    gl_FragData[1] = vec4(texel2.rgb * directed * specular, 1.0);
  }
}
)";

// The geometry buffer holds world positions (scaled by uWorldSpaceRadius) only in the two-channel
// shadow format; every other format stores a sphere-mapped normal and the packed linear view depth,
// from which the position is rebuilt along the pixel's view ray.
std::string LightFillFragment(int32_t Format) {
  const bool WorldPositions = Format == GL_TEXTURE_RG32F;
  std::string Text = R"(uniform sampler2D uTex0;
uniform sampler2D uTex1;
uniform samplerCube uTex2;
uniform float uWorldSpaceRadius;
uniform mat4 uInverseViewMatrix;
uniform vec2 uClippingDistances;
uniform vec4 uLightPosition;
uniform vec4 uLightDirection;
uniform vec4 uLightColor;
uniform vec4 uLightAttenuation;
uniform vec2 uLightSpot;
varying vec2 vTexCoord;
varying vec3 vViewRayDirection;
void main(){
  vec4 texel0 = texture2D(uTex0, vTexCoord);
  vec4 texel1 = texture2D(uTex1, vTexCoord);
)";
  Text += WorldPositions ? R"(  vec3 normal = normalize((texel0.rgb - vec3(0.5)) * 2.0);
  vec3 position = (texel1.rgb - vec3(0.5)) * 2.0 * uWorldSpaceRadius;
)"
                         : R"(  vec2 e = (texel0.xy * 4.0) - vec2(2.0);
  float ee = dot(e, e);
  vec3 normal = vec3(e * sqrt(max(1.0 - (ee / 4.0), 0.0)), 1.0 - (ee / 2.0));
  float far = uClippingDistances.y;
  float viewDepth = clamp(dot(texel1, vec4(1.0, 1.0 / 255.0, 1.0 / 65025.0, 1.0 / 16581375.0)), 0.0, 1.0);
  vec3 view = vec3(vViewRayDirection.xy * (-far / vViewRayDirection.z), -far) * viewDepth;
  vec3 position = (uInverseViewMatrix * vec4(view, 1.0)).xyz;
)";
  Text += R"(  vec3 toLight = uLightPosition.xyz - position;
  float d = length(toLight);
  vec3 L = toLight / max(d, 1e-10);
  float radius = uLightPosition.w;
  float depth = clamp(dot(textureCube(uTex2, position - uLightPosition.xyz), vec4(1.0, 1.0 / 255.0, 1.0 / 65025.0, 1.0 / 16581375.0)), 0.0, 1.0) * radius;
  float NdotL = dot(normal, L);
  gl_FragData[0] = vec4(0.0);
  gl_FragData[1] = vec4(0.0);
  if ((d < (depth + 0.01)) && (NdotL > 0.0)) {
    float intensity = 1.0;
    if (uLightSpot.x > 0.5) {
      float spot = dot(-uLightDirection.xyz, L);
      intensity = pow(max(spot, 0.0), uLightColor.w) * step(uLightDirection.w, spot);
    }
    intensity = clamp(intensity / (uLightAttenuation.x + (uLightAttenuation.y * d) + (uLightAttenuation.z * d * d)), 0.0, 1.0);
    if (uLightSpot.y >= 0.0) {
      intensity *= pow(1.0 - clamp(d / radius, 0.0, 1.0), uLightSpot.y);
    }
    gl_FragData[0].rgb = uLightColor.rgb * NdotL * intensity;
  }
}
)";
  return Text;
}

}  // namespace

namespace {

// Shadow texels: x amount, y blocker/penumbra measure, z depth for edge-aware weights,
// w validity.
const char* const BlockerSearchFragment = R"(uniform sampler2D uTex0;
uniform sampler2D uTex1;
uniform vec2 uScale;
varying vec2 vTexCoord;
void main(){
  vec4 a = texture2D(uTex0, vTexCoord);
  vec4 b = texture2D(uTex1, vTexCoord);
  float sum = 0.0;
  float count = 0.0;
  for (int j = -2; j <= 2; j++) {
    for (int i = -2; i <= 2; i++) {
      vec4 s = ((i == 0) && (j == 0)) ? a : texture2D(uTex0, vTexCoord + (vec2(float(i), float(j)) * uScale));
      if (s.w > 0.5) {
        sum += s.y;
        count += 1.0;
      }
    }
  }
  gl_FragColor = vec4(a.x, (count > 0.0) ? (sum / count) : 0.0, b.y, clamp(count, 0.0, 1.0));
}
)";

const char* const MipMapFilterFragment = R"(uniform sampler2D uTex0;
uniform vec2 uScale;
varying vec2 vTexCoord;
void main(){
  vec4 c = texture2D(uTex0, vTexCoord);
  float sum = 0.0;
  float count = 0.0;
  for (int j = -2; j <= 2; j++) {
    for (int i = -2; i <= 2; i++) {
      vec4 s = ((i == 0) && (j == 0)) ? c : texture2D(uTex0, vTexCoord + (vec2(float(i), float(j)) * uScale));
      if (s.w > 0.5) {
        sum += s.y;
        count += 1.0;
      }
    }
  }
  gl_FragColor = vec4(c.x, (count > 0.0) ? (sum / count) : 0.0, c.y, clamp(count, 0.0, 1.0));
}
)";

const char* const MipMapCombineFragment = R"(uniform sampler2D uTex0;
uniform sampler2D uTex1;
uniform sampler2D uTex2;
uniform sampler2D uTex3;
uniform sampler2D uTex4;
uniform sampler2D uTex5;
uniform sampler2D uTex6;
uniform sampler2D uTex7;
varying vec2 vTexCoord;
void main(){
  vec4 t[8];
  t[0] = texture2D(uTex0, vTexCoord);
  t[1] = texture2D(uTex1, vTexCoord);
  t[2] = texture2D(uTex2, vTexCoord);
  t[3] = texture2D(uTex3, vTexCoord);
  t[4] = texture2D(uTex4, vTexCoord);
  t[5] = texture2D(uTex5, vTexCoord);
  t[6] = texture2D(uTex6, vTexCoord);
  t[7] = texture2D(uTex7, vTexCoord);
  vec4 result = t[0];
  for (int i = 0; i < 8; i++) {
    if (t[i].w > 0.25) {
      result.y = t[i].y;
      break;
    }
  }
  gl_FragColor = result;
}
)";

const char* const MipMapBlurFilterFragment = R"(uniform sampler2D uTex0;
uniform vec2 uScale;
varying vec2 vTexCoord;
void main(){
  const vec3 kernel = vec3(1.0, 0.60653065971263342, 0.13533528323661270);
  vec4 c = texture2D(uTex0, vTexCoord);
  float sumX = 0.0;
  float sumZ = 0.0;
  float sumWeight = 0.0;
  float sumY = 0.0;
  float count = 0.0;
  for (int j = -2; j <= 2; j++) {
    for (int i = -2; i <= 2; i++) {
      vec4 s = ((i == 0) && (j == 0)) ? c : texture2D(uTex0, vTexCoord + (vec2(float(i), float(j)) * uScale));
      float dz = s.z - c.z;
      float weight = kernel[abs(i)] * kernel[abs(j)] * exp2(-(dz * dz));
      sumX += s.x * weight;
      sumZ += s.z * weight;
      sumWeight += weight;
      if (s.w > 0.5) {
        sumY += s.y;
        count += 1.0;
      }
    }
  }
  gl_FragColor = vec4(sumX / sumWeight, (count > 0.0) ? (sumY / count) : 0.0, sumZ / sumWeight, clamp(count, 0.0, 1.0));
}
)";

const char* const MipMapBlurCombineFragment = R"(uniform sampler2D uTex0;
uniform sampler2D uTex1;
uniform sampler2D uTex2;
uniform sampler2D uTex3;
uniform sampler2D uTex4;
uniform sampler2D uTex5;
uniform sampler2D uTex6;
uniform sampler2D uTex7;
uniform float uPenumbraScale;
varying vec2 vTexCoord;
void main(){
  vec4 t[8];
  t[0] = texture2D(uTex0, vTexCoord);
  t[1] = texture2D(uTex1, vTexCoord);
  t[2] = texture2D(uTex2, vTexCoord);
  t[3] = texture2D(uTex3, vTexCoord);
  t[4] = texture2D(uTex4, vTexCoord);
  t[5] = texture2D(uTex5, vTexCoord);
  t[6] = texture2D(uTex6, vTexCoord);
  t[7] = texture2D(uTex7, vTexCoord);
  float q = 0.0;
  for (int i = 0; i < 8; i++) {
    if (t[i].w > 0.25) {
      q = clamp(t[i].y * uPenumbraScale, 1.0, uPenumbraScale);
      break;
    }
  }
  if (q > 0.5) {
    float l = clamp(log2(max(q / 64.0, 1.0)), 0.0, 8.0);
    int d = int(clamp(floor(l), 0.0, 7.0));
    gl_FragColor = mix(t[d], t[min(d + 1, 7)], fract(l));
  } else {
    gl_FragColor = vec4(0.0);
  }
}
)";

const char* const ShadowBlurFragment = R"(uniform sampler2D uTex0;
uniform sampler2D uTex1;
uniform vec2 uScale;
uniform float uPenumbraScale;
uniform vec2 uClippingDistances;
varying vec2 vTexCoord;
void main(){
  vec4 c = texture2D(uTex0, vTexCoord);
  float width = clamp(c.y * uPenumbraScale, 1.0, uPenumbraScale);
  float diameter = clamp(width, 1.0, 32.0);
  float radius = diameter * 0.5;
  float value = c.x;
  if (radius >= 2.0) {
    int n = int(ceil(radius));
    float sigma = (float(n) + 1.0) * 0.5;
    float falloff = 1.0 / (2.0 * sigma * sigma);
    vec2 stepSize = (uScale * radius) / float(n);
    float sum = 0.0;
    float sumWeight = 0.0;
    for (int k = -n; k <= n; k++) {
      vec2 s = (k == 0) ? c.xz : texture2D(uTex0, vTexCoord + (stepSize * float(k))).xz;
      float delta = (c.z - s.y) * uClippingDistances.y;
      float weight = exp2((-float(k * k) * falloff) - (delta * delta));
      sum += s.x * weight;
      sumWeight += weight;
    }
    value = sum / max(sumWeight, 1e-10);
  }
  gl_FragColor = vec4(value, c.y, c.z, c.w);
}
)";

const char* const GlobalShadowCopyFragment = R"(uniform sampler2D uTex0;
varying vec2 vTexCoord;
void main(){
  gl_FragColor = vec4(0.0, 0.0, 0.0, texture2D(uTex0, vTexCoord).x);
}
)";

const char* const ShadowCombineFragment = R"(uniform sampler2D uTex0;
uniform sampler2D uTex1;
varying vec2 vTexCoord;
void main(){
  vec4 a = texture2D(uTex0, vTexCoord);
  vec4 b = texture2D(uTex1, vTexCoord);
  gl_FragColor = vec4(max(a.x, b.x), (a.z < b.z) ? b.yz : a.yz, max(a.w, b.w));
}
)";

bool FormatIn(int32_t f, std::initializer_list<int32_t> Set) {
  return std::find(Set.begin(), Set.end(), f) != Set.end();
}

// The 7-tap blur (1, 6, 15, 20, 15, 6, 1 over 64); the text follows how the shadow-map format
// packs its depths.
std::string BlurFragment(int32_t f) {
  std::string Text = CRLF(R"(uniform sampler2D uTex0;
uniform vec2 uScale;
varying vec2 vTexCoord;
const float weights[7] = float[7](0.015625, 0.09375, 0.234375, 0.3125, 0.234375, 0.09375, 0.015625);
)");
  const char* Loop = nullptr;
  if (f == GL_TEXTURE_RGBA8) {
    Text += CRLF(R"(vec4 pack(float v){
  vec4 c = fract(vec4(1.0, 255.0, 65025.0, 16581375.0) * v);
  c -= c.yzww * vec4(1.0 / 255.0, 1.0 / 255.0, 1.0 / 255.0, 0.0);
  return (v >= 1.0) ? vec4(1.0) : c;
}
float unpack(vec4 t){
  return clamp(dot(t, vec4(1.0, 1.0 / 255.0, 1.0 / 65025.0, 1.0 / 16581375.0)), 0.0, 1.0);
}
)");
    Loop = R"(void main(){
  float v = 0.0;
  for (int k = -3; k <= 3; k++) {
    v += weights[k + 3] * unpack(texture2D(uTex0, vTexCoord + (uScale * float(k))));
  }
  gl_FragColor = pack(v);
}
)";
  } else if (FormatIn(f, {GL_TEXTURE_RGB16, GL_TEXTURE_RG16, GL_TEXTURE_RGB16F, GL_TEXTURE_RG16F})) {
    const bool Half = FormatIn(f, {GL_TEXTURE_RGB16F, GL_TEXTURE_RG16F});
    Text += std::string("#define PACK_SCALE ") + (Half ? "2048.0" : "65535.0") + "\r\n";
    Text += CRLF(R"(vec4 pack(float v){
  vec2 c = fract(vec2(1.0, PACK_SCALE) * v);
  return (v >= 1.0) ? vec4(1.0) : vec4(c - (c.yy * vec2(1.0 / PACK_SCALE, 0.0)), 0.0, 0.0);
}
float unpack(vec4 t){
  return clamp(dot(t.xy, vec2(1.0, 1.0 / PACK_SCALE)), 0.0, 1.0);
}
)");
    Loop = R"(void main(){
  float v = 0.0;
  for (int k = -3; k <= 3; k++) {
    v += weights[k + 3] * unpack(texture2D(uTex0, vTexCoord + (uScale * float(k))));
  }
  gl_FragColor = pack(v);
}
)";
  } else if (f == GL_TEXTURE_RGBA16 || f == GL_TEXTURE_RGBA16F) {
    Text += std::string("#define PACK_SCALE ") + (f == GL_TEXTURE_RGBA16F ? "2048.0" : "65535.0") + "\r\n";
    Text += CRLF(R"(vec2 pack(float v){
  vec2 c = fract(vec2(1.0, PACK_SCALE) * v);
  return (v >= 1.0) ? vec2(1.0) : (c - (c.yy * vec2(1.0 / PACK_SCALE, 0.0)));
}
float unpack(vec2 t){
  return clamp(dot(t, vec2(1.0, 1.0 / PACK_SCALE)), 0.0, 1.0);
}
)");
    Loop = R"(void main(){
  vec2 v = vec2(0.0);
  for (int k = -3; k <= 3; k++) {
    vec4 t = texture2D(uTex0, vTexCoord + (uScale * float(k)));
    v += weights[k + 3] * vec2(unpack(t.xy), unpack(t.zw));
  }
  gl_FragColor = vec4(pack(v.x), pack(v.y));
}
)";
  } else {
    Loop = R"(void main(){
  vec4 v = vec4(0.0);
  for (int k = -3; k <= 3; k++) {
    v += weights[k + 3] * texture2D(uTex0, vTexCoord + (uScale * float(k)));
  }
  gl_FragColor = v;
}
)";
  }
  return Text + CRLF(Loop);
}

// The fragment text of the screen-space shadow term for Count shadow maps at once.
std::string ShadowFillFragment(int32_t f, int32_t Count) {
  std::vector<std::string> L = {"varying vec2 vTexCoord;",
                                "varying vec3 vViewRayDirection;",
                                "uniform float uWorldSpaceRadius;",
                                "uniform mat4 uViewMatrix;",
                                "uniform mat4 uInverseViewMatrix;",
                                "uniform mat4 uInverseProjectionMatrix;",
                                "uniform mat4 uInverseViewProjectionMatrix;",
                                "uniform vec2 uClippingDistances;",
                                "uniform sampler2D uTex0;",
                                "uniform sampler2D uTex1;",
                                "uniform float uShadowMapInvScale;",
                                "uniform float uFocalLength;",
                                "uniform float uLightRadius;",
                                "uniform float uPenumbraScale;"};
  for (int32_t i = 0; i < Count; i++) {
    const std::string n = std::to_string(i) + ";";
    L.push_back("uniform sampler2D uShadowMapTex" + n);
    L.push_back("uniform vec4 uShadowMapLightDirection" + n);
    L.push_back("uniform vec3 uShadowMapLightOrigin" + n);
    L.push_back("uniform vec3 uShadowMapLightPosition" + n);
    L.push_back("uniform float uShadowMapLightInvRadius" + n);
    L.push_back("uniform float uShadowMapLightRadius" + n);
    L.push_back("uniform mat4 uShadowMapViewMatrix" + n);
    L.push_back("uniform mat4 uShadowMapLightMatrix" + n);
  }
  auto Add = [&](std::initializer_list<const char*> Block) {
    for (const char* Line : Block) L.push_back(Line);
  };

  if (f == GL_TEXTURE_RGBA8) {
    Add({"vec4 pack(float v){",
         "  vec4 c = fract(vec4(1.0, 255.0, 65025.0, 16581375.0) * v);",
         "  c -= c.yzww * vec4(1.0 / 255.0, 1.0 / 255.0, 1.0 / 255.0, 0.0);",
         "  return (v >= 1.0) ? vec4(1.0) : c;",
         "}",
         "float unpack(vec4 t){",
         "  return clamp(dot(t, vec4(1.0, 1.0 / 255.0, 1.0 / 65025.0, 1.0 / 16581375.0)), 0.0, 1.0);",
         "}",
         "float unpackHalf(vec2 h){",
         "  return clamp(dot(h, vec2(1.0, 1.0 / 255.0)), 0.0, 1.0);",
         "}"});
  } else if (FormatIn(f, {3, 5, 8, 10, 13, 15, 16, 17, 18, 19, 20})) {
    Add({"vec4 pack(float v){", "  return vec4(v);", "}", "float unpack(vec4 t){", "  return clamp(t.x, 0.0, 1.0);",
         "}", "float unpackHalf(vec2 h){", "  return clamp(h.x, 0.0, 1.0);", "}"});
  } else if (FormatIn(f, {2, 7, 12})) {
    Add({"vec4 pack(float v){",
         "  vec2 c = fract(vec2(1.0, 65535.0) * v);",
         "  return (v >= 1.0) ? vec4(1.0) : vec4(c - (c.yy * vec2(1.0 / 65535.0, 0.0)), 0.0, 0.0);",
         "}",
         "float unpack(vec4 t){",
         "  return clamp(dot(t.xy, vec2(1.0, 1.0 / 65535.0)), 0.0, 1.0);",
         "}",
         "float unpackHalf(vec2 h){",
         "  return clamp(dot(h, vec2(1.0, 1.0 / 65535.0)), 0.0, 1.0);",
         "}"});
  } else if (FormatIn(f, {4, 9, 14})) {
    Add({"vec4 pack(float v){",
         "  vec2 c = fract(vec2(1.0, 2048.0) * v);",
         "  return (v >= 1.0) ? vec4(1.0) : vec4(c - (c.yy * vec2(1.0 / 2048.0, 0.0)), 0.0, 0.0);",
         "}",
         "float unpack(vec4 t){",
         "  return clamp(dot(t, vec4(1.0, 1.0 / 256.0, 1.0 / 65536.0, 1.0 / 16777216.0)), 0.0, 1.0);",
         "}",
         "float unpackHalf(vec2 h){",
         "  return clamp(dot(h, vec2(1.0, 1.0 / 2048.0)), 0.0, 1.0);",
         "}"});
  }
  // Formats 0, 6, 11 and above 20 get no packing functions: their programs fail to compile.

  Add({"float linearstep(float low, float high, float value){",
       "  return clamp((value - low) / (high - low), 0.0, 1.0);",
       "}",
       "float VSM(sampler2D shadowMapTexture, vec2 smPos, float smCompare){"});
  if (FormatIn(f, {3, 5, 7, 8, 9, 10, 12, 13, 14, 15})) {
    Add({"  vec2 m = texture2D(shadowMapTexture, smPos).xy;"});
  } else {
    Add({"  vec4 texel = texture2D(shadowMapTexture, smPos);",
         "  vec2 m = vec2(unpackHalf(texel.xy), unpackHalf(texel.zw));"});
  }
  Add({"  float p = smoothstep(smCompare - 0.002, smCompare, m.x);",
       "  float variance = max(m.y - (m.x * m.x), -0.0001);",
       "  float d = smCompare - m.x;",
       "  float pMax = linearstep(0.2, 1.0, variance / (variance + (d * d)));",
       "  return clamp(max(p, pMax), 0.0, 1.0);",
       "}"});

  const bool Moments = FormatIn(f, {2, 3, 4, 5, 7, 8, 9, 10, 12, 13, 14});
  const bool TwoDepths = f == GL_TEXTURE_RG32F;
  const char* const ShadowType = TwoDepths ? "vec4" : "float";
  L.push_back(std::string(ShadowType) +
              " doShadow(mat2 rotationMatrix, float force, vec3 vertex, vec3 normal, sampler2D shadowMapTexture, "
              "vec4 shadowMapLightDirection, vec4 shadowMapCoord, vec3 shadowMapLightPosition, "
              "float shadowMapLightRadius, float penumbraScaleDistanceFactor){");
  L.push_back(TwoDepths ? "  vec4 shadow = vec4(0.0);" : "  float shadow = 0.0;");
  Add({"  vec3 ld = normalize(vertex - shadowMapLightPosition);",
       "  if ((shadowMapCoord.w >= 0.0) && ((((dot(ld, shadowMapLightDirection.xyz) >= 0.0) && (dot(ld, normal) < 0.0)) "
       "&& (dot(shadowMapLightDirection.xyz, normal) <= 0.0)) || (force > 0.5))) {",
       "    vec2 smPos = ((shadowMapCoord.xy / shadowMapCoord.w) * 0.5) + vec2(0.5);"});
  if (Moments) {
    Add({"    shadow = 1.0 - VSM(shadowMapTexture, smPos, distance(shadowMapLightPosition, vertex) / "
         "shadowMapLightRadius);"});
  } else {
    Add({"    const vec2 offsets[8] = vec2[8](vec2(-0.7055767, 0.196515), vec2(0.3524343, -0.7791386), "
         "vec2(0.2391056, 0.9189604), vec2(-0.07580382, -0.09224417), vec2(0.5784913, -0.002528916), "
         "vec2(0.192888, 0.4064181), vec2(-0.6335801, -0.5247476), vec2(-0.5579782, 0.7491854));",
         "    float vd = abs(distance(shadowMapLightPosition, vertex) - 0.25) / shadowMapLightRadius;"});
    if (TwoDepths) {
      Add({"    float f0 = 0.0;",
           "    float f1 = 0.0;",
           "    float s0 = 0.0;",
           "    for (int k = 0; k < 8; k++) {",
           "      vec2 s = texture2D(shadowMapTexture, smPos + (rotationMatrix * offsets[k])).xy;",
           "      if (s.y <= s.x) {",
           "        s.y = 1.0;",
           "      }",
           "      if (k == 0) {",
           "        s0 = s.x;",
           "      }",
           "      f0 += step(s.x, vd);",
           "      f1 += step(s.y, vd);",
           "    }",
           "    f0 *= 0.125;",
           "    f1 *= 0.125;",
           "    shadow.x = f0 * (1.0 - clamp(abs((s0 - vd) * (shadowMapLightRadius / 128.0)) - 1.0, 0.0, 1.0)) * "
           "(1.0 - f1);",
           "    float dR = vd * shadowMapLightRadius;",
           "    float dB = s0 * shadowMapLightRadius;",
           "    shadow.y = clamp(abs(dR - dB) * penumbraScaleDistanceFactor, 0.0, 1.0);",
           "    shadow.z = ((1.0 - clamp(abs(dR - dB) / uWorldSpaceRadius, 0.0, 1.0)) * 0.9) + 0.05;",
           "    shadow.w = 1.0;"});
    } else {
      Add({"    float f = 0.0;",
           "    float s0 = 0.0;",
           "    for (int k = 0; k < 8; k++) {",
           "      float s = unpack(texture2D(shadowMapTexture, smPos + (rotationMatrix * offsets[k])));",
           "      if (k == 0) {",
           "        s0 = s;",
           "      }",
           "      f += step(s, vd);",
           "    }",
           "    shadow = (f * 0.125) * (1.0 - clamp(abs((s0 - vd) * (shadowMapLightRadius / 128.0)) - 1.0, 0.0, "
           "1.0));"});
    }
  }
  Add({"  }", "  return shadow;", "}", "void main(){", "  vec4 texel0 = texture2D(uTex0, vTexCoord);",
       "  vec4 texel1 = texture2D(uTex1, vTexCoord);"});
  if (TwoDepths) {
    Add({"  vec3 world = (texel1.rgb - vec3(0.5)) * 2.0 * uWorldSpaceRadius;",
         "  vec3 normal = normalize((texel0.rgb - vec3(0.5)) * 2.0);", "  float force = texel0.w;"});
  } else {
    Add({"  float force = sign(max(0.0, clamp(dot(texel0.zw, vec2(1.0, 1.0 / 256.0)), 0.0, 1.0) - 0.5));",
         "  float far = uClippingDistances.y;",
         "  float depth = clamp(dot(texel1, vec4(1.0, 1.0 / 255.0, 1.0 / 65025.0, 1.0 / 16581375.0)), 0.0, 1.0);",
         "  vec3 view = vec3(vViewRayDirection.xy * (-far / vViewRayDirection.z), -far) * depth;",
         "  vec3 world = (uInverseViewMatrix * vec4(view, 1.0)).xyz;",
         "  vec2 e = (texel0.xy * 4.0) - vec2(2.0);",
         "  float ee = dot(e, e);",
         "  vec3 normal = vec3(e * sqrt(1.0 - (ee / 4.0)), 1.0 - (ee / 2.0));"});
  }
  Add({"  float penumbraScaleDistanceFactor = (uLightRadius * uFocalLength * uPenumbraScale) / "
       "max(length((uViewMatrix * vec4(world, 1.0)).xyz), 1e-10);",
       "  float angle = mod(123456789.0, 1e-7 + (256.0 * dot(vec2(world.x, world.y + world.z), "
       "vec2(23.1406926327792690, 2.6651441426902251))));",
       "  vec2 r = vec2(sin(angle), cos(angle)) * uShadowMapInvScale;",
       "  mat2 rotationMatrix = mat2(r.y, r.x, -r.x, r.y);"});
  L.push_back(TwoDepths ? "  vec4 shadow = vec4(0.0);" : "  float shadow = 0.0;");
  for (int32_t i = 0; i < Count; i++) {
    const std::string n = std::to_string(i);
    const std::string Call = "doShadow(rotationMatrix, force, world, normal, uShadowMapTex" + n +
                             ", uShadowMapLightDirection" + n + ", uShadowMapLightMatrix" + n +
                             " * vec4(world, 1.0), uShadowMapLightPosition" + n + ", uShadowMapLightRadius" + n +
                             ", penumbraScaleDistanceFactor)";
    if (TwoDepths) {
      L.push_back("  vec4 shadow" + n + " = " + Call + ";");
      L.push_back("  shadow = vec4(max(shadow.x, shadow" + n + ".x), (shadow.z < shadow" + n + ".z) ? shadow" + n +
                  ".yz : shadow.yz, max(shadow.w, shadow" + n + ".w));");
    } else {
      L.push_back("  shadow = max(shadow, " + Call + ");");
    }
  }
  L.push_back(TwoDepths ? "  gl_FragColor = clamp(shadow, 0.0, 1.0);"
                        : "  gl_FragColor = pack(clamp(shadow, 0.0, 1.0));");
  L.push_back("}");

  std::string Text = TZNT1GLSLShaders::FragmentPrelude();
  for (const std::string& Line : L) Text += Line + "\r\n";
  return Text;
}

int32_t ShadowMapFormatOf(const TZNT1Engine* Engine) {
  if (Engine && Engine->GLCapabilities) return Engine->GLCapabilities->ShadowMapTextureFormat;
  return GL_TEXTURE_R32F;
}

}  // namespace

namespace {

std::string FXAA3Fragment() {
  return Lines({"#version 130", "#define FXAA_PC 1", "#define FXAA_GLSL_130 1", "#define FXAA_QUALITY__PRESET 13",
                "#define FXAA_GATHER4_ALPHA 0", "#define FXAA_GREEN_AS_LUMA 0", "uniform sampler2D uTex0;",
                "varying vec2 vTexCoord;", "uniform vec2 uFragCoordInvScale;"}) +
         CRLF(ZNT1FXAAData) + "\r\n" +
         Lines({"void main(){",
                "  gl_FragColor = FxaaPixelShader(vTexCoord.xy, vec4(vTexCoord.xy, 1.0, 1.0), uTex0, uTex0, uTex0,",
                "    uFragCoordInvScale.xy, vec4(-0.5, -0.5, 0.5, 0.5) / vTexCoord.xyxy,",
                "    vec4(-2.0, -2.0, 2.0, 2.0) / vTexCoord.xyxy, vec4(8.0, -8.0, -4.0, -4.0) / vTexCoord.xyxy,",
                "    0.75, 0.166, 0.0833, 8.0, 0.125, 0.05, vec4(1.0, -1.0, 0.25, -0.25));", "}"});
}

enum class SMAAPass { EdgeDetection, BlendingWeights, NeighborhoodBlending };

std::string SMAAText(SMAAPass Pass, bool Vertex) {
  std::string Text = Lines({"#version 130", "#define SMAA_PIXEL_SIZE uFragCoordInvScale.xy", "#define SMAA_PRESET_ULTRA 1",
                            "#define SMAA_GLSL_3 1",
                            Vertex ? "#define SMAA_ONLY_COMPILE_VS 1" : "#define SMAA_ONLY_COMPILE_PS 1",
                            "uniform vec2 uFragCoordInvScale;"});
  const int32_t Offsets = Pass == SMAAPass::NeighborhoodBlending ? 2 : 3;
  const bool Weights = Pass == SMAAPass::BlendingWeights;
  const std::string Dir = Vertex ? "out " : "in ";
  if (Vertex) Text += Lines({"attribute vec2 aPosition;", "attribute vec2 aTexCoord;"});
  Text += Lines({Dir + "vec2 texcoord;", Dir + "vec4 offset[" + std::to_string(Offsets) + "];"});
  if (Weights) Text += Lines({Dir + "vec2 pixcoord;"});
  if (Vertex) {
    Text += Lines({"out vec4 dummy2;"});
  } else if (Pass == SMAAPass::EdgeDetection) {
    Text += Lines({"uniform sampler2D uTex0;"});
  } else if (Weights) {
    Text += Lines({"uniform sampler2D uTex0;", "uniform sampler2D uTex1;", "uniform sampler2D uTex2;"});
  } else {
    Text += Lines({"uniform sampler2D uTex0;", "uniform sampler2D uTex1;"});
  }
  Text += CRLF(ZNT1SMAAData);
  Text += "\r\n";
  if (Vertex) {
    const char* Call = Pass == SMAAPass::EdgeDetection ? "  SMAAEdgeDetectionVS(dummy1, dummy2, texcoord, offset);"
                       : Weights ? "  SMAABlendingWeightCalculationVS(dummy1, dummy2, texcoord, pixcoord, offset);"
                                 : "  SMAANeighborhoodBlendingVS(dummy1, dummy2, texcoord, offset);";
    Text += Lines({"void main(){", "  texcoord = aTexCoord - (uFragCoordInvScale * 0.5);", "  vec4 dummy1 = vec4(0.0);",
                   Call, "  gl_Position = vec4(aPosition, 1.0, 1.0);", "}"});
  } else {
    const char* Call =
        Pass == SMAAPass::EdgeDetection ? "  gl_FragColor = SMAAColorEdgeDetectionPS(texcoord, offset, uTex0);"
        : Weights ? "  gl_FragColor = SMAABlendingWeightCalculationPS(texcoord, pixcoord, offset, uTex0, uTex1, uTex2, "
                    "ivec4(0));"
                  : "  gl_FragColor = SMAANeighborhoodBlendingPS(texcoord, offset, uTex0, uTex1);";
    Text += Lines({"void main(){", Call, "}"});
  }
  return Text;
}

}  // namespace

const std::string& TZNT1GLSLShaders::FragmentPrelude() {
  static const std::string Text = Lines({"#version 140", "#ifdef GL_EXT_gpu_shader4",
                                         "#extension GL_EXT_gpu_shader4 : enable", "#endif", "#define float2 vec2",
                                         "#define float3 vec3", "#define float4 vec4",
                                         "#define saturate(v) clamp(v,0.0,1.0)", "#define lerp(a,b,c) mix(a,b,c)",
                                         "#define texture2D(a,b) texture(a,b)", "#define textureCube(a,b) texture(a,b)",
                                         "#define texture2DLod(a,b,c) textureLod(a,b,c)",
                                         "#define textureCubeLod(a,b,c) textureLod(a,b,c)",
                                         "#define texture2DOffset(a,b,c) textureOffset(a,b,c)",
                                         "#define texture2DLodOffset(a,b,c,d) textureLodOffset(a,b,c,d)",
                                         "#define texture3D(a,b) texture(a,b)"});
  return Text;
}

const std::string& TZNT1GLSLShaders::VertexPrelude() {
  static const std::string Text = Lines({"#version 140", "#ifdef GL_EXT_gpu_shader4",
                                         "#extension GL_EXT_gpu_shader4 : enable", "#endif", "#define float2 vec2",
                                         "#define float3 vec3", "#define float4 vec4",
                                         "#define saturate(v) clamp(v,0.0,1.0)", "#define lerp(a,b,c) mix(a,b,c)",
                                         "#define texture2D(a,b) texture(a,b)",
                                         "#define texture2DLod(a,b,c) textureLod(a,b,c)",
                                         "#define texture2DLodOffset(a,b,c,d) textureLodOffset(a,b,c,d)",
                                         "#define texture3D(a,b) texture(a,b)"});
  return Text;
}

TZNT1GLSLShaders::TZNT1GLSLShaders(TZNT1Engine* AEngine) : Engine(AEngine) {
  try {
    CreateDefaultShaders();
  } catch (...) {
    // The destructor does not run for a constructor that throws.
    FreeAll();
    throw;
  }
}

TZNT1GLSLShaders::~TZNT1GLSLShaders() { FreeAll(); }

void TZNT1GLSLShaders::FreeAll() {
  for (TZNT1GLSLShader* Shader : Items) delete Shader;
  Items.clear();
  HashMap.Clear();
}

TZNT1GLSLShader* TZNT1GLSLShaders::GetShader(const std::string& AVertexShader, const std::string& AGeometryShader,
                                             const std::string& AFragmentShader, int32_t AOutputTriangles) {
  std::string Key;
  Key.reserve(AVertexShader.size() + AGeometryShader.size() + AFragmentShader.size() + 3);
  Key += AVertexShader;
  Key += '\0';
  Key += AGeometryShader;
  Key += '\0';
  Key += AFragmentShader;
  Key += '\0';
  if (void* Found = HashMap.GetValue(Key)) return static_cast<TZNT1GLSLShader*>(Found);
  auto* Shader = new TZNT1GLSLShader(Engine, this);
  Shader->SetCode(AVertexShader, AGeometryShader, AFragmentShader, AOutputTriangles);
  Shader->Combined = std::move(Key);
  HashMap.Add(Shader->Combined, Shader);
  Items.push_back(Shader);
  return Shader;
}

void TZNT1GLSLShaders::Upload() {
  for (TZNT1GLSLShader* Shader : Items) {
    if (Shader) Shader->Upload();
  }
}

void TZNT1GLSLShaders::Dispose() {
  for (TZNT1GLSLShader* Shader : Items) {
    if (Shader) Shader->Dispose();
  }
}

void TZNT1GLSLShaders::ResetLinkCounters() {
  for (TZNT1GLSLShader* Shader : Items) {
    if (Shader) Shader->LinkCounter = 0xFFFFFFFFu;
  }
}

void TZNT1GLSLShaders::CreateDefaultShaders() {
  const std::string Transform = VertexText(TransformVertex);
  const std::string PositionOnly = VertexText(PositionOnlyVertex);
  const std::string Quad = VertexText(QuadVertex);
  const std::string Quad2 = VertexText(QuadVertex2);
  const std::string ClipSpaceQuad = VertexText(ClipSpaceQuadVertex);
  const std::string Quad2D = VertexText(Quad2DVertex);
  const std::string ColoredQuad2D = VertexText(ColoredQuad2DVertex);
  const std::string FXAA2Quad = VertexText(FXAA2Vertex);
  const std::string ViewRay = VertexText(ViewRayVertex);
  auto Make = [&](const std::string& Vertex, const std::string& Fragment) {
    return GetShader(Vertex, "", Fragment, 1);
  };
  const int32_t Format = ShadowMapFormatOf(Engine);

  DefaultGLSLSkyShader = Make(Transform, FragmentText(SkyFragment));
  DefaultGLSLSkyFBOMapShader = Make(PositionOnly, FragmentText(SkyFBOMapFragment));
  DefaultGLSLPortalShader = Make(PositionOnly, FragmentText(SkyFBOMapFragment));
  DefaultGLSLZPrepassShader = Make(PositionOnly, FragmentText(ZPrepassFragment));
  DefaultGLSLScreenQuadShader = Make(Quad, FragmentText(ScreenQuadFragment));
  DefaultGLSLBlurShader = Make(Quad, FragmentText(BlurFragment(Format)));
  DefaultGLSLBoxFilterShader = Make(Quad2, FragmentText(BoxFilterFragment));
  DefaultGLSLShadowBoxFilterShader = Make(Quad2, FragmentText(ShadowBoxFilterFragment));
  DefaultGLSLScreenBlitShader = Make(ClipSpaceQuad, FragmentText(ScreenBlitFragment));
  DefaultGLSLScreenShadowBlitShader = Make(ClipSpaceQuad, FragmentText(ScreenShadowBlitFragment));
  DefaultGLSLCubeMapBlitShader = Make(ClipSpaceQuad, FragmentText(CubeMapBlitFragment));
  DefaultGLSLScreenWaterQuadShader = Make(ClipSpaceQuad, FragmentText(ScreenWaterQuadFragment));
  DefaultGLSL2DTextureShader = Make(ColoredQuad2D, FragmentText(TextureFragment2D));
  DefaultGLSLLumaShader = Make(Quad2D, FragmentText(LumaFragment));
  DefaultGLSLDLAAPrepassShader = Make(Quad2D, FragmentText(DLAAPrepassFragment));
  DefaultGLSLDLAAPostPassShader = Make(Quad2D, FragmentText(DLAAPostPassFragment));
  DefaultGLSLNFAAShader = Make(Quad2D, FragmentText(NFAAFragment));
  DefaultGLSLFXAA2Shader = Make(FXAA2Quad, FragmentText(FXAA2Fragment));
  DefaultGLSLFXAA3Shader = Make(Quad2D, FXAA3Fragment());
  auto MakeSMAA = [&](SMAAPass Pass) { return Make(SMAAText(Pass, true), SMAAText(Pass, false)); };
  DefaultGLSLSMAAEdgeDetectionShader = MakeSMAA(SMAAPass::EdgeDetection);
  DefaultGLSLSMAABlendingWeightCalculationShader = MakeSMAA(SMAAPass::BlendingWeights);
  DefaultGLSLSMAANeighborhoodBlendingShader = MakeSMAA(SMAAPass::NeighborhoodBlending);
  DefaultGLSLBloomFilterShader = Make(Quad, FragmentText(BloomFilterFragment));
  DefaultGLSLBloomBlurShader = Make(Quad, FragmentText(BloomBlurFragment));
  DefaultGLSLBloomCombineShader = Make(Quad, FragmentText(BloomCombineFragment));
  DefaultGLSLDownSampleShader = Make(Quad, FragmentText(DownSampleFragment));
  DefaultGLSLShadowDownSampleShader = Make(Quad, FragmentText(DownSampleFragment));
  DefaultGLSLShadowCombineAndBlockerSearchShader = Make(Quad, FragmentText(BlockerSearchFragment));
  DefaultGLSLShadowMipMapFilterShader = Make(Quad, FragmentText(MipMapFilterFragment));
  DefaultGLSLShadowMipMapCombineShader = Make(Quad, FragmentText(MipMapCombineFragment));
  DefaultGLSLShadowMipMapBlurFilterShader = Make(Quad, FragmentText(MipMapBlurFilterFragment));
  DefaultGLSLShadowMipMapBlurCombineShader = Make(Quad, FragmentText(MipMapBlurCombineFragment));
  DefaultGLSLShadowBlurShader = Make(Quad, FragmentText(ShadowBlurFragment));
  DefaultGLSLGlobalShadowCopyShader = Make(Quad2, FragmentText(GlobalShadowCopyFragment));
  DefaultGLSLShadowCombineShader = Make(Quad, FragmentText(ShadowCombineFragment));
  DefaultGLSLCopyShader = Make(Quad, FragmentText(CopyFragment));
  DefaultGLSLGeometryEdgeShader = Make(Quad, FragmentText(GeometryEdgeFragment));
  DefaultGLSLLightGridFillShader = Make(Quad, FragmentText(LightGridFillFragment));
  DefaultGLSLLightFillShader = Make(ViewRay, FragmentText(LightFillFragment(Format).c_str()));

  CreateShadowFillShaders(Format);

  TZNT1GLSLShader* const BuiltIns[] = {
      DefaultGLSLSkyShader, DefaultGLSLSkyFBOMapShader, DefaultGLSLPortalShader, DefaultGLSLZPrepassShader,
      DefaultGLSLScreenQuadShader, DefaultGLSLBlurShader, DefaultGLSLBoxFilterShader,
      DefaultGLSLShadowBoxFilterShader, DefaultGLSLScreenBlitShader, DefaultGLSLScreenShadowBlitShader,
      DefaultGLSLCubeMapBlitShader, DefaultGLSLScreenWaterQuadShader, DefaultGLSL2DTextureShader,
      DefaultGLSLLumaShader, DefaultGLSLDLAAPrepassShader, DefaultGLSLDLAAPostPassShader, DefaultGLSLNFAAShader,
      DefaultGLSLFXAA2Shader, DefaultGLSLFXAA3Shader, DefaultGLSLSMAAEdgeDetectionShader,
      DefaultGLSLSMAABlendingWeightCalculationShader, DefaultGLSLSMAANeighborhoodBlendingShader,
      DefaultGLSLBloomFilterShader, DefaultGLSLBloomBlurShader, DefaultGLSLBloomCombineShader,
      DefaultGLSLDownSampleShader, DefaultGLSLShadowDownSampleShader,
      DefaultGLSLShadowCombineAndBlockerSearchShader, DefaultGLSLShadowMipMapFilterShader,
      DefaultGLSLShadowMipMapCombineShader, DefaultGLSLShadowMipMapBlurFilterShader,
      DefaultGLSLShadowMipMapBlurCombineShader, DefaultGLSLShadowBlurShader, DefaultGLSLGlobalShadowCopyShader,
      DefaultGLSLShadowCombineShader, DefaultGLSLCopyShader, DefaultGLSLGeometryEdgeShader,
      DefaultGLSLLightGridFillShader, DefaultGLSLLightFillShader};
  static_assert(std::size(BuiltIns) == 39);
  for (TZNT1GLSLShader* Shader : BuiltIns) {
    if (Shader) Shader->IncRef();
  }
  for (TZNT1GLSLShader* Shader : DefaultGLSLShadowFillShader) {
    if (Shader) Shader->IncRef();
  }
  MaxShadowMapCountAtOnce = 0;
  while (MaxShadowMapCountAtOnce < MaxShadowFillMaps && DefaultGLSLShadowFillShader[MaxShadowMapCountAtOnce])
    MaxShadowMapCountAtOnce++;
}

TZNT1GLSLShader* TZNT1GLSLShaders::ReferenceOrDrop(TZNT1GLSLShader* Shader) {
  try {
    Shader->IncRef();
    return Shader;
  } catch (const EShaderException&) {
    HashMap.Delete(Shader->Combined);
    Items.erase(std::find(Items.begin(), Items.end(), Shader));
    delete Shader;
    return nullptr;
  }
}

void TZNT1GLSLShaders::CreateShadowFillShaders(int32_t Format) {
  const std::string ViewRay = VertexText(ViewRayVertex);
  for (int32_t Count = 1; Count <= MaxShadowFillMaps; Count++) {
    // A format without packing functions cannot draw this term; the renderer uses fewer maps.
    DefaultGLSLShadowFillShader[Count - 1] =
        ReferenceOrDrop(GetShader(ViewRay, "", ShadowFillFragment(Format, Count), 1));
  }
}
