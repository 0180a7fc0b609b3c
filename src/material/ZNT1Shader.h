#pragma once
// Materials parsed from the material scripts, and the material library.
class TZNT1Engine;

class TZNT1Shaders {
 public:
  explicit TZNT1Shaders(TZNT1Engine* AEngine) : Engine(AEngine) {}
  // Reads every material script of the archives.
  void Load() {}
  void Sort() {}
  void Upload() {}
  void Dispose() {}
  void ResetRemappedShader() {}

  TZNT1Engine* Engine;
};
