// Freed heap goes back to the system: pages held only by freed blocks leave the resident set
// even while a few live blocks sit above them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/ZNT1PlatformMemory.h"
#include "support/EngineHoldings.h"
#include "support/TestData.h"

TEST(PlatformMemory, FreedPagesLeaveTheResidentSet) {
  if (testdata::Sanitizing) GTEST_SKIP() << "the sanitizer's allocator keeps its own pages";
  constexpr size_t Blocks = 16384, BlockSize = 8192;  // 128 MB, below the size that gets its own mapping
  std::vector<void*> Held(Blocks);
  for (void*& p : Held) {
    p = std::malloc(BlockSize);
    ASSERT_NE(p, nullptr);
    std::memset(p, 1, BlockSize);
  }
  // Every 64th block stays, so no freed stretch reaches the top of the heap.
  for (size_t i = 0; i < Blocks; ++i)
    if (i % 64 != 63) {
      std::free(Held[i]);
      Held[i] = nullptr;
    }
  const double Before = holdings::ResidentMB();
  PlatformReleaseFreeMemory();
  const double After = holdings::ResidentMB();
  for (void* p : Held) std::free(p);
  EXPECT_LT(After, Before - 64.0) << "resident " << Before << " MB before, " << After << " MB after";
}
