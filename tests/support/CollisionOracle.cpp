#include "support/CollisionOracle.h"

#include <cmath>

TCollisionOracle::TCollisionOracle(const TZNT1BSP& ABSP) : BSP(ABSP) {
  std::vector<char> Seen(BSP.BSPMapBrushes.size(), 0);
  auto Add = [&](int32_t b) {
    if (b >= 0 && b < static_cast<int32_t>(Seen.size()) && !Seen[b]) {
      Seen[b] = 1;
      WorldBrushes.push_back(b);
    }
  };
  // The world's leaves: those the tree reaches from node 0 (a map may hold leaves it never reaches).
  std::vector<const TBSPMapLeaf*> Leaves;
  std::vector<int32_t> Nodes{0};
  while (!Nodes.empty() && !BSP.BSPMapNodes.empty()) {
    const int32_t n = Nodes.back();
    Nodes.pop_back();
    if (n < 0) {
      Leaves.push_back(&BSP.BSPMapLeafs[size_t(-(n + 1))]);
      continue;
    }
    Nodes.push_back(BSP.BSPMapNodes[size_t(n)].Back);
    Nodes.push_back(BSP.BSPMapNodes[size_t(n)].Front);
  }
  for (const TBSPMapLeaf* Leaf : Leaves)
    for (int32_t i = 0; i < Leaf->CountLeafBrushes; ++i) Add(BSP.BSPLeafBrushes[Leaf->leafBrush + i]);
  std::vector<char> PatchSeen(BSP.BSPPatches.size(), 0);
  for (const TBSPMapLeaf* Leaf : Leaves)
    for (int32_t i = 0; i < Leaf->CountLeafPatches; ++i) {
      const int32_t p = BSP.BSPLeafPatches[Leaf->leafPatch + i];
      if (PatchSeen[p]) continue;
      PatchSeen[p] = 1;
      for (int32_t b = 0; b < BSP.BSPPatches[p].numbrushes; ++b) Add(BSP.BSPPatches[p].brush + b);
    }
}

void TCollisionOracle::TraceRay(const TZNT1Vector3& Start, const TZNT1Vector3& End, int32_t Tries,
                                TZNT1BSPCollisionTrace& Trace, int32_t Mask) {
  Trace.TraceType = TT_RAY;
  Trace.Tries = Tries;
  Trace.Mask = Mask;
  Run(Start, End, Trace);
}

void TCollisionOracle::TraceSphere(const TZNT1Vector3& Start, const TZNT1Vector3& End, float Radius, int32_t Tries,
                                   TZNT1BSPCollisionTrace& Trace, int32_t Mask) {
  Trace.TraceType = TT_SPHERE;
  Trace.InputRadius = Radius;
  Trace.InputSize.Min = Vector3(-Radius, -Radius, -Radius);
  Trace.InputSize.Max = Vector3(Radius, Radius, Radius);
  Trace.InputExtents = Vector3(Radius, Radius, Radius);
  Trace.Tries = Tries;
  Trace.Mask = Mask;
  Run(Start, End, Trace);
}

void TCollisionOracle::TraceBox(const TZNT1Vector3& Start, const TZNT1Vector3& End, const TZNT1Vector3& Mins,
                                const TZNT1Vector3& Maxs, int32_t Tries, TZNT1BSPCollisionTrace& Trace,
                                int32_t Mask) {
  Trace.TraceType = TT_BOX;
  for (int i = 0; i < 3; ++i) {
    Trace.InputSize.Min.xyz[i] = (Mins.xyz[i] < Maxs.xyz[i] ? Mins.xyz[i] : Maxs.xyz[i]);
    Trace.InputSize.Max.xyz[i] = (Mins.xyz[i] > Maxs.xyz[i] ? Mins.xyz[i] : Maxs.xyz[i]);
    Trace.InputExtents.xyz[i] =
        Trace.InputSize.Max.xyz[i] - (Trace.InputSize.Min.xyz[i] + Trace.InputSize.Max.xyz[i]) * 0.5f;
  }
  Trace.Tries = Tries;
  Trace.Mask = Mask;
  Run(Start, End, Trace);
}

void TCollisionOracle::Run(const TZNT1Vector3& Start, const TZNT1Vector3& EndPoint, TZNT1BSPCollisionTrace& Trace) {
  TZNT1Vector3 End = EndPoint;
  Trace.Valid = true;
  Trace.InputStart = Start;
  Trace.InputEnd = End;
  Trace.InputTransform = Matrix4x4Identity;
  Trace.InputTransformInverseTranspose = Matrix4x4Identity;
  Trace.InputDoTransform = false;
  Trace.Entity = -1;
  Trace.SurfaceFlags = 0;
  Trace.ContentFlags = 0;
  Trace.MapModelIndex = -1;
  const int32_t Attempts = Trace.Tries <= 1 ? 1 : Trace.Tries;
  Entries.clear();
  for (int32_t a = 0; a < Attempts; ++a) {
    CurrentAttempt = a;
    Trace.InputEnd = End;
    Attempt(Start, End, Trace);
    if (Trace.Tries <= 1) {
      if (Trace.Fraction == 1.0f) {
        Trace.EndPos = End;
      } else {
        for (int i = 0; i < 3; ++i) Trace.EndPos.xyz[i] = Start.xyz[i] + (End.xyz[i] - Start.xyz[i]) * Trace.Fraction;
      }
      return;
    }
    if (Trace.GoodPos) {
      Trace.EndPos = End;
      return;
    }
    if (!Trace.HasPlane) break;
    const float Slide = Trace.EndDistance != 0.0f ? Trace.EndDistance - DIST_EPSILON : 1.0f;
    for (int i = 0; i < 3; ++i) End.xyz[i] -= Slide * Trace.Plane.Normal.xyz[i];
  }
  Trace.EndPos = Start;
}

void TCollisionOracle::Attempt(const TZNT1Vector3& Start, const TZNT1Vector3& End, TZNT1BSPCollisionTrace& Trace) {
  Trace.StartSolid = Trace.AllSolid = Trace.HasPlane = false;
  Trace.EndDistance = 0.0f;
  Trace.Fraction = 1.0f;
  Trace.GoodPos = true;
  for (int i = 0; i < 3; ++i) {
    const float lo = Min(Start.xyz[i], End.xyz[i]), hi = Max(Start.xyz[i], End.xyz[i]);
    float Below = 1.0f, Above = 1.0f;
    if (Trace.TraceType == TT_SPHERE) Below = Above = Trace.InputRadius + 1.0f;
    if (Trace.TraceType == TT_BOX) {
      Trace.InputAABB.Min.xyz[i] = Trace.InputSize.Min.xyz[i] + lo - 1.0f;
      Trace.InputAABB.Max.xyz[i] = Trace.InputSize.Max.xyz[i] + hi + 1.0f;
    } else {
      Trace.InputAABB.Min.xyz[i] = lo - Below;
      Trace.InputAABB.Max.xyz[i] = hi + Above;
    }
  }

  for (size_t i = 0; i < WorldBrushes.size(); ++i) {
    if (Trace.Fraction <= 0.0f) break;
    Clip(WorldBrushes[Reverse ? WorldBrushes.size() - 1 - i : i], Trace, 0);
  }

  if (!(Trace.Fraction > 0.0f || Trace.TouchMapModel)) return;
  for (int32_t m = 1; m < static_cast<int32_t>(BSP.BSPMapModels.size()); ++m) {
    const TBSPMapModel& Model = BSP.BSPMapModels[m];
    if (Model.NotTouchableWhenNotAlive && !Trace.Alive) continue;
    if (!Model.Collision && !(Model.Touchable && Trace.TouchMapModel)) continue;
    if (!AABBIntersectEx(Trace.InputAABB, Model.TransformedAABB, 1e-12f)) continue;
    Trace.InputTransform = Model.Transform;
    Trace.InputTransformInverseTranspose = Matrix4x4TermTranspose(Matrix4x4TermInverse(Model.Transform));
    Trace.InputDoTransform = true;
    for (int32_t i = 0; i < Model.CountBrushes; ++i) {
      Clip(Model.BrushIndex + i, Trace, m);
      if (Trace.Fraction == 0.0f && !Trace.TouchMapModel) break;
    }
  }
  Trace.InputDoTransform = false;
}

// One brush against the whole segment: the latest entry and the earliest exit over its sides.
void TCollisionOracle::Clip(int32_t BrushIndex, TZNT1BSPCollisionTrace& Trace, int32_t Model) {
  const TBSPMapBrush& Brush = BSP.BSPMapBrushes[BrushIndex];
  if (Brush.numOfBrushsides < 1 || (Brush.ContentFlags & Trace.Mask) == 0) return;
  const TBSPMapModel* Owner = Model > 0 ? &BSP.BSPMapModels[Model] : nullptr;
  float Enter = -1.0f, Leave = 1.0f, EndDistanceAtEnter = 0.0f;
  bool StartOutside = false, EndOutside = false, Entered = false;
  TZNT1Plane EnterPlane{};
  for (int32_t s = 0; s < Brush.numOfBrushsides; ++s) {
    const TBSPPlane& Stored = BSP.BSPPlanes[BSP.BSPBrushSides[Brush.brushside + s].plane];
    TZNT1Plane p = Plane(Stored.Normal, Stored.Distance);
    if (Trace.InputDoTransform) {
      p = PlaneMatrixMul(Plane(Stored.Normal, -Stored.Distance), Trace.InputTransformInverseTranspose);
      p.Distance = -p.Distance;
    }
    const TZNT1Vector3& n = p.Normal;
    float Shift = p.Distance;  // the plane pushed out by the shape
    if (Trace.TraceType == TT_SPHERE) Shift = p.Distance + Trace.InputRadius;
    if (Trace.TraceType == TT_BOX) {
      const float cx = n.x < 0.0f ? Trace.InputSize.Max.x : Trace.InputSize.Min.x;
      const float cy = n.y < 0.0f ? Trace.InputSize.Max.y : Trace.InputSize.Min.y;
      const float cz = n.z < 0.0f ? Trace.InputSize.Max.z : Trace.InputSize.Min.z;
      Shift = p.Distance - (n.x * cx + n.y * cy + n.z * cz);
    }
    const TZNT1Vector3& a = Trace.InputStart;
    const TZNT1Vector3& e = Trace.InputEnd;
    const float d1 = (n.x * a.x + n.y * a.y + n.z * a.z) - Shift;
    const float d2 = (n.x * e.x + n.y * e.y + n.z * e.z) - Shift;
    StartOutside = StartOutside || d1 > 0.0f;
    EndOutside = EndOutside || d2 > 0.0f;
    if (d1 > 0.0f && d2 >= DIST_EPSILON && d2 >= d1) return;
    if (d1 <= 0.0f && d2 <= 0.0f) continue;
    if (d1 > d2) {
      const float f = std::fmax((d1 - DIST_EPSILON) / (d1 - d2), 0.0f);
      if (f > Enter) {
        Enter = f;
        EnterPlane = p;
        Entered = true;
        EndDistanceAtEnter = d2;
      }
    } else if (d1 - d2 != 0.0f) {
      const float f = std::fmin((d1 + DIST_EPSILON) / (d1 - d2), 1.0f);
      if (f < Leave) Leave = f;
    }
  }

  const bool Touch = Owner && Owner->Touchable && Trace.TouchMapModel;
  if (!StartOutside) {
    if (Owner && !Owner->Collision) {
      if (Touch && !EndOutside) Trace.TouchMapModel(Model);
      return;
    }
    Trace.StartSolid = true;
    if (EndOutside) return;
    Trace.AllSolid = true;
    Trace.GoodPos = false;
    Trace.ContentFlags = static_cast<uint32_t>(Brush.ContentFlags);
    Trace.MapModelIndex = Model;
    if (Touch) Trace.TouchMapModel(Model);
    return;
  }
  if (!(Enter < Leave && Enter > -1.0f)) return;
  if (Touch && Enter < 1.0f) Trace.TouchMapModel(Model);
  if (!(Owner && !Owner->Collision))
    Entries.push_back({CurrentAttempt, std::fmax(Enter, 0.0f), EnterPlane, static_cast<uint32_t>(Brush.SurfaceFlags),
                       static_cast<uint32_t>(Brush.ContentFlags), Model});
  if (Enter >= Trace.Fraction || (Owner && !Owner->Collision)) return;
  Trace.GoodPos = false;
  Trace.Fraction = std::fmax(Enter, 0.0f);
  Trace.Plane = EnterPlane;
  Trace.HasPlane = Entered;
  Trace.EndDistance = EndDistanceAtEnter;
  Trace.SurfaceFlags = static_cast<uint32_t>(Brush.SurfaceFlags);
  Trace.ContentFlags = static_cast<uint32_t>(Brush.ContentFlags);
  Trace.MapModelIndex = Model;
}
