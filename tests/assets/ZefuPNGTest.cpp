#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "ImageTestSupport.h"
#include "assets/ZefuPNG.h"
#include "support/TestData.h"

using namespace imgtest;

namespace {

bool Decode(const std::vector<uint8_t>& File, TImage& Img) {
  return LoadPNG(File.data(), uint32_t(File.size()), Img.Data, Img.Width, Img.Height, false);
}

// Our result must equal libpng's RGBA8 result.
void ExpectSameAsLibPNG(const std::vector<uint8_t>& File, const std::string& What) {
  std::vector<uint8_t> ref;
  uint32_t w = 0, h = 0;
  ASSERT_TRUE(LibPNGDecode(File, ref, w, h)) << What;
  TImage img;
  ASSERT_TRUE(Decode(File, img)) << What;
  ASSERT_EQ(uint32_t(img.Width), w) << What;
  ASSERT_EQ(uint32_t(img.Height), h) << What;
  const auto got = img.Vec();
  for (size_t i = 0; i < ref.size(); i += 4)
    ASSERT_TRUE(std::memcmp(&got[i], &ref[i], 4) == 0)
        << What << ": pixel " << i / 4 << " is " << int(got[i]) << "," << int(got[i + 1]) << ","
        << int(got[i + 2]) << "," << int(got[i + 3]) << " but libpng has " << int(ref[i]) << ","
        << int(ref[i + 1]) << "," << int(ref[i + 2]) << "," << int(ref[i + 3]);
}

std::vector<uint8_t> Chunk(const char* Type, const std::vector<uint8_t>& Body) {
  std::vector<uint8_t> v;
  AddChunk(v, Type, Body);
  return v;
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> Parts) {
  std::vector<uint8_t> v;
  for (const auto& p : Parts) v.insert(v.end(), p.begin(), p.end());
  return v;
}

// An 8-bit grey image of the given rows as a zlib stream of its scanlines.
std::vector<uint8_t> GreyIDAT(uint32_t W, const std::vector<std::vector<uint8_t>>& Rows, int Extra = 0) {
  auto data = ScanlineData(W, uint32_t(Rows.size()), 8, 0, false, Rows, 0, 0);
  data.resize(data.size() + Extra, 7);
  return Deflate(data);
}

struct TLayout {
  uint8_t Type, Depth;
};
constexpr TLayout Layouts[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                               {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};

}  // namespace

TEST(PNGChecksums, MatchZlib) {
  std::mt19937 rng(5);
  std::vector<uint8_t> buf(70000);
  for (auto& b : buf) b = uint8_t(rng());
  EXPECT_EQ(ZefuPNG::CRC32(buf.data(), 0), 0u);
  for (size_t len : {1, 3, 7, 8, 9, 63, 5552, 5553, 70000}) {
    EXPECT_EQ(ZefuPNG::CRC32(buf.data() + 1, len - 1 + (len == 70000 ? 0 : 1)),
              uint32_t(crc32(0, buf.data() + 1, uInt(len - 1 + (len == 70000 ? 0 : 1)))))
        << len;
    EXPECT_EQ(ZefuPNG::adler32(1, buf.data(), len), uint32_t(adler32(1, buf.data(), uInt(len)))) << len;
  }
  // Continued from an earlier value, split at odd places.
  const uint32_t first = ZefuPNG::adler32(1, buf.data() + 3, 12345);
  EXPECT_EQ(ZefuPNG::adler32(first, buf.data() + 3 + 12345, 40001),
            uint32_t(adler32(1, buf.data() + 3, 12345 + 40001)));
  std::vector<uint8_t> ff(200000, 0xFF);  // largest sums: the modulo must keep up
  EXPECT_EQ(ZefuPNG::adler32(1, ff.data(), ff.size()), uint32_t(adler32(1, ff.data(), uInt(ff.size()))));
}

TEST(PNGInflate, MatchesZlibOnEveryKindOfBlock) {
  std::mt19937 rng(11);
  std::vector<std::vector<uint8_t>> inputs;
  inputs.push_back({});
  inputs.push_back({42});
  std::vector<uint8_t> noise(100000), text, runs, pixels;
  for (auto& b : noise) b = uint8_t(rng());
  inputs.push_back(noise);
  const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta "};
  while (text.size() < 200000) {
    const char* w = words[rng() % 6];
    text.insert(text.end(), w, w + std::strlen(w));
  }
  inputs.push_back(text);
  while (runs.size() < 150000) runs.insert(runs.end(), 1 + rng() % 300, uint8_t(rng() % 3));
  inputs.push_back(runs);
  for (int i = 0; i < 60000; ++i) {  // RGBA-like repeats at distances 1..7 and far away
    const size_t d = 1 + rng() % 7;
    pixels.push_back(pixels.size() > d && rng() % 3 ? pixels[pixels.size() - d] : uint8_t(rng() % 16));
  }
  inputs.push_back(pixels);
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  for (size_t n = 0; n < inputs.size(); ++n)
    for (int level : {0, 1, 6, 9})
      for (int strategy : strategies)
        for (bool raw : {false, true}) {
          const auto packed = Deflate(inputs[n], level, raw, strategy);
          uint8_t* out = nullptr;
          size_t outLen = 0;
          ASSERT_TRUE(ZefuPNG::DoInflate(packed.data(), packed.size(), out, outLen, !raw, SIZE_MAX))
              << n << " " << level << " " << strategy << " " << raw;
          const bool same = outLen == inputs[n].size() && (outLen == 0 || std::memcmp(out, inputs[n].data(), outLen) == 0);
          std::free(out);
          ASSERT_TRUE(same) << n << " " << level << " " << strategy << " " << raw;
        }
}

TEST(PNGInflate, StopsAtTheLimitAndRefusesBrokenStreams) {
  std::vector<uint8_t> data(50000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 / 13);
  const auto z = Deflate(data);
  uint8_t* out = nullptr;
  size_t len = 0;
  // More output than wanted: stop at the limit, keep what was asked for.
  ASSERT_TRUE(ZefuPNG::DoInflate(z.data(), z.size(), out, len, true, 1000));
  EXPECT_EQ(len, 1000u);
  EXPECT_EQ(std::memcmp(out, data.data(), 1000), 0);
  std::free(out);

  auto stored = Deflate({1, 2, 3}, 0, true);  // 01 03 00 FC FF 01 02 03
  ASSERT_EQ(stored.size(), 8u);
  const std::vector<std::pair<std::vector<uint8_t>, const char*>> bad = {
      {{0x07}, "block type 3"},
      {{0x01, 0x03, 0x00, 0xFC, 0xFE, 1, 2, 3}, "NLEN not the complement of LEN"},
      {{0x01, 0x03, 0x00, 0xFC, 0xFF, 1, 2}, "stored block cut short"},
      {{0x03}, "fixed block cut short"},
      {{0x03, 0x02, 0x00}, "distance before the start"},  // fixed: length 3, distance 1 at start
      {{0x05, 0x00, 0x02, 0x24}, "code-length repeat with nothing before it"},
      {{}, "empty"},
  };
  for (const auto& [stream, what] : bad) {
    // zlib refuses them too.
    std::vector<uint8_t> sink(64);
    z_stream zs{};
    inflateInit2(&zs, -15);
    zs.next_in = const_cast<Bytef*>(stream.data());
    zs.avail_in = uInt(stream.size());
    zs.next_out = sink.data();
    zs.avail_out = uInt(sink.size());
    EXPECT_NE(inflate(&zs, Z_FINISH), Z_STREAM_END) << what;
    inflateEnd(&zs);
    out = nullptr;
    EXPECT_FALSE(ZefuPNG::DoInflate(stream.data(), stream.size(), out, len, false, SIZE_MAX)) << what;
    EXPECT_EQ(out, nullptr) << what;
  }
  // zlib header checks and the Adler-32 at the end.
  auto good = Deflate(data);
  auto flip = [&](size_t at, uint8_t x) {
    auto v = good;
    v[at] ^= x;
    return v;
  };
  for (const auto& [stream, what] : std::vector<std::pair<std::vector<uint8_t>, const char*>>{
           {flip(0, 0x01), "check bits"},
           {flip(good.size() - 1, 0x01), "Adler-32"},
           {[&] { auto v = good; v[1] |= 0x20; v[1] -= (v[0] * 256 + v[1]) % 31; return v; }(), "preset dictionary"},
       }) {
    EXPECT_FALSE(ZefuPNG::DoInflate(stream.data(), stream.size(), out, len, true, SIZE_MAX)) << what;
  }
}

TEST(PNGDecoder, MatchesLibPNGForEveryLayoutFilterAndInterlace) {
  std::mt19937 rng(1234);
  const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {1, 9}, {9, 1}, {7, 5}, {33, 17}, {257, 130}};
  for (const auto& lay : Layouts)
    for (bool interlace : {false, true})
      for (const auto& [w, h] : sizes)
        for (int variant = 0; variant < 2; ++variant) {
          const auto rows = RandomRows(w, h, lay.Depth, lay.Type, rng, lay.Type == 3 ? (1u << lay.Depth) : 256);
          TPNGParts parts;
          if (lay.Type == 3) {
            parts.HasPLTE = true;
            for (uint32_t i = 0; i < (1u << lay.Depth) * 3; ++i) parts.PLTE.push_back(uint8_t(rng()));
            if (variant) {  // alpha for some of the entries only
              parts.HasTRNS = true;
              for (uint32_t i = 0; i < (1u << lay.Depth) / 2 + 1; ++i) parts.tRNS.push_back(uint8_t(rng()));
            }
          } else if (variant && (lay.Type == 0 || lay.Type == 2)) {
            // The colour of the first pixel becomes transparent (standard two-byte form).
            parts.HasTRNS = true;
            const int spp = Channels(lay.Type);
            for (int c = 0; c < spp; ++c) {
              uint32_t v;
              if (lay.Depth < 8) v = GetBits(rows[0], 0, lay.Depth);
              else if (lay.Depth == 8) v = rows[0][c];
              else v = rows[0][2 * c] << 8 | rows[0][2 * c + 1];
              PutBE32(parts.tRNS, v);
              parts.tRNS.erase(parts.tRNS.end() - 4, parts.tRNS.end() - 2);
            }
          }
          const auto png = MakePNG(w, h, lay.Depth, lay.Type, interlace, rows, parts, variant * 2);
          const std::string what = "type " + std::to_string(lay.Type) + " depth " + std::to_string(lay.Depth) +
                                   (interlace ? " Adam7 " : " ") + std::to_string(w) + "x" + std::to_string(h) +
                                   (variant ? " tRNS" : "");
          ExpectSameAsLibPNG(png, what);
          if (variant && lay.Type != 3 && lay.Type != 4 && lay.Type != 6) {
            TImage img;
            ASSERT_TRUE(Decode(png, img));
            EXPECT_EQ(img.Pixel(0, 0)[3], 0) << what << ": the tRNS colour must be transparent";
          }
        }
}

TEST(PNGDecoder, TransparentColourForms) {
  // 8-bit grey levels 0, 100, 200, 100 in one row.
  const std::vector<std::vector<uint8_t>> rows = {{0, 100, 200, 100}};
  struct TCase {
    std::vector<uint8_t> tRNS;
    std::vector<uint8_t> Alpha;
    const char* What;
  };
  const TCase cases[] = {
      {{0, 100}, {255, 0, 255, 0}, "standard two-byte value 100"},
      {{100}, {255, 0, 255, 0}, "one byte per sample, widened like the samples"},
      {{0x01, 0x64}, {255, 0, 255, 0}, "bits above the depth are dropped (as libpng does)"},
  };
  for (const auto& c : cases) {
    const auto png = Join({Signature(), Chunk("IHDR", IHDR(4, 1, 8, 0, 0)), Chunk("tRNS", c.tRNS),
                           Chunk("IDAT", GreyIDAT(4, rows)), Chunk("IEND", {})});
    TImage img;
    ASSERT_TRUE(Decode(png, img)) << c.What;
    for (int x = 0; x < 4; ++x) EXPECT_EQ(img.Pixel(x, 0)[3], c.Alpha[x]) << c.What << " x=" << x;
    if (c.tRNS.size() == 2) ExpectSameAsLibPNG(png, c.What);
  }
  // 16-bit colour: exactly the pixels of the stored colour become transparent.
  std::vector<std::vector<uint8_t>> rgb16 = {{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBD}};
  const auto png = Join({Signature(), Chunk("IHDR", IHDR(2, 1, 16, 2, 0)),
                         Chunk("tRNS", {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}),
                         Chunk("IDAT", Deflate(ScanlineData(2, 1, 16, 2, false, rgb16))), Chunk("IEND", {})});
  TImage img;
  ASSERT_TRUE(Decode(png, img));
  EXPECT_EQ(std::vector<uint8_t>(img.Bytes(), img.Bytes() + 8),
            (std::vector<uint8_t>{0x12, 0x56, 0x9A, 0, 0x12, 0x56, 0x9A, 255}));
  ExpectSameAsLibPNG(png, "16-bit colour tRNS");
}

TEST(PNGDecoder, PaletteEdgeCases) {
  const std::vector<std::vector<uint8_t>> rows = {{0, 1, 2, 3}};
  auto idat = Chunk("IDAT", Deflate(ScanlineData(4, 1, 8, 3, false, rows)));
  const auto plte = Chunk("PLTE", {10, 11, 12, 20, 21, 22, 30, 31, 32});  // 3 entries, index 3 is outside
  // A short tRNS leaves the later entries opaque; the index past the palette reads as opaque
  // black, as libpng has it.
  const auto png = Join({Signature(), Chunk("IHDR", IHDR(4, 1, 8, 3, 0)), plte, Chunk("tRNS", {7}), idat,
                         Chunk("IEND", {})});
  TImage img;
  ASSERT_TRUE(Decode(png, img));
  EXPECT_EQ(img.Vec(), (std::vector<uint8_t>{10, 11, 12, 7, 20, 21, 22, 255, 30, 31, 32, 255, 0, 0, 0, 255}));
  ExpectSameAsLibPNG(png, "short tRNS and index past the palette");

  // A PLTE after tRNS carries four bytes per entry.
  const auto late = Join({Signature(), Chunk("IHDR", IHDR(4, 1, 8, 3, 0)), plte, Chunk("tRNS", {7}),
                          Chunk("PLTE", {1, 2, 3, 4, 5, 6, 7, 8}), idat, Chunk("IEND", {})});
  TImage img2;
  ASSERT_TRUE(Decode(late, img2));
  EXPECT_EQ(std::vector<uint8_t>(img2.Bytes(), img2.Bytes() + 12),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 255}));
}

TEST(PNGDecoder, ChunkRules) {
  const std::vector<std::vector<uint8_t>> rows = {{1, 2, 3}, {4, 5, 6}};
  const auto sig = Signature();
  const auto ihdr = Chunk("IHDR", IHDR(3, 2, 8, 0, 0));
  const auto idat = Chunk("IDAT", GreyIDAT(3, rows));
  const auto iend = Chunk("IEND", {});
  auto withCRC = [](std::vector<uint8_t> c, int delta) { c.back() ^= uint8_t(delta); return c; };
  struct TCase {
    std::vector<uint8_t> File;
    bool Ok;
    const char* What;
  };
  const TCase cases[] = {
      {Join({sig, ihdr, idat, iend}), true, "plain"},
      {Join({sig, Chunk("tEXt", {'a', 0, 'b'}), ihdr, idat, iend}), true, "ancillary chunk before IHDR"},
      {Join({sig, ihdr, idat, iend, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}}), true, "bytes after IEND"},
      {Join({sig, ihdr, Chunk("IDAT", {}), idat, iend}), true, "empty first IDAT"},
      {Join({sig, Chunk("IHDR", IHDR(3, 2, 8, 2, 0)), Chunk("PLTE", {1, 2, 3}),
             Chunk("IDAT", Deflate(ScanlineData(3, 2, 8, 2, false, {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {1, 2, 3, 4, 5, 6, 7, 8, 9}}))), iend}),
       true, "suggested palette in a colour image"},
      {Join({sig, ihdr, Chunk("PLTE", {1, 2, 3}), idat, iend}), false, "PLTE in a grey image"},
      {Join({sig, ihdr, idat}), false, "no IEND"},
      {Join({sig, ihdr, iend}), false, "no IDAT"},
      {Join({sig, idat, ihdr, idat, iend}), false, "IDAT before IHDR"},
      {Join({sig, ihdr, ihdr, idat, iend}), false, "IHDR twice"},
      {Join({sig, withCRC(ihdr, 1), idat, iend}), false, "IHDR CRC"},
      {Join({sig, ihdr, withCRC(Chunk("tEXt", {'a', 0, 'b'}), 1), idat, iend}), false, "ancillary CRC"},
      {Join({sig, ihdr, idat, Chunk("tRNS", {0, 1}), iend}), false, "tRNS after IDAT"},
      {Join({sig, ihdr, Chunk("tRNS", {0, 1, 2}), idat, iend}), false, "tRNS of three bytes in grey"},
      {Join({sig, Chunk("IHDR", IHDR(3, 2, 8, 3, 0)), idat, Chunk("PLTE", {1, 2, 3}), iend}), false,
       "palette image without PLTE before IDAT"},
      {Join({sig, Chunk("IHDR", IHDR(3, 2, 8, 3, 0)), Chunk("PLTE", {1, 2, 3}), Chunk("tRNS", {1, 2}), idat, iend}),
       false, "tRNS longer than the palette"},
      {Join({sig, Chunk("IHDR", IHDR(3, 2, 8, 3, 0)), Chunk("PLTE", {1, 2, 3, 4}), idat, iend}), false,
       "PLTE not a multiple of 3"},
      {Join({sig, Chunk("IHDR", IHDR(3, 2, 3, 0, 0)), idat, iend}), false, "depth 3"},
      {Join({sig, Chunk("IHDR", IHDR(3, 2, 16, 3, 0)), idat, iend}), false, "palette depth 16"},
      {Join({sig, Chunk("IHDR", IHDR(3, 2, 4, 2, 0)), idat, iend}), false, "colour depth 4"},
      {Join({sig, Chunk("IHDR", IHDR(3, 2, 8, 5, 0)), idat, iend}), false, "colour type 5"},
      {Join({sig, Chunk("IHDR", IHDR(3, 2, 8, 0, 2)), idat, iend}), false, "interlace 2"},
      {Join({sig, Chunk("IHDR", IHDR(0, 2, 8, 0, 0)), idat, iend}), false, "width 0"},
      {Join({sig, Chunk("IHDR", [] { auto b = IHDR(3, 2, 8, 0, 0); b[10] = 1; return b; }()), idat, iend}), false,
       "compression method 1"},
      {Join({sig, Chunk("IHDR", [] { auto b = IHDR(3, 2, 8, 0, 0); b.push_back(0); return b; }()), idat, iend}),
       false, "IHDR of 14 bytes"},
      {Join({sig, ihdr, Chunk("IDAT", GreyIDAT(3, {{1, 2, 3}})), iend}), false, "inflated data one row short"},
      {Join({sig, ihdr, [&] { auto c = idat; c[3] += 1; return c; }(), iend}), false, "chunk length past its CRC"},
      {Join({sig, ihdr, {0xFF, 0xFF, 0xFF, 0xF0, 'I', 'D', 'A', 'T'}, iend}), false, "chunk length near 4 GiB"},
      {Join({{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0B}, ihdr, idat, iend}), false, "signature"},
  };
  for (const auto& c : cases) {
    TImage img;
    EXPECT_EQ(Decode(c.File, img), c.Ok) << c.What;
    if (!c.Ok) {
      EXPECT_EQ(img.Data, nullptr) << c.What;
      EXPECT_EQ(img.Width, -1) << c.What;
    }
  }
  TImage img;
  EXPECT_FALSE(LoadPNG(nullptr, 100, img.Data, img.Width, img.Height, false));
  EXPECT_FALSE(LoadPNG(sig.data(), 8, img.Data, img.Width, img.Height, false));
}

TEST(PNGDecoder, IDATSpreadAndExtraData) {
  std::mt19937 rng(3);
  const auto rows = RandomRows(16, 8, 8, 0, rng);
  const auto z = GreyIDAT(16, rows);
  // One byte per IDAT chunk.
  std::vector<uint8_t> png = Join({Signature(), Chunk("IHDR", IHDR(16, 8, 8, 0, 0))});
  for (uint8_t b : z) AddChunk(png, "IDAT", {b});
  AddChunk(png, "IEND", {});
  ExpectSameAsLibPNG(png, "one-byte IDAT chunks");
  // More inflated data than the scanlines need: the image is taken from the start, as libpng does.
  const auto longer = Join({Signature(), Chunk("IHDR", IHDR(16, 8, 8, 0, 0)), Chunk("IDAT", GreyIDAT(16, rows, 40)),
                            Chunk("IEND", {})});
  TImage a, b;
  ASSERT_TRUE(Decode(png, a));
  ASSERT_TRUE(Decode(longer, b));
  EXPECT_EQ(a.Vec(), b.Vec());
}

TEST(PNGDecoder, HeaderOnlyAndSizeLimits) {
  auto header = [](uint32_t W, uint32_t H, uint8_t Depth, uint8_t Type) {
    return Join({Signature(), Chunk("IHDR", IHDR(W, H, Depth, Type, 0)), Chunk("IEND", {})});
  };
  TImage img;
  auto f = header(16777216, 3, 8, 6);
  ASSERT_TRUE(LoadPNG(f.data(), uint32_t(f.size()), img.Data, img.Width, img.Height, true));
  EXPECT_EQ(img.Width, 16777216);
  EXPECT_EQ(img.Height, 3);
  EXPECT_EQ(img.Data, nullptr);
  f = header(16777217, 1, 8, 6);
  EXPECT_FALSE(LoadPNG(f.data(), uint32_t(f.size()), img.Data, img.Width, img.Height, true));
  f = header(5, 0, 8, 6);
  EXPECT_FALSE(LoadPNG(f.data(), uint32_t(f.size()), img.Data, img.Width, img.Height, true));
  // Sizes whose byte counts overflow 32 bits are refused before anything is allocated,
  // even with image data present.
  for (auto [w, h, type] : {std::tuple{65536u, 65536u, 0}, std::tuple{16384u, 16385u, 6},
                            std::tuple{16777216u, 16777216u, 2}, std::tuple{32768u, 32768u, 3}}) {
    auto big = Join({Signature(), Chunk("IHDR", IHDR(w, h, 8, uint8_t(type), 0)), Chunk("PLTE", {1, 2, 3}),
                     Chunk("IDAT", Deflate(std::vector<uint8_t>(100000, 0))), Chunk("IEND", {})});
    TImage b;
    EXPECT_FALSE(Decode(big, b)) << w << "x" << h;
  }
}

TEST(PNGDecoder, CgBIVariant) {
  // Stored B, G, R premultiplied by alpha, raw Deflate data.
  const std::vector<std::vector<uint8_t>> rows = {{
      30, 20, 10, 255,   // opaque: only the byte order changes
      50, 100, 25, 128,  // premultiplied
      9, 8, 7, 0,        // alpha 0: R and B exchange
      200, 10, 90, 100,  // colour above alpha: clamped to 255
  }};
  const auto png = Join({Signature(), Chunk("CgBI", {0x50, 0, 0x20, 0x06}), Chunk("IHDR", IHDR(4, 1, 8, 6, 0)),
                         Chunk("IDAT", Deflate(ScanlineData(4, 1, 8, 6, false, rows), 6, true)),
                         Chunk("IEND", {})});
  TImage img;
  ASSERT_TRUE(Decode(png, img));
  EXPECT_EQ(img.Vec(), (std::vector<uint8_t>{10, 20, 30, 255, 25 * 255 / 128, 100 * 255 / 128, 50 * 255 / 128, 128,
                                             7, 8, 9, 0, 229, 25, 255, 100}));
}

TEST(PNGDecoder, PngSuite) {
  REQUIRE_SHARED_DIR();
  const auto dir = std::filesystem::path(testdata::SharedDir()) / "testdata" / "pngsuite";
  int good = 0, refused = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const auto name = entry.path().filename().string();
    if (entry.path().extension() != ".png") continue;
    const auto file = testdata::ReadFile(entry.path().string());
    if (name[0] == 'x') {
      TImage img;
      EXPECT_FALSE(Decode(file, img)) << name;
      ++refused;
    } else {
      ExpectSameAsLibPNG(file, name);
      ++good;
    }
  }
  EXPECT_GT(good, 150);
  EXPECT_GT(refused, 10);
}

namespace {

// Small files of several layouts for the damage tests.
std::vector<std::vector<uint8_t>> DamageSamples() {
  std::mt19937 rng(77);
  std::vector<std::vector<uint8_t>> files;
  for (const auto& lay : {TLayout{6, 8}, TLayout{3, 4}, TLayout{0, 16}, TLayout{2, 8}}) {
    const auto rows = RandomRows(13, 11, lay.Depth, lay.Type, rng, 16);
    TPNGParts parts;
    if (lay.Type == 3) {
      parts.HasPLTE = true;
      for (int i = 0; i < 48; ++i) parts.PLTE.push_back(uint8_t(rng()));
      parts.HasTRNS = true;
      parts.tRNS = {1, 2, 3};
    }
    files.push_back(MakePNG(13, 11, lay.Depth, lay.Type, lay.Type == 3, rows, parts));
  }
  // CgBI data carries no checksum: damage there goes all the way through the inflater.
  const auto rows = RandomRows(13, 11, 8, 6, rng);
  files.push_back(Join({Signature(), Chunk("CgBI", {0x50, 0, 0x20, 0x06}), Chunk("IHDR", IHDR(13, 11, 8, 6, 0)),
                        Chunk("IDAT", Deflate(ScanlineData(13, 11, 8, 6, false, rows, 1), 6, true)),
                        Chunk("IEND", {})}));
  return files;
}

// Puts right every CRC of a damaged file, so that the damage reaches the decoder behind.
void FixCRCs(std::vector<uint8_t>& F) {
  size_t pos = 8;
  while (pos + 12 <= F.size()) {
    const uint32_t len = uint32_t(F[pos]) << 24 | F[pos + 1] << 16 | F[pos + 2] << 8 | F[pos + 3];
    if (len > F.size() - pos - 12) break;
    const uint32_t crc = uint32_t(crc32(0, F.data() + pos + 4, len + 4));
    for (int i = 0; i < 4; ++i) F[pos + 8 + len + i] = uint8_t(crc >> (24 - 8 * i));
    pos += 12 + len;
  }
}

}  // namespace

TEST(PNGDecoder, EveryTruncationFails) {
  for (const auto& file : DamageSamples()) {
    for (size_t n = 0; n < file.size() - 12; ++n) {  // shorter than the IEND chunk's end
      TImage img;
      EXPECT_FALSE(LoadPNG(file.data(), uint32_t(n), img.Data, img.Width, img.Height, false)) << n;
    }
  }
}

TEST(PNGDecoder, ByteFlipsGiveFalseOrTheReferenceImage) {
  const int rounds = testdata::Sanitizing ? 1500 : 6000;
  std::mt19937 rng(2024);
  int decoded = 0, compared = 0;
  const auto samples = DamageSamples();
  for (int r = 0; r < rounds; ++r) {
    auto f = samples[r % samples.size()];
    const int flips = 1 + int(rng() % 3);
    for (int i = 0; i < flips; ++i) f[8 + rng() % (f.size() - 8)] ^= uint8_t(1 + rng() % 255);
    if (r % 2) FixCRCs(f);
    TImage img;
    if (!Decode(f, img)) continue;
    ++decoded;
    std::vector<uint8_t> ref;
    uint32_t w, h;
    if (!LibPNGDecode(f, ref, w, h)) continue;  // e.g. a filter byte above 4, which we keep as stored
    ++compared;
    ASSERT_EQ(uint32_t(img.Width), w) << r;
    ASSERT_EQ(uint32_t(img.Height), h) << r;
    ASSERT_EQ(img.Vec(), ref) << r;
  }
  EXPECT_GT(decoded, rounds / 40);
  EXPECT_GT(compared, rounds / 100);
  std::printf("%d of %d damaged files decoded, %d compared with libpng\n", decoded, rounds, compared);
}
