#include "core/ZNT1Sort.h"

void IntroSort(void** Items, int32_t Left, int32_t Right, TZNT1SortCompareFunction CompareFunc) {
  if (CompareFunc == nullptr) return;
  IntroSort<TZNT1SortCompareFunction>(Items, Left, Right, CompareFunc);
}
