// The plot-file reader: the one place that knows the plot-file format.
//
// A plot file is a header line ending in the parameter count N, N name lines,
// then blocks: a leading line followed by ceil(N/10) data lines of up to ten
// fixed-width fields each. Parameter j of a block sits in slot j % 10 of data
// line j / 10, at bytes [slot * n_digits, (slot + 1) * n_digits).
#include "lib.hpp"

#include <errno.h>
#include <unistd.h>

#include <array>
#include <algorithm>
#include <cstdint>

#include "failure/fatal_error.hpp"
#include "text/fixed_line.hpp"
#include "text/io_error.hpp"
#include "text/message_text.hpp"
#include "text/line_source.hpp"
#include "text/number.hpp"
#include "text/tokens.hpp"
#include "text/utf8.hpp"

namespace novrel {
namespace {

using failure::String;
using failure::Where;
using text::is_continuation_byte;
using text::LineStatus;

constexpr std::size_t kFieldsPerLine = 10;

// The most lists one allocation may hold: what the column list of a huge N is
// checked against before anything is allocated (178956970 on 32-bit).
constexpr std::size_t kMaxColumnCount = failure::max_elements<Column>();

// Field bounds are k * n_digits and (k + 1) * n_digits with k <= 9; for a
// large width they exceed the size type, so they are computed one size wider
// and only then compared with the line length. A wrapped bound would select a
// wrong field instead of failing.
#if defined(__SIZEOF_INT128__) && SIZE_MAX > UINT32_MAX
__extension__ typedef unsigned __int128 WideIndex;
#else
using WideIndex = std::uint64_t;
static_assert(SIZE_MAX <= UINT32_MAX, "a 64-bit size type needs __int128");
#endif

// The field [start, end) does not lie within the line or does not start and
// end on character boundaries: raise the message for the first rule that
// applies. Out of line so the field loop stays small.
[[noreturn]] __attribute__((noinline, cold)) void raise_range_error(
    std::string_view line, WideIndex start, WideIndex end, Where where) {
  const std::size_t length = line.size();
  String message;
  auto out_of_bounds = [&](const char* which, WideIndex index) {
    message += which;
    message += " byte index ";
    text::append_decimal(message, index);
    message += " is out of bounds for string of length ";
    text::append_decimal(message, length);
  };
  auto inside_char = [&](const char* which, std::size_t index) {
    const text::CharAt ch = text::char_containing(line, index);
    message += which;
    message += " byte index ";
    text::append_decimal(message, index);
    message += " is not a char boundary; it is inside ";
    text::append_quoted_char(message, line, ch);
    message += " (bytes ";
    text::append_decimal(message, ch.first);
    message += "..";
    text::append_decimal(message, ch.last);
    message += " of string)";
  };
  auto inside = [&](WideIndex index) {
    return index < length && is_continuation_byte(line[static_cast<std::size_t>(index)]);
  };
  if (start > length) {
    out_of_bounds("start", start);
  } else if (end > length) {
    out_of_bounds("end", end);
  } else if (inside(start)) {
    inside_char("start", static_cast<std::size_t>(start));
  } else {
    inside_char("end", static_cast<std::size_t>(end));
  }
  failure::raise_formatted(std::move(message), where);
}

[[noreturn]] void raise_io(std::string_view message, const text::IoError& error,
                           Where where = Where::current()) {
  failure::raise_with_cause(message, text::render_io_error(error), where);
}

// The rejected count's diagnostic goes straight to fd 1, whole. A closed
// stdout (EBADF) silently drops it; any other failure to write ends the call.
void print_rejected_count(std::string_view token) {
  String line("Error: '");
  line.append(token);
  line += "' is not a valid number of parameters!\n";
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n = ::write(1, rest.data(), rest.size());
    if (n > 0) {
      rest.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EBADF) return;
    String text("failed printing to stdout: ");
    if (n < 0)
      text += text::render_os_error_short(errno);
    else
      text += "failed to write whole buffer";
    failure::raise_formatted(std::move(text));
  }
}

[[noreturn]] void raise_count_rejected(std::string_view header) {
  String text("The first line should end with the number of parameters:\n'");
  text.append(header);
  text += '\'';
  failure::raise_formatted(std::move(text));
}

std::uint32_t read_parameter_count(text::LineSource& source) {
  const text::NextLine header = source.next_line();
  // The misspelling is kept: callers match on this text exactly.
  if (header.status == LineStatus::EndOfInput) failure::raise("Failed ot read line!");
  if (header.status == LineStatus::Error) raise_io("Failed to read line!", header.error);
  const failure::Vec<std::string_view> tokens = text::split_whitespace(header.text);
  if (!tokens.empty()) {
    const auto count = text::parse_parameter_count(tokens.back());
    if (!count) {
      print_rejected_count(tokens.back());
      raise_count_rejected(header.text);
    }
    if (*count > 0) return *count;
  }
  // No parameters (no token, or a count of 0): there would be no field to
  // take and no first column to give one value per block, so such a header
  // is refused like any other unusable count, before N - 1 is ever formed.
  // There are no name lines to read first.
  raise_count_rejected(header.text);
}

// Reads the blocks of one plot file into its plot data.
//
// All columns grow in step, one value per block, so they share one length
// and one capacity: values are stored by index straight into the columns'
// storage, without each column checking and updating its own size.
//
// Values do not go to their columns one at a time, though: a store per
// column per block spreads every block over as many cache lines and pages as
// there are parameters. The values of kTile blocks are staged parameter by
// parameter in one small buffer instead, and each column receives its kTile
// values in one run.
class BlockReader {
 public:
  BlockReader(text::LineSource& source, std::uint32_t count, std::size_t n_digits,
              PlotData& data)
      : source_(source), count_(count), data_(data), targets_(count),
        decoder_(text::FixedLineDecoder::for_width(n_digits)) {
    // Computed once per call, one size wider than size_t.
    for (std::size_t k = 0; k <= kFieldsPerLine; ++k)
      edge_[k] = static_cast<WideIndex>(k) * n_digits;
  }

  // Reads one block; false at the end of input where a leading line is due.
  bool read_block() {
    const text::NextLine leading = source_.next_line();
    if (leading.status == LineStatus::EndOfInput) return false;
    if (leading.status == LineStatus::Error) raise_io("Failed to read line!", leading.error);
    if (blocks_ == capacity_) {
      resize_columns(capacity_ < 16 ? 16 : 2 * capacity_);
      // Made with the first block's storage, so that a file without blocks
      // needs no more than its empty columns.
      if (stage_.empty()) stage_.resize(std::size_t{count_} * kTile);
    }
    for (std::uint32_t j = 0; j < count_; j += kFieldsPerLine) {
      const text::NextLine data_line = source_.next_line();
      if (data_line.status == LineStatus::EndOfInput) failure::raise("Error reading line");
      if (data_line.status == LineStatus::Error)
        raise_io("Failed to read line!", data_line.error);
      take_fields(data_line.text, j, std::min<std::size_t>(kFieldsPerLine, count_ - j));
    }
    ++blocks_;
    if (++row_ == kTile) flush_tile();
    return true;
  }

  // Sizes every column for the blocks the rest of the file will hold if they
  // are as long as the one just read, so the columns are not regrown and
  // copied many times over. Capped, because the first block may be
  // unrepresentative (a crafted file could make the estimate absurd); past
  // the cap the columns simply grow as needed.
  void size_after_first_block(std::uint64_t first_block_bytes) {
    const std::uint64_t size = source_.size_hint();
    const std::uint64_t taken = source_.bytes_taken();
    if (first_block_bytes == 0 || size <= taken) return;
    constexpr std::uint64_t kMaxReservedValues = SIZE_MAX > UINT32_MAX ? 1u << 26 : 1u << 24;
    const std::uint64_t blocks = blocks_ + (size - taken) / first_block_bytes + 1;
    const std::uint64_t per_column = std::min<std::uint64_t>(blocks, kMaxReservedValues / count_);
    if (per_column > capacity_) resize_columns(static_cast<std::size_t>(per_column));
  }

  void finish() {
    if (row_ > 0) flush_tile();
    resize_columns(blocks_);
  }

 private:
  void resize_columns(std::size_t capacity) {
    data_.first_column.resize(capacity);
    targets_[0] = data_.first_column.data();
    for (std::size_t i = 0; i < data_.columns.size(); ++i) {
      data_.columns[i].resize(capacity);
      targets_[i + 1] = data_.columns[i].data();
    }
    capacity_ = capacity;
  }

  // Copies the staged blocks [blocks_ - row_, blocks_) to the columns; a
  // full tile, the usual case, with a length known at compile time.
  void flush_tile() {
    const std::size_t first = blocks_ - row_;
    const float* from = stage_.data();
    if (row_ == kTile) {
      for (std::size_t c = 0; c < count_; ++c, from += kTile)
        std::copy_n(from, kTile, targets_[c] + first);
    } else {
      for (std::size_t c = 0; c < count_; ++c, from += kTile)
        std::copy_n(from, row_, targets_[c] + first);
    }
    row_ = 0;
  }

  // Fields [0, fields) of one data line, for parameters j, j+1, ...
  void take_fields(std::string_view line, std::size_t j, std::size_t fields) {
    float* const target = stage_.data() + j * kTile + row_;
    float values[text::kDecodedLineCapacity];
    const unsigned decoded = edge_[fields] <= line.size() ? decoder_.decode(line, fields, values) : 0;
    // Decoded fields are ASCII, so when all are, every field edge is a
    // character boundary too: no byte after an ASCII one continues a character.
    if (decoded == (1u << fields) - 1) {
      for (std::size_t k = 0; k < fields; ++k) target[k * kTile] = values[k];
      return;
    }
    if (!fields_fit(line, fields)) return take_fields_checked(line, target, fields);
    // Every field lies within the line on character boundaries: only the
    // numbers can fail now.
    const auto width = static_cast<std::size_t>(edge_[1]);
    const char* field = line.data();
    for (std::size_t k = 0; k < fields; ++k, field += width)
      target[k * kTile] = decoded >> k & 1 ? values[k] : parse_field(std::string_view(field, width));
  }

  bool fields_fit(std::string_view line, std::size_t fields) const {
    const std::size_t length = line.size();
    if (edge_[fields] > length) return false;
    for (std::size_t k = 1; k <= fields; ++k) {
      const auto at = static_cast<std::size_t>(edge_[k]);
      if (at < length && is_continuation_byte(line[at])) return false;
    }
    return true;
  }

  // A line where some field does not fit: each field is checked just before
  // it is parsed, so that the first failing field decides the error.
  __attribute__((noinline)) void take_fields_checked(std::string_view line, float* target,
                                                     std::size_t fields) {
    const std::size_t length = line.size();
    for (std::size_t k = 0; k < fields; ++k) {
      const WideIndex start = edge_[k];
      const WideIndex end = edge_[k + 1];
      // start <= end <= length, and neither inside a multi-byte character
      // (0 and length never are).
      if (end > length ||
          (start < length && is_continuation_byte(line[static_cast<std::size_t>(start)])) ||
          (end < length && is_continuation_byte(line[static_cast<std::size_t>(end)])))
        raise_range_error(line, start, end, Where::current());
      target[k * kTile] = parse_field(
          line.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
    }
  }

  // Raises at its own site, so that a field fails at one location whichever
  // loop took it.
  static float parse_field(std::string_view field) {
    const text::FloatParse parsed = text::parse_float32(text::trim_whitespace(field));
    if (!parsed.ok) [[unlikely]]
      failure::raise_with_cause("Could not parse line", text::render_parse_float_error({parsed.error}));
    return parsed.value;
  }

  text::LineSource& source_;
  const std::uint32_t count_;
  PlotData& data_;
  std::array<WideIndex, kFieldsPerLine + 1> edge_;  // edge_[k] = k * n_digits
  // One 64-byte cache line of each column per tile.
  static constexpr std::size_t kTile = 16;
  failure::Vec<float*> targets_;  // parameter j's column storage
  failure::Vec<float> stage_;     // parameter j of block row_ at j * kTile + row_
  const text::FixedLineDecoder decoder_;  // whole lines of the usual layout
  std::size_t blocks_ = 0;
  std::size_t capacity_ = 0;
  std::size_t row_ = 0;  // blocks staged and not yet in the columns
};

}  // namespace

PlotData rust_read_torvask(std::string_view file_path, std::size_t n_digits) {
  text::OpenResult opened = text::open_line_source(file_path);
  if (!opened.source) raise_io("Plot file not found!", opened.error);
  text::LineSource& source = *opened.source;

  const std::uint32_t count = read_parameter_count(source);

  for (std::uint32_t i = 0; i < count; ++i) {
    const text::NextLine name = source.next_line();
    if (name.status == LineStatus::EndOfInput) failure::raise("Failed to read line!");
    if (name.status == LineStatus::Error) raise_io("Failed to read line!", name.error);
  }

  const std::size_t column_count = count - 1;
  if (column_count > kMaxColumnCount) failure::capacity_overflow();
  PlotData data;
  data.columns.resize(column_count);

  BlockReader blocks(source, count, n_digits, data);
  const std::uint64_t before = source.bytes_taken();
  if (blocks.read_block()) {
    blocks.size_after_first_block(source.bytes_taken() - before);
    while (blocks.read_block()) {
    }
  }
  blocks.finish();
  return data;
}

}  // namespace novrel
