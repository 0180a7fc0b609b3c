#pragma once
// The drop-down console: line list (the system's message channel), input line and history.
#include <cstdint>
#include <string>

#include "core/ZNT1StringList.h"

class TZNT1Engine;

class TZNT1Console {
 public:
  explicit TZNT1Console(TZNT1Engine* AEngine);
  virtual ~TZNT1Console();

  virtual void Upload();
  virtual void Dispose();
  // Draws the console over the frame; DeltaTime in timer ticks.
  void Draw(int64_t DeltaTime);

  void KeyLeft();
  void KeyRight();
  void KeyUp();
  void KeyDown();
  void KeyEnter();
  void KeyEscape();
  void KeyBegin();
  void KeyEnd();
  void KeyDelete();
  void KeyBackspace();
  void KeyChar(char c);

  TZNT1Engine* Engine;
  TStringList Lines;
  TStringList History;
  int32_t HistoryPosition = -1;
  std::string Line;
  int32_t LinePosition = 1;
  int32_t LineFirstPosition = 1;
  bool Focus = false;
  float FocusFactor = 0.0f;
};
