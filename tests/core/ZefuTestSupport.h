#pragma once
// Shared by the number-conversion tests: round counts and bit views of doubles.
#include <cstdint>
#include <cstring>

namespace zefutest {

#ifdef ZNT1_SANITIZE
constexpr int RandomRounds = 50000;
#else
constexpr int RandomRounds = 1000000;
#endif

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
