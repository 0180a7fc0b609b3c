#pragma once
// The game's implementation of the game interface.
#include "core/ZNT1Game.h"

class TGame : public TZNT1Game {
 public:
  explicit TGame(TZNT1Engine* AEngine);
  ~TGame() override;

  void Reset() override;
  void Init() override;
  void Shutdown() override;
  void UnloadMap() override;
  void LoadMap(const std::string& MapName) override;
  bool ProcessSDLEvent(const SDL_Event* Event) override;
  void UpdateInput() override;
  void Update(double DeltaTime) override;
  void Draw(float Interpolation, float DeltaTime) override;
  void UpdateSounds() override;
  double GetTime() override;
};
