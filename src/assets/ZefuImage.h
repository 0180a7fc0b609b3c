#pragma once
// Image files held in memory into the one decoded-image form: Width x Height pixels of
// 4 bytes R, G, B, A (A = 255 opaque), top row first, rows tightly packed, in one
// std::malloc block that the caller releases with std::free.
#include <cstdint>

// Tries PNG, JPEG, DDS and TGA in that order; the first decoder that succeeds wins. Level 0
// is the image itself; levels above 0 are the stored mip levels that only DDS files hold.
// On failure nothing is written and there is nothing to release.
bool LoadImage(const void* DataPointer, uint32_t DataSize, void*& ImageData, int32_t& ImageWidth,
               int32_t& ImageHeight, int32_t MipMapLevel);
