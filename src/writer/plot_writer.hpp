// The plot-file writer: rows of values back into the file format that
// read_plot_rows and rust_read_torvask read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

namespace novrel {

struct PlotTable {
  std::string_view title{};                // the header line's text before the count
  std::span<const std::string_view> names{};  // one name line each
  // blocks * names.size() values: parameter j of block b at b * N + j.
  std::variant<std::span<const float>, std::span<const double>> values{};
  std::size_t blocks = 0;
};

struct WriteOptions {
  std::size_t width = 15;  // of a field, in bytes
  // Blocks are formatted this many at a time, in threads; 0: one per
  // processor.
  unsigned threads = 0;
  // Called between rounds of formatting, every threads * 2 MiB written. It
  // may throw to abandon the write: the target is then left as it was.
  void (*poll)(void* context) = nullptr;
  void* poll_context = nullptr;
};

enum class WriteProblem : std::uint8_t {
  os_error,        // creating, writing or renaming the file failed; see WriteError::os_error
  bad_count,       // no parameter, or more than a parameter count can say
  bad_width,       // outside [kMinFieldWidth<T>, kMaxFieldWidth] for the values' type
  line_break,      // the title or a name holds a line feed or carriage return
  out_of_memory,   // memory ran out
};

struct WriteError {
  WriteProblem problem = WriteProblem::os_error;
  int os_error = 0;                   // errno, for WriteProblem::os_error
  std::optional<std::size_t> name{};  // the name at fault for line_break; none: the title
  std::size_t min_width = 0;          // for bad_width: the range allowed
  std::size_t max_width = 0;
};

// Writes `table` to the file at `file_path` (bytes, no NUL):
//   the title padded with spaces to 30 bytes, a space, the parameter count N;
//   the N names, one a line;
//   per block, its number counting from 1 right-aligned in 4 columns, then
//   ceil(N/10) data lines of up to ten fields of text::format_field.
// Every line ends in LF. The file is written beside the target under a
// temporary name, then renamed over it, so a failed or abandoned write
// leaves whatever was there before; an existing file's permissions are
// kept, and a symbolic link is followed. A target that exists and is not a
// regular file (a named pipe, a device) is written in place.
//
// Every failure is thrown as a WriteError, and whatever `options.poll`
// throws passes through unchanged.
void write_plot(std::string_view file_path, const PlotTable& table, const WriteOptions& options);

}  // namespace novrel
