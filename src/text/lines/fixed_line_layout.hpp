// The whole-line decoder's per-width patterns (FixedLineDecoder::Layout):
// what each byte of a field may hold, where its digits go, and the weights
// that sum them. The kernels (fixed_line.cpp) read them; nothing in them
// depends on the instruction set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/lines/fixed_line.hpp"

namespace novrel::text {

inline constexpr std::size_t kMinWidth = 8;   // one fraction digit
inline constexpr std::size_t kMaxWidth = 15;  // nine significant digits, D < 2^30

// Every pattern is stored twice so that one 256-bit load gives it to both
// lanes.
struct FixedLineDecoder::Layout {
  // A byte b of the field is valid when
  // ((b | fold) - base) & sign_merge <= limit, or when it equals `space`.
  // fold folds the exponent letter's case; sign_merge merges '+' and '-'
  // (two apart) where either is allowed; limit is 9 for
  // digits, 0 for a fixed byte and 0xFF past the field; space is ' ' for the
  // leading position and 0xFF, which well-formed UTF-8 never holds, elsewhere.
  alignas(32) std::uint8_t base[32];
  alignas(32) std::uint8_t fold[32];
  alignas(32) std::uint8_t sign_merge[32];
  alignas(32) std::uint8_t limit[32];
  alignas(32) std::uint8_t space[32];
  // From the bytes less '0': 0-7 the significand's last eight digits
  // right-aligned with leading zeros, 9 a ninth digit in front of them,
  // 12-13 the exponent's digits, 14 its sign, zeros (z) elsewhere. For
  // " 1.01325E+05", width 12:
  //   position:   0  1  2  3  4  5  6  7  8  9 10 11 12 13 14 15
  //   takes byte: z  z  1  3  4  5  6  7  z  z  z  z 10 11  9  z
  //   that is:    0  0  1  0  1  3  2  5  0  0  0  0  0  5  +  0
  alignas(32) std::uint8_t digit_order[32];
  // Byte weights that pair the ordered bytes into 10a + b, and weigh the
  // exponent's sign by kSignWeight + m.
  alignas(32) std::int8_t weights[32];
  // Moves the last `width` of 16 bytes to the front, zeroing the rest: the
  // last field of a line is loaded ending at its end, never past it. For
  // width 12:
  //   position:   0  1  ... 11 12 13 14 15
  //   takes byte: 4  5  ... 15  z  z  z  z
  alignas(16) std::uint8_t tail[16];
  std::uint32_t width;
  std::int32_t index_offset;  // added to the weighted exponent: the kPow10 entry
};

// The layout of fields `width` bytes wide, kMinWidth <= width <= kMaxWidth.
const FixedLineDecoder::Layout& fixed_line_layout(std::size_t width) noexcept;

}  // namespace novrel::text
