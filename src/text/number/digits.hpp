// Digit scanning for the number parser: ASCII digits read a word at a
// time, and the record of a number's digit runs that the exact stages
// start from. Internal to parse_float.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace novrel::text::number {

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

inline constexpr std::uint32_t kPow10U32[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

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

inline constexpr std::uint64_t kZeros = 0x3030303030303030u;  // '0' in every byte

// Digit runs already checked by the grammar: integer digits, fraction
// digits, and the decimal exponent as accumulated.
struct DigitRuns {
  const char* int_begin;
  const char* int_end;
  const char* frac_begin;
  const char* frac_end;
  std::int32_t exponent;
};

// Where the significant digits start, in the integer run or, when that is
// all zeros, in the fraction run; and the decimal point's place relative to
// the first of them (digits before it, or minus the zeros after it).
struct SignificantDigits {
  const char* int_first;
  const char* frac_first;
  std::int64_t point;
};

inline SignificantDigits skip_leading_zeros(const DigitRuns& runs) noexcept {
  const char* p = runs.int_begin;
  while (p != runs.int_end && *p == '0') ++p;
  std::int64_t point = runs.int_end - p;
  const char* f = runs.frac_begin;
  if (point == 0) {
    while (f != runs.frac_end && *f == '0') ++f;
    point = -(f - runs.frac_begin);
  }
  return {p, f, point};
}

}  // namespace novrel::text::number
