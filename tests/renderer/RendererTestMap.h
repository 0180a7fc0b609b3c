#pragma once
// A map record built in memory for the renderer's walk: two closed rooms split by the plane
// x = 0 (room A behind it, cluster 0; room B in front, clusters 1 and 2 split by y = 0), a solid
// leaf beyond x = 1000, a hand-written PVS in which the rooms do not see each other, and one
// group (or face) per material.
#include <memory>
#include <vector>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"
#include "material/ZNT1Shader.h"
#include "renderer/ZNT1Renderer.h"
#include "world/ZNT1BSP.h"

struct RendererTestMap {
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
};
