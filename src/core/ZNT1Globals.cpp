#include "core/ZNT1Globals.h"

#include "core/ZefuDoubleToString.h"
#include "core/ZefuStringToDouble.h"

#include <algorithm>
#include <cctype>
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

// Every number in text goes through the one locale-free conversion pair.
double StringToFloat(const std::string& s) {
  bool OK = false;
  const double Value = ZefuConvertStringToDouble(s, zstod_ROUND_TO_NEAREST, &OK, -1);
  return OK && !ZefuIsNaN(Value) ? Value : 0.0;
}

std::string FloatToString(double Value) { return ZefuConvertDoubleToString(Value, zdtsmSTANDARD, 0); }

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
