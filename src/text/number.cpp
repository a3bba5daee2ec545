// Decimal text to float32, correctly rounded straight from the digits.
//
// Three stages, cheapest first. Each later stage runs only when the one
// before cannot decide:
//   1. exact float32 arithmetic, when significand and power of ten are both
//      exact float32 values (one rounding, the correct one);
//   2. Eisel-Lemire: the significand times a 128-bit truncated power of five,
//      integer arithmetic only, with a proof of when the truncation cannot
//      change the rounding;
//   3. big-decimal arithmetic on up to 768 digits, exact up to a sticky bit.
// A double intermediate is never used: it would round twice.
#include "text/number.hpp"

#include <bit>
#include <cstddef>
#include <cstring>

namespace novrel::text {

namespace {

constexpr std::uint32_t kSignBit = 0x80000000u;
constexpr std::uint32_t kInfinityBits = 0x7F800000u;
constexpr std::uint32_t kNanBits = 0x7FC00000u;

// Below 10^-64 a significand under 2^64 stays below 2^-150 and rounds to
// zero; from 10^39 on any nonzero significand is beyond the overflow
// midpoint. The power table covers what lies between.
constexpr int kMinPower = -64;
constexpr int kMaxPower = 38;

struct Pow5 {
  std::uint64_t hi;
  std::uint64_t lo;
  int b;
};

constexpr Pow5 kPow5[] = {
#include "text/number_tables.inc"
};
static_assert(sizeof kPow5 / sizeof kPow5[0] == kMaxPower - kMinPower + 1);

constexpr std::uint64_t pow5_u64(int n) {
  std::uint64_t p = 1;
  for (int i = 0; i < n; ++i) p *= 5;
  return p;
}

// 5^27 is the largest power of five below 2^64.
constexpr auto kSmallPow5 = [] {
  struct {
    std::uint64_t v[28];
  } t{};
  for (int i = 0; i < 28; ++i) t.v[i] = pow5_u64(i);
  return t;
}();

constexpr std::uint64_t kPow10U64[] = {1,       10,       100,       1000,       10000,
                                       100000,  1000000,  10000000,  100000000};

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

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// Value of four digits in a little-endian word, first digit in the low
// byte, after subtracting '0' from every byte: pairs become 10a + b in bytes
// 0 and 2, then one multiply weights them 100 and 1 into bits 16-31.
inline std::uint32_t four_digits_value(std::uint32_t v) noexcept {
  v = v * 10 + (v >> 8);
  return ((v & 0x00FF00FFu) * (1 + (100u << 16))) >> 16;
}

// Value of the eight ASCII digits in a little-endian word, first digit in
// the low byte, after subtracting '0' from every byte.
inline std::uint32_t eight_digits_value(std::uint64_t v) noexcept {
  if constexpr (sizeof(void*) < 8) {
    // A 64-bit multiply costs three 32-bit ones here: two halves instead.
    return four_digits_value(static_cast<std::uint32_t>(v)) * 10000 +
           four_digits_value(static_cast<std::uint32_t>(v >> 32));
  } else {
    // Adjacent digits pair up into 16-bit lanes holding 10a + b (at most
    // 99, no carry between lanes). Then the four pairs, which sit in bytes
    // 0, 2, 4 and 6, are weighted 10^6, 10^4, 10^2, 1 by two independent
    // multiplies whose useful sums land in bits 32-63 below 10^8 < 2^32.
    v = v * 10 + (v >> 8);
    return static_cast<std::uint32_t>(((v & 0x000000FF000000FFu) * (100 + (1000000ull << 32)) +
                                       ((v >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32))) >>
                                      32);
  }
}

constexpr std::uint32_t kPow10U32[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

struct DigitScan {
  const char* end;
  std::uint64_t w;
};

// Appends the digit run at `p` to `w` (wrapping: callers only trust `w`
// when all runs together have at most 19 digits) and returns where the run
// ends. Takes eight bytes at a time while eight remain, converting however
// many of them lead with digits; `w` is passed by value because a char
// pointer may alias it, which would force a store per digit.
inline DigitScan scan_digits(const char* p, const char* end, std::uint64_t w) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      std::uint64_t v;
      std::memcpy(&v, p, 8);
      // A byte is a digit when its high nibble is 3 and adding 6 leaves it
      // so; a carry out of a non-digit byte only disturbs later bytes.
      const std::uint64_t flags =
          (v & 0xF0F0F0F0F0F0F0F0u) | (((v + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) >> 4);
      const std::uint64_t non_digits = flags ^ 0x3333333333333333u;
      if (non_digits == 0) {
        w = w * 100000000u + eight_digits_value(v - 0x3030303030303030u);
        p += 8;
        continue;
      }
      const int k = std::countr_zero(non_digits) / 8;  // leading digits
      if (k != 0) {
        // Borrows from the non-digit bytes run upwards, into the bytes the
        // shift discards; the vacated low bytes read as leading zeros.
        const std::uint64_t digits = (v - 0x3030303030303030u) << (8 * (8 - k));
        w = w * kPow10U32[k] + eight_digits_value(digits);
      }
      return {p + k, w};
    }
  }
  while (p != end && is_digit(*p)) {
    w = w * 10 + static_cast<unsigned>(*p - '0');
    ++p;
  }
  return {p, w};
}

// ---------------------------------------------------------------------------
// Eisel-Lemire.
//
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
bool round_product(std::uint64_t w, const Pow5& pow, int e2_shift, bool exact,
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

[[gnu::noinline]] bool eisel_lemire(std::uint64_t w, int q, std::uint32_t& bits) noexcept {
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

// ---------------------------------------------------------------------------
// Big-decimal fallback: the value as 0.d1 d2 ... dn * 10^dp with up to
// kMaxDigits digits, `truncated` recording a dropped nonzero tail. It is
// scaled by powers of two into [1/2, 1), then to the 24-bit significand.
//
// Why 768 digits with a sticky bit are exact enough: each step multiplies or
// divides by 2^k exactly and then truncates. Truncation is monotone and
// leaves alone every number of at most 768 digits, and float32 midpoints
// (dyadic, with at most ~112 significant digits at any scale used here)
// are such numbers. So for every midpoint M, the stored digits compare with
// M as the true value does, and equality with a dropped tail is flagged.

constexpr std::uint32_t kMaxDigits = 768;
constexpr unsigned kMaxShift = 28;  // 10 * 2^28 < 2^32: 32-bit digit arithmetic
constexpr std::uint32_t kShiftHeadroom = 9;  // 2^28 < 10^9: digits a left shift adds

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
    std::uint32_t carry = 0;
    std::uint32_t out = n + kShiftHeadroom;
    for (std::uint32_t i = n; i-- > 0;) {
      const std::uint32_t v = (static_cast<std::uint32_t>(d[i]) << k) + carry;
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
    std::uint32_t acc = 0;
    while ((acc >> k) == 0) {
      acc = acc * 10 + (read < n ? d[read] : 0);
      ++read;
    }
    dp -= static_cast<std::int32_t>(read) - 1;
    const std::uint32_t mask = (std::uint32_t{1} << k) - 1;
    while (read < n) {
      const std::uint32_t digit = acc >> k;
      acc = (acc & mask) * 10 + d[read++];
      d[write++] = static_cast<std::uint8_t>(digit);  // write < read
    }
    while (acc != 0) {
      const std::uint32_t digit = acc >> k;
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

  // Rounds to an integer, ties to even; the value is below 2^32.
  std::uint32_t round_to_integer() const noexcept {
    if (dp < 0) return 0;  // below 1/10
    std::uint32_t v = 0;
    std::uint32_t i = 0;
    for (; i < static_cast<std::uint32_t>(dp); ++i) v = v * 10 + (i < n ? d[i] : 0);
    if (i >= n) return v;
    const bool more = i + 1 < n || truncated;  // trimmed: any later digit is nonzero
    if (d[i] > 5 || (d[i] == 5 && (more || (v & 1) != 0))) ++v;
    return v;
  }
};

// Bits to shift right so that a value below 10^dp stays at or above 1 (dp
// >= 2), or drops below 1 (dp == 1).
unsigned right_shift_for(std::int32_t dp) noexcept {
  // floor((dp - 1) * log2(10)), capped.
  static constexpr unsigned kTable[] = {0, 4, 3, 6, 9, 13, 16, 19, 23, 26};
  return dp < 10 ? kTable[dp] : kMaxShift;
}

// Bits to shift left so that a value below 10^dp (dp <= 0) stays below 1.
unsigned left_shift_for(std::int32_t dp) noexcept {
  // floor(-dp * log2(10)), capped; a value in [1/10, 1/2) doubles.
  static constexpr unsigned kTable[] = {1, 3, 6, 9, 13, 16, 19, 23, 26};
  return -dp < 9 ? kTable[-dp] : kMaxShift;
}

std::uint32_t decimal_to_bits(Decimal& dec) noexcept {
  if (dec.n == 0) return 0;
  if (dec.dp > 39) return kInfinityBits;  // at least 10^39
  if (dec.dp < -45) return 0;             // below 10^-46 < 2^-150

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
  if (e2 > 127) return kInfinityBits;
  if (e2 < -151) return 0;
  if (e2 < -126) {
    // Subnormal: fix the exponent at -126 and let the significand shrink.
    for (std::int32_t s = -126 - e2; s > 0; s -= kMaxShift) {
      dec.shift_right(static_cast<unsigned>(s < static_cast<std::int32_t>(kMaxShift) ? s : kMaxShift));
      if (dec.n == 0) break;
    }
    e2 = -126;
  }
  dec.shift_left(24);
  const std::uint32_t mant = dec.round_to_integer();  // at most 2^24
  // As in round_product, a carry to 2^24 renormalises through the field.
  return (static_cast<std::uint32_t>(e2 + 126) << 23) + mant;
}

// Digit runs already checked by the grammar: integer digits, fraction
// digits, and the decimal exponent as accumulated.
struct DigitRuns {
  const char* int_begin;
  const char* int_end;
  const char* frac_begin;
  const char* frac_end;
  std::int32_t exponent;
};

[[gnu::noinline]] std::uint32_t big_decimal(const DigitRuns& runs) noexcept {
  Decimal dec;
  const char* p = runs.int_begin;
  while (p != runs.int_end && *p == '0') ++p;
  std::int64_t dp = runs.int_end - p;
  const char* f = runs.frac_begin;
  if (dp == 0) {
    while (f != runs.frac_end && *f == '0') ++f;
    dp = -(f - runs.frac_begin);
  }
  for (; p != runs.int_end; ++p) dec.append(*p);
  for (; f != runs.frac_end; ++f) dec.append(*f);
  dec.trim();
  dp += runs.exponent;
  if (dec.n == 0) return 0;
  if (dp > 40) return kInfinityBits;
  if (dp < -46) return 0;
  dec.dp = static_cast<std::int32_t>(dp);
  return decimal_to_bits(dec);
}

// More than 19 digits: the first 19 significant ones, and whether a nonzero
// digit follows them, bound the value between w and w + 1 (times 10^q).
[[gnu::noinline]] std::uint32_t many_digits(const DigitRuns& runs) noexcept {
  const char* p = runs.int_begin;
  while (p != runs.int_end && *p == '0') ++p;
  std::int64_t dp = runs.int_end - p;
  const char* f = runs.frac_begin;
  if (dp == 0) {
    while (f != runs.frac_end && *f == '0') ++f;
    dp = -(f - runs.frac_begin);
  }
  std::uint64_t w = 0;
  int kept = 0;
  bool truncated = false;
  for (; p != runs.int_end; ++p) {
    if (kept < 19) {
      w = w * 10 + static_cast<unsigned>(*p - '0');
      ++kept;
    } else if (*p != '0') {
      truncated = true;
      break;  // nothing later can matter
    }
  }
  for (; f != runs.frac_end; ++f) {
    if (kept < 19) {
      w = w * 10 + static_cast<unsigned>(*f - '0');
      ++kept;
    } else if (*f != '0') {
      truncated = true;
      break;  // nothing later can matter
    }
  }
  if (w == 0) return 0;
  const std::int64_t q64 = dp + runs.exponent - kept;
  if (q64 > kMaxPower) return kInfinityBits;
  if (q64 < kMinPower) return 0;
  const int q = static_cast<int>(q64);
  std::uint32_t lower;
  if (eisel_lemire(w, q, lower)) {
    if (!truncated) return lower;
    // w <= 10^19 - 1, so w + 1 still fits. Rounding is monotone: equal
    // results at both ends settle everything in between.
    std::uint32_t upper;
    if (eisel_lemire(w + 1, q, upper) && upper == lower) return lower;
  }
  return big_decimal(runs);
}

inline bool equals_ignoring_case(const char* p, const char* end, std::string_view lower) noexcept {
  if (static_cast<std::size_t>(end - p) != lower.size()) return false;
  for (char c : lower) {
    // OR-ing 0x20 maps only A-Z onto a-z among the letters compared here.
    if ((*p++ | 0x20) != c) return false;
  }
  return true;
}

inline FloatParse success(std::uint32_t bits) noexcept {
  return {std::bit_cast<float>(bits), true, FloatErrorKind::Invalid};
}

inline FloatParse failure(FloatErrorKind kind) noexcept { return {0.0f, false, kind}; }

inline std::uint64_t load_u64(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Top bits set in the bytes of `a` (ASCII text minus '0' in every byte)
// that are not digit values 0-9: a byte below '0' wrapped to 0x80 or more,
// one above '9' reaches 0x80 once 0x76 is added. Borrows and carries only
// run upwards from a bad byte, so the lowest flagged byte is the first bad one.
inline std::uint64_t digit_value_errors(std::uint64_t a) noexcept {
  return (a | (a + 0x7676767676767676u)) & 0x8080808080808080u;
}

inline std::uint32_t load_u32(const char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

constexpr std::uint64_t kZeros = 0x3030303030303030u;  // '0' in every byte

// The layout fixed-width writers produce, [+-] d . d{m} (e|E) (+|-) d d with
// 4 <= m <= 14, read with three loads instead of a byte loop: the word at
// the leading digit (the digit, the point, up to six fraction digits), for
// m > 6 the word that ends with the last fraction digit, and the exponent's
// four bytes. Between them they cover every byte, and every byte is checked.
// Any other text is left to the general grammar (false), and so is any
// value the common case of Eisel-Lemire cannot decide. The work is on one
// field's critical path and several fields overlap, so instructions and
// latency count more than anything: signs are applied without branches
// (they vary from field to field), and the branches left depend only on the
// column's format, the same for a whole file.
// Instantiated twice, for m <= 6 and for m > 6, each in its own function, so
// that the short layout's registers do not pay for the long one's.
template <bool kLong>
[[gnu::always_inline]] inline bool parse_fixed_layout(const char* p, std::size_t n, std::uint32_t& out) noexcept {
  if constexpr (std::endian::native != std::endian::little) {
    return false;
  } else {
    // Also keeps an empty text (whose data may be null) from being read.
    if (n < 10) return false;
    const unsigned lead_char = static_cast<unsigned char>(p[0]) - '+';
    const std::size_t s = (lead_char & ~2u) == 0;  // '+' or '-', two apart: a sign to skip
    const std::size_t m = n - s - 6;               // wraps below 6 bytes, refused with the rest
    if (kLong ? m - 7 > 7 : m - 4 > 2) return false;

    // 'e' or 'E', then '+' or '-', then two digits: subtracting "e+00"
    // leaves 0, 0 or 2, and two digit values, without borrows; any other
    // byte shows up with its top bit set either here or after adding 0x7F
    // (0x76 for the digits), and carries only run upwards from a bad byte.
    const std::uint32_t e = (load_u32(p + n - 4) | 0x20u) - 0x30302B65u;
    const std::uint32_t e_checked = e & ~0x0200u;
    std::uint32_t bad = (e_checked | (e_checked + 0x76767F7Fu)) & 0x80808080u;
    // Tens and units bytes times 2561 = 10 * 256 + 1: bits 8-15 collect
    // 10 * tens + units < 256, and nothing carries into them.
    const std::uint32_t exp_abs = (((e >> 16) * 2561u) >> 8) & 0xFF;
    const std::uint32_t exp_negative = (e >> 9) & 1;

    // The first two bytes trade places: the leading digit moves up over
    // the point, and the point, plus 2, comes first as a leading '0'. The
    // error check below then demands exactly 0 of that byte, not any
    // digit value, which checks the point. Both candidate words are loaded
    // before the sign is known (at least ten bytes are there), so the
    // load does not wait for it.
    const std::uint64_t h0 = load_u64(p);
    const std::uint64_t h1 = load_u64(p + 1);
    const std::uint64_t h = s != 0 ? h1 : h0;
    const std::uint64_t swapped = ((h << 8) & 0xFF00u) | ((h >> 8) & 0xFFu) | (h & ~std::uint64_t{0xFFFF});
    const std::uint64_t x = swapped - (kZeros - 2);
    // For m < 6 the high bytes are exponent characters, shifted out; the
    // vacated low bytes read as leading zeros.
    // Arithmetic, not a choice: n varies with the sign from field to field.
    const unsigned head_shift = kLong ? 0u : static_cast<unsigned>(8 * (6 - m));
    std::uint64_t errors = ((x | (x + 0x767676767676767Fu)) & 0x8080808080808080u) << head_shift;
    std::uint64_t w = eight_digits_value(x << head_shift);
    if constexpr (kLong) {
      // The last m - 6 digits are the high bytes of the word ending with
      // the fraction; its low bytes repeat digits (or the point) already
      // read, and are masked before subtracting so nothing borrows from them.
      const std::uint64_t keep = ~std::uint64_t{0} << (8 * (14 - m));
      const std::uint64_t tail = (load_u64(p + n - 12) & keep) - (kZeros & keep);
      errors |= digit_value_errors(tail);
      w = w * kPow10U32[m - 6] + eight_digits_value(tail);
    }
    if ((errors | bad) != 0) return false;

    const int q = static_cast<int>((exp_abs ^ -exp_negative) + exp_negative) - static_cast<int>(m);
    if (q < kMinPower || q > kMaxPower) return false;
    // Zero goes through the arithmetic as a zero product and is masked
    // afterwards; it is only shifted by a count taken as if it were one.
    std::uint32_t bits;
    if (!eisel_lemire_common(w, q, bits)) return false;
    out = (bits & -static_cast<std::uint32_t>(w != 0)) | (static_cast<std::uint32_t>(lead_char == 2) << 31);
    return true;
  }
}

}  // namespace

std::string_view render_parse_float_error(ParseFloatError error) noexcept {
  return error.kind == FloatErrorKind::Empty ? std::string_view{"ParseFloatError { kind: Empty }"}
                                             : std::string_view{"ParseFloatError { kind: Invalid }"};
}

namespace {

// Out of line so that the fixed layout's path in front of it saves no
// registers and sets up no frame.
[[gnu::noinline]] FloatParse parse_general(std::string_view text) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  if (p == end) return failure(FloatErrorKind::Empty);
  std::uint32_t sign = 0;
  if (*p == '+' || *p == '-') {
    sign = *p == '-' ? kSignBit : 0;
    ++p;
    if (p == end) return failure(FloatErrorKind::Invalid);
  }

  DigitRuns runs;
  runs.int_begin = p;
  // Integer parts are mostly a single digit: eight-byte steps would cost
  // more than they save there, and are kept for the fraction.
  DigitScan scan{p, 0};
  while (p != end && is_digit(*p)) {
    scan.w = scan.w * 10 + static_cast<unsigned>(*p - '0');
    ++p;
  }
  runs.int_end = runs.frac_begin = runs.frac_end = p;
  if (p != end && *p == '.') {
    runs.frac_begin = ++p;
    scan = scan_digits(p, end, scan.w);
    p = runs.frac_end = scan.end;
  }
  const std::uint64_t w = scan.w;
  const std::size_t int_digits = static_cast<std::size_t>(runs.int_end - runs.int_begin);
  const std::size_t frac_digits = static_cast<std::size_t>(runs.frac_end - runs.frac_begin);
  if (int_digits + frac_digits == 0) {
    const char* body = runs.int_begin;
    if (equals_ignoring_case(body, end, "inf") || equals_ignoring_case(body, end, "infinity")) {
      return success(sign | kInfinityBits);
    }
    if (equals_ignoring_case(body, end, "nan")) return success(sign | kNanBits);
    return failure(FloatErrorKind::Invalid);
  }

  std::int32_t exponent = 0;
  if (p != end && (*p | 0x20) == 'e') {
    ++p;
    bool negative_exponent = false;
    if (p != end && (*p == '+' || *p == '-')) {
      negative_exponent = *p == '-';
      ++p;
    }
    if (p == end || !is_digit(*p)) return failure(FloatErrorKind::Invalid);
    // Capped: past 65536 every result is already zero or infinity, and the
    // cap keeps the accumulator from overflowing on any length.
    do {
      if (exponent < 65536) exponent = exponent * 10 + (*p - '0');
      ++p;
    } while (p != end && is_digit(*p));
    if (negative_exponent) exponent = -exponent;
  }
  if (p != end) return failure(FloatErrorKind::Invalid);
  runs.exponent = exponent;

  if (int_digits + frac_digits > 19) return success(sign | many_digits(runs));
  if (w == 0) return success(sign);
  const int q = exponent - static_cast<int>(frac_digits);

  // Exact path: w and 10^|q| are exact float32 values, so the one rounding
  // of the multiply or divide is the correct one. On x87 the operation is
  // carried out in extended precision first; for float32 operands that
  // double rounding is innocuous (64 >= 2 * 24 + 2), and bit_cast forces the
  // value through its float32 representation.
  static constexpr float kPow10f[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                      1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  constexpr std::uint64_t kMaxExact = std::uint64_t{1} << 24;
  if (w <= kMaxExact && q >= -10 && q <= 10) {
    const float f = static_cast<float>(static_cast<std::uint32_t>(w));
    const float r = q < 0 ? f / kPow10f[-q] : f * kPow10f[q];
    return success(sign | std::bit_cast<std::uint32_t>(r));
  }
  if (w <= kMaxExact && q > 10 && q <= 17 && w * kPow10U64[q - 10] <= kMaxExact) {
    const float f = static_cast<float>(static_cast<std::uint32_t>(w * kPow10U64[q - 10]));
    return success(sign | std::bit_cast<std::uint32_t>(f * kPow10f[10]));
  }

  if (q >= kMinPower && q <= kMaxPower) {
    std::uint32_t bits;
    if (eisel_lemire_common(w, q, bits)) return success(sign | bits);
  }
  std::uint32_t bits;
  if (eisel_lemire(w, q, bits)) return success(sign | bits);
  return success(sign | big_decimal(runs));
}

[[gnu::noinline]] FloatParse parse_long_layout_or_general(std::string_view text) noexcept {
  if (std::uint32_t bits; parse_fixed_layout<true>(text.data(), text.size(), bits)) return success(bits);
  return parse_general(text);
}

}  // namespace

FloatParse parse_float32(std::string_view text) noexcept {
  std::uint32_t bits;
  if (parse_fixed_layout<false>(text.data(), text.size(), bits)) return success(bits);
  if constexpr (sizeof(void*) < 8) {
    // Arguments travel on the stack here: one more call level costs more
    // than the registers it would save.
    if (parse_fixed_layout<true>(text.data(), text.size(), bits)) return success(bits);
    return parse_general(text);
  } else {
    return parse_long_layout_or_general(text);
  }
}

}  // namespace novrel::text
