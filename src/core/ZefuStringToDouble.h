#pragma once
// Locale-free, correctly rounded text-to-double conversion. The decimal point is always ".".
#include <cstdint>
#include <string_view>

constexpr int32_t zstod_ROUND_TO_NEAREST = 0;   // ties to even
constexpr int32_t zstod_ROUND_TOWARD_ZERO = 1;  // truncate
constexpr int32_t zstod_ROUND_UPWARD = 2;       // toward +infinity
constexpr int32_t zstod_ROUND_DOWNWARD = 3;     // toward -infinity

// Reads the number at the start of StringValue (blanks, codes 0..32, skipped first; text after
// the number is ignored). Base 2..36 forces that radix; any other Base means decimal unless a
// "0b", "0o" or "0x" prefix says otherwise. OK, when given, tells whether a number was read;
// with nothing read the result is a quiet NaN (decimal) or 0 (power-of-two radixes).
// Unknown rounding modes round to nearest. The caller's rounding mode is left as it was.
double ZefuConvertStringToDouble(std::string_view StringValue,
                                 int32_t RoundingMode = zstod_ROUND_TO_NEAREST,
                                 bool* OK = nullptr, int32_t Base = -1);
