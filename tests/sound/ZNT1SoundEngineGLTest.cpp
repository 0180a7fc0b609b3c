#include <gtest/gtest.h>

#include <chrono>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "sound/ZNT1Sound.h"
#include "sound/SoundEngineTestSupport.h"
#include "support/EngineRunFixture.h"
#include "support/SoundTestSupport.h"
#include "support/TestData.h"

using namespace soundtest;

namespace {

// Loads a sound on the main thread, plays it once from the sound hook, quits after 1.5 s.
class SoundGame : public TimedSoundGame<0> {
 public:
  using TimedSoundGame::TimedSoundGame;
  void UpdateSounds() override {
    if (Sample && !Played) {
      Played = true;
      Sample->Play(0.5f, 0.0f, 1.0f, nullptr);
    }
  }
  static inline bool Played = false;
};

}  // namespace

class SoundEngineGL : public EngineRunFixture {};

TEST_F(SoundEngineGL, RunningEngineWritesTheMixToTheDiskDriver) {
  REQUIRE_CONTENT_DIR();
  CatchMix();
  auto engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<SoundGame>, false);
  ASSERT_TRUE(MountContent(*engine));
  const Bytes wav = [&] {
    std::unique_ptr<TMemoryStream> s = engine->Archives->ExtractFile("sound/items/m_health.wav");
    return s ? s->Data : Bytes{};
  }();
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_TRUE(engine->Run()) << engine->InitError;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  engine.reset();
  EXPECT_TRUE(SoundGame::Played);

  const Bytes raw = CaughtMix();
  // About real time: 44,100 frames of 4 bytes a second.
  EXPECT_GT(raw.size(), 176400 * 1.0);
  EXPECT_LT(raw.size(), 176400 * (seconds + 0.5));

  const RiffInfo info = WalkRiff(wav);
  ASSERT_TRUE(info.Ok);
  ASSERT_EQ(info.Rate, 44100u);
  ASSERT_EQ(info.Channels, 1);
  std::vector<int32_t> expected;
  for (uint32_t i = 0; i < info.DataSize / (info.Bits / 8); ++i) {
    const int32_t s = info.Bits == 8 ? (wav[info.DataOffset + i] - 128) * 256
                                     : static_cast<int16_t>(Get16(&wav[info.DataOffset + i * 2]));
    expected.push_back(s * 11585 / 32768);
  }
  size_t firstExpected = 0;
  while (firstExpected < expected.size() && expected[firstExpected] == 0) ++firstExpected;
  ASSERT_LT(firstExpected, expected.size());
  const size_t frames = raw.size() / 4;
  size_t first = 0;
  auto left = [&](size_t f) { return static_cast<int16_t>(Get16(&raw[f * 4])); };
  auto right = [&](size_t f) { return static_cast<int16_t>(Get16(&raw[f * 4 + 2])); };
  while (first < frames && left(first) == 0 && right(first) == 0) ++first;
  ASSERT_LT(first, frames);
  size_t compared = 0;
  for (size_t k = firstExpected; k < expected.size() && first + k - firstExpected < frames; ++k, ++compared) {
    const size_t f = first + k - firstExpected;
    ASSERT_EQ(left(f), expected[k]) << k;
    ASSERT_EQ(right(f), expected[k]) << k;
  }
  EXPECT_GT(compared, 10000u);
}
