#pragma once
// The game interface through which the engine drives the game.
#include <SDL2/SDL.h>

#include <memory>
#include <string>

class TZNT1Engine;

class TZNT1Game {
 public:
  explicit TZNT1Game(TZNT1Engine* AEngine) : Engine(AEngine) {}
  virtual ~TZNT1Game() = default;

  virtual void Reset() {}
  virtual void Init() {}
  virtual void Shutdown() {}
  virtual void UnloadMap() {}
  virtual void LoadMap(const std::string& MapName) {}
  virtual bool ProcessSDLEvent(const SDL_Event* Event) { return false; }
  virtual void UpdateInput() {}
  virtual void Update(double DeltaTime) {}
  virtual void Draw(float Interpolation, float DeltaTime) {}
  virtual void UpdateSounds() {}
  virtual double GetTime();

  TZNT1Engine* Engine;
};

// The "class reference" handed to the engine: makes a game object. Construction stores the
// engine and then Reset runs on the finished object, so a descendant's Reset is the one called.
using TZNT1GameClass = std::unique_ptr<TZNT1Game> (*)(TZNT1Engine* AEngine);

template <class T>
std::unique_ptr<TZNT1Game> CreateGameOfClass(TZNT1Engine* AEngine) {
  std::unique_ptr<TZNT1Game> g = std::make_unique<T>(AEngine);
  g->Reset();
  return g;
}
