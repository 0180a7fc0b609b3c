#pragma once
// The loaded map.
#include <string>

class TZNT1Engine;
class TMemoryStream;

class TZNT1BSP {
 public:
  explicit TZNT1BSP(TZNT1Engine* AEngine) : Engine(AEngine) {}
  virtual ~TZNT1BSP() = default;

  // Reads and builds the map; false when it cannot be used (the engine then frees the object).
  bool Load(TMemoryStream& Stream, const std::string& ResourcePath, const std::string& AMapName);
  void Upload() {}
  void Dispose() {}

  TZNT1Engine* Engine;
};
