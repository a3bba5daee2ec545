// Numbers to fixed-width fields, in the layout that parse_float32 and the
// whole-line decoder read fastest:
//   a space or sign, one digit, a point, w - 7 digits, E, a sign, two digits
// (" 1.01325E+05" for w = 12), right-aligned in the field's w bytes.
#pragma once

#include <cstddef>
#include <type_traits>

namespace novrel::text {

// The narrowest field that holds one significant digit of every value of
// the type with its sign slot: "-3E+38" for float, whose exponents all have
// two digits, and "-1E+308" for double, whose exponents may have three.
template <class T>
inline constexpr std::size_t kMinFieldWidth = std::is_same_v<T, float> ? 6 : 7;

// std::to_chars takes the precision as an int; past 767 significant digits
// (the longest exact expansion of a double) a wider field adds only zeros.
inline constexpr std::size_t kMaxFieldWidth = 1024;

// Writes `value` into field[0, width), kMinFieldWidth<T> <= width <=
// kMaxFieldWidth, right-aligned, with width - 6 significant digits where the
// exponent has two digits, one fewer where it has three, and at least one.
//
// Where every value of the type has a shortest round-trip form within those
// digits (float at width 15 and up, double at 23 and up), the field holds
// that form padded with zeros: a float 0.1 is " 1.00000000E-01", so a reader
// in double precision sees the number that was meant, and the float reads
// back bit for bit. Narrower fields hold the value correctly rounded (ties
// to even) to their digits, except where that would read back as infinity
// (the largest double at width 12 is not "1.7977E+308" but "1.7976E+308"):
// there, the largest decimal of those digits that reads back finite, which
// is the value rounded toward zero. Infinities are "inf" and "-inf"; a NaN
// is "nan" or "-nan" after its sign bit (its payload is not kept); -0.0
// keeps its sign. Never allocates.
template <class T>
void format_field(char* field, std::size_t width, T value) noexcept;

extern template void format_field<float>(char*, std::size_t, float) noexcept;
extern template void format_field<double>(char*, std::size_t, double) noexcept;

}  // namespace novrel::text
