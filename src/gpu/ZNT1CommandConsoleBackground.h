#pragma once
// The console's 512 x 512 background picture (baseline JPEG).
#include <cstdint>

extern const uint8_t CommandConsoleBackgroundData[];
extern const uint32_t CommandConsoleBackgroundSize;
