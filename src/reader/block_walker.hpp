// Finding lines and blocks without parsing them.
//
// The row reader reads a plot file through these: a LineWalker hands out the
// lines from any byte offset, checked as UTF-8, or passes over lines with a
// newline search alone; map_lines counts the lines of the whole block region
// (in several threads, each a slice of the bytes), keeping checkpoints from
// which any line, and so any block, is reached by a short walk.
//
// Files are read with pread where they can seek (source.hpp): a read never
// depends on another's position, and a file truncated while it is read only
// ends early (a mapping of it would raise SIGBUS instead).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "failure/memory.hpp"
#include "text/line_end.hpp"
#include "reader/source.hpp"
#include "text/line_source.hpp"

namespace novrel::reader {

inline constexpr std::uint64_t kNoEnd = UINT64_MAX;

// The lines of a file from a byte offset up to `end` (or its end). A file
// that cannot seek is read from where it stands, so it takes one walker.
// A failed read throws ReadError (os_error).
class LineWalker {
 public:
  LineWalker(const PlotFile& file, std::uint64_t offset, std::uint64_t end, std::size_t buffer_size);

  // As LineSource::next_line: the text without its terminator, checked as
  // UTF-8 (IoError::invalid_utf8 otherwise).
  text::NextLine next_line();
  // Passes over up to `count` lines unchecked; returns how many there were.
  std::uint64_t skip_lines(std::uint64_t count);
  // No byte is left.
  bool at_end();
  // The offset of the next line.
  std::uint64_t offset() const noexcept { return base_ + pos_; }
  bool last_line_terminated() const noexcept { return terminated_; }

  // Keeps every byte from the next line on until rewind(), so that a file
  // that cannot seek can be read again from there: the first block is
  // looked at before it is read.
  void hold() noexcept { hold_ = offset(); }
  void rewind();

 private:
  // Reads more after the bytes kept; false at the end.
  bool refill();

  struct Release {
    void operator()(char* block) const noexcept { failure::release_bytes(block); }
  };

  const PlotFile& file_;
  std::unique_ptr<char[], Release> buffer_;
  std::size_t capacity_;
  std::size_t pos_ = 0;     // first unread byte of buffer_
  std::size_t filled_ = 0;  // valid bytes in buffer_
  std::uint64_t base_;      // the file offset of buffer_[0]
  std::uint64_t end_;
  std::uint64_t hold_ = kNoEnd;
  bool terminated_ = true;
  text::FindLineEnd find_line_end_;
  failure::String line_;  // a line that straddles refills
};

// The lines of [begin, end) of a seekable file.
class LineMap {
 public:
  // Counts in `threads` slices side by side. `poll`, when given, runs on the
  // calling thread between its reads and may throw to abandon the count.
  LineMap(const PlotFile& file, std::uint64_t begin, std::uint64_t end, unsigned threads,
          void (*poll)(void*), void* poll_context);

  std::uint64_t lines() const noexcept { return lines_; }
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
};

}  // namespace novrel::reader
