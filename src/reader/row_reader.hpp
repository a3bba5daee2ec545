// The row reader's state, shared by its two ways through the blocks: read in
// order from the start (rows.cpp), or counted first and then read in parts,
// for bounds from the end or blocks split among threads (rows_counted.cpp).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "failure/memory.hpp"
#include "reader/block_walker.hpp"
#include "reader/format.hpp"
#include "reader/row_sink.hpp"
#include "reader/rows.hpp"
#include "reader/source.hpp"
#include "text/lines/line_source.hpp"

namespace novrel::reader {

// The rows reader asks for 256 KiB a read rather than the list reader's
// 8 KiB: with the interpreter released, reading is the rest of its time.
// 64 KiB took 8-15% off a full 100 MB read on i386 (where each system call
// goes through the 32-bit entry) and 5-10% on amd64, and 256 KiB no more;
// but a chosen read, which mostly passes over bytes, spends half its time
// copying them, and that copy took a quarter less time in reads of 256 KiB,
// which still stay in the second-level cache.
constexpr std::size_t kRowsReadBufferSize = 256u << 10;

template <class T>
class RowReader {
 public:
  RowReader(const RowOptions& options) : options_(options) {}

  PlotRows read(const PlotFile& file);

 private:
  PlotRows finished() {
    rows_.dtype = sizeof(T) == 4 ? Dtype::float32 : Dtype::float64;
    rows_.values.resize(rows_.blocks * columns_ * sizeof(T));
    return std::move(rows_);
  }

  bool look_at_first_block(LineWalker& walker, std::uint64_t line, const BlockGeometry& geometry);

  T* row(std::size_t index) { return rows_.values.template data<T>() + index * columns_; }

  // Room for `rows` rows; values beyond what one allocation may hold could
  // never be read.
  void reserve(std::uint64_t rows) {
    if (rows > failure::max_elements<T>() / columns_) throw ReadError(ReadProblem::too_large);
    if (rows * columns_ * sizeof(T) > rows_.values.bytes())
      rows_.values.resize(static_cast<std::size_t>(rows * columns_ * sizeof(T)));
  }

  // The blocks read in order from the start (rows.cpp).
  void stream(LineWalker& walker, std::uint64_t line, const RowShared& shared, const PlotFile& file,
              const BlockChoice& choice);
  static bool pass_blocks(BlockDecoder<T>& decoder, std::uint64_t count, std::uint64_t lines);
  void reserve_after_first_block(const PlotFile& file, std::uint64_t taken, std::uint64_t block_bytes,
                                 std::optional<std::uint64_t> stop, std::uint64_t start, std::uint64_t step);
  void keep_chosen(const Resolved& chosen);

  // The blocks counted first, then read in parts (rows_counted.cpp).
  bool last_block_whole(const LineMap& map, const RowShared& shared, std::uint64_t block,
                        std::uint64_t line_before) const;
  void read_counted(const PlotFile& file, std::uint64_t begin, std::uint64_t line_before,
                    const RowShared& shared);
  void read_mapped(const LineMap& map, std::uint64_t line_before, const RowShared& shared, unsigned threads);
  void pass_polled(BlockDecoder<T>& decoder, std::uint64_t count, bool poll) const;

  const RowOptions& options_;
  PlotRows rows_;
  std::size_t columns_ = 0;
  std::size_t suggested_width_ = 0;
  std::optional<reader::LineLengths> lengths_;  // the first block's layout, where usable
  std::uint64_t block_base_ = 0;  // the file's number of the first block read
};

}  // namespace novrel::reader
