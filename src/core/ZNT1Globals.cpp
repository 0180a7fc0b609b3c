#include "core/ZNT1Globals.h"

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
