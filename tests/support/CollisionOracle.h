#pragma once
// Brute-force collision traces for differential tests: every brush a leaf of the world's tree
// lists (each once) and every listed patch's brushes, no tree walk and no box culling, then the map models.
#include <cstdint>
#include <vector>

#include "world/ZNT1BSP.h"
#include "world/ZNT1BSPCollision.h"

class TCollisionOracle {
 public:
  explicit TCollisionOracle(const TZNT1BSP& ABSP);

  // Same inputs and results as TZNT1BSPCollision's traces.
  void TraceRay(const TZNT1Vector3& Start, const TZNT1Vector3& End, int32_t Tries, TZNT1BSPCollisionTrace& Trace,
                int32_t Mask);
  void TraceSphere(const TZNT1Vector3& Start, const TZNT1Vector3& End, float Radius, int32_t Tries,
                   TZNT1BSPCollisionTrace& Trace, int32_t Mask);
  void TraceBox(const TZNT1Vector3& Start, const TZNT1Vector3& End, const TZNT1Vector3& Mins,
                const TZNT1Vector3& Maxs, int32_t Tries, TZNT1BSPCollisionTrace& Trace, int32_t Mask);

  // The world brushes tested, in first-listed order (patch brushes after the leaf brushes).
  std::vector<int32_t> WorldBrushes;
  // Tests the world brushes last to first: where two brushes tie on a hit the other one wins.
  bool Reverse = false;
  // Every blocking entry of every attempt, whether or not it became the result: ties show as
  // several entries of one attempt at one fraction.
  struct TEntry {
    int32_t Attempt;
    float Fraction;
    TZNT1Plane Plane;
    uint32_t SurfaceFlags, ContentFlags;
    int32_t MapModelIndex;
  };
  std::vector<TEntry> Entries;

 private:
  void Run(const TZNT1Vector3& Start, const TZNT1Vector3& End, TZNT1BSPCollisionTrace& Trace);
  void Attempt(const TZNT1Vector3& Start, const TZNT1Vector3& End, TZNT1BSPCollisionTrace& Trace);
  void Clip(int32_t BrushIndex, TZNT1BSPCollisionTrace& Trace, int32_t Model);
  const TZNT1BSP& BSP;
  int32_t CurrentAttempt = 0;
};
