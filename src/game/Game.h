#pragma once
// The game's implementation of the game interface: map loading, input bindings, ticks, drawing and the sound hook.
#include <memory>

#include "core/ZNT1Game.h"

class TGameEntities;
class TGameEntityClient;
class TGameClient;

class TGame : public TZNT1Game {
 public:
  explicit TGame(TZNT1Engine* AEngine);
  // Frees the entity list.
  ~TGame() override;

  void Reset() override;
  void Init() override;
  void Shutdown() override;
  // Under the sound system's lock: frees the entities, then the engine's map.
  void UnloadMap() override;
  // Under the sound system's lock: the engine's map, entities, local player, upload, sounds;
  // then the loading screen ends and the console closes, also when the map is missing.
  void LoadMap(const std::string& MapName) override;
  // Key and mouse bindings; always false.
  bool ProcessSDLEvent(const SDL_Event* Event) override;
  // Walk and duck from the modifier keys, once per frame.
  void UpdateInput() override;
  void Update(double DeltaTime) override;
  // Places the entities for the frame and hands camera, light and water effect to the renderer.
  void Draw(float Interpolation, float DeltaTime) override;
  // The sound hook, on the mixing thread under the sound system's lock.
  void UpdateSounds() override;
  // The entity list's clock while a map is loaded, else the engine's.
  double GetTime() override;

  // Mouse look: 0.0025 radians per pixel; yaw kept in [0, 2 pi), pitch in [-pi/2, pi/2].
  void MoveLookLocked(float xDelta, float yDelta);

  std::unique_ptr<TGameEntities> GameEntities;
  TGameEntityClient* LocalClientEntity = nullptr;
  TGameClient* LocalClientInstance = nullptr;
  bool DuckPerC = false;
  // Whether a load ends by drawing the map under the loading screen (see WarmUpViews), and how
  // long that took at the last load, in seconds; for measuring what it costs.
  bool WarmUpOnLoad = true;
  double LastWarmUpSeconds = 0.0;

 private:
  void FreeEntities();
  // Draws everything the loaded map holds once, under the loading screen, from the player's
  // place: a driver that builds its fragment code on first use (a software rasterizer takes
  // seconds for a whole map) does so during the load, not in play.
  void WarmUpViews();
};
