#include "core/ZefuDoubleToString.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Digits come from Grisu3 (shortest, counted) or a 64/128-bit fixed-notation generator first;
// whenever those cannot vouch for their answer, the exact big-integer method takes over.

namespace {

[[noreturn]] void InternalFailure(const char* What) {
  std::fprintf(stderr, "ERROR: ZefuDoubleToString: %s\n", What);
  std::abort();
}

inline void Check(bool Condition, const char* What) {
  if (!Condition) InternalFailure(What);
}

inline uint64_t Bits(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

inline double FromBits(uint64_t u) {
  double d;
  std::memcpy(&d, &u, sizeof d);
  return d;
}

constexpr uint64_t SignMask = 0x8000000000000000ULL;
constexpr uint64_t ExponentMask = 0x7FF0000000000000ULL;
constexpr uint64_t FractionMask = 0x000FFFFFFFFFFFFFULL;
constexpr uint64_t HiddenBit = 0x0010000000000000ULL;
constexpr int32_t DenormalExponent = -1074;

// Value = Significand * 2^Exponent.
inline void SplitDouble(double Value, uint64_t& Significand, int32_t& Exponent) {
  const uint64_t b = Bits(Value);
  const int32_t Biased = int32_t((b & ExponentMask) >> 52);
  if (Biased == 0) {
    Significand = b & FractionMask;
    Exponent = DenormalExponent;
  } else {
    Significand = (b & FractionMask) | HiddenBit;
    Exponent = Biased - 1075;
  }
}

// The lower neighbour is at half the usual distance (powers of two above the smallest normal).
inline bool LowerBoundaryIsCloser(double Value) {
  const uint64_t b = Bits(Value);
  return (b & FractionMask) == 0 && (b & ExponentMask) != 0x0010000000000000ULL;
}

// Grows a digit string by doubling; the first Len characters count.
inline void AppendDigit(std::string& Buffer, int32_t& Len, char c) {
  if (Len >= int32_t(Buffer.size())) Buffer.resize(Buffer.size() < 16 ? 16 : Buffer.size() * 2);
  Buffer[Len++] = c;
}

const char Base36[] = "0123456789abcdefghijklmnopqrstuvwxyz";

// ---------------------------------------------------------------- Grisu3

struct TDoubleValue {
  uint64_t SignificantMantissa;
  int32_t Exponent;
};

constexpr int32_t MinimalTargetExponent = -60;
constexpr int32_t MaximalTargetExponent = -32;
constexpr int32_t SignificantMantissaSize = 64;

struct TCachedPower {
  uint64_t Significand;
  int64_t BinaryExponent;
  int64_t DecimalExponent;
};

constexpr TCachedPower ZefuDoubleToStringPowerOfTenTable[87] = {
  {0xFA8FD5A0081C0288ULL, -1220, -348},
  {0xBAAEE17FA23EBF76ULL, -1193, -340},
  {0x8B16FB203055AC76ULL, -1166, -332},
  {0xCF42894A5DCE35EAULL, -1140, -324},
  {0x9A6BB0AA55653B2DULL, -1113, -316},
  {0xE61ACF033D1A45DFULL, -1087, -308},
  {0xAB70FE17C79AC6CAULL, -1060, -300},
  {0xFF77B1FCBEBCDC4FULL, -1034, -292},
  {0xBE5691EF416BD60CULL, -1007, -284},
  {0x8DD01FAD907FFC3CULL, -980, -276},
  {0xD3515C2831559A83ULL, -954, -268},
  {0x9D71AC8FADA6C9B5ULL, -927, -260},
  {0xEA9C227723EE8BCBULL, -901, -252},
  {0xAECC49914078536DULL, -874, -244},
  {0x823C12795DB6CE57ULL, -847, -236},
  {0xC21094364DFB5637ULL, -821, -228},
  {0x9096EA6F3848984FULL, -794, -220},
  {0xD77485CB25823AC7ULL, -768, -212},
  {0xA086CFCD97BF97F4ULL, -741, -204},
  {0xEF340A98172AACE5ULL, -715, -196},
  {0xB23867FB2A35B28EULL, -688, -188},
  {0x84C8D4DFD2C63F3BULL, -661, -180},
  {0xC5DD44271AD3CDBAULL, -635, -172},
  {0x936B9FCEBB25C996ULL, -608, -164},
  {0xDBAC6C247D62A584ULL, -582, -156},
  {0xA3AB66580D5FDAF6ULL, -555, -148},
  {0xF3E2F893DEC3F126ULL, -529, -140},
  {0xB5B5ADA8AAFF80B8ULL, -502, -132},
  {0x87625F056C7C4A8BULL, -475, -124},
  {0xC9BCFF6034C13053ULL, -449, -116},
  {0x964E858C91BA2655ULL, -422, -108},
  {0xDFF9772470297EBDULL, -396, -100},
  {0xA6DFBD9FB8E5B88FULL, -369, -92},
  {0xF8A95FCF88747D94ULL, -343, -84},
  {0xB94470938FA89BCFULL, -316, -76},
  {0x8A08F0F8BF0F156BULL, -289, -68},
  {0xCDB02555653131B6ULL, -263, -60},
  {0x993FE2C6D07B7FACULL, -236, -52},
  {0xE45C10C42A2B3B06ULL, -210, -44},
  {0xAA242499697392D3ULL, -183, -36},
  {0xFD87B5F28300CA0EULL, -157, -28},
  {0xBCE5086492111AEBULL, -130, -20},
  {0x8CBCCC096F5088CCULL, -103, -12},
  {0xD1B71758E219652CULL, -77, -4},
  {0x9C40000000000000ULL, -50, 4},
  {0xE8D4A51000000000ULL, -24, 12},
  {0xAD78EBC5AC620000ULL, 3, 20},
  {0x813F3978F8940984ULL, 30, 28},
  {0xC097CE7BC90715B3ULL, 56, 36},
  {0x8F7E32CE7BEA5C70ULL, 83, 44},
  {0xD5D238A4ABE98068ULL, 109, 52},
  {0x9F4F2726179A2245ULL, 136, 60},
  {0xED63A231D4C4FB27ULL, 162, 68},
  {0xB0DE65388CC8ADA8ULL, 189, 76},
  {0x83C7088E1AAB65DBULL, 216, 84},
  {0xC45D1DF942711D9AULL, 242, 92},
  {0x924D692CA61BE758ULL, 269, 100},
  {0xDA01EE641A708DEAULL, 295, 108},
  {0xA26DA3999AEF774AULL, 322, 116},
  {0xF209787BB47D6B85ULL, 348, 124},
  {0xB454E4A179DD1877ULL, 375, 132},
  {0x865B86925B9BC5C2ULL, 402, 140},
  {0xC83553C5C8965D3DULL, 428, 148},
  {0x952AB45CFA97A0B3ULL, 455, 156},
  {0xDE469FBD99A05FE3ULL, 481, 164},
  {0xA59BC234DB398C25ULL, 508, 172},
  {0xF6C69A72A3989F5CULL, 534, 180},
  {0xB7DCBF5354E9BECEULL, 561, 188},
  {0x88FCF317F22241E2ULL, 588, 196},
  {0xCC20CE9BD35C78A5ULL, 614, 204},
  {0x98165AF37B2153DFULL, 641, 212},
  {0xE2A0B5DC971F303AULL, 667, 220},
  {0xA8D9D1535CE3B396ULL, 694, 228},
  {0xFB9B7CD9A4A7443CULL, 720, 236},
  {0xBB764C4CA7A44410ULL, 747, 244},
  {0x8BAB8EEFB6409C1AULL, 774, 252},
  {0xD01FEF10A657842CULL, 800, 260},
  {0x9B10A4E5E9913129ULL, 827, 268},
  {0xE7109BFBA19C0C9DULL, 853, 276},
  {0xAC2820D9623BF429ULL, 880, 284},
  {0x80444B5E7AA7CF85ULL, 907, 292},
  {0xBF21E44003ACDD2DULL, 933, 300},
  {0x8E679C2F5E44FF8FULL, 960, 308},
  {0xD433179D9C8CB841ULL, 986, 316},
  {0x9E19DB92B4E31BA9ULL, 1013, 324},
  {0xEB96BF6EBADF77D9ULL, 1039, 332},
  {0xAF87023B9BF0EE6BULL, 1066, 340},
};

constexpr int32_t CachedPowersMinExponent = -1220;
constexpr int32_t CachedPowersMaxExponent = 1092;

struct TPowerIndex {
  uint8_t Index[CachedPowersMaxExponent - CachedPowersMinExponent + 1];
  constexpr TPowerIndex() : Index() {
    int32_t Entry = 0;
    for (int32_t x = CachedPowersMinExponent; x <= CachedPowersMaxExponent; ++x) {
      while (Entry < 86 && ZefuDoubleToStringPowerOfTenTable[Entry].BinaryExponent < x) ++Entry;
      Index[x - CachedPowersMinExponent] = uint8_t(Entry);
    }
  }
};
constexpr TPowerIndex ZefuDoubleToStringPowerOfTenBinaryExponentTable;

bool GetCachedPowerForBinaryExponentRange(int32_t Min, int32_t Max, TDoubleValue& Power,
                                          int32_t& DecimalExponent) {
  if (Min < CachedPowersMinExponent || Min > CachedPowersMaxExponent) return false;
  const TCachedPower& c = ZefuDoubleToStringPowerOfTenTable
      [ZefuDoubleToStringPowerOfTenBinaryExponentTable.Index[Min - CachedPowersMinExponent]];
  if (c.BinaryExponent < Min || c.BinaryExponent > Max) return false;
  Power.SignificantMantissa = c.Significand;
  Power.Exponent = int32_t(c.BinaryExponent);
  DecimalExponent = int32_t(c.DecimalExponent);
  return true;
}

// Shifts the (non-zero) significand left until bit 63 is set.
inline TDoubleValue DoubleValueNormalize(TDoubleValue v) {
  const int Shift = __builtin_clzll(v.SignificantMantissa);
  v.SignificantMantissa <<= Shift;
  v.Exponent -= Shift;
  return v;
}

inline TDoubleValue DoubleValueGet(double Value) {
  TDoubleValue v;
  SplitDouble(Value, v.SignificantMantissa, v.Exponent);
  const int Shift = __builtin_clzll(v.SignificantMantissa);
  v.SignificantMantissa <<= Shift;
  v.Exponent -= Shift;
  return v;
}

inline TDoubleValue DoubleValueMinus(TDoubleValue a, TDoubleValue b) {
  return {a.SignificantMantissa - b.SignificantMantissa, a.Exponent};
}

// Upper 64 bits of the 128-bit product, rounded.
inline TDoubleValue DoubleValueMul(TDoubleValue x, TDoubleValue y) {
  const uint64_t a = x.SignificantMantissa >> 32, b = x.SignificantMantissa & 0xFFFFFFFFu;
  const uint64_t c = y.SignificantMantissa >> 32, d = y.SignificantMantissa & 0xFFFFFFFFu;
  const uint64_t ac = a * c, bc = b * c, ad = a * d, bd = b * d;
  const uint64_t tmp = (bd >> 32) + (ad & 0xFFFFFFFFu) + (bc & 0xFFFFFFFFu) + (uint64_t(1) << 31);
  return {ac + (ad >> 32) + (bc >> 32) + (tmp >> 32), x.Exponent + y.Exponent + 64};
}

inline void NormalizedBoundaries(double Value, TDoubleValue& Minus, TDoubleValue& Plus) {
  uint64_t f;
  int32_t e;
  SplitDouble(Value, f, e);
  Plus = DoubleValueNormalize({(f << 1) + 1, e - 1});
  if (LowerBoundaryIsCloser(Value))
    Minus = {(f << 2) - 1, e - 2};
  else
    Minus = {(f << 1) - 1, e - 1};
  Minus.SignificantMantissa <<= Minus.Exponent - Plus.Exponent;
  Minus.Exponent = Plus.Exponent;
}

const uint32_t SmallPowersOfTen[] = {0,      1,       10,       100,       1000,      10000,
                                     100000, 1000000, 10000000, 100000000, 1000000000};

// Largest power of ten not above Number among those that fit NumberBits bits.
inline bool BiggestPowerTen(uint32_t Number, int32_t NumberBits, uint32_t& Power,
                            int32_t& ExponentPlusOne) {
  if (NumberBits > 32 || NumberBits < 0) return false;
  int32_t Guess = ((NumberBits + 1) * 1233 >> 12) + 1;
  if (Number < SmallPowersOfTen[Guess]) --Guess;
  Power = SmallPowersOfTen[Guess];
  ExponentPlusOne = Guess;
  return true;
}

// ceil(2^64 / 10^k): for 32-bit n, n / 10^k is the high half of n * this (k >= 1).
const uint64_t ReciprocalsOfTen[10] = {0,
                                       0x199999999999999AULL,
                                       0x028F5C28F5C28F5DULL,
                                       0x004189374BC6A7F0ULL,
                                       0x00068DB8BAC710CCULL,
                                       0x0000A7C5AC471B48ULL,
                                       0x000010C6F7A0B5EEULL,
                                       0x000001AD7F29ABCBULL,
                                       0x0000002AF31DC462ULL,
                                       0x000000044B82FA0AULL};

inline uint32_t DivideByPowerOfTen(uint32_t n, int32_t k) {
  if (k == 0) return n;
  return uint32_t((static_cast<unsigned __int128>(n) * ReciprocalsOfTen[k]) >> 64);
}

bool RoundWeed(char* Buffer, int32_t Len, uint64_t DistanceTooHighW, uint64_t UnsafeInterval,
               uint64_t Rest, uint64_t TenKappa, uint64_t Unit) {
  const uint64_t SmallDistance = DistanceTooHighW - Unit;
  const uint64_t BigDistance = DistanceTooHighW + Unit;
  while (Rest < SmallDistance && UnsafeInterval - Rest >= TenKappa &&
         (Rest + TenKappa < SmallDistance ||
          SmallDistance - Rest >= Rest + TenKappa - SmallDistance)) {
    --Buffer[Len - 1];
    Rest += TenKappa;
  }
  if (Rest < BigDistance && UnsafeInterval - Rest >= TenKappa &&
      (Rest + TenKappa < BigDistance || BigDistance - Rest > Rest + TenKappa - BigDistance))
    return false;
  return 2 * Unit <= Rest && Rest <= UnsafeInterval - 4 * Unit;
}

bool DigitGen(TDoubleValue Low, TDoubleValue W, TDoubleValue High, char* Buffer, int32_t& Len,
              int32_t& Kappa) {
  if (Low.Exponent != W.Exponent || W.Exponent != High.Exponent) return false;
  if (Low.SignificantMantissa + 1 > High.SignificantMantissa - 1) return false;
  if (W.Exponent < MinimalTargetExponent || W.Exponent > MaximalTargetExponent) return false;
  uint64_t Unit = 1;
  const TDoubleValue TooLow = {Low.SignificantMantissa - Unit, Low.Exponent};
  const TDoubleValue TooHigh = {High.SignificantMantissa + Unit, High.Exponent};
  uint64_t Unsafe = DoubleValueMinus(TooHigh, TooLow).SignificantMantissa;
  const int32_t Shift = -W.Exponent;
  const uint64_t One = uint64_t(1) << Shift;
  uint32_t Integrals = uint32_t(TooHigh.SignificantMantissa >> Shift);
  uint64_t Fractionals = TooHigh.SignificantMantissa & (One - 1);
  uint32_t Divisor;
  int32_t ExponentPlusOne;
  if (!BiggestPowerTen(Integrals, SignificantMantissaSize - Shift, Divisor, ExponentPlusOne))
    return false;
  Kappa = ExponentPlusOne;
  Len = 0;
  while (Kappa > 0) {
    const uint32_t Digit = DivideByPowerOfTen(Integrals, Kappa - 1);  // Integrals / Divisor
    Buffer[Len++] = char('0' + Digit);
    Integrals -= Digit * Divisor;
    --Kappa;
    const uint64_t Rest = (uint64_t(Integrals) << Shift) + Fractionals;
    if (Rest < Unsafe)
      return RoundWeed(Buffer, Len, DoubleValueMinus(TooHigh, W).SignificantMantissa, Unsafe, Rest,
                       uint64_t(Divisor) << Shift, Unit);
    Divisor /= 10;
  }
  if (Shift > -MinimalTargetExponent || Fractionals >= One || One > 0x1999999999999999ULL)
    return false;
  for (;;) {
    if (Len >= zefudtoa::FastShortestBufferSize) return false;
    Fractionals *= 10;
    Unit *= 10;
    Unsafe *= 10;
    Buffer[Len++] = char('0' + (Fractionals >> Shift));
    Fractionals &= One - 1;
    --Kappa;
    if (Fractionals < Unsafe)
      return RoundWeed(Buffer, Len, DoubleValueMinus(TooHigh, W).SignificantMantissa * Unit,
                       Unsafe, Fractionals, One, Unit);
  }
}

bool RoundWeedCounted(char* Buffer, int32_t Len, uint64_t Rest, uint64_t TenKappa, uint64_t Unit,
                      int32_t& Kappa) {
  if (Unit >= TenKappa || TenKappa - Unit <= Unit) return false;
  if (TenKappa - Rest > Rest && TenKappa - 2 * Rest >= 2 * Unit) return true;
  if (Rest > Unit && TenKappa - (Rest - Unit) <= Rest - Unit) {
    ++Buffer[Len - 1];
    for (int32_t i = Len - 1; i > 0; --i) {
      if (Buffer[i] != '0' + 10) break;
      Buffer[i] = '0';
      ++Buffer[i - 1];
    }
    if (Buffer[0] == '0' + 10) {
      Buffer[0] = '1';
      ++Kappa;
    }
    return true;
  }
  return false;
}

bool DigitGenCounted(TDoubleValue W, int32_t RequestedDigits, char* Buffer, int32_t& Len,
                     int32_t& Kappa) {
  if (W.Exponent < MinimalTargetExponent || W.Exponent > MaximalTargetExponent) return false;
  uint64_t Error = 1;
  const int32_t Shift = -W.Exponent;
  const uint64_t One = uint64_t(1) << Shift;
  uint32_t Integrals = uint32_t(W.SignificantMantissa >> Shift);
  uint64_t Fractionals = W.SignificantMantissa & (One - 1);
  uint32_t Divisor;
  int32_t ExponentPlusOne;
  if (!BiggestPowerTen(Integrals, SignificantMantissaSize - Shift, Divisor, ExponentPlusOne))
    return false;
  Kappa = ExponentPlusOne;
  Len = 0;
  while (Kappa > 0) {
    const uint32_t Digit = DivideByPowerOfTen(Integrals, Kappa - 1);  // Integrals / Divisor
    Buffer[Len++] = char('0' + Digit);
    --RequestedDigits;
    Integrals -= Digit * Divisor;
    --Kappa;
    if (RequestedDigits == 0) break;
    Divisor /= 10;
  }
  if (RequestedDigits == 0)
    return RoundWeedCounted(Buffer, Len, (uint64_t(Integrals) << Shift) + Fractionals,
                            uint64_t(Divisor) << Shift, Error, Kappa);
  if (Shift > -MinimalTargetExponent || Fractionals >= One || One > 0x1999999999999999ULL)
    return false;
  while (RequestedDigits > 0 && Fractionals > Error) {
    Fractionals *= 10;
    Error *= 10;
    Buffer[Len++] = char('0' + (Fractionals >> Shift));
    --RequestedDigits;
    Fractionals &= One - 1;
    --Kappa;
  }
  if (RequestedDigits != 0) return false;
  return RoundWeedCounted(Buffer, Len, Fractionals, One, Error, Kappa);
}

// ---------------------------------------------------------------- fast fixed notation

struct TInt128 {
  uint64_t High;
  uint64_t Low;
};

inline void Int128Mul(TInt128& a, uint32_t m) {
  uint64_t Accumulator = (a.Low & 0xFFFFFFFFu) * m;
  uint32_t Part = uint32_t(Accumulator);
  Accumulator >>= 32;
  Accumulator += (a.Low >> 32) * m;
  a.Low = (Accumulator << 32) + Part;
  Accumulator >>= 32;
  Accumulator += (a.High & 0xFFFFFFFFu) * m;
  Part = uint32_t(Accumulator);
  Accumulator >>= 32;
  Accumulator += (a.High >> 32) * m;
  a.High = (Accumulator << 32) + Part;
  Check((Accumulator >> 32) == 0, "128-bit product overflow");
}

inline void Int128Shift(TInt128& a, int32_t s) {
  Check(s >= -64 && s <= 64, "128-bit shift out of range");
  if (s == 0) return;
  if (s == -64) {
    a.High = a.Low;
    a.Low = 0;
  } else if (s == 64) {
    a.Low = a.High;
    a.High = 0;
  } else if (s <= 0) {
    a.High = (a.High << -s) + (a.Low >> (64 + s));
    a.Low <<= -s;
  } else {
    a.Low = (a.Low >> s) + (a.High << (64 - s));
    a.High >>= s;
  }
}

inline int32_t Int128DivModPowerOfTwo(TInt128& a, int32_t p) {
  if (p >= 64) {
    const int32_t Result = int32_t(a.High >> (p - 64));
    a.High -= uint64_t(Result) << (p - 64);
    return Result;
  }
  const uint64_t PartLow = a.Low >> p;
  const uint64_t PartHigh = a.High << (64 - p);
  const int32_t Result = int32_t(PartLow + PartHigh);
  a.High = 0;
  a.Low -= PartLow << p;
  return Result;
}

inline bool Int128IsZero(const TInt128& a) { return a.High == 0 && a.Low == 0; }

inline int32_t Int128BitAt(const TInt128& a, int32_t p) {
  if (p >= 64) return int32_t((a.High >> (p - 64)) & 1);
  return int32_t((a.Low >> p) & 1);
}

constexpr uint64_t Five17 = 0xB1A2BC2EC5ULL;

struct TFixedBuffer {
  char* Data;
  int32_t& Len;
  void Put(char c) {
    Check(Len < zefudtoa::FastFixedBufferSize, "fixed digit buffer full");
    Data[Len++] = c;
  }
};

void FillDigits32FixedLength(uint32_t n, int32_t Count, TFixedBuffer& b) {
  Check(b.Len + Count <= zefudtoa::FastFixedBufferSize, "fixed digit buffer full");
  for (int32_t i = Count - 1; i >= 0; --i) {
    b.Data[b.Len + i] = char('0' + n % 10);
    n /= 10;
  }
  b.Len += Count;
}

void FillDigits32(uint32_t n, TFixedBuffer& b) {
  char Tmp[10];
  int32_t Count = 0;
  while (n) {
    Tmp[Count++] = char('0' + n % 10);
    n /= 10;
  }
  while (Count) b.Put(Tmp[--Count]);
}

void FillDigits64FixedLength(uint64_t n, TFixedBuffer& b) {
  const uint32_t Ten7 = 10000000;
  const uint32_t Part2 = uint32_t(n % Ten7);
  n /= Ten7;
  const uint32_t Part1 = uint32_t(n % Ten7);
  const uint32_t Part0 = uint32_t(n / Ten7);
  FillDigits32FixedLength(Part0, 3, b);
  FillDigits32FixedLength(Part1, 7, b);
  FillDigits32FixedLength(Part2, 7, b);
}

void FillDigits64(uint64_t n, TFixedBuffer& b) {
  const uint32_t Ten7 = 10000000;
  const uint32_t Part2 = uint32_t(n % Ten7);
  n /= Ten7;
  const uint32_t Part1 = uint32_t(n % Ten7);
  const uint32_t Part0 = uint32_t(n / Ten7);
  if (Part0 != 0) {
    FillDigits32(Part0, b);
    FillDigits32FixedLength(Part1, 7, b);
    FillDigits32FixedLength(Part2, 7, b);
  } else if (Part1 != 0) {
    FillDigits32(Part1, b);
    FillDigits32FixedLength(Part2, 7, b);
  } else {
    FillDigits32(Part2, b);
  }
}

void RoundUp(TFixedBuffer& b, int32_t& DecimalPoint) {
  if (b.Len == 0) {
    b.Data[0] = '1';
    b.Len = 1;
    DecimalPoint = 1;
    return;
  }
  ++b.Data[b.Len - 1];
  for (int32_t i = b.Len - 1; i > 0; --i) {
    if (b.Data[i] != '0' + 10) return;
    b.Data[i] = '0';
    ++b.Data[i - 1];
  }
  if (b.Data[0] == '0' + 10) {
    b.Data[0] = '1';
    ++DecimalPoint;
  }
}

// Digits of Fractionals * 2^Exponent (-128 <= Exponent < 0), then rounding (halves up).
void FillFractionals(uint64_t Fractionals, int32_t Exponent, int32_t Count, TFixedBuffer& b,
                     int32_t& DecimalPoint) {
  if (-Exponent <= 64) {
    int32_t Point = -Exponent;
    for (int32_t i = 0; i < Count && Fractionals != 0; ++i) {
      // Times 5 with the point moved one place replaces times 10 without overflow.
      Fractionals *= 5;
      --Point;
      const uint64_t Digit = Fractionals >> Point;
      b.Put(char('0' + Digit));
      Fractionals -= Digit << Point;
    }
    if (Fractionals != 0 && ((Fractionals >> (Point - 1)) & 1)) RoundUp(b, DecimalPoint);
  } else {
    TInt128 f = {Fractionals, 0};
    Int128Shift(f, -Exponent - 64);
    int32_t Point = 128;
    for (int32_t i = 0; i < Count && !Int128IsZero(f); ++i) {
      Int128Mul(f, 5);
      --Point;
      b.Put(char('0' + Int128DivModPowerOfTwo(f, Point)));
    }
    if (!Int128IsZero(f) && Int128BitAt(f, Point - 1)) RoundUp(b, DecimalPoint);
  }
}

void TrimZeros(char* Buffer, int32_t& Len, int32_t& DecimalPoint) {
  while (Len > 0 && Buffer[Len - 1] == '0') --Len;
  int32_t FirstNonZero = 0;
  while (FirstNonZero < Len && Buffer[FirstNonZero] == '0') ++FirstNonZero;
  if (FirstNonZero) {
    std::memmove(Buffer, Buffer + FirstNonZero, size_t(Len - FirstNonZero));
    Len -= FirstNonZero;
    DecimalPoint -= FirstNonZero;
  }
}

// ---------------------------------------------------------------- big integers

constexpr int32_t BigNumCapacity = 128;
constexpr int32_t BigitSize = 28;
constexpr uint32_t BigitMask = 0x0FFFFFFF;
constexpr int32_t BigNumMaxSignificantMantissaBits = BigNumCapacity * BigitSize;
// Extreme doubles need about 1100 bits (numerator of 5e-324 times the base).
static_assert(BigNumMaxSignificantMantissaBits >= 2 * 1100);

using TBigNumChunk = uint32_t;
using TBigNumDoubleChunk = uint64_t;

struct TBigNum {
  TBigNumChunk Bigits[BigNumCapacity + 1];
  int32_t UsedDigits = 0;
  int32_t Exponent = 0;
};

// Hard limit: every place that grows a number checks it first.
inline void BigNumEnsureCapacity(int32_t Size) {
  if (Size > BigNumCapacity) InternalFailure("big integer capacity exceeded");
}

inline int32_t BigNumLength(const TBigNum& a) { return a.UsedDigits + a.Exponent; }

inline void BigNumClamp(TBigNum& a) {
  while (a.UsedDigits > 0 && a.Bigits[a.UsedDigits - 1] == 0) --a.UsedDigits;
  if (a.UsedDigits == 0) a.Exponent = 0;
}

inline void BigNumZero(TBigNum& a) {
  a.UsedDigits = 0;
  a.Exponent = 0;
}

inline void BigNumAssignUInt16(TBigNum& a, uint16_t v) {
  BigNumZero(a);
  if (v) {
    a.Bigits[0] = v;
    a.UsedDigits = 1;
  }
}

inline void BigNumAssignUInt64(TBigNum& a, uint64_t v) {
  BigNumZero(a);
  for (int32_t i = 0; i < 3; ++i) {
    a.Bigits[i] = TBigNumChunk(v & BigitMask);
    v >>= BigitSize;
  }
  a.UsedDigits = 3;
  BigNumClamp(a);
}

inline void BigNumAssignBigNum(TBigNum& a, const TBigNum& Other) {
  a.Exponent = Other.Exponent;
  a.UsedDigits = Other.UsedDigits;
  std::memcpy(a.Bigits, Other.Bigits, sizeof(TBigNumChunk) * size_t(Other.UsedDigits));
}

inline TBigNumChunk BigNumBigitAt(const TBigNum& a, int32_t i) {
  if (i >= BigNumLength(a) || i < a.Exponent) return 0;
  return a.Bigits[i - a.Exponent];
}

void BigNumBigitsShiftLeft(TBigNum& a, int32_t Shift) {
  if (Shift == 0) return;
  TBigNumChunk Carry = 0;
  for (int32_t i = 0; i < a.UsedDigits; ++i) {
    const TBigNumChunk NewCarry = a.Bigits[i] >> (BigitSize - Shift);
    a.Bigits[i] = ((a.Bigits[i] << Shift) + Carry) & BigitMask;
    Carry = NewCarry;
  }
  if (Carry) {
    BigNumEnsureCapacity(a.UsedDigits + 1);
    a.Bigits[a.UsedDigits++] = Carry;
  }
}

void BigNumShiftLeft(TBigNum& a, int32_t Shift) {
  if (a.UsedDigits == 0) return;
  a.Exponent += Shift / BigitSize;
  BigNumBigitsShiftLeft(a, Shift % BigitSize);
}

void BigNumMultiplyByUInt32(TBigNum& a, uint32_t Factor) {
  if (Factor == 1) return;
  if (Factor == 0) {
    BigNumZero(a);
    return;
  }
  if (a.UsedDigits == 0) return;
  TBigNumDoubleChunk Carry = 0;
  for (int32_t i = 0; i < a.UsedDigits; ++i) {
    const TBigNumDoubleChunk Product = TBigNumDoubleChunk(Factor) * a.Bigits[i] + Carry;
    a.Bigits[i] = TBigNumChunk(Product & BigitMask);
    Carry = Product >> BigitSize;
  }
  while (Carry) {
    BigNumEnsureCapacity(a.UsedDigits + 1);
    a.Bigits[a.UsedDigits++] = TBigNumChunk(Carry & BigitMask);
    Carry >>= BigitSize;
  }
}

void BigNumMultiplyByUInt64(TBigNum& a, uint64_t Factor) {
  if (Factor == 1) return;
  if (Factor == 0) {
    BigNumZero(a);
    return;
  }
  if (a.UsedDigits == 0) return;
  const uint64_t Low = Factor & 0xFFFFFFFFu, High = Factor >> 32;
  uint64_t Carry = 0;
  for (int32_t i = 0; i < a.UsedDigits; ++i) {
    const uint64_t ProductLow = Low * a.Bigits[i];
    const uint64_t ProductHigh = High * a.Bigits[i];
    const uint64_t Tmp = (Carry & BigitMask) + ProductLow;
    a.Bigits[i] = TBigNumChunk(Tmp & BigitMask);
    Carry = (Carry >> BigitSize) + (Tmp >> BigitSize) + (ProductHigh << (32 - BigitSize));
  }
  while (Carry) {
    BigNumEnsureCapacity(a.UsedDigits + 1);
    a.Bigits[a.UsedDigits++] = TBigNumChunk(Carry & BigitMask);
    Carry >>= BigitSize;
  }
}

void BigNumSquare(TBigNum& a) {
  const int32_t n = a.UsedDigits;
  const int32_t ProductLength = 2 * n;
  BigNumEnsureCapacity(ProductLength);
  Check(n < 256, "square operand too long");
  // The operand is copied above itself; columns are written from the bottom and never
  // overwrite a copied bigit that a later column still reads.
  const int32_t CopyOffset = n;
  for (int32_t i = 0; i < n; ++i) a.Bigits[CopyOffset + i] = a.Bigits[i];
  TBigNumDoubleChunk Accumulator = 0;
  for (int32_t i = 0; i < n; ++i) {
    for (int32_t i1 = i, i2 = 0; i1 >= 0; --i1, ++i2)
      Accumulator += TBigNumDoubleChunk(a.Bigits[CopyOffset + i1]) * a.Bigits[CopyOffset + i2];
    a.Bigits[i] = TBigNumChunk(Accumulator & BigitMask);
    Accumulator >>= BigitSize;
  }
  for (int32_t i = n; i < ProductLength; ++i) {
    for (int32_t i1 = n - 1, i2 = i - i1; i2 < n; --i1, ++i2)
      Accumulator += TBigNumDoubleChunk(a.Bigits[CopyOffset + i1]) * a.Bigits[CopyOffset + i2];
    a.Bigits[i] = TBigNumChunk(Accumulator & BigitMask);
    Accumulator >>= BigitSize;
  }
  Check(Accumulator == 0, "square carry left over");
  a.UsedDigits = ProductLength;
  a.Exponent *= 2;
  BigNumClamp(a);
}

void BigNumAssignPowerUInt16(TBigNum& a, uint16_t Base, int32_t PowerExponent) {
  Check(Base != 0 && PowerExponent >= 0, "bad power");
  if (PowerExponent == 0) {
    BigNumAssignUInt16(a, 1);
    return;
  }
  BigNumZero(a);
  int32_t Shifts = 0;
  while ((Base & 1) == 0) {
    Base >>= 1;
    ++Shifts;
  }
  int32_t BitSize = 0;
  for (uint32_t t = Base; t; t >>= 1) ++BitSize;
  BigNumEnsureCapacity(BitSize * PowerExponent / BigitSize + 2);
  int32_t Mask = 1;
  while (PowerExponent >= Mask) Mask <<= 1;
  Mask >>= 2;  // the bit below the highest set bit
  uint64_t Value = Base;
  bool Delayed = false;
  while (Mask != 0 && Value <= 0xFFFFFFFFu) {
    Value *= Value;
    if (PowerExponent & Mask) {
      const uint64_t BaseBitsMask = ~((uint64_t(1) << (64 - BitSize)) - 1);
      if ((Value & BaseBitsMask) == 0)
        Value *= Base;
      else
        Delayed = true;
    }
    Mask >>= 1;
  }
  BigNumAssignUInt64(a, Value);
  if (Delayed) BigNumMultiplyByUInt32(a, Base);
  while (Mask != 0) {
    BigNumSquare(a);
    if (PowerExponent & Mask) BigNumMultiplyByUInt32(a, Base);
    Mask >>= 1;
  }
  BigNumShiftLeft(a, Shifts * PowerExponent);
}

void BigNumAlign(TBigNum& a, const TBigNum& Other) {
  if (a.Exponent > Other.Exponent) {
    const int32_t ZeroBigits = a.Exponent - Other.Exponent;
    BigNumEnsureCapacity(a.UsedDigits + ZeroBigits);
    std::memmove(a.Bigits + ZeroBigits, a.Bigits, sizeof(TBigNumChunk) * size_t(a.UsedDigits));
    std::memset(a.Bigits, 0, sizeof(TBigNumChunk) * size_t(ZeroBigits));
    a.UsedDigits += ZeroBigits;
    a.Exponent -= ZeroBigits;
  }
}

void BigNumSubtractBigNum(TBigNum& a, const TBigNum& Other) {
  BigNumAlign(a, Other);
  const int32_t Offset = Other.Exponent - a.Exponent;
  TBigNumChunk Borrow = 0;
  int32_t i = 0;
  for (; i < Other.UsedDigits; ++i) {
    const TBigNumChunk Difference = a.Bigits[i + Offset] - Other.Bigits[i] - Borrow;
    a.Bigits[i + Offset] = Difference & BigitMask;
    Borrow = Difference >> 31;
  }
  while (Borrow) {
    Check(i + Offset < a.UsedDigits, "subtraction underflow");
    const TBigNumChunk Difference = a.Bigits[i + Offset] - Borrow;
    a.Bigits[i + Offset] = Difference & BigitMask;
    Borrow = Difference >> 31;
    ++i;
  }
  BigNumClamp(a);
}

void BignumSubtractTimes(TBigNum& a, const TBigNum& Other, uint32_t Factor) {
  if (Factor < 3) {
    for (uint32_t i = 0; i < Factor; ++i) BigNumSubtractBigNum(a, Other);
    return;
  }
  Check(a.Exponent <= Other.Exponent, "unaligned subtraction");
  const int32_t ExponentDiff = Other.Exponent - a.Exponent;
  TBigNumChunk Borrow = 0;
  for (int32_t i = 0; i < Other.UsedDigits; ++i) {
    const TBigNumDoubleChunk Product = TBigNumDoubleChunk(Factor) * Other.Bigits[i];
    const TBigNumDoubleChunk Remove = Borrow + Product;
    const TBigNumChunk Difference = a.Bigits[i + ExponentDiff] - TBigNumChunk(Remove & BigitMask);
    a.Bigits[i + ExponentDiff] = Difference & BigitMask;
    Borrow = TBigNumChunk((Difference >> 31) + (Remove >> BigitSize));
  }
  for (int32_t i = Other.UsedDigits + ExponentDiff; i < a.UsedDigits && Borrow; ++i) {
    const TBigNumChunk Difference = a.Bigits[i] - Borrow;
    a.Bigits[i] = Difference & BigitMask;
    Borrow = Difference >> 31;
  }
  BigNumClamp(a);
}

int BigNumCompare(const TBigNum& a, const TBigNum& b) {
  const int32_t LengthA = BigNumLength(a), LengthB = BigNumLength(b);
  if (LengthA < LengthB) return -1;
  if (LengthA > LengthB) return 1;
  const int32_t Lowest = a.Exponent < b.Exponent ? a.Exponent : b.Exponent;
  for (int32_t i = LengthA - 1; i >= Lowest; --i) {
    const TBigNumChunk BigitA = BigNumBigitAt(a, i), BigitB = BigNumBigitAt(b, i);
    if (BigitA < BigitB) return -1;
    if (BigitA > BigitB) return 1;
  }
  return 0;
}

// Sign of a + b - c.
int BigNumPlusCompare(const TBigNum& a0, const TBigNum& b0, const TBigNum& c) {
  const TBigNum* a = &a0;
  const TBigNum* b = &b0;
  if (BigNumLength(*a) < BigNumLength(*b)) {
    const TBigNum* t = a;
    a = b;
    b = t;
  }
  if (BigNumLength(*a) + 1 < BigNumLength(c)) return -1;
  if (BigNumLength(*a) > BigNumLength(c)) return 1;
  if (a->Exponent >= BigNumLength(*b) && BigNumLength(*a) < BigNumLength(c)) return -1;
  TBigNumChunk Borrow = 0;
  int32_t Lowest = a->Exponent < b->Exponent ? a->Exponent : b->Exponent;
  if (c.Exponent < Lowest) Lowest = c.Exponent;
  for (int32_t i = BigNumLength(c) - 1; i >= Lowest; --i) {
    const TBigNumChunk ChunkA = BigNumBigitAt(*a, i), ChunkB = BigNumBigitAt(*b, i);
    const TBigNumChunk ChunkC = BigNumBigitAt(c, i);
    const TBigNumChunk Sum = ChunkA + ChunkB;
    if (Sum > ChunkC + Borrow) return 1;
    Borrow = ChunkC + Borrow - Sum;
    if (Borrow > 1) return -1;
    Borrow <<= BigitSize;
  }
  return Borrow == 0 ? 0 : -1;
}

// Small quotient of a / Other; a becomes the remainder.
uint32_t BigNumDivideModuloIntBigNum(TBigNum& a, const TBigNum& Other) {
  Check(Other.UsedDigits > 0, "division by zero");
  if (BigNumLength(a) < BigNumLength(Other)) return 0;
  BigNumAlign(a, Other);
  uint32_t Result = 0;
  while (BigNumLength(a) > BigNumLength(Other)) {
    const TBigNumChunk Top = a.Bigits[a.UsedDigits - 1];
    Check(Top < 0x10000, "quotient too large");
    Result += Top;
    BignumSubtractTimes(a, Other, Top);
  }
  const TBigNumChunk ThisBigit = a.Bigits[a.UsedDigits - 1];
  const TBigNumChunk OtherBigit = Other.Bigits[Other.UsedDigits - 1];
  if (Other.UsedDigits == 1) {
    const TBigNumChunk Quotient = ThisBigit / OtherBigit;
    a.Bigits[a.UsedDigits - 1] = ThisBigit - OtherBigit * Quotient;
    Result += Quotient;
    BigNumClamp(a);
    return Result;
  }
  const TBigNumChunk Estimate = ThisBigit / (OtherBigit + 1);
  Result += Estimate;
  BignumSubtractTimes(a, Other, Estimate);
  if (uint64_t(OtherBigit) * (Estimate + 1) > ThisBigit) return Result;
  while (BigNumCompare(Other, a) <= 0) {
    BigNumSubtractBigNum(a, Other);
    ++Result;
  }
  return Result;
}

// ---------------------------------------------------------------- exact digit generation

const int64_t ZefuDoubleToStringEstimatePowerFactorTable[37] = {
    0,          0,          4294967296, 2709822658, 2147483648, 1849741732, 1661520155,
    1529898219, 1431655765, 1354911329, 1292913986, 1241523975, 1198050829, 1160664035,
    1128071163, 1099331346, 1073741824, 1050766077, 1029986701, 1011073584, 993761859,
    977836272,  963119891,  949465783,  936750801,  924870866,  913737342,  903274219,
    893415894,  884105413,  875293062,  866935226,  858993459,  851433729,  844225782,
    837342623,  830760078};

// Power of the base for the first digit: exact or one too low.
inline int32_t GetEstimatePowerOf(int32_t Exponent, int32_t Radix) {
  const int64_t x =
      int64_t(Exponent + 52) * ZefuDoubleToStringEstimatePowerFactorTable[Radix] - 4096;
  return int32_t(x >> 32) + 1;
}

inline void NormalizedExponent(uint64_t Significand, int32_t& Exponent) {
  while ((Significand & HiddenBit) == 0) {
    Significand <<= 1;
    --Exponent;
  }
}

// Numerator / Denominator is the value scaled by Base^-Estimate; the deltas are the distances
// to the rounding boundaries on the same scale (when wanted).
void InitialScaledStartValues(double Value, uint64_t f, int32_t e, int32_t Estimate, bool NeedDeltas,
                              uint16_t Base, TBigNum& Numerator, TBigNum& Denominator,
                              TBigNum& DeltaMinus, TBigNum& DeltaPlus) {
  BigNumZero(DeltaMinus);
  BigNumZero(DeltaPlus);
  const bool FractionZero = (Bits(Value) & FractionMask) == 0;
  if (e >= 0) {
    BigNumAssignUInt64(Numerator, f);
    BigNumShiftLeft(Numerator, e);
    BigNumAssignPowerUInt16(Denominator, Base, Estimate);
    if (NeedDeltas) {
      BigNumShiftLeft(Numerator, 1);
      BigNumShiftLeft(Denominator, 1);
      BigNumAssignUInt16(DeltaPlus, 1);
      BigNumShiftLeft(DeltaPlus, e);
      BigNumAssignUInt16(DeltaMinus, 1);
      BigNumShiftLeft(DeltaMinus, e);
      if (FractionZero) {
        BigNumShiftLeft(Denominator, 1);
        BigNumShiftLeft(Numerator, 1);
        BigNumShiftLeft(DeltaPlus, 1);
      }
    }
  } else if (Estimate >= 0) {
    BigNumAssignUInt64(Numerator, f);
    BigNumAssignPowerUInt16(Denominator, Base, Estimate);
    BigNumShiftLeft(Denominator, -e);
    if (NeedDeltas) {
      BigNumShiftLeft(Numerator, 1);
      BigNumShiftLeft(Denominator, 1);
      BigNumAssignUInt16(DeltaPlus, 1);
      BigNumAssignUInt16(DeltaMinus, 1);
      if (FractionZero) {
        BigNumShiftLeft(Numerator, 1);
        BigNumShiftLeft(Denominator, 1);
        BigNumShiftLeft(DeltaPlus, 1);
      }
    }
  } else {
    TBigNum& Power = NeedDeltas ? DeltaPlus : Numerator;
    BigNumAssignPowerUInt16(Power, Base, -Estimate);
    if (NeedDeltas) {
      BigNumAssignBigNum(DeltaMinus, Power);
      BigNumAssignBigNum(Numerator, Power);
    }
    BigNumMultiplyByUInt64(Numerator, f);
    BigNumAssignUInt16(Denominator, 1);
    BigNumShiftLeft(Denominator, -e);
    if (NeedDeltas) {
      BigNumShiftLeft(Numerator, 1);
      BigNumShiftLeft(Denominator, 1);
      if (FractionZero && (Bits(Value) & ExponentMask) != 0x0010000000000000ULL) {
        BigNumShiftLeft(Numerator, 1);
        BigNumShiftLeft(Denominator, 1);
        BigNumShiftLeft(DeltaPlus, 1);
      }
    }
  }
}

void FixupMultiplyBase(int32_t Estimate, bool IsEven, int32_t& DecimalPoint, TBigNum& Numerator,
                       TBigNum& Denominator, TBigNum& DeltaMinus, TBigNum& DeltaPlus,
                       uint32_t Base) {
  const int c = BigNumPlusCompare(Numerator, DeltaPlus, Denominator);
  const bool InRange = IsEven ? c >= 0 : c > 0;
  if (InRange) {
    DecimalPoint = Estimate + 1;
    return;
  }
  DecimalPoint = Estimate;
  BigNumMultiplyByUInt32(Numerator, Base);
  if (BigNumCompare(DeltaMinus, DeltaPlus) == 0) {
    BigNumMultiplyByUInt32(DeltaMinus, Base);
    BigNumAssignBigNum(DeltaPlus, DeltaMinus);
  } else {
    BigNumMultiplyByUInt32(DeltaMinus, Base);
    BigNumMultiplyByUInt32(DeltaPlus, Base);
  }
}

// Shortest digits in any base (decimal uses "0".."9" of Base36 too).
void GenerateShortestDigits(TBigNum& Numerator, const TBigNum& Denominator, TBigNum& DeltaMinus,
                            TBigNum& DeltaPlus, bool IsEven, std::string& Buffer, int32_t& Len,
                            uint32_t Base) {
  // Equal deltas share one number so that only one multiplication is needed per digit.
  TBigNum* Plus = BigNumCompare(DeltaMinus, DeltaPlus) == 0 ? &DeltaMinus : &DeltaPlus;
  Len = 0;
  for (;;) {
    const uint32_t Digit = BigNumDivideModuloIntBigNum(Numerator, Denominator);
    Check(Digit < Base, "digit out of range");
    AppendDigit(Buffer, Len, Base36[Digit]);
    const int LowSign = BigNumCompare(Numerator, DeltaMinus);
    const int HighSign = BigNumPlusCompare(Numerator, *Plus, Denominator);
    const bool Low = IsEven ? LowSign <= 0 : LowSign < 0;
    const bool High = IsEven ? HighSign >= 0 : HighSign > 0;
    if (!Low && !High) {
      BigNumMultiplyByUInt32(Numerator, Base);
      BigNumMultiplyByUInt32(DeltaMinus, Base);
      if (Plus != &DeltaMinus) BigNumMultiplyByUInt32(DeltaPlus, Base);
      continue;
    }
    bool Increment;
    if (Low && High) {
      const int Half = BigNumPlusCompare(Numerator, Numerator, Denominator);
      Increment = Half > 0 || (Half == 0 && (Digit & 1));
    } else {
      Increment = High;
    }
    if (Increment) {
      Check(Digit + 1 < Base, "increment of the highest digit");
      Buffer[Len - 1] = Base36[Digit + 1];
    }
    return;
  }
}

// Exactly Count digits, the last one rounded half up.
void GenerateCountedDigits(int32_t Count, int32_t& DecimalPoint, TBigNum& Numerator,
                           const TBigNum& Denominator, std::string& Buffer, int32_t& Len) {
  Check(Count >= 1, "no digits requested");
  Len = 0;
  for (int32_t i = 0; i < Count - 1; ++i) {
    const uint32_t Digit = BigNumDivideModuloIntBigNum(Numerator, Denominator);
    Check(Digit <= 9, "digit out of range");
    AppendDigit(Buffer, Len, char('0' + Digit));
    BigNumMultiplyByUInt32(Numerator, 10);
  }
  uint32_t Digit = BigNumDivideModuloIntBigNum(Numerator, Denominator);
  Check(Digit <= 9, "digit out of range");
  if (BigNumPlusCompare(Numerator, Numerator, Denominator) >= 0) ++Digit;
  AppendDigit(Buffer, Len, char('0' + Digit));
  for (int32_t i = Count - 1; i > 0; --i) {
    if (Buffer[i] != '0' + 10) break;
    Buffer[i] = '0';
    ++Buffer[i - 1];
  }
  if (Buffer[0] == '0' + 10) {
    Buffer[0] = '1';
    ++DecimalPoint;
  }
}

void GenerateFixedDigits(int32_t FractionalCount, int32_t& DecimalPoint, TBigNum& Numerator,
                         TBigNum& Denominator, std::string& Buffer, int32_t& Len) {
  if (-DecimalPoint > FractionalCount) {
    Len = 0;
    DecimalPoint = -FractionalCount;
  } else if (-DecimalPoint == FractionalCount) {
    BigNumMultiplyByUInt32(Denominator, 10);
    Len = 0;
    if (BigNumPlusCompare(Numerator, Numerator, Denominator) >= 0) {
      AppendDigit(Buffer, Len, '1');
      ++DecimalPoint;
    }
  } else {
    GenerateCountedDigits(DecimalPoint + FractionalCount, DecimalPoint, Numerator, Denominator,
                          Buffer, Len);
  }
}

}  // namespace

namespace zefudtoa {

bool DoFastShortest(double Value, char* Buffer, int32_t& Len, int32_t& DecimalExponent) {
  const TDoubleValue W = DoubleValueGet(Value);
  TDoubleValue BoundaryMinus, BoundaryPlus;
  NormalizedBoundaries(Value, BoundaryMinus, BoundaryPlus);
  TDoubleValue Power;
  int32_t PowerExponent;
  if (!GetCachedPowerForBinaryExponentRange(MinimalTargetExponent - (W.Exponent + 64),
                                            MaximalTargetExponent - (W.Exponent + 64), Power,
                                            PowerExponent))
    return false;
  const int32_t Scaled = W.Exponent + Power.Exponent + 64;
  if (Scaled < MinimalTargetExponent || Scaled > MaximalTargetExponent) return false;
  const TDoubleValue ScaledW = DoubleValueMul(W, Power);
  if (ScaledW.Exponent != Scaled) return false;
  const TDoubleValue ScaledMinus = DoubleValueMul(BoundaryMinus, Power);
  const TDoubleValue ScaledPlus = DoubleValueMul(BoundaryPlus, Power);
  int32_t Kappa;
  if (!DigitGen(ScaledMinus, ScaledW, ScaledPlus, Buffer, Len, Kappa)) return false;
  DecimalExponent = Kappa - PowerExponent;
  return true;
}

bool DoFastPrecision(double Value, int32_t RequestedDigits, char* Buffer, int32_t& Len,
                     int32_t& DecimalExponent) {
  if (RequestedDigits < 1) return false;
  const TDoubleValue W = DoubleValueGet(Value);
  TDoubleValue Power;
  int32_t PowerExponent;
  if (!GetCachedPowerForBinaryExponentRange(MinimalTargetExponent - (W.Exponent + 64),
                                            MaximalTargetExponent - (W.Exponent + 64), Power,
                                            PowerExponent))
    return false;
  const int32_t Scaled = W.Exponent + Power.Exponent + 64;
  if (Scaled < MinimalTargetExponent || Scaled > MaximalTargetExponent) return false;
  const TDoubleValue ScaledW = DoubleValueMul(W, Power);
  int32_t Kappa;
  if (!DigitGenCounted(ScaledW, RequestedDigits, Buffer, Len, Kappa)) return false;
  DecimalExponent = Kappa - PowerExponent;
  return true;
}

bool DoFastFixed(double Value, int32_t FractionalCount, char* Buffer, int32_t& Len,
                 int32_t& DecimalPoint) {
  uint64_t f;
  int32_t e;
  SplitDouble(Value, f, e);
  if (e > 20 || FractionalCount > 20 || FractionalCount < 0) return false;
  Len = 0;
  TFixedBuffer b{Buffer, Len};
  if (e > 11) {
    // f << e does not fit 64 bits: split at 10^17 = 5^17 * 2^17.
    uint32_t Quotient;
    uint64_t Remainder;
    if (e > 17) {
      const uint64_t Dividend = f << (e - 17);
      Quotient = uint32_t(Dividend / Five17);
      Remainder = (Dividend % Five17) << 17;
    } else {
      const uint64_t Divisor = Five17 << (17 - e);
      Quotient = uint32_t(f / Divisor);
      Remainder = (f % Divisor) << e;
    }
    FillDigits32(Quotient, b);
    FillDigits64FixedLength(Remainder, b);
    DecimalPoint = Len;
  } else if (e >= 0) {
    FillDigits64(f << e, b);
    DecimalPoint = Len;
  } else if (e > -53) {
    const uint64_t Integrals = f >> -e;
    const uint64_t Fractionals = f - (Integrals << -e);
    if (Integrals > 0xFFFFFFFFu)
      FillDigits64(Integrals, b);
    else
      FillDigits32(uint32_t(Integrals), b);
    DecimalPoint = Len;
    FillFractionals(Fractionals, e, FractionalCount, b, DecimalPoint);
  } else if (e < -128) {
    DecimalPoint = -FractionalCount;
  } else {
    DecimalPoint = 0;
    FillFractionals(f, e, FractionalCount, b, DecimalPoint);
  }
  TrimZeros(Buffer, Len, DecimalPoint);
  if (Len == 0) DecimalPoint = -FractionalCount;
  return true;
}

void DoubleToDecimal(int32_t Mode, int32_t RequestedDigits, std::string& Buffer, int32_t& Len,
                     int32_t& DecimalPoint, double Value) {
  Check(Value > 0 && Value <= 1.7976931348623157e308, "exact conversion of a non-positive value");
  uint64_t f;
  int32_t e;
  SplitDouble(Value, f, e);
  const bool IsEven = (f & 1) == 0;
  int32_t ne = e;
  NormalizedExponent(f, ne);
  const int32_t Estimate = GetEstimatePowerOf(ne, 10);
  Len = 0;
  if (Mode == mFIXED && -Estimate - 1 > RequestedDigits) {
    DecimalPoint = -RequestedDigits;
    return;
  }
  TBigNum Numerator, Denominator, DeltaMinus, DeltaPlus;
  InitialScaledStartValues(Value, f, e, Estimate, Mode == mSHORTEST, 10, Numerator, Denominator,
                           DeltaMinus, DeltaPlus);
  FixupMultiplyBase(Estimate, IsEven, DecimalPoint, Numerator, Denominator, DeltaMinus, DeltaPlus,
                    10);
  switch (Mode) {
    case mSHORTEST:
      GenerateShortestDigits(Numerator, Denominator, DeltaMinus, DeltaPlus, IsEven, Buffer, Len,
                             10);
      break;
    case mFIXED:
      GenerateFixedDigits(RequestedDigits, DecimalPoint, Numerator, Denominator, Buffer, Len);
      break;
    case mPRECISION:
      GenerateCountedDigits(RequestedDigits, DecimalPoint, Numerator, Denominator, Buffer, Len);
      break;
    default: InternalFailure("unknown digit mode");
  }
}

void FastDoubleToRadix(double v, int32_t Radix, std::string& Buffer, int32_t& Len,
                       int32_t& DecimalPoint) {
  // The integer part is taken by truncation, which no rounding setting affects.
  Len = 0;
  Buffer.clear();
  if (Radix < 2 || Radix > 36) return;
  char Tmp[64];
  int32_t Count = 0;
  for (uint64_t n = uint64_t(v); n > 0; n /= uint64_t(Radix)) Tmp[Count++] = Base36[n % uint64_t(Radix)];
  Buffer.resize(size_t(Count));
  for (int32_t i = 0; i < Count; ++i) Buffer[i] = Tmp[Count - 1 - i];
  Len = Count;
}

void DoubleToRadix(double Value, int32_t Radix, std::string& Buffer, int32_t& Len,
                   int32_t& DecimalPoint) {
  Check(Value > 0 && Value <= 1.7976931348623157e308, "exact conversion of a non-positive value");
  Check(Radix >= 2 && Radix <= 36, "radix out of range");
  uint64_t f;
  int32_t e;
  SplitDouble(Value, f, e);
  const bool IsEven = (f & 1) == 0;
  int32_t ne = e;
  NormalizedExponent(f, ne);
  const int32_t Estimate = GetEstimatePowerOf(ne, Radix);
  TBigNum Numerator, Denominator, DeltaMinus, DeltaPlus;
  InitialScaledStartValues(Value, f, e, Estimate, true, uint16_t(Radix), Numerator, Denominator,
                           DeltaMinus, DeltaPlus);
  FixupMultiplyBase(Estimate, IsEven, DecimalPoint, Numerator, Denominator, DeltaMinus, DeltaPlus,
                    uint32_t(Radix));
  GenerateShortestDigits(Numerator, Denominator, DeltaMinus, DeltaPlus, IsEven, Buffer, Len,
                         uint32_t(Radix));
}

}  // namespace zefudtoa

// ---------------------------------------------------------------- predicates

namespace {

inline TZefuDoubleHiLo HiLo(double Value) {
  const uint64_t b = Bits(Value);
  return {uint32_t(b), uint32_t(b >> 32)};
}

}  // namespace

bool ZefuIsNaN(double Value) {
  const TZefuDoubleHiLo h = HiLo(Value);
  return (h.Hi & 0x7FF00000u) == 0x7FF00000u && ((h.Hi & 0x000FFFFFu) | h.Lo) != 0;
}

bool ZefuIsInfinite(double Value) {
  const TZefuDoubleHiLo h = HiLo(Value);
  return (h.Hi & 0x7FFFFFFFu) == 0x7FF00000u && h.Lo == 0;
}

bool ZefuIsFinite(double Value) { return (HiLo(Value).Hi & 0x7FF00000u) != 0x7FF00000u; }

bool ZefuIsNegInfinite(double Value) {
  const TZefuDoubleHiLo h = HiLo(Value);
  return h.Hi == 0xFFF00000u && h.Lo == 0;
}

bool ZefuIsZero(double Value) {
  const TZefuDoubleHiLo h = HiLo(Value);
  return (h.Hi & 0x7FFFFFFFu) == 0 && h.Lo == 0;
}

bool ZefuIsNegative(double Value) { return (HiLo(Value).Hi & 0x80000000u) != 0; }

double ZefuDoubleAbsolute(double Value) { return FromBits(Bits(Value) & ~SignMask); }

// ---------------------------------------------------------------- entry and layouts

namespace {

// A double has at most 767 significant and 1074 fractional decimal digits; digits asked for
// beyond these are zeros, which the layouts pad themselves.
constexpr int32_t MaxCountedDigits = 800;
constexpr int32_t MaxFixedDigits = 1100;

// Appends the exponent part ("e+21", "p-3") of the point position k.
void AppendExponent(std::string& Out, char Mark, int32_t k) {
  const int32_t x = k - 1;
  char Tmp[16];
  int32_t n = 0;
  uint32_t Magnitude = x < 0 ? uint32_t(-int64_t(x)) : uint32_t(x);
  do {
    Tmp[n++] = char('0' + Magnitude % 10);
    Magnitude /= 10;
  } while (Magnitude);
  Out += Mark;
  Out += x < 0 ? '-' : '+';
  while (n) Out += Tmp[--n];
}

void AppendExponential(std::string& Out, const char* d, int32_t n, int32_t k, char Mark) {
  Out += d[0];
  if (n > 1) {
    Out += '.';
    Out.append(d + 1, size_t(n - 1));
  }
  AppendExponent(Out, Mark, k);
}

void AppendStandard(std::string& Out, const char* d, int32_t n, int32_t k, char Mark) {
  if (n <= k && k <= 21) {
    Out.append(d, size_t(n));
    Out.append(size_t(k - n), '0');
  } else if (0 < k && k <= 21) {
    Out.append(d, size_t(k));
    Out += '.';
    Out.append(d + k, size_t(n - k));
  } else if (-6 < k && k <= 0) {
    Out += "0.";
    Out.append(size_t(-k), '0');
    Out.append(d, size_t(n));
  } else {
    AppendExponential(Out, d, n, k, Mark);
  }
}

// Standard layout written straight into a small array (the common, hot case).
int32_t WriteStandard(char* Out, const char* d, int32_t n, int32_t k) {
  char* p = Out;
  if (n <= k && k <= 21) {
    std::memcpy(p, d, size_t(n));
    p += n;
    for (int32_t i = n; i < k; ++i) *p++ = '0';
  } else if (0 < k && k <= 21) {
    std::memcpy(p, d, size_t(k));
    p += k;
    *p++ = '.';
    std::memcpy(p, d + k, size_t(n - k));
    p += n - k;
  } else if (-6 < k && k <= 0) {
    *p++ = '0';
    *p++ = '.';
    for (int32_t i = 0; i < -k; ++i) *p++ = '0';
    std::memcpy(p, d, size_t(n));
    p += n;
  } else {
    *p++ = d[0];
    if (n > 1) {
      *p++ = '.';
      std::memcpy(p, d + 1, size_t(n - 1));
      p += n - 1;
    }
    *p++ = 'e';
    int32_t x = k - 1;
    if (x < 0) {
      *p++ = '-';
      x = -x;
    } else {
      *p++ = '+';
    }
    if (x >= 100) {
      *p++ = char('0' + x / 100);
      x %= 100;
      *p++ = char('0' + x / 10);
      *p++ = char('0' + x % 10);
    } else if (x >= 10) {
      *p++ = char('0' + x / 10);
      *p++ = char('0' + x % 10);
    } else {
      *p++ = char('0' + x);
    }
  }
  return int32_t(p - Out);
}

void AppendCountedExponential(std::string& Out, const char* d, int32_t n, int32_t k, int32_t r) {
  Out += d[0];
  if (r != 1) {
    Out += '.';
    if (n > 1) Out.append(d + 1, size_t(n - 1));
    if (r > n) Out.append(size_t(r - n), '0');
  }
  AppendExponent(Out, 'e', k);
}

// Beyond this a digit request only asks for more padding zeros; the cap keeps the length
// arithmetic in range and the text to a megabyte.
constexpr int32_t MaxRequestedDigits = 1 << 20;

// The text of the positive finite Value, behind a "-" when Negative.
std::string ConvertPositive(double Value, int32_t Mode, int32_t RequestedDigits, bool Negative) {
  using namespace zefudtoa;
  if (Mode != zdtsmRADIX && RequestedDigits > MaxRequestedDigits) RequestedDigits = MaxRequestedDigits;
  if (Mode == zdtsmFIXED && Value >= 1e21) Mode = zdtsmSTANDARD;
  if (Mode == zdtsmRADIX && RequestedDigits == 10) Mode = zdtsmSTANDARD;

  if (Mode == zdtsmSTANDARD) {
    char Digits[FastShortestBufferSize];
    int32_t Len, DecimalExponent;
    char Out[48];
    Out[0] = '-';
    char* Text = Out + (Negative ? 1 : 0);
    if (DoFastShortest(Value, Digits, Len, DecimalExponent))
      return std::string(Out, size_t(WriteStandard(Text, Digits, Len, DecimalExponent + Len) + (Text - Out)));
    std::string Buffer;
    int32_t DecimalPoint;
    DoubleToDecimal(mSHORTEST, 0, Buffer, Len, DecimalPoint, Value);
    return std::string(Out, size_t(WriteStandard(Text, Buffer.data(), Len, DecimalPoint) + (Text - Out)));
  }

  std::string Buffer;  // digits
  const char* d = nullptr;
  int32_t n = 0, k = 0;
  char Fast[FastFixedBufferSize + MaxCountedDigits];
  std::string Out = Negative ? "-" : "";
  switch (Mode) {
    case zdtsmSTANDARDEXPONENTIAL:
      if (DoFastShortest(Value, Fast, n, k)) {
        d = Fast;
        k += n;
      } else {
        DoubleToDecimal(mSHORTEST, 0, Buffer, n, k, Value);
        d = Buffer.data();
      }
      AppendExponential(Out, d, n, k, 'e');
      return Out;

    case zdtsmFIXED: {
      const int32_t f = RequestedDigits < 0 ? 0 : RequestedDigits;
      if (DoFastFixed(Value, f, Fast, n, k)) {
        d = Fast;
      } else {
        DoubleToDecimal(mFIXED, f < MaxFixedDigits ? f : MaxFixedDigits, Buffer, n, k, Value);
        d = Buffer.data();
      }
      int32_t ZeroPrefixLength = 0, ZeroPostfixLength = 0;
      if (k <= 0) {
        ZeroPrefixLength = 1 - k;
        k = 1;
      }
      if (int64_t(ZeroPrefixLength) + n < int64_t(k) + f)
        ZeroPostfixLength = k + f - n - ZeroPrefixLength;
      Out.reserve(size_t(ZeroPrefixLength) + size_t(n) + size_t(ZeroPostfixLength) + 2);
      const size_t Start = Out.size();
      Out.append(size_t(ZeroPrefixLength), '0');
      Out.append(d, size_t(n));
      Out.append(size_t(ZeroPostfixLength), '0');
      if (f > 0 && 0 < k && k <= int32_t(Out.size() - Start)) Out.insert(Start + size_t(k), 1, '.');
      return Out;
    }

    case zdtsmEXPONENTIAL:
    case zdtsmPRECISION: {
      int32_t r = RequestedDigits;
      if (r <= 0) {
        if (DoFastShortest(Value, Fast, n, k)) {
          d = Fast;
          k += n;
        } else {
          DoubleToDecimal(mSHORTEST, 0, Buffer, n, k, Value);
          d = Buffer.data();
        }
        r = n;
      } else {
        const int32_t Count = r < MaxCountedDigits ? r : MaxCountedDigits;
        if (DoFastPrecision(Value, Count, Fast, n, k)) {
          d = Fast;
          k += n;
        } else {
          DoubleToDecimal(mPRECISION, Count, Buffer, n, k, Value);
          d = Buffer.data();
        }
      }
      Check(n >= 1 && n <= r + 1, "digit count out of range");
      if (Mode == zdtsmEXPONENTIAL || k < -6 || k >= r) {
        AppendCountedExponential(Out, d, n, k, r);
      } else if (k <= 0) {
        Out += "0.";
        Out.append(size_t(-k), '0');
        Out.append(d, size_t(n));
        if (r > n) Out.append(size_t(r - n), '0');
      } else {
        const size_t Start = Out.size();
        Out.append(d, size_t(n));
        if (r > n) Out.append(size_t(r - n), '0');
        Out.insert(Start + size_t(k), 1, '.');
      }
      return Out;
    }

    case zdtsmRADIX: {
      if (RequestedDigits < 2 || RequestedDigits > 36) return Out;
      if (Value < 4294967295.0 && double(uint64_t(Value)) == Value) {
        FastDoubleToRadix(Value, RequestedDigits, Buffer, n, k);
        return Out + Buffer;
      }
      DoubleToRadix(Value, RequestedDigits, Buffer, n, k);
      std::string Text;
      AppendStandard(Text, Buffer.data(), n, k, 'p');
      while (Text.size() > 1 && Text[0] == '0' &&
             ((Text[1] >= '0' && Text[1] <= '9') || (Text[1] >= 'a' && Text[1] <= 'f')))
        Text.erase(0, 1);
      return Out + Text;
    }

    default: return Out;
  }
}

}  // namespace

std::string ZefuConvertDoubleToString(double Value, int32_t Mode, int32_t RequestedDigits) {
  const uint64_t b = Bits(Value);
  if ((b & ExponentMask) == ExponentMask) {
    if (b & FractionMask) return "NaN";
    return (b & SignMask) ? "-Infinity" : "Infinity";
  }
  if ((b & ~SignMask) == 0) return "0";
  return ConvertPositive(FromBits(b & ~SignMask), Mode, RequestedDigits, (b & SignMask) != 0);
}
