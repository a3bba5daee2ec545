// The read that knows the block count before it reads: bounds from the
// end, or the chosen blocks split among threads, in a file that can seek.
// Block starts come by arithmetic from the first block's layout where the
// file keeps to it, else from a count of its newlines.
#include <algorithm>
#include <atomic>

#include "reader/row_reader.hpp"
#include "reader/threads.hpp"

namespace novrel::reader {

// Whether block `block`, the file's last, reads whole. A fault in it says
// yes: the read that follows meets the fault itself, where it lies.
template <class T>
bool RowReader<T>::last_block_whole(const LineMap& map, const RowShared& shared, std::uint64_t block,
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
template <class T>
void RowReader<T>::read_counted(const PlotFile& file, std::uint64_t begin, std::uint64_t line_before,
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
template <class T>
void RowReader<T>::read_mapped(const LineMap& map, std::uint64_t line_before, const RowShared& shared, unsigned threads) {
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
template <class T>
void RowReader<T>::pass_polled(BlockDecoder<T>& decoder, std::uint64_t count, bool poll) const {
  const std::uint64_t stretch = std::max<std::uint64_t>(1, kPollBytes / lengths_->data);
  while (count > 0) {
    const std::uint64_t now = std::min(count, stretch);
    decoder.pass(now);
    count -= now;
    if (poll && options_.poll != nullptr) options_.poll(options_.poll_context);
  }
}

// rows.cpp calls it for both dtypes.
template void RowReader<float>::read_counted(const PlotFile&, std::uint64_t, std::uint64_t, const RowShared&);
template void RowReader<double>::read_counted(const PlotFile&, std::uint64_t, std::uint64_t, const RowShared&);

}  // namespace novrel::reader
