// Every map of the content archives, loaded and checked against an independent reading.
#include <chrono>
#include <cstring>

#include "world/WorldTestSupport.h"

using namespace worldtest;

TEST(BSPContent, EveryMapEntryLoads) {
  REQUIRE_CONTENT_DIR();
  const auto& Maps = ContentMaps();
  ASSERT_GE(Maps.size(), 100u);
  MapEngine Engine;
  for (const MapEntry& m : Maps) {
    SCOPED_TRACE(m.Archive + ":" + m.Name);
    const auto t0 = std::chrono::steady_clock::now();
    auto Map = LoadMapBytes(Engine, m.Data, m.Name);
    const auto t1 = std::chrono::steady_clock::now();
    EXPECT_TRUE(Map != nullptr);
    printf("%s %s %zu %.1f ms\n", m.Archive.c_str(), m.Name.c_str(), m.Data.size(),
           std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
}
