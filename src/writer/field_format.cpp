// Fields from std::to_chars: it gives the digits, correctly rounded or
// shortest, as "[-]d[.ddd]e±dd[d]"; here they are only placed.
#include "writer/field_format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <string_view>

namespace novrel::text {
namespace {

// The least magnitude that reads back as infinity: the largest finite value
// plus half its last place, where rounding to nearest, ties to even, goes up
// to the next power of two. Its decimal digits in full and its exponent as
// to_chars writes it, so that comparing with it is exact on any machine.
template <class T>
struct OverflowEdge;
template <>
struct OverflowEdge<float> {
  static constexpr std::string_view exponent = "+38";
  static constexpr std::string_view digits = "340282356779733661637539395458142568448";
};
template <>
struct OverflowEdge<double> {
  static constexpr std::string_view exponent = "+308";
  static constexpr std::string_view digits =
      "1797693134862315807937289714053034150799341327100378269361737789804449682927647509"
      "4664901797758720709633028641669288791094655554785194040263065748867150582068190890"
      "2000708383676273854845817711531764475730270069855571366959622842914819860834936475"
      "292719074168444365510704342711559699508093042880177904174497792";
};

// Rounding a value near the largest finite one to few digits can round it
// past the edge ("1.7977E+308"): the text would read back as infinity. Such
// digits are put back toward zero, to the edge's own leading digits, the
// largest decimal of that length that reads back finite. `lead` is
// to_chars' first digit, followed by its point and fraction up to
// `exponent` (its 'e'), whose sign and digits end at `end`.
template <class T>
void keep_finite(char* lead, const char* exponent, const char* end) noexcept {
  using Edge = OverflowEdge<T>;
  if (std::string_view(exponent + 1, static_cast<std::size_t>(end - exponent - 1)) !=
      Edge::exponent)
    return;
  const std::size_t count =
      exponent == lead + 1 ? 1 : static_cast<std::size_t>(exponent - lead) - 1;
  const auto digit = [lead](std::size_t i) { return i == 0 ? lead : lead + 1 + i; };
  for (std::size_t i = 0; i < std::max(count, Edge::digits.size()); ++i) {
    const char ours = i < count ? *digit(i) : '0';
    const char edge = i < Edge::digits.size() ? Edge::digits[i] : '0';
    if (ours < edge) return;
    if (ours > edge) break;
  }
  // Only a value rounded to fewer digits than its type's shortest form
  // (17, 9) gets here, so the edge's leading digits stay below the edge.
  for (std::size_t i = 0; i < count; ++i) *digit(i) = Edge::digits[i];
}

void write_right_aligned(char* field, std::size_t width, std::string_view text) noexcept {
  std::memset(field, ' ', width - text.size());
  std::memcpy(field + width - text.size(), text.data(), text.size());
}

// The common case, placed where it lands without a second copy: a
// two-digit exponent, with a point (width >= 8). False, with the field
// scribbled over, for any other.
template <class T>
bool place_in_field(char* field, std::size_t width, T value, bool shortest,
                    int precision) noexcept {
  // to_chars writes the minus sign itself: the digits start at field + 1.
  const bool negative = std::signbit(value);
  char* const start = field + (negative ? 0 : 1);
  char* const last = field + width;
  const std::to_chars_result result =
      shortest ? std::to_chars(start, last, value, std::chars_format::scientific)
               : std::to_chars(start, last, value, std::chars_format::scientific, precision);
  if (result.ec != std::errc() || result.ptr[-4] != 'e') return false;
  if (!shortest) keep_finite<T>(start + (negative ? 1 : 0), result.ptr - 4, result.ptr);
  field[0] = negative ? '-' : ' ';
  if (result.ptr != last) {
    // Shortest digits: the exponent moves to the end and zeros fill the
    // fraction. Its four bytes are taken before the zeros overwrite them.
    char exponent[4];
    std::memcpy(exponent, result.ptr - 4, 4);
    char* fraction_end = result.ptr - 4;
    if (fraction_end == field + 2) *fraction_end++ = '.';  // one digit, no point
    std::memset(fraction_end, '0', static_cast<std::size_t>(last - 4 - fraction_end));
    std::memcpy(last - 4, exponent, 4);
  }
  last[-4] = 'E';
  return true;
}

}  // namespace

template <class T>
void format_field(char* field, std::size_t width, T value) noexcept {
  if (!std::isfinite(value)) {
    const bool negative = std::signbit(value);
    write_right_aligned(field, width,
                        std::isnan(value) ? (negative ? "-nan" : "nan") : (negative ? "-inf" : "inf"));
    return;
  }
  // The shortest form has at most max_digits10 significant digits (9, 17);
  // the layout gives width - 6 of them where the exponent has two digits.
  bool shortest = width >= std::numeric_limits<T>::max_digits10 + 6u;
  int precision = width > 7 ? static_cast<int>(width - 7) : 0;
  if (width >= 8 && place_in_field(field, width, value, shortest, precision)) return;
  // Longest text: "-d." + kMaxFieldWidth - 7 digits + "e-308".
  char text[kMaxFieldWidth + 8];
  for (;;) {
    // Never short of room (see above): ec is always clear.
    const char* const end =
        shortest ? std::to_chars(text, std::end(text), value, std::chars_format::scientific).ptr
                 : std::to_chars(text, std::end(text), value, std::chars_format::scientific,
                                 precision)
                       .ptr;
    const char* const exponent = end[-4] == 'e' ? end - 4 : end - 5;
    const bool negative = text[0] == '-';
    char* const lead = text + (negative ? 1 : 0);
    const std::size_t fraction_digits =
        exponent > lead + 1 ? static_cast<std::size_t>(exponent - (lead + 2)) : 0;
    const auto exponent_bytes = static_cast<std::size_t>(end - exponent);
    // Sign slot, lead digit and point take three bytes; a negative room
    // leaves no point. The minimum widths keep "-dE+xx(x)" within the field.
    const std::ptrdiff_t room = static_cast<std::ptrdiff_t>(width) - 3 -
                                static_cast<std::ptrdiff_t>(exponent_bytes);
    const std::size_t fraction_shown = room > 0 ? static_cast<std::size_t>(room) : 0;
    if (fraction_digits > fraction_shown) {
      // A three-digit exponent took a digit from the fraction. Rounding to
      // fewer digits can only raise the exponent, so this ends by precision
      // 0, which always fits.
      shortest = false;
      precision = static_cast<int>(fraction_shown);
      continue;
    }
    if (!shortest) keep_finite<T>(lead, exponent, end);
    const std::size_t used = 2 + (fraction_shown != 0 ? 1 + fraction_shown : 0) + exponent_bytes;
    char* out = field;
    std::memset(out, ' ', width - used);
    out += width - used;
    *out++ = negative ? '-' : ' ';
    *out++ = *lead;
    if (fraction_shown != 0) {
      *out++ = '.';
      std::memcpy(out, lead + 2, fraction_digits);
      std::memset(out + fraction_digits, '0', fraction_shown - fraction_digits);
      out += fraction_shown;
    }
    *out++ = 'E';
    std::memcpy(out, exponent + 1, exponent_bytes - 1);
    return;
  }
}

template void format_field<float>(char*, std::size_t, float) noexcept;
template void format_field<double>(char*, std::size_t, double) noexcept;

}  // namespace novrel::text
