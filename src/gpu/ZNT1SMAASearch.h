#pragma once
// The SMAA search lookup table: 66 x 33 pixels of one byte, row by row, stored in 2,180
// bytes of which the first 2,178 are used.
#include <cstdint>

constexpr int32_t SMAASearchWidth = 66;
constexpr int32_t SMAASearchHeight = 33;
constexpr int32_t SMAASearchDataSize = 2180;
static_assert(SMAASearchWidth * SMAASearchHeight <= SMAASearchDataSize);

extern const uint8_t SMAASearchData[SMAASearchDataSize];
