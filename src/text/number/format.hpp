// What the number parser's stages know of a binary floating-point format:
// the few constants in which float32 and float64 differ. Every stage reads
// them and nothing else, so each stage is written once for both. Internal to
// parse_float.
#pragma once

#include <cfloat>
#include <cstdint>

namespace novrel::text::number {

// An IEEE binary interchange format, from its stored significand bits and
// its largest exponent; the bit patterns the stages return without
// arithmetic follow from them.
template <class BitsT, int kMantissa, int kMaxExp>
struct IeeeBinary {
  using Bits = BitsT;
  static constexpr int kMantissaBits = kMantissa;  // stored, below the implicit bit
  static constexpr int kMaxExponent = kMaxExp;     // of the largest binade
  static constexpr int kMinExponent = 1 - kMaxExp; // of the smallest normal binade
  static constexpr int kSignShift = 8 * sizeof(Bits) - 1;
  static constexpr Bits kSignBit = Bits{1} << kSignShift;
  static constexpr Bits kInfinityBits = Bits{2 * kMaxExp + 1} << kMantissa;
  static constexpr Bits kNanBits = kInfinityBits | Bits{1} << (kMantissa - 1);
  // Added to a binary exponent e2 in [kMinExponent, kMaxExponent] gives the
  // exponent field less one: a significand with its implicit bit, added
  // below, carries the last 1 into the field.
  static constexpr int kFieldOffset = kMaxExp - 1;
  // Integers up to this one are exact values of the format.
  static constexpr std::uint64_t kMaxExactSignificand = std::uint64_t{1} << (kMantissa + 1);
};

template <class T>
struct BinaryFormat;

template <>
struct BinaryFormat<float> : IeeeBinary<std::uint32_t, 23, 127> {
  // Decimal exponents q of w * 10^q, 1 <= w < 2^64, that can give neither
  // zero nor infinity: 2^64 * 10^-65 < 2^-150, half the smallest subnormal,
  // and 10^39 > 2^128. The power-of-five table covers them.
  static constexpr int kMinPower = -64;
  static constexpr int kMaxPower = 38;
  // The same for a value of digits 0.d1 d2 ... times 10^dp, in [10^(dp-1),
  // 10^dp): zero from 10^-46 < 2^-150 down, infinity from 10^39 up.
  static constexpr int kZeroDecimalPoint = -46;
  static constexpr int kInfiniteDecimalPoint = 40;
  // 10^k is an exact float32 up to k = 10 (5^10 < 2^24).
  static constexpr int kMaxExactPower = 10;
  // The exact path converts through this type (one instruction on i386).
  using ExactInteger = std::uint32_t;
  // float32 arithmetic is exact enough everywhere: on x87 an operation is
  // carried out in extended precision first, and for float32 operands that
  // double rounding is innocuous (64 >= 2 * 24 + 2).
  static constexpr bool kRoundsOnce = true;
  // Eisel-Lemire's common case leaves undecided the values whose 40 bits
  // below the significand lie within 2^8 of the midpoint: then the test
  // fits one 32-bit word, with no 64-bit constants on i386.
  static constexpr int kUndecidedWindowBits = 8;
};

template <>
struct BinaryFormat<double> : IeeeBinary<std::uint64_t, 52, 1023> {
  // 2^64 * 10^-343 < 2^-1075 and 10^309 > 2^1024.
  static constexpr int kMinPower = -342;
  static constexpr int kMaxPower = 308;
  // 10^-324 < 2^-1075, 10^309 > 2^1024.
  static constexpr int kZeroDecimalPoint = -324;
  static constexpr int kInfiniteDecimalPoint = 310;
  // 5^22 < 2^53 < 5^23.
  static constexpr int kMaxExactPower = 22;
  using ExactInteger = std::int64_t;
  // On x87 (i386 without SSE2 arithmetic, FLT_EVAL_METHOD 2) an operation
  // on doubles rounds to 64 significand bits and then to 53: the classic
  // double rounding, wrong in about one case in 2^11 near a midpoint. There
  // the exact path is left out and every value goes through integer
  // arithmetic (Eisel-Lemire, big decimals), which no unit can round twice.
  // The i386 build keeps running on any x86 processor that way, SSE2 or not.
#if (defined(__i386__) && !defined(__SSE2_MATH__)) || !(FLT_EVAL_METHOD == 0 || FLT_EVAL_METHOD == 1)
  static constexpr bool kRoundsOnce = false;
#else
  static constexpr bool kRoundsOnce = true;
#endif
  // 11 bits below the significand: a window of 2^2 around the midpoint,
  // just wider than the 4 units the truncated product may be off.
  static constexpr int kUndecidedWindowBits = 2;
};

}  // namespace novrel::text::number
