#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ImageTestSupport.h"
#include "TestZip.h"
#include "assets/ZefuImage.h"
#include "support/DDSWriter.h"
#include "support/TestData.h"

using namespace imgtest;

namespace {

bool Load(const std::vector<uint8_t>& File, TImage& Img, int32_t Level = 0) {
  return LoadImage(File.data(), uint32_t(File.size()), Img.Data, Img.Width, Img.Height, Level);
}

std::string Lower(std::string s) {
  for (auto& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Extension(const std::string& Name) {
  const auto dot = Name.rfind('.');
  return dot == std::string::npos ? "" : Lower(Name.substr(dot));
}

// A 4 x 2 uncompressed 24-bit TGA, bottom row first.
std::vector<uint8_t> SmallTGA(uint8_t IDLength = 0) {
  std::vector<uint8_t> f = {IDLength, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 2, 0, 24, 0};
  for (int i = 0; i < IDLength; ++i) f.push_back(uint8_t(i));
  for (int i = 0; i < 8; ++i) f.insert(f.end(), {uint8_t(i), uint8_t(10 + i), uint8_t(20 + i)});
  return f;
}

// An 8 x 8 uncompressed BGRA DDS with a second level of 4 x 4.
std::vector<uint8_t> SmallDDS() {
  std::vector<uint8_t> Payload;
  for (int i = 0; i < 64 + 16; ++i) Payload.insert(Payload.end(), {uint8_t(i), 1, 2, 3});
  return ddswriter::Make(ddswriter::MipChainLayout(2), Payload);
}

// A JPEG of W x H pixels and Components components (all 1 x 1) that holds a single scan of
// zero coefficients: every block costs one bit (a DC-only first progressive scan) or two
// (a baseline scan: DC zero, then end of block). Small files that declare huge pictures.
std::vector<uint8_t> FlatJPEG(uint16_t W, uint16_t H, uint8_t Components, bool Progressive) {
  auto put16 = [](std::vector<uint8_t>& f, size_t v) { f.insert(f.end(), {uint8_t(v >> 8), uint8_t(v)}); };
  std::vector<uint8_t> f = {0xFF, 0xD8, 0xFF, 0xDB, 0, 67, 0};
  f.insert(f.end(), 64, 1);
  f.insert(f.end(), {0xFF, uint8_t(Progressive ? 0xC2 : 0xC0)});
  put16(f, 8 + 3 * Components);
  f.push_back(8);
  put16(f, H);
  put16(f, W);
  f.push_back(Components);
  for (uint8_t c = 1; c <= Components; ++c) f.insert(f.end(), {c, 0x11, 0});
  // One Huffman code, a single 0 bit, for DC difference 0 (and for end of block).
  for (uint8_t table : {0x00, 0x10}) {
    if (table && Progressive) break;
    f.insert(f.end(), {0xFF, 0xC4, 0, 20, table, 1});
    f.insert(f.end(), 16, 0);
  }
  f.insert(f.end(), {0xFF, 0xDA});
  put16(f, 6 + 2 * Components);
  f.push_back(Components);
  for (uint8_t c = 1; c <= Components; ++c) f.insert(f.end(), {c, 0});
  f.insert(f.end(), {0, uint8_t(Progressive ? 0 : 63), 0});
  const size_t blocks = size_t((W + 7) / 8) * ((H + 7) / 8) * Components;
  f.insert(f.end(), (blocks * (Progressive ? 1 : 2) + 7) / 8, 0);
  f.insert(f.end(), {0xFF, 0xD9});
  return f;
}

struct TChildRun {
  bool Ok = false;
  long PeakGrowthKB = -1;  // -1: the child died
};

// Runs Fn in a child process and reports its answer and how far the child's peak resident
// memory rose during the call (a fresh child starts its peak at its current size).
template <class F> TChildRun RunInChild(F Fn) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    TChildRun r;
    r.Ok = Fn();
    getrusage(RUSAGE_SELF, &after);
    r.PeakGrowthKB = after.ru_maxrss - before.ru_maxrss;
    const bool sent = write(fds[1], &r, sizeof r) == ssize_t(sizeof r);
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  TChildRun r;
  if (pid < 0 || read(fds[0], &r, sizeof r) != ssize_t(sizeof r)) r = {};
  close(fds[0]);
  if (pid > 0) waitpid(pid, nullptr, 0);
  return r;
}

}  // namespace

TEST(LoadImage, DecoderOrderAndLevels) {
  std::mt19937 rng(1);
  const auto png = MakePNG(3, 3, 8, 2, false, RandomRows(3, 3, 8, 2, rng));
  std::vector<uint8_t> rgb(27, 99);
  const auto jpg = EncodeJPEG(3, 3, 3, rgb);
  const auto tga = SmallTGA();
  const auto dds = SmallDDS();
  struct TCase {
    const std::vector<uint8_t>* File;
    int32_t Level;
    bool Ok;
    int32_t W, H;
    const char* What;
  };
  const TCase cases[] = {
      {&png, 0, true, 3, 3, "PNG"},   {&png, 1, false, 0, 0, "PNG level 1"},
      {&jpg, 0, true, 3, 3, "JPEG"},  {&jpg, 1, false, 0, 0, "JPEG level 1"},
      {&tga, 0, true, 4, 2, "TGA"},   {&tga, 1, false, 0, 0, "TGA level 1"},
      {&dds, 0, true, 8, 8, "DDS"},   {&dds, 1, true, 4, 4, "DDS level 1"},
      {&dds, 2, false, 0, 0, "DDS past its levels"},
  };
  for (const auto& c : cases) {
    TImage img;
    ASSERT_EQ(Load(*c.File, img, c.Level), c.Ok) << c.What;
    if (c.Ok) {
      EXPECT_EQ(img.Width, c.W) << c.What;
      EXPECT_EQ(img.Height, c.H) << c.What;
    } else {
      EXPECT_EQ(img.Data, nullptr) << c.What;
      EXPECT_EQ(img.Width, -1) << c.What;
    }
  }
  // The TGA's bottom row came first in the file.
  TImage img;
  ASSERT_TRUE(Load(tga, img));
  EXPECT_EQ(std::vector<uint8_t>(img.Bytes(), img.Bytes() + 4), (std::vector<uint8_t>{24, 14, 4, 255}));

  // A TGA cannot begin FF D8 (colour-map type D8 is refused), but one beginning FF (an
  // ID field of 255 bytes) is a TGA, and a broken JPEG start falls through to the others.
  auto idTGA = SmallTGA(0xFF);
  TImage a;
  ASSERT_TRUE(Load(idTGA, a));
  EXPECT_EQ(a.Width, 4);
  auto ffd8 = idTGA;
  ffd8[1] = 0xD8;
  TImage none;
  EXPECT_FALSE(Load(ffd8, none));

  // Two bytes FF D8 are not offered to the JPEG decoder and nobody else takes them.
  const std::vector<uint8_t> two = {0xFF, 0xD8};
  TImage b;
  EXPECT_FALSE(Load(two, b));
  EXPECT_EQ(b.Data, nullptr);
  EXPECT_FALSE(LoadImage(nullptr, 0, b.Data, b.Width, b.Height, 0));
}

TEST(LoadImage, JPEGColourSpacesAndDamage) {
  // Grey pictures come out grey with alpha 255, equal to libjpeg's RGB output.
  std::vector<uint8_t> grey(16 * 8);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = uint8_t(i * 2);
  const auto gjpg = EncodeJPEG(16, 8, 1, grey);
  std::vector<uint8_t> ref;
  uint32_t w, h;
  ASSERT_TRUE(LibJPEGDecode(gjpg, ref, w, h));
  TImage g;
  ASSERT_TRUE(Load(gjpg, g));
  EXPECT_EQ(g.Vec(), ref);
  EXPECT_EQ(g.Pixel(3, 3)[0], g.Pixel(3, 3)[2]);

  // CMYK (written with the Adobe marker, inks inverted): converted, never handed out raw.
  std::vector<uint8_t> cmyk;
  for (int i = 0; i < 16 * 16; ++i) cmyk.insert(cmyk.end(), {200, 100, 255, 128});
  for (J_COLOR_SPACE stored : {JCS_CMYK, JCS_YCCK}) {
    const auto cjpg = EncodeJPEG(16, 16, 4, cmyk, 100, JCS_CMYK, stored);
    TImage c;
    ASSERT_TRUE(Load(cjpg, c)) << stored;
    const uint8_t* p = c.Pixel(8, 8);
    EXPECT_NEAR(p[0], 200 * 128 / 255, 3) << stored;
    EXPECT_NEAR(p[1], 100 * 128 / 255, 3) << stored;
    EXPECT_NEAR(p[2], 255 * 128 / 255, 3) << stored;
    EXPECT_EQ(p[3], 255) << stored;
  }

  // An unknown JFIF revision only draws a warning from libjpeg: still decoded.
  auto rev2 = gjpg;
  ASSERT_EQ(std::memcmp(&rev2[6], "JFIF", 5), 0);
  rev2[11] = 2;
  TImage r2;
  ASSERT_TRUE(Load(rev2, r2));
  EXPECT_EQ(r2.Vec(), ref);

  // Progressive files decode; one with hundreds of valid scans (every band refined bit by
  // bit) is refused instead of being decoded pass after pass.
  {
    std::vector<uint8_t> grey(32 * 32);
    for (size_t i = 0; i < grey.size(); ++i) grey[i] = uint8_t(i * 7);
    std::vector<jpeg_scan_info> few = {{1, {0}, 0, 0, 0, 1}, {1, {0}, 1, 63, 0, 1}, {1, {0}, 0, 0, 1, 0},
                                       {1, {0}, 1, 63, 1, 0}};
    std::vector<jpeg_scan_info> many;
    many.push_back({1, {0}, 0, 0, 0, 10});
    for (int al = 9; al >= 0; --al) many.push_back({1, {0}, 0, 0, al + 1, al});
    for (int band = 1; band <= 63; ++band) {
      many.push_back({1, {0}, band, band, 0, 10});
      for (int al = 9; al >= 0; --al) many.push_back({1, {0}, band, band, al + 1, al});
    }
    ASSERT_GT(many.size(), 600u);
    const auto pj = EncodeJPEG(32, 32, 1, grey, 90, JCS_UNKNOWN, JCS_UNKNOWN, &few);
    const auto mj = EncodeJPEG(32, 32, 1, grey, 90, JCS_UNKNOWN, JCS_UNKNOWN, &many);
    std::vector<uint8_t> pref, mref;
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(LibJPEGDecode(pj, pref, w, h));
    ASSERT_TRUE(LibJPEGDecode(mj, mref, w, h));  // a valid file, only a slow one
    TImage t;
    ASSERT_TRUE(Load(pj, t));
    EXPECT_EQ(t.Vec(), pref);
    EXPECT_FALSE(Load(mj, t));
  }

  // Truncated files fail (libjpeg would pad them with grey and warn); flipped bytes give
  // false or an image, never a crash.
  std::mt19937 rng(4);
  std::vector<uint8_t> rgb(24 * 24 * 3);
  for (auto& v : rgb) v = uint8_t(rng() % 64 + 100);
  const auto jpg = EncodeJPEG(24, 24, 3, rgb);
  for (size_t n = 3; n < jpg.size() - 2; ++n) {
    std::vector<uint8_t> cut(jpg.begin(), jpg.begin() + n);
    TImage t;
    EXPECT_FALSE(Load(cut, t)) << n;
  }
  const int rounds = testdata::Sanitizing ? 1000 : 4000;
  int decoded = 0;
  for (int r = 0; r < rounds; ++r) {
    auto f = jpg;
    f[2 + rng() % (f.size() - 2)] ^= uint8_t(1 + rng() % 255);
    TImage t;
    if (Load(f, t)) {
      ++decoded;
      ASSERT_GT(t.Width, 0);
      // The whole block is there (the sanitizer build checks the reads).
      size_t sum = 0;
      for (size_t i = 0; i < size_t(t.Width) * t.Height * 4; ++i) sum += t.Bytes()[i];
      EXPECT_GT(sum, 0u);
    }
  }
  EXPECT_GT(decoded, 0);
}

TEST(LoadImage, JPEGMemoryBoundedBeforeDecoding) {
  // Files of a few MB that declare pictures past the size cap (a progressive one would have
  // libjpeg fill a coefficient buffer for every block before the first row comes out), and
  // one inside the cap whose coefficients (6 bytes a pixel) outgrow the picture it gives.
  struct TCase {
    uint16_t Side;
    uint8_t Components;
    bool Progressive;
  };
  const TCase cases[] = {{65500, 1, true}, {32768, 1, true}, {65500, 1, false}, {8192, 3, true}};
  for (const auto& c : cases) {
    const auto file = FlatJPEG(c.Side, c.Side, c.Components, c.Progressive);
    const auto run = RunInChild([&] {
      TImage img;
      return Load(file, img);
    });
    const std::string what = std::to_string(c.Side) + (c.Progressive ? " progressive, " : " baseline, ") +
                             std::to_string(c.Components) + "-component, " + std::to_string(file.size()) + " bytes";
    std::printf("%s: peak grew %ld KB\n", what.c_str(), run.PeakGrowthKB);
    EXPECT_GE(run.PeakGrowthKB, 0) << what;
    EXPECT_FALSE(run.Ok) << what;
    EXPECT_LT(run.PeakGrowthKB, 64 * 1024) << what;
  }

  // Large progressive pictures inside the bounds still decode as libjpeg decodes them, also
  // at full colour resolution (stored as RGB: no subsampling).
  const uint32_t side = 4096;
  std::vector<uint8_t> rgb(size_t(side) * side * 3);
  for (uint32_t y = 0; y < side; ++y)
    for (uint32_t x = 0; x < side; ++x)
      for (uint32_t c = 0; c < 3; ++c)
        rgb[(size_t(y) * side + x) * 3 + c] = uint8_t((x * (c + 1) + y * (3 - c)) / 8 ^ ((x ^ y) & 0x10));
  const std::vector<jpeg_scan_info> scans = {{3, {0, 1, 2}, 0, 0, 0, 1}, {1, {0}, 1, 63, 0, 0}, {1, {1}, 1, 63, 0, 0},
                                             {1, {2}, 1, 63, 0, 0},      {3, {0, 1, 2}, 0, 0, 1, 0}};
  for (J_COLOR_SPACE stored : {JCS_YCbCr, JCS_RGB}) {
    const auto jpg = EncodeJPEG(side, side, 3, rgb, 90, JCS_RGB, stored, &scans);
    std::vector<uint8_t> ref;
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(LibJPEGDecode(jpg, ref, w, h)) << stored;
    TImage img;
    ASSERT_TRUE(Load(jpg, img)) << stored;
    ASSERT_EQ(img.Width, int32_t(side)) << stored;
    ASSERT_EQ(img.Height, int32_t(side)) << stored;
    EXPECT_TRUE(img.Vec() == ref) << stored;
  }
}

TEST(LoadImage, EveryImageOfTheContent) {
  REQUIRE_CONTENT_DIR();
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> pk3s;
  for (const auto& e : std::filesystem::directory_iterator(testdata::ContentDir()))
    if (Lower(e.path().extension().string()) == ".pk3") pk3s.push_back(e.path().string());
  std::sort(pk3s.begin(), pk3s.end());
  ASSERT_FALSE(pk3s.empty());
  std::map<std::string, int> counts;
  std::vector<std::string> failed;
  std::vector<uint8_t> data, ref;
  for (const auto& path : pk3s) {
    testzip::TZip zip(path);
    ASSERT_TRUE(zip.Ok()) << path;
    for (const auto& entry : zip.Entries()) {
      const auto ext = Extension(entry.Name);
      if (ext != ".png" && ext != ".tga" && ext != ".jpg" && ext != ".jpeg" && ext != ".dds") continue;
      ASSERT_TRUE(zip.Extract(entry, data)) << entry.Name;
      TImage img;
      if (!Load(data, img)) {
        failed.push_back(path + ":" + entry.Name);
        continue;
      }
      ++counts[ext];
      uint32_t w = 0, h = 0;
      if (ext == ".png") {
        ASSERT_TRUE(LibPNGDecode(data, ref, w, h)) << entry.Name;
      } else if (ext == ".jpg" || ext == ".jpeg") {
        ASSERT_TRUE(LibJPEGDecode(data, ref, w, h)) << entry.Name;
      } else {
        continue;
      }
      ASSERT_EQ(uint32_t(img.Width), w) << entry.Name;
      ASSERT_EQ(uint32_t(img.Height), h) << entry.Name;
      ASSERT_TRUE(img.Vec() == ref) << entry.Name;
    }
  }
  for (const auto& f : failed) ADD_FAILURE() << "not decoded: " << f;
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("decoded %d .png, %d .tga, %d .jpg, %d .jpeg, %d .dds in %.1f s\n", counts[".png"], counts[".tga"],
              counts[".jpg"], counts[".jpeg"], counts[".dds"], secs);
  EXPECT_GT(counts[".tga"] + counts[".jpg"], 1000);
}
