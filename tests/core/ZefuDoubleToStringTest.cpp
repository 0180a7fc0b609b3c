#include <gtest/gtest.h>

#include "core/ZefuDoubleToString.h"
#include "core/ZefuStringToDouble.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ZefuTestSupport.h"
#include "support/TestData.h"

namespace {

using zefutest::Bits;
using zefutest::FromBits;
using zefutest::RandomRounds;

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();
const double MaxDouble = std::numeric_limits<double>::max();
const double MinNormal = std::numeric_limits<double>::min();
const double MinSubnormal = std::numeric_limits<double>::denorm_min();

struct TWriteCase {
  double Value;
  int32_t Mode;
  int32_t Digits;
  const char* Expected;
};

void CheckCases(const std::vector<TWriteCase>& Cases) {
  for (const TWriteCase& c : Cases)
    EXPECT_EQ(ZefuConvertDoubleToString(c.Value, c.Mode, c.Digits), c.Expected)
        << c.Value << " mode " << c.Mode << " digits " << c.Digits;
}

// Random doubles of every kind: bit patterns, subnormals, powers of ten, short binary fractions.
double RandomDouble(std::mt19937_64& Random) {
  switch (Random() % 8) {
    case 0: return FromBits(Random() & 0x000FFFFFFFFFFFFFULL);  // subnormal
    case 1: {
      const double p = std::pow(10.0, double(int(Random() % 631) - 323));
      return (Random() & 1) ? p : std::nextafter(p, (Random() & 1) ? Inf : 0.0);
    }
    case 2: return double(Random() % 100000) / double(uint64_t(1) << (Random() % 20));
    case 3: return double((uint64_t(1) << 53) + (Random() % 1000)) * double(uint64_t(1) << (Random() % 12));
    default: {
      const double v = FromBits(Random());
      return std::isfinite(v) ? v : 1.0;
    }
  }
}

// Shortest digits and point position of std::to_chars.
void LibraryShortest(double v, std::string& Digits, int& Point) {
  char Text[64];
  const auto r = std::to_chars(Text, Text + sizeof Text, v, std::chars_format::scientific);
  const std::string s(Text, r.ptr);
  const size_t e = s.find('e');
  Digits.clear();
  for (size_t i = 0; i < e; ++i)
    if (s[i] >= '0' && s[i] <= '9') Digits += s[i];
  Point = std::atoi(s.c_str() + e + 1) + 1;
}

// Minimal unsigned big integer for exact checks of radix digits.
struct TBig {
  std::vector<uint32_t> Limbs;
  void MulAdd(uint32_t m, uint32_t a) {
    uint64_t Carry = a;
    for (uint32_t& l : Limbs) {
      const uint64_t x = uint64_t(l) * m + Carry;
      l = uint32_t(x);
      Carry = x >> 32;
    }
    if (Carry) Limbs.push_back(uint32_t(Carry));
  }
  void Shl(int s) {
    for (; s > 0; --s) MulAdd(2, 0);
  }
  friend int Cmp(const TBig& a, const TBig& b) {
    size_t na = a.Limbs.size(), nb = b.Limbs.size();
    while (na && !a.Limbs[na - 1]) --na;
    while (nb && !b.Limbs[nb - 1]) --nb;
    if (na != nb) return na < nb ? -1 : 1;
    for (size_t i = na; i-- > 0;)
      if (a.Limbs[i] != b.Limbs[i]) return a.Limbs[i] < b.Limbs[i] ? -1 : 1;
    return 0;
  }
};

// Sign of D * Radix^x - M * 2^F for the digit string D.
int CompareRadix(const std::string& Digits, int Radix, int x, uint64_t M, int F) {
  TBig a, b;
  for (char c : Digits) a.MulAdd(uint32_t(Radix), uint32_t(c <= '9' ? c - '0' : c - 'a' + 10));
  b.Limbs = {uint32_t(M), uint32_t(M >> 32)};
  for (int i = 0; i < x; ++i) a.MulAdd(uint32_t(Radix), 0);
  for (int i = 0; i < -x; ++i) b.MulAdd(uint32_t(Radix), 0);
  if (F > 0) b.Shl(F);
  if (F < 0) a.Shl(-F);
  return Cmp(a, b);
}

// True when 0.Digits * Radix^Point rounds (to nearest, ties to even) to v.
bool RadixDigitsReadBack(const std::string& Digits, int Point, int Radix, double v) {
  const uint64_t b = Bits(v);
  uint64_t f = b & 0x000FFFFFFFFFFFFFULL;
  int e = int(b >> 52);
  if (e == 0) {
    e = -1074;
  } else {
    f |= uint64_t(1) << 52;
    e -= 1075;
  }
  const bool Closer = (b & 0x000FFFFFFFFFFFFFULL) == 0 && (b >> 52) > 1;
  const int x = Point - int(Digits.size());
  const int Low = Closer ? CompareRadix(Digits, Radix, x, 4 * f - 1, e - 2)
                         : CompareRadix(Digits, Radix, x, 2 * f - 1, e - 1);
  const int High = CompareRadix(Digits, Radix, x, 2 * f + 1, e - 1);
  const bool Even = (f & 1) == 0;
  return (Even ? Low >= 0 : Low > 0) && (Even ? High <= 0 : High < 0);
}

}  // namespace

TEST(ZefuDoubleToString, SpecialValuesInEveryMode) {
  for (int32_t Mode = 0; Mode <= 6; ++Mode) {
    for (int32_t Digits : {0, 3, 16}) {
      EXPECT_EQ(ZefuConvertDoubleToString(0.0, Mode, Digits), "0");
      EXPECT_EQ(ZefuConvertDoubleToString(-0.0, Mode, Digits), "0");
      EXPECT_EQ(ZefuConvertDoubleToString(NaN, Mode, Digits), "NaN");
      EXPECT_EQ(ZefuConvertDoubleToString(-NaN, Mode, Digits), "NaN");
      EXPECT_EQ(ZefuConvertDoubleToString(Inf, Mode, Digits), "Infinity");
      EXPECT_EQ(ZefuConvertDoubleToString(-Inf, Mode, Digits), "-Infinity");
    }
  }
}

TEST(ZefuDoubleToString, StandardLayouts) {
  CheckCases({
      {1e21, zdtsmSTANDARD, 0, "1e+21"},
      {1.2345678901234568e20, zdtsmSTANDARD, 0, "123456789012345680000"},
      {1e20, zdtsmSTANDARD, 0, "100000000000000000000"},
      {123.45, zdtsmSTANDARD, 0, "123.45"},
      {1e-6, zdtsmSTANDARD, 0, "0.000001"},
      {1.5e-6, zdtsmSTANDARD, 0, "0.0000015"},
      {1e-7, zdtsmSTANDARD, 0, "1e-7"},
      {1.5e-7, zdtsmSTANDARD, 0, "1.5e-7"},
      {0.1, zdtsmSTANDARD, 0, "0.1"},
      {MinSubnormal, zdtsmSTANDARD, 0, "5e-324"},
      {MinNormal, zdtsmSTANDARD, 0, "2.2250738585072014e-308"},
      {MaxDouble, zdtsmSTANDARD, 0, "1.7976931348623157e+308"},
      {-1.5, zdtsmSTANDARD, 0, "-1.5"},
      {1.0, zdtsmSTANDARD, 0, "1"},
      {9007199254740993.0, zdtsmSTANDARD, 0, "9007199254740992"},
      {0.5, zdtsmSTANDARDEXPONENTIAL, 0, "5e-1"},
      {25.0, zdtsmSTANDARDEXPONENTIAL, 0, "2.5e+1"},
      {123.0, zdtsmSTANDARDEXPONENTIAL, 0, "1.23e+2"},
      {1e-100, zdtsmSTANDARDEXPONENTIAL, 0, "1e-100"},
  });
}

TEST(ZefuDoubleToString, FixedExponentialPrecisionLayouts) {
  CheckCases({
      {1e21, zdtsmFIXED, 2, "1e+21"},
      {0.125, zdtsmFIXED, 2, "0.13"},
      {0.001, zdtsmFIXED, 1, "0.0"},
      {1.5, zdtsmFIXED, 0, "2"},
      {0.5, zdtsmFIXED, 0, "1"},
      {0.06, zdtsmFIXED, 1, "0.1"},
      {0.04, zdtsmFIXED, 1, "0.0"},
      {9.995, zdtsmFIXED, 2, "9.99"},
      {1.2345678901234568e20, zdtsmFIXED, 0, "123456789012345683968"},
      {73786976294838206464.0, zdtsmFIXED, 0, "73786976294838206464"},
      {1e20, zdtsmFIXED, 2, "100000000000000000000.00"},
      {1e-30, zdtsmFIXED, 5, "0.00000"},
      {-2.5, zdtsmFIXED, 3, "-2.500"},
      {0.1, zdtsmFIXED, 25, "0.1000000000000000055511151"},  // exact path
      {5e-324, zdtsmFIXED, 2, "0.00"},
      {1.5, zdtsmFIXED, -3, "2"},  // a negative count means no fraction digits
      {9.5, zdtsmEXPONENTIAL, 1, "1e+1"},
      {0.5, zdtsmEXPONENTIAL, 1, "5e-1"},
      {123.0, zdtsmEXPONENTIAL, 5, "1.2300e+2"},
      {1.25, zdtsmEXPONENTIAL, 0, "1.25e+0"},
      {1.25, zdtsmEXPONENTIAL, -4, "1.25e+0"},
      {1.25, zdtsmPRECISION, 0, "1.25"},
      {123.0, zdtsmPRECISION, 3, "1.23e+2"},
      {123.0, zdtsmPRECISION, 4, "123.0"},
      {1e-7, zdtsmPRECISION, 1, "0.0000001"},
      {1e-8, zdtsmPRECISION, 1, "1e-8"},
      {0.00123, zdtsmPRECISION, 2, "0.0012"},
      {9.5, zdtsmPRECISION, 1, "1e+1"},
      {MinSubnormal, zdtsmPRECISION, 3, "4.94e-324"},
      {0.3, zdtsmPRECISION, 20, "0.29999999999999998890"},
  });
  // Requests far beyond a double's digits are padded with zeros, not computed.
  const std::string Long = ZefuConvertDoubleToString(0.5, zdtsmFIXED, 5000);
  EXPECT_EQ(Long.size(), 5002u);
  EXPECT_EQ(Long.substr(0, 4), "0.50");
  EXPECT_EQ(Long.find_first_not_of('0', 3), std::string::npos);
  const std::string Exp = ZefuConvertDoubleToString(MinSubnormal, zdtsmEXPONENTIAL, 2000);
  EXPECT_EQ(Exp.substr(0, 12), "4.9406564584");
  EXPECT_EQ(Exp.size(), 2001u + 5u);
  // Absurd counts are capped instead of overflowing the length arithmetic.
  for (int32_t Mode : {zdtsmFIXED, zdtsmEXPONENTIAL, zdtsmPRECISION}) {
    const std::string Huge = ZefuConvertDoubleToString(1.5, Mode, INT32_MAX);
    EXPECT_GT(Huge.size(), size_t(1) << 20) << Mode;
    EXPECT_LT(Huge.size(), (size_t(1) << 20) + 16) << Mode;
    EXPECT_EQ(Huge.substr(0, 3), "1.5") << Mode;
  }
}

TEST(ZefuDoubleToString, RadixLayouts) {
  CheckCases({
      {255.0, zdtsmRADIX, 16, "ff"},
      {-255.0, zdtsmRADIX, 16, "-ff"},
      {4294967294.0, zdtsmRADIX, 2, "11111111111111111111111111111110"},
      {4294967295.0, zdtsmRADIX, 2, "1.1111111111111111111111111111111p+31"},
      {0.5, zdtsmRADIX, 2, "0.1"},
      {35.0, zdtsmRADIX, 36, "z"},
      {36.0, zdtsmRADIX, 36, "10"},
      {0.1, zdtsmRADIX, 10, "0.1"},
      {0.1, zdtsmRADIX, 16, "0.1999999999999a"},
      {1e21, zdtsmRADIX, 16, "3635c9adc5dea00000"},
      {0.75, zdtsmRADIX, 4, "0.3"},
      {255.0, zdtsmRADIX, 1, ""},
      {255.0, zdtsmRADIX, 37, ""},
      {-5.0, zdtsmRADIX, 37, "-"},
      {-5.0, 9, 0, "-"},
      {5.0, -1, 0, ""},
  });
}

TEST(ZefuDoubleToString, BitPredicates) {
  struct TCase {
    double v;
    bool IsNaN, IsInfinite, IsFinite, IsNegInfinite, IsZero, IsNegative;
  };
  const TCase Cases[] = {
      {0.0, false, false, true, false, true, false},
      {-0.0, false, false, true, false, true, true},
      {1.5, false, false, true, false, false, false},
      {-MinSubnormal, false, false, true, false, false, true},
      {Inf, false, true, false, false, false, false},
      {-Inf, false, true, false, true, false, true},
      {NaN, true, false, false, false, false, false},
      {-NaN, true, false, false, false, false, true},
      {FromBits(0x7FF0000000000001ULL), true, false, false, false, false, false},
  };
  for (const TCase& c : Cases) {
    EXPECT_EQ(ZefuIsNaN(c.v), c.IsNaN) << c.v;
    EXPECT_EQ(ZefuIsInfinite(c.v), c.IsInfinite) << c.v;
    EXPECT_EQ(ZefuIsFinite(c.v), c.IsFinite) << c.v;
    EXPECT_EQ(ZefuIsNegInfinite(c.v), c.IsNegInfinite) << c.v;
    EXPECT_EQ(ZefuIsZero(c.v), c.IsZero) << c.v;
    EXPECT_EQ(ZefuIsNegative(c.v), c.IsNegative) << c.v;
    EXPECT_EQ(Bits(ZefuDoubleAbsolute(c.v)), Bits(c.v) & 0x7FFFFFFFFFFFFFFFULL);
  }
}

TEST(ZefuDoubleToString, GeneratorWorkedExamples) {
  using namespace zefudtoa;
  char Fast[FastFixedBufferSize];
  int32_t Len = 0, Exponent = 0;
  struct TShortest {
    double v;
    const char* Digits;
    int32_t Exponent;
  };
  for (const TShortest& c : {TShortest{0.1, "1", -1}, TShortest{MinSubnormal, "5", -324},
                             TShortest{MaxDouble, "17976931348623157", 292}}) {
    ASSERT_TRUE(DoFastShortest(c.v, Fast, Len, Exponent)) << c.v;
    EXPECT_EQ(std::string(Fast, size_t(Len)), c.Digits);
    EXPECT_EQ(Exponent, c.Exponent);
  }
  EXPECT_FALSE(DoFastPrecision(9.5, 1, Fast, Len, Exponent));  // exact half: left to the exact path
  ASSERT_TRUE(DoFastPrecision(0.5, 1, Fast, Len, Exponent));
  EXPECT_EQ(std::string(Fast, size_t(Len)), "5");
  EXPECT_EQ(Exponent, -1);

  std::string Buffer;
  int32_t Point = 0;
  DoubleToDecimal(mSHORTEST, 0, Buffer, Len, Point, MinSubnormal);
  EXPECT_EQ(Buffer.substr(0, size_t(Len)), "5");
  EXPECT_EQ(Point, -323);
  DoubleToDecimal(mSHORTEST, 0, Buffer, Len, Point, 1.0);
  EXPECT_EQ(Buffer.substr(0, size_t(Len)), "1");
  EXPECT_EQ(Point, 1);
  DoubleToDecimal(mSHORTEST, 0, Buffer, Len, Point, std::ldexp(1.0, -1021));
  EXPECT_EQ(Buffer.substr(0, size_t(Len)), "4450147717014403");
  EXPECT_EQ(Point, -307);
  DoubleToDecimal(mPRECISION, 1, Buffer, Len, Point, 9.5);
  EXPECT_EQ(Buffer.substr(0, size_t(Len)), "1");
  EXPECT_EQ(Point, 2);
  DoubleToDecimal(mFIXED, 1, Buffer, Len, Point, 0.06);
  EXPECT_EQ(Buffer.substr(0, size_t(Len)), "1");
  EXPECT_EQ(Point, 0);
  DoubleToDecimal(mFIXED, 1, Buffer, Len, Point, 0.04);
  EXPECT_EQ(Len, 0);

  struct TFixed {
    double v;
    int32_t Count;
    const char* Digits;
    int32_t Point;
  };
  for (const TFixed& c : {TFixed{0.125, 2, "13", 0}, TFixed{1.5, 0, "2", 1}, TFixed{0.5, 0, "1", 1},
                          TFixed{0.001, 1, "", -1}, TFixed{1e-30, 5, "", -5},
                          TFixed{1e-30, 20, "", -20},
                          TFixed{1.2345678901234568e20, 0, "123456789012345683968", 21},
                          TFixed{73786976294838206464.0, 0, "73786976294838206464", 20},
                          TFixed{9.995, 2, "999", 1}, TFixed{0.75, 20, "75", 0},
                          TFixed{std::ldexp(1.0, -100), 20, "", -20}}) {
    ASSERT_TRUE(DoFastFixed(c.v, c.Count, Fast, Len, Point)) << c.v;
    EXPECT_EQ(std::string(Fast, size_t(Len)), c.Digits) << c.v;
    EXPECT_EQ(Point, c.Point) << c.v;
  }
  EXPECT_FALSE(DoFastFixed(0.5, 21, Fast, Len, Point));
  EXPECT_FALSE(DoFastFixed(1e22, 0, Fast, Len, Point));
}

// Standard text reads back bit-exact, and its digits are std::to_chars's shortest digits.
TEST(ZefuDoubleToString, ShortestRoundTripsAndMatchesToChars) {
  std::mt19937_64 Random(42);
  int Failures = 0;
  std::string LibDigits;
  int LibPoint;
  for (int i = 0; i < RandomRounds; ++i) {
    const double v = RandomDouble(Random);
    const std::string Text = ZefuConvertDoubleToString(v);
    bool OK = false;
    const double Back = ZefuConvertStringToDouble(Text, zstod_ROUND_TO_NEAREST, &OK);
    if (v == 0) continue;
    // Digits and point from the exponential layout of the same shortest digits.
    const std::string Exp = ZefuConvertDoubleToString(std::fabs(v), zdtsmSTANDARDEXPONENTIAL);
    std::string Digits;
    size_t e = Exp.find('e');
    for (size_t j = 0; j < e; ++j)
      if (Exp[j] != '.') Digits += Exp[j];
    const int Point = std::atoi(Exp.c_str() + e + 1) + 1;
    LibraryShortest(std::fabs(v), LibDigits, LibPoint);
    if (!OK || Bits(Back) != Bits(v) || Digits != LibDigits || Point != LibPoint) {
      if (++Failures <= 10)
        ADD_FAILURE() << std::hexfloat << v << ": " << Text << " / " << Exp << " vs " << LibDigits
                      << " point " << LibPoint;
    }
  }
  EXPECT_EQ(Failures, 0);
}

// Whenever a fast generator answers, it answers what the exact generator does.
TEST(ZefuDoubleToString, FastPathsAgreeWithExactPath) {
  using namespace zefudtoa;
  std::mt19937_64 Random(99);
  int Failures = 0, FastShortest = 0, FastCounted = 0, FastFixed = 0;
  char Fast[FastFixedBufferSize];
  std::string Exact;
  int32_t Len, Exponent, ExactLen, Point;
  for (int i = 0; i < RandomRounds; ++i) {
    const double v = std::fabs(RandomDouble(Random));
    if (v == 0) continue;
    if (DoFastShortest(v, Fast, Len, Exponent)) {
      ++FastShortest;
      DoubleToDecimal(mSHORTEST, 0, Exact, ExactLen, Point, v);
      if (std::string(Fast, size_t(Len)) != Exact.substr(0, size_t(ExactLen)) ||
          Exponent + Len != Point)
        if (++Failures <= 10) ADD_FAILURE() << std::hexfloat << v << " shortest";
    }
    const int32_t Count = 1 + int32_t(Random() % 17);
    if (DoFastPrecision(v, Count, Fast, Len, Exponent)) {
      ++FastCounted;
      DoubleToDecimal(mPRECISION, Count, Exact, ExactLen, Point, v);
      if (std::string(Fast, size_t(Len)) != Exact.substr(0, size_t(ExactLen)) ||
          Exponent + Len != Point)
        if (++Failures <= 10) ADD_FAILURE() << std::hexfloat << v << " counted " << Count;
    }
    // Fixed notation only covers values below 2^73; spread them over its whole range.
    const double Small = std::ldexp(double(Random() >> 11) / 9007199254740992.0, int(Random() % 210) - 140);
    const int32_t Fraction = int32_t(Random() % 21);
    if (Small > 0 && DoFastFixed(Small, Fraction, Fast, Len, Point)) {
      ++FastFixed;
      int32_t ExactPoint;
      DoubleToDecimal(mFIXED, Fraction, Exact, ExactLen, ExactPoint, Small);
      // The exact generator keeps trailing zeros that the fast one trims.
      std::string Digits = Exact.substr(0, size_t(ExactLen));
      while (!Digits.empty() && Digits.back() == '0') Digits.pop_back();
      if (std::string(Fast, size_t(Len)) != Digits || (Len > 0 && Point != ExactPoint))
        if (++Failures <= 10) ADD_FAILURE() << std::hexfloat << Small << " fixed " << Fraction;
    }
  }
  EXPECT_EQ(Failures, 0);
  // The fast paths carry nearly everything.
  EXPECT_GT(FastShortest, RandomRounds * 95 / 100);
  EXPECT_GT(FastCounted, RandomRounds * 90 / 100);
  EXPECT_GT(FastFixed, RandomRounds * 95 / 100);
}

// Exact radix digits read back to the same double in every radix.
TEST(ZefuDoubleToString, RadixDigitsReadBack) {
  using namespace zefudtoa;
  std::mt19937_64 Random(3);
  std::string Digits;
  int32_t Len, Point;
  DoubleToRadix(0.1, 3, Digits, Len, Point);
  EXPECT_TRUE(RadixDigitsReadBack(Digits.substr(0, size_t(Len)), Point, 3, 0.1));
  DoubleToRadix(0.5, 2, Digits, Len, Point);
  EXPECT_EQ(Digits.substr(0, size_t(Len)), "1");
  EXPECT_EQ(Point, 0);
  const int Rounds = testdata::Sanitizing ? 300 : 3000;
  for (int i = 0; i < Rounds; ++i) {
    const int Radix = 2 + int(Random() % 35);
    double v = std::fabs(RandomDouble(Random));
    if (i % 2) v = std::ldexp(double(Random() >> 11), int(Random() % 200) - 150);  // moderate
    if (v == 0) continue;
    DoubleToRadix(v, Radix, Digits, Len, Point);
    const std::string d = Digits.substr(0, size_t(Len));
    EXPECT_TRUE(RadixDigitsReadBack(d, Point, Radix, v)) << std::hexfloat << v << " radix " << Radix;
    if (Len > 1) {
      // One digit fewer, rounded either way, no longer reads back: the digits are shortest.
      const std::string Shorter = d.substr(0, d.size() - 1);
      std::string Up = Shorter;
      size_t j = Up.size();
      while (j > 0) {
        char& c = Up[j - 1];
        const int Value = (c <= '9' ? c - '0' : c - 'a' + 10) + 1;
        if (Value < Radix) {
          c = Value < 10 ? char('0' + Value) : char('a' + Value - 10);
          break;
        }
        c = '0';
        --j;
      }
      EXPECT_FALSE(RadixDigitsReadBack(Shorter, Point, Radix, v)) << std::hexfloat << v;
      if (j > 0) {
        EXPECT_FALSE(RadixDigitsReadBack(Up, Point, Radix, v)) << std::hexfloat << v;
      }
    }
    // Radix texts of 2, 4, 8 and 16 read back exactly through the reader.
    if (Radix == 2 || Radix == 4 || Radix == 8 || Radix == 16) {
      const std::string Text = ZefuConvertDoubleToString(v, zdtsmRADIX, Radix);
      EXPECT_EQ(Bits(ZefuConvertStringToDouble(Text, zstod_ROUND_TO_NEAREST, nullptr, Radix)), Bits(v))
          << Text << " radix " << Radix;
    }
  }
}
