#pragma once
// A map record built in memory for the renderer's walk: two closed rooms split by the plane
// x = 0 (room A behind it, cluster 0; room B in front, clusters 1 and 2 split by y = 0), a solid
// leaf beyond x = 1000, a hand-written PVS in which the rooms do not see each other, and one
// group (or face) per material. Scene and PortalRoom are map files to draw, with their material
// scripts, built with the helpers for front-facing quads and a one-leaf tree.
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"
#include "material/ZNT1Shader.h"
#include "renderer/ZNT1Renderer.h"
#include "support/BSPWriter.h"
#include "support/MD3Writer.h"
#include "world/ZNT1BSP.h"

struct RendererTestMap {
  // A quad face whose corners go clockwise as seen from the front, the side its normal points to.
  static int32_t AddFrontQuad(bspwriter::TBSPFile& f, int32_t Texture, int32_t LightMap, TZNT1Vector3 a,
                              TZNT1Vector3 b, TZNT1Vector3 c, TZNT1Vector3 d) {
    const TZNT1Vector3 Corners[4] = {a, b, c, d};
    const int32_t Face = f.AddQuadFace(Texture, Corners, FACE_POLYGON, LightMap);
    const TZNT1Vector3 n = Vector3Neg(f.Faces[size_t(Face)].lMapVecs[2]);
    f.Faces[size_t(Face)].lMapVecs[2] = n;
    for (size_t k = f.Vertices.size() - 4; k < f.Vertices.size(); ++k) f.Vertices[k].Normal = n;
    return Face;
  }
  // The same for a rectangle around Centre with half-extents Right and Up as seen from the front
  // (the front is along Right x Up).
  static int32_t AddFrontRect(bspwriter::TBSPFile& f, int32_t Texture, int32_t LightMap, TZNT1Vector3 Centre,
                              TZNT1Vector3 Right, TZNT1Vector3 Up) {
    const TZNT1Vector3 Low = Vector3Sub(Centre, Up), High = Vector3Add(Centre, Up);
    return AddFrontQuad(f, Texture, LightMap, Vector3Add(Low, Right), Vector3Sub(Low, Right), Vector3Sub(High, Right),
                        Vector3Add(High, Right));
  }
  // Every face of the file in one leaf (cluster 0) under one node, beside a leaf without a cluster
  // beyond x = 4096; the world model has all faces and the box Min..Max.
  static void OneLeaf(bspwriter::TBSPFile& f, TZNT1Vector3 Min, TZNT1Vector3 Max) {
    const int32_t CountFaces = int32_t(f.Faces.size());
    const int32_t Plane = f.AddPlane(Vector3(1, 0, 0), 4096);
    f.Nodes.push_back(TBSPNode{Plane, -2, -1, {-4096, -4096, -4096}, {4096, 4096, 4096}});
    f.Leafs.push_back(TBSPLeaf{0, 0, {-4096, -4096, -4096}, {4096, 4096, 4096}, 0, CountFaces, 0, 0});
    f.Leafs.push_back(TBSPLeaf{-1, 0, {4096, -4096, -4096}, {8192, 4096, 4096}, 0, 0, 0, 0});
    for (int32_t i = 0; i < CountFaces; ++i) f.LeafFaces.push_back(i);
    f.Models.push_back(TBSPModel{Min, Max, 0, CountFaces, 0, 0});
  }

  // Materials: 0 opaque (room A), 1 opaque (cluster 1), 2 opaque (cluster 2), 3 blended
  // (cluster 1), 4 SURF_NODRAW (cluster 1), 5 opaque patch (cluster 2), 6 flare (cluster 2).
  static constexpr int Count = 7;
  static constexpr int Clusters[Count] = {0, 1, 2, 1, 1, 2, 2};
  static constexpr int FaceTypes[Count] = {FACE_POLYGON, FACE_POLYGON, FACE_MESH, FACE_POLYGON,
                                           FACE_POLYGON, FACE_PATCH,   FACE_FLARE};

  std::vector<std::unique_ptr<TZNT1Shader>> Materials;

  // Fills Engine's map; WithGroups false gives the same map drawn face by face.
  TZNT1BSP* Build(TZNT1Engine& Engine, bool WithGroups) {
    Materials.clear();
    for (int i = 0; i < Count; ++i) {
      auto m = std::make_unique<TZNT1Shader>(&Engine, nullptr);
      m->SortedIndex = i;
      m->Sort = i == 3 ? SORT_BLEND0 : SORT_OPAQUE;
      if (i == 4) m->SurfaceFlags = SURF_NODRAW;
      Materials.push_back(std::move(m));
    }
    Engine.BSP = std::make_unique<TZNT1BSP>(&Engine);
    TZNT1BSP& b = *Engine.BSP;
    b.BSPPlanes = {TBSPPlane{Vector3(1, 0, 0), 0}, TBSPPlane{Vector3(1, 0, 0), 1000}, TBSPPlane{Vector3(0, 1, 0), 0}};
    b.CountBSPPlanes = 3;
    b.BSPMapNodes.resize(3);
    b.BSPMapNodes[0].Plane = 0, b.BSPMapNodes[0].Front = 1, b.BSPMapNodes[0].Back = -1;
    b.BSPMapNodes[1].Plane = 1, b.BSPMapNodes[1].Front = -4, b.BSPMapNodes[1].Back = 2;
    b.BSPMapNodes[2].Plane = 2, b.BSPMapNodes[2].Front = -2, b.BSPMapNodes[2].Back = -3;
    for (auto& n : b.BSPMapNodes) n.Sphere.Radius = 1e6f;
    b.CountBSPNodes = 3;
    b.BSPMapLeafs.resize(4);
    const int LeafClusters[4] = {0, 1, 2, -1};
    for (int l = 0; l < 4; ++l) {
      b.BSPMapLeafs[size_t(l)].Cluster = LeafClusters[l];
      b.BSPMapLeafs[size_t(l)].Sphere.Radius = 1e6f;
    }
    b.CountBSPLeafs = 4;
    b.BSPClusters.resize(3);
    b.CountBSPClusters = 3;
    // Rows of one byte; row 0 also sets bit 5, past the three clusters (padding).
    b.BSPVisData.Header = {3, 1};
    b.BSPVisData.pBitsets = {0x21, 0x06, 0x06};
    b.BSPVisData.Valid = true;
    b.BSPMapModels.resize(1);
    b.CountBSPModels = 1;
    b.WorldAABB.Min = Vector3(-1000, -1000, -100);
    b.WorldAABB.Max = Vector3(1000, 1000, 100);
    if (WithGroups) {
      b.BSPGroups.resize(Count);
      for (int g = 0; g < Count; ++g) {
        TBSPGroup& Group = b.BSPGroups[size_t(g)];
        Group.Shader = Materials[size_t(g)].get();
        Group.FaceType = FaceTypes[g];
        b.BSPClusters[size_t(Clusters[g])].Groups.push_back(g);
        b.BSPClusters[size_t(Clusters[g])].CountGroups++;
      }
      b.CountBSPGroups = Count;
      b.BSPMapModels[0].GroupIndex = 0;
      b.BSPMapModels[0].CountGroups = Count;
    } else {
      // Face f has material f; face 1 is listed in leaves 1 and 2 and twice in leaf 1.
      b.BSPMapFaces.resize(Count);
      for (int f = 0; f < Count; ++f) {
        b.BSPMapFaces[size_t(f)].Shader = Materials[size_t(f)].get();
        b.BSPMapFaces[size_t(f)].FaceType = FaceTypes[f];
        b.BSPMapFaces[size_t(f)].VBOIndex = 0;
      }
      b.CountBSPFaces = Count;
      b.BSPLeafFaces = {0, /*leaf 1*/ 1, 3, 4, 1, /*leaf 2*/ 1, 2, 5, 6};
      b.CountBSPLeafFaces = int32_t(b.BSPLeafFaces.size());
      b.BSPMapLeafs[0].leafface = 0, b.BSPMapLeafs[0].CountLeafFaces = 1;
      b.BSPMapLeafs[1].leafface = 1, b.BSPMapLeafs[1].CountLeafFaces = 4;
      b.BSPMapLeafs[2].leafface = 5, b.BSPMapLeafs[2].CountLeafFaces = 4;
      b.BSPMapModels[0].FaceIndex = 0;
      b.BSPMapModels[0].CountFaces = Count;
    }
    return &b;
  }

  // The drawn scene, one leaf of cluster 0 under one node, the floor and the box lit by light maps
  // of their own colours (red and green), the sky white: a floor (z 0, x -512..1024,
  // y -512..512); a sky quad at x 900 (y -400..400, z 0..500) facing the origin, partly hidden
  // from it by a box (x 500..600, y -250..0, z 0..200); and five camera portals (PortalCount) in
  // the plane x = -400, 64 units wide at y = -240, -120, 0, 120, 240 and z 32..96, facing +x, with
  // nothing behind them. Each portal has a camera of its own, close to what it looks at: camera 0
  // at the box, 1 at the sky, 2 down at the floor, 3 back at the portals, 4 along the floor. The
  // sky material sets the sun (from +x, 60 degrees up). BoxModel is a model of a 32 x 32 x 64 box
  // standing on its origin.
  struct Scene {
    static constexpr const char* Name = "znt1scene";
    static constexpr int PortalCount = 5;
    static constexpr float PortalX = -400, PortalY[PortalCount] = {-240, -120, 0, 120, 240}, PortalZ0 = 32,
                           PortalZ1 = 96, PortalHalfWidth = 32;
    static inline const TZNT1Vector3 BoxMin = Vector3(500, -250, 0), BoxMax = Vector3(600, 0, 200);
    static constexpr float SkyX = 900;
    // Where the tests look from: the sky and the box from the origin (yaw 0), the portals from
    // 200 units before them (yaw 180 degrees).
    static inline const TZNT1Vector3 SkyEye = Vector3(0, 0, 64), PortalEye = Vector3(-200, 0, 64);
    static constexpr const char* BoxModel = "models/znt1scene/box.md3";
    static constexpr float BoxModelHalfWidth = 16, BoxModelHeight = 64;

    static bspwriter::TBSPFile File() {
      using bspwriter::TBSPFile;
      TBSPFile f;
      const int32_t tFloor = f.AddTexture("textures/znt1scene/floor", 0, CONTENTS_SOLID);
      const int32_t tBox = f.AddTexture("textures/znt1scene/box", 0, CONTENTS_SOLID);
      const int32_t tSky = f.AddTexture("textures/znt1scene/sky", SURF_SKY | SURF_NOIMPACT, CONTENTS_SOLID);
      const int32_t tPortal = f.AddTexture("textures/znt1scene/portal", 0, CONTENTS_SOLID);
      const int32_t lFloor = f.AddLightMap(200, 60, 60), lBox = f.AddLightMap(60, 200, 60);
      auto Quad = [&](int32_t Texture, int32_t LightMap, TZNT1Vector3 a, TZNT1Vector3 b, TZNT1Vector3 c,
                      TZNT1Vector3 d) { return AddFrontQuad(f, Texture, LightMap, a, b, c, d); };
      Quad(tFloor, lFloor, Vector3(-512, 512, 0), Vector3(1024, 512, 0), Vector3(1024, -512, 0),
           Vector3(-512, -512, 0));
      Quad(tSky, -1, Vector3(SkyX, 400, 0), Vector3(SkyX, -400, 0), Vector3(SkyX, -400, 500), Vector3(SkyX, 400, 500));
      const TZNT1Vector3 a = BoxMin, b = BoxMax;
      Quad(tBox, lBox, Vector3(a.x, b.y, a.z), Vector3(a.x, b.y, b.z), Vector3(a.x, a.y, b.z), Vector3(a.x, a.y, a.z));
      Quad(tBox, lBox, Vector3(b.x, a.y, a.z), Vector3(b.x, a.y, b.z), Vector3(b.x, b.y, b.z), Vector3(b.x, b.y, a.z));
      Quad(tBox, lBox, Vector3(a.x, a.y, a.z), Vector3(a.x, a.y, b.z), Vector3(b.x, a.y, b.z), Vector3(b.x, a.y, a.z));
      Quad(tBox, lBox, Vector3(b.x, b.y, a.z), Vector3(b.x, b.y, b.z), Vector3(a.x, b.y, b.z), Vector3(a.x, b.y, a.z));
      Quad(tBox, lBox, Vector3(a.x, a.y, b.z), Vector3(a.x, b.y, b.z), Vector3(b.x, b.y, b.z), Vector3(b.x, a.y, b.z));
      for (int i = 0; i < PortalCount; ++i) {
        const float y0 = PortalY[i] - PortalHalfWidth, y1 = PortalY[i] + PortalHalfWidth;
        Quad(tPortal, -1, Vector3(PortalX, y1, PortalZ0), Vector3(PortalX, y0, PortalZ0),
             Vector3(PortalX, y0, PortalZ1), Vector3(PortalX, y1, PortalZ1));
      }
      OneLeaf(f, Vector3(-512, -512, 0), Vector3(1024, 512, 500));
      std::string e = "{\n\"classname\" \"worldspawn\"\n}\n";
      const char* const Cameras[PortalCount] = {"550 -400 100", "750 0 250", "0 0 300", "-100 100 64", "0 300 32"};
      const char* const Targets[PortalCount] = {"550 -125 100", "900 0 250", "0 0 0", "-400 100 64", "0 -300 32"};
      for (int i = 0; i < PortalCount; ++i) {
        const std::string n = std::to_string(i);
        e += "{\n\"classname\" \"misc_portal_surface\"\n\"target\" \"cam" + n + "\"\n\"origin\" \"" +
             std::to_string(int(PortalX)) + " " + std::to_string(int(PortalY[i])) + " 64\"\n}\n";
        e += "{\n\"classname\" \"misc_portal_camera\"\n\"targetname\" \"cam" + n + "\"\n\"target\" \"pos" + n +
             "\"\n\"roll\" \"180\"\n\"origin\" \"" + Cameras[i] + "\"\n}\n";
        e += "{\n\"classname\" \"target_position\"\n\"targetname\" \"pos" + n + "\"\n\"origin\" \"" +
             Targets[i] + "\"\n}\n";
      }
      f.Entities = e;
      return f;
    }

    static std::string Script() {
      return "textures/znt1scene/sky\n{\n\tsurfaceparm sky\n\tsurfaceparm noimpact\n\tq3map_sun 1 1 1 100 0 60\n"
             "\tskyparms - 512 -\n\t{\n\t\tmap *white\n\t}\n}\n"
             // The stage leaves the portal's picture as it is.
             "textures/znt1scene/portal\n{\n\tportal\n\tsurfaceparm nolightmap\n\t{\n\t\tmap *white\n"
             "\t\tblendfunc gl_zero gl_one\n\t\talphagen portal 1024\n\t}\n}\n";
    }

    static md3test::Bytes Box() {
      md3test::TModel m;
      const float h = BoxModelHalfWidth, z = BoxModelHeight;
      m.Frames.push_back(md3test::TFrame{{-h, -h, 0}, {h, h, z}, {0, 0, 0}, std::sqrt(2 * h * h + z * z), "box"});
      md3test::TSurface s;
      s.Name = "box";
      s.Shaders = {"textures/znt1scene/box"};
      std::vector<md3test::TVertex> v;
      for (int k = 0; k < 8; ++k) {
        md3test::TVertex x;
        x.x = int16_t(((k & 1) ? h : -h) * 64), x.y = int16_t(((k & 2) ? h : -h) * 64), x.z = int16_t(((k & 4) ? z : 0) * 64);
        v.push_back(x);
        s.TexCoords.push_back({float(k & 1), float((k >> 1) & 1)});
      }
      s.Frames.push_back(v);
      // Two triangles per side, clockwise seen from outside.
      const int32_t Sides[6][4] = {{0, 2, 6, 4}, {1, 5, 7, 3}, {0, 4, 5, 1}, {2, 3, 7, 6}, {0, 1, 3, 2}, {4, 6, 7, 5}};
      for (const auto& q : Sides) {
        s.Triangles.push_back({q[0], q[1], q[2]});
        s.Triangles.push_back({q[0], q[2], q[3]});
      }
      m.Surfaces.push_back(s);
      return md3test::Write(m);
    }

    // The files to mount: the map, its script and the box model.
    static std::vector<std::pair<std::string, std::vector<uint8_t>>> Files() {
      const std::string s = Script();
      return {{std::string("maps/") + Name + ".bsp", File().Build()},
              {"scripts/znt1scene.shader", std::vector<uint8_t>(s.begin(), s.end())},
              {BoxModel, Box()}};
    }
  };

  // A closed room (x and y -512..512, z 0..256) whose floor, ceiling and walls each have a light-map
  // colour of their own, with two boxes in it, a camera portal near the -x wall and a mirror near
  // the +x wall. Each is a slab 128 x 128 units with the portal material on both sides, the far
  // side listed first; its surface entity stands before the near side, which faces the room. The
  // camera is given by an angle and looks along +y from near the -y wall. The portal material
  // leaves the picture as it is (as the maps' do, it writes depth so that nothing behind shows)
  // and draws in two passes, the second sampling its own texture.
  struct PortalRoom {
    static constexpr const char* Name = "znt1portalroom";
    static inline const TZNT1Vector3 PortalCentre = Vector3(-400, 0, 128), PortalFront = Vector3(1, 0, 0);
    static inline const TZNT1Vector3 MirrorCentre = Vector3(400, 0, 128), MirrorFront = Vector3(-1, 0, 0);
    static inline const TZNT1Vector3 CameraOrigin = Vector3(0, -400, 128);

    static bspwriter::TBSPFile File() {
      bspwriter::TBSPFile f;
      const int32_t tWall = f.AddTexture("textures/znt1portalroom/wall", 0, CONTENTS_SOLID);
      const int32_t tPortal = f.AddTexture("textures/znt1portalroom/portal", 0, CONTENTS_SOLID);
      auto Rect = [&](int32_t Texture, int32_t LightMap, TZNT1Vector3 Centre, TZNT1Vector3 Right, TZNT1Vector3 Up) {
        return AddFrontRect(f, Texture, LightMap, Centre, Right, Up);
      };
      // Floor, ceiling, then the walls at +x, -x, +y, -y, all facing in.
      const uint8_t Colours[6][3] = {{150, 90, 40}, {40, 60, 160}, {200, 200, 60}, {60, 190, 190}, {190, 60, 190},
                                     {60, 170, 60}};
      int32_t l[6];
      for (int i = 0; i < 6; ++i) l[i] = f.AddLightMap(Colours[i][0], Colours[i][1], Colours[i][2]);
      Rect(tWall, l[0], Vector3(0, 0, 0), Vector3(512, 0, 0), Vector3(0, 512, 0));
      Rect(tWall, l[1], Vector3(0, 0, 256), Vector3(512, 0, 0), Vector3(0, -512, 0));
      Rect(tWall, l[2], Vector3(512, 0, 128), Vector3(0, -512, 0), Vector3(0, 0, 128));
      Rect(tWall, l[3], Vector3(-512, 0, 128), Vector3(0, 512, 0), Vector3(0, 0, 128));
      Rect(tWall, l[4], Vector3(0, 512, 128), Vector3(512, 0, 0), Vector3(0, 0, 128));
      Rect(tWall, l[5], Vector3(0, -512, 128), Vector3(-512, 0, 0), Vector3(0, 0, 128));
      // Two boxes standing on the floor: their tops and four sides.
      auto Box = [&](TZNT1Vector3 Min, TZNT1Vector3 Max, int32_t LightMap) {
        const TZNT1Vector3 c = Vector3Avg(Min, Max), h = Vector3ScalarMul(Vector3Sub(Max, Min), 0.5f);
        Rect(tWall, LightMap, Vector3(c.x, c.y, Max.z), Vector3(h.x, 0, 0), Vector3(0, h.y, 0));
        Rect(tWall, LightMap, Vector3(Max.x, c.y, c.z), Vector3(0, h.y, 0), Vector3(0, 0, h.z));
        Rect(tWall, LightMap, Vector3(Min.x, c.y, c.z), Vector3(0, -h.y, 0), Vector3(0, 0, h.z));
        Rect(tWall, LightMap, Vector3(c.x, Max.y, c.z), Vector3(-h.x, 0, 0), Vector3(0, 0, h.z));
        Rect(tWall, LightMap, Vector3(c.x, Min.y, c.z), Vector3(h.x, 0, 0), Vector3(0, 0, h.z));
      };
      Box(Vector3(100, 100, 0), Vector3(250, 300, 160), f.AddLightMap(230, 140, 30));
      Box(Vector3(-250, -200, 0), Vector3(-150, -80, 224), f.AddLightMap(230, 230, 230));
      // The slabs, far side first.
      for (const auto& [Centre, Front] : {std::pair(PortalCentre, PortalFront), std::pair(MirrorCentre, MirrorFront)}) {
        const TZNT1Vector3 Right = Vector3Cross(Vector3(0, 0, 64), Front), Up = Vector3(0, 0, 64);
        Rect(tPortal, -1, Vector3Sub(Centre, Vector3ScalarMul(Front, 4)), Vector3Neg(Right), Up);
        Rect(tPortal, -1, Centre, Right, Up);
      }
      OneLeaf(f, Vector3(-512, -512, 0), Vector3(512, 512, 256));
      auto Origin = [](TZNT1Vector3 v) {
        return std::to_string(int(v.x)) + " " + std::to_string(int(v.y)) + " " + std::to_string(int(v.z));
      };
      f.Entities = "{\n\"classname\" \"worldspawn\"\n}\n"
                   "{\n\"classname\" \"misc_portal_surface\"\n\"target\" \"cam\"\n\"origin\" \"" +
                   Origin(Vector3Add(PortalCentre, Vector3ScalarMul(PortalFront, 16))) +
                   "\"\n}\n"
                   "{\n\"classname\" \"misc_portal_camera\"\n\"targetname\" \"cam\"\n\"angle\" \"90\"\n"
                   "\"roll\" \"180\"\n\"origin\" \"" +
                   Origin(CameraOrigin) +
                   "\"\n}\n"
                   "{\n\"classname\" \"misc_portal_surface\"\n\"origin\" \"" +
                   Origin(Vector3Add(MirrorCentre, Vector3ScalarMul(MirrorFront, 16))) + "\"\n}\n";
      return f;
    }

    static std::vector<std::pair<std::string, std::vector<uint8_t>>> Files() {
      const std::string s =
          "textures/znt1portalroom/wall\n{\n\t{\n\t\tmap $lightmap\n\t}\n}\n"
          "textures/znt1portalroom/portal\n{\n\tportal\n\tsurfaceparm nolightmap\n"
          "\t{\n\t\tmap *white\n\t\tblendfunc gl_zero gl_one\n\t\tdepthwrite\n\t}\n"
          "\t{\n\t\tmap *white\n\t\tblendfunc filter\n\t}\n}\n";
      return {{std::string("maps/") + Name + ".bsp", File().Build()},
              {"scripts/znt1portalroom.shader", std::vector<uint8_t>(s.begin(), s.end())}};
    }
  };
};
