// Eisel-Lemire: a decimal significand of up to 19 digits times a power of
// ten, rounded to a float format with integer arithmetic from a 128-bit
// truncated power of five. Internal to parse_float.
#pragma once

#include <bit>
#include <cstdint>

#include "text/number/digits.hpp"
#include "text/number/format.hpp"

namespace novrel::text::number {

struct Pow5 {
  std::uint64_t hi;
  std::uint64_t lo;
  int b;
};

// One table for both formats: an entry does not depend on the format, and
// float32's powers are the middle of float64's.
inline constexpr int kPow5First = BinaryFormat<double>::kMinPower;
inline constexpr int kPow5Exact = 55;  // entries 0 to 55 are exact
inline constexpr Pow5 kPow5[] = {
#include "text/number/tables.inc"
};
static_assert(sizeof kPow5 / sizeof kPow5[0] == BinaryFormat<double>::kMaxPower - kPow5First + 1);
static_assert(BinaryFormat<float>::kMinPower >= kPow5First &&
              BinaryFormat<float>::kMaxPower <= BinaryFormat<double>::kMaxPower);

// Indexed from the format's first power, as its range checks count, so
// that both share one subtraction.
template <class T>
inline const Pow5& pow5(int q) noexcept {
  constexpr const Pow5* first = kPow5 + (BinaryFormat<T>::kMinPower - kPow5First);
  return first[q - BinaryFormat<T>::kMinPower];
}

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
// each below one unit of H). Rounding H to the format's significand (fewer
// bits for subnormals) gives the answer unless a rounding midpoint lies in
// that interval. For 0 <= q <= 55 the table is exact and the full 192-bit
// product decides every case, ties included. Above, w * 10^q has an odd part
// of more than 128 bits and is no midpoint of either format (their odd parts
// have at most 54). For q < 0 the value is never a dyadic rational unless
// 5^|q| divides w; then it is recomputed exactly as (w / 5^|q|) * 2^q.

// Rounds w * t * 2^(b + e2_shift - lz - 128) to the bits of T. `exact` says
// t == hi * 2^64 + lo; otherwise t exceeds it by less than one. False when
// the truncation leaves the rounding undecided.
template <class T>
inline bool round_product(std::uint64_t w, const Pow5& pow, int e2_shift, bool exact,
                          typename BinaryFormat<T>::Bits& bits) noexcept {
  using F = BinaryFormat<T>;
  using Bits = typename F::Bits;
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
  if (e2 > F::kMaxExponent) {
    bits = F::kInfinityBits;
    return true;
  }
  // Half the smallest subnormal: 2^-150 for float32, 2^-1075 for float64.
  constexpr int kHalfSubnormal = F::kMinExponent - F::kMantissaBits - 1;
  if (e2 < kHalfSubnormal - 1) {  // below 2^(kHalfSubnormal - 1) (plus a 2^-62 relative error): zero
    bits = 0;
    return true;
  }
  // Bits of H to drop: the significand's stay for a normal result; a
  // subnormal's fixed spacing drops one more per binade below the normal
  // ones.
  int shift = msb - F::kMantissaBits;
  Bits biased = 0;
  if (e2 < F::kMinExponent) {
    shift += F::kMinExponent - e2;
  } else {
    biased = static_cast<Bits>(e2 + F::kFieldOffset);
  }
  if (shift > 64) {
    // e2 == kHalfSubnormal - 1, msb 63: P < 2^64 gives a value below half
    // the smallest subnormal. Only a truncated tail can carry P up to the
    // midpoint 2^64.
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
  // exactly the renormalisation it needs (and 2^(kMaxExponent + 1) becomes
  // infinity).
  bits = (biased << F::kMantissaBits) + static_cast<Bits>(mant) + (up ? 1u : 0u);
  return true;
}

// Eisel-Lemire's common case: a normal result decided by the first product
// alone. The exact value, in units of H, lies in [H, H + 2) (whether the
// table's low word is exact or not). Doubled when its top bit is clear, H
// becomes N with bit 63 set and the value lies in [N, N + 4); the
// significand is N's top 24 (53) bits and rounding compares the other
// d = 40 (11) with the midpoint 2^(d - 1). With c those d bits less their
// lowest W = kUndecidedWindowBits, the interval lies strictly on one side
// of the midpoint unless c is 2^(d - W - 1) - 1 or 2^(d - W - 1), low bits
// within 2^W >= 4 of it; outside those two, c's top bit is the rounding
// increment. Computed so, because it is a coin toss for a branch predictor.
// False when undecided, and for results outside the normal range. Needs q
// within the format's powers; for w == 0 the bits are meaningless.
template <class T>
[[gnu::always_inline]] inline bool eisel_lemire_common(std::uint64_t w, int q,
                                                       typename BinaryFormat<T>::Bits& bits) noexcept {
  using F = BinaryFormat<T>;
  using Bits = typename F::Bits;
  const Pow5& pow = pow5<T>(q);
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
  constexpr int kDropped = 63 - F::kMantissaBits;
  constexpr int kWindow = F::kUndecidedWindowBits;
  static_assert(kDropped - kWindow <= 32 && kWindow >= 2);
  // At most 32 bits: for float32 all of a 32-bit word, and no mask.
  constexpr std::uint32_t kMask = ~std::uint32_t{0} >> (32 - (kDropped - kWindow));
  const std::uint32_t c = static_cast<std::uint32_t>(normal >> kWindow) & kMask;
  constexpr std::uint32_t kBelowMidpoint = (std::uint32_t{1} << (kDropped - kWindow - 1)) - 1;
  const int e2 = 62 + static_cast<int>(top) + pow.b - lz;
  bits = (static_cast<Bits>(e2 + F::kFieldOffset) << F::kMantissaBits) + static_cast<Bits>(normal >> kDropped) +
         (c >> (kDropped - kWindow - 1));
  return (static_cast<unsigned>(e2 + F::kFieldOffset) <= 2u * F::kFieldOffset + 1) & (c - kBelowMidpoint > 1u);
}

// Every q; false when the result stays undecided, for big-decimal
// arithmetic to settle.
template <class T>
[[gnu::noinline]] inline bool eisel_lemire(std::uint64_t w, int q, typename BinaryFormat<T>::Bits& bits) noexcept {
  using F = BinaryFormat<T>;
  if (q < F::kMinPower) {
    bits = 0;
    return true;
  }
  if (q > F::kMaxPower) {
    bits = F::kInfinityBits;
    return true;
  }
  if (round_product<T>(w, pow5<T>(q), 0, q >= 0 && q <= kPow5Exact, bits)) return true;
  if (q >= -27 && q < 0 && w % kSmallPow5.v[-q] == 0) {
    return round_product<T>(w / kSmallPow5.v[-q], pow5<T>(0), q, true, bits);
  }
  return false;
}

}  // namespace novrel::text::number
