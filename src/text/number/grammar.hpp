// The general grammar of parse_float: the syntax of a decimal number or a
// special value, checked byte by byte, and the digits it holds, whatever
// the format they are to become. Internal to parse_float.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text/number/digits.hpp"

namespace novrel::text::number {

enum class Form : std::uint8_t { Digits, Infinity, Nan, Empty, Invalid };

// What the grammar found. For Digits, `w` is the integer and fraction
// digits read as one integer (it wraps past 19 digits, where only `runs`
// count); the value is sign, w * 10^(runs.exponent - fraction digits).
struct Scanned {
  Form form;
  bool negative;
  std::uint64_t w;
  std::size_t digits;  // integer and fraction digits together
  DigitRuns runs;

  std::size_t fraction_digits() const noexcept {
    return static_cast<std::size_t>(runs.frac_end - runs.frac_begin);
  }
};

inline bool equals_ignoring_case(const char* p, const char* end, std::string_view lower) noexcept {
  if (static_cast<std::size_t>(end - p) != lower.size()) return false;
  for (char c : lower) {
    // OR-ing 0x20 maps only A-Z onto a-z among the letters compared here.
    if ((*p++ | 0x20) != c) return false;
  }
  return true;
}

[[gnu::always_inline]] inline Scanned scan_number(std::string_view text) noexcept {
  Scanned out{Form::Invalid, false, 0, 0, {}};
  const char* p = text.data();
  const char* const end = p + text.size();
  if (p == end) {
    out.form = Form::Empty;
    return out;
  }
  if (*p == '+' || *p == '-') {
    out.negative = *p == '-';
    ++p;
    if (p == end) return out;
  }

  DigitRuns& runs = out.runs;
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
  out.w = scan.w;
  out.digits = static_cast<std::size_t>(runs.int_end - runs.int_begin) + out.fraction_digits();
  if (out.digits == 0) {
    const char* body = runs.int_begin;
    if (equals_ignoring_case(body, end, "inf") || equals_ignoring_case(body, end, "infinity")) {
      out.form = Form::Infinity;
    } else if (equals_ignoring_case(body, end, "nan")) {
      out.form = Form::Nan;
    }
    return out;
  }

  std::int32_t exponent = 0;
  if (p != end && (*p | 0x20) == 'e') {
    ++p;
    bool negative_exponent = false;
    if (p != end && (*p == '+' || *p == '-')) {
      negative_exponent = *p == '-';
      ++p;
    }
    if (p == end || !is_digit(*p)) return out;
    // Capped: past 65536 every result is already zero or infinity, and the
    // cap keeps the accumulator from overflowing on any length.
    do {
      if (exponent < 65536) exponent = exponent * 10 + (*p - '0');
      ++p;
    } while (p != end && is_digit(*p));
    if (negative_exponent) exponent = -exponent;
  }
  if (p != end) return out;
  runs.exponent = exponent;
  out.form = Form::Digits;
  return out;
}

}  // namespace novrel::text::number
