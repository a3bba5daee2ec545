// novrel's read: the stage reader of src/reader/ over the sequential source
// of text/lines/line_source.hpp, with the list module's policy and a sink that
// builds its lists, one per parameter.
//
// The policy checks every line (none is passed over), ignores text after a
// data line's last field, and raises each failure with the list module's
// message here: every failure report of rust_read_torvask names its site in
// this file, as it always has, and callers that match on reports see the same
// path. The stages in src/reader/ raise none of these themselves; they hand
// back what they met.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>

#include "failure/fatal_error.hpp"
#include "lib.hpp"
#include "reader/block_walker.hpp"
#include "reader/field_decoding.hpp"
#include "reader/format.hpp"
#include "reader/read_failure.hpp"
#include "reader/source.hpp"
#include "text/io_error.hpp"
#include "text/lines/line_source.hpp"
#include "text/message_text.hpp"
#include "text/number/number.hpp"

namespace novrel {
namespace {

using failure::String;
using failure::Where;
using reader::blocks_like_the_first;
using reader::count_of_header;
using reader::FieldDecoder;
using reader::HeaderCount;
using reader::kFieldsPerLine;
using reader::LineWalker;
using reader::WideIndex;
using text::LineStatus;

// The most lists one allocation may hold: what the column list of a huge N is
// checked against before anything is allocated (178956970 on 32-bit).
constexpr std::size_t kMaxColumnCount = failure::max_elements<Column>();

// The field ending at `end` does not lie within the line, or ends inside a
// character. Its start is 0 or the end of the field before it on the line,
// which passed the same checks, so only the end can be at fault. Out of line
// so the field loop stays small.
[[noreturn]] __attribute__((noinline, cold)) void raise_range_error(std::string_view line,
                                                                    WideIndex end, Where where) {
  String message("end byte index ");
  text::append_decimal(message, end);
  if (end > line.size()) {
    message += " is out of bounds for string of length ";
    text::append_decimal(message, line.size());
  } else {
    const text::CharAt ch = text::char_containing(line, static_cast<std::size_t>(end));
    message += " is not a char boundary; it is inside ";
    text::append_quoted_char(message, line, ch);
    message += " (bytes ";
    text::append_decimal(message, ch.first);
    message += "..";
    text::append_decimal(message, ch.last);
    message += " of string)";
  }
  failure::raise_formatted(std::move(message), where);
}

[[noreturn]] void raise_io(std::string_view message, const text::IoError& error,
                           Where where = Where::current()) {
  failure::raise_with_cause(message, text::render_io_error(error), where);
}

// The list module's policy over the walker: what it hands back, and what the
// field decoder meets, become the list module's failures, at the caller's
// site where a line is missing or unreadable.
class ListPolicy {
 public:
  explicit ListPolicy(LineWalker& walker) noexcept : walker_(walker) {}

  // The next line; nullopt at the end of input. A line that cannot be read
  // raises "Failed to read line!" with its error.
  std::optional<std::string_view> next(Where where = Where::current()) {
    const text::NextLine got = take(where);
    if (got.status == LineStatus::Line) [[likely]] return got.text;
    if (got.status == LineStatus::Error) raise_io("Failed to read line!", got.error, where);
    return std::nullopt;
  }

  // A line that must be there: the end of input raises `missing` (a literal).
  std::string_view next_or(std::string_view missing, Where where = Where::current()) {
    const std::optional<std::string_view> line = next(where);
    if (!line) [[unlikely]] failure::raise(missing, where);
    return *line;
  }

  // The field decoder's failures.
  [[noreturn]] void outside(std::string_view line, std::size_t, WideIndex, WideIndex end) {
    raise_range_error(line, end, Where::current());
  }
  [[noreturn]] void not_a_number(std::string_view, std::size_t, std::string_view,
                                 text::FloatErrorKind error) {
    failure::raise_with_cause("Could not parse line", text::render_parse_float_error({error}));
  }

 private:
  // A failed read(2) comes up from the source as a ReadError; it is raised
  // here while the walker and its file are still open, as every failure's
  // report comes before anything is released.
  text::NextLine take(Where where) {
    try {
      return walker_.next_line();
    } catch (const ReadError& error) {
      raise_io("Failed to read line!", text::IoError::os(error.os_error), where);
    }
  }

  LineWalker& walker_;
};

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

// The parameter count at the end of the header line. A header without one
// is refused before N - 1 is ever formed, and before any name line is read.
std::uint32_t parameter_count_of(std::string_view header) {
  const HeaderCount found = count_of_header(header);
  if (found.rejected) print_rejected_count(*found.rejected);
  if (found.count == 0) raise_count_rejected(header);
  return found.count;
}

// The list sink: the blocks of one plot file into its plot data.
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
class ListSink {
 public:
  ListSink(ListPolicy& lines, std::uint32_t count, std::size_t n_digits, PlotData& data)
      : lines_(lines), count_(count), data_(data), targets_(count), fields_(n_digits) {}

  // Takes the data lines of the block whose leading line was just read.
  void take_block() {
    if (blocks_ == capacity_) {
      resize_columns(capacity_ < 16 ? 16 : 2 * capacity_);
      // Made with the first block's storage, so that a file without blocks
      // needs no more than its empty columns.
      if (stage_.empty()) stage_.resize(std::size_t{count_} * kTile);
    }
    for (std::uint32_t j = 0; j < count_; j += kFieldsPerLine) {
      const std::string_view data_line = lines_.next_or("Error reading line");
      fields_.take<kTile>(data_line, std::min<std::size_t>(kFieldsPerLine, count_ - j),
                          stage_.data() + j * kTile + row_, lines_);
    }
    ++blocks_;
    if (++row_ == kTile) flush_tile();
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
  void size_after_first_block(std::uint64_t size, std::uint64_t taken, std::uint64_t first_block_bytes) {
    const std::uint64_t more = blocks_like_the_first(size, taken, first_block_bytes);
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

  ListPolicy& lines_;
  const std::uint32_t count_;
  PlotData& data_;
  // One 64-byte cache line of each column per tile.
  static constexpr std::size_t kTile = 16;
  failure::Vec<float*> targets_;  // parameter j's column storage
  failure::Vec<float> stage_;     // parameter j of block row_ at j * kTile + row_
  FieldDecoder<float> fields_;
  std::size_t blocks_ = 0;
  std::size_t capacity_ = 0;
  std::size_t row_ = 0;  // blocks staged and not yet in the columns
};

}  // namespace

PlotData rust_read_torvask(std::string_view file_path, std::size_t n_digits) {
  text::OpenedFile opened = text::open_file(file_path);
  if (!opened.fd) raise_io("Plot file not found!", opened.error);
  const reader::PlotFile file(std::move(*opened.fd));
  LineWalker walker(file, 0, reader::kNoEnd, text::kReadBufferSize);
  ListPolicy lines(walker);
  // The misspelling is kept: callers match on this text exactly.
  const std::uint32_t count = parameter_count_of(lines.next_or("Failed ot read line!"));
  for (std::uint32_t i = 0; i < count; ++i) lines.next_or("Failed to read line!");

  const std::size_t column_count = count - 1;
  if (column_count > kMaxColumnCount) failure::capacity_overflow();
  PlotData data;
  data.columns.resize(column_count);

  ListSink sink(lines, count, n_digits, data);
  const std::uint64_t before = walker.offset();
  if (lines.next()) {  // a leading line
    sink.take_block();
    sink.size_after_first_block(file.size_hint(), walker.offset(), walker.offset() - before);
    while (lines.next()) sink.take_block();
  }
  sink.finish();
  return data;
}

}  // namespace novrel
