#include "assets/ZefuDDS.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Largest decoded image handed out: 2^28 pixels (1 GiB).
constexpr uint64_t MaxImageBytes = uint64_t(1) << 30;

struct TFree {
  void operator()(void* p) const { std::free(p); }
};

enum class TFormat {
  None, DXT1, DXT2, DXT3, DXT4, DXT5,
  BGRA, BGRX, RGBA, BGR, RGB, B5G6R5, B5G5R5A1, B4G4R4A4, R10G10B10A2,
  L16, L8A8, L8, R8, A8, R3G3B2, P8,
};

inline uint32_t Get16(const uint8_t* p) { return uint32_t(p[0] | p[1] << 8); }
inline uint32_t Get32(const uint8_t* p) { return Get16(p) | Get16(p + 2) << 16; }

TFormat FromDXGI(uint32_t f) {
  switch (f) {
    case 70: case 71: case 72: return TFormat::DXT1;
    case 73: case 74: case 75: return TFormat::DXT3;
    case 76: case 77: case 78: return TFormat::DXT5;
    case 87: case 90: case 91: return TFormat::BGRA;
    case 88: case 92: case 93: return TFormat::BGRX;
    case 85: return TFormat::B5G6R5;
    case 86: return TFormat::B5G5R5A1;
    case 115: return TFormat::B4G4R4A4;
    case 23: case 24: case 25: return TFormat::R10G10B10A2;
    case 27: case 28: case 29: case 30: case 31: case 32: return TFormat::RGBA;
    case 65: return TFormat::A8;
    case 60: case 61: case 62: case 63: case 64: return TFormat::R8;
    default: return TFormat::None;
  }
}

TFormat FromMasks(const TDDSPixelFormat& pf) {
  if (!(pf.dwFlags & DDPF_RGB)) return TFormat::None;
  const uint32_t r = pf.dwRBitMask, g = pf.dwGBitMask, b = pf.dwBBitMask, a = pf.dwABitMask;
  switch (pf.dwRGBBitCount) {
    case 24:
      if (r == 0xFF0000 && g == 0xFF00 && b == 0xFF) return TFormat::BGR;
      if (r == 0xFF && g == 0xFF00 && b == 0xFF0000) return TFormat::RGB;
      break;
    case 32:
      if (r == 0xFF0000 && g == 0xFF00 && b == 0xFF && a == 0xFF000000) return TFormat::BGRA;
      if (r == 0xFF && g == 0xFF00 && b == 0xFF0000 && a == 0xFF000000) return TFormat::RGBA;
      if (r == 0x3FF && g == 0xFFC00 && b == 0x3FF00000 && a == 0xC0000000) return TFormat::R10G10B10A2;
      break;
    case 16:
      if (r == 0xF800 && g == 0x7E0 && b == 0x1F && a == 0) return TFormat::B5G6R5;
      if (r == 0x7C00 && g == 0x3E0 && b == 0x1F && a == 0x8000) return TFormat::B5G5R5A1;
      if (r == 0xF00 && g == 0xF0 && b == 0xF && a == 0xF000) return TFormat::B4G4R4A4;
      if (r == 0xFF && g == 0 && b == 0 && a == 0xFF00) return TFormat::L8A8;
      if (r == 0xFFFF || g == 0xFFFF || b == 0xFFFF || a == 0xFFFF) return TFormat::L16;
      break;
    case 8:
      if (pf.dwFlags & DDPF_INDEXED) return TFormat::P8;
      if (r == 0xE0 && g == 0x1C && b == 0x3 && a == 0) return TFormat::R3G3B2;
      if (pf.dwFlags & DDPF_ALPHAPIXELS) return TFormat::A8;
      return TFormat::L8;
  }
  return TFormat::None;
}

uint32_t BlockBytes(TFormat f) {
  switch (f) {
    case TFormat::DXT1: return 8;
    case TFormat::DXT2: case TFormat::DXT3: case TFormat::DXT4: case TFormat::DXT5: return 16;
    default: return 0;
  }
}

uint32_t PixelBytes(TFormat f) {
  switch (f) {
    case TFormat::BGRA: case TFormat::BGRX: case TFormat::RGBA: case TFormat::R10G10B10A2: return 4;
    case TFormat::BGR: case TFormat::RGB: return 3;
    case TFormat::B5G6R5: case TFormat::B5G5R5A1: case TFormat::B4G4R4A4: case TFormat::L16:
    case TFormat::L8A8: return 2;
    case TFormat::L8: case TFormat::R8: case TFormat::A8: case TFormat::R3G3B2: case TFormat::P8: return 1;
    default: return 0;
  }
}

uint64_t LevelSize(TFormat f, uint64_t W, uint64_t H) {
  if (W * H > (uint64_t(1) << 40)) return UINT64_MAX;  // no file holds that much; keeps the sums in range
  if (const uint32_t block = BlockBytes(f)) return ((W + 3) / 4) * ((H + 3) / 4) * block;
  return W * H * PixelBytes(f);
}

// One uncompressed pixel to R, G, B, A. Luminance comes out grey.
void DecodePixel(TFormat f, const uint8_t* p, uint8_t* o) {
  switch (f) {
    case TFormat::BGRA: o[0] = p[2]; o[1] = p[1]; o[2] = p[0]; o[3] = p[3]; break;
    case TFormat::BGRX: o[0] = p[2]; o[1] = p[1]; o[2] = p[0]; o[3] = 255; break;
    case TFormat::RGBA: std::memcpy(o, p, 4); break;
    case TFormat::BGR: o[0] = p[2]; o[1] = p[1]; o[2] = p[0]; o[3] = 255; break;
    case TFormat::RGB: o[0] = p[0]; o[1] = p[1]; o[2] = p[2]; o[3] = 255; break;
    case TFormat::B5G6R5: {
      const uint32_t c = Get16(p);
      o[0] = uint8_t((c >> 8) & 0xF8);
      o[1] = uint8_t(((c >> 5) & 63) << 2);
      o[2] = uint8_t((c & 31) << 3);
      o[3] = 255;
      break;
    }
    case TFormat::B5G5R5A1: {
      const uint32_t c = Get16(p);
      o[0] = uint8_t(((c >> 10) & 31) << 3);
      o[1] = uint8_t(((c >> 5) & 31) << 3);
      o[2] = uint8_t((c & 31) << 3);
      o[3] = (c & 0x8000) ? 255 : 0;
      break;
    }
    case TFormat::B4G4R4A4: {
      const uint32_t c = Get16(p);
      o[0] = uint8_t(((c >> 8) & 15) * 17);
      o[1] = uint8_t(((c >> 4) & 15) * 17);
      o[2] = uint8_t((c & 15) * 17);
      o[3] = uint8_t(((c >> 12) & 15) * 17);
      break;
    }
    case TFormat::R10G10B10A2: {
      const uint32_t c = Get32(p);
      o[0] = uint8_t((c & 0x3FF) >> 2);
      o[1] = uint8_t(((c >> 10) & 0x3FF) >> 2);
      o[2] = uint8_t(((c >> 20) & 0x3FF) >> 2);
      o[3] = uint8_t((c >> 30) * 85);
      break;
    }
    case TFormat::L16: o[0] = o[1] = o[2] = uint8_t(Get16(p) >> 8); o[3] = 255; break;
    case TFormat::L8A8: o[0] = o[1] = o[2] = p[0]; o[3] = p[1]; break;
    case TFormat::L8: o[0] = o[1] = o[2] = p[0]; o[3] = 255; break;
    case TFormat::R8: o[0] = p[0]; o[1] = o[2] = 0; o[3] = 255; break;
    case TFormat::A8: o[0] = o[1] = o[2] = 255; o[3] = p[0]; break;
    case TFormat::R3G3B2: {
      const uint32_t v = p[0];
      o[0] = uint8_t(v & 0xE0);
      o[1] = uint8_t(((v >> 2) & 7) << 5);
      o[2] = uint8_t((v & 3) << 6);
      o[3] = 255;
      break;
    }
    case TFormat::P8: o[0] = o[1] = o[2] = o[3] = p[0]; break;  // the index itself: no palette
    default: break;
  }
}

void DecodeDXT(const uint8_t* Src, uint8_t* Img, uint32_t W, uint32_t H, int Kind, bool Premultiplied) {
  const uint32_t bw = (W + 3) / 4, bh = (H + 3) / 4;
  for (uint32_t by = 0; by < bh; ++by)
    for (uint32_t bx = 0; bx < bw; ++bx) {
      uint8_t alpha[16];
      if (Kind == 3) {
        for (int i = 0; i < 16; ++i) alpha[i] = uint8_t(((Src[i / 2] >> (4 * (i & 1))) & 15) * 17);
        Src += 8;
      } else if (Kind == 5) {
        const uint32_t a0 = Src[0], a1 = Src[1];
        uint32_t table[8] = {a0, a1};
        if (a0 > a1) {
          for (uint32_t i = 1; i <= 6; ++i) table[i + 1] = ((7 - i) * a0 + i * a1) / 7;
        } else {
          for (uint32_t i = 1; i <= 4; ++i) table[i + 1] = ((5 - i) * a0 + i * a1) / 5;
          table[6] = 0;
          table[7] = 255;
        }
        uint64_t bits = 0;
        for (int i = 0; i < 6; ++i) bits |= uint64_t(Src[2 + i]) << (8 * i);
        for (int i = 0; i < 16; ++i) alpha[i] = uint8_t(table[(bits >> (3 * i)) & 7]);
        Src += 8;
      } else {
        std::memset(alpha, 255, 16);
      }
      const uint32_t c0 = Get16(Src), c1 = Get16(Src + 2), idx = Get32(Src + 4);
      Src += 8;
      uint8_t col[4][4];
      auto expand = [](uint32_t c, uint8_t* o) {
        const uint32_t r = (c >> 11) & 31, g = (c >> 5) & 63, b = c & 31;
        o[0] = uint8_t((r << 3) | (r >> 2));
        o[1] = uint8_t((g << 2) | (g >> 4));
        o[2] = uint8_t((b << 3) | (b >> 2));
        o[3] = 255;
      };
      expand(c0, col[0]);
      expand(c1, col[1]);
      const bool threeColour = Kind == 1 && c0 <= c1;
      for (int ch = 0; ch < 3; ++ch) {
        const uint32_t e0 = col[0][ch], e1 = col[1][ch];
        if (threeColour) {
          col[2][ch] = uint8_t((e0 + e1) >> 1);
          col[3][ch] = 0;
        } else {
          col[2][ch] = uint8_t(((2 * e0 + e1) * 21) >> 6);
          col[3][ch] = uint8_t(((e0 + 2 * e1) * 21) >> 6);
        }
      }
      col[2][3] = 255;
      col[3][3] = threeColour ? 0 : 255;
      for (uint32_t y = 0; y < 4; ++y) {
        const uint32_t py = by * 4 + y;
        if (py >= H) break;
        for (uint32_t x = 0; x < 4; ++x) {
          const uint32_t px = bx * 4 + x;
          if (px >= W) break;
          const uint32_t i = y * 4 + x;
          const uint8_t* c = col[(idx >> (2 * i)) & 3];
          uint8_t* o = Img + (size_t(py) * W + px) * 4;
          o[0] = c[0];
          o[1] = c[1];
          o[2] = c[2];
          o[3] = Kind == 1 ? c[3] : alpha[i];
          if (Premultiplied && o[3] != 0)
            for (int ch = 0; ch < 3; ++ch) o[ch] = uint8_t(std::min<uint32_t>(255, o[ch] * 255u / o[3]));
        }
      }
    }
}

}  // namespace

bool LoadDDSImage(const void* DataPointer, uint32_t DataSize, void*& ImageData, int32_t& ImageWidth,
                  int32_t& ImageHeight, int32_t MipMapLevel) {
  const uint8_t* data = static_cast<const uint8_t*>(DataPointer);
  if (!data || DataSize < sizeof(TDDSHeader)) return false;
  TDDSHeader h;
  std::memcpy(&h, data, sizeof h);
  if (h.dwMagic != DDS_MAGIC || h.dwSize != 124) return false;
  if (!(h.dwFlags & DDSD_PIXELFORMAT) || !(h.dwFlags & DDSD_CAPS)) return false;
  // Without the count flag, or with a count below 1, the file holds just the image.
  const int32_t levels = (h.dwFlags & DDSD_MIPMAPCOUNT) && int32_t(h.dwMipMapCount) > 0
                             ? int32_t(h.dwMipMapCount)
                             : 1;
  if (MipMapLevel < 0 || MipMapLevel >= levels) return false;
  if (MipMapLevel >= 1 && ((h.dwWidth & 1) || (h.dwHeight & 1))) return false;
  uint64_t w = h.dwWidth, hgt = h.dwHeight;
  if (w == 0 || hgt == 0) return false;
  uint64_t pos = sizeof(TDDSHeader);

  TFormat format = TFormat::None;
  bool premultiplied = false;
  const TDDSPixelFormat& pf = h.PixelFormat;
  if (pf.dwFlags & DDPF_FOURCC) {
    switch (pf.dwFourCC) {
      case D3DFMT_DXT1: format = TFormat::DXT1; break;
      case D3DFMT_DXT2: format = TFormat::DXT2; premultiplied = true; break;
      case D3DFMT_DXT3: format = TFormat::DXT3; break;
      case D3DFMT_DXT4: format = TFormat::DXT4; premultiplied = true; break;
      case D3DFMT_DXT5: format = TFormat::DXT5; break;
      case D3DFMT_DX10:
        if (DataSize - pos < sizeof(TDDSHeaderDX10)) return false;
        format = FromDXGI(Get32(data + pos));
        pos += sizeof(TDDSHeaderDX10);
        break;
      default: break;
    }
  } else {
    format = FromMasks(pf);
  }
  if (format == TFormat::None) return false;

  for (int32_t level = 0; level < MipMapLevel; ++level) {
    const uint64_t size = LevelSize(format, w, hgt);
    if (pos >= DataSize || size > DataSize - pos) return false;
    pos += size;
    w /= 2;
    hgt /= 2;
    if (w == 0 && hgt == 0) return false;
    w = std::max<uint64_t>(w, 1);
    hgt = std::max<uint64_t>(hgt, 1);
  }
  if (w * hgt > MaxImageBytes / 4) return false;
  // Every decoder needs its whole level: nothing is allocated for a file that is too short.
  if (LevelSize(format, w, hgt) > DataSize - pos) return false;

  std::unique_ptr<uint8_t, TFree> image(static_cast<uint8_t*>(std::malloc(size_t(w * hgt * 4))));
  if (!image) return false;
  uint8_t* img = image.get();
  const uint8_t* src = data + pos;
  const size_t pixels = size_t(w * hgt);
  switch (format) {
    case TFormat::DXT1: DecodeDXT(src, img, uint32_t(w), uint32_t(hgt), 1, false); break;
    case TFormat::DXT2: case TFormat::DXT3: DecodeDXT(src, img, uint32_t(w), uint32_t(hgt), 3, premultiplied); break;
    case TFormat::DXT4: case TFormat::DXT5: DecodeDXT(src, img, uint32_t(w), uint32_t(hgt), 5, premultiplied); break;
    default: {
      const uint32_t step = PixelBytes(format);
      for (size_t i = 0; i < pixels; ++i, src += step) DecodePixel(format, src, img + i * 4);
      break;
    }
  }
  if (!(pf.dwFlags & DDPF_ALPHAPIXELS))
    for (size_t i = 0; i < pixels; ++i) img[i * 4 + 3] = 255;
  ImageData = image.release();
  ImageWidth = int32_t(w);
  ImageHeight = int32_t(hgt);
  return true;
}
