#pragma once
// The engine's one sort: in-place, unstable, no recursion and no allocation.
#include <cstdint>

#include "core/ZNT1Globals.h"

// Sorts Items[Left..Right] (inclusive) ascending by CompareFunc; nothing happens when
// Left >= Right. CompareFunc always gets the array element first and the reference
// (pivot or the item being placed) second.
void IntroSort(void** Items, int32_t Left, int32_t Right, TZNT1SortCompareFunction CompareFunc);

// Index of the highest set bit; 0 for 0 and 1.
uint32_t IntLog2(uint32_t x);
