#pragma once
// The renderer: view contexts, visibility and batching, the OpenGL state cache and the frame.
#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "core/ZNT1Math.h"
#include "gpu/ZNT1FrameBufferObject.h"
#include "gpu/ZNT1VBO.h"
#include "platform/ZNT1OpenGL.h"
#include "renderer/ZNT1Frustum.h"

class TZNT1Engine;
class TZNT1GLSLShader;
class TZNT1Shader;
class TZNT1ShaderStage;
class TZNT1BSP;
class TZNT1ModelInstance;
struct TBSPGroup;
struct TBSPVBO;
struct TBSPMapLeaf;
struct TBSPMapFace;
struct TZNT1Portal;
struct TBSPMapModel;
class TZNT1ModelMesh;
class TZNT1Texture;
class TZNT1Renderer;

// The OpenGL entry points through which the renderer draws and changes state. They point at
// the driver; tests may point them at recorders that pass the calls on.
struct TZNT1RendererGL {
  decltype(&::glEnable) Enable = &::glEnable;
  decltype(&::glDisable) Disable = &::glDisable;
  decltype(&::glDepthMask) DepthMask = &::glDepthMask;
  decltype(&::glDepthFunc) DepthFunc = &::glDepthFunc;
  decltype(&::glDepthRange) DepthRange = &::glDepthRange;
  decltype(&::glBlendEquation) BlendEquation = &::glBlendEquation;
  decltype(&::glBlendFunc) BlendFunc = &::glBlendFunc;
  decltype(&::glCullFace) CullFace = &::glCullFace;
  decltype(&::glPolygonMode) PolygonMode = &::glPolygonMode;
  decltype(&::glPolygonOffset) PolygonOffset = &::glPolygonOffset;
  decltype(&::glActiveTexture) ActiveTexture = &::glActiveTexture;
  decltype(&::glBindTexture) BindTexture = &::glBindTexture;
  decltype(&::glUseProgram) UseProgram = &::glUseProgram;
  decltype(&::glEnableVertexAttribArray) EnableVertexAttribArray = &::glEnableVertexAttribArray;
  decltype(&::glDisableVertexAttribArray) DisableVertexAttribArray = &::glDisableVertexAttribArray;
  decltype(&::glVertexAttribPointer) VertexAttribPointer = &::glVertexAttribPointer;
  decltype(&::glBindVertexArray) BindVertexArray = &::glBindVertexArray;
  decltype(&::glBindBuffer) BindBuffer = &::glBindBuffer;
  decltype(&::glBufferSubData) BufferSubData = &::glBufferSubData;
  decltype(&::glDrawElements) DrawElements = &::glDrawElements;
  decltype(&::glDrawRangeElements) DrawRangeElements = &::glDrawRangeElements;
  decltype(&::glMultiDrawElements) MultiDrawElements = &::glMultiDrawElements;
};
extern TZNT1RendererGL RendererGL;

// For profiling tools: when set, called as each stage of a frame begins, with the view drawing it
// (-1 the camera's, 0-3 a portal's). A stage lasts until the next one begins.
extern void (*RendererStageHook)(const char* Stage, int32_t View);
inline void MarkRendererStage(const char* Stage, int32_t View = -1) {
  if (RendererStageHook) RendererStageHook(Stage, View);
}

// Antialiasing modes; anything outside 0..5 draws as aaNONE.
constexpr int32_t aaNONE = 0;
constexpr int32_t aaDLAA = 1;
constexpr int32_t aaFXAA2 = 2;
constexpr int32_t aaFXAA3 = 3;
constexpr int32_t aaNFAA = 4;
constexpr int32_t aaSMAA = 5;

// Context tasks.
constexpr int32_t ctNORMAL = 0;
constexpr int32_t ctPORTAL = 1;
constexpr int32_t ctGEOMETRYFILL = 2;
constexpr int32_t ctGEOMETRYFILLPORTAL = 3;
constexpr int32_t ctSHADOWMAP = 4;
constexpr int32_t ctSHADOWCUBEMAP = 5;
constexpr int32_t ctFACEID = 6;

// Batch item kinds.
constexpr int32_t zbikBSPFACE = 0;
constexpr int32_t zbikBSPGROUP = 1;
constexpr int32_t zbikMODEL = 2;

constexpr int32_t MaxShadowMaps = 5;
constexpr int32_t ShadowMapSplits = 4;
constexpr int32_t CountSortKeyBatchs = 18;
constexpr int32_t NoKey = static_cast<int32_t>(0x80000001u);  // never equals a real batch key
constexpr int32_t WorldModelIndex = static_cast<int32_t>(0x80000003u);
constexpr int32_t NoModelEffect = static_cast<int32_t>(0x80000008u);

// The OpenGL state cache: sends a call only when the requested value differs from the last one
// sent, and counts each call it sends in the renderer's GLCalls.
class TZNT1RendererState {
 public:
  explicit TZNT1RendererState(TZNT1Renderer* ARenderer);

  // Forgets everything: the next request for each piece of state reaches OpenGL.
  void Reset();
  void Enable(uint32_t Cap);
  void Disable(uint32_t Cap);
  // Cap's switch as the cache last sent it: 1 on, 0 off, -1 not known.
  int32_t CachedCapability(uint32_t Cap) const;
  // Sends Cap back to what CachedCapability answered; -1 leaves it as it is.
  void RestoreCapability(uint32_t Cap, int32_t Cached);
  void SetDepthMask(bool NewState);
  void SetDepthFunc(uint32_t NewFunc);
  // Not cached: always sent, never counted.
  void SetDepthRange(float NewZNear, float NewZFar);
  void SetBlendEquation(uint32_t NewEquation);
  void SetBlendFunc(uint32_t NewSrc, uint32_t NewDest);
  void SetCullFace(uint32_t NewCullFace);
  void SetPolyModeLine(bool NewState);
  // Compared by bit pattern; sent uncounted.
  void SetPolygonOffset(float NewOffsetFactor, float NewOffsetUnits);
  // TextureUnit is GL_TEXTURE0 + i, i below 32.
  void BindTexture(uint32_t TextureUnit, uint32_t TextureHandle, uint32_t TextureType);
  void UseProgram(uint32_t NewProgramHandle);
  // False for no program (it unbinds the current one): the caller skips its draw.
  bool UseShader(TZNT1GLSLShader* NewShader);
  void SetVertexAttribArray(int32_t Index, bool NewState);
  // Binds a vertex array object when one is given and supported, else the two buffers with
  // attributes 0-6 starting at vertex Ofs.
  void BindSingleVBO(uint32_t VerticesHandle, uint32_t IndicesHandle, int32_t Ofs, uint32_t VAOHandle);
  // Attributes 0-6 from vertex Ofs of the first buffer, 7-13 from vertex Ofs2 of the second.
  void BindDualVBO(uint32_t VerticesHandle, uint32_t IndicesHandle, uint32_t VerticesHandle2, uint32_t IndicesHandle2,
                   int32_t Ofs, int32_t Ofs2);
  void RemoveVertexAttributes();

  TZNT1Renderer* Renderer;
  uint32_t Capabilities[16384];
  uint32_t CapabilitiesInitialized[16384];
  uint32_t TextureHandles[32];
  uint32_t TextureTypes[32];
  uint32_t VertexAttribArrayStates[256];
  uint32_t ProgramHandle;
  uint32_t PolyModeLine;
  uint32_t DepthMask;
  uint32_t DepthFunc;
  uint32_t BlendEquation;
  uint32_t BlendSrc, BlendDest;
  uint32_t CullFace;
  float OffsetFactor, OffsetUnits;
  TZNT1GLSLShader* Shader;
  bool LastWasDualVBO, LastWasVAO, LastWasVBO;

 private:
  void Count(uint32_t n);
  bool HasVAO() const;
  void PointAttributes(int32_t First, size_t FrameOfs);
};

// One draw record of a view: a map face, a face group or a model mesh.
struct TZNT1BatchItem {
  uint32_t EntityIndex;
  uint32_t DepthIndex;
  uint32_t SortIndex;
  int32_t SortKey;
  int32_t SortedShaderIndex;
  uint32_t AdditiveBlend;
  uint32_t DepthCategory;
  int32_t EffectIndex;
  int32_t BatchItemKind;
  union {
    struct {
      int32_t GroupIndex, VBOIndex, LightMapAtlasIndex, ModelIndex, MeshTypeIndex, PortalIndex, FaceIndex;
    };
    struct {
      TZNT1ModelInstance* ModelInstance;
      int32_t MeshIndex, LevelOfDistanceIndex;
    };
  };
};

// One sort bucket.
struct TZNT1SortKeyBatchItem {
  std::vector<void*> BatchItems;  // TZNT1BatchItem references, in the sort routine's element type
  TZNT1BatchItem* Item(int32_t i) const { return static_cast<TZNT1BatchItem*>(BatchItems[static_cast<size_t>(i)]); }
  int32_t CountBatchItems = 0;
  bool Sorted = false;
  bool DepthOnly = false;
};
using TZNT1SortKeyBatchs = std::array<TZNT1SortKeyBatchItem, CountSortKeyBatchs>;

// Orderings of batch items (-1, 0, 1).
int32_t CompareFaceOrGroupBatchItems(const TZNT1BatchItem& a, const TZNT1BatchItem& b);
int32_t CompareFaceOrGroupBatchItemsForDepthCategory(const TZNT1BatchItem& a, const TZNT1BatchItem& b);
int32_t CompareBatchItems(const TZNT1BatchItem& a, const TZNT1BatchItem& b);
int32_t CompareOpaqueBatchItems(const TZNT1BatchItem& a, const TZNT1BatchItem& b);
int32_t CompareAllAboveBatchItems(const TZNT1BatchItem& a, const TZNT1BatchItem& b);
int32_t CompareTransparentBatchItems(const TZNT1BatchItem& a, const TZNT1BatchItem& b);

struct TZNT1RendererLight {
  TZNT1Vector3 Position, Direction, Color;
  float Radius, RadiusExponent, SpotCosCutOff, SpotExponent, Specular, ConstantAttenuation, LinearAttenuation,
      QuadraticAttenuation;
  uint32_t Spot;
};

// One shadow-map slot with its own render target.
class TZNT1RendererShadowMap {
 public:
  TZNT1RendererShadowMap(TZNT1Renderer* ARenderer, TZNT1Engine* AEngine);

  // Empties the slot for a new frame; the reservation, ToRender and the union boxes stay.
  void Clear();
  void AddCaster(const TZNT1AABB& CasterAABB, const TZNT1Sphere& CasterSphere);
  void AddReceiver(const TZNT1AABB& ReceiverAABB);
  void AddModelInstance(TZNT1ModelInstance* ModelInstance, bool Caster, bool Receiver);
  void AddMapModel(TBSPMapModel* MapModel, bool Caster, bool Receiver);
  void AddCluster(int32_t Cluster);
  bool ContainCluster(int32_t Cluster) const;
  bool IsPrimaryCluster(int32_t Cluster) const;
  bool IsVisibleClusterToTheOthers(int32_t Cluster) const;

  TZNT1Renderer* Renderer;
  TZNT1Engine* Engine;
  std::unique_ptr<TZNT1FrameBufferObject> FrameBufferObject;
  std::vector<int32_t> Clusters;
  int32_t CountClusters = 0;
  int32_t SplittedDistanceIndex = -1;
  bool LocalPlayerModel = false;
  bool ToRender = false;
  std::vector<TZNT1ModelInstance*> ModelInstances;
  int32_t CountModelInstances = 0;
  std::vector<TBSPMapModel*> MapModels;
  int32_t CountMapModels = 0;
  TZNT1AABB AABB{};
  TZNT1Sphere Sphere{};
  TZNT1Vector3 LightOrigin{}, LightPosition{};
  float LightRadius = 0;
  TZNT1Vector3 LightDirection{};
  TZNT1Plane ClipPlane{};
  TZNT1Matrix4x4 ModelViewMatrix, ProjectionMatrix, LightMatrix, LightInvMatrix;
  float ZBias = 0, ZNear = 0, ZFar = 0;
  TZNT1AABB AllCasterAABB{};
  std::vector<TZNT1AABB> CasterAABBs;
  int32_t CountCasters = 0;
  TZNT1AABB AllReceiverAABB{};
  std::vector<TZNT1AABB> ReceiverAABBs;
  int32_t CountReceivers = 0;
};

// One shadow candidate.
struct TZNT1RendererShadowItem {
  float SortIndex = 0;
  TBSPMapModel* MapModel = nullptr;
  TZNT1ModelInstance* ModelInstance = nullptr;
};

// The local player's model first, then ascending SortIndex.
int32_t CompareShadowItem(const TZNT1RendererShadowItem& a, const TZNT1RendererShadowItem& b);

// One depth range of the view.
struct TZNT1RendererShadowMapFrustum {
  float NearDistance = 0, FarDistance = 0, FOV = 0, Ratio = 0;
  TZNT1Vector3 Points[8]{};
};
using TZNT1RendererShadowMapFrustums = std::array<TZNT1RendererShadowMapFrustum, ShadowMapSplits>;

// Puts one caster (a map model, or a model instance with CastShadow) of depth range Range into
// the first slot the sharing rules yield: the local player's reserved or first empty slot, a used
// slot whose casters its box touches, a used slot of its cluster (-1: none valid) or range, an
// empty slot, the nearest used slot. Raises MaxShadowMap to that slot; returns it, or -1.
int32_t AssignShadowMapSlot(std::unique_ptr<TZNT1RendererShadowMap> (&Slots)[MaxShadowMaps], int32_t& MaxShadowMap,
                            const TZNT1RendererShadowItem& Item, int32_t Range, int32_t Cluster);

// Where the screen-space shadow term of a finished slot can be non-zero on a point of World, as a
// box in the slot's light view (ModelViewMatrix): its light footprint, widened by two texels of its
// ShadowMapSize map, from the sun side of its light box to the far side of World; with Caster (a
// world box holding all a caster draws into the map), where that caster's share of the map can
// darken. Min > Max when nowhere. False when the slot does not bound it (a degenerate or too wide
// light view, or a sun radius so short that an empty texel could still darken).
bool ShadowMapRegion(const TZNT1RendererShadowMap& Slot, const TZNT1AABB& World, int32_t ShadowMapSize,
                     const TZNT1AABB* Caster, TZNT1AABB& Region);

// The regions of a view's finished slots in their shared light view (one per caster or slot,
// joined when they overlap much or are more than MaxBoxes), and the viewport rectangles (x, y,
// width, height; empty: no width) each slot and all of them reach.
struct TZNT1ShadowRegions {
  static constexpr int32_t MaxBoxes = 16;  // as many as the mask program takes
  const TZNT1Matrix4x4* LightView = nullptr;
  TZNT1AABB Boxes[MaxBoxes]{};
  // The fill passes each box bounds: bit 0 the first, bit 1 the later ones.
  uint8_t Passes[MaxBoxes]{};
  int32_t Count = 0;
  int32_t SlotScissor[MaxShadowMaps][4] = {};
  int32_t Scissor[4] = {};
};

constexpr float ShadowMapSplitWidth = 0.8f;
constexpr float ModelShadowDistance = 128.0f;
constexpr float ShadowMapBlurDiv = 2.0f;

// The transform a camera portal puts before the viewer's view matrix: it carries what lies before
// the target camera to where it shows behind the portal, the plane through Origin (the portal's
// origin, projected onto Plane). TargetPoint receives the point the target camera looks at.
TZNT1Matrix4x4 CameraPortalMatrix(const TZNT1Portal& Portal, const TZNT1Plane& Plane, const TZNT1Vector3& Origin,
                                  double InGameTime, TZNT1Vector3& TargetPoint);

// The orthographic sun view of a slot: a rotation looking along LightDirection that encloses
// CasterAABB, padded 144 units away from the sun and 16 on the other sides.
void ShadowMapLightView(const TZNT1Vector3& ViewDirection, const TZNT1Vector3& LightDirection,
                        const TZNT1AABB& CasterAABB, TZNT1Matrix4x4& ModelViewMatrix,
                        TZNT1Matrix4x4& ProjectionMatrix, float& ZNear, float& ZFar);

// One view the renderer draws.
class TZNT1RendererContext {
 public:
  TZNT1RendererContext(TZNT1Renderer* ARenderer, bool NeedFrameBufferObject);
  ~TZNT1RendererContext();
  TZNT1RendererContext(const TZNT1RendererContext&) = delete;
  TZNT1RendererContext& operator=(const TZNT1RendererContext&) = delete;

  // Binds the context to the engine's current map and builds its presorted lists.
  void Check();
  // (Re)creates the render target for the task and size.
  void CheckFrameBufferObject();
  void InitFaceBatchItems();
  void InitGroupBatchItems();
  // Draws the view; -1 for the camera view, the index in the renderer's Contexts for a portal.
  void Render(int32_t ContextIndex);
  void DrawFrustum() {}

  // Visibility walk and batch items.
  void WalkThroughMap();
  void GetCurrentLeafAndCluster();
  void ExtractWalkthroughFrustum();
  void WalkTree(int32_t Node, bool CheckFrustum);
  void AddLeaf(int32_t LeafIndex, bool CheckFrustum);
  void SearchVisibleGroups();
  void GetRenderingZFarPlane();
  void BuildGroupQueue();
  void CreateGroupBatchItems();
  void CreateFaceBatchItems();
  void AddFaceToBitmap(int32_t AFaceIndex);
  void AddGroupToBitmap(int32_t AGroupIndex);
  void FlushFacesBitmap();
  void FlushGroupsBitmap();
  void ResetFacesBitmap();
  void ResetGroupsBitmap();
  void SearchInsideEffect();
  void InsertModelBatchItems();
  // Puts one item into its bucket; returns its index there (0 when dropped).
  int32_t AddBatchItem(TZNT1BatchItem* Item);
  void SortBatchItems();
  void CollectPortal(int32_t Index);
  // Map faces and groups that are never drawn: no material, SURF_NODRAW, bad or flare faces,
  // patches while curves are off.
  bool PassesFilters(TZNT1Shader* Shader, int32_t FaceType) const;
  // Any view but a shadow map's, in a frame that draws everything.
  bool SeesEverything() const;
  static void MarkBit(std::vector<uint32_t>& Bitmap, uint32_t Bit, uint32_t& First, uint32_t& Last);
  // Sky material and shadow receivers seen by the walk.
  void NoteMaterial(TZNT1Shader* Shader);

  // Batch rendering.
  void InitRendering();
  void BeginRendering();
  void FinishRendering();
  void ResetVBOs();
  // Forgets the bound batch (keys, buffers, material, model matrix): the next batch binds its own
  // and sends its program's uniforms again.
  void ForgetBatchState();
  void RenderBatchItems(bool AUseWireframe);
  void FlushDraw();
  void FlushVBO(int32_t CountIndices, int32_t CountRanges, bool IsModel);
  void FlushModelDraw();
  void ApplyLight(bool Force, float x, float y, float z);
  void FlushModelDrawCPUInterpolate(TZNT1ModelMesh& Mesh);
  void BindLightMap(int32_t Atlas);
  // Adds a face's indices (or its range) to the current buffer's batch; false when it lies
  // outside the buffer.
  bool CollectFace(const TBSPMapFace& Face, bool MultiDraw);
  // The shadow tasks' choice of map and model items.
  bool DrawnInThisTask(const TZNT1BatchItem& Item) const;
  void BindPortalView(TZNT1Shader* Shader, int32_t CountIndices);
  // New batch of a model item: transform, light and entity colour of its instance.
  void BeginModelItem(const TZNT1BatchItem& Item);
  static int32_t ModelRenderType(const TZNT1BatchItem& Item);
  // Stage texture, blend, depth and face state of a pass.
  void ApplyMaterialState(const TZNT1Shader* Shader, bool Wireframe, bool ShadowFill);
  void ApplyStageBits(const TZNT1Shader* Shader, uint32_t Bits);
  TZNT1Texture* StageTexture(const TZNT1ShaderStage* Stage, float Time) const;
  // Binds normal, specular, light-buffer and light-grid textures from unit Unit on.
  void BindExtraTextures(const TZNT1Shader* Shader, TZNT1GLSLShader* Program, uint32_t Unit, bool LightTextures);
  void DrawElementsOfBatch(int32_t CountIndices);
  bool FogVolumeActive() const;
  void ScissorBegin();
  void ScissorEnd();

  // Material application.
  void ApplyShader(TZNT1Shader* Shader, int32_t CountIndices, bool RecieveShadow, const TZNT1Matrix4x4& AViewMatrix);
  void ApplyGLSLShader(TZNT1GLSLShader* AGLSLShader, int32_t CountIndices, float Time,
                       const TZNT1Matrix4x4& AViewMatrix);
  void ApplyGeometryFillShader(TZNT1Shader* Shader, int32_t CountIndices, const TZNT1Matrix4x4& AViewMatrix);
  void ApplyShadowMapFillShader(TZNT1Shader* Shader, int32_t CountIndices, const TZNT1Matrix4x4& AViewMatrix,
                                bool CubeMap);
  void ApplyFogShader(TZNT1Shader* Shader, int32_t CountIndices, const TZNT1Matrix4x4& AViewMatrix);
  void ApplyPortalShader(TZNT1Shader* Shader, int32_t CountIndices, const TZNT1Matrix4x4& AViewMatrix);
  void ApplyWireFrameShader(TZNT1Shader* Shader, int32_t CountIndices, const TZNT1Matrix4x4& AViewMatrix);
  // The material's clock: game time less its offset, held in [0, ClampTime] when that is set.
  float GetShaderTime(const TZNT1Shader* Shader) const;
  // The animation image shown at Time (0 when the stage does not animate).
  static int32_t GetTextureAnimationIndex(const TZNT1ShaderStage* Stage, double Time);

  // Steps that come with the sky, portal, shadow and light passes; until then the sky stays at
  // the clear colour and the light buffer says "no shadow".
  // Sky behind the opaque scene: the sky surfaces mark the stencil, the sky fills it at the far plane.
  void RenderSky();
  // Far box, cloud layer, near box, all with the view's rotation only.
  void DrawSky();
  // Draws the collected sky surfaces into the stencil mask and empties the batch.
  void FlushSkyDraw();
  // The camera view renders up to four collected portals and mirrors into the portal contexts.
  void RenderPortals(int32_t ContextIndex);
  // The same camera into the geometry-fill targets read by the lighting passes.
  void RenderGeometryFill();
  // Depth ranges of the view between NearDistance (positive) and FarDistance.
  static void UpdateSplitDist(TZNT1RendererShadowMapFrustums& Frustums, float NearDistance, float FarDistance);
  // The sun's model shadows of this view into the renderer's five slots.
  void RenderModelShadowMaps();
  // Draws the casters described by the hand-over fields through a shadow context.
  void RenderShadowMap(bool DoCubeMap, bool DoBlur, bool DoIgnoreBSP);
  void RenderLightAndShadowPrepass();
  // Whether the prepass of this view draws a pass over the geometry buffers: a finished shadow
  // map or a light in view.
  bool PrepassReadsGeometryFill() const;
  bool LightInView(const TZNT1RendererLight& Light) const;
  void FillGlobalShadowBuffer();
  // Where the finished slots' shadows can fall (ShadowMapRegion); false when one is unbounded.
  bool GatherShadowRegions(TZNT1ShadowRegions& Regions) const;
  // The viewport rectangle (x, y, width, height) holding a light-view box as this view sees it;
  // false (and an empty rectangle) when none of it is in view.
  bool ShadowRegionScreenRect(const TZNT1Matrix4x4& LightView, const TZNT1AABB& Box, int32_t (&Rect)[4]) const;
  // In the geometry fill, before any overlay: counts in the stencil, against the scene's depth, the
  // regions' boxes each pixel's point lies within (low seven bits); sets ShadowVolumesCounted. When
  // some boxes bound only the later fill passes, those are counted first and left as bit 6, the
  // others counted in the low six bits (ShadowVolumesSplit).
  void CountShadowVolumes(const TZNT1ShadowRegions& Regions);
  // Attaches the geometry fill's depth-stencil buffer, marked there, to Target and leaves the
  // stencil test on, so that the fill passes run only on marked pixels; false (nothing changed)
  // when the fill did not mark it.
  bool MarkShadowRegions(TZNT1FrameBufferObject& Target);
  bool TwoChannelShadows() const;
  void FlushShadowMapQueue();
  void FlushShadowMapQueueEx(bool First);
  void PostprocessShadowBuffer(float LightRadius);
  void FlushLight(const TZNT1RendererLight* Light);
  // Fill-program uniforms of the queued slots and the view.
  void SetShadowFillUniforms(TZNT1GLSLShader* P);
  void SetViewUniforms(TZNT1GLSLShader* P);
  // One full-screen quad.
  void ScreenPass();
  // Binds Target (0 for the window) and sets the viewport to its size.
  void BindTarget(TZNT1FrameBufferObject* Target);

  // Current flush state.
  int32_t SortedShaderIndex = NoKey, GroupIndex = NoKey, VBOIndex = NoKey, LightMapAtlasIndex = NoKey,
          MeshTypeIndex = NoKey, EffectIndex = NoKey, PortalIndex = NoKey, FaceIndex = NoKey, FlushCount = 0,
          ModelIndex = NoKey;
  TZNT1ModelInstance* ModelInstance = nullptr;
  int32_t MeshIndex = NoKey, LevelOfDistanceIndex = NoKey, BatchItemKind = NoKey;
  int32_t FirstPass = 1, ContextTask = 0, PassCounter = 1;
  TBSPGroup* Group = nullptr;
  TBSPVBO* VBO = nullptr;
  TBSPMapLeaf* Leaf = nullptr;
  TZNT1BatchItem* CurrentBatchItem = nullptr;
  TZNT1Shader* CurrentShader = nullptr;
  TZNT1Shader* ResolvedShader = nullptr;
  TZNT1Shader* SkyShader = nullptr;
  TZNT1GLSLShader* GLSLShader = nullptr;
  TZNT1Matrix4x4 RotationMatrix, InverseViewMatrix, InverseProjectionMatrix, InverseViewProjectionMatrix,
      ViewProjectionMatrix, CurrentViewMatrix;
  TZNT1AABB TransformedAABB{};
  // Shadow-map view.
  TZNT1AABB ShadowMapAABB{};
  TZNT1Matrix4x4 ShadowMapViewMatrix, ShadowMapProjectionMatrix;
  float ShadowMapZBias = 0, ShadowMapZNear = 0, ShadowMapZFar = 0;
  bool ShadowMapIgnoreBSP = false;
  TZNT1Vector3 ShadowMapViewOrigin{}, ShadowMapLightOrigin{}, ShadowMapLightPosition{}, ShadowMapLightDirection{};
  TZNT1AABB ShadowMapLightAABB{};
  float ShadowMapLightInvRadius = 0, ShadowMapLightRadius = 0;
  int32_t ShadowMapPass = 0;
  float NearClippingDistance = 1, FarClippingDistance = 4096, ForceValue = -1, SpecularScale = 1, SpecularPower = 1;
  bool StencilUsed = false, BatchHasContent = false;
  int32_t CubeMapSide = 0;
  TZNT1Vector3 ViewAxis[3]{}, Axis[3]{};
  int32_t CurrentContextIndex = -1, FallbackContextIndex = -1;
  bool Mirror = false, Portal = false, InterpolateVertices = false, UseMultiDrawElements = false, UseWireframe = false;
  std::vector<const void*> MultiDrawElementsRangeStarts;
  std::vector<GLsizei> MultiDrawElementsRangeCounts;
  int32_t MultiDrawElementsCountRanges = 0;
  TZNT1Vector4 ShaderRGBA{};
  TZNT1Vector2 ShaderTexCoord{};
  std::vector<int32_t> Stack;
  int32_t StackCapacity = 0;
  TZNT1RendererShadowMapFrustums ShadowMapFrustums{};
  TZNT1RendererShadowMap* ShadowMapQueue[4] = {};
  int32_t ShadowMapQueueCount = 0;
  uint32_t AllModelShadowMapBitmap = 0;
  TZNT1Renderer* Renderer;
  TZNT1Engine* Engine;
  TZNT1RendererState* State;
  TZNT1RendererContext* Parent = nullptr;
  TZNT1BSP* BSP = nullptr;
  std::unique_ptr<TZNT1Frustum> Frustum;
  TZNT1AABB FrustumAABB{};
  TZNT1Sphere FrustumSphere{};
  std::unique_ptr<TZNT1Frustum> VisibleCheckFrustum;
  std::unique_ptr<TZNT1FrameBufferObject> FrameBufferObject;
  std::unique_ptr<TZNT1FrameBufferObject> TempFrameBufferObject;
  std::unique_ptr<TZNT1FrameBufferObject> DownSampleFrameBufferObjects[2];
  bool UseFrameBufferObject = true;
  TZNT1Matrix4x4 TranslatedViewMatrix, ModelMatrix, ViewMatrix, ProjectionMatrix, ShadowMapLightMatrix,
      ShadowMapLightInvMatrix;
  float FOV = 90;
  int32_t CanvasWidth = 0, CanvasHeight = 0, ViewPortLeft = 0, ViewPortTop = 0, ViewPortRight = 0,
          ViewPortBottom = 0;
  bool Clip2D = false;
  int32_t Clip2DLeft = 0, Clip2DTop = 0, Clip2DRight = 0, Clip2DBottom = 0;
  TZNT1Vector3 RenderOrigin{}, RenderPosition{}, RenderDirection{};
  int32_t LastRenderLeaf = -2, LastRenderCluster = -2, RenderLeaf = 0, RenderCluster = 0, RenderEffectIndex = -1;
  // Visibility lists.
  std::vector<int32_t> LeafsToDraw;
  int32_t CountLeafsToDraw = 0;
  uint32_t VisibleCounter = 0;
  std::vector<uint32_t> ClusterCounters;
  std::vector<int32_t> ClustersToDraw;
  int32_t CountClustersToDraw = 0;
  std::vector<uint32_t> GroupCounters;
  std::vector<int32_t> GroupsToDraw;
  int32_t CountGroupsToDraw = 0;
  int32_t CountShadowMaps = 0;
  // Batch items.
  std::vector<TZNT1BatchItem> ModelBatchItems;
  std::vector<TZNT1BatchItem> SortedFaceBatchItems;
  std::vector<TZNT1BatchItem> SortedGroupBatchItems;
  std::vector<TZNT1BatchItem*> FaceBatchItems;
  std::vector<TZNT1BatchItem*> GroupBatchItems;
  int32_t CountBatchItems = 0;
  std::vector<uint32_t> FacesBitmap;
  std::vector<uint32_t> GroupsBitmap;
  TZNT1SortKeyBatchs SortKeyBatchs;
  std::vector<void*> PortalsToDraw;
  int32_t CountPortalsToDraw = 0;
  uint32_t FacesBitmapFirst = 0xFFFFFFFFu, FacesBitmapLast = 0, GroupsBitmapFirst = 0xFFFFFFFFu, GroupsBitmapLast = 0;
  // Clip plane and light.
  bool ClipPlaneActive = false;
  TZNT1Plane ClipPlane{}, TransformedClipPlane{};
  TZNT1Vector3 PortalPosition{}, PrimaryLightAmbient{}, PrimaryLightDirectional{}, PrimaryLightDirection{};
  bool HasShadowReceivers = false;
  // Where this view's finished slots' shadows can fall, when bounded; whether the geometry fill
  // counted them in its stencil (the fill context's own flag).
  TZNT1ShadowRegions ShadowRegions;
  bool ShadowRegionsBounded = false;
  bool ShadowVolumesCounted = false;
  bool ShadowVolumesSplit = false;
};

class TZNT1Renderer {
 public:
  explicit TZNT1Renderer(TZNT1Engine* AEngine);
  ~TZNT1Renderer();
  TZNT1Renderer(const TZNT1Renderer&) = delete;
  TZNT1Renderer& operator=(const TZNT1Renderer&) = delete;

  // After the engine's map was set or cleared: new contexts with the new map's lists.
  void ResetBSP();
  // One frame.
  void Render();
  // Adds the instance and, depth first, what hangs on its tags, each at most once per frame;
  // -1 for a nil instance or one without a model.
  int32_t AddModelInstance(TZNT1ModelInstance* ModelInstance, TZNT1ModelInstance* RootModelInstance = nullptr);
  int32_t AddLight(const TZNT1RendererLight& Light);
  void IncrementLinkCounter();
  void IncrementVisibleFrame();
  // The material drawn in place of TheShader: the end of its remap chain, stopping at the first
  // material met twice.
  TZNT1Shader* ResolveShader(TZNT1Shader* TheShader);
  void CheckFrameBufferObjects();
  // Size of canvas-derived targets: never below 1 pixel.
  static int32_t ShiftedSize(int32_t Size, int32_t Shift);
  static int32_t BlurSize(int32_t Size, int32_t Level);

  TZNT1Engine* Engine;
  std::unique_ptr<TZNT1RendererState> State;
  std::unique_ptr<TZNT1RendererContext> MainContext;
  std::unique_ptr<TZNT1RendererContext> GeometryFillContext;
  std::unique_ptr<TZNT1RendererContext> ShadowMapContext;
  std::unique_ptr<TZNT1RendererContext> ShadowCubeMapContext;
  TZNT1RendererContext* CurrentContext = nullptr;
  std::unique_ptr<TZNT1RendererContext> Contexts[4];
  std::vector<TZNT1ModelInstance*> ModelInstances;
  int32_t CountModelInstances = 0;
  std::vector<TZNT1RendererLight> Lights;
  int32_t CountLights = 0;
  uint32_t LinkCounter = 0;
  uint32_t VisibleFrame = 0;
  uint32_t GLCalls = 0;
  uint32_t CountBatchItems = 0;
  uint32_t CountFlushs = 0;
  std::unique_ptr<TZNT1VBO> QuadVBO;
  std::unique_ptr<TZNT1VBO> MeshVBO;
  bool WireFrame = false;
  bool Curves = true;
  bool WaterEffect = false;
  bool BloomEffect = true;
  int32_t Antialiasing = aaFXAA3;
  // The sun's shadow passes run only where a finished slot's shadow can fall; off, they cover the
  // whole view (the same picture, for comparison).
  bool BoundShadowPasses = true;
  // For warm-up frames under the loading screen. DrawEverything: every view but the shadow maps'
  // counts every cluster and model instance as seen and the whole map as within reach, every
  // portal of the map is drawn, every model casts a shadow, and the post chain is left out; such a
  // frame draws with the programs and states the map can call for, so that a driver which builds
  // its code on first use builds it there. DrawDeadline (the engine's timer, 0 for none): material
  // draws that would begin after it are skipped, so that a frame whose code the driver still has
  // to build ends in time; DrawsIssued and DrawsSkipped count the frame's.
  bool DrawEverything = false;
  int64_t DrawDeadline = 0;
  uint32_t DrawsIssued = 0;
  uint32_t DrawsSkipped = 0;
  int32_t ShadowMapWidth = 512;
  int32_t ShadowMapHeight = 512;
  TZNT1Vector3 LightPosition{};
  TZNT1Vector3 LightDirection{};
  TZNT1AABB LightAABB{};
  float LightInvRadius = 0, LightRadius = 0;
  float WorldSpaceRadius = 4096;
  std::unique_ptr<TZNT1FrameBufferObject> ShadowBufferFrameBufferObject;
  std::unique_ptr<TZNT1FrameBufferObject> LightBufferFrameBufferObject;
  std::unique_ptr<TZNT1FrameBufferObject> TempFloatRGBAFrameBufferObjects[2];
  std::unique_ptr<TZNT1FrameBufferObject> EdgeBufferFrameBufferObject;
  std::unique_ptr<TZNT1FrameBufferObject> ShadowBlurFrameBufferObjects[7];
  std::unique_ptr<TZNT1FrameBufferObject> FrameBufferObjects[2];
  std::unique_ptr<TZNT1FrameBufferObject> AntialiasingFrameBufferObjects[2];
  std::unique_ptr<TZNT1FrameBufferObject> UpDownSampleFrameBufferObjects[6][2];
  std::unique_ptr<TZNT1FrameBufferObject> BloomFrameBufferObjects[2];
  std::unique_ptr<TZNT1RendererShadowMap> ShadowMaps[MaxShadowMaps];
  std::vector<TZNT1RendererShadowItem> ShadowItems;
  std::vector<void*> ShadowItemPointers;  // TZNT1RendererShadowItem references in sorted order

  // The post-processing chain; ends with the picture in the window's framebuffer.
  void PostProcess();

 private:
  friend class TZNT1RendererContext;
  void CheckTarget(std::unique_ptr<TZNT1FrameBufferObject>& Target, int32_t Width, int32_t Height, int32_t Format,
                   bool Depth = false);
  void ComputeSunParameters();
  // Per mesh, the buffer its frames are blended into when the GPU cannot blend them.
  std::unordered_map<const TZNT1ModelMesh*, std::unique_ptr<TZNT1VBO>> MeshScratchVBOs;
  // Samples of the sky surfaces that passed the depth test in the view drawing its sky.
  uint32_t SkyQuery = 0;
  // The faces of the shadow regions' boxes (facing the viewer, the others) and their buffer.
  std::vector<TZNT1VBOVertex> ShadowVolumeVertices[2];
  uint32_t ShadowVolumeBuffer = 0;
  std::vector<TZNT1Shader*> ResolveSeen;  // scratch of ResolveShader
  std::vector<TZNT1Shader*> ChainSeen;    // scratch of the material chain of a flush
  void AddLinkedModelInstances(TZNT1ModelInstance* ModelInstance, TZNT1ModelInstance* RootModelInstance,
                               int32_t RootIndex);
};
