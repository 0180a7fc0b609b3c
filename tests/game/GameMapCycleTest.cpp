// Maps loaded one after another in one process: every unload gives back what its load took
// (materials, textures, light maps, models and their instances, samples), and the libraries,
// which keep descriptions, stop growing once each map of the cycle has been seen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "game/GameTestSupport.h"
#include "support/EngineHoldings.h"
#include "support/TestData.h"

namespace {

TEST(GameMapCycle, EachUnloadGivesBackWhatItsLoadTook) {
  REQUIRE_CONTENT_DIR();
  gametest::GameEngine Engine({}, true);
  TGame& g = Engine.MakeGame();
  const holdings::TInUse Empty = holdings::InUse(Engine);
  // oa_shouse brings models, materials and sounds that oa_dm1 does not use.
  const std::vector<std::string> Cycle = {"oa_dm1", "oa_shouse"};
  std::vector<holdings::TInUse> FirstRound;
  holdings::TLibraries AfterFirstRound;
  for (int Round = 0; Round < 2; ++Round) {
    for (size_t i = 0; i < Cycle.size(); ++i) {
      SCOPED_TRACE(Cycle[i] + " in round " + std::to_string(Round));
      g.LoadMap(Cycle[i]);
      ASSERT_TRUE(Engine.BSP);
      ASSERT_TRUE(g.LocalClientEntity);
      const holdings::TInUse Loaded = holdings::InUse(Engine);
      EXPECT_GT(Loaded.ReferencedMaterials, Empty.ReferencedMaterials);
      EXPECT_GT(Loaded.Samples, 0);
      if (Round == 0)
        FirstRound.push_back(Loaded);
      else
        EXPECT_EQ(Loaded, FirstRound[i]);
    }
    if (Round == 0) AfterFirstRound = holdings::Libraries(Engine);
  }
  EXPECT_EQ(holdings::Libraries(Engine), AfterFirstRound);
  g.UnloadMap();
  EXPECT_EQ(holdings::InUse(Engine), Empty);
  EXPECT_EQ(Engine.SoundSystem->Samples->Count(), 0);
}

}  // namespace
