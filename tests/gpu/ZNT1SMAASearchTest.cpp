#include <gtest/gtest.h>

#include <cmath>

#include "gpu/ZNT1SMAASearch.h"

namespace {

// The entry a bilinear pair read of pixels c, c + 1 lands on.
uint8_t Entry(bool Up, bool Run0, bool Run1, bool Cross0, bool Cross1) {
  const double Run = 0.75 * Run0 + 0.25 * Run1, Cross = 0.75 * Cross0 + 0.25 * Cross1;
  const int32_t X = int32_t(std::lround(Run * 32.0)) + (Up ? 33 : 0), Y = int32_t(std::lround(Cross * 32.0));
  return SMAASearchData()[size_t(Y) * SMAASearchWidth + size_t(X)];
}

}  // namespace

// Each pair pattern against a pixel-by-pixel walk along a row where everything beyond the
// pair continues the run: the walk passes the pair exactly when the entry says "go on", else
// it stops where the entry says.
TEST(SMAASearch, EveryPairEntryMatchesAPixelWalk) {
  for (int Bits = 0; Bits < 16; Bits++) {
    const bool Run0 = Bits & 1, Run1 = Bits & 2, Cross0 = Bits & 4, Cross1 = Bits & 8;
    SCOPED_TRACE(Bits);
    // Pixels indexed from c − 2: c is 2, c + 1 is 3.
    bool Run[8], Cross[8];
    for (int i = 0; i < 8; i++) Run[i] = true, Cross[i] = false;
    Run[2] = Run0, Run[3] = Run1, Cross[2] = Cross0, Cross[3] = Cross1;

    // Down from c + 2 (in the run, no crossing at its lower boundary).
    Cross[4] = false;
    int First = 4;
    while (First > 0 && !Cross[First] && Run[First - 1]) First--;
    const uint8_t Down = Entry(false, Run0, Run1, Cross0, Cross1);
    if (First < 2) {
      EXPECT_EQ(Down, 0);
    } else {
      EXPECT_EQ(Down, 64 * (First - 2 + 1));
    }

    // Up from c − 1 (in the run).
    int Last = 1;
    while (Last + 1 < 8 && Run[Last + 1] && !Cross[Last + 1]) Last++;
    const uint8_t Up = Entry(true, Run0, Run1, Cross0, Cross1);
    if (Last > 3) {
      EXPECT_EQ(Up, 0);
    } else {
      EXPECT_EQ(Up, 64 * (Last - (2 - 1) + 1));
    }
  }
}

// Filtering noise around a mix still lands on that mix's entry.
TEST(SMAASearch, NeighbouringEntriesDecodeAsTheNearestMix) {
  for (bool Up : {false, true})
    for (int Row = 0; Row < SMAASearchHeight; Row++)
      for (int Col = 0; Col < 33; Col++) {
        const double Run = Col / 32.0, Cross = Row / 32.0;
        auto Snap = [](double v) {
          double Best = 0;
          for (double m : {0.25, 0.75, 1.0})
            if (std::fabs(v - m) < std::fabs(v - Best)) Best = m;
          return Best;
        };
        EXPECT_EQ(SMAASearchData()[size_t(Row) * SMAASearchWidth + size_t(Col + (Up ? 33 : 0))],
                  SMAASearchDecode(Up, Snap(Run), Snap(Cross)));
      }
}
