// A plot file read for array consumers: chosen parameters of chosen blocks as
// rows, in one block of memory that can be handed on whole; the names; and
// failures as values that say where they happened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "failure/memory.hpp"
#include "reader/read_failure.hpp"

namespace novrel {

namespace reader {
class PlotFile;
}

enum class Dtype : std::uint8_t { float32, float64 };

inline std::size_t size_of(Dtype dtype) noexcept { return dtype == Dtype::float32 ? 4 : 8; }

// Bytes in one malloc'd block, so that it can grow and shrink in place
// (large blocks are remapped, not copied) and pass to a new owner.
class ValueBlock {
 public:
  ValueBlock() noexcept = default;
  ValueBlock(ValueBlock&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
  ValueBlock& operator=(ValueBlock&& other) noexcept {
    ValueBlock dropped(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
    return *this;
  }
  ~ValueBlock() { failure::release_bytes(data_); }

  template <class T>
  T* data() const noexcept { return static_cast<T*>(data_); }
  std::size_t bytes() const noexcept { return bytes_; }
  // Room for `bytes`; the first min(bytes, bytes()) are kept.
  void resize(std::size_t bytes);
  // The block passes to the caller, who frees it with failure::release_bytes.
  [[nodiscard]] void* release() noexcept {
    bytes_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  void* data_ = nullptr;
  std::size_t bytes_ = 0;
};

// Blocks as a slice does: start, stop and step, negative bounds counting
// from the end, resolved once the file's block count is known.
struct BlockChoice {
  std::optional<std::int64_t> start;
  std::optional<std::int64_t> stop;
  std::int64_t step = 1;  // at least 1
};

struct PlotRows {
  failure::String title;  // the header line before the count, without surrounding whitespace
  failure::Vec<failure::String> names;  // all the name lines, without surrounding whitespace
  failure::Vec<std::uint32_t> parameters;  // the file's index of each column
  ValueBlock values;  // blocks * parameters.size() values of `dtype`, row after row
  Dtype dtype = Dtype::float32;
  std::size_t blocks = 0;        // rows
  std::uint64_t first_block = 0;  // the file's block number of row 0
  std::uint64_t block_step = 1;   // ... and between rows
  std::size_t width = 0;  // of a field; 0 when no data line gave it and none was asked for
  // Where the blocks read whole end: the offset after the last of them (or
  // after the names, or RowOptions::resume's offset, when there is none),
  // its line and the next block's number. Set by reads from the start or a
  // resume point through the last chosen block, one thread, no negative bound.
  std::uint64_t end_offset = 0;
  std::uint64_t end_line = 0;
  std::uint64_t end_block = 0;
  std::uint64_t names_end = 0;  // the offset after the last name line
  // Where the first block read ends and the last begins; set where end_offset is.
  std::uint64_t first_block_end = 0;
  std::uint64_t last_block_begin = 0;
  // The source's size, device and inode when read (PlotFile).
  std::uint64_t source_size = 0, source_device = 0, source_inode = 0;
};

// Where an earlier read stopped (PlotRows::end_offset, end_line, end_block):
// a read of a growing file picks up there, its header read again and the
// blocks between skipped.
struct ResumePoint {
  std::uint64_t offset = 0;  // 0: from the first block
  std::uint64_t line = 0;
  std::uint64_t block = 0;
};

struct RowOptions {
  // 0: the first data line's length over the fields it holds.
  std::size_t width = 0;
  // A file that ends inside a block (its lines missing, or its last line cut
  // short, as while a simulation is still writing it) gives the blocks before
  // that one instead of failing.
  bool complete_blocks = false;
  Dtype dtype = Dtype::float32;
  // Parameter indices, negative counting from the end, or names as
  // format.hpp's unique_names makes them; parameter 0 comes first whether
  // chosen or not. Empty: all, in order.
  failure::Vec<std::variant<std::int64_t, failure::String>> parameters;  // reader::ParameterChoice
  BlockChoice blocks;
  // With complete_blocks: the file is still being written, so a block is
  // whole only once its last line has ended, and a read can resume after
  // it. A line whose end is missing may yet grow, even where it parses.
  bool growing = false;
  // A seekable file only, with `growing`.
  ResumePoint resume;
  // A data line holds its fields and nothing else: anything but spaces and
  // tabs after its last field is a ReadError (text_after_fields), on every
  // data line of the blocks read, chosen fields or not. Left off, such text
  // is ignored, as the list reader ignores it.
  bool refuse_text_after_fields = false;
  // The chosen blocks are split among this many threads.
  unsigned threads = 1;
  // Called on the calling thread about every kPollBytes of input. It may
  // throw to abandon the read: everything is released on the way out.
  void (*poll)(void* context) = nullptr;
  void* poll_context = nullptr;
};

inline constexpr std::uint64_t kPollBytes = 4u << 20;

// Reads one plot file as rows. Writes nothing to fd 1 or fd 2 and never
// aborts: every failure, running out of memory included, is thrown as a
// ReadError raised where it happened, and whatever `options.poll` throws
// passes through unchanged.
PlotRows read_plot_rows(std::string_view file_path, const RowOptions& options);
// The same from a source of any kind (reader/source.hpp).
PlotRows read_plot_rows(const reader::PlotFile& file, const RowOptions& options);

}  // namespace novrel
