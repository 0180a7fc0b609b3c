#include "assets/ZNT1Unzip.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#ifdef __linux__
#include <sys/mman.h>
#endif

#include "core/ZNT1Stream.h"

// ---------------------------------------------------------------------------------------
// Little-endian field access

namespace {

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

}  // namespace

TZIPLocalFileHeader DecodeLocalFileHeader(const uint8_t* b) {
  TZIPLocalFileHeader h;
  std::memcpy(h.Signature, b, 4);
  h.ExtractVersion = Le16(b + 4);
  h.BitFlags = Le16(b + 6);
  h.CompressMethod = Le16(b + 8);
  h.Time = Le16(b + 10);
  h.Date = Le16(b + 12);
  h.CRC32 = Le32(b + 14);
  h.CompressedSize = Le32(b + 18);
  h.UncompressedSize = Le32(b + 22);
  h.FileNameLength = Le16(b + 26);
  h.ExtraFieldLength = Le16(b + 28);
  return h;
}

TZIPCentralFileHeader DecodeCentralFileHeader(const uint8_t* b) {
  TZIPCentralFileHeader h;
  std::memcpy(h.Signature, b, 4);
  h.CreatorVersion = Le16(b + 4);
  h.ExtractVersion = Le16(b + 6);
  h.BitFlags = Le16(b + 8);
  h.CompressMethod = Le16(b + 10);
  h.Time = Le16(b + 12);
  h.Date = Le16(b + 14);
  h.CRC32 = Le32(b + 16);
  h.CompressedSize = Le32(b + 20);
  h.UncompressedSize = Le32(b + 24);
  h.FileNameLength = Le16(b + 28);
  h.ExtraFieldLength = Le16(b + 30);
  h.FileCommentLength = Le16(b + 32);
  h.StartDiskNumber = Le16(b + 34);
  h.InternalAttrributes = Le16(b + 36);
  h.ExternalAttrributes = Le32(b + 38);
  h.LocalFileHeaderOffset = Le32(b + 42);
  return h;
}

TZIPEndCentralFileHeader DecodeEndCentralFileHeader(const uint8_t* b) {
  TZIPEndCentralFileHeader h;
  std::memcpy(h.Signature, b, 4);
  h.DiskNumber = Le16(b + 4);
  h.CentralDirectoryStartDisk = Le16(b + 6);
  h.EntriesThisDisk = Le16(b + 8);
  h.TotalEntries = Le16(b + 10);
  h.CentralDirectorySize = Le32(b + 12);
  h.StartDiskOffset = Le32(b + 16);
  h.CommentLength = Le16(b + 20);
  return h;
}

bool IsLocalFileHeaderSignature(const uint8_t* b) {
  return b[0] == 0x50 && b[1] == 0x4B && b[2] == 0x03 && b[3] == 0x04;
}
bool IsCentralFileHeaderSignature(const uint8_t* b) {
  return b[0] == 0x50 && b[1] == 0x4B && b[2] == 0x01 && b[3] == 0x02;
}
bool IsEndCentralFileHeaderSignature(const uint8_t* b) {
  return b[0] == 0x50 && b[1] == 0x4B && b[2] == 0x05 && b[3] == 0x06;
}

int64_t TZNT1MemoryInputStream::ReadAt(int64_t Position, void* Buffer, int64_t Count) {
  if (Position < 0 || Count <= 0 || Position >= Size()) return 0;
  const int64_t n = std::min(Count, Size() - Position);
  std::memcpy(Buffer, Data.data() + Position, static_cast<size_t>(n));
  return n;
}

// ---------------------------------------------------------------------------------------
// CRC-32, sliced over 16 bytes at a time (same values as the one-table byte loop)

namespace {

using TCRCTables = std::array<std::array<uint32_t, 256>, 16>;

constexpr TCRCTables MakeCRCTables() {
  TCRCTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (int s = 1; s < 16; ++s)
    for (uint32_t i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 255];
  return t;
}

constexpr TCRCTables CRCTables = MakeCRCTables();

uint32_t CRC32Slice16(uint32_t crc, const uint8_t* p, size_t n) {
  const auto& t = CRCTables;
  while (n >= 16) {
    const uint32_t a = Load32(p) ^ crc;
    const uint32_t b = Load32(p + 4);
    const uint32_t c = Load32(p + 8);
    const uint32_t d = Load32(p + 12);
    crc = t[15][a & 255] ^ t[14][(a >> 8) & 255] ^ t[13][(a >> 16) & 255] ^ t[12][a >> 24] ^
          t[11][b & 255] ^ t[10][(b >> 8) & 255] ^ t[9][(b >> 16) & 255] ^ t[8][b >> 24] ^
          t[7][c & 255] ^ t[6][(c >> 8) & 255] ^ t[5][(c >> 16) & 255] ^ t[4][c >> 24] ^
          t[3][d & 255] ^ t[2][(d >> 8) & 255] ^ t[1][(d >> 16) & 255] ^ t[0][d >> 24];
    p += 16;
    n -= 16;
  }
  while (n--) crc = t[0][(crc ^ *p++) & 255] ^ (crc >> 8);
  return crc;
}

#if defined(__x86_64__) || defined(__i386__)
// Carry-less multiplication folds 64 bytes per step (the bit-reflected constants of
// x^n mod P for the ZIP polynomial); needs at least 64 bytes and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) uint32_t CRC32Fold(uint32_t crc, const uint8_t* buf, size_t len) {
  alignas(16) static const uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const uint64_t poly[] = {0x01db710641, 0x01f7011641};
  __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 0x00));
  __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 0x10));
  __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 0x20));
  __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 0x30));
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  buf += 64;
  len -= 64;
  while (len >= 64) {
    const __m128i x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
    const __m128i x6 = _mm_clmulepi64_si128(x2, x0, 0x00);
    const __m128i x7 = _mm_clmulepi64_si128(x3, x0, 0x00);
    const __m128i x8 = _mm_clmulepi64_si128(x4, x0, 0x00);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
    x2 = _mm_clmulepi64_si128(x2, x0, 0x11);
    x3 = _mm_clmulepi64_si128(x3, x0, 0x11);
    x4 = _mm_clmulepi64_si128(x4, x0, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x5), _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 0x00)));
    x2 = _mm_xor_si128(_mm_xor_si128(x2, x6), _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 0x10)));
    x3 = _mm_xor_si128(_mm_xor_si128(x3, x7), _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 0x20)));
    x4 = _mm_xor_si128(_mm_xor_si128(x4, x8), _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + 0x30)));
    buf += 64;
    len -= 64;
  }
  x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  for (__m128i next : {x2, x3, x4}) {
    const __m128i x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, next), x5);
  }
  while (len >= 16) {
    const __m128i x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf))), x5);
    buf += 16;
    len -= 16;
  }
  // 128 bits to 64, then Barrett reduction to 32.
  __m128i x2b = _mm_clmulepi64_si128(x1, x0, 0x10);
  const __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
  x0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x2b = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask), x0, 0x00), x2b);
  x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  x2b = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), x0, 0x10);
  x2b = _mm_clmulepi64_si128(_mm_and_si128(x2b, mask), x0, 0x00);
  x1 = _mm_xor_si128(x1, x2b);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

bool HasCarrylessMultiply() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  return (c & bit_PCLMUL) && (c & bit_SSE4_1);
}
#endif

}  // namespace

void InitCRC32(uint32_t& CRC) { CRC = 0xFFFFFFFFu; }
void UpdateCRC32(uint32_t& CRC, const void* Buffer, size_t Length) {
  const uint8_t* p = static_cast<const uint8_t*>(Buffer);
#if defined(__x86_64__) || defined(__i386__)
  static const bool useFold = HasCarrylessMultiply();
  if (useFold && Length >= 64) {
    const size_t n = Length & ~size_t{15};
    CRC = CRC32Fold(CRC, p, n);
    p += n;
    Length -= n;
  }
#endif
  CRC = CRC32Slice16(CRC, p, Length);
}
void DoneCRC32(uint32_t& CRC) { CRC = ~CRC; }

// ---------------------------------------------------------------------------------------
// Huffman lookup tables
//
// One 32-bit entry per index: bits 0-4 the bits to consume, bits 8-11 the extra bits
// (or, for a link, the index bits of its sub-table), bits 12-15 the kind, bits 16-31 the
// value (literal, base, symbol or sub-table start).

namespace {

constexpr uint32_t FlagLiteral = 0x1000;
constexpr uint32_t FlagSubTable = 0x2000;
constexpr uint32_t FlagEnd = 0x4000;
constexpr uint32_t FlagInvalid = 0x8000;
// A literal entry that holds two literals (the first in bits 16-23, the second in 24-31).
constexpr uint32_t FlagPair = 0x80;
constexpr uint32_t InvalidEntry = FlagInvalid;
constexpr unsigned MaxCodeLength = 16;

constexpr uint32_t MakeEntry(uint32_t Value, uint32_t Flags, uint32_t Extra) {
  return (Value << 16) | Flags | (Extra << 8);
}

inline unsigned ReverseBits(unsigned Code, unsigned Length) {
  unsigned r = 0;
  for (unsigned i = 0; i < Length; ++i) {
    r = (r << 1) | (Code & 1);
    Code >>= 1;
  }
  return r;
}

// Canonical codes (by length, then symbol) for Lens[0..N-1]; codes are read least
// significant bit first. Unassigned indexes stay invalid. The result follows the old
// rule: an incomplete code counts as complete when its longest length is 1.
int BuildTable(std::vector<uint32_t>& Table, const uint8_t* Lens, unsigned N, const uint32_t* SymEntry,
               unsigned RootBits) {
  unsigned count[MaxCodeLength + 1] = {};
  for (unsigned s = 0; s < N; ++s) {
    if (Lens[s] > MaxCodeLength) return HuffmanTreeError;
    ++count[Lens[s]];
  }
  count[0] = 0;
  unsigned maxLen = MaxCodeLength;
  while (maxLen > 0 && count[maxLen] == 0) --maxLen;
  Table.assign(size_t{1} << RootBits, InvalidEntry);
  if (maxLen == 0) return HuffmanTreeComplete;

  int left = 1;
  for (unsigned len = 1; len <= MaxCodeLength; ++len) {
    left <<= 1;
    left -= static_cast<int>(count[len]);
    if (left < 0) return HuffmanTreeError;
  }

  unsigned nextCode[MaxCodeLength + 2] = {};
  unsigned offs[MaxCodeLength + 2] = {};
  for (unsigned len = 1; len <= MaxCodeLength; ++len) {
    nextCode[len + 1] = (nextCode[len] + count[len]) << 1;
    offs[len + 1] = offs[len] + count[len];
  }
  uint16_t sorted[320];
  const unsigned total = offs[MaxCodeLength + 1];
  {
    unsigned pos[MaxCodeLength + 2];
    std::memcpy(pos, offs, sizeof(pos));
    for (unsigned s = 0; s < N; ++s)
      if (Lens[s]) sorted[pos[Lens[s]]++] = static_cast<uint16_t>(s);
  }

  unsigned remaining[MaxCodeLength + 1];
  std::memcpy(remaining, count, sizeof(remaining));
  const unsigned rootSize = 1u << RootBits;
  unsigned subPrefix = ~0u;
  size_t subStart = 0;
  unsigned subBits = 0;
  for (unsigned i = 0; i < total; ++i) {
    const unsigned s = sorted[i];
    const unsigned len = Lens[s];
    const unsigned code = ReverseBits(nextCode[len]++, len);
    if (len <= RootBits) {
      const uint32_t e = SymEntry[s] | len;
      for (unsigned j = code; j < rootSize; j += 1u << len) Table[j] = e;
    } else {
      const unsigned prefix = code & (rootSize - 1);
      if (prefix != subPrefix) {
        // The sub-table grows while the codes still to come at longer lengths need room.
        unsigned cur = len - RootBits;
        int space = 1 << cur;
        while (cur + RootBits < maxLen) {
          space -= static_cast<int>(remaining[cur + RootBits]);
          if (space <= 0) break;
          ++cur;
          space <<= 1;
        }
        subBits = cur;
        subStart = Table.size();
        if (subStart + (size_t{1} << subBits) > 0xFFFF) return HuffmanTreeError;
        Table.resize(subStart + (size_t{1} << subBits), InvalidEntry);
        Table[prefix] = MakeEntry(static_cast<uint32_t>(subStart), FlagSubTable, subBits) | RootBits;
        subPrefix = prefix;
      }
      const unsigned subLen = len - RootBits;
      if (subLen > subBits) return HuffmanTreeError;
      const uint32_t e = SymEntry[s] | subLen;
      for (unsigned j = code >> RootBits; j < (1u << subBits); j += 1u << subLen) Table[subStart + j] = e;
    }
    --remaining[len];
  }
  return (left > 0 && maxLen != 1) ? HuffmanTreeIncomplete : HuffmanTreeComplete;
}

// Symbol tables of the formats.
constexpr uint16_t LengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                     31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t LengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                     2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t DistanceBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                       33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                       1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t DistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint8_t Border[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct TSymbolTables {
  uint32_t LitLen[288];
  uint32_t Distance[32];
  uint32_t Plain[256];  // symbol value only: code-length codes and implode trees
};

constexpr TSymbolTables MakeSymbolTables() {
  TSymbolTables t{};
  for (uint32_t s = 0; s < 256; ++s) t.LitLen[s] = MakeEntry(s, FlagLiteral, 0);
  t.LitLen[256] = FlagEnd;
  for (uint32_t s = 257; s < 286; ++s) t.LitLen[s] = MakeEntry(LengthBase[s - 257], 0, LengthExtra[s - 257]);
  t.LitLen[286] = t.LitLen[287] = InvalidEntry;
  for (uint32_t s = 0; s < 30; ++s) t.Distance[s] = MakeEntry(DistanceBase[s], 0, DistanceExtra[s]);
  t.Distance[30] = t.Distance[31] = InvalidEntry;
  for (uint32_t s = 0; s < 256; ++s) t.Plain[s] = MakeEntry(s, 0, 0);
  return t;
}

constexpr TSymbolTables Symbols = MakeSymbolTables();

constexpr unsigned LitLenBits = 12;

// Where a literal's code leaves room for a whole second literal code in the root index,
// the entry decodes both at once.
// Going down, every index below the current one still holds its single entry.
void AddLiteralPairs(std::vector<uint32_t>& Table) {
  uint32_t* t = Table.data();
  for (unsigned i = 1u << LitLenBits; i-- > 0;) {
    const uint32_t e1 = t[i];
    const unsigned l1 = e1 & 31;
    const uint32_t e2 = t[i >> l1];
    const unsigned l = l1 + (e2 & 31);
    const bool pair = (e1 & e2 & FlagLiteral) && l <= LitLenBits;
    const uint32_t both = (((e1 >> 16) | ((e2 >> 16) << 8)) << 16) | FlagLiteral | FlagPair | l;
    t[i] = pair ? both : e1;
  }
}
constexpr unsigned DistanceBits = 8;
constexpr unsigned CodeLengthBits = 7;

struct TFixedTables {
  std::vector<uint32_t> LitLen, Distance;
  TFixedTables() {
    uint8_t lens[288];
    std::fill(lens, lens + 144, 8);
    std::fill(lens + 144, lens + 256, 9);
    std::fill(lens + 256, lens + 280, 7);
    std::fill(lens + 280, lens + 288, 8);
    BuildTable(LitLen, lens, 288, Symbols.LitLen, LitLenBits);
    AddLiteralPairs(LitLen);
    uint8_t dl[30];
    std::fill(dl, dl + 30, 5);
    BuildTable(Distance, dl, 30, Symbols.Distance, DistanceBits);
  }
};

const TFixedTables& FixedTables() {
  static const TFixedTables tables;
  return tables;
}

// ---------------------------------------------------------------------------------------
// The decoder of one entry

// Room a match may need in the fast loop: the longest match plus the over-copy.
constexpr ptrdiff_t FastOutMargin = 258 + 16;
constexpr size_t OutputStep = 64 * 1024;

inline void StoreLiterals(uint8_t*& Out, uint32_t Entry) {
  const uint16_t both = static_cast<uint16_t>(Entry >> 16);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(Out, &both, 2);
  } else {
    Out[0] = static_cast<uint8_t>(both);
    Out[1] = static_cast<uint8_t>(both >> 8);
  }
  Out += 1 + ((Entry & FlagPair) >> 7);
}

class TUnzipper {
 public:
  TUnzipper(TZNT1InputStream& AStream, const TZNT1KeepAlive& AIdle, int64_t DataStart, int64_t CompressedSize)
      : Stream(AStream), Idle(AIdle), ReadPosition(DataStart), InputLeft(CompressedSize) {}

  // The output grows inside its reserved block a step at a time, so that the zero fill of
  // each step is still in the cache when the decoder writes over it.
  void SetOutput(TMemoryStream& Out, size_t Declared) {
    Output = &Out;
    DeclaredSize = Declared;
    OutBegin = OutPtr = CRCDone = OutEnd = Out.Data.data();
  }
  // Makes room for n more bytes; false when they would pass the declared size.
  bool Room(size_t n) {
    while (static_cast<size_t>(OutEnd - OutPtr) < n) {
      const size_t size = Output->Data.size();
      if (size == DeclaredSize) return false;
      Output->Data.resize(std::min(DeclaredSize, size + OutputStep));
      OutEnd = OutBegin + Output->Data.size();
    }
    return true;
  }
  size_t Produced() const { return static_cast<size_t>(OutPtr - OutBegin); }
  uint32_t FinishCRC() {
    UpdateCRC();
    return ~CRC;
  }

  int32_t CopyStored(int64_t CompressedSize);
  int32_t Inflate();
  int32_t Explode(uint16_t BitFlags);
  int32_t Unshrink(int64_t CompressedSize);

 private:
  // Input
  bool NextBlock();
  void SlowRefill();
  void Need(unsigned n) {
    if (BitCount < n) SlowRefill();
  }
  uint32_t Peek(unsigned n) const { return static_cast<uint32_t>(BitBuffer & ((uint64_t{1} << n) - 1)); }
  void Drop(unsigned n) {
    BitBuffer >>= n;
    BitCount -= n;
  }
  uint32_t ReadBits(unsigned n) {
    Need(n);
    const uint32_t v = Peek(n);
    Drop(n);
    return v;
  }
  // True when more bits were taken than the input held (zeros were fed past its end).
  bool Overrun() const { return BitCount < 8 * Overread; }
  void ResetBits() {
    BitBuffer = 0;
    BitCount = 0;
  }

  void UpdateCRC() {
    UpdateCRC32(CRC, CRCDone, static_cast<size_t>(OutPtr - CRCDone));
    CRCDone = OutPtr;
  }

  // A match through the slow path: checks the room left and reads zeros before the first byte.
  int32_t CopyMatchChecked(uint32_t Distance, uint32_t Length);

  int32_t InflateStored();
  int32_t InflateDynamic();
  int32_t InflateCodes(const uint32_t* LitLen, unsigned LitBits, const uint32_t* Dist, unsigned DistBits);
  uint32_t DecodeSlow(const uint32_t* Table, unsigned RootBits);
  uint32_t DecodeInverted(const uint32_t* Table, unsigned RootBits);
  int32_t GetTree(uint8_t* Lens, unsigned Count);

  TZNT1InputStream& Stream;
  const TZNT1KeepAlive& Idle;
  int64_t ReadPosition;
  int64_t InputLeft;
  const uint8_t* InPtr = Buffer;
  const uint8_t* InEnd = Buffer;
  uint64_t BitBuffer = 0;
  uint32_t BitCount = 0;
  uint32_t Overread = 0;

  uint8_t* OutBegin = nullptr;
  uint8_t* OutPtr = nullptr;
  uint8_t* OutEnd = nullptr;  // end of the bytes materialised so far
  TMemoryStream* Output = nullptr;
  size_t DeclaredSize = 0;
  uint8_t* CRCDone = nullptr;
  uint32_t CRC = 0xFFFFFFFFu;

  std::vector<uint32_t> LitLenTable, DistanceTable, CodeLengthTable;
  uint8_t Buffer[InBufferSize + 32];
};

// Appends the next input block behind the few bytes not yet taken; false when the entry's
// compressed bytes are all read (or the stream ended early).
bool TUnzipper::NextBlock() {
  if (InputLeft <= 0) return false;
  const size_t keep = static_cast<size_t>(InEnd - InPtr);
  if (keep > 16) return true;
  std::memmove(Buffer, InPtr, keep);
  InPtr = Buffer;
  InEnd = Buffer + keep;
  if (Idle) Idle();
  const int64_t want = std::min<int64_t>(InputLeft, InBufferSize);
  const int64_t got = Stream.ReadAt(ReadPosition, Buffer + keep, want);
  if (got <= 0) {
    InputLeft = 0;
    return false;
  }
  ReadPosition += got;
  InputLeft = got < want ? 0 : InputLeft - got;
  InEnd += got;
  return true;
}

// Fills the bit buffer to at least 56 bits a byte at a time; past the end of the input
// it feeds zero bytes and counts them, so that Overrun can tell.
void TUnzipper::SlowRefill() {
  while (BitCount < 56) {
    if (InPtr == InEnd && !NextBlock()) {
      ++Overread;
      BitCount += 8;
      continue;
    }
    BitBuffer |= static_cast<uint64_t>(*InPtr++) << BitCount;
    BitCount += 8;
  }
}

int32_t TUnzipper::CopyStored(int64_t CompressedSize) {
  int64_t remaining = CompressedSize;
  while (remaining > 0) {
    const int64_t n = std::min<int64_t>(remaining, SlidingDictionaryWindowSize);
    if (!Room(static_cast<size_t>(n))) return StatusZipFileErr;
    if (Stream.ReadAt(ReadPosition, OutPtr, n) != n) return StatusReadErr;
    ReadPosition += n;
    OutPtr += n;
    remaining -= n;
    UpdateCRC();
    if (Idle) Idle();
  }
  return StatusOk;
}

int32_t TUnzipper::CopyMatchChecked(uint32_t Distance, uint32_t Length) {
  if (!Room(Length)) return StatusZipFileErr;
  const size_t produced = Produced();
  for (uint32_t i = 0; i < Length; ++i) {
    // Before the first output byte the window holds zeros.
    *OutPtr = Distance > produced + i ? 0 : *(OutPtr - Distance);
    ++OutPtr;
  }
  return StatusOk;
}

uint32_t TUnzipper::DecodeSlow(const uint32_t* Table, unsigned RootBits) {
  SlowRefill();
  uint32_t e = Table[Peek(RootBits)];
  if (e & FlagSubTable) {
    Drop(RootBits);
    e = Table[(e >> 16) + Peek((e >> 8) & 15)];
  }
  Drop(e & 31);
  return e;
}

int32_t TUnzipper::Inflate() {
  ResetBits();
  bool last = false;
  do {
    const uint32_t head = ReadBits(3);
    if (Overrun()) return StatusReadErr;
    last = head & 1;
    int32_t status;
    switch (head >> 1) {
      case 0:
        status = InflateStored();
        break;
      case 1: {
        const TFixedTables& f = FixedTables();
        status = InflateCodes(f.LitLen.data(), LitLenBits, f.Distance.data(), DistanceBits);
        break;
      }
      case 2:
        status = InflateDynamic();
        break;
      default:
        status = StatusZipFileErr;
    }
    if (status != StatusOk) return status;
    UpdateCRC();
  } while (!last);
  return StatusOk;
}

int32_t TUnzipper::InflateStored() {
  Drop(BitCount & 7);
  const uint32_t len = ReadBits(16);
  const uint32_t nlen = ReadBits(16);
  if (Overrun()) return StatusReadErr;
  if (len != (~nlen & 0xFFFF)) return StatusZipFileErr;
  if (!Room(len)) return StatusZipFileErr;
  uint32_t left = len;
  // Whole bytes still in the bit buffer come first.
  while (left > 0 && BitCount >= 8) {
    if (BitCount - 8 < 8 * Overread) return StatusReadErr;
    *OutPtr++ = static_cast<uint8_t>(BitBuffer);
    Drop(8);
    --left;
  }
  if (left == 0) return StatusOk;
  // The bit buffer is empty: copy straight from the input.
  BitBuffer = 0;
  while (left > 0) {
    if (InPtr == InEnd && !NextBlock()) return StatusReadErr;
    const uint32_t n = static_cast<uint32_t>(std::min<ptrdiff_t>(left, InEnd - InPtr));
    std::memcpy(OutPtr, InPtr, n);
    OutPtr += n;
    InPtr += n;
    left -= n;
  }
  return StatusOk;
}

int32_t TUnzipper::InflateDynamic() {
  const uint32_t hlit = 257 + ReadBits(5);
  const uint32_t hdist = 1 + ReadBits(5);
  const uint32_t hclen = 4 + ReadBits(4);
  if (Overrun()) return StatusReadErr;
  if (hlit > 288 || hdist > 32) return StatusDynamicHeaderErr;

  uint8_t pre[19] = {};
  for (uint32_t i = 0; i < hclen; ++i) pre[Border[i]] = static_cast<uint8_t>(ReadBits(3));
  if (Overrun()) return StatusReadErr;
  if (BuildTable(CodeLengthTable, pre, 19, Symbols.Plain, CodeLengthBits) != HuffmanTreeComplete)
    return StatusZipFileErr;

  uint8_t lens[288 + 32] = {};
  const uint32_t n = hlit + hdist;
  uint32_t i = 0;
  uint8_t previous = 0;
  const uint32_t* pt = CodeLengthTable.data();
  while (i < n) {
    const uint32_t e = DecodeSlow(pt, CodeLengthBits);
    if (Overrun()) return StatusReadErr;
    if (e & FlagInvalid) return StatusZipFileErr;
    const uint32_t sym = e >> 16;
    if (sym < 16) {
      lens[i++] = previous = static_cast<uint8_t>(sym);
      continue;
    }
    uint32_t repeat;
    uint8_t value = 0;
    if (sym == 16) {
      repeat = 3 + ReadBits(2);
      value = previous;
      if (i + repeat > n) return StatusDynamicHeaderErr;
    } else if (sym == 17) {
      repeat = 3 + ReadBits(3);
      if (i + repeat > n) return StatusDynamicHeaderErr;
    } else {
      repeat = 11 + ReadBits(7);
      if (i + repeat > n) return StatusZipFileErr;
    }
    if (Overrun()) return StatusReadErr;
    std::memset(lens + i, value, repeat);
    i += repeat;
    previous = value;
  }

  if (BuildTable(LitLenTable, lens, hlit, Symbols.LitLen, LitLenBits) != HuffmanTreeComplete)
    return StatusZipFileErr;
  unsigned shortestLiteral = MaxCodeLength + 1;
  for (unsigned k = 0; k < 256; ++k)
    if (lens[k] && lens[k] < shortestLiteral) shortestLiteral = lens[k];
  if (2 * shortestLiteral <= LitLenBits) AddLiteralPairs(LitLenTable);
  if (BuildTable(DistanceTable, lens + hlit, hdist, Symbols.Distance, DistanceBits) == HuffmanTreeError)
    return StatusZipFileErr;
  return InflateCodes(LitLenTable.data(), LitLenBits, DistanceTable.data(), DistanceBits);
}

int32_t TUnzipper::InflateCodes(const uint32_t* LitLen, unsigned LitBits, const uint32_t* Dist, unsigned DistBits) {
  const uint64_t litMask = (uint64_t{1} << LitBits) - 1;
  const uint64_t distMask = (uint64_t{1} << DistBits) - 1;
  for (;;) {
    if (InputLeft > 0 && InEnd - InPtr < 16) NextBlock();
    Room(FastOutMargin);

    // Fast loop: at least 8 input bytes and room for the longest match with over-copy.
    // Every symbol with its extra bits fits in the 56 bits one refill guarantees.
    {
      const uint8_t* in = InPtr;
      const uint8_t* const inEnd = InEnd;
      const ptrdiff_t inMargin = InputLeft > 0 ? 16 : 8;
      uint64_t bb = BitBuffer;
      uint32_t bc = BitCount;
      uint8_t* out = OutPtr;
      uint8_t* const outBegin = OutBegin;
      uint8_t* const outEnd = OutEnd;
      int32_t result = 1;  // 1: left the fast loop to take the slow path
      while (inEnd - in >= inMargin && outEnd - out >= FastOutMargin) {
        bb |= Load64(in) << bc;
        in += (63 - bc) >> 3;
        bc |= 56;
        uint32_t e = LitLen[bb & litMask];
        if (e & FlagSubTable) {
          bb >>= LitBits;
          bc -= LitBits;
          e = LitLen[(e >> 16) + (bb & ((uint64_t{1} << ((e >> 8) & 15)) - 1))];
        }
        bb >>= e & 31;
        bc -= e & 31;
        if (e & FlagLiteral) {
          // One or two literals per entry (the spare byte is overwritten later), and two
          // more entries need no refill: at most 15 + 12 + 12 of the 56 bits are used.
          StoreLiterals(out, e);
          e = LitLen[bb & litMask];
          if (!(e & FlagLiteral)) continue;
          bb >>= e & 31;
          bc -= e & 31;
          StoreLiterals(out, e);
          e = LitLen[bb & litMask];
          if (!(e & FlagLiteral)) continue;
          bb >>= e & 31;
          bc -= e & 31;
          StoreLiterals(out, e);
          continue;
        }
        if (e & (FlagEnd | FlagInvalid)) {
          result = (e & FlagEnd) ? StatusOk : StatusZipFileErr;
          break;
        }
        uint32_t extra = (e >> 8) & 15;
        const uint32_t length = (e >> 16) + static_cast<uint32_t>(bb & ((uint64_t{1} << extra) - 1));
        bb >>= extra;
        bc -= extra;
        uint32_t d = Dist[bb & distMask];
        if (d & FlagSubTable) {
          bb >>= DistBits;
          bc -= DistBits;
          d = Dist[(d >> 16) + (bb & ((uint64_t{1} << ((d >> 8) & 15)) - 1))];
        }
        if (d & FlagInvalid) {
          result = StatusZipFileErr;
          break;
        }
        bb >>= d & 31;
        bc -= d & 31;
        extra = (d >> 8) & 15;
        const uint32_t distance = (d >> 16) + static_cast<uint32_t>(bb & ((uint64_t{1} << extra) - 1));
        bb >>= extra;
        bc -= extra;
        uint8_t* dst = out;
        if (distance > static_cast<size_t>(out - outBegin)) {
          // Reaches before the first byte: zeros there, done carefully.
          for (uint32_t k = 0; k < length; ++k, ++dst)
            *dst = distance > static_cast<size_t>(dst - outBegin) ? 0 : *(dst - distance);
          out = dst;
          continue;
        }
        const uint8_t* src = out - distance;
        out += length;
        if (distance >= 8) {
          do {
            std::memcpy(dst, src, 8);
            std::memcpy(dst + 8, src + 8, 8);
            dst += 16;
            src += 16;
          } while (dst < out);
        } else if (distance == 1) {
          const uint64_t v = 0x0101010101010101ull * *src;
          do {
            std::memcpy(dst, &v, 8);
            std::memcpy(dst + 8, &v, 8);
            dst += 16;
          } while (dst < out);
        } else {
          // Short periods: each word store leaves Distance correct bytes. Once a whole
          // multiple of the period of at least 8 bytes is written, copy from that far back.
          const uint32_t period = distance * ((8 + distance - 1) / distance);
          uint8_t* const patternEnd = dst + std::min(period, length);
          do {
            uint64_t w;
            std::memcpy(&w, src, 8);
            std::memcpy(dst, &w, 8);
            dst += distance;
            src += distance;
          } while (dst < patternEnd);
          src = dst - period;
          while (dst < out) {
            std::memcpy(dst, src, 8);
            std::memcpy(dst + 8, src + 8, 8);
            dst += 16;
            src += 16;
          }
        }
      }
      InPtr = in;
      BitBuffer = bb;
      BitCount = bc;
      OutPtr = out;
      if (result != 1) return result;
    }

    if (InputLeft > 0 && InEnd - InPtr < 16) continue;
    if (InEnd - InPtr >= 8 && Room(FastOutMargin)) continue;

    // Slow path: one symbol with every check, near the end of the input or the output.
    const uint32_t e = DecodeSlow(LitLen, LitBits);
    if (Overrun()) return StatusReadErr;
    if (e & FlagLiteral) {
      if (!Room(1)) return StatusZipFileErr;
      *OutPtr++ = static_cast<uint8_t>(e >> 16);
      if (e & FlagPair) {
        if (!Room(1)) return StatusZipFileErr;
        *OutPtr++ = static_cast<uint8_t>(e >> 24);
      }
      continue;
    }
    if (e & FlagEnd) return StatusOk;
    if (e & FlagInvalid) return StatusZipFileErr;
    const uint32_t length = (e >> 16) + ReadBits((e >> 8) & 15);
    const uint32_t d = DecodeSlow(Dist, DistBits);
    if (Overrun()) return StatusReadErr;
    if (d & FlagInvalid) return StatusZipFileErr;
    const uint32_t distance = (d >> 16) + ReadBits((d >> 8) & 15);
    if (Overrun()) return StatusReadErr;
    const int32_t status = CopyMatchChecked(distance, length);
    if (status != StatusOk) return status;
  }
}

// ---------------------------------------------------------------------------------------
// Imploding: Shannon-Fano trees whose codes are stored bit-inverted

uint32_t TUnzipper::DecodeInverted(const uint32_t* Table, unsigned RootBits) {
  uint32_t e = Table[~BitBuffer & ((uint64_t{1} << RootBits) - 1)];
  if (e & FlagSubTable) {
    Drop(RootBits);
    e = Table[(e >> 16) + (~BitBuffer & ((uint64_t{1} << ((e >> 8) & 15)) - 1))];
  }
  Drop(e & 31);
  return e;
}

int32_t TUnzipper::GetTree(uint8_t* Lens, unsigned Count) {
  const unsigned bytes = ReadBits(8) + 1;
  unsigned k = 0;
  for (unsigned i = 0; i < bytes; ++i) {
    const unsigned b = ReadBits(8);
    if (Overrun()) return StatusReadErr;
    const unsigned length = (b & 15) + 1;
    const unsigned repeat = (b >> 4) + 1;
    if (k + repeat > Count) return StatusZipFileErr;
    std::memset(Lens + k, static_cast<int>(length), repeat);
    k += repeat;
  }
  if (Overrun()) return StatusReadErr;
  return k == Count ? StatusOk : StatusZipFileErr;
}

int32_t TUnzipper::Explode(uint16_t BitFlags) {
  ResetBits();
  const bool literalTree = BitFlags & 4;
  const unsigned lowBits = (BitFlags & 2) ? 7 : 6;
  const uint32_t lengthBase = literalTree ? 3 : 2;
  constexpr unsigned LiteralRoot = 9, LengthRoot = 7, DistanceRoot = 8;

  uint8_t lens[256];
  int32_t status;
  if (literalTree) {
    if ((status = GetTree(lens, 256)) != StatusOk) return status;
    if (BuildTable(LitLenTable, lens, 256, Symbols.Plain, LiteralRoot) != HuffmanTreeComplete)
      return StatusZipFileErr;
  }
  if ((status = GetTree(lens, 64)) != StatusOk) return status;
  if (BuildTable(CodeLengthTable, lens, 64, Symbols.Plain, LengthRoot) != HuffmanTreeComplete)
    return StatusZipFileErr;
  if ((status = GetTree(lens, 64)) != StatusOk) return status;
  if (BuildTable(DistanceTable, lens, 64, Symbols.Plain, DistanceRoot) != HuffmanTreeComplete)
    return StatusZipFileErr;

  // One refill covers the longest step: 1 + 7 + 16 + 16 + 8 bits.
  while (Produced() < DeclaredSize) {
    if (InputLeft > 0 && InEnd - InPtr < 16) NextBlock();
    SlowRefill();
    if (BitBuffer & 1) {
      Drop(1);
      uint32_t literal;
      if (literalTree) {
        literal = DecodeInverted(LitLenTable.data(), LiteralRoot) >> 16;
      } else {
        literal = Peek(8);
        Drop(8);
      }
      if (Overrun()) return StatusReadErr;
      Room(1);
      *OutPtr++ = static_cast<uint8_t>(literal);
    } else {
      Drop(1);
      const uint32_t low = Peek(lowBits);
      Drop(lowBits);
      const uint32_t distance = low + ((DecodeInverted(DistanceTable.data(), DistanceRoot) >> 16) << lowBits) + 1;
      const uint32_t code = DecodeInverted(CodeLengthTable.data(), LengthRoot) >> 16;
      uint32_t length = code + lengthBase;
      if (code == 63) {
        length += Peek(8);
        Drop(8);
      }
      if (Overrun()) return StatusReadErr;
      if ((status = CopyMatchChecked(distance, length)) != StatusOk) return status;
    }
    if (OutPtr - CRCDone >= SlidingDictionaryWindowSize) UpdateCRC();
  }
  return StatusOk;
}

// ---------------------------------------------------------------------------------------
// Shrinking: LZW with 9 to 13 bit codes and partial clearing

int32_t TUnzipper::Unshrink(int64_t CompressedSize) {
  constexpr int32_t FirstCode = 257, LastCode = 8192, NoCode = 8193;
  constexpr unsigned InitialCodeSize = 9, FinalCodeSize = 13;
  constexpr size_t StackSize = 8193;
  std::vector<int32_t> previousCode(LastCode + 1);
  std::vector<uint8_t> actualCode(LastCode + 1);
  std::vector<uint8_t> stack(StackSize);
  // A free code's PreviousCode holds minus the next free code.
  for (int32_t c = FirstCode; c <= LastCode; ++c) previousCode[c] = -(c + 1);
  int32_t nextFree = FirstCode;

  ResetBits();
  unsigned codeSize = InitialCodeSize;
  int64_t bitsLeft = CompressedSize * 8;
  auto readCode = [&]() {
    bitsLeft -= codeSize;
    return ReadBits(codeSize);
  };
  auto writeByte = [&](uint8_t b) {
    if (!Room(1)) return false;
    *OutPtr++ = b;
    return true;
  };

  auto clearLeafNodes = [&]() {
    const int32_t end = std::min(nextFree - 1, LastCode);
    std::vector<uint8_t> leaf(static_cast<size_t>(LastCode + 1), 0);
    for (int32_t c = FirstCode; c <= end; ++c) leaf[c] = 1;
    for (int32_t c = FirstCode; c <= end; ++c) {
      const int32_t p = previousCode[c];
      if (p >= FirstCode && p <= end) leaf[p] = 0;
    }
    int32_t head = NoCode, tail = -1;
    for (int32_t c = FirstCode; c <= end; ++c) {
      if (!leaf[c] && previousCode[c] >= 0) continue;
      if (tail < 0)
        head = c;
      else
        previousCode[tail] = -c;
      tail = c;
    }
    if (tail >= 0) previousCode[tail] = -nextFree;
    nextFree = head;
  };

  if (bitsLeft < codeSize) return StatusOk;
  int32_t oldCode = static_cast<int32_t>(readCode());
  if (Overrun()) return StatusReadErr;
  if (oldCode > 255) return StatusZipFileErr;
  uint8_t firstByte = static_cast<uint8_t>(oldCode);
  if (!writeByte(firstByte)) return StatusZipFileErr;

  while (bitsLeft >= codeSize) {
    const int32_t code = static_cast<int32_t>(readCode());
    if (Overrun()) return StatusReadErr;
    if (code == 256) {
      const uint32_t escape = readCode();
      if (Overrun()) return StatusReadErr;
      if (escape == 1) {
        if (++codeSize > FinalCodeSize) return StatusZipFileErr;
      } else if (escape == 2) {
        clearLeafNodes();
      } else {
        return StatusZipFileErr;
      }
      continue;
    }
    size_t sp = 0;
    int32_t cur = code;
    if (code > 256 && previousCode[code] < 0) {
      // Not yet defined: the old string followed by its own first byte.
      stack[sp++] = firstByte;
      cur = oldCode;
    }
    while (cur > 256) {
      // A corrupt chain may loop or pass through a free code.
      if (sp >= StackSize || previousCode[cur] < 0) return StatusZipFileErr;
      stack[sp++] = actualCode[cur];
      cur = previousCode[cur];
    }
    if (cur == 256) return StatusZipFileErr;
    firstByte = static_cast<uint8_t>(cur);
    if (!writeByte(firstByte)) return StatusZipFileErr;
    while (sp > 0)
      if (!writeByte(stack[--sp])) return StatusZipFileErr;
    if (nextFree < NoCode) {
      const int32_t c = nextFree;
      nextFree = -previousCode[c];
      previousCode[c] = oldCode;
      actualCode[c] = firstByte;
    }
    oldCode = code;
    if (OutPtr - CRCDone >= SlidingDictionaryWindowSize) UpdateCRC();
  }
  return StatusOk;
}

// The most output a method can make of so many compressed bytes; a declared size above
// it cannot be right and is refused before anything is allocated.
int64_t MaxOutput(uint16_t Method, int64_t Compressed) {
  switch (Method) {
    case 0:
      return Compressed;
    case 1:
      return (Compressed + 8) * 7300;
    case 6:
      return (Compressed + 8) * 160 + 512;
    default:
      return (Compressed + 8) * 1032 + 512;
  }
}

constexpr uint32_t SupportedMethods = 0x143;

}  // namespace

int32_t DoDecompress(TZNT1InputStream& InStream, TMemoryStream& OutStream, int64_t Offset,
                     const TZNT1ZipEntryInfo& Central, const TZNT1KeepAlive& Idle) {
  OutStream.Data.clear();
  OutStream.Seek(0);
  const int64_t streamSize = InStream.Size();
  if (streamSize == 0) return StatusZipFileOpenError;
  if (Offset < 0 || Offset > streamSize) return StatusReadErr;
  uint8_t raw[ZIPLocalFileHeaderSize];
  if (InStream.ReadAt(Offset, raw, sizeof(raw)) != static_cast<int64_t>(sizeof(raw)) ||
      !IsLocalFileHeaderSignature(raw))
    return StatusZipFileErr;
  const TZIPLocalFileHeader header = DecodeLocalFileHeader(raw);
  const int64_t dataStart = Offset + 30 + header.FileNameLength + header.ExtraFieldLength;

  // With a data descriptor the local header holds no sizes; the central directory does.
  const bool described = header.BitFlags & 8;
  const uint32_t expectedCRC = described ? Central.CRC32 : header.CRC32;
  const int64_t compressedSize = described ? Central.CompressedSize : header.CompressedSize;
  const int64_t uncompressedSize = described ? Central.UncompressedSize : header.UncompressedSize;

  const uint16_t method = header.CompressMethod;
  if (!((SupportedMethods >> (method & 31)) & 1)) return StatusNotSupported;
  if (header.BitFlags & 1) return StatusEncrypted;
  if (method != 0 && method != 1 && method != 6 && method != 8) return StatusNotSupported;
  if (dataStart > streamSize) return StatusReadErr;

  const int64_t available = std::min(compressedSize, streamSize - dataStart);
  if (uncompressedSize > MaxOutput(method, available))
    return available < compressedSize ? StatusReadErr : StatusZipFileErr;

  OutStream.Data.reserve(static_cast<size_t>(uncompressedSize));
#ifdef __linux__
  // A big output is faulted in as huge pages: far fewer page faults on first touch.
  if (uncompressedSize >= (int64_t{8} << 20)) {
    const uintptr_t page = 4096;
    const uintptr_t from = (reinterpret_cast<uintptr_t>(OutStream.Data.data()) + page - 1) & ~(page - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(OutStream.Data.data()) + static_cast<uintptr_t>(uncompressedSize)) & ~(page - 1);
    if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
  }
#endif
  TUnzipper unzipper(InStream, Idle, dataStart, compressedSize);
  unzipper.SetOutput(OutStream, static_cast<size_t>(uncompressedSize));

  int32_t status;
  switch (method) {
    case 0:
      status = unzipper.CopyStored(compressedSize);
      break;
    case 1:
      status = unzipper.Unshrink(compressedSize);
      break;
    case 6:
      status = unzipper.Explode(header.BitFlags);
      break;
    default:
      status = unzipper.Inflate();
      break;
  }
  if (status == StatusOk && unzipper.Produced() != static_cast<size_t>(uncompressedSize))
    status = StatusZipFileErr;
  if (status == StatusOk && unzipper.FinishCRC() != expectedCRC) status = StatusCRCErr;
  if (status != StatusOk) {
    OutStream.Data.clear();
    OutStream.Data.shrink_to_fit();
    OutStream.Seek(0);
    return status;
  }
  OutStream.Seek(OutStream.Size());
  return StatusOk;
}

bool Decompress(TZNT1InputStream& InStream, TMemoryStream& OutStream, int64_t Offset,
                const TZNT1ZipEntryInfo& Central, const TZNT1KeepAlive& Idle) {
  return DoDecompress(InStream, OutStream, Offset, Central, Idle) == StatusOk;
}
