#pragma once
// GLSL programs and the program library.
class TZNT1Engine;

class TZNT1GLSLShaders {
 public:
  explicit TZNT1GLSLShaders(TZNT1Engine* AEngine) : Engine(AEngine) {}
  void Upload() {}
  void Dispose() {}

  TZNT1Engine* Engine;
};
