// Collision on every content map: seeded traces of every kind against the brute-force oracle,
// bit for bit; patch brushes and their leaves; point contents against every brush.
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "support/CollisionOracle.h"
#include "support/TestData.h"
#include "world/WorldTestSupport.h"
#include "world/ZNT1BSPCollision.h"
#include "world/ZNT1StaticAABBTree.h"

using namespace worldtest;

namespace {

constexpr int HeavyTraces = testdata::Sanitizing ? 1500 : 20000, LightTraces = testdata::Sanitizing ? 30 : 300;

bool Bits(const void* a, const void* b, size_t n) { return std::memcmp(a, b, n) == 0; }

// The fields that must match; plane and flags only where the fraction is above 0.
bool Agree(const TZNT1BSPCollisionTrace& t, const TZNT1BSPCollisionTrace& o, std::string& Why) {
  if (!Bits(&t.Fraction, &o.Fraction, 4)) Why = "Fraction";
  else if (!Bits(&t.EndPos, &o.EndPos, 12)) Why = "EndPos";
  else if (t.GoodPos != o.GoodPos) Why = "GoodPos";
  else if (t.Fraction > 0 && (t.StartSolid != o.StartSolid || t.AllSolid != o.AllSolid)) Why = "solid flags";
  else if (t.Fraction > 0 && (t.HasPlane != o.HasPlane || (t.HasPlane && !Bits(&t.Plane, &o.Plane, 16)))) Why = "plane";
  else if (t.Fraction > 0 && (t.ContentFlags != o.ContentFlags || t.SurfaceFlags != o.SurfaceFlags ||
                              t.MapModelIndex != o.MapModelIndex))
    Why = "flags";
  else
    return true;
  return false;
}

struct Shape {
  int Kind;  // 0 ray, 1 box, 2 sphere
  TZNT1Vector3 Mins, Maxs;
  float Radius;
};

const Shape Shapes[] = {
    {0, {}, {}, 0},
    {1, Vector3(0, 0, 0), Vector3(0, 0, 0), 0},
    {1, Vector3(-15, -15, -24), Vector3(15, 15, 32), 0},
    {1, Vector3(15, -15, 32), Vector3(-15, 15, -24), 0},  // swapped bounds
    {2, {}, {}, 4},
    {2, {}, {}, 16},
};
const int32_t Masks[] = {int32_t(MASK_PLAYERSOLID), int32_t(CONTENTS_SOLID), int32_t(MASK_WATER)};

void Run(TZNT1BSPCollision& c, const Shape& s, const TZNT1Vector3& a, const TZNT1Vector3& b, int32_t Tries,
         int32_t Mask, TZNT1BSPCollisionTrace& t) {
  if (s.Kind == 0) c.TraceRay(a, b, Tries, t, Mask);
  if (s.Kind == 1) c.TraceBox(a, b, s.Mins, s.Maxs, Tries, t, Mask);
  if (s.Kind == 2) c.TraceSphere(a, b, s.Radius, Tries, t, Mask);
}

void Run(TCollisionOracle& c, const Shape& s, const TZNT1Vector3& a, const TZNT1Vector3& b, int32_t Tries,
         int32_t Mask, TZNT1BSPCollisionTrace& t) {
  if (s.Kind == 0) c.TraceRay(a, b, Tries, t, Mask);
  if (s.Kind == 1) c.TraceBox(a, b, s.Mins, s.Maxs, Tries, t, Mask);
  if (s.Kind == 2) c.TraceSphere(a, b, s.Radius, Tries, t, Mask);
}

struct Tally {
  int Traces = 0, Ties = 0, Hits = 0, StartSolid = 0, MultiTry = 0, PatchHits = 0;
};

// Seeded traces from free positions (and some from anywhere), compared with the oracle.
void DifferentialTraces(TZNT1BSP& Map, int Count, uint32_t Seed, Tally& Out) {
  TCollisionOracle Oracle(Map);
  std::mt19937 Rng(Seed);
  std::uniform_real_distribution<float> Unit(0.0f, 1.0f), Length(8.0f, 64.0f);
  const TZNT1AABB& W = Map.BSPMapModels[0].AABB;
  auto Anywhere = [&] {
    TZNT1Vector3 p;
    for (int i = 0; i < 3; ++i) p.xyz[i] = W.Min.xyz[i] + (W.Max.xyz[i] - W.Min.xyz[i]) * Unit(Rng);
    return p;
  };
  std::vector<TZNT1Vector3> Free;
  for (int Attempt = 0; Attempt < 20000 && Free.size() < 256; ++Attempt) {
    const TZNT1Vector3 p = Anywhere();
    if (Map.FindCluster(p) < 0) continue;
    TZNT1BSPCollisionTrace t;
    Map.Collision->TraceBox(p, p, Vector3(-15, -15, -24), Vector3(15, 15, 32), 1, t, MASK_PLAYERSOLID);
    if (!t.StartSolid) Free.push_back(p);
  }
  std::vector<TZNT1Vector3> PatchCentres;
  for (const TBSPPatch& p : Map.BSPPatches)
    if (p.numbrushes > 0) PatchCentres.push_back(Vector3Avg(p.AABB.Min, p.AABB.Max));

  for (int i = 0; i < Count; ++i) {
    const Shape& s = Shapes[i % 6];
    const int32_t Mask = Masks[(i / 6) % 3];
    const int32_t Tries = (i / 18) % 3 == 2 ? 4 : 1;
    const int Pick = int(Rng() % 16);
    TZNT1Vector3 a, b;
    if (Pick == 0 || Free.empty()) {
      a = Anywhere();  // often inside brushes
    } else {
      a = Free[Rng() % Free.size()];
    }
    if (Pick == 1 && !PatchCentres.empty()) {
      b = PatchCentres[Rng() % PatchCentres.size()];  // through a patch
      const TZNT1Vector3 d = Vector3Sub(b, a);
      b = Vector3Add(a, Vector3ScalarMul(d, 1.2f));
    } else if (Pick == 2 && !Free.empty()) {
      b = Free[Rng() % Free.size()];  // across the map
    } else if (Pick == 3) {
      b = a;  // a point
    } else {
      TZNT1Vector3 d = Vector3(Unit(Rng) - 0.5f, Unit(Rng) - 0.5f, Unit(Rng) - 0.5f);
      Vector3Normalize(d);
      b = Vector3Add(a, Vector3ScalarMul(d, Length(Rng)));
    }
    TZNT1BSPCollisionTrace t, o;
    Run(*Map.Collision, s, a, b, Tries, Mask, t);
    Run(Oracle, s, a, b, Tries, Mask, o);
    ++Out.Traces;
    Out.Hits += t.Fraction < 1.0f;
    Out.StartSolid += t.StartSolid;
    Out.MultiTry += Tries > 1;
    if (t.Fraction < 1 && t.MapModelIndex == 0 && t.HasPlane) {
      // Patch brushes follow the file's.
      bool Patch = false;
      for (const TBSPPatch& p : Map.BSPPatches) Patch = Patch || AABBIntersectEx(p.AABB, t.InputAABB, 1e-12f);
      Out.PatchHits += Patch;
    }
    std::string Why;
    if (Agree(t, o, Why)) continue;
    if (Why == "plane" || Why == "flags") {
      // Several brushes entered at one fraction in one attempt: the trace may report any of them,
      // and with several tries the flags of a blocked attempt stay.
      bool Tie = false;
      for (const TCollisionOracle::TEntry& e : Oracle.Entries) {
        if (e.ContentFlags != t.ContentFlags || e.SurfaceFlags != t.SurfaceFlags || e.MapModelIndex != t.MapModelIndex ||
            (t.HasPlane && t.Fraction < 1 && !Bits(&e.Plane, &t.Plane, 16)))
          continue;
        for (const TCollisionOracle::TEntry& f : Oracle.Entries)
          Tie = Tie || (&f != &e && f.Attempt == e.Attempt && Bits(&f.Fraction, &e.Fraction, 4));
      }
      if (Tie) {
        ++Out.Ties;
        continue;
      }
    }
    TZNT1BSPCollisionTrace r;
    Oracle.Reverse = true;
    Run(Oracle, s, a, b, Tries, Mask, r);
    Oracle.Reverse = false;
    std::string WhyReversed;
    if (Agree(t, r, WhyReversed)) {
      ++Out.Ties;
      continue;
    }
    ADD_FAILURE() << "trace " << i << " shape " << i % 6 << " mask " << Mask << " tries " << Tries << ": " << Why
                  << " differs; fraction " << t.Fraction << " vs " << o.Fraction << ", start (" << a.x << ", " << a.y
                  << ", " << a.z << ") end (" << b.x << ", " << b.y << ", " << b.z << ")" << " solid " << t.StartSolid
                  << t.AllSolid << " vs " << o.StartSolid << o.AllSolid << " contents " << t.ContentFlags << " vs "
                  << o.ContentFlags << " leaf " << Map.FindLeaf(a) << " cluster " << Map.FindCluster(a);
    return;
  }
}

// Brushes and patches as built by the load.
void CheckPatches(const TZNT1BSP& Map, int32_t FileBrushes) {
  int64_t PatchBrushes = 0;
  for (const TBSPPatch& p : Map.BSPPatches) {
    PatchBrushes += p.numbrushes;
    ASSERT_EQ(p.StaticAABBTree != nullptr, p.numbrushes > 16);
    for (int32_t b = p.brush; b < p.brush + p.numbrushes; ++b) {
      const TBSPMapBrush& Brush = Map.BSPMapBrushes[size_t(b)];
      ASSERT_TRUE(Brush.IsPatch);
      ASSERT_TRUE(AABBContains(p.AABB, Brush.AABB));
    }
  }
  EXPECT_EQ(Map.CountBSPBrushes, FileBrushes + PatchBrushes);
  // The leaf tree holds every leaf, and the tree's descent stays far below the trace's cap.
  ASSERT_EQ(Map.LeafStaticAABBTree->ProxiesCount, Map.CountBSPLeafs);
  ASSERT_GE(Map.LeafStaticAABBTree->NodeCount, 1);
  std::vector<std::pair<int32_t, int32_t>> Nodes{{0, 1}};
  int32_t Deepest = 0;
  while (!Nodes.empty()) {
    const auto [n, Depth] = Nodes.back();
    Nodes.pop_back();
    Deepest = std::max(Deepest, Depth);
    if (n < 0) continue;
    Nodes.push_back({Map.BSPMapNodes[size_t(n)].Front, Depth + 1});
    Nodes.push_back({Map.BSPMapNodes[size_t(n)].Back, Depth + 1});
  }
  EXPECT_LT(Deepest, TZNT1BSPCollision::MaxNodeDepth / 8);
  EXPECT_EQ(int64_t(Map.BSPMapBrushes.size()), Map.CountBSPBrushes);
  for (const TBSPMapLeaf& l : Map.BSPMapLeafs) {
    std::set<int32_t> Listed(Map.BSPLeafPatches.begin() + l.leafPatch,
                             Map.BSPLeafPatches.begin() + l.leafPatch + l.CountLeafPatches);
    ASSERT_EQ(Listed.size(), size_t(l.CountLeafPatches)) << "a patch listed twice by one leaf";
  }
}

// The content flags of every brush holding the point, found without the tree.
int32_t ContentsByScan(const TZNT1BSP& Map, const TZNT1Vector3& p) {
  int32_t r = 0;
  const int32_t Leaf = Map.FindLeaf(p);
  const TBSPMapLeaf& l = Map.BSPMapLeafs[size_t(Leaf)];
  for (int32_t i = 0; i < l.CountLeafBrushes; ++i) {
    const TBSPMapBrush& b = Map.BSPMapBrushes[size_t(Map.BSPLeafBrushes[size_t(l.leafBrush + i)])];
    bool Inside = true;
    for (int32_t s = 0; s < b.numOfBrushsides && Inside; ++s) {
      const TBSPPlane& pl = Map.BSPPlanes[size_t(Map.BSPBrushSides[size_t(b.brushside + s)].plane)];
      Inside = pl.Normal.x * p.x + pl.Normal.y * p.y + pl.Normal.z * p.z <= pl.Distance;
    }
    if (Inside) r |= b.ContentFlags;
  }
  return r;
}

}  // namespace

TEST(CollisionContent, EveryMapAgreesWithTheOracle) {
  REQUIRE_CONTENT_DIR();
  // The last copy of each map: the patch archives override the older ones.
  std::map<std::string, const MapEntry*> Latest;
  for (const MapEntry& m : ContentMaps()) Latest[m.Name] = &m;
  ASSERT_GE(Latest.size(), 30u);
  MapEngine Engine;
  Tally All;
  for (const auto& [Name, m] : Latest) {
    SCOPED_TRACE(Name);
    auto Map = LoadMapBytes(Engine, m->Data, Name);
    ASSERT_TRUE(Map);
    const TBSPLump BrushLump = bspwriter::GetLump(m->Data, kBrushes);
    CheckPatches(*Map, BrushLump.Len / int32_t(sizeof(TBSPBrush)));
    const bool Heavy = Name == "oa_thor" || Name == "ctf_compromise" || Name == "am_underworks2";
    Tally t;
    const auto t0 = std::chrono::steady_clock::now();
    DifferentialTraces(*Map, Heavy ? HeavyTraces : LightTraces, uint32_t(std::hash<std::string>()(Name)), t);
    if (Heavy)
      printf("%s: %d traces in %.1f s, %d hits, %d start solid, %d multi-try, %d near patches, %d ties\n",
             Name.c_str(), t.Traces,
             std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), t.Hits, t.StartSolid,
             t.MultiTry, t.PatchHits, t.Ties);
    All.Traces += t.Traces;
    All.Ties += t.Ties;
    All.Hits += t.Hits;
    // Point contents against every brush the point's leaf lists.
    std::mt19937 Rng(7);
    std::uniform_real_distribution<float> Unit(0, 1);
    const TZNT1AABB& W = Map->BSPMapModels[0].AABB;
    for (int i = 0; i < 200; ++i) {
      TZNT1Vector3 p;
      for (int k = 0; k < 3; ++k) p.xyz[k] = W.Min.xyz[k] + (W.Max.xyz[k] - W.Min.xyz[k]) * Unit(Rng);
      ASSERT_EQ(Map->PointContentFlags(p), ContentsByScan(*Map, p));
    }
    if (HasFailure()) return;
  }
  printf("all maps: %d traces, %d hits, %d hits on tied brushes\n", All.Traces, All.Hits, All.Ties);
}
