#pragma once
// Locale-free double-to-text conversion: shortest round-trip text and the ECMAScript-like
// exponential, fixed, precision and radix layouts. The decimal point is always ".".
#include <cstdint>
#include <string>

// Bit view of a double: Lo is the low half, Hi holds sign, exponent and the top fraction bits.
struct TZefuDoubleHiLo {
  uint32_t Lo;
  uint32_t Hi;
};

constexpr int32_t zdtsmSTANDARD = 0;             // shortest digits, plain or exponential
constexpr int32_t zdtsmSTANDARDEXPONENTIAL = 1;  // shortest digits, always exponential
constexpr int32_t zdtsmFIXED = 2;                // RequestedDigits digits after the point
constexpr int32_t zdtsmEXPONENTIAL = 3;          // RequestedDigits significant digits (<= 0: shortest)
constexpr int32_t zdtsmPRECISION = 4;            // RequestedDigits significant digits (<= 0: shortest)
constexpr int32_t zdtsmRADIX = 5;                // RequestedDigits is the radix, 2..36

// Never fails: an unusable mode or radix gives "" ("-" for a negative value).
std::string ZefuConvertDoubleToString(double Value, int32_t Mode = zdtsmSTANDARD,
                                      int32_t RequestedDigits = 0);

bool ZefuIsNaN(double Value);
bool ZefuIsInfinite(double Value);
bool ZefuIsFinite(double Value);
bool ZefuIsNegInfinite(double Value);
bool ZefuIsZero(double Value);
bool ZefuIsNegative(double Value);
double ZefuDoubleAbsolute(double Value);

// The digit generators behind the conversion, for positive finite values. Each delivers digits
// d1..dn ("0".."9", radix digits "0".."9a".."z") with the value 0.d1..dn * base^DecimalPoint, or,
// for the two fast decimal generators, digits * 10^DecimalExponent. The fast ones may give up.
namespace zefudtoa {

constexpr int32_t FastShortestBufferSize = 32;
constexpr int32_t FastFixedBufferSize = 64;

// Grisu3 shortest digits; Buffer holds at least FastShortestBufferSize characters.
bool DoFastShortest(double Value, char* Buffer, int32_t& Len, int32_t& DecimalExponent);
// Grisu3 counted digits, correctly rounded; Buffer holds at least RequestedDigits characters.
bool DoFastPrecision(double Value, int32_t RequestedDigits, char* Buffer, int32_t& Len,
                     int32_t& DecimalExponent);
// Fixed notation with FractionalCount (0..20) digits after the point, halves rounded up;
// Buffer holds at least FastFixedBufferSize characters.
bool DoFastFixed(double Value, int32_t FractionalCount, char* Buffer, int32_t& Len,
                 int32_t& DecimalPoint);

constexpr int32_t mSHORTEST = 0;
constexpr int32_t mFIXED = 1;
constexpr int32_t mPRECISION = 2;

// Exact digits with big integers. Buffer grows as needed; its first Len characters count.
void DoubleToDecimal(int32_t Mode, int32_t RequestedDigits, std::string& Buffer, int32_t& Len,
                     int32_t& DecimalPoint, double Value);
// Final text of an integral 1 <= v < 4294967295 in Radix (2..36); "" for other radixes.
void FastDoubleToRadix(double v, int32_t Radix, std::string& Buffer, int32_t& Len,
                       int32_t& DecimalPoint);
// Exact shortest digits in Radix (2..36).
void DoubleToRadix(double Value, int32_t Radix, std::string& Buffer, int32_t& Len,
                   int32_t& DecimalPoint);

}  // namespace zefudtoa
