#pragma once
// The SMAA area lookup table: 160 x 560 pixels of two bytes, row by row.
#include <cstdint>

constexpr int32_t SMAAAreaWidth = 160;
constexpr int32_t SMAAAreaHeight = 560;
constexpr int32_t SMAAAreaDataSize = SMAAAreaWidth * SMAAAreaHeight * 2;  // 179,200

extern const uint8_t SMAAAreaData[SMAAAreaDataSize];
