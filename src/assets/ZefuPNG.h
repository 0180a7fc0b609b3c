#pragma once
// PNG decoder with its own inflate: every colour type and bit depth, Adam7, palettes,
// transparent colours and the CgBI variant, into the decoded image (R, G, B, A bytes,
// top row first, tightly packed).
#include <cstddef>
#include <cstdint>

// On success ImageData is a std::malloc block of ImageWidth * ImageHeight * 4 bytes that the
// caller releases with std::free. On failure nothing is written. With HeaderOnly the answer
// comes from the IHDR chunk alone: the size is reported and ImageData is left alone.
bool LoadPNG(const void* DataPointer, uint32_t DataSize, void*& ImageData, int32_t& ImageWidth,
             int32_t& ImageHeight, bool HeaderOnly);

namespace ZefuPNG {

// The CRC-32 of PNG chunks; 0 for an empty input.
uint32_t CRC32(const void* Data, size_t Length);
// RFC 1950 checksum continued from Adler (start with 1).
uint32_t adler32(uint32_t Adler, const void* Data, size_t Length);

// Inflates a zlib stream (ParseHeader: header checked, the last 4 bytes must be the Adler-32
// of the output) or raw Deflate data. At most MaxLen bytes are produced: a stream that wants
// to write more stops there and succeeds without the checksum test. On success DestData is
// a std::malloc block (caller frees) holding DestLen bytes; on failure nothing is written.
bool DoInflate(const void* InData, size_t InLen, uint8_t*& DestData, size_t& DestLen,
               bool ParseHeader, size_t MaxLen);

}  // namespace ZefuPNG
