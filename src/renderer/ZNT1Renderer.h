#pragma once
// Draws one frame of the current view.
#include <cstdint>

class TZNT1Engine;

class TZNT1Renderer {
 public:
  explicit TZNT1Renderer(TZNT1Engine* AEngine) : Engine(AEngine) {}
  void Render();
  void ResetBSP() {}

  TZNT1Engine* Engine;
  uint32_t GLCalls = 0;
  uint32_t CountBatchItems = 0;
  uint32_t CountFlushs = 0;
};
