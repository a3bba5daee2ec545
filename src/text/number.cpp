// Decimal text to float32, correctly rounded straight from the digits.
//
// The stages, cheapest first; each later one runs only when the one before
// says, in its return value, that it cannot decide:
//   0. the fixed-width layout, read with word loads, with the common case of
//      Eisel-Lemire (number_fixed_layout.hpp); any other text goes on to
//   1. the general grammar (number_grammar.hpp), then
//   2. exact float32 arithmetic, when significand and power of ten are both
//      exact float32 values (one rounding, the correct one);
//   3. Eisel-Lemire: the significand times a 128-bit truncated power of five,
//      integer arithmetic only, with a proof of when the truncation cannot
//      change the rounding; its common case first, then the full form
//      (number_eisel_lemire.hpp);
//   4. big-decimal arithmetic on up to 768 digits, exact up to a sticky bit
//      (number_big_decimal.hpp).
// None of them goes through a double: a double rounding first would round
// twice. (The whole-line decoder, fixed_line.cpp, does use one, under a
// proof of its own that sends every field it cannot round safely here.)
#include "text/number.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

#include "text/number_big_decimal.hpp"
#include "text/number_digits.hpp"
#include "text/number_eisel_lemire.hpp"
#include "text/number_fixed_layout.hpp"
#include "text/number_grammar.hpp"

namespace novrel::text {

namespace {

using namespace number;

inline FloatParse success(std::uint32_t bits) noexcept {
  return {std::bit_cast<float>(bits), true, FloatErrorKind::Invalid};
}

inline FloatParse failure(FloatErrorKind kind) noexcept { return {0.0f, false, kind}; }

// w and 10^|q| are exact float32 values, so the one rounding of the multiply
// or divide is the correct one. On x87 the operation is carried out in
// extended precision first; for float32 operands that double rounding is
// innocuous (64 >= 2 * 24 + 2), and bit_cast forces the value through its
// float32 representation. False when either is not exact.
inline bool exact_product(std::uint64_t w, int q, std::uint32_t& bits) noexcept {
  static constexpr float kPow10f[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                      1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  static constexpr std::uint64_t kPow10U64[] = {1,      10,      100,      1000,     10000,
                                                100000, 1000000, 10000000, 100000000};
  constexpr std::uint64_t kMaxExact = std::uint64_t{1} << 24;
  if (w > kMaxExact) return false;
  if (q >= -10 && q <= 10) {
    const float f = static_cast<float>(static_cast<std::uint32_t>(w));
    bits = std::bit_cast<std::uint32_t>(q < 0 ? f / kPow10f[-q] : f * kPow10f[q]);
    return true;
  }
  // A small w may take part of a larger power into the significand.
  if (q > 10 && q <= 17 && w * kPow10U64[q - 10] <= kMaxExact) {
    const float f = static_cast<float>(static_cast<std::uint32_t>(w * kPow10U64[q - 10]));
    bits = std::bit_cast<std::uint32_t>(f * kPow10f[10]);
    return true;
  }
  return false;
}

// More than 19 digits: the first 19 significant ones, and whether a nonzero
// digit follows them, bound the value between w and w + 1 (times 10^q).
[[gnu::noinline]] std::uint32_t many_digits(const DigitRuns& runs) noexcept {
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

// The unsigned value of digits the grammar accepted.
inline std::uint32_t digits_to_bits(const Scanned& number) noexcept {
  if (number.digits > 19) return many_digits(number.runs);
  const std::uint64_t w = number.w;
  if (w == 0) return 0;
  const int q = number.runs.exponent - static_cast<int>(number.fraction_digits());
  std::uint32_t bits;
  if (exact_product(w, q, bits)) return bits;
  if (q >= kMinPower && q <= kMaxPower && eisel_lemire_common(w, q, bits)) return bits;
  if (eisel_lemire(w, q, bits)) return bits;
  return big_decimal(number.runs);
}

// Out of line so that the fixed layout's path in front of it saves no
// registers and sets up no frame.
[[gnu::noinline]] FloatParse parse_general(std::string_view text) noexcept {
  const Scanned number = scan_number(text);
  switch (number.form) {
    case Form::Digits: return success(number.sign | digits_to_bits(number));
    case Form::Infinity: return success(number.sign | kInfinityBits);
    case Form::Nan: return success(number.sign | kNanBits);
    case Form::Empty: return failure(FloatErrorKind::Empty);
    case Form::Invalid: break;
  }
  return failure(FloatErrorKind::Invalid);
}

[[gnu::noinline]] FloatParse parse_long_layout_or_general(std::string_view text) noexcept {
  if (std::uint32_t bits; parse_fixed_layout<true>(text.data(), text.size(), bits)) return success(bits);
  return parse_general(text);
}

}  // namespace

std::string_view render_parse_float_error(ParseFloatError error) noexcept {
  return error.kind == FloatErrorKind::Empty ? std::string_view{"ParseFloatError { kind: Empty }"}
                                             : std::string_view{"ParseFloatError { kind: Invalid }"};
}

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
