#include "assets/ZefuTGA.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Largest decoded image handed out: 2^28 pixels (1 GiB).
constexpr uint64_t MaxImageBytes = uint64_t(1) << 30;

struct TFree {
  void operator()(void* p) const { std::free(p); }
};

inline uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

struct TReader {
  const uint8_t* Data;
  uint64_t Size;
  uint64_t Pos;
  bool Short = false;
  // Copies what is left and fills the rest with zeros; a short read is remembered.
  uint64_t Read(uint8_t* Dst, uint64_t Count) {
    const uint64_t left = Pos < Size ? Size - Pos : 0;
    const uint64_t n = std::min(left, Count);
    if (n) std::memcpy(Dst, Data + Pos, size_t(n));
    if (n < Count) {
      std::memset(Dst + n, 0, size_t(Count - n));
      Short = true;
    }
    Pos += Count;
    return n;
  }
  uint64_t Left() const { return Pos < Size ? Size - Pos : 0; }
};

struct TDecoder {
  TTGAHeader H;
  std::vector<uint8_t> ColorMap;
  bool HasColorMap = false;

  // 16-bit pixels: the low five bits are red here, not blue as in the other depths.
  static void Encode16(const uint8_t* P, uint8_t* Out) {
    const uint32_t c = Get16(P);
    Out[0] = uint8_t(((c & 31) << 3) | 15);
    Out[1] = uint8_t((((c >> 5) & 31) << 3) | 15);
    Out[2] = uint8_t((((c >> 10) & 31) << 3) | 15);
    Out[3] = (c & 0x8000) ? 143 : 15;
  }

  void PaletteEncode(uint32_t Index, uint8_t* Out) const {
    if (HasColorMap && Index + H.CMapStart < H.CMapLength) {
      const uint8_t* e = ColorMap.data() + size_t(Index) * (H.CMapDepth / 8);
      switch (H.CMapDepth) {
        case 8:
          Out[0] = e[0];
          Out[1] = Out[2] = Out[3] = 0;
          return;
        case 16:
          Encode16(e, Out);
          return;
        case 24:
          Out[0] = e[2];
          Out[1] = e[1];
          Out[2] = e[0];
          Out[3] = H.ImageType == 3 ? uint8_t((e[0] + e[1] + e[2]) / 3) : 255;
          return;
        default:
          Out[0] = e[3];
          Out[1] = e[2];
          Out[2] = e[1];
          Out[3] = e[0];
          return;
      }
    }
    std::memset(Out, 0, 4);
  }

  void Encode(const uint8_t* P, uint8_t* Out) const {
    switch (H.BPP) {
      case 8: {
        const uint8_t v = P[0];
        switch (H.ImageType) {
          case 1: case 9: PaletteEncode(v, Out); break;
          case 2: case 10: Out[0] = v; Out[1] = Out[2] = Out[3] = 0; break;
          case 3: Out[0] = Out[1] = Out[2] = Out[3] = v; break;  // grey is also the alpha
          default: Out[0] = Out[1] = Out[2] = v; Out[3] = 255; break;
        }
        break;
      }
      case 16:
        Encode16(P, Out);
        break;
      case 24:
        Out[0] = P[2];
        Out[1] = P[1];
        Out[2] = P[0];
        Out[3] = H.ImageType == 3 ? uint8_t((P[0] + P[1] + P[2]) / 3) : 255;
        break;
      default:
        Out[0] = P[2];
        Out[1] = P[1];
        Out[2] = P[0];
        Out[3] = P[3];
        break;
    }
  }
};

void FlipAndCorrectImage(uint8_t* Img, uint32_t W, uint32_t H, uint8_t Info) {
  uint32_t* px = reinterpret_cast<uint32_t*>(Img);
  if (Info & 0x10)
    for (uint32_t y = 0; y < H; ++y) std::reverse(px + size_t(y) * W, px + size_t(y + 1) * W);
  if (!(Info & 0x20))
    for (uint32_t y = 0; y < H / 2; ++y)
      std::swap_ranges(px + size_t(y) * W, px + size_t(y + 1) * W, px + size_t(H - 1 - y) * W);
}

}  // namespace

bool LoadTGAImage(const void* DataPointer, uint32_t DataSize, void*& ImageData, int32_t& ImageWidth,
                  int32_t& ImageHeight) {
  const uint8_t* data = static_cast<const uint8_t*>(DataPointer);
  if (!data || DataSize < 18) return false;
  TDecoder d;
  TTGAHeader& h = d.H;
  h.ImageID = data[0];
  h.ColorMapType = data[1];
  h.ImageType = data[2];
  h.CMapStart = Get16(data + 3);
  h.CMapLength = Get16(data + 5);
  h.CMapDepth = data[7];
  h.OrigX = Get16(data + 8);
  h.OrigY = Get16(data + 10);
  h.Width = Get16(data + 12);
  h.Height = Get16(data + 14);
  h.BPP = data[16];
  h.ImageInfo = data[17];
  if (h.ColorMapType > 1) return false;
  switch (h.ImageType) {
    case 1: case 2: case 3: case 9: case 10: case 11: break;
    default: return false;
  }
  // A decoded image has at least one pixel, and only these depths have a meaning.
  if (h.Width == 0 || h.Height == 0) return false;
  if (h.BPP != 8 && h.BPP != 16 && h.BPP != 24 && h.BPP != 32) return false;
  const uint64_t pixels = uint64_t(h.Width) * h.Height;
  if (pixels * 4 > MaxImageBytes) return false;

  TReader in{data, DataSize, 18};
  in.Pos += h.ImageID;
  if (h.ColorMapType == 1) {
    if (h.CMapDepth != 8 && h.CMapDepth != 16 && h.CMapDepth != 24 && h.CMapDepth != 32) return false;
    d.ColorMap.resize(size_t(h.CMapLength) * (h.CMapDepth / 8));
    in.Read(d.ColorMap.data(), d.ColorMap.size());
    d.HasColorMap = true;
  }
  const uint32_t bytesPerPixel = h.BPP / 8;
  const bool rle = h.ImageType >= 9;
  // A file too short for its pixels is refused before anything is allocated.
  if (in.Short || (!rle && in.Left() < pixels * bytesPerPixel)) return false;
  // Each packet covers at most 128 pixels with a header byte and at least one pixel value.
  if (rle && in.Left() < (pixels + 127) / 128 * (1 + bytesPerPixel)) return false;

  std::unique_ptr<uint8_t, TFree> image(static_cast<uint8_t*>(std::malloc(size_t(pixels) * 4)));
  if (!image) return false;
  uint8_t* out = image.get();
  if (!rle) {
    const uint8_t* src = data + in.Pos;
    for (uint64_t i = 0; i < pixels; ++i, src += bytesPerPixel, out += 4) d.Encode(src, out);
  } else {
    uint64_t filled = 0;
    uint8_t px[4];
    uint8_t encoded[4];
    while (filled < pixels && !in.Short) {
      uint8_t head;
      in.Read(&head, 1);
      const uint64_t count = (head & 127) + 1;
      const uint64_t n = std::min(count, pixels - filled);
      if (head & 128) {
        in.Read(px, bytesPerPixel);
        d.Encode(px, encoded);
        for (uint64_t i = 0; i < n; ++i, out += 4) std::memcpy(out, encoded, 4);
      } else {
        for (uint64_t i = 0; i < n; ++i, out += 4) {
          in.Read(px, bytesPerPixel);
          d.Encode(px, out);
        }
      }
      filled += n;
    }
  }
  // Truncated pixel data: not decoded.
  if (in.Short) return false;
  FlipAndCorrectImage(image.get(), h.Width, h.Height, h.ImageInfo);
  ImageData = image.release();
  ImageWidth = h.Width;
  ImageHeight = h.Height;
  return true;
}
