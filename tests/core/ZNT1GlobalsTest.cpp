#include <gtest/gtest.h>

#include "core/ZNT1Globals.h"

#include <limits>

TEST(Interlocked, ExchangeAddReturnsOldValue) {
  int32_t v = 3;
  EXPECT_EQ(InterlockedExchangeAdd(v, -5), 3);
  EXPECT_EQ(v, -2);
  EXPECT_EQ(InterlockedExchange(v, 7), -2);
  EXPECT_EQ(v, 7);
  // -1/-1 reads without changing a value that is never -1.
  EXPECT_EQ(InterlockedCompareExchange(v, -1, -1), 7);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(InterlockedCompareExchange(v, 9, 7), 7);
  EXPECT_EQ(v, 9);
}

namespace {

std::bitset<256> Blanks() {
  std::bitset<256> c;
  for (int i = 0; i <= 32; ++i) c.set(i);
  return c;
}

}  // namespace

TEST(Globals, ParseCutsWords) {
  const std::bitset<256> Separators = Blanks();
  std::bitset<256> Version = Blanks();
  Version.set('.');
  Version.set(',');
  const struct {
    std::string In;
    std::bitset<256> Set;
    bool Continuous;
    int32_t DeleteOffset;
    std::string Word, Rest;
  } Cases[] = {
      {"map  q3dm1", Separators, true, 0, "map", "q3dm1"},
      {"map  q3dm1", Separators, false, 0, "map", " q3dm1"},
      {"quit", Separators, true, 0, "quit", ""},
      {"", Separators, true, 0, "", ""},
      {" lead", Separators, false, 0, "", "lead"},
      {"1.40 abc", Version, true, 0, "1", "40 abc"},
      {"40 abc", Version, true, 0, "40", "abc"},
      {"a=b", [] { std::bitset<256> e; e.set('='); return e; }(), false, -1, "a", "=b"},  // keep the delimiter
      {"ab,cd", Version, false, 1, "ab", "d"},
      {"ab,cd", Version, false, 10, "ab", ""},   // offset past the end empties s
      {"ab,cd", Version, false, -10, "ab", "ab,cd"},  // before the start removes nothing
      {"x \t\r\n", Separators, true, 0, "x", ""},
  };
  for (const auto& c : Cases) {
    std::string s = c.In;
    EXPECT_EQ(Parse(s, c.Set, c.Continuous, c.DeleteOffset), c.Word) << c.In;
    EXPECT_EQ(s, c.Rest) << c.In;
  }
}

TEST(Globals, ApplyColorOverbrightKeepsHue) {
  const struct {
    float In[3], Range, Factor, Out[3];
  } Cases[] = {
      {{1.0f, 0.5f, 0.25f}, 1.0f, 2.0f, {1.0f, 0.5f, 0.25f}},
      {{1.0f, 0.5f, 0.25f}, 1.0f, 4.0f, {1.0f, 0.5f, 0.25f}},
      {{0.25f, 0.125f, 0.0f}, 1.0f, 2.0f, {0.5f, 0.25f, 0.0f}},
      {{-0.5f, 0.5f, 0.25f}, 1.0f, 2.0f, {0.0f, 1.0f, 0.5f}},
      {{200.0f, 100.0f, 50.0f}, 255.0f, 2.0f, {255.0f, 127.5f, 63.75f}},
      {{10.0f, 20.0f, 30.0f}, 255.0f, 1.0f, {10.0f, 20.0f, 30.0f}},
  };
  for (const auto& c : Cases) {
    float r = c.In[0], g = c.In[1], b = c.In[2];
    ApplyColorOverbright(r, g, b, c.Range, c.Factor);
    EXPECT_FLOAT_EQ(r, c.Out[0]);
    EXPECT_FLOAT_EQ(g, c.Out[1]);
    EXPECT_FLOAT_EQ(b, c.Out[2]);
  }
}

TEST(Globals, RoundUpToPowerOfTwo) {
  const uint32_t Cases[][2] = {{0, 0},         {1, 1},          {2, 2},         {3, 4},
                               {1024, 1024},   {1025, 2048},    {0x80000000u, 0x80000000u},
                               {0x80000001u, 0}, {0xFFFFFFFFu, 0}};
  for (const auto& c : Cases) EXPECT_EQ(RoundUpToPowerOfTwo(c[0]), c[1]) << c[0];
}

TEST(Globals, AreBytesEqual) {
  const char a[] = "abcdef", b[] = "abcxef";
  EXPECT_TRUE(AreBytesEqual(a, b, 3));
  EXPECT_FALSE(AreBytesEqual(a, b, 4));
  EXPECT_TRUE(AreBytesEqual(a, b, 0));
  EXPECT_TRUE(AreBytesEqual(nullptr, nullptr, -5));
  EXPECT_FALSE(AreBytesEqual(nullptr, a, 1));
  EXPECT_FALSE(AreBytesEqual(a, nullptr, 1));
}

TEST(Globals, StringToFloat) {
  const struct {
    const char* Text;
    double Value;
  } Cases[] = {
      {"abc", 0.0},      {"1e3", 1000.0},  {"  -2.5", -2.5},   {"+.5", 0.5},      {"7 units", 7.0},
      {"0x10", 16.0},    {"0x1p4", 65536.0},  {"-0x8", -8.0},     {"", 0.0},         {"--1", 0.0},
      {"NaN", 0.0},      {"nan", 0.0},     {"inf", 0.0},       {"1e-400", 0.0},   {"3.0e", 0.0},
      {"0.1", 0.1},      {"1,5", 1.0},     {"0X10", 0.0},    {"1e3x", 1000.0},  {"0x1p-1", 0.0625},
      {"0x8p+1", 128.0}, {"2e+", 0.0},
  };
  for (const auto& c : Cases) EXPECT_EQ(StringToFloat(c.Text), c.Value) << c.Text;
  EXPECT_EQ(StringToFloat("Infinity"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(StringToFloat("-Infinity"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(StringToFloat("1e400"), std::numeric_limits<double>::infinity());
}

TEST(Globals, FloatToStringShortestRoundTrip) {
  const struct {
    double Value;
    const char* Text;
  } Cases[] = {
      {0.1, "0.1"},          {0.0, "0"},         {-0.0, "0"},        {1.0, "1"},         {-2.5, "-2.5"},
      {100.0, "100"},        {1e20, "100000000000000000000"},        {1e21, "1e+21"},    {123.45, "123.45"},
      {1e-6, "0.000001"},    {1e-7, "1e-7"},     {1.5e-7, "1.5e-7"}, {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},           {1.2345678901234568e20, "123456789012345680000"},
  };
  for (const auto& c : Cases) EXPECT_EQ(FloatToString(c.Value), c.Text) << c.Text;
  EXPECT_EQ(FloatToString(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(FloatToString(std::numeric_limits<double>::infinity()), "Infinity");
  EXPECT_EQ(FloatToString(-std::numeric_limits<double>::infinity()), "-Infinity");
  for (const double v : {0.3, 1.0 / 3.0, 123456.789, 6.02214076e23, -9.999e-5})
    EXPECT_EQ(StringToFloat(FloatToString(v)), v) << FloatToString(v);
}
