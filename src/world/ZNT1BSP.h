#pragma once
// The loaded map: the IBSP file's lumps as records, and the render, visibility and
// collision data built from them that renderer, collision and game read directly.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1Math.h"
#include "gpu/ZNT1VBO.h"
#include "world/ZNT1Entity.h"

class TZNT1Engine;
class TMemoryStream;
class TZNT1Shader;
class TZNT1BSPCollision;
class TZNT1StaticAABBTree;
class TZNT1BSPLoader;

// ---- The file ----

constexpr int32_t kEntities = 0;
constexpr int32_t kTextures = 1;
constexpr int32_t kPlanes = 2;
constexpr int32_t kNodes = 3;
constexpr int32_t kLeafs = 4;
constexpr int32_t kLeafFaces = 5;
constexpr int32_t kLeafBrushes = 6;
constexpr int32_t kModels = 7;
constexpr int32_t kBrushes = 8;
constexpr int32_t kBrushSides = 9;
constexpr int32_t kVertices = 10;
constexpr int32_t kIndices = 11;
constexpr int32_t kShaders = 12;
constexpr int32_t kFaces = 13;
constexpr int32_t kLightMaps = 14;
constexpr int32_t kLightVolumes = 15;
constexpr int32_t kVisData = 16;
constexpr int32_t kMaxLumps = 17;

constexpr int32_t FACE_BAD = 0;
constexpr int32_t FACE_POLYGON = 1;
constexpr int32_t FACE_PATCH = 2;
constexpr int32_t FACE_MESH = 3;
constexpr int32_t FACE_FLARE = 4;

// "No value" markers.
constexpr int32_t BSPNoPortal = -2147483647;  // 0x80000001
constexpr int32_t BSPNoEntity = 0x7FFFFFFF;
constexpr uint32_t BSPNoFrame = 0xFFFFFFFF;
constexpr int32_t BSPCountContexts = 5;

#pragma pack(push, 1)
struct TBSPHeader {
  char strID[4];
  uint32_t Version;
};

struct TBSPLump {
  int32_t Offset;
  int32_t Len;
};

struct TBSPTexture {
  char TextureName[64];
  uint32_t SurfaceFlags;
  uint32_t ContentFlags;
};

// A point p lies on it when Normal . p = Distance; the normal points to the front.
struct TBSPPlane {
  TZNT1Vector3 Normal;
  float Distance;
};

struct TBSPXYZ {
  int32_t x, y, z;
};

// Children: >= 0 a node, c < 0 leaf -(c + 1).
struct TBSPNode {
  int32_t plane;
  int32_t front;
  int32_t back;
  TBSPXYZ min;
  TBSPXYZ max;
};

struct TBSPLeaf {
  int32_t Cluster;
  int32_t area;
  TBSPXYZ min;
  TBSPXYZ max;
  int32_t leafface;
  int32_t CountLeafFaces;
  int32_t leafBrush;
  int32_t CountLeafBrushes;
};

struct TBSPModel {
  TZNT1Vector3 Min;
  TZNT1Vector3 Max;
  int32_t FaceIndex;
  int32_t CountFaces;
  int32_t BrushIndex;
  int32_t CountBrushes;
};

struct TBSPBrush {
  int32_t brushside;
  int32_t numOfBrushsides;
  int32_t Texture;
};

struct TBSPBrushSide {
  int32_t plane;
  int32_t texture;
};

struct TBSPRGBA {
  uint8_t r, g, b, a;
};

struct TBSPVertex {
  TZNT1Vector3 Position;
  TZNT1Vector2 TextureCoord;
  TZNT1Vector2 LightmapCoord;
  TZNT1Vector3 Normal;
  TBSPRGBA Color;
};

// A fog record.
struct TBSPShader {
  char Name[64];
  int32_t BrushIndex;
  int32_t VisibleSide;
};

struct TBSPFace {
  int32_t textureID;
  int32_t effect;
  int32_t FaceType;
  int32_t startVertIndex;
  int32_t numOfVerts;
  int32_t startIndicesIndex;
  int32_t numOfIndices;
  int32_t lightmapID;
  int32_t lMapCorner[2];
  int32_t lMapSize[2];
  TZNT1Vector3 lMapPos;
  TZNT1Vector3 lMapVecs[3];
  int32_t Size[2];
};

struct TBSPLightMap {
  uint8_t imageBits[128][128][3];
};

struct TBSPLightVolume {
  uint8_t Ambient[3];
  uint8_t Directional[3];
  uint8_t Direction[2];
};

struct TBSPVisDataHeader {
  int32_t numOfClusters;
  int32_t BytesProCluster;
};
#pragma pack(pop)

static_assert(sizeof(TBSPHeader) == 8 && sizeof(TBSPLump) == 8);
static_assert(sizeof(TBSPTexture) == 72 && sizeof(TBSPPlane) == 16 && sizeof(TBSPNode) == 36);
static_assert(sizeof(TBSPLeaf) == 48 && sizeof(TBSPModel) == 40 && sizeof(TBSPBrush) == 12);
static_assert(sizeof(TBSPBrushSide) == 8 && sizeof(TBSPVertex) == 44 && sizeof(TBSPShader) == 72);
static_assert(sizeof(TBSPFace) == 104 && offsetof(TBSPFace, lMapVecs) == 60 && offsetof(TBSPFace, Size) == 96);
static_assert(sizeof(TBSPLightMap) == 49152 && sizeof(TBSPLightVolume) == 8 && sizeof(TBSPVisDataHeader) == 8);

// Unit direction of a light-grid cell's directed light, (sin a cos b, sin a sin b, cos a) with a
// and b its two direction bytes times pi/128. Exact at the right angles, so that a horizontal
// light has z = 0 and no component picks up a stray sign from rounding.
void LightVolumeDirection(const TBSPLightVolume& Volume, double Direction[3]);

// ---- Records kept in memory ----

struct TBSPMapTexture {
  std::string TextureName;  // lower case, "/" for "\"
  TZNT1Shader* Shader = nullptr;
  uint32_t SurfaceFlags = 0;
  uint32_t ContentFlags = 0;
};

struct TBSPMapNode {
  int32_t Plane = 0;
  int32_t Front = 0;
  int32_t Back = 0;
  TZNT1AABB AABB{};
  TZNT1Sphere Sphere{};
};

struct TBSPMapLeaf {
  int32_t Cluster = -1;  // -1: outside the visibility data
  int32_t area = 0;
  TBSPXYZ min{};
  TBSPXYZ max{};
  TZNT1AABB AABB{};  // file bounds widened to the leaf's face vertices, plus 0.01
  TZNT1Sphere Sphere{};
  int32_t leafface = 0;
  int32_t CountLeafFaces = 0;
  int32_t leafBrush = 0;
  int32_t CountLeafBrushes = 0;
  int32_t leafPatch = 0;
  int32_t CountLeafPatches = 0;
  std::vector<int32_t> leafPortals;
  int32_t CountLeafPortals = 0;
  std::vector<int32_t> leafGroups;
  int32_t CountLeafGroups = 0;
  bool Valid = false;  // reachable from node 0
  uint32_t VisibleFrame[BSPCountContexts] = {BSPNoFrame, BSPNoFrame, BSPNoFrame, BSPNoFrame, BSPNoFrame};
};

struct TBSPCluster {
  std::vector<int32_t> Leafs;
  std::vector<int32_t> Groups;
  std::vector<int32_t> Portals;
  int32_t CountLeafs = 0;
  int32_t CountGroups = 0;
  int32_t CountPortals = 0;
  TZNT1AABB AABB{};
  TZNT1Sphere Sphere{};
};

// Model 0 is the world; the others belong to brush entities.
struct TBSPMapModel {
  TZNT1AABB AABB{};
  TZNT1Sphere Sphere{};
  int32_t FaceIndex = 0;
  int32_t CountFaces = 0;
  int32_t BrushIndex = 0;
  int32_t CountBrushes = 0;
  bool Visible = false;
  bool Collision = false;
  bool Touchable = false;
  bool NotTouchableWhenNotAlive = false;
  TZNT1Matrix4x4 Transform = Matrix4x4Identity;
  TZNT1AABB TransformedAABB{};
  TZNT1Sphere TransformedSphere{};
  TZNT1Matrix4x4 ViewTransform = Matrix4x4Identity;
  TZNT1AABB ViewTransformedAABB{};
  TZNT1Sphere ViewTransformedSphere{};
  int32_t ViewTransformedCluster = -1;
  void* Model = nullptr;                // model-library entry
  int32_t EntityIndex = BSPNoEntity;   // 0x10000000 + 2 x the entity naming this model
  int32_t GroupIndex = -1;             // first group of the model
  int32_t CountGroups = 0;
  bool CastShadowToProcess = false;
};

struct TBSPMapBrush {
  int32_t brushside = 0;
  int32_t numOfBrushsides = 0;
  int32_t Texture = 0;
  int32_t Effect = -1;
  int32_t SurfaceFlags = 0;
  int32_t ContentFlags = 0;
  bool IsPatch = false;  // a collision brush made from a curved patch
  TZNT1AABB AABB{};
};

// A fog volume.
struct TBSPMapEffect {
  TZNT1Shader* Shader = nullptr;
  int32_t BrushIndex = 0;
  int32_t PlaneIndex = 0;
  int32_t VisibleSide = 0;
  TZNT1AABB AABB{};
  TZNT1Vector4 Color{};
  float TCScale = 0.0f;
  float DepthForOpaque = 0.0f;
  bool HasSurface = false;
  TZNT1Vector4 Surface{};  // the visible side's plane as (-normal, -distance)
};

struct TBSPMapFace {
  TZNT1Shader* Shader = nullptr;
  int32_t textureId = 0;
  int32_t effect = 0;
  int32_t FaceType = 0;
  int32_t startVertIndex = 0;
  int32_t CountVertices = 0;
  int32_t startIndicesIndex = 0;
  int32_t CountIndices = 0;
  int32_t lightmapID = 0;
  int32_t lMapCorner[2] = {0, 0};
  int32_t lMapSize[2] = {0, 0};
  TZNT1Vector3 lMapPos{};
  TZNT1Vector3 lMapVecs[3] = {};
  int32_t Size[2] = {0, 0};
  TZNT1Plane Plane{};         // Normal . p = Distance
  TZNT1Plane SurfacePlane{};  // through the first triangle: Normal . p + Distance = 0
  int32_t VBOIndex = -1;
  int32_t StartVBOVertex = 0;
  int32_t StartVBOIndex = 0;
  int32_t ModelIndex = -1;
  int32_t GroupIndex = -1;
  int32_t GroupVBOIndex = -1;
  int32_t StartGroupVBOVertex = 0;
  int32_t StartGroupVBOIndex = 0;
  int32_t LightMapAtlas = -1;
  TZNT1Vector3 Middle{};
  TZNT1AABB AABB{};
  TZNT1Sphere Sphere{};
  int32_t PortalIndex = BSPNoPortal;
  std::vector<int32_t> Leafs;
  int32_t CountLeafs = 0;
  bool Merged = false;
  bool Root = false;
  int32_t Next = -1;
  int32_t CountMergedFaces = 0;
};

struct TBSPVBO {
  TZNT1VBOVertices Vertices;
  std::vector<uint32_t> StaticIndices;
  std::vector<uint32_t> DynamicIndices;
  int32_t CountVertices = 0;
  int32_t CountStaticIndices = 0;
  int32_t CountDynamicIndices = 0;
  uint32_t VertexVBOID = 0;
  uint32_t StaticIndexVBOID = 0;
  uint32_t DynamicIndexVBOID = 0;
  std::vector<int32_t> RangeStarts;  // multi-draw start positions (filled by the renderer)
  std::vector<int32_t> RangeCounts;
  int32_t RangeCount = 0;
  uint32_t VAO = 0;
};

struct TBSPGroupVBORange {
  int32_t Index = 0;  // buffer
  int32_t FirstVertex = 0;
  int32_t CountVertices = 0;
  int32_t FirstIndex = 0;
  int32_t CountIndices = 0;
};

struct TBSPGroup {
  std::vector<int32_t> Faces;  // ascending face index, the chain order
  int32_t CountFaces = 0;
  TZNT1AABB AABB{};
  TZNT1Sphere Sphere{};
  TZNT1Shader* Shader = nullptr;
  int32_t PortalIndex = BSPNoPortal;
  int32_t EffectIndex = -1;
  int32_t LightMapAtlas = -1;
  int32_t FaceType = 0;
  std::vector<int32_t> Leafs;
  int32_t CountLeafs = 0;
  std::vector<int32_t> Clusters;
  int32_t CountClusters = 0;
  std::vector<TBSPVBO> VBOs;  // own buffers when the map's GroupsSingleVBO is false
  int32_t CountVBOs = 0;
  std::vector<TBSPGroupVBORange> VBORanges;
  int32_t CountVBORanges = 0;
  std::vector<int32_t> Portals;
  int32_t CountPortals = 0;
};

struct TBSPLightMapInfo {
  int32_t LightMapAtlas = -1;
  float x = 0.0f, y = 0.0f;            // top-left corner in the atlas, 0..1
  float xScale = 0.0f, yScale = 0.0f;  // size in the atlas, 0..1
};

struct TBSPVisData {
  TBSPVisDataHeader Header{0, 0};
  std::vector<uint8_t> pBitsets;
  bool Valid = false;  // the rows were read whole and are not empty
};

struct TZNT1Portal {
  std::string Name;
  TZNT1Plane Plane{};
  int32_t SourceLeaf = 0;
  int32_t SourceCluster = 0;
  int32_t SourceModel = 0;
  std::vector<int32_t> SourceFaces;
  bool SourceMirror = false;
  TZNT1AABB SourceAABB{};
  TZNT1Vector3 SourceOrigin{};
  TZNT1Vector3 TargetOrigin{};
  TZNT1Vector3 TargetPosition{};
  float TargetRoll = 0.0f;
  TZNT1Vector3 TargetAngles{};
  float PortalRange = 0.0f;
  bool Visible[BSPCountContexts] = {};
  int32_t FBO[BSPCountContexts] = {};
  uint32_t VisibleFrame[BSPCountContexts] = {};
};

// Curved-patch collision data.
struct TBSPPatch {
  int32_t Face = 0;
  int32_t brush = 0;
  int32_t numbrushes = 0;
  TZNT1AABB AABB{};
  int32_t surface = 0;
  int32_t SurfaceFlags = 0;
  int32_t ContentFlags = 0;
  TZNT1StaticAABBTree* StaticAABBTree = nullptr;  // owned; nil when none
};

// The light grid as a 3D texture: planes 0 .. sZ - 1 ambient, then the directed ones reversed.
struct TZNT1BSPLightVoxelTexture {
  uint32_t Handle = 0;
  bool Uploaded = false;
  int32_t sX = 0, sY = 0, sZ = 0;
  int32_t MaxZ = 0;
  int32_t PlaneSize = 0;
  std::vector<uint8_t> Buffer;  // 8 x sX x sY x sZ bytes
};

// Load-time patch group: entry g the box and levels of group g, entry f in Group the group of face f.
struct TPatchInt {
  int32_t x, y;
};
struct TPatchGroup {
  TZNT1AABB AABB;
  TPatchInt Levels;
  int32_t Group;
};
static_assert(sizeof(TPatchGroup) == 36);

// Halvings a quadratic curve needs until its middle point lies within Tolerance of the chord
// (a curve without length, or one measured as no number, is flat; at most 6).
int32_t PatchFlatnessTest(const TZNT1Vector3& P0, const TZNT1Vector3& P1, const TZNT1Vector3& P2, float Tolerance);
// The halvings along rows (x) and columns (y) over every 3x3 sub-patch of a control grid.
void PatchGetFlatness(const TZNT1Vector3* Points, const int32_t PatchCP[2], TPatchInt& Levels, float Tolerance);

// ---- The map object ----

class TZNT1BSP {
 public:
  explicit TZNT1BSP(TZNT1Engine* AEngine);
  // Frees the whole map, its OpenGL objects included, and gives back its references.
  virtual ~TZNT1BSP();
  TZNT1BSP(const TZNT1BSP&) = delete;
  TZNT1BSP& operator=(const TZNT1BSP&) = delete;

  // Reads and builds the map; false when the file cannot be used (the engine then frees the
  // object). ResourcePath is the folder of external light maps ("maps/NAME/").
  bool Load(TMemoryStream& Stream, const std::string& ResourcePath, const std::string& AMapName);
  // Creates the OpenGL objects once; nothing on a dedicated engine.
  void Upload();
  // Deletes them; the arrays stay so that a later Upload recreates everything.
  void Dispose();
  // Every leaf's and portal's per-context frame stamp back to 0xFFFFFFFF.
  void VisibleFrameOverflow();

  // The six sky-box sides and the cloud dome for the current SkyCloudHeight.
  void GenerateSky();

  // The leaf holding the point (a point on a plane goes to the back); needs a node.
  int32_t FindLeaf(const TZNT1Vector3& MyPos) const;
  // That leaf's cluster; -1 for a negative leaf.
  int32_t FindCluster(const TZNT1Vector3& MyPos) const;
  // Whether Test is potentially visible from Current; DefaultValue without usable vis data or
  // for a cluster outside the rows.
  bool IsClusterVisible(int32_t Current, int32_t Test, bool DefaultValue) const;
  // Leaves with clusters see each other as their clusters do; a leaf without a cluster sees nothing.
  bool IsLeafFromLeafVisible(int32_t LeafA, int32_t LeafB, bool DefaultValue) const;
  bool IsPointFromPointVisible(const TZNT1Vector3& P1, const TZNT1Vector3& P2, bool DefaultValue) const;
  // OR of the content flags of every brush (world and shown or colliding models) holding the point.
  int32_t PointContentFlags(const TZNT1Vector3& MyPos) const;
  // Point tests without callers in the program.
  bool IsPointInside(const TZNT1Vector3& MyPos) const;
  bool CollisionTest(const TZNT1Vector3& Point, float Radius) const;
  bool HasPointCollision(const TZNT1Vector3& MyPos, const TZNT1Vector3& NewPos) const;
  // Highest polygon face below MyPos along -y (writes FaceFlags).
  bool HeightAtPoint(const TZNT1Vector3& MyPos, float& Height);
  bool TestCollision(const TZNT1Vector3& OldPos, const TZNT1Vector3& NewPos, float Radius) const;

  TZNT1Engine* Engine;
  TZNT1BSPCollision* Collision = nullptr;  // owned trace object
  std::unique_ptr<TZNT1Entities> Entities;
  std::vector<TBSPPlane> BSPPlanes;
  std::vector<TBSPMapNode> BSPMapNodes;
  std::vector<int32_t> BSPLeafFaces;
  std::vector<int32_t> BSPLeafBrushes;
  std::vector<TBSPMapModel> BSPMapModels;
  std::vector<TBSPMapBrush> BSPMapBrushes;  // patch collision brushes follow the file's
  std::vector<TBSPBrushSide> BSPBrushSides;
  std::vector<TBSPMapEffect> BSPMapEffects;
  std::vector<TBSPLightVolume> BSPLightVolumes;
  TBSPVisData BSPVisData;
  int32_t CountBSPTextures = 0;
  int32_t CountBSPPlanes = 0;
  int32_t CountBSPNodes = 0;
  int32_t CountBSPLeafs = 0;
  int32_t CountBSPLeafFaces = 0;
  int32_t CountBSPLeafBrushes = 0;
  int32_t CountBSPModels = 0;
  int32_t CountBSPBrushes = 0;
  int32_t CountBSPBrushSides = 0;
  int32_t CountBSPVertices = 0;
  int32_t CountBSPIndices = 0;
  int32_t CountBSPMapEffects = 0;
  int32_t CountBSPFaces = 0;
  int32_t CountBSPLightMaps = 0;
  int32_t CountBSPLightVolumes = 0;
  int32_t CountBSPClusters = 0;
  int32_t CountBSPGroups = 0;
  bool GroupsSingleVBO = true;
  bool UseLightGrid = false;
  std::vector<TBSPLightMapInfo> BSPLightMapInfos;
  int32_t CountLightMapAtlases = 0;
  std::vector<int32_t> LightMapAtlasToDeluxeMap;
  std::vector<TBSPMapTexture> BSPMapTextures;
  std::vector<TBSPMapLeaf> BSPMapLeafs;
  std::vector<int32_t> BSPLeafPatches;
  std::vector<TBSPPatch> BSPPatches;
  int32_t CountBSPPatches = 0;
  int32_t CountBSPLeafPatches = 0;
  int32_t CountBSPAreas = 0;
  std::vector<TBSPVBO> BSPVBOs;
  int32_t CountBSPVBOs = 0;
  std::vector<TBSPVBO> BSPGroupVBOs;
  int32_t CountBSPGroupVBOs = 0;
  std::vector<TBSPMapFace> BSPMapFaces;
  std::vector<TBSPCluster> BSPClusters;
  std::vector<TBSPGroup> BSPGroups;
  uint32_t VertexSkySideVBOID[6] = {};
  uint32_t IndexSkySideVBOID[6] = {};
  uint32_t SkySideVAO[6] = {};
  uint32_t VertexSkyVBOID = 0;
  uint32_t IndexSkyVBOID = 0;
  uint32_t SkyVAO = 0;
  bool Uploaded = false;
  std::vector<bool> FaceFlags;
  TZNT1VBOVertices SkyVBOSideVertices[6];
  std::vector<uint32_t> SkyVBOSideIndices[6];
  TZNT1VBOVertices SkyVBOVertices;
  std::vector<uint32_t> SkyVBOIndices;
  float SkyCloudHeight = 512.0f;
  std::vector<TZNT1Portal> Portals;
  int32_t CountPortals = 0;
  TZNT1AABB WorldAABB{};
  TZNT1Vector3 LightGridSize{};
  TZNT1Vector3 LightGridInvSize{};
  TZNT1Vector3 LightGridOrigin{};
  TZNT1Vector3 LightGridScale{};
  TZNT1Vector3 LightGridOffset{};
  TZNT1Vector3i LightGridBounds{};
  TZNT1Vector3i LightVolumeGrid{};
  TZNT1Vector3 LightVolumeInvSize{};
  TZNT1Vector3 SunLight{};
  TZNT1Vector3 SunDirection{};
  float ColorOverbright = 4.0f;
  bool DeluxeMapping = false;
  bool DeluxeMappingModelSpace = false;
  TZNT1StaticAABBTree* LeafStaticAABBTree = nullptr;  // owned tree over all leaf bounds
  std::unique_ptr<TZNT1BSPLightVoxelTexture> LightGridTexture;

 private:
  friend class TZNT1BSPLoader;
  void UploadVBO(TBSPVBO& VBO, bool StaticIndices, bool DynamicIndices);
  void DisposeVBO(TBSPVBO& VBO);
  // What this map took references on, so that only those are given back.
  std::vector<TZNT1Shader*> ReferencedShaders;
  int32_t ReferencedLightMaps = 0;
};
