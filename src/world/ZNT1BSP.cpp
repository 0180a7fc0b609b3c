#include "world/ZNT1BSP.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "assets/ZNT1Texture.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"
#include "core/ZNT1Stream.h"
#include "core/ZNT1StringHashMap.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "material/ZNT1Shader.h"
#include "platform/ZNT1OpenGL.h"
#include "world/ZNT1BSPCollision.h"
#include "world/ZNT1StaticAABBTree.h"

namespace {

// The map-name exception: on a map whose name contains this, every portal face belongs to
// every unnamed portal surface.
constexpr std::string_view kMapNameException = "chartres";

constexpr float kPatchTolerance = 5.0f;
// Halvings per patch direction; 2^6 + 1 points per curve is far beyond any real map's need.
constexpr int32_t kMaxPatchHalvings = 6;
// Tessellated vertices a map may produce in all; a damaged control grid must not exhaust memory.
constexpr int64_t kMaxTessellatedVertices = int64_t(1) << 22;

constexpr int32_t kLightMapSize = 128;
constexpr int32_t kLightMapBytes = kLightMapSize * kLightMapSize * 3;

// A float to Int32 that never leaves the range (NaN gives 0).
int32_t SafeInt(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return 2147483647;
  if (v <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int32_t>(v);
}

TZNT1AABB AABBFromInt(const TBSPXYZ& Min, const TBSPXYZ& Max) {
  TZNT1AABB b;
  b.Min = Vector3(float(Min.x), float(Min.y), float(Min.z));
  b.Max = Vector3(float(Max.x), float(Max.y), float(Max.z));
  return b;
}

TZNT1AABB AABBPoint(const TZNT1Vector3& p) {
  TZNT1AABB b;
  b.Min = p;
  b.Max = p;
  return b;
}

std::string LowerName(const char* Text, size_t Max, bool Slashes) {
  size_t n = 0;
  while (n < Max && Text[n]) ++n;
  std::string s(Text, n);
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (Slashes && c == '\\') c = '/';
  }
  return s;
}

float ClampedArcCos(float x) { return ArcCos(std::max(-1.0f, std::min(1.0f, x))); }

bool VectorFinitePositive(const TZNT1Vector3& v) {
  for (float c : v.xyz)
    if (!std::isfinite(c) || c <= 0.0f) return false;
  return true;
}

}  // namespace

// One run of Load: the stream, the load-time lists and the build steps.
class TZNT1BSPLoader {
 public:
  TZNT1BSPLoader(TZNT1BSP& AMap, TMemoryStream& AStream, const std::string& AResourcePath,
                 const std::string& AMapName)
      : M(AMap), E(AMap.Engine), S(AStream), ResourcePath(AResourcePath), MapName(AMapName) {}

  bool Run();

 private:
  // ---- engine services ----
  void Progress(float p) {
    if (E) E->ShowLoadProgress(true, p);
  }
  void KeepAlive() {
    if (E) E->ShowLoadProgress(false, E->LastProgress);
  }
  // The loading screen saw a quit: the load stops at the next check and fails, as a broken
  // map would there.
  bool Quitting() const { return E && E->Quit; }
  TZNT1Shaders* Shaders() const { return E ? E->Shaders.get() : nullptr; }
  int32_t MaxTextureSize() const { return (E && E->GLCapabilities) ? E->GLCapabilities->MaxTextureSize : 2048; }
  int32_t MaxElementsVertices() const {
    return (E && E->GLCapabilities) ? E->GLCapabilities->MaxElementsVertices : 65536;
  }
  int32_t MaxElementsIndices() const {
    return (E && E->GLCapabilities) ? E->GLCapabilities->MaxElementsIndices : 3 * 65536;
  }
  bool LowQuality() const { return E && E->GLCapabilities && E->GLCapabilities->LowQuality; }
  TZNT1Shader* GetShader(const std::string& Name) const {
    TZNT1Shaders* s = Shaders();
    return s ? s->GetShader(Name) : nullptr;
  }
  TZNT1Shader* DefaultShader(const std::string& Name, bool Mesh) const {
    TZNT1Shaders* s = Shaders();
    return s ? s->AddDefaultTextureShader(Name, Mesh, false) : nullptr;
  }

  // ---- file ----
  template <typename T>
  bool ReadLump(int32_t Lump, std::vector<T>& Target, int32_t& Count);
  bool ReadDirectory();
  bool LoadEntities();
  bool LoadTextures();
  bool LoadNodes();
  bool LoadLeafs();
  bool LoadModels();
  bool LoadBrushes();
  bool LoadFaces();
  bool LoadLightMaps();
  void LoadVisData();
  bool Validate() const;
  bool ValidTree() const;

  // ---- build steps ----
  void EntityPass(bool First);
  void SetGridSize(const TZNT1Entity& e);
  void PackLightMaps(const std::vector<TBSPLightMap>& Maps);
  void LoadExternalLightMaps();
  void DetectDeluxe(const std::vector<TBSPLightMap>* Maps);
  void BuildDeluxeTable(int32_t CountTextures);
  void InitPatchGroups();
  void TesselateForPatchGroup(const TBSPMapFace& Face, TZNT1AABB& Box, TPatchInt& Levels);
  bool Tesselate(TBSPMapFace& Face, int32_t FaceIndex);
  void DoTesselate(const TBSPMapFace& Face, int32_t L1, int32_t L2, std::vector<TBSPVertex>& OutVertices,
                   std::vector<int32_t>& OutIndices);
  bool Compile();
  void BuildVertexBuffers();
  void FillFace(TBSPVBO& VBO, TBSPMapFace& Face, int32_t VBOIndex);
  void PrepareSprites(TBSPVBO& VBO, TBSPMapFace& Face);
  void ProcessPortals();
  void LoadFogs();
  void BuildLightGrid();
  void BrushFlagsAndBoxes();
  void GroupValidLeaves();
  void GroupFaceLeaves();
  void GroupMergeableFaces();
  void GroupMerge();
  void GroupBind();
  void GroupBuffers();
  void PackGroups(std::vector<TBSPVBO>& Target, int32_t& CountTarget, const std::vector<int32_t>& GroupsToPack,
                  bool MakeRanges);

  TZNT1BSP& M;
  TZNT1Engine* E;
  TMemoryStream& S;
  std::string ResourcePath;
  std::string MapName;
  TBSPLump Lumps[kMaxLumps] = {};
  std::vector<TBSPVertex> Vertices;
  std::vector<int32_t> Indices;
  std::vector<TBSPShader> Fogs;
  std::vector<TPatchGroup> PatchGroups;
  int32_t CountPatchGroups = 0;
  int32_t CountFogs = 0;
  int64_t TessellatedVertices = 0;
  bool ExternalSecondBlack = false;
};

template <typename T>
bool TZNT1BSPLoader::ReadLump(int32_t Lump, std::vector<T>& Target, int32_t& Count) {
  const TBSPLump& l = Lumps[Lump];
  if (S.Seek(l.Offset) != l.Offset) return false;
  Count = l.Len / int32_t(sizeof(T));
  Target.resize(size_t(Count));
  const int64_t Bytes = int64_t(Count) * int64_t(sizeof(T));
  return Bytes == 0 || S.Read(Target.data(), Bytes) == Bytes;
}

bool TZNT1BSPLoader::ReadDirectory() {
  if (S.Read(Lumps, sizeof Lumps) != int64_t(sizeof Lumps)) return false;
  // Every lump but the visibility data must lie inside the file, checked before anything is
  // sized from it; the visibility data is read only when it is sound.
  for (int32_t i = 0; i < kMaxLumps; ++i) {
    if (i == kVisData) continue;
    const TBSPLump& l = Lumps[i];
    if (l.Offset < 0 || l.Len < 0 || int64_t(l.Offset) + int64_t(l.Len) > S.Size()) return false;
  }
  return true;
}

bool TZNT1BSPLoader::Run() {
  TZNT1BSP& m = M;
  Progress(0.0f);
  if (S.Size() <= 0) return false;
  Progress(1.0f / 60.0f);
  if (S.Seek(0) != 0) return false;
  Progress(2.0f / 60.0f);
  TBSPHeader Header{};
  if (S.Read(&Header, sizeof Header) != int64_t(sizeof Header)) return false;
  Progress(3.0f / 60.0f);
  if (std::memcmp(Header.strID, "IBSP", 4) != 0) return false;
  Progress(3.0f / 60.0f);
  if (Header.Version != 46 && Header.Version != 47) return false;
  Progress(4.0f / 60.0f);
  if (!ReadDirectory()) return false;
  Progress(5.0f / 60.0f);
  if (!LoadEntities()) return false;
  Progress(6.0f / 60.0f);
  if (!LoadTextures() || Quitting()) return false;
  Progress(7.0f / 60.0f);
  if (!ReadLump(kPlanes, m.BSPPlanes, m.CountBSPPlanes)) return false;
  Progress(8.0f / 60.0f);
  if (!LoadNodes()) return false;
  Progress(9.0f / 60.0f);
  if (!LoadLeafs()) return false;
  Progress(10.0f / 60.0f);
  if (!ReadLump(kLeafFaces, m.BSPLeafFaces, m.CountBSPLeafFaces)) return false;
  Progress(11.0f / 60.0f);
  if (!ReadLump(kLeafBrushes, m.BSPLeafBrushes, m.CountBSPLeafBrushes)) return false;
  Progress(12.0f / 60.0f);
  if (!LoadModels()) return false;
  Progress(13.0f / 60.0f);
  if (!LoadBrushes()) return false;
  Progress(14.0f / 60.0f);
  if (!ReadLump(kBrushSides, m.BSPBrushSides, m.CountBSPBrushSides)) return false;
  Progress(15.0f / 60.0f);
  if (!ReadLump(kVertices, Vertices, m.CountBSPVertices)) return false;
  Progress(16.0f / 60.0f);
  if (!ReadLump(kIndices, Indices, m.CountBSPIndices)) return false;
  Progress(17.0f / 60.0f);
  if (!ReadLump(kShaders, Fogs, CountFogs)) return false;
  Progress(18.0f / 60.0f);
  if (!LoadFaces()) return false;
  Progress(19.0f / 60.0f);
  // Indices are checked before anything follows them: light maps read face fields already.
  if (!Validate()) return false;
  if (!LoadLightMaps() || Quitting()) return false;
  Progress(20.0f / 60.0f);
  if (!ReadLump(kLightVolumes, m.BSPLightVolumes, m.CountBSPLightVolumes)) return false;
  Progress(21.0f / 60.0f);
  LoadVisData();
  Progress(21.0f / 60.0f);
  m.LightGridSize = Vector3(64, 64, 128);
  Progress(22.0f / 60.0f);
  InitPatchGroups();
  Progress(23.0f / 60.0f);
  if (!Compile() || Quitting()) return false;
  Progress(24.0f / 60.0f);
  LoadFogs();
  Progress(25.0f / 60.0f);
  EntityPass(false);
  Progress(26.0f / 60.0f);
  BuildLightGrid();
  Progress(27.0f / 60.0f);
  BrushFlagsAndBoxes();
  Progress(28.0f / 60.0f);
  for (int32_t i = 0; i < m.CountBSPLeafs; ++i) {
    KeepAlive();
    m.LeafStaticAABBTree->CreateProxy(m.BSPMapLeafs[size_t(i)].AABB, i);
  }
  m.LeafStaticAABBTree->Build(8, 64, false);
  m.Collision->PrepareLeafBoxes();
  Progress(29.0f / 60.0f);
  m.VisibleFrameOverflow();
  Progress(291.0f / 600.0f);
  GroupValidLeaves();
  Progress(292.0f / 600.0f);
  GroupFaceLeaves();
  Progress(294.0f / 600.0f);
  GroupMergeableFaces();
  Progress(295.0f / 600.0f);
  GroupMerge();
  Progress(296.0f / 600.0f);
  GroupBind();
  Progress(297.0f / 600.0f);
  GroupBuffers();
  Progress(298.0f / 600.0f);
  return true;
}

// ---- Lumps ----

bool TZNT1BSPLoader::LoadEntities() {
  const TBSPLump& l = Lumps[kEntities];
  if (S.Seek(l.Offset) != l.Offset) return false;
  std::string Text(size_t(l.Len), '\0');
  if (l.Len > 0 && S.Read(Text.data(), l.Len) != l.Len) return false;
  ParseEntities(*M.Entities, Text);
  EntityPass(true);
  return true;
}

void TZNT1BSPLoader::SetGridSize(const TZNT1Entity& e) {
  // A size with a zero, negative or non-finite part would make no grid at all: ignored.
  const TZNT1Vector3 v = e.GetVector("gridsize");
  if (VectorFinitePositive(v)) M.LightGridSize = v;
}

void TZNT1BSPLoader::EntityPass(bool First) {
  TZNT1Entities& list = *M.Entities;
  if (First) {
    M.DeluxeMapping = false;
    M.DeluxeMappingModelSpace = false;
  }
  for (int32_t i = 0; i < list.Count(); ++i) {
    const TZNT1Entity* e = list.GetEntity(i);
    if (!e) continue;
    if (First) {
      if (e->Exist("gridsize")) SetGridSize(*e);
      if (e->Exist("overbright")) M.ColorOverbright = e->GetFloat("overbright");
      if (e->Exist("deluxeMaps")) {
        const int32_t v = e->GetInteger("deluxeMaps", 0);
        if (v == 1) {
          M.DeluxeMapping = true;
          M.DeluxeMappingModelSpace = true;
        } else if (v == 2) {
          M.DeluxeMapping = true;
          M.DeluxeMappingModelSpace = false;
        }
      }
    } else {
      const int32_t Model = e->GetInteger("model", -1);
      if (Model > 0 && Model < M.CountBSPModels)
        M.BSPMapModels[size_t(Model)].EntityIndex = 0x10000000 + 2 * i;
      if (e->Exist("gridsize")) SetGridSize(*e);
    }
  }
}

bool TZNT1BSPLoader::LoadTextures() {
  std::vector<TBSPTexture> Records;
  if (!ReadLump(kTextures, Records, M.CountBSPTextures)) return false;
  M.BSPMapTextures.resize(Records.size());
  for (size_t i = 0; i < Records.size(); ++i) {
    KeepAlive();
    TBSPMapTexture& t = M.BSPMapTextures[i];
    t.TextureName = LowerName(Records[i].TextureName, 64, true);
    t.Shader = GetShader(t.TextureName);
    t.SurfaceFlags = Records[i].SurfaceFlags;
    t.ContentFlags = Records[i].ContentFlags;
  }
  return true;
}

bool TZNT1BSPLoader::LoadNodes() {
  std::vector<TBSPNode> Records;
  if (!ReadLump(kNodes, Records, M.CountBSPNodes)) return false;
  M.BSPMapNodes.resize(Records.size());
  for (size_t i = 0; i < Records.size(); ++i) {
    KeepAlive();
    TBSPMapNode& n = M.BSPMapNodes[i];
    n.Plane = Records[i].plane;
    n.Front = Records[i].front;
    n.Back = Records[i].back;
    n.AABB = AABBFromInt(Records[i].min, Records[i].max);
    n.Sphere = SphereFromAABB(n.AABB);
  }
  return true;
}

bool TZNT1BSPLoader::LoadLeafs() {
  std::vector<TBSPLeaf> Records;
  if (!ReadLump(kLeafs, Records, M.CountBSPLeafs)) return false;
  M.BSPMapLeafs.resize(Records.size());
  int32_t Highest = -1;
  for (size_t i = 0; i < Records.size(); ++i) {
    KeepAlive();
    const TBSPLeaf& r = Records[i];
    TBSPMapLeaf& l = M.BSPMapLeafs[i];
    l.Cluster = r.Cluster;
    l.area = r.area;
    l.min = r.min;
    l.max = r.max;
    l.AABB = AABBFromInt(r.min, r.max);
    l.Sphere = SphereFromAABB(l.AABB);
    l.leafface = r.leafface;
    l.CountLeafFaces = r.CountLeafFaces;
    l.leafBrush = r.leafBrush;
    l.CountLeafBrushes = r.CountLeafBrushes;
    Highest = std::max(Highest, r.Cluster);
  }
  // A cluster beyond the leaf count cannot be a sound map's; it fails validation later.
  if (Highest >= M.CountBSPLeafs) return true;
  M.CountBSPClusters = Highest + 1;
  M.BSPClusters.assign(size_t(M.CountBSPClusters), TBSPCluster{});
  for (int32_t i = 0; i < M.CountBSPLeafs; ++i) {
    const TBSPMapLeaf& l = M.BSPMapLeafs[size_t(i)];
    if (l.Cluster < 0) continue;
    TBSPCluster& c = M.BSPClusters[size_t(l.Cluster)];
    if (std::find(c.Leafs.begin(), c.Leafs.end(), i) != c.Leafs.end()) continue;
    c.AABB = c.CountLeafs == 0 ? l.AABB : AABBCombine(c.AABB, l.AABB);
    c.Leafs.push_back(i);
    c.CountLeafs++;
  }
  for (TBSPCluster& c : M.BSPClusters) {
    c.Leafs.shrink_to_fit();
    c.Sphere = SphereFromAABB(c.AABB);
  }
  return true;
}

bool TZNT1BSPLoader::LoadModels() {
  std::vector<TBSPModel> Records;
  if (!ReadLump(kModels, Records, M.CountBSPModels)) return false;
  M.BSPMapModels.resize(Records.size());
  for (size_t i = 0; i < Records.size(); ++i) {
    KeepAlive();
    TBSPMapModel& m = M.BSPMapModels[i];
    m = TBSPMapModel{};
    m.AABB.Min = Records[i].Min;
    m.AABB.Max = Records[i].Max;
    m.Sphere = SphereFromAABB(m.AABB);
    m.FaceIndex = Records[i].FaceIndex;
    m.CountFaces = Records[i].CountFaces;
    m.BrushIndex = Records[i].BrushIndex;
    m.CountBrushes = Records[i].CountBrushes;
    m.TransformedAABB = m.ViewTransformedAABB = m.AABB;
    m.TransformedSphere = m.ViewTransformedSphere = m.Sphere;
  }
  return true;
}

bool TZNT1BSPLoader::LoadBrushes() {
  std::vector<TBSPBrush> Records;
  if (!ReadLump(kBrushes, Records, M.CountBSPBrushes)) return false;
  M.BSPMapBrushes.resize(Records.size());
  for (size_t i = 0; i < Records.size(); ++i) {
    KeepAlive();
    TBSPMapBrush& b = M.BSPMapBrushes[i];
    b = TBSPMapBrush{};
    b.brushside = Records[i].brushside;
    b.numOfBrushsides = Records[i].numOfBrushsides;
    b.Texture = Records[i].Texture;
  }
  return true;
}

bool TZNT1BSPLoader::LoadFaces() {
  std::vector<TBSPFace> Records;
  if (!ReadLump(kFaces, Records, M.CountBSPFaces)) return false;
  M.BSPMapFaces.resize(Records.size());
  for (size_t i = 0; i < Records.size(); ++i) {
    KeepAlive();
    const TBSPFace& r = Records[i];
    TBSPMapFace& f = M.BSPMapFaces[i];
    f = TBSPMapFace{};
    f.textureId = r.textureID;
    f.effect = r.effect;
    f.FaceType = r.FaceType;
    f.startVertIndex = r.startVertIndex;
    f.CountVertices = r.numOfVerts;
    f.startIndicesIndex = r.startIndicesIndex;
    f.CountIndices = r.numOfIndices;
    f.lightmapID = r.lightmapID;
    f.lMapCorner[0] = r.lMapCorner[0];
    f.lMapCorner[1] = r.lMapCorner[1];
    f.lMapSize[0] = r.lMapSize[0];
    f.lMapSize[1] = r.lMapSize[1];
    f.lMapPos = r.lMapPos;
    for (int k = 0; k < 3; ++k) f.lMapVecs[k] = r.lMapVecs[k];
    f.Size[0] = r.Size[0];
    f.Size[1] = r.Size[1];
  }
  PatchGroups.assign(Records.size(), TPatchGroup{{}, {0, 0}, -1});
  return true;
}

void TZNT1BSPLoader::LoadVisData() {
  TBSPVisData& v = M.BSPVisData;
  v.Valid = false;
  v.pBitsets.clear();
  v.Header = TBSPVisDataHeader{0, 0};
  const TBSPLump& l = Lumps[kVisData];
  if (l.Offset < 0 || S.Seek(l.Offset) != l.Offset) return;
  TBSPVisDataHeader h{};
  if (S.Read(&h, sizeof h) != int64_t(sizeof h)) return;
  v.Header = h;
  // Rows are taken only when both fields are positive, each row holds a bit for every
  // cluster (and not absurdly more), every leaf cluster has a row, and the rows lie inside
  // the lump and the file.
  if (h.numOfClusters <= 0 || h.BytesProCluster <= 0) return;
  const int64_t MinBytes = (int64_t(h.numOfClusters) + 7) / 8;
  if (h.BytesProCluster < MinBytes || h.BytesProCluster > MinBytes + 8) return;
  if (h.numOfClusters < M.CountBSPClusters) return;
  const int64_t Product = int64_t(h.numOfClusters) * int64_t(h.BytesProCluster);
  if (Product > int64_t(l.Len) - 8) return;
  if (S.Size() < S.GetPosition() + Product) return;
  v.pBitsets.resize(size_t(Product));
  if (S.Read(v.pBitsets.data(), Product) == Product) {
    v.Valid = Product > 0;
  } else {
    v.pBitsets.clear();
  }
}

bool TZNT1BSPLoader::ValidTree() const {
  // Every node reached from node 0 exactly once: a shared or cyclic node graph is refused,
  // so that every descent ends.
  std::vector<uint8_t> Seen(size_t(M.CountBSPNodes), 0);
  std::vector<int32_t> Stack{0};
  while (!Stack.empty()) {
    const int32_t n = Stack.back();
    Stack.pop_back();
    if (n < 0) continue;
    if (Seen[size_t(n)]) return false;
    Seen[size_t(n)] = 1;
    Stack.push_back(M.BSPMapNodes[size_t(n)].Back);
    Stack.push_back(M.BSPMapNodes[size_t(n)].Front);
  }
  return true;
}

bool TZNT1BSPLoader::Validate() const {
  const TZNT1BSP& m = M;
  auto InRange = [](int64_t First, int64_t Count, int64_t Total) {
    return First >= 0 && Count >= 0 && First + Count <= Total;
  };
  if (m.CountBSPNodes < 1 || m.CountBSPLeafs < 1 || m.CountBSPModels < 1) return false;
  for (const TBSPMapNode& n : m.BSPMapNodes) {
    if (n.Plane < 0 || n.Plane >= m.CountBSPPlanes) return false;
    for (int32_t c : {n.Front, n.Back}) {
      if (c >= 0 ? c >= m.CountBSPNodes : -(int64_t(c) + 1) >= m.CountBSPLeafs) return false;
    }
  }
  if (!ValidTree()) return false;
  for (const TBSPMapLeaf& l : m.BSPMapLeafs) {
    if (l.Cluster >= m.CountBSPLeafs || l.area >= m.CountBSPLeafs) return false;
    if (!InRange(l.leafface, l.CountLeafFaces, m.CountBSPLeafFaces)) return false;
    if (!InRange(l.leafBrush, l.CountLeafBrushes, m.CountBSPLeafBrushes)) return false;
  }
  for (int32_t f : m.BSPLeafFaces)
    if (f < 0 || f >= m.CountBSPFaces) return false;
  for (int32_t b : m.BSPLeafBrushes)
    if (b < 0 || b >= m.CountBSPBrushes) return false;
  for (const TBSPMapModel& o : m.BSPMapModels) {
    if (!InRange(o.FaceIndex, o.CountFaces, m.CountBSPFaces)) return false;
    if (!InRange(o.BrushIndex, o.CountBrushes, m.CountBSPBrushes)) return false;
  }
  for (const TBSPMapBrush& b : m.BSPMapBrushes)
    if (!InRange(b.brushside, b.numOfBrushsides, m.CountBSPBrushSides)) return false;
  for (const TBSPBrushSide& s : m.BSPBrushSides)
    if (s.plane < 0 || s.plane >= m.CountBSPPlanes) return false;
  for (const TBSPMapFace& f : m.BSPMapFaces) {
    if (f.textureId >= m.CountBSPTextures) return false;
    if (!InRange(f.startVertIndex, f.CountVertices, m.CountBSPVertices)) return false;
    if (f.FaceType == FACE_PATCH) {
      // The control grid: odd sizes of at least 3 whose points all exist.
      for (int32_t d = 0; d < 2; ++d)
        if (f.Size[d] < 3 || (f.Size[d] & 1) == 0) return false;
      if (int64_t(f.Size[0]) * int64_t(f.Size[1]) > f.CountVertices) return false;
      continue;  // its file indices are replaced by the tessellation
    }
    if (!InRange(f.startIndicesIndex, f.CountIndices, m.CountBSPIndices)) return false;
    for (int32_t k = 0; k < f.CountIndices; ++k) {
      const int32_t i = Indices[size_t(f.startIndicesIndex + k)];
      if (i < 0 || i >= f.CountVertices) return false;
    }
  }
  return true;
}

// ---- Light maps ----

bool TZNT1BSPLoader::LoadLightMaps() {
  const TBSPLump& l = Lumps[kLightMaps];
  if (S.Seek(l.Offset) != l.Offset) return false;
  const int32_t Count = l.Len / kLightMapBytes;
  M.CountBSPLightMaps = 0;
  M.CountLightMapAtlases = 0;
  M.BSPLightMapInfos.clear();
  if (E) E->LightMaps = std::make_unique<TZNT1Textures>(E);
  if (Count > 0) {
    std::vector<TBSPLightMap> Maps(static_cast<size_t>(Count));
    const int64_t Bytes = int64_t(Count) * kLightMapBytes;
    if (S.Read(Maps.data(), Bytes) != Bytes) return false;
    M.CountBSPLightMaps = Count;
    if (!M.DeluxeMapping) DetectDeluxe(&Maps);
    PackLightMaps(Maps);
  } else {
    LoadExternalLightMaps();
  }
  BuildDeluxeTable(E ? E->LightMaps->Count() : M.CountLightMapAtlases);
  return true;
}

void TZNT1BSPLoader::DetectDeluxe(const std::vector<TBSPLightMap>* Maps) {
  M.DeluxeMapping = (M.CountBSPLightMaps % 2) == 0;
  M.DeluxeMappingModelSpace = true;
  if (!M.DeluxeMapping) return;
  int32_t n = 0;
  for (const TBSPMapFace& f : M.BSPMapFaces) {
    KeepAlive();
    if (f.lightmapID < 0) continue;
    if ((f.lightmapID & 1) != 0 || int64_t(f.lightmapID) + 1 >= M.CountBSPLightMaps) {
      M.DeluxeMapping = false;
      return;
    }
    n = std::max(n, f.lightmapID + 1);
  }
  if (n == 1 && M.CountBSPLightMaps >= 2) {
    bool Black = true;
    if (Maps) {
      const uint8_t* p = &(*Maps)[1].imageBits[0][0][0];
      for (int32_t i = 0; i < kLightMapBytes && Black; ++i) Black = p[i] == 0;
    } else {
      Black = ExternalSecondBlack;
    }
    if (Black) M.DeluxeMapping = false;
  }
}

namespace {
uint8_t ToByte(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 255.0f) return 255;
  return static_cast<uint8_t>(v);
}
}  // namespace

void TZNT1BSPLoader::PackLightMaps(const std::vector<TBSPLightMap>& Maps) {
  const int32_t Count = M.CountBSPLightMaps;
  // Sizes not a multiple of 128 take only whole light maps per row and column.
  const int32_t Cap = std::max(kLightMapSize, MaxTextureSize());
  std::vector<uint8_t> Own(size_t(Count), M.DeluxeMapping ? 1 : 0);
  for (const TBSPMapFace& f : M.BSPMapFaces) {
    KeepAlive();
    if (f.lightmapID < 0 || f.lightmapID >= Count || f.textureId < 0 || f.textureId >= M.CountBSPTextures) continue;
    const TZNT1Shader* sh = M.BSPMapTextures[size_t(f.textureId)].Shader;
    if (sh && sh->DoNeedOwnLightMapAtlas) Own[size_t(f.lightmapID)] = 1;
  }
  int32_t Atlases = 1, Packed = 0;
  {
    int32_t x = 0, y = 0;
    for (int32_t i = 0; i < Count; ++i) {
      if (Own[size_t(i)]) continue;
      ++Packed;
      x += kLightMapSize;
      if (x + kLightMapSize > Cap) {
        x = 0;
        y += kLightMapSize;
        if (y + kLightMapSize > Cap) {
          y = 0;
          ++Atlases;
        }
      }
    }
  }
  // One atlas is sized by the light maps packed into it (one slot at least), never beyond
  // what the driver takes.
  int32_t Size = Cap;
  if (Atlases == 1) {
    int64_t Grid = 2;
    while (Grid * Grid < std::max(Packed, 1)) Grid *= 2;
    Size = int32_t(std::min<int64_t>(Grid * kLightMapSize, Cap));
  }
  M.CountLightMapAtlases = Atlases;
  const int32_t OwnCount = Count - Packed;
  std::vector<uint8_t*> Buffers(size_t(Atlases + OwnCount), nullptr);
  for (int32_t t = 0; t < Atlases + OwnCount; ++t) {
    const size_t side = size_t(t < Atlases ? Size : kLightMapSize);
    Buffers[size_t(t)] = static_cast<uint8_t*>(std::calloc(side * side * 4, 1));
  }
  M.BSPLightMapInfos.assign(size_t(Count), TBSPLightMapInfo{});
  const float Overbright = M.ColorOverbright;
  auto Convert = [&](const TBSPLightMap& Map, uint8_t* Target, int32_t Stride, int32_t x, int32_t y) {
    if (!Target) return;
    for (int32_t ly = 0; ly < kLightMapSize; ++ly) {
      uint8_t* row = Target + (size_t(y + ly) * size_t(Stride) + size_t(x)) * 4;
      for (int32_t lx = 0; lx < kLightMapSize; ++lx) {
        float r = Map.imageBits[ly][lx][0], g = Map.imageBits[ly][lx][1], b = Map.imageBits[ly][lx][2];
        ApplyColorOverbright(r, g, b, 255.0f, Overbright);
        row[lx * 4 + 0] = ToByte(r);
        row[lx * 4 + 1] = ToByte(g);
        row[lx * 4 + 2] = ToByte(b);
        row[lx * 4 + 3] = 255;
      }
    }
  };
  {
    int32_t x = 0, y = 0, t = 0;
    for (int32_t i = 0; i < Count; ++i) {
      if (Own[size_t(i)]) continue;
      KeepAlive();
      Convert(Maps[size_t(i)], Buffers[size_t(t)], Size, x, y);
      M.BSPLightMapInfos[size_t(i)] = TBSPLightMapInfo{t, float(x) / float(Size), float(y) / float(Size),
                                                       float(kLightMapSize) / float(Size),
                                                       float(kLightMapSize) / float(Size)};
      x += kLightMapSize;
      if (x + kLightMapSize > Size) {
        x = 0;
        y += kLightMapSize;
        if (y + kLightMapSize > Size) {
          y = 0;
          ++t;
        }
      }
    }
    t = Atlases;
    for (int32_t i = 0; i < Count; ++i) {
      if (!Own[size_t(i)]) continue;
      KeepAlive();
      Convert(Maps[size_t(i)], Buffers[size_t(t)], kLightMapSize, 0, 0);
      M.BSPLightMapInfos[size_t(i)] = TBSPLightMapInfo{t, 0.0f, 0.0f, 1.0f, 1.0f};
      ++t;
    }
  }
  for (int32_t t = 0; t < Atlases + OwnCount; ++t) {
    const int32_t side = t < Atlases ? Size : kLightMapSize;
    if (E && E->LightMaps) {
      E->LightMaps->CreateTexture("*lightmap" + std::to_string(t), "", Buffers[size_t(t)], side, side, false, false,
                                  GL_CLAMP_TO_EDGE, 0.0f, 0.0f);
    } else {
      std::free(Buffers[size_t(t)]);
    }
  }
}

void TZNT1BSPLoader::LoadExternalLightMaps() {
  M.CountBSPLightMaps = 0;
  M.CountLightMapAtlases = 0;
  ExternalSecondBlack = false;
  if (E && E->LightMaps) {
    TZNT1Textures& Library = *E->LightMaps;
    // Each is an image file to decode; a quit ends the load after this step.
    for (int32_t Index = 0;; ++Index) {
      KeepAlive();
      if (Quitting()) break;
      std::string Number = std::to_string(Index);
      if (Number.size() < 4) Number.insert(0, 4 - Number.size(), '0');
      TZNT1Texture* t = Library.FindTextureFile(ResourcePath + "lm_" + Number + ".jpg", false, false,
                                                GL_CLAMP_TO_EDGE, M.ColorOverbright, 0.0f);
      if (!t) break;
      if (Index == 1) ExternalSecondBlack = t->CheckForBlack();
      int32_t Position = -1;
      for (int32_t k = 0; k < Library.Count(); ++k)
        if (Library.GetItem(k) == t) Position = k;
      M.CountBSPLightMaps = Index + 1;
      M.CountLightMapAtlases++;
      M.BSPLightMapInfos.push_back(TBSPLightMapInfo{Position, 0.0f, 0.0f, 1.0f, 1.0f});
    }
  }
  for (TBSPMapFace& f : M.BSPMapFaces)
    if (f.lightmapID < 0 || f.lightmapID >= M.CountBSPLightMaps) f.lightmapID = -1;
  if (M.CountBSPLightMaps > 0 && !M.DeluxeMapping) DetectDeluxe(nullptr);
}

void TZNT1BSPLoader::BuildDeluxeTable(int32_t CountTextures) {
  M.LightMapAtlasToDeluxeMap.assign(size_t(std::max(CountTextures, 0)), -1);
  if (!M.DeluxeMapping) return;
  for (int32_t i = 0; i + 1 < M.CountBSPLightMaps; i += 2) {
    const int32_t a = M.BSPLightMapInfos[size_t(i)].LightMapAtlas;
    if (a >= 0 && a < CountTextures) M.LightMapAtlasToDeluxeMap[size_t(a)] = M.BSPLightMapInfos[size_t(i + 1)].LightMapAtlas;
  }
}

// ---- Curved patches ----

static int32_t PatchFlatnessDepth(const TZNT1Vector3& P0, const TZNT1Vector3& P1, const TZNT1Vector3& P2,
                                  float Tolerance, int32_t Depth) {
  TZNT1Vector3 D = Vector3Sub(P2, P0);
  if (Vector3Length(D) < 1e-10f) return 0;
  Vector3Normalize(D);
  const TZNT1Vector3 V = Vector3Sub(P1, P0);
  const float Deviation = Vector3Length(Vector3Sub(V, Vector3ScalarMul(D, Vector3Dot(D, V))));
  // A deviation that is no number counts as flat; the halvings stop at the cap.
  if (!std::isfinite(Deviation) || Deviation < Tolerance || Depth >= kMaxPatchHalvings) return 0;
  const TZNT1Vector3 A = Vector3Avg(P0, P1), B = Vector3Avg(P1, P2), Mid = Vector3Avg(A, B);
  return 1 + std::max(PatchFlatnessDepth(P0, A, Mid, Tolerance, Depth + 1),
                      PatchFlatnessDepth(Mid, B, P2, Tolerance, Depth + 1));
}

int32_t PatchFlatnessTest(const TZNT1Vector3& P0, const TZNT1Vector3& P1, const TZNT1Vector3& P2, float Tolerance) {
  return PatchFlatnessDepth(P0, P1, P2, Tolerance, 0);
}

void PatchGetFlatness(const TZNT1Vector3* Points, const int32_t PatchCP[2], TPatchInt& Levels, float Tolerance) {
  Levels = TPatchInt{0, 0};
  const int32_t W = PatchCP[0];
  for (int32_t r = 0; r < PatchCP[1] - 1; r += 2)
    for (int32_t c = 0; c < W - 1; c += 2) {
      for (int32_t k = 0; k < 3; ++k) {
        const TZNT1Vector3* row = Points + size_t(r + k) * size_t(W) + size_t(c);
        Levels.x = std::max(Levels.x, PatchFlatnessTest(row[0], row[1], row[2], Tolerance));
        const TZNT1Vector3* col = Points + size_t(r) * size_t(W) + size_t(c + k);
        Levels.y = std::max(Levels.y, PatchFlatnessTest(col[0], col[size_t(W)], col[size_t(2 * W)], Tolerance));
      }
    }
}

namespace {
bool IsGroupablePatch(const TBSPMapFace& f) {
  return f.FaceType == FACE_PATCH && ((f.CountVertices > 0 && f.Size[0] > 0) || (f.Size[1] > 0 && f.textureId >= 0));
}

void VertexScale(TBSPVertex& v, float s) {
  v.Position = Vector3ScalarMul(v.Position, s);
  v.TextureCoord = Vector2(v.TextureCoord.x * s, v.TextureCoord.y * s);
  v.LightmapCoord = Vector2(v.LightmapCoord.x * s, v.LightmapCoord.y * s);
  v.Normal = Vector3ScalarMul(v.Normal, s);
}

void VertexAdd(TBSPVertex& a, const TBSPVertex& b) {
  a.Position = Vector3Add(a.Position, b.Position);
  a.TextureCoord = Vector2(a.TextureCoord.x + b.TextureCoord.x, a.TextureCoord.y + b.TextureCoord.y);
  a.LightmapCoord = Vector2(a.LightmapCoord.x + b.LightmapCoord.x, a.LightmapCoord.y + b.LightmapCoord.y);
  a.Normal = Vector3Add(a.Normal, b.Normal);
}

// The Bezier blend of three vertices at t; colours blend as floats and round to bytes.
TBSPVertex Blend3(const TBSPVertex& a, const TBSPVertex& b, const TBSPVertex& c, float t) {
  const float w[3] = {(1 - t) * (1 - t), 2 * t * (1 - t), t * t};
  const TBSPVertex* src[3] = {&a, &b, &c};
  TBSPVertex r{};
  float col[4] = {0, 0, 0, 0};
  for (int k = 0; k < 3; ++k) {
    TBSPVertex v = *src[k];
    VertexScale(v, w[k]);
    VertexAdd(r, v);
    const uint8_t* bytes = &src[k]->Color.r;
    for (int ch = 0; ch < 4; ++ch) col[ch] += (bytes[ch] / 255.0f) * w[k];
  }
  uint8_t* out = &r.Color.r;
  for (int ch = 0; ch < 4; ++ch) {
    const float v = std::round(col[ch] * 255.0f);
    out[ch] = v <= 0.0f ? 0 : v >= 255.0f ? 255 : static_cast<uint8_t>(v);
  }
  return r;
}
}  // namespace

void TZNT1BSPLoader::TesselateForPatchGroup(const TBSPMapFace& Face, TZNT1AABB& Box, TPatchInt& Levels) {
  for (int i = 0; i < 3; ++i) {
    Box.Min.xyz[i] = std::min(Face.lMapVecs[0].xyz[i], Face.lMapVecs[1].xyz[i]);
    Box.Max.xyz[i] = std::max(Face.lMapVecs[0].xyz[i], Face.lMapVecs[1].xyz[i]);
  }
  std::vector<TZNT1Vector3> Points(size_t(std::max(Face.CountVertices, 0)));
  for (int32_t i = 0; i < Face.CountVertices; ++i) {
    Points[size_t(i)] = Vertices[size_t(Face.startVertIndex + i)].Position;
    Box = AABBCombineVector3(Box, Points[size_t(i)]);
  }
  PatchGetFlatness(Points.data(), Face.Size, Levels, kPatchTolerance);
  Levels.x = 1 << Levels.x;
  Levels.y = 1 << Levels.y;
}

void TZNT1BSPLoader::InitPatchGroups() {
  const int32_t n = M.CountBSPFaces;
  std::vector<TZNT1AABB> Boxes(static_cast<size_t>(n));
  std::vector<TPatchInt> Levels(size_t(n), TPatchInt{0, 0});
  for (int32_t f = 0; f < n; ++f) {
    KeepAlive();
    PatchGroups[size_t(f)].Group = -1;
    const TBSPMapFace& face = M.BSPMapFaces[size_t(f)];
    if (!IsGroupablePatch(face)) continue;
    TesselateForPatchGroup(face, Boxes[size_t(f)], Levels[size_t(f)]);
    const int32_t l = std::max(Levels[size_t(f)].x, Levels[size_t(f)].y);
    Levels[size_t(f)] = TPatchInt{l, l};
  }
  CountPatchGroups = 0;
  for (int32_t f = 0; f < n; ++f) {
    if (!IsGroupablePatch(M.BSPMapFaces[size_t(f)]) || PatchGroups[size_t(f)].Group >= 0) continue;
    KeepAlive();
    const int32_t g = CountPatchGroups++;
    PatchGroups[size_t(g)].AABB = Boxes[size_t(f)];
    PatchGroups[size_t(g)].Levels = Levels[size_t(f)];
    PatchGroups[size_t(f)].Group = g;
    bool Added = true;
    while (Added) {
      Added = false;
      for (int32_t o = f + 1; o < n; ++o) {
        if (!IsGroupablePatch(M.BSPMapFaces[size_t(o)]) || PatchGroups[size_t(o)].Group >= 0) continue;
        if (!AABBIntersectEx(PatchGroups[size_t(g)].AABB, Boxes[size_t(o)], 1e-12f)) continue;
        TPatchGroup& G = PatchGroups[size_t(g)];
        G.AABB = AABBCombine(G.AABB, Boxes[size_t(o)]);
        G.Levels.x = std::max(G.Levels.x, Levels[size_t(o)].x);
        G.Levels.y = std::max(G.Levels.y, Levels[size_t(o)].y);
        PatchGroups[size_t(o)].Group = g;
        Added = true;
      }
    }
  }
}

void TZNT1BSPLoader::DoTesselate(const TBSPMapFace& Face, int32_t L1, int32_t L2, std::vector<TBSPVertex>& OutVertices,
                                 std::vector<int32_t>& OutIndices) {
  const int32_t W = Face.Size[0];
  const int64_t N = int64_t((Face.Size[0] - 1) / 2) * int64_t((Face.Size[1] - 1) / 2);
  OutVertices.clear();
  OutIndices.clear();
  OutVertices.reserve(size_t(int64_t(L1 + 1) * (L2 + 1) * N));
  OutIndices.reserve(size_t(int64_t(6) * L1 * L2 * N));
  const TBSPVertex* V = Vertices.data() + Face.startVertIndex;
  for (int32_t r = 0; r < Face.Size[1] - 2; r += 2)
    for (int32_t c = 0; c < W - 2; c += 2) {
      const TBSPVertex* C[3][3];
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) C[i][j] = &V[size_t(r + i) * size_t(W) + size_t(c + j)];
      const int32_t Base = int32_t(OutVertices.size());
      for (int32_t a = 0; a <= L1; ++a) {
        const float s = float(a) / float(L1);
        const TBSPVertex R0 = Blend3(*C[0][0], *C[0][1], *C[0][2], s);
        const TBSPVertex R1 = Blend3(*C[1][0], *C[1][1], *C[1][2], s);
        const TBSPVertex R2 = Blend3(*C[2][0], *C[2][1], *C[2][2], s);
        for (int32_t b = 0; b <= L2; ++b) OutVertices.push_back(Blend3(R0, R1, R2, float(b) / float(L2)));
      }
      const int32_t Wd = L2 + 1;
      for (int32_t a = 0; a < L1; ++a)
        for (int32_t b = 0; b < L2; ++b) {
          for (int32_t v : {(a + 1) * Wd + b, a * Wd + b, a * Wd + b + 1, (a + 1) * Wd + b, a * Wd + b + 1,
                            (a + 1) * Wd + b + 1})
            OutIndices.push_back(Base + v);
        }
    }
}

bool TZNT1BSPLoader::Tesselate(TBSPMapFace& Face, int32_t FaceIndex) {
  TPatchInt Levels{0, 0};
  std::vector<TZNT1Vector3> Points(size_t(Face.CountVertices));
  for (int32_t i = 0; i < Face.CountVertices; ++i) Points[size_t(i)] = Vertices[size_t(Face.startVertIndex + i)].Position;
  PatchGetFlatness(Points.data(), Face.Size, Levels, kPatchTolerance);
  const int32_t Group = PatchGroups[size_t(FaceIndex)].Group;
  int32_t L[2] = {1 << Levels.x, 1 << Levels.y};
  for (int d = 0; d < 2; ++d)
    if (L[d] > 1) L[d] = Group >= 0 ? (d == 0 ? PatchGroups[size_t(Group)].Levels.x : PatchGroups[size_t(Group)].Levels.y) : 5;
  const int64_t N = int64_t((Face.Size[0] - 1) / 2) * int64_t((Face.Size[1] - 1) / 2);
  TessellatedVertices += int64_t(L[0] + 1) * (L[1] + 1) * N;
  if (TessellatedVertices > kMaxTessellatedVertices) return false;
  std::vector<TBSPVertex> NewVertices;
  std::vector<int32_t> NewIndices;
  DoTesselate(Face, L[0], L[1], NewVertices, NewIndices);
  Face.startVertIndex = M.CountBSPVertices;
  Face.startIndicesIndex = M.CountBSPIndices;
  Face.CountVertices = int32_t(NewVertices.size());
  Face.CountIndices = int32_t(NewIndices.size());
  M.CountBSPVertices += Face.CountVertices;
  M.CountBSPIndices += Face.CountIndices;
  Vertices.resize(size_t(M.CountBSPVertices));
  Indices.resize(size_t(M.CountBSPIndices));
  std::copy(NewVertices.begin(), NewVertices.end(), Vertices.begin() + Face.startVertIndex);
  std::copy(NewIndices.begin(), NewIndices.end(), Indices.begin() + Face.startIndicesIndex);
  return true;
}

// ---- Compile ----

bool TZNT1BSPLoader::Compile() {
  TZNT1BSP& m = M;
  int32_t Highest = -1;
  for (const TBSPMapLeaf& l : m.BSPMapLeafs) Highest = std::max(Highest, l.Cluster);
  m.CountBSPClusters = Highest + 1;
  m.FaceFlags.assign(size_t(m.CountBSPFaces), false);

  CreatePatchBrushes(m, Vertices);

  // The materials are found or made here. Stopping part way leaves faces pointing at materials
  // they hold no reference on, as a failure further on does.
  for (TBSPMapFace& f : m.BSPMapFaces) {
    KeepAlive();
    if (Quitting()) return false;
    if (f.textureId < 0) {
      f.Shader = nullptr;
      continue;
    }
    TBSPMapTexture& t = m.BSPMapTextures[size_t(f.textureId)];
    if (!t.Shader) t.Shader = DefaultShader(t.TextureName, f.FaceType == FACE_MESH);
    f.Shader = t.Shader;
    if (f.Shader && f.Shader->IsSky) m.SkyCloudHeight = f.Shader->Sky.CloudHeight;
  }

  for (int32_t i = 0; i < m.CountBSPFaces; ++i) {
    KeepAlive();
    TBSPMapFace& f = m.BSPMapFaces[size_t(i)];
    if (f.FaceType != FACE_POLYGON && f.FaceType != FACE_PATCH && f.FaceType != FACE_MESH) continue;
    const TBSPLightMapInfo* Info = (m.CountBSPLightMaps > 0 && f.lightmapID >= 0 && f.lightmapID < m.CountBSPLightMaps)
                                       ? &m.BSPLightMapInfos[size_t(f.lightmapID)]
                                       : nullptr;
    f.LightMapAtlas = Info ? Info->LightMapAtlas : -1;
    if (f.FaceType == FACE_POLYGON) {
      f.Plane = Plane(f.lMapVecs[2],
                      f.CountVertices > 0 ? Vector3Dot(Vertices[size_t(f.startVertIndex)].Position, f.lMapVecs[2]) : 0.0f);
      // First three vertices; fewer make no triangle and so no plane.
      f.SurfacePlane = f.CountVertices >= 3
                           ? PlaneFromPoints(Vertices[size_t(f.startVertIndex)].Position,
                                             Vertices[size_t(f.startVertIndex + 1)].Position,
                                             Vertices[size_t(f.startVertIndex + 2)].Position)
                           : TZNT1Plane{};
    } else {
      if (f.FaceType == FACE_PATCH) {
        if (!Tesselate(f, i)) return false;
      } else {
        f.Plane = Plane(f.lMapVecs[2], 0.0f);
      }
      if (f.CountIndices >= 3) {
        const TBSPVertex* V = Vertices.data() + f.startVertIndex;
        const int32_t* I = Indices.data() + f.startIndicesIndex;
        f.SurfacePlane = PlaneFromPoints(V[I[0]].Position, V[I[1]].Position, V[I[2]].Position);
      } else {
        f.SurfacePlane = TZNT1Plane{};
      }
    }
    if (Info) {
      for (int32_t k = 0; k < f.CountVertices; ++k) {
        TZNT1Vector2& c = Vertices[size_t(f.startVertIndex + k)].LightmapCoord;
        c = Vector2(c.x * Info->xScale + Info->x, c.y * Info->yScale + Info->y);
      }
    }
  }

  for (TBSPMapLeaf& l : m.BSPMapLeafs) {
    KeepAlive();
    l.AABB = AABBFromInt(l.min, l.max);
    for (int32_t k = 0; k < l.CountLeafFaces; ++k) {
      const int32_t fi = m.BSPLeafFaces[size_t(l.leafface + k)];
      if (fi < 0 || fi >= m.CountBSPFaces) continue;
      const TBSPMapFace& f = m.BSPMapFaces[size_t(fi)];
      for (int32_t v = 0; v < f.CountVertices; ++v)
        l.AABB = AABBCombineVector3(l.AABB, Vertices[size_t(f.startVertIndex + v)].Position);
    }
    l.AABB.Min = Vector3Sub(l.AABB.Min, Vector3(0.01f, 0.01f, 0.01f));
    l.AABB.Max = Vector3Add(l.AABB.Max, Vector3(0.01f, 0.01f, 0.01f));
  }

  m.WorldAABB = m.BSPMapLeafs[0].AABB;
  for (size_t i = 1; i < m.BSPMapLeafs.size(); ++i) m.WorldAABB = AABBCombine(m.WorldAABB, m.BSPMapLeafs[i].AABB);
  for (const TBSPMapNode& n : m.BSPMapNodes) m.WorldAABB = AABBCombine(m.WorldAABB, n.AABB);
  for (const TBSPMapModel& o : m.BSPMapModels) m.WorldAABB = AABBCombine(m.WorldAABB, o.AABB);

  BuildVertexBuffers();

  // Taking a reference builds the material's programs: seconds in all when the driver has none
  // cached. A quit stops here; the map gives back only the references it took.
  for (const TBSPMapTexture& t : m.BSPMapTextures) {
    KeepAlive();
    if (Quitting()) return false;
    if (!t.Shader) continue;
    t.Shader->IncRef();
    m.ReferencedShaders.push_back(t.Shader);
    if (t.Shader->HasSunLight) {
      m.SunLight = t.Shader->SunLight;
      m.SunDirection = Vector3Norm(t.Shader->SunDirection);
    }
  }
  if (E && E->LightMaps) {
    for (int32_t i = 0; i < E->LightMaps->Count(); ++i) E->LightMaps->GetItem(i)->IncRef();
    m.ReferencedLightMaps = E->LightMaps->Count();
  }

  ProcessPortals();

  m.BSPPlanes.resize(size_t(m.CountBSPPlanes));
  m.BSPBrushSides.resize(size_t(m.CountBSPBrushSides));
  m.BSPMapBrushes.resize(size_t(m.CountBSPBrushes));
  for (TBSPMapLeaf& l : m.BSPMapLeafs)
    if (l.CountLeafPortals > 0) l.leafPortals.resize(size_t(l.CountLeafPortals));
  return true;
}

// ---- Vertex buffers ----

void TZNT1BSPLoader::BuildVertexBuffers() {
  TZNT1BSP& m = M;
  const int32_t MaxV = MaxElementsVertices(), MaxI = MaxElementsIndices();
  // Which buffer each face goes to; a face never splits, a new buffer starts before a face
  // that would reach either limit.
  std::vector<int32_t> Buffer(size_t(m.CountBSPFaces), 0);
  std::vector<int32_t> CountV{0}, CountI{0}, Faces{0};
  for (int32_t i = 0; i < m.CountBSPFaces; ++i) {
    KeepAlive();
    const TBSPMapFace& f = m.BSPMapFaces[size_t(i)];
    if (int64_t(CountV.back()) + f.CountVertices >= MaxV || int64_t(CountI.back()) + f.CountIndices >= MaxI) {
      CountV.push_back(0);
      CountI.push_back(0);
      Faces.push_back(0);
    }
    Buffer[size_t(i)] = int32_t(CountV.size()) - 1;
    CountV.back() += f.CountVertices;
    CountI.back() += f.CountIndices;
    Faces.back() += 1;
  }
  m.CountBSPVBOs = int32_t(CountV.size());
  m.BSPVBOs.assign(CountV.size(), TBSPVBO{});
  for (size_t b = 0; b < CountV.size(); ++b) {
    TBSPVBO& v = m.BSPVBOs[b];
    v.Vertices.resize(size_t(CountV[b]));
    v.StaticIndices.resize(size_t(CountI[b]));
    v.DynamicIndices.resize(size_t(CountI[b]));
    v.RangeStarts.resize(size_t(Faces[b]));
    v.RangeCounts.resize(size_t(Faces[b]));
  }
  for (int32_t i = 0; i < m.CountBSPFaces; ++i) {
    KeepAlive();
    FillFace(m.BSPVBOs[size_t(Buffer[size_t(i)])], m.BSPMapFaces[size_t(i)], Buffer[size_t(i)]);
  }
  for (TBSPVBO& v : m.BSPVBOs) {
    KeepAlive();
    CalculateTangents(v.Vertices, v.StaticIndices);
    v.CountDynamicIndices = 0;
  }
}

void TZNT1BSPLoader::FillFace(TBSPVBO& VBO, TBSPMapFace& Face, int32_t VBOIndex) {
  Face.VBOIndex = VBOIndex;
  Face.StartVBOVertex = VBO.CountVertices;
  Face.StartVBOIndex = VBO.CountStaticIndices;
  VBO.RangeCount++;
  TZNT1Vector3 Sum = Vector3(0, 0, 0);
  for (int32_t k = 0; k < Face.CountVertices; ++k) {
    const TBSPVertex& s = Vertices[size_t(Face.startVertIndex + k)];
    TZNT1VBOVertex& d = VBO.Vertices[size_t(VBO.CountVertices + k)];
    d = TZNT1VBOVertex{};
    d.Position = s.Position;
    d.TexCoord = s.TextureCoord;
    d.LightMapCoord = s.LightmapCoord;
    d.Normal = s.Normal;
    float r = s.Color.r / 255.0f, g = s.Color.g / 255.0f, b = s.Color.b / 255.0f;
    ApplyColorOverbright(r, g, b, 1.0f, M.ColorOverbright);
    d.Color.r = ToByte(std::round(r * 255.0f));
    d.Color.g = ToByte(std::round(g * 255.0f));
    d.Color.b = ToByte(std::round(b * 255.0f));
    d.Color.a = s.Color.a;
    d.Middle = Vector4(0, 0, 0, 1);
    Sum = Vector3Add(Sum, s.Position);
    Face.AABB = k == 0 ? AABBPoint(s.Position) : AABBCombineVector3(Face.AABB, s.Position);
  }
  Face.Middle = Face.CountVertices > 0 ? Vector3ScalarMul(Sum, 1.0f / float(Face.CountVertices)) : Vector3(0, 0, 0);
  Face.Sphere = SphereFromAABB(Face.AABB);
  for (int32_t k = 0; k < Face.CountIndices; ++k)
    VBO.StaticIndices[size_t(VBO.CountStaticIndices + k)] =
        uint32_t(Indices[size_t(Face.startIndicesIndex + k)] + Face.StartVBOVertex);
  VBO.CountVertices += Face.CountVertices;
  VBO.CountStaticIndices += Face.CountIndices;
  if (Face.Shader && (Face.Shader->HasAutoSpriteDeformation || Face.Shader->HasAutoSprite2Deformation))
    PrepareSprites(VBO, Face);
}

void TZNT1BSPLoader::PrepareSprites(TBSPVBO& VBO, TBSPMapFace& Face) {
  const int32_t nv = Face.CountVertices, ni = Face.CountIndices;
  if (nv < 4 || ni < 6 || nv % 4 != 0 || ni != nv / 4 * 6) {
    Face.FaceType = FACE_BAD;
    return;
  }
  TZNT1VBOVertex* V = VBO.Vertices.data() + Face.StartVBOVertex;
  uint32_t* I = VBO.StaticIndices.data() + Face.StartVBOIndex;
  const uint32_t Base = uint32_t(Face.StartVBOVertex);
  const TZNT1Shader* sh = Face.Shader;
  for (int32_t q = 0; q < nv / 4; ++q) {
    TZNT1VBOVertex* Q = V + 4 * q;
    uint32_t* QI = I + 6 * q;
    const uint32_t First = Base + uint32_t(4 * q);
    if (sh->HasAutoSprite2Deformation) {
      static const int32_t EdgeVerts[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
      int32_t Edge[2] = {0, 0};
      float Len[2] = {std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity()};
      for (int32_t j = 0; j < 6; ++j) {
        const float d = Vector3LengthSquared(Vector3Sub(Q[EdgeVerts[j][0]].Position, Q[EdgeVerts[j][1]].Position));
        if (d < Len[0]) {
          Len[1] = Len[0];
          Edge[1] = Edge[0];
          Len[0] = d;
          Edge[0] = j;
        } else if (d < Len[1]) {
          Len[1] = d;
          Edge[1] = j;
        }
      }
      TZNT1Vector3 Middles[2];
      for (int j = 0; j < 2; ++j)
        Middles[j] = Vector3Avg(Q[EdgeVerts[Edge[j]][0]].Position, Q[EdgeVerts[Edge[j]][1]].Position);
      const TZNT1Vector3 Major = Vector3Sub(Middles[1], Middles[0]);
      for (int j = 0; j < 2; ++j) {
        const int32_t e0 = EdgeVerts[Edge[j]][0], e1 = EdgeVerts[Edge[j]][1];
        bool Found = false;
        for (int k = 0; k < 5 && !Found; ++k) Found = QI[k] == First + uint32_t(e0) && QI[k + 1] == First + uint32_t(e1);
        const float Half = 0.5f * std::sqrt(Vector3LengthSquared(Vector3Sub(Q[e0].Position, Q[e1].Position)));
        Q[e0].Position = Found ? Vector3Sub(Middles[j], Major) : Vector3Add(Middles[j], Major);
        Q[e1].Position = Found ? Vector3Add(Middles[j], Major) : Vector3Sub(Middles[j], Major);
        Q[e0].Middle = Q[e1].Middle = Vector4(Middles[j], Half);
      }
      continue;
    }
    TZNT1Vector3 C = Vector3(0, 0, 0);
    for (int k = 0; k < 4; ++k) C = Vector3Add(C, Q[k].Position);
    C = Vector3ScalarMul(C, 0.25f);
    if (sh->NumDeformations > 0 && sh->Deformation[0].Deformation == DEFORM_AUTOSPRITE) {
      const float r = 0.707f * Vector3Length(Vector3Sub(Q[0].Position, C));
      static const float Corner[4][2] = {{-1, 1}, {-1, -1}, {1, -1}, {1, 1}};
      static const float UV[4][2] = {{0, 0}, {0, 1}, {1, 1}, {1, 0}};
      for (int k = 0; k < 4; ++k) {
        Q[k].Position = Vector3Add(C, Vector3(Corner[k][0] * r, 0, Corner[k][1] * r));
        Q[k].Normal = Vector3(0, 1, 0);
        Q[k].TexCoord = Vector2(UV[k][0], UV[k][1]);
        Q[k].Middle = Vector4(C, 1);
      }
      const uint32_t Order[6] = {0, 1, 3, 3, 1, 2};
      for (int k = 0; k < 6; ++k) QI[k] = First + Order[k];
      continue;
    }
    for (int k = 0; k < 4; ++k) Q[k].Middle = Vector4(C, 1);
    TZNT1Vector3 N = Vector3(0, 0, 0);
    for (int k = 0; k < 4; ++k) N = Vector3Add(N, Vector3Cross(Q[k].Position, Q[(k + 1) % 4].Position));
    if (Vector3Normalize(N) <= EPSILON) {
      N = Vector3Cross(Vector3Sub(Q[1].Position, Q[0].Position), Vector3Sub(Q[2].Position, Q[0].Position));
      if (Vector3Normalize(N) <= EPSILON) N = Q[0].Normal;
    }
    const TZNT1Vector3 Up = Vector3(0, 1, 0);
    const float Dot = Vector3Dot(N, Up);
    if (Dot < 1.0f) {
      const TZNT1Matrix3x3 R = Matrix3x3Rotate(ClampedArcCos(Dot), Vector3Norm(Vector3Cross(N, Up)));
      for (int k = 0; k < 4; ++k) {
        Q[k].Position = Vector3Add(C, Vector3TermMatrixMul(Vector3Sub(Q[k].Position, C), R));
        Q[k].Normal = Vector3TermMatrixMul(Q[k].Normal, R);
      }
    }
  }
}

// ---- Portals and mirrors ----

void TZNT1BSPLoader::ProcessPortals() {
  TZNT1BSP& m = M;
  m.CountPortals = 0;
  m.Portals.clear();
  std::string LowerMap = MapName;
  for (char& c : LowerMap)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  const bool MapNameException = LowerMap.find(kMapNameException) != std::string::npos;
  TZNT1Entities& Ents = *m.Entities;

  std::unique_ptr<TZNT1Entities> Cameras = Ents.GetEntities("classname", "misc_portal_camera");
  TZNT1StringHashMap CameraNames, TargetNames;
  std::unique_ptr<TZNT1Entities> Positions, NotNulls;
  if (Cameras->Count() > 0) {
    for (TZNT1Entity* e : Cameras->Items)
      if (e->Exist("targetname")) CameraNames.Add(e->GetString("targetname"), e);
    Positions = Ents.GetEntities("classname", "target_position");
    NotNulls = Ents.GetEntities("classname", "info_notnull");
    for (TZNT1Entities* list : {Positions.get(), NotNulls.get()})
      for (TZNT1Entity* e : list->Items)
        if (e->Exist("targetname")) TargetNames.Add(e->GetString("targetname"), e);
  }
  std::unique_ptr<TZNT1Entities> Surfaces = Ents.GetEntities("classname", "misc_portal_surface");

  auto IsPortalFace = [&](const TBSPMapFace& f) { return f.Shader && f.Shader->IsPortal; };
  auto FaceDistance = [&](const TBSPMapFace& f, const TZNT1Vector3& Origin) {
    float d = Vector3Dist(f.Middle, Origin);
    if (d >= 64.0f) {
      for (int32_t k = 0; k + 2 < f.CountIndices; k += 3) {
        const TBSPVertex* V = Vertices.data() + f.startVertIndex;
        const int32_t* I = Indices.data() + f.startIndicesIndex + k;
        d = std::min(d, std::fabs(PointTriangleDistance(Origin, V[I[0]].Position, V[I[1]].Position, V[I[2]].Position)));
      }
    }
    return d;
  };
  // The face whose plane and range the portal takes: the first that has the surface's origin
  // before it (its SurfacePlane's normal points behind the face), else the first. A portal brush
  // may carry the material on both sides, and the surface stands on the side meant to be looked
  // into; the far side alone would never be collected from there.
  auto ViewedFace = [&](const TZNT1Portal& p, bool HasOrigin) -> const TBSPMapFace& {
    if (HasOrigin)
      for (int32_t fi : p.SourceFaces) {
        const TBSPMapFace& f = m.BSPMapFaces[size_t(fi)];
        if (PlaneVectorDistance(f.SurfacePlane, p.SourceOrigin) < 0.0f) return f;
      }
    return m.BSPMapFaces[size_t(p.SourceFaces[0])];
  };
  auto GrowByFace = [&](TZNT1AABB& Box, const TBSPMapFace& f) {
    for (int32_t k = 0; k < f.CountVertices; ++k) Box = AABBCombineVector3(Box, Vertices[size_t(f.startVertIndex + k)].Position);
  };

  for (TZNT1Entity* Surface : Surfaces->Items) {
    KeepAlive();
    TZNT1Portal p{};
    const std::string Target = Surface->GetString("target");
    TZNT1Entity* Camera = Target.empty() ? nullptr : static_cast<TZNT1Entity*>(CameraNames.GetValue(Target));
    p.Name = Surface->GetString("name");
    p.SourceMirror = Camera == nullptr;
    p.SourceOrigin = Surface->GetVector("origin");
    p.SourceLeaf = m.FindLeaf(p.SourceOrigin);
    p.SourceModel = -1;
    p.PortalRange = 256.0f;
    const int32_t Index = m.CountPortals;
    if (p.Name.empty()) {
      if (p.SourceLeaf < 0 || p.SourceLeaf >= m.CountBSPLeafs) continue;
      p.SourceCluster = m.BSPMapLeafs[size_t(p.SourceLeaf)].Cluster;
      for (int32_t i = 0; i < m.CountBSPFaces; ++i) {
        const TBSPMapFace& f = m.BSPMapFaces[size_t(i)];
        if (!IsPortalFace(f)) continue;
        if (MapNameException || FaceDistance(f, p.SourceOrigin) <= 64.0f) p.SourceFaces.push_back(i);
      }
      if (p.SourceFaces.empty()) continue;
      const TBSPMapFace& Viewed = ViewedFace(p, true);
      p.Plane = Viewed.SurfacePlane;
      p.PortalRange = Viewed.Shader->PortalRange;
      TBSPMapLeaf& Leaf = m.BSPMapLeafs[size_t(p.SourceLeaf)];
      Leaf.CountLeafPortals++;
      if (Leaf.leafPortals.size() < size_t(Leaf.CountLeafPortals))
        Leaf.leafPortals.resize(RoundUpToPowerOfTwo(uint32_t(Leaf.CountLeafPortals)));
      Leaf.leafPortals[size_t(Leaf.CountLeafPortals - 1)] = Index;
      if (p.SourceCluster >= 0 && p.SourceCluster < m.CountBSPClusters) {
        TBSPCluster& c = m.BSPClusters[size_t(p.SourceCluster)];
        c.CountPortals++;
        if (c.Portals.size() < size_t(c.CountPortals)) c.Portals.resize(RoundUpToPowerOfTwo(uint32_t(c.CountPortals)));
        c.Portals[size_t(c.CountPortals - 1)] = Index;
      }
      p.SourceAABB = AABBPoint(p.SourceOrigin);
      for (int32_t fi : p.SourceFaces) {
        m.BSPMapFaces[size_t(fi)].PortalIndex = Index;
        GrowByFace(p.SourceAABB, m.BSPMapFaces[size_t(fi)]);
      }
    } else {
      p.SourceLeaf = -1;
      p.SourceCluster = -1;
      for (int32_t i = 0; i < m.CountBSPFaces; ++i) {
        const TBSPMapFace& f = m.BSPMapFaces[size_t(i)];
        if (f.Shader && f.Shader->PortalName == p.Name) p.SourceFaces.push_back(i);
      }
      if (p.SourceFaces.empty()) continue;
      const TBSPMapFace& Viewed = ViewedFace(p, Surface->Exist("origin"));
      p.Plane = Viewed.SurfacePlane;
      p.PortalRange = Viewed.Shader->PortalRange;
      bool Started = false;
      for (int32_t fi : p.SourceFaces) {
        TBSPMapFace& f = m.BSPMapFaces[size_t(fi)];
        f.PortalIndex = Index;
        if (!Started && f.CountVertices > 0) {
          p.SourceAABB = AABBPoint(Vertices[size_t(f.startVertIndex)].Position);
          Started = true;
        }
        if (Started) GrowByFace(p.SourceAABB, f);
      }
    }
    if (!Surface->Exist("origin")) p.SourceOrigin = Vector3Avg(p.SourceAABB.Min, p.SourceAABB.Max);
    if (Camera) {
      p.TargetOrigin = Camera->GetVector("origin");
      p.TargetPosition = p.TargetOrigin;
      p.TargetRoll = Camera->GetFloat("roll");
      p.TargetAngles = Camera->Exist("angle") ? Vector3(0, Camera->GetFloat("angle"), 0) : Camera->GetVector("angles");
      const std::string CameraTarget = Camera->GetString("target");
      if (TZNT1Entity* t = static_cast<TZNT1Entity*>(TargetNames.GetValue(CameraTarget))) p.TargetPosition = t->GetVector("origin");
    }
    if (m.Portals.size() < size_t(Index + 1)) m.Portals.resize(RoundUpToPowerOfTwo(uint32_t(Index + 1)));
    m.Portals[size_t(Index)] = std::move(p);
    m.CountPortals++;
  }
  for (int32_t i = 0; i < m.CountPortals; ++i) {
    TZNT1Portal& p = m.Portals[size_t(i)];
    bool Found = false;
    for (int32_t fi : p.SourceFaces) {
      for (int32_t o = 0; o < m.CountBSPModels && !Found; ++o) {
        const TBSPMapModel& Model = m.BSPMapModels[size_t(o)];
        if (fi >= Model.FaceIndex && fi < Model.FaceIndex + Model.CountFaces) {
          p.SourceModel = o;
          Found = true;
        }
      }
      if (Found) break;
    }
  }
  m.Portals.resize(size_t(m.CountPortals));
}

// ---- Fog volumes ----

void TZNT1BSPLoader::LoadFogs() {
  TZNT1BSP& m = M;
  m.CountBSPMapEffects = CountFogs;
  m.BSPMapEffects.assign(size_t(CountFogs), TBSPMapEffect{});
  for (int32_t i = 0; i < CountFogs; ++i) {
    KeepAlive();
    const TBSPShader& r = Fogs[size_t(i)];
    TBSPMapEffect& e = m.BSPMapEffects[size_t(i)];
    e = TBSPMapEffect{};
    std::string Name = LowerName(r.Name, 64, false);
    size_t b = 0, n = Name.size();
    while (b < n && static_cast<unsigned char>(Name[b]) <= 32) ++b;
    while (n > b && static_cast<unsigned char>(Name[n - 1]) <= 32) --n;
    Name = Name.substr(b, n - b);
    e.Shader = GetShader(Name);
    if (!e.Shader) e.Shader = DefaultShader(Name, true);
    e.BrushIndex = r.BrushIndex;
    e.VisibleSide = r.VisibleSide;
    if (r.BrushIndex >= 0 && r.BrushIndex < m.CountBSPBrushes) {
      TBSPMapBrush& Brush = m.BSPMapBrushes[size_t(r.BrushIndex)];
      if (int64_t(Brush.brushside) + 5 < m.CountBSPBrushSides) {
        float d[6];
        for (int k = 0; k < 6; ++k) d[k] = m.BSPPlanes[size_t(m.BSPBrushSides[size_t(Brush.brushside + k)].plane)].Distance;
        e.AABB.Min = Vector3(-d[0], -d[2], -d[4]);
        e.AABB.Max = Vector3(d[1], d[3], d[5]);
      }
      // A visible side beyond the brush's own sides is no side.
      if (r.VisibleSide < 0 || r.VisibleSide >= Brush.numOfBrushsides) {
        e.PlaneIndex = -1;
        e.HasSurface = false;
      } else {
        e.PlaneIndex = m.BSPBrushSides[size_t(Brush.brushside + r.VisibleSide)].plane;
        e.HasSurface = true;
        const TBSPPlane& p = m.BSPPlanes[size_t(e.PlaneIndex)];
        e.Surface = Vector4(-p.Normal.x, -p.Normal.y, -p.Normal.z, -p.Distance);
      }
      Brush.Effect = i;
    }
    if (e.Shader) {
      const TZNT1Color& c = e.Shader->FogParams.Color;
      e.Color = Vector4(c.r, c.g, c.b, c.a);
      e.DepthForOpaque = e.Shader->FogParams.DepthForOpaque;
    }
    e.TCScale = e.DepthForOpaque >= 1.0f ? 1.0f / (8.0f * e.DepthForOpaque) : 0.125f;
  }
}

// ---- Light grid ----

namespace {
// Sine and cosine of the byte angle n × pi/128, reduced to the first quadrant so that the right
// angles give exact zeros and ones.
void ByteAngleSinCos(uint8_t n, double& s, double& c) {
  const int r = n % 64;
  const double rs = r == 0 ? 0.0 : std::sin(r * (M_PI / 128.0)), rc = r == 0 ? 1.0 : std::cos(r * (M_PI / 128.0));
  switch (n / 64) {
    case 0: s = rs, c = rc; break;
    case 1: s = rc, c = -rs; break;
    case 2: s = -rs, c = -rc; break;
    default: s = -rc, c = rs; break;
  }
}
}  // namespace

void LightVolumeDirection(const TBSPLightVolume& Volume, double Direction[3]) {
  double sa, ca, sb, cb;
  ByteAngleSinCos(Volume.Direction[0], sa, ca);
  ByteAngleSinCos(Volume.Direction[1], sb, cb);
  Direction[0] = sa * cb;
  Direction[1] = sa * sb;
  Direction[2] = ca;
}

void TZNT1BSPLoader::BuildLightGrid() {
  TZNT1BSP& m = M;
  for (int i = 0; i < 3; ++i) m.LightGridInvSize.xyz[i] = 1.0f / m.LightGridSize.xyz[i];
  TZNT1AABB Box;
  if (m.CountBSPModels > 0) {
    Box = m.BSPMapModels[0].AABB;
    const double Div[3] = {64, 64, 128};
    for (int i = 0; i < 3; ++i) {
      m.LightVolumeGrid.xyz[i] =
          SafeInt(std::floor(double(Box.Max.xyz[i]) / Div[i]) - std::ceil(double(Box.Min.xyz[i]) / Div[i]) + 1);
      float Extent = Box.Max.xyz[i] - Box.Min.xyz[i];
      if (!(Extent > 0.001f)) Extent = 0.001f;
      m.LightVolumeInvSize.xyz[i] = float(m.LightVolumeGrid.xyz[i]) / Extent;
    }
  } else {
    Box.Min = Vector3(-1, -1, -1);
    Box.Max = Vector3(1, 1, 1);
    m.LightVolumeGrid = TZNT1Vector3i{{{1024, 1024, 1024}}};
    m.LightVolumeInvSize = Vector3(1, 1, 1);
  }
  // Bounds that are no number or below one cell make no grid; the product is taken wide.
  bool GridSound = true;
  int64_t Cells = 1;
  for (int i = 0; i < 3; ++i) {
    const double Size = m.LightGridSize.xyz[i];
    const double Origin = Size * std::ceil(double(Box.Min.xyz[i]) / Size);
    const double Bounds = std::trunc((Size * std::floor(double(Box.Max.xyz[i]) / Size) - Origin) / Size) + 1;
    m.LightGridOrigin.xyz[i] = float(Origin);
    if (!std::isfinite(Bounds) || Bounds < 1 || Bounds > 2147483647.0) {
      GridSound = false;
      m.LightGridBounds.xyz[i] = 0;
    } else {
      m.LightGridBounds.xyz[i] = int32_t(Bounds);
      Cells *= int64_t(Bounds);
      if (Cells > int64_t(1) << 40) GridSound = false;
    }
  }
  m.UseLightGrid = GridSound && Cells == m.CountBSPLightVolumes;
  for (TBSPLightVolume& v : m.BSPLightVolumes) {
    for (uint8_t* c : {v.Ambient, v.Directional}) {
      float r = c[0], g = c[1], b = c[2];
      ApplyColorOverbright(r, g, b, 255.0f, m.ColorOverbright);
      c[0] = ToByte(r);
      c[1] = ToByte(g);
      c[2] = ToByte(b);
    }
  }
  m.LightGridTexture.reset();
  m.LightGridScale = Vector3(0, 0, 0);
  m.LightGridOffset = Vector3(0, 0, 0);
  if (m.CountBSPLightVolumes <= 0 || !m.UseLightGrid || LowQuality()) return;
  const TZNT1Vector3i& B = m.LightGridBounds;
  m.LightGridScale = Vector3(m.LightGridInvSize.x / float(B.x), m.LightGridInvSize.y / float(B.y),
                             m.LightGridInvSize.z / float(B.z) * 0.5f);
  for (int i = 0; i < 3; ++i)
    m.LightGridOffset.xyz[i] = (m.LightGridOrigin.xyz[i] - 0.5f * m.LightGridSize.xyz[i]) * m.LightGridScale.xyz[i];
  auto t = std::make_unique<TZNT1BSPLightVoxelTexture>();
  t->sX = B.x;
  t->sY = B.y;
  t->sZ = B.z;
  t->MaxZ = 2 * B.z - 1;
  t->PlaneSize = B.x * B.y;
  t->Buffer.assign(size_t(8) * size_t(m.CountBSPLightVolumes), 0);
  const size_t Plane = size_t(t->PlaneSize);
  for (int32_t z = 0; z < t->sZ; ++z) {
    KeepAlive();
    uint8_t* Lower = t->Buffer.data() + size_t(z) * Plane * 4;
    uint8_t* Upper = t->Buffer.data() + size_t(t->MaxZ - z) * Plane * 4;
    for (size_t i = 0; i < Plane; ++i) {
      const TBSPLightVolume& v = m.BSPLightVolumes[size_t(z) * Plane + i];
      uint8_t* a = Lower + i * 4;
      uint8_t* d = Upper + i * 4;
      if (v.Ambient[0] == 0 && v.Ambient[1] == 0 && v.Ambient[2] == 0) {
        a[0] = a[1] = a[2] = 64;
        a[3] = 127;
        d[0] = d[1] = d[2] = 192;
        d[3] = 127;
        continue;
      }
      // Octahedral encoding: the direction scaled to |x| + |y| + |z| = 1, the lower half folded out.
      double dir[3];
      LightVolumeDirection(v, dir);
      const double Sum = std::fabs(dir[0]) + std::fabs(dir[1]) + std::fabs(dir[2]);
      for (double& c : dir) c /= Sum;
      if (dir[2] < 0) {
        dir[0] = (dir[0] >= 0 ? 1.0 : -1.0) - dir[0];
        dir[1] = (dir[1] >= 0 ? 1.0 : -1.0) - dir[1];
      }
      a[0] = v.Ambient[0];
      a[1] = v.Ambient[1];
      a[2] = v.Ambient[2];
      a[3] = ToByte(float(std::trunc(dir[0] * 127.5 + 127.5)));
      d[0] = v.Directional[0];
      d[1] = v.Directional[1];
      d[2] = v.Directional[2];
      d[3] = ToByte(float(std::trunc(dir[1] * 127.5 + 127.5)));
    }
  }
  m.LightGridTexture = std::move(t);
}

// ---- Brush flags and boxes ----

void TZNT1BSPLoader::BrushFlagsAndBoxes() {
  TZNT1BSP& m = M;
  for (TBSPMapBrush& b : m.BSPMapBrushes) {
    KeepAlive();
    const bool HasTexture = b.Texture >= 0 && b.Texture < m.CountBSPTextures;
    b.SurfaceFlags = HasTexture ? int32_t(m.BSPMapTextures[size_t(b.Texture)].SurfaceFlags) : 0;
    b.ContentFlags = HasTexture ? int32_t(m.BSPMapTextures[size_t(b.Texture)].ContentFlags) : 0;
    if (b.IsPatch) continue;
    if (b.numOfBrushsides < 6) {
      b.AABB = m.WorldAABB;
      continue;
    }
    float d[6];
    for (int k = 0; k < 6; ++k) d[k] = m.BSPPlanes[size_t(m.BSPBrushSides[size_t(b.brushside + k)].plane)].Distance;
    b.AABB.Min = Vector3(-d[0], -d[2], -d[4]);
    b.AABB.Max = Vector3(d[1], d[3], d[5]);
  }
}

// ---- Face grouping ----

void TZNT1BSPLoader::GroupValidLeaves() {
  TZNT1BSP& m = M;
  int32_t Highest = -1;
  for (TBSPMapLeaf& l : m.BSPMapLeafs) {
    l.Valid = false;
    Highest = std::max(Highest, l.area);
  }
  m.CountBSPAreas = Highest + 1;
  if (m.CountBSPNodes < 1) return;
  std::vector<uint8_t> Visited(size_t(m.CountBSPNodes), 0);
  std::vector<int32_t> Stack{0};
  while (!Stack.empty()) {
    const int32_t n = Stack.back();
    Stack.pop_back();
    if (n >= 0) {
      if (Visited[size_t(n)]) continue;
      Visited[size_t(n)] = 1;
      Stack.push_back(m.BSPMapNodes[size_t(n)].Back);
      Stack.push_back(m.BSPMapNodes[size_t(n)].Front);
    } else {
      m.BSPMapLeafs[size_t(-(n + 1))].Valid = true;
    }
  }
}

void TZNT1BSPLoader::GroupFaceLeaves() {
  TZNT1BSP& m = M;
  for (TBSPMapFace& f : m.BSPMapFaces) {
    f.CountLeafs = 0;
    f.Leafs.clear();
  }
  for (const TBSPMapLeaf& l : m.BSPMapLeafs) {
    if (!l.Valid) continue;
    for (int32_t k = 0; k < l.CountLeafFaces && l.leafface + k < m.CountBSPLeafFaces; ++k) {
      TBSPMapFace& f = m.BSPMapFaces[size_t(m.BSPLeafFaces[size_t(l.leafface + k)])];
      f.CountLeafs++;
      f.ModelIndex = 0;
    }
  }
  for (TBSPMapFace& f : m.BSPMapFaces) f.Leafs.reserve(size_t(f.CountLeafs));
  for (int32_t li = 0; li < m.CountBSPLeafs; ++li) {
    const TBSPMapLeaf& l = m.BSPMapLeafs[size_t(li)];
    if (!l.Valid) continue;
    for (int32_t k = 0; k < l.CountLeafFaces && l.leafface + k < m.CountBSPLeafFaces; ++k)
      m.BSPMapFaces[size_t(m.BSPLeafFaces[size_t(l.leafface + k)])].Leafs.push_back(li);
  }
}

void TZNT1BSPLoader::GroupMergeableFaces() {
  TZNT1BSP& m = M;
  for (TBSPMapFace& f : m.BSPMapFaces) {
    f.Merged = false;
    f.Root = false;
    f.Next = -1;
  }
  const bool Vis = m.BSPVisData.Valid;
  const size_t VisBytes = Vis ? size_t(m.BSPVisData.Header.BytesProCluster) : 0;
  const bool Strict = LowQuality();
  auto Mergeable = [](const TBSPMapFace& f) {
    return f.Shader && (f.Shader->SurfaceFlags & SURF_NODRAW) == 0 && f.CountVertices > 0 && f.CountIndices > 0 &&
           f.FaceType != FACE_BAD && f.FaceType != FACE_FLARE;
  };
  // A face's area row is kept as the ascending list of its areas: two rows are equal when the
  // lists are, and a damaged map with a huge area number costs no huge rows.
  std::vector<std::vector<int32_t>> AreaLists;
  std::vector<uint8_t> VisRows;
  for (int32_t mi = 0; mi < m.CountBSPModels; ++mi) {
    const TBSPMapModel& Model = m.BSPMapModels[size_t(mi)];
    const bool Rows = mi == 0 && Vis;
    if (mi > 0) {
      for (int32_t k = 0; k < Model.CountFaces; ++k) m.BSPMapFaces[size_t(Model.FaceIndex + k)].ModelIndex = mi;
    } else if (Rows) {
      AreaLists.assign(size_t(m.CountBSPFaces), {});
      VisRows.assign(VisBytes * size_t(m.CountBSPFaces), 0);
      for (int32_t fi = 0; fi < m.CountBSPFaces; ++fi) {
        std::vector<int32_t>& a = AreaLists[size_t(fi)];
        uint8_t* v = VisRows.data() + VisBytes * size_t(fi);
        for (int32_t li : m.BSPMapFaces[size_t(fi)].Leafs) {
          const TBSPMapLeaf& l = m.BSPMapLeafs[size_t(li)];
          if (l.area >= 0 && l.area < m.CountBSPAreas) a.push_back(l.area);
          if (l.Cluster >= 0 && l.Cluster < m.BSPVisData.Header.numOfClusters) {
            const uint8_t* row = m.BSPVisData.pBitsets.data() + size_t(l.Cluster) * VisBytes;
            for (size_t b = 0; b < VisBytes; ++b) v[b] |= row[b];
          }
        }
        std::sort(a.begin(), a.end());
        a.erase(std::unique(a.begin(), a.end()), a.end());
      }
    }
    // Faces can only join a chain of equal model, material, portal, fog, atlas, type and
    // area row: bucket them by that first, in face order, and merge within each bucket.
    std::unordered_map<std::string, std::vector<int32_t>> Buckets;
    std::vector<std::vector<int32_t>*> Order;
    for (int32_t fi = 0; fi < m.CountBSPFaces; ++fi) {
      const TBSPMapFace& f = m.BSPMapFaces[size_t(fi)];
      if (f.ModelIndex != mi || !Mergeable(f)) continue;
      std::string Key(sizeof(void*) + 4 * sizeof(int32_t), '\0');
      const TZNT1Shader* sh = f.Shader;
      std::memcpy(Key.data(), &sh, sizeof(void*));
      const int32_t Fields[4] = {f.PortalIndex, f.effect, f.LightMapAtlas, f.FaceType};
      std::memcpy(Key.data() + sizeof(void*), Fields, sizeof Fields);
      if (Rows) {
        const std::vector<int32_t>& a = AreaLists[size_t(fi)];
        Key.append(reinterpret_cast<const char*>(a.data()), a.size() * sizeof(int32_t));
      }
      auto [it, Inserted] = Buckets.try_emplace(std::move(Key));
      if (Inserted) Order.push_back(&it->second);
      it->second.push_back(fi);
    }
    for (std::vector<int32_t>* Bucket : Order) {
      for (size_t bi = 0; bi < Bucket->size(); ++bi) {
        KeepAlive();
        const int32_t fi = (*Bucket)[bi];
        TBSPMapFace& f = m.BSPMapFaces[size_t(fi)];
        if (f.Merged) continue;
        f.Merged = true;
        f.Root = true;
        f.Next = -1;
        f.CountMergedFaces = 1;
        int32_t Last = fi;
        uint8_t* fv = Rows ? VisRows.data() + VisBytes * size_t(fi) : nullptr;
        for (size_t bo = bi + 1; bo < Bucket->size(); ++bo) {
          const int32_t oi = (*Bucket)[bo];
          TBSPMapFace& o = m.BSPMapFaces[size_t(oi)];
          if (o.Merged) continue;
          if (Rows) {
            const uint8_t* ov = VisRows.data() + VisBytes * size_t(oi);
            bool Shared = false, Nested = true;
            for (size_t b = 0; b < VisBytes; ++b) {
              const uint8_t And = fv[b] & ov[b];
              Shared = Shared || And != 0;
              Nested = Nested && (And == fv[b] || And == ov[b]);
            }
            if (!Shared || (Strict && !Nested)) continue;
            for (size_t b = 0; b < VisBytes; ++b) fv[b] |= ov[b];
          }
          o.Merged = true;
          m.BSPMapFaces[size_t(Last)].Next = oi;
          Last = oi;
          f.CountMergedFaces++;
        }
      }
    }
  }
}

void TZNT1BSPLoader::GroupMerge() {
  TZNT1BSP& m = M;
  m.CountBSPGroups = 0;
  for (const TBSPMapFace& f : m.BSPMapFaces)
    if (f.Merged && f.Root) m.CountBSPGroups++;
  m.BSPGroups.clear();
  if (m.CountBSPGroups == 0) return;
  m.BSPGroups.resize(size_t(m.CountBSPGroups));
  std::vector<int32_t> LeafStamp(size_t(m.CountBSPLeafs), -1), ClusterStamp(size_t(m.CountBSPClusters), -1);
  int32_t g = 0;
  for (int32_t mi = 0; mi < m.CountBSPModels; ++mi) {
    TBSPMapModel& Model = m.BSPMapModels[size_t(mi)];
    Model.GroupIndex = g;
    const int32_t First = g;
    for (int32_t fi = 0; fi < m.CountBSPFaces; ++fi) {
      const TBSPMapFace& Root = m.BSPMapFaces[size_t(fi)];
      if (!Root.Merged || !Root.Root || Root.ModelIndex != mi) continue;
      KeepAlive();
      TBSPGroup& G = m.BSPGroups[size_t(g)];
      G.AABB = Root.AABB;
      G.Sphere = Root.Sphere;
      G.Shader = Root.Shader;
      G.PortalIndex = Root.PortalIndex;
      G.EffectIndex = Root.effect;
      G.LightMapAtlas = Root.LightMapAtlas;
      G.FaceType = Root.FaceType;
      G.Faces.reserve(size_t(Root.CountMergedFaces));
      for (int32_t c = fi; c >= 0; c = m.BSPMapFaces[size_t(c)].Next) {
        TBSPMapFace& f = m.BSPMapFaces[size_t(c)];
        G.AABB = AABBCombine(G.AABB, f.AABB);
        G.Sphere = SphereExtend(G.Sphere, f.Sphere);
        f.GroupIndex = g;
        G.Faces.push_back(c);
        for (int32_t li : f.Leafs) {
          if (LeafStamp[size_t(li)] != g) {
            LeafStamp[size_t(li)] = g;
            G.Leafs.push_back(li);
          }
          const int32_t cl = m.BSPMapLeafs[size_t(li)].Cluster;
          if (cl >= 0 && cl < m.CountBSPClusters && ClusterStamp[size_t(cl)] != g) {
            ClusterStamp[size_t(cl)] = g;
            G.Clusters.push_back(cl);
          }
        }
      }
      G.CountFaces = int32_t(G.Faces.size());
      G.CountLeafs = int32_t(G.Leafs.size());
      G.CountClusters = int32_t(G.Clusters.size());
      ++g;
    }
    Model.CountGroups = g - First;
  }
}

void TZNT1BSPLoader::GroupBind() {
  TZNT1BSP& m = M;
  for (TBSPMapLeaf& l : m.BSPMapLeafs) {
    l.leafGroups.clear();
    l.CountLeafGroups = 0;
  }
  for (TBSPCluster& c : m.BSPClusters) {
    c.Groups.clear();
    c.CountGroups = 0;
  }
  for (int32_t g = 0; g < m.CountBSPGroups; ++g) {
    const TBSPGroup& G = m.BSPGroups[size_t(g)];
    for (int32_t li : G.Leafs) m.BSPMapLeafs[size_t(li)].CountLeafGroups++;
    for (int32_t c : G.Clusters) m.BSPClusters[size_t(c)].CountGroups++;
  }
  for (TBSPMapLeaf& l : m.BSPMapLeafs) l.leafGroups.reserve(size_t(l.CountLeafGroups));
  for (TBSPCluster& c : m.BSPClusters) c.Groups.reserve(size_t(c.CountGroups));
  for (int32_t g = 0; g < m.CountBSPGroups; ++g) {
    KeepAlive();
    const TBSPGroup& G = m.BSPGroups[size_t(g)];
    for (int32_t li : G.Leafs) m.BSPMapLeafs[size_t(li)].leafGroups.push_back(g);
    for (int32_t c : G.Clusters) m.BSPClusters[size_t(c)].Groups.push_back(g);
  }
  for (int32_t p = 0; p < m.CountPortals; ++p) {
    for (int32_t fi : m.Portals[size_t(p)].SourceFaces) {
      const int32_t g = m.BSPMapFaces[size_t(fi)].GroupIndex;
      if (g < 0) continue;
      TBSPGroup& G = m.BSPGroups[size_t(g)];
      if (G.CountPortals > 0 && G.Portals.back() == p) continue;
      G.Portals.push_back(p);
      G.CountPortals++;
    }
  }
}

void TZNT1BSPLoader::PackGroups(std::vector<TBSPVBO>& Target, int32_t& CountTarget,
                                const std::vector<int32_t>& GroupsToPack, bool MakeRanges) {
  TZNT1BSP& m = M;
  const int32_t MaxV = MaxElementsVertices(), MaxI = MaxElementsIndices();
  // Pass 0 sizes the buffers, pass 1 copies; both place the faces alike.
  std::vector<int32_t> CountV{0}, CountI{0};
  for (int Pass = 0; Pass < 2; ++Pass) {
    if (Pass == 1) {
      Target.assign(CountV.size(), TBSPVBO{});
      for (size_t b = 0; b < CountV.size(); ++b) {
        Target[b].Vertices.resize(size_t(CountV[b]));
        Target[b].StaticIndices.resize(size_t(CountI[b]));
      }
      CountTarget = int32_t(CountV.size());
    }
    int32_t Current = 0, V = 0, I = 0;
    for (int32_t g : GroupsToPack) {
      TBSPGroup& G = m.BSPGroups[size_t(g)];
      if (Pass == 1 && MakeRanges) G.VBORanges.clear();
      bool NewRange = true;
      for (int32_t fi : G.Faces) {
        TBSPMapFace& f = m.BSPMapFaces[size_t(fi)];
        if (f.VBOIndex < 0) continue;
        if (int64_t(V) + f.CountVertices >= MaxV || int64_t(I) + f.CountIndices >= MaxI) {
          ++Current;
          V = 0;
          I = 0;
          NewRange = true;
          if (Pass == 0) {
            CountV.push_back(0);
            CountI.push_back(0);
          }
        }
        if (Pass == 0) {
          CountV.back() += f.CountVertices;
          CountI.back() += f.CountIndices;
        } else {
          KeepAlive();
          if (MakeRanges && NewRange) G.VBORanges.push_back(TBSPGroupVBORange{Current, V, 0, I, 0});
          TBSPVBO& B = Target[size_t(Current)];
          f.GroupIndex = g;
          f.GroupVBOIndex = Current;
          f.StartGroupVBOVertex = V;
          f.StartGroupVBOIndex = I;
          const TBSPVBO& Src = m.BSPVBOs[size_t(f.VBOIndex)];
          std::copy(Src.Vertices.begin() + f.StartVBOVertex, Src.Vertices.begin() + f.StartVBOVertex + f.CountVertices,
                    B.Vertices.begin() + V);
          for (int32_t k = 0; k < f.CountIndices; ++k)
            B.StaticIndices[size_t(I + k)] =
                Src.StaticIndices[size_t(f.StartVBOIndex + k)] - uint32_t(f.StartVBOVertex) + uint32_t(V);
          B.CountVertices += f.CountVertices;
          B.CountStaticIndices += f.CountIndices;
          if (MakeRanges) {
            G.VBORanges.back().CountVertices += f.CountVertices;
            G.VBORanges.back().CountIndices += f.CountIndices;
          }
        }
        NewRange = false;
        V += f.CountVertices;
        I += f.CountIndices;
      }
      if (Pass == 1 && MakeRanges) G.CountVBORanges = int32_t(G.VBORanges.size());
    }
  }
}

void TZNT1BSPLoader::GroupBuffers() {
  TZNT1BSP& m = M;
  m.BSPGroupVBOs.clear();
  m.CountBSPGroupVBOs = 0;
  if (m.CountBSPGroups == 0) return;
  if (m.GroupsSingleVBO) {
    std::vector<int32_t> All(size_t(m.CountBSPGroups));
    for (int32_t g = 0; g < m.CountBSPGroups; ++g) All[size_t(g)] = g;
    PackGroups(m.BSPGroupVBOs, m.CountBSPGroupVBOs, All, true);
  } else {
    for (int32_t g = 0; g < m.CountBSPGroups; ++g) {
      TBSPGroup& G = m.BSPGroups[size_t(g)];
      PackGroups(G.VBOs, G.CountVBOs, {g}, false);
    }
  }
}

// ---- The map object ----

TZNT1BSP::TZNT1BSP(TZNT1Engine* AEngine) : Engine(AEngine), Entities(std::make_unique<TZNT1Entities>(false)) {
  SunDirection = Vector3Norm(Vector3(0.45f, 0.3f, 0.9f));
  SunLight = Vector3ScalarMul(SunDirection, -512.0f);
  Collision = new TZNT1BSPCollision(AEngine, this);
  LeafStaticAABBTree = new TZNT1StaticAABBTree();
}

TZNT1BSP::~TZNT1BSP() {
  // The map's buffers and light-grid texture live on the GPU until deleted; every map load
  // would otherwise leave the previous map's geometry there.
  Dispose();
  LightGridTexture.reset();
  // Only what this map took a reference on goes back: a load that failed early took none.
  for (TZNT1Shader* s : ReferencedShaders) s->DecRef();
  ReferencedShaders.clear();
  if (Engine && Engine->LightMaps) {
    TZNT1Textures& l = *Engine->LightMaps;
    for (int32_t i = 0; i < ReferencedLightMaps && i < l.Count(); ++i) l.GetItem(i)->DecRef();
    l.ClearAll();
  }
  ReferencedLightMaps = 0;
  delete Collision;
  delete LeafStaticAABBTree;
  for (TBSPPatch& p : BSPPatches) delete p.StaticAABBTree;
}

bool TZNT1BSP::Load(TMemoryStream& Stream, const std::string& ResourcePath, const std::string& AMapName) {
  bool Result;
  {
    TZNT1BSPLoader Loader(*this, Stream, ResourcePath, AMapName);
    Result = Loader.Run();
  }
  if (Engine) Engine->ShowLoadProgress(true, 0.5f);
  return Result;
}

void TZNT1BSP::VisibleFrameOverflow() {
  for (TBSPMapLeaf& l : BSPMapLeafs)
    for (uint32_t& f : l.VisibleFrame) f = BSPNoFrame;
  for (TZNT1Portal& p : Portals)
    for (uint32_t& f : p.VisibleFrame) f = BSPNoFrame;
}

int32_t TZNT1BSP::FindLeaf(const TZNT1Vector3& MyPos) const {
  if (BSPMapNodes.empty()) return -1;  // no map loaded
  int32_t i = 0;
  while (i >= 0) {
    const TBSPMapNode& n = BSPMapNodes[size_t(i)];
    const TBSPPlane& p = BSPPlanes[size_t(n.Plane)];
    i = (Vector3Dot(p.Normal, MyPos) - p.Distance > 0.0f) ? n.Front : n.Back;
  }
  return -(i + 1);
}

int32_t TZNT1BSP::FindCluster(const TZNT1Vector3& MyPos) const {
  const int32_t Leaf = FindLeaf(MyPos);
  if (Leaf < 0) return -1;
  return BSPMapLeafs[size_t(Leaf)].Cluster;
}

// ---- Sky ----

namespace {

constexpr float kSkyBoxSize = 585.1429f;  // 4096 / 7
constexpr float kSkyRadius = 4096.0f;
constexpr int32_t kSkySubdivisions = 8;
constexpr int32_t kHalfSkySubdivisions = 4;
constexpr float kSkyMin = 1.0f / 256.0f;
constexpr float kSkyMax = 255.0f / 256.0f;
constexpr int32_t st_to_vec[6][3] = {{3, -1, 2}, {-3, 1, 2}, {1, 3, 2}, {-1, -3, 2}, {-2, -1, 3}, {2, -1, -3}};

TZNT1Vector3 SkyVector(int32_t Side, float s, float t) {
  const float b[3] = {s * kSkyBoxSize, t * kSkyBoxSize, kSkyBoxSize};
  TZNT1Vector3 v;
  for (int j = 0; j < 3; ++j) {
    const int32_t k = st_to_vec[Side][j];
    v.xyz[j] = k > 0 ? b[k - 1] : -b[-k - 1];
  }
  return v;
}

uint32_t Emit(TZNT1VBOVertices& Target, const TZNT1Vector3& Position, const TZNT1Vector2& Coord) {
  for (size_t i = 0; i < Target.size(); ++i)
    if (Target[i].Position.x == Position.x && Target[i].Position.y == Position.y && Target[i].Position.z == Position.z &&
        Target[i].TexCoord.x == Coord.x && Target[i].TexCoord.y == Coord.y)
      return uint32_t(i);
  TZNT1VBOVertex v{};
  v.Position = Position;
  v.Normal = Vector3Norm(Position);
  v.TexCoord = Coord;
  v.LightMapCoord = Coord;
  v.Color.r = v.Color.g = v.Color.b = v.Color.a = 255;
  v.Middle = Vector4(0, 0, 0, 1);
  Target.push_back(v);
  return uint32_t(Target.size() - 1);
}

void AppendGridQuads(std::vector<uint32_t>& Indices, const uint32_t Grid[kSkySubdivisions + 1][kSkySubdivisions + 1]) {
  for (int32_t t = 0; t < kSkySubdivisions; ++t)
    for (int32_t s = 0; s < kSkySubdivisions; ++s)
      for (uint32_t i : {Grid[t][s], Grid[t][s + 1], Grid[t + 1][s], Grid[t][s + 1], Grid[t + 1][s + 1], Grid[t + 1][s]})
        Indices.push_back(i);
}

}  // namespace

void TZNT1BSP::GenerateSky() {
  const float R = kSkyRadius, H = SkyCloudHeight;
  SkyVBOVertices.clear();
  SkyVBOVertices.reserve(16);
  SkyVBOIndices.clear();
  SkyVBOIndices.reserve(2304);
  uint32_t Grid[kSkySubdivisions + 1][kSkySubdivisions + 1];
  for (int32_t i = 0; i < 6; ++i) {
    for (int32_t t = 0; t <= kSkySubdivisions; ++t)
      for (int32_t s = 0; s <= kSkySubdivisions; ++s) {
        const TZNT1Vector3 v = SkyVector(i, float(s - kHalfSkySubdivisions) / kHalfSkySubdivisions,
                                         float(t - kHalfSkySubdivisions) / kHalfSkySubdivisions);
        const float p = (1.0f / (2.0f * Vector3Dot(v, v))) *
                        (-2.0f * v.z * R + 2.0f * std::sqrt(v.z * v.z * R * R + 2 * v.x * v.x * R * H + v.x * v.x * H * H +
                                                            2 * v.y * v.y * R * H + v.y * v.y * H * H +
                                                            2 * v.z * v.z * R * H + v.z * v.z * H * H));
        TZNT1Vector3 w = Vector3ScalarMul(v, p);
        w.z += R;
        Vector3Normalize(w);
        Grid[t][s] = Emit(SkyVBOVertices, v, Vector2(ClampedArcCos(w.x), ClampedArcCos(w.y)));
      }
    AppendGridQuads(SkyVBOIndices, Grid);
  }
  SkyVBOVertices.shrink_to_fit();
  for (int32_t i = 0; i < 6; ++i) {
    TZNT1VBOVertices& V = SkyVBOSideVertices[i];
    V.clear();
    V.reserve(16);
    SkyVBOSideIndices[i].clear();
    SkyVBOSideIndices[i].reserve(384);
    for (int32_t t = 0; t <= kSkySubdivisions; ++t)
      for (int32_t s = 0; s <= kSkySubdivisions; ++s) {
        const float fs = float(s - kHalfSkySubdivisions) / kHalfSkySubdivisions;
        const float ft = float(t - kHalfSkySubdivisions) / kHalfSkySubdivisions;
        const float u = std::clamp((fs + 1.0f) * 0.5f, kSkyMin, kSkyMax);
        const float w = std::clamp((ft + 1.0f) * 0.5f, kSkyMin, kSkyMax);
        Grid[t][s] = Emit(V, SkyVector(i, fs, ft), Vector2(u, 1.0f - w));
      }
    AppendGridQuads(SkyVBOSideIndices[i], Grid);
    V.shrink_to_fit();
  }
}

// ---- GPU objects ----

namespace {

uint32_t MakeBuffer(GLenum Target, const void* Data, size_t Bytes, GLenum Usage) {
  GLuint b = 0;
  glGenBuffers(1, &b);
  glBindBuffer(Target, b);
  glBufferData(Target, GLsizeiptr(Bytes), Data, Usage);
  glBindBuffer(Target, 0);
  return b;
}

void DeleteBuffer(uint32_t& Handle) {
  if (Handle) {
    GLuint b = Handle;
    glDeleteBuffers(1, &b);
  }
  Handle = 0;
}

void DeleteVAO(uint32_t& Handle) {
  if (Handle) {
    GLuint a = Handle;
    glDeleteVertexArrays(1, &a);
  }
  Handle = 0;
}

}  // namespace

void TZNT1BSP::UploadVBO(TBSPVBO& VBO, bool StaticIndices, bool DynamicIndices) {
  const bool VAOs = Engine->GLCapabilities && Engine->GLCapabilities->VertexArrayObject;
  VBO.VertexVBOID = MakeBuffer(GL_ARRAY_BUFFER, VBO.Vertices.data(), VBO.Vertices.size() * sizeof(TZNT1VBOVertex),
                               GL_STATIC_DRAW);
  uint32_t Index = 0;
  if (StaticIndices) {
    VBO.StaticIndexVBOID = MakeBuffer(GL_ELEMENT_ARRAY_BUFFER, VBO.StaticIndices.data(),
                                      VBO.StaticIndices.size() * sizeof(uint32_t), GL_STATIC_DRAW);
    Index = VBO.StaticIndexVBOID;
  }
  if (DynamicIndices) {
    VBO.DynamicIndexVBOID = MakeBuffer(GL_ELEMENT_ARRAY_BUFFER, VBO.DynamicIndices.data(),
                                       VBO.DynamicIndices.size() * sizeof(uint32_t), GL_DYNAMIC_DRAW);
    Index = VBO.DynamicIndexVBOID;
  }
  VBO.VAO = VAOs ? uint32_t(CreateVAO(int32_t(VBO.VertexVBOID), int32_t(Index))) : 0;
}

void TZNT1BSP::DisposeVBO(TBSPVBO& VBO) {
  DeleteVAO(VBO.VAO);
  DeleteBuffer(VBO.VertexVBOID);
  DeleteBuffer(VBO.StaticIndexVBOID);
  DeleteBuffer(VBO.DynamicIndexVBOID);
}

void TZNT1BSP::Upload() {
  if (Uploaded) return;
  Uploaded = true;
  if (!Engine || Engine->Dedicated) return;
  GenerateSky();
  const bool MultiDraw = !Engine->GLCapabilities || Engine->GLCapabilities->MultiDrawElements;
  if (CountBSPGroups == 0) {
    for (TBSPVBO& v : BSPVBOs) UploadVBO(v, MultiDraw, !MultiDraw);
  } else if (GroupsSingleVBO) {
    for (TBSPVBO& v : BSPGroupVBOs) UploadVBO(v, true, false);
  } else {
    for (TBSPGroup& g : BSPGroups)
      for (TBSPVBO& v : g.VBOs) UploadVBO(v, true, false);
  }
  const bool VAOs = Engine->GLCapabilities && Engine->GLCapabilities->VertexArrayObject;
  for (int32_t i = 0; i < 6; ++i) {
    VertexSkySideVBOID[i] = MakeBuffer(GL_ARRAY_BUFFER, SkyVBOSideVertices[i].data(),
                                       SkyVBOSideVertices[i].size() * sizeof(TZNT1VBOVertex), GL_STATIC_DRAW);
    IndexSkySideVBOID[i] = MakeBuffer(GL_ELEMENT_ARRAY_BUFFER, SkyVBOSideIndices[i].data(),
                                      SkyVBOSideIndices[i].size() * sizeof(uint32_t), GL_STATIC_DRAW);
    SkySideVAO[i] = VAOs ? uint32_t(CreateVAO(int32_t(VertexSkySideVBOID[i]), int32_t(IndexSkySideVBOID[i]))) : 0;
  }
  VertexSkyVBOID = MakeBuffer(GL_ARRAY_BUFFER, SkyVBOVertices.data(), SkyVBOVertices.size() * sizeof(TZNT1VBOVertex),
                              GL_STATIC_DRAW);
  IndexSkyVBOID =
      MakeBuffer(GL_ELEMENT_ARRAY_BUFFER, SkyVBOIndices.data(), SkyVBOIndices.size() * sizeof(uint32_t), GL_STATIC_DRAW);
  SkyVAO = VAOs ? uint32_t(CreateVAO(int32_t(VertexSkyVBOID), int32_t(IndexSkyVBOID))) : 0;

  TZNT1BSPLightVoxelTexture* t = LightGridTexture.get();
  if (t && !t->Uploaded && t->sX && t->sY && t->sZ) {
    glTexImage3D(GL_PROXY_TEXTURE_3D, 0, GL_RGBA, t->sX, t->sY, 2 * t->sZ, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    GLint w = 0, h = 0;
    glGetTexLevelParameteriv(GL_PROXY_TEXTURE_3D, 0, GL_TEXTURE_WIDTH, &w);
    glGetTexLevelParameteriv(GL_PROXY_TEXTURE_3D, 0, GL_TEXTURE_HEIGHT, &h);
    if (w >= t->sX && h >= t->sY) {
      GLuint Handle = 0;
      glGenTextures(1, &Handle);
      glBindTexture(GL_TEXTURE_3D, Handle);
      glTexImage3D(GL_TEXTURE_3D, 0, GL_RGBA, t->sX, t->sY, 2 * t->sZ, 0, GL_RGBA, GL_UNSIGNED_BYTE, t->Buffer.data());
      glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
      glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
      glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
      glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
      glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_WRAP_R, GL_CLAMP_TO_EDGE);
      glBindTexture(GL_TEXTURE_3D, 0);
      t->Handle = Handle;
      t->Uploaded = true;
    }
  }
}

void TZNT1BSP::Dispose() {
  if (!Uploaded) return;
  Uploaded = false;
  if (!Engine || Engine->Dedicated) return;
  if (TZNT1BSPLightVoxelTexture* t = LightGridTexture.get(); t && t->Uploaded) {
    GLuint h = t->Handle;
    glDeleteTextures(1, &h);
    t->Handle = 0;
    t->Uploaded = false;
  }
  if (CountBSPGroups == 0) {
    for (TBSPVBO& v : BSPVBOs) DisposeVBO(v);
  } else if (GroupsSingleVBO) {
    for (TBSPVBO& v : BSPGroupVBOs) DisposeVBO(v);
  } else {
    for (TBSPGroup& g : BSPGroups)
      for (TBSPVBO& v : g.VBOs) DisposeVBO(v);
  }
  for (int32_t i = 0; i < 6; ++i) {
    DeleteVAO(SkySideVAO[i]);
    DeleteBuffer(VertexSkySideVBOID[i]);
    DeleteBuffer(IndexSkySideVBOID[i]);
  }
  DeleteVAO(SkyVAO);
  DeleteBuffer(VertexSkyVBOID);
  DeleteBuffer(IndexSkyVBOID);
}

// ---- Map queries ----

namespace {

constexpr uint32_t SurfaceSetNonSolid = SURF_NONSOLID | SURF_NODRAW | SURF_NOMARKS;  // 0x40A0

bool Behind(const TBSPPlane& p, const TZNT1Vector3& v) { return Vector3Dot(p.Normal, v) - p.Distance <= 0.0f; }

// The flags of a brush's texture; 0 when the index is out of range.
void TextureFlags(const TZNT1BSP& Map, int32_t Texture, uint32_t& Surface, uint32_t& Content) {
  Surface = Content = 0;
  if (Texture >= 0 && Texture < static_cast<int32_t>(Map.BSPMapTextures.size())) {
    Surface = Map.BSPMapTextures[Texture].SurfaceFlags;
    Content = Map.BSPMapTextures[Texture].ContentFlags;
  }
}

// The leaf's brushes with valid side ranges, in order; empty for a bad range.
template <typename F>
void ForLeafBrushes(const TZNT1BSP& Map, const TBSPMapLeaf& l, bool Backwards, F&& Visit) {
  if (l.leafBrush < 0 || l.CountLeafBrushes > static_cast<int32_t>(Map.BSPLeafBrushes.size()) - l.leafBrush) return;
  for (int32_t k = 0; k < l.CountLeafBrushes; ++k) {
    const int32_t i = Backwards ? l.CountLeafBrushes - 1 - k : k;
    const int32_t bi = Map.BSPLeafBrushes[l.leafBrush + i];
    if (bi < 0 || bi >= static_cast<int32_t>(Map.BSPMapBrushes.size())) continue;
    const TBSPMapBrush& b = Map.BSPMapBrushes[bi];
    if (b.brushside < 0 || b.numOfBrushsides > static_cast<int32_t>(Map.BSPBrushSides.size()) - b.brushside) continue;
    if (Visit(b)) return;
  }
}

const TBSPPlane* SidePlane(const TZNT1BSP& Map, const TBSPMapBrush& b, int32_t s) {
  const int32_t pi = Map.BSPBrushSides[b.brushside + s].plane;
  return pi >= 0 && pi < static_cast<int32_t>(Map.BSPPlanes.size()) ? &Map.BSPPlanes[pi] : nullptr;
}

}  // namespace

bool TZNT1BSP::IsClusterVisible(int32_t Current, int32_t Test, bool DefaultValue) const {
  const TBSPVisDataHeader& h = BSPVisData.Header;
  // Leaf clusters may run past the rows the vis data holds.
  if (!BSPVisData.Valid || Current < 0 || Test < 0 || Current >= h.numOfClusters || Test >= h.numOfClusters ||
      (Test >> 3) >= h.BytesProCluster)
    return DefaultValue;
  const size_t Byte = static_cast<size_t>(Current) * static_cast<size_t>(h.BytesProCluster) + (Test >> 3);
  if (Byte >= BSPVisData.pBitsets.size()) return DefaultValue;
  return (BSPVisData.pBitsets[Byte] >> (Test & 7)) & 1;
}

bool TZNT1BSP::IsLeafFromLeafVisible(int32_t LeafA, int32_t LeafB, bool DefaultValue) const {
  const int32_t Count = static_cast<int32_t>(BSPMapLeafs.size());
  if (LeafA < 0 || LeafB < 0 || LeafA >= Count || LeafB >= Count) return DefaultValue;
  const int32_t a = BSPMapLeafs[LeafA].Cluster, b = BSPMapLeafs[LeafB].Cluster;
  if (a < 0 || b < 0) return false;
  return a == b || IsClusterVisible(a, b, true);
}

bool TZNT1BSP::IsPointFromPointVisible(const TZNT1Vector3& P1, const TZNT1Vector3& P2, bool DefaultValue) const {
  return IsLeafFromLeafVisible(FindLeaf(P1), FindLeaf(P2), DefaultValue);
}

int32_t TZNT1BSP::PointContentFlags(const TZNT1Vector3& MyPos) const {
  int32_t Result = 0;
  const int32_t CountPlanesNow = static_cast<int32_t>(BSPPlanes.size());
  const int32_t CountSides = static_cast<int32_t>(BSPBrushSides.size());
  const int32_t CountBrushesNow = static_cast<int32_t>(BSPMapBrushes.size());
  auto SidesOk = [&](const TBSPMapBrush& b) {
    return b.brushside >= 0 && b.numOfBrushsides <= CountSides - b.brushside;
  };

  const int32_t Leaf = FindLeaf(MyPos);
  if (Leaf >= 0 && Leaf < static_cast<int32_t>(BSPMapLeafs.size()))
    ForLeafBrushes(*this, BSPMapLeafs[Leaf], false, [&](const TBSPMapBrush& b) {
      if (!AABBTouched(b.AABB, MyPos, 10.0f)) return false;
      bool Inside = true;
      for (int32_t s = 0; s < b.numOfBrushsides && Inside; ++s) {
        const TBSPPlane* p = SidePlane(*this, b, s);
        Inside = p && Behind(*p, MyPos);
      }
      if (Inside) Result |= b.ContentFlags;
      return false;
    });

  for (int32_t m = 1; m < static_cast<int32_t>(BSPMapModels.size()); ++m) {
    const TBSPMapModel& Model = BSPMapModels[m];
    if (!(Model.Visible || Model.Collision) || !AABBTouched(Model.ViewTransformedAABB, MyPos, 10.0f)) continue;
    if (Model.BrushIndex < 0 || Model.CountBrushes > CountBrushesNow - Model.BrushIndex) continue;
    // Planes move with the inverse transpose of the point transform.
    const TZNT1Matrix4x4 PlaneTransform = Matrix4x4TermTranspose(Matrix4x4TermInverse(Model.ViewTransform));
    for (int32_t i = 0; i < Model.CountBrushes; ++i) {
      const TBSPMapBrush& b = BSPMapBrushes[Model.BrushIndex + i];
      if (!AABBTouched(AABBTransform(b.AABB, Model.ViewTransform), MyPos, 10.0f) || !SidesOk(b)) continue;
      bool Inside = true;
      for (int32_t s = 0; s < b.numOfBrushsides && Inside; ++s) {
        const int32_t pi = BSPBrushSides[b.brushside + s].plane;
        if (pi < 0 || pi >= CountPlanesNow) {
          Inside = false;
          break;
        }
        const TZNT1Plane p = PlaneMatrixMul(Plane(BSPPlanes[pi].Normal, -BSPPlanes[pi].Distance), PlaneTransform);
        Inside = !(Vector3Dot(p.Normal, MyPos) > -p.Distance);
      }
      if (Inside) Result |= b.ContentFlags;
    }
  }
  return Result;
}

bool TZNT1BSP::IsPointInside(const TZNT1Vector3& MyPos) const {
  const int32_t Leaf = FindLeaf(MyPos);
  if (Leaf < 0 || Leaf >= static_cast<int32_t>(BSPMapLeafs.size())) return false;
  const TBSPMapLeaf& l = BSPMapLeafs[Leaf];
  if (l.Cluster < 0) return false;
  if (l.CountLeafBrushes <= 0) return true;
  bool Result = true;
  ForLeafBrushes(*this, l, false, [&](const TBSPMapBrush& b) {
    uint32_t Surface, Content;
    TextureFlags(*this, b.Texture, Surface, Content);
    if ((Surface & SurfaceSetNonSolid) == SurfaceSetNonSolid) return false;
    for (int32_t s = 0; s < b.numOfBrushsides; ++s) {
      const TBSPPlane* p = SidePlane(*this, b, s);
      if (!p || !Behind(*p, MyPos)) return false;
    }
    Result = false;
    return true;
  });
  return Result;
}

bool TZNT1BSP::CollisionTest(const TZNT1Vector3& Point, float Radius) const {
  const int32_t Leaf = FindLeaf(Point);
  if (Leaf < 0 || Leaf >= static_cast<int32_t>(BSPMapLeafs.size())) return false;
  bool Result = false;
  ForLeafBrushes(*this, BSPMapLeafs[Leaf], true, [&](const TBSPMapBrush& b) {
    uint32_t Surface, Content;
    TextureFlags(*this, b.Texture, Surface, Content);
    if (b.numOfBrushsides <= 0 || (Content & CONTENTS_SET_NO_COLLISION_ONE) == CONTENTS_SET_NO_COLLISION_ONE)
      return false;
    for (int32_t s = b.numOfBrushsides - 1; s >= 0; --s) {
      const TBSPPlane* p = SidePlane(*this, b, s);
      if (p && std::fabs(Vector3Dot(p->Normal, Point) - p->Distance) < Radius) {
        Result = true;
        return true;
      }
    }
    return false;
  });
  return Result;
}

bool TZNT1BSP::HasPointCollision(const TZNT1Vector3& MyPos, const TZNT1Vector3& NewPos) const {
  const int32_t Leaf = FindLeaf(MyPos);
  if (Leaf < 0 || Leaf >= static_cast<int32_t>(BSPMapLeafs.size())) return false;
  const TBSPMapLeaf& l = BSPMapLeafs[Leaf];
  if (l.Cluster < 0 || l.CountLeafBrushes <= 0) return false;
  bool Result = false;
  ForLeafBrushes(*this, l, false, [&](const TBSPMapBrush& b) {
    uint32_t Surface, Content;
    TextureFlags(*this, b.Texture, Surface, Content);
    if ((Content & CONTENTS_SET_NO_COLLISION_ONE) == CONTENTS_SET_NO_COLLISION_ONE ||
        (Surface & SurfaceSetNonSolid) == SurfaceSetNonSolid)
      return false;
    for (int32_t s = 0; s < b.numOfBrushsides; ++s) {
      const TBSPPlane* p = SidePlane(*this, b, s);
      if (p && Vector3Dot(p->Normal, MyPos) - p->Distance < 0.0f && Vector3Dot(p->Normal, NewPos) - p->Distance > 0.0f) {
        Result = true;
        return true;
      }
    }
    return false;
  });
  return Result;
}

bool TZNT1BSP::HeightAtPoint(const TZNT1Vector3& MyPos, float& Height) {
  Height = -1e8f;
  bool Found = false;
  FaceFlags.assign(BSPMapFaces.size(), false);
  const int32_t Cluster = FindCluster(MyPos);
  const TZNT1Vector3 Down = Vector3(0, -1, 0);
  for (const TBSPMapLeaf& l : BSPMapLeafs) {
    if (l.Cluster != Cluster && !IsClusterVisible(Cluster, l.Cluster, true)) continue;
    if (l.leafface < 0 || l.CountLeafFaces > static_cast<int32_t>(BSPLeafFaces.size()) - l.leafface) continue;
    for (int32_t i = 0; i < l.CountLeafFaces; ++i) {
      const int32_t fi = BSPLeafFaces[l.leafface + i];
      if (fi < 0 || fi >= static_cast<int32_t>(BSPMapFaces.size()) || FaceFlags[fi]) continue;
      FaceFlags[fi] = true;
      const TBSPMapFace& f = BSPMapFaces[fi];
      if (f.FaceType != FACE_POLYGON || f.VBOIndex < 0 || f.VBOIndex >= static_cast<int32_t>(BSPVBOs.size()))
        continue;
      uint32_t Surface, Content;
      TextureFlags(*this, f.textureId, Surface, Content);
      // A face no one stands on gives no ground height.
      if ((Content & (CONTENTS_SOLID | CONTENTS_PLAYERCLIP | CONTENTS_BODY)) == 0) continue;
      const TBSPVBO& Buffer = BSPVBOs[f.VBOIndex];
      if (f.StartVBOVertex < 0 || f.CountVertices > static_cast<int32_t>(Buffer.Vertices.size()) - f.StartVBOVertex)
        continue;
      for (int32_t v = 1; v + 1 < f.CountVertices; ++v) {
        const TZNT1Vector3& a = Buffer.Vertices[f.StartVBOVertex].Position;
        const TZNT1Vector3& b = Buffer.Vertices[f.StartVBOVertex + v].Position;
        const TZNT1Vector3& c = Buffer.Vertices[f.StartVBOVertex + v + 1].Position;
        float t, u, w;
        if (!RayIntersectTriangle(MyPos, Down, a, b, c, t, u, w)) continue;
        const TZNT1Plane p = PlaneFromPoints(a, b, c);
        if (p.Normal.y == 0.0f) continue;
        const float y = -(p.Normal.x * MyPos.x + p.Normal.z * MyPos.z + p.Distance) / p.Normal.y;
        if (y > Height && y < MyPos.y) {
          Height = y;
          Found = true;
          break;
        }
      }
    }
  }
  return Found;
}

bool TZNT1BSP::TestCollision(const TZNT1Vector3& OldPos, const TZNT1Vector3& NewPos, float Radius) const {
  for (const TBSPPlane& p : BSPPlanes) {
    const float a = Vector3Dot(p.Normal, OldPos) - p.Distance, b = Vector3Dot(p.Normal, NewPos) - p.Distance;
    if (std::fabs(a) < Radius || std::fabs(b) < Radius || (a < 0 && b > 0) || (a > 0 && b < 0)) return true;
  }
  return false;
}
