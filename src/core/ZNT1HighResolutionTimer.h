#pragma once
// The engine's clock: the platform counter scaled below 2^29 ticks per second.
#include <cstdint>

class TZNT1HighResolutionTimer {
 public:
  TZNT1HighResolutionTimer();
  // For a given counter frequency; 0 or less selects the 1000 Hz tick-count fallback.
  explicit TZNT1HighResolutionTimer(int64_t CounterFrequency);

  int64_t GetTime() const;
  void Sleep(int64_t Delay) const;
  double ToFloatSeconds(int64_t Ticks) const;
  int64_t FromFloatSeconds(double Seconds) const;
  int64_t ToMilliseconds(int64_t Ticks) const;
  int64_t FromMilliseconds(int64_t Milliseconds) const;
  int64_t ToMicroseconds(int64_t Ticks) const;
  int64_t FromMicroseconds(int64_t Microseconds) const;
  int64_t ToNanoseconds(int64_t Ticks) const;
  int64_t FromNanoseconds(int64_t Nanoseconds) const;
  int64_t SecondInterval() const { return Frequency; }

  int64_t Frequency = 0;
  int32_t FrequencyShift = 0;
  int64_t MillisecondInterval = 0;
  int64_t TwoMillisecondsInterval = 0;
  int64_t FourMillisecondsInterval = 0;
  int64_t QuarterSecondInterval = 0;
  int64_t HourInterval = 0;

 private:
  void Setup(int64_t CounterFrequency);
  bool HasCounter = false;
};
