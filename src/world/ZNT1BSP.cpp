#include "world/ZNT1BSP.h"

#include "core/ZNT1Engine.h"
#include "core/ZNT1Stream.h"
#include "world/ZNT1BSPCollision.h"
#include "world/ZNT1StaticAABBTree.h"

TZNT1BSP::TZNT1BSP(TZNT1Engine* AEngine) : Engine(AEngine), Entities(std::make_unique<TZNT1Entities>(false)) {
  SunDirection = Vector3Norm(Vector3(0.45f, 0.3f, 0.9f));
  SunLight = Vector3ScalarMul(SunDirection, -512.0f);
  Collision = new TZNT1BSPCollision(AEngine, this);
  LeafStaticAABBTree = new TZNT1StaticAABBTree();
}

TZNT1BSP::~TZNT1BSP() {
  delete Collision;
  delete LeafStaticAABBTree;
  for (TBSPPatch& p : BSPPatches) delete p.StaticAABBTree;
}

bool TZNT1BSP::Load(TMemoryStream&, const std::string&, const std::string&) { return false; }

void TZNT1BSP::Upload() {}

void TZNT1BSP::Dispose() {}

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
    const TBSPMapNode& n = BSPMapNodes[static_cast<size_t>(i)];
    const TBSPPlane& p = BSPPlanes[static_cast<size_t>(n.Plane)];
    i = (Vector3Dot(p.Normal, MyPos) - p.Distance > 0.0f) ? n.Front : n.Back;
  }
  return -(i + 1);
}

int32_t TZNT1BSP::FindCluster(const TZNT1Vector3& MyPos) const {
  const int32_t Leaf = FindLeaf(MyPos);
  if (Leaf < 0) return -1;
  return BSPMapLeafs[static_cast<size_t>(Leaf)].Cluster;
}

// ---- Map queries ----

namespace {

constexpr uint32_t SurfaceSetNonSolid = SURF_NONSOLID | SURF_NODRAW | SURF_NOMARKS;  // 0x40A0

bool Behind(const TBSPPlane& p, const TZNT1Vector3& v) { return Vector3Dot(p.Normal, v) - p.Distance <= 0.0f; }

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
  if (Leaf >= 0 && Leaf < static_cast<int32_t>(BSPMapLeafs.size())) {
    const TBSPMapLeaf& l = BSPMapLeafs[Leaf];
    if (l.leafBrush >= 0 && l.CountLeafBrushes <= static_cast<int32_t>(BSPLeafBrushes.size()) - l.leafBrush) {
      for (int32_t i = 0; i < l.CountLeafBrushes; ++i) {
        const int32_t bi = BSPLeafBrushes[l.leafBrush + i];
        if (bi < 0 || bi >= CountBrushesNow) continue;
        const TBSPMapBrush& b = BSPMapBrushes[bi];
        if (!AABBTouched(b.AABB, MyPos, 10.0f) || !SidesOk(b)) continue;
        bool Inside = true;
        for (int32_t s = 0; s < b.numOfBrushsides && Inside; ++s) {
          const int32_t pi = BSPBrushSides[b.brushside + s].plane;
          Inside = pi >= 0 && pi < CountPlanesNow && Behind(BSPPlanes[pi], MyPos);
        }
        if (Inside) Result |= b.ContentFlags;
      }
    }
  }

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

namespace {

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
