#include "assets/ZNT1Unzip.h"

#include <gtest/gtest.h>

#include "ZipTestSupport.h"
#include "core/ZNT1Stream.h"
#include "support/TestData.h"

using namespace ziptest;

namespace {

struct Result {
  int32_t Status;
  Bytes Data;
  int64_t Position;
};

// One entry wrapped in a local header; Central stands for the central directory's copy.
Result DecodeEntry(const Entry& e, int calls = 0, int* idleCalls = nullptr) {
  Archive a = BuildZip({e});
  TZNT1MemoryInputStream in(a.Bytes_);
  TMemoryStream out;
  TZNT1ZipEntryInfo info;
  info.CRC32 = Crc(e.Data);
  info.UncompressedSize = static_cast<uint32_t>(e.Data.size());
  // The compressed size: everything between the local header and the descriptor/central directory.
  Bytes comp = e.UseCompressed || (e.Method != 0 && e.Method != 8) ? e.Compressed
               : e.Method == 0                                      ? e.Data
                                                                    : DeflateRaw(e.Data, e.Level);
  info.CompressedSize = static_cast<uint32_t>(comp.size());
  TZNT1KeepAlive idle;
  if (idleCalls) idle = [idleCalls] { ++*idleCalls; };
  const int32_t status = DoDecompress(in, out, a.LocalOffsets[0], info, idle);
  (void)calls;
  return {status, out.Data, out.GetPosition()};
}

Entry Compressed(uint16_t method, const Bytes& data, const Bytes& comp, uint16_t flags = 0) {
  Entry e;
  e.Name = "x";
  e.Method = method;
  e.Data = data;
  e.Compressed = comp;
  e.UseCompressed = true;
  e.Flags = flags;
  return e;
}

}  // namespace

TEST(ZNT1Unzip, CRC32MatchesZlibAtEveryLengthAndAlignment) {
  const Bytes data = RandomBytes(4096 + 64, 7);
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t len : {0u, 1u, 3u, 15u, 16u, 17u, 31u, 64u, 255u, 1000u, 4096u}) {
      uint32_t crc;
      InitCRC32(crc);
      // Fold in two pieces to check that a running CRC continues correctly.
      UpdateCRC32(crc, data.data() + offset, len / 3);
      UpdateCRC32(crc, data.data() + offset + len / 3, len - len / 3);
      DoneCRC32(crc);
      EXPECT_EQ(crc, crc32(0, data.data() + offset, static_cast<uInt>(len))) << offset << " " << len;
    }
  }
  uint32_t crc;
  InitCRC32(crc);
  UpdateCRC32(crc, "123456789", 9);
  DoneCRC32(crc);
  EXPECT_EQ(crc, 0xCBF43926u);
}

// Every level and strategy of zlib, random and compressible data, sizes around the window
// and the input block, streams cut into blocks by flushes (ending exactly on a block end).
TEST(ZNT1Unzip, InflateMatchesZlibAcrossLevelsStrategiesAndSizes) {
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
#ifdef ZNT1_SANITIZE
  const size_t sizes[] = {0, 1, 2, 258, 4093, 32768, 70001};
#else
  const size_t sizes[] = {0, 1, 2, 3, 258, 259, 4091, 4096, 32767, 32768, 32769, 70001};
#endif
  int cases = 0;
  for (size_t n : sizes) {
    for (int kind = 0; kind < 3; ++kind) {
      const Bytes data = kind == 0   ? RandomBytes(n, static_cast<uint32_t>(n))
                         : kind == 1 ? TextBytes(n, static_cast<uint32_t>(n))
                                     : PeriodicBytes(n, static_cast<uint32_t>(n));
      for (int level = 0; level <= 9; ++level) {
        for (int strategy : strategies) {
          if (level == 0 && strategy != Z_DEFAULT_STRATEGY) continue;
          for (size_t flushEvery : {size_t{0}, size_t{1000}}) {
            if (flushEvery && n < 2000) continue;
            Entry e;
            e.Name = "f";
            e.Data = data;
            e.Compressed = DeflateRaw(data, level, strategy, flushEvery);
            e.UseCompressed = true;
            const Result r = DecodeEntry(e);
            ASSERT_EQ(r.Status, StatusOk) << "n=" << n << " kind=" << kind << " level=" << level
                                          << " strategy=" << strategy << " flush=" << flushEvery;
            ASSERT_TRUE(r.Data == data) << "n=" << n << " level=" << level << " strategy=" << strategy;
            ASSERT_EQ(r.Position, static_cast<int64_t>(n));
            ++cases;
          }
        }
      }
    }
  }
  EXPECT_GT(cases, 100);
  // One long stream per level: many blocks, and the window full long before the end.
  const Bytes big = TextBytes(600000, 99);
  for (int level = 1; level <= 9; level += 4) {
    const Result r = DecodeEntry(Compressed(8, big, DeflateRaw(big, level)));
    ASSERT_EQ(r.Status, StatusOk) << level;
    ASSERT_TRUE(r.Data == big) << level;
  }
}

// Stored data whose compressed stream ends exactly at the end of an input block.
TEST(ZNT1Unzip, StreamEndingExactlyOnInputBlock) {
  for (size_t n = 4080; n < 4100; ++n) {
    const Bytes data = RandomBytes(n, 3);
    const Bytes comp = DeflateRaw(data, 0);
    Entry e = Compressed(8, data, comp);
    const Result r = DecodeEntry(e);
    ASSERT_EQ(r.Status, StatusOk) << n << " compressed " << comp.size();
    ASSERT_TRUE(r.Data == data);
  }
}

// Hand-written fixed-Huffman streams.
namespace {

void FixedLiteral(BitWriter& w, unsigned lit) {
  if (lit < 144)
    w.PutCode(0x30 + lit, 8);
  else
    w.PutCode(0x190 + lit - 144, 9);
}
void FixedEnd(BitWriter& w) { w.PutCode(0, 7); }
// Length 258 is code 285 (8 bits, 0xC5); distance code d with 5 bits, no extras for d < 4.
void FixedMatch258(BitWriter& w, unsigned distCode) {
  w.PutCode(0xC5, 8);
  w.PutCode(distCode, 5);
}

}  // namespace

TEST(ZNT1Unzip, DistanceOneRepeatsAndDistanceBeforeStartReadsZeros) {
  {
    BitWriter w;
    w.Put(1, 1);  // last block
    w.Put(1, 2);  // fixed
    FixedLiteral(w, 'z');
    FixedMatch258(w, 0);  // distance 1
    FixedEnd(w);
    const Bytes expected(259, 'z');
    Bytes check;
    ASSERT_TRUE(InflateRawZlib(w.Data(), check, 259));
    ASSERT_TRUE(check == expected);
    const Result r = DecodeEntry(Compressed(8, expected, w.Data()));
    EXPECT_EQ(r.Status, StatusOk);
    EXPECT_TRUE(r.Data == expected);
  }
  {
    // One literal, then a match of distance 4 (code 3): three zeros, then the literal.
    BitWriter w;
    w.Put(1, 1);
    w.Put(1, 2);
    FixedLiteral(w, 'q');
    w.PutCode(0x1, 7);  // length code 257: 3
    w.PutCode(3, 5);    // distance 4
    FixedEnd(w);
    const Bytes expected = {'q', 0, 0, 0};
    const Result r = DecodeEntry(Compressed(8, expected, w.Data()));
    EXPECT_EQ(r.Status, StatusOk);
    EXPECT_TRUE(r.Data == expected);
  }
}

// The failure table: each case names the status it must give; the output is always empty.
TEST(ZNT1Unzip, FailuresGiveTheirStatusAndEmptyOutput) {
  const Bytes text = TextBytes(5000, 1);
  const Bytes deflated = DeflateRaw(text, 9);
  struct Case {
    const char* what;
    Entry entry;
    int32_t status;
  };
  std::vector<Case> cases;
  {
    Entry e = Compressed(8, text, deflated);
    e.Data[100] ^= 1;  // the expected CRC no longer fits
    // Keep the compressed bytes of the original text.
    cases.push_back({"crc mismatch", e, StatusCRCErr});
  }
  {
    Entry e = Compressed(0, text, text, 1);
    cases.push_back({"encrypted stored", e, StatusEncrypted});
  }
  {
    Entry e = Compressed(9, text, deflated, 1);
    cases.push_back({"encrypted method 9", e, StatusNotSupported});
  }
  for (uint16_t m : {2, 3, 4, 5, 7, 12, 14, 98}) cases.push_back({"method", Compressed(m, text, deflated), StatusNotSupported});
  {
    BitWriter w;
    w.Put(1, 1);
    w.Put(0, 2);
    w.Align();
    w.Put(5, 16);
    w.Put(0x1234, 16);
    for (int i = 0; i < 5; ++i) w.Byte('a');
    cases.push_back({"stored NLEN", Compressed(8, ToBytes("aaaaa"), w.Data()), StatusZipFileErr});
  }
  {
    BitWriter w;
    w.Put(1, 1);
    w.Put(3, 2);
    cases.push_back({"block type 3", Compressed(8, ToBytes("a"), w.Data()), StatusZipFileErr});
  }
  {
    Bytes cut(deflated.begin(), deflated.begin() + static_cast<ptrdiff_t>(deflated.size() / 2));
    cases.push_back({"truncated inside a block", Compressed(8, text, cut), StatusReadErr});
  }
  {
    // Fixed block with distance code 30.
    BitWriter w;
    w.Put(1, 1);
    w.Put(1, 2);
    FixedLiteral(w, 'a');
    w.PutCode(0x1, 7);
    w.PutCode(30, 5);
    FixedEnd(w);
    cases.push_back({"distance code 30", Compressed(8, ToBytes("aaaa"), w.Data()), StatusZipFileErr});
  }
  {
    // Dynamic block whose code-length repeat (17) runs past HLIT + HDIST.
    BitWriter w;
    w.Put(1, 1);
    w.Put(2, 2);
    w.Put(0, 5);   // HLIT 257
    w.Put(0, 5);   // HDIST 1
    w.Put(15, 4);  // HCLEN 19
    // Code-length code: only 17 and 18, one bit each (order 16, 17, 18, ...).
    for (int i = 0; i < 19; ++i) w.Put(i == 1 || i == 2 ? 1 : 0, 3);
    // 17 (code 0) with 7 zeros, many times: 258 lengths in all, so the last one overruns.
    for (int i = 0; i < 37; ++i) {
      w.Put(0, 1);
      w.Put(7, 3);
    }
    cases.push_back({"repeat past the lengths", Compressed(8, ToBytes("a"), w.Data()), StatusDynamicHeaderErr});
  }
  for (const Case& c : cases) {
    const Result r = DecodeEntry(c.entry);
    EXPECT_EQ(r.Status, c.status) << c.what;
    EXPECT_TRUE(r.Data.empty()) << c.what;
  }
}

// Declared sizes that do not fit the data: smaller fails once the output passes it, larger
// fails at the end, and an impossible one fails before any memory is taken.
TEST(ZNT1Unzip, DeclaredSizeBoundsTheOutput) {
  const Bytes text = TextBytes(100000, 2);
  const Bytes deflated = DeflateRaw(text, 6);
  for (int64_t declared : {int64_t{0}, int64_t{99999}, int64_t{100001}, int64_t{0xFFFFFFFF}}) {
    Entry e = Compressed(8, text, deflated);
    Archive a = BuildZip({e});
    // Patch the local header's uncompressed size.
    Bytes z = a.Bytes_;
    for (int k = 0; k < 4; ++k) z[22 + k] = static_cast<uint8_t>(declared >> (8 * k));
    TZNT1MemoryInputStream in(z);
    TMemoryStream out;
    EXPECT_EQ(DoDecompress(in, out, 0, {}), StatusZipFileErr) << declared;
    EXPECT_EQ(out.Size(), 0);
  }
}

TEST(ZNT1Unzip, DataDescriptorEntriesUseTheCentralDirectory) {
  const Bytes text = TextBytes(20000, 5);
  for (uint16_t method : {0, 8}) {
    for (bool signature : {false, true}) {
      Entry e;
      e.Name = "d";
      e.Data = text;
      e.Method = method;
      e.Descriptor = true;
      e.DescriptorSignature = signature;
      const Result r = DecodeEntry(e);
      EXPECT_EQ(r.Status, StatusOk) << method << signature;
      EXPECT_TRUE(r.Data == text);
    }
  }
}

TEST(ZNT1Unzip, KeepAliveRunsOncePerInputBlock) {
  const Bytes data = RandomBytes(3 * 4096 + 100, 9);
  Entry e = Compressed(8, data, DeflateRaw(data, 0));
  int calls = 0;
  const Result r = DecodeEntry(e, 0, &calls);
  ASSERT_EQ(r.Status, StatusOk);
  EXPECT_EQ(calls, 4);
}

TEST(ZNT1Unzip, ImplodeAllFourVariants) {
  const Bytes text = TextBytes(30000, 11);
  Bytes mixed = RandomBytes(3000, 12);
  Append(mixed, TextBytes(9000, 13));
  for (const Bytes* data : {&text, static_cast<const Bytes*>(&mixed)}) {
    for (bool dict8k : {false, true}) {
      for (bool literalTree : {false, true}) {
        const Bytes comp = Implode(*data, dict8k, literalTree);
        const uint16_t flags = static_cast<uint16_t>((dict8k ? 2 : 0) | (literalTree ? 4 : 0));
        const Result r = DecodeEntry(Compressed(6, *data, comp, flags));
        EXPECT_EQ(r.Status, StatusOk) << dict8k << literalTree;
        EXPECT_TRUE(r.Data == *data) << dict8k << literalTree;
        // The wrong dictionary size must not decode to the same bytes.
        const Result wrong = DecodeEntry(Compressed(6, *data, comp, static_cast<uint16_t>(flags ^ 2)));
        EXPECT_NE(wrong.Status, StatusOk);
      }
    }
  }
}

TEST(ZNT1Unzip, LegacySamplesDecodeToFirstTxt) {
  REQUIRE_SHARED_DIR();
  const std::string dir = testdata::SharedDir() + "/testdata/zip-legacy/";
  const Bytes expected = testdata::ReadFile(dir + "first.txt");
  ASSERT_EQ(expected.size(), 1092u);
  for (const char* name : {"implode.zip", "shrink.zip"}) {
    const Bytes zip = testdata::ReadFile(dir + name);
    ASSERT_FALSE(zip.empty()) << name;
    TZNT1MemoryInputStream in(zip);
    TMemoryStream out;
    TZNT1ZipEntryInfo info{0x22957A6E, 0, 1092};
    EXPECT_EQ(DoDecompress(in, out, 0, info), StatusOk) << name;
    EXPECT_TRUE(out.Data == expected) << name;
  }
}

namespace {

// 9-bit-and-up LZW codes, least significant bit first.
Bytes ShrinkCodes(const std::vector<std::pair<uint32_t, unsigned>>& codes) {
  BitWriter w;
  for (auto [code, bits] : codes) w.Put(code, bits);
  return w.Data();
}

}  // namespace

TEST(ZNT1Unzip, UnshrinkCorruptCodesFailCleanly) {
  // A plain stream first: a, b, 257 ("ab"), code-size escape, 258 ("ba") at 10 bits.
  {
    const Bytes comp = ShrinkCodes({{'a', 9}, {'b', 9}, {257, 9}, {256, 9}, {1, 9}, {258, 10}});
    const Result r = DecodeEntry(Compressed(1, ToBytes("ababba"), comp));
    EXPECT_EQ(r.Status, StatusOk);
    EXPECT_TRUE(r.Data == ToBytes("ababba"));
  }
  struct Case {
    const char* what;
    std::vector<std::pair<uint32_t, unsigned>> codes;
  };
  const Case cases[] = {
      {"first code above 255", {{300, 9}, {'a', 9}}},
      {"first code 256", {{256, 9}, {1, 9}}},
      {"unknown escape", {{'a', 9}, {256, 9}, {7, 9}}},
      {"code size past 13", {{'a', 9}, {256, 9}, {1, 9}, {256, 10}, {1, 10}, {256, 11}, {1, 11},
                             {256, 12}, {1, 12}, {256, 13}, {1, 13}, {'a', 14}}},
      // After a partial clear the old code 257 is free again and is reused as the next new
      // code with itself as predecessor: its chain never ends.
      {"self-linked chain", {{'a', 9}, {'b', 9}, {257, 9}, {256, 9}, {2, 9}, {'a', 9}, {257, 9}, {'a', 9}}},
  };
  for (const Case& c : cases) {
    const Bytes comp = ShrinkCodes(c.codes);
    const Result r = DecodeEntry(Compressed(1, Bytes(20000, 'a'), comp));
    EXPECT_EQ(r.Status, StatusZipFileErr) << c.what;
  }
}

TEST(ZNT1Unzip, UnshrinkRoundTripsThroughEveryCodeSize) {
  Bytes data = TextBytes(120000, 21);
  Append(data, RandomBytes(30000, 22));
  Append(data, Bytes(5000, 'k'));  // long runs make strings that use their own new code
  const Bytes comp = Shrink(data);
  const Result r = DecodeEntry(Compressed(1, data, comp));
  ASSERT_EQ(r.Status, StatusOk);
  EXPECT_TRUE(r.Data == data);
  EXPECT_TRUE(DecodeEntry(Compressed(1, {}, {})).Status == StatusOk);
}

// Flipped bytes inside the compressed data of each method: a failure with empty output, or
// (rarely, when the flip changes nothing that matters) the exact data.
TEST(ZNT1Unzip, MutatedStreamsFailCleanly) {
  const Bytes text = TextBytes(30000, 31);
  std::vector<Entry> entries = {Compressed(8, text, DeflateRaw(text, 9)),
                                Compressed(8, text, DeflateRaw(text, 6, Z_FIXED)),
                                Compressed(8, text, DeflateRaw(text, 0)),
                                Compressed(6, text, Implode(text, true, true), 6),
                                Compressed(6, text, Implode(text, false, false), 0),
                                Compressed(1, text, Shrink(text))};
  const int rounds = testdata::Sanitizing ? 400 : 3000;
  std::mt19937 rng(77);
  for (const Entry& original : entries) {
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
      Entry e = original;
      const int flips = 1 + static_cast<int>(rng() % 3);
      for (int k = 0; k < flips; ++k) {
        // Mostly near the start, where the trees and block headers are.
        const size_t at = rng() % 2 ? rng() % std::min<size_t>(64, e.Compressed.size()) : rng() % e.Compressed.size();
        e.Compressed[at] ^= static_cast<uint8_t>(1 + rng() % 255);
      }
      const Result r = DecodeEntry(e);
      if (r.Status == StatusOk) {
        ASSERT_TRUE(r.Data == text) << "method " << e.Method;
      } else {
        ASSERT_TRUE(r.Data.empty());
        ++failures;
      }
    }
    EXPECT_GT(failures, rounds / 2) << "method " << original.Method;
  }
}
