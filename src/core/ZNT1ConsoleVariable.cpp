#include "core/ZNT1ConsoleVariable.h"

#include <cstdlib>

TZNT1ConsoleVariable::TZNT1ConsoleVariable(TZNT1ConsoleVariables* AConsoleVariables)
    : ConsoleVariables(AConsoleVariables) {}

void TZNT1ConsoleVariable::SetValue(const std::string& Value, bool Force) {
  ContentString = Value;
  FloatValue = std::atof(Value.c_str());
  IntegerValue = std::atoi(Value.c_str());
  Modified = true;
  ++ModificationCount;
}

TZNT1ConsoleVariables::TZNT1ConsoleVariables(TZNT1Engine* AEngine) : Engine(AEngine) {}
TZNT1ConsoleVariables::~TZNT1ConsoleVariables() = default;

TZNT1ConsoleVariable* TZNT1ConsoleVariables::GetVariable(const std::string& Name) {
  for (auto& v : Items)
    if (v->Name == Name) return v.get();
  return nullptr;
}

TZNT1ConsoleVariable* TZNT1ConsoleVariables::CreateVariable(const std::string& Name, const std::string& Value,
                                                            uint32_t Flags) {
  if (TZNT1ConsoleVariable* v = GetVariable(Name)) return v;
  Items.push_back(std::make_unique<TZNT1ConsoleVariable>(this));
  TZNT1ConsoleVariable* v = Items.back().get();
  v->Name = Name;
  v->Flags = Flags;
  v->SetValue(Value, true);
  v->ModificationCount = 1;
  ModifiedFlags |= Flags;
  return v;
}
