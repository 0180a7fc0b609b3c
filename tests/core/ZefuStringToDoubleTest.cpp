#include <gtest/gtest.h>

#include "core/ZefuDoubleToString.h"
#include "core/ZefuStringToDouble.h"
#include "support/TestData.h"

#include <cerrno>
#include <cfenv>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "ZefuTestSupport.h"

namespace {

using zefutest::Bits;
using zefutest::FromBits;
using zefutest::RandomRounds;

const int FEModes[4] = {FE_TONEAREST, FE_TOWARDZERO, FE_UPWARD, FE_DOWNWARD};

// glibc's reading and ours of Text, both under the rounding direction Mode (the zstod_ index)
// set in the floating-point unit.
void ReadBoth(const std::string& Text, int Mode, double& Libc, bool& Overflow, double& Own,
              bool& OK) {
  const int Saved = fegetround();
  fesetround(FEModes[Mode]);
  errno = 0;
  Libc = std::strtod(Text.c_str(), nullptr);
  Overflow = errno == ERANGE && std::fabs(Libc) >= DBL_MAX;
  Own = ZefuConvertStringToDouble(Text, Mode, &OK);
  fesetround(Saved);
}

struct TReadCase {
  const char* Text;
  int32_t Mode;
  int32_t Base;
  uint64_t Expected;
  bool OK;
};

constexpr uint64_t NaNBits = 0x7FF8000000000000ULL;
constexpr uint64_t InfBits = 0x7FF0000000000000ULL;
constexpr uint64_t NegInfBits = 0xFFF0000000000000ULL;

}  // namespace

TEST(ZefuStringToDouble, WorkedExamples) {
  const TReadCase Cases[] = {
      {"  -1.5", 0, -1, Bits(-1.5), true},
      {"+.5", 0, -1, Bits(0.5), true},
      {"1.5abc", 0, -1, Bits(1.5), true},
      {"1e3", 0, -1, Bits(1000.0), true},
      {"", 0, -1, NaNBits, false},
      {"abc", 0, -1, NaNBits, false},
      {"1e", 0, -1, NaNBits, false},
      {"1e+", 0, -1, NaNBits, false},
      {".", 0, -1, NaNBits, false},
      {"-0", 0, -1, Bits(-0.0), true},
      {"Infinity", 0, -1, InfBits, true},
      {"-Infinity", 0, -1, NegInfBits, true},
      {"infinity", 0, -1, NaNBits, false},
      {"inf", 0, -1, NaNBits, false},
      {"NaN", 0, -1, NaNBits, true},
      {"-NaN", 0, -1, NaNBits, true},
      {"0x1F", 0, -1, Bits(31.0), true},
      {"0b101", 0, -1, Bits(5.0), true},
      {"0o17", 0, -1, Bits(15.0), true},
      {"0X1F", 0, -1, Bits(0.0), true},
      {"0x", 0, -1, Bits(0.0), false},
      {"0x1p4", 0, -1, Bits(65536.0), true},
      {"0.1", zstod_ROUND_TO_NEAREST, -1, 0x3FB999999999999AULL, true},
      {"0.1", zstod_ROUND_UPWARD, -1, 0x3FB999999999999AULL, true},
      {"0.1", zstod_ROUND_TOWARD_ZERO, -1, 0x3FB9999999999999ULL, true},
      {"0.1", zstod_ROUND_DOWNWARD, -1, 0x3FB9999999999999ULL, true},
      {"1e400", 0, -1, InfBits, true},
      {"1e-400", 0, -1, 0, true},
      {"4.9e-324", 0, -1, 1, true},
      {"1012", 0, 2, Bits(5.0), true},
      {"ffg", 0, 16, Bits(255.0), true},
  };
  for (const TReadCase& c : Cases) {
    bool OK = !c.OK;
    const double v = ZefuConvertStringToDouble(c.Text, c.Mode, &OK, c.Base);
    EXPECT_EQ(Bits(v), c.Expected) << '"' << c.Text << "\" mode " << c.Mode << " base " << c.Base;
    EXPECT_EQ(OK, c.OK) << '"' << c.Text << '"';
  }
}

TEST(ZefuStringToDouble, BlanksSignsAndTrailingText) {
  const TReadCase Cases[] = {
      {"\t\r\n 42", 0, -1, Bits(42.0), true},
      {"\x01\x1f 7", 0, -1, Bits(7.0), true},
      {"- 5", 0, -1, NaNBits, false},
      {"--5", 0, -1, NaNBits, false},
      {"12.5.3", 0, -1, Bits(12.5), true},
      {"1.e2", 0, -1, Bits(100.0), true},
      {"-.e5", 0, -1, NaNBits, false},
      {"1e5x", 0, -1, Bits(100000.0), true},
      {"1p5", 0, -1, Bits(1.0), true},  // "p" marks exponents only in other radixes
      {"000.000", 0, -1, Bits(0.0), true},
      {"-0e999999", 0, -1, Bits(-0.0), true},
      {"Infinityx", 0, -1, InfBits, true},
      {"+NaN(123)", 0, -1, NaNBits, true},
  };
  for (const TReadCase& c : Cases) {
    bool OK = !c.OK;
    const double v = ZefuConvertStringToDouble(c.Text, c.Mode, &OK, c.Base);
    EXPECT_EQ(Bits(v), c.Expected) << '"' << c.Text << '"';
    EXPECT_EQ(OK, c.OK) << '"' << c.Text << '"';
  }
  // OK may be left out; text views need no terminating zero.
  EXPECT_EQ(ZefuConvertStringToDouble(std::string_view("2.5e1", 3)), 2.5);
}

TEST(ZefuStringToDouble, PowerOfTwoRadixes) {
  const TReadCase Cases[] = {
      {"0x1.8p1", 0, -1, Bits(24.0), true},  // the exponent counts radix digits: 1.5 * 16^1
      {"0x.8", 0, -1, Bits(0.5), true},
      {"-0x10", 0, -1, Bits(-16.0), true},
      {"0x1p", 0, -1, Bits(1.0), false},  // exponent mark without digits
      {"0xg", 0, -1, Bits(0.0), false},
      {"-0b", 0, -1, Bits(-0.0), false},
      {"0x000", 0, -1, Bits(0.0), true},
      {"0x4p-269", 0, -1, 1, true},  // 2^-1074
      {"0x2p-269", 0, -1, 0, true},  // half of it: tie to even
      {"0x2p-269", zstod_ROUND_UPWARD, -1, 1, true},
      {"0x6p-269", 0, -1, 2, true},  // 1.5 * 2^-1074: tie to even
      {"0x1p-300", zstod_ROUND_UPWARD, -1, 1, true},
      {"0b1p-1074", 0, -1, 1, true},
      {"0x1p1024", 0, -1, InfBits, true},
      {"0x1p4294967296", 0, -1, InfBits, true},
      {"0x1p-4294967296", 0, -1, 0, true},
      // Bits past the 53rd: to nearest, ties to even, later digits sticky.
      {"0x1.00000000000008p0", 0, -1, Bits(1.0), true},
      {"0x1.00000000000018p0", 0, -1, 0x3FF0000000000002ULL, true},
      {"0x1.00000000000008000001p0", 0, -1, 0x3FF0000000000001ULL, true},
      {"0x1.fffffffffffff8p0", 0, -1, Bits(2.0), true},
      {"0x20000000000001", 0, -1, Bits(9007199254740992.0), true},
      {"0x20000000000003", 0, -1, Bits(9007199254740996.0), true},
      {"17", 0, 8, Bits(15.0), true},
      {"0x1F", 0, 16, Bits(0.0), true},  // a forced radix takes no prefix
      {"1e1", 0, 16, Bits(481.0), true},  // "e" is a digit from radix 16 on
      {"1p2", 0, 16, Bits(256.0), true},
      {"1p2", 0, 32, Bits(1826.0), true},  // and "p" in radix 32
      {"101e2", 0, 2, Bits(20.0), true},
      {"33.2", 0, 4, Bits(15.5), true},
  };
  for (const TReadCase& c : Cases) {
    bool OK = !c.OK;
    const double v = ZefuConvertStringToDouble(c.Text, c.Mode, &OK, c.Base);
    EXPECT_EQ(Bits(v), c.Expected) << '"' << c.Text << "\" base " << c.Base;
    EXPECT_EQ(OK, c.OK) << '"' << c.Text << '"';
  }
}

TEST(ZefuStringToDouble, GeneralRadixes) {
  const TReadCase Cases[] = {
      {"z", 0, 36, Bits(35.0), true},
      {"zz", 0, 36, Bits(1295.0), true},
      {"12", 0, 3, Bits(5.0), true},
      {"123", 0, 3, Bits(5.0), true},  // 3 is no digit in radix 3
      {"10e2", 0, 7, Bits(343.0), true},
      {"10p-1", 0, 7, Bits(1.0), true},
      {"-0.1", 0, 5, Bits(-0.2), true},
      {"", 0, 36, Bits(0.0), false},
  };
  for (const TReadCase& c : Cases) {
    bool OK = !c.OK;
    const double v = ZefuConvertStringToDouble(c.Text, c.Mode, &OK, c.Base);
    EXPECT_EQ(Bits(v), c.Expected) << '"' << c.Text << "\" base " << c.Base;
    EXPECT_EQ(OK, c.OK) << '"' << c.Text << '"';
  }
  bool OK = false;
  EXPECT_NEAR(ZefuConvertStringToDouble("1.1", 0, &OK, 3), 4.0 / 3.0, 1e-15);
  EXPECT_TRUE(OK);
  // Several 32-bit chunks; this path works in double arithmetic and is not exact.
  EXPECT_NEAR(ZefuConvertStringToDouble("zzzzzzzzzzzz", 0, &OK, 36), 4738381338321616895.0, 4096.0);
}

// Exponents saturate instead of wrapping; exact ties are settled exactly.
TEST(ZefuStringToDouble, HugeExponentsAndExactTies) {
  const TReadCase Cases[] = {
      {"1e4294967296", 0, -1, InfBits, true},
      {"1e-4294967296", 0, -1, 0, true},
      {"1e99999999999999999999999", 0, -1, InfBits, true},
      {"-1e-99999999999999999999999", 0, -1, Bits(-0.0), true},
      {"0.0000000000000000000000000000001e4294967327", 0, -1, InfBits, true},
      {"9007199254740993", 0, -1, Bits(9007199254740992.0), true},
      {"9007199254740995", 0, -1, Bits(9007199254740996.0), true},
      {"9007199254740993", zstod_ROUND_UPWARD, -1, Bits(9007199254740994.0), true},
      {"-9007199254740993", zstod_ROUND_UPWARD, -1, Bits(-9007199254740992.0), true},
      {"1.5000000000000000000000", zstod_ROUND_UPWARD, -1, Bits(1.5), true},
      {"2.4703282292062327e-324", 0, -1, 0, true},
      {"2.4703282292062328e-324", 0, -1, 1, true},
      {"1.7976931348623158e308", 0, -1, 0x7FEFFFFFFFFFFFFFULL, true},
      {"1.7976931348623159e308", 0, -1, InfBits, true},
      // Far below the smallest subnormal, rounding away from zero still gives it.
      {"1e-400", zstod_ROUND_UPWARD, -1, 1, true},
      {"-1e-400", zstod_ROUND_DOWNWARD, -1, 0x8000000000000001ULL, true},
      // Overflow is infinity in every direction.
      {"1e400", zstod_ROUND_TOWARD_ZERO, -1, InfBits, true},
      // An unknown mode rounds to nearest.
      {"0.1", 7, -1, 0x3FB999999999999AULL, true},
  };
  for (const TReadCase& c : Cases) {
    bool OK = !c.OK;
    const double v = ZefuConvertStringToDouble(c.Text, c.Mode, &OK, c.Base);
    EXPECT_EQ(Bits(v), c.Expected) << '"' << c.Text << "\" mode " << c.Mode;
    EXPECT_EQ(OK, c.OK) << '"' << c.Text << '"';
  }
}

// Only the first 53 significant digits count; later ones are dropped, not rounded.
TEST(ZefuStringToDouble, KeepsFiftyThreeDigits) {
  // 53 digits of the halfway point 1 + 2^-53 = 1.00000000000000011102230246251565404236316680908203125
  const std::string Digits53 = "1.0000000000000001110223024625156540423631668090820312";
  // With the 54th digit the text lies above halfway, but that digit is dropped.
  EXPECT_EQ(std::strtod((Digits53 + "6").c_str(), nullptr), 1.0000000000000002);
  EXPECT_EQ(ZefuConvertStringToDouble(Digits53 + "6"), 1.0);
  EXPECT_EQ(ZefuConvertStringToDouble(Digits53 + "9999999"), 1.0);
  std::string Sixty(60, '7');
  Sixty.insert(1, ".");
  std::string Kept = Sixty.substr(0, 54);
  for (int Mode = 0; Mode < 4; ++Mode)
    EXPECT_EQ(Bits(ZefuConvertStringToDouble(Sixty, Mode)),
              Bits(ZefuConvertStringToDouble(Kept, Mode)));
  // Dropped digits before the point still count as places.
  EXPECT_EQ(ZefuConvertStringToDouble(std::string(100, '1')),
            std::strtod((std::string(53, '1') + "e47").c_str(), nullptr));
}

TEST(ZefuStringToDouble, RestoresTheCallersRoundingMode) {
  for (int Mode = 0; Mode < 4; ++Mode) {
    fesetround(FEModes[Mode]);
    const double Near = ZefuConvertStringToDouble("0.1", zstod_ROUND_TO_NEAREST);
    const double Radix3 = ZefuConvertStringToDouble("0.1", zstod_ROUND_TO_NEAREST, nullptr, 3);
    const int After = fegetround();
    fesetround(FE_TONEAREST);
    EXPECT_EQ(After, FEModes[Mode]);
    EXPECT_EQ(Bits(Near), 0x3FB999999999999AULL);
    EXPECT_EQ(Radix3, 1.0 / 3.0);
  }
}

// Random decimal texts of up to 17 significant digits against glibc in all four directions.
TEST(ZefuStringToDouble, MatchesLibcInEveryRoundingMode) {
  std::mt19937_64 Random(20261210);
  int Mismatches = 0;
  for (int i = 0; i < RandomRounds; ++i) {
    std::string Text;
    const int Kind = int(Random() % 8);
    if (Random() & 1) Text += '-';
    if (Kind == 0) {
      // Odd integers between 2^53 and 2^54: exact halfway cases.
      const uint64_t n = ((uint64_t(1) << 53) + (Random() % (uint64_t(1) << 53))) | 1;
      Text += std::to_string(n);
    } else {
      const int Count = 1 + int(Random() % 17);
      std::string Digits;
      for (int d = 0; d < Count; ++d) Digits += char('0' + Random() % 10);
      const int Point = int(Random() % (Count + 1));
      if (Random() % 4) Digits.insert(size_t(Point), ".");
      if (Digits == ".") Digits = "0.5";
      Text += Digits;
      if (Kind >= 2) {
        // Exponents over the whole range, a part near the subnormal and overflow ends.
        int Exponent = int(Random() % 660) - 345;
        if (Kind == 7) Exponent = (Random() & 1) ? 290 + int(Random() % 30) : -340 + int(Random() % 30);
        Text += (Random() & 1) ? 'e' : 'E';
        Text += std::to_string(Exponent);
      }
    }
    for (int Mode = 0; Mode < 4; ++Mode) {
      bool Overflow, OK;
      double Expected, Got;
      ReadBoth(Text, Mode, Expected, Overflow, Got, OK);
      // Overflow gives infinity in every direction, where glibc may stop at the largest double.
      const uint64_t Want =
          Overflow ? (Bits(Expected) & 0x8000000000000000ULL) | InfBits : Bits(Expected);
      if ((Bits(Got) != Want || !OK) && ++Mismatches <= 10)
        ADD_FAILURE() << Text << " mode " << Mode << ": got " << Got << " want " << Expected;
    }
  }
  EXPECT_EQ(Mismatches, 0);
}

// Exact midpoints between neighbouring doubles (at most 53 significant digits) and texts one
// unit in the last place beside them: the cases that need the big-integer comparison.
TEST(ZefuStringToDouble, MidpointsMatchLibc) {
  std::mt19937_64 Random(7);
  int Mismatches = 0;
  for (int i = 0; i < RandomRounds / 10; ++i) {
    // Binary exponents 30..120 keep the midpoint's decimal expansion within 53 digits.
    const int e = 30 + int(Random() % 91);
    const double x = FromBits((uint64_t(e + 1023) << 52) | (Random() & 0x000FFFFFFFFFFFFFULL));
    const long double Mid = (long double)x + (long double)(std::nextafter(x, INFINITY) - x) / 2;
    char Buffer[96];
    std::snprintf(Buffer, sizeof Buffer, "%.60Lg", Mid);
    std::string Exact = Buffer;
    std::string Above = Exact + (Exact.find('.') == std::string::npos ? ".000001" : "000001");
    std::string Near17;
    std::snprintf(Buffer, sizeof Buffer, "%.16Le", Mid);
    Near17 = Buffer;
    for (const std::string& Text : {Exact, Above, Near17}) {
      for (int Mode = 0; Mode < 4; ++Mode) {
        bool Overflow, OK;
        double Expected, Got;
        ReadBoth(Text, Mode, Expected, Overflow, Got, OK);
        if (Bits(Got) != Bits(Expected) && ++Mismatches <= 10)
          ADD_FAILURE() << Text << " mode " << Mode;
      }
    }
  }
  EXPECT_EQ(Mismatches, 0);
}

// "." stays the decimal point whatever LC_NUMERIC says, in both directions.
TEST(ZefuStringToDouble, IgnoresTheLocale) {
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) {
    if (testdata::InCI()) FAIL() << "locale de_DE.UTF-8 missing in CI";
    GTEST_SKIP() << "locale de_DE.UTF-8 not available (scripts/setup generates it)";
  }
  char Probe[32];
  std::snprintf(Probe, sizeof Probe, "%.1f", 1.5);
  const std::string LibcText = Probe;
  bool OK = false;
  const double Read = ZefuConvertStringToDouble("1.5e1", zstod_ROUND_TO_NEAREST, &OK);
  const double Comma = ZefuConvertStringToDouble("1,5");
  const std::string Written = ZefuConvertDoubleToString(-1234.5);
  const std::string Fixed = ZefuConvertDoubleToString(0.125, zdtsmFIXED, 2);
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(LibcText, "1,5");  // the locale really is active
  EXPECT_EQ(Read, 15.0);
  EXPECT_TRUE(OK);
  EXPECT_EQ(Comma, 1.0);
  EXPECT_EQ(Written, "-1234.5");
  EXPECT_EQ(Fixed, "0.13");
}
