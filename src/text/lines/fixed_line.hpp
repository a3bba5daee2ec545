// A data line's fields decoded together, when they have the layout that
// fixed-width writers produce.
//
// The layout of one field of width w = m + 7 (1 <= m <= 8) fills it exactly:
//   a space or sign, one digit, a point, m digits, e or E, a sign, two digits
// (" 1.01325E+05" for w = 12). A line's fields are validated and converted
// several at a time with SIMD instructions chosen at run time, to float32 or
// to float64. Whatever does not match, or whose rounding the fast arithmetic
// cannot decide, is left to parse_float, which alone decides values outside
// the layout and errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text/kernel.hpp"

namespace novrel::text {

// Room for one line's decoded values: ten fields, rounded up to a whole step.
inline constexpr std::size_t kDecodedLineCapacity = 12;

class FixedLineDecoder {
 public:
  // For fields `width` bytes wide, with chosen_kernel(). The portable
  // kernel, a kernel the machine lacks and a width outside the layout give a
  // decoder that decodes nothing, leaving every field to parse_float.
  static FixedLineDecoder for_width(std::size_t width) noexcept;
  static FixedLineDecoder with_kernel(Kernel kernel, std::size_t width) noexcept;

  // Fields [0, fields) of `line`, which holds at least fields * width bytes
  // of well-formed UTF-8, fields <= 10. Bit k of the result is set when field
  // k had the layout and its value was decided; that value, bit for bit what
  // parse_float32 (for floats) or parse_float64 (for doubles) gives for the
  // trimmed field, is then in values[k]. Other entries of `values` are
  // meaningless. Floats may be written up to kDecodedLineCapacity entries;
  // doubles only into values[0, fields), so a caller may decode straight
  // into its own row.
  unsigned decode(std::string_view line, std::size_t fields, float* values) const noexcept {
    return run32_ == nullptr ? 0u : run32_(*layout_, line, fields, values);
  }
  unsigned decode(std::string_view line, std::size_t fields, double* values) const noexcept {
    return run64_ == nullptr ? 0u : run64_(*layout_, line, fields, values);
  }

  Kernel kernel() const noexcept { return kernel_; }

  struct Layout;

 private:
  template <class T>
  using Run = unsigned (*)(const Layout&, std::string_view, std::size_t, T*) noexcept;
  Run<float> run32_ = nullptr;
  Run<double> run64_ = nullptr;
  const Layout* layout_ = nullptr;
  Kernel kernel_ = Kernel::Portable;
};

}  // namespace novrel::text
