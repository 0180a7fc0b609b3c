#include "core/ZNT1HighResolutionTimer.h"

#include <cmath>
#include <limits>

#include "platform/ZNT1PlatformTimer.h"

namespace {

// (Value * Mul + Add) div Div without 64-bit overflow, saturated to the 64-bit range.
int64_t MulAddDiv(int64_t Value, int64_t Mul, int64_t Add, int64_t Div) {
  if (Div == 0) return 0;
  const __int128 r = (static_cast<__int128>(Value) * Mul + Add) / Div;
  if (r > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
  if (r < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(r);
}

}  // namespace

TZNT1HighResolutionTimer::TZNT1HighResolutionTimer() {
  int64_t f = 0;
  Setup(PlatformQueryPerformanceFrequency(f) ? f : 0);
}

TZNT1HighResolutionTimer::TZNT1HighResolutionTimer(int64_t CounterFrequency) { Setup(CounterFrequency); }

void TZNT1HighResolutionTimer::Setup(int64_t CounterFrequency) {
  HasCounter = CounterFrequency > 0;
  if (HasCounter) {
    Frequency = CounterFrequency;
    FrequencyShift = 0;
    while (Frequency >= (int64_t(1) << 29)) {
      Frequency >>= 1;
      ++FrequencyShift;
    }
  } else {
    Frequency = 1000;
    FrequencyShift = 0;
  }
  MillisecondInterval = (Frequency + 500) / 1000;
  TwoMillisecondsInterval = (Frequency + 250) / 500;
  FourMillisecondsInterval = (Frequency + 125) / 250;
  QuarterSecondInterval = (Frequency + 2) / 4;
  HourInterval = Frequency * 3600;
}

int64_t TZNT1HighResolutionTimer::GetTime() const {
  int64_t count = 0;
  if (!HasCounter || !PlatformQueryPerformanceCounter(count)) return PlatformGetTickCount();
  return static_cast<int64_t>(static_cast<uint64_t>(count) >> FrequencyShift);
}

void TZNT1HighResolutionTimer::Sleep(int64_t Delay) const {
  if (Delay <= 0) return;
  const int64_t EndTime = GetTime() + Delay;
  while (GetTime() + TwoMillisecondsInterval < EndTime) PlatformSleep(1);
  while (GetTime() + MillisecondInterval < EndTime) PlatformSleep(0);
  while (GetTime() < EndTime) {
  }
}

double TZNT1HighResolutionTimer::ToFloatSeconds(int64_t Ticks) const {
  return Frequency != 0 ? static_cast<double>(Ticks) / static_cast<double>(Frequency) : 0.0;
}

int64_t TZNT1HighResolutionTimer::FromFloatSeconds(double Seconds) const {
  if (Frequency == 0) return 0;
  const double v = std::nearbyint(static_cast<double>(Frequency) * Seconds);
  if (!(v > -9.2e18 && v < 9.2e18)) return v > 0 ? std::numeric_limits<int64_t>::max() : (v < 0 ? std::numeric_limits<int64_t>::min() : 0);
  return static_cast<int64_t>(v);
}

int64_t TZNT1HighResolutionTimer::ToMilliseconds(int64_t Ticks) const {
  if (Frequency == 1000) return Ticks;
  return MulAddDiv(Ticks, 1000, Frequency / 2, Frequency);
}

int64_t TZNT1HighResolutionTimer::FromMilliseconds(int64_t Milliseconds) const {
  if (Frequency == 1000) return Milliseconds;
  return MulAddDiv(Milliseconds, Frequency, 500, 1000);
}

int64_t TZNT1HighResolutionTimer::ToMicroseconds(int64_t Ticks) const {
  if (Frequency == 1000000) return Ticks;
  return MulAddDiv(Ticks, 1000000, Frequency / 2, Frequency);
}

int64_t TZNT1HighResolutionTimer::FromMicroseconds(int64_t Microseconds) const {
  if (Frequency == 1000000) return Microseconds;
  return MulAddDiv(Microseconds, Frequency, 500000, 1000000);
}

int64_t TZNT1HighResolutionTimer::ToNanoseconds(int64_t Ticks) const {
  if (Frequency == 1000000000) return Ticks;
  return MulAddDiv(Ticks, 1000000000, Frequency / 2, Frequency);
}

int64_t TZNT1HighResolutionTimer::FromNanoseconds(int64_t Nanoseconds) const {
  if (Frequency == 1000000000) return Nanoseconds;
  return MulAddDiv(Nanoseconds, Frequency, 500000000, 1000000000);
}
