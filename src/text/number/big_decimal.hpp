// Big-decimal arithmetic: the exact stage of parse_float that decides
// whatever the faster ones leave open. Internal to parse_float.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "text/number/digits.hpp"
#include "text/number/format.hpp"

namespace novrel::text::number {

// The value as 0.d1 d2 ... dn * 10^dp with up to kMaxDigits digits,
// `truncated` recording a dropped nonzero tail. It is scaled by powers of
// two into [1/2, 1), then to the format's significand.
//
// Why 768 digits with a sticky bit are exact enough: each step multiplies or
// divides by 2^k exactly and then truncates. Truncation is monotone and
// leaves alone every number of at most 768 digits, and the midpoints of
// both formats are such numbers at every scale used here. A float64
// midpoint is an odd n < 2^54 times 2^-k with k <= 1075 (below 1), or an
// integer below 2^1024 (309 digits); n * 2^-k = n * 5^k / 10^k has exactly
// the digits of n * 5^k, at most 768 (n = 2^54 - 1, k = 1075: 767.65 as a
// logarithm; the midpoints just above 2^-1022). Scaling toward [1/2, 1),
// into the subnormal spacing and on to the significand only brings k closer
// to 54, so no intermediate has more. float32's midpoints (n < 2^25,
// k <= 150) have at most 113 digits. So for every midpoint M, the stored
// digits compare with M as the true value does, and equality with a dropped
// tail is flagged.

inline constexpr std::uint32_t kMaxDigits = 768;
// Digit arithmetic in the machine's word, shifting by up to kMaxShift bits
// a step: 10 * 2^59 < 2^64 and 10 * 2^28 < 2^32 bound every intermediate.
// A float64 value far from 1 takes about 1075 / kMaxShift steps over up to
// 768 digits.
using DigitWord = std::conditional_t<sizeof(void*) >= 8, std::uint64_t, std::uint32_t>;
inline constexpr unsigned kMaxShift = sizeof(DigitWord) == 8 ? 59 : 28;
inline constexpr std::uint32_t kShiftHeadroom = sizeof(DigitWord) == 8 ? 18 : 9;  // 2^59 < 10^18, 2^28 < 10^9: digits a left shift adds

struct Decimal {
  std::uint32_t n = 0;
  std::int32_t dp = 0;
  bool truncated = false;
  std::uint8_t d[kMaxDigits + kShiftHeadroom];

  void append(char c) noexcept {
    if (n < kMaxDigits) {
      d[n++] = static_cast<std::uint8_t>(c - '0');
    } else if (c != '0') {
      truncated = true;
    }
  }
  void trim() noexcept {
    while (n > 0 && d[n - 1] == 0) --n;
  }

  // Multiplies by 2^k, k <= kMaxShift.
  void shift_left(unsigned k) noexcept {
    // Written kShiftHeadroom places to the right of where it was read, from
    // the last digit back, so no digit is overwritten before it is read.
    DigitWord carry = 0;
    std::uint32_t out = n + kShiftHeadroom;
    for (std::uint32_t i = n; i-- > 0;) {
      const DigitWord v = (static_cast<DigitWord>(d[i]) << k) + carry;
      d[--out] = static_cast<std::uint8_t>(v % 10);
      carry = v / 10;
    }
    while (carry != 0) {
      d[--out] = static_cast<std::uint8_t>(carry % 10);
      carry /= 10;
    }
    const std::uint32_t added = kShiftHeadroom - out;
    std::uint32_t len = n + added;
    dp += static_cast<std::int32_t>(added);
    if (len > kMaxDigits) {
      for (std::uint32_t i = out + kMaxDigits; i < out + len; ++i) truncated = truncated || d[i] != 0;
      len = kMaxDigits;
    }
    std::memmove(d, d + out, len);
    n = len;
    trim();
  }

  // Divides by 2^k, k <= kMaxShift. The value is nonzero.
  void shift_right(unsigned k) noexcept {
    std::uint32_t read = 0;
    std::uint32_t write = 0;
    DigitWord acc = 0;
    while ((acc >> k) == 0) {
      acc = acc * 10 + (read < n ? d[read] : 0);
      ++read;
    }
    dp -= static_cast<std::int32_t>(read) - 1;
    const DigitWord mask = (DigitWord{1} << k) - 1;
    while (read < n) {
      const DigitWord digit = acc >> k;
      acc = (acc & mask) * 10 + d[read++];
      d[write++] = static_cast<std::uint8_t>(digit);  // write < read
    }
    while (acc != 0) {
      const DigitWord digit = acc >> k;
      acc = (acc & mask) * 10;
      if (write < kMaxDigits) {
        d[write++] = static_cast<std::uint8_t>(digit);
      } else if (digit != 0) {
        truncated = true;
      }
    }
    n = write;
    trim();
  }

  // Rounds to an integer, ties to even; the value fits Word.
  template <class Word>
  Word round_to_integer() const noexcept {
    if (dp < 0) return 0;  // below 1/10
    Word v = 0;
    std::uint32_t i = 0;
    for (; i < static_cast<std::uint32_t>(dp); ++i) v = v * 10 + (i < n ? d[i] : 0);
    if (i >= n) return v;
    const bool more = i + 1 < n || truncated;  // trimmed: any later digit is nonzero
    if (d[i] > 5 || (d[i] == 5 && (more || (v & 1) != 0))) ++v;
    return v;
  }
};

// floor(k * log2(10)) for k = 0 to 19, capped at kMaxShift: the shifts
// that keep a value of at least 10^k at or above 1, or one below 10^-k
// below 1.
inline constexpr auto kShiftForPower = [] {
  struct {
    unsigned v[20];
  } t{};
  std::uint64_t p = 1;
  for (auto& v : t.v) {
    unsigned bits = 0;
    while (bits < kMaxShift && (std::uint64_t{2} << bits) <= p) ++bits;
    v = bits;
    p *= 10;
  }
  return t;
}();

// Bits to shift right so that a value below 10^dp stays at or above 1 (dp
// >= 2), or drops below 1 (dp == 1).
inline unsigned right_shift_for(std::int32_t dp) noexcept {
  return dp == 1 ? 4 : dp <= 20 ? kShiftForPower.v[dp - 1] : kMaxShift;
}

// Bits to shift left so that a value below 10^dp (dp <= 0) stays below 1;
// a value in [1/10, 1/2) doubles.
inline unsigned left_shift_for(std::int32_t dp) noexcept {
  return dp == 0 ? 1 : -dp < 20 ? kShiftForPower.v[-dp] : kMaxShift;
}

template <class T>
inline typename BinaryFormat<T>::Bits decimal_to_bits(Decimal& dec) noexcept {
  using F = BinaryFormat<T>;
  using Bits = typename F::Bits;
  if (dec.n == 0) return 0;
  if (dec.dp >= F::kInfiniteDecimalPoint) return F::kInfinityBits;
  if (dec.dp <= F::kZeroDecimalPoint) return 0;

  std::int32_t exp2 = 0;  // value = digits * 2^exp2
  while (dec.dp > 0) {
    const unsigned k = right_shift_for(dec.dp);
    dec.shift_right(k);
    exp2 += static_cast<std::int32_t>(k);
  }
  while (dec.dp < 0 || (dec.dp == 0 && dec.d[0] < 5)) {
    const unsigned k = left_shift_for(dec.dp);
    dec.shift_left(k);
    exp2 -= static_cast<std::int32_t>(k);
  }
  // Now digits in [1/2, 1): the value is in [2^(e2), 2^(e2+1)).
  std::int32_t e2 = exp2 - 1;
  if (e2 > F::kMaxExponent) return F::kInfinityBits;
  if (e2 < F::kMinExponent - F::kMantissaBits - 2) return 0;  // below half the smallest subnormal
  if (e2 < F::kMinExponent) {
    // Subnormal: fix the exponent at the smallest normal one and let the
    // significand shrink.
    for (std::int32_t s = F::kMinExponent - e2; s > 0; s -= kMaxShift) {
      dec.shift_right(static_cast<unsigned>(s < static_cast<std::int32_t>(kMaxShift) ? s : kMaxShift));
      if (dec.n == 0) break;
    }
    e2 = F::kMinExponent;
  }
  for (unsigned s = F::kMantissaBits + 1; s > 0; s -= s < kMaxShift ? s : kMaxShift)
    dec.shift_left(s < kMaxShift ? s : kMaxShift);
  const Bits mant = dec.round_to_integer<Bits>();  // at most 2^(kMantissaBits + 1)
  // As in round_product, a carry out of the significand renormalises
  // through the field.
  return (static_cast<Bits>(e2 + F::kFieldOffset) << F::kMantissaBits) + mant;
}

// Digits beyond what Eisel-Lemire can take, or a value it left undecided.
template <class T>
[[gnu::noinline]] inline typename BinaryFormat<T>::Bits big_decimal(const DigitRuns& runs) noexcept {
  using F = BinaryFormat<T>;
  Decimal dec;
  const SignificantDigits start = skip_leading_zeros(runs);
  for (const char* p = start.int_first; p != runs.int_end; ++p) dec.append(*p);
  for (const char* f = start.frac_first; f != runs.frac_end; ++f) dec.append(*f);
  dec.trim();
  const std::int64_t dp = start.point + runs.exponent;
  if (dec.n == 0) return 0;
  if (dp >= F::kInfiniteDecimalPoint) return F::kInfinityBits;
  if (dp <= F::kZeroDecimalPoint) return 0;
  dec.dp = static_cast<std::int32_t>(dp);
  return decimal_to_bits<T>(dec);
}

}  // namespace novrel::text::number
