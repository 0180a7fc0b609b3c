#include "renderer/ZNT1Renderer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"
#include "core/ZNT1HighResolutionTimer.h"
#include "core/ZNT1Sort.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "gpu/ZNT1GLSLShader.h"
#include "assets/ZNT1Texture.h"
#include "material/ZNT1Shader.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1Model.h"

TZNT1RendererGL RendererGL;
void (*RendererStageHook)(const char* Stage, int32_t View) = nullptr;

namespace {

constexpr uint32_t Unknown = 0xFFFFFFFFu;
constexpr uint32_t UnknownBool = 0xCDCDCDCDu;

uint32_t FloatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

float BitsFloat(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

const void* BufferOffset(size_t Offset) { return reinterpret_cast<const void*>(Offset); }

struct TAttribute {
  GLint Components;
  GLenum Type;
  GLboolean Normalized;
  size_t Offset;
};

// The TZNT1VBOVertex layout, attributes 0 to 6 (and 7 to 13 for the next frame).
constexpr TAttribute VertexAttributes[7] = {
    {3, GL_FLOAT, GL_FALSE, 0},  {2, GL_FLOAT, GL_FALSE, 12},        {2, GL_FLOAT, GL_FALSE, 20},
    {3, GL_FLOAT, GL_FALSE, 28}, {4, GL_FLOAT, GL_FALSE, 40},        {4, GL_UNSIGNED_BYTE, GL_TRUE, 56},
    {4, GL_FLOAT, GL_FALSE, 60},
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// State cache

TZNT1RendererState::TZNT1RendererState(TZNT1Renderer* ARenderer) : Renderer(ARenderer) { Reset(); }

void TZNT1RendererState::Count(uint32_t n) { Renderer->GLCalls += n; }

bool TZNT1RendererState::HasVAO() const {
  const TZNT1Engine* Engine = Renderer->Engine;
  return Engine && Engine->GLCapabilities && Engine->GLCapabilities->VertexArrayObject;
}

void TZNT1RendererState::Reset() {
  std::memset(Capabilities, 0, sizeof(Capabilities));
  std::memset(CapabilitiesInitialized, 0, sizeof(CapabilitiesInitialized));
  std::fill(std::begin(TextureHandles), std::end(TextureHandles), Unknown);
  std::fill(std::begin(TextureTypes), std::end(TextureTypes), Unknown);
  std::fill(std::begin(VertexAttribArrayStates), std::end(VertexAttribArrayStates), UnknownBool);
  PolyModeLine = UnknownBool;
  DepthMask = UnknownBool;
  ProgramHandle = Unknown;
  DepthFunc = Unknown;
  BlendEquation = Unknown;
  BlendSrc = Unknown;
  BlendDest = Unknown;
  CullFace = Unknown;
  OffsetFactor = BitsFloat(Unknown);
  OffsetUnits = BitsFloat(Unknown);
  Shader = nullptr;
  LastWasDualVBO = false;
  LastWasVAO = false;
  LastWasVBO = false;
}

void TZNT1RendererState::Enable(uint32_t Cap) {
  const uint32_t w = Cap >> 5, b = 1u << (Cap & 31);
  if (w >= std::size(Capabilities)) {  // beyond the table: not cached
    RendererGL.Enable(Cap);
    Count(1);
    return;
  }
  if ((Capabilities[w] & b) && (CapabilitiesInitialized[w] & b)) return;
  Capabilities[w] |= b;
  CapabilitiesInitialized[w] |= b;
  RendererGL.Enable(Cap);
  Count(1);
}

int32_t TZNT1RendererState::CachedCapability(uint32_t Cap) const {
  const uint32_t w = Cap >> 5, b = 1u << (Cap & 31);
  if (w >= std::size(Capabilities) || !(CapabilitiesInitialized[w] & b)) return -1;
  return (Capabilities[w] & b) ? 1 : 0;
}

void TZNT1RendererState::RestoreCapability(uint32_t Cap, int32_t Cached) {
  if (Cached == 1) Enable(Cap);
  if (Cached == 0) Disable(Cap);
}

void TZNT1RendererState::Disable(uint32_t Cap) {
  const uint32_t w = Cap >> 5, b = 1u << (Cap & 31);
  if (w >= std::size(Capabilities)) {
    RendererGL.Disable(Cap);
    Count(1);
    return;
  }
  if (!(Capabilities[w] & b) && (CapabilitiesInitialized[w] & b)) return;
  Capabilities[w] &= ~b;
  CapabilitiesInitialized[w] |= b;
  RendererGL.Disable(Cap);
  Count(1);
}

void TZNT1RendererState::SetDepthMask(bool NewState) {
  const uint32_t v = NewState ? 0xFFFFFFFFu : 0u;
  if (DepthMask == v) return;
  DepthMask = v;
  RendererGL.DepthMask(NewState ? GL_TRUE : GL_FALSE);
  Count(1);
}

void TZNT1RendererState::SetDepthFunc(uint32_t NewFunc) {
  if (DepthFunc == NewFunc) return;
  DepthFunc = NewFunc;
  RendererGL.DepthFunc(NewFunc);
  Count(1);
}

void TZNT1RendererState::SetDepthRange(float NewZNear, float NewZFar) { RendererGL.DepthRange(NewZNear, NewZFar); }

void TZNT1RendererState::SetBlendEquation(uint32_t NewEquation) {
  if (BlendEquation == NewEquation) return;
  BlendEquation = NewEquation;
  RendererGL.BlendEquation(NewEquation);
  Count(1);
}

void TZNT1RendererState::SetBlendFunc(uint32_t NewSrc, uint32_t NewDest) {
  if (BlendSrc == NewSrc && BlendDest == NewDest) return;
  BlendSrc = NewSrc;
  BlendDest = NewDest;
  RendererGL.BlendFunc(NewSrc, NewDest);
  Count(1);
}

void TZNT1RendererState::SetCullFace(uint32_t NewCullFace) {
  if (CullFace == NewCullFace) return;
  CullFace = NewCullFace;
  RendererGL.CullFace(NewCullFace);
  Count(1);
}

void TZNT1RendererState::SetPolyModeLine(bool NewState) {
  const uint32_t v = NewState ? 0xFFFFFFFFu : 0u;
  if (PolyModeLine == v) return;
  PolyModeLine = v;
  RendererGL.PolygonMode(GL_FRONT_AND_BACK, NewState ? GL_LINE : GL_FILL);
  Count(1);
}

void TZNT1RendererState::SetPolygonOffset(float NewOffsetFactor, float NewOffsetUnits) {
  if (FloatBits(OffsetFactor) == FloatBits(NewOffsetFactor) && FloatBits(OffsetUnits) == FloatBits(NewOffsetUnits))
    return;
  OffsetFactor = NewOffsetFactor;
  OffsetUnits = NewOffsetUnits;
  RendererGL.PolygonOffset(NewOffsetFactor, NewOffsetUnits);
}

void TZNT1RendererState::BindTexture(uint32_t TextureUnit, uint32_t TextureHandle, uint32_t TextureType) {
  const uint32_t i = TextureUnit - GL_TEXTURE0;
  if (i >= std::size(TextureHandles)) return;  // the renderer uses units 0 to 31 only
  if (TextureHandles[i] == TextureHandle) return;
  RendererGL.ActiveTexture(TextureUnit);
  if (TextureTypes[i] != TextureType) {
    // After a reset the old target is unknown: there is nothing to unbind, and binding to
    // the unknown marker would be an invalid enum.
    if (TextureTypes[i] != Unknown) {
      RendererGL.BindTexture(TextureTypes[i], 0);
      Count(1);
    }
    TextureTypes[i] = TextureType;
  }
  TextureHandles[i] = TextureHandle;
  RendererGL.BindTexture(TextureType, TextureHandle);
  Count(2);
}

void TZNT1RendererState::UseProgram(uint32_t NewProgramHandle) {
  if (ProgramHandle == NewProgramHandle) return;
  ProgramHandle = NewProgramHandle;
  RendererGL.UseProgram(NewProgramHandle);
  Count(1);
}

bool TZNT1RendererState::UseShader(TZNT1GLSLShader* NewShader) {
  if (NewShader != Shader) {
    Shader = NewShader;
    UseProgram(NewShader && NewShader->ProgramHandle > 0 ? static_cast<uint32_t>(NewShader->ProgramHandle) : 0u);
  }
  // No program is refused: a pass that meets one skips its draw.
  return NewShader != nullptr;
}

void TZNT1RendererState::SetVertexAttribArray(int32_t Index, bool NewState) {
  if (Index < 0 || Index >= static_cast<int32_t>(std::size(VertexAttribArrayStates))) return;
  const uint32_t v = NewState ? 0xFFFFFFFFu : 0u;
  if (VertexAttribArrayStates[Index] == v) return;
  VertexAttribArrayStates[Index] = v;
  if (NewState)
    RendererGL.EnableVertexAttribArray(static_cast<GLuint>(Index));
  else
    RendererGL.DisableVertexAttribArray(static_cast<GLuint>(Index));
  Count(1);
}

void TZNT1RendererState::PointAttributes(int32_t First, size_t FrameOfs) {
  for (int32_t i = 0; i < 7; ++i) {
    const TAttribute& a = VertexAttributes[i];
    SetVertexAttribArray(First + i, true);
    RendererGL.VertexAttribPointer(static_cast<GLuint>(First + i), a.Components, a.Type, a.Normalized,
                                   static_cast<GLsizei>(sizeof(TZNT1VBOVertex)), BufferOffset(FrameOfs + a.Offset));
    Count(1);
  }
}

void TZNT1RendererState::BindSingleVBO(uint32_t VerticesHandle, uint32_t IndicesHandle, int32_t Ofs,
                                       uint32_t VAOHandle) {
  if (HasVAO() && VAOHandle != 0) {
    if (LastWasVBO && !LastWasVAO) {
      LastWasVAO = true;
      for (int32_t i = 0; i < 7; ++i) SetVertexAttribArray(i, false);
      if (LastWasDualVBO)
        for (int32_t i = 7; i < 14; ++i) SetVertexAttribArray(i, false);
      RendererGL.BindBuffer(GL_ARRAY_BUFFER, 0);
      RendererGL.BindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
      Count(2);
    }
    LastWasDualVBO = false;
    RendererGL.BindVertexArray(VAOHandle);
    Count(1);
    return;
  }
  if (LastWasVAO) {
    LastWasVAO = false;
    LastWasDualVBO = false;
    RendererGL.BindVertexArray(0);
  } else if (LastWasDualVBO) {
    LastWasDualVBO = false;
    for (int32_t i = 7; i < 14; ++i) SetVertexAttribArray(i, false);
  }
  LastWasVBO = true;
  RendererGL.BindBuffer(GL_ARRAY_BUFFER, VerticesHandle);
  Count(1);
  PointAttributes(0, static_cast<size_t>(Ofs) * sizeof(TZNT1VBOVertex));
  RendererGL.BindBuffer(GL_ELEMENT_ARRAY_BUFFER, IndicesHandle);
  Count(1);
}

void TZNT1RendererState::BindDualVBO(uint32_t VerticesHandle, uint32_t IndicesHandle, uint32_t VerticesHandle2,
                                     uint32_t, int32_t Ofs, int32_t Ofs2) {
  if (LastWasVAO) {
    LastWasVAO = false;
    LastWasDualVBO = false;
    RendererGL.BindVertexArray(0);
  }
  LastWasVBO = true;
  LastWasDualVBO = true;
  RendererGL.BindBuffer(GL_ARRAY_BUFFER, VerticesHandle);
  Count(1);
  PointAttributes(0, static_cast<size_t>(Ofs) * sizeof(TZNT1VBOVertex));
  if (VerticesHandle2 != VerticesHandle) {
    RendererGL.BindBuffer(GL_ARRAY_BUFFER, VerticesHandle2);
    Count(1);
  }
  PointAttributes(7, static_cast<size_t>(Ofs2) * sizeof(TZNT1VBOVertex));
  RendererGL.BindBuffer(GL_ELEMENT_ARRAY_BUFFER, IndicesHandle);
  Count(1);
}

void TZNT1RendererState::RemoveVertexAttributes() {
  if (HasVAO() && LastWasVAO) {
    RendererGL.BindVertexArray(0);
    Count(1);
    return;
  }
  if (LastWasVBO) {
    for (int32_t i = 0; i < 14; ++i) SetVertexAttribArray(i, false);
    RendererGL.BindBuffer(GL_ARRAY_BUFFER, 0);
    RendererGL.BindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    Count(2);
  }
}

// ---------------------------------------------------------------------------------------------
// Renderer

TZNT1Renderer::TZNT1Renderer(TZNT1Engine* AEngine) : Engine(AEngine) {
  State = std::make_unique<TZNT1RendererState>(this);
  MainContext = std::make_unique<TZNT1RendererContext>(this, true);
  MainContext->ContextTask = ctNORMAL;
  GeometryFillContext = std::make_unique<TZNT1RendererContext>(this, true);
  GeometryFillContext->ContextTask = ctGEOMETRYFILL;
  ShadowMapContext = std::make_unique<TZNT1RendererContext>(this, true);
  ShadowMapContext->ContextTask = ctSHADOWMAP;
  ShadowCubeMapContext = std::make_unique<TZNT1RendererContext>(this, true);
  ShadowCubeMapContext->ContextTask = ctSHADOWCUBEMAP;
  CurrentContext = MainContext.get();
  ModelInstances.resize(1024);
  Lights.resize(1024);

  QuadVBO = std::make_unique<TZNT1VBO>(Engine, false, false, 4, 6);
  const float Quad[4][4] = {{-1, -1, 0, 0}, {-1, 1, 0, 1}, {1, 1, 1, 1}, {1, -1, 1, 0}};
  for (const auto& q : Quad) {
    TZNT1VBOVertex v{};
    v.Position = Vector3(q[0], q[1], 0);
    v.TexCoord = Vector2(q[2], q[3]);
    v.Middle = Vector4(0, 0, 0, 1);
    QuadVBO->AddVertex(v);
  }
  for (uint32_t i : {0u, 1u, 2u, 2u, 3u, 0u}) QuadVBO->AddIndex(i);
  QuadVBO->Finish();
  QuadVBO->IncRef();
  QuadVBO->Update();

  MeshVBO = std::make_unique<TZNT1VBO>(Engine, true, true, 65536, 65536);
  MeshVBO->CountVertices = 65536;
  MeshVBO->CountIndices = 65536;
  MeshVBO->Finish();
  MeshVBO->IncRef();
  MeshVBO->Update();
}

TZNT1Renderer::~TZNT1Renderer() {
  QuadVBO.reset();
  MeshVBO.reset();
  ShadowBufferFrameBufferObject.reset();
  LightBufferFrameBufferObject.reset();
  for (auto& f : TempFloatRGBAFrameBufferObjects) f.reset();
  EdgeBufferFrameBufferObject.reset();
  for (auto& f : ShadowBlurFrameBufferObjects) f.reset();
  for (auto& c : Contexts) c.reset();
  for (auto& f : FrameBufferObjects) f.reset();
  for (auto& f : AntialiasingFrameBufferObjects) f.reset();
  for (auto& Level : UpDownSampleFrameBufferObjects)
    for (auto& f : Level) f.reset();
  for (auto& f : BloomFrameBufferObjects) f.reset();
  for (auto& s : ShadowMaps) s.reset();
  MainContext.reset();
  GeometryFillContext.reset();
  ShadowMapContext.reset();
  ShadowCubeMapContext.reset();
  State.reset();
  if (SkyQuery) glDeleteQueries(1, &SkyQuery);
  if (ShadowVolumeBuffer) glDeleteBuffers(1, &ShadowVolumeBuffer);
}

void TZNT1Renderer::ResetBSP() {
  // What a map's frames made goes with the map.
  if (ShadowVolumeBuffer) glDeleteBuffers(1, &ShadowVolumeBuffer);
  ShadowVolumeBuffer = 0;
  for (auto& v : ShadowVolumeVertices) std::vector<TZNT1VBOVertex>().swap(v);
  MainContext.reset();
  GeometryFillContext.reset();
  ShadowMapContext.reset();
  ShadowCubeMapContext.reset();
  for (auto& c : Contexts) c.reset();
  CurrentContext = nullptr;
  auto Make = [this](int32_t Task) {
    auto c = std::make_unique<TZNT1RendererContext>(this, true);
    c->ContextTask = Task;
    c->Check();
    return c;
  };
  MainContext = Make(ctNORMAL);
  GeometryFillContext = Make(ctGEOMETRYFILL);
  ShadowMapContext = Make(ctSHADOWMAP);
  ShadowCubeMapContext = Make(ctSHADOWCUBEMAP);
  for (auto& c : Contexts) c = Make(ctPORTAL);
  // Render sets the current context before it is used; it must never point at a freed one.
  CurrentContext = MainContext.get();
}

int32_t TZNT1Renderer::AddLight(const TZNT1RendererLight& Light) {
  const int32_t Index = CountLights++;
  if (Lights.size() <= static_cast<size_t>(CountLights))
    Lights.resize(RoundUpToPowerOfTwo(static_cast<uint32_t>(CountLights)));
  Lights[static_cast<size_t>(Index)] = Light;
  return Index;
}

void TZNT1Renderer::IncrementLinkCounter() {
  ++LinkCounter;
  if (LinkCounter == 0xFFFFFFFFu) {
    if (Engine->GLSLShaders) Engine->GLSLShaders->ResetLinkCounters();
    LinkCounter = 0;
  }
}

int32_t TZNT1Renderer::ShiftedSize(int32_t Size, int32_t Shift) {
  return std::max(1, static_cast<int32_t>(static_cast<uint32_t>(Size) >> Shift));
}

int32_t TZNT1Renderer::BlurSize(int32_t Size, int32_t Level) {
  return std::max(1, static_cast<int32_t>((static_cast<uint32_t>(Size) + (1u << Level)) >> (Level + 1)));
}

void TZNT1Renderer::CheckTarget(std::unique_ptr<TZNT1FrameBufferObject>& Target, int32_t Width, int32_t Height,
                                int32_t Format, bool Depth) {
  if (Target && (Target->Width != Width || Target->Height != Height)) Target.reset();
  if (!Target)
    Target = std::make_unique<TZNT1FrameBufferObject>(Engine, Width, Height, 1, false, false, true, true, Depth, false,
                                                      std::vector<int32_t>{Format}, false, 0);
}

void TZNT1Renderer::CheckFrameBufferObjects() {
  const int32_t W = std::max(1, Engine->CanvasWidth), H = std::max(1, Engine->CanvasHeight);
  CheckTarget(ShadowBufferFrameBufferObject, W, H, GL_TEXTURE_RGBA32F);
  CheckTarget(LightBufferFrameBufferObject, W, H, GL_TEXTURE_RGBA8);
  for (auto& f : TempFloatRGBAFrameBufferObjects) CheckTarget(f, W, H, GL_TEXTURE_RGBA32F);
  CheckTarget(EdgeBufferFrameBufferObject, W, H, GL_TEXTURE_R8);
  for (int32_t i = 0; i < 7; ++i)
    CheckTarget(ShadowBlurFrameBufferObjects[i], BlurSize(W, i), BlurSize(H, i), GL_TEXTURE_RGBA32F);
  for (auto& f : FrameBufferObjects) CheckTarget(f, W, H, GL_TEXTURE_RGBA8);
  for (auto& f : AntialiasingFrameBufferObjects) {
    if (Antialiasing == aaSMAA)
      CheckTarget(f, W, H, GL_TEXTURE_RGBA32F);
    else
      f.reset();
  }
  for (int32_t i = 0; i < 6; ++i)
    for (auto& f : UpDownSampleFrameBufferObjects[i]) CheckTarget(f, ShiftedSize(W, i), ShiftedSize(H, i), GL_TEXTURE_RGBA8);
  for (auto& f : BloomFrameBufferObjects) CheckTarget(f, ShiftedSize(W, 6), ShiftedSize(H, 6), GL_TEXTURE_RGBA8);
  for (auto& s : ShadowMaps)
    if (!s) s = std::make_unique<TZNT1RendererShadowMap>(this, Engine);
}

void TZNT1Renderer::IncrementVisibleFrame() {
  ++VisibleFrame;
  if (VisibleFrame == 0xFFFFFFFFu) {
    if (Engine->BSP) Engine->BSP->VisibleFrameOverflow();
    VisibleFrame = 0;
  }
}

TZNT1Shader* TZNT1Renderer::ResolveShader(TZNT1Shader* TheShader) {
  TZNT1Shader* Result = TheShader;
  ResolveSeen.clear();
  while (Result && Result->RemappedShader) {
    TZNT1Shader* Next = Result->RemappedShader;
    if (Next == TheShader) return TheShader;
    // A loop that avoids the start would never end: stop before the first repeat.
    if (std::find(ResolveSeen.begin(), ResolveSeen.end(), Next) != ResolveSeen.end()) break;
    ResolveSeen.push_back(Next);
    Result = Next;
  }
  return Result;
}

void TZNT1Renderer::ComputeSunParameters() {
  const TZNT1BSP* BSP = Engine->BSP.get();
  if (!BSP) {
    WorldSpaceRadius = 4096;
    return;
  }
  const TZNT1AABB& Box = BSP->WorldAABB;
  const TZNT1Vector3 C = Vector3Avg(Box.Min, Box.Max);
  const float R = Max(Vector3Dist(C, Box.Max), Vector3Dist(C, Box.Min));
  LightDirection = Vector3Norm(Vector3Neg(BSP->SunDirection));
  LightPosition = Vector3Add(C, Vector3ScalarMul(LightDirection, -2.0f * R));
  LightRadius = 2.0f * Max(Vector3Dist(LightPosition, Box.Min), Vector3Dist(LightPosition, Box.Max));
  LightInvRadius = LightRadius != 0.0f ? 1.0f / LightRadius : 0.0f;
  WorldSpaceRadius = 2.0f * Max(Vector3Length(Box.Min), Vector3Length(Box.Max));
}

void TZNT1Renderer::Render() {
  if (!Engine->Dedicated) {
    CheckFrameBufferObjects();
    ComputeSunParameters();
    TZNT1RendererContext& c = *MainContext;
    c.ViewMatrix = Engine->ViewMatrix;
    c.ProjectionMatrix = Engine->ProjectionMatrix;
    c.FOV = 90;
    c.CanvasWidth = Engine->CanvasWidth;
    c.CanvasHeight = Engine->CanvasHeight;
    c.ViewPortLeft = Engine->ViewPortLeft;
    c.ViewPortTop = Engine->ViewPortTop;
    c.ViewPortRight = Engine->ViewPortRight;
    c.ViewPortBottom = Engine->ViewPortBottom;
    c.Clip2D = false;
    c.ContextTask = ctNORMAL;
    CurrentContext = &c;
    c.CheckFrameBufferObject();
    c.UseFrameBufferObject = !(Engine->GLCapabilities && Engine->GLCapabilities->LowQuality);
    DrawsIssued = DrawsSkipped = 0;
    c.Render(-1);
    if (c.UseFrameBufferObject && c.FrameBufferObject && !DrawEverything) PostProcess();
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(Engine->ViewPortLeft, Engine->ViewPortTop, Engine->ViewPortRight, Engine->ViewPortBottom);
    RendererGL.UseProgram(0);
    State->RemoveVertexAttributes();
    for (GLuint i = 0; i < 16; ++i) RendererGL.DisableVertexAttribArray(i);
    const int32_t Units = Engine->GLCapabilities ? Engine->GLCapabilities->MaxTextureUnits : 8;
    for (int32_t i = 0; i < Units && i < 32; ++i)
      State->BindTexture(GL_TEXTURE0 + static_cast<uint32_t>(i), 0, GL_TEXTURE_2D);
    IncrementVisibleFrame();
    State->SetBlendEquation(GL_FUNC_ADD);
  }
  CountModelInstances = 0;
  CountLights = 0;
}

namespace {

const char* PostStageName(const TZNT1GLSLShaders& S, const TZNT1GLSLShader* P) {
  if (P == S.DefaultGLSLLumaShader) return "post luma";
  if (P == S.DefaultGLSLFXAA3Shader || P == S.DefaultGLSLFXAA2Shader) return "post fxaa";
  if (P == S.DefaultGLSLBloomFilterShader) return "post bloom filter";
  if (P == S.DefaultGLSLDownSampleShader) return "post bloom downsample";
  if (P == S.DefaultGLSLBloomBlurShader) return "post bloom blur";
  if (P == S.DefaultGLSLBloomCombineShader) return "post bloom combine";
  if (P == S.DefaultGLSLScreenQuadShader) return "post copy";
  return "post other";
}

}  // namespace

void TZNT1Renderer::PostProcess() {
  TZNT1GLSLShaders* Shaders = Engine->GLSLShaders.get();
  TZNT1FrameBufferObject* Main = MainContext ? MainContext->FrameBufferObject.get() : nullptr;
  if (!Shaders || !Main || !QuadVBO) return;
  const float MainInv[2] = {1.0f / float(std::max(1, Main->Width)), 1.0f / float(std::max(1, Main->Height))};
  int32_t Current = 0, Last = -1;
  State->Disable(GL_DEPTH_TEST);
  State->Disable(GL_CULL_FACE);
  State->Disable(GL_BLEND);
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);

  auto TextureOf = [](const std::unique_ptr<TZNT1FrameBufferObject>& f) { return f ? f->TextureHandles[0] : 0u; };
  // Uniforms beyond the samplers, sent after them.
  struct TExtra {
    int32_t Kind = 0;  // 0 none, 1 uFragCoordInvScale, 2 uScale, 3 uTime
    float X = 0.0f, Y = 0.0f;
  };
  // The textures a pass reads, unit by unit.
  struct TInputs {
    TInputs(std::initializer_list<uint32_t> List) : Count(uint32_t(std::min<size_t>(6, List.size()))) {
      std::copy_n(List.begin(), Count, Handles);
    }
    uint32_t Handles[6] = {0, 0, 0, 0, 0, 0};
    uint32_t Count = 0;
  };
  auto Draw = [&](TZNT1GLSLShader* P, const TInputs& Inputs, TExtra Extra) {
    if (RendererStageHook) MarkRendererStage(PostStageName(*Shaders, P));
    if (!State->UseShader(P)) return;
    uint32_t Unit = 0;
    for (uint32_t i = 0; i < Inputs.Count; ++i) State->BindTexture(GL_TEXTURE0 + Unit++, Inputs.Handles[i], GL_TEXTURE_2D);
    State->BindSingleVBO(uint32_t(QuadVBO->VerticesVBOHandle), uint32_t(QuadVBO->IndicesVBOHandle), 0, 0);
    for (uint32_t k = 0; k < Unit && k < 8; ++k) {
      if (P->uTexs[k] >= 0) {
        glUniform1i(P->uTexs[k], GLint(k));
        ++GLCalls;
      }
    }
    const int32_t Location = Extra.Kind == 1 ? P->uFragCoordInvScale : Extra.Kind == 2 ? P->uScale : Extra.Kind == 3 ? P->uTime : -1;
    if (Location >= 0) {
      if (Extra.Kind == 3)
        glUniform1f(Location, Extra.X);
      else
        glUniform2f(Location, Extra.X, Extra.Y);
      ++GLCalls;
    }
    RendererGL.DrawElements(GL_TRIANGLES, QuadVBO->CountIndices, GL_UNSIGNED_INT, nullptr);
    ++GLCalls;
  };
  // Each pass covers its whole target unblended: nothing of it needs clearing first.
  auto PassNow = [&](TZNT1FrameBufferObject* Target, TZNT1GLSLShader* P, const TInputs& Inputs, TExtra Extra) {
    if (!Target) return;
    Target->Bind();
    glViewport(0, 0, Target->Width, Target->Height);
    GLCalls += 2;
    Draw(P, Inputs, Extra);
  };
  // A pair pass waits until the next pass reads it: the chain's last one draws straight into the
  // window instead of into the pair and then being copied there.
  struct TPending {
    TZNT1GLSLShader* Shader = nullptr;
    TInputs Inputs{};
    TExtra Extra;
    int32_t Target = 0;
  } Pending;
  // Null Target: the window.
  auto DrawPending = [&](TZNT1FrameBufferObject* Target) {
    TZNT1GLSLShader* P = std::exchange(Pending.Shader, nullptr);
    if (!P) return;
    if (Target) {
      PassNow(Target, P, Pending.Inputs, Pending.Extra);
      return;
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glViewport(Engine->ViewPortLeft, Engine->ViewPortTop, Engine->ViewPortRight, Engine->ViewPortBottom);
    GLCalls += 2;
    Draw(P, Pending.Inputs, Pending.Extra);
  };
  auto Flush = [&] {
    if (Pending.Shader) DrawPending(FrameBufferObjects[Pending.Target].get());
  };
  auto PingPong = [&](TZNT1GLSLShader* P, const TInputs& Inputs, TExtra Extra) {
    Flush();
    Pending = {P, Inputs, Extra, Current};
    Last = Current;
    Current = (Current + 1) & 1;
  };
  auto Pass = [&](TZNT1FrameBufferObject* Target, TZNT1GLSLShader* P, const TInputs& Inputs, TExtra Extra) {
    Flush();
    PassNow(Target, P, Inputs, Extra);
  };
  // Last -1 is the main target itself: the first pass reads it, and the plain copy into the pair
  // is drawn only when no pass follows. The passes still write the pair entries they would after
  // the copy.
  auto LastTexture = [&] { return Last < 0 ? Main->TextureHandles[0] : TextureOf(FrameBufferObjects[Last]); };
  const TExtra Inv{1, MainInv[0], MainInv[1]};

  if ((Antialiasing >= aaDLAA && Antialiasing <= aaSMAA) || WaterEffect || BloomEffect)
    Current = 1;
  else
    PingPong(Shaders->DefaultGLSLScreenQuadShader, {Main->TextureHandles[0]}, {});
  switch (Antialiasing) {
    case aaDLAA:
      PingPong(Shaders->DefaultGLSLDLAAPrepassShader, {LastTexture()}, Inv);
      PingPong(Shaders->DefaultGLSLDLAAPostPassShader, {LastTexture()}, Inv);
      break;
    case aaFXAA2:
      PingPong(Shaders->DefaultGLSLFXAA2Shader, {LastTexture()}, Inv);
      break;
    case aaFXAA3:
      PingPong(Shaders->DefaultGLSLLumaShader, {LastTexture()}, Inv);
      PingPong(Shaders->DefaultGLSLFXAA3Shader, {LastTexture()}, Inv);
      break;
    case aaNFAA:
      PingPong(Shaders->DefaultGLSLNFAAShader, {LastTexture()}, Inv);
      break;
    case aaSMAA: {
      TZNT1Textures* Textures = Engine->Textures.get();
      const uint32_t Area = Textures && Textures->SMAAAreaTexture ? Textures->SMAAAreaTexture->Handle : 0u;
      const uint32_t Search = Textures && Textures->SMAASearchTexture ? Textures->SMAASearchTexture->Handle : 0u;
      Pass(AntialiasingFrameBufferObjects[0].get(), Shaders->DefaultGLSLSMAAEdgeDetectionShader, {LastTexture()}, Inv);
      Pass(AntialiasingFrameBufferObjects[1].get(), Shaders->DefaultGLSLSMAABlendingWeightCalculationShader,
           {TextureOf(AntialiasingFrameBufferObjects[0]), Area, Search}, Inv);
      PingPong(Shaders->DefaultGLSLSMAANeighborhoodBlendingShader,
               {LastTexture(), TextureOf(AntialiasingFrameBufferObjects[1])}, Inv);
      break;
    }
    default:
      break;
  }
  if (WaterEffect)
    PingPong(Shaders->DefaultGLSLScreenWaterQuadShader, {LastTexture()}, {3, float(Engine->InGameTime), 0.0f});
  if (BloomEffect) {
    auto& U = UpDownSampleFrameBufferObjects;
    for (int32_t i = 0; i < 6; ++i) {
      if (i == 0) {
        Pass(U[0][1].get(), Shaders->DefaultGLSLBloomFilterShader, {LastTexture()}, {});
      } else {
        const TZNT1FrameBufferObject* Below = U[i - 1][1].get();
        Pass(U[i][1].get(), Shaders->DefaultGLSLDownSampleShader, {TextureOf(U[i - 1][1])},
             {2, Below ? 1.0f / float(Below->Width) : 0.0f, Below ? 1.0f / float(Below->Height) : 0.0f});
      }
    }
    for (int32_t i = 5; i >= 1; --i) {
      if (!U[i][0] || !U[i][1]) continue;
      Pass(U[i][0].get(), Shaders->DefaultGLSLBloomBlurShader, {TextureOf(U[i][1])}, {2, 1.0f / float(U[i][0]->Width), 0.0f});
      Pass(U[i][1].get(), Shaders->DefaultGLSLBloomBlurShader, {TextureOf(U[i][0])}, {2, 0.0f, 1.0f / float(U[i][1]->Height)});
    }
    PingPong(Shaders->DefaultGLSLBloomCombineShader,
             {LastTexture(), TextureOf(U[1][1]), TextureOf(U[2][1]), TextureOf(U[3][1]), TextureOf(U[4][1]),
              TextureOf(U[5][1])},
             {});
  }
  if (!Pending.Shader) PingPong(Shaders->DefaultGLSLScreenQuadShader, {LastTexture()}, {});
  DrawPending(nullptr);
  RendererGL.UseProgram(0);
  State->UseShader(nullptr);
}

// ---------------------------------------------------------------------------------------------
// Batch item orderings

namespace {

template <typename T>
int32_t Cmp(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

int32_t CompareMapKeys(const TZNT1BatchItem& a, const TZNT1BatchItem& b) {
  int32_t r;
  if ((r = Cmp(a.SortKey, b.SortKey))) return r;
  if ((r = Cmp(a.SortedShaderIndex, b.SortedShaderIndex))) return r;
  if ((r = Cmp(a.EntityIndex, b.EntityIndex))) return r;
  if ((r = Cmp(a.EffectIndex, b.EffectIndex))) return r;
  if ((r = Cmp(a.GroupIndex, b.GroupIndex))) return r;
  if ((r = Cmp(a.VBOIndex, b.VBOIndex))) return r;
  if ((r = Cmp(a.LightMapAtlasIndex, b.LightMapAtlasIndex))) return r;
  if ((r = Cmp(a.ModelIndex, b.ModelIndex))) return r;
  if ((r = Cmp(a.MeshTypeIndex, b.MeshTypeIndex))) return r;
  return Cmp(a.PortalIndex, b.PortalIndex);
}

const TZNT1BatchItem& ItemOf(const void* p) { return *static_cast<const TZNT1BatchItem*>(p); }

}  // namespace

int32_t CompareFaceOrGroupBatchItemsForDepthCategory(const TZNT1BatchItem& a, const TZNT1BatchItem& b) {
  return CompareMapKeys(a, b);
}

int32_t CompareFaceOrGroupBatchItems(const TZNT1BatchItem& a, const TZNT1BatchItem& b) {
  const int32_t r = CompareMapKeys(a, b);
  return r ? r : Cmp(a.FaceIndex, b.FaceIndex);
}

int32_t CompareBatchItems(const TZNT1BatchItem& a, const TZNT1BatchItem& b) {
  int32_t r;
  if (a.BatchItemKind != b.BatchItemKind) {
    if ((r = Cmp(a.SortedShaderIndex, b.SortedShaderIndex))) return r;
    if ((r = Cmp(a.EntityIndex, b.EntityIndex))) return r;
    return Cmp(a.EffectIndex, b.EffectIndex);
  }
  switch (a.BatchItemKind) {
    case zbikMODEL:
      if ((r = Cmp(a.SortedShaderIndex, b.SortedShaderIndex))) return r;
      if ((r = Cmp(a.EntityIndex, b.EntityIndex))) return r;
      if ((r = Cmp(a.EffectIndex, b.EffectIndex))) return r;
      if ((r = Cmp(reinterpret_cast<uintptr_t>(a.ModelInstance), reinterpret_cast<uintptr_t>(b.ModelInstance))))
        return r;
      if ((r = Cmp(a.MeshIndex, b.MeshIndex))) return r;
      return Cmp(a.LevelOfDistanceIndex, b.LevelOfDistanceIndex);
    case zbikBSPFACE:
    case zbikBSPGROUP:
      return Cmp(a.SortIndex, b.SortIndex);
    default:
      return 0;
  }
}

int32_t CompareOpaqueBatchItems(const TZNT1BatchItem& a, const TZNT1BatchItem& b) {
  if (a.DepthCategory == b.DepthCategory) {
    const int32_t r = Cmp(b.DepthIndex, a.DepthIndex);
    if (r) return r;
  }
  return CompareBatchItems(a, b);
}

int32_t CompareAllAboveBatchItems(const TZNT1BatchItem& a, const TZNT1BatchItem& b) {
  const int32_t r = Cmp(a.SortKey, b.SortKey);
  return r ? r : CompareOpaqueBatchItems(a, b);
}

int32_t CompareTransparentBatchItems(const TZNT1BatchItem& a, const TZNT1BatchItem& b) {
  const int32_t r = Cmp(a.DepthIndex, b.DepthIndex);
  return r ? r : CompareBatchItems(a, b);
}

// ---------------------------------------------------------------------------------------------
// Render context

TZNT1RendererContext::TZNT1RendererContext(TZNT1Renderer* ARenderer, bool)
    : Renderer(ARenderer), Engine(ARenderer->Engine), State(ARenderer->State.get()) {
  Frustum = std::make_unique<TZNT1Frustum>();
  VisibleCheckFrustum = std::make_unique<TZNT1Frustum>();
  for (TZNT1Matrix4x4* m : {&TranslatedViewMatrix, &ModelMatrix, &ViewMatrix, &ProjectionMatrix, &ShadowMapLightMatrix,
                            &ShadowMapLightInvMatrix, &RotationMatrix, &InverseViewMatrix, &InverseProjectionMatrix,
                            &InverseViewProjectionMatrix, &ViewProjectionMatrix, &CurrentViewMatrix,
                            &ShadowMapViewMatrix, &ShadowMapProjectionMatrix})
    *m = Matrix4x4Identity;
  Check();
}

TZNT1RendererContext::~TZNT1RendererContext() = default;

void TZNT1RendererContext::Check() {
  TZNT1BSP* EngineBSP = Engine->BSP.get();
  if (EngineBSP == BSP) return;
  BSP = EngineBSP;
  if (!BSP) return;
  ClusterCounters.assign(static_cast<size_t>(std::max(0, BSP->CountBSPClusters)), 0);
  ClustersToDraw.assign(ClusterCounters.size(), 0);
  PortalsToDraw.assign(static_cast<size_t>(2 * std::max(0, BSP->CountPortals)), nullptr);
  if (BSP->CountBSPGroups < 1) {
    LeafsToDraw.assign(static_cast<size_t>(std::max(0, BSP->CountBSPLeafs)), 0);
    GroupCounters.clear();
    GroupsToDraw.clear();
    SortedGroupBatchItems.clear();
    GroupBatchItems.clear();
    GroupsBitmap.clear();
    InitFaceBatchItems();
  } else {
    const size_t n = static_cast<size_t>(BSP->CountBSPGroups);
    GroupCounters.assign(n, 0);
    GroupsToDraw.assign(n, 0);
    LeafsToDraw.clear();
    SortedFaceBatchItems.clear();
    FaceBatchItems.clear();
    FacesBitmap.clear();
    InitGroupBatchItems();
  }
}

namespace {

// Fills the map-item fields shared by faces and groups.
void FillMapItem(TZNT1BatchItem& Item, const TZNT1BSP& BSP, int32_t ModelIndex, TZNT1Shader* Shader,
                 int32_t SourcePortalIndex) {
  std::memset(&Item, 0, sizeof(Item));
  Item.EntityIndex =
      ModelIndex > 0 ? static_cast<uint32_t>(BSP.BSPMapModels[static_cast<size_t>(ModelIndex)].EntityIndex) : 0u;
  Item.PortalIndex = NoKey;
  if (Shader) {
    Item.SortedShaderIndex = Shader->SortedIndex;
    Item.SortKey = Shader->Sort;
    Item.AdditiveBlend = Shader->AdditiveBlend ? 1u : 0u;
    if (Shader->IsPortal) Item.PortalIndex = SourcePortalIndex;
  } else {
    Item.SortedShaderIndex = -1;
  }
  Item.ModelIndex = ModelIndex;
}

// Sorts the scratch items, copies them in order and numbers their depth categories.
void Presort(std::vector<TZNT1BatchItem>& Scratch, std::vector<TZNT1BatchItem>& Sorted) {
  std::vector<void*> Refs(Scratch.size());
  for (size_t i = 0; i < Scratch.size(); ++i) Refs[i] = &Scratch[i];
  if (Refs.size() >= 2)
    IntroSort(Refs.data(), 0, static_cast<int32_t>(Refs.size()) - 1, [](const void* a, const void* b) {
      return CompareFaceOrGroupBatchItems(ItemOf(a), ItemOf(b));
    });
  Sorted.resize(Scratch.size());
  for (size_t i = 0; i < Refs.size(); ++i) {
    Sorted[i] = ItemOf(Refs[i]);
    Sorted[i].SortIndex = static_cast<uint32_t>(i);
    if (i == 0)
      Sorted[i].DepthCategory = 0;
    else
      Sorted[i].DepthCategory = Sorted[i - 1].DepthCategory +
                                (CompareFaceOrGroupBatchItemsForDepthCategory(Sorted[i], Sorted[i - 1]) != 0 ? 1 : 0);
  }
}

// Calls Add(i, model) for every item 0..Count-1 as the world model's, then again for each brush
// model's own range of them. Ranges come from the file: items outside the map are left alone.
template <typename TAdd>
void ForEachModelItem(const TZNT1BSP& BSP, int32_t Count, int32_t WorldModel, int32_t TBSPMapModel::*First,
                      int32_t TBSPMapModel::*CountOf, TAdd&& Add) {
  for (int32_t i = 0; i < Count; ++i) Add(i, WorldModel);
  const int32_t CountModels = std::min<int32_t>(BSP.CountBSPModels, static_cast<int32_t>(BSP.BSPMapModels.size()));
  for (int32_t m = 1; m < CountModels; ++m) {
    const TBSPMapModel& Model = BSP.BSPMapModels[static_cast<size_t>(m)];
    const int64_t Begin = std::max<int64_t>(0, Model.*First);
    const int64_t End = std::min<int64_t>(Count, int64_t(Model.*First) + int64_t(Model.*CountOf));
    for (int64_t i = Begin; i < End; ++i) Add(static_cast<int32_t>(i), m);
  }
}

}  // namespace

void TZNT1RendererContext::InitFaceBatchItems() {
  const int32_t CountFaces = BSP ? std::min<int32_t>(BSP->CountBSPFaces, static_cast<int32_t>(BSP->BSPMapFaces.size())) : 0;
  if (CountFaces <= 0) {
    SortedFaceBatchItems.clear();
    FaceBatchItems.clear();
    FacesBitmap.clear();
    ResetFacesBitmap();
    return;
  }
  FacesBitmap.assign((static_cast<size_t>(CountFaces) + 31) >> 5, 0);
  std::vector<TZNT1BatchItem> Scratch(static_cast<size_t>(CountFaces));
  auto AddFace = [&](int32_t f, int32_t Model) {
    const TBSPMapFace& Face = BSP->BSPMapFaces[static_cast<size_t>(f)];
    TZNT1BatchItem& Item = Scratch[static_cast<size_t>(f)];
    FillMapItem(Item, *BSP, Model, Face.Shader, Face.PortalIndex);
    Item.BatchItemKind = zbikBSPFACE;
    Item.GroupIndex = -1;
    Item.VBOIndex = Face.VBOIndex;
    Item.LightMapAtlasIndex = Face.LightMapAtlas;
    Item.MeshTypeIndex = Face.FaceType;
    Item.EffectIndex = Face.effect;
    Item.FaceIndex = f;
  };
  ForEachModelItem(*BSP, CountFaces, WorldModelIndex, &TBSPMapModel::FaceIndex, &TBSPMapModel::CountFaces, AddFace);
  Presort(Scratch, SortedFaceBatchItems);
  FaceBatchItems.assign(static_cast<size_t>(CountFaces), nullptr);
  for (TZNT1BatchItem& Item : SortedFaceBatchItems) FaceBatchItems[static_cast<size_t>(Item.FaceIndex)] = &Item;
  ResetFacesBitmap();
}

void TZNT1RendererContext::InitGroupBatchItems() {
  const int32_t CountGroups = BSP ? std::min<int32_t>(BSP->CountBSPGroups, static_cast<int32_t>(BSP->BSPGroups.size())) : 0;
  if (CountGroups <= 0) {
    SortedGroupBatchItems.clear();
    GroupBatchItems.clear();
    GroupsBitmap.clear();
    ResetGroupsBitmap();
    VisibleCounter = 0;
    return;
  }
  GroupsBitmap.assign((static_cast<size_t>(CountGroups) + 31) >> 5, 0);
  std::vector<TZNT1BatchItem> Scratch(static_cast<size_t>(CountGroups));
  auto AddGroup = [&](int32_t g, int32_t Model) {
    const TBSPGroup& Group = BSP->BSPGroups[static_cast<size_t>(g)];
    TZNT1BatchItem& Item = Scratch[static_cast<size_t>(g)];
    FillMapItem(Item, *BSP, Model, Group.Shader, Group.PortalIndex);
    Item.BatchItemKind = zbikBSPGROUP;
    Item.GroupIndex = g;
    Item.VBOIndex = -1;
    Item.LightMapAtlasIndex = Group.LightMapAtlas;
    Item.MeshTypeIndex = Group.FaceType;
    Item.EffectIndex = Group.EffectIndex;
    Item.FaceIndex = -1;
  };
  ForEachModelItem(*BSP, CountGroups, WorldModelIndex, &TBSPMapModel::GroupIndex, &TBSPMapModel::CountGroups, AddGroup);
  Presort(Scratch, SortedGroupBatchItems);
  GroupBatchItems.assign(static_cast<size_t>(CountGroups), nullptr);
  for (TZNT1BatchItem& Item : SortedGroupBatchItems) GroupBatchItems[static_cast<size_t>(Item.GroupIndex)] = &Item;
  ResetGroupsBitmap();
  VisibleCounter = 0;
}

void TZNT1RendererContext::CheckFrameBufferObject() {
  if (Engine->Dedicated) return;
  const TZNT1GLCapabilities* Caps = Engine->GLCapabilities.get();
  const bool Shadow = ContextTask == ctSHADOWMAP || ContextTask == ctSHADOWCUBEMAP;
  const int32_t W = std::max(1, Shadow ? Renderer->ShadowMapWidth : CanvasWidth);
  const int32_t H = std::max(1, Shadow ? Renderer->ShadowMapHeight : CanvasHeight);
  if (FrameBufferObject && (FrameBufferObject->Width != W || FrameBufferObject->Height != H)) FrameBufferObject.reset();
  const int32_t ShadowFormat = Caps ? Caps->ShadowMapTextureFormat : GL_TEXTURE_R32F;
  switch (ContextTask) {
    case ctGEOMETRYFILL:
    case ctGEOMETRYFILLPORTAL:
      if (!FrameBufferObject)
        // The stencil marks where the sun's shadows can fall (the light and shadow prepass).
        FrameBufferObject = std::make_unique<TZNT1FrameBufferObject>(
            Engine, W, H, 3, false, false, true, true, true, Caps && Caps->DepthStencilType != 0,
            std::vector<int32_t>{ShadowFormat == GL_TEXTURE_RG32F ? GL_TEXTURE_RGBA32F : GL_TEXTURE_RGBA8}, false, 0);
      break;
    case ctSHADOWMAP: {
      if (!FrameBufferObject)
        FrameBufferObject = std::make_unique<TZNT1FrameBufferObject>(
            Engine, W, H, 1, false, false, true, true, true, false, std::vector<int32_t>{ShadowFormat}, false, 0);
      const int32_t TW = std::max(1, (W + 1) / 2), TH = std::max(1, (H + 1) / 2);
      if (TempFrameBufferObject && (TempFrameBufferObject->Width != TW || TempFrameBufferObject->Height != TH))
        TempFrameBufferObject.reset();
      if (!TempFrameBufferObject)
        TempFrameBufferObject = std::make_unique<TZNT1FrameBufferObject>(
            Engine, TW, TH, 1, false, false, true, true, false, false, std::vector<int32_t>{ShadowFormat}, false, 0);
      break;
    }
    case ctSHADOWCUBEMAP:
      if (!FrameBufferObject) {
        const bool SinglePass = Caps && Caps->UseSinglePassShadowCubeMaps;
        FrameBufferObject = std::make_unique<TZNT1FrameBufferObject>(
            Engine, W, H, 1, true, SinglePass, true, true, true, false,
            SinglePass ? std::vector<int32_t>{GL_TEXTURE_RGBA8, GL_TEXTURE_D24} : std::vector<int32_t>{GL_TEXTURE_RGBA8},
            false, 0);
      }
      break;
    default:
      if (!FrameBufferObject)
        FrameBufferObject = std::make_unique<TZNT1FrameBufferObject>(
            Engine, W, H, 1, false, false, true, true, true, Caps && Caps->DepthStencilType != 0,
            std::vector<int32_t>{GL_TEXTURE_RGBA8}, false, 0);
      break;
  }
}

void TZNT1RendererContext::Render(int32_t ContextIndex) {
  if (Engine->Dedicated) return;
  HasShadowReceivers = false;
  CurrentContextIndex = ContextIndex;
  const bool ColourView = ContextTask == ctNORMAL || ContextTask == ctPORTAL;
  ShadowRegionsBounded = false;
  if (ColourView) MarkRendererStage("visibility", ContextIndex);
  Check();
  if (FrameBufferObject) CheckFrameBufferObject();
  InitRendering();
  WalkThroughMap();
  SearchInsideEffect();
  if (!(ContextTask == ctSHADOWMAP && ShadowMapPass == 2)) InsertModelBatchItems();
  const bool ShadowTask = ContextTask == ctSHADOWMAP || ContextTask == ctSHADOWCUBEMAP;
  if (CountBatchItems == 0 || (ShadowTask && !HasShadowReceivers)) {
    BeginRendering();
    FinishRendering();
    return;
  }
  Renderer->CountBatchItems += static_cast<uint32_t>(CountBatchItems);
  if (ContextTask == ctNORMAL || ContextTask == ctPORTAL) {
    RenderPortals(ContextIndex);
    if (!(Engine->GLCapabilities && Engine->GLCapabilities->LowQuality)) {
      // The geometry buffers are read only by the passes of finished shadow maps and of lights
      // in view; the shadow maps do not need them, so they come first and decide.
      MarkRendererStage("shadow maps", ContextIndex);
      RenderModelShadowMaps();
      // The geometry fill marks where the finished slots' shadows can fall, for the fill passes.
      ShadowRegionsBounded = !TwoChannelShadows() && AllModelShadowMapBitmap != 0 && GatherShadowRegions(ShadowRegions);
      MarkRendererStage("geometry fill", ContextIndex);
      if (PrepassReadsGeometryFill()) RenderGeometryFill();
      MarkRendererStage("light buffer", ContextIndex);
      RenderLightAndShadowPrepass();
    }
  }
  if (ColourView) MarkRendererStage("scene", ContextIndex);
  Renderer->CurrentContext = this;
  SortBatchItems();
  ResetVBOs();
  BeginRendering();
  if (ContextTask == ctSHADOWCUBEMAP) {
    if (FrameBufferObject) {
      auto Face = [this] {
        glDrawBuffers(1, DrawBuffers);
        glViewport(ViewPortLeft, ViewPortTop, ViewPortRight, ViewPortBottom);
        glClearColor(1, 1, 1, 1);
        glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
        State->SetDepthMask(true);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        Renderer->GLCalls += 5;
        RenderBatchItems(false);
      };
      glBindFramebuffer(GL_FRAMEBUFFER, FrameBufferObject->FrameBuffer);
      ++Renderer->GLCalls;
      if (Engine->GLCapabilities && Engine->GLCapabilities->UseSinglePassShadowCubeMaps) {
        Face();
      } else {
        // One face at a time where layered programs are unavailable.
        for (CubeMapSide = 0; CubeMapSide < 6; ++CubeMapSide) {
          glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, CubeMapTexs[CubeMapSide],
                                 FrameBufferObject->TextureHandles[0], 0);
          ++Renderer->GLCalls;
          Face();
        }
        CubeMapSide = 0;
      }
    }
  } else {
    RenderBatchItems(false);
    if ((ContextTask == ctNORMAL || ContextTask == ctPORTAL) && Renderer->WireFrame) {
      State->SetDepthRange(0, 0);
      RenderBatchItems(true);
      State->SetDepthRange(0, 1);
    }
  }
  FinishRendering();
}

// ---------------------------------------------------------------------------------------------
// Visibility walk and batch items

namespace {

bool IsShadowTask(int32_t Task) { return Task == ctSHADOWMAP || Task == ctSHADOWCUBEMAP; }

// Whether cluster Test is in the potentially visible set of Current. Clusters outside the
// visibility rows (the header's count and the padding bits are not tied to the leaves)
// read as not visible; DefaultValue without data or for negative clusters.
bool ClusterVisible(const TZNT1BSP& BSP, int32_t Current, int32_t Test, bool DefaultValue) {
  if (!BSP.BSPVisData.Valid || Current < 0 || Test < 0) return DefaultValue;
  return BSP.IsClusterVisible(Current, Test, false);
}

bool LeafFromLeafVisible(const TZNT1BSP& BSP, int32_t A, int32_t B, bool DefaultValue) {
  if (A < 0 || B < 0) return DefaultValue;
  if (A >= BSP.CountBSPLeafs || B >= BSP.CountBSPLeafs || size_t(A) >= BSP.BSPMapLeafs.size() ||
      size_t(B) >= BSP.BSPMapLeafs.size())
    return DefaultValue;
  const int32_t ca = BSP.BSPMapLeafs[size_t(A)].Cluster, cb = BSP.BSPMapLeafs[size_t(B)].Cluster;
  if (ca < 0 || cb < 0) return false;
  if (ca == cb) return true;
  return ClusterVisible(BSP, ca, cb, true);
}

TZNT1AABB EmptyBoxAt(const TZNT1Vector3& p) {
  TZNT1AABB b;
  b.Min = p;
  b.Max = p;
  return b;
}

float FarthestCorner(const TZNT1AABB& Box, const TZNT1Vector3& From, float Start) {
  float Result = Start;
  for (int i = 0; i < 8; ++i) {
    const TZNT1Vector3 c =
        Vector3((i & 1) ? Box.Max.x : Box.Min.x, (i & 2) ? Box.Max.y : Box.Min.y, (i & 4) ? Box.Max.z : Box.Min.z);
    Result = Max(Result, Vector3Dist(c, From));
  }
  return Result;
}

}  // namespace

void TZNT1RendererContext::WalkThroughMap() {
  SkyShader = nullptr;
  CountBatchItems = 0;
  CountPortalsToDraw = 0;
  CountLeafsToDraw = 0;
  CountClustersToDraw = 0;
  CountGroupsToDraw = 0;
  GetCurrentLeafAndCluster();
  ExtractWalkthroughFrustum();
  if (BSP && BSP->CountBSPGroups > 0) {
    SearchVisibleGroups();
    GetRenderingZFarPlane();
    BuildGroupQueue();
    CreateGroupBatchItems();
  } else if (BSP) {
    if (!(IsShadowTask(ContextTask) && ShadowMapIgnoreBSP && !(ContextTask == ctSHADOWMAP && ShadowMapPass == 2)) &&
        BSP->CountBSPNodes > 0)
      WalkTree(0, false);
    GetRenderingZFarPlane();
    CreateFaceBatchItems();
  }
  LastRenderLeaf = RenderLeaf;
  LastRenderCluster = RenderCluster;
}

void TZNT1RendererContext::GetCurrentLeafAndCluster() {
  if (!BSP || BSP->CountBSPNodes <= 0) {
    RenderLeaf = -1;
    RenderCluster = -1;
    return;
  }
  const TZNT1Vector3 p = ContextTask >= ctSHADOWMAP ? ShadowMapLightOrigin : (Portal ? PortalPosition : RenderPosition);
  RenderLeaf = BSP->FindLeaf(p);
  if (RenderLeaf < 0 || RenderLeaf >= BSP->CountBSPLeafs || size_t(RenderLeaf) >= BSP->BSPMapLeafs.size())
    RenderCluster = -1;
  else
    RenderCluster = std::max(-1, BSP->BSPMapLeafs[size_t(RenderLeaf)].Cluster);
}

void TZNT1RendererContext::ExtractWalkthroughFrustum() {
  if (!BSP) return;
  TransformedAABB = BSP->WorldAABB;
  FarClippingDistance = FarthestCorner(TransformedAABB, RenderPosition, 1024.0f);
  if (NearClippingDistance >= FarClippingDistance) NearClippingDistance = Max(FarClippingDistance - 128.0f, 1.0f);
  if (ContextTask >= ctSHADOWMAP) {
    TranslatedViewMatrix = ShadowMapViewMatrix;
    if (ContextTask == ctSHADOWCUBEMAP &&
        !(Engine->GLCapabilities && Engine->GLCapabilities->UseSinglePassShadowCubeMaps))
      TranslatedViewMatrix = CubeMapMatrices[std::clamp(CubeMapSide, 0, 5)];
    ProjectionMatrix = ShadowMapProjectionMatrix;
  } else {
    Matrix4x4Perspective(ProjectionMatrix, FOV, float(std::max(1, CanvasWidth)) / float(std::max(1, CanvasHeight)),
                         NearClippingDistance, FarClippingDistance);
  }
  if (ClipPlaneActive) ProjectionMatrix = Matrix4x4ProjectionMatrixClip(ProjectionMatrix, TransformedClipPlane);
  InverseProjectionMatrix = Matrix4x4TermInverse(ProjectionMatrix);
  ViewProjectionMatrix = Matrix4x4TermMul(TranslatedViewMatrix, ProjectionMatrix);
  InverseViewProjectionMatrix = Matrix4x4TermInverse(ViewProjectionMatrix);
  Frustum->ExtractFrustum(TranslatedViewMatrix, ProjectionMatrix);
  if (IsShadowTask(ContextTask) || ContextTask == ctFACEID) {
    FrustumAABB = BSP->WorldAABB;
    FrustumSphere = SphereFromAABB(FrustumAABB);
  } else {
    FrustumSphere = SphereFromFrustum(NearClippingDistance, FarClippingDistance, FOV,
                                      float(std::max(1, CanvasWidth)) / float(std::max(1, CanvasHeight)),
                                      RenderPosition, ViewAxis[0]);
    FrustumAABB.Min = Vector3Sub(FrustumSphere.Center, Vector3(FrustumSphere.Radius, FrustumSphere.Radius, FrustumSphere.Radius));
    FrustumAABB.Max = Vector3Add(FrustumSphere.Center, Vector3(FrustumSphere.Radius, FrustumSphere.Radius, FrustumSphere.Radius));
  }
}

void TZNT1RendererContext::WalkTree(int32_t Node, bool CheckFrustum) {
  // An explicit stack: a map's tree may be deep, and a broken one must not recurse forever.
  struct TEntry {
    int32_t Node;
    bool CheckFrustum;
  };
  std::vector<TEntry> Pending;
  Pending.push_back({Node, CheckFrustum});
  size_t Steps = 0;
  const size_t MaxSteps = size_t(std::max(0, BSP->CountBSPNodes)) * 2 + size_t(std::max(0, BSP->CountBSPLeafs)) + 16;
  while (!Pending.empty() && Steps++ < MaxSteps) {
    const TEntry e = Pending.back();
    Pending.pop_back();
    if (e.Node < 0) {
      AddLeaf(-(e.Node + 1), e.CheckFrustum);
      continue;
    }
    if (e.Node >= BSP->CountBSPNodes || size_t(e.Node) >= BSP->BSPMapNodes.size()) continue;
    const TBSPMapNode& n = BSP->BSPMapNodes[size_t(e.Node)];
    bool Check = e.CheckFrustum;
    if (Check) {
      const int32_t r = Frustum->SphereInFrustum(n.Sphere, 128.0f);
      if (r == COMPLETE_OUT) continue;
      if (r == COMPLETE_IN) Check = false;
    }
    float d = 0.0f;
    if (n.Plane >= 0 && size_t(n.Plane) < BSP->BSPPlanes.size()) {
      const TBSPPlane& p = BSP->BSPPlanes[size_t(n.Plane)];
      d = Vector3Dot(p.Normal, RenderPosition) - p.Distance;
    }
    // Pushed in reverse so that the near child is walked first.
    if (d > 0) {
      Pending.push_back({n.Back, Check});
      Pending.push_back({n.Front, Check});
    } else {
      Pending.push_back({n.Front, Check});
      Pending.push_back({n.Back, Check});
    }
  }
}

void TZNT1RendererContext::AddLeaf(int32_t LeafIndex, bool CheckFrustum) {
  if (LeafIndex < 0 || LeafIndex >= BSP->CountBSPLeafs || size_t(LeafIndex) >= BSP->BSPMapLeafs.size()) return;
  TBSPMapLeaf& l = BSP->BSPMapLeafs[size_t(LeafIndex)];
  if (CheckFrustum && Frustum->SphereInFrustum(l.Sphere, 128.0f) == COMPLETE_OUT) return;
  uint32_t& Stamp = l.VisibleFrame[std::clamp(CurrentContextIndex + 1, 0, BSPCountContexts - 1)];
  if (Stamp == Renderer->VisibleFrame) return;
  if (RenderLeaf >= 0 && LeafIndex != RenderLeaf && !SeesEverything()) {
    if (l.Cluster < 0) return;
    if (l.Cluster != RenderCluster && !ClusterVisible(*BSP, RenderCluster, l.Cluster, true) &&
        !ClusterVisible(*BSP, l.Cluster, RenderCluster, true))
      return;
  }
  Stamp = Renderer->VisibleFrame;
  if (size_t(CountLeafsToDraw) >= LeafsToDraw.size()) LeafsToDraw.resize(RoundUpToPowerOfTwo(uint32_t(CountLeafsToDraw) + 1));
  LeafsToDraw[size_t(CountLeafsToDraw++)] = LeafIndex;
}

void TZNT1RendererContext::SearchVisibleGroups() {
  const int32_t CountClusters = std::min<int32_t>(BSP->CountBSPClusters, int32_t(BSP->BSPClusters.size()));
  const int32_t CountGroups = std::min<int32_t>(BSP->CountBSPGroups, int32_t(BSP->BSPGroups.size()));
  if ((VisibleCounter & 0x7FFFFFFFu) == 0) {
    std::fill(ClusterCounters.begin(), ClusterCounters.end(), ~VisibleCounter);
    std::fill(GroupCounters.begin(), GroupCounters.end(), ~VisibleCounter);
  }
  CountClustersToDraw = 0;
  CountGroupsToDraw = 0;
  CountPortalsToDraw = 0;
  auto ListGroup = [&](int32_t g) {
    if (g < 0 || g >= CountGroups || size_t(g) >= GroupCounters.size()) return;
    if (GroupCounters[size_t(g)] == VisibleCounter) return;
    GroupCounters[size_t(g)] = VisibleCounter;
    GroupsToDraw[size_t(CountGroupsToDraw++)] = g;
  };
  auto ListCluster = [&](int32_t c) {
    if (c < 0 || c >= CountClusters || size_t(c) >= ClusterCounters.size()) return;
    if (ClusterCounters[size_t(c)] == VisibleCounter) return;
    ClusterCounters[size_t(c)] = VisibleCounter;
    ClustersToDraw[size_t(CountClustersToDraw++)] = c;
  };
  const TBSPVisData& Vis = BSP->BSPVisData;
  const bool ShadowIgnore =
      IsShadowTask(ContextTask) && ShadowMapIgnoreBSP && !(ContextTask == ctSHADOWMAP && ShadowMapPass == 2);
  const bool UsePVS = Vis.Valid && RenderCluster >= 0 && RenderCluster < Vis.Header.numOfClusters &&
                      RenderCluster < CountClusters && !ShadowIgnore && !SeesEverything();
  int32_t m0 = (UsePVS || ShadowIgnore) ? 1 : 0;
  if (UsePVS) {
    ListCluster(RenderCluster);
    const size_t Bytes = size_t(std::max(0, Vis.Header.BytesProCluster));
    const size_t Row = size_t(RenderCluster) * Bytes;
    for (size_t k = 0; k < Bytes && Row + k < Vis.pBitsets.size(); ++k) {
      const uint8_t v = Vis.pBitsets[Row + k];
      if (!v) continue;
      for (int b = 0; b < 8; ++b)
        if (v & (1u << b)) ListCluster(int32_t(k * 8 + size_t(b)));  // bits past the clusters are padding
    }
    for (int32_t i = 0; i < CountClustersToDraw; ++i) {
      const TBSPCluster& c = BSP->BSPClusters[size_t(ClustersToDraw[size_t(i)])];
      const int32_t n = std::min<int32_t>(c.CountGroups, int32_t(c.Groups.size()));
      for (int32_t j = 0; j < n; ++j) ListGroup(c.Groups[size_t(j)]);
    }
  }
  const int32_t CountModels = std::min<int32_t>(BSP->CountBSPModels, int32_t(BSP->BSPMapModels.size()));
  for (int32_t m = m0; m < CountModels; ++m) {
    const TBSPMapModel& Model = BSP->BSPMapModels[size_t(m)];
    if (m > 0) {
      if (!Model.Visible) continue;
      if (!SeesEverything() && !ClusterVisible(*BSP, RenderCluster, Model.ViewTransformedCluster, true)) continue;
      if (ShadowIgnore && !Model.CastShadowToProcess) continue;
    }
    const int64_t Last = int64_t(Model.GroupIndex) + int64_t(Model.CountGroups);
    for (int64_t g = std::max<int64_t>(0, Model.GroupIndex); g < Last && g < CountGroups; ++g) ListGroup(int32_t(g));
  }
  // Portals seen from here.
  for (int32_t i = 0; i < CountGroupsToDraw; ++i) {
    const TBSPGroup& g = BSP->BSPGroups[size_t(GroupsToDraw[size_t(i)])];
    const int32_t n = std::min<int32_t>(g.CountPortals, int32_t(g.Portals.size()));
    for (int32_t j = 0; j < n; ++j) CollectPortal(g.Portals[size_t(j)]);
  }
  ++VisibleCounter;
}

void TZNT1RendererContext::CollectPortal(int32_t Index) {
  if (Index < 0 || Index >= BSP->CountPortals || size_t(Index) >= BSP->Portals.size()) return;
  TZNT1Portal& p = BSP->Portals[size_t(Index)];
  uint32_t& Stamp = p.VisibleFrame[std::clamp(CurrentContextIndex + 1, 0, BSPCountContexts - 1)];
  if (Stamp == Renderer->VisibleFrame) return;
  const float d = PlaneVectorDistance(p.Plane, RenderPosition);
  const bool Everything = SeesEverything();
  if (!p.SourceMirror && std::fabs(d) >= p.PortalRange && !Everything) return;
  if (d < 0 || Everything) {
    Stamp = Renderer->VisibleFrame;
    if (size_t(CountPortalsToDraw) < PortalsToDraw.size()) PortalsToDraw[size_t(CountPortalsToDraw++)] = &p;
  }
}

void TZNT1RendererContext::GetRenderingZFarPlane() {
  TransformedAABB = EmptyBoxAt(RenderPosition);
  if (BSP) {
    if (ContextTask >= ctSHADOWMAP) {
      TransformedAABB = ShadowMapAABB;
    } else if (BSP->BSPVisData.Valid && !SeesEverything()) {
      if (BSP->CountBSPGroups > 0) {
        for (int32_t i = 0; i < CountClustersToDraw; ++i)
          TransformedAABB = AABBCombine(TransformedAABB, BSP->BSPClusters[size_t(ClustersToDraw[size_t(i)])].AABB);
      } else {
        for (int32_t i = 0; i < CountLeafsToDraw; ++i)
          TransformedAABB = AABBCombine(TransformedAABB, BSP->BSPMapLeafs[size_t(LeafsToDraw[size_t(i)])].AABB);
      }
    } else {
      TransformedAABB = BSP->WorldAABB;
    }
  }
  FarClippingDistance = FarthestCorner(TransformedAABB, RenderPosition, 1024.0f);
}

bool TZNT1RendererContext::SeesEverything() const {
  return Renderer->DrawEverything && !IsShadowTask(ContextTask);
}

bool TZNT1RendererContext::PassesFilters(TZNT1Shader* Shader, int32_t FaceType) const {
  if (!Shader) return false;
  if (Shader->SurfaceFlags & SURF_NODRAW) return false;
  if (FaceType == FACE_BAD || FaceType == FACE_FLARE) return false;
  if (FaceType == FACE_PATCH && !Renderer->Curves) return false;
  return true;
}

void TZNT1RendererContext::MarkBit(std::vector<uint32_t>& Bitmap, uint32_t Bit, uint32_t& First, uint32_t& Last) {
  const uint32_t w = Bit >> 5;
  if (w >= Bitmap.size()) return;
  Bitmap[w] |= 1u << (Bit & 31);
  if (First == 0xFFFFFFFFu || w < First) First = w;
  if (w > Last) Last = w;
}

void TZNT1RendererContext::AddFaceToBitmap(int32_t AFaceIndex) {
  if (!BSP || AFaceIndex < 0 || size_t(AFaceIndex) >= FaceBatchItems.size() || AFaceIndex >= BSP->CountBSPFaces) return;
  const TBSPMapFace& f = BSP->BSPMapFaces[size_t(AFaceIndex)];
  if (!PassesFilters(f.Shader, f.FaceType)) return;
  const TZNT1BatchItem* Item = FaceBatchItems[size_t(AFaceIndex)];
  if (Item) MarkBit(FacesBitmap, Item->SortIndex, FacesBitmapFirst, FacesBitmapLast);
}

void TZNT1RendererContext::AddGroupToBitmap(int32_t AGroupIndex) {
  if (!BSP || AGroupIndex < 0 || size_t(AGroupIndex) >= GroupBatchItems.size() || AGroupIndex >= BSP->CountBSPGroups)
    return;
  const TBSPGroup& g = BSP->BSPGroups[size_t(AGroupIndex)];
  if (!PassesFilters(g.Shader, g.FaceType)) return;
  const TZNT1BatchItem* Item = GroupBatchItems[size_t(AGroupIndex)];
  if (Item) MarkBit(GroupsBitmap, Item->SortIndex, GroupsBitmapFirst, GroupsBitmapLast);
}

namespace {

// Calls AddItem for every marked index in ascending order, then clears the marks and the range.
template <class F>
void DrainBitmap(std::vector<uint32_t>& Bitmap, uint32_t& First, uint32_t& Last, F&& AddItem) {
  if (First != 0xFFFFFFFFu) {
    for (uint32_t w = First; w <= Last && w < Bitmap.size(); ++w) {
      for (uint32_t v = Bitmap[w]; v != 0; v &= v - 1) AddItem(w * 32 + uint32_t(std::countr_zero(v)));
      Bitmap[w] = 0;
    }
  }
  First = 0xFFFFFFFFu;
  Last = 0;
}

}  // namespace

void TZNT1RendererContext::FlushFacesBitmap() {
  DrainBitmap(FacesBitmap, FacesBitmapFirst, FacesBitmapLast,
              [this](uint32_t i) { AddBatchItem(&SortedFaceBatchItems[i]); });
}

void TZNT1RendererContext::FlushGroupsBitmap() {
  DrainBitmap(GroupsBitmap, GroupsBitmapFirst, GroupsBitmapLast,
              [this](uint32_t i) { AddBatchItem(&SortedGroupBatchItems[i]); });
}

void TZNT1RendererContext::ResetFacesBitmap() {
  std::fill(FacesBitmap.begin(), FacesBitmap.end(), 0u);
  FacesBitmapFirst = 0xFFFFFFFFu;
  FacesBitmapLast = 0;
}

void TZNT1RendererContext::ResetGroupsBitmap() {
  std::fill(GroupsBitmap.begin(), GroupsBitmap.end(), 0u);
  GroupsBitmapFirst = 0xFFFFFFFFu;
  GroupsBitmapLast = 0;
}

void TZNT1RendererContext::NoteMaterial(TZNT1Shader* Shader) {
  if (!Shader) return;
  if (Shader->IsSky && !SkyShader) SkyShader = Shader;
  if (Shader->Sort == SORT_OPAQUE) HasShadowReceivers = true;
}

void TZNT1RendererContext::BuildGroupQueue() {
  for (int32_t i = 0; i < CountGroupsToDraw; ++i) {
    const int32_t gi = GroupsToDraw[size_t(i)];
    NoteMaterial(BSP->BSPGroups[size_t(gi)].Shader);
    AddGroupToBitmap(gi);
  }
  // The list becomes the marked presorted positions, in order.
  CountGroupsToDraw = 0;
  if (GroupsBitmapFirst != 0xFFFFFFFFu) {
    for (uint32_t w = GroupsBitmapFirst; w <= GroupsBitmapLast && w < GroupsBitmap.size(); ++w) {
      const uint32_t v = GroupsBitmap[w];
      if (!v) continue;
      for (uint32_t b = 0; b < 32; ++b)
        if (v & (1u << b)) GroupsToDraw[size_t(CountGroupsToDraw++)] = int32_t(w * 32 + b);
      GroupsBitmap[w] = 0;
    }
  }
  GroupsBitmapFirst = 0xFFFFFFFFu;
  GroupsBitmapLast = 0;
}

void TZNT1RendererContext::CreateGroupBatchItems() {
  for (int32_t i = 0; i < CountGroupsToDraw; ++i) AddBatchItem(&SortedGroupBatchItems[size_t(GroupsToDraw[size_t(i)])]);
}

void TZNT1RendererContext::CreateFaceBatchItems() {
  if (!BSP) return;
  for (int32_t i = 0; i < CountLeafsToDraw; ++i) {
    TBSPMapLeaf& l = BSP->BSPMapLeafs[size_t(LeafsToDraw[size_t(i)])];
    Leaf = &l;
    for (int64_t k = 0; k < l.CountLeafFaces; ++k) {
      const int64_t Slot = int64_t(l.leafface) + k;
      if (Slot < 0 || Slot >= int64_t(BSP->BSPLeafFaces.size())) break;
      const int32_t f = BSP->BSPLeafFaces[size_t(Slot)];
      if (f < 0 || f >= BSP->CountBSPFaces || size_t(f) >= BSP->BSPMapFaces.size()) continue;
      NoteMaterial(BSP->BSPMapFaces[size_t(f)].Shader);
      AddFaceToBitmap(f);
    }
    const int32_t n = std::min<int32_t>(l.CountLeafPortals, int32_t(l.leafPortals.size()));
    for (int32_t j = 0; j < n; ++j) CollectPortal(l.leafPortals[size_t(j)]);
  }
  if (CountLeafsToDraw == 0 && !IsShadowTask(ContextTask)) {
    FlushFacesBitmap();
    return;
  }
  const int32_t CountModels = std::min<int32_t>(BSP->CountBSPModels, int32_t(BSP->BSPMapModels.size()));
  for (int32_t m = 1; m < CountModels; ++m) {
    const TBSPMapModel& Model = BSP->BSPMapModels[size_t(m)];
    if (!Model.Visible || Model.CountFaces <= 0) continue;
    if (!IsShadowTask(ContextTask) && !SeesEverything()) {
      if (Model.ViewTransformedCluster >= 0) {
        if (!ClusterVisible(*BSP, RenderCluster, Model.ViewTransformedCluster, true)) continue;
      } else if (!AABBIntersectEx(Model.ViewTransformedAABB, TransformedAABB, 128.0f)) {
        continue;
      }
    }
    HasShadowReceivers = true;
    const int64_t Last = int64_t(Model.FaceIndex) + int64_t(Model.CountFaces);
    for (int64_t f = std::max<int64_t>(0, Model.FaceIndex); f < Last && f < BSP->CountBSPFaces; ++f)
      AddFaceToBitmap(int32_t(f));
  }
  FlushFacesBitmap();
}

void TZNT1RendererContext::SearchInsideEffect() {
  RenderEffectIndex = -1;
  if (!BSP) return;
  const int32_t n = std::min<int32_t>(BSP->CountBSPMapEffects, int32_t(BSP->BSPMapEffects.size()));
  for (int32_t i = 0; i < n; ++i)
    if (AABBContains(BSP->BSPMapEffects[size_t(i)].AABB, RenderPosition)) {
      RenderEffectIndex = i;
      return;
    }
}

int32_t TZNT1RendererContext::AddBatchItem(TZNT1BatchItem* Item) {
  if (Item->SortKey < 0) return 0;
  TZNT1SortKeyBatchItem& Bucket = SortKeyBatchs[size_t(std::min(Item->SortKey, CountSortKeyBatchs - 1))];
  const int32_t n = Bucket.CountBatchItems;
  // Grown before the store: buckets start empty.
  if (Bucket.BatchItems.size() <= size_t(n)) Bucket.BatchItems.resize(RoundUpToPowerOfTwo(uint32_t(n) + 1));
  Bucket.BatchItems[size_t(n)] = Item;
  Bucket.CountBatchItems = n + 1;
  ++CountBatchItems;
  return n;
}

void TZNT1RendererContext::SortBatchItems() {
  if (CountBatchItems < 2) return;
  for (int32_t k = 0; k < CountSortKeyBatchs; ++k) {
    TZNT1SortKeyBatchItem& Bucket = SortKeyBatchs[size_t(k)];
    if (Bucket.CountBatchItems < 2 || Bucket.Sorted) continue;
    void** Items = Bucket.BatchItems.data();
    const int32_t Right = Bucket.CountBatchItems - 1;
    if (k == 17)
      IntroSort(Items, 0, Right, [](const void* a, const void* b) { return CompareAllAboveBatchItems(ItemOf(a), ItemOf(b)); });
    else if (k == 5 || (k >= 9 && k <= 12))
      IntroSort(Items, 0, Right,
                [](const void* a, const void* b) { return CompareTransparentBatchItems(ItemOf(a), ItemOf(b)); });
    else
      IntroSort(Items, 0, Right, [](const void* a, const void* b) { return CompareOpaqueBatchItems(ItemOf(a), ItemOf(b)); });
  }
}

// ---------------------------------------------------------------------------------------------
// Batch rendering

namespace {

bool ValidEffect(const TZNT1BSP* BSP, int32_t Index) {
  return BSP && Index >= 0 && Index < BSP->CountBSPMapEffects && size_t(Index) < BSP->BSPMapEffects.size();
}

TZNT1Texture* TextureOr(TZNT1Texture* t, TZNT1Texture* Fallback) { return t ? t : Fallback; }

uint32_t HandleOf(const TZNT1Texture* t) { return t ? t->Handle : 0u; }

}  // namespace

void TZNT1RendererContext::InitRendering() {
  // Only colour views own these entries: a fill or shadow view rendered with index -1 would
  // otherwise clear what the camera view's portal pass just set.
  if (BSP && (ContextTask == ctNORMAL || ContextTask == ctPORTAL)) {
    const size_t Slot = size_t(std::clamp(CurrentContextIndex + 1, 0, BSPCountContexts - 1));
    for (TZNT1Portal& p : BSP->Portals) p.Visible[Slot] = false;
  }
  for (int32_t k = 0; k < CountSortKeyBatchs; ++k) {
    SortKeyBatchs[size_t(k)].CountBatchItems = 0;
    SortKeyBatchs[size_t(k)].DepthOnly = true;
    SortKeyBatchs[size_t(k)].Sorted = k != 17;
  }
  CountBatchItems = 0;
  CountPortalsToDraw = 0;
  FallbackContextIndex = -1;
  if (ContextTask >= ctSHADOWMAP && BSP) {
    TranslatedViewMatrix = ShadowMapViewMatrix;
    if (ContextTask == ctSHADOWCUBEMAP &&
        !(Engine->GLCapabilities && Engine->GLCapabilities->UseSinglePassShadowCubeMaps))
      TranslatedViewMatrix = CubeMapMatrices[std::clamp(CubeMapSide, 0, 5)];
    ProjectionMatrix = ShadowMapProjectionMatrix;
  } else {
    TranslatedViewMatrix = Matrix4x4TermMul(ViewMatrix, Matrix4x4Flip);
  }
  InverseViewMatrix = Matrix4x4TermInverse(TranslatedViewMatrix);
  RenderPosition = Vector3(InverseViewMatrix.M[3][0], InverseViewMatrix.M[3][1], InverseViewMatrix.M[3][2]);
  RenderDirection = Vector3Norm(Vector3TermMatrixMulEx(Vector3(0, 0, -1), InverseViewMatrix));
  RotationMatrix = TranslatedViewMatrix;
  RotationMatrix.M[3][0] = RotationMatrix.M[3][1] = RotationMatrix.M[3][2] = 0;
  RenderOrigin = Vector3Origin;
  const TZNT1Matrix4x4& t = TranslatedViewMatrix;
  ViewAxis[0] = Vector3(-t.M[0][2], -t.M[1][2], -t.M[2][2]);
  ViewAxis[1] = Vector3(t.M[0][0], t.M[1][0], t.M[2][0]);
  ViewAxis[2] = Vector3(t.M[0][1], t.M[1][1], t.M[2][1]);
  Axis[0] = Vector3(1, 0, 0);
  Axis[1] = Vector3(0, 1, 0);
  Axis[2] = Vector3(0, 0, 1);
  TransformedClipPlane =
      ClipPlaneActive ? PlaneMatrixMul(ClipPlane, Matrix4x4TermTranspose(InverseViewMatrix)) : ClipPlane;
  HasShadowReceivers = false;
}

void TZNT1RendererContext::BeginRendering() {
  InterpolateVertices = false;
  CurrentViewMatrix = TranslatedViewMatrix;
  State->Reset();
  if (NearClippingDistance >= FarClippingDistance) NearClippingDistance = Max(FarClippingDistance - 128.0f, 1.0f);
  if (ContextTask >= ctSHADOWMAP) {
    ProjectionMatrix = ShadowMapProjectionMatrix;
  } else {
    Matrix4x4Perspective(ProjectionMatrix, FOV, float(std::max(1, CanvasWidth)) / float(std::max(1, CanvasHeight)),
                         NearClippingDistance, FarClippingDistance);
  }
  Frustum->ExtractFrustum(TranslatedViewMatrix, ProjectionMatrix);
  if (IsShadowTask(ContextTask) || ContextTask == ctFACEID) {
    if (BSP) FrustumAABB = BSP->WorldAABB;
    FrustumSphere = SphereFromAABB(FrustumAABB);
  } else {
    FrustumSphere = SphereFromFrustum(NearClippingDistance, FarClippingDistance, FOV,
                                      float(std::max(1, CanvasWidth)) / float(std::max(1, CanvasHeight)),
                                      RenderPosition, ViewAxis[0]);
    const TZNT1Vector3 r = Vector3(FrustumSphere.Radius, FrustumSphere.Radius, FrustumSphere.Radius);
    FrustumAABB.Min = Vector3Sub(FrustumSphere.Center, r);
    FrustumAABB.Max = Vector3Add(FrustumSphere.Center, r);
  }
  State->UseShader(nullptr);
  const bool CubeFaces = ContextTask == ctSHADOWCUBEMAP &&
                         !(Engine->GLCapabilities && Engine->GLCapabilities->UseSinglePassShadowCubeMaps);
  if (CubeFaces && FrameBufferObject)
    glBindFramebuffer(GL_FRAMEBUFFER, FrameBufferObject->FrameBuffer);
  else if (FrameBufferObject && UseFrameBufferObject)
    FrameBufferObject->Bind();
  glViewport(ViewPortLeft, ViewPortTop, ViewPortRight, ViewPortBottom);
  if (ContextTask == ctGEOMETRYFILL || ContextTask == ctGEOMETRYFILLPORTAL) {
    // The third target is read only by the two-channel shadow format, whose programs write it.
    const bool ThirdTarget = Engine->GLCapabilities && Engine->GLCapabilities->ShadowMapTextureFormat == GL_TEXTURE_RG32F;
    const int32_t n = FrameBufferObject ? std::min(FrameBufferObject->Textures, ThirdTarget ? 3 : 2) : 1;
    for (int32_t i = n - 1; i >= 0; --i) {
      glDrawBuffer(GL_COLOR_ATTACHMENT0 + GLenum(i));
      glViewport(ViewPortLeft, ViewPortTop, ViewPortRight, ViewPortBottom);
      glClearColor(0, 0, 0, 0);
      glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
      glClear(GL_COLOR_BUFFER_BIT);
    }
    glDrawBuffers(n, DrawBuffers);
    glViewport(ViewPortLeft, ViewPortTop, ViewPortRight, ViewPortBottom);
  } else if (!IsShadowTask(ContextTask)) {
    glClearColor(0, 0, 0, 1);
  }
  State->SetDepthMask(true);
  glClearDepth(1.0);
  glClearStencil(0);
  if (ContextTask == ctSHADOWMAP && Engine->GLCapabilities &&
      Engine->GLCapabilities->ShadowMapTextureFormat == GL_TEXTURE_RG32F) {
    if (ShadowMapPass == 2)
      glColorMask(GL_FALSE, GL_TRUE, GL_FALSE, GL_FALSE);
    else
      glColorMask(GL_TRUE, GL_FALSE, GL_FALSE, GL_FALSE);
    glClear(GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
  } else {
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  }
  if (!IsShadowTask(ContextTask)) glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
  StencilUsed = false;
  State->Enable(GL_DEPTH_TEST);
  State->Enable(GL_BLEND);
  State->Enable(GL_CULL_FACE);
  ScissorBegin();
  ShaderRGBA = Vector4(1, 1, 1, 1);
  ShaderTexCoord = Vector2(0, 0);
}

void TZNT1RendererContext::ScissorBegin() {
  if (!Clip2D) return;
  State->Enable(GL_SCISSOR_TEST);
  glScissor(Clip2DLeft, Clip2DTop, Clip2DRight - Clip2DLeft, Clip2DBottom - Clip2DTop);
}

void TZNT1RendererContext::ScissorEnd() {
  if (!Clip2D) return;
  glScissor(ViewPortLeft, ViewPortTop, ViewPortRight - ViewPortLeft, ViewPortBottom - ViewPortTop);
  State->Disable(GL_SCISSOR_TEST);
}

void TZNT1RendererContext::FinishRendering() {
  State->Disable(GL_POLYGON_OFFSET_FILL);
  ScissorEnd();
  Renderer->IncrementLinkCounter();
  if (FrameBufferObject && UseFrameBufferObject) FrameBufferObject->Unbind();
}

void TZNT1RendererContext::ResetVBOs() {
  if (!BSP) return;
  for (TBSPVBO& v : BSP->BSPVBOs) v.CountDynamicIndices = v.RangeCount = 0;
  for (TBSPVBO& v : BSP->BSPGroupVBOs) v.CountDynamicIndices = v.RangeCount = 0;
  for (TBSPGroup& g : BSP->BSPGroups)
    for (TBSPVBO& v : g.VBOs) v.CountDynamicIndices = v.RangeCount = 0;
}

void TZNT1RendererContext::BindLightMap(int32_t Atlas) {
  TZNT1Textures* Textures = Engine->Textures.get();
  const uint32_t White = Textures ? HandleOf(Textures->WhiteTexture) : 0u;
  TZNT1Textures* LightMaps = Engine->LightMaps.get();
  if (Atlas < 0 || !LightMaps || Atlas >= LightMaps->Count()) {
    State->BindTexture(GL_TEXTURE0, White, GL_TEXTURE_2D);
    State->BindTexture(GL_TEXTURE1, White, GL_TEXTURE_2D);
    return;
  }
  State->BindTexture(GL_TEXTURE0, HandleOf(LightMaps->GetItem(Atlas)), GL_TEXTURE_2D);
  int32_t Deluxe = -1;
  if (BSP && size_t(Atlas) < BSP->LightMapAtlasToDeluxeMap.size()) Deluxe = BSP->LightMapAtlasToDeluxeMap[size_t(Atlas)];
  State->BindTexture(GL_TEXTURE1, Deluxe > 0 && Deluxe < LightMaps->Count() ? HandleOf(LightMaps->GetItem(Deluxe)) : White,
                     GL_TEXTURE_2D);
}

void TZNT1RendererContext::ForgetBatchState() {
  UseMultiDrawElements = false;
  ModelMatrix = Matrix4x4Identity;
  SortedShaderIndex = GroupIndex = VBOIndex = LightMapAtlasIndex = ModelIndex = MeshTypeIndex = EffectIndex =
      PortalIndex = FaceIndex = MeshIndex = LevelOfDistanceIndex = BatchItemKind = NoKey;
  ModelInstance = nullptr;
  Group = nullptr;
  VBO = nullptr;
  CurrentShader = ResolvedShader = nullptr;
}

void TZNT1RendererContext::RenderBatchItems(bool AUseWireframe) {
  FlushCount = 0;
  UseWireframe = AUseWireframe;
  ForceValue = -1;
  ForgetBatchState();
  GLSLShader = nullptr;
  CurrentViewMatrix = (ContextTask == ctSHADOWCUBEMAP &&
                       !(Engine->GLCapabilities && Engine->GLCapabilities->UseSinglePassShadowCubeMaps))
                          ? CubeMapMatrices[std::clamp(CubeMapSide, 0, 5)]
                          : TranslatedViewMatrix;
  BatchHasContent = false;
  bool OverlayCleared = false;
  ShadowVolumesCounted = ShadowVolumesSplit = false;
  bool MarkVolumes = (ContextTask == ctGEOMETRYFILL || ContextTask == ctGEOMETRYFILLPORTAL) && !AUseWireframe &&
                     Parent && Parent->ShadowRegionsBounded && FrameBufferObject && FrameBufferObject->HasStencilBuffer;
  const bool MultiDraw = Engine->GLCapabilities ? Engine->GLCapabilities->MultiDrawElements : true;
  const TZNT1SortedShaders* Sorted = Engine->Shaders ? Engine->Shaders->SortedShaders.get() : nullptr;

  for (int32_t k = 0; k < CountSortKeyBatchs; ++k) {
    TZNT1SortKeyBatchItem& Bucket = SortKeyBatchs[size_t(k)];
    if (Bucket.CountBatchItems > 0) {
      FirstPass = 1;
      for (PassCounter = FirstPass; PassCounter <= 1; ++PassCounter) {
        for (int32_t i = 0; i < Bucket.CountBatchItems; ++i) {
          TZNT1BatchItem& Item = *Bucket.Item(i);
          if (MarkVolumes && (Item.SortKey & 0xFF) >= 128) {
            // Before the overlay clears the depth the scene's is there to count against.
            if (BatchHasContent) FlushDraw();
            BatchHasContent = false;
            MarkVolumes = false;
            CountShadowVolumes(Parent->ShadowRegions);
          }
          CurrentBatchItem = &Item;
          const bool MapItem = Item.BatchItemKind == zbikBSPFACE || Item.BatchItemKind == zbikBSPGROUP;
          bool Same = Item.SortedShaderIndex == SortedShaderIndex && Item.BatchItemKind == BatchItemKind;
          if (Same && MapItem)
            Same = Item.GroupIndex == GroupIndex && Item.VBOIndex == VBOIndex &&
                   Item.LightMapAtlasIndex == LightMapAtlasIndex && Item.ModelIndex == ModelIndex &&
                   Item.EffectIndex == EffectIndex && Item.PortalIndex == PortalIndex &&
                   ((Item.MeshTypeIndex == FACE_MESH) == (MeshTypeIndex == FACE_MESH));
          else if (Same)
            Same = Item.ModelInstance == ModelInstance && Item.MeshIndex == MeshIndex &&
                   Item.LevelOfDistanceIndex == LevelOfDistanceIndex && Item.EffectIndex == EffectIndex;
          if (!Same) {
            if (BatchHasContent) {
              FlushDraw();
              BatchHasContent = false;
            }
            if (Item.SortedShaderIndex != SortedShaderIndex) {
              SortedShaderIndex = Item.SortedShaderIndex;
              CurrentShader = (Sorted && SortedShaderIndex >= 0 && SortedShaderIndex < Sorted->Count())
                                  ? Sorted->GetItem(SortedShaderIndex)
                                  : nullptr;
              ResolvedShader = Renderer->ResolveShader(CurrentShader);
            }
            if (Item.BatchItemKind != BatchItemKind) {
              BatchItemKind = Item.BatchItemKind;
              if (MapItem) {
                ShaderRGBA = Vector4(1, 1, 1, 1);
                ShaderTexCoord = Vector2(0, 0);
              }
            }
            if (MapItem) {
              if (Item.GroupIndex != GroupIndex || Item.VBOIndex != VBOIndex) {
                GroupIndex = Item.GroupIndex;
                VBOIndex = Item.VBOIndex;
                Group = nullptr;
                VBO = nullptr;
                if (BSP && GroupIndex >= 0 && size_t(GroupIndex) < BSP->BSPGroups.size()) {
                  Group = &BSP->BSPGroups[size_t(GroupIndex)];
                } else if (BSP && VBOIndex >= 0 && size_t(VBOIndex) < BSP->BSPVBOs.size()) {
                  VBO = &BSP->BSPVBOs[size_t(VBOIndex)];
                  VBO->CountDynamicIndices = 0;
                  VBO->RangeCount = 0;
                  State->BindSingleVBO(VBO->VertexVBOID, MultiDraw ? VBO->StaticIndexVBOID : VBO->DynamicIndexVBOID, 0,
                                       MultiDraw ? VBO->VAO : 0);
                }
              }
              if (Item.LightMapAtlasIndex != LightMapAtlasIndex) {
                LightMapAtlasIndex = Item.LightMapAtlasIndex;
                BindLightMap(LightMapAtlasIndex);
              }
              if (Item.ModelIndex != ModelIndex) {
                ModelIndex = Item.ModelIndex;
                if (ModelIndex < 1 || !BSP || size_t(ModelIndex) >= BSP->BSPMapModels.size()) {
                  ForceValue = -1;
                  ModelMatrix = Matrix4x4Identity;
                  ApplyLight(false, RenderPosition.x, RenderPosition.y, RenderPosition.z);
                } else {
                  const TBSPMapModel& m = BSP->BSPMapModels[size_t(ModelIndex)];
                  ForceValue = 1;
                  ModelMatrix = m.ViewTransform;
                  const TZNT1Vector3 c = Vector3Avg(m.ViewTransformedAABB.Min, m.ViewTransformedAABB.Max);
                  ApplyLight(false, c.x, c.y, c.z);
                }
                Renderer->IncrementLinkCounter();
              }
              MeshTypeIndex = Item.MeshTypeIndex;
              if (Item.EffectIndex != EffectIndex) {
                EffectIndex = Item.EffectIndex;
                Renderer->IncrementLinkCounter();
              }
              PortalIndex = Item.PortalIndex;
              InterpolateVertices = false;
              PrimaryLightDirection = Renderer->LightDirection;
            } else {
              ForceValue = 1;
              Group = nullptr;
              VBO = nullptr;
              GroupIndex = VBOIndex = LightMapAtlasIndex = FaceIndex = NoKey;
              MeshTypeIndex = static_cast<int32_t>(0x80000002u);
              ModelIndex = static_cast<int32_t>(0x80000006u);
              SortedShaderIndex = EffectIndex = PortalIndex = NoKey;
              InterpolateVertices = false;
              BeginModelItem(Item);
            }
          }
          if (!DrawnInThisTask(Item)) continue;
          if (!ResolvedShader || (ResolvedShader->SurfaceFlags & SURF_NODRAW) || ResolvedShader->IsSky) continue;
          if (!OverlayCleared && (Item.SortKey & 0xFF) >= 128) {
            OverlayCleared = true;
            State->SetDepthMask(true);
            glClear(GL_DEPTH_BUFFER_BIT);
            if (ShadowVolumesCounted) {
              // The overlay's own pixels are all marked: their points are not the scene's.
              State->Enable(GL_STENCIL_TEST);
              glStencilMask(0x80);
              glStencilFunc(GL_ALWAYS, 0x80, 0x80);
              glStencilOp(GL_KEEP, GL_KEEP, GL_REPLACE);
            }
          }
          if (Item.BatchItemKind == zbikBSPFACE) {
            FaceIndex = Item.FaceIndex;
            if (VBO && BSP && FaceIndex >= 0 && size_t(FaceIndex) < BSP->BSPMapFaces.size()) {
              const TBSPMapFace& f = BSP->BSPMapFaces[size_t(FaceIndex)];
              if (CollectFace(f, MultiDraw)) BatchHasContent = true;
            }
          } else if (Item.BatchItemKind == zbikBSPGROUP) {
            if (Group && BSP) {
              FlushDraw();
              Group = nullptr;
              BatchHasContent = false;
            }
          } else if (Item.BatchItemKind == zbikMODEL) {
            FlushModelDraw();
          }
        }
      }
      if (BatchHasContent) {
        FlushDraw();
        BatchHasContent = false;
      }
    }
    if (k == SORT_OPAQUE && (ContextTask == ctNORMAL || ContextTask == ctPORTAL) && !UseWireframe) {
      ModelMatrix = Matrix4x4Identity;
      Renderer->IncrementLinkCounter();
      MarkRendererStage("sky", CurrentContextIndex);
      RenderSky();
      MarkRendererStage("scene after sky", CurrentContextIndex);
    }
  }
  if (BatchHasContent) {
    FlushDraw();
    BatchHasContent = false;
  }
  if (MarkVolumes) CountShadowVolumes(Parent->ShadowRegions);
  if (ShadowVolumesCounted) {
    State->Disable(GL_STENCIL_TEST);
    glStencilMask(0xFF);
  }
  if (VBO) State->RemoveVertexAttributes();
}

bool TZNT1RendererContext::CollectFace(const TBSPMapFace& f, bool MultiDraw) {
  // Index ranges come from the file: a face reaching past its buffer is not drawn.
  if (f.CountIndices <= 0 || f.StartVBOIndex < 0 ||
      int64_t(f.StartVBOIndex) + f.CountIndices > int64_t(VBO->StaticIndices.size()))
    return false;
  if (MultiDraw) {
    const size_t n = size_t(VBO->RangeCount);
    if (VBO->RangeStarts.size() <= n) {
      VBO->RangeStarts.resize(RoundUpToPowerOfTwo(uint32_t(n + 1)));
      VBO->RangeCounts.resize(VBO->RangeStarts.size());
    }
    VBO->RangeStarts[n] = f.StartVBOIndex * 4;
    VBO->RangeCounts[n] = f.CountIndices;
    VBO->RangeCount = int32_t(n + 1);
  } else {
    const size_t n = size_t(VBO->CountDynamicIndices);
    if (VBO->DynamicIndices.size() < n + size_t(f.CountIndices))
      VBO->DynamicIndices.resize(RoundUpToPowerOfTwo(uint32_t(n + size_t(f.CountIndices))));
    std::copy_n(VBO->StaticIndices.begin() + f.StartVBOIndex, f.CountIndices, VBO->DynamicIndices.begin() + ptrdiff_t(n));
    VBO->CountDynamicIndices = int32_t(n) + f.CountIndices;
  }
  return true;
}

bool TZNT1RendererContext::DrawnInThisTask(const TZNT1BatchItem& Item) const {
  if (!IsShadowTask(ContextTask) && ContextTask != ctFACEID) return true;
  const bool MapItem = Item.BatchItemKind != zbikMODEL;
  const bool CastingMapModel = MapItem && BSP && Item.ModelIndex > 0 && size_t(Item.ModelIndex) < BSP->BSPMapModels.size() &&
                               BSP->BSPMapModels[size_t(Item.ModelIndex)].CastShadowToProcess;
  if (ContextTask == ctSHADOWMAP && ShadowMapPass == 2) return MapItem && !CastingMapModel;
  if (ContextTask == ctSHADOWMAP && ShadowMapPass == 1) return !MapItem || CastingMapModel;
  if (MapItem) return CastingMapModel || !ShadowMapIgnoreBSP;
  return (Item.SortKey & 127) == SORT_OPAQUE && !((Item.SortKey & 128) && ModelRenderType(Item) == 2);
}

void TZNT1RendererContext::FlushDraw() {
  if (VBO) {
    InterpolateVertices = false;
    const bool MultiDraw = Engine->GLCapabilities ? Engine->GLCapabilities->MultiDrawElements : true;
    if (MultiDraw ? VBO->RangeCount > 0 : VBO->CountDynamicIndices >= 1) {
      UseMultiDrawElements = MultiDraw;
      if (MultiDraw) {
        const size_t n = size_t(VBO->RangeCount);
        MultiDrawElementsRangeStarts.resize(n);
        MultiDrawElementsRangeCounts.resize(n);
        for (size_t i = 0; i < n; ++i) {
          MultiDrawElementsRangeStarts[i] = BufferOffset(size_t(VBO->RangeStarts[i]));
          MultiDrawElementsRangeCounts[i] = VBO->RangeCounts[i];
        }
        MultiDrawElementsCountRanges = VBO->RangeCount;
      }
      ++Renderer->CountFlushs;
      if (!MultiDraw)
        RendererGL.BufferSubData(GL_ELEMENT_ARRAY_BUFFER, 0, GLsizeiptr(VBO->CountDynamicIndices) * 4,
                                 VBO->DynamicIndices.data());
      FlushVBO(VBO->CountDynamicIndices, VBO->RangeCount, false);
      VBO->CountDynamicIndices = 0;
      VBO->RangeCount = 0;
    }
    UseMultiDrawElements = false;
  } else if (Group) {
    UseMultiDrawElements = false;
    FlushVBO(0, 0, false);
  }
}

void TZNT1RendererContext::FlushVBO(int32_t CountIndices, int32_t, bool) {
  if (!ResolvedShader) {
    ++FlushCount;
    return;
  }
  Renderer->ChainSeen.clear();
  for (TZNT1Shader* s = ResolvedShader; s;) {
    switch (ContextTask) {
      case ctGEOMETRYFILL:
      case ctGEOMETRYFILLPORTAL:
        ApplyGeometryFillShader(s, CountIndices, CurrentViewMatrix);
        break;
      case ctSHADOWMAP:
      case ctSHADOWCUBEMAP:
        ApplyShadowMapFillShader(s, CountIndices, CurrentViewMatrix, ContextTask == ctSHADOWCUBEMAP);
        break;
      case ctFACEID:
        break;
      default:
        if (UseWireframe) {
          ApplyWireFrameShader(s, CountIndices, CurrentViewMatrix);
          break;
        }
        BindPortalView(s, CountIndices);
        // Each material of a chain draws its own colour pass.
        ApplyShader(s, CountIndices, false, CurrentViewMatrix);
        if (s->HasFogPass != 0 && ValidEffect(BSP, EffectIndex))
          ApplyFogShader(s, CountIndices, CurrentViewMatrix);
        break;
    }
    // Follow the chain; a loop that avoids the start stops at its first repeated material.
    Renderer->ChainSeen.push_back(s);
    TZNT1Shader* Next = s->NextShader ? Renderer->ResolveShader(s->NextShader) : nullptr;
    if (!Next || Next == ResolvedShader ||
        std::find(Renderer->ChainSeen.begin(), Renderer->ChainSeen.end(), Next) != Renderer->ChainSeen.end())
      break;
    s = Next;
  }
  ++FlushCount;
}

void TZNT1RendererContext::BindPortalView(TZNT1Shader* s, int32_t CountIndices) {
  auto BindContextTexture = [&](int32_t Index) {
    if (Index < 0 || Index > 3 || !Renderer->Contexts[Index] || !Renderer->Contexts[Index]->FrameBufferObject) return false;
    State->BindTexture(GL_TEXTURE2, Renderer->Contexts[Index]->FrameBufferObject->TextureHandles[0], GL_TEXTURE_2D);
    return true;
  };
  const size_t Slot = size_t(std::clamp(CurrentContextIndex + 1, 0, BSPCountContexts - 1));
  if (PortalIndex >= 0) {
    if (!BSP || size_t(PortalIndex) >= BSP->Portals.size()) return;
    const TZNT1Portal& p = BSP->Portals[size_t(PortalIndex)];
    if (p.Visible[Slot]) {
      if (BindContextTexture(p.FBO[Slot])) ApplyPortalShader(s, CountIndices, CurrentViewMatrix);
    } else if (FallbackContextIndex >= 0 && BindContextTexture(FallbackContextIndex)) {
      ApplyPortalShader(s, CountIndices, CurrentViewMatrix);
    }
  } else if (PortalIndex > NoKey && FallbackContextIndex >= 0 && BindContextTexture(FallbackContextIndex)) {
    ApplyPortalShader(s, CountIndices, CurrentViewMatrix);
  }
}

void TZNT1RendererContext::ApplyLight(bool Force, float x, float y, float z) {
  if (!BSP || !BSP->UseLightGrid) {
    PrimaryLightAmbient = Vector3(0.25f, 0.25f, 0.25f);
    PrimaryLightDirectional = Vector3(0.75f, 0.75f, 0.75f);
    PrimaryLightDirection = Vector3(0, 0, 1);
    return;
  }
  PrimaryLightAmbient = Vector3(1, 1, 1);
  PrimaryLightDirectional = Vector3(0, 0, 0);
  PrimaryLightDirection = Vector3(0, 0, 1);
  if (BSP->CountBSPModels <= 0) return;
  if (!Force && BSP->LightGridTexture && BSP->LightGridTexture->Uploaded) return;
  const TZNT1Vector3i& Bounds = BSP->LightGridBounds;
  if (Bounds.x <= 0 || Bounds.y <= 0 || Bounds.z <= 0) return;
  const float p[3] = {x, y, z};
  int32_t Base[3];
  float Frac[3];
  for (int a = 0; a < 3; ++a) {
    float v = (p[a] - BSP->LightGridOrigin.xyz[a]) * BSP->LightGridInvSize.xyz[a];
    v = std::clamp(v, 0.0f, float(Bounds.xyz[a] - 1));
    if (!std::isfinite(v)) v = 0;
    Base[a] = int32_t(std::floor(v));
    Frac[a] = v - float(Base[a]);
  }
  const int64_t Step[3] = {1, Bounds.x, int64_t(Bounds.x) * Bounds.y};
  const int64_t Count = std::min<int64_t>(BSP->CountBSPLightVolumes, int64_t(BSP->BSPLightVolumes.size()));
  float Total = 0;
  TZNT1Vector3 Ambient = Vector3Origin, Directional = Vector3Origin, Direction = Vector3Origin;
  for (int i = 0; i < 8; ++i) {
    float w = 1;
    int64_t Index = 0;
    for (int a = 0; a < 3; ++a) {
      const bool Up = (i >> a) & 1;
      w *= Up ? Frac[a] : 1 - Frac[a];
      Index += int64_t(Base[a] + (Up ? 1 : 0)) * Step[a];
    }
    if (Index < 0 || Index >= Count) continue;
    const TBSPLightVolume& Cell = BSP->BSPLightVolumes[size_t(Index)];
    if (!(Cell.Ambient[0] | Cell.Ambient[1] | Cell.Ambient[2])) continue;
    Total += w;
    for (int c = 0; c < 3; ++c) {
      Ambient.xyz[c] += float(Cell.Ambient[c]) * w / 256.0f;
      Directional.xyz[c] += float(Cell.Directional[c]) * w / 256.0f;
    }
    double d[3];
    LightVolumeDirection(Cell, d);
    Direction = Vector3Add(Direction, Vector3ScalarMul(Vector3(float(d[0]), float(d[1]), float(d[2])), w));
  }
  if (Total == 0 && Vector3LengthSquared(Ambient) == 0 && Vector3LengthSquared(Directional) == 0 &&
      Vector3LengthSquared(Direction) == 0) {
    PrimaryLightAmbient = Vector3(1, 1, 1);
    return;
  }
  if (Total > 0 && Total < 0.99f) {
    Vector3Scale(Ambient, 1.0f / Total);
    Vector3Scale(Directional, 1.0f / Total);
  }
  PrimaryLightAmbient = Ambient;
  PrimaryLightDirectional = Directional;
  PrimaryLightDirection = Vector3Norm(Direction);
}

// ---------------------------------------------------------------------------------------------
// Model instances

int32_t TZNT1Renderer::AddModelInstance(TZNT1ModelInstance* ModelInstance, TZNT1ModelInstance* RootModelInstance) {
  if (!ModelInstance || !ModelInstance->Model) return -1;
  const int32_t Index = CountModelInstances++;
  if (ModelInstances.size() <= size_t(CountModelInstances))
    ModelInstances.resize(RoundUpToPowerOfTwo(uint32_t(CountModelInstances)));
  if (!RootModelInstance) RootModelInstance = ModelInstance;
  if (!ModelInstance->Model->Uploaded) ModelInstance->Model->Upload();
  ModelInstances[size_t(Index)] = ModelInstance;
  AddLinkedModelInstances(ModelInstance, RootModelInstance, Index);
  return Index;
}

void TZNT1Renderer::AddLinkedModelInstances(TZNT1ModelInstance* ModelInstance, TZNT1ModelInstance* RootModelInstance,
                                            int32_t RootIndex) {
  for (const TZNT1ModelInstanceTag& Tag : ModelInstance->Tags) {
    TZNT1ModelInstance* Linked = Tag.LinkedModelInstance;
    if (!Linked || Linked == RootModelInstance || !Linked->Model) continue;
    // A cycle of links that avoids the root: each instance of the tree is added once.
    const auto First = ModelInstances.begin() + RootIndex, Last = ModelInstances.begin() + CountModelInstances;
    if (std::find(First, Last, Linked) != Last) continue;
    const int32_t Index = CountModelInstances++;
    if (ModelInstances.size() <= size_t(CountModelInstances))
      ModelInstances.resize(RoundUpToPowerOfTwo(uint32_t(CountModelInstances)));
    if (!Linked->Model->Uploaded) Linked->Model->Upload();
    ModelInstances[size_t(Index)] = Linked;
    AddLinkedModelInstances(Linked, RootModelInstance, RootIndex);
  }
}

void TZNT1RendererContext::InsertModelBatchItems() {
  int32_t c = 0;
  const bool Everything = SeesEverything();
  for (int32_t n = 0; n < Renderer->CountModelInstances; ++n) {
    TZNT1ModelInstance* Instance = Renderer->ModelInstances[size_t(n)];
    if (!Instance || !Instance->Model) continue;
    if (Instance->RenderType != 2 && Instance->RenderType != 4 && !Everything) {
      bool Visible;
      if (ContextTask <= ctGEOMETRYFILLPORTAL)
        Visible = BSP && LeafFromLeafVisible(*BSP, Instance->Leaf, RenderLeaf, true);
      else
        Visible = AABBIntersectEx(TransformedAABB, Instance->ViewAABB, 1e-12f);
      if (!Visible) continue;
    }
    TZNT1Model& Model = *Instance->Model;
    for (size_t i = 0; i < Model.Meshs.size(); ++i) {
      const TZNT1ModelMesh& Mesh = Model.Meshs[i];
      // A skin number the mesh has no slot for (a .skin file that does not name it) draws nothing.
      if (Instance->Skin < 0 || size_t(Instance->Skin) >= Mesh.Skins.size()) continue;
      TZNT1Shader* Shader = Mesh.Skins[size_t(Instance->Skin)];
      if (!Shader) continue;
      if (ModelBatchItems.size() <= size_t(c) + 1) ModelBatchItems.resize(RoundUpToPowerOfTwo(uint32_t(c) + 2));
      TZNT1BatchItem& Item = ModelBatchItems[size_t(c)];
      std::memset(&Item, 0, sizeof(Item));
      Item.EntityIndex = uint32_t(Instance->EntityIndex);
      Item.DepthIndex = 0x7FFFFFFFu;
      Item.SortIndex = uint32_t(Shader->SortedIndex);
      Item.SortedShaderIndex = Shader->SortedIndex;
      Item.SortKey = Shader->Sort;
      if (Instance->RenderType == 2 || (Instance->RenderType == 4 && (ContextTask == ctNORMAL || ContextTask == ctGEOMETRYFILL)))
        Item.SortKey |= 128;
      Item.AdditiveBlend = Shader->AdditiveBlend ? 1u : 0u;
      Item.DepthCategory = 0x7FFFFFFFu;
      Item.BatchItemKind = zbikMODEL;
      Item.ModelInstance = Instance;
      Item.MeshIndex = int32_t(i);
      Item.LevelOfDistanceIndex = 0;
      Item.EffectIndex = NoModelEffect;
      if (BSP) {
        const int32_t ne = std::min<int32_t>(BSP->CountBSPMapEffects, int32_t(BSP->BSPMapEffects.size()));
        for (int32_t e = 0; e < ne; ++e)
          if (AABBIntersectEx(BSP->BSPMapEffects[size_t(e)].AABB, Instance->ViewAABB, 1e-12f)) {
            Item.EffectIndex = e;
            break;
          }
      }
      if (Instance->RecieveShadow) HasShadowReceivers = true;
      ++c;
    }
  }
  for (int32_t i = 0; i < c; ++i) AddBatchItem(&ModelBatchItems[size_t(i)]);
}

int32_t TZNT1RendererContext::ModelRenderType(const TZNT1BatchItem& Item) {
  return Item.BatchItemKind == zbikMODEL && Item.ModelInstance ? Item.ModelInstance->RenderType : 0;
}

void TZNT1RendererContext::BeginModelItem(const TZNT1BatchItem& Item) {
  if (Item.ModelInstance != ModelInstance || Item.MeshIndex != MeshIndex ||
      Item.LevelOfDistanceIndex != LevelOfDistanceIndex) {
    ModelInstance = Item.ModelInstance;
    MeshIndex = Item.MeshIndex;
    LevelOfDistanceIndex = Item.LevelOfDistanceIndex;
    ModelMatrix = ModelInstance->ViewTransform;
    Renderer->IncrementLinkCounter();
    const uint32_t White = Engine->Textures ? HandleOf(Engine->Textures->WhiteTexture) : 0u;
    State->BindTexture(GL_TEXTURE0, White, GL_TEXTURE_2D);
    State->BindTexture(GL_TEXTURE1, White, GL_TEXTURE_2D);
    const TZNT1Vector3 p = ModelInstance->HasLightOrigin ? ModelInstance->LightOrigin : ModelInstance->ViewMiddle;
    ApplyLight(false, p.x, p.y, p.z);
    ShaderRGBA = ModelInstance->ShaderRGBA;
    ShaderTexCoord = ModelInstance->ShaderTexCoord;
  }
  EffectIndex = Item.EffectIndex;
  Renderer->IncrementLinkCounter();
}

void TZNT1RendererContext::FlushModelDraw() {
  if (!ModelInstance || !ModelInstance->Model || ContextTask == ctFACEID) return;
  const int32_t RenderType = ModelInstance->RenderType;
  if (RenderType == 1 && ((ContextTask == ctNORMAL && this == Renderer->MainContext.get()) ||
                          (ContextTask == ctGEOMETRYFILL && this == Renderer->GeometryFillContext.get())))
    return;
  if (RenderType == 2 && this != Renderer->MainContext.get()) return;
  if (RenderType == 3) return;
  if (IsShadowTask(ContextTask) && !(ModelInstance->CastShadow && ModelInstance->CastShadowToProcess)) return;
  TZNT1Model* Model = ModelInstance->Model;
  if (LevelOfDistanceIndex != 0) {
    if (LevelOfDistanceIndex < 0 || size_t(LevelOfDistanceIndex) >= Model->LevelOfDetail.size()) return;
    Model = Model->LevelOfDetail[size_t(LevelOfDistanceIndex)];
    if (!Model) return;
  }
  if (MeshIndex < 0 || size_t(MeshIndex) >= Model->Meshs.size()) return;
  TZNT1ModelMesh& Mesh = Model->Meshs[size_t(MeshIndex)];
  UseMultiDrawElements = false;
  auto BufferOf = [&Mesh](int32_t Frame) -> TZNT1VBO* {
    if (Frame < 0 || size_t(Frame) >= Mesh.VBOFrames.size()) return nullptr;
    const int32_t b = Mesh.VBOFrames[size_t(Frame)].VBOIndex;
    return b >= 0 && size_t(b) < Mesh.VBOs.size() ? Mesh.VBOs[size_t(b)].get() : nullptr;
  };
  if (Mesh.Frames > 1) {
    const int32_t f0 = ModelInstance->ViewAnimation.Frame, f1 = ModelInstance->ViewAnimation.NextFrame;
    TZNT1VBO* A = BufferOf(f0);
    TZNT1VBO* B = BufferOf(f1);
    const TZNT1GLCapabilities* Caps = Engine->GLCapabilities.get();
    if (A && A == B && Caps && Caps->MaxVertexAttribs > 8 && Caps->MaxElementsVertices >= 65536) {
      InterpolateVertices = true;
      State->BindDualVBO(uint32_t(A->VerticesVBOHandle), uint32_t(A->IndicesVBOHandle), uint32_t(B->VerticesVBOHandle),
                         uint32_t(B->IndicesVBOHandle), Mesh.VBOFrames[size_t(f0)].StartVertex,
                         Mesh.VBOFrames[size_t(f1)].StartVertex);
      FlushVBO(Mesh.IndicesPerFrame, 0, true);
      ++FlushCount;
      InterpolateVertices = false;
    } else {
      FlushModelDrawCPUInterpolate(Mesh);
    }
    return;
  }
  TZNT1VBO* A = BufferOf(0);
  if (!A) return;
  State->BindSingleVBO(uint32_t(A->VerticesVBOHandle), uint32_t(A->IndicesVBOHandle), Mesh.VBOFrames[0].StartVertex, 0);
  FlushVBO(A->CountIndices, 0, true);
}

void TZNT1RendererContext::FlushModelDrawCPUInterpolate(TZNT1ModelMesh& Mesh) {
  InterpolateVertices = false;
  UseMultiDrawElements = false;
  if (Mesh.VBOs.empty() || !Mesh.VBOs[0] || Mesh.VerticesPerFrame <= 0) return;
  std::unique_ptr<TZNT1VBO>& Scratch = Renderer->MeshScratchVBOs[&Mesh];
  // Another mesh may have taken a freed one's address.
  if (Scratch && (Scratch->CountVertices != Mesh.VerticesPerFrame || Scratch->Vertices.size() < size_t(Mesh.VerticesPerFrame)))
    Scratch.reset();
  if (!Scratch) {
    const TZNT1VBO& First = *Mesh.VBOs[0];
    Scratch = std::make_unique<TZNT1VBO>(Engine, true, false, Mesh.VerticesPerFrame, Mesh.IndicesPerFrame);
    Scratch->CountVertices = Mesh.VerticesPerFrame;
    for (int32_t i = 0; i < Mesh.IndicesPerFrame && i < First.CountIndices; ++i)
      Scratch->AddIndex(First.Indices[size_t(i)]);
    Scratch->IncRef();
    Scratch->Upload();
  }
  const TZNT1ModelAnimationState& a = ModelInstance->ViewAnimation;
  if (!Mesh.InterpolateFrames(a.Frame, a.NextFrame, a.InterpolationTime, Scratch->Vertices)) return;
  Scratch->Update();
  State->BindSingleVBO(uint32_t(Scratch->VerticesVBOHandle), uint32_t(Scratch->IndicesVBOHandle), 0, 0);
  FlushVBO(Scratch->CountIndices, 0, true);
  ++FlushCount;
}

// ---------------------------------------------------------------------------------------------
// Material application

namespace {

void UniformMatrix(GLint Location, const TZNT1Matrix4x4& m) {
  if (Location >= 0) glUniformMatrix4fv(Location, 1, GL_FALSE, &m.M[0][0]);
}

void UniformNormalMatrix(GLint Location, const TZNT1Matrix4x4& m) {
  if (Location < 0) return;
  const TZNT1Matrix4x4 n = Matrix4x4TermTranspose(Matrix4x4TermInverse(m));
  float a[9];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) a[r * 3 + c] = n.M[r][c];
  glUniformMatrix3fv(Location, 1, GL_FALSE, a);
}

void Uniform3(GLint Location, const TZNT1Vector3& v) {
  if (Location >= 0) glUniform3f(Location, v.x, v.y, v.z);
}

void Uniform4(GLint Location, const TZNT1Vector4& v) {
  if (Location >= 0) glUniform4f(Location, v.x, v.y, v.z, v.w);
}

void Uniform1f(GLint Location, float v) {
  if (Location >= 0) glUniform1f(Location, v);
}

void Uniform1i(GLint Location, int32_t v) {
  if (Location >= 0) glUniform1i(Location, v);
}

// Sampler array entries exist for stages 0 to 7 only.
void UniformStageSampler(const int32_t (&Locations)[8], int32_t Stage, int32_t Unit) {
  if (Stage >= 0 && Stage < 8) Uniform1i(Locations[Stage], Unit);
}

}  // namespace

float TZNT1RendererContext::GetShaderTime(const TZNT1Shader* Shader) const {
  float Time = float(Engine->InGameTime - Shader->TimeOffset);
  if (Shader->ClampTime > 0) Time = std::clamp(Time, 0.0f, Shader->ClampTime);
  return Time;
}

int32_t TZNT1RendererContext::GetTextureAnimationIndex(const TZNT1ShaderStage* Stage, double Time) {
  const int32_t n = std::min(Stage->NumImageAnimation, MAX_IMAGE_ANIMATIONS);
  if (n <= 0) return 0;
  // 64 bits: the game clock runs to a day, and fast animations pass 2^31 / 1024 within hours.
  const double x = std::fabs(Time) * double(Stage->ImageAnimationSpeed) * 1024.0;
  if (!(x < 9.0e18)) return 0;
  int64_t Index = int64_t(x) >> 10;
  if (Index < 0) Index = 0;
  return int32_t(Index % n);
}

TZNT1Texture* TZNT1RendererContext::StageTexture(const TZNT1ShaderStage* Stage, float Time) const {
  int32_t i = 0;
  if (Stage->NumImageAnimation > 0 && Stage->ImageAnimationSpeed > 0) i = GetTextureAnimationIndex(Stage, Time);
  TZNT1Texture* Default = Engine->Textures ? Engine->Textures->DefaultTexture : nullptr;
  return TextureOr(Stage->Texture[std::clamp(i, 0, MAX_IMAGE_ANIMATIONS - 1)], Default);
}

bool TZNT1RendererContext::FogVolumeActive() const { return ValidEffect(BSP, EffectIndex); }

void TZNT1RendererContext::ApplyMaterialState(const TZNT1Shader* Shader, bool Wireframe, bool ShadowFill) {
  if (Wireframe || ShadowFill) {
    State->Disable(GL_CULL_FACE);
  } else {
    uint32_t Face = 0;
    if (Shader->IsSky)
      Face = Mirror ? GL_FRONT : GL_BACK;
    else if (Shader->Cull != 0)
      Face = !Mirror ? uint32_t(Shader->Cull) : (uint32_t(Shader->Cull) == GL_FRONT ? GL_BACK : GL_FRONT);
    if (Face) {
      State->Enable(GL_CULL_FACE);
      State->SetCullFace(Face);
    } else {
      State->Disable(GL_CULL_FACE);
    }
  }
  if (Shader->PolygonOffset && !Wireframe) {
    State->Enable(GL_POLYGON_OFFSET_FILL);
    State->SetPolygonOffset(-1, -2);
  } else {
    State->Disable(GL_POLYGON_OFFSET_FILL);
  }
}

void TZNT1RendererContext::ApplyStageBits(const TZNT1Shader* Shader, uint32_t Bits) {
  if (Bits & 0xFF) {
    State->Enable(GL_BLEND);
    State->SetBlendEquation(GL_FUNC_ADD);
    State->SetBlendFunc(TranslateShaderBlend(Bits & GLS_SRCBLEND_BITS), TranslateShaderBlend(Bits & GLS_DSTBLEND_BITS));
  } else {
    State->Disable(GL_BLEND);
  }
  State->SetDepthMask((Bits & GLS_DEPTHMASK_TRUE) && !Shader->IsSky);
  State->SetPolyModeLine(Bits & GLS_POLYMODE_LINE);
  if (Bits & GLS_DEPTHTEST_DISABLE)
    State->Disable(GL_DEPTH_TEST);
  else
    State->Enable(GL_DEPTH_TEST);
  if (!Shader->IsSky) State->SetDepthFunc((Bits & GLS_DEPTHFUNC_EQUAL) ? GL_EQUAL : GL_LEQUAL);
}

void TZNT1RendererContext::BindExtraTextures(const TZNT1Shader* Shader, TZNT1GLSLShader* Program, uint32_t Unit,
                                             bool LightTextures) {
  if (Shader->NormalMapShaderStage && Shader->NormalMapShaderStage->NormalMap && Shader->NormalMapShaderStageIndex >= 0) {
    State->BindTexture(GL_TEXTURE0 + Unit, HandleOf(Shader->NormalMapShaderStage->NormalMap), GL_TEXTURE_2D);
    UniformStageSampler(Program->uNormalMapTexs, Shader->NormalMapShaderStageIndex, int32_t(Unit));
    ++Unit;
  }
  if (Shader->SpecularMapShaderStage && Shader->SpecularMapShaderStage->SpecularMap &&
      Shader->SpecularMapShaderStageIndex >= 0) {
    State->BindTexture(GL_TEXTURE0 + Unit, HandleOf(Shader->SpecularMapShaderStage->SpecularMap), GL_TEXTURE_2D);
    UniformStageSampler(Program->uSpecularMapTexs, Shader->SpecularMapShaderStageIndex, int32_t(Unit));
    ++Unit;
  }
  if (!LightTextures) return;
  if (Program->uLightBufferTex0 >= 0 && Renderer->LightBufferFrameBufferObject) {
    State->BindTexture(GL_TEXTURE0 + Unit, Renderer->LightBufferFrameBufferObject->TextureHandles[0], GL_TEXTURE_2D);
    Uniform1i(Program->uLightBufferTex0, int32_t(Unit));
    ++Unit;
  }
  if (Program->uLightGridTex >= 0 && BSP && BSP->LightGridTexture && BSP->LightGridTexture->Uploaded) {
    State->BindTexture(GL_TEXTURE0 + Unit, BSP->LightGridTexture->Handle, GL_TEXTURE_3D);
    Uniform1i(Program->uLightGridTex, int32_t(Unit));
  }
}

void TZNT1RendererContext::ApplyShader(TZNT1Shader* Shader, int32_t CountIndices, bool,
                                       const TZNT1Matrix4x4& AViewMatrix) {
  SpecularPower = Shader->SpecularPower;
  const float Time = GetShaderTime(Shader);
  const int Clip = ClipPlaneActive ? 1 : 0, Fog = FogVolumeActive() ? 1 : 0, Interp = InterpolateVertices ? 1 : 0;
  ApplyMaterialState(Shader, false, false);
  if (TZNT1GLSLShader* Program = Shader->SinglePassGLSLShaders[Clip][Fog][Interp]) {
    State->UseShader(Program);
    ApplyStageBits(Shader, Shader->SinglePassStateBits);
    uint32_t Unit = 2;
    for (int32_t i = 0; i < Shader->Count(); ++i) {
      const TZNT1ShaderStage* Stage = Shader->GetStage(i);
      if (!Stage || !Stage->IsDiffuseStage || Stage->IsLightMap) continue;
      if (Unit >= 32) break;
      State->BindTexture(GL_TEXTURE0 + Unit, HandleOf(StageTexture(Stage, Time)), GL_TEXTURE_2D);
      UniformStageSampler(Program->uTexs, i, int32_t(Unit));
      ++Unit;
    }
    BindExtraTextures(Shader, Program, Unit, true);
    ApplyGLSLShader(Program, CountIndices, Time, AViewMatrix);
    return;
  }
  for (int32_t i = 0; i < Shader->Count(); ++i) {
    const TZNT1ShaderStage* Stage = Shader->GetStage(i);
    if (!Stage || !Stage->IsDiffuseStage) continue;
    TZNT1GLSLShader* Program = Stage->MultiPassGLSLShaders[Clip][Fog][Interp];
    if (!Program) continue;
    State->UseShader(Program);
    ApplyStageBits(Shader, Stage->StateBits);
    if (!Stage->IsLightMap) {
      State->BindTexture(GL_TEXTURE2, HandleOf(StageTexture(Stage, Time)), GL_TEXTURE_2D);
      // A stage's own program names its sampler after the stage.
      UniformStageSampler(Program->uTexs, i, 2);
    }
    BindExtraTextures(Shader, Program, 3, true);
    ApplyGLSLShader(Program, CountIndices, Time, AViewMatrix);
  }
}

void TZNT1RendererContext::ApplyGLSLShader(TZNT1GLSLShader* P, int32_t CountIndices, float Time,
                                           const TZNT1Matrix4x4& AViewMatrix) {
  if (!P || P->ProgramHandle <= 0) return;
  GLSLShader = P;
  State->UseShader(P);
  if (P->LinkCounter != Renderer->LinkCounter) {
    P->LinkCounter = Renderer->LinkCounter;
    const TZNT1Matrix4x4 ModelView = Matrix4x4TermMul(ModelMatrix, AViewMatrix);
    UniformMatrix(P->uModelMatrix, ModelMatrix);
    UniformMatrix(P->uViewMatrix, AViewMatrix);
    UniformMatrix(P->uModelViewMatrix, ModelView);
    UniformNormalMatrix(P->uModelNormalMatrix, ModelMatrix);
    UniformNormalMatrix(P->uViewNormalMatrix, AViewMatrix);
    UniformNormalMatrix(P->uModelViewNormalMatrix, ModelView);
    UniformMatrix(P->uProjectionMatrix, ProjectionMatrix);
    Uniform3(P->uViewOrigin, RenderPosition);
    Uniform1f(P->uTime, Time);
    if (P->uFragCoordInvScale >= 0)
      glUniform2f(P->uFragCoordInvScale, 1.0f / float(std::max(1, CanvasWidth)), 1.0f / float(std::max(1, CanvasHeight)));
    Uniform3(P->uNormalMapLightDirection, Renderer->LightDirection);
    Uniform1f(P->uWorldSpaceRadius, Renderer->WorldSpaceRadius);
    Uniform1f(P->uForce, ForceValue);
    if (P->uCubeMapMatrices >= 0) glUniformMatrix4fv(P->uCubeMapMatrices, 6, GL_FALSE, &CubeMapMatrices[0].M[0][0]);
  }
  Uniform1i(P->uCubeMapSide, CubeMapSide);
  if (P->uClippingDistances >= 0) {
    const TZNT1RendererContext& c = Parent ? *Parent : *this;
    glUniform2f(P->uClippingDistances, c.NearClippingDistance, c.FarClippingDistance);
  }
  Uniform1f(P->uSpecularScale, SpecularScale);
  Uniform1f(P->uSpecularPower, SpecularPower * 32.0f * 0.25f - 1.0f);
  const TBSPMapEffect* Fog = FogVolumeActive() ? &BSP->BSPMapEffects[size_t(EffectIndex)] : nullptr;
  if (Fog && P->uFogEyeT >= 0) {
    const TZNT1Vector3 Along = Vector3(-AViewMatrix.M[0][2], -AViewMatrix.M[1][2], -AViewMatrix.M[2][2]);
    const float s = Fog->TCScale;
    Uniform4(P->uFogDistanceVector,
             Vector4(Along.x * s, Along.y * s, Along.z * s, Vector3Dot(Vector3Sub(RenderOrigin, RenderPosition), ViewAxis[0]) * s));
    Uniform1f(P->uFogScale, 8.0f * s);
    Uniform3(P->uFogAABBMin, Vector3Sub(Fog->AABB.Min, Vector3(1, 1, 1)));
    Uniform3(P->uFogAABBMax, Vector3Add(Fog->AABB.Max, Vector3(1, 1, 1)));
    if (Fog->HasSurface) {
      const TZNT1Vector3 n = Vector3(Fog->Surface.x, Fog->Surface.y, Fog->Surface.z);
      const TZNT1Vector4 Depth = Vector4(Vector3Dot(n, Axis[0]), Vector3Dot(n, Axis[1]), Vector3Dot(n, Axis[2]),
                                         Vector3Dot(n, RenderOrigin) - Fog->Surface.w);
      Uniform4(P->uFogDepthVector, Depth);
      Uniform4(P->uFogPlane, Fog->Surface);
      Uniform1f(P->uFogEyeT, Vector3Dot(RenderPosition, Vector3(Depth.x, Depth.y, Depth.z)) + Depth.w);
    } else {
      Uniform4(P->uFogDepthVector, Vector4(0, 0, 0, 1));
      Uniform4(P->uFogPlane, Vector4(0, 0, 0, 1));
      Uniform1f(P->uFogEyeT, 1.0f);
    }
  }
  Uniform4(P->uFogColor, Fog ? Fog->Color : Vector4(0, 0, 0, 0));
  Uniform4(P->uEntityColor, ShaderRGBA);
  Uniform4(P->uClipPlane, TransformedClipPlane.xyzw);
  Uniform1f(P->uInterpolation, ModelInstance && BatchItemKind == zbikMODEL ? ModelInstance->ViewAnimation.InterpolationTime : 0.0f);
  Uniform1f(P->uDeluxeMapModelSpace, BSP && BSP->DeluxeMappingModelSpace ? 1.0f : 0.0f);
  Uniform3(P->uPrimaryLightAmbient, PrimaryLightAmbient);
  Uniform3(P->uPrimaryLightDirection, PrimaryLightDirection);
  Uniform3(P->uPrimaryLightDirectional, PrimaryLightDirectional);
  const bool Grid = BSP && BSP->LightGridTexture && BSP->LightGridTexture->Uploaded;
  Uniform3(P->uLightGridScale, Grid ? BSP->LightGridScale : Vector3Origin);
  Uniform3(P->uLightGridOffset, Grid ? BSP->LightGridOffset : Vector3Origin);
  DrawElementsOfBatch(CountIndices);
}

void TZNT1RendererContext::DrawElementsOfBatch(int32_t CountIndices) {
  if (Renderer->DrawDeadline != 0 && Engine->HighResolutionTimer->GetTime() > Renderer->DrawDeadline) {
    ++Renderer->DrawsSkipped;
    return;
  }
  ++Renderer->DrawsIssued;
  if (Group && BSP) {
    if (BSP->GroupsSingleVBO) {
      const int32_t n = std::min<int32_t>(Group->CountVBORanges, int32_t(Group->VBORanges.size()));
      for (int32_t i = 0; i < n; ++i) {
        const TBSPGroupVBORange& r = Group->VBORanges[size_t(i)];
        if (r.Index < 0 || size_t(r.Index) >= BSP->BSPGroupVBOs.size() || r.CountIndices <= 0) continue;
        const TBSPVBO& v = BSP->BSPGroupVBOs[size_t(r.Index)];
        State->BindSingleVBO(v.VertexVBOID, v.StaticIndexVBOID, 0, v.VAO);
        RendererGL.DrawRangeElements(GL_TRIANGLES, GLuint(r.FirstVertex), GLuint(r.FirstVertex + r.CountVertices - 1),
                                     r.CountIndices, GL_UNSIGNED_INT, BufferOffset(size_t(r.FirstIndex) * 4));
      }
    } else {
      for (const TBSPVBO& v : Group->VBOs) {
        if (v.CountStaticIndices <= 0) continue;
        State->BindSingleVBO(v.VertexVBOID, v.StaticIndexVBOID, 0, v.VAO);
        RendererGL.DrawElements(GL_TRIANGLES, v.CountStaticIndices, GL_UNSIGNED_INT, nullptr);
      }
    }
    return;
  }
  if (UseMultiDrawElements) {
    if (MultiDrawElementsCountRanges > 0)
      RendererGL.MultiDrawElements(GL_TRIANGLES, MultiDrawElementsRangeCounts.data(), GL_UNSIGNED_INT,
                                   MultiDrawElementsRangeStarts.data(), MultiDrawElementsCountRanges);
    return;
  }
  if (CountIndices > 0) RendererGL.DrawElements(GL_TRIANGLES, CountIndices, GL_UNSIGNED_INT, nullptr);
}

void TZNT1RendererContext::ApplyGeometryFillShader(TZNT1Shader* Shader, int32_t CountIndices,
                                                   const TZNT1Matrix4x4& AViewMatrix) {
  const int Clip = ClipPlaneActive ? 1 : 0, Interp = InterpolateVertices ? 1 : 0;
  const float Time = GetShaderTime(Shader);
  ApplyMaterialState(Shader, false, false);
  auto SetLight = [this](TZNT1GLSLShader* P) {
    Uniform3(P->uShadowMapLightPositionArray[0], ShadowMapLightPosition);
    Uniform1f(P->uShadowMapLightInvRadiusArray[0], ShadowMapLightInvRadius);
  };
  if (TZNT1GLSLShader* P = Shader->SinglePassGeometryFillGLSLShaders[Clip][Interp]) {
    if (Shader->SinglePassStateBits & 0xFF) return;  // blended materials leave the geometry buffers alone
    State->UseShader(P);
    ApplyStageBits(Shader, Shader->SinglePassStateBits & ~0xFFu);
    uint32_t Unit = 2;
    for (int32_t i = 0; i < Shader->Count() && Unit < 32; ++i) {
      const TZNT1ShaderStage* Stage = Shader->GetStage(i);
      if (!Stage || !Stage->IsDiffuseStage || Stage->IsLightMap) continue;
      State->BindTexture(GL_TEXTURE0 + Unit, HandleOf(StageTexture(Stage, Time)), GL_TEXTURE_2D);
      UniformStageSampler(P->uTexs, i, int32_t(Unit));
      ++Unit;
    }
    BindExtraTextures(Shader, P, Unit, false);
    SetLight(P);
    ApplyGLSLShader(P, CountIndices, Time, AViewMatrix);
    return;
  }
  for (int32_t i = 0; i < Shader->Count(); ++i) {
    const TZNT1ShaderStage* Stage = Shader->GetStage(i);
    if (!Stage || !Stage->IsDiffuseStage || (Stage->StateBits & 0xFF)) continue;
    TZNT1GLSLShader* P = Stage->MultiPassGeometryFillGLSLShaders[Clip][Interp];
    if (P) {
      State->UseShader(P);
      ApplyStageBits(Shader, Stage->StateBits);
      State->BindTexture(GL_TEXTURE2, HandleOf(StageTexture(Stage, Time)), GL_TEXTURE_2D);
      UniformStageSampler(P->uTexs, i, 2);
      BindExtraTextures(Shader, P, 3, false);
      SetLight(P);
      ApplyGLSLShader(P, CountIndices, Time, AViewMatrix);
    }
    if (!(Stage->StateBits & GLS_ATEST_BITS)) break;
  }
}

void TZNT1RendererContext::ApplyShadowMapFillShader(TZNT1Shader* Shader, int32_t CountIndices,
                                                    const TZNT1Matrix4x4& AViewMatrix, bool CubeMap) {
  const int Clip = ClipPlaneActive ? 1 : 0, Interp = InterpolateVertices ? 1 : 0;
  const float Time = GetShaderTime(Shader);
  ApplyMaterialState(Shader, false, true);
  auto SetLight = [this](TZNT1GLSLShader* P, const TZNT1Vector4& Mul) {
    Uniform3(P->uShadowMapLightPositionArray[0], ShadowMapLightPosition);
    Uniform1f(P->uShadowMapLightInvRadiusArray[0], ShadowMapLightInvRadius);
    Uniform4(P->uShadowMapMul, Mul);
  };
  TZNT1GLSLShader* P = CubeMap ? Shader->SinglePassShadowCubeMapFillGLSLShaders[Clip][Interp]
                               : Shader->SinglePassShadowMapFillGLSLShaders[Clip][Interp];
  if (P) {
    if (Shader->SinglePassStateBits & 0xFF) return;
    State->UseShader(P);
    ApplyStageBits(Shader, Shader->SinglePassStateBits & ~(0xFFu | GLS_POLYMODE_LINE));
    for (int32_t i = 0; i < Shader->Count() && i < 8; ++i) {
      const TZNT1ShaderStage* Stage = Shader->GetStage(i);
      if (!Stage || !Stage->IsDiffuseStage) continue;
      State->BindTexture(GL_TEXTURE2 + uint32_t(i), HandleOf(StageTexture(Stage, Time)), GL_TEXTURE_2D);
      Uniform1i(P->uTexs[i], 2 + i);
    }
    SetLight(P, ShadowMapPass == 2 ? Vector4(0, 1, 0, 1) : ShadowMapPass == 1 ? Vector4(1, 0, 1, 0) : Vector4(1, 1, 1, 1));
    ApplyGLSLShader(P, CountIndices, Time, AViewMatrix);
    return;
  }
  for (int32_t i = 0; i < Shader->Count(); ++i) {
    const TZNT1ShaderStage* Stage = Shader->GetStage(i);
    if (!Stage || !Stage->IsDiffuseStage || (Stage->StateBits & 0xFF)) continue;
    TZNT1GLSLShader* SP = CubeMap ? Stage->MultiPassShadowCubeMapFillGLSLShaders[Clip][Interp]
                                  : Stage->MultiPassShadowMapFillGLSLShaders[Clip][Interp];
    if (SP) {
      State->UseShader(SP);
      ApplyStageBits(Shader, Stage->StateBits & ~GLS_POLYMODE_LINE);
      State->BindTexture(GL_TEXTURE2, HandleOf(StageTexture(Stage, Time)), GL_TEXTURE_2D);
      UniformStageSampler(SP->uTexs, i, 2);
      SetLight(SP, Vector4(1, 1, 1, 1));
      ApplyGLSLShader(SP, CountIndices, Time, AViewMatrix);
    }
    if (!(Stage->StateBits & GLS_ATEST_BITS)) break;
  }
}

void TZNT1RendererContext::ApplyFogShader(TZNT1Shader* Shader, int32_t CountIndices, const TZNT1Matrix4x4& AViewMatrix) {
  TZNT1GLSLShader* P = Shader->FogPassGLSLShaders[ClipPlaneActive ? 1 : 0][InterpolateVertices ? 1 : 0];
  if (!P) return;
  ApplyMaterialState(Shader, false, false);
  State->UseShader(P);
  State->Enable(GL_BLEND);
  State->SetBlendEquation(GL_FUNC_ADD);
  State->SetBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  State->SetDepthMask(false);
  State->SetPolyModeLine(false);
  State->Enable(GL_DEPTH_TEST);
  State->SetDepthFunc(Shader->HasFogPass == 1 ? GL_EQUAL : GL_LEQUAL);
  TZNT1Texture* FogTexture = Engine->Textures ? Engine->Textures->FogTexture : nullptr;
  State->BindTexture(GL_TEXTURE2, HandleOf(FogTexture), GL_TEXTURE_2D);
  Uniform1i(P->uFogTex, 2);
  ApplyGLSLShader(P, CountIndices, GetShaderTime(Shader), AViewMatrix);
}

void TZNT1RendererContext::ApplyPortalShader(TZNT1Shader* Shader, int32_t CountIndices,
                                             const TZNT1Matrix4x4& AViewMatrix) {
  TZNT1GLSLShader* P = Engine->GLSLShaders ? Engine->GLSLShaders->DefaultGLSLPortalShader : nullptr;
  if (!P) return;
  ApplyMaterialState(Shader, false, false);
  State->UseShader(P);
  State->Disable(GL_BLEND);
  State->SetDepthMask(false);
  State->SetPolyModeLine(false);
  State->Enable(GL_DEPTH_TEST);
  State->SetDepthFunc(GL_LEQUAL);
  Uniform1i(P->uTex0, 2);
  ApplyGLSLShader(P, CountIndices, GetShaderTime(Shader), AViewMatrix);
}

void TZNT1RendererContext::ApplyWireFrameShader(TZNT1Shader* Shader, int32_t CountIndices,
                                                const TZNT1Matrix4x4& AViewMatrix) {
  const int Clip = ClipPlaneActive ? 1 : 0, Interp = InterpolateVertices ? 1 : 0;
  TZNT1GLSLShader* P = Shader->WireframeGLSLShaders[Clip][Interp];
  const bool Lines = !P;
  if (!P) P = Shader->WhiteGLSLShaders[Clip][Interp];
  if (!P) return;
  ApplyMaterialState(Shader, true, false);
  State->UseShader(P);
  State->Enable(GL_BLEND);
  State->SetBlendEquation(GL_FUNC_ADD);
  State->SetBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  State->SetDepthMask(false);
  State->Disable(GL_DEPTH_TEST);
  State->SetPolyModeLine(Lines);
  ApplyGLSLShader(P, CountIndices, GetShaderTime(Shader), AViewMatrix);
  State->SetPolyModeLine(false);
}

// ---------------------------------------------------------------------------------------------
// Sky

void TZNT1RendererContext::RenderSky() {
  if (!BSP || !SkyShader || SortKeyBatchs[SORT_ENVIRONMENT].CountBatchItems <= 0) return;
  const TZNT1GLCapabilities* Caps = Engine->GLCapabilities.get();
  if (Portal && Caps && Caps->DepthStencilType == 0) {
    State->Enable(GL_DEPTH_TEST);
    State->SetDepthFunc(GL_LEQUAL);
    State->SetDepthRange(1, 1);
    DrawSky();
    State->SetDepthRange(0, 1);
  } else {
    if (StencilUsed) {
      glClearStencil(0);
      glClear(GL_STENCIL_BUFFER_BIT);
    }
    State->Enable(GL_STENCIL_TEST);
    glStencilFunc(GL_ALWAYS, 1, 1);
    glStencilOp(GL_KEEP, GL_KEEP, GL_REPLACE);
    CurrentViewMatrix = TranslatedViewMatrix;
    glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
    State->SetDepthMask(false);
    GroupIndex = VBOIndex = NoKey;
    Group = nullptr;
    VBO = nullptr;
    const bool MultiDraw = Caps ? Caps->MultiDrawElements : true;
    const TZNT1SortedShaders* Sorted = Engine->Shaders ? Engine->Shaders->SortedShaders.get() : nullptr;
    TZNT1SortKeyBatchItem& Bucket = SortKeyBatchs[SORT_ENVIRONMENT];
    // The box and dome are drawn only where a sky surface passed the depth test: when none did,
    // the driver skips their draws.
    if (!Renderer->SkyQuery) glGenQueries(1, &Renderer->SkyQuery);
    glBeginQuery(GL_SAMPLES_PASSED, Renderer->SkyQuery);
    bool Collected = false;
    for (int32_t i = 0; i < Bucket.CountBatchItems; ++i) {
      const TZNT1BatchItem& Item = *Bucket.Item(i);
      if (Item.BatchItemKind != zbikBSPFACE && Item.BatchItemKind != zbikBSPGROUP) continue;
      const TZNT1Shader* s = (Sorted && Item.SortedShaderIndex >= 0 && Item.SortedShaderIndex < Sorted->Count())
                                 ? Sorted->GetItem(Item.SortedShaderIndex)
                                 : nullptr;
      if (!s || !s->IsSky) continue;
      if (Item.GroupIndex != GroupIndex || Item.VBOIndex != VBOIndex) {
        if (Collected) FlushSkyDraw();
        Collected = false;
        GroupIndex = Item.GroupIndex;
        VBOIndex = Item.VBOIndex;
        Group = nullptr;
        VBO = nullptr;
        if (GroupIndex >= 0 && size_t(GroupIndex) < BSP->BSPGroups.size()) {
          Group = &BSP->BSPGroups[size_t(GroupIndex)];
        } else if (VBOIndex >= 0 && size_t(VBOIndex) < BSP->BSPVBOs.size()) {
          VBO = &BSP->BSPVBOs[size_t(VBOIndex)];
          VBO->CountDynamicIndices = 0;
          VBO->RangeCount = 0;
          State->BindSingleVBO(VBO->VertexVBOID, MultiDraw ? VBO->StaticIndexVBOID : VBO->DynamicIndexVBOID, 0,
                               MultiDraw ? VBO->VAO : 0);
        }
      }
      if (Item.BatchItemKind == zbikBSPFACE) {
        if (VBO && Item.FaceIndex >= 0 && size_t(Item.FaceIndex) < BSP->BSPMapFaces.size() &&
            CollectFace(BSP->BSPMapFaces[size_t(Item.FaceIndex)], MultiDraw))
          Collected = true;
      } else if (Group) {
        FlushSkyDraw();
      }
    }
    if (Collected) FlushSkyDraw();
    glEndQuery(GL_SAMPLES_PASSED);
    State->SetDepthMask(true);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glStencilFunc(GL_EQUAL, 1, 1);
    glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
    State->Enable(GL_DEPTH_TEST);
    State->SetDepthFunc(GL_LEQUAL);
    State->SetDepthRange(1, 1);
    glBeginConditionalRender(Renderer->SkyQuery, GL_QUERY_WAIT);
    DrawSky();
    glEndConditionalRender();
    State->SetDepthRange(0, 1);
    State->Disable(GL_STENCIL_TEST);
    StencilUsed = true;
  }
  // The sky leaves its own buffers bound: the batches after it must select and bind theirs
  // again, even one with the same group or buffer as the last sky surface.
  Group = nullptr;
  VBO = nullptr;
  UseMultiDrawElements = false;
  SortedShaderIndex = GroupIndex = VBOIndex = LightMapAtlasIndex = ModelIndex = MeshTypeIndex = EffectIndex =
      PortalIndex = FaceIndex = BatchItemKind = NoKey;
  CurrentShader = ResolvedShader = nullptr;
  ModelMatrix = Matrix4x4Identity;
  Renderer->IncrementLinkCounter();
}

void TZNT1RendererContext::FlushSkyDraw() {
  State->Disable(GL_POLYGON_OFFSET_FILL);
  State->Disable(GL_CULL_FACE);
  State->Disable(GL_BLEND);
  State->SetDepthMask(false);
  State->SetDepthFunc(GL_LEQUAL);
  const bool MultiDraw = Engine->GLCapabilities ? Engine->GLCapabilities->MultiDrawElements : true;
  TZNT1GLSLShader* P = Engine->GLSLShaders ? Engine->GLSLShaders->DefaultGLSLZPrepassShader : nullptr;
  if (State->UseShader(P) && P->ProgramHandle > 0) {
    if (P->LinkCounter != Renderer->LinkCounter) {
      P->LinkCounter = Renderer->LinkCounter;
      UniformMatrix(P->uModelMatrix, ModelMatrix);
      UniformMatrix(P->uViewMatrix, CurrentViewMatrix);
      UniformMatrix(P->uProjectionMatrix, ProjectionMatrix);
    }
    if (VBO) {
      if (MultiDraw && VBO->RangeCount > 0) {
        const size_t n = size_t(VBO->RangeCount);
        MultiDrawElementsRangeStarts.resize(n);
        MultiDrawElementsRangeCounts.resize(n);
        for (size_t i = 0; i < n; ++i) {
          MultiDrawElementsRangeStarts[i] = BufferOffset(size_t(VBO->RangeStarts[i]));
          MultiDrawElementsRangeCounts[i] = VBO->RangeCounts[i];
        }
        RendererGL.MultiDrawElements(GL_TRIANGLES, MultiDrawElementsRangeCounts.data(), GL_UNSIGNED_INT,
                                     MultiDrawElementsRangeStarts.data(), VBO->RangeCount);
      } else if (!MultiDraw && VBO->CountDynamicIndices > 0) {
        RendererGL.BufferSubData(GL_ELEMENT_ARRAY_BUFFER, 0, GLsizeiptr(VBO->CountDynamicIndices) * 4,
                                 VBO->DynamicIndices.data());
        RendererGL.DrawElements(GL_TRIANGLES, VBO->CountDynamicIndices, GL_UNSIGNED_INT, nullptr);
      }
    } else if (Group) {
      DrawElementsOfBatch(0);
    }
  }
  if (VBO) {
    VBO->CountDynamicIndices = 0;
    VBO->RangeCount = 0;
  }
}

void TZNT1RendererContext::DrawSky() {
  PassCounter = 1;
  if (!SkyShader || !BSP) return;
  InterpolateVertices = false;
  UseMultiDrawElements = false;
  const TZNT1Texture* Default = Engine->Textures ? Engine->Textures->DefaultTexture : nullptr;
  auto Usable = [Default](const TZNT1Texture* t) { return t && t != Default; };
  auto DrawBox = [&](TZNT1Texture* const (&Box)[6], bool Blend) {
    if (!Usable(Box[0])) return;
    State->Disable(GL_POLYGON_OFFSET_FILL);
    State->Enable(GL_CULL_FACE);
    State->SetCullFace(GL_BACK);
    if (Blend) {
      State->Enable(GL_BLEND);
      State->SetBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    } else {
      State->Disable(GL_BLEND);
      State->SetBlendFunc(GL_ONE, GL_ZERO);
    }
    State->SetDepthMask(false);
    TZNT1GLSLShader* P = Engine->GLSLShaders ? Engine->GLSLShaders->DefaultGLSLSkyShader : nullptr;
    if (!State->UseShader(P) || P->ProgramHandle <= 0) return;
    if (P->LinkCounter != Renderer->LinkCounter) {
      P->LinkCounter = Renderer->LinkCounter;
      Uniform1i(P->uTex0, 2);
      UniformMatrix(P->uModelMatrix, Matrix4x4Identity);
      UniformMatrix(P->uViewMatrix, RotationMatrix);
      UniformMatrix(P->uProjectionMatrix, ProjectionMatrix);
    }
    for (int32_t i = 0; i < 6; ++i) {
      if (!Usable(Box[i]) || BSP->SkyVBOSideIndices[i].empty()) continue;
      State->BindSingleVBO(BSP->VertexSkySideVBOID[i], BSP->IndexSkySideVBOID[i], 0, BSP->SkySideVAO[i]);
      State->BindTexture(GL_TEXTURE2, HandleOf(Box[i]), GL_TEXTURE_2D);
      RendererGL.DrawElements(GL_TRIANGLES, GLsizei(BSP->SkyVBOSideIndices[i].size()), GL_UNSIGNED_INT, nullptr);
    }
  };
  DrawBox(SkyShader->Sky.OuterBox, false);
  // The cloud layer draws the dome, not whatever group or buffer the sky surfaces left behind.
  State->SetDepthMask(false);
  Group = nullptr;
  VBO = nullptr;
  if (!BSP->SkyVBOIndices.empty()) {
    if (TZNT1Shader* Resolved = Renderer->ResolveShader(SkyShader)) {
      State->BindSingleVBO(BSP->VertexSkyVBOID, BSP->IndexSkyVBOID, 0, BSP->SkyVAO);
      ModelMatrix = Matrix4x4Identity;
      Renderer->IncrementLinkCounter();
      ApplyShader(Resolved, int32_t(BSP->SkyVBOIndices.size()), false, RotationMatrix);
      Renderer->IncrementLinkCounter();
    }
  }
  DrawBox(SkyShader->Sky.InnerBox, true);
}

// ---------------------------------------------------------------------------------------------
// Geometry fill

void TZNT1RendererContext::RenderGeometryFill() {
  TZNT1RendererContext* Fill = Renderer->GeometryFillContext.get();
  if (!Fill || Fill == this) return;
  Renderer->IncrementLinkCounter();
  Renderer->IncrementVisibleFrame();
  Fill->Parent = this;
  Fill->Portal = ContextTask == ctPORTAL;
  Fill->ContextTask = Fill->Portal ? ctGEOMETRYFILLPORTAL : ctGEOMETRYFILL;
  Fill->CanvasWidth = CanvasWidth;
  Fill->CanvasHeight = CanvasHeight;
  Fill->CheckFrameBufferObject();
  Fill->TranslatedViewMatrix = TranslatedViewMatrix;
  Fill->ViewMatrix = ViewMatrix;
  Fill->ProjectionMatrix = ProjectionMatrix;
  Fill->FOV = FOV;
  Fill->ViewPortLeft = ViewPortLeft;
  Fill->ViewPortTop = ViewPortTop;
  Fill->ViewPortRight = ViewPortRight;
  Fill->ViewPortBottom = ViewPortBottom;
  Fill->Clip2D = Clip2D;
  Fill->Clip2DLeft = Clip2DLeft;
  Fill->Clip2DTop = Clip2DTop;
  Fill->Clip2DRight = Clip2DRight;
  Fill->Clip2DBottom = Clip2DBottom;
  Fill->Mirror = Mirror;
  Fill->PortalPosition = PortalPosition;
  Fill->RenderPosition = RenderPosition;
  Fill->ClipPlaneActive = ClipPlaneActive;
  Fill->ClipPlane = ClipPlane;
  Fill->NearClippingDistance = NearClippingDistance;
  Fill->FarClippingDistance = FarClippingDistance;
  Fill->StencilUsed = true;
  Fill->Render(-1);
  Fill->Parent = nullptr;
  Renderer->CurrentContext = this;
}

// ---------------------------------------------------------------------------------------------
// Portals

// A look-at whose up axis is not along the viewing direction: (0, 0, 1) is singular for floor
// and ceiling portals or a vertical target direction, so those take the x axis.
static TZNT1Matrix4x4 PortalLookAt(const TZNT1Vector3& Eye, const TZNT1Vector3& Center) {
  const TZNT1Vector3 Dir = Vector3Sub(Center, Eye);
  const float Length = Vector3Length(Dir);
  const bool Vertical = Length <= EPSILON || std::fabs(Dir.z) >= Length * 0.999f;
  return Matrix4x4LookAtLDX(Eye, Center, Vertical ? Vector3(1, 0, 0) : Vector3(0, 0, 1));
}

TZNT1Matrix4x4 CameraPortalMatrix(const TZNT1Portal& Portal, const TZNT1Plane& Plane, const TZNT1Vector3& Origin,
                                  double InGameTime, TZNT1Vector3& TargetPoint) {
  const TZNT1Vector3 n = Plane.Normal;
  TZNT1Matrix4x4 Mt;
  TargetPoint = Portal.TargetPosition;
  if (Vector3Dist(Portal.TargetOrigin, Portal.TargetPosition) >= 0.1f) {
    Mt = PortalLookAt(Portal.TargetOrigin, Portal.TargetPosition);
  } else {
    // The angle look negates the look-at's right and up axes; half a turn of roll gives them back,
    // so a camera given by angles shows the same way up as one given by a target point (a quarter
    // turn here would lay the picture of the usual roll key 180 on its side).
    Mt = Matrix4x4LookWithAnglesLDX(Portal.TargetOrigin, Vector3Add(Portal.TargetAngles, Vector3(0, 0, 180)));
    TargetPoint = Vector3Sub(Portal.TargetOrigin, Vector3(Mt.M[0][0], Mt.M[1][0], Mt.M[2][0]));
  }
  const TZNT1Vector3 OnPlane = Vector3Sub(Origin, Vector3ScalarMul(n, PlaneVectorDistance(Plane, Origin)));
  const TZNT1Matrix4x4 Ms = PortalLookAt(OnPlane, Vector3Add(OnPlane, n));
  const TZNT1Matrix4x4 Roll =
      Matrix4x4RotateX(float((std::sin(3.0 * InGameTime) * 4.0 + double(Portal.TargetRoll) - 180.0) * DEG2RAD));
  return Matrix4x4TermMul(Matrix4x4TermMul(Mt, Roll), Matrix4x4TermSimpleInverse(Ms));
}

void TZNT1RendererContext::RenderPortals(int32_t ContextIndex) {
  FallbackContextIndex = -1;
  if (CountPortalsToDraw < 1 || ContextIndex >= 0 || !BSP) return;
  const size_t Slot = 0;
  for (int32_t i = 0; i < CountPortalsToDraw && size_t(i) < PortalsToDraw.size(); ++i) {
    TZNT1Portal* p = static_cast<TZNT1Portal*>(PortalsToDraw[size_t(i)]);
    if (!p) continue;
    p->Visible[Slot] = false;
    if (i >= 4) continue;
    std::unique_ptr<TZNT1RendererContext>& Own = Renderer->Contexts[i];
    if (!Own) Own = std::make_unique<TZNT1RendererContext>(Renderer, true);
    TZNT1RendererContext& c = *Own;
    c.ContextTask = ctPORTAL;
    c.Portal = true;
    c.CanvasWidth = CanvasWidth;
    c.CanvasHeight = CanvasHeight;
    c.CheckFrameBufferObject();
    c.UseFrameBufferObject = true;
    c.TranslatedViewMatrix = TranslatedViewMatrix;
    c.ModelMatrix = ModelMatrix;
    c.ProjectionMatrix = ProjectionMatrix;
    c.FOV = FOV;
    c.ViewPortLeft = ViewPortLeft;
    c.ViewPortTop = ViewPortTop;
    c.ViewPortRight = ViewPortRight;
    c.ViewPortBottom = ViewPortBottom;
    c.NearClippingDistance = NearClippingDistance;
    c.FarClippingDistance = FarClippingDistance;
    c.Clip2D = false;
    c.StencilUsed = true;

    TZNT1Plane Plane = p->Plane;
    TZNT1AABB Box = p->SourceAABB;
    TZNT1Vector3 Origin = p->SourceOrigin;
    if (p->SourceModel > 0 && size_t(p->SourceModel) < BSP->BSPMapModels.size()) {
      const TZNT1Matrix4x4& T = BSP->BSPMapModels[size_t(p->SourceModel)].ViewTransform;
      Plane = PlaneMatrixMul(Plane, Matrix4x4TermTranspose(Matrix4x4TermInverse(T)));
      Box = AABBTransform(Box, T);
      Origin = Vector3TermMatrixMul(Origin, T);
    }
    if (PlaneVectorDistance(Plane, RenderPosition) >= 0 && !Renderer->DrawEverything) continue;

    const TZNT1ClipRect Viewport = {ViewPortLeft, ViewPortTop, ViewPortRight, ViewPortBottom};
    TZNT1ClipRect Rect{};
    auto SetClip = [&c, &Rect] {
      c.Clip2D = true;
      c.Clip2DLeft = Rect[0];
      c.Clip2DTop = Rect[1];
      c.Clip2DRight = Rect[2];
      c.Clip2DBottom = Rect[3];
    };
    bool Draw = false;
    if (p->SourceMirror) {
      c.Mirror = true;
      c.ViewMatrix = Matrix4x4TermMul(Matrix4x4TermReflect(Plane), ViewMatrix);
      c.PortalPosition = RenderPosition;
      c.ClipPlaneActive = true;
      c.ClipPlane = Plane;
      c.ClipPlane.Normal = Vector3Neg(Plane.Normal);
      c.ClipPlane.Distance = -Plane.Distance;
      if (Frustum->CubeInFrustum(Box.Min, Box.Max, 0.0f) &&
          AABBScissorRect(Box, Rect, ViewProjectionMatrix, Viewport, true))
        SetClip();
      Draw = true;
    } else {
      c.Mirror = false;
      TZNT1Vector3 TargetPoint;
      c.ViewMatrix =
          Matrix4x4TermMul(CameraPortalMatrix(*p, Plane, Origin, Engine->InGameTime, TargetPoint), ViewMatrix);
      c.PortalPosition = p->TargetOrigin;
      c.ClipPlaneActive = true;
      c.ClipPlane.Normal = Vector3Norm(Vector3Sub(TargetPoint, p->TargetOrigin));
      c.ClipPlane.Distance = -Vector3Dot(c.ClipPlane.Normal, p->TargetOrigin);
      if (Frustum->CubeInFrustum(Box.Min, Box.Max, 0.0f) &&
          AABBScissorRect(Box, Rect, ViewProjectionMatrix, Viewport, true)) {
        SetClip();
        Draw = true;
      }
      Draw = Draw || Renderer->DrawEverything;
    }
    if (!Draw) continue;
    if (FallbackContextIndex < 0) FallbackContextIndex = i;
    p->Visible[Slot] = true;
    p->FBO[Slot] = i;
    Renderer->IncrementLinkCounter();
    Renderer->IncrementVisibleFrame();
    c.Render(i);
  }
  Renderer->CurrentContext = this;
}
