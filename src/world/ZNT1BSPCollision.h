#pragma once
// Collision traces of rays, spheres and boxes against the loaded map's brushes, patch brushes
// and moving brush models; and the load-time build of the patch collision brushes.
#include <cstdint>
#include <functional>
#include <vector>

#include "core/ZNT1Math.h"

class TZNT1BSP;
class TZNT1Engine;
class TZNT1StaticAABBTree;
struct TBSPMapBrush;
struct TBSPMapLeaf;
struct TBSPPatch;

constexpr int32_t TT_RAY = 0;
constexpr int32_t TT_SPHERE = 1;
constexpr int32_t TT_BOX = 2;
constexpr float DIST_EPSILON = 0.03125f;

// Called with a map model index when a trace enters one of a touchable model's brushes.
using TZNT1BSPCollisionTouchMapModel = std::function<void(int32_t)>;

struct TZNT1BSPCollisionTrace {
  bool Valid = false;
  int32_t Tries = 0;
  TZNT1Vector3 InputStart{};
  TZNT1Vector3 InputEnd{};
  TZNT1Matrix4x4 InputTransform = Matrix4x4Identity;
  TZNT1Matrix4x4 InputTransformInverseTranspose = Matrix4x4Identity;
  bool InputDoTransform = false;
  float InputRadius = 0.0f;
  TZNT1Vector3 InputExtents{};
  TZNT1AABB InputSize{};  // the shape's box around its origin
  TZNT1AABB InputAABB{};  // the whole sweep plus a margin
  TZNT1AABB AABB{};       // free for the caller; traces leave it alone
  int32_t TraceType = TT_RAY;
  bool GoodPos = false;
  bool HasPlane = false;
  bool AllSolid = false;
  bool StartSolid = false;
  float Fraction = 1.0f;
  TZNT1Vector3 EndPos{};
  TZNT1Plane Plane{};  // the hit side in world space, Normal . p = Distance
  float EndDistance = 0.0f;
  int32_t Entity = -1;
  uint32_t SurfaceFlags = 0;
  uint32_t ContentFlags = 0;
  int32_t MapModelIndex = -1;
  TZNT1BSPCollisionTouchMapModel TouchMapModel;  // optional; set by the caller
  int32_t Mask = 0;
  bool Alive = false;  // set by the caller
};

class TZNT1BSPCollision {
 public:
  TZNT1BSPCollision(TZNT1Engine* AEngine, TZNT1BSP* ABSP);
  TZNT1BSPCollision(const TZNT1BSPCollision&) = delete;
  TZNT1BSPCollision& operator=(const TZNT1BSPCollision&) = delete;

  // Each sweeps the shape from StartPoint to EndPoint against every brush sharing a bit with
  // Mask. With Tries > 1 a blocked end is slid off the hit plane and tried again. One trace at
  // a time: the callback must not start another trace on this object.
  void TraceRay(const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint, int32_t Tries,
                TZNT1BSPCollisionTrace& Trace, int32_t Mask);
  void TraceSphere(const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint, float Radius, int32_t Tries,
                   TZNT1BSPCollisionTrace& Trace, int32_t Mask);
  // Mins and Maxs may come in either order per axis.
  void TraceBox(const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint, const TZNT1Vector3& Mins,
                const TZNT1Vector3& Maxs, int32_t Tries, TZNT1BSPCollisionTrace& Trace, int32_t Mask);

  // Called by the load once brush boxes and patches exist: each leaf's box for the traces' cull,
  // grown to the brushes and patches it lists (file leaf bounds stop at the world's extents,
  // while the hull brushes reach past them).
  void PrepareLeafBoxes();

  TZNT1BSP* BSP;
  std::vector<TZNT1AABB> LeafBoxes;
  int32_t NodeDepth = 0;
  std::vector<int32_t> Stack;  // static-tree walk; only grows
  int32_t StackCapacity = 16;
  TZNT1Engine* Engine;  // not used by the traces

  // Deeper trees than this are cut off rather than overflow the call stack (real maps stay
  // far below it; a damaged file may chain its nodes).
  static constexpr int32_t MaxNodeDepth = 2048;

 private:
  void StartTrace(const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint, TZNT1BSPCollisionTrace& Trace);
  void CheckNode(int32_t NodeIndex, float StartFraction, float EndFraction, const TZNT1Vector3& StartPoint,
                 const TZNT1Vector3& EndPoint, TZNT1BSPCollisionTrace& Trace);
  void CheckLeaf(const TBSPMapLeaf& Leaf, TZNT1BSPCollisionTrace& Trace, int32_t MapModelIndex);
  void CheckBrush(const TBSPMapBrush& Brush, TZNT1BSPCollisionTrace& Trace, bool IsPatch, int32_t MapModelIndex);
  void CheckPatch(const TBSPPatch& Patch, TZNT1BSPCollisionTrace& Trace, int32_t MapModelIndex);
  void CheckStaticAABBTree(const TZNT1StaticAABBTree& Tree, TZNT1BSPCollisionTrace& Trace, bool IsPatch,
                           int32_t MapModelIndex);
  void CheckModels(TZNT1BSPCollisionTrace& Trace);
};

struct TBSPVertex;

// Compile step of the map load: collision brushes, patches and leaf patch lists for every solid
// patch face a leaf lists, appended to the map's brush, side and plane arrays. Vertices is the
// load's vertex list, which holds the control points.
void CreatePatchBrushes(TZNT1BSP& BSP, const std::vector<TBSPVertex>& Vertices);

// Patch collision pieces, open for tests.
TZNT1Vector3 PatchEvaluateQuadricBezier(const TZNT1Vector3& P0, const TZNT1Vector3& P1, const TZNT1Vector3& P2,
                                        float t);
// Grid of (NX x Step[0] + 1) x (NY x Step[1] + 1) points, row after row, over NX x NY sub-patches.
std::vector<TZNT1Vector3> PatchEvaluate(const TZNT1Vector3* Points, const int32_t PatchCP[2], const int64_t Step[2]);
// The triangle's plane with its normal along (T2 - T0) x (T1 - T0), Normal . p = Distance.
TZNT1Plane PatchTrianglePlane(const TZNT1Vector3 T[3]);
// 0, 1 or 2 for a plane whose normal is exactly +x, +y or +z; 5 otherwise.
uint8_t PlaneType(const TZNT1Plane& Plane);
