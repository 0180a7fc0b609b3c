#pragma once
// What the engine knows about the OpenGL implementation.
#include <cstdint>
#include <string>

class TZNT1Engine;

class TZNT1GLCapabilities {
 public:
  explicit TZNT1GLCapabilities(TZNT1Engine* AEngine) : Engine(AEngine) {}
  // Reads the current context; the context must be current.
  void Query();

  TZNT1Engine* Engine;
  std::string Vendor;
  std::string Renderer;
  std::string Version;
  std::string ShadingLanguageVersionString;
  uint32_t ShadingLanguageVersion = 0x100;
  std::string Extensions;
  int32_t MaxElementsVertices = 65536;
  int32_t MaxElementsIndices = 196608;
  int32_t MaxTextureSize = 2048;
  bool LowQuality = false;
};
