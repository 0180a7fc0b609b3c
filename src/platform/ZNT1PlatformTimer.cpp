#include "platform/ZNT1PlatformTimer.h"

#include <chrono>
#include <thread>

namespace {
using Clock = std::chrono::steady_clock;
const Clock::time_point ProcessStart = Clock::now();
}  // namespace

bool PlatformQueryPerformanceCounter(int64_t& Count) {
  Count = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - ProcessStart).count();
  return true;
}

bool PlatformQueryPerformanceFrequency(int64_t& Frequency) {
  Frequency = 1000000000;
  return true;
}

int64_t PlatformGetTickCount() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - ProcessStart).count();
}

void PlatformSleep(uint32_t Milliseconds) {
  if (Milliseconds == 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(Milliseconds));
}
