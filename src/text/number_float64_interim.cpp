// Stand-in for the float64 path until the generic parser and the double line
// kernel replace it: the grammar is parse_float32's, the value strtod's in
// the C locale, and the line decoder decodes nothing, leaving every field to
// parse_float64.
#include <locale.h>
#include <stdlib.h>

#include <array>
#include <string>

#include "text/fixed_line.hpp"
#include "text/number.hpp"

namespace novrel::text {

ParsedFloat<double> parse_float64(std::string_view text) noexcept {
  const FloatParse checked = parse_float32(text);
  if (!checked.ok) return {0.0, false, checked.error};
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  std::array<char, 128> small;
  if (text.size() < small.size()) {
    text.copy(small.data(), text.size());
    small[text.size()] = '\0';
    return {strtod_l(small.data(), nullptr, c_locale), true, FloatErrorKind::Invalid};
  }
  try {
    const std::string copy(text);
    return {strtod_l(copy.c_str(), nullptr, c_locale), true, FloatErrorKind::Invalid};
  } catch (...) {
    return {0.0, false, FloatErrorKind::Invalid};
  }
}

template <>
ParsedFloat<float> parse_float<float>(std::string_view text) noexcept {
  return parse_float32(text);
}

template <>
ParsedFloat<double> parse_float<double>(std::string_view text) noexcept {
  return parse_float64(text);
}

unsigned FixedLineDecoder::decode(std::string_view, std::size_t, double*) const noexcept {
  return 0;
}

}  // namespace novrel::text
