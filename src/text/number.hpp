// Decimal text to float32, correctly rounded straight from the digits.
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

// Grammar: [+-] (digits [. digits] | . digits) [(e|E) [+-] digits]
//          | [+-] (inf | infinity | nan), letters in any case.
// Never allocates, never throws.
FloatParse parse_float32(std::string_view text) noexcept;
// The same grammar to the nearest double, ties to even.
ParsedFloat<double> parse_float64(std::string_view text) noexcept;
// T = float | double.
template <class T>
ParsedFloat<T> parse_float(std::string_view text) noexcept;

}  // namespace novrel::text
