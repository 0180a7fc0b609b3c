#include <gtest/gtest.h>

#include <random>

#include "ImageTestSupport.h"
#include "assets/ZefuDDS.h"
#include "support/DDSWriter.h"
#include "support/TestData.h"

using imgtest::TImage;

namespace {

using ddswriter::Make;
using ddswriter::TLayoutDesc;

bool Decode(const std::vector<uint8_t>& F, TImage& Img, int32_t Level = 0) {
  return LoadDDSImage(F.data(), uint32_t(F.size()), Img.Data, Img.Width, Img.Height, Level);
}

TLayoutDesc FourCC(uint32_t Code, bool Alpha = true) {
  TLayoutDesc s;
  s.PFFlags = DDPF_FOURCC | (Alpha ? DDPF_ALPHAPIXELS : 0);
  s.FourCC = Code;
  return s;
}

TLayoutDesc Masked(uint32_t Bits, uint32_t R, uint32_t G, uint32_t B, uint32_t A, uint32_t Extra = 0) {
  TLayoutDesc s;
  s.Width = 1;
  s.Height = 1;
  s.PFFlags = DDPF_RGB | DDPF_ALPHAPIXELS | Extra;
  s.BitCount = Bits;
  s.Masks[0] = R;
  s.Masks[1] = G;
  s.Masks[2] = B;
  s.Masks[3] = A;
  return s;
}

TLayoutDesc DX10(int Format) {
  TLayoutDesc s = FourCC(D3DFMT_DX10);
  s.Width = s.Height = 1;
  s.DXGI = Format;
  return s;
}

std::vector<uint8_t> Px(const TImage& Img, int X, int Y) {
  const uint8_t* p = Img.Pixel(X, Y);
  return {p[0], p[1], p[2], p[3]};
}

// DXT colour block: endpoints c0, c1 and pixel i using index i % 4.
std::vector<uint8_t> ColourBlock(uint16_t C0, uint16_t C1) {
  uint32_t idx = 0;
  for (int i = 0; i < 16; ++i) idx |= uint32_t(i & 3) << (2 * i);
  return {uint8_t(C0), uint8_t(C0 >> 8), uint8_t(C1), uint8_t(C1 >> 8),
          uint8_t(idx), uint8_t(idx >> 8), uint8_t(idx >> 16), uint8_t(idx >> 24)};
}

std::vector<uint8_t> Cat(std::vector<uint8_t> A, const std::vector<uint8_t>& B) {
  A.insert(A.end(), B.begin(), B.end());
  return A;
}

}  // namespace

TEST(DDSDecoder, UncompressedFormats) {
  struct TCase {
    TLayoutDesc Desc;
    std::vector<uint8_t> Pixel;
    std::vector<uint8_t> Expected;
    const char* What;
  };
  const TCase cases[] = {
      {Masked(32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000), {10, 20, 30, 40}, {30, 20, 10, 40}, "BGRA"},
      {Masked(32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000), {10, 20, 30, 40}, {10, 20, 30, 40}, "RGBA"},
      {Masked(24, 0xFF0000, 0xFF00, 0xFF, 0), {10, 20, 30}, {30, 20, 10, 255}, "BGR"},
      {Masked(24, 0xFF, 0xFF00, 0xFF0000, 0), {10, 20, 30}, {10, 20, 30, 255}, "RGB"},
      {Masked(32, 0x3FF, 0xFFC00, 0x3FF00000, 0xC0000000), {0xFF, 0xC3, 0xCF, 0x81}, {255, 252, 7, 170},
       "R10G10B10A2"},
      {Masked(16, 0xF800, 0x7E0, 0x1F, 0), {0x1F, 0xF8}, {248, 0, 248, 255}, "B5G6R5"},
      {Masked(16, 0x7C00, 0x3E0, 0x1F, 0x8000), {0xE0, 0x83}, {0, 248, 0, 255}, "B5G5R5A1"},
      {Masked(16, 0xF00, 0xF0, 0xF, 0xF000), {0x21, 0x43}, {51, 34, 17, 68}, "B4G4R4A4"},
      {Masked(16, 0xFF, 0, 0, 0xFF00), {90, 60}, {90, 90, 90, 60}, "L8A8 is grey"},
      {Masked(16, 0xFFFF, 0, 0, 0), {0x34, 0x12}, {0x12, 0x12, 0x12, 255}, "L16 is grey"},
      {Masked(8, 0, 0, 0, 0, DDPF_INDEXED), {77}, {77, 77, 77, 77}, "P8: the index itself"},
      {Masked(8, 0xE0, 0x1C, 0x3, 0), {0xB6}, {0xA0, 0xA0, 0x80, 255}, "R3G3B2"},
      {Masked(8, 0, 0, 0, 0xFF), {77}, {255, 255, 255, 77}, "A8"},
      {[] { auto s = Masked(8, 0xFF, 0, 0, 0); s.PFFlags = DDPF_RGB; return s; }(), {77}, {77, 77, 77, 255},
       "L8 is grey"},
      {DX10(87), {10, 20, 30, 40}, {30, 20, 10, 40}, "DX10 B8G8R8A8"},
      {DX10(88), {10, 20, 30, 40}, {30, 20, 10, 255}, "DX10 B8G8R8X8: red and blue in place, opaque"},
      {DX10(28), {10, 20, 30, 40}, {10, 20, 30, 40}, "DX10 R8G8B8A8"},
      {DX10(24), {0xFF, 0xC3, 0xCF, 0x81}, {255, 252, 7, 170}, "DX10 R10G10B10A2"},
      {DX10(85), {0x1F, 0xF8}, {248, 0, 248, 255}, "DX10 B5G6R5"},
      {DX10(86), {0xE0, 0x03}, {0, 248, 0, 0}, "DX10 B5G5R5A1 without bit 15"},
      {DX10(115), {0x21, 0x43}, {51, 34, 17, 68}, "DX10 B4G4R4A4"},
      {DX10(61), {77}, {77, 0, 0, 255}, "DX10 R8 is red"},
      {DX10(65), {77}, {255, 255, 255, 77}, "DX10 A8"},
  };
  for (const auto& c : cases) {
    TImage img;
    ASSERT_TRUE(Decode(Make(c.Desc, c.Pixel), img)) << c.What;
    EXPECT_EQ(Px(img, 0, 0), c.Expected) << c.What;
  }
  // Without DDPF_ALPHAPIXELS every alpha becomes 255.
  auto s = Masked(32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000);
  s.PFFlags = DDPF_RGB;
  TImage img;
  ASSERT_TRUE(Decode(Make(s, {10, 20, 30, 40}), img));
  EXPECT_EQ(Px(img, 0, 0), (std::vector<uint8_t>{30, 20, 10, 255}));
}

TEST(DDSDecoder, EveryDX10Format) {
  // One pixel of four bytes 10, 20, 30, 40 (formats read as many as they need).
  const std::vector<uint8_t> px = {10, 20, 30, 40};
  struct TGroup {
    std::vector<int> Formats;
    std::vector<uint8_t> Expected;
  };
  const TGroup groups[] = {
      {{87, 90, 91}, {30, 20, 10, 40}},
      {{88, 92, 93}, {30, 20, 10, 255}},
      {{27, 28, 29, 30, 31, 32}, {10, 20, 30, 40}},
      {{23, 24, 25}, {(0x281E140A & 0x3FF) >> 2, ((0x281E140A >> 10) & 0x3FF) >> 2, ((0x281E140A >> 20) & 0x3FF) >> 2, 0}},
      {{60, 61, 62, 63, 64}, {10, 0, 0, 255}},
      {{65}, {255, 255, 255, 10}},
      {{85}, {(0x140A >> 8) & 0xF8, ((0x140A >> 5) & 63) << 2, (0x140A & 31) << 3, 255}},
      {{86}, {((0x140A >> 10) & 31) << 3, ((0x140A >> 5) & 31) << 3, (0x140A & 31) << 3, 0}},
      {{115}, {4 * 17, 0, 10 * 17, 1 * 17}},
  };
  for (const auto& g : groups)
    for (int f : g.Formats) {
      TImage img;
      ASSERT_TRUE(Decode(Make(DX10(f), px), img)) << f;
      EXPECT_EQ(Px(img, 0, 0), g.Expected) << f;
    }
  for (int f : {73, 74, 75, 76, 77, 78}) {
    auto s = DX10(f);
    s.Width = s.Height = 4;
    TImage img;
    EXPECT_TRUE(Decode(Make(s, std::vector<uint8_t>(16, 0)), img)) << f;
  }
  for (int f : {0, 2, 10, 26, 49, 56, 66, 79, 83, 89, 94, 98, 113, 114, 116}) {
    TImage img;
    EXPECT_FALSE(Decode(Make(DX10(f), std::vector<uint8_t>(64, 0)), img)) << f;
  }
}

TEST(DDSDecoder, LevelSizesOfUncompressedFormats) {
  // 4 x 4 base level then 2 x 2: level 1 starts 16 pixels in.
  struct TCase {
    TLayoutDesc Desc;
    uint32_t BytesPerPixel;
    const char* What;
  };
  auto dx10 = [](int F) {
    auto s = DX10(F);
    s.Width = s.Height = 4;
    s.Flags |= DDSD_MIPMAPCOUNT;
    s.MipMapCount = 2;
    return s;
  };
  auto rgb = Masked(24, 0xFF0000, 0xFF00, 0xFF, 0);
  rgb.Width = rgb.Height = 4;
  rgb.Flags |= DDSD_MIPMAPCOUNT;
  rgb.MipMapCount = 2;
  const TCase cases[] = {
      {dx10(85), 2, "B5G6R5"}, {dx10(86), 2, "B5G5R5A1"}, {dx10(115), 2, "B4G4R4A4"}, {dx10(87), 4, "BGRA"},
      {dx10(24), 4, "R10G10B10A2"}, {dx10(28), 4, "RGBA"}, {dx10(61), 1, "R8"}, {dx10(65), 1, "A8"},
      {rgb, 3, "24-bit BGR by masks"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> data(16 * c.BytesPerPixel, 0);
    data.resize(data.size() + 4 * c.BytesPerPixel, 0xFF);
    TImage base, level1;
    const auto file = Make(c.Desc, data);
    ASSERT_TRUE(Decode(file, base, 0)) << c.What;
    ASSERT_TRUE(Decode(file, level1, 1)) << c.What;
    EXPECT_EQ(level1.Width, 2) << c.What;
    for (int i = 0; i < 4; ++i) EXPECT_NE(Px(level1, i % 2, i / 2), Px(base, 0, 0)) << c.What;
    const std::vector<uint8_t> shorter(file.begin(), file.end() - 1);
    EXPECT_FALSE(Decode(shorter, level1, 1)) << c.What;
  }
}

TEST(DDSDecoder, BlockFormats) {
  const auto fourColour = ColourBlock(0xF800, 0x001F);   // red, blue: c0 > c1
  const auto threeColour = ColourBlock(0x001F, 0xF800);  // c0 < c1
  TImage img;
  ASSERT_TRUE(Decode(Make(FourCC(D3DFMT_DXT1), fourColour), img));
  EXPECT_EQ(Px(img, 0, 0), (std::vector<uint8_t>{255, 0, 0, 255}));
  EXPECT_EQ(Px(img, 1, 0), (std::vector<uint8_t>{0, 0, 255, 255}));
  EXPECT_EQ(Px(img, 2, 0), (std::vector<uint8_t>{167, 0, 83, 255}));  // (2*e0 + e1) * 21 >> 6
  EXPECT_EQ(Px(img, 3, 0), (std::vector<uint8_t>{83, 0, 167, 255}));
  TImage three;
  ASSERT_TRUE(Decode(Make(FourCC(D3DFMT_DXT1), threeColour), three));
  EXPECT_EQ(Px(three, 2, 1), (std::vector<uint8_t>{127, 0, 127, 255}));
  EXPECT_EQ(Px(three, 3, 1), (std::vector<uint8_t>{0, 0, 0, 0}));
  TImage equal;  // c0 = c1 is three-colour mode too
  ASSERT_TRUE(Decode(Make(FourCC(D3DFMT_DXT1), ColourBlock(0x1234, 0x1234)), equal));
  EXPECT_EQ(Px(equal, 3, 3)[3], 0);

  // DXT3: sixteen 4-bit alphas, least significant first; c0 < c1 still gives four colours.
  std::vector<uint8_t> alpha3(8);
  for (int i = 0; i < 16; ++i) alpha3[i / 2] |= uint8_t(i << (4 * (i & 1)));
  TImage dxt3;
  ASSERT_TRUE(Decode(Make(FourCC(D3DFMT_DXT3), Cat(alpha3, threeColour)), dxt3));
  EXPECT_EQ(Px(dxt3, 3, 0), (std::vector<uint8_t>{167, 0, 83, 3 * 17}));
  EXPECT_EQ(Px(dxt3, 1, 3)[3], 13 * 17);

  // DXT5: both alpha table modes.
  auto alpha5 = [](uint8_t A0, uint8_t A1) {
    uint64_t bits = 0;
    for (int i = 0; i < 16; ++i) bits |= uint64_t(i & 7) << (3 * i);
    std::vector<uint8_t> b = {A0, A1};
    for (int i = 0; i < 6; ++i) b.push_back(uint8_t(bits >> (8 * i)));
    return b;
  };
  TImage eight, six;
  ASSERT_TRUE(Decode(Make(FourCC(D3DFMT_DXT5), Cat(alpha5(200, 100), fourColour)), eight));
  ASSERT_TRUE(Decode(Make(FourCC(D3DFMT_DXT5), Cat(alpha5(100, 200), fourColour)), six));
  const uint8_t table8[8] = {200, 100, 185, 171, 157, 142, 128, 114};
  const uint8_t table6[8] = {100, 200, 120, 140, 160, 180, 0, 255};
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(eight.Pixel(i % 4, i / 4)[3], table8[i & 7]) << i;
    EXPECT_EQ(six.Pixel(i % 4, i / 4)[3], table6[i & 7]) << i;
  }
  // Without DDPF_ALPHAPIXELS a DXT5 file is opaque.
  TImage opaque;
  ASSERT_TRUE(Decode(Make(FourCC(D3DFMT_DXT5, false), Cat(alpha5(100, 200), fourColour)), opaque));
  for (int i = 0; i < 16; ++i) EXPECT_EQ(opaque.Pixel(i % 4, i / 4)[3], 255);

  // DXT2 and DXT4 undo premultiplied alpha, clamped to 255.
  std::vector<uint8_t> half(8, 0x88);  // every alpha 8 * 17 = 136
  TImage dxt2;
  ASSERT_TRUE(Decode(Make(FourCC(D3DFMT_DXT2), Cat(half, fourColour)), dxt2));
  EXPECT_EQ(Px(dxt2, 0, 0), (std::vector<uint8_t>{255, 0, 0, 136}));
  EXPECT_EQ(Px(dxt2, 2, 0), (std::vector<uint8_t>{255, 0, 83 * 255 / 136, 136}));
  TImage dxt4;
  ASSERT_TRUE(Decode(Make(FourCC(D3DFMT_DXT4), Cat({136, 136, 0, 0, 0, 0, 0, 0}, fourColour)), dxt4));
  EXPECT_EQ(Px(dxt4, 3, 0), (std::vector<uint8_t>{83 * 255 / 136, 0, 255, 136}));

  // The DX10 header names BC1 to BC3 the same way.
  for (int f : {70, 71, 72}) {
    auto s = DX10(f);
    s.Width = s.Height = 4;
    TImage bc;
    ASSERT_TRUE(Decode(Make(s, fourColour), bc)) << f;
    EXPECT_EQ(bc.Vec(), img.Vec()) << f;
  }
}

TEST(DDSDecoder, PartialBlocksAndMipLevels) {
  // 6 x 6 DXT1: four blocks, only the pixels inside the image are written.
  auto s = FourCC(D3DFMT_DXT1);
  s.Width = s.Height = 6;
  std::vector<uint8_t> blocks;
  for (uint16_t b = 0; b < 4; ++b) blocks = Cat(blocks, ColourBlock(uint16_t(0xF800 - b * 0x800), 0x001F));
  TImage six;
  ASSERT_TRUE(Decode(Make(s, blocks), six));
  ASSERT_EQ(six.Width, 6);
  EXPECT_EQ(Px(six, 4, 4), (std::vector<uint8_t>{(28 << 3) | 7, 0, 0, 255}));  // block 3, index 0
  EXPECT_EQ(Px(six, 5, 5), (std::vector<uint8_t>{0, 0, 255, 255}));            // block 3, index 1

  // 8 x 8 DXT1 with four levels: 8, 4, 2, 1 pixels; level 1 starts 32 bytes in.
  s.Width = s.Height = 8;
  s.Flags |= DDSD_MIPMAPCOUNT;
  s.MipMapCount = 4;
  std::vector<uint8_t> data;
  for (int i = 0; i < 4; ++i) data = Cat(data, ColourBlock(0xF800, 0x001F));  // level 0
  data = Cat(data, ColourBlock(0x07E0, 0x07E0));                             // level 1 (green)
  data = Cat(data, ColourBlock(0x001F, 0x001F));                             // level 2
  data = Cat(data, ColourBlock(0xFFFF, 0xFFFF));                             // level 3
  const auto file = Make(s, data);
  const struct {
    int Level, Size;
    std::vector<uint8_t> First;
  } levels[] = {{0, 8, {255, 0, 0, 255}}, {1, 4, {0, 255, 0, 255}}, {2, 2, {0, 0, 255, 255}}, {3, 1, {255, 255, 255, 255}}};
  for (const auto& l : levels) {
    TImage img;
    ASSERT_TRUE(Decode(file, img, l.Level)) << l.Level;
    EXPECT_EQ(img.Width, l.Size);
    EXPECT_EQ(img.Height, l.Size);
    EXPECT_EQ(Px(img, 0, 0), l.First) << l.Level;
  }
  TImage none;
  EXPECT_FALSE(Decode(file, none, 4));
  EXPECT_FALSE(Decode(file, none, -1));
  // A level cut off at the end of the file fails.
  const std::vector<uint8_t> cut(file.begin(), file.end() - 1);
  EXPECT_FALSE(Decode(cut, none, 3));
  EXPECT_TRUE(Decode(cut, none, 2));

  // Odd sizes have no levels past the first.
  s.Width = 5;
  s.Height = 4;
  EXPECT_FALSE(Decode(Make(s, std::vector<uint8_t>(200, 0)), none, 1));
  TImage odd;
  EXPECT_TRUE(Decode(Make(s, std::vector<uint8_t>(200, 0)), odd, 0));

  // Without the count flag, or with a count of 0, there is exactly one level.
  for (auto [flags, count] : {std::pair{DDSD_CAPS | DDSD_PIXELFORMAT, 4u}, std::pair{DDSD_CAPS | DDSD_PIXELFORMAT | DDSD_MIPMAPCOUNT, 0u}}) {
    auto one = FourCC(D3DFMT_DXT1);
    one.Flags = flags;
    one.MipMapCount = count;
    const auto f = Make(one, std::vector<uint8_t>(64, 0));
    TImage a, b;
    EXPECT_TRUE(Decode(f, a, 0)) << flags << " " << count;
    EXPECT_FALSE(Decode(f, b, 1)) << flags << " " << count;
  }
}

TEST(DDSDecoder, RefusedFiles) {
  const auto good = Make(FourCC(D3DFMT_DXT1), ColourBlock(1, 2));
  auto patch = [&](size_t At, uint32_t V) {
    auto f = good;
    std::memcpy(&f[At], &V, 4);
    return f;
  };
  struct TCase {
    std::vector<uint8_t> File;
    const char* What;
  };
  const TCase cases[] = {
      {patch(0, 0x20534445), "magic"},
      {patch(4, 128), "header size"},
      {patch(8, DDSD_CAPS), "no pixel-format flag"},
      {patch(8, DDSD_PIXELFORMAT), "no caps flag"},
      {patch(16, 0), "width 0"},
      {patch(12, 0x80000000), "height 2^31"},
      {patch(16, 0xFFFFFFFF), "larger than the decoder hands out"},
      {patch(84, D3DFMT_ATI1), "ATI1 is not decoded"},
      {Make(DX10(98), {0}), "DX10 BC7 is not decoded"},
      {std::vector<uint8_t>(good.begin(), good.end() - 1), "block cut short"},
      {std::vector<uint8_t>(good.begin(), good.begin() + 128), "no pixel data"},
      {std::vector<uint8_t>(good.begin(), good.begin() + 127), "header cut short"},
      {[] { auto f = Make(DX10(87), {1, 2, 3, 4}); f.resize(140); return f; }(), "DX10 header cut short"},
      {Make(Masked(32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000), {1, 2, 3}), "BGRA pixel cut short"},
      {Make(Masked(32, 0xFF00, 0xFF0000, 0xFF, 0xFF000000), {1, 2, 3, 4}), "unknown masks"},
      {Make([] { auto s = Masked(32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000); s.PFFlags = 0; return s; }(), {1, 2, 3, 4}),
       "neither FourCC nor RGB"},
  };
  for (const auto& c : cases) {
    TImage img;
    EXPECT_FALSE(Decode(c.File, img)) << c.What;
    EXPECT_EQ(img.Data, nullptr) << c.What;
    EXPECT_EQ(img.Width, -1) << c.What;
  }
  TImage img;
  EXPECT_FALSE(LoadDDSImage(nullptr, 200, img.Data, img.Width, img.Height, 0));
  EXPECT_TRUE(Decode(good, img));
}

TEST(DDSDecoder, DamagedFiles) {
  std::vector<std::vector<uint8_t>> files;
  auto s = FourCC(D3DFMT_DXT5);
  s.Width = s.Height = 8;
  s.Flags |= DDSD_MIPMAPCOUNT;
  s.MipMapCount = 3;
  std::mt19937 rng(21);
  std::vector<uint8_t> payload(4 * 16 + 16 + 16);
  for (auto& b : payload) b = uint8_t(rng());
  files.push_back(Make(s, payload));
  auto rgb = Masked(24, 0xFF0000, 0xFF00, 0xFF, 0);
  rgb.Width = 3;
  rgb.Height = 2;
  files.push_back(Make(rgb, std::vector<uint8_t>(18, 50)));
  // Cut anywhere, the last level of each file is incomplete.
  const int32_t lastLevel[] = {2, 0};
  for (size_t i = 0; i < files.size(); ++i)
    for (size_t n = 0; n < files[i].size(); ++n) {
      TImage img;
      EXPECT_FALSE(LoadDDSImage(files[i].data(), uint32_t(n), img.Data, img.Width, img.Height, lastLevel[i])) << n;
    }
  const int rounds = testdata::Sanitizing ? 2000 : 6000;
  int decoded = 0;
  for (int r = 0; r < rounds; ++r) {
    auto f = files[r % files.size()];
    for (int i = 0, n = 1 + int(rng() % 3); i < n; ++i) f[rng() % f.size()] ^= uint8_t(1 + rng() % 255);
    for (int level = 0; level < 3; ++level) {
      TImage img;
      if (!Decode(f, img, level)) continue;
      ++decoded;
      ASSERT_GE(img.Width, 1);
      ASSERT_GE(img.Height, 1);
      uint64_t sum = 0;
      for (size_t i = 0; i < size_t(img.Width) * img.Height * 4; ++i) sum += img.Bytes()[i];
      (void)sum;
    }
  }
  EXPECT_GT(decoded, rounds / 10);
}
