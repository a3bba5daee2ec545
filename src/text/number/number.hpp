// Decimal text to float32 or float64, correctly rounded straight from the
// digits.
#pragma once

#include <cstdint>
#include <string_view>

namespace novrel::text {

enum class FloatErrorKind : std::uint8_t { Empty, Invalid };

struct ParseFloatError {
  FloatErrorKind kind;
};

// "ParseFloatError { kind: Empty }" / "ParseFloatError { kind: Invalid }"
std::string_view render_parse_float_error(ParseFloatError error) noexcept;

template <class T>
struct ParsedFloat {
  T value;               // valid when ok
  bool ok;
  FloatErrorKind error;  // valid when !ok
};

using FloatParse = ParsedFloat<float>;

// The value of the text nearest to it in T (float or double), ties to even.
// Grammar: [+-] (digits [. digits] | . digits) [(e|E) [+-] digits]
//          | [+-] (inf | infinity | nan), letters in any case.
// Never allocates, never throws.
template <class T>
ParsedFloat<T> parse_float(std::string_view text) noexcept;

extern template ParsedFloat<float> parse_float<float>(std::string_view) noexcept;
extern template ParsedFloat<double> parse_float<double>(std::string_view) noexcept;

inline FloatParse parse_float32(std::string_view text) noexcept { return parse_float<float>(text); }
inline ParsedFloat<double> parse_float64(std::string_view text) noexcept { return parse_float<double>(text); }

}  // namespace novrel::text
