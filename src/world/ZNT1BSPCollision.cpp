#include "world/ZNT1BSPCollision.h"

#include "core/ZNT1Globals.h"
#include "material/ZNT1Shader.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1StaticAABBTree.h"

namespace {

constexpr float BoxTolerance = static_cast<float>(AABBEPSILON);

// Swept bounds of the shape from Start to End plus a one-unit margin.
void ComputeInputAABB(TZNT1BSPCollisionTrace& Trace, const TZNT1Vector3& Start, const TZNT1Vector3& End) {
  for (int i = 0; i < 3; ++i) {
    const float lo = Min(Start.xyz[i], End.xyz[i]), hi = Max(Start.xyz[i], End.xyz[i]);
    switch (Trace.TraceType) {
      case TT_SPHERE:
        Trace.InputAABB.Min.xyz[i] = lo - (Trace.InputRadius + 1.0f);
        Trace.InputAABB.Max.xyz[i] = hi + (Trace.InputRadius + 1.0f);
        break;
      case TT_BOX:
        Trace.InputAABB.Min.xyz[i] = Trace.InputSize.Min.xyz[i] + lo - 1.0f;
        Trace.InputAABB.Max.xyz[i] = Trace.InputSize.Max.xyz[i] + hi + 1.0f;
        break;
      default:
        Trace.InputAABB.Min.xyz[i] = lo - 1.0f;
        Trace.InputAABB.Max.xyz[i] = hi + 1.0f;
        break;
    }
  }
}

void ResetAttempt(TZNT1BSPCollisionTrace& Trace) {
  Trace.StartSolid = false;
  Trace.AllSolid = false;
  Trace.HasPlane = false;
  Trace.EndDistance = 0.0f;
  Trace.Fraction = 1.0f;
  Trace.GoodPos = true;
}

}  // namespace

TZNT1BSPCollision::TZNT1BSPCollision(TZNT1Engine* AEngine, TZNT1BSP* ABSP) : BSP(ABSP), Stack(16), Engine(AEngine) {}

void TZNT1BSPCollision::TraceRay(const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint, int32_t Tries,
                                 TZNT1BSPCollisionTrace& Trace, int32_t Mask) {
  Trace.TraceType = TT_RAY;
  Trace.Tries = Tries;
  Trace.Mask = Mask;
  StartTrace(StartPoint, EndPoint, Trace);
}

void TZNT1BSPCollision::TraceSphere(const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint, float Radius,
                                    int32_t Tries, TZNT1BSPCollisionTrace& Trace, int32_t Mask) {
  Trace.TraceType = TT_SPHERE;
  Trace.InputRadius = Radius;
  Trace.InputSize.Min = Vector3(-Radius, -Radius, -Radius);
  Trace.InputSize.Max = Vector3(Radius, Radius, Radius);
  Trace.InputExtents = Vector3(Radius, Radius, Radius);
  Trace.Tries = Tries;
  Trace.Mask = Mask;
  StartTrace(StartPoint, EndPoint, Trace);
}

void TZNT1BSPCollision::TraceBox(const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint,
                                 const TZNT1Vector3& Mins, const TZNT1Vector3& Maxs, int32_t Tries,
                                 TZNT1BSPCollisionTrace& Trace, int32_t Mask) {
  Trace.TraceType = TT_BOX;
  for (int i = 0; i < 3; ++i) {
    Trace.InputSize.Min.xyz[i] = Min(Mins.xyz[i], Maxs.xyz[i]);
    Trace.InputSize.Max.xyz[i] = Max(Mins.xyz[i], Maxs.xyz[i]);
  }
  Trace.InputExtents = Vector3Sub(Trace.InputSize.Max, Vector3Avg(Trace.InputSize.Min, Trace.InputSize.Max));
  Trace.Tries = Tries;
  Trace.Mask = Mask;
  StartTrace(StartPoint, EndPoint, Trace);
}

void TZNT1BSPCollision::StartTrace(const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint,
                                   TZNT1BSPCollisionTrace& Trace) {
  const TZNT1Vector3 Start = StartPoint;
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
  const bool HasWorld = !BSP->BSPMapNodes.empty();

  if (Trace.Tries <= 1) {
    ResetAttempt(Trace);
    ComputeInputAABB(Trace, Start, End);
    if (HasWorld) CheckNode(0, 0.0f, 1.0f, Start, End, Trace);
    if (Trace.Fraction > 0.0f || Trace.TouchMapModel) CheckModels(Trace);
    if (Trace.Fraction == 1.0f) {
      Trace.EndPos = End;
    } else {
      for (int i = 0; i < 3; ++i) Trace.EndPos.xyz[i] = Start.xyz[i] + (End.xyz[i] - Start.xyz[i]) * Trace.Fraction;
    }
    return;
  }

  for (int32_t Try = 0; Try < Trace.Tries; ++Try) {
    ResetAttempt(Trace);
    Trace.InputEnd = End;
    ComputeInputAABB(Trace, Start, End);
    if (HasWorld) CheckNode(0, 0.0f, 1.0f, Start, End, Trace);
    if (Trace.Fraction > 0.0f || Trace.TouchMapModel) CheckModels(Trace);
    if (Trace.GoodPos) {
      Trace.EndPos = End;
      return;
    }
    if (!Trace.HasPlane) break;
    // Slide the end off the hit plane, to 1/32 unit in front of it.
    const TZNT1Vector3& n = Trace.Plane.Normal;
    if (std::fabs(Trace.EndDistance) > 0.0f) {
      const float s = Trace.EndDistance - DIST_EPSILON;
      for (int i = 0; i < 3; ++i) End.xyz[i] = End.xyz[i] - s * n.xyz[i];
    } else {
      for (int i = 0; i < 3; ++i) End.xyz[i] = End.xyz[i] - n.xyz[i];
    }
  }
  Trace.EndPos = Start;
}

void TZNT1BSPCollision::CheckNode(int32_t NodeIndex, float StartFraction, float EndFraction,
                                  const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint,
                                  TZNT1BSPCollisionTrace& Trace) {
  if (Trace.Fraction <= 0.0f || NodeDepth >= MaxNodeDepth) return;
  if (NodeIndex < 0) {
    const int32_t Leaf = -(NodeIndex + 1);
    if (Leaf < static_cast<int32_t>(BSP->BSPMapLeafs.size())) CheckLeaf(BSP->BSPMapLeafs[Leaf], Trace, 0);
    return;
  }
  const TBSPMapNode& Node = BSP->BSPMapNodes[NodeIndex];
  if (Node.Plane < 0 || Node.Plane >= static_cast<int32_t>(BSP->BSPPlanes.size())) return;
  const TBSPPlane& Plane = BSP->BSPPlanes[Node.Plane];
  const float StartDistance = Vector3Dot(Plane.Normal, StartPoint) - Plane.Distance;
  const float EndDistance = Vector3Dot(Plane.Normal, EndPoint) - Plane.Distance;

  float Offset;
  switch (Trace.TraceType) {
    case TT_SPHERE:
      Offset = Trace.InputRadius + 1.0f;
      break;
    case TT_BOX:
      Offset = ((Plane.Normal.x != 0.0f ? 1.0f : 0.0f) * Trace.InputExtents.x +
                (Plane.Normal.y != 0.0f ? 1.0f : 0.0f) * Trace.InputExtents.y +
                (Plane.Normal.z != 0.0f ? 1.0f : 0.0f) * Trace.InputExtents.z) *
                   2.0f +
               1.0f;
      break;
    default:
      Offset = 1.0f;
      break;
  }

  if (StartDistance >= Offset && EndDistance >= Offset) {
    ++NodeDepth;
    CheckNode(Node.Front, StartFraction, EndFraction, StartPoint, EndPoint, Trace);
    --NodeDepth;
    return;
  }
  if (StartDistance < -Offset && EndDistance < -Offset) {
    ++NodeDepth;
    CheckNode(Node.Back, StartFraction, EndFraction, StartPoint, EndPoint, Trace);
    --NodeDepth;
    return;
  }

  int32_t First, Second;
  float Fraction1, Fraction2;
  if (StartDistance < EndDistance) {
    First = Node.Back;
    Second = Node.Front;
    const float Inv = 1.0f / (StartDistance - EndDistance);
    Fraction1 = (StartDistance - Offset + DIST_EPSILON) * Inv;
    Fraction2 = (StartDistance + Offset + DIST_EPSILON) * Inv;
  } else if (EndDistance < StartDistance) {
    First = Node.Front;
    Second = Node.Back;
    const float Inv = 1.0f / (StartDistance - EndDistance);
    Fraction1 = (StartDistance + Offset + DIST_EPSILON) * Inv;
    Fraction2 = (StartDistance - Offset - DIST_EPSILON) * Inv;
  } else {
    First = Node.Front;
    Second = Node.Back;
    Fraction1 = 1.0f;
    Fraction2 = 0.0f;
  }
  Fraction1 = Fraction1 < 0.0f ? 0.0f : Fraction1 > 1.0f ? 1.0f : Fraction1;
  Fraction2 = Fraction2 < 0.0f ? 0.0f : Fraction2 > 1.0f ? 1.0f : Fraction2;

  TZNT1Vector3 Middle;
  for (int i = 0; i < 3; ++i)
    Middle.xyz[i] = StartPoint.xyz[i] + (EndPoint.xyz[i] - StartPoint.xyz[i]) * Fraction1;
  float MiddleFraction = StartFraction + (EndFraction - StartFraction) * Fraction1;
  ++NodeDepth;
  CheckNode(First, StartFraction, MiddleFraction, StartPoint, Middle, Trace);

  for (int i = 0; i < 3; ++i)
    Middle.xyz[i] = StartPoint.xyz[i] + (EndPoint.xyz[i] - StartPoint.xyz[i]) * Fraction2;
  MiddleFraction = StartFraction + (EndFraction - StartFraction) * Fraction2;
  CheckNode(Second, MiddleFraction, EndFraction, Middle, EndPoint, Trace);
  --NodeDepth;
}

void TZNT1BSPCollision::PrepareLeafBoxes() {
  const TZNT1BSP& Map = *BSP;
  LeafBoxes.resize(Map.BSPMapLeafs.size());
  for (size_t l = 0; l < Map.BSPMapLeafs.size(); ++l) {
    const TBSPMapLeaf& Leaf = Map.BSPMapLeafs[l];
    TZNT1AABB Box = Leaf.AABB;
    if (Leaf.leafBrush >= 0 && Leaf.CountLeafBrushes <= static_cast<int32_t>(Map.BSPLeafBrushes.size()) - Leaf.leafBrush)
      for (int32_t i = 0; i < Leaf.CountLeafBrushes; ++i) {
        const int32_t b = Map.BSPLeafBrushes[Leaf.leafBrush + i];
        if (b >= 0 && b < static_cast<int32_t>(Map.BSPMapBrushes.size())) Box = AABBCombine(Box, Map.BSPMapBrushes[b].AABB);
      }
    if (Leaf.leafPatch >= 0 && Leaf.CountLeafPatches <= static_cast<int32_t>(Map.BSPLeafPatches.size()) - Leaf.leafPatch)
      for (int32_t i = 0; i < Leaf.CountLeafPatches; ++i) {
        const TBSPPatch& Patch = Map.BSPPatches[Map.BSPLeafPatches[Leaf.leafPatch + i]];
        if (Patch.numbrushes > 0) Box = AABBCombine(Box, Patch.AABB);
      }
    LeafBoxes[l] = Box;
  }
}

void TZNT1BSPCollision::CheckLeaf(const TBSPMapLeaf& Leaf, TZNT1BSPCollisionTrace& Trace, int32_t MapModelIndex) {
  const TZNT1BSP& Map = *BSP;
  const size_t Index = static_cast<size_t>(&Leaf - Map.BSPMapLeafs.data());
  const TZNT1AABB& Box = Index < LeafBoxes.size() ? LeafBoxes[Index] : Leaf.AABB;
  if (Trace.Fraction <= 0.0f || !AABBIntersectEx(Trace.InputAABB, Box, BoxTolerance)) return;
  const int32_t CountLeafBrushes = static_cast<int32_t>(Map.BSPLeafBrushes.size());
  const int32_t CountBrushes = static_cast<int32_t>(Map.BSPMapBrushes.size());
  if (Leaf.leafBrush >= 0 && Leaf.CountLeafBrushes <= CountLeafBrushes - Leaf.leafBrush) {
    for (int32_t i = 0; i < Leaf.CountLeafBrushes; ++i) {
      const int32_t b = Map.BSPLeafBrushes[Leaf.leafBrush + i];
      if (b < 0 || b >= CountBrushes) continue;
      const TBSPMapBrush& Brush = Map.BSPMapBrushes[b];
      if (Brush.numOfBrushsides > 0 && (static_cast<int32_t>(Brush.ContentFlags) & Trace.Mask) != 0) {
        CheckBrush(Brush, Trace, false, MapModelIndex);
        if (Trace.Fraction == 0.0f) return;
      }
    }
  }
  const int32_t CountLeafPatches = static_cast<int32_t>(Map.BSPLeafPatches.size());
  if (Leaf.leafPatch < 0 || Leaf.CountLeafPatches > CountLeafPatches - Leaf.leafPatch) return;
  for (int32_t i = 0; i < Leaf.CountLeafPatches; ++i) {
    const TBSPPatch& Patch = Map.BSPPatches[Map.BSPLeafPatches[Leaf.leafPatch + i]];
    if (Patch.numbrushes > 0 && (Patch.ContentFlags & Trace.Mask) != 0 &&
        AABBIntersectEx(Patch.AABB, Trace.InputAABB, BoxTolerance)) {
      CheckPatch(Patch, Trace, MapModelIndex);
      if (Trace.Fraction == 0.0f) return;
    }
  }
}

void TZNT1BSPCollision::CheckPatch(const TBSPPatch& Patch, TZNT1BSPCollisionTrace& Trace, int32_t MapModelIndex) {
  if (Trace.Fraction <= 0.0f) return;
  if (Patch.StaticAABBTree) {
    CheckStaticAABBTree(*Patch.StaticAABBTree, Trace, true, MapModelIndex);
    return;
  }
  for (int32_t i = 0; i < Patch.numbrushes; ++i) {
    const TBSPMapBrush& Brush = BSP->BSPMapBrushes[Patch.brush + i];
    const TZNT1AABB Box = Trace.InputDoTransform ? AABBTransform(Brush.AABB, Trace.InputTransform) : Brush.AABB;
    if (!AABBIntersectEx(Box, Trace.InputAABB, BoxTolerance)) continue;
    CheckBrush(Brush, Trace, true, MapModelIndex);
    if (Trace.Fraction == 0.0f) return;
  }
}

void TZNT1BSPCollision::CheckStaticAABBTree(const TZNT1StaticAABBTree& Tree, TZNT1BSPCollisionTrace& Trace,
                                            bool IsPatch, int32_t MapModelIndex) {
  if (Tree.Root < 0 || Tree.Root >= Tree.NodeCount) return;
  int32_t Top = 0;
  Stack[Top++] = Tree.Root;
  while (Top > 0) {
    const int32_t Index = Stack[--Top];
    if (Index < 0) continue;
    const TZNT1StaticAABBTreeNode& Node = Tree.Nodes[Index];
    const TZNT1AABB NodeBox = Trace.InputDoTransform ? AABBTransform(Node.AABB, Trace.InputTransform) : Node.AABB;
    if (!AABBIntersectEx(NodeBox, Trace.InputAABB, BoxTolerance)) continue;
    for (int32_t p = Node.Proxies; p >= 0; p = Tree.Proxies[p].Next) {
      const TZNT1StaticAABBTreeProxy& Proxy = Tree.Proxies[p];
      const TZNT1AABB Box = Trace.InputDoTransform ? AABBTransform(Proxy.AABB, Trace.InputTransform) : Proxy.AABB;
      if (!AABBIntersectEx(Box, Trace.InputAABB, BoxTolerance)) continue;
      CheckBrush(BSP->BSPMapBrushes[static_cast<size_t>(Proxy.UserData)], Trace, IsPatch, MapModelIndex);
      if (Trace.Fraction == 0.0f) return;
    }
    if (Top + 2 >= StackCapacity) {
      StackCapacity = static_cast<int32_t>(RoundUpToPowerOfTwo(static_cast<uint32_t>(Top + 2)));
      Stack.resize(static_cast<size_t>(StackCapacity));
    }
    if (Node.Children[0] >= 0) Stack[Top++] = Node.Children[0];
    if (Node.Children[1] >= 0) Stack[Top++] = Node.Children[1];
  }
}

void TZNT1BSPCollision::CheckBrush(const TBSPMapBrush& Brush, TZNT1BSPCollisionTrace& Trace, bool,
                                   int32_t MapModelIndex) {
  if ((static_cast<int32_t>(Brush.ContentFlags) & Trace.Mask) == 0) return;
  const TZNT1BSP& Map = *BSP;
  if (Brush.brushside < 0 || Brush.numOfBrushsides > static_cast<int32_t>(Map.BSPBrushSides.size()) - Brush.brushside)
    return;
  const int32_t CountPlanes = static_cast<int32_t>(Map.BSPPlanes.size());

  float StartFraction = -1.0f, EndFraction = 1.0f;
  bool StartsOut = false, EndsOut = false, HasCollisionPlane = false;
  TZNT1Plane CollisionPlane{};
  float EndDistanceSaved = 0.0f;

  for (int32_t i = 0; i < Brush.numOfBrushsides; ++i) {
    const int32_t PlaneIndex = Map.BSPBrushSides[Brush.brushside + i].plane;
    if (PlaneIndex < 0 || PlaneIndex >= CountPlanes) continue;
    const TBSPPlane& Side = Map.BSPPlanes[PlaneIndex];
    TZNT1Vector3 n = Side.Normal;
    float d = Side.Distance;
    if (Trace.InputDoTransform) {
      const TZNT1Plane p = PlaneMatrixMul(Plane(n, -d), Trace.InputTransformInverseTranspose);
      n = p.Normal;
      d = -p.Distance;
    }

    float StartDistance, EndDistance;
    switch (Trace.TraceType) {
      case TT_SPHERE:
        StartDistance = Vector3Dot(n, Trace.InputStart) - (d + Trace.InputRadius);
        EndDistance = Vector3Dot(n, Trace.InputEnd) - (d + Trace.InputRadius);
        break;
      case TT_BOX: {
        TZNT1Vector3 Offset;
        for (int a = 0; a < 3; ++a)
          Offset.xyz[a] = n.xyz[a] < 0.0f ? Trace.InputSize.Max.xyz[a] : Trace.InputSize.Min.xyz[a];
        const float OffsetDistance = Vector3Dot(n, Offset);
        StartDistance = Vector3Dot(n, Trace.InputStart) - (d - OffsetDistance);
        EndDistance = Vector3Dot(n, Trace.InputEnd) - (d - OffsetDistance);
        break;
      }
      default:
        StartDistance = Vector3Dot(n, Trace.InputStart) - d;
        EndDistance = Vector3Dot(n, Trace.InputEnd) - d;
        break;
    }

    if (StartDistance > 0.0f) StartsOut = true;
    if (EndDistance > 0.0f) EndsOut = true;
    // Wholly in front of this side and not moving towards it: the brush is missed.
    if (StartDistance > 0.0f && EndDistance >= DIST_EPSILON && EndDistance >= StartDistance) return;
    if (StartDistance <= 0.0f && EndDistance <= 0.0f) continue;
    if (StartDistance > EndDistance) {
      float f = (StartDistance - DIST_EPSILON) / (StartDistance - EndDistance);
      if (f < 0.0f) f = 0.0f;
      if (f > StartFraction) {
        StartFraction = f;
        CollisionPlane = Plane(n, d);
        HasCollisionPlane = true;
        EndDistanceSaved = EndDistance;
      }
    } else {
      if (StartDistance - EndDistance == 0.0f) continue;
      float f = (StartDistance + DIST_EPSILON) / (StartDistance - EndDistance);
      if (f > 1.0f) f = 1.0f;
      if (f < EndFraction) EndFraction = f;
    }
  }

  const bool IsModel = MapModelIndex > 0;
  const TBSPMapModel* Model = IsModel ? &Map.BSPMapModels[MapModelIndex] : nullptr;
  if (!StartsOut) {
    if (IsModel && !Model->Collision) {
      if (Trace.TouchMapModel && !EndsOut && Model->Touchable) Trace.TouchMapModel(MapModelIndex);
      return;
    }
    Trace.StartSolid = true;
    if (EndsOut) return;
    Trace.AllSolid = true;
    Trace.GoodPos = false;
    Trace.ContentFlags = static_cast<uint32_t>(Brush.ContentFlags);
    Trace.MapModelIndex = MapModelIndex;
    if (IsModel && Model->Touchable && Trace.TouchMapModel) Trace.TouchMapModel(MapModelIndex);
    return;
  }

  if (StartFraction < EndFraction && StartFraction > -1.0f) {
    if (Trace.TouchMapModel && StartFraction < 1.0f && IsModel && Model->Touchable)
      Trace.TouchMapModel(MapModelIndex);
    if (StartFraction < Trace.Fraction) {
      if (StartFraction < 0.0f) StartFraction = 0.0f;
      if (IsModel && !Model->Collision) return;
      Trace.GoodPos = false;
      Trace.Fraction = StartFraction;
      Trace.Plane = CollisionPlane;
      Trace.HasPlane = HasCollisionPlane;
      Trace.EndDistance = EndDistanceSaved;
      Trace.SurfaceFlags = static_cast<uint32_t>(Brush.SurfaceFlags);
      Trace.ContentFlags = static_cast<uint32_t>(Brush.ContentFlags);
      Trace.MapModelIndex = MapModelIndex;
    }
  }
}

void TZNT1BSPCollision::CheckModels(TZNT1BSPCollisionTrace& Trace) {
  if (Trace.Fraction <= 0.0f && !Trace.TouchMapModel) return;
  const TZNT1BSP& Map = *BSP;
  const int32_t CountModels = static_cast<int32_t>(Map.BSPMapModels.size());
  const int32_t CountBrushes = static_cast<int32_t>(Map.BSPMapBrushes.size());
  for (int32_t m = 1; m < CountModels; ++m) {
    const TBSPMapModel& Model = Map.BSPMapModels[m];
    if (Model.NotTouchableWhenNotAlive && !Trace.Alive) continue;
    if (!Model.Collision && !(Model.Touchable && Trace.TouchMapModel)) continue;
    if (!AABBIntersectEx(Trace.InputAABB, Model.TransformedAABB, BoxTolerance)) continue;
    Trace.InputTransform = Model.Transform;
    Trace.InputTransformInverseTranspose = Matrix4x4TermTranspose(Matrix4x4TermInverse(Model.Transform));
    Trace.InputDoTransform = true;
    if (Model.BrushIndex < 0 || Model.CountBrushes > CountBrushes - Model.BrushIndex) continue;
    for (int32_t i = 0; i < Model.CountBrushes; ++i) {
      const TBSPMapBrush& Brush = Map.BSPMapBrushes[Model.BrushIndex + i];
      if (Brush.numOfBrushsides < 1 || (static_cast<int32_t>(Brush.ContentFlags) & Trace.Mask) == 0) continue;
      CheckBrush(Brush, Trace, false, m);
      if (Trace.Fraction == 0.0f && !Trace.TouchMapModel) break;
    }
  }
  Trace.InputDoTransform = false;
}

// ---- Patch collision brushes ----

namespace {

constexpr int32_t MaxGridPoints = 4096;
constexpr int32_t MaxBrushPlanes = 20;

void ClearBounds(TZNT1Vector3& Mins, TZNT1Vector3& Maxs) {
  Mins = Vector3(99999, 99999, 99999);
  Maxs = Vector3(-99999, -99999, -99999);
}

void AddPointToBounds(const TZNT1Vector3& v, TZNT1Vector3& Mins, TZNT1Vector3& Maxs) {
  for (int i = 0; i < 3; ++i) {
    if (v.xyz[i] < Mins.xyz[i]) Mins.xyz[i] = v.xyz[i];
    if (v.xyz[i] > Maxs.xyz[i]) Maxs.xyz[i] = v.xyz[i];
  }
}

struct TCandidate {
  TZNT1Plane Plane;
  bool Skip;
};

// One thin convex brush around a triangle: its plane both ways, the six axial planes and the
// edge bevels, axial planes first.
void CreateBrush(TZNT1BSP& Map, TBSPMapBrush& Brush, const TZNT1Vector3 T[3], int32_t TexID) {
  TZNT1Vector3 Mins, Maxs;
  ClearBounds(Mins, Maxs);
  for (int i = 0; i < 3; ++i) AddPointToBounds(T[i], Mins, Maxs);
  Brush.IsPatch = true;
  Brush.AABB.Min = Mins;
  Brush.AABB.Max = Maxs;

  TCandidate Candidates[MaxBrushPlanes];
  int32_t Count = 0;
  const TZNT1Plane Main = PatchTrianglePlane(T);
  Candidates[Count++] = {Main, false};
  Candidates[Count++] = {Plane(Vector3Neg(Main.Normal), -Main.Distance), false};
  for (int a = 0; a < 3; ++a) {
    TZNT1Vector3 n = Vector3(0, 0, 0);
    n.xyz[a] = -1.0f;
    Candidates[Count++] = {Plane(n, -Mins.xyz[a]), false};
    n.xyz[a] = 1.0f;
    Candidates[Count++] = {Plane(n, Maxs.xyz[a]), false};
  }
  for (int i = 0; i < 3; ++i) {
    const TZNT1Vector3 E = Vector3Sub(T[i], T[(i + 1) % 3]);
    for (int j = 0; j < 3; ++j) {
      TZNT1Vector3 n;
      n.xyz[j] = 0.0f;
      n.xyz[(j + 1) % 3] = E.xyz[(j + 2) % 3];
      n.xyz[(j + 2) % 3] = -E.xyz[(j + 1) % 3];
      if (std::fabs(n.x) < 1e-18f && std::fabs(n.y) < 1e-18f && std::fabs(n.z) < 1e-18f) continue;
      n = Vector3Norm(n);
      TZNT1Plane p = Plane(n, Vector3Dot(T[i], n));
      if (Vector3Dot(T[(i + 2) % 3], p.Normal) - p.Distance > 0.0f) p = Plane(Vector3Neg(p.Normal), -p.Distance);
      Candidates[Count++] = {p, false};
    }
  }
  for (int32_t i = 0; i < Count; ++i)
    for (int32_t k = i + 1; k < Count && !Candidates[i].Skip; ++k)
      if (std::fabs(Candidates[i].Plane.Distance - Candidates[k].Plane.Distance) < 1e-18f &&
          Vector3Compare(Candidates[i].Plane.Normal, Candidates[k].Plane.Normal))
        Candidates[i].Skip = true;

  Brush.brushside = Map.CountBSPBrushSides;
  Brush.numOfBrushsides = 0;
  for (int Pass = 0; Pass < 2; ++Pass)
    for (int32_t i = 0; i < Count; ++i) {
      const TCandidate& c = Candidates[i];
      if (c.Skip || (PlaneType(c.Plane) < 3) != (Pass == 0)) continue;
      Map.BSPPlanes.push_back(TBSPPlane{c.Plane.Normal, c.Plane.Distance});
      const int32_t PlaneIndex = Map.CountBSPPlanes++;
      const int32_t Texture = Vector3Dot(c.Plane.Normal, Main.Normal) >= 0.0f ? TexID : 0;
      Map.BSPBrushSides.push_back(TBSPBrushSide{PlaneIndex, Texture});
      ++Map.CountBSPBrushSides;
      ++Brush.numOfBrushsides;
    }
}

// The finest grid of at most 4096 points the patch's curvature asks for; false when none fits.
bool GridSteps(const std::vector<TZNT1Vector3>& Points, const int32_t PatchCP[2], int64_t Step[2]) {
  auto Fits = [&](int64_t s0, int64_t s1) {
    const int64_t d0 = (PatchCP[0] >> 1) * s0 + 1, d1 = (PatchCP[1] >> 1) * s1 + 1;
    return d0 * d1 <= MaxGridPoints;
  };
  for (float Tolerance = 16.0f; Tolerance <= 8192.0f; Tolerance *= 2.0f) {
    TPatchInt Levels{0, 0};
    PatchGetFlatness(Points.data(), PatchCP, Levels, Tolerance);
    const int64_t s0 = int64_t(1) << Levels.x, s1 = int64_t(1) << Levels.y;
    if (Fits(s0, s1)) {
      Step[0] = s0;
      Step[1] = s1;
      return true;
    }
  }
  for (int64_t s = 8192; s >= 2; s >>= 1)
    if (Fits(s, s)) {
      Step[0] = Step[1] = s;
      return true;
    }
  return false;
}

void CreatePatch(TZNT1BSP& Map, TBSPPatch& Patch, const std::vector<TBSPVertex>& Vertices) {
  const TBSPMapFace& Face = Map.BSPMapFaces[Patch.Face];
  const int32_t PatchCP[2] = {Face.Size[0], Face.Size[1]};
  // A grid needs odd sizes and all its control points; anything else gets no brushes.
  if ((PatchCP[0] & 1) == 0 || (PatchCP[1] & 1) == 0 || Face.startVertIndex < 0 ||
      int64_t(PatchCP[0]) * PatchCP[1] > Face.CountVertices ||
      int64_t(Face.startVertIndex) + Face.CountVertices > int64_t(Vertices.size()))
    return;
  std::vector<TZNT1Vector3> Points(static_cast<size_t>(Face.CountVertices));
  for (int32_t i = 0; i < Face.CountVertices; ++i) Points[i] = Vertices[Face.startVertIndex + i].Position;

  int64_t Step[2];
  if (!GridSteps(Points, PatchCP, Step)) return;
  const std::vector<TZNT1Vector3> Grid = PatchEvaluate(Points.data(), PatchCP, Step);
  const int32_t Dim0 = static_cast<int32_t>((PatchCP[0] >> 1) * Step[0] + 1);
  const int32_t Dim1 = static_cast<int32_t>((PatchCP[1] >> 1) * Step[1] + 1);

  ClearBounds(Patch.AABB.Min, Patch.AABB.Max);
  Patch.brush = Map.CountBSPBrushes;
  Patch.numbrushes = 0;
  for (int32_t y = 0; y < Dim1 - 1; ++y)
    for (int32_t x = 0; x < Dim0 - 1; ++x) {
      const int32_t i = y * Dim0 + x;
      const TZNT1Vector3 &A = Grid[i], &B = Grid[i + Dim0], &C = Grid[i + 1], &D = Grid[i + Dim0 + 1];
      AddPointToBounds(A, Patch.AABB.Min, Patch.AABB.Max);
      AddPointToBounds(C, Patch.AABB.Min, Patch.AABB.Max);
      AddPointToBounds(B, Patch.AABB.Min, Patch.AABB.Max);
      AddPointToBounds(D, Patch.AABB.Min, Patch.AABB.Max);
      const TZNT1Vector3 Triangles[2][3] = {{A, B, C}, {C, B, D}};
      for (const auto& T : Triangles) {
        Map.BSPMapBrushes.emplace_back();
        ++Map.CountBSPBrushes;
        TBSPMapBrush& Brush = Map.BSPMapBrushes.back();
        CreateBrush(Map, Brush, T, Face.textureId);
        Brush.Texture = Face.textureId;
        ++Patch.numbrushes;
      }
    }
  if (Patch.numbrushes > 16) {
    Patch.StaticAABBTree = new TZNT1StaticAABBTree();
    for (int32_t b = 0; b < Patch.numbrushes; ++b)
      Patch.StaticAABBTree->CreateProxy(Map.BSPMapBrushes[Patch.brush + b].AABB, Patch.brush + b);
    Patch.StaticAABBTree->Build(8, 64, false);
  }
}

}  // namespace

TZNT1Vector3 PatchEvaluateQuadricBezier(const TZNT1Vector3& P0, const TZNT1Vector3& P1, const TZNT1Vector3& P2,
                                        float t) {
  const float a = 1.0f - 2.0f * t + t * t, b = 2.0f * t - 2.0f * t * t, c = t * t;
  return Vector3(P0.x * a + P1.x * b + P2.x * c, P0.y * a + P1.y * b + P2.y * c, P0.z * a + P1.z * b + P2.z * c);
}

std::vector<TZNT1Vector3> PatchEvaluate(const TZNT1Vector3* Points, const int32_t PatchCP[2], const int64_t Step[2]) {
  const int32_t NX = PatchCP[0] >> 1, NY = PatchCP[1] >> 1;
  const int64_t R = Step[0] * NX + 1;
  std::vector<TZNT1Vector3> Grid(static_cast<size_t>(R * (Step[1] * NY + 1)));
  const float du = 1.0f / static_cast<float>(Step[0]), dv = 1.0f / static_cast<float>(Step[1]);
  for (int32_t y = 0; y < NY; ++y)
    for (int32_t x = 0; x < NX; ++x) {
      const TZNT1Vector3* C = Points + (2 * y) * PatchCP[0] + 2 * x;  // C[i * PatchCP[0] + j]
      const int64_t Rows = Step[1] + (y == NY - 1 ? 1 : 0), Columns = Step[0] + (x == NX - 1 ? 1 : 0);
      const int64_t Base = Step[1] * y * R + Step[0] * x;
      float v = 0.0f;
      for (int64_t j = 0; j < Rows; ++j, v += dv) {
        TZNT1Vector3 Q[3];
        for (int c = 0; c < 3; ++c)
          Q[c] = PatchEvaluateQuadricBezier(C[c], C[PatchCP[0] + c], C[2 * PatchCP[0] + c], v);
        float u = 0.0f;
        for (int64_t i = 0; i < Columns; ++i, u += du) Grid[Base + j * R + i] = PatchEvaluateQuadricBezier(Q[0], Q[1], Q[2], u);
      }
    }
  return Grid;
}

TZNT1Plane PatchTrianglePlane(const TZNT1Vector3 T[3]) {
  const TZNT1Vector3 n = Vector3Norm(Vector3Cross(Vector3Sub(T[2], T[0]), Vector3Sub(T[1], T[0])));
  return Plane(n, Vector3Dot(T[0], n));
}

uint8_t PlaneType(const TZNT1Plane& Plane) {
  uint8_t Type = 5;
  for (uint8_t a = 0; a < 3; ++a)
    if (Plane.Normal.xyz[a] == 1.0f) Type = a;
  return Type;
}

void CreatePatchBrushes(TZNT1BSP& Map, const std::vector<TBSPVertex>& Vertices) {
  const int32_t CountFaces = static_cast<int32_t>(Map.BSPMapFaces.size());
  const int32_t CountTextures = static_cast<int32_t>(Map.BSPMapTextures.size());
  std::vector<int32_t> FacePatch(static_cast<size_t>(CountFaces), -1);
  Map.CountBSPPatches = 0;
  Map.CountBSPLeafPatches = 0;
  Map.BSPPatches.clear();
  Map.BSPLeafPatches.clear();
  Map.BSPPlanes.resize(static_cast<size_t>(Map.CountBSPPlanes));
  Map.BSPBrushSides.resize(static_cast<size_t>(Map.CountBSPBrushSides));
  Map.BSPMapBrushes.resize(static_cast<size_t>(Map.CountBSPBrushes));

  for (TBSPMapLeaf& Leaf : Map.BSPMapLeafs) {
    Leaf.leafPatch = Map.CountBSPLeafPatches;
    Leaf.CountLeafPatches = 0;
    if (Leaf.Cluster < 0) continue;
    for (int32_t i = 0; i < Leaf.CountLeafFaces; ++i) {
      const int32_t LeafFace = Leaf.leafface + i;
      if (LeafFace < 0 || LeafFace >= static_cast<int32_t>(Map.BSPLeafFaces.size())) break;
      const int32_t f = Map.BSPLeafFaces[LeafFace];
      if (f < 0 || f >= CountFaces) continue;
      const TBSPMapFace& Face = Map.BSPMapFaces[f];
      if (Face.FaceType != FACE_PATCH || Face.CountVertices <= 0 || Face.Size[0] <= 0 || Face.Size[1] < 1 ||
          Face.textureId < 0 || Face.textureId >= CountTextures)
        continue;
      const TBSPMapTexture& Texture = Map.BSPMapTextures[Face.textureId];
      if (Texture.ContentFlags == 0 || (Texture.Shader && (Texture.Shader->SurfaceFlags & SURF_NONSOLID) != 0))
        continue;
      if (FacePatch[f] < 0) {
        TBSPPatch Patch{};
        Patch.Face = f;
        Patch.surface = Face.textureId;
        Patch.SurfaceFlags = static_cast<int32_t>(Texture.SurfaceFlags);
        Patch.ContentFlags = static_cast<int32_t>(Texture.ContentFlags);
        CreatePatch(Map, Patch, Vertices);
        Map.BSPPatches.push_back(Patch);
        FacePatch[f] = Map.CountBSPPatches++;
      }
      Map.BSPLeafPatches.push_back(FacePatch[f]);
      ++Map.CountBSPLeafPatches;
      ++Leaf.CountLeafPatches;
    }
  }
}
