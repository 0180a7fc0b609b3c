#pragma once
// Types, constant families and small helpers shared by every unit.
#include <cstdint>
#include <string>

// The program's own 32-bit atomics (full barrier). A compare-exchange of -1 with -1
// serves as an atomic read of a value that is never -1.
int32_t InterlockedExchange(volatile int32_t& Target, int32_t Source);
int32_t InterlockedExchangeAdd(volatile int32_t& Target, int32_t Source);
int32_t InterlockedCompareExchange(volatile int32_t& Target, int32_t NewValue, int32_t Comperand);
