// The map loader on the box-room fixture and small hand-made maps: sequence, records,
// validation, light maps, light grid, fog, patches, buffers, portals and grouping.
#include <cmath>
#include <cstring>
#include <functional>

#include "assets/ImageTestSupport.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "world/WorldTestSupport.h"

using namespace worldtest;
using bspwriter::Bytes;
using bspwriter::TBSPFile;
using bspwriter::TFixture;

namespace {

std::vector<std::pair<std::string, Bytes>> ScriptFiles() {
  const std::string s = bspwriter::FixtureShaderScript();
  return {{"scripts/fixture.shader", Bytes(s.begin(), s.end())}};
}

// A dedicated engine with the fixture's materials.
struct FixtureEngine : MapEngine {
  FixtureEngine() : MapEngine(ScriptFiles()) {}
};

std::unique_ptr<TZNT1BSP> Load(TZNT1Engine& e, const TBSPFile& f, const std::string& Name = "fixture") {
  return LoadMapBytes(e, f.Build(), Name);
}

}  // namespace

TEST(BSP, FixtureLoadsWithEveryStepReported) {
  FixtureEngine e;
  const TFixture x = bspwriter::MakeFixture();
  e.Forced.clear();
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  std::vector<float> Want{0};
  for (int i = 1; i <= 21; ++i) {
    Want.push_back(i / 60.0f);
    if (i == 3 || i == 21) Want.push_back(i / 60.0f);
  }
  for (int i = 22; i <= 29; ++i) Want.push_back(i / 60.0f);
  for (int i : {291, 292, 294, 295, 296, 297, 298}) Want.push_back(i / 600.0f);
  Want.push_back(0.5f);
  EXPECT_EQ(e.Forced, Want);

  EXPECT_EQ(m->CountBSPTextures, 8);
  EXPECT_EQ(m->CountBSPNodes, 2);
  EXPECT_EQ(m->CountBSPLeafs, 3);
  EXPECT_EQ(m->CountBSPClusters, 2);
  EXPECT_EQ(m->CountBSPModels, 2);
  EXPECT_EQ(m->Entities->Count(), 6);
  EXPECT_TRUE(m->BSPVisData.Valid);
  EXPECT_TRUE(m->UseLightGrid);
  EXPECT_EQ(m->CountBSPLightMaps, 2);
  EXPECT_EQ(m->CountBSPMapEffects, 1);
  EXPECT_EQ(m->CountPortals, 1);
  EXPECT_EQ(m->CountBSPVBOs, 1);
  EXPECT_GT(m->CountBSPGroups, 0);
  // The door names model 1 (entity 2).
  EXPECT_EQ(m->BSPMapModels[1].EntityIndex, 0x10000000 + 4);
  EXPECT_EQ(m->BSPMapModels[0].EntityIndex, BSPNoEntity);
  for (const TBSPMapLeaf& l : m->BSPMapLeafs) EXPECT_EQ(l.VisibleFrame[4], BSPNoFrame);
  EXPECT_EQ(m->Portals[0].VisibleFrame[0], BSPNoFrame);
  // Every leaf hangs under node 0, the outside one too.
  EXPECT_TRUE(m->BSPMapLeafs[0].Valid && m->BSPMapLeafs[1].Valid && m->BSPMapLeafs[2].Valid);
  EXPECT_EQ(m->BSPClusters[0].CountLeafs, 1);
  EXPECT_EQ(m->BSPClusters[1].Leafs[0], 1);
  // Leaf boxes grow to their faces' vertices plus 0.01.
  EXPECT_FLOAT_EQ(m->BSPMapLeafs[2].AABB.Min.z, 511.99f);
  EXPECT_FLOAT_EQ(m->WorldAABB.Max.z, 600.01f);
}

TEST(BSP, FindLeafAndCluster) {
  FixtureEngine e;
  auto m = Load(e, bspwriter::MakeFixture().File);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->FindLeaf(Vector3(-10, 0, 10)), 0);
  EXPECT_EQ(m->FindLeaf(Vector3(10, 0, 10)), 1);
  EXPECT_EQ(m->FindLeaf(Vector3(0, 0, 10)), 0);  // on the plane: back
  EXPECT_EQ(m->FindLeaf(Vector3(0, 0, 513)), 2);
  EXPECT_EQ(m->FindCluster(Vector3(10, 0, 10)), 1);
  EXPECT_EQ(m->FindCluster(Vector3(0, 0, 513)), -1);
  TZNT1BSP Empty(&e);
  EXPECT_EQ(Empty.FindLeaf(Vector3(0, 0, 0)), -1);
  EXPECT_EQ(Empty.FindCluster(Vector3(0, 0, 0)), -1);
}

TEST(BSP, FailureExits) {
  FixtureEngine e;
  {
    e.Forced.clear();
    TMemoryStream Empty;
    TZNT1BSP m(&e);
    EXPECT_FALSE(m.Load(Empty, "maps/x/", "x"));
    EXPECT_EQ(e.Forced, (std::vector<float>{0.0f, 0.5f}));
  }
  TFixture x = bspwriter::MakeFixture();
  for (uint32_t Version : {45u, 48u, 46u, 47u}) {
    x.File.Version = Version;
    EXPECT_EQ(Load(e, x.File) != nullptr, Version == 46 || Version == 47) << Version;
  }
  x.File.Version = 46;
  x.File.Magic[0] = 'i';
  EXPECT_FALSE(Load(e, x.File));
  x.File.Magic[0] = 'I';
  const Bytes Good = x.File.Build();
  for (size_t Size : {size_t(4), size_t(8), size_t(100), size_t(143)})
    EXPECT_FALSE(LoadMapBytes(e, Bytes(Good.begin(), Good.begin() + long(Size)))) << Size;
}

TEST(BSP, AQuitStopsTheLoadAtTheNextCheckAndGivesBackWhatItTook) {
  // Quits at one forced report, as the loading screen does when it finds SDL_QUIT pending.
  struct QuittingEngine : FixtureEngine {
    explicit QuittingEngine(float AQuitAt) : QuitAt(AQuitAt) {}
    void ShowLoadProgress(bool Force, float Progress) override {
      FixtureEngine::ShowLoadProgress(Force, Progress);
      if (Force && Progress == QuitAt) Quit = true;
    }
    const float QuitAt;
  };
  // Before the texture names are read, before the light maps are made, before the materials
  // are: each load ends at the check after that step.
  for (const float QuitAt : {6.0f / 60.0f, 19.0f / 60.0f, 23.0f / 60.0f}) {
    SCOPED_TRACE(QuitAt * 60.0f);
    QuittingEngine e(QuitAt);
    TZNT1Shader* Portal = e.Shaders->GetShader("textures/fixture/portal");
    ASSERT_TRUE(Portal);
    const int32_t Before = Portal->ReferenceCounter;
    const Bytes File = bspwriter::MakeFixture().File.Build();
    {
      TMemoryStream Stream(File);
      TZNT1BSP m(&e);
      EXPECT_FALSE(m.Load(Stream, "maps/fixture/", "fixture"));
      // No step reported after the quit, only the load's end.
      ASSERT_GE(e.Forced.size(), 2u);
      EXPECT_EQ(e.Forced[e.Forced.size() - 2], QuitAt);
      EXPECT_EQ(e.Forced.back(), 0.5f);
      // Not one face was given its material.
      for (const TBSPMapFace& f : m.BSPMapFaces) EXPECT_EQ(f.Shader, nullptr);
    }
    EXPECT_EQ(Portal->ReferenceCounter, Before);
    EXPECT_EQ(e.LightMaps->Count(), 0);
  }
}

TEST(BSP, LumpRemaindersAreIgnoredAndEmptyVisLoads) {
  FixtureEngine e;
  TFixture x = bspwriter::MakeFixture();
  x.File.HasVis = false;
  Bytes f = x.File.Build();
  // Five spare bytes after the textures: still eight records.
  const TBSPLump t = bspwriter::GetLump(f, kTextures);
  bspwriter::SetLump(f, kTextures, t.Offset, t.Len + 5);
  auto m = LoadMapBytes(e, f);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->CountBSPTextures, 8);
  EXPECT_FALSE(m->BSPVisData.Valid);
  // Without vis data the two floor halves (same material, atlas, fog, type) share a group.
  EXPECT_EQ(m->BSPMapFaces[size_t(x.FloorWest)].GroupIndex, m->BSPMapFaces[size_t(x.FloorEast)].GroupIndex);
}

TEST(BSP, VisHeaderIsTakenOnlyWhenSound) {
  FixtureEngine e;
  struct Case {
    const char* What;
    int32_t Clusters, Bytes;
    size_t Rows;
    bool Valid;
  };
  const Case Cases[] = {
      {"sound", 2, 1, 2, true},
      {"wider rows within 8 bytes", 2, 9, 18, true},
      {"rows too wide", 2, 10, 20, false},
      {"rows too narrow", 9, 1, 9, false},
      {"fewer rows than clusters", 1, 1, 1, false},
      {"negative fields", -2, -1, 2, false},
      {"product wraps", 0x10000, 0x10000, 2, false},
      {"rows past the lump", 2, 1, 1, false},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.What);
    TFixture x = bspwriter::MakeFixture();
    x.File.VisHeader = TBSPVisDataHeader{c.Clusters, c.Bytes};
    x.File.VisBits.assign(c.Rows, 0xFF);
    auto m = Load(e, x.File);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->BSPVisData.Valid, c.Valid);
    EXPECT_EQ(m->BSPVisData.pBitsets.size(), c.Valid ? c.Rows : 0u);
  }
}

TEST(BSP, VisOffsetIntoOtherLumpsOrPastTheFile) {
  FixtureEngine e;
  Bytes f = bspwriter::MakeFixture().File.Build();
  const TBSPLump ent = bspwriter::GetLump(f, kEntities);
  for (TBSPLump l : {TBSPLump{ent.Offset, 0}, TBSPLump{int32_t(f.size()) + 100, 8}, TBSPLump{-5, 10}}) {
    bspwriter::SetLump(f, kVisData, l.Offset, l.Len);
    auto m = LoadMapBytes(e, f);
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->BSPVisData.Valid);
  }
}

TEST(BSP, EntityKeys) {
  FixtureEngine e;
  struct Case {
    const char* Keys;
    TZNT1Vector3 Grid;
    bool Deluxe, ModelSpace;
    float Overbright;
  };
  const Case Cases[] = {
      {"\"gridsize\" \"32 32 64\"", Vector3(32, 32, 64), false, false, 4},
      {"\"gridsize\" \"0 0 0\"", Vector3(64, 64, 128), false, false, 4},
      {"\"gridsize\" \"-64 64 128\"", Vector3(64, 64, 128), false, false, 4},
      {"\"gridsize\" \"nan 1 1\"", Vector3(64, 64, 128), false, false, 4},
      {"\"gridsize\" \"1e40 64 64\"", Vector3(64, 64, 128), false, false, 4},
      {"\"deluxeMaps\" \"2\"", Vector3(64, 64, 128), true, false, 4},
      {"\"deluxemaps\" \"1\"", Vector3(64, 64, 128), true, true, 4},
      {"\"deluxeMaps\" \"3\"", Vector3(64, 64, 128), false, true, 4},  // detection: two light maps
      {"\"overbright\" \"2\"", Vector3(64, 64, 128), false, true, 2},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.Keys);
    TFixture x = bspwriter::MakeFixture();
    // Faces use light maps 0 and 1, so detection clears deluxe mapping unless a key sets it.
    x.File.Entities = std::string("{\n\"classname\" \"worldspawn\"\n") + c.Keys + "\n}\n" + x.File.Entities;
    auto m = Load(e, x.File);
    ASSERT_TRUE(m);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(m->LightGridSize.xyz[i], c.Grid.xyz[i]);
    EXPECT_EQ(m->DeluxeMapping, c.Deluxe);
    if (c.Deluxe) {
      EXPECT_EQ(m->DeluxeMappingModelSpace, c.ModelSpace);
    }
    EXPECT_EQ(m->ColorOverbright, c.Overbright);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::isfinite(m->LightGridOrigin.xyz[i]));
  }
}

TEST(BSP, BrushFlagsAndBoxes) {
  FixtureEngine e;
  TFixture x = bspwriter::MakeFixture();
  x.File.Brushes[1].Texture = 99;               // out of range: no flags, still loads
  x.File.Brushes[2].numOfBrushsides = 5;        // five sides: the world box
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  const TBSPMapBrush& b0 = m->BSPMapBrushes[0];
  EXPECT_EQ(b0.ContentFlags, 1);
  EXPECT_EQ(b0.AABB.Min.x, -272);
  EXPECT_EQ(b0.AABB.Max.z, 0);
  EXPECT_EQ(m->BSPMapBrushes[1].ContentFlags, 0);
  EXPECT_EQ(m->BSPMapBrushes[2].AABB.Min.z, m->WorldAABB.Min.z);
  EXPECT_EQ(m->BSPMapBrushes[2].AABB.Max.x, m->WorldAABB.Max.x);
}

TEST(BSP, DamagedRecordsFailTheLoad) {
  FixtureEngine e;
  struct Case {
    const char* What;
    std::function<void(TFixture&)> Damage;
  };
  const Case Cases[] = {
      {"node plane", [](TFixture& x) { x.File.Nodes[0].plane = 99; }},
      {"negative node plane", [](TFixture& x) { x.File.Nodes[0].plane = -1; }},
      {"node child past the nodes", [](TFixture& x) { x.File.Nodes[1].front = 5; }},
      {"node child past the leaves", [](TFixture& x) { x.File.Nodes[1].back = -10; }},
      {"node cycle", [](TFixture& x) { x.File.Nodes[1].front = 0; }},
      {"shared node", [](TFixture& x) { x.File.Nodes[0].front = 1; }},
      {"leaf face range", [](TFixture& x) { x.File.Leafs[0].CountLeafFaces = 100; }},
      {"negative leaf face start", [](TFixture& x) { x.File.Leafs[0].leafface = -1; }},
      {"leaf face entry", [](TFixture& x) { x.File.LeafFaces[0] = 99; }},
      {"leaf brush range", [](TFixture& x) { x.File.Leafs[1].CountLeafBrushes = -1; }},
      {"leaf brush entry", [](TFixture& x) { x.File.LeafBrushes[0] = -1; }},
      {"leaf cluster", [](TFixture& x) { x.File.Leafs[0].Cluster = 3; }},
      {"leaf area", [](TFixture& x) { x.File.Leafs[0].area = 3; }},
      {"model faces", [](TFixture& x) { x.File.Models[1].CountFaces = 99; }},
      {"model brushes", [](TFixture& x) { x.File.Models[1].BrushIndex = -1; }},
      {"brush sides", [](TFixture& x) { x.File.Brushes[0].brushside = 1000; }},
      {"brush side plane", [](TFixture& x) { x.File.BrushSides[3].plane = 1000; }},
      {"face texture", [](TFixture& x) { x.File.Faces[0].textureID = 8; }},
      {"face vertices", [](TFixture& x) { x.File.Faces[0].startVertIndex = 10000; }},
      {"negative vertex count", [](TFixture& x) { x.File.Faces[0].numOfVerts = -1; }},
      {"face indices", [](TFixture& x) { x.File.Faces[1].numOfIndices = 10000; }},
      {"index value", [](TFixture& x) { x.File.Indices[0] = 4; }},
      {"negative index value", [](TFixture& x) { x.File.Indices[2] = -1; }},
      {"even patch size", [](TFixture& x) { x.File.Faces[size_t(x.Patch5x3)].Size[0] = 4; }},
      {"patch size below 3", [](TFixture& x) { x.File.Faces[size_t(x.Patch3x3)].Size[1] = 1; }},
      {"patch beyond its vertices", [](TFixture& x) { x.File.Faces[size_t(x.Patch3x3)].Size[0] = 5; }},
      {"no node", [](TFixture& x) { x.File.Nodes.clear(); }},
      {"no leaf", [](TFixture& x) { x.File.Leafs.clear(); }},
      {"no model", [](TFixture& x) { x.File.Models.clear(); }},
  };
  for (const Case& c : Cases) {
    TFixture x = bspwriter::MakeFixture();
    c.Damage(x);
    EXPECT_FALSE(Load(e, x.File)) << c.What;
  }
  // What the loader handles stays accepted.
  const Case Accepted[] = {
      {"light map id", [](TFixture& x) { x.File.Faces[0].lightmapID = 77; }},
      {"light map id at the type's limit", [](TFixture& x) { x.File.Faces[0].lightmapID = INT32_MAX; }},
      {"face fog index", [](TFixture& x) { x.File.Faces[0].effect = 5; }},
      {"fog brush", [](TFixture& x) { x.File.Fogs[0].BrushIndex = 99; }},
      {"brush texture", [](TFixture& x) { x.File.Brushes[0].Texture = -5; }},
      {"face without texture", [](TFixture& x) { x.File.Faces[0].textureID = -1; }},
  };
  for (const Case& c : Accepted) {
    TFixture x = bspwriter::MakeFixture();
    c.Damage(x);
    EXPECT_TRUE(Load(e, x.File)) << c.What;
  }
}

TEST(BSP, DamagedDirectoryFailsBeforeSizingAnything) {
  FixtureEngine e;
  const Bytes Good = bspwriter::MakeFixture().File.Build();
  struct Case {
    int32_t Lump, Offset, Len;
  };
  const int32_t End = int32_t(Good.size());
  const Case Cases[] = {{kFaces, 200, -104},       {kFaces, -8, 104},          {kVertices, End, 44},
                        {kLightMaps, 200, 0x7FFFFFF0}, {kEntities, End - 2, 10}, {kPlanes, 0x7FFFFFF0, 0x7FFFFFF0}};
  for (const Case& c : Cases) {
    Bytes f = Good;
    bspwriter::SetLump(f, c.Lump, c.Offset, c.Len);
    EXPECT_FALSE(LoadMapBytes(e, f)) << c.Lump << " " << c.Offset << " " << c.Len;
  }
}

TEST(BSP, SurfacePlaneNeedsATriangle) {
  FixtureEngine e;
  TFixture x = bspwriter::MakeFixture();
  TBSPFace& Poly = x.File.Faces[size_t(x.Wall)];
  Poly.numOfVerts = 2;
  Poly.numOfIndices = 0;
  TBSPFace& Mesh = x.File.Faces[size_t(x.Mesh)];
  Mesh.numOfIndices = 2;
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  for (int32_t f : {x.Wall, x.Mesh}) {
    const TZNT1Plane& p = m->BSPMapFaces[size_t(f)].SurfacePlane;
    EXPECT_EQ(p.a, 0.0f);
    EXPECT_EQ(p.b, 0.0f);
    EXPECT_EQ(p.c, 0.0f);
    EXPECT_EQ(p.d, 0.0f);
  }
  // A sound polygon: through its first three vertices, Normal . p + Distance = 0.
  const TBSPMapFace& Floor = m->BSPMapFaces[size_t(x.FloorWest)];
  EXPECT_FLOAT_EQ(Floor.SurfacePlane.Normal.z, 1.0f);
  EXPECT_FLOAT_EQ(Floor.Plane.Normal.z, 1.0f);
  EXPECT_FLOAT_EQ(Floor.Plane.Distance, 0.0f);
  EXPECT_EQ(m->BSPMapFaces[size_t(x.Mesh)].Plane.Distance, 0.0f);
}

TEST(BSP, ReferencesAreTakenAndGivenBackOnlyOnce) {
  FixtureEngine e;
  TZNT1Shader* Portal = e.Shaders->GetShader("textures/fixture/portal");
  ASSERT_TRUE(Portal);
  Portal->IncRef();  // held elsewhere, as a model skin would
  const int32_t Before = Portal->ReferenceCounter;
  {
    // Fails after the textures found their materials but before any reference is taken.
    TFixture x = bspwriter::MakeFixture();
    x.File.Faces[0].startVertIndex = 100000;
    EXPECT_FALSE(Load(e, x.File));
    EXPECT_EQ(Portal->ReferenceCounter, Before);
  }
  {
    auto m = Load(e, bspwriter::MakeFixture().File);
    ASSERT_TRUE(m);
    EXPECT_EQ(Portal->ReferenceCounter, Before + 1);
    EXPECT_EQ(e.LightMaps->GetItem(0)->ReferenceCounter, 1);
  }
  EXPECT_EQ(Portal->ReferenceCounter, Before);
  EXPECT_EQ(e.LightMaps->Count(), 0);
  Portal->DecRef();
}

namespace {
TFixture WithLightMaps(int32_t Count) {
  TFixture x = bspwriter::MakeFixture();
  x.File.LightMaps.clear();
  for (int32_t i = 0; i < Count; ++i) x.File.AddLightMap(uint8_t(10 + i), 20, 30);
  return x;
}
const uint8_t* AtlasPixel(const TZNT1Texture* t, int32_t x, int32_t y) {
  return static_cast<const uint8_t*>(t->Data) + (size_t(y) * size_t(t->Width) + size_t(x)) * 4;
}
}  // namespace

TEST(BSPLightMaps, PackedIntoOneAtlasSizedByItsLightMaps) {
  FixtureEngine e;
  e.GLCapabilities->MaxTextureSize = 2048;
  auto m = Load(e, WithLightMaps(5).File);
  ASSERT_TRUE(m);
  EXPECT_FALSE(m->DeluxeMapping);
  EXPECT_EQ(m->CountLightMapAtlases, 1);
  ASSERT_EQ(e.LightMaps->Count(), 1);
  const TZNT1Texture* Atlas = e.LightMaps->GetItem(0);
  EXPECT_EQ(Atlas->Name, "*lightmap0");
  EXPECT_EQ(Atlas->Width, 512);
  const TBSPLightMapInfo& i4 = m->BSPLightMapInfos[4];
  EXPECT_EQ(i4.LightMapAtlas, 0);
  EXPECT_FLOAT_EQ(i4.x, 0.0f);
  EXPECT_FLOAT_EQ(i4.y, 0.25f);
  EXPECT_FLOAT_EQ(i4.xScale, 0.25f);
  // Light map 1 at column 128: (11, 20, 30) x 4 = (44, 80, 120).
  const uint8_t* p = AtlasPixel(Atlas, 130, 5);
  EXPECT_EQ(p[0], 44);
  EXPECT_EQ(p[1], 80);
  EXPECT_EQ(p[2], 120);
  EXPECT_EQ(p[3], 255);
  EXPECT_EQ(m->LightMapAtlasToDeluxeMap, std::vector<int32_t>{-1});
}

TEST(BSPLightMaps, OverbrightKeepsTheHueAndCoordinatesMoveIntoTheAtlas) {
  FixtureEngine e;
  TFixture x = bspwriter::MakeFixture();  // light map 1 is (32, 64, 128)
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  const TZNT1Texture* Atlas = e.LightMaps->GetItem(0);
  ASSERT_EQ(Atlas->Width, 256);
  const uint8_t* p = AtlasPixel(Atlas, 128, 0);
  EXPECT_EQ(p[0], 63);
  EXPECT_EQ(p[1], 127);
  EXPECT_EQ(p[2], 255);
  // The wall uses light map 1 at (0.5, 0) in the atlas; its third corner had (1, 1).
  const TBSPMapFace& Wall = m->BSPMapFaces[size_t(x.Wall)];
  EXPECT_EQ(Wall.LightMapAtlas, 0);
  const TZNT1VBOVertex& v = m->BSPVBOs[size_t(Wall.VBOIndex)].Vertices[size_t(Wall.StartVBOVertex + 2)];
  EXPECT_FLOAT_EQ(v.LightMapCoord.x, 1.0f);
  EXPECT_FLOAT_EQ(v.LightMapCoord.y, 0.5f);
  EXPECT_EQ(m->BSPMapFaces[size_t(x.Sprite)].LightMapAtlas, -1);  // light map -3: none
}

TEST(BSPLightMaps, AtlasCountFollowsTheTextureSizeLimit) {
  struct Case {
    int32_t MaxTextureSize, Atlases, Size, AtlasOf4;
    float Scale;
  };
  // 300 holds two light maps per row like 256 and is never written past; below 128 each
  // light map fills an atlas (and, filled exactly, the last one is followed by an empty one).
  const Case Cases[] = {{256, 2, 256, 1, 0.5f}, {300, 2, 300, 1, 128.0f / 300}, {100, 6, 128, 4, 1}};
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.MaxTextureSize);
    FixtureEngine e;
    e.GLCapabilities->MaxTextureSize = c.MaxTextureSize;
    auto m = Load(e, WithLightMaps(5).File);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->CountLightMapAtlases, c.Atlases);
    EXPECT_EQ(e.LightMaps->GetItem(0)->Width, c.Size);
    EXPECT_EQ(m->BSPLightMapInfos[4].LightMapAtlas, c.AtlasOf4);
    EXPECT_FLOAT_EQ(m->BSPLightMapInfos[4].xScale, c.Scale);
  }
}

TEST(BSPLightMaps, DeluxeKeyGivesEveryLightMapItsOwnTexture) {
  FixtureEngine e;
  TFixture x = WithLightMaps(300);
  x.File.Entities = "{\n\"classname\" \"worldspawn\"\n\"deluxeMaps\" \"1\"\n}\n" + x.File.Entities;
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->DeluxeMapping);
  ASSERT_EQ(e.LightMaps->Count(), 301);
  // The packed atlas holds nothing and stays small.
  EXPECT_EQ(e.LightMaps->GetItem(0)->Width, 256);
  EXPECT_EQ(m->BSPLightMapInfos[0].LightMapAtlas, 1);
  EXPECT_EQ(e.LightMaps->GetItem(1)->Width, 128);
  EXPECT_EQ(m->LightMapAtlasToDeluxeMap[1], 2);
  EXPECT_EQ(m->LightMapAtlasToDeluxeMap[2], -1);
}

TEST(BSPLightMaps, DeluxeDetection) {
  struct Case {
    const char* What;
    int32_t Count;
    std::vector<int32_t> Used;  // light map of every face that has one
    bool BlackSecond, Deluxe;
  };
  const Case Cases[] = {{"even light maps only", 6, {0, 2, 4}, false, true},
                        {"an odd one used", 6, {0, 1, 4}, false, false},
                        {"the last one used as light", 4, {0, 2, 2}, false, true},
                        {"odd count", 5, {0, 2}, false, false},
                        {"only 0 used, 1 black", 2, {0}, true, false},
                        {"only 0 used, 1 lit", 2, {0}, false, true}};
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.What);
    FixtureEngine e;
    TFixture x = WithLightMaps(c.Count);
    if (c.BlackSecond) x.File.LightMaps[1] = TBSPLightMap{};
    size_t k = 0;
    for (TBSPFace& f : x.File.Faces)
      if (f.lightmapID >= 0) f.lightmapID = c.Used[k++ % c.Used.size()];
    auto m = Load(e, x.File);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->DeluxeMapping, c.Deluxe);
  }
}

TEST(BSPLightMaps, ExternalFilesEndAtTheFirstGap) {
  std::vector<std::vector<uint8_t>> Rows(8, std::vector<uint8_t>(8 * 3, 90));
  const Bytes Png = imgtest::MakePNG(8, 8, 8, 2, false, Rows);
  auto Files = ScriptFiles();
  Files.push_back({"maps/fixture/lm_0000.png", Png});
  Files.push_back({"maps/fixture/lm_0002.png", Png});
  MapEngine e(Files);
  TFixture x = bspwriter::MakeFixture();
  x.File.LightMaps.clear();
  x.File.Faces[size_t(x.FloorWest)].lightmapID = 2;
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->CountBSPLightMaps, 1);
  EXPECT_EQ(m->CountLightMapAtlases, 1);
  ASSERT_EQ(e.LightMaps->Count(), 1);
  EXPECT_EQ(m->BSPLightMapInfos[0].LightMapAtlas, 0);
  EXPECT_EQ(m->BSPMapFaces[size_t(x.FloorWest)].lightmapID, -1);
  EXPECT_EQ(m->BSPMapFaces[size_t(x.Wall)].lightmapID, -1);  // light map 1 is missing too
  EXPECT_EQ(m->BSPMapFaces[size_t(x.FloorEast)].lightmapID, 0);
  EXPECT_EQ(m->BSPMapFaces[size_t(x.FloorEast)].LightMapAtlas, 0);
}

TEST(BSPLightGrid, TextureFromAMatchingLump) {
  FixtureEngine e;
  TFixture x = bspwriter::MakeFixture();
  x.File.LightVolumes[0] = TBSPLightVolume{{0, 0, 0}, {200, 100, 50}, {64, 64}};  // black ambient
  x.File.LightVolumes[1] = TBSPLightVolume{{10, 10, 10}, {20, 20, 20}, {0, 0}};     // straight up
  x.File.LightVolumes[2] = TBSPLightVolume{{10, 10, 10}, {20, 20, 20}, {96, 0}};    // below the horizon
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->UseLightGrid);
  EXPECT_EQ(m->LightGridBounds.x, 9);
  EXPECT_EQ(m->LightGridBounds.z, 3);
  EXPECT_EQ(m->LightGridOrigin.x, -256.0f);
  EXPECT_EQ(m->LightGridOrigin.z, 0.0f);
  EXPECT_FLOAT_EQ(m->LightGridScale.x, 1.0f / 64 / 9);
  EXPECT_FLOAT_EQ(m->LightGridScale.z, 1.0f / 128 / 3 * 0.5f);
  EXPECT_FLOAT_EQ(m->LightGridOffset.x, (-256.0f - 32.0f) * m->LightGridScale.x);
  EXPECT_EQ(m->LightVolumeGrid.x, 9);
  EXPECT_EQ(m->LightVolumeGrid.z, 3);
  ASSERT_TRUE(m->LightGridTexture);
  const TZNT1BSPLightVoxelTexture& t = *m->LightGridTexture;
  EXPECT_EQ(t.sX, 9);
  EXPECT_EQ(t.MaxZ, 5);
  EXPECT_EQ(t.PlaneSize, 81);
  ASSERT_EQ(t.Buffer.size(), size_t(8 * 243));
  auto Texel = [&](int32_t Plane, int32_t Cell) { return &t.Buffer[(size_t(Plane) * 81 + size_t(Cell)) * 4]; };
  EXPECT_EQ(std::vector<uint8_t>(Texel(0, 0), Texel(0, 0) + 4), (std::vector<uint8_t>{64, 64, 64, 127}));
  EXPECT_EQ(std::vector<uint8_t>(Texel(5, 0), Texel(5, 0) + 4), (std::vector<uint8_t>{192, 192, 192, 127}));
  EXPECT_EQ(std::vector<uint8_t>(Texel(0, 1), Texel(0, 1) + 4), (std::vector<uint8_t>{40, 40, 40, 127}));
  EXPECT_EQ(std::vector<uint8_t>(Texel(5, 1), Texel(5, 1) + 4), (std::vector<uint8_t>{80, 80, 80, 127}));
  // (0.5, 0, -0.5) folds to (0.5, 1).
  EXPECT_EQ(Texel(0, 2)[3], 191);
  EXPECT_EQ(Texel(5, 2)[3], 255);
  // Cell (0, 0, 1) lies in plane 1 and its directed light in plane 4.
  EXPECT_EQ(Texel(1, 0)[1], 128);  // ambient g 32 x 4
}

// Directions at right angles give exact zeros: a horizontal light is not folded, and a zero
// component counts as positive when the lower half folds out.
TEST(BSPLightGrid, DirectionsAtRightAngles) {
  struct Case {
    uint8_t a, b;       // direction bytes
    uint8_t x, y;       // alpha bytes of the two texels
  };
  const Case Cases[] = {
      {0, 0, 127, 127},    {0, 64, 127, 127},                                                 // straight up
      {64, 0, 255, 127},   {64, 64, 127, 255},   {64, 128, 0, 127},   {64, 192, 127, 0},      // horizontal
      {192, 0, 0, 127},    {192, 64, 127, 0},    {192, 128, 255, 127}, {192, 192, 127, 255},  // horizontal
      {128, 0, 255, 255},  {128, 64, 255, 255},  {128, 192, 255, 255},                        // straight down
      {96, 0, 191, 255},   {96, 64, 255, 191},   {96, 128, 63, 255},  {96, 192, 255, 63},     // below, folded
      {160, 0, 63, 255},   {160, 64, 255, 63},
  };
  FixtureEngine e;
  TFixture x = bspwriter::MakeFixture();
  for (size_t i = 0; i < std::size(Cases); ++i)
    x.File.LightVolumes[i] = TBSPLightVolume{{10, 10, 10}, {20, 20, 20}, {Cases[i].a, Cases[i].b}};
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  ASSERT_TRUE(m->LightGridTexture);
  const TZNT1BSPLightVoxelTexture& t = *m->LightGridTexture;
  ASSERT_GE(t.PlaneSize, int32_t(std::size(Cases)));
  for (size_t i = 0; i < std::size(Cases); ++i) {
    const int a = Cases[i].a, b = Cases[i].b;
    EXPECT_EQ(t.Buffer[i * 4 + 3], Cases[i].x) << a << " " << b;
    EXPECT_EQ(t.Buffer[(size_t(t.MaxZ) * size_t(t.PlaneSize) + i) * 4 + 3], Cases[i].y) << a << " " << b;
  }
}

TEST(BSPLightGrid, NoTextureWithoutAMatchOrInLowQuality) {
  {
    FixtureEngine e;
    TFixture x = bspwriter::MakeFixture();
    x.File.LightVolumes.pop_back();
    auto m = Load(e, x.File);
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->UseLightGrid);
    EXPECT_FALSE(m->LightGridTexture);
    EXPECT_EQ(m->BSPLightVolumes[0].Ambient[1], 128);  // still brightened
  }
  {
    FixtureEngine e;
    e.GLCapabilities->LowQuality = true;
    auto m = Load(e, bspwriter::MakeFixture().File);
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->UseLightGrid);
    EXPECT_FALSE(m->LightGridTexture);
    EXPECT_EQ(m->LightGridScale.x, 0.0f);
    EXPECT_EQ(m->LightGridOffset.z, 0.0f);
  }
  for (float Bad : {std::nanf(""), INFINITY, 3e38f}) {
    FixtureEngine e;
    TFixture x = bspwriter::MakeFixture();
    x.File.Models[0].Min.y = -Bad;
    auto m = Load(e, x.File);
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->UseLightGrid);
    EXPECT_FALSE(m->LightGridTexture);
  }
}

TEST(BSPFog, VolumesFromTheirBrushes) {
  struct Case {
    const char* What;
    int32_t Brush, VisibleSide;
    bool Box, Surface;
    int32_t Plane;
  };
  const Case Cases[] = {{"top side visible", 6, 5, true, true, 43},
                        {"no visible side", 6, -1, true, false, -1},
                        {"side beyond the brush", 6, 6, true, false, -1},
                        {"brush beyond the brushes", 99, 5, false, false, 0}};
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.What);
    FixtureEngine e;
    TFixture x = bspwriter::MakeFixture();
    x.File.Fogs[0].BrushIndex = c.Brush;
    x.File.Fogs[0].VisibleSide = c.VisibleSide;
    auto m = Load(e, x.File);
    ASSERT_TRUE(m);
    const TBSPMapEffect& f = m->BSPMapEffects[0];
    ASSERT_TRUE(f.Shader);
    EXPECT_EQ(f.Shader, e.Shaders->GetShader("textures/fixture/fog"));
    EXPECT_FLOAT_EQ(f.Color.r, 0.5f);
    EXPECT_FLOAT_EQ(f.DepthForOpaque, 256.0f);
    EXPECT_FLOAT_EQ(f.TCScale, 1.0f / 2048);
    EXPECT_EQ(f.PlaneIndex, c.Plane);
    EXPECT_EQ(f.HasSurface, c.Surface);
    EXPECT_EQ(f.AABB.Max.z, c.Box ? 64.0f : 0.0f);
    EXPECT_EQ(f.AABB.Min.y, c.Box ? 128.0f : 0.0f);
    if (c.Surface) {
      EXPECT_EQ(f.Surface.z, -1.0f);
      EXPECT_EQ(f.Surface.w, -64.0f);
    }
    EXPECT_EQ(m->BSPMapBrushes[size_t(x.FogBrush)].Effect, c.Brush == 6 ? 0 : -1);
  }
}

TEST(BSPFog, NameIsTrimmedAndLowerCasedAndShallowFogScales) {
  const std::string Script = "textures/fixture/shallow\n{\n\tfogparms ( 1 1 1 ) 0.5\n}\n";
  auto Files = ScriptFiles();
  Files.push_back({"scripts/shallow.shader", Bytes(Script.begin(), Script.end())});
  MapEngine e(Files);
  TFixture x = bspwriter::MakeFixture();
  std::memset(x.File.Fogs[0].Name, 0, 64);
  std::memcpy(x.File.Fogs[0].Name, " Textures/Fixture/SHALLOW \t", 27);
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->BSPMapEffects[0].Shader, e.Shaders->GetShader("textures/fixture/shallow"));
  EXPECT_FLOAT_EQ(m->BSPMapEffects[0].TCScale, 0.125f);
}

TEST(BSPPatch, FlatnessTest) {
  struct Case {
    const char* What;
    TZNT1Vector3 P1;
    TZNT1Vector3 P2;
    int32_t Halvings;
  };
  const float NaN = std::nanf("");
  const Case Cases[] = {{"straight", Vector3(50, 0, 0), Vector3(100, 0, 0), 0},
                        {"within the tolerance", Vector3(50, 4.9f, 0), Vector3(100, 0, 0), 0},
                        {"bent by 100", Vector3(50, 100, 0), Vector3(100, 0, 0), 3},
                        {"no chord", Vector3(50, 100, 0), Vector3(0, 0, 0), 0},
                        {"no number", Vector3(NaN, 100, 0), Vector3(100, 0, 0), 0},
                        {"capped", Vector3(5e8f, 1e8f, 0), Vector3(1e9f, 0, 0), 6},
                        {"beyond the single range", Vector3(50, 1e30f, 0), Vector3(100, 0, 0), 0}};
  for (const Case& c : Cases) EXPECT_EQ(PatchFlatnessTest(Vector3(0, 0, 0), c.P1, c.P2, 5.0f), c.Halvings) << c.What;
}

namespace {
std::vector<TZNT1Vector3> Dome(float x0, float Height) {
  std::vector<TZNT1Vector3> p;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) p.push_back(Vector3(x0 + 40.0f * c, 50.0f * r, (r == 1 ? Height : 0) + (c == 1 ? Height : 0)));
  return p;
}
}  // namespace

TEST(BSPPatch, TessellationFollowsCurvatureAndGroups) {
  FixtureEngine e;
  TFixture x = bspwriter::MakeFixture();
  // Two touching domes (x -200..-120 and -120..-40): the flatter one takes the steeper one's level.
  const int32_t Steep = x.File.AddPatchFace(3, 3, 3, Dome(-200, 100));
  const int32_t Gentle = x.File.AddPatchFace(3, 3, 3, Dome(-120, 20));
  std::vector<TZNT1Vector3> Nan = Dome(500, 10);
  Nan[4].x = std::nanf("");
  x.File.AddPatchFace(3, 3, 3, Nan);
  const int32_t Broken = x.Door;  // swapped with the door below
  x.File.Models[0].CountFaces = int32_t(x.File.Faces.size()) - 1;
  std::swap(x.File.Faces[size_t(x.Door)], x.File.Faces.back());  // the door stays last (model 1)
  x.File.Models[1].FaceIndex = int32_t(x.File.Faces.size()) - 1;
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  const TBSPMapFace& s = m->BSPMapFaces[size_t(Steep)];
  EXPECT_EQ(s.CountVertices, 81);
  EXPECT_EQ(s.CountIndices, 384);
  EXPECT_EQ(m->BSPMapFaces[size_t(Gentle)].CountVertices, 81);
  // The arch bends only along its rows: 8 x 1 subdivisions.
  EXPECT_EQ(m->BSPMapFaces[size_t(x.Patch3x3)].CountVertices, 18);
  EXPECT_EQ(m->BSPMapFaces[size_t(x.Patch3x3)].CountIndices, 48);
  EXPECT_EQ(m->BSPMapFaces[size_t(Broken)].FaceType, FACE_PATCH);
  // First quad: (a + 1, b), (a, b), (a, b + 1), then (a + 1, b), (a, b + 1), (a + 1, b + 1); W = 9.
  const TBSPVBO& b = m->BSPVBOs[size_t(s.VBOIndex)];
  std::vector<uint32_t> First(b.StaticIndices.begin() + s.StartVBOIndex, b.StaticIndices.begin() + s.StartVBOIndex + 6);
  for (uint32_t& i : First) i -= uint32_t(s.StartVBOVertex);
  EXPECT_EQ(First, (std::vector<uint32_t>{9, 0, 1, 9, 1, 10}));
  // The corners are the control points; the centre lies on the surface, half-way up.
  EXPECT_EQ(b.Vertices[size_t(s.StartVBOVertex)].Position.x, -200.0f);
  EXPECT_FLOAT_EQ(b.Vertices[size_t(s.StartVBOVertex + 40)].Position.z, 100.0f);
  EXPECT_FLOAT_EQ(s.Plane.Distance, 0.0f);
}

TEST(BSPBuffers, OneBufferInFaceOrderWithConvertedVertices) {
  FixtureEngine e;
  TFixture x = bspwriter::MakeFixture();
  x.File.Vertices[0].Color = TBSPRGBA{128, 64, 32, 77};
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  ASSERT_EQ(m->CountBSPVBOs, 1);
  int32_t Next = 0;
  for (const TBSPMapFace& f : m->BSPMapFaces) {
    EXPECT_EQ(f.VBOIndex, 0);
    EXPECT_EQ(f.StartVBOVertex, Next);
    Next += f.CountVertices;
  }
  const TBSPVBO& b = m->BSPVBOs[0];
  EXPECT_EQ(b.CountVertices, Next);
  EXPECT_EQ(b.RangeCount, m->CountBSPFaces);
  const TZNT1VBOVertex& v = b.Vertices[0];
  EXPECT_EQ(v.Color.r, 255);
  EXPECT_EQ(v.Color.g, 128);
  EXPECT_EQ(v.Color.b, 64);
  EXPECT_EQ(v.Color.a, 77);
  EXPECT_EQ(v.Middle.w, 1.0f);
  EXPECT_NE(v.Tangent.w, 0.0f);
  const TBSPMapFace& Wall = m->BSPMapFaces[size_t(x.Wall)];
  EXPECT_EQ(Wall.AABB.Min.x, 256.0f);
  EXPECT_EQ(Wall.AABB.Min.y, -256.0f);
  EXPECT_EQ(Wall.AABB.Max.z, 256.0f);
  EXPECT_EQ(Wall.Middle.z, 128.0f);
  EXPECT_EQ(Wall.Sphere.Center.x, 256.0f);
}

TEST(BSPBuffers, SplitAtTheElementLimits) {
  FixtureEngine e;
  e.GLCapabilities->MaxElementsVertices = 10;
  TFixture x = bspwriter::MakeFixture();
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  EXPECT_GT(m->CountBSPVBOs, 4);
  int32_t Last = 0;
  for (const TBSPMapFace& f : m->BSPMapFaces) {
    EXPECT_GE(f.VBOIndex, Last);
    Last = f.VBOIndex;
    const TBSPVBO& b = m->BSPVBOs[size_t(f.VBOIndex)];
    // A buffer reaches the limit only when a single face fills it.
    if (b.CountVertices >= 10) {
      EXPECT_EQ(b.RangeCount, 1);
    }
  }
  // The 18-vertex arch has a buffer of its own.
  const TBSPMapFace& Arch = m->BSPMapFaces[size_t(x.Patch3x3)];
  EXPECT_EQ(m->BSPVBOs[size_t(Arch.VBOIndex)].CountVertices, 18);
  for (const TBSPVBO& b : m->BSPVBOs)
    for (uint32_t i : b.StaticIndices) EXPECT_LT(i, uint32_t(b.CountVertices));
  // Group buffers split the same way and each range stays in one buffer.
  for (const TBSPGroup& g : m->BSPGroups)
    for (const TBSPGroupVBORange& r : g.VBORanges)
      EXPECT_LE(r.FirstVertex + r.CountVertices, m->BSPGroupVBOs[size_t(r.Index)].CountVertices);
}

TEST(BSPBuffers, SpriteFaces) {
  const std::string Script = "textures/fixture/beam\n{\n\tdeformvertexes autosprite2\n\t{\n\t\tmap $whiteimage\n\t}\n}\n";
  auto Files = ScriptFiles();
  Files.push_back({"scripts/beam.shader", Bytes(Script.begin(), Script.end())});
  MapEngine e(Files);
  TFixture x = bspwriter::MakeFixture();
  const int32_t tSprite = 5, tBeam = x.File.AddTexture("textures/fixture/beam", 0, 0);
  const TZNT1Vector3 Beam[4] = {Vector3(-1000, 0, 50), Vector3(1000, 0, 50), Vector3(1000, 0, 60), Vector3(-1000, 0, 60)};
  const int32_t BeamFace = x.File.AddQuadFace(tBeam, Beam);
  x.File.AddMeshFace(tSprite, {Vector3(0, 0, 0), Vector3(1, 0, 0), Vector3(1, 1, 0), Vector3(0, 1, 0),
                                                   Vector3(2, 0, 0), Vector3(2, 1, 0)},
                                         {0, 1, 2, 3, 4, 5});
  const int32_t Six = x.Door;  // swapped with the door below
  x.File.Models[0].CountFaces = int32_t(x.File.Faces.size()) - 1;
  std::swap(x.File.Faces[size_t(x.Door)], x.File.Faces.back());
  x.File.Models[1].FaceIndex = int32_t(x.File.Faces.size()) - 1;
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->BSPMapFaces[size_t(Six)].FaceType, FACE_BAD);
  // Autosprite: a square of half size 0.707 |v0 - C| around the centre, facing +y.
  const TBSPMapFace& s = m->BSPMapFaces[size_t(x.Sprite)];
  const TBSPVBO& b = m->BSPVBOs[size_t(s.VBOIndex)];
  const TZNT1VBOVertex* v = &b.Vertices[size_t(s.StartVBOVertex)];
  const float r = 0.707f * std::sqrt(32.0f * 32.0f * 2);
  EXPECT_FLOAT_EQ(v[0].Position.x, -r);
  EXPECT_FLOAT_EQ(v[0].Position.z, 132.0f + r);
  EXPECT_FLOAT_EQ(v[2].Position.x, r);
  EXPECT_EQ(v[1].Normal.y, 1.0f);
  EXPECT_EQ(v[1].TexCoord.y, 1.0f);
  EXPECT_EQ(v[3].Middle.z, 132.0f);
  EXPECT_EQ(v[3].Middle.w, 1.0f);
  std::vector<uint32_t> Quad(b.StaticIndices.begin() + s.StartVBOIndex, b.StaticIndices.begin() + s.StartVBOIndex + 6);
  for (uint32_t& i : Quad) i -= uint32_t(s.StartVBOVertex);
  EXPECT_EQ(Quad, (std::vector<uint32_t>{0, 1, 3, 3, 1, 2}));
  // Autosprite2 finds the short edges of a 2000-unit beam: each end gets its midpoint and half width.
  const TBSPMapFace& bf = m->BSPMapFaces[size_t(BeamFace)];
  const TZNT1VBOVertex* w = &m->BSPVBOs[size_t(bf.VBOIndex)].Vertices[size_t(bf.StartVBOVertex)];
  for (int k = 0; k < 4; ++k) {
    EXPECT_FLOAT_EQ(w[k].Middle.w, 5.0f) << k;
    EXPECT_FLOAT_EQ(std::fabs(w[k].Middle.x), 1000.0f) << k;
    EXPECT_FLOAT_EQ(w[k].Middle.z, 55.0f) << k;
  }
}

TEST(BSPPortals, CameraPortalOfTheFixture) {
  FixtureEngine e;
  TFixture x = bspwriter::MakeFixture();
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  ASSERT_EQ(m->CountPortals, 1);
  const TZNT1Portal& p = m->Portals[0];
  EXPECT_FALSE(p.SourceMirror);
  EXPECT_EQ(p.SourceFaces, std::vector<int32_t>{x.Portal});
  EXPECT_EQ(p.SourceLeaf, 0);
  EXPECT_EQ(p.SourceCluster, 0);
  EXPECT_EQ(p.SourceModel, 0);
  EXPECT_EQ(p.TargetOrigin.x, -200.0f);
  EXPECT_EQ(p.TargetPosition.x, 200.0f);
  EXPECT_EQ(p.TargetRoll, 15.0f);
  EXPECT_EQ(p.TargetAngles.y, 45.0f);
  EXPECT_EQ(p.TargetAngles.x, 0.0f);
  EXPECT_EQ(p.PortalRange, e.Shaders->GetShader("textures/fixture/portal")->PortalRange);
  EXPECT_EQ(p.Plane.Normal.y, m->BSPMapFaces[size_t(x.Portal)].SurfacePlane.Normal.y);
  EXPECT_EQ(p.SourceAABB.Min.z, 32.0f);
  EXPECT_EQ(p.SourceAABB.Min.y, 240.0f);  // the origin is in the box
  EXPECT_EQ(m->BSPMapFaces[size_t(x.Portal)].PortalIndex, 0);
  EXPECT_EQ(m->BSPMapFaces[size_t(x.Wall)].PortalIndex, BSPNoPortal);
  EXPECT_EQ(m->BSPMapLeafs[0].CountLeafPortals, 1);
  EXPECT_EQ(m->BSPMapLeafs[0].leafPortals, std::vector<int32_t>{0});
  EXPECT_EQ(m->BSPClusters[0].CountPortals, 1);
  EXPECT_EQ(m->BSPMapLeafs[1].CountLeafPortals, 0);
  const TBSPGroup& g = m->BSPGroups[size_t(m->BSPMapFaces[size_t(x.Portal)].GroupIndex)];
  EXPECT_EQ(g.Portals, std::vector<int32_t>{0});
  EXPECT_EQ(g.PortalIndex, 0);
}

TEST(BSPPortals, SurfacesFindTheirFaces) {
  const std::string Script = "textures/fixture/named\n{\n\tportal mirror1\n\t{\n\t\tmap $whiteimage\n\t}\n}\n";
  auto Files = ScriptFiles();
  Files.push_back({"scripts/named.shader", Bytes(Script.begin(), Script.end())});
  MapEngine e(Files);
  struct Case {
    const char* What;
    std::string Surfaces;
    std::string MapName;
    std::vector<std::vector<int32_t>> Faces;  // per portal kept; -1 for the portal face
  };
  const std::string Near64 = "{\n\"classname\" \"misc_portal_surface\"\n\"origin\" \"0 191 96\"\n}\n";
  const std::string Past64 = "{\n\"classname\" \"misc_portal_surface\"\n\"origin\" \"0 190.99 96\"\n}\n";
  const Case Cases[] = {
      {"64 units away", Near64, "fixture", {{-1}}},
      {"64.01 units away", Past64, "fixture", {}},
      {"64.01 units away on the exception map", Past64, "the_chartres_map", {{-1, -2}}},
      {"two surfaces share the face", Near64 + Near64, "fixture", {{-1}, {-1}}},
      {"outside every face", "{\n\"classname\" \"misc_portal_surface\"\n\"origin\" \"-200 200 10\"\n}\n", "fixture", {}},
      {"mirror without camera", "{\n\"classname\" \"misc_portal_surface\"\n\"origin\" \"0 250 96\"\n\"target\" \"nobody\"\n}\n",
       "fixture", {{-1}}},
      {"named, without origin", "{\n\"classname\" \"misc_portal_surface\"\n\"name\" \"mirror1\"\n}\n", "fixture", {{-2}}},
  };
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.What);
    TFixture x = bspwriter::MakeFixture();
    const int32_t tNamed = x.File.AddTexture("textures/fixture/named", 0, 0);
    const TZNT1Vector3 q[4] = {Vector3(-200, -255, 32), Vector3(-100, -255, 32), Vector3(-100, -255, 96),
                               Vector3(-200, -255, 96)};
    const int32_t NamedFace = x.File.AddQuadFace(tNamed, q);
    std::swap(x.File.Faces[size_t(x.Door)], x.File.Faces.back());
    x.File.Models[0].CountFaces = NamedFace;
    x.File.Models[1].FaceIndex = NamedFace;
    x.File.Entities = "{\n\"classname\" \"worldspawn\"\n}\n" + c.Surfaces;
    auto m = Load(e, x.File, c.MapName);
    ASSERT_TRUE(m);
    ASSERT_EQ(size_t(m->CountPortals), c.Faces.size());
    ASSERT_EQ(m->Portals.size(), c.Faces.size());
    int32_t Listed = 0;
    for (size_t i = 0; i < c.Faces.size(); ++i) {
      const TZNT1Portal& p = m->Portals[i];
      std::vector<int32_t> Want;
      for (int32_t f : c.Faces[i]) Want.push_back(f == -1 ? x.Portal : x.Door);  // the named face took the door's place
      EXPECT_EQ(p.SourceFaces, Want);
      EXPECT_TRUE(p.SourceMirror);
      EXPECT_EQ(p.TargetPosition.x, 0.0f);
      if (c.Faces[i][0] == -2) {
        EXPECT_EQ(p.Name, "mirror1");
        EXPECT_EQ(p.SourceLeaf, -1);
        EXPECT_EQ(p.SourceCluster, -1);
        EXPECT_EQ(p.SourceOrigin.x, -150.0f);  // centre of the face
        EXPECT_EQ(p.SourceAABB.Min.x, -200.0f);
      } else {
        ++Listed;
      }
    }
    int32_t InLeaves = 0;
    for (const TBSPMapLeaf& l : m->BSPMapLeafs) InLeaves += l.CountLeafPortals;
    EXPECT_EQ(InLeaves, Listed);
    if (!c.Faces.empty()) {
      const int32_t Face = c.Faces.back()[0] == -1 ? x.Portal : x.Door;
      EXPECT_EQ(m->BSPMapFaces[size_t(Face)].PortalIndex, m->CountPortals - 1);  // the later surface
    } else {
      EXPECT_EQ(m->BSPMapFaces[size_t(x.Portal)].PortalIndex, BSPNoPortal);
    }
  }
}

// A slab with the portal material on both sides: the portal is looked into from the side its
// surface entity stands on, so it takes that side's plane whichever face comes first. (The front
// of a face is the side its corners go clockwise from, as in map files.)
TEST(BSPPortals, ASlabTakesThePlaneOfTheSideItsSurfaceStandsBefore) {
  FixtureEngine e;
  struct Case {
    const char* What;
    float OriginY;
    bool RoomSide;  // the room side (y = 251, listed last) gives the plane, else the fixture's face
  };
  for (const Case& c : {Case{"before the room side", 200, true}, Case{"before the far side", 300, false}}) {
    SCOPED_TRACE(c.What);
    TFixture x = bspwriter::MakeFixture();
    // The fixture's portal face (y = 255) fronts the wall behind it; the slab's room side is added.
    const TZNT1Vector3 q[4] = {Vector3(64, 251, 32), Vector3(-64, 251, 32), Vector3(-64, 251, 160),
                               Vector3(64, 251, 160)};
    const int32_t RoomSide = x.File.AddQuadFace(x.File.Faces[size_t(x.Portal)].textureID, q);
    x.File.Entities = "{\n\"classname\" \"worldspawn\"\n}\n{\n\"classname\" \"misc_portal_surface\"\n\"origin\" \"0 " +
                      std::to_string(int(c.OriginY)) + " 96\"\n}\n";
    auto m = Load(e, x.File);
    ASSERT_TRUE(m);
    ASSERT_EQ(m->CountPortals, 1);
    const TZNT1Portal& p = m->Portals[0];
    ASSERT_EQ(p.SourceFaces, (std::vector<int32_t>{x.Portal, RoomSide}));
    const TBSPMapFace& Side = m->BSPMapFaces[size_t(c.RoomSide ? RoomSide : x.Portal)];
    EXPECT_EQ(p.Plane.Normal.y, Side.SurfacePlane.Normal.y);
    EXPECT_EQ(p.Plane.Distance, Side.SurfacePlane.Distance);
    EXPECT_LT(PlaneVectorDistance(p.Plane, p.SourceOrigin), 0.0f);  // where the renderer looks in from
  }
}

TEST(BSPGroups, VisibilityDecidesWhichFacesShareAGroup) {
  for (uint8_t Row : {uint8_t(0x03), uint8_t(0x00)}) {
    FixtureEngine e;
    TFixture x = bspwriter::MakeFixture();
    // 0x03: both clusters see each other; otherwise each only itself.
    x.File.VisBits = Row ? Bytes{Row, Row} : Bytes{0x01, 0x02};
    auto m = Load(e, x.File);
    ASSERT_TRUE(m);
    const TBSPMapFace &w = m->BSPMapFaces[size_t(x.FloorWest)], &east = m->BSPMapFaces[size_t(x.FloorEast)];
    EXPECT_EQ(w.GroupIndex == east.GroupIndex, Row == 0x03);
    const TBSPGroup& g = m->BSPGroups[size_t(w.GroupIndex)];
    EXPECT_EQ(g.Faces.front(), x.FloorWest);
    EXPECT_EQ(g.Shader, w.Shader);
    EXPECT_EQ(g.LightMapAtlas, 0);
    EXPECT_NE(std::find(m->BSPMapLeafs[0].leafGroups.begin(), m->BSPMapLeafs[0].leafGroups.end(), w.GroupIndex),
              m->BSPMapLeafs[0].leafGroups.end());
    EXPECT_NE(std::find(m->BSPClusters[0].Groups.begin(), m->BSPClusters[0].Groups.end(), w.GroupIndex),
              m->BSPClusters[0].Groups.end());
    // The fogged floor has its own group; flares and the door's model stay apart.
    EXPECT_NE(m->BSPMapFaces[size_t(x.Fogged)].GroupIndex, w.GroupIndex);
    EXPECT_EQ(m->BSPGroups[size_t(m->BSPMapFaces[size_t(x.Fogged)].GroupIndex)].EffectIndex, 0);
    EXPECT_EQ(m->BSPMapFaces[size_t(x.Flare)].GroupIndex, -1);
    EXPECT_EQ(m->BSPMapModels[1].CountGroups, 1);
    EXPECT_EQ(m->BSPMapModels[1].GroupIndex + 1, m->CountBSPGroups);
    EXPECT_EQ(m->BSPMapFaces[size_t(x.Door)].ModelIndex, 1);
  }
}

TEST(BSPGroups, UngroupableFacesAndUnreachableLeaves) {
  const std::string Script = "textures/fixture/hidden\n{\n\tsurfaceparm nodraw\n}\n";
  auto Files = ScriptFiles();
  Files.push_back({"scripts/hidden.shader", Bytes(Script.begin(), Script.end())});
  MapEngine e(Files);
  TFixture x = bspwriter::MakeFixture();
  x.File.Faces[size_t(x.Wall)].numOfIndices = 0;
  x.File.Faces[size_t(x.Mesh)].textureID = x.File.AddTexture("textures/fixture/hidden");
  x.File.Nodes[0].front = -1;  // leaf 2 hangs nowhere now
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->BSPMapFaces[size_t(x.Wall)].GroupIndex, -1);
  EXPECT_EQ(m->BSPMapFaces[size_t(x.Mesh)].GroupIndex, -1);
  EXPECT_FALSE(m->BSPMapLeafs[2].Valid);
  EXPECT_TRUE(m->BSPMapLeafs[0].Valid);
}

TEST(BSPGroups, AGroupBeyondTheVertexLimitGetsTwoRanges) {
  FixtureEngine e;
  e.GLCapabilities->MaxElementsVertices = 6;
  TFixture x = bspwriter::MakeFixture();
  x.File.HasVis = false;
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  const TBSPMapFace& w = m->BSPMapFaces[size_t(x.FloorWest)];
  const TBSPGroup& g = m->BSPGroups[size_t(w.GroupIndex)];
  ASSERT_EQ(g.CountVBORanges, 2);
  EXPECT_NE(g.VBORanges[0].Index, g.VBORanges[1].Index);
  EXPECT_EQ(g.VBORanges[0].CountVertices, 4);
  EXPECT_EQ(g.VBORanges[1].FirstVertex, 0);
  // Face indices point at the face's own vertices in the group buffer.
  const TBSPMapFace& east = m->BSPMapFaces[size_t(x.FloorEast)];
  const TBSPVBO& b = m->BSPGroupVBOs[size_t(east.GroupVBOIndex)];
  for (int32_t k = 0; k < east.CountIndices; ++k) {
    const uint32_t i = b.StaticIndices[size_t(east.StartGroupVBOIndex + k)];
    EXPECT_GE(i, uint32_t(east.StartGroupVBOVertex));
    EXPECT_LT(i, uint32_t(east.StartGroupVBOVertex + east.CountVertices));
  }
  EXPECT_EQ(b.Vertices[size_t(east.StartGroupVBOVertex)].Position.x, 0.0f);
  EXPECT_EQ(b.Vertices[size_t(east.StartGroupVBOVertex + 1)].Position.x, 256.0f);
}

TEST(BSP, DedicatedUploadMakesNoGPUObject) {
  FixtureEngine e;
  auto m = Load(e, bspwriter::MakeFixture().File);
  ASSERT_TRUE(m);
  m->Upload();
  EXPECT_TRUE(m->Uploaded);
  EXPECT_TRUE(m->SkyVBOVertices.empty());
  EXPECT_EQ(m->VertexSkyVBOID, 0u);
  for (const TBSPVBO& b : m->BSPGroupVBOs) EXPECT_EQ(b.VertexVBOID, 0u);
  ASSERT_TRUE(m->LightGridTexture);
  EXPECT_FALSE(m->LightGridTexture->Uploaded);
  m->Dispose();
  EXPECT_FALSE(m->Uploaded);
}

TEST(BSPGroups, FacesOfOtherAreasStayApart) {
  FixtureEngine e;
  TFixture x = bspwriter::MakeFixture();
  x.File.Leafs[1].area = 2;  // the east half in another area; both clusters still see each other
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->CountBSPAreas, 3);
  EXPECT_NE(m->BSPMapFaces[size_t(x.FloorWest)].GroupIndex, m->BSPMapFaces[size_t(x.FloorEast)].GroupIndex);
  // The portal and sprite quads lie in both leaves, so in both areas: alike, they group.
  EXPECT_GE(m->BSPMapFaces[size_t(x.Portal)].GroupIndex, 0);
}

TEST(BSPBuffers, AutospriteAfterAnotherDeformationTurnsTheQuadUp) {
  const std::string Script =
      "textures/fixture/flame\n{\n\tdeformvertexes wave 8 sin 0 1 0 1\n\tdeformvertexes autosprite\n\t{\n\t\tmap "
      "$whiteimage\n\t}\n}\n";
  auto Files = ScriptFiles();
  Files.push_back({"scripts/flame.shader", Bytes(Script.begin(), Script.end())});
  MapEngine e(Files);
  TFixture x = bspwriter::MakeFixture();
  // A quad facing +x, to be turned to face +y about its centre (100, 0, 50).
  const TZNT1Vector3 q[4] = {Vector3(100, -20, 30), Vector3(100, 20, 30), Vector3(100, 20, 70), Vector3(100, -20, 70)};
  x.File.AddQuadFace(x.File.AddTexture("textures/fixture/flame", 0, 0), q);
  std::swap(x.File.Faces[size_t(x.Door)], x.File.Faces.back());
  x.File.Models[0].CountFaces = int32_t(x.File.Faces.size()) - 1;
  x.File.Models[1].FaceIndex = int32_t(x.File.Faces.size()) - 1;
  auto m = Load(e, x.File);
  ASSERT_TRUE(m);
  const TBSPMapFace& f = m->BSPMapFaces[size_t(x.Door)];  // the flame took the door's place
  ASSERT_TRUE(f.Shader && f.Shader->HasAutoSpriteDeformation);
  const TZNT1VBOVertex* v = &m->BSPVBOs[size_t(f.VBOIndex)].Vertices[size_t(f.StartVBOVertex)];
  for (int k = 0; k < 4; ++k) {
    EXPECT_FLOAT_EQ(v[k].Middle.x, 100.0f);
    EXPECT_FLOAT_EQ(v[k].Middle.z, 50.0f);
    EXPECT_NEAR(v[k].Position.y, 0.0f, 1e-4f);  // now in the plane y = 0
    EXPECT_NEAR(Vector3Dist(v[k].Position, Vector3(100, 0, 50)), Vector3Dist(q[k], Vector3(100, 0, 50)), 1e-3f);
    EXPECT_NEAR(std::fabs(v[k].Normal.y), 1.0f, 1e-5f);
  }
}
