#pragma once
// The program's engine and game on a window of their own, stepped frame by frame on a fixed clock:
// real maps as a player sees them (entities, items, the weapon in hand), placed at chosen spots,
// for pictures, pixel checks and frame timing.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1Math.h"

class TZNT1Engine;
class TGame;
class TGameClient;

class GameViewEngine {
 public:
  struct TSpot {
    TZNT1Vector3 Origin{};
    float Yaw = 0.0f;  // degrees
  };

  // FullQuality selects the vendor string the driver reports (Mesa reads it when the context is
  // made); Width x Height is the window. Ready() tells whether the engine started.
  GameViewEngine(const std::string& ContentDir, int32_t Width, int32_t Height, bool FullQuality);
  ~GameViewEngine();
  GameViewEngine(const GameViewEngine&) = delete;
  GameViewEngine& operator=(const GameViewEngine&) = delete;

  bool Ready() const { return Ready_; }
  const std::string& Error() const { return Error_; }

  // The "map" command as typed; true when the map and its player are there.
  bool LoadMap(const std::string& Name);
  // Milliseconds from the last LoadMap's command until its loading screen was first on screen
  // (drawn and swapped); negative when none was drawn.
  double LoadingScreenMs() const { return LoadingScreenMs_; }
  // Whether the map loaded before was still there when that first loading screen was drawn.
  bool LoadingScreenOverOldMap() const { return LoadingScreenOverOldMap_; }
  // Where "r" takes the player, in its order; entry 0 is where a map load puts it.
  std::vector<TSpot> Spawns() const;
  // The player stands at Origin (a spawn point's origin) looking along Yaw and Pitch (degrees),
  // as a respawn puts it there: full health, gauntlet and shotgun.
  void Place(const TZNT1Vector3& Origin, float YawDegrees, float PitchDegrees = 0.0f);
  bool PlaceAtSpawn(size_t Index);

  // Runs the game for Seconds in 60 Hz steps without drawing.
  void Advance(double Seconds);
  // One frame as the main loop makes it: game steps for Seconds, draw, render, console, then
  // (when Pixels is given) the picture read from the back buffer, RGB rows top first, and the
  // swap. Waits for the driver to finish; returns the frame's wall time in milliseconds.
  double Frame(double Seconds = 1.0 / 60.0, std::vector<uint8_t>* Pixels = nullptr);

  // PNG of an RGB picture of this window's size; false when it cannot be written.
  bool WritePNG(const std::string& Path, const std::vector<uint8_t>& Pixels) const;
  // Mean luma (0.299 R + 0.587 G + 0.114 B) of the central Fraction of the picture (1 = whole).
  double MeanLuma(const std::vector<uint8_t>& Pixels, double Fraction = 0.5) const;

  TZNT1Engine& Engine() { return *Engine_; }
  TGame& Game();
  TGameClient* Client();
  int32_t Width() const { return Width_; }
  int32_t Height() const { return Height_; }

 private:
  std::unique_ptr<TZNT1Engine> Engine_;
  double LoadingScreenMs_ = -1.0;
  bool LoadingScreenOverOldMap_ = false;
  int32_t Width_, Height_;
  bool Ready_ = false;
  std::string Error_;
};
