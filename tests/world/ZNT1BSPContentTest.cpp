// Every map of the content archives, loaded with the content's materials and checked
// against an independent reading of the file.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

#include "world/WorldTestSupport.h"

using namespace worldtest;

namespace {

// What the file says, read here without the map code.
struct FileFacts {
  int32_t Offset[kMaxLumps], Len[kMaxLumps];
  std::vector<TBSPFace> Faces;
  int32_t HighestCluster = -1;
  int32_t OpeningBraces = 0;
  TBSPModel World{};
};

FileFacts ReadFacts(const std::vector<uint8_t>& d) {
  FileFacts f{};
  for (int i = 0; i < kMaxLumps; ++i) {
    std::memcpy(&f.Offset[i], d.data() + 8 + 8 * i, 4);
    std::memcpy(&f.Len[i], d.data() + 12 + 8 * i, 4);
  }
  f.Faces.resize(size_t(f.Len[kFaces] / 104));
  std::memcpy(f.Faces.data(), d.data() + f.Offset[kFaces], f.Faces.size() * 104);
  for (int32_t i = 0; i < f.Len[kLeafs] / 48; ++i) {
    int32_t c;
    std::memcpy(&c, d.data() + f.Offset[kLeafs] + 48 * i, 4);
    f.HighestCluster = std::max(f.HighestCluster, c);
  }
  for (int32_t i = 0; i < f.Len[kEntities]; ++i) f.OpeningBraces += d[size_t(f.Offset[kEntities] + i)] == '{';
  std::memcpy(&f.World, d.data() + f.Offset[kModels], 40);
  return f;
}

void CheckMap(const TZNT1BSP& m, const std::vector<uint8_t>& Data) {
  const FileFacts f = ReadFacts(Data);
  EXPECT_EQ(m.CountBSPTextures, f.Len[kTextures] / 72);
  // Patch collision brushes follow the file's, each of their sides with a plane of its own.
  EXPECT_EQ(m.CountBSPPlanes - f.Len[kPlanes] / 16, m.CountBSPBrushSides - f.Len[kBrushSides] / 8);
  EXPECT_EQ(m.CountBSPNodes, f.Len[kNodes] / 36);
  EXPECT_EQ(m.CountBSPLeafs, f.Len[kLeafs] / 48);
  EXPECT_EQ(m.CountBSPLeafFaces, f.Len[kLeafFaces] / 4);
  EXPECT_EQ(m.CountBSPLeafBrushes, f.Len[kLeafBrushes] / 4);
  EXPECT_EQ(m.CountBSPModels, f.Len[kModels] / 40);
  int32_t FileBrushes = 0;
  for (const TBSPMapBrush& b : m.BSPMapBrushes) FileBrushes += !b.IsPatch;
  EXPECT_EQ(FileBrushes, f.Len[kBrushes] / 12);
  int64_t PatchBrushes = 0;
  for (const TBSPPatch& p : m.BSPPatches) PatchBrushes += p.numbrushes;
  EXPECT_EQ(m.CountBSPBrushes, f.Len[kBrushes] / 12 + PatchBrushes);
  EXPECT_GE(m.CountBSPBrushSides, f.Len[kBrushSides] / 8);
  EXPECT_EQ(m.CountBSPMapEffects, f.Len[kShaders] / 72);
  EXPECT_EQ(m.CountBSPLightVolumes, f.Len[kLightVolumes] / 8);
  if (f.Len[kLightMaps] > 0) {
    EXPECT_EQ(m.CountBSPLightMaps, f.Len[kLightMaps] / 49152);
  }
  EXPECT_EQ(m.Entities->Count(), f.OpeningBraces);
  EXPECT_EQ(m.CountBSPClusters, f.HighestCluster + 1);
  ASSERT_EQ(m.CountBSPFaces, int32_t(f.Faces.size()));
  for (size_t i = 0; i < f.Faces.size(); ++i) {
    if (f.Faces[i].FaceType == FACE_PATCH) continue;
    const TBSPMapFace& mf = m.BSPMapFaces[i];
    EXPECT_EQ(mf.CountVertices, f.Faces[i].numOfVerts) << i;
    EXPECT_EQ(mf.CountIndices, f.Faces[i].numOfIndices) << i;
  }
  if (m.BSPVisData.Valid) {
    TBSPVisDataHeader h;
    std::memcpy(&h, Data.data() + f.Offset[kVisData], 8);
    EXPECT_EQ(m.BSPVisData.Header.numOfClusters, h.numOfClusters);
    EXPECT_EQ(m.BSPVisData.Header.BytesProCluster, h.BytesProCluster);
    EXPECT_EQ(m.BSPVisData.pBitsets.size(), size_t(h.numOfClusters) * size_t(h.BytesProCluster));
  }
  int64_t Cells = 1;
  for (int i = 0; i < 3; ++i) {
    const double s = m.LightGridSize.xyz[i];
    Cells *= int64_t((s * std::floor(f.World.Max.xyz[i] / s) - s * std::ceil(f.World.Min.xyz[i] / s)) / s) + 1;
  }
  EXPECT_EQ(bool(m.UseLightGrid), Cells == f.Len[kLightVolumes] / 8);

  EXPECT_GT(m.CountBSPGroups, 0);
  EXPECT_GT(m.CountBSPVBOs, 0);
  // Grouping: a face in at most one group, listed there once, groups in ascending face order,
  // a model's groups consecutive, ranges in buffer order, every index inside its buffer.
  std::vector<int32_t> Owner(size_t(m.CountBSPFaces), -1);
  for (int32_t g = 0; g < m.CountBSPGroups; ++g) {
    const TBSPGroup& G = m.BSPGroups[size_t(g)];
    ASSERT_EQ(G.CountFaces, int32_t(G.Faces.size()));
    for (size_t k = 0; k < G.Faces.size(); ++k) {
      EXPECT_EQ(Owner[size_t(G.Faces[k])], -1);
      Owner[size_t(G.Faces[k])] = g;
      EXPECT_EQ(m.BSPMapFaces[size_t(G.Faces[k])].GroupIndex, g);
      if (k) {
        EXPECT_LT(G.Faces[k - 1], G.Faces[k]);
      }
    }
    for (int32_t r = 1; r < G.CountVBORanges; ++r) EXPECT_LT(G.VBORanges[size_t(r - 1)].Index, G.VBORanges[size_t(r)].Index);
  }
  for (int32_t i = 0; i < m.CountBSPFaces; ++i) EXPECT_EQ(m.BSPMapFaces[size_t(i)].GroupIndex, Owner[size_t(i)]);
  int32_t Next = 0;
  for (const TBSPMapModel& o : m.BSPMapModels) {
    if (m.CountBSPGroups == 0) break;
    EXPECT_EQ(o.GroupIndex, Next);
    for (int32_t g = o.GroupIndex; g < o.GroupIndex + o.CountGroups; ++g)
      for (int32_t fi : m.BSPGroups[size_t(g)].Faces) EXPECT_EQ(m.BSPMapFaces[size_t(fi)].ModelIndex, &o - &m.BSPMapModels[0]);
    Next += o.CountGroups;
  }
  EXPECT_EQ(Next, m.CountBSPGroups);
  for (const std::vector<TBSPVBO>* Buffers : {&m.BSPVBOs, &m.BSPGroupVBOs})
    for (const TBSPVBO& b : *Buffers) {
      ASSERT_EQ(b.Vertices.size(), size_t(b.CountVertices));
      ASSERT_EQ(b.StaticIndices.size(), size_t(b.CountStaticIndices));
      uint32_t Highest = 0;
      for (uint32_t i : b.StaticIndices) Highest = std::max(Highest, i);
      if (b.CountStaticIndices) {
        EXPECT_LT(Highest, uint32_t(b.CountVertices));
      }
    }
}

}  // namespace

TEST(BSPContent, EveryMapEntryLoadsWithCountsOfItsFile) {
  REQUIRE_CONTENT_DIR();
  const auto& Maps = ContentMaps();
  ASSERT_GE(std::count_if(Maps.begin(), Maps.end(), [](const MapEntry& m) { return m.Stock(); }), 100);
  MapEngine Engine({}, true);
  ASSERT_GT(Engine.Shaders->Count(), 1000);
  size_t Stock = 0, Further = 0;
  for (const MapEntry& m : Maps) {
    // The sanitizer pass stays short: the smallest few of the stock archives, the smallest other.
    if (testdata::Sanitizing && (m.Stock() ? Stock >= 6 : Further >= 1)) continue;
    SCOPED_TRACE(m.Archive + ":" + m.Name);
    auto Map = LoadMapBytes(Engine, m.Data, m.Name);
    ASSERT_TRUE(Map != nullptr);
    CheckMap(*Map, m.Data);
    ++(m.Stock() ? Stock : Further);
  }
  EXPECT_GT(Stock, 0u);
}

TEST(BSPContent, EveryMapNameLoadsThroughTheEngine) {
  REQUIRE_CONTENT_DIR();
  std::set<std::string> Names, StockNames;
  for (const MapEntry& m : ContentMaps()) {
    Names.insert(m.Name);
    if (m.Stock()) StockNames.insert(m.Name);
  }
  EXPECT_EQ(StockNames.size(), 72u);
  MapEngine Engine({}, true);
  size_t Loaded = 0;
  bool FurtherLoaded = false;
  for (const std::string& Name : Names) {
    // The sanitizer pass loads two stock maps and the first of any other archive.
    if (testdata::Sanitizing && Name != "oa_ctf2" && Name != "aggressor" && (StockNames.count(Name) || FurtherLoaded))
      continue;
    SCOPED_TRACE(Name);
    EXPECT_TRUE(Engine.LoadMap(Name));
    EXPECT_TRUE(Engine.BSP != nullptr);
    ++Loaded;
    FurtherLoaded = FurtherLoaded || !StockNames.count(Name);
  }
  Engine.UnloadMap();
  EXPECT_GT(Loaded, 0u);
}
