#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "sound/ZNT1Sound.h"
#include "support/SoundTestSupport.h"
#include "support/TestData.h"

using namespace soundtest;

namespace {

// Plays a looping sound 200 units to the listener's right from the sound hook; quits after 1.5 s.
class PlacedSoundGame : public TZNT1Game {
 public:
  using TZNT1Game::TZNT1Game;
  void Update(double) override {
    const auto now = std::chrono::steady_clock::now();
    if (!started) {
      started = true;
      Start = now;
      TZNT1SoundSystem* s = Engine->SoundSystem.get();
      s->Lock();
      std::unique_ptr<TMemoryStream> file = Engine->Archives->ExtractFile("sound/items/m_health.wav");
      Sample = s->Samples->Load("sound/items/m_health.wav", file.get(), 2, 1);
      s->Unlock();
    }
    if (now - Start > std::chrono::milliseconds(1500) && !quitting) {
      quitting = true;
      SDL_Event quit{};
      quit.type = SDL_QUIT;
      SDL_PushEvent(&quit);
    }
  }
  void UpdateSounds() override {
    if (!Sample) return;
    if (Voice < 0) Voice = Sample->Play(1.0f, 0.0f, 1.0f, nullptr);
    Sample->SetPosition(Voice, 1, Vector3(0, -200, 0), Vector3(0, 0, 0));
    Mode = Engine->SoundSystem->SpatializationMode;
  }
  static inline TZNT1SoundSample* Sample = nullptr;
  static inline int32_t Voice = -1, Mode = -1;
  static inline std::chrono::steady_clock::time_point Start;
  bool started = false, quitting = false;
};

}  // namespace

TEST(SoundSpatialEngineGL, SourceOnTheRightIsLouderThereAndLateOnTheLeft) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) {
    if (testdata::InCI()) FAIL() << "no display in CI";
    GTEST_SKIP() << "no display";
  }
  REQUIRE_CONTENT_DIR();
  char tmpl[] = "/tmp/znt1-disk-XXXXXX";
  const std::filesystem::path folder = ::mkdtemp(tmpl);
  const std::string output = (folder / "mix.raw").string();
  ::setenv("SDL_AUDIODRIVER", "disk", 1);
  ::setenv("SDL_DISKAUDIOFILE", output.c_str(), 1);
  auto engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<PlacedSoundGame>, false);
  ASSERT_TRUE(engine->Archives->LoadDirectory(testdata::ContentDir() + "/"));
  engine->Archives->Finish();
  ASSERT_TRUE(engine->Run()) << engine->InitError;
  engine.reset();
  ::setenv("SDL_AUDIODRIVER", "dummy", 1);
  EXPECT_EQ(PlacedSoundGame::Mode, SPATIALIZATION_PSEUDO);

  const Bytes raw = testdata::ReadFile(output);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
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
