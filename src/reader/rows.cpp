// The row reader: the header and names, the width from the first data line,
// then the chosen blocks, either streamed from the start (one thread, bounds
// that need no block count, a file that cannot seek) or split among threads
// at block starts that the first block's layout puts by arithmetic, or,
// where the file does not keep to it, that a count of its newlines finds.
#include "reader/rows.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>

#include "failure/fatal_error.hpp"
#include "reader/block_walker.hpp"
#include "reader/format.hpp"
#include "reader/row_sink.hpp"
#include "reader/source.hpp"
#include "reader/threads.hpp"
#include "text/tokens.hpp"

namespace novrel {

namespace {

using reader::BlockDecoder;
using reader::BlockGeometry;
using reader::LineMap;
using reader::LineWalker;
using reader::PlotFile;
using reader::RowPlan;
using reader::Resolved;
using reader::RowShared;
using reader::resolve;

// The rows reader asks for 256 KiB a read rather than the list reader's
// 8 KiB: with the interpreter released, reading is the rest of its time.
// 64 KiB took 8-15% off a full 100 MB read on i386 (where each system call
// goes through the 32-bit entry) and 5-10% on amd64, and 256 KiB no more;
// but a chosen read, which mostly passes over bytes, spends half its time
// copying them, and that copy took a quarter less time in reads of 256 KiB,
// which still stay in the second-level cache.
constexpr std::size_t kRowsReadBufferSize = 256u << 10;

ReadError problem_at(ReadProblem problem, std::uint64_t line) {
  ReadError error;
  error.problem = problem;
  error.line = line;
  return error;
}

template <class T>
class RowReader {
 public:
  RowReader(const RowOptions& options) : options_(options) {}

  PlotRows read(const PlotFile& file) {
    rows_.source_size = file.size();
    rows_.source_device = file.device();
    rows_.source_inode = file.inode();
    LineWalker walker(file, 0, reader::kNoEnd, kRowsReadBufferSize);
    std::uint64_t line = 1;
    text::NextLine got = walker.next_line();
    if (got.status == text::LineStatus::EndOfInput) throw problem_at(ReadProblem::no_header, 1);
    if (got.status == text::LineStatus::Error) throw line_error(got, 1);
    // An unended header line may be one still being written: its count is
    // not known yet.
    if (!walker.last_line_terminated()) throw problem_at(ReadProblem::header_cut, 1).showing(got.text);
    const reader::HeaderCount count = reader::count_of_header(got.text);
    if (count.count == 0) throw problem_at(ReadProblem::bad_count, 1).showing(got.text);
    const BlockGeometry geometry(count.count);
    const failure::Vec<std::string_view> tokens = text::split_whitespace(got.text);
    rows_.title = text::trim_whitespace(got.text.substr(0, static_cast<std::size_t>(tokens.back().data() - got.text.data())));
    rows_.names.reserve(std::min<std::uint32_t>(count.count, 1u << 16));
    for (std::uint32_t i = 0; i < count.count; ++i) {
      got = walker.next_line();
      ++line;
      if (got.status == text::LineStatus::EndOfInput) throw problem_at(ReadProblem::names_missing, line);
      if (got.status == text::LineStatus::Error) throw line_error(got, line);
      // ... and so may an unended name of a growing file.
      if (options_.growing && !walker.last_line_terminated())
        throw problem_at(ReadProblem::names_missing, line);
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

 private:
  PlotRows finished() {
    rows_.dtype = sizeof(T) == 4 ? Dtype::float32 : Dtype::float64;
    rows_.values.resize(rows_.blocks * columns_ * sizeof(T));
    return std::move(rows_);
  }

  static ReadError line_error(const text::NextLine& got, std::uint64_t line) {
    ReadError error = problem_at(got.error.is_os() ? ReadProblem::os_error : ReadProblem::not_utf8, line);
    if (got.error.is_os()) error.os_error = got.error.code();
    return error;
  }

  // The first data line decides the width where none was given, and says
  // which width the file was written with, to refuse a wrong one. It is
  // looked at and then read again with its block. With complete_blocks, a
  // first data line whose end is missing may still be being written: it
  // refuses no width, and gives none where it is not whole; then, and
  // always for a growing file, no block is whole yet (false). A first block
  // whose data line is its fields alone gives the layout (lengths_) that
  // the rest is expected to follow.
  bool look_at_first_block(LineWalker& walker, std::uint64_t line, const BlockGeometry& geometry) {
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
      ReadError error = problem_at(ReadProblem::width_unknown, line + 2);
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

  T* row(std::size_t index) { return rows_.values.template data<T>() + index * columns_; }

  // Room for `rows` rows; values beyond what one allocation may hold could
  // never be read.
  void reserve(std::uint64_t rows) {
    if (rows > failure::max_elements<T>() / columns_) throw problem_at(ReadProblem::too_large, 0);
    if (rows * columns_ * sizeof(T) > rows_.values.bytes())
      rows_.values.resize(static_cast<std::size_t>(rows * columns_ * sizeof(T)));
  }

  // The blocks from the walker's line on, in order, as `choice` (with no
  // negative bound) picks them.
  void stream(LineWalker& walker, std::uint64_t line, const RowShared& shared, const PlotFile& file,
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
  static bool pass_blocks(BlockDecoder<T>& decoder, std::uint64_t count, std::uint64_t lines) {
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
  void reserve_after_first_block(const PlotFile& file, std::uint64_t taken, std::uint64_t block_bytes,
                                 std::optional<std::uint64_t> stop, std::uint64_t start, std::uint64_t step) {
    std::uint64_t more = reader::blocks_like_the_first(file.size(), taken, block_bytes) / step;
    if (more == 0) return;
    if (stop) more = std::min<std::uint64_t>(more, (*stop - start + step - 1) / step - 1);
    reserve(std::min<std::uint64_t>(1 + more, file.size() / (columns_ * sizeof(T)) + 1));
  }

  // A read through a file that cannot seek, of bounds that needed the count:
  // the chosen rows move to the front.
  void keep_chosen(const Resolved& chosen) {
    const std::size_t row_bytes = columns_ * sizeof(T);
    char* const values = rows_.values.template data<char>();
    for (std::uint64_t i = 0; i < chosen.rows; ++i)
      std::memmove(values + i * row_bytes, values + (chosen.start + i * chosen.step) * row_bytes, row_bytes);
    rows_.blocks = static_cast<std::size_t>(chosen.rows);
    rows_.first_block = block_base_ + chosen.start;
    rows_.block_step = chosen.step;
  }

  // Whether block `block`, the file's last, reads whole. A fault in it says
  // yes: the read that follows meets the fault itself, where it lies.
  bool last_block_whole(const LineMap& map, const RowShared& shared, std::uint64_t block,
                        std::uint64_t line_before) const {
    const std::uint64_t lines = shared.geometry.lines();
    LineWalker walker = map.walker_at(block * lines, kRowsReadBufferSize);
    BlockDecoder<T> decoder(shared, walker, line_before + block * lines);
    failure::Vec<T> row(columns_);
    try {
      return decoder.read(row.data(), block_base_ + block);
    } catch (const ReadError&) {
      return true;
    }
  }

  // Finds the blocks by their layout where the file's size fits it, else
  // by counting their lines, then reads the chosen ones, split among the
  // threads in file order.
  void read_counted(const PlotFile& file, std::uint64_t begin, std::uint64_t line_before,
                    const RowShared& shared) {
    const unsigned threads = std::max(1u, options_.threads);
    const std::uint64_t end = std::max(begin, file.size());
    if (lengths_ && reader::fits_layout(file, begin, end, *lengths_)) {
      try {
        return read_mapped(LineMap(file, begin, end, *lengths_), line_before, shared, threads);
      } catch (const reader::IrregularLines&) {
        // Some line is not where the layout puts it: count them.
      } catch (const ReadError&) {
        // Some line was not read whole, and the lines after it were not
        // looked at, so the block count they gave is not known to hold: the
        // count decides which blocks are read and so which error is met.
      }
    }
    read_mapped(LineMap(file, begin, end, threads, options_.poll, options_.poll_context), line_before, shared,
                threads);
  }

  // The chosen blocks of `map`. Where it finds blocks by their layout, a
  // read that returns has looked at every line, read or passed over, so the
  // layout, and the block count it gave, hold: the first part starts at the
  // first block, each runs on to the next one's first, and the last to the
  // end.
  void read_mapped(const LineMap& map, std::uint64_t line_before, const RowShared& shared, unsigned threads) {
    const std::uint64_t lines = shared.geometry.lines();
    std::uint64_t total = map.lines();
    if (map.ends_with_empty_line() && total % lines == 1) --total;
    const bool partial = total % lines != 0;
    std::uint64_t complete = total / lines;
    // With complete_blocks, the last of the whole-looking blocks may end in
    // the file's last line cut short: a full read drops it, so it is not
    // numbered either.
    if (options_.complete_blocks && !partial && complete > 0 &&
        !last_block_whole(map, shared, complete - 1, line_before))
      --complete;
    const std::uint64_t numbered = complete + (partial && !options_.complete_blocks ? 1 : 0);
    const Resolved chosen = resolve(options_.blocks, numbered);
    rows_.first_block = block_base_ + chosen.start;
    rows_.block_step = chosen.step;
    // With complete_blocks, a cut block after the last chosen one is still
    // read, for the faults before its cut, where a read through the file
    // would reach it: bounds from the start choose it as if it were a block;
    // bounds from the end, where the chosen ones run to the end.
    bool check_cut = false;
    if (options_.complete_blocks && partial) {
      const BlockChoice& choice = options_.blocks;
      if ((choice.start && *choice.start < 0) || (choice.stop && *choice.stop < 0)) {
        check_cut = chosen.stop == numbered && (complete - chosen.start) % chosen.step == 0;
      } else {
        const Resolved with_cut = resolve(choice, numbered + 1);
        check_cut = complete >= with_cut.start && complete < with_cut.stop &&
                    (complete - with_cut.start) % with_cut.step == 0;
      }
    }
    reserve(chosen.rows + (check_cut ? 1 : 0));
    const std::uint64_t work = chosen.rows + (check_cut ? 1 : 0);
    const bool look_at_all = map.laid_out();
    // Nothing read would look at the layout that gave the count.
    if (work == 0 && look_at_all) throw reader::IrregularLines{};
    if (work == 0) return;
    const auto parts = static_cast<unsigned>(std::min<std::uint64_t>(threads, work));
    std::atomic<unsigned> first_failed{parts};
    // A block read as the file's end: only the last can be, its last line
    // cut short, with complete_blocks.
    std::atomic<std::uint64_t> end{chosen.rows};
    reader::run_parts(parts, first_failed, [&](unsigned part) {
      const std::uint64_t from = work * part / parts;
      const std::uint64_t to = work * (part + 1) / parts;
      const std::uint64_t first_block = chosen.start + from * chosen.step;
      const std::uint64_t walk_from = look_at_all && part == 0 ? 0 : first_block;
      LineWalker walker = map.walker_at(walk_from * lines, kRowsReadBufferSize);
      BlockDecoder<T> decoder(shared, walker, line_before + walk_from * lines);
      if (walk_from != first_block) pass_polled(decoder, (first_block - walk_from) * lines, true);
      std::uint64_t next_poll = walker.offset() + kPollBytes;
      for (std::uint64_t i = from; i < to; ++i) {
        if (i != from) decoder.pass((chosen.step - 1) * lines);
        if (!decoder.read(row(static_cast<std::size_t>(i)), block_base_ + chosen.start + i * chosen.step)) {
          end = std::min<std::uint64_t>(end, i);
          return;
        }
        if (first_failed.load(std::memory_order_relaxed) < part) return;
        if (part == 0 && options_.poll != nullptr && walker.offset() >= next_poll) {
          next_poll = walker.offset() + kPollBytes;
          options_.poll(options_.poll_context);
        }
      }
      if (look_at_all) {
        // On to the next part's first block, or to the end.
        const std::uint64_t after = chosen.start + (to - 1) * chosen.step + 1;
        const std::uint64_t until = part + 1 == parts ? map.lines() / lines : chosen.start + to * chosen.step;
        pass_polled(decoder, (until - after) * lines, part == 0);
      }
    });
    rows_.blocks = static_cast<std::size_t>(end.load());
  }

  // Passes over `count` lines, polling between stretches where `poll`.
  void pass_polled(BlockDecoder<T>& decoder, std::uint64_t count, bool poll) const {
    const std::uint64_t stretch = std::max<std::uint64_t>(1, kPollBytes / lengths_->data);
    while (count > 0) {
      const std::uint64_t now = std::min(count, stretch);
      decoder.pass(now);
      count -= now;
      if (poll && options_.poll != nullptr) options_.poll(options_.poll_context);
    }
  }

  const RowOptions& options_;
  PlotRows rows_;
  std::size_t columns_ = 0;
  std::size_t suggested_width_ = 0;
  std::optional<reader::LineLengths> lengths_;  // the first block's layout, where usable
  std::uint64_t block_base_ = 0;  // the file's number of the first block read
};

}  // namespace

PlotRows read_plot_rows(std::string_view file_path, const RowOptions& options) {
  failure::QuietFailures quiet;
  try {
    return read_plot_rows(PlotFile(file_path), options);
  } catch (const failure::OutOfMemory&) {
    ReadError error;
    error.problem = ReadProblem::out_of_memory;
    throw error;
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
        [](const failure::FatalError&) -> PlotRows { throw problem_at(ReadProblem::too_large, 0); });
  } catch (const failure::OutOfMemory&) {
    ReadError error;
    error.problem = ReadProblem::out_of_memory;
    throw error;
  }
}

}  // namespace novrel
