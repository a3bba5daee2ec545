// The plot-file format as the readers and the writer take it: where each
// parameter of a block lies, the header's count, and the width rules.
//
// A plot file is a header line ending in the parameter count N, N name lines,
// then blocks: a leading line followed by ceil(N/10) data lines of up to ten
// fixed-width fields each. Parameter j of a block sits in slot j % 10 of data
// line j / 10, at bytes [slot * width, (slot + 1) * width).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "failure/memory.hpp"

namespace novrel::reader {

inline constexpr std::size_t kFieldsPerLine = 10;

// Field bounds are k * width and (k + 1) * width with k <= 10; for a large
// width they exceed the size type, so they are computed one size wider and
// only then compared with the line length. A wrapped bound would select a
// wrong field instead of failing.
#if defined(__SIZEOF_INT128__) && SIZE_MAX > UINT32_MAX
__extension__ typedef unsigned __int128 WideIndex;
#else
using WideIndex = std::uint64_t;
static_assert(SIZE_MAX <= UINT32_MAX, "a 64-bit size type needs __int128");
#endif

// Where the lines of a block of N parameters lie. Counts of lines are 64-bit:
// N = 2^32 - 1 gives 429496731 lines a block.
class BlockGeometry {
 public:
  explicit BlockGeometry(std::uint32_t count) noexcept : count_(count) {}

  std::uint32_t count() const noexcept { return count_; }
  std::uint64_t data_lines() const noexcept {
    return (std::uint64_t{count_} + kFieldsPerLine - 1) / kFieldsPerLine;
  }
  // The leading line and the data lines.
  std::uint64_t lines() const noexcept { return 1 + data_lines(); }
  // The fields that data line `line` (counting from 0) holds.
  std::size_t fields_on(std::uint64_t line) const noexcept {
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(kFieldsPerLine, count_ - line * kFieldsPerLine));
  }
  static std::uint64_t data_line_of(std::uint32_t parameter) noexcept {
    return parameter / kFieldsPerLine;
  }
  static std::size_t slot_of(std::uint32_t parameter) noexcept {
    return parameter % kFieldsPerLine;
  }

 private:
  std::uint32_t count_;
};

// The header line's parameter count: a count of at least 1, or why there is
// none. `rejected` is the last token when it is not a count at all (the list
// reader prints it); a header without tokens, or with a count of 0, has
// neither: there would be no field to take and no first column to give one
// value per block.
struct HeaderCount {
  std::uint32_t count = 0;  // 0: no usable count
  std::optional<std::string_view> rejected;
};
HeaderCount count_of_header(std::string_view header);

// The width the first data line suggests: its length without trailing
// blanks over the fields it holds when whole, else its whole length over
// them when whole; nullopt when neither is.
std::optional<std::size_t> suggested_width(std::string_view line, std::size_t fields) noexcept;

// Whether fields `width` bytes wide cover the first data line: they end
// within it, and past them there are only blanks.
bool width_fits(std::string_view line, std::size_t fields, std::size_t width) noexcept;

// The names made unique as pandas makes column names unique: a repeat of X
// becomes X.1, X.2, ..., passing over names that the list holds anywhere,
// earlier or later. Parameters are chosen by these names.
failure::Vec<failure::String> unique_names(const failure::Vec<failure::String>& names);

// How many more blocks the rest of a file of `size` bytes holds, `taken` of
// them read, if they are as long as the first one, rounded up by one; 0 when
// the size is unknown. A hint for sizing storage: the file may grow, shrink
// or vary.
std::uint64_t blocks_like_the_first(std::uint64_t size, std::uint64_t taken,
                                    std::uint64_t first_block_bytes) noexcept;

}  // namespace novrel::reader
