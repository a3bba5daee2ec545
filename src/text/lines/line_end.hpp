// Line ends in a read buffer: the next one, with an ASCII test on the way,
// or how many there are.
#pragma once

#include <cstddef>

#include "text/kernel.hpp"

namespace novrel::text {

struct LineEnd {
  std::size_t lf;  // index of the first LF, or the size searched when none
  bool ascii;      // every byte before `lf` is ASCII (false: not known)
};

// Searches bytes [0, size). The SIMD kernels test the bytes for ASCII in the
// same pass, so that a plot file's all-ASCII lines need no UTF-8 check; the
// portable one leaves that to the check.
using FindLineEnd = LineEnd (*)(const char* bytes, std::size_t size) noexcept;

FindLineEnd line_end_finder(Kernel kernel) noexcept;

// The number of LFs in bytes [0, size): how block starts are found without
// looking at the lines.
using CountLineEnds = std::size_t (*)(const char* bytes, std::size_t size) noexcept;

CountLineEnds line_end_counter(Kernel kernel) noexcept;

}  // namespace novrel::text
