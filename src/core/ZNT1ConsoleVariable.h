#pragma once
// Named settings with text, float and integer readings, flags and optional validation.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TZNT1Engine;
class TZNT1ConsoleVariables;

class TZNT1ConsoleVariable {
 public:
  explicit TZNT1ConsoleVariable(TZNT1ConsoleVariables* AConsoleVariables);

  void SetValue(const std::string& Value, bool Force);

  TZNT1ConsoleVariables* ConsoleVariables;
  std::string Name;
  std::string ContentString;
  std::string ResetString;
  std::string LatchedString;
  uint32_t Flags = 0;
  bool Modified = false;
  int32_t ModificationCount = 0;
  double FloatValue = 0.0;
  int32_t IntegerValue = 0;
  bool Validate = false;
  bool Integral = false;
  double Min = 0.0;
  double Max = 0.0;
};

class TZNT1ConsoleVariables {
 public:
  explicit TZNT1ConsoleVariables(TZNT1Engine* AEngine);
  ~TZNT1ConsoleVariables();

  TZNT1ConsoleVariable* GetVariable(const std::string& Name);
  TZNT1ConsoleVariable* CreateVariable(const std::string& Name, const std::string& Value, uint32_t Flags);

  TZNT1Engine* Engine;
  std::vector<std::unique_ptr<TZNT1ConsoleVariable>> Items;
  uint32_t ModifiedFlags = 0;
};
