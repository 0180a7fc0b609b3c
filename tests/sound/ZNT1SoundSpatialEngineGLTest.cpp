#include <gtest/gtest.h>

#include <cmath>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "sound/ZNT1Sound.h"
#include "sound/SoundEngineTestSupport.h"
#include "support/EngineRunFixture.h"
#include "support/SoundTestSupport.h"
#include "support/TestData.h"

using namespace soundtest;

namespace {

// Plays a looping sound 200 units to the listener's right from the sound hook; quits after 1.5 s.
class PlacedSoundGame : public TimedSoundGame<2> {
 public:
  using TimedSoundGame::TimedSoundGame;
  void UpdateSounds() override {
    if (!Sample) return;
    if (Voice < 0) Voice = Sample->Play(1.0f, 0.0f, 1.0f, nullptr);
    Sample->SetPosition(Voice, 1, Vector3(0, -200, 0), Vector3(0, 0, 0));
    Mode = Engine->SoundSystem->SpatializationMode;
  }
  static inline int32_t Voice = -1, Mode = -1;
};

}  // namespace

class SoundSpatialEngineGL : public EngineRunFixture {};

TEST_F(SoundSpatialEngineGL, SourceOnTheRightIsLouderThereAndLateOnTheLeft) {
  REQUIRE_CONTENT_DIR();
  CatchMix();
  auto engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<PlacedSoundGame>, false);
  ASSERT_TRUE(MountContent(*engine));
  ASSERT_TRUE(engine->Run()) << engine->InitError;
  engine.reset();
  EXPECT_EQ(PlacedSoundGame::Mode, SPATIALIZATION_PSEUDO);

  const Bytes raw = CaughtMix();
  const size_t frames = raw.size() / 4;
  ASSERT_GT(frames, 44100u);
  std::vector<double> left(frames), right(frames);
  for (size_t f = 0; f < frames; ++f) {
    left[f] = static_cast<int16_t>(Get16(&raw[f * 4]));
    right[f] = static_cast<int16_t>(Get16(&raw[f * 4 + 2]));
  }
  double energyLeft = 0, energyRight = 0;
  for (size_t f = 0; f < frames; ++f) energyLeft += left[f] * left[f], energyRight += right[f] * right[f];
  EXPECT_GT(energyRight, 4 * energyLeft);
  EXPECT_GT(energyLeft, 0);
  // The left channel is the right one, damped and late: find the lag by cross-correlation.
  int best = 0;
  double bestValue = -1e300;
  for (int lag = -40; lag <= 40; ++lag) {
    double sum = 0;
    for (size_t f = 64; f + 64 < frames; ++f) sum += left[f] * right[static_cast<size_t>(static_cast<long>(f) - lag)];
    if (sum > bestValue) bestValue = sum, best = lag;
  }
  EXPECT_GE(best, 22);
  EXPECT_LE(best, 24);
}
