#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "ImageTestSupport.h"
#include "assets/ZefuTGA.h"
#include "support/TestData.h"

using imgtest::TImage;

namespace {

struct THeader {
  uint8_t IDLength = 0, MapType = 0, Type = 2;
  uint16_t MapStart = 0, MapLength = 0;
  uint8_t MapDepth = 0;
  uint16_t Width = 1, Height = 1;
  uint8_t BPP = 24, Info = 0x20;
};

std::vector<uint8_t> Make(const THeader& H, const std::vector<uint8_t>& Map, const std::vector<uint8_t>& Pixels) {
  std::vector<uint8_t> f = {H.IDLength, H.MapType, H.Type, uint8_t(H.MapStart), uint8_t(H.MapStart >> 8),
                            uint8_t(H.MapLength), uint8_t(H.MapLength >> 8), H.MapDepth, 0, 0, 0, 0,
                            uint8_t(H.Width), uint8_t(H.Width >> 8), uint8_t(H.Height), uint8_t(H.Height >> 8),
                            H.BPP, H.Info};
  for (int i = 0; i < H.IDLength; ++i) f.push_back(uint8_t(0xA0 + i));
  f.insert(f.end(), Map.begin(), Map.end());
  f.insert(f.end(), Pixels.begin(), Pixels.end());
  return f;
}

bool Decode(const std::vector<uint8_t>& F, TImage& Img) {
  return LoadTGAImage(F.data(), uint32_t(F.size()), Img.Data, Img.Width, Img.Height);
}

std::vector<uint8_t> First(const TImage& Img, size_t Pixels) {
  return std::vector<uint8_t>(Img.Bytes(), Img.Bytes() + Pixels * 4);
}

#ifdef ZNT1_SANITIZE
// The sanitizer runtime reports every allocation to this hook: the largest block asked for.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
std::atomic<size_t> LargestBlock{0};
void NoteMalloc(const volatile void*, size_t Size) {
  size_t seen = LargestBlock.load();
  while (Size > seen && !LargestBlock.compare_exchange_weak(seen, Size)) {
  }
}
void NoteFree(const volatile void*) {}
#endif

}  // namespace

TEST(TGADecoder, PixelFormats) {
  struct TCase {
    uint8_t Type, BPP;
    std::vector<uint8_t> Pixel;
    std::vector<uint8_t> Expected;
    const char* What;
  };
  const TCase cases[] = {
      {2, 24, {10, 20, 30}, {30, 20, 10, 255}, "24-bit B, G, R"},
      {10, 24, {0x80, 10, 20, 30}, {30, 20, 10, 255}, "24-bit run"},
      {3, 24, {10, 20, 30}, {30, 20, 10, 20}, "24-bit raw greyscale type: alpha is the mean"},
      {11, 24, {0x80, 10, 20, 30}, {30, 20, 10, 255}, "24-bit run greyscale type: alpha 255"},
      {2, 32, {10, 20, 30, 40}, {30, 20, 10, 40}, "32-bit B, G, R, A"},
      {10, 32, {0x80, 10, 20, 30, 40}, {30, 20, 10, 40}, "32-bit run"},
      {2, 16, {0xFF, 0xFF}, {255, 255, 255, 143}, "16-bit all set"},
      {2, 16, {0x00, 0x00}, {15, 15, 15, 15}, "16-bit zero"},
      {2, 16, {0x1F, 0x00}, {255, 15, 15, 15}, "16-bit: the low five bits are red"},
      {2, 16, {0x00, 0x7C}, {15, 15, 255, 15}, "16-bit: bits 10-14 are blue"},
      {3, 16, {0xE0, 0x83}, {15, 255, 15, 143}, "16-bit greyscale type decodes the same, bit 15 alpha"},
      {2, 8, {100}, {100, 0, 0, 0}, "8-bit true-colour"},
      {3, 8, {100}, {100, 100, 100, 100}, "8-bit raw grey: grey is alpha"},
      {11, 8, {0x80, 100}, {100, 100, 100, 255}, "8-bit run-length grey: opaque"},
      {10, 8, {0x00, 100}, {100, 0, 0, 0}, "8-bit run-length true-colour raw packet"},
  };
  for (const auto& c : cases) {
    THeader h;
    h.Type = c.Type;
    h.BPP = c.BPP;
    TImage img;
    ASSERT_TRUE(Decode(Make(h, {}, c.Pixel), img)) << c.What;
    EXPECT_EQ(First(img, 1), c.Expected) << c.What;
  }
}

TEST(TGADecoder, ColourMaps) {
  struct TCase {
    uint8_t Depth;
    std::vector<uint8_t> Map;  // two entries
    std::vector<uint8_t> Second;
    const char* What;
  };
  const TCase cases[] = {
      {8, {5, 77}, {77, 0, 0, 0}, "8-bit entries"},
      {16, {0, 0, 0xFF, 0xFF}, {255, 255, 255, 143}, "16-bit entries"},
      {24, {0, 0, 0, 10, 20, 30}, {30, 20, 10, 255}, "24-bit entries, B, G, R"},
      {32, {0, 0, 0, 0, 10, 20, 30, 40}, {40, 30, 20, 10}, "32-bit entries read back to front"},
  };
  for (const auto& c : cases) {
    for (uint8_t type : {1, 9}) {
      THeader h;
      h.Type = type;
      h.BPP = 8;
      h.MapType = 1;
      h.MapLength = 2;
      h.MapDepth = c.Depth;
      h.Width = 3;
      // Pixels 1, 0, 2: index 2 is past the map.
      const std::vector<uint8_t> px = type == 1 ? std::vector<uint8_t>{1, 0, 2} : std::vector<uint8_t>{0x02, 1, 0, 2};
      TImage img;
      ASSERT_TRUE(Decode(Make(h, c.Map, px), img)) << c.What;
      EXPECT_EQ(std::vector<uint8_t>(img.Bytes(), img.Bytes() + 4), c.Second) << c.What;
      EXPECT_EQ(std::vector<uint8_t>(img.Bytes() + 8, img.Bytes() + 12), (std::vector<uint8_t>{0, 0, 0, 0}))
          << c.What << ": index past the map";
    }
  }
  // The first entry index shrinks the usable part of the map from its end.
  THeader h;
  h.Type = 1;
  h.BPP = 8;
  h.MapType = 1;
  h.MapStart = 1;
  h.MapLength = 2;
  h.MapDepth = 24;
  h.Width = 2;
  TImage img;
  ASSERT_TRUE(Decode(Make(h, {1, 2, 3, 4, 5, 6}, {0, 1}), img));
  EXPECT_EQ(First(img, 2), (std::vector<uint8_t>{3, 2, 1, 255, 0, 0, 0, 0}));
}

TEST(TGADecoder, OrientationAndRuns) {
  // 2 x 2, stored rows A B / C D (32-bit pixels with distinct red values).
  const std::vector<uint8_t> px = {0, 0, 1, 255, 0, 0, 2, 255, 0, 0, 3, 255, 0, 0, 4, 255};
  struct TCase {
    uint8_t Info;
    std::vector<uint8_t> Reds;
  };
  for (const auto& c : std::vector<TCase>{{0x00, {3, 4, 1, 2}}, {0x20, {1, 2, 3, 4}}, {0x30, {2, 1, 4, 3}},
                                          {0x10, {4, 3, 2, 1}}}) {
    THeader h;
    h.BPP = 32;
    h.Width = h.Height = 2;
    h.Info = c.Info;
    TImage img;
    ASSERT_TRUE(Decode(Make(h, {}, px), img));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(img.Bytes()[i * 4], c.Reds[i]) << "info " << int(c.Info) << " pixel " << i;
  }
  // Runs and raw packets; a run longer than the image stops at its last pixel.
  THeader h;
  h.Type = 10;
  h.BPP = 24;
  h.Width = 3;
  h.Height = 2;
  const std::vector<uint8_t> rle = {0x01, 0, 0, 1, 0, 0, 2,  // raw packet of 2
                                    0xFF, 0, 0, 9};          // run of 128 (4 fit)
  TImage img;
  ASSERT_TRUE(Decode(Make(h, {}, rle), img));
  const uint8_t reds[] = {1, 2, 9, 9, 9, 9};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(img.Bytes()[i * 4], reds[i]) << i;
}

// A few bytes of run-length data cannot fill a 16384 x 16384 image: refused before the
// 1 GiB block is allocated (the block size is watched in the sanitizer build).
TEST(TGADecoder, ShortRunLengthFileAllocatesNoImage) {
  THeader h;
  h.Type = 10;
  h.BPP = 32;
  h.Width = 16384;
  h.Height = 16384;
  // One run of 128 pixels, then a last packet whose pixel is cut off.
  const std::vector<uint8_t> f = Make(h, {}, {0xFF, 1, 2, 3, 4, 0xFF, 5});
#ifdef ZNT1_SANITIZE
  static const bool hooked = __sanitizer_install_malloc_and_free_hooks(NoteMalloc, NoteFree) != 0;
  ASSERT_TRUE(hooked);
  LargestBlock = 0;
#endif
  TImage img;
  EXPECT_FALSE(Decode(f, img));
  EXPECT_EQ(img.Data, nullptr);
#ifdef ZNT1_SANITIZE
  EXPECT_LT(LargestBlock.load(), size_t(1) << 20);
#endif
}

TEST(TGADecoder, RefusedHeaders) {
  THeader ok;
  const std::vector<uint8_t> px = {1, 2, 3};
  auto with = [&](auto Change) {
    THeader h = ok;
    Change(h);
    return Make(h, {}, px);
  };
  struct TCase {
    std::vector<uint8_t> File;
    const char* What;
  };
  const TCase cases[] = {
      {with([](THeader& h) { h.MapType = 2; }), "colour-map type 2"},
      {with([](THeader& h) { h.Type = 0; }), "image type 0"},
      {with([](THeader& h) { h.Type = 4; }), "image type 4"},
      {with([](THeader& h) { h.Type = 12; }), "image type 12"},
      {with([](THeader& h) { h.Width = 0; }), "width 0"},
      {with([](THeader& h) { h.Height = 0; }), "height 0"},
      {with([](THeader& h) { h.BPP = 15; }), "15 bits per pixel"},
      {with([](THeader& h) { h.BPP = 0; }), "0 bits per pixel"},
      {with([](THeader& h) { h.MapType = 1; h.MapLength = 1; h.MapDepth = 15; }), "15-bit colour map"},
      {with([](THeader& h) { h.Width = 2; }), "pixels cut short"},
      {[&] { auto f = Make(ok, {}, px); f[0] = 200; return f; }(), "ID field past the end"},
      {with([](THeader& h) { h.Width = 65535; h.Height = 65535; }), "larger than the decoder hands out"},
      {{0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 24}, "17-byte header"},
  };
  for (const auto& c : cases) {
    TImage img;
    EXPECT_FALSE(Decode(c.File, img)) << c.What;
    EXPECT_EQ(img.Data, nullptr) << c.What;
    EXPECT_EQ(img.Width, -1) << c.What;
  }
  TImage img;
  EXPECT_FALSE(LoadTGAImage(nullptr, 100, img.Data, img.Width, img.Height));
  EXPECT_TRUE(Decode(Make(ok, {}, px), img));
}

TEST(TGADecoder, DamagedFiles) {
  std::mt19937 rng(8);
  std::vector<std::vector<uint8_t>> files;
  THeader raw;
  raw.Width = 5;
  raw.Height = 4;
  raw.IDLength = 3;
  std::vector<uint8_t> px(5 * 4 * 3);
  for (auto& b : px) b = uint8_t(rng());
  files.push_back(Make(raw, {}, px));
  THeader rle = raw;
  rle.Type = 10;
  rle.BPP = 32;
  files.push_back(Make(rle, {}, {0x83, 1, 2, 3, 4, 0x02, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0x8C, 9, 9, 9, 9}));
  THeader map = raw;
  map.Type = 9;
  map.BPP = 8;
  map.MapType = 1;
  map.MapLength = 4;
  map.MapDepth = 32;
  files.push_back(Make(map, std::vector<uint8_t>(16, 7), {0x89, 1, 0x09, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1}));
  for (const auto& f : files) {
    TImage whole;
    ASSERT_TRUE(Decode(f, whole));
    for (size_t n = 0; n < f.size(); ++n) {
      TImage img;
      EXPECT_FALSE(LoadTGAImage(f.data(), uint32_t(n), img.Data, img.Width, img.Height)) << n;
    }
  }
  const int rounds = testdata::Sanitizing ? 2000 : 6000;
  int decoded = 0;
  for (int r = 0; r < rounds; ++r) {
    auto f = files[r % files.size()];
    for (int i = 0, n = 1 + int(rng() % 3); i < n; ++i) f[rng() % f.size()] ^= uint8_t(1 + rng() % 255);
    TImage img;
    if (!Decode(f, img)) continue;
    ++decoded;
    ASSERT_GE(img.Width, 1);
    ASSERT_GE(img.Height, 1);
    uint64_t sum = 0;  // every byte of the block is written (read it all)
    for (size_t i = 0; i < size_t(img.Width) * img.Height * 4; ++i) sum += img.Bytes()[i];
    (void)sum;
  }
  EXPECT_GT(decoded, rounds / 10);
}
