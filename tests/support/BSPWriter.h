#pragma once
// Builds IBSP map files in memory from lumps a test fills, and a ready-made box-room fixture.
#include <cstdint>
#include <string>
#include <vector>

#include "core/ZNT1Globals.h"
#include "world/ZNT1BSP.h"

namespace bspwriter {

using Bytes = std::vector<uint8_t>;

// The lumps of one map file; Build writes them in lump order after header and directory.
struct TBSPFile {
  char Magic[4] = {'I', 'B', 'S', 'P'};
  uint32_t Version = 46;
  std::string Entities;
  std::vector<TBSPTexture> Textures;
  std::vector<TBSPPlane> Planes;
  std::vector<TBSPNode> Nodes;
  std::vector<TBSPLeaf> Leafs;
  std::vector<int32_t> LeafFaces;
  std::vector<int32_t> LeafBrushes;
  std::vector<TBSPModel> Models;
  std::vector<TBSPBrush> Brushes;
  std::vector<TBSPBrushSide> BrushSides;
  std::vector<TBSPVertex> Vertices;
  std::vector<int32_t> Indices;
  std::vector<TBSPShader> Fogs;
  std::vector<TBSPFace> Faces;
  std::vector<TBSPLightMap> LightMaps;
  std::vector<TBSPLightVolume> LightVolumes;
  bool HasVis = false;
  TBSPVisDataHeader VisHeader{0, 0};
  Bytes VisBits;

  // The whole file.
  Bytes Build() const;

  int32_t AddTexture(const std::string& Name, uint32_t SurfaceFlags = 0, uint32_t ContentFlags = 1);
  int32_t AddPlane(const TZNT1Vector3& Normal, float Distance);
  // Six axial sides in the order -x, +x, -y, +y, -z, +z; returns the brush index.
  int32_t AddBoxBrush(const TZNT1Vector3& Min, const TZNT1Vector3& Max, int32_t Texture);
  int32_t AddVertex(const TZNT1Vector3& Position, const TZNT1Vector2& TexCoord = Vector2(0, 0),
                    const TZNT1Vector2& LightmapCoord = Vector2(0, 0), const TZNT1Vector3& Normal = Vector3(0, 0, 1),
                    TBSPRGBA Color = TBSPRGBA{255, 255, 255, 255});
  // A planar quad (4 vertices, 2 triangles) of the given type, corners in order.
  int32_t AddQuadFace(int32_t Texture, const TZNT1Vector3 Corners[4], int32_t FaceType = FACE_POLYGON,
                      int32_t LightMap = -1, int32_t Effect = -1);
  // A triangle mesh over the given vertices and face-relative indices.
  int32_t AddMeshFace(int32_t Texture, const std::vector<TZNT1Vector3>& Points, const std::vector<int32_t>& Indices,
                      int32_t LightMap = -1);
  // A patch of Width x Height control points (row after row).
  int32_t AddPatchFace(int32_t Texture, int32_t Width, int32_t Height, const std::vector<TZNT1Vector3>& Points,
                       int32_t LightMap = -1);
  // Light map filled with one colour.
  int32_t AddLightMap(uint8_t r, uint8_t g, uint8_t b);
  // Grid cells for a model box and cell size, as the loader counts them.
  static int64_t GridCells(const TZNT1AABB& Box, const TZNT1Vector3& Size);
};

// Directory entry of a built file, for tests that damage it.
void SetLump(Bytes& File, int32_t Lump, int32_t Offset, int32_t Len);
TBSPLump GetLump(const Bytes& File, int32_t Lump);

// The shared fixture: a box room of six axial brushes (inside -256..256 x -256..256 x 0..256)
// with a fog brush, a door brush entity (model 1), a tree of two nodes over three leaves
// (cluster 0 for x <= 0, cluster 1 for x > 0, cluster -1 above z 512), vis rows in which
// both clusters see each other, two light maps and a matching light grid, and faces of
// every kind: polygon floor halves and wall, mesh, 3x3 and 5x3 patches, a portal quad with
// a portal surface and camera, an autosprite quad, a flare and a fogged face.
struct TFixture {
  TBSPFile File;
  // Face indices of the fixture.
  int32_t FloorWest = -1, FloorEast = -1, Wall = -1, Mesh = -1, Patch3x3 = -1, Patch5x3 = -1, Portal = -1,
          Sprite = -1, Flare = -1, Fogged = -1, Door = -1;
  int32_t FogBrush = -1, DoorBrush = -1;
};
TFixture MakeFixture();

// The collision fixture: a box room (inside -512..512 x -512..512 x 0..256, walls 16 thick), a 45
// degree slope wedge, overlapping water and fog brushes, a flat 3x3 patch and a curved 3x3 patch
// with more than 16 collision brushes, a tree of one node (x = 0) over two leaves that both list
// every world brush and all four faces (both patches, and two upright quads facing +y: a solid
// one at y = -300 and a water one at y = -100, both over x -50..50, z 0..100), a third leaf (cluster 2) the tree never reaches, vis rows in which
// cluster 0 sees 1 but not the reverse, and two brush
// models (doors) whose transforms the tests set.
struct TCollisionFixture {
  TBSPFile File;
  int32_t Floor = -1, Slope = -1, Water = -1, Fog = -1, DoorA = -1, DoorB = -1;  // brushes
  int32_t FlatPatch = -1, CurvedPatch = -1, SolidQuad = -1, WaterQuad = -1;       // faces
  int32_t tWall = -1, tWater = -1, tFog = -1, tCurve = -1, tDoor = -1;              // textures
};
TCollisionFixture MakeCollisionFixture();

// A brush model of the entity room: one box brush of the given contents.
struct TBrushModel {
  TZNT1AABB Box;
  uint32_t Contents = CONTENTS_SOLID | CONTENTS_MOVER;
};

// The entity room: a closed box (inside -1024..1024 x -1024..1024 x 0..1024, walls 16 thick) of
// world brushes in one node over two leaves, then the given brush models as models 1, 2, ...,
// and the entity text.
TBSPFile MakeEntityRoom(const std::vector<TBrushModel>& BrushModels, const std::string& Entities);

// A small material script naming the fixture's materials (portal, autosprite, fog, sky).
std::string FixtureShaderScript();

// The movement fixture: one closed hall (inside -2048..2048 x -1024..1024 x 0..1024, floor top at
// z 0) under a one-node tree over a single leaf, with
// - steps of 16, 18 and 24 units (x 256..512) in the lanes y -800, -600 and -400;
// - wedges rising towards +x from x 256 at 30, 45 and 50 degrees in the lanes y 0, 200 and 400
//   (each lane 128 wide);
// - a water pool 96 deep (x 1024..1536, y -896..-384) with a ledge at x 1536..1664 whose top is
//   at z 104, and a wading strip 10 deep (x -1920..-1408, y 512..960);
// - SURF_METALSTEPS, SURF_NOSTEPS and SURF_SLICK floor tiles (x -1920..-1408 in the lanes
//   y -960..-704, -640..-384 and -320..-64), listed before the plain floor so that they win;
// - brush model 1, a platform 128 x 128 x 16 on the floor at x 1024..1152, y 256..384.
struct TMovementFixture {
  TBSPFile File;
  static constexpr float StepLaneY[3] = {-800, -600, -400};
  static constexpr float StepHeight[3] = {16, 18, 24};
  static constexpr float RampLaneY[3] = {0, 200, 400};
  static constexpr float RampDegrees[3] = {30, 45, 50};
  static constexpr float MetalY = -832, NoStepsY = -512, SlickY = -192, TileX = -1664;
  int32_t Platform = -1;  // brush of model 1
};
TMovementFixture MakeMovementFixture();

}  // namespace bspwriter
