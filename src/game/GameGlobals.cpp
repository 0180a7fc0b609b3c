#include "game/GameGlobals.h"

namespace {

// splitmix64: small state, good enough spread, cheap to reseed.
struct TRandomState {
  uint64_t State = 0x5A4E54315A4E5431ull;
  uint64_t Next() {
    uint64_t z = (State += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
};

thread_local TRandomState RandomState;

}  // namespace

void RandomSeed(uint64_t Seed) { RandomState.State = Seed; }

double Random() { return static_cast<double>(RandomState.Next() >> 11) * (1.0 / 9007199254740992.0); }

int32_t Random(int32_t Range) {
  if (Range <= 0) return 0;
  return static_cast<int32_t>((RandomState.Next() >> 32) * static_cast<uint64_t>(Range) >> 32);
}
