// The running program with SDL's disk audio driver on the generated movement hall (no music, no
// speakers): the output stays silent while the player stands and sounds once it jumps.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "game/Game.h"
#include "game/GameClient.h"
#include "support/BSPWriter.h"
#include "support/EngineRunFixture.h"
#include "support/TestData.h"

namespace {

// Loads the hall on its first tick, stands for a second, holds jump, quits once half a second more
// has been written.
class JumpGame : public TGame {
 public:
  using TGame::TGame;
  void Update(double DeltaTime) override {
    const auto Now = std::chrono::steady_clock::now();
    if (!Loaded) {
      Loaded = true;
      LoadMap("move");
      Start = Now;
    }
    const double t = std::chrono::duration<double>(Now - Start).count();
    if (LocalClientInstance && t > 1.0 && !Jumped) {
      Jumped = true;
      // Everything written so far was mixed while the player stood.
      BytesBeforeJump = std::filesystem::exists(Output) ? std::filesystem::file_size(Output) : 0;
      LocalClientInstance->CommandFlags |= gccfJUMP;
    }
    // Half a second of output after the jump, however slowly a loaded machine writes it.
    const uintmax_t Written = Jumped && std::filesystem::exists(Output) ? std::filesystem::file_size(Output) : 0;
    if (!Quitting && ((Jumped && Written >= BytesBeforeJump + 44100 * 4 / 2) || t > 20.0)) {
      Quitting = true;
      SDL_Event Quit{};
      Quit.type = SDL_QUIT;
      SDL_PushEvent(&Quit);
    }
    TGame::Update(DeltaTime);
  }
  static inline std::string Output;
  static inline uintmax_t BytesBeforeJump = 0;
  static inline bool Jumped = false;
  bool Loaded = false, Quitting = false;
  std::chrono::steady_clock::time_point Start;
};

}  // namespace

class GameClientSoundGL : public EngineRunFixture {};

TEST_F(GameClientSoundGL, DiskOutputSilentStandingAndNotAfterAJump) {
  REQUIRE_CONTENT_DIR();
  CatchMix();
  JumpGame::Output = MixFile;
  auto Engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<JumpGame>, false);
  ASSERT_TRUE(MountContent(*Engine, {{"maps/move.bsp", bspwriter::MakeMovementFixture().File.Build()}}));
  ASSERT_TRUE(Engine->Run()) << Engine->InitError;
  Engine.reset();
  ASSERT_TRUE(JumpGame::Jumped);

  const std::vector<uint8_t> Raw = CaughtMix();
  ASSERT_GT(Raw.size(), JumpGame::BytesBeforeJump + 4 * 4410);
  size_t FirstSound = Raw.size();
  for (size_t i = 0; i < Raw.size(); ++i)
    if (Raw[i]) {
      FirstSound = i;
      break;
    }
  std::printf("%zu bytes written, %ju while standing, first sound at byte %zu\n", Raw.size(),
              JumpGame::BytesBeforeJump, FirstSound);
  EXPECT_GT(JumpGame::BytesBeforeJump, 4u * 11025u) << "a quarter second of standing was written";
  EXPECT_GE(FirstSound, JumpGame::BytesBeforeJump) << "silent while standing";
  EXPECT_LT(FirstSound, Raw.size()) << "the jump is heard";
}
