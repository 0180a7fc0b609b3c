#pragma once
// A game for the running-engine sound tests: loads one content sound, lets the test play it
// from the sound hook, and quits after 1.5 s.
#include <SDL2/SDL.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "sound/ZNT1Sound.h"

namespace soundtest {

// Loop is the sample library's loop argument; each value is its own game with its own state.
template <uint32_t Loop>
class TimedSoundGame : public TZNT1Game {
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
      Sample = s->Samples->Load("sound/items/m_health.wav", file.get(), Loop, 1);
      s->Unlock();
    }
    if (now - Start > std::chrono::milliseconds(1500) && !quitting) {
      quitting = true;
      SDL_Event quit{};
      quit.type = SDL_QUIT;
      SDL_PushEvent(&quit);
    }
  }
  static inline TZNT1SoundSample* Sample = nullptr;
  static inline std::chrono::steady_clock::time_point Start;
  bool started = false, quitting = false;
};

}  // namespace soundtest
