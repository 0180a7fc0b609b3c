#pragma once
// The engine's one sort: in-place, unstable, no recursion and no allocation.
#include <bit>
#include <cstdint>

#include "core/ZNT1Globals.h"

// Sorts Items[Left..Right] (inclusive) ascending by CompareFunc; nothing happens when
// Left >= Right. CompareFunc always gets the array element first and the reference
// (pivot or the item being placed) second.
void IntroSort(void** Items, int32_t Left, int32_t Right, TZNT1SortCompareFunction CompareFunc);

// The same sort with any callable of the same shape; a lambda here lets the compiler
// inline the comparison, which the per-frame batch sort wants.
template <typename TCompare>
void IntroSort(void** Items, int32_t Left, int32_t Right, TCompare CompareFunc);

// Index of the highest set bit; 0 for 0 and 1.
inline uint32_t IntLog2(uint32_t x) { return x <= 1 ? 0 : static_cast<uint32_t>(std::bit_width(x)) - 1; }

namespace znt1_sort_detail {

struct TWorkEntry {
  int32_t Left, Right, Depth;
};

constexpr int32_t StackEntries = 32;
// Quicksort pushes at most two entries, so it only runs while fewer than this many wait.
constexpr int32_t HeapsortStackLimit = 30;

template <typename TCompare>
inline void InsertionSort(void** Items, int32_t Left, int32_t Right, TCompare& Compare) {
  for (int32_t i = Left + 1; i <= Right; ++i) {
    void* const t = Items[i];
    int32_t j = i - 1;
    while (j >= Left && Compare(Items[j], t) > 0) {
      Items[j + 1] = Items[j];
      --j;
    }
    Items[j + 1] = t;
  }
}

template <typename TCompare>
void HeapSort(void** Items, int32_t Left, int32_t Right, TCompare& Compare) {
  void** const Base = Items + Left;
  int32_t n = Right - Left + 1;
  int32_t i = n / 2;
  for (;;) {
    void* t;
    if (i > 0) {
      t = Base[--i];  // building the heap
    } else {
      if (n == 0) return;
      --n;  // moving the largest behind the heap
      t = Base[n];
      Base[n] = Base[0];
    }
    int32_t Parent = i;
    int32_t Child = 2 * i + 1;
    while (Child < n) {
      if (Child + 1 < n && Compare(Base[Child + 1], Base[Child]) > 0) ++Child;
      if (Compare(Base[Child], t) > 0) {
        Base[Parent] = Base[Child];
        Parent = Child;
        Child = 2 * Parent + 1;
      } else {
        break;
      }
    }
    Base[Parent] = t;
  }
}

inline void Swap(void*& a, void*& b) {
  void* const t = a;
  a = b;
  b = t;
}

}  // namespace znt1_sort_detail

template <typename TCompare>
void IntroSort(void** Items, int32_t Left, int32_t Right, TCompare CompareFunc) {
  using namespace znt1_sort_detail;
  if (Left >= Right || Items == nullptr) return;
  TWorkEntry Stack[StackEntries];
  int32_t Count = 0;
  const uint32_t Length = static_cast<uint32_t>(Right) - static_cast<uint32_t>(Left) + 1;
  Stack[Count++] = {Left, Right, static_cast<int32_t>(2 * IntLog2(Length))};
  while (Count > 0) {
    const TWorkEntry Work = Stack[--Count];
    const int32_t L = Work.Left;
    const int32_t R = Work.Right;
    if (R - L < 16) {
      InsertionSort(Items, L, R, CompareFunc);
    } else if (Work.Depth == 0 || Count >= HeapsortStackLimit) {
      HeapSort(Items, L, R, CompareFunc);
    } else {
      const int32_t Middle = L + (R - L) / 2;
      if (CompareFunc(Items[L], Items[Middle]) > 0) Swap(Items[L], Items[Middle]);
      if (CompareFunc(Items[L], Items[R]) > 0) Swap(Items[L], Items[R]);
      if (CompareFunc(Items[Middle], Items[R]) > 0) Swap(Items[Middle], Items[R]);
      void* const Pivot = Items[Middle];
      int32_t i = L;
      int32_t j = R;
      for (;;) {
        while (i < R && CompareFunc(Items[i], Pivot) < 0) ++i;
        while (j >= i && CompareFunc(Items[j], Pivot) > 0) --j;
        if (i > j) break;
        Swap(Items[i], Items[j]);
        ++i;
        --j;
      }
      // The left part goes on top, so it is sorted first.
      if (i < R) Stack[Count++] = {i, R, Work.Depth - 1};
      if (L < j) Stack[Count++] = {L, j, Work.Depth - 1};
    }
  }
}
