#pragma once
// The platform's performance counter: a monotonic count with a known frequency.
#include <cstdint>

// Counts since process start; false when no counter exists.
bool PlatformQueryPerformanceCounter(int64_t& Count);
bool PlatformQueryPerformanceFrequency(int64_t& Frequency);
// Milliseconds since process start (the fallback clock).
int64_t PlatformGetTickCount();
// Sleeps the calling thread; 0 yields the processor.
void PlatformSleep(uint32_t Milliseconds);
