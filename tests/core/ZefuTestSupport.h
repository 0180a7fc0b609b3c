#pragma once
// Shared by the number-conversion tests: round counts and bit views of doubles.
#include <cstdint>
#include <cstring>

#include "support/TestData.h"

namespace zefutest {

constexpr int RandomRounds = testdata::Sanitizing ? 50000 : 1000000;

inline uint64_t Bits(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

inline double FromBits(uint64_t u) {
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}

}  // namespace zefutest
