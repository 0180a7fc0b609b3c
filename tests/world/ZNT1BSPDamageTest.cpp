// Damaged maps: truncations, byte flips aimed at the directory and the index lumps, and the
// console's answer to a map that cannot be loaded. Load fails or yields a sane map.
#include <random>

#include "core/ZNT1Command.h"
#include "support/TestData.h"
#include "world/WorldTestSupport.h"
#include "world/ZNT1BSPCollision.h"

using namespace worldtest;
using bspwriter::Bytes;

namespace {

// What a loaded map must never break: every index inside its buffer, every face range inside
// the arrays, every walk of the tree ending.
void ExpectSane(const TZNT1BSP& m) {
  for (const std::vector<TBSPVBO>* Buffers : {&m.BSPVBOs, &m.BSPGroupVBOs})
    for (const TBSPVBO& b : *Buffers) {
      ASSERT_EQ(b.StaticIndices.size(), size_t(b.CountStaticIndices));
      for (uint32_t i : b.StaticIndices) ASSERT_LT(i, uint32_t(b.CountVertices));
    }
  for (const TBSPMapFace& f : m.BSPMapFaces) {
    if (f.VBOIndex < 0) continue;
    ASSERT_LT(f.VBOIndex, m.CountBSPVBOs);
    ASSERT_LE(int64_t(f.StartVBOVertex) + f.CountVertices, m.BSPVBOs[size_t(f.VBOIndex)].CountVertices);
  }
  for (const TZNT1Portal& p : m.Portals)
    for (int32_t f : p.SourceFaces) ASSERT_LT(f, m.CountBSPFaces);
  for (const TBSPMapLeaf& l : m.BSPMapLeafs) {
    const TZNT1Vector3 c = Vector3Avg(l.AABB.Min, l.AABB.Max);
    const int32_t Leaf = m.FindLeaf(c);
    ASSERT_TRUE(Leaf >= 0 && Leaf < m.CountBSPLeafs);
  }
  // Traces and point queries from a few leaf centres, every shape, models touched too.
  int Touches = 0;
  for (size_t i = 0; i < m.BSPMapLeafs.size() && i < 8; ++i) {
    const TZNT1AABB& b = m.BSPMapLeafs[i].AABB;
    const TZNT1Vector3 a = Vector3Avg(b.Min, b.Max), e = Vector3Add(a, Vector3(40, -30, -50));
    TZNT1BSPCollisionTrace t;
    t.TouchMapModel = [&](int32_t) { ++Touches; };
    m.Collision->TraceRay(a, e, 1, t, MASK_PLAYERSOLID);
    m.Collision->TraceSphere(a, e, 16, 4, t, MASK_WATER);
    m.Collision->TraceBox(a, e, Vector3(-15, -15, -24), Vector3(15, 15, 32), 4, t, MASK_PLAYERSOLID);
    m.Collision->TraceBox(a, b.Max, Vector3(0, 0, 0), Vector3(0, 0, 0), 1, t, int32_t(CONTENTS_SOLID));
    ASSERT_TRUE(t.Valid);
    m.PointContentFlags(a);
    m.IsPointFromPointVisible(a, e, true);
  }
}

class LoadingGame : public TZNT1Game {
 public:
  using TZNT1Game::TZNT1Game;
  void LoadMap(const std::string& MapName) override {
    Engine->LoadMap(MapName);
    Engine->DoneLoadMap();
  }
};

}  // namespace

TEST(BSPDamage, EveryTruncationOfTheFixture) {
  MapEngine e;
  bspwriter::TFixture x = bspwriter::MakeFixture();
  const Bytes Full = x.File.Build();
  x.File.LightMaps.clear();  // the small variant is cut at every byte
  const Bytes Small = x.File.Build();
  size_t Loaded = 0;
  for (size_t n = 0; n < Small.size(); ++n) {
    auto m = LoadMapBytes(e, Bytes(Small.begin(), Small.begin() + long(n)));
    if (m) {
      ++Loaded;
      ExpectSane(*m);
    }
  }
  for (size_t n = 0; n < Full.size(); n += 97) {
    auto m = LoadMapBytes(e, Bytes(Full.begin(), Full.begin() + long(n)));
    if (m) {
      ++Loaded;
      ExpectSane(*m);
    }
  }
  // Only the visibility data may be cut off: without it the map still loads.
  EXPECT_GT(Loaded, 0u);
  EXPECT_LT(Loaded, 20u);
  ASSERT_TRUE(LoadMapBytes(e, Full));
}

TEST(BSPDamage, SeededByteFlipsOfTheSmallestMap) {
  REQUIRE_CONTENT_DIR();
  // The smallest stock map, whatever else the folder holds.
  const auto& Maps = ContentMaps();
  const auto It = std::find_if(Maps.begin(), Maps.end(), [](const MapEntry& m) { return m.Stock(); });
  ASSERT_NE(It, Maps.end());
  const MapEntry& Smallest = *It;
  MapEngine e;
  const Bytes& Good = Smallest.Data;
  auto Lump = [&](int32_t i) { return bspwriter::GetLump(Good, i); };
  // The directory, and the lumps whose fields index other lumps.
  std::vector<std::pair<int64_t, int64_t>> Targets{{8, 8 * kMaxLumps}};
  for (int32_t i : {kNodes, kLeafs, kLeafFaces, kLeafBrushes, kModels, kBrushes, kBrushSides, kIndices, kShaders, kFaces})
    if (Lump(i).Len > 0) Targets.push_back({Lump(i).Offset, Lump(i).Len});
  const int Rounds = testdata::Sanitizing ? 120 : 300;
  std::mt19937 Random(12);
  int Loaded = 0;
  for (int r = 0; r < Rounds; ++r) {
    Bytes d = Good;
    const auto& [Offset, Len] = Targets[size_t(r) % Targets.size()];
    const int Flips = 1 + int(Random() % 4);
    for (int k = 0; k < Flips; ++k) {
      const size_t At = size_t(Offset + int64_t(Random() % uint64_t(Len)));
      // Small shifts, sign flips and wild values.
      switch (Random() % 3) {
        case 0: d[At] ^= uint8_t(1u << (Random() % 8)); break;
        case 1: d[At] = 0xFF; break;
        default: d[At] = uint8_t(Random()); break;
      }
    }
    SCOPED_TRACE(r);
    auto m = LoadMapBytes(e, d, Smallest.Name);
    if (m) {
      ++Loaded;
      ExpectSane(*m);
    }
  }
  EXPECT_GT(Loaded, 0);  // some flips hit fields that do not matter
}

TEST(BSPDamage, TheMapCommandReportsAMapThatCannotBeLoaded) {
  bspwriter::TFixture x = bspwriter::MakeFixture();
  const Bytes Full = x.File.Build();
  MapEngine e({{"maps/broken.bsp", Bytes(Full.begin(), Full.begin() + 5000)}, {"maps/sound.bsp", Full}});
  e.Game = CreateGameOfClass<LoadingGame>(&e);
  const size_t Before = e.Console->Lines.Strings.size();
  e.Command->Queue("map broken\nmap sound\n");
  e.Command->ExecuteCommandBuffer();
  std::vector<std::string> Lines(e.Console->Lines.Strings.begin() + long(Before), e.Console->Lines.Strings.end());
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0], std::string(1, '\0') + char(12) + "ERROR: Map \"broken\" could not be loaded");
  EXPECT_TRUE(e.BSP);
}
