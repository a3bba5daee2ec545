// The plot-file reader: the one place that knows the plot-file format.
//
// A plot file is a header line ending in the parameter count N, N name lines,
// then blocks: a leading line followed by ceil(N/10) data lines of up to ten
// fixed-width fields each. Parameter j of a block sits in slot j % 10 of data
// line j / 10, at bytes [slot * n_digits, (slot + 1) * n_digits).
#include "lib.hpp"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

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

// The lines of a plot file. Every read of the reader goes through here.
class PlotLines {
 public:
  explicit PlotLines(text::LineSource& source) noexcept : source_(source) {}

  // The next line; nullopt at the end of input. A line that cannot be read
  // raises "Failed to read line!" with its error, at the caller's site.
  std::optional<std::string_view> next(Where where = Where::current()) {
    const text::NextLine got = source_.next_line();
    if (got.status == LineStatus::Line) [[likely]] return got.text;
    if (got.status == LineStatus::Error) fail_read(got.error, where);
    return std::nullopt;
  }

  // A line that must be there: the end of input raises `missing` (a
  // literal) at the caller's site.
  std::string_view next_or(std::string_view missing, Where where = Where::current()) {
    const std::optional<std::string_view> line = next(where);
    if (!line) [[unlikely]] fail_missing(missing, where);
    return *line;
  }

  [[noreturn]] void fail_read(const text::IoError& error, Where where) {
    read_error_ = error;
    raise_io("Failed to read line!", error, where);
  }

  [[noreturn]] void fail_missing(std::string_view missing, Where where) {
    ran_out_ = true;
    failure::raise(missing, where);
  }

  text::LineSource& source() const noexcept { return source_; }
  // What the last failure was, for the rows reader's errors.
  const std::optional<text::IoError>& read_error() const noexcept { return read_error_; }
  bool ran_out() const noexcept { return ran_out_; }

 private:
  text::LineSource& source_;
  std::optional<text::IoError> read_error_;
  bool ran_out_ = false;
};

// `failed`, when given, keeps the error of a file that does not open.
text::LineSource open_plot_file(std::string_view file_path, text::IoError* failed = nullptr,
                                std::size_t buffer_size = text::kReadBufferSize) {
  text::OpenResult opened = text::open_line_source(file_path, buffer_size);
  if (!opened.source) {
    if (failed != nullptr) *failed = opened.error;
    raise_io("Plot file not found!", opened.error);
  }
  return std::move(*opened.source);
}

// The rejected count's diagnostic goes straight to fd 1, whole. A closed
// stdout (EBADF) silently drops it; any other failure to write ends the call.
// A caller that keeps failures quiet gets none.
void print_rejected_count(std::string_view token) {
  if (failure::failures_are_quiet()) return;
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

// The parameter count at the end of the header line.
std::uint32_t parameter_count_of(std::string_view header) {
  const failure::Vec<std::string_view> tokens = text::split_whitespace(header);
  if (!tokens.empty()) {
    const auto count = text::parse_parameter_count(tokens.back());
    if (!count) {
      print_rejected_count(tokens.back());
      raise_count_rejected(header);
    }
    if (*count > 0) return *count;
  }
  // No parameters (no token, or a count of 0): there would be no field to
  // take and no first column to give one value per block, so such a header
  // is refused like any other unusable count, before N - 1 is ever formed.
  // There are no name lines to read first.
  raise_count_rejected(header);
}

// How many more blocks the rest of the file holds if they are as long as the
// first one, just read, rounded up by one; 0 when the size is unknown. A
// hint for sizing storage: the file may grow, shrink or vary.
std::uint64_t blocks_like_the_first(const text::LineSource& source,
                                    std::uint64_t first_block_bytes) {
  const std::uint64_t size = source.size_hint();
  const std::uint64_t taken = source.bytes_taken();
  if (first_block_bytes == 0 || size <= taken) return 0;
  return (size - taken) / first_block_bytes + 1;
}

// Takes the fields of data lines, each `n_digits` bytes wide, and parses
// them. A failing field raises at its own site, whichever path took it.
class FieldTaker {
 public:
  explicit FieldTaker(std::size_t n_digits)
      : decoder_(text::FixedLineDecoder::for_width(n_digits)) {
    // Computed once per call, one size wider than size_t.
    for (std::size_t k = 0; k <= kFieldsPerLine; ++k)
      edge_[k] = static_cast<WideIndex>(k) * n_digits;
  }

  // Fields [0, fields) of one data line; field k's value goes to
  // target[k * kStride].
  template <std::size_t kStride>
  void take(std::string_view line, std::size_t fields, float* target) {
    float values[text::kDecodedLineCapacity];
    const unsigned decoded = edge_[fields] <= line.size() ? decoder_.decode(line, fields, values) : 0;
    // Decoded fields are ASCII, so when all are, every field edge is a
    // character boundary too: no byte after an ASCII one continues a character.
    if (decoded == (1u << fields) - 1) {
      for (std::size_t k = 0; k < fields; ++k) target[k * kStride] = values[k];
      return;
    }
    if (!fields_fit(line, fields)) return take_checked(line, fields, target, kStride);
    // Every field lies within the line on character boundaries: only the
    // numbers can fail now.
    const auto width = static_cast<std::size_t>(edge_[1]);
    const char* field = line.data();
    for (std::size_t k = 0; k < fields; ++k, field += width)
      target[k * kStride] = decoded >> k & 1 ? values[k] : parse_field(std::string_view(field, width), k);
  }

  // Which field of its line the last failure was raised for, and whether it
  // was its number (rather than its place) that failed.
  std::size_t failed_field() const noexcept { return failed_field_; }
  bool number_failed() const noexcept { return number_failed_; }
  // The field's bytes, as far as the line holds them.
  std::string_view field_text(std::string_view line, std::size_t k) const noexcept {
    const WideIndex start = std::min<WideIndex>(edge_[k], line.size());
    const WideIndex end = std::min<WideIndex>(edge_[k + 1], line.size());
    return line.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
  }

 private:
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
  __attribute__((noinline)) void take_checked(std::string_view line, std::size_t fields,
                                              float* target, std::size_t stride) {
    const std::size_t length = line.size();
    for (std::size_t k = 0; k < fields; ++k) {
      const WideIndex start = edge_[k];
      const WideIndex end = edge_[k + 1];
      // start <= end <= length, and neither inside a multi-byte character
      // (0 and length never are).
      if (end > length ||
          (start < length && is_continuation_byte(line[static_cast<std::size_t>(start)])) ||
          (end < length && is_continuation_byte(line[static_cast<std::size_t>(end)]))) {
        failed_field_ = k;
        raise_range_error(line, start, end, Where::current());
      }
      target[k * stride] = parse_field(
          line.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)), k);
    }
  }

  float parse_field(std::string_view field, std::size_t k) {
    const text::FloatParse parsed = text::parse_float32(text::trim_whitespace(field));
    if (!parsed.ok) [[unlikely]] {
      failed_field_ = k;
      number_failed_ = true;
      failure::raise_with_cause("Could not parse line", text::render_parse_float_error({parsed.error}));
    }
    return parsed.value;
  }

  std::array<WideIndex, kFieldsPerLine + 1> edge_;  // edge_[k] = k * n_digits
  const text::FixedLineDecoder decoder_;  // whole lines of the usual layout
  std::size_t failed_field_ = 0;
  bool number_failed_ = false;
};

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
  BlockReader(PlotLines& lines, std::uint32_t count, std::size_t n_digits, PlotData& data)
      : lines_(lines), count_(count), data_(data), targets_(count), fields_(n_digits) {}

  // Reads one block; false at the end of input where a leading line is due.
  bool read_block() {
    if (!lines_.next()) return false;  // the leading line
    if (blocks_ == capacity_) {
      resize_columns(capacity_ < 16 ? 16 : 2 * capacity_);
      // Made with the first block's storage, so that a file without blocks
      // needs no more than its empty columns.
      if (stage_.empty()) stage_.resize(std::size_t{count_} * kTile);
    }
    for (std::uint32_t j = 0; j < count_; j += kFieldsPerLine) {
      const std::string_view data_line = lines_.next_or("Error reading line");
      fields_.take<kTile>(data_line, std::min<std::size_t>(kFieldsPerLine, count_ - j),
                          stage_.data() + j * kTile + row_);
    }
    ++blocks_;
    if (++row_ == kTile) flush_tile();
    return true;
  }

  // Sizes every column for the blocks the rest of the file will hold if they
  // are as long as the one just read, so the columns are not regrown and
  // copied many times over. Capped, because the first block may be
  // unrepresentative (a crafted file could make the estimate absurd); past
  // the cap the columns simply grow by doubling.
  //
  // The cap bounds what a wrong guess costs, since resizing zero-fills the
  // storage at once: 2^26 values (256 MiB) on 64-bit, and on 32-bit, where
  // the whole process has at most 4 GiB of address space, 2^24 values
  // (64 MiB, 1/64 of it). A file that really holds that many values needs
  // four (i386) to six (amd64) times as much again for its Python floats,
  // so the cap is never what limits it; either cap holds a 100 MB file of
  // 12-byte fields (8.3 million values) in one reservation.
  void size_after_first_block(std::uint64_t first_block_bytes) {
    const std::uint64_t more = blocks_like_the_first(lines_.source(), first_block_bytes);
    if (more == 0) return;
    constexpr std::uint64_t kMaxReservedValues = SIZE_MAX > UINT32_MAX ? 1u << 26 : 1u << 24;
    const std::uint64_t blocks = blocks_ + more;
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

  PlotLines& lines_;
  const std::uint32_t count_;
  PlotData& data_;
  // One 64-byte cache line of each column per tile.
  static constexpr std::size_t kTile = 16;
  failure::Vec<float*> targets_;  // parameter j's column storage
  failure::Vec<float> stage_;     // parameter j of block row_ at j * kTile + row_
  FieldTaker fields_;
  std::size_t blocks_ = 0;
  std::size_t capacity_ = 0;
  std::size_t row_ = 0;  // blocks staged and not yet in the columns
};

// ---------------------------------------------------------------------------
// Rows.

// At most kShownBytes of `text`, cut back to a character boundary.
String shown(std::string_view text) {
  if (text.size() > kShownBytes) {
    std::size_t end = kShownBytes;
    while (end > 0 && is_continuation_byte(text[end])) --end;
    text = text.substr(0, end);
  }
  return String(text);
}

// The rows reader asks for 64 KiB a read rather than the list reader's 8 KiB:
// with the interpreter released, reading is the rest of its time, and the
// fewer system calls took 8-15% off a 100 MB read on i386 (where each goes
// through the 32-bit entry) and 5-10% on amd64. 256 KiB and 1 MiB were no
// faster.
constexpr std::size_t kRowsReadBufferSize = 64u << 10;

// Reads a plot file into rows, keeping what a failure needs to say where it
// happened: the stage, the line, the block, the data line's first parameter
// and, from the field taker, the field.
class RowReader {
 public:
  explicit RowReader(const RowOptions& options) noexcept : options_(options) {}

  // The file stays open, and the line at fault readable, until the reader
  // is destroyed: error_for() runs after read() has been left.
  PlotRows read(std::string_view file_path) {
    source_.emplace(open_plot_file(file_path, &open_error_, kRowsReadBufferSize));
    text::LineSource& source = *source_;
    lines_.emplace(source);
    line_ = 1;
    header_ = lines_->next_or("Failed ot read line!");
    count_ = parameter_count_of(header_);
    stage_ = Stage::names;
    rows_.names.reserve(std::min<std::uint32_t>(count_, 1u << 16));
    for (std::uint32_t i = 0; i < count_; ++i) {
      ++line_;
      rows_.names.emplace_back(text::trim_whitespace(lines_->next_or("Failed to read line!")));
    }
    stage_ = Stage::blocks;
    if (options_.width != 0) use_width(options_.width);
    reserve(count_);  // the first block's row
    const std::uint64_t before = source.bytes_taken();
    if (read_block()) {
      reserve_after_first_block(source.bytes_taken() - before);
      std::uint64_t next_poll = source.bytes_taken() + kPollBytes;
      while (read_block()) {
        if (options_.poll != nullptr && source.bytes_taken() >= next_poll) {
          next_poll = source.bytes_taken() + kPollBytes;
          options_.poll(options_.poll_context);
        }
      }
    }
    rows_.values.resize(rows_.blocks * count_);
    return std::move(rows_);
  }

  // The error for a failure that ended read(), with everything known of
  // where it happened. Called while the reader's state is still that of the
  // failure.
  ReadError error_for(std::string_view message) const {
    ReadError error;
    error.problem = problem();
    error.message = String(message);
    error.width = rows_.width;
    error.suggested_width = suggested_width_;
    if (!lines_) {  // opening the file
      error.os_error = open_error_.is_os() ? open_error_.code() : EINVAL;
      return error;
    }
    error.line = line_;
    if (const auto& read_error = lines_->read_error(); read_error && read_error->is_os())
      error.os_error = read_error->code();
    if (stage_ == Stage::header) error.text = shown(header_);
    if (stage_ != Stage::blocks) return error;
    error.block = rows_.blocks;
    if (error.problem == ReadProblem::field_outside || error.problem == ReadProblem::not_a_number) {
      const std::size_t k = fields_->failed_field();
      error.parameter = static_cast<std::uint32_t>(first_parameter_ + k);
      error.name = rows_.names[first_parameter_ + k];
      error.text = shown(error.problem == ReadProblem::not_a_number
                             ? fields_->field_text(data_line_, k)
                             : data_line_);
    } else if (error.problem == ReadProblem::width_unknown) {
      error.text = shown(data_line_);
    }
    return error;
  }

 private:
  enum class Stage : std::uint8_t { header, names, blocks };

  ReadProblem problem() const noexcept {
    if (!lines_) return ReadProblem::os_error;
    if (const auto& read_error = lines_->read_error())
      return read_error->is_os() ? ReadProblem::os_error : ReadProblem::not_utf8;
    if (too_large_) return ReadProblem::too_large;
    switch (stage_) {
      case Stage::header:
        return lines_->ran_out() ? ReadProblem::no_header : ReadProblem::bad_count;
      case Stage::names:
        return ReadProblem::names_missing;
      case Stage::blocks:
        break;
    }
    if (lines_->ran_out()) return ReadProblem::block_cut;
    if (!fields_) return ReadProblem::width_unknown;
    return fields_->number_failed() ? ReadProblem::not_a_number : ReadProblem::field_outside;
  }

  void use_width(std::size_t width) {
    rows_.width = width;
    fields_.emplace(width);
  }

  // The first data line decides the width where none was given: its length
  // over the fields it holds. Without that, its length still says which
  // width the file was probably written with, for the error of a wrong one.
  void look_at_first_data_line(std::string_view line) {
    const std::size_t fields = std::min<std::size_t>(kFieldsPerLine, count_);
    if (!line.empty() && line.size() % fields == 0) suggested_width_ = line.size() / fields;
    if (fields_) return;
    if (suggested_width_ == 0) {
      String message("the first data line's length ");
      text::append_decimal(message, line.size());
      message += " is not a whole number of its ";
      text::append_decimal(message, fields);
      message += " fields";
      failure::raise_formatted(std::move(message));
    }
    use_width(suggested_width_);
  }

  // Reads one block into the next row; false at the end of input where a
  // leading line is due, or where the file ends inside a block that
  // complete_blocks drops.
  bool read_block() {
    if (!next_line_or_cut()) return false;  // the leading line
    const std::size_t row = rows_.blocks * count_;
    if (row + count_ > rows_.values.capacity()) grow();
    float* const target = rows_.values.data() + row;
    for (first_parameter_ = 0; first_parameter_ < count_; first_parameter_ += kFieldsPerLine) {
      const std::optional<std::string_view> line = next_line_or_cut();
      if (!line) {
        if (options_.complete_blocks) return false;
        lines_->fail_missing("Error reading line", Where::current());
      }
      data_line_ = *line;
      const std::size_t fields = std::min<std::size_t>(kFieldsPerLine, count_ - first_parameter_);
      float* const slots = target + first_parameter_;
      auto take = [&] {
        if (rows_.blocks == 0 && first_parameter_ == 0) look_at_first_data_line(data_line_);
        fields_->take<1>(data_line_, fields, slots);
      };
      // A line without its terminator is the file's last, maybe cut short
      // while it was being written.
      if (options_.complete_blocks && !lines_->source().last_line_terminated()) {
        const bool taken = failure::catch_fatal(
            [&] {
              take();
              return true;
            },
            [](const failure::FatalError&) { return false; });
        if (!taken) return false;
      } else {
        take();
      }
    }
    ++rows_.blocks;
    return true;
  }

  // The next line; nullopt at the end of input, and also, with
  // complete_blocks, for a last line cut inside a character.
  std::optional<std::string_view> next_line_or_cut() {
    ++line_;
    const text::NextLine got = lines_->source().next_line();
    if (got.status == LineStatus::Line) [[likely]] return got.text;
    if (got.status == LineStatus::EndOfInput) return std::nullopt;
    if (options_.complete_blocks && !got.error.is_os() &&
        !lines_->source().last_line_terminated())
      return std::nullopt;
    lines_->fail_read(got.error, Where::current());
  }

  // Room for the blocks the rest of the file holds if they are as long as
  // the first, so that a file of even blocks is read into one allocation of
  // the right size. Never more bytes than the file has: a value takes at
  // least one byte of a field, and usually 12 or 15, so only a crafted first
  // block could ask for more, and past the estimate the rows grow by half.
  void reserve_after_first_block(std::uint64_t first_block_bytes) {
    const std::uint64_t more = blocks_like_the_first(lines_->source(), first_block_bytes);
    if (more == 0) return;
    reserve(std::min<std::uint64_t>((1 + more) * count_,
                                    lines_->source().size_hint() / sizeof(float) + count_));
  }

  void grow() {
    const std::uint64_t rows = rows_.values.capacity() / count_;
    reserve((rows + rows / 2 + 1) * count_);
  }

  // Values beyond what one allocation may hold could never be read.
  void reserve(std::uint64_t values) {
    if (values > failure::max_elements<float>()) {
      too_large_ = true;
      failure::capacity_overflow();
    }
    if (values > rows_.values.capacity()) rows_.values.resize(static_cast<std::size_t>(values));
  }

  const RowOptions& options_;
  PlotRows rows_;
  std::optional<text::LineSource> source_;
  std::optional<PlotLines> lines_;
  std::optional<FieldTaker> fields_;
  std::uint32_t count_ = 0;
  Stage stage_ = Stage::header;
  std::string_view header_;
  std::string_view data_line_;  // the data line being taken
  std::size_t first_parameter_ = 0;
  std::uint64_t line_ = 0;  // of the line being read, counting from 1
  std::size_t suggested_width_ = 0;
  text::IoError open_error_;
  bool too_large_ = false;
};

}  // namespace

void FloatBlock::resize(std::size_t count) {
  if (count > failure::max_elements<float>()) failure::capacity_overflow();
  data_ = static_cast<float*>(failure::reallocate_bytes(data_, count * sizeof(float)));
  capacity_ = count;
}

PlotData rust_read_torvask(std::string_view file_path, std::size_t n_digits) {
  text::LineSource source = open_plot_file(file_path);
  PlotLines lines(source);
  // The misspelling is kept: callers match on this text exactly.
  const std::uint32_t count = parameter_count_of(lines.next_or("Failed ot read line!"));
  for (std::uint32_t i = 0; i < count; ++i) lines.next_or("Failed to read line!");

  const std::size_t column_count = count - 1;
  if (column_count > kMaxColumnCount) failure::capacity_overflow();
  PlotData data;
  data.columns.resize(column_count);

  BlockReader blocks(lines, count, n_digits, data);
  const std::uint64_t before = source.bytes_taken();
  if (blocks.read_block()) {
    blocks.size_after_first_block(source.bytes_taken() - before);
    while (blocks.read_block()) {
    }
  }
  blocks.finish();
  return data;
}

PlotRows read_plot_rows(std::string_view file_path, const RowOptions& options) {
  failure::QuietFailures quiet;
  RowReader reader(options);
  try {
    return failure::catch_fatal([&] { return reader.read(file_path); },
                                [&](const failure::FatalError& caught) -> PlotRows {
                                  throw reader.error_for(caught.message());
                                });
  } catch (const failure::OutOfMemory&) {
    ReadError error;
    error.problem = ReadProblem::out_of_memory;
    throw error;
  }
}

}  // namespace novrel
