#pragma once
// The SMAA search lookup table: 66 x 33 pixels of one byte, row by row, stored in 2,180
// bytes of which the first 2,178 are used; generated on first use.
#include <cstdint>

constexpr int32_t SMAASearchWidth = 66;
constexpr int32_t SMAASearchHeight = 33;
constexpr int32_t SMAASearchDataSize = 2180;
static_assert(SMAASearchWidth * SMAASearchHeight <= SMAASearchDataSize);

// A search step reads a pair of pixels c, c + 1 along an edge run with one bilinear fetch
// weighted 3/4 : 1/4, so Run = 3/4 run(c) + 1/4 run(c + 1) and Crossing likewise for the
// edges crossing the run at the pixels' lower boundaries. The entry for (Run, Crossing) sits
// in column round(Run × 32) (+ 33 when searching upwards) and row round(Crossing × 32).
// Its byte is 0 while the run goes on past the pair, else 64 × (k + 1): searching down the
// run's first pixel is c + k (k 0..2), searching up its last pixel is c − 1 + k (k 0..1).
// Downwards, c + 2 is known to be in the run; upwards, c − 1 is.
uint8_t SMAASearchDecode(bool Up, double Run, double Crossing);

const uint8_t* SMAASearchData();
