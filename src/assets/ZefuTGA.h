#pragma once
// Truevision TGA decoder: colour-mapped, true-colour and greyscale images of 8, 16, 24 and
// 32 bits per pixel, raw or run-length encoded, into the decoded image (R, G, B, A bytes,
// top row first, tightly packed).
#include <cstdint>

// The 18-byte file header (little-endian).
struct TTGAHeader {
  uint8_t ImageID;       // length of the ID field after the header
  uint8_t ColorMapType;  // 0 none, 1 present
  uint8_t ImageType;     // 1, 2, 3 raw; 9, 10, 11 run-length encoded
  uint16_t CMapStart;    // first colour-map entry index
  uint16_t CMapLength;   // colour-map entries
  uint8_t CMapDepth;     // bits per colour-map entry
  uint16_t OrigX, OrigY;
  uint16_t Width, Height;
  uint8_t BPP;
  uint8_t ImageInfo;  // bit 4: right to left; bit 5: top row first
};

// On success ImageData is a std::malloc block of ImageWidth * ImageHeight * 4 bytes that the
// caller releases with std::free. On failure nothing is written.
bool LoadTGAImage(const void* DataPointer, uint32_t DataSize, void*& ImageData, int32_t& ImageWidth,
                  int32_t& ImageHeight);
