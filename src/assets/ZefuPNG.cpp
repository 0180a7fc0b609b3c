#include "assets/ZefuPNG.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ZefuPNG {

namespace {

// ---------------------------------------------------------------------------------------
// Checksums

constexpr std::array<std::array<uint32_t, 256>, 8> MakeCRCTables() {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][n] = c;
  }
  for (uint32_t n = 0; n < 256; ++n)
    for (int k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
  return t;
}

// Eight bytes per step: IDAT checks run over the whole compressed image.
constexpr auto CRCTables = MakeCRCTables();

inline uint32_t Load32LE(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;  // little-endian host
}

inline uint64_t Load64LE(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline uint32_t GetU16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }

}  // namespace

uint32_t CRC32(const void* Data, size_t Length) {
  const uint8_t* p = static_cast<const uint8_t*>(Data);
  uint32_t c = 0xFFFFFFFFu;
  while (Length >= 8) {
    const uint32_t a = Load32LE(p) ^ c;
    const uint32_t b = Load32LE(p + 4);
    c = CRCTables[7][a & 0xFF] ^ CRCTables[6][(a >> 8) & 0xFF] ^ CRCTables[5][(a >> 16) & 0xFF] ^
        CRCTables[4][a >> 24] ^ CRCTables[3][b & 0xFF] ^ CRCTables[2][(b >> 8) & 0xFF] ^
        CRCTables[1][(b >> 16) & 0xFF] ^ CRCTables[0][b >> 24];
    p += 8;
    Length -= 8;
  }
  while (Length--) c = CRCTables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

uint32_t adler32(uint32_t Adler, const void* Data, size_t Length) {
  constexpr uint32_t Base = 65521, NMax = 5552;
  const uint8_t* p = static_cast<const uint8_t*>(Data);
  uint32_t a = Adler & 0xFFFF, b = Adler >> 16;
#if defined(__SSE2__)
  // Sixteen bytes per step: the byte sums and their weights 16..1 are gathered in vectors
  // and folded into a and b once per chunk.
  const __m128i zero = _mm_setzero_si128();
  const __m128i weightsLo = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i weightsHi = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  while (Length >= 16) {
    const size_t blocks = std::min<size_t>(Length / 16, NMax / 16);
    __m128i sums = zero, sumsBefore = zero, weighted = zero;
    for (size_t i = 0; i < blocks; ++i, p += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      sumsBefore = _mm_add_epi32(sumsBefore, sums);
      sums = _mm_add_epi32(sums, _mm_sad_epu8(v, zero));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), weightsLo));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), weightsHi));
    }
    auto total = [](__m128i x) {
      uint32_t lanes[4];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), x);
      return uint64_t(lanes[0]) + lanes[1] + lanes[2] + lanes[3];
    };
    const uint64_t bb = b + uint64_t(blocks) * 16 * a + 16 * total(sumsBefore) + total(weighted);
    a = uint32_t((a + total(sums)) % Base);
    b = uint32_t(bb % Base);
    Length -= blocks * 16;
  }
#endif
  while (Length > 0) {
    size_t n = std::min<size_t>(Length, NMax);
    Length -= n;
    while (n--) {
      a += *p++;
      b += a;
    }
    a %= Base;
    b %= Base;
  }
  return b << 16 | a;
}

// ---------------------------------------------------------------------------------------
// Inflate (RFC 1950/1951)

namespace {

// A table entry: bits 0-7 bits to consume, 8-11 extra bits (or sub-table index bits),
// 12-15 kind, 16-31 value (literal, base length or distance, or sub-table offset).
enum : uint32_t { kLit = 0, kLen = 1, kEnd = 2, kSub = 3, kBad = 4 };
constexpr int LitTableBits = 10, DistTableBits = 8, CLTableBits = 7;
constexpr uint32_t BadEntry = kBad << 12;

constexpr uint32_t Entry(uint32_t Kind, uint32_t Value, uint32_t Extra) {
  return Value << 16 | Kind << 12 | Extra << 8;
}

constexpr uint16_t LenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t LenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t DistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                   33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                   1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t DistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                   6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

struct TSymbolMaps {
  uint32_t Lit[288];
  uint32_t Dist[32];
  uint32_t CL[19];
};

constexpr TSymbolMaps MakeSymbolMaps() {
  TSymbolMaps m{};
  for (uint32_t s = 0; s < 256; ++s) m.Lit[s] = Entry(kLit, s, 0);
  m.Lit[256] = Entry(kEnd, 0, 0);
  for (uint32_t s = 257; s < 286; ++s) m.Lit[s] = Entry(kLen, LenBase[s - 257], LenExtra[s - 257]);
  m.Lit[286] = m.Lit[287] = BadEntry;
  for (uint32_t s = 0; s < 30; ++s) m.Dist[s] = Entry(kLen, DistBase[s], DistExtra[s]);
  m.Dist[30] = m.Dist[31] = BadEntry;
  for (uint32_t s = 0; s < 19; ++s) m.CL[s] = Entry(kLit, s, 0);
  return m;
}

constexpr TSymbolMaps SymbolMaps = MakeSymbolMaps();

constexpr size_t LitTableSize = (1u << LitTableBits) + 288 * (1u << (15 - LitTableBits));
constexpr size_t DistTableSize = (1u << DistTableBits) + 32 * (1u << (15 - DistTableBits));

inline uint32_t ReverseBits(uint32_t Code, int Len) {
  uint32_t r = 0;
  for (int i = 0; i < Len; ++i, Code >>= 1) r = r << 1 | (Code & 1);
  return r;
}

// Builds a two-level lookup table of a canonical code. Over-subscribed lengths fail;
// incomplete codes leave their unused entries bad, so reaching one fails the decode.
bool BuildTable(const uint8_t* Lens, int Count, const uint32_t* Symbols, int TableBits,
                uint32_t* Table) {
  int count[16] = {};
  for (int s = 0; s < Count; ++s) ++count[Lens[s]];
  count[0] = 0;
  int left = 1, maxLen = 0;
  for (int len = 1; len <= 15; ++len) {
    left = (left << 1) - count[len];
    if (left < 0) return false;
    if (count[len]) maxLen = len;
  }
  const uint32_t mainSize = 1u << TableBits;
  std::fill(Table, Table + mainSize, BadEntry);
  uint32_t next[16];
  uint32_t code = 0;
  for (int len = 1; len <= 15; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  const int subBits = maxLen > TableBits ? maxLen - TableBits : 0;
  const uint32_t subSize = 1u << subBits;
  uint32_t nextSub = mainSize;
  for (int s = 0; s < Count; ++s) {
    const int len = Lens[s];
    if (!len) continue;
    const uint32_t rev = ReverseBits(next[len]++, len);
    const uint32_t e = Symbols[s];
    if (len <= TableBits) {
      const uint32_t v = ((e >> 12) & 15) == kBad ? BadEntry : e | uint32_t(len);
      for (uint32_t i = rev; i < mainSize; i += 1u << len) Table[i] = v;
    } else {
      const uint32_t prefix = rev & (mainSize - 1);
      if (((Table[prefix] >> 12) & 15) != kSub) {
        Table[prefix] = Entry(kSub, nextSub, uint32_t(subBits)) | uint32_t(TableBits);
        std::fill(Table + nextSub, Table + nextSub + subSize, BadEntry);
        nextSub += subSize;
      }
      uint32_t* sub = Table + (Table[prefix] >> 16);
      const uint32_t v = ((e >> 12) & 15) == kBad ? BadEntry : e | uint32_t(len - TableBits);
      for (uint32_t i = rev >> TableBits; i < subSize; i += 1u << (len - TableBits)) sub[i] = v;
    }
  }
  return true;
}

struct TFixedTables {
  uint32_t Lit[LitTableSize];
  uint32_t Dist[DistTableSize];
  TFixedTables() {
    uint8_t lens[288];
    std::fill(lens, lens + 144, 8);
    std::fill(lens + 144, lens + 256, 9);
    std::fill(lens + 256, lens + 280, 7);
    std::fill(lens + 280, lens + 288, 8);
    BuildTable(lens, 288, SymbolMaps.Lit, LitTableBits, Lit);
    std::fill(lens, lens + 32, 5);
    BuildTable(lens, 32, SymbolMaps.Dist, DistTableBits, Dist);
  }
};

const TFixedTables& FixedTables() {
  static const TFixedTables t;
  return t;
}

enum class TStatus { Ok, Full, Fail };

struct TInflater {
  const uint8_t* In;
  const uint8_t* InEnd;
  uint64_t Buf = 0;
  uint32_t Count = 0;  // valid bits in Buf
  uint32_t Pad = 0;    // zero bytes added past the end of the input
  uint8_t* OutStart;
  uint8_t* Out;
  uint8_t* OutEnd;
  uint32_t Lit[LitTableSize];
  uint32_t Dist[DistTableSize];
  uint32_t CL[1u << CLTableBits];

  // Leaves at least 56 bits in Buf; bytes past the input read as zeros and are counted so
  // that their use is detected.
  inline void Refill() {
    if (InEnd - In >= 8) {
      Buf |= Load64LE(In) << Count;
      In += (63 - Count) >> 3;
      Count |= 56;
    } else {
      while (Count < 56) {
        if (In < InEnd)
          Buf |= uint64_t(*In++) << Count;
        else
          ++Pad;
        Count += 8;
      }
    }
  }
  // True when some of the consumed bits were padding.
  inline bool Overrun() const { return Pad * 8 > Count; }
  inline uint32_t Bits(uint32_t n) {
    const uint32_t v = uint32_t(Buf & ((uint64_t(1) << n) - 1));
    Buf >>= n;
    Count -= n;
    return v;
  }
  static inline uint32_t Lookup(const uint32_t* Table, int TableBits, uint64_t& Buf,
                                uint32_t& Count) {
    uint32_t e = Table[Buf & ((1u << TableBits) - 1)];
    if (((e >> 12) & 15) == kSub) {
      Buf >>= TableBits;
      Count -= TableBits;
      e = Table[(e >> 16) + (Buf & ((1u << ((e >> 8) & 15)) - 1))];
    }
    const uint32_t n = e & 0xFF;
    Buf >>= n;
    Count -= n;
    return e;
  }

  TStatus Stored();
  TStatus DynamicTables();
  TStatus Codes(const uint32_t* LitT, const uint32_t* DistT);
  TStatus Run();
};

TStatus TInflater::Stored() {
  Bits(Count & 7);
  Refill();
  const uint32_t len = Bits(16);
  const uint32_t nlen = Bits(16);
  if (Overrun() || (len ^ 0xFFFF) != nlen) return TStatus::Fail;
  uint32_t left = len;
  // Whole bytes still held in the bit buffer come first.
  while (left && Count >= 8) {
    if (Out == OutEnd) return Overrun() ? TStatus::Fail : TStatus::Full;
    *Out++ = uint8_t(Bits(8));
    --left;
  }
  if (Overrun()) return TStatus::Fail;
  if (!left) return TStatus::Ok;
  // The buffer is drained: continue straight from the input.
  Buf = 0;
  Count = 0;
  if (size_t(InEnd - In) < left) return TStatus::Fail;
  const size_t room = size_t(OutEnd - Out);
  const size_t n = std::min<size_t>(room, left);
  std::memcpy(Out, In, n);
  Out += n;
  In += n;
  return n < left ? TStatus::Full : TStatus::Ok;
}

TStatus TInflater::DynamicTables() {
  static constexpr uint8_t Order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  Refill();
  const uint32_t hlit = Bits(5) + 257, hdist = Bits(5) + 1, hclen = Bits(4) + 4;
  if (hlit > 286 || hdist > 30) return TStatus::Fail;
  uint8_t cl[19] = {};
  for (uint32_t i = 0; i < hclen; ++i) {
    if (Count < 3) Refill();
    cl[Order[i]] = uint8_t(Bits(3));
  }
  if (!BuildTable(cl, 19, SymbolMaps.CL, CLTableBits, CL)) return TStatus::Fail;
  uint8_t lens[286 + 30] = {};
  const uint32_t total = hlit + hdist;
  uint32_t i = 0;
  while (i < total) {
    Refill();
    if (Overrun()) return TStatus::Fail;
    const uint32_t e = Lookup(CL, CLTableBits, Buf, Count);
    if (((e >> 12) & 15) != kLit) return TStatus::Fail;
    const uint32_t sym = e >> 16;
    if (sym < 16) {
      lens[i++] = uint8_t(sym);
      continue;
    }
    uint32_t rep;
    uint8_t val = 0;
    if (sym == 16) {
      if (i == 0) return TStatus::Fail;
      val = lens[i - 1];
      rep = 3 + Bits(2);
    } else if (sym == 17) {
      rep = 3 + Bits(3);
    } else {
      rep = 11 + Bits(7);
    }
    if (i + rep > total) return TStatus::Fail;
    std::memset(lens + i, val, rep);
    i += rep;
  }
  if (Overrun() || lens[256] == 0) return TStatus::Fail;
  if (!BuildTable(lens, int(hlit), SymbolMaps.Lit, LitTableBits, Lit)) return TStatus::Fail;
  if (!BuildTable(lens + hlit, int(hdist), SymbolMaps.Dist, DistTableBits, Dist))
    return TStatus::Fail;
  return TStatus::Ok;
}

TStatus TInflater::Codes(const uint32_t* LitT, const uint32_t* DistT) {
  uint64_t buf = Buf;
  uint32_t count = Count;
  uint8_t* out = Out;
  TStatus status = TStatus::Fail;
  for (;;) {
    // Refill (inlined on the locals).
    if (InEnd - In >= 8) {
      buf |= Load64LE(In) << count;
      In += (63 - count) >> 3;
      count |= 56;
    } else {
      while (count < 56) {
        if (In < InEnd)
          buf |= uint64_t(*In++) << count;
        else
          ++Pad;
        count += 8;
      }
      if (Pad * 8 > count) break;
    }
    uint32_t e = Lookup(LitT, LitTableBits, buf, count);
    uint32_t kind = e >> 12 & 15;
    if (kind == kLit) {
      if (out == OutEnd) {
        status = TStatus::Full;
        break;
      }
      *out++ = uint8_t(e >> 16);
      // A second literal often fits in what is left of the buffer.
      if (count >= 15) {
        e = Lookup(LitT, LitTableBits, buf, count);
        kind = e >> 12 & 15;
        if (kind == kLit) {
          if (out == OutEnd) {
            status = TStatus::Full;
            break;
          }
          *out++ = uint8_t(e >> 16);
          continue;
        }
        if (kind != kLen) {
          if (kind == kEnd) status = TStatus::Ok;
          break;
        }
        // A length: the distance may need more bits than are left.
        const uint32_t extra = e >> 8 & 15;
        if (count < extra + 15 + 13) {
          // Top up so that the extra bits and the whole distance fit.
          while (count < 56) {
            if (InEnd - In >= 8) {
              buf |= Load64LE(In) << count;
              In += (63 - count) >> 3;
              count |= 56;
            } else if (In < InEnd) {
              buf |= uint64_t(*In++) << count;
              count += 8;
            } else {
              ++Pad;
              count += 8;
            }
          }
          if (Pad * 8 > count) break;
        }
        goto length;
      }
      continue;
    }
    if (kind != kLen) {
      if (kind == kEnd) status = TStatus::Ok;
      break;
    }
  length : {
    const uint32_t extra = e >> 8 & 15;
    uint32_t len = (e >> 16) + uint32_t(buf & ((uint64_t(1) << extra) - 1));
    buf >>= extra;
    count -= extra;
    const uint32_t d = Lookup(DistT, DistTableBits, buf, count);
    if ((d >> 12 & 15) != kLen) break;
    const uint32_t dextra = d >> 8 & 15;
    const uint32_t dist = (d >> 16) + uint32_t(buf & ((uint64_t(1) << dextra) - 1));
    buf >>= dextra;
    count -= dextra;
    if (Pad * 8 > count) break;
    if (dist > size_t(out - OutStart)) break;
    bool full = false;
    if (len > size_t(OutEnd - out)) {
      len = uint32_t(OutEnd - out);
      full = true;
    }
    const uint8_t* src = out - dist;
    if (dist >= 8) {
      // Eight bytes at a time; the block has slack for the overshoot.
      uint8_t* end = out + len;
      do {
        std::memcpy(out, src, 8);
        out += 8;
        src += 8;
      } while (out < end);
      out = end;
    } else if (dist == 1) {
      std::memset(out, *src, len);
      out += len;
    } else {
      for (uint32_t i = 0; i < len; ++i) out[i] = src[i];
      out += len;
    }
    if (full) {
      status = TStatus::Full;
      break;
    }
  }
  }
  Buf = buf;
  Count = count;
  Out = out;
  if (status != TStatus::Fail && Overrun()) status = TStatus::Fail;
  return status;
}

TStatus TInflater::Run() {
  bool final;
  do {
    Refill();
    final = Bits(1) != 0;
    const uint32_t type = Bits(2);
    if (Overrun()) return TStatus::Fail;
    TStatus s;
    if (type == 0) {
      s = Stored();
    } else if (type == 1) {
      s = Codes(FixedTables().Lit, FixedTables().Dist);
    } else if (type == 2) {
      s = DynamicTables();
      if (s == TStatus::Ok) s = Codes(Lit, Dist);
    } else {
      return TStatus::Fail;
    }
    if (s != TStatus::Ok) return s;
  } while (!final);
  return TStatus::Ok;
}

struct TFree {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using TMallocPtr = std::unique_ptr<T, TFree>;

}  // namespace

namespace {

constexpr size_t Slack = 16;  // writable bytes past the output for the eight-byte match copy

// Deflate never makes more than 1032 bytes of one input byte: a short stream cannot fill a
// large block, whatever the header of the file claims.
size_t InflateBound(size_t InLen) {
  return InLen > (SIZE_MAX - 4096) / 1032 ? SIZE_MAX : InLen * 1032 + 4096;
}

// Inflates into Dest, which holds Capacity bytes plus Slack. Ok: the stream ended (and its
// checksum matched); Full: it wanted to write more than Capacity.
TStatus InflateInto(const uint8_t* In, size_t InLen, bool ParseHeader, uint8_t* Dest, size_t Capacity,
                    size_t& Produced) {
  if (!In && InLen) return TStatus::Fail;
  size_t start = 0, end = InLen;
  if (ParseHeader) {
    if (InLen < 6) return TStatus::Fail;
    const uint32_t cmf = In[0], flg = In[1];
    if ((cmf * 256 + flg) % 31 != 0 || (cmf & 15) != 8 || (cmf >> 4) >= 8 || (flg & 32)) return TStatus::Fail;
    start = 2;
    end = InLen - 4;
  }
  auto st = std::unique_ptr<TInflater>(new (std::nothrow) TInflater);
  if (!st) return TStatus::Fail;
  st->In = In + start;
  st->InEnd = In + end;
  st->OutStart = st->Out = Dest;
  st->OutEnd = Dest + Capacity;
  const TStatus s = st->Run();
  Produced = size_t(st->Out - Dest);
  if (s == TStatus::Ok && ParseHeader && adler32(1, Dest, Produced) != GetU32(In + InLen - 4)) return TStatus::Fail;
  return s;
}

}  // namespace

bool DoInflate(const void* InData, size_t InLen, uint8_t*& DestData, size_t& DestLen,
               bool ParseHeader, size_t MaxLen) {
  const size_t capacity = std::min(MaxLen, InflateBound(InLen));
  TMallocPtr<uint8_t> out(static_cast<uint8_t*>(std::malloc(capacity + Slack)));
  if (!out) return false;
  size_t produced = 0;
  const TStatus s = InflateInto(static_cast<const uint8_t*>(InData), InLen, ParseHeader, out.get(), capacity, produced);
  // Full below MaxLen cannot happen for valid data.
  if (s == TStatus::Fail || (s == TStatus::Full && capacity < MaxLen)) return false;
  DestData = out.release();
  DestLen = produced;
  return true;
}

}  // namespace ZefuPNG

// -----------------------------------------------------------------------------------------
// PNG

namespace {

using ZefuPNG::CRC32;
using ZefuPNG::GetU16;
using ZefuPNG::GetU32;

constexpr uint32_t ChunkIHDR = 0x49484452, ChunkPLTE = 0x504C5445, ChunkTRNS = 0x74524E53,
                   ChunkIDAT = 0x49444154, ChunkIEND = 0x49454E44, ChunkCgBI = 0x43674249;
constexpr uint8_t Signature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
// Largest decoded image handed out: 2^28 pixels (1 GiB).
constexpr uint64_t MaxImageBytes = uint64_t(1) << 30;

struct TFree {
  void operator()(void* p) const { std::free(p); }
};

struct TPass {
  uint32_t StartX, StartY, StepX, StepY;
};
constexpr TPass Adam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                            {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
constexpr TPass Progressive = {0, 0, 1, 1};

inline uint32_t PassSize(uint32_t Size, uint32_t Start, uint32_t Step) {
  return Size / Step + (Size % Step > Start ? 1 : 0);
}

inline uint8_t Paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return uint8_t(a);
  if (pb <= pc) return uint8_t(b);
  return uint8_t(c);
}

// Reverses one row's filter from Raw into Dst (which may be Raw itself), Prior being the
// previous row already reconstructed. Dst may also lie before Raw in the same block (each
// byte is read before anything at its place is written). The pixel size is a constant so
// that the loops unroll.
template <size_t Bpp>
void UnfilterRow(uint8_t Filter, const uint8_t* Raw, const uint8_t* Prior, uint8_t* Dst, size_t Len) {
  const size_t head = std::min(Bpp, Len);
  switch (Filter) {
    case 1:  // Sub
      for (size_t i = 0; i < head; ++i) Dst[i] = Raw[i];
      for (size_t i = Bpp; i < Len; ++i) Dst[i] = uint8_t(Raw[i] + Dst[i - Bpp]);
      break;
    case 2:  // Up
      for (size_t i = 0; i < Len; ++i) Dst[i] = uint8_t(Raw[i] + Prior[i]);
      break;
    case 3:  // Average
      for (size_t i = 0; i < head; ++i) Dst[i] = uint8_t(Raw[i] + (Prior[i] >> 1));
      for (size_t i = Bpp; i < Len; ++i) Dst[i] = uint8_t(Raw[i] + ((Dst[i - Bpp] + Prior[i]) >> 1));
      break;
    case 4:  // Paeth
      for (size_t i = 0; i < head; ++i) Dst[i] = uint8_t(Raw[i] + Prior[i]);
      for (size_t i = Bpp; i < Len; ++i) Dst[i] = uint8_t(Raw[i] + Paeth(Dst[i - Bpp], Prior[i], Prior[i - Bpp]));
      break;
    default:  // 0 and unknown values: as stored
      if (Dst != Raw) std::memmove(Dst, Raw, Len);
      break;
  }
}

#if defined(__SSE2__)
// Sub, Average and Paeth of 3- and 4-byte pixels, one pixel per step in 16-bit lanes (the
// scalar loops cannot overlap pixels that depend on each other). Reads may run one byte past
// a 3-byte row; every row is followed by at least that much readable memory.
template <size_t Bpp>
bool UnfilterSSE2(uint8_t Filter, const uint8_t* Raw, const uint8_t* Prior, uint8_t* Dst, size_t Len) {
  if (Filter != 1 && Filter != 3 && Filter != 4) return false;
  const __m128i zero = _mm_setzero_si128();
  auto load = [](const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(int(v));
  };
  auto store = [](uint8_t* p, __m128i v) {
    const uint32_t w = uint32_t(_mm_cvtsi128_si32(v));
    std::memcpy(p, &w, Bpp);
  };
  __m128i a = zero, c = zero;  // left pixel of this row and of the prior row (16-bit lanes)
  for (size_t i = 0; i < Len; i += Bpp) {
    const __m128i x = load(Raw + i);
    __m128i pred;
    if (Filter == 1) {
      pred = a;
    } else {
      const __m128i b = _mm_unpacklo_epi8(load(Prior + i), zero);
      if (Filter == 3) {
        pred = _mm_srli_epi16(_mm_add_epi16(a, b), 1);
      } else {
        const __m128i bc = _mm_sub_epi16(b, c), ac = _mm_sub_epi16(a, c);
        const __m128i abc = _mm_add_epi16(bc, ac);
        const __m128i pa = _mm_max_epi16(bc, _mm_sub_epi16(zero, bc));
        const __m128i pb = _mm_max_epi16(ac, _mm_sub_epi16(zero, ac));
        const __m128i pc = _mm_max_epi16(abc, _mm_sub_epi16(zero, abc));
        const __m128i smallest = _mm_min_epi16(_mm_min_epi16(pa, pb), pc);
        const __m128i useB = _mm_cmpeq_epi16(pb, smallest), useA = _mm_cmpeq_epi16(pa, smallest);
        pred = _mm_or_si128(_mm_and_si128(useB, b), _mm_andnot_si128(useB, c));
        pred = _mm_or_si128(_mm_and_si128(useA, a), _mm_andnot_si128(useA, pred));
      }
      c = b;
    }
    const __m128i out = _mm_add_epi8(x, _mm_packus_epi16(pred, zero));
    store(Dst + i, out);
    a = _mm_unpacklo_epi8(out, zero);
  }
  return true;
}
#endif

void Unfilter(uint8_t Filter, const uint8_t* Raw, const uint8_t* Prior, uint8_t* Dst, size_t Len, size_t Bpp) {
  switch (Bpp) {
    case 1: UnfilterRow<1>(Filter, Raw, Prior, Dst, Len); break;
    case 2: UnfilterRow<2>(Filter, Raw, Prior, Dst, Len); break;
    case 3:
#if defined(__SSE2__)
      if (UnfilterSSE2<3>(Filter, Raw, Prior, Dst, Len)) break;
#endif
      UnfilterRow<3>(Filter, Raw, Prior, Dst, Len);
      break;
    case 4:
#if defined(__SSE2__)
      if (UnfilterSSE2<4>(Filter, Raw, Prior, Dst, Len)) break;
#endif
      UnfilterRow<4>(Filter, Raw, Prior, Dst, Len);
      break;
    case 6: UnfilterRow<6>(Filter, Raw, Prior, Dst, Len); break;
    default: UnfilterRow<8>(Filter, Raw, Prior, Dst, Len); break;
  }
}

struct TPNGState {
  uint32_t Width = 0, Height = 0;
  uint8_t BitDepth = 0, ColorType = 0, Interlace = 0;
  bool CgBI = false;
  std::vector<std::array<uint8_t, 4>> Palette;
  bool HasPalette = false;
  bool HasTRNS = false;
  // Transparent colour as raw samples of the image's bit depth; -1 never matches.
  int TransCount = 0;
  int32_t TransRaw[3] = {-1, -1, -1};
};

int Samples(uint8_t ColorType) {
  switch (ColorType) {
    case 0: return 1;
    case 2: return 3;
    case 3: return 1;
    case 4: return 2;
    default: return 4;
  }
}

// Turns a stored 16-bit transparent value into the raw sample it matches, widened the way
// samples of this depth are widened.
int32_t TransToRaw(uint32_t Wide16, uint8_t BitDepth) {
  uint32_t factor;
  switch (BitDepth) {
    case 1: factor = 65535; break;
    case 2: factor = 0x5555; break;
    case 4: factor = 0x1111; break;
    case 8: factor = 257; break;
    default: factor = 1; break;
  }
  return Wide16 % factor == 0 ? int32_t(Wide16 / factor) : -1;
}

// Converts one reconstructed scanline of Cols pixels to R, G, B, A bytes.
void ConvertRow(const TPNGState& S, const uint32_t* PaletteRGBA, const uint8_t* Src,
                uint8_t* Dst, uint32_t Cols) {
  const uint8_t depth = S.BitDepth;
  switch (S.ColorType) {
    case 0:
      if (depth < 8) {
        const uint32_t mask = (1u << depth) - 1;
        const uint32_t scale = depth == 1 ? 255 : depth == 2 ? 0x55 : 0x11;
        const int32_t t = S.TransCount ? S.TransRaw[0] : -1;
        const uint32_t perByte = 8 / depth;
        for (uint32_t i = 0; i < Cols; ++i) {
          const uint32_t v = (Src[i / perByte] >> (8 - depth - (i % perByte) * depth)) & mask;
          const uint8_t g = uint8_t(v * scale);
          Dst[0] = Dst[1] = Dst[2] = g;
          Dst[3] = int32_t(v) == t ? 0 : 255;
          Dst += 4;
        }
      } else if (depth == 8) {
        const int32_t t = S.TransCount ? S.TransRaw[0] : -1;
        for (uint32_t i = 0; i < Cols; ++i) {
          const uint8_t g = Src[i];
          Dst[0] = Dst[1] = Dst[2] = g;
          Dst[3] = g == t ? 0 : 255;
          Dst += 4;
        }
      } else {
        const int32_t t = S.TransCount ? S.TransRaw[0] : -1;
        for (uint32_t i = 0; i < Cols; ++i) {
          const uint32_t v = GetU16(Src + 2 * i);
          Dst[0] = Dst[1] = Dst[2] = uint8_t(v >> 8);
          Dst[3] = int32_t(v) == t ? 0 : 255;
          Dst += 4;
        }
      }
      break;
    case 2:
      if (depth == 8) {
        if (S.TransCount) {
          for (uint32_t i = 0; i < Cols; ++i, Src += 3, Dst += 4) {
            Dst[0] = Src[0];
            Dst[1] = Src[1];
            Dst[2] = Src[2];
            Dst[3] = (Src[0] == S.TransRaw[0] && Src[1] == S.TransRaw[1] && Src[2] == S.TransRaw[2])
                         ? 0
                         : 255;
          }
        } else {
          for (uint32_t i = 0; i < Cols; ++i, Src += 3, Dst += 4) {
            Dst[0] = Src[0];
            Dst[1] = Src[1];
            Dst[2] = Src[2];
            Dst[3] = 255;
          }
        }
      } else {
        for (uint32_t i = 0; i < Cols; ++i, Src += 6, Dst += 4) {
          const int32_t r = int32_t(GetU16(Src)), g = int32_t(GetU16(Src + 2)),
                        b = int32_t(GetU16(Src + 4));
          Dst[0] = uint8_t(r >> 8);
          Dst[1] = uint8_t(g >> 8);
          Dst[2] = uint8_t(b >> 8);
          Dst[3] = (S.TransCount && r == S.TransRaw[0] && g == S.TransRaw[1] && b == S.TransRaw[2])
                       ? 0
                       : 255;
        }
      }
      break;
    case 3:
      if (depth == 8) {
        for (uint32_t i = 0; i < Cols; ++i) std::memcpy(Dst + 4 * i, &PaletteRGBA[Src[i]], 4);
      } else {
        const uint32_t mask = (1u << depth) - 1;
        const uint32_t perByte = 8 / depth;
        for (uint32_t i = 0; i < Cols; ++i) {
          const uint32_t v = (Src[i / perByte] >> (8 - depth - (i % perByte) * depth)) & mask;
          std::memcpy(Dst + 4 * i, &PaletteRGBA[v], 4);
        }
      }
      break;
    case 4:
      if (depth == 8) {
        for (uint32_t i = 0; i < Cols; ++i, Src += 2, Dst += 4) {
          Dst[0] = Dst[1] = Dst[2] = Src[0];
          Dst[3] = Src[1];
        }
      } else {
        for (uint32_t i = 0; i < Cols; ++i, Src += 4, Dst += 4) {
          Dst[0] = Dst[1] = Dst[2] = Src[0];
          Dst[3] = Src[2];
        }
      }
      break;
    default:
      if (depth == 8) {
        std::memcpy(Dst, Src, size_t(Cols) * 4);
      } else {
        for (uint32_t i = 0; i < Cols; ++i, Src += 8, Dst += 4) {
          Dst[0] = Src[0];
          Dst[1] = Src[2];
          Dst[2] = Src[4];
          Dst[3] = Src[6];
        }
      }
      break;
  }
}

// Undoes the CgBI byte order (B, G, R) and premultiplied alpha.
void CgBISwapBGR2RGBandUnpremultiply(uint8_t* P, size_t Pixels) {
  for (size_t i = 0; i < Pixels; ++i, P += 4) {
    const uint32_t a = P[3];
    const uint32_t r = P[0], g = P[1], b = P[2];
    if (a == 0 || a == 255) {
      P[0] = uint8_t(b);
      P[2] = uint8_t(r);
    } else {
      P[0] = uint8_t(std::min<uint32_t>(255, b * 255 / a));
      P[1] = uint8_t(std::min<uint32_t>(255, g * 255 / a));
      P[2] = uint8_t(std::min<uint32_t>(255, r * 255 / a));
    }
  }
}

bool DecodeImage(const TPNGState& S, const uint8_t* IDAT, size_t IDATLen, void*& ImageData) {
  const uint32_t channels = uint32_t(Samples(S.ColorType));
  const uint32_t bitsPerPixel = channels * S.BitDepth;
  const size_t bpp = std::max<uint32_t>(1, bitsPerPixel / 8);
  const TPass* passes = S.Interlace ? Adam7 : &Progressive;
  const int passCount = S.Interlace ? 7 : 1;
  auto lineBytes = [&](uint32_t cols) { return (uint64_t(cols) * bitsPerPixel + 7) / 8; };

  uint64_t needed = 0, widest = 0;
  for (int p = 0; p < passCount; ++p) {
    const uint32_t cols = PassSize(S.Width, passes[p].StartX, passes[p].StepX);
    const uint32_t rows = PassSize(S.Height, passes[p].StartY, passes[p].StepY);
    if (!cols || !rows) continue;
    needed += rows * (1 + lineBytes(cols));
    widest = std::max(widest, lineBytes(cols));
  }
  const uint64_t imageBytes = uint64_t(S.Width) * S.Height * 4;
  if (imageBytes > MaxImageBytes) return false;
  // Too little compressed data for the scanlines: refused before anything is allocated.
  if (needed > ZefuPNG::InflateBound(IDATLen)) return false;

  const size_t pitch = size_t(S.Width) * 4;
  const bool direct = !S.Interlace && S.ColorType == 6 && S.BitDepth == 8;
  // Without interlacing the scanlines are inflated into the image block itself, behind the
  // place of the rows they become, so that each row is reconstructed and converted without
  // overwriting a scanline still to be read. RGBA8 rows only ever move towards the front.
  uint64_t base = 0, blockBytes;
  if (S.Interlace) {
    blockBytes = imageBytes;
  } else {
    const int64_t rowIn = int64_t(1 + lineBytes(S.Width)), rowOut = int64_t(pitch), h = S.Height;
    if (!direct) base = uint64_t(std::max<int64_t>({0, rowOut - 1, h * rowOut - (h - 1) * rowIn - 1}));
    blockBytes = std::max(base + needed, imageBytes);
  }
  if (blockBytes > SIZE_MAX - ZefuPNG::Slack) return false;
  std::unique_ptr<uint8_t, TFree> image(static_cast<uint8_t*>(std::malloc(size_t(blockBytes) + ZefuPNG::Slack)));
  if (!image) return false;
  uint8_t* const img = image.get();

  std::unique_ptr<uint8_t, TFree> separate;
  uint8_t* raw;
  if (S.Interlace) {
    separate.reset(static_cast<uint8_t*>(std::malloc(size_t(needed) + ZefuPNG::Slack)));
    if (!separate) return false;
    raw = separate.get();
  } else {
    raw = img + base;
  }
  size_t rawLen = 0;
  const ZefuPNG::TStatus status = ZefuPNG::InflateInto(IDAT, IDATLen, !S.CgBI, raw, size_t(needed), rawLen);
  // Full: more data than the scanlines need; the image is taken from the start.
  if (status == ZefuPNG::TStatus::Fail || rawLen < needed) return false;

  std::vector<uint8_t> zeros(size_t(widest) + bpp, 0), row;
  if (S.Interlace) row.resize(pitch);
  uint32_t paletteRGBA[256];
  if (S.ColorType == 3) {
    const uint8_t missing[4] = {0, 0, 0, 255};
    for (size_t i = 0; i < 256; ++i)
      std::memcpy(&paletteRGBA[i], i < S.Palette.size() ? S.Palette[i].data() : missing, 4);
  }

  uint8_t* src = raw;
  for (int p = 0; p < passCount; ++p) {
    const TPass& pass = passes[p];
    const uint32_t cols = PassSize(S.Width, pass.StartX, pass.StepX);
    const uint32_t rows = PassSize(S.Height, pass.StartY, pass.StepY);
    if (!cols || !rows) continue;
    const size_t len = size_t(lineBytes(cols));
    const uint8_t* prior = zeros.data();
    for (uint32_t r = 0; r < rows; ++r) {
      const uint8_t filter = src[0];
      uint8_t* line = src + 1;
      const uint32_t y = pass.StartY + r * pass.StepY;
      if (direct) {
        uint8_t* dst = img + y * pitch;
        Unfilter(filter, line, prior, dst, len, bpp);
        prior = dst;
      } else {
        Unfilter(filter, line, prior, line, len, bpp);
        prior = line;
        if (!S.Interlace) {
          ConvertRow(S, paletteRGBA, line, img + y * pitch, cols);
        } else {
          ConvertRow(S, paletteRGBA, line, row.data(), cols);
          uint8_t* dst = img + y * pitch + size_t(pass.StartX) * 4;
          const size_t step = size_t(pass.StepX) * 4;
          for (uint32_t i = 0; i < cols; ++i, dst += step) std::memcpy(dst, &row[size_t(i) * 4], 4);
        }
      }
      src += 1 + len;
    }
  }
  if (S.CgBI) CgBISwapBGR2RGBandUnpremultiply(img, size_t(S.Width) * S.Height);
  // Give back what the scanlines of 16-bit images needed beyond the image.
  if (blockBytes > imageBytes + imageBytes / 4)
    if (void* smaller = std::realloc(image.get(), size_t(imageBytes))) {
      image.release();
      image.reset(static_cast<uint8_t*>(smaller));
    }
  ImageData = image.release();
  return true;
}

bool ReadPNG(const void* DataPointer, uint32_t DataSize, void*& ImageData, int32_t& ImageWidth,
             int32_t& ImageHeight, bool HeaderOnly) {
  const uint8_t* data = static_cast<const uint8_t*>(DataPointer);
  if (!data || DataSize <= 8 || std::memcmp(data, Signature, 8) != 0) return false;
  TPNGState S;
  bool haveHeader = false, haveEnd = false, seenIDAT = false;
  // IDAT pieces are gathered at the end; a single chunk is inflated in place.
  std::vector<std::pair<const uint8_t*, uint32_t>> idat;
  uint64_t idatTotal = 0;
  uint64_t pos = 8;
  while (DataSize - pos >= 12) {
    const uint8_t* chunk = data + pos;
    const uint32_t len = GetU32(chunk);
    const uint32_t type = GetU32(chunk + 4);
    if (uint64_t(len) + 12 > DataSize - pos) return false;
    const uint8_t* body = chunk + 8;
    if (CRC32(chunk + 4, size_t(len) + 4) != GetU32(body + len)) return false;
    pos += uint64_t(len) + 12;
    switch (type) {
      case ChunkIHDR: {
        if (haveHeader || len != 13) return false;
        haveHeader = true;
        S.Width = GetU32(body);
        S.Height = GetU32(body + 4);
        if (S.Width < 1 || S.Width > 16777216 || S.Height < 1 || S.Height > 16777216) return false;
        if (HeaderOnly) {
          ImageWidth = int32_t(S.Width);
          ImageHeight = int32_t(S.Height);
          return true;
        }
        S.BitDepth = body[8];
        S.ColorType = body[9];
        const uint8_t d = S.BitDepth;
        bool ok;
        switch (S.ColorType) {
          case 0: ok = d == 1 || d == 2 || d == 4 || d == 8 || d == 16; break;
          case 2: case 4: case 6: ok = d == 8 || d == 16; break;
          case 3: ok = d == 1 || d == 2 || d == 4 || d == 8; break;
          default: ok = false; break;
        }
        if (!ok || body[10] != 0 || body[11] != 0 || body[12] > 1) return false;
        S.Interlace = body[12];
        const uint32_t samples = S.ColorType == 3 ? 4 : uint32_t(Samples(S.ColorType));
        if (S.Height > (1073741824u / S.Width) / samples) return false;
        break;
      }
      case ChunkCgBI:
        S.CgBI = true;
        break;
      case ChunkPLTE: {
        if (!haveHeader) return false;
        // A suggested palette of a colour image is allowed and unused.
        if (S.ColorType == 2 || S.ColorType == 6) break;
        if (S.ColorType != 3) return false;
        const uint32_t entry = S.HasTRNS ? 4 : 3;
        if (len % entry) return false;
        S.Palette.resize(len / entry);
        for (size_t i = 0; i < S.Palette.size(); ++i) {
          const uint8_t* e = body + i * entry;
          S.Palette[i] = {e[0], e[1], e[2], entry == 4 ? e[3] : uint8_t(255)};
        }
        S.HasPalette = true;
        break;
      }
      case ChunkTRNS: {
        if (!haveHeader || seenIDAT) return false;
        if (S.ColorType == 3) {
          if (!S.HasPalette || S.Palette.size() < len) return false;
          for (uint32_t i = 0; i < len; ++i) S.Palette[i][3] = body[i];
        } else {
          const uint32_t samples = uint32_t(Samples(S.ColorType));
          int32_t raw[4];
          if (len == samples) {
            // One byte per sample, widened by repeating the byte.
            for (uint32_t i = 0; i < samples; ++i) raw[i] = TransToRaw(body[i] * 257u, S.BitDepth);
          } else if (len == 2 * samples && (samples & 1)) {
            // The standard form: samples of the image's own bit depth.
            for (uint32_t i = 0; i < samples; ++i) {
              const uint32_t v = GetU16(body + 2 * i);
              // Bits above the depth are dropped, as the reference decoder does.
              raw[i] = int32_t(S.BitDepth == 16 ? v : v & ((1u << S.BitDepth) - 1));
            }
          } else {
            return false;
          }
          // Values stored for images with alpha have no effect.
          S.TransCount = (samples & 1) ? int(samples) : 0;
          for (int i = 0; i < S.TransCount; ++i) S.TransRaw[i] = raw[i];
        }
        S.HasTRNS = true;
        break;
      }
      case ChunkIDAT:
        if (!haveHeader || (S.ColorType == 3 && !S.HasPalette)) return false;
        seenIDAT = true;
        if (len) {
          idat.emplace_back(body, len);
          idatTotal += len;
        }
        break;
      case ChunkIEND:
        if (!haveHeader || (S.ColorType == 3 && !S.HasPalette)) return false;
        haveEnd = true;
        break;
      default:
        break;
    }
    if (haveEnd) break;
  }
  if (!haveEnd || !seenIDAT) return false;

  const uint8_t* stream;
  std::unique_ptr<uint8_t, TFree> gathered;
  if (idat.size() == 1) {
    stream = idat[0].first;
  } else {
    gathered.reset(static_cast<uint8_t*>(std::malloc(size_t(std::max<uint64_t>(idatTotal, 1)))));
    if (!gathered) return false;
    size_t at = 0;
    for (const auto& piece : idat) {
      std::memcpy(gathered.get() + at, piece.first, piece.second);
      at += piece.second;
    }
    stream = gathered.get();
  }
  void* pixels = nullptr;
  if (!DecodeImage(S, stream, size_t(idatTotal), pixels)) return false;
  ImageData = pixels;
  ImageWidth = int32_t(S.Width);
  ImageHeight = int32_t(S.Height);
  return true;
}

}  // namespace

bool LoadPNG(const void* DataPointer, uint32_t DataSize, void*& ImageData, int32_t& ImageWidth,
             int32_t& ImageHeight, bool HeaderOnly) {
  // The chunk bookkeeping lives in containers; running out of memory there is a failed decode.
  try {
    return ReadPNG(DataPointer, DataSize, ImageData, ImageWidth, ImageHeight, HeaderOnly);
  } catch (const std::bad_alloc&) {
    return false;
  }
}
