#pragma once
// Named settings: a text value with float and integer readings, CVAR_ flags that protect or
// defer changes, and optional numeric validation that replaces bad values with a warning.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1StringHashMap.h"

class TZNT1Engine;
class TZNT1ConsoleVariables;

class TZNT1ConsoleVariable {
 public:
  // The registry makes variables (CreateVariable) and owns them.
  explicit TZNT1ConsoleVariable(TZNT1ConsoleVariables* AConsoleVariables);
  ~TZNT1ConsoleVariable();
  TZNT1ConsoleVariable(const TZNT1ConsoleVariable&) = delete;
  TZNT1ConsoleVariable& operator=(const TZNT1ConsoleVariable&) = delete;

  // The only way to change a variable. An empty Value means ResetString.
  void SetValue(const std::string& Value, bool Force);
  // The value as validation leaves it (unchanged unless Validate is on).
  std::string DoValidate(const std::string& Value, bool Warning);
  // A second creation of this variable's name.
  void GetValue(const std::string& Value, uint32_t NewFlags);

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

 private:
  void Warn(const std::string& Text) const;
  void Store(const std::string& Value);
};

class TZNT1ConsoleVariables {
 public:
  // AEngine may be nullptr; messages then go nowhere.
  explicit TZNT1ConsoleVariables(TZNT1Engine* AEngine);
  ~TZNT1ConsoleVariables();
  TZNT1ConsoleVariables(const TZNT1ConsoleVariables&) = delete;
  TZNT1ConsoleVariables& operator=(const TZNT1ConsoleVariables&) = delete;

  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  TZNT1ConsoleVariable* GetVariable(const std::string& Name) const;
  // ContentString of the variable, empty when there is none.
  std::string GetString(const std::string& Name) const;
  // 0, name, 0, value for each variable sharing a flag with Mask (quote- and ";"-free ones only).
  std::string GetInfoString(uint32_t Mask) const;
  // Makes a new variable, or re-creates an existing one through its GetValue.
  TZNT1ConsoleVariable* CreateVariable(const std::string& Name, const std::string& Value, uint32_t Flags);

  // Appends a line to the engine's console, when there is one.
  void WriteLine(const std::string& Text) const;

  TZNT1Engine* Engine;
  std::vector<std::unique_ptr<TZNT1ConsoleVariable>> Items;  // creation order
  TZNT1StringHashMap HashMap;                                 // name -> variable, case-sensitive
  uint32_t ModifiedFlags = 0;
};

// The integer reading of a value: a plain decimal integer (one optional sign, digits only)
// within 32 bits, else 0.
int32_t ConsoleValueToInteger(const std::string& Value);
