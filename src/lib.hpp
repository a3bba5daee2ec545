// The plot-file reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "failure/memory.hpp"

namespace novrel {

using Column = failure::Vec<float>;

struct PlotData {
  Column first_column;            // parameter 0 of every block
  failure::Vec<Column> columns;   // N-1 lists: parameter i+1 of every block
};

// Reads one plot file whose data fields are `n_digits` bytes wide, as lists.
//
// A failure is a failure::FatalError raised at its site: its report is on
// fd 2 by then (and a rejected parameter count has printed its line on fd 1
// first); the frames it leaves close the file and free all storage on the
// way up. Running out of memory aborts the process.
PlotData rust_read_torvask(std::string_view file_path, std::size_t n_digits);

// ---------------------------------------------------------------------------
// The same reading for array consumers: the values as rows, block after
// block, in one block of memory that can be handed on whole; the names; and
// failures as values that say where they happened.

// Floats in one malloc'd block, so that it can grow and shrink in place
// (large blocks are remapped, not copied) and pass to a new owner.
class FloatBlock {
 public:
  FloatBlock() noexcept = default;
  FloatBlock(FloatBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}
  FloatBlock& operator=(FloatBlock&& other) noexcept {
    FloatBlock dropped(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }
  ~FloatBlock() { failure::release_bytes(data_); }

  float* data() const noexcept { return data_; }
  std::size_t capacity() const noexcept { return capacity_; }
  // Room for `count` values; the first min(count, capacity()) are kept.
  void resize(std::size_t count);
  // The block passes to the caller, who frees it with failure::release_bytes.
  [[nodiscard]] float* release() noexcept {
    capacity_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  float* data_ = nullptr;
  std::size_t capacity_ = 0;
};

struct PlotRows {
  failure::Vec<failure::String> names;  // the name lines, without surrounding whitespace
  FloatBlock values;   // blocks * names.size() values: parameter j of block b at b * N + j
  std::size_t blocks = 0;
  std::size_t width = 0;  // of a field; 0 when no data line gave it and none was asked for
};

struct RowOptions {
  // 0: the first data line's length over the fields it holds.
  std::size_t width = 0;
  // A file that ends inside a block (its lines missing, or its last line cut
  // short, as while a simulation is still writing it) gives the blocks before
  // that one instead of failing.
  bool complete_blocks = false;
  // Called between blocks about every kPollBytes of input. It may throw to
  // abandon the read: everything is released on the way out.
  void (*poll)(void* context) = nullptr;
  void* poll_context = nullptr;
};

inline constexpr std::uint64_t kPollBytes = 4u << 20;

enum class ReadProblem : std::uint8_t {
  os_error,       // opening or reading the file failed; see ReadError::os_error
  not_utf8,       // a line is not valid UTF-8
  no_header,      // the file is empty
  bad_count,      // the header line does not end with a parameter count of at least 1
  names_missing,  // the file ends among the name lines
  block_cut,      // the file ends inside a block
  field_outside,  // a field lies beyond its line's end or across a character
  not_a_number,   // a field is not a decimal number
  width_unknown,  // the first data line's length is not a whole number of fields
  too_large,      // the values could never fit in memory
  out_of_memory,  // memory ran out
};

// What made read_plot_rows fail, and where.
struct ReadError {
  ReadProblem problem = ReadProblem::os_error;
  failure::String message;  // the reader's own message, as rust_read_torvask words it
  int os_error = 0;         // errno, for ReadProblem::os_error
  std::uint64_t line = 0;   // the line at fault, counting from 1; 0 for none
  std::optional<std::uint64_t> block;      // the block at fault, counting from 0
  std::optional<std::uint32_t> parameter;  // the parameter at fault, counting from 0
  failure::String name;     // that parameter's name
  failure::String text;     // the field or line at fault, cut to kShownBytes
  std::size_t width = 0;    // the field width in use; 0 before it was known
  std::size_t suggested_width = 0;  // the first data line's length over its fields, when whole
};

inline constexpr std::size_t kShownBytes = 60;

// Reads one plot file as rows. Writes nothing to fd 1 or fd 2 and never
// aborts: every failure, running out of memory included, is thrown as a
// ReadError, and whatever `options.poll` throws passes through unchanged.
PlotRows read_plot_rows(std::string_view file_path, const RowOptions& options);

}  // namespace novrel
