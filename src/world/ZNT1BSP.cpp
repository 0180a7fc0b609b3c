#include "world/ZNT1BSP.h"

#include "core/ZNT1Engine.h"
#include "core/ZNT1Stream.h"

TZNT1BSP::TZNT1BSP(TZNT1Engine* AEngine) : Engine(AEngine), Entities(std::make_unique<TZNT1Entities>(false)) {
  SunDirection = Vector3Norm(Vector3(0.45f, 0.3f, 0.9f));
  SunLight = Vector3ScalarMul(SunDirection, -512.0f);
}

TZNT1BSP::~TZNT1BSP() = default;

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
