#pragma once
// GLSL programs: one program object with its sources and cached uniform locations, and the
// library that shares programs by source and holds the built-in ones.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/ZNT1StringHashMap.h"

class TZNT1Engine;
class TZNT1GLSLShaders;

class EShaderException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// 1-based position of the first occurrence of ToSearch in InWhat, 0 when absent.
int32_t MyPos(const std::string& ToSearch, const std::string& InWhat);

// Uniforms whose location field has the uniform's own name.
#define ZNT1_GLSL_UNIFORMS_A(X)                                                                                \
  X(uModelMatrix) X(uViewMatrix) X(uModelViewMatrix) X(uModelNormalMatrix) X(uViewNormalMatrix)                 \
  X(uModelViewNormalMatrix) X(uProjectionMatrix) X(uCubeMapMatrices) X(uCubeMapSide) X(uViewOrigin) X(uTime)   \
  X(uClipPlane) X(uLightBufferTex0) X(uShadowMapMul)
#define ZNT1_GLSL_UNIFORMS_B(X)                                                                                \
  X(uEVSMExponents) X(uWorldSpaceRadius) X(uLightRadius) X(uPenumbraScale) X(uFOV) X(uFocalLength)              \
  X(uLightPosition) X(uLightDirection) X(uLightColor) X(uLightAttenuation) X(uLightSpot) X(uInverseViewMatrix) \
  X(uInverseProjectionMatrix) X(uInverseViewProjectionMatrix) X(uClippingDistances) X(uForce)                  \
  X(uNormalMapLightDirection) X(uFogDistanceVector) X(uFogDepthVector) X(uFogPlane) X(uFogEyeT) X(uFogScale)   \
  X(uFogColor) X(uFogAABBMin) X(uFogAABBMax) X(uFragCoordInvScale) X(uShadowMapInvScale) X(uInterpolation)     \
  X(uDeluxeMapModelSpace) X(uPrimaryLightAmbient) X(uPrimaryLightDirection) X(uPrimaryLightDirectional)        \
  X(uEntityColor) X(uScale) X(uSpecularScale) X(uSpecularPower) X(uTex0) X(uTex1) X(uTex2) X(uTex3) X(uTex4)   \
  X(uTex5) X(uTex6) X(uTex7)
#define ZNT1_GLSL_UNIFORMS_C(X)                                                                                 \
  X(uLightMapTex) X(uDeluxeMapTex) X(uFogTex) X(uPortalPlane) X(uLightGridTex) X(uLightGridScale) X(uLightGridOffset)
// Arrays of the four shadow maps: field, uniform name before the index.
#define ZNT1_GLSL_UNIFORM_ARRAYS_4(X)                                                                          \
  X(uShadowMapTexArray, "uShadowMapTex")                                                                      \
  X(uShadowMapLightInvMatrixRow2Array, "uShadowMapLightInvMatrixRow2")                                        \
  X(uShadowMapLightInvMatrixRow3Array, "uShadowMapLightInvMatrixRow3")                                        \
  X(uShadowMapViewMatrixArray, "uShadowMapViewMatrix") X(uShadowMapLightMatrixArray, "uShadowMapLightMatrix") \
  X(uShadowMapLightOriginArray, "uShadowMapLightOrigin")                                                      \
  X(uShadowMapLightPositionArray, "uShadowMapLightPosition")                                                  \
  X(uShadowMapLightDirectionArray, "uShadowMapLightDirection")                                                \
  X(uShadowMapLightInvRadiusArray, "uShadowMapLightInvRadius")                                                \
  X(uShadowMapLightRadiusArray, "uShadowMapLightRadius") X(uShadowMapZBiasArray, "uShadowMapZBias")           \
  X(uShadowMapZNearArray, "uShadowMapZNear") X(uShadowMapZFarArray, "uShadowMapZFar")
#define ZNT1_GLSL_UNIFORM_ARRAYS_8(X) X(uNormalMapTexs, "uNormalMapTex") X(uSpecularMapTexs, "uSpecularMapTex")

class TZNT1GLSLShader {
 public:
  static constexpr int32_t AttributeCount = 14;
  // Fixed locations, matching the vertex layout; the second set is the next animation frame.
  static const char* const AttributeNames[AttributeCount];

  TZNT1GLSLShader(TZNT1Engine* AEngine, TZNT1GLSLShaders* AShaders);
  ~TZNT1GLSLShader();
  TZNT1GLSLShader(const TZNT1GLSLShader&) = delete;
  TZNT1GLSLShader& operator=(const TZNT1GLSLShader&) = delete;

  void SetCode(const std::string& AVertexShader, const std::string& AGeometryShader,
               const std::string& AFragmentShader, int32_t AOutputTriangles);
  void DequeueHash();
  // Compiles and links; throws EShaderException (after printing the sources) on failure.
  bool Compile(bool Force);
  void Upload();
  void Dispose();
  void IncRef();
  void DecRef();
  void Bind();
  void Unbind();

  std::string Combined;
  TZNT1Engine* Engine;
  TZNT1GLSLShaders* Shaders;
  std::string VertexShader;
  std::string GeometryShader;
  std::string FragmentShader;
  int32_t ReferenceCounter = 0;
  int32_t OutputTriangles = 1;
  int32_t ProgramHandle = -1;
  int32_t VertexShaderHandle = -1;
  int32_t GeometryShaderHandle = -1;
  int32_t FragmentShaderHandle = -1;

#define ZNT1_GLSL_FIELD(Name) int32_t Name = -1;
#define ZNT1_GLSL_ARRAY4(Name, Text) int32_t Name[4] = {-1, -1, -1, -1};
#define ZNT1_GLSL_ARRAY8(Name, Text) int32_t Name[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  ZNT1_GLSL_UNIFORMS_A(ZNT1_GLSL_FIELD)
  ZNT1_GLSL_UNIFORM_ARRAYS_4(ZNT1_GLSL_ARRAY4)
  ZNT1_GLSL_UNIFORMS_B(ZNT1_GLSL_FIELD)
  int32_t uTexs[8] = {-1, -1, -1, -1, -1, -1, -1, -1};  // copies of uTex0 .. uTex7
  ZNT1_GLSL_UNIFORM_ARRAYS_8(ZNT1_GLSL_ARRAY8)
  ZNT1_GLSL_UNIFORMS_C(ZNT1_GLSL_FIELD)
#undef ZNT1_GLSL_FIELD
#undef ZNT1_GLSL_ARRAY4
#undef ZNT1_GLSL_ARRAY8

  bool aPosition = false;
  bool aTexCoord = false;
  bool aLightMapCoord = false;
  bool aNormal = false;
  bool aTangent = false;
  bool aBitangent = false;  // never set: no program has a bitangent attribute
  bool aColor = false;
  bool aMiddle = false;
  bool aPosition2 = false;
  bool aTexCoord2 = false;
  bool aLightMapCoord2 = false;
  bool aNormal2 = false;
  bool aTangent2 = false;
  bool aBitangent2 = false;
  bool aColor2 = false;
  bool aMiddle2 = false;
  uint32_t LinkCounter = 0xFFFFFFFFu;

 private:
  bool HasOpenGL() const;
  bool* AttributeFlag(int32_t Location);
  void ResetAttributeFlags();
  void DeleteObjects();
  void CacheUniformLocations();
  void SetStartValues();
  void CompileStage(uint32_t Kind, const std::string& Source, int32_t& Handle, const char* What);
};

class TZNT1GLSLShaders {
 public:
  static constexpr int32_t MaxShadowFillMaps = 4;

  // Builds and compiles every built-in program; throws EShaderException when one of them
  // (other than a shadow-fill program) fails.
  explicit TZNT1GLSLShaders(TZNT1Engine* AEngine);
  ~TZNT1GLSLShaders();
  TZNT1GLSLShaders(const TZNT1GLSLShaders&) = delete;
  TZNT1GLSLShaders& operator=(const TZNT1GLSLShaders&) = delete;

  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  TZNT1GLSLShader* GetItem(int32_t Index) const { return Items[static_cast<size_t>(Index)]; }
  void SetItem(int32_t Index, TZNT1GLSLShader* Item) { Items[static_cast<size_t>(Index)] = Item; }

  // The shared program for these sources (not compiled, not referenced).
  TZNT1GLSLShader* GetShader(const std::string& AVertexShader, const std::string& AGeometryShader,
                             const std::string& AFragmentShader, int32_t AOutputTriangles);
  void Upload();
  void Dispose();
  void ResetLinkCounters();

  // Compiles a built-in program by referencing it. One that fails is taken out of the library
  // and freed, so that a later request for its sources builds it anew; null then.
  TZNT1GLSLShader* ReferenceOrDrop(TZNT1GLSLShader* Shader);

  // The fixed texts every built-in program starts with.
  static const std::string& VertexPrelude();
  static const std::string& FragmentPrelude();

  std::vector<TZNT1GLSLShader*> Items;
  TZNT1StringHashMap HashMap;
  TZNT1Engine* Engine;
  TZNT1GLSLShader* DefaultGLSLSkyShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLSkyFBOMapShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLPortalShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLZPrepassShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLScreenQuadShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLBlurShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLBoxFilterShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLShadowBoxFilterShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLScreenBlitShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLScreenShadowBlitShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLCubeMapBlitShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLScreenWaterQuadShader = nullptr;
  TZNT1GLSLShader* DefaultGLSL2DTextureShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLLumaShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLDLAAPrepassShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLDLAAPostPassShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLNFAAShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLFXAA2Shader = nullptr;
  TZNT1GLSLShader* DefaultGLSLFXAA3Shader = nullptr;
  TZNT1GLSLShader* DefaultGLSLSMAAEdgeDetectionShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLSMAABlendingWeightCalculationShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLSMAANeighborhoodBlendingShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLBloomFilterShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLBloomBlurShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLBloomCombineShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLDownSampleShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLShadowDownSampleShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLShadowCombineAndBlockerSearchShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLShadowMipMapFilterShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLShadowMipMapCombineShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLShadowMipMapBlurFilterShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLShadowMipMapBlurCombineShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLShadowBlurShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLGlobalShadowCopyShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLShadowCombineShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLCopyShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLGeometryEdgeShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLLightGridFillShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLLightFillShader = nullptr;
  TZNT1GLSLShader* DefaultGLSLShadowFillShader[MaxShadowFillMaps] = {};  // entry i: i + 1 maps
  int32_t MaxShadowMapCountAtOnce = 0;

 private:
  void CreateDefaultShaders();
  void CreateShadowFillShaders(int32_t Format);
  void FreeAll();
};
