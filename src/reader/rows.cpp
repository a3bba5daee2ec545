// The row reader: the header and names, the width from the first data line,
// then the chosen blocks, either streamed from the start (one thread, bounds
// that need no block count, a file that cannot seek) or, where the count is
// needed first, split among threads (rows_counted.cpp).
#include "reader/rows.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "failure/fatal_error.hpp"
#include "reader/row_reader.hpp"
#include "text/tokens.hpp"

namespace novrel::reader {

template <class T>
PlotRows RowReader<T>::read(const PlotFile& file) {
  rows_.source_size = file.size();
  rows_.source_device = file.device();
  rows_.source_inode = file.inode();
  LineWalker walker(file, 0, reader::kNoEnd, kRowsReadBufferSize);
  std::uint64_t line = 1;
  text::NextLine got = walker.next_line();
  if (got.status == text::LineStatus::EndOfInput) throw ReadError(ReadProblem::no_header, 1);
  if (got.status == text::LineStatus::Error) throw ReadError::of_line(got.error, 1);
  // An unended header line may be one still being written: its count is
  // not known yet.
  if (!walker.last_line_terminated()) throw ReadError(ReadProblem::header_cut, 1).showing(got.text);
  const reader::HeaderCount count = reader::count_of_header(got.text);
  if (count.count == 0) throw ReadError(ReadProblem::bad_count, 1).showing(got.text);
  const BlockGeometry geometry(count.count);
  const failure::Vec<std::string_view> tokens = text::split_whitespace(got.text);
  rows_.title = text::trim_whitespace(got.text.substr(0, static_cast<std::size_t>(tokens.back().data() - got.text.data())));
  rows_.names.reserve(std::min<std::uint32_t>(count.count, 1u << 16));
  for (std::uint32_t i = 0; i < count.count; ++i) {
    got = walker.next_line();
    ++line;
    if (got.status == text::LineStatus::EndOfInput) throw ReadError(ReadProblem::names_missing, line);
    if (got.status == text::LineStatus::Error) throw ReadError::of_line(got.error, line);
    // ... and so may an unended name of a growing file.
    if (options_.growing && !walker.last_line_terminated())
      throw ReadError(ReadProblem::names_missing, line);
    rows_.names.emplace_back(text::trim_whitespace(got.text));
  }
  const RowPlan plan = reader::plan_rows(geometry, options_.parameters, rows_.names);
  rows_.parameters = plan.parameters;
  if (rows_.parameters.empty())
    for (std::uint32_t j = 0; j < count.count; ++j) rows_.parameters.push_back(j);
  columns_ = rows_.parameters.size();
  rows_.names_end = rows_.end_offset = walker.offset();
  rows_.end_line = line;
  const ResumePoint& resume = options_.resume;
  std::optional<LineWalker> resumed;
  if (resume.offset != 0) {
    resumed.emplace(file, resume.offset, reader::kNoEnd, kRowsReadBufferSize);
    line = resume.line;
    block_base_ = resume.block;
    rows_.end_offset = resume.offset;
    rows_.end_line = resume.line;
    rows_.end_block = resume.block;
  }
  LineWalker& blocks = resumed ? *resumed : walker;
  rows_.first_block = block_base_;
  if (!look_at_first_block(blocks, line, geometry)) return finished();
  const RowShared shared{plan, geometry, rows_.names, rows_.width, suggested_width_,
                         options_.complete_blocks, options_.growing,
                         options_.refuse_text_after_fields};
  const BlockChoice& choice = options_.blocks;
  const bool counted = options_.threads > 1 || (choice.start && *choice.start < 0) ||
                       (choice.stop && *choice.stop < 0);
  if (counted && file.seekable()) {
    read_counted(file, blocks.offset(), line, shared);
    return finished();
  }
  if (lengths_) blocks.expect(*lengths_, 0, LineWalker::Layout::hint);
  if (counted) {
    stream(blocks, line, shared, file, {});
    keep_chosen(resolve(choice, rows_.blocks));
  } else {
    stream(blocks, line, shared, file, choice);
  }
  return finished();
}

// The first data line decides the width where none was given, and says
// which width the file was written with, to refuse a wrong one. It is
// looked at and then read again with its block. With complete_blocks, a
// first data line whose end is missing may still be being written: it
// refuses no width, and gives none where it is not whole; then, and
// always for a growing file, no block is whole yet (false). A first block
// whose data line is its fields alone gives the layout (lengths_) that
// the rest is expected to follow.
template <class T>
bool RowReader<T>::look_at_first_block(LineWalker& walker, std::uint64_t line, const BlockGeometry& geometry) {
  rows_.width = options_.width;
  walker.hold();
  const std::uint64_t start = walker.offset();
  const text::NextLine leading = walker.next_line();
  const std::uint64_t leading_end = walker.offset();
  const text::NextLine first = leading.status == text::LineStatus::Line ? walker.next_line() : leading;
  const bool unended = options_.complete_blocks && first.status != text::LineStatus::EndOfInput &&
                       !walker.last_line_terminated();
  if (unended && (options_.growing || first.status != text::LineStatus::Line)) return false;
  if (first.status == text::LineStatus::Line) {
    const std::size_t fields = geometry.fields_on(0);
    suggested_width_ = reader::suggested_width(first.text, fields).value_or(0);
    ReadError error(ReadProblem::width_unknown, line + 2);
    error.block = 0;
    error.suggested_width = suggested_width_;
    error.width = rows_.width;
    // A line cut short suggests a width too where its length happens to
    // divide by its fields: only a whole line gives one.
    if (rows_.width == 0 && (suggested_width_ == 0 || unended)) {
      if (unended) return false;
      throw error.showing(first.text);
    }
    if (rows_.width == 0) rows_.width = suggested_width_;
    if (!unended && suggested_width_ != 0 && suggested_width_ != rows_.width &&
        !reader::width_fits(first.text, fields, rows_.width)) {
      error.problem = ReadProblem::width_mismatch;
      throw error.showing(first.text);
    }
    if (!unended && walker.last_line_terminated())
      lengths_ = reader::layout_of(geometry, rows_.width, leading_end - start, walker.offset() - leading_end);
  }
  walker.rewind();
  return true;
}

// The blocks from the walker's line on, in order, as `choice` (with no
// negative bound) picks them.
template <class T>
void RowReader<T>::stream(LineWalker& walker, std::uint64_t line, const RowShared& shared, const PlotFile& file,
                          const BlockChoice& choice) {
  const std::uint64_t lines = shared.geometry.lines();
  const auto start = static_cast<std::uint64_t>(choice.start.value_or(0));
  const auto step = static_cast<std::uint64_t>(choice.step);
  const std::optional<std::uint64_t> stop = choice.stop;
  rows_.first_block = block_base_ + start;
  rows_.block_step = step;
  BlockDecoder<T> decoder(shared, walker, line);
  if (start > 0 && !pass_blocks(decoder, start, lines)) return;
  rows_.end_offset = walker.offset();
  rows_.end_line = decoder.line();
  rows_.end_block = block_base_ + start;
  reserve(1);
  std::uint64_t next_poll = walker.offset() + kPollBytes;
  for (std::uint64_t block = start; !stop || block < *stop; block += step) {
    if (block != start && !pass_blocks(decoder, step - 1, lines)) return;
    const std::uint64_t before = walker.offset();
    if (rows_.blocks * columns_ * sizeof(T) == rows_.values.bytes()) {
      const std::uint64_t have = rows_.values.bytes() / (columns_ * sizeof(T));
      reserve(have + have / 2 + 1);
    }
    if (!decoder.read(row(rows_.blocks), block_base_ + block)) return;
    rows_.last_block_begin = before;
    rows_.end_offset = walker.offset();
    rows_.end_line = decoder.line();
    rows_.end_block = block_base_ + block + 1;
    if (rows_.blocks == 0) rows_.first_block_end = walker.offset();
    if (++rows_.blocks == 1) reserve_after_first_block(file, walker.offset(), walker.offset() - before, stop, start, step);
    if (options_.poll != nullptr && walker.offset() >= next_poll) {
      next_poll = walker.offset() + kPollBytes;
      options_.poll(options_.poll_context);
    }
  }
}

// Passes over `count` blocks; false where the file ends on the way.
template <class T>
bool RowReader<T>::pass_blocks(BlockDecoder<T>& decoder, std::uint64_t count, std::uint64_t lines) {
  try {
    return decoder.pass(count * lines);
  } catch (const ReadError&) {
    return false;  // a block cut short that is not read
  }
}

// Room for the blocks the rest of the file holds if they are as long as
// the first, so that a file of even blocks is read into one allocation of
// the right size. Never more bytes than the file has: a value takes at
// least one byte of a field, and usually 12 or 15, so only a crafted first
// block could ask for more, and past the estimate the rows grow by half.
template <class T>
void RowReader<T>::reserve_after_first_block(const PlotFile& file, std::uint64_t taken, std::uint64_t block_bytes,
                                             std::optional<std::uint64_t> stop, std::uint64_t start, std::uint64_t step) {
  std::uint64_t more = reader::blocks_like_the_first(file.size(), taken, block_bytes) / step;
  if (more == 0) return;
  if (stop) more = std::min<std::uint64_t>(more, (*stop - start + step - 1) / step - 1);
  reserve(std::min<std::uint64_t>(1 + more, file.size() / (columns_ * sizeof(T)) + 1));
}

// A read through a file that cannot seek, of bounds that needed the count:
// the chosen rows move to the front.
template <class T>
void RowReader<T>::keep_chosen(const Resolved& chosen) {
  const std::size_t row_bytes = columns_ * sizeof(T);
  char* const values = rows_.values.template data<char>();
  for (std::uint64_t i = 0; i < chosen.rows; ++i)
    std::memmove(values + i * row_bytes, values + (chosen.start + i * chosen.step) * row_bytes, row_bytes);
  rows_.blocks = static_cast<std::size_t>(chosen.rows);
  rows_.first_block = block_base_ + chosen.start;
  rows_.block_step = chosen.step;
}

}  // namespace novrel::reader

namespace novrel {

using reader::PlotFile;
using reader::RowReader;

PlotRows read_plot_rows(std::string_view file_path, const RowOptions& options) {
  failure::QuietFailures quiet;
  try {
    return read_plot_rows(PlotFile(file_path), options);
  } catch (const failure::OutOfMemory&) {
    throw ReadError(ReadProblem::out_of_memory);
  }
}

PlotRows read_plot_rows(const PlotFile& file, const RowOptions& options) {
  failure::QuietFailures quiet;
  try {
    return failure::catch_fatal(
        [&] {
          return options.dtype == Dtype::float32 ? RowReader<float>(options).read(file)
                                                 : RowReader<double>(options).read(file);
        },
        // The only fatal error left is an allocation beyond any size.
        [](const failure::FatalError&) -> PlotRows { throw ReadError(ReadProblem::too_large); });
  } catch (const failure::OutOfMemory&) {
    throw ReadError(ReadProblem::out_of_memory);
  }
}

}  // namespace novrel
