// dB-to-gain conversion for the software volume controls: a table-driven power
// function for the bases 2 and 10. A power of ten is an integer power of ten
// times one of 201 table values 10^(i/200), so a gain is exact to 1/200 in the
// exponent, 0.1 dB when the exponent is dB / 20. Callers turn a level in
// 1/65536 dB into a gain with FastPowF(10, level / 65536 / 20).
#pragma once

#include <cstdint>

// Powers of two 2^0 to 2^15, and 10^(i/200) for i = 0 to 200, each the nearest
// double.
inline constexpr int kPowersOfTwoCount = 16;
inline constexpr int kFractionalPowersOfTenCount = 201;
extern const double kPowersOfTwo[kPowersOfTwoCount];
extern const double kFractionalPowersOfTen[kFractionalPowersOfTenCount];

// Rounds half away from zero and truncates toward zero. The caller keeps x
// within the 32-bit range.
std::int32_t RoundToInt(double x);
// base 2: the table entry for the nearest integer exponent (0 outside 0 to 15).
// base 10: 10^exponent to the table's step; +infinity above 10^400 and 0 below
// 10^-400. Any other base, and a NaN exponent: 0.
double FastPow(double base, double exponent);
float FastPowF(float base, float exponent);
