#pragma once
// Builds DDS files in memory for the image and texture tests: any header layout (with the DX10
// header where asked) followed by the payload as given.
#include <cstdint>
#include <cstring>
#include <vector>

#include "assets/ZefuDDS.h"

namespace ddswriter {

struct TLayoutDesc {
  uint32_t Width = 4, Height = 4;
  uint32_t Flags = DDSD_CAPS | DDSD_PIXELFORMAT | DDSD_WIDTH | DDSD_HEIGHT;
  uint32_t MipMapCount = 0;
  uint32_t PFFlags = DDPF_RGB;
  uint32_t FourCC = 0;
  uint32_t BitCount = 32;
  uint32_t Masks[4] = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
  int DXGI = -1;  // adds the DX10 header
};

inline std::vector<uint8_t> Make(const TLayoutDesc& S, const std::vector<uint8_t>& Payload) {
  std::vector<uint8_t> f(128, 0);
  auto put = [&](size_t at, uint32_t v) { std::memcpy(&f[at], &v, 4); };
  put(0, DDS_MAGIC);
  put(4, 124);
  put(8, S.Flags);
  put(12, S.Height);
  put(16, S.Width);
  put(28, S.MipMapCount);
  put(76, 32);
  put(80, S.PFFlags);
  put(84, S.FourCC);
  put(88, S.BitCount);
  for (int i = 0; i < 4; ++i) put(92 + 4 * i, S.Masks[i]);
  if (S.DXGI >= 0) {
    f.resize(148, 0);
    put(128, uint32_t(S.DXGI));
    put(132, 3);
    put(140, 1);
  }
  f.insert(f.end(), Payload.begin(), Payload.end());
  return f;
}

// An uncompressed 8 x 8 BGRA file that stores Levels levels.
inline TLayoutDesc MipChainLayout(uint32_t Levels) {
  TLayoutDesc s;
  s.Width = s.Height = 8;
  s.Flags |= DDSD_MIPMAPCOUNT;
  s.MipMapCount = Levels;
  s.PFFlags = DDPF_RGB | DDPF_ALPHAPIXELS;
  return s;
}

// Such a file whose every pixel of level L has R = 10 * L.
inline std::vector<uint8_t> MipChain(uint32_t Levels) {
  std::vector<uint8_t> Payload;
  for (uint32_t l = 0, s = 8; l < Levels; ++l, s /= 2)
    for (uint32_t i = 0; i < s * s; ++i) Payload.insert(Payload.end(), {0, 0, uint8_t(10 * l), 255});
  return Make(MipChainLayout(Levels), Payload);
}

}  // namespace ddswriter
