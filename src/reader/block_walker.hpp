// Finding lines and blocks without parsing them.
//
// Both modules read a plot file through these: a LineWalker hands out the
// lines from any byte offset, checked as UTF-8, or passes over lines with a
// newline search alone; a LineMap finds any line of the block region, and so
// any block, either by arithmetic where every block is laid out as the first
// (LineLengths), or from checkpoints left by counting its lines (in several
// threads, each a slice of the bytes).
//
// Where the blocks are laid out alike, lines are passed over by looking at
// the byte where each LF is due, and counting the LFs of a stretch of them
// at once: a stretch whose LFs are all where they are due and that holds no
// other is the lines a newline search would find, without a search per line.
//
// Files are read with pread where they can seek (source.hpp): a read never
// depends on another's position, and a file truncated while it is read only
// ends early (a mapping of it would raise SIGBUS instead).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "failure/memory.hpp"
#include "reader/format.hpp"
#include "reader/source.hpp"
#include "text/lines/line_end.hpp"
#include "text/lines/line_source.hpp"

namespace novrel::reader {

inline constexpr std::uint64_t kNoEnd = UINT64_MAX;

// The byte lengths, LF included, of the lines of a block laid out as the
// first: its leading line, then data lines of their fields alone.
struct LineLengths {
  std::uint64_t leading;
  std::uint64_t data;       // ten fields
  std::uint64_t last_data;  // the block's last data line
  std::uint64_t lines;      // a block's, 2 or more

  std::uint64_t of(std::uint64_t line_in_block) const noexcept {
    return line_in_block == 0 ? leading : line_in_block + 1 == lines ? last_data : data;
  }
  // The bytes before line `line_in_block` of a block.
  std::uint64_t before(std::uint64_t line_in_block) const noexcept {
    return line_in_block == 0 ? 0 : leading + (line_in_block - 1) * data;
  }
  std::uint64_t block_bytes() const noexcept { return before(lines - 1) + last_data; }
};

// The layout of blocks of `geometry` whose first block has a leading line
// of `leading` bytes and a first data line of `first_data` (both with their
// LF): none unless that data line is its fields of `width` bytes alone.
std::optional<LineLengths> layout_of(const BlockGeometry& geometry, std::size_t width, std::uint64_t leading,
                                     std::uint64_t first_data) noexcept;

// Whether [begin, end) of `file` could be whole blocks of `lengths`, with
// maybe one empty line after them.
bool fits_layout(const PlotFile& file, std::uint64_t begin, std::uint64_t end, const LineLengths& lengths);

// A walker that was told the lines are laid out alike (Layout::required)
// met one that is not.
struct IrregularLines {};

// The lines of a file from a byte offset up to `end` (or its end). A file
// that cannot seek is read from where it stands, so it takes one walker.
// A failed read throws ReadError (os_error).
class LineWalker {
 public:
  LineWalker(const PlotFile& file, std::uint64_t offset, std::uint64_t end, std::size_t buffer_size);

  // The next line: its text without its terminator (LF, or CR LF), checked
  // as UTF-8 as a whole (IoError::invalid_utf8 otherwise, the line taken);
  // EndOfInput where no byte is left.
  text::NextLine next_line();
  // As next_line, without the UTF-8 check: for a line passed over whose
  // bytes are looked at, not decoded.
  text::NextLine next_raw_line();
  // Passes over up to `count` lines unchecked; returns how many there were.
  std::uint64_t skip_lines(std::uint64_t count);
  // Passes over up to `count` lines while they are as expected (see expect),
  // and so hold exactly what the layout puts there; returns how many.
  std::uint64_t skip_laid_out(std::uint64_t count) { return expecting_ ? skip_expected(count) : 0; }
  // No byte is left.
  bool at_end();
  // The offset of the next line.
  std::uint64_t offset() const noexcept { return base_ + pos_; }
  bool last_line_terminated() const noexcept { return terminated_; }

  // From here on the lines are expected as `lengths` has them, the next one
  // line `phase` of its block: lines are passed over by their due LFs and a
  // count of each stretch's (see above), and lines read are checked to be
  // as long as expected. The first line that is not, or a file that ends
  // first, ends the expectation where it is a `hint`, and throws
  // IrregularLines where it is `required`.
  enum class Layout { hint, required };
  void expect(const LineLengths& lengths, std::uint64_t phase, Layout layout) noexcept {
    lengths_ = lengths;
    phase_ = phase;
    layout_ = layout;
    expecting_ = true;
  }

  // Keeps every byte from the next line on until rewind(), so that a file
  // that cannot seek can be read again from there: the first block is
  // looked at before it is read.
  void hold() noexcept {
    hold_ = offset();
    held_phase_ = phase_;
  }
  void rewind();

 private:
  // The next line, checked as UTF-8 where kUtf8.
  template <bool kUtf8>
  text::NextLine take_line();
  // Reads more after the bytes kept; false at the end.
  bool refill();
  // A line of `length` bytes was taken or passed.
  void took(std::uint64_t length);
  void unexpected();
  std::uint64_t skip_expected(std::uint64_t count);

  struct Release {
    void operator()(char* block) const noexcept { failure::release_bytes(block); }
  };

  const PlotFile& file_;
  std::size_t capacity_;
  std::unique_ptr<char[], Release> buffer_;
  std::size_t pos_ = 0;     // first unread byte of buffer_
  std::size_t filled_ = 0;  // valid bytes in buffer_
  std::uint64_t base_;      // the file offset of buffer_[0]
  std::uint64_t end_;
  std::uint64_t hold_ = kNoEnd;
  bool terminated_ = true;
  text::FindLineEnd find_line_end_;
  text::CountLineEnds count_line_ends_;
  failure::String line_;  // a line that straddles refills
  LineLengths lengths_{};
  std::uint64_t phase_ = 0;  // the next line's, within its block
  std::uint64_t held_phase_ = 0;
  Layout layout_ = Layout::hint;
  bool expecting_ = false;
};

// The lines of [begin, end) of a seekable file.
class LineMap {
 public:
  // Counts in `threads` slices side by side. `poll`, when given, runs on the
  // calling thread between its reads and may throw to abandon the count.
  LineMap(const PlotFile& file, std::uint64_t begin, std::uint64_t end, unsigned threads,
          void (*poll)(void*), void* poll_context);
  // Takes [begin, end) to be whole blocks laid out as `lengths`, then, where
  // one byte is left, an LF (the caller has seen it). Walkers from this map
  // require that layout, so a read through them throws IrregularLines where
  // the file is not laid out so.
  LineMap(const PlotFile& file, std::uint64_t begin, std::uint64_t end, const LineLengths& lengths);

  std::uint64_t lines() const noexcept { return lines_; }
  // Lines are found by the layout (walkers require it).
  bool laid_out() const noexcept { return lengths_.has_value(); }
  // The last line is empty and ends with its terminator.
  bool ends_with_empty_line() const noexcept { return last_empty_; }
  // A walker at the start of line `line` (< lines()).
  LineWalker walker_at(std::uint64_t line, std::size_t buffer_size) const;

 private:
  struct Checkpoint {
    std::uint64_t line;
    std::uint64_t offset;
  };
  const PlotFile& file_;
  std::uint64_t end_;
  std::uint64_t lines_ = 0;
  bool last_empty_ = false;
  failure::Vec<Checkpoint> checkpoints_;  // in order, the first at line 0
  std::optional<LineLengths> lengths_;    // where lines are found by arithmetic
};

}  // namespace novrel::reader
