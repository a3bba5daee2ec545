#include "reader/block_walker.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "reader/read_failure.hpp"
#include "reader/threads.hpp"
#include "text/kernel.hpp"
#include "text/lines/utf8.hpp"

namespace novrel::reader {
namespace {

// Bytes per read when counting lines: large enough that the system calls
// cost nothing beside the copy, small enough to stay in the second-level
// cache while the newlines are counted.
constexpr std::size_t kCountBufferSize = 256u << 10;
// A checkpoint every this many lines: reaching any line walks past fewer.
constexpr std::uint64_t kCheckpointLines = 4096;
// Bytes counted at once. Only a piece that holds a checkpoint is searched
// LF by LF again: checkpoints lie 4096 lines apart and a plot's lines hold
// 5 bytes or more (a block number and its LF), so that is at most one piece
// in five.
constexpr std::size_t kCountPiece = 4096;

// A walker's buffer: no larger than what is left of a file of known size,
// and a little more, since many files are small and a small buffer is not
// mapped and unmapped for each. (A file that grows meanwhile takes more
// reads; a line longer than the buffer grows it.)
std::size_t buffer_for(const PlotFile& file, std::uint64_t offset, std::size_t buffer_size) {
  if (!file.seekable()) return buffer_size;
  const std::uint64_t left = file.size() > offset ? file.size() - offset : 0;
  return static_cast<std::size_t>(std::min<std::uint64_t>(buffer_size, std::max<std::uint64_t>(left + 64, 4096)));
}

}  // namespace

std::optional<LineLengths> layout_of(const BlockGeometry& geometry, std::size_t width, std::uint64_t leading,
                                     std::uint64_t first_data) noexcept {
  const std::uint64_t fields = geometry.fields_on(0);
  if (first_data < 1 || (first_data - 1) % fields != 0 || (first_data - 1) / fields != width) return std::nullopt;
  const std::uint64_t last_fields = geometry.fields_on(geometry.data_lines() - 1);
  return LineLengths{leading, kFieldsPerLine * width + 1, last_fields * width + 1, geometry.lines()};
}

bool fits_layout(const PlotFile& file, std::uint64_t begin, std::uint64_t end, const LineLengths& lengths) {
  const std::uint64_t left = (end - begin) % lengths.block_bytes();
  if (left == 0) return true;
  char last = 0;
  return left == 1 && file.read_some(&last, 1, end - 1) == 1 && last == '\n';
}

LineWalker::LineWalker(const PlotFile& file, std::uint64_t offset, std::uint64_t end,
                       std::size_t buffer_size)
    : file_(file),
      capacity_(buffer_for(file, offset, buffer_size)),
      buffer_(static_cast<char*>(failure::allocate_bytes(capacity_))),
      base_(offset),
      end_(end),
      find_line_end_(text::line_end_finder(text::chosen_kernel())),
      count_line_ends_(text::line_end_counter(text::chosen_kernel())) {}

bool LineWalker::refill() {
  const std::size_t keep = hold_ != kNoEnd ? static_cast<std::size_t>(hold_ - base_) : pos_;
  std::memmove(buffer_.get(), buffer_.get() + keep, filled_ - keep);
  base_ += keep;
  pos_ -= keep;
  filled_ -= keep;
  if (filled_ == capacity_) {
    buffer_.reset(static_cast<char*>(failure::reallocate_bytes(buffer_.release(), 2 * capacity_)));
    capacity_ *= 2;
  }
  const std::uint64_t at = base_ + filled_;
  if (at >= end_) return false;
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(capacity_ - filled_, end_ - at));
  const std::size_t got = file_.read_some(buffer_.get() + filled_, want, at);
  filled_ += got;
  return got > 0;
}

void LineWalker::rewind() {
  pos_ = static_cast<std::size_t>(hold_ - base_);
  hold_ = kNoEnd;
  phase_ = held_phase_;
}

void LineWalker::unexpected() {
  if (layout_ == Layout::required) throw IrregularLines{};
  expecting_ = false;
}

void LineWalker::took(std::uint64_t length) {
  if (!expecting_) return;
  if (length != lengths_.of(phase_)) return unexpected();
  if (++phase_ == lengths_.lines) phase_ = 0;
}

// Inlined: a full read takes every line through it.
template <bool kUtf8>
__attribute__((always_inline)) inline text::NextLine LineWalker::take_line() {
  line_.clear();
  std::string_view line;  // the bytes taken, LF included
  bool ascii = false;
  for (;;) {
    const char* const unread = buffer_.get() + pos_;
    const std::size_t available = filled_ - pos_;
    const text::LineEnd found = find_line_end_(unread, available);
    if (found.lf < available) {
      terminated_ = true;
      const std::size_t taken = found.lf + 1;
      pos_ += taken;
      if (line_.empty()) {
        line = std::string_view(unread, taken);
        ascii = found.ascii;
      } else {
        line_.append(unread, taken);
        line = line_;
      }
      took(line.size());
      break;
    }
    line_.append(unread, available);
    pos_ = filled_;
    if (!refill()) {
      terminated_ = false;
      line = line_;
      if (expecting_) unexpected();
      break;
    }
  }
  if (kUtf8 && !ascii && !text::is_valid_utf8(line)) return {text::LineStatus::Error, {}, text::IoError::invalid_utf8()};
  if (line.empty()) return {text::LineStatus::EndOfInput, {}, text::IoError()};
  if (line.back() == '\n') {
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  }
  return {text::LineStatus::Line, line, text::IoError()};
}

text::NextLine LineWalker::next_line() { return take_line<true>(); }

text::NextLine LineWalker::next_raw_line() { return take_line<false>(); }

// Passes over the lines the buffer holds whole a stretch at a time: where
// the LF due at the end of each is there, and the stretch holds no other,
// they are the lines a newline search would find.
std::uint64_t LineWalker::skip_expected(std::uint64_t count) {
  std::uint64_t passed = 0;
  while (passed < count) {
    const char* const bytes = buffer_.get();
    std::size_t at = pos_;
    std::uint64_t phase = phase_;
    std::uint64_t stretch = 0;
    while (passed + stretch < count) {
      const std::uint64_t length = lengths_.of(phase);
      if (filled_ - at < length || bytes[at + static_cast<std::size_t>(length) - 1] != '\n') break;
      at += static_cast<std::size_t>(length);
      ++stretch;
      if (++phase == lengths_.lines) phase = 0;
      if (phase == 0 || phase + 1 == lengths_.lines) continue;
      // The data lines up to the block's last are alike: a loop of their own.
      const auto data = static_cast<std::size_t>(lengths_.data);
      const std::size_t run = static_cast<std::size_t>(
          std::min({lengths_.lines - 1 - phase, count - passed - stretch, std::uint64_t{(filled_ - at) / data}}));
      std::size_t k = 0;
      for (; k < run && bytes[at + data - 1] == '\n'; ++k) at += data;
      stretch += k;
      phase += k;
      if (k < run) break;
    }
    if (stretch == 0 && filled_ - pos_ < lengths_.of(phase_) && refill()) continue;
    if (stretch == 0 || count_line_ends_(buffer_.get() + pos_, at - pos_) != stretch) {
      unexpected();  // a line not as expected, or the file ends first
      break;
    }
    pos_ = at;
    phase_ = phase;
    terminated_ = true;
    passed += stretch;
  }
  return passed;
}

std::uint64_t LineWalker::skip_lines(std::uint64_t count) {
  std::uint64_t passed = expecting_ ? skip_expected(count) : 0;
  bool partial = false;  // bytes of a line passed without its end
  while (passed < count) {
    if (pos_ == filled_ && !refill()) {
      if (partial) {
        terminated_ = false;
        ++passed;
      }
      break;
    }
    const char* const unread = buffer_.get() + pos_;
    const void* lf = std::memchr(unread, '\n', filled_ - pos_);
    if (lf == nullptr) {
      pos_ = filled_;
      partial = true;
      continue;
    }
    pos_ += static_cast<std::size_t>(static_cast<const char*>(lf) - unread) + 1;
    partial = false;
    terminated_ = true;
    ++passed;
  }
  return passed;
}

bool LineWalker::at_end() { return pos_ == filled_ && !refill(); }

LineMap::LineMap(const PlotFile& file, std::uint64_t begin, std::uint64_t end, unsigned threads,
                 void (*poll)(void*), void* poll_context)
    : file_(file), end_(end) {
  checkpoints_.push_back({0, begin});
  if (begin >= end) return;
  struct Slice {
    std::uint64_t newlines = 0;
    failure::Vec<Checkpoint> checkpoints;  // lines counted from the slice's start
  };
  failure::Vec<Slice> slices(threads);
  const std::uint64_t length = end - begin;
  std::atomic<unsigned> first_failed{threads};
  const text::CountLineEnds count_line_ends = text::line_end_counter(text::chosen_kernel());
  run_parts(threads, first_failed, [&](unsigned part) {
    Slice& slice = slices[part];
    const std::uint64_t from = begin + length * part / threads;
    const std::uint64_t to = begin + length * (part + 1) / threads;
    failure::Vec<char> buffer(kCountBufferSize);
    for (std::uint64_t at = from; at < to;) {
      if (part == 0 && poll != nullptr) poll(poll_context);
      if (first_failed.load(std::memory_order_relaxed) < part) return;
      const std::size_t got = file.read_some(
          buffer.data(), static_cast<std::size_t>(std::min<std::uint64_t>(kCountBufferSize, to - at)), at);
      if (got == 0) fail_os(EIO);  // the file shrank under the read
      for (std::size_t piece = 0; piece < got; piece += kCountPiece) {
        const char* p = buffer.data() + piece;
        const char* const stop = p + std::min(kCountPiece, got - piece);
        const std::uint64_t found = count_line_ends(p, static_cast<std::size_t>(stop - p));
        if (slice.newlines % kCheckpointLines + found < kCheckpointLines) {
          slice.newlines += found;
          continue;
        }
        while (const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(stop - p))) {
          p = static_cast<const char*>(lf) + 1;
          if (++slice.newlines % kCheckpointLines == 0)
            slice.checkpoints.push_back({slice.newlines, at + static_cast<std::uint64_t>(p - buffer.data())});
        }
      }
      at += got;
    }
  });
  std::uint64_t before = 0;
  for (const Slice& slice : slices) {
    for (const Checkpoint& point : slice.checkpoints) checkpoints_.push_back({before + point.line, point.offset});
    before += slice.newlines;
  }
  // The last line: unterminated, or empty (LF or CR LF after a line end, or
  // all there is).
  char tail[3] = {'\n', '\n', '\n'};
  const std::size_t tail_size = static_cast<std::size_t>(std::min<std::uint64_t>(3, length));
  if (file.read_some(tail + 3 - tail_size, tail_size, end - tail_size) != tail_size) fail_os(EIO);
  lines_ = before;
  if (tail[2] != '\n') {
    ++lines_;
  } else {
    last_empty_ = tail[1] == '\n' || (tail[1] == '\r' && tail[0] == '\n');
  }
}

LineMap::LineMap(const PlotFile& file, std::uint64_t begin, std::uint64_t end, const LineLengths& lengths)
    : file_(file), end_(end), lengths_(lengths) {
  checkpoints_.push_back({0, begin});
  const std::uint64_t blocks = (end - begin) / lengths.block_bytes();
  lines_ = blocks * lengths.lines;
  last_empty_ = (end - begin) % lengths.block_bytes() == 1;
  lines_ += last_empty_ ? 1 : 0;
}

LineWalker LineMap::walker_at(std::uint64_t line, std::size_t buffer_size) const {
  if (lengths_) {
    const std::uint64_t phase = line % lengths_->lines;
    const std::uint64_t offset =
        checkpoints_[0].offset + line / lengths_->lines * lengths_->block_bytes() + lengths_->before(phase);
    LineWalker walker(file_, offset, end_, buffer_size);
    walker.expect(*lengths_, phase, LineWalker::Layout::required);
    return walker;
  }
  const auto after = std::upper_bound(checkpoints_.begin(), checkpoints_.end(), line,
                                      [](std::uint64_t wanted, const Checkpoint& point) { return wanted < point.line; });
  const Checkpoint& from = after[-1];
  LineWalker walker(file_, from.offset, end_, buffer_size);
  walker.skip_lines(line - from.line);
  return walker;
}

}  // namespace novrel::reader
