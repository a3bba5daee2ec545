// Decimal text to float32 or float64, correctly rounded straight from the
// digits.
//
// One algorithm for both formats: every stage is a template over the
// format, and reads what differs (significand bits, exponent range, the
// powers of ten that matter, the exact powers, infinity and zero
// thresholds) from BinaryFormat<T> (number_format.hpp) alone. The stages,
// cheapest first; each later one runs only when the one before says, in its
// return value, that it cannot decide:
//   0. the fixed-width layout, read with word loads, with the common case of
//      Eisel-Lemire (number_field_layout.hpp); any other text goes on to
//   1. the general grammar (number_grammar.hpp), then
//   2. exact arithmetic in the format itself, when significand and power of
//      ten are both exact values of it (one rounding, the correct one);
//      left out for float64 where the unit would round twice (x87);
//   3. Eisel-Lemire: the significand times a 128-bit truncated power of five,
//      integer arithmetic only, with a proof of when the truncation cannot
//      change the rounding; its common case first, then the full form
//      (number_eisel_lemire.hpp);
//   4. big-decimal arithmetic on up to 768 digits, exact up to a sticky bit
//      (number_big_decimal.hpp).
// None of them goes through a wider format: rounding to it first would
// round twice. (The whole-line decoder, fixed_line.cpp, does compute float32
// values through a double, under a proof of its own that sends every field
// it cannot round safely here.)
#include "text/number/number.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

#include "text/number/big_decimal.hpp"
#include "text/number/digits.hpp"
#include "text/number/eisel_lemire.hpp"
#include "text/number/field_layout.hpp"
#include "text/number/format.hpp"
#include "text/number/grammar.hpp"

namespace novrel::text {

namespace {

using namespace number;

template <class T>
using Bits = typename BinaryFormat<T>::Bits;

template <class T>
inline ParsedFloat<T> success(Bits<T> bits) noexcept {
  return {std::bit_cast<T>(bits), true, FloatErrorKind::Invalid};
}

template <class T>
inline ParsedFloat<T> failure(FloatErrorKind kind) noexcept {
  return {T{0}, false, kind};
}

// 10^0 to 10^22, each exact in both formats up to the format's
// kMaxExactPower (rounded, and unused, beyond it).
template <class T>
inline constexpr T kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline constexpr std::uint64_t kPow10U64[] = {1,           10,           100,           1000,           10000,
                                              100000,      1000000,      10000000,      100000000,      1000000000,
                                              10000000000, 100000000000, 1000000000000, 10000000000000, 100000000000000,
                                              1000000000000000};

// w <= kMaxExactSignificand / 10^k: w * 10^k is then still an exact value.
template <class T>
inline constexpr auto kMaxExactTimesPow10 = [] {
  struct {
    std::uint64_t v[16];
  } t{};
  std::uint64_t p = 1;
  for (auto& v : t.v) {
    v = BinaryFormat<T>::kMaxExactSignificand / p;
    p *= 10;
  }
  return t;
}();

// w and 10^|q| are exact values of T, so the one rounding of the multiply
// or divide is the correct one where T's arithmetic rounds once
// (BinaryFormat<T>::kRoundsOnce); bit_cast forces the value through its
// representation. False when either is not exact.
template <class T>
inline bool exact_product([[maybe_unused]] std::uint64_t w, [[maybe_unused]] int q,
                          [[maybe_unused]] Bits<T>& bits) noexcept {
  using F = BinaryFormat<T>;
  constexpr int kMaxPower = F::kMaxExactPower;
  if constexpr (!F::kRoundsOnce) {
    return false;
  } else {
    if (w > F::kMaxExactSignificand) return false;
    if (q >= -kMaxPower && q <= kMaxPower) {
      const T f = static_cast<T>(static_cast<typename F::ExactInteger>(w));
      bits = std::bit_cast<Bits<T>>(q < 0 ? f / kExactPow10<T>[-q] : f * kExactPow10<T>[q]);
      return true;
    }
    // A small w may take part of a larger power into the significand: up
    // to 10^7 (float32) or 10^15 (float64), below kMaxExactSignificand.
    constexpr int kMaxShifted = kMaxPower + (F::kMantissaBits + 1) * 3 / 10;
    if (q > kMaxPower && q <= kMaxShifted && w <= kMaxExactTimesPow10<T>.v[q - kMaxPower]) {
      const T f = static_cast<T>(static_cast<typename F::ExactInteger>(w * kPow10U64[q - kMaxPower]));
      bits = std::bit_cast<Bits<T>>(f * kExactPow10<T>[kMaxPower]);
      return true;
    }
    return false;
  }
}

// More than 19 digits: the first 19 significant ones, and whether a nonzero
// digit follows them, bound the value between w and w + 1 (times 10^q).
template <class T>
[[gnu::noinline]] Bits<T> many_digits(const DigitRuns& runs) noexcept {
  using F = BinaryFormat<T>;
  const SignificantDigits start = skip_leading_zeros(runs);
  std::uint64_t w = 0;
  int kept = 0;
  bool truncated = false;
  const char* const spans[2][2] = {{start.int_first, runs.int_end},
                                   {start.frac_first, runs.frac_end}};
  for (const auto& span : spans) {
    // A nonzero digit past the 19th ends the scan: nothing later can matter.
    for (const char* p = span[0]; p != span[1] && !truncated; ++p) {
      if (kept < 19) {
        w = w * 10 + static_cast<unsigned>(*p - '0');
        ++kept;
      } else {
        truncated = *p != '0';
      }
    }
  }
  if (w == 0) return 0;
  const std::int64_t q64 = start.point + runs.exponent - kept;
  if (q64 > F::kMaxPower) return F::kInfinityBits;
  if (q64 < F::kMinPower) return 0;
  const int q = static_cast<int>(q64);
  Bits<T> lower;
  if (eisel_lemire<T>(w, q, lower)) {
    if (!truncated) return lower;
    // w <= 10^19 - 1, so w + 1 still fits. Rounding is monotone: equal
    // results at both ends settle everything in between.
    Bits<T> upper;
    if (eisel_lemire<T>(w + 1, q, upper) && upper == lower) return lower;
  }
  return big_decimal<T>(runs);
}

// The unsigned value of digits the grammar accepted.
template <class T>
inline Bits<T> digits_to_bits(const Scanned& number) noexcept {
  using F = BinaryFormat<T>;
  if (number.digits > 19) return many_digits<T>(number.runs);
  const std::uint64_t w = number.w;
  if (w == 0) return 0;
  const int q = number.runs.exponent - static_cast<int>(number.fraction_digits());
  Bits<T> bits;
  if (exact_product<T>(w, q, bits)) return bits;
  if (q >= F::kMinPower && q <= F::kMaxPower && eisel_lemire_common<T>(w, q, bits)) return bits;
  if (eisel_lemire<T>(w, q, bits)) return bits;
  return big_decimal<T>(number.runs);
}

// Out of line so that the field layout's path in front of it saves no
// registers and sets up no frame.
template <class T>
[[gnu::noinline]] ParsedFloat<T> parse_general(std::string_view text) noexcept {
  using F = BinaryFormat<T>;
  const Scanned number = scan_number(text);
  const Bits<T> sign = static_cast<Bits<T>>(number.negative) << F::kSignShift;
  switch (number.form) {
    case Form::Digits: return success<T>(sign | digits_to_bits<T>(number));
    case Form::Infinity: return success<T>(sign | F::kInfinityBits);
    case Form::Nan: return success<T>(sign | F::kNanBits);
    case Form::Empty: return failure<T>(FloatErrorKind::Empty);
    case Form::Invalid: break;
  }
  return failure<T>(FloatErrorKind::Invalid);
}

template <class T>
[[gnu::noinline]] ParsedFloat<T> parse_long_layout_or_general(std::string_view text) noexcept {
  if (Bits<T> bits; parse_field_layout<T, true>(text.data(), text.size(), bits)) return success<T>(bits);
  return parse_general<T>(text);
}

}  // namespace

std::string_view render_parse_float_error(ParseFloatError error) noexcept {
  return error.kind == FloatErrorKind::Empty ? std::string_view{"ParseFloatError { kind: Empty }"}
                                             : std::string_view{"ParseFloatError { kind: Invalid }"};
}

template <class T>
ParsedFloat<T> parse_float(std::string_view text) noexcept {
  Bits<T> bits;
  if (parse_field_layout<T, false>(text.data(), text.size(), bits)) return success<T>(bits);
  if constexpr (sizeof(void*) < 8) {
    // Arguments travel on the stack here: one more call level costs more
    // than the registers it would save.
    if (parse_field_layout<T, true>(text.data(), text.size(), bits)) return success<T>(bits);
    return parse_general<T>(text);
  } else {
    return parse_long_layout_or_general<T>(text);
  }
}

template ParsedFloat<float> parse_float<float>(std::string_view) noexcept;
template ParsedFloat<double> parse_float<double>(std::string_view) noexcept;

}  // namespace novrel::text
