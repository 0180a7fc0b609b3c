#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/ZNT1ConsoleVariable.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"

namespace {

const std::string Y("\0\x0e", 2);  // colour code 14, the warnings' colour

// An engine without a window: its console collects the messages, its own variables exist.
struct VariablesFixture : ::testing::Test {
  void SetUp() override {
    engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<TZNT1Game>, false);
    vars = engine->ConsoleVariables.get();
  }
  // Lines written since the last call.
  std::vector<std::string> Taken() {
    std::vector<std::string>& all = engine->Console->Lines.Strings;
    std::vector<std::string> r(all.begin() + static_cast<long>(seen), all.end());
    seen = all.size();
    return r;
  }
  TZNT1ConsoleVariable* Width() { return engine->cvVideoWidth; }

  std::unique_ptr<TZNT1Engine> engine;
  TZNT1ConsoleVariables* vars = nullptr;
  size_t seen = 0;
};

using Lines = std::vector<std::string>;

}  // namespace

TEST_F(VariablesFixture, ValidationReplacesBadValuesWithExactWarnings) {
  const std::string W = Y + "Warning: cvar \"v_width\"";
  struct Case {
    std::string value, stored;
    Lines lines;
  } cases[] = {
      {"abc", "160", {W + " must be numeric", W + " is out of range (min 160)", W + " setting to 160"}},
      {"1280.7", "1280", {W + " must be integral", W + " setting to 1280"}},
      {"-5.5", "160", {W + " must be integral", W + " is out of range (min 160)", W + " setting to 160"}},
      {"99999", "16384", {W + " is out of range (max 16384)", W + " setting to 16384"}},
      {"Infinity", "16384", {W + " is out of range (max 16384)", W + " setting to 16384"}},
      {"NaN", "160", {W + " must be numeric", W + " is out of range (min 160)", W + " setting to 160"}},
      {"1024", "1024", {}},
      {"160", "160", {}},
      // An empty value stands for the reset value, which is empty here: it is validated too.
      {"", "160", {W + " must be numeric", W + " is out of range (min 160)", W + " setting to 160"}},
      // Numbers whose integer reading would be 0 are written out as plain integers.
      {"1e3", "1000", {W + " setting to 1000"}},
      {"0x400", "1024", {W + " setting to 1024"}},
      {"1024abc", "1024", {W + " setting to 1024"}},
  };
  for (const Case& c : cases) {
    Width()->SetValue("1280", true);
    Taken();
    Width()->SetValue(c.value, false);
    EXPECT_EQ(Width()->ContentString, c.stored) << c.value;
    EXPECT_EQ(Width()->IntegerValue, std::stoi(c.stored)) << c.value;
    EXPECT_EQ(Width()->FloatValue, std::stod(c.stored)) << c.value;
    EXPECT_EQ(Taken(), c.lines) << c.value;
  }
}

TEST_F(VariablesFixture, ValidationOfFractionalRangesWritesShortestFloats) {
  TZNT1ConsoleVariable* v = vars->CreateVariable("r_gamma", "1", 0);
  v->Validate = true;
  v->Min = 0.5;
  v->Max = 2.5;
  const std::string W = Y + "Warning: cvar \"r_gamma\"";
  Taken();
  v->SetValue("0.1", false);
  EXPECT_EQ(v->ContentString, "0.5");
  EXPECT_EQ(Taken(), (Lines{W + " is out of range (min 0.5)", W + " setting to 0.5"}));
  v->SetValue("1.75", false);  // fractions are fine when the variable is not integral
  EXPECT_EQ(v->ContentString, "1.75");
  EXPECT_DOUBLE_EQ(v->FloatValue, 1.75);
  EXPECT_EQ(v->IntegerValue, 0);
  v->SetValue("x", false);  // the reset value (empty: 0) is clamped
  EXPECT_EQ(v->ContentString, "0.5");
  EXPECT_EQ(Taken(), (Lines{W + " must be numeric", W + " is out of range (min 0.5)", W + " setting to 0.5"}));
}

TEST_F(VariablesFixture, ProtectionFlagsRefuseWithOneLineUnlessForced) {
  struct Case {
    uint32_t flags;
    std::string line;  // after the colour code and the name
  } cases[] = {
      {CVAR_ROM, " is read only."},
      {CVAR_INIT, " is write protected."},
      {CVAR_CHEAT, " is cheat protected."},
      {CVAR_ROM | CVAR_INIT | CVAR_CHEAT, " is read only."},  // the first rule wins
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string name = "p" + std::to_string(n++);
    TZNT1ConsoleVariable* v = vars->CreateVariable(name, "1", c.flags);
    v->Modified = false;
    vars->ModifiedFlags = 0;
    Taken();
    v->SetValue("2", false);
    EXPECT_EQ(v->ContentString, "1") << name;
    EXPECT_FALSE(v->Modified) << name;
    EXPECT_EQ(v->ModificationCount, 1) << name;
    EXPECT_EQ(vars->ModifiedFlags, c.flags) << name;  // an attempted change still marks the flags
    EXPECT_EQ(Taken(), Lines{Y + name + c.line}) << name;
    v->SetValue("2", true);
    EXPECT_EQ(v->ContentString, "2") << name;
    EXPECT_EQ(v->IntegerValue, 2) << name;
    EXPECT_TRUE(v->Modified) << name;
    EXPECT_EQ(v->ModificationCount, 2) << name;
    EXPECT_TRUE(Taken().empty()) << name;
  }
}

TEST_F(VariablesFixture, LatchedVariablesDeferChanges) {
  TZNT1ConsoleVariable* d = engine->cvComDedicated;
  ASSERT_EQ(d->Flags, CVAR_LATCH);
  Taken();
  d->SetValue("1", false);
  EXPECT_EQ(Taken(), Lines{Y + "dedicated will be changed upon restarting."});
  EXPECT_EQ(d->LatchedString, "1");
  EXPECT_EQ(d->ContentString, "0");
  EXPECT_TRUE(d->Modified);
  EXPECT_EQ(d->ModificationCount, 2);
  d->SetValue("1", false);  // the same pending value: nothing
  EXPECT_TRUE(Taken().empty());
  EXPECT_EQ(d->ModificationCount, 2);
  d->SetValue("2", false);  // another value replaces the pending one
  EXPECT_EQ(Taken(), Lines{Y + "dedicated will be changed upon restarting."});
  EXPECT_EQ(d->LatchedString, "2");
  d->SetValue("0", false);  // back to the current value: the latch goes, silently
  EXPECT_TRUE(Taken().empty());
  EXPECT_EQ(d->LatchedString, "");
  EXPECT_EQ(d->ContentString, "0");
  EXPECT_EQ(d->ModificationCount, 3);
  d->SetValue("2", true);  // forced: taken at once
  EXPECT_EQ(d->ContentString, "2");
  EXPECT_EQ(d->LatchedString, "");
}

TEST_F(VariablesFixture, SecondCreationAppliesThePendingLatchedValue) {
  // The restart of a latched variable: its creation runs again and takes the pending value,
  // which the latch itself must not defer a second time.
  TZNT1ConsoleVariable* d = engine->cvComDedicated;
  d->SetValue("1", false);
  Taken();
  EXPECT_EQ(vars->CreateVariable("dedicated", "0", CVAR_LATCH), d);
  EXPECT_EQ(d->ContentString, "1");
  EXPECT_EQ(d->IntegerValue, 1);
  EXPECT_EQ(d->LatchedString, "");
  EXPECT_EQ(d->ResetString, "0");
  EXPECT_TRUE(Taken().empty());

  // A user-created variable that turns out read-only keeps the value of its real creation.
  TZNT1ConsoleVariable* u = vars->CreateVariable("ro", "7", CVAR_USER_CREATED | CVAR_ROM);
  u->SetValue("8", true);
  Taken();
  EXPECT_EQ(vars->CreateVariable("ro", "5", CVAR_ROM), u);
  EXPECT_EQ(u->ContentString, "5");
  EXPECT_EQ(u->ResetString, "5");
  EXPECT_EQ(u->Flags, CVAR_ROM);
  // The reset value was set by this very creation; it is still announced as a second one.
  EXPECT_EQ(Taken(), Lines{Y + "Warning: cvar \"ro\" given initial values: \"5\" and \"5\""});
}

TEST_F(VariablesFixture, SecondCreationMergesFlagsAndReportsInitialValues) {
  TZNT1ConsoleVariable* v = vars->CreateVariable("cg_fov", "90", CVAR_ARCHIVE);
  EXPECT_EQ(v->ResetString, "");  // a first creation sets no reset value
  EXPECT_EQ(v->ModificationCount, 1);
  EXPECT_TRUE(v->Modified);
  EXPECT_EQ(vars->CreateVariable("cg_fov", "100", CVAR_CHEAT | CVAR_SCRIPT_CREATED | CVAR_SERVER_CREATED), v);
  EXPECT_EQ(v->Flags, CVAR_ARCHIVE | CVAR_CHEAT);  // origin flags are only kept, never added
  EXPECT_EQ(v->ResetString, "100");
  EXPECT_EQ(v->ContentString, "90");
  Taken();
  vars->CreateVariable("cg_fov", "110", 0);
  EXPECT_EQ(Taken(), Lines{Y + "Warning: cvar \"cg_fov\" given initial values: \"100\" and \"110\""});
  EXPECT_EQ(v->ResetString, "100");

  TZNT1ConsoleVariable* s = vars->CreateVariable("sv_x", "1", CVAR_SCRIPT_CREATED);
  vars->CreateVariable("sv_x", "1", CVAR_SCRIPT_CREATED | CVAR_SERVER_CREATED);
  EXPECT_EQ(s->Flags, CVAR_SCRIPT_CREATED);
  EXPECT_EQ(vars->Count(), 6);  // four of the engine's, two here
}

TEST_F(VariablesFixture, NoChangeMeansNothingChanges) {
  TZNT1ConsoleVariable* v = vars->CreateVariable("a", "x", CVAR_ARCHIVE | CVAR_TEMP);
  v->Modified = false;
  vars->ModifiedFlags = 0;
  v->SetValue("x", false);
  EXPECT_FALSE(v->Modified);
  EXPECT_EQ(v->ModificationCount, 1);
  EXPECT_EQ(vars->ModifiedFlags, 0u);
  v->SetValue("X", false);  // comparisons are case-sensitive
  EXPECT_EQ(v->ContentString, "X");
  EXPECT_EQ(vars->ModifiedFlags, CVAR_ARCHIVE | CVAR_TEMP);
  // Without validation an empty value is the (empty) reset value.
  v->SetValue("", false);
  EXPECT_EQ(v->ContentString, "");
  EXPECT_EQ(v->ModificationCount, 3);
}

TEST_F(VariablesFixture, LookupsAndInfoString) {
  vars->CreateVariable("Name", "a", CVAR_USERINFO);
  vars->CreateVariable("q", "has\"quote", CVAR_USERINFO);
  vars->CreateVariable("s", "semi;colon", CVAR_USERINFO);
  vars->CreateVariable("k\"ey", "v", CVAR_USERINFO);
  vars->CreateVariable("other", "o", CVAR_SERVERINFO);
  vars->CreateVariable("b", "2", CVAR_USERINFO | CVAR_SERVERINFO);
  EXPECT_EQ(vars->GetVariable("name"), nullptr);  // names are case-sensitive
  ASSERT_NE(vars->GetVariable("Name"), nullptr);
  EXPECT_EQ(vars->GetString("Name"), "a");
  EXPECT_EQ(vars->GetString("missing"), "");
  EXPECT_EQ(vars->GetInfoString(CVAR_USERINFO), std::string("\0Name\0a\0b\0" "2", 11));
  EXPECT_EQ(vars->GetInfoString(CVAR_SERVERINFO), std::string("\0other\0o\0b\0" "2", 12));
  EXPECT_EQ(vars->GetInfoString(CVAR_SYSTEMINFO), "");
  // The list keeps creation order, the engine's four first.
  EXPECT_EQ(vars->Items[0]->Name, "dedicated");
  EXPECT_EQ(vars->Items[4]->Name, "Name");
}

TEST(ConsoleVariables, WorkWithoutAnEngine) {
  TZNT1ConsoleVariables vars(nullptr);
  TZNT1ConsoleVariable* v = vars.CreateVariable("w", "5", CVAR_ROM);
  v->Validate = true;
  v->Integral = true;
  v->Min = 1;
  v->Max = 10;
  v->SetValue("7", false);  // refused; the message goes nowhere
  EXPECT_EQ(v->ContentString, "5");
  v->SetValue("abc", true);
  EXPECT_EQ(v->ContentString, "1");
  vars.CreateVariable("w", "3", 0);
  EXPECT_EQ(v->ResetString, "3");
}

TEST(ConsoleVariables, IntegerReading) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {{"12", 12},         {"-3", -3},  {"+4", 4},  {"007", 7}, {"1.5", 0},
               {"abc", 0},         {"", 0},     {"-", 0},   {"1 ", 0},  {" 1", 0},
               {"2147483647", 2147483647},      {"2147483648", 0},      {"-2147483648", INT32_MIN},
               {"99999999999999999999", 0},     {"0x10", 0}};
  for (const Case& c : cases) EXPECT_EQ(ConsoleValueToInteger(c.text), c.value) << c.text;
}
