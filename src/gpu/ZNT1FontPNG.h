#pragma once
// The console's 8 x 16 bitmap font: a 128 x 256 1-bit PNG, glyph n at column n mod 16, row n div 16.
#include <cstdint>

extern const uint8_t FontData[];
extern const uint32_t FontSize;
