#include "core/ZNT1ConsoleVariable.h"

#include <cmath>

#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"
#include "core/ZefuStringToDouble.h"

namespace {

const std::string Yellow = ConsoleColorCode(ZNT1ConsoleColors::Yellow);

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

// A whole number as plain decimal text; beyond 64 bits the shortest float text has to do.
std::string TruncatedIntegerText(double f) {
  const double t = std::trunc(f);
  if (std::fabs(t) < 9.2e18) return std::to_string(static_cast<int64_t>(t));
  return FloatToString(t);
}

bool IsPlainInteger(const std::string& s) {
  size_t i = (!s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
  if (i >= s.size()) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

}  // namespace

int32_t ConsoleValueToInteger(const std::string& Value) {
  size_t i = 0;
  bool Negative = false;
  if (i < Value.size() && (Value[i] == '-' || Value[i] == '+')) Negative = Value[i++] == '-';
  if (i >= Value.size()) return 0;
  int64_t n = 0;
  for (; i < Value.size(); ++i) {
    const char c = Value[i];
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
    if (n > 2147483648LL) return 0;
  }
  if (Negative) n = -n;
  if (n > INT32_MAX) return 0;
  return static_cast<int32_t>(n);
}

// ---- TZNT1ConsoleVariable ----

TZNT1ConsoleVariable::TZNT1ConsoleVariable(TZNT1ConsoleVariables* AConsoleVariables)
    : ConsoleVariables(AConsoleVariables) {}

TZNT1ConsoleVariable::~TZNT1ConsoleVariable() {
  if (ConsoleVariables && !Name.empty()) ConsoleVariables->HashMap.Delete(Name);
}

void TZNT1ConsoleVariable::Warn(const std::string& Text) const {
  if (ConsoleVariables) ConsoleVariables->WriteLine(Yellow + Text);
}

void TZNT1ConsoleVariable::Store(const std::string& Value) {
  Modified = true;
  ++ModificationCount;
  ContentString = Value;
  FloatValue = StringToFloat(Value);
  IntegerValue = ConsoleValueToInteger(Value);
}

std::string TZNT1ConsoleVariable::DoValidate(const std::string& Value, bool Warning) {
  // An empty value is validated too: it stands for a reset value that may be empty or out of range.
  if (!Validate) return Value;
  const std::string Prefix = "Warning: cvar " + Quoted(Name);
  auto Say = [&](const std::string& Text) {
    if (Warning) Warn(Prefix + Text);
  };
  auto Bound = [this](double b) { return Integral ? TruncatedIntegerText(b) : FloatToString(b); };

  bool OK = false;
  double f = ZefuConvertStringToDouble(Value, zstod_ROUND_TO_NEAREST, &OK, -1);
  bool Changed = false;
  if (OK && !std::isnan(f)) {
    if (Integral && std::isfinite(f) && f != std::trunc(f)) {
      Say(" must be integral");
      f = std::trunc(f);
      Changed = true;
    } else if (Integral && !IsPlainInteger(Value)) {
      // 1e3, 0x400 or 1024abc read as numbers, but the integer reading would be 0: write it out.
      Changed = true;
    }
  } else {
    Say(" must be numeric");
    f = StringToFloat(ResetString);
    Changed = true;
  }
  if (f < Min) {
    Say(" is out of range (min " + Bound(Min) + ")");
    f = Min;
    Changed = true;
  }
  if (f > Max) {
    Say(" is out of range (max " + Bound(Max) + ")");
    f = Max;
    Changed = true;
  }
  if (!Changed) return Value;
  const std::string Result = Integral ? TruncatedIntegerText(f) : FloatToString(f);
  Say(" setting to " + Result);
  return Result;
}

void TZNT1ConsoleVariable::GetValue(const std::string& AValue, uint32_t NewFlags) {
  const std::string Value = DoValidate(AValue, true);
  if (Flags & CVAR_USER_CREATED) {
    Flags &= ~CVAR_USER_CREATED;
    ResetString = Value;
    if (Flags & CVAR_ROM) LatchedString = Value;
  }
  // These two mark where a variable came from; a later creation cannot claim them.
  if (!(Flags & CVAR_SCRIPT_CREATED)) NewFlags &= ~CVAR_SCRIPT_CREATED;
  if (!(Flags & CVAR_SERVER_CREATED)) NewFlags &= ~CVAR_SERVER_CREATED;
  Flags |= NewFlags;
  if (ResetString.empty())
    ResetString = Value;
  else
    Warn("Warning: cvar " + Quoted(Name) + " given initial values: " + Quoted(ResetString) + " and " +
         Quoted(Value));
  if (!LatchedString.empty()) {
    // A pending value is taken now, past the protection that deferred it.
    std::string Pending;
    Pending.swap(LatchedString);
    SetValue(Pending, true);
  }
  if (ConsoleVariables) ConsoleVariables->ModifiedFlags |= NewFlags;
}

void TZNT1ConsoleVariable::SetValue(const std::string& AValue, bool Force) {
  const std::string Value = DoValidate(AValue.empty() ? ResetString : AValue, true);

  if ((Flags & CVAR_LATCH) && !LatchedString.empty()) {
    if (Value == ContentString) {
      LatchedString.clear();
      return;
    }
    if (Value == LatchedString) return;
  } else if (Value == ContentString) {
    return;
  }

  if (ConsoleVariables) ConsoleVariables->ModifiedFlags |= Flags;

  if (Force) {
    LatchedString.clear();
  } else {
    if (Flags & CVAR_ROM) {
      Warn(Name + " is read only.");
      return;
    }
    if (Flags & CVAR_INIT) {
      Warn(Name + " is write protected.");
      return;
    }
    if (Flags & CVAR_LATCH) {
      if (!LatchedString.empty()) {
        if (Value == LatchedString) return;
        LatchedString.clear();
      } else if (Value == ContentString) {
        return;
      }
      Warn(Name + " will be changed upon restarting.");
      LatchedString = Value;
      Modified = true;
      ++ModificationCount;
      return;
    }
    if (Flags & CVAR_CHEAT) {
      Warn(Name + " is cheat protected.");
      return;
    }
    if (Value == ContentString) return;
  }
  Store(Value);
}

// ---- TZNT1ConsoleVariables ----

TZNT1ConsoleVariables::TZNT1ConsoleVariables(TZNT1Engine* AEngine) : Engine(AEngine) {}

TZNT1ConsoleVariables::~TZNT1ConsoleVariables() { Items.clear(); }

void TZNT1ConsoleVariables::WriteLine(const std::string& Text) const {
  if (Engine && Engine->Console) Engine->Console->Lines.Add(Text);
}

TZNT1ConsoleVariable* TZNT1ConsoleVariables::GetVariable(const std::string& Name) const {
  return static_cast<TZNT1ConsoleVariable*>(HashMap.GetValue(Name));
}

std::string TZNT1ConsoleVariables::GetString(const std::string& Name) const {
  const TZNT1ConsoleVariable* v = GetVariable(Name);
  return v ? v->ContentString : std::string();
}

std::string TZNT1ConsoleVariables::GetInfoString(uint32_t Mask) const {
  auto Clean = [](const std::string& s) { return s.find_first_of("\";") == std::string::npos; };
  std::string Result;
  for (const auto& v : Items)
    if ((v->Flags & Mask) != 0 && Clean(v->Name) && Clean(v->ContentString)) {
      Result += '\0';
      Result += v->Name;
      Result += '\0';
      Result += v->ContentString;
    }
  return Result;
}

TZNT1ConsoleVariable* TZNT1ConsoleVariables::CreateVariable(const std::string& Name, const std::string& Value,
                                                            uint32_t Flags) {
  if (TZNT1ConsoleVariable* v = GetVariable(Name)) {
    v->GetValue(Value, Flags);
    return v;
  }
  Items.push_back(std::make_unique<TZNT1ConsoleVariable>(this));
  TZNT1ConsoleVariable* v = Items.back().get();
  v->Name = Name;
  HashMap.Add(Name, v);
  v->ContentString = Value;
  v->Flags = Flags;
  v->Modified = true;
  v->ModificationCount = 1;
  v->FloatValue = StringToFloat(Value);
  v->IntegerValue = ConsoleValueToInteger(Value);
  v->Validate = false;
  ModifiedFlags |= Flags;
  return v;
}
