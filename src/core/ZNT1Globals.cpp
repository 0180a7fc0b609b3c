#include "core/ZNT1Globals.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

// The __atomic builtins give the single locked instruction with a full barrier
// on a plain int32_t that other code also reads as a plain value.
int32_t InterlockedExchange(volatile int32_t& Target, int32_t Source) {
  return __atomic_exchange_n(&Target, Source, __ATOMIC_SEQ_CST);
}

int32_t InterlockedExchangeAdd(volatile int32_t& Target, int32_t Source) {
  return __atomic_fetch_add(&Target, Source, __ATOMIC_SEQ_CST);
}

int32_t InterlockedCompareExchange(volatile int32_t& Target, int32_t NewValue, int32_t Comperand) {
  int32_t expected = Comperand;
  __atomic_compare_exchange_n(&Target, &expected, NewValue, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return expected;
}

// Stand-in on std::from_chars until the exact conversion takes over: same front end
// (blanks, one sign, "Infinity", "NaN", a "0x" prefix), same answer 0 for no number.
double StringToFloat(const std::string& s) {
  const char* p = s.data();
  const char* const End = p + s.size();
  while (p < End && static_cast<unsigned char>(*p) <= 32) ++p;
  bool Negative = false;
  if (p < End && (*p == '-' || *p == '+')) Negative = *p++ == '-';
  const size_t Left = static_cast<size_t>(End - p);
  if (Left >= 8 && std::memcmp(p, "Infinity", 8) == 0)
    return Negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  std::chars_format Format = std::chars_format::general;
  char ExponentMark = 'e';
  if (Left >= 2 && p[0] == '0' && p[1] == 'x') {
    Format = std::chars_format::hex;
    ExponentMark = 'p';
    p += 2;
  }
  // from_chars would also take "inf", "nan" and a second sign, which are not numbers here.
  if (p >= End || !(std::isxdigit(static_cast<unsigned char>(*p)) || *p == '.')) return 0.0;
  if (Format == std::chars_format::general && !(std::isdigit(static_cast<unsigned char>(*p)) || *p == '.'))
    return 0.0;
  double Value = 0.0;
  const std::from_chars_result r = std::from_chars(p, End, Value, Format);
  if (r.ec == std::errc::invalid_argument) return 0.0;
  if (r.ec == std::errc::result_out_of_range) {
    // Too large or too small: a negative exponent underflows to 0, anything else overflows.
    const char* Mark = p;
    while (Mark < r.ptr && (*Mark | 0x20) != ExponentMark) ++Mark;
    const bool Tiny = Mark + 1 < r.ptr && Mark[1] == '-';
    Value = Tiny ? 0.0 : std::numeric_limits<double>::infinity();
  }
  // An exponent mark without digits makes the text no number.
  if (r.ptr < End && (*r.ptr | 0x20) == ExponentMark) return 0.0;
  if (Format == std::chars_format::hex && r.ec == std::errc()) {
    // "p" counts hexadecimal digits here (0x1p4 is 16^4), from_chars counted bits.
    const char* Mark = p;
    while (Mark < r.ptr && (*Mark | 0x20) != 'p') ++Mark;
    if (Mark < r.ptr) {
      const char* Digits = Mark + 1 + (Mark[1] == '+');
      int Exponent = 0;
      std::from_chars(Digits, r.ptr, Exponent);
      Value = std::ldexp(Value, 3 * std::clamp(Exponent, -2000, 2000));
    }
  }
  if (std::isnan(Value)) return 0.0;
  return Negative ? -Value : Value;
}

// Stand-in on std::to_chars: its shortest digits laid out the way the engine writes
// numbers (plain for decimal points from -5 to 21, "1e+21" and "1.5e-7" beyond).
std::string FloatToString(double Value) {
  if (std::isnan(Value)) return "NaN";
  if (Value == 0.0) return "0";
  if (std::isinf(Value)) return Value < 0 ? "-Infinity" : "Infinity";
  std::string Sign;
  if (Value < 0) {
    Sign = "-";
    Value = -Value;
  }
  char Buffer[64];
  const std::to_chars_result r = std::to_chars(Buffer, Buffer + sizeof Buffer, Value, std::chars_format::scientific);
  const std::string Text(Buffer, r.ptr);  // d[.ddd]e±XX
  const size_t E = Text.find('e');
  std::string Digits = Text.substr(0, E);
  if (Digits.size() > 1) Digits.erase(1, 1);
  const int n = static_cast<int>(Digits.size());
  const int k = std::stoi(Text.substr(E + 1)) + 1;  // value = 0.d1..dn * 10^k
  if (n <= k && k <= 21) return Sign + Digits + std::string(static_cast<size_t>(k - n), '0');
  if (0 < k && k <= 21) return Sign + Digits.substr(0, static_cast<size_t>(k)) + "." + Digits.substr(static_cast<size_t>(k));
  if (-6 < k && k <= 0) return Sign + "0." + std::string(static_cast<size_t>(-k), '0') + Digits;
  std::string Result = Sign + Digits.substr(0, 1);
  if (n > 1) Result += "." + Digits.substr(1);
  Result += k - 1 >= 0 ? "e+" : "e-";
  Result += std::to_string(std::abs(k - 1));
  return Result;
}

uint32_t RoundUpToPowerOfTwo(uint32_t x) {
  x -= 1;
  x |= x >> 1;
  x |= x >> 2;
  x |= x >> 4;
  x |= x >> 8;
  x |= x >> 16;
  return x + 1;
}

bool AreBytesEqual(const void* a, const void* b, int32_t Count) {
  if (Count < 1) return true;
  if (a == nullptr || b == nullptr) return false;
  return std::memcmp(a, b, static_cast<size_t>(Count)) == 0;
}

std::string Parse(std::string& s, const std::bitset<256>& c, bool Continuous, int32_t DeleteOffset) {
  std::string Result;
  size_t Found = s.size();
  for (size_t i = 0; i < s.size(); ++i)
    if (c[static_cast<unsigned char>(s[i])]) {
      Found = i;
      break;
    }
  if (Found < s.size()) {
    Result = s.substr(0, Found);
    // The delimiter sits at position Found + 1 counted from 1; the offset may reach past either end.
    const int64_t Remove = static_cast<int64_t>(Found) + 1 + DeleteOffset;
    if (Remove > 0) s.erase(0, static_cast<size_t>(std::min<int64_t>(Remove, static_cast<int64_t>(s.size()))));
  } else {
    Result.swap(s);
    s.clear();
  }
  if (Continuous) {
    size_t Skip = 0;
    while (Skip < s.size() && c[static_cast<unsigned char>(s[Skip])]) ++Skip;
    s.erase(0, Skip);
  }
  return Result;
}

void ApplyColorOverbright(float& r, float& g, float& b, float range, float factor) {
  r *= factor;
  g *= factor;
  b *= factor;
  float Scale = 1.0f;
  bool Over = false;
  for (const float v : {r, g, b})
    if (v > range) {
      const float Ratio = range / v;
      if (!Over || Ratio < Scale) Scale = Ratio;
      Over = true;
    }
  if (Over) {
    r *= Scale;
    g *= Scale;
    b *= Scale;
  }
  for (float* v : {&r, &g, &b}) {
    if (*v < 0.0f) *v = 0.0f;
    if (*v > range) *v = range;
  }
}
