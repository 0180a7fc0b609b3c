#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "core/ZNT1Sort.h"
#include "support/TestData.h"

namespace {

struct Item {
  int32_t Key;
  int32_t Id;  // original position, to see what an unstable sort did
};

int64_t CompareCalls = 0;
std::vector<std::pair<int32_t, int32_t>> CallLog;  // ids of the first calls

int32_t CompareKeys(const void* a, const void* b) {
  ++CompareCalls;
  const Item* x = static_cast<const Item*>(a);
  const Item* y = static_cast<const Item*>(b);
  if (CallLog.size() < 4) CallLog.emplace_back(x->Id, y->Id);
  return x->Key < y->Key ? -1 : x->Key > y->Key ? 1 : 0;
}

struct Fixture {
  std::vector<Item> Storage;
  std::vector<void*> Items;

  explicit Fixture(const std::vector<int32_t>& Keys) : Storage(Keys.size()) {
    for (size_t i = 0; i < Keys.size(); ++i) {
      Storage[i] = {Keys[i], static_cast<int32_t>(i)};
      Items.push_back(&Storage[i]);
    }
  }
  std::vector<int32_t> Keys() const {
    std::vector<int32_t> k;
    for (void* p : Items) k.push_back(static_cast<Item*>(p)->Key);
    return k;
  }
  std::vector<int32_t> Ids() const {
    std::vector<int32_t> k;
    for (void* p : Items) k.push_back(static_cast<Item*>(p)->Id);
    return k;
  }
  void Sort(int32_t Left, int32_t Right) {
    CompareCalls = 0;
    CallLog.clear();
    IntroSort(Items.data(), Left, Right, CompareKeys);
  }
};

}  // namespace

TEST(IntroSort, IntLog2) {
  const uint32_t Cases[][2] = {{0, 0}, {1, 0}, {2, 1}, {3, 1}, {16, 4}, {1000, 9}, {0xFFFFFFFFu, 31}};
  for (const auto& c : Cases) EXPECT_EQ(IntLog2(c[0]), c[1]) << c[0];
}

TEST(IntroSort, EmptyRangeIsNotTouched) {
  Fixture f({3, 2, 1});
  for (const auto& [l, r] : {std::pair{0, 0}, {2, 1}, {1, 1}, {2, -5}}) {
    f.Sort(l, r);
    EXPECT_EQ(CompareCalls, 0);
    EXPECT_EQ(f.Keys(), (std::vector<int32_t>{3, 2, 1}));
  }
}

TEST(IntroSort, SixteenItemsByInsertionSeventeenPartitionFirst) {
  // Sixteen items: insertion only, so equal keys keep their order and the first call
  // compares item 0 with item 1.
  std::vector<int32_t> Keys16 = {5, 1, 5, 0, 1, 5, 2, 2, 0, 1, 5, 2, 0, 9, 1, 2};
  Fixture a(Keys16);
  a.Sort(0, 15);
  std::vector<Item> Expected(a.Storage);
  std::stable_sort(Expected.begin(), Expected.end(), [](const Item& x, const Item& y) { return x.Key < y.Key; });
  std::vector<int32_t> ExpectedIds;
  for (const Item& e : Expected) ExpectedIds.push_back(e.Id);
  EXPECT_EQ(a.Ids(), ExpectedIds);
  ASSERT_FALSE(CallLog.empty());
  EXPECT_EQ(CallLog[0], std::make_pair(0, 1));

  // Seventeen: the median of three comes first (Left against Middle = 8).
  Keys16.push_back(3);
  Fixture b(Keys16);
  b.Sort(0, 16);
  const std::vector<int32_t> Keys17 = b.Keys();
  EXPECT_TRUE(std::is_sorted(Keys17.begin(), Keys17.end()));
  ASSERT_FALSE(CallLog.empty());
  EXPECT_EQ(CallLog[0], std::make_pair(0, 8));
}

TEST(IntroSort, SortedAndEqualInputs) {
  std::vector<int32_t> Sorted(1000);
  for (int i = 0; i < 1000; ++i) Sorted[i] = i;
  Fixture a(Sorted);
  a.Sort(0, 999);
  EXPECT_EQ(a.Keys(), Sorted);
  // The median of three splits sorted input evenly: about n log2 n comparisons.
  EXPECT_LT(CompareCalls, 12000);

  std::vector<int32_t> Reversed(Sorted.rbegin(), Sorted.rend());
  Fixture b(Reversed);
  b.Sort(0, 999);
  EXPECT_EQ(b.Keys(), Sorted);

  Fixture c(std::vector<int32_t>(5000, 7));
  c.Sort(0, 4999);  // must end: i and j step past every swapped pair
  EXPECT_EQ(c.Keys(), std::vector<int32_t>(5000, 7));
  EXPECT_LT(CompareCalls, 200000);
}

TEST(IntroSort, RandomisedAgainstStdSort) {
  std::mt19937 Rng(42);
  const int Rounds = testdata::Sanitizing ? 300 : 3000;
  for (int Round = 0; Round < Rounds; ++Round) {
    const int n = static_cast<int>(Rng() % (Round % 10 == 0 ? 5000 : 200));
    const uint32_t KeyRange = 1u + Rng() % (Round % 3 == 0 ? 4 : 100000);  // many equal keys a third of the time
    std::vector<int32_t> Keys(n);
    for (int32_t& k : Keys) k = static_cast<int32_t>(Rng() % KeyRange) - 50;
    if (Round % 7 == 1) std::sort(Keys.begin(), Keys.end());
    if (Round % 7 == 2) std::sort(Keys.rbegin(), Keys.rend());
    if (Round % 7 == 3 && n > 2) std::sort(Keys.begin(), Keys.begin() + n / 2);  // sorted run then noise
    Fixture f(Keys);
    // A subrange, so that items outside it must stay where they are.
    const int32_t Left = n > 0 ? static_cast<int32_t>(Rng() % (n / 4 + 1)) : 0;
    const int32_t Right = n - 1 - (n > 0 ? static_cast<int32_t>(Rng() % (n / 4 + 1)) : 0);
    if (Round % 2 == 0) {
      f.Sort(Left, Right);
    } else {
      // The callable overload, which the batch sort uses with an inlined comparison.
      int64_t Calls = 0;
      IntroSort(f.Items.data(), Left, Right, [&Calls](const void* a, const void* b) {
        ++Calls;
        const int32_t x = static_cast<const Item*>(a)->Key, y = static_cast<const Item*>(b)->Key;
        return x < y ? -1 : x > y ? 1 : 0;
      });
      if (Left >= Right) {
        ASSERT_EQ(Calls, 0);
      }
    }
    std::vector<int32_t> Expected = Keys;
    if (Left < Right) std::sort(Expected.begin() + Left, Expected.begin() + Right + 1);
    ASSERT_EQ(f.Keys(), Expected) << "round " << Round << " n " << n;
    std::vector<int32_t> Ids = f.Ids();
    for (int32_t i = 0; i < n; ++i) {
      if (i < Left || i > Right) {
        ASSERT_EQ(Ids[i], i);
      }
    }
    std::sort(Ids.begin(), Ids.end());
    for (int32_t i = 0; i < n; ++i) ASSERT_EQ(Ids[i], i);  // a permutation, nothing lost or doubled
  }
}

namespace {

// An adversary that makes any quicksort quadratic: values are decided lazily so that
// every pivot turns out to be nearly the smallest item. Only the heapsort fallback
// keeps the count of comparisons near n log n.
struct Adversary {
  std::vector<int32_t> Value;
  int32_t Gas = 0;
  int32_t Solid = 0;
  int32_t Candidate = 0;
  int64_t Calls = 0;
};
Adversary* Adv = nullptr;

int32_t CompareAdversary(const void* a, const void* b) {
  Adversary& A = *Adv;
  ++A.Calls;
  const int32_t x = *static_cast<const int32_t*>(a);
  const int32_t y = *static_cast<const int32_t*>(b);
  if (A.Value[x] == A.Gas && A.Value[y] == A.Gas) A.Value[x == A.Candidate ? x : y] = A.Solid++;
  if (A.Value[x] == A.Gas)
    A.Candidate = x;
  else if (A.Value[y] == A.Gas)
    A.Candidate = y;
  return A.Value[x] < A.Value[y] ? -1 : A.Value[x] > A.Value[y] ? 1 : 0;
}

}  // namespace

TEST(IntroSort, HeapsortFallbackDeepInTheArray) {
  const int32_t n = testdata::Sanitizing ? 4000 : 20000;
  const int32_t Offset = 123;  // Left > 0
  Adversary A;
  A.Gas = n;
  A.Value.assign(n, A.Gas);
  Adv = &A;
  std::vector<int32_t> Ids(n);
  std::vector<void*> Items(n + 2 * Offset, nullptr);
  for (int32_t i = 0; i < n; ++i) {
    Ids[i] = i;
    Items[Offset + i] = &Ids[i];
  }
  IntroSort(Items.data(), Offset, Offset + n - 1, CompareAdversary);
  Adv = nullptr;

  for (int32_t i = 0; i < Offset; ++i) ASSERT_EQ(Items[i], nullptr);
  for (int32_t i = Offset + n; i < n + 2 * Offset; ++i) ASSERT_EQ(Items[i], nullptr);
  for (int32_t i = Offset + 1; i < Offset + n; ++i)
    ASSERT_LE(A.Value[*static_cast<int32_t*>(Items[i - 1])], A.Value[*static_cast<int32_t*>(Items[i])]) << i;
  // Quadratic would be tens of millions of calls; n log n with a modest constant stays far below.
  const double Bound = 8.0 * n * std::log2(static_cast<double>(n));
  EXPECT_LT(static_cast<double>(A.Calls), Bound) << A.Calls;
  EXPECT_GT(A.Solid, n / 2);  // the adversary really drove the partitions
}
