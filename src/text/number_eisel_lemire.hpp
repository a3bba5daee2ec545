// Eisel-Lemire for float32: a decimal significand of up to 19 digits times
// a power of ten, rounded with integer arithmetic from a 128-bit truncated
// power of five. Internal to parse_float32.
#pragma once

#include <bit>
#include <cstdint>

#include "text/number_digits.hpp"

namespace novrel::text::number {

// Below 10^-64 a significand under 2^64 stays below 2^-150 and rounds to
// zero; from 10^39 on any nonzero significand is beyond the overflow
// midpoint. The power table covers what lies between.
inline constexpr int kMinPower = -64;
inline constexpr int kMaxPower = 38;

struct Pow5 {
  std::uint64_t hi;
  std::uint64_t lo;
  int b;
};

inline constexpr Pow5 kPow5[] = {
#include "text/number_tables.inc"
};
static_assert(sizeof kPow5 / sizeof kPow5[0] == kMaxPower - kMinPower + 1);

constexpr std::uint64_t pow5_u64(int n) {
  std::uint64_t p = 1;
  for (int i = 0; i < n; ++i) p *= 5;
  return p;
}

// 5^27 is the largest power of five below 2^64.
inline constexpr auto kSmallPow5 = [] {
  struct {
    std::uint64_t v[28];
  } t{};
  for (int i = 0; i < 28; ++i) t.v[i] = pow5_u64(i);
  return t;
}();

struct U128 {
  std::uint64_t hi;
  std::uint64_t lo;
};

inline U128 mul_64x64(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return {static_cast<std::uint64_t>(r >> 64), static_cast<std::uint64_t>(r)};
#else
  // 32-bit targets: four 32x32->64 products. `mid` cannot overflow: it is at
  // most (2^32 - 1) + 2 * (2^32 - 1) < 2^34.
  const std::uint64_t a0 = static_cast<std::uint32_t>(a), a1 = a >> 32;
  const std::uint64_t b0 = static_cast<std::uint32_t>(b), b1 = b >> 32;
  const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  const std::uint64_t mid = (p00 >> 32) + static_cast<std::uint32_t>(p01) +
                            static_cast<std::uint32_t>(p10);
  return {p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32), (mid << 32) | static_cast<std::uint32_t>(p00)};
#endif
}

// std::countl_zero must handle zero, which costs a branch where w != 0 is
// already known.
template <class Word>
inline int countl_zero_nonzero(Word w) noexcept {
#if defined(__GNUC__)
  if constexpr (sizeof(Word) == 8)
    return __builtin_clzll(w);
  else
    return __builtin_clz(w);
#else
  return std::countl_zero(w);
#endif
}

// With lz leading zeros in w and wn = w << lz, and the table's
// 5^q = t * 2^(b - q - 128):
//     w * 10^q = P * 2^(b - lz),   P = wn * t / 2^128,  2^62 <= P < 2^64,
// so the binary exponent is msb(P) + b - lz. H, the top word of
// wn * (hi * 2^64 + lo), satisfies H <= P < H + 2 (the neglected terms are
// each below one unit of H). Rounding H to 24 bits (fewer for subnormals)
// gives the answer unless a rounding midpoint lies in that interval.
// For q >= 0 the table is exact and the full 192-bit product decides every
// case, ties included. For q < 0 the value is never a dyadic rational unless
// 5^|q| divides w; then it is recomputed exactly as (w / 5^|q|) * 2^q.

// Rounds w * t * 2^(b + e2_shift - lz - 128) to float32 bits. `exact` says
// t == hi * 2^64 + lo; otherwise t exceeds it by less than one. False when
// the truncation leaves the rounding undecided.
inline bool round_product(std::uint64_t w, const Pow5& pow, int e2_shift, bool exact,
                   std::uint32_t& bits) noexcept {
  const int lz = std::countl_zero(w);
  const std::uint64_t wn = w << lz;
  const U128 a = mul_64x64(wn, pow.hi);
  std::uint64_t hi = a.hi;
  std::uint64_t lo = a.lo;
  bool sticky = false;  // exact mode only: bits below `lo` are nonzero
  if (exact && pow.lo != 0) {
    const U128 b = mul_64x64(wn, pow.lo);
    lo += b.hi;
    hi += lo < b.hi;  // cannot overflow: the 192-bit product is below 2^192
    sticky = b.lo != 0;
  }
  sticky = sticky || lo != 0;

  const int msb = 62 + static_cast<int>(hi >> 63);
  const int e2 = msb + pow.b - lz + e2_shift;  // value in [2^e2, 2^(e2+1))
  if (e2 > 127) {
    bits = kInfinityBits;
    return true;
  }
  if (e2 < -151) {  // below 2^-151 (plus a 2^-62 relative error): zero
    bits = 0;
    return true;
  }
  // Bits of H to drop: 24 stay for a normal result; a subnormal's fixed
  // 2^-149 spacing drops one more per binade below 2^-126.
  int shift = msb - 23;
  std::uint32_t biased = 0;
  if (e2 < -126) {
    shift += -126 - e2;
  } else {
    biased = static_cast<std::uint32_t>(e2 + 126);  // the implicit bit adds the last 1
  }
  if (shift > 64) {
    // e2 == -151, msb 63: P < 2^64 gives a value below 2^-150. Only a
    // truncated tail can carry P up to the midpoint 2^64.
    if (!exact && hi == ~std::uint64_t{0}) return false;
    bits = 0;
    return true;
  }
  std::uint64_t mant = 0;
  std::uint64_t rem = hi;
  std::uint64_t half = std::uint64_t{1} << 63;
  if (shift < 64) {
    mant = hi >> shift;
    rem = hi & ((std::uint64_t{1} << shift) - 1);
    half = std::uint64_t{1} << (shift - 1);
  }
  bool up;
  if (exact) {
    up = rem > half || (rem == half && (sticky || (mant & 1) != 0));
  } else if (rem != half - 1) {
    // P lies strictly above H here (t exceeds the table), so rem == half
    // means above the midpoint.
    up = rem >= half;
  } else {
    // The midpoint is H + 1. With the second product, P * 2^64 lies in
    // (Z, Z + 2) where Z = H * 2^64 + lo + hi(wn * pow.lo).
    const U128 b = mul_64x64(wn, pow.lo);
    const std::uint64_t z_lo = lo + b.hi;
    if (z_lo < lo) {
      up = true;  // Z reached the midpoint, and P exceeds Z
    } else if (z_lo == ~std::uint64_t{0}) {
      return false;  // Z + 1 is the midpoint itself
    } else {
      up = false;  // Z + 2 <= midpoint
    }
  }
  // A carry out of the significand lands in the exponent field, which is
  // exactly the renormalisation it needs (and 2^128 becomes infinity).
  bits = (biased << 23) + static_cast<std::uint32_t>(mant) + (up ? 1u : 0u);
  return true;
}

// Eisel-Lemire's common case: a normal result decided by the first product
// alone. The exact value, in units of H, lies in [H, H + 2) (for q >= 28
// too, where the table's low word is left out). Doubled when its top bit is
// clear, H becomes N with bit 63 set and the value lies in [N, N + 4); the
// significand is N's top 24 bits and rounding compares the other 40 with
// the midpoint 2^39. Unless the midpoint is close above N's low bits, the
// whole interval is strictly on one side of it. False otherwise, and
// for results outside the normal range. Needs q within the table; for w == 0
// the bits are meaningless.
[[gnu::always_inline]] inline bool eisel_lemire_common(std::uint64_t w, int q, std::uint32_t& bits) noexcept {
  const Pow5& pow = kPow5[q - kMinPower];
  int lz;
  std::uint64_t hi;
#if !defined(__SIZEOF_INT128__)
  if ((w >> 32) == 0) {
    // Without a 64x64 multiply, a 32-bit w saves half the work: normalised
    // to 32 bits, its product with pow.hi has the same top 64 bits as the
    // 64-bit normalised one, with two 32x32 products instead of four.
    const int lz32 = countl_zero_nonzero(static_cast<std::uint32_t>(w) | 1u);  // as below
    const std::uint64_t wn = static_cast<std::uint32_t>(w) << lz32;
    lz = 32 + lz32;
    hi = wn * (pow.hi >> 32) + ((wn * static_cast<std::uint32_t>(pow.hi)) >> 32);
  } else
#endif
  {
    lz = countl_zero_nonzero<std::uint64_t>(w | 1);  // w | 1 has w's top bit for any w > 0
    hi = mul_64x64(w << lz, pow.hi).hi;
  }
  const std::uint64_t top = hi >> 63;
  const std::uint64_t normal = top != 0 ? hi : hi << 1;
  // Bits 8-39 of N, the 40 below the significand less their lowest 8:
  // outside c in {2^31 - 1, 2^31} (low bits within 256 of the midpoint, a
  // window holding the undecided 4), the top bit of c is the rounding
  // increment. Computed so, because it is a coin toss for a branch
  // predictor, and in 32 bits, because that needs no 64-bit constants.
  const std::uint32_t c = static_cast<std::uint32_t>(normal >> 8);
  const int e2 = 62 + static_cast<int>(top) + pow.b - lz;
  bits = (static_cast<std::uint32_t>(e2 + 126) << 23) + static_cast<std::uint32_t>(normal >> 40) + (c >> 31);
  return (static_cast<unsigned>(e2 + 126) <= 253u) & (c - 0x7FFFFFFFu > 1u);
}

// Every q; false when the result stays undecided, for big-decimal
// arithmetic to settle.
[[gnu::noinline]] inline bool eisel_lemire(std::uint64_t w, int q, std::uint32_t& bits) noexcept {
  if (q < kMinPower) {
    bits = 0;
    return true;
  }
  if (q > kMaxPower) {
    bits = kInfinityBits;
    return true;
  }
  if (round_product(w, kPow5[q - kMinPower], 0, q >= 0, bits)) return true;
  if (q >= -27 && w % kSmallPow5.v[-q] == 0) {
    return round_product(w / kSmallPow5.v[-q], kPow5[-kMinPower], q, true, bits);
  }
  return false;
}

}  // namespace novrel::text::number
