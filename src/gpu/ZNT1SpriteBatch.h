#pragma once
// Batched 2D quads: console, loading screen.
class TZNT1Engine;

class TZNT1SpriteBatch {
 public:
  explicit TZNT1SpriteBatch(TZNT1Engine* AEngine) : Engine(AEngine) {}
  void Setup() {}

  TZNT1Engine* Engine;
};
