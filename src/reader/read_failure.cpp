#include "reader/read_failure.hpp"

#include <array>

#include "text/lines/utf8.hpp"

namespace novrel {
namespace {

#define NOVREL_STILL_WRITTEN " (a simulation may still be writing the file)"
#define NOVREL_CUT_HINT "; {option} reads the blocks before it" NOVREL_STILL_WRITTEN

// In the order of ReadProblem.
constexpr std::array<ProblemText, kProblemCount> kProblems = {{
    {"os_error", ""},
    {"not_utf8", "the line is not valid UTF-8"},
    {"no_header",
     "the file is empty: a plot file begins with a header line that ends with the parameter "
     "count"},
    {"header_cut", "the file ends inside the header line {text!r}" NOVREL_STILL_WRITTEN},
    {"bad_count",
     "the header line {text!r} does not end with a parameter count (a whole number from 1 to "
     "4294967295)"},
    {"names_missing", "the file ends among the parameter names" NOVREL_STILL_WRITTEN},
    {"block_cut", "the file ends inside a block" NOVREL_CUT_HINT, "complete_blocks"},
    {"line_cut", "the file ends inside the data line {text!r}" NOVREL_CUT_HINT, "complete_blocks"},
    {"field_outside",
     "the field lies outside the data line {text!r}: the line is too short for fields {width} "
     "bytes wide, or a character straddles the field's edge"},
    {"not_a_number", "{text!r} is not a number"},
    {"text_after_fields",
     "the data line holds {text!r} after its last field (fields {width} bytes wide), where "
     "only spaces and tabs may follow"},
    {"width_unknown",
     "the first data line {text!r} is not a whole number of fields of one width; say how "
     "wide the fields are with {option}",
     "width"},
    {"width_mismatch",
     "the first data line {text!r} suggests {option}{suggested_width}, not {width}", "width"},
    {"no_parameter", "there is no parameter {text} in a file of {count} parameters"},
    {"no_name", "no parameter {text!r}"},
    {"parameter_twice", "parameter {parameter} is chosen twice"},
    {"too_large", "the parameter count is too large for the values ever to fit in memory"},
    {"out_of_memory", ""},
}};

#undef NOVREL_CUT_HINT
#undef NOVREL_STILL_WRITTEN

}  // namespace

const ProblemText& text_of(ReadProblem problem) noexcept {
  return kProblems[static_cast<std::size_t>(problem)];
}

ReadError& ReadError::showing(std::string_view bytes) {
  if (bytes.size() > kShownBytes) {
    std::size_t end = kShownBytes;
    while (end > 0 && text::is_continuation_byte(bytes[end])) --end;
    bytes = bytes.substr(0, end);
  }
  text.emplace(bytes);
  return *this;
}

}  // namespace novrel
