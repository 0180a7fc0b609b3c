#pragma once
// MD3 models and the model library.
class TZNT1Engine;

class TZNT1Models {
 public:
  explicit TZNT1Models(TZNT1Engine* AEngine) : Engine(AEngine) {}
  void Upload() {}
  void Dispose() {}

  TZNT1Engine* Engine;
};
