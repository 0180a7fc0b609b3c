#include "support/BSPWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/ZNT1Globals.h"

namespace bspwriter {

namespace {

void AppendBytes(Bytes& Out, const void* Data, size_t n) {
  if (!n) return;
  const size_t at = Out.size();
  Out.resize(at + n);
  std::memcpy(Out.data() + at, Data, n);
}

template <typename T>
void AppendRecords(Bytes& Out, const std::vector<T>& Items) {
  AppendBytes(Out, Items.data(), Items.size() * sizeof(T));
}

void CopyName(char (&Target)[64], const std::string& Name) {
  std::memset(Target, 0, sizeof Target);
  std::memcpy(Target, Name.data(), std::min(Name.size(), sizeof Target));
}

void Put32(Bytes& b, size_t At, int32_t v) { std::memcpy(b.data() + At, &v, 4); }

}  // namespace

Bytes TBSPFile::Build() const {
  Bytes Out(8 + 8 * kMaxLumps, 0);
  std::memcpy(Out.data(), Magic, 4);
  std::memcpy(Out.data() + 4, &Version, 4);
  auto Lump = [&](int32_t Index, auto&& Write) {
    while (Out.size() % 4) Out.push_back(0);
    const size_t Start = Out.size();
    Write();
    Put32(Out, size_t(8 + 8 * Index), int32_t(Start));
    Put32(Out, size_t(12 + 8 * Index), int32_t(Out.size() - Start));
  };
  Lump(kEntities, [&] { AppendBytes(Out, Entities.data(), Entities.size()); });
  Lump(kTextures, [&] { AppendRecords(Out, Textures); });
  Lump(kPlanes, [&] { AppendRecords(Out, Planes); });
  Lump(kNodes, [&] { AppendRecords(Out, Nodes); });
  Lump(kLeafs, [&] { AppendRecords(Out, Leafs); });
  Lump(kLeafFaces, [&] { AppendRecords(Out, LeafFaces); });
  Lump(kLeafBrushes, [&] { AppendRecords(Out, LeafBrushes); });
  Lump(kModels, [&] { AppendRecords(Out, Models); });
  Lump(kBrushes, [&] { AppendRecords(Out, Brushes); });
  Lump(kBrushSides, [&] { AppendRecords(Out, BrushSides); });
  Lump(kVertices, [&] { AppendRecords(Out, Vertices); });
  Lump(kIndices, [&] { AppendRecords(Out, Indices); });
  Lump(kShaders, [&] { AppendRecords(Out, Fogs); });
  Lump(kFaces, [&] { AppendRecords(Out, Faces); });
  Lump(kLightMaps, [&] { AppendRecords(Out, LightMaps); });
  Lump(kLightVolumes, [&] { AppendRecords(Out, LightVolumes); });
  Lump(kVisData, [&] {
    if (!HasVis) return;
    AppendBytes(Out, &VisHeader, 8);
    AppendBytes(Out, VisBits.data(), VisBits.size());
  });
  return Out;
}

int32_t TBSPFile::AddTexture(const std::string& Name, uint32_t SurfaceFlags, uint32_t ContentFlags) {
  TBSPTexture t{};
  CopyName(t.TextureName, Name);
  t.SurfaceFlags = SurfaceFlags;
  t.ContentFlags = ContentFlags;
  Textures.push_back(t);
  return int32_t(Textures.size()) - 1;
}

int32_t TBSPFile::AddPlane(const TZNT1Vector3& Normal, float Distance) {
  Planes.push_back(TBSPPlane{Normal, Distance});
  return int32_t(Planes.size()) - 1;
}

int32_t TBSPFile::AddBoxBrush(const TZNT1Vector3& Min, const TZNT1Vector3& Max, int32_t Texture) {
  TBSPBrush b{int32_t(BrushSides.size()), 6, Texture};
  for (int axis = 0; axis < 3; ++axis) {
    TZNT1Vector3 n = Vector3(0, 0, 0);
    n.xyz[axis] = -1;
    BrushSides.push_back(TBSPBrushSide{AddPlane(n, -Min.xyz[axis]), Texture});
    n.xyz[axis] = 1;
    BrushSides.push_back(TBSPBrushSide{AddPlane(n, Max.xyz[axis]), Texture});
  }
  Brushes.push_back(b);
  return int32_t(Brushes.size()) - 1;
}

int32_t TBSPFile::AddVertex(const TZNT1Vector3& Position, const TZNT1Vector2& TexCoord,
                            const TZNT1Vector2& LightmapCoord, const TZNT1Vector3& Normal, TBSPRGBA Color) {
  Vertices.push_back(TBSPVertex{Position, TexCoord, LightmapCoord, Normal, Color});
  return int32_t(Vertices.size()) - 1;
}

namespace {
TBSPFace NewFace(int32_t Texture, int32_t Type, int32_t FirstVertex, int32_t FirstIndex, int32_t LightMap) {
  TBSPFace f{};
  f.textureID = Texture;
  f.effect = -1;
  f.FaceType = Type;
  f.startVertIndex = FirstVertex;
  f.startIndicesIndex = FirstIndex;
  f.lightmapID = LightMap;
  return f;
}
}  // namespace

int32_t TBSPFile::AddQuadFace(int32_t Texture, const TZNT1Vector3 Corners[4], int32_t FaceType, int32_t LightMap,
                              int32_t Effect) {
  TBSPFace f = NewFace(Texture, FaceType, int32_t(Vertices.size()), int32_t(Indices.size()), LightMap);
  f.effect = Effect;
  TZNT1Vector3 n = Vector3Cross(Vector3Sub(Corners[1], Corners[0]), Vector3Sub(Corners[2], Corners[0]));
  Vector3Normalize(n);
  static const float uv[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  for (int i = 0; i < 4; ++i)
    AddVertex(Corners[i], Vector2(uv[i][0], uv[i][1]), Vector2(uv[i][0], uv[i][1]), n);
  for (int32_t i : {0, 1, 2, 0, 2, 3}) Indices.push_back(i);
  f.numOfVerts = 4;
  f.numOfIndices = 6;
  f.lMapVecs[2] = n;
  f.lMapSize[0] = f.lMapSize[1] = 16;
  Faces.push_back(f);
  return int32_t(Faces.size()) - 1;
}

int32_t TBSPFile::AddMeshFace(int32_t Texture, const std::vector<TZNT1Vector3>& Points,
                              const std::vector<int32_t>& MeshIndices, int32_t LightMap) {
  TBSPFace f = NewFace(Texture, FACE_MESH, int32_t(Vertices.size()), int32_t(Indices.size()), LightMap);
  for (const TZNT1Vector3& p : Points) AddVertex(p, Vector2(p.x / 64, p.y / 64), Vector2(0.5f, 0.5f));
  Indices.insert(Indices.end(), MeshIndices.begin(), MeshIndices.end());
  f.numOfVerts = int32_t(Points.size());
  f.numOfIndices = int32_t(MeshIndices.size());
  f.lMapVecs[2] = Vector3(0, 0, 1);
  Faces.push_back(f);
  return int32_t(Faces.size()) - 1;
}

int32_t TBSPFile::AddPatchFace(int32_t Texture, int32_t Width, int32_t Height, const std::vector<TZNT1Vector3>& Points,
                               int32_t LightMap) {
  TBSPFace f = NewFace(Texture, FACE_PATCH, int32_t(Vertices.size()), int32_t(Indices.size()), LightMap);
  TZNT1AABB box{};
  box.Min = box.Max = Points.empty() ? Vector3(0, 0, 0) : Points[0];
  for (size_t i = 0; i < Points.size(); ++i) {
    const float s = float(i % size_t(Width)) / float(Width - 1), t = float(i / size_t(Width)) / float(Height - 1);
    AddVertex(Points[i], Vector2(s, t), Vector2(s, t), Vector3(0, 0, 1),
              TBSPRGBA{uint8_t(255 * s), uint8_t(255 * t), 128, 255});
    box = AABBCombineVector3(box, Points[i]);
  }
  f.numOfVerts = int32_t(Points.size());
  f.Size[0] = Width;
  f.Size[1] = Height;
  f.lMapVecs[0] = box.Min;
  f.lMapVecs[1] = box.Max;
  Faces.push_back(f);
  return int32_t(Faces.size()) - 1;
}

int32_t TBSPFile::AddLightMap(uint8_t r, uint8_t g, uint8_t b) {
  TBSPLightMap m;
  for (auto& row : m.imageBits)
    for (auto& px : row) {
      px[0] = r;
      px[1] = g;
      px[2] = b;
    }
  LightMaps.push_back(m);
  return int32_t(LightMaps.size()) - 1;
}

int64_t TBSPFile::GridCells(const TZNT1AABB& Box, const TZNT1Vector3& Size) {
  int64_t n = 1;
  for (int i = 0; i < 3; ++i) {
    const float Origin = Size.xyz[i] * std::ceil(Box.Min.xyz[i] / Size.xyz[i]);
    n *= int64_t((Size.xyz[i] * std::floor(Box.Max.xyz[i] / Size.xyz[i]) - Origin) / Size.xyz[i]) + 1;
  }
  return n;
}

void SetLump(Bytes& File, int32_t Lump, int32_t Offset, int32_t Len) {
  std::memcpy(File.data() + 8 + 8 * Lump, &Offset, 4);
  std::memcpy(File.data() + 12 + 8 * Lump, &Len, 4);
}

TBSPLump GetLump(const Bytes& File, int32_t Lump) {
  TBSPLump l{};
  std::memcpy(&l, File.data() + 8 + 8 * Lump, 8);
  return l;
}

TFixture MakeFixture() {
  TFixture x;
  TBSPFile& f = x.File;
  const int32_t tWall = f.AddTexture("textures/fixture/wall");
  const int32_t tFloor = f.AddTexture("textures/fixture/floor");
  const int32_t tMesh = f.AddTexture("textures/fixture/mesh");
  const int32_t tCurve = f.AddTexture("textures/fixture/curve");
  const int32_t tPortal = f.AddTexture("textures/fixture/portal", 0, 0);
  const int32_t tSprite = f.AddTexture("textures/fixture/sprite", SURF_NONSOLID, 0);
  const int32_t tFog = f.AddTexture("textures/fixture/fog", SURF_NONSOLID, CONTENTS_FOG);
  const int32_t tDoor = f.AddTexture("textures/fixture/door");

  // Node planes first: z = 512 and x = 0.
  const int32_t pTop = f.AddPlane(Vector3(0, 0, 1), 512);
  const int32_t pMid = f.AddPlane(Vector3(1, 0, 0), 0);

  // The room: floor, ceiling and four walls, 16 units thick.
  f.AddBoxBrush(Vector3(-272, -272, -16), Vector3(272, 272, 0), tWall);
  f.AddBoxBrush(Vector3(-272, -272, 256), Vector3(272, 272, 272), tWall);
  f.AddBoxBrush(Vector3(-272, -272, 0), Vector3(-256, 272, 256), tWall);
  f.AddBoxBrush(Vector3(256, -272, 0), Vector3(272, 272, 256), tWall);
  f.AddBoxBrush(Vector3(-256, -272, 0), Vector3(256, -256, 256), tWall);
  f.AddBoxBrush(Vector3(-256, 256, 0), Vector3(256, 272, 256), tWall);
  x.FogBrush = f.AddBoxBrush(Vector3(-256, 128, 0), Vector3(-128, 256, 64), tFog);
  x.DoorBrush = f.AddBoxBrush(Vector3(100, -8, 0), Vector3(140, 8, 128), tDoor);

  f.AddLightMap(255, 128, 64);
  f.AddLightMap(32, 64, 128);

  const TZNT1Vector3 floorW[4] = {Vector3(-256, -256, 0), Vector3(0, -256, 0), Vector3(0, 256, 0),
                                  Vector3(-256, 256, 0)};
  x.FloorWest = f.AddQuadFace(tFloor, floorW, FACE_POLYGON, 0);
  const TZNT1Vector3 floorE[4] = {Vector3(0, -256, 0), Vector3(256, -256, 0), Vector3(256, 256, 0),
                                  Vector3(0, 256, 0)};
  x.FloorEast = f.AddQuadFace(tFloor, floorE, FACE_POLYGON, 0);
  const TZNT1Vector3 wall[4] = {Vector3(256, -256, 0), Vector3(256, -256, 256), Vector3(256, 256, 256),
                                Vector3(256, 256, 0)};
  x.Wall = f.AddQuadFace(tWall, wall, FACE_POLYGON, 1);
  x.Mesh = f.AddMeshFace(tMesh,
                         {Vector3(-200, -200, 10), Vector3(-150, -200, 10), Vector3(-150, -150, 40),
                          Vector3(-200, -150, 40), Vector3(-175, -175, 60)},
                         {0, 1, 4, 1, 2, 4, 2, 3, 4, 3, 0, 4}, 0);
  // A 3x3 arch over x -100..-20 and a 5x3 wave in the east half.
  std::vector<TZNT1Vector3> arch;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) arch.push_back(Vector3(-100 + 40.0f * c, -50 + 50.0f * r, c == 1 ? 120.0f : 20.0f));
  x.Patch3x3 = f.AddPatchFace(tCurve, 3, 3, arch, 0);
  std::vector<TZNT1Vector3> wave;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 5; ++c)
      wave.push_back(Vector3(20 + 40.0f * c, -50 + 50.0f * r, (c % 2) ? 80.0f : 20.0f + 10.0f * r));
  x.Patch5x3 = f.AddPatchFace(tCurve, 5, 3, wave, 1);
  const TZNT1Vector3 portal[4] = {Vector3(-64, 255, 32), Vector3(64, 255, 32), Vector3(64, 255, 160),
                                  Vector3(-64, 255, 160)};
  x.Portal = f.AddQuadFace(tPortal, portal, FACE_POLYGON, -1);
  const TZNT1Vector3 sprite[4] = {Vector3(-32, 0, 100), Vector3(32, 0, 100), Vector3(32, 0, 164),
                                  Vector3(-32, 0, 164)};
  x.Sprite = f.AddQuadFace(tSprite, sprite, FACE_POLYGON, -3);
  const TZNT1Vector3 flare[4] = {Vector3(0, 0, 200), Vector3(1, 0, 200), Vector3(1, 1, 200), Vector3(0, 1, 200)};
  x.Flare = f.AddQuadFace(tWall, flare, FACE_FLARE, -1);
  const TZNT1Vector3 fogged[4] = {Vector3(-250, 130, 1), Vector3(-130, 130, 1), Vector3(-130, 250, 1),
                                  Vector3(-250, 250, 1)};
  x.Fogged = f.AddQuadFace(tFloor, fogged, FACE_POLYGON, 0, 0);
  const TZNT1Vector3 door[4] = {Vector3(100, -8, 0), Vector3(140, -8, 0), Vector3(140, -8, 128),
                                Vector3(100, -8, 128)};
  x.Door = f.AddQuadFace(tDoor, door, FACE_POLYGON, 1);

  TBSPShader fog{};
  CopyName(fog.Name, "textures/fixture/fog");
  fog.BrushIndex = x.FogBrush;
  fog.VisibleSide = 5;
  f.Fogs.push_back(fog);

  // Tree: node 0 splits at z = 512 (front: leaf 2, outside), node 1 at x = 0.
  f.Nodes.push_back(TBSPNode{pTop, -3, 1, {-272, -272, -16}, {272, 272, 600}});
  f.Nodes.push_back(TBSPNode{pMid, -2, -1, {-272, -272, -16}, {272, 272, 272}});
  auto AddLeaf = [&](int32_t Cluster, int32_t Area, TBSPXYZ Min, TBSPXYZ Max, const std::vector<int32_t>& Faces,
                     const std::vector<int32_t>& Brushes) {
    TBSPLeaf l{Cluster, Area, Min, Max, int32_t(f.LeafFaces.size()), int32_t(Faces.size()),
               int32_t(f.LeafBrushes.size()), int32_t(Brushes.size())};
    f.LeafFaces.insert(f.LeafFaces.end(), Faces.begin(), Faces.end());
    f.LeafBrushes.insert(f.LeafBrushes.end(), Brushes.begin(), Brushes.end());
    f.Leafs.push_back(l);
  };
  AddLeaf(0, 0, {-272, -272, -16}, {0, 272, 272},
          {x.FloorWest, x.Mesh, x.Patch3x3, x.Portal, x.Sprite, x.Flare, x.Fogged}, {0, 1, 2, 4, 5, 6});
  AddLeaf(1, 0, {0, -272, -16}, {272, 272, 272}, {x.FloorEast, x.Wall, x.Patch5x3, x.Portal, x.Sprite},
          {0, 1, 3, 4, 5});
  AddLeaf(-1, 0, {-272, -272, 512}, {272, 272, 600}, {}, {});

  // World: every face but the door's; model 1: the door.
  f.Models.push_back(TBSPModel{Vector3(-272, -272, -16), Vector3(272, 272, 272), 0, x.Door, 0, 7});
  f.Models.push_back(TBSPModel{Vector3(100, -8, 0), Vector3(140, 8, 128), x.Door, 1, x.DoorBrush, 1});

  f.HasVis = true;
  f.VisHeader = TBSPVisDataHeader{2, 1};
  f.VisBits = {0x03, 0x03};

  TZNT1AABB world{};
  world.Min = f.Models[0].Min;
  world.Max = f.Models[0].Max;
  const int64_t cells = TBSPFile::GridCells(world, Vector3(64, 64, 128));
  for (int64_t i = 0; i < cells; ++i)
    f.LightVolumes.push_back(TBSPLightVolume{{uint8_t(i % 64), 32, 16}, {64, 32, uint8_t(i % 200)}, {0, 0}});

  f.Entities =
      "{\n\"classname\" \"worldspawn\"\n\"message\" \"Fixture room\"\n}\n"
      "{\n\"classname\" \"info_player_deathmatch\"\n\"origin\" \"-128 0 24\"\n\"angle\" \"90\"\n}\n"
      "{\n\"classname\" \"func_door\"\n\"model\" \"*1\"\n\"angle\" \"-1\"\n}\n"
      "{\n\"classname\" \"misc_portal_surface\"\n\"origin\" \"0 240 96\"\n\"target\" \"cam1\"\n}\n"
      "{\n\"classname\" \"misc_portal_camera\"\n\"origin\" \"-200 -200 64\"\n\"targetname\" \"cam1\"\n"
      "\"target\" \"look1\"\n\"roll\" \"15\"\n\"angle\" \"45\"\n}\n"
      "{\n\"classname\" \"target_position\"\n\"origin\" \"200 200 64\"\n\"targetname\" \"look1\"\n}\n";
  return x;
}

TCollisionFixture MakeCollisionFixture() {
  TCollisionFixture x;
  TBSPFile& f = x.File;
  x.tWall = f.AddTexture("textures/collision/wall", SURF_METALSTEPS, CONTENTS_SOLID);
  x.tWater = f.AddTexture("textures/collision/water", SURF_NONSOLID, CONTENTS_WATER);
  x.tFog = f.AddTexture("textures/collision/fog", SURF_NONSOLID, CONTENTS_FOG);
  x.tCurve = f.AddTexture("textures/collision/curve", 0, CONTENTS_SOLID);
  x.tDoor = f.AddTexture("textures/collision/door", SURF_NOSTEPS, CONTENTS_SOLID | CONTENTS_MOVER);

  const int32_t pMid = f.AddPlane(Vector3(1, 0, 0), 0);
  x.Floor = f.AddBoxBrush(Vector3(-528, -528, -16), Vector3(528, 528, 0), x.tWall);
  f.AddBoxBrush(Vector3(-528, -528, 256), Vector3(528, 528, 272), x.tWall);
  f.AddBoxBrush(Vector3(-528, -528, 0), Vector3(-512, 528, 256), x.tWall);
  f.AddBoxBrush(Vector3(512, -528, 0), Vector3(528, 528, 256), x.tWall);
  f.AddBoxBrush(Vector3(-512, -528, 0), Vector3(512, -512, 256), x.tWall);
  f.AddBoxBrush(Vector3(-512, 512, 0), Vector3(512, 528, 256), x.tWall);
  // The wedge below z = x - 100 inside 100..300 x -100..100 x 0..200: its box, then the slope.
  x.Slope = f.AddBoxBrush(Vector3(100, -100, 0), Vector3(300, 100, 200), x.tWall);
  const float r = 1.0f / std::sqrt(2.0f);
  f.BrushSides.push_back(TBSPBrushSide{f.AddPlane(Vector3(-r, 0, r), -100.0f * r), x.tWall});
  f.Brushes[x.Slope].numOfBrushsides = 7;
  x.Water = f.AddBoxBrush(Vector3(-400, -400, 0), Vector3(-200, -200, 100), x.tWater);
  x.Fog = f.AddBoxBrush(Vector3(-300, -400, 0), Vector3(-100, -200, 150), x.tFog);
  const int32_t WorldBrushes = int32_t(f.Brushes.size());
  x.DoorA = f.AddBoxBrush(Vector3(-50, 300, 0), Vector3(50, 340, 128), x.tDoor);
  x.DoorB = f.AddBoxBrush(Vector3(-20, -20, 0), Vector3(20, 20, 64), x.tDoor);

  // A flat patch at z = 40 and a dome (the middle point 200 above its corners).
  std::vector<TZNT1Vector3> Flat, Dome;
  for (int row = 0; row < 3; ++row)
    for (int c = 0; c < 3; ++c) {
      Flat.push_back(Vector3(-450 + 50.0f * c, 300 + 50.0f * row, 40));
      Dome.push_back(Vector3(200 + 100.0f * c, 200 + 100.0f * row, (row == 1 && c == 1) ? 260.0f : 20.0f));
    }
  x.FlatPatch = f.AddPatchFace(x.tCurve, 3, 3, Flat);
  x.CurvedPatch = f.AddPatchFace(x.tCurve, 3, 3, Dome);
  const TZNT1Vector3 Solid[4] = {Vector3(-50, -300, 0), Vector3(-50, -300, 100), Vector3(50, -300, 100),
                                 Vector3(50, -300, 0)};
  x.SolidQuad = f.AddQuadFace(x.tWall, Solid);
  const TZNT1Vector3 Wet[4] = {Vector3(-50, -100, 0), Vector3(-50, -100, 100), Vector3(50, -100, 100),
                               Vector3(50, -100, 0)};
  x.WaterQuad = f.AddQuadFace(x.tWater, Wet);

  f.Nodes.push_back(TBSPNode{pMid, -1, -2, {-528, -528, -16}, {528, 528, 272}});
  std::vector<int32_t> Brushes;
  for (int32_t b = 0; b < WorldBrushes; ++b) Brushes.push_back(b);
  for (int Leaf = 0; Leaf < 2; ++Leaf) {
    const TBSPXYZ Min = Leaf == 0 ? TBSPXYZ{0, -528, -16} : TBSPXYZ{-528, -528, -16};
    const TBSPXYZ Max = Leaf == 0 ? TBSPXYZ{528, 528, 272} : TBSPXYZ{0, 528, 272};
    f.Leafs.push_back(TBSPLeaf{Leaf, 0, Min, Max, int32_t(f.LeafFaces.size()), 4, int32_t(f.LeafBrushes.size()),
                               WorldBrushes});
    for (int32_t Face : {x.FlatPatch, x.CurvedPatch, x.WaterQuad, x.SolidQuad}) f.LeafFaces.push_back(Face);
    f.LeafBrushes.insert(f.LeafBrushes.end(), Brushes.begin(), Brushes.end());
  }
  // Unreachable from the tree.
  f.Leafs.push_back(TBSPLeaf{2, 0, {-16, -16, 1000}, {16, 16, 1016}, 0, 0, 0, 0});

  f.Models.push_back(TBSPModel{Vector3(-528, -528, -16), Vector3(528, 528, 272), 0, 4, 0, WorldBrushes});
  f.Models.push_back(TBSPModel{Vector3(-50, 300, 0), Vector3(50, 340, 128), 0, 0, x.DoorA, 1});
  f.Models.push_back(TBSPModel{Vector3(-20, -20, 0), Vector3(20, 20, 64), 0, 0, x.DoorB, 1});

  // Cluster 0 sees itself and 1; clusters 1 and 2 see only themselves.
  f.HasVis = true;
  f.VisHeader = TBSPVisDataHeader{3, 1};
  f.VisBits = {0x03, 0x02, 0x04};
  f.Entities = "{\n\"classname\" \"worldspawn\"\n}\n";
  return x;
}

TBSPFile MakeEntityRoom(const std::vector<TBrushModel>& BrushModels, const std::string& Entities) {
  TBSPFile f;
  const int32_t tWall = f.AddTexture("textures/room/wall", 0, CONTENTS_SOLID);
  const int32_t pMid = f.AddPlane(Vector3(1, 0, 0), 0);
  const float In = 1024, Out = 1040;
  f.AddBoxBrush(Vector3(-Out, -Out, -16), Vector3(Out, Out, 0), tWall);
  f.AddBoxBrush(Vector3(-Out, -Out, In), Vector3(Out, Out, In + 16), tWall);
  f.AddBoxBrush(Vector3(-Out, -Out, 0), Vector3(-In, Out, In), tWall);
  f.AddBoxBrush(Vector3(In, -Out, 0), Vector3(Out, Out, In), tWall);
  f.AddBoxBrush(Vector3(-In, -Out, 0), Vector3(In, -In, In), tWall);
  f.AddBoxBrush(Vector3(-In, In, 0), Vector3(In, Out, In), tWall);
  const int32_t WorldBrushes = int32_t(f.Brushes.size());
  f.Nodes.push_back(TBSPNode{pMid, -1, -2, {-1040, -1040, -16}, {1040, 1040, 1040}});
  for (int Leaf = 0; Leaf < 2; ++Leaf) {
    const TBSPXYZ Min = Leaf == 0 ? TBSPXYZ{0, -1040, -16} : TBSPXYZ{-1040, -1040, -16};
    const TBSPXYZ Max = Leaf == 0 ? TBSPXYZ{1040, 1040, 1040} : TBSPXYZ{0, 1040, 1040};
    f.Leafs.push_back(TBSPLeaf{0, 0, Min, Max, 0, 0, int32_t(f.LeafBrushes.size()), WorldBrushes});
    for (int32_t b = 0; b < WorldBrushes; ++b) f.LeafBrushes.push_back(b);
  }
  f.Models.push_back(TBSPModel{Vector3(-Out, -Out, -16), Vector3(Out, Out, In + 16), 0, 0, 0, WorldBrushes});
  for (const TBrushModel& m : BrushModels) {
    const uint32_t Surface = (m.Contents & CONTENTS_SOLID) ? 0u : SURF_NONSOLID;
    const int32_t Texture = f.AddTexture("textures/room/model" + std::to_string(f.Textures.size()), Surface, m.Contents);
    const int32_t Brush = f.AddBoxBrush(m.Box.Min, m.Box.Max, Texture);
    f.Models.push_back(TBSPModel{m.Box.Min, m.Box.Max, 0, 0, Brush, 1});
  }
  f.Entities = Entities;
  return f;
}

std::string FixtureShaderScript() {
  return "textures/fixture/portal\n{\n\tportal\n\tsurfaceparm nolightmap\n\t{\n\t\tmap "
         "textures/fixture/wall.tga\n\t\talphagen portal 512\n\t}\n}\n"
         "textures/fixture/sprite\n{\n\tsurfaceparm trans\n\tsurfaceparm nonsolid\n\tdeformvertexes "
         "autosprite\n\tcull none\n\t{\n\t\tmap textures/fixture/wall.tga\n\t\tblendfunc add\n\t}\n}\n"
         "textures/fixture/fog\n{\n\tsurfaceparm trans\n\tsurfaceparm nonsolid\n\tsurfaceparm fog\n\tsurfaceparm "
         "nolightmap\n\tfogparms ( 0.5 0.25 0.125 ) 256\n}\n"
         "textures/fixture/sky\n{\n\tsurfaceparm sky\n\tsurfaceparm noimpact\n\tskyparms - 256 -\n\t{\n\t\tmap "
         "textures/fixture/wall.tga\n\t}\n}\n";
}

TMovementFixture MakeMovementFixture() {
  TMovementFixture x;
  TBSPFile& f = x.File;
  const int32_t tWall = f.AddTexture("textures/move/wall", 0, CONTENTS_SOLID);
  const int32_t tMetal = f.AddTexture("textures/move/metal", SURF_METALSTEPS, CONTENTS_SOLID);
  const int32_t tNoSteps = f.AddTexture("textures/move/nosteps", SURF_NOSTEPS, CONTENTS_SOLID);
  const int32_t tSlick = f.AddTexture("textures/move/slick", SURF_SLICK, CONTENTS_SOLID);
  const int32_t tWater = f.AddTexture("textures/move/water", SURF_NONSOLID, CONTENTS_WATER);
  const int32_t tPlatform = f.AddTexture("textures/move/platform", 0, CONTENTS_SOLID);

  f.AddBoxBrush(Vector3(-1920, -960, -16), Vector3(-1408, -704, 0), tMetal);
  f.AddBoxBrush(Vector3(-1920, -640, -16), Vector3(-1408, -384, 0), tNoSteps);
  f.AddBoxBrush(Vector3(-1920, -320, -16), Vector3(-1408, -64, 0), tSlick);
  f.AddBoxBrush(Vector3(-2064, -1040, -16), Vector3(2064, 1040, 0), tWall);
  f.AddBoxBrush(Vector3(-2064, -1040, 1024), Vector3(2064, 1040, 1040), tWall);
  f.AddBoxBrush(Vector3(-2064, -1040, 0), Vector3(-2048, 1040, 1024), tWall);
  f.AddBoxBrush(Vector3(2048, -1040, 0), Vector3(2064, 1040, 1024), tWall);
  f.AddBoxBrush(Vector3(-2048, -1040, 0), Vector3(2048, -1024, 1024), tWall);
  f.AddBoxBrush(Vector3(-2048, 1024, 0), Vector3(2048, 1040, 1024), tWall);
  for (int i = 0; i < 3; ++i) {
    const float y = TMovementFixture::StepLaneY[i];
    f.AddBoxBrush(Vector3(256, y - 64, 0), Vector3(512, y + 64, TMovementFixture::StepHeight[i]), tWall);
  }
  for (int i = 0; i < 3; ++i) {
    const float y = TMovementFixture::RampLaneY[i];
    const float a = TMovementFixture::RampDegrees[i] * 3.14159265358979f / 180.0f;
    const float Top = 512.0f * std::tan(a);
    const int32_t b = f.AddBoxBrush(Vector3(256, y - 64, 0), Vector3(768, y + 64, Top), tWall);
    f.BrushSides.push_back(TBSPBrushSide{f.AddPlane(Vector3(-std::sin(a), 0, std::cos(a)), -256.0f * std::sin(a)),
                                         tWall});
    f.Brushes[b].numOfBrushsides = 7;
  }
  f.AddBoxBrush(Vector3(1024, -896, 0), Vector3(1536, -384, 96), tWater);
  f.AddBoxBrush(Vector3(1536, -896, 0), Vector3(1664, -384, 104), tWall);
  f.AddBoxBrush(Vector3(-1920, 512, 0), Vector3(-1408, 960, 10), tWater);
  const int32_t WorldBrushes = int32_t(f.Brushes.size());
  x.Platform = f.AddBoxBrush(Vector3(1024, 256, 0), Vector3(1152, 384, 16), tPlatform);

  const int32_t Far = f.AddPlane(Vector3(1, 0, 0), 100000.0f);
  f.Nodes.push_back(TBSPNode{Far, -1, -1, {-2064, -1040, -16}, {2064, 1040, 1040}});
  f.Leafs.push_back(TBSPLeaf{0, 0, {-2064, -1040, -16}, {2064, 1040, 1040}, 0, 0, 0, WorldBrushes});
  for (int32_t b = 0; b < WorldBrushes; ++b) f.LeafBrushes.push_back(b);
  f.Models.push_back(TBSPModel{Vector3(-2064, -1040, -16), Vector3(2064, 1040, 1040), 0, 0, 0, WorldBrushes});
  f.Models.push_back(TBSPModel{Vector3(1024, 256, 0), Vector3(1152, 384, 16), 0, 0, x.Platform, 1});
  f.Entities =
      "{\n\"classname\" \"worldspawn\"\n}\n"
      "{\n\"classname\" \"info_player_deathmatch\"\n\"origin\" \"0 0 24\"\n}\n";
  return x;
}

}  // namespace bspwriter
