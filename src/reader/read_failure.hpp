// Why a read into rows failed, and where: a value thrown at the failing site
// with everything known there, so nothing is worked out afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "failure/memory.hpp"
#include "text/io_error.hpp"

namespace novrel {

enum class ReadProblem : std::uint8_t {
  os_error,         // opening or reading the file failed; see ReadError::os_error
  not_utf8,         // a line is not valid UTF-8
  no_header,        // the file is empty
  header_cut,       // the file ends inside the header line
  bad_count,        // the header line does not end with a parameter count of at least 1
  names_missing,    // the file ends among the name lines
  block_cut,        // the file ends where a line of a block is due
  line_cut,         // the file ends inside a data line
  field_outside,    // a field lies beyond its line's end or across a character
  not_a_number,     // a field is not a decimal number
  text_after_fields,  // a data line holds more than blanks after its last field
  width_unknown,    // the first data line's length is not a whole number of fields
  width_mismatch,   // the first data line suggests another width than the one asked for
  no_parameter,     // a chosen parameter index is not in the file
  no_name,          // a chosen parameter name is not in the file
  parameter_twice,  // a parameter is chosen twice
  too_large,        // the values could never fit in memory
  out_of_memory,    // memory ran out
};

// Each problem's name, as Python sees it, and its wording: a str.format
// template over the error's fields (text, width, suggested_width, count,
// parameter), for the layer that knows the path to put it after the place.
// Where the wording suggests an option of read(), `option` is its keyword and
// the wording holds {option} where it is spelled, so that each caller (a
// function call, a command line) spells it its own way.
struct ProblemText {
  std::string_view name;
  std::string_view wording;
  std::string_view option = {};
};
const ProblemText& text_of(ReadProblem problem) noexcept;
inline constexpr std::size_t kProblemCount = static_cast<std::size_t>(ReadProblem::out_of_memory) + 1;

inline constexpr std::size_t kShownBytes = 60;

struct ReadError {
  ReadProblem problem = ReadProblem::os_error;
  int os_error = 0;         // errno, for ReadProblem::os_error
  std::uint64_t line = 0;   // the line at fault, counting from 1; 0 for none
  std::optional<std::uint64_t> block;      // the block at fault, counting from 0
  std::optional<std::uint32_t> parameter;  // the parameter at fault, counting from 0
  failure::String name;     // that parameter's name
  std::optional<failure::String> text;  // the field or line at fault, cut to kShownBytes
  std::size_t width = 0;    // the field width in use; 0 before it was known
  std::size_t suggested_width = 0;  // the first data line's suggestion, when whole
  std::uint32_t count = 0;  // the parameter count, once read

  // The problem at `line`, or at no line; an os_error's errno is `code`.
  explicit ReadError(ReadProblem problem, std::uint64_t line = 0, int code = 0)
      : problem(problem), os_error(code), line(line) {}
  // A failed system call, errno `code`.
  static ReadError os(int code, std::uint64_t line = 0) {
    return ReadError(ReadProblem::os_error, line, code);
  }
  // A line its source could not give: a failed read, or bytes that are not UTF-8.
  static ReadError of_line(const text::IoError& failed, std::uint64_t line) {
    return failed.is_os() ? os(failed.code(), line) : ReadError(ReadProblem::not_utf8, line);
  }

  // Sets `text` to at most kShownBytes of `bytes`, cut back to a character
  // boundary.
  ReadError& showing(std::string_view bytes);
};

}  // namespace novrel
