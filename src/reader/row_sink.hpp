// The rows sink: the chosen fields of one block into one row, with failures
// thrown as ReadError values where they happen.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "failure/memory.hpp"
#include "reader/rows.hpp"
#include "reader/block_walker.hpp"
#include "reader/field_decoding.hpp"
#include "reader/format.hpp"
#include "reader/read_failure.hpp"

namespace novrel::reader {

// A parameter chosen by index (negative from the end) or by name.
using ParameterChoice = std::variant<std::int64_t, failure::String>;

// Which fields of a block a read takes, and where each goes in its row.
struct RowPlan {
  struct Line {
    std::uint64_t data_line;
    std::size_t fields;      // on the line
    bool whole;              // every field, to columns column..column + fields - 1
    std::size_t column;
    std::size_t chosen = 0;  // otherwise: chosen fields in line order
    std::array<std::uint8_t, kFieldsPerLine> slot{};
    std::array<std::uint32_t, kFieldsPerLine> to{};  // their columns
  };
  failure::Vec<Line> lines;  // in file order
  failure::Vec<std::uint32_t> parameters;  // of each column
};

// `parameters` as RowOptions holds them: indices resolved against the
// count, names looked up among `names` made unique.
RowPlan plan_rows(const BlockGeometry& geometry, const failure::Vec<ParameterChoice>& parameters,
                  const failure::Vec<failure::String>& names);

// A choice of blocks resolved against a count of them: the start, stop and
// step, and how many rows they give.
struct Resolved {
  std::uint64_t start, stop, step, rows;
};
Resolved resolve(const BlockChoice& choice, std::uint64_t blocks);

// What every thread's decoder shares.
struct RowShared {
  const RowPlan& plan;
  BlockGeometry geometry;
  const failure::Vec<failure::String>& names;
  std::size_t width;
  std::size_t suggested_width;
  bool complete_blocks;
  bool growing;  // RowOptions::growing
  bool refuse_text_after_fields;  // RowOptions::refuse_text_after_fields
};

template <class T>
class BlockDecoder {
 public:
  // `line`: the lines before the walker's next one.
  BlockDecoder(const RowShared& shared, LineWalker& walker, std::uint64_t line)
      : shared_(shared), walker_(walker), fields_(shared.width), line_(line) {}

  // Block `block` into `row`; false where the file ends where its leading
  // line is due, or, with complete_blocks, inside it (and, for a growing
  // file, before its last line has ended).
  bool read(T* row, std::uint64_t block) {
    return read_block(row, block) && (!shared_.growing || walker_.last_line_terminated());
  }

  // Passes over `count` lines; false where the file ends first, which
  // inside a block is its cut.
  bool pass(std::uint64_t count) {
    if (count == 0) return true;
    const std::uint64_t passed = walker_.skip_lines(count);
    line_ += passed;
    if (passed == count) return true;
    if (shared_.complete_blocks) return false;
    throw located(ReadProblem::block_cut, line_ + 1);
  }

  std::uint64_t offset() const noexcept { return walker_.offset(); }
  // The lines read or passed so far, the first counting from the start.
  std::uint64_t line() const noexcept { return line_; }

  // The field decoder's failures, located.
  [[noreturn]] void outside(std::string_view line, std::size_t k, WideIndex, WideIndex) {
    const bool cut = !walker_.last_line_terminated();
    throw at_field(cut ? ReadProblem::line_cut : ReadProblem::field_outside, k).showing(line);
  }
  [[noreturn]] void not_a_number(std::string_view, std::size_t k, std::string_view field,
                                 text::FloatErrorKind) {
    throw at_field(ReadProblem::not_a_number, k).showing(field);
  }

 private:
  bool read_block(T* row, std::uint64_t block) {
    block_ = block;
    const text::NextLine leading = next();
    if (leading.status != text::LineStatus::Line) return ended(leading, false);
    // One empty line at the very end of a file ends it.
    if (leading.text.empty() && walker_.at_end()) return false;
    std::uint64_t at = 0;  // data lines passed
    for (const RowPlan::Line& planned : shared_.plan.lines) {
      if (!pass_data(at, planned.data_line - at)) return false;
      at = planned.data_line + 1;
      const text::NextLine got = next();
      if (got.status != text::LineStatus::Line) return ended(got, true);
      first_parameter_ = planned.data_line * kFieldsPerLine;
      if (shared_.complete_blocks && !walker_.last_line_terminated()) {
        // The file's last line, maybe cut short while it was written.
        try {
          take(planned, got.text, row);
        } catch (const ReadError&) {
          return false;
        }
      } else {
        take(planned, got.text, row);
      }
    }
    const std::uint64_t last = shared_.geometry.data_lines() - 1;
    if (!shared_.complete_blocks || at > last) return pass_data(at, shared_.geometry.data_lines() - at);
    // With complete_blocks, a block whose last line is the file's, cut short
    // while it was written, is not one: a full read drops it where taking
    // that line fails, so its fields are taken here too, chosen or not.
    if (!pass_data(at, last - at)) return false;
    const text::NextLine got = next();
    if (got.status != text::LineStatus::Line) return ended(got, true);
    const std::size_t fields = shared_.geometry.fields_on(last);
    if (walker_.last_line_terminated()) {
      refuse_after_fields(got.text, fields);
      return true;
    }
    T unchosen[kFieldsPerLine];
    first_parameter_ = last * kFieldsPerLine;
    try {
      fields_.template take<1>(got.text, fields, unchosen, *this);
      refuse_after_fields(got.text, fields);
    } catch (const ReadError&) {
      return false;
    }
    return true;
  }

  text::NextLine next() {
    ++line_;
    return walker_.next_line();
  }

  // Passes over data lines [first, first + count) of the block being read,
  // as pass does; where text after the fields is refused, each line's bytes
  // after its fields are looked at (not decoded), save those of lines the
  // layout vouches for, which end where their fields do.
  __attribute__((always_inline)) bool pass_data(std::uint64_t first, std::uint64_t count) {
    if (count == 0) return true;  // between the lines of a full read
    if (!shared_.refuse_text_after_fields) return pass(count);
    return pass_looking(first, count);
  }

  bool pass_looking(std::uint64_t first, std::uint64_t count) {
    const std::uint64_t laid_out = walker_.skip_laid_out(count);
    line_ += laid_out;
    for (std::uint64_t d = first + laid_out; d < first + count; ++d) {
      ++line_;
      const text::NextLine got = walker_.next_raw_line();
      if (got.status != text::LineStatus::Line) {
        if (shared_.complete_blocks) return false;
        throw located(ReadProblem::block_cut, line_);
      }
      // With complete_blocks, a passed line is never the block's last: one
      // whose end is missing is a cut block, whatever it holds.
      if (shared_.complete_blocks && !walker_.last_line_terminated()) return false;
      refuse_after_fields(got.text, shared_.geometry.fields_on(d));
    }
    return true;
  }

  // Where refused, anything but spaces and tabs after a data line's last
  // field: blanks cannot hide a value, anything else may be one dropped.
  void refuse_after_fields(std::string_view text, std::size_t fields) const {
    if (shared_.refuse_text_after_fields && text.size() > fields_.end_of(fields)) [[unlikely]]
      refuse_past(text, static_cast<std::size_t>(fields_.end_of(fields)));
  }

  __attribute__((noinline)) void refuse_past(std::string_view text, std::size_t end) const {
    const std::size_t found = text.find_first_not_of(" \t", end);
    if (found != std::string_view::npos)
      throw located(ReadProblem::text_after_fields, line_).showing(text.substr(found));
  }

  // A line that is not there, or not readable: the end where a leading line
  // is due, a cut inside a block.
  bool ended(const text::NextLine& got, bool inside) {
    const bool cut_short = !got.error.is_os() && !walker_.last_line_terminated();
    if (got.status == text::LineStatus::Error && !(shared_.complete_blocks && cut_short)) {
      throw with_place(ReadError::of_line(got.error, line_));
    }
    if (got.status == text::LineStatus::EndOfInput && inside && !shared_.complete_blocks)
      throw located(ReadProblem::block_cut, line_);
    return false;
  }

  void take(const RowPlan::Line& planned, std::string_view text, T* row) {
    // Lines of their fields alone, nearly all, take no look past them, and
    // the look stays off their path.
    if (text.size() > fields_.end_of(planned.fields)) [[unlikely]]
      return take_longer(planned, text, row);
    take_fields(planned, text, row);
  }

  // The fields first, so that a failing field decides the error.
  __attribute__((noinline)) void take_longer(const RowPlan::Line& planned, std::string_view text, T* row) {
    take_fields(planned, text, row);
    refuse_after_fields(text, planned.fields);
  }

  __attribute__((always_inline)) void take_fields(const RowPlan::Line& planned, std::string_view text, T* row) {
    if (planned.whole) return fields_.template take<1>(text, planned.fields, row + planned.column, *this);
    for (std::size_t i = 0; i < planned.chosen; ++i)
      row[planned.to[i]] = fields_.take_one(text, planned.slot[i], *this);
  }

  ReadError located(ReadProblem problem, std::uint64_t line) const {
    return with_place(ReadError(problem, line));
  }

  // `error` with the block and the geometry it happened in.
  ReadError with_place(ReadError error) const {
    error.block = block_;
    error.width = shared_.width;
    error.suggested_width = shared_.suggested_width;
    error.count = shared_.geometry.count();
    return error;
  }

  ReadError at_field(ReadProblem problem, std::size_t k) const {
    ReadError error = located(problem, line_);
    const auto parameter = static_cast<std::uint32_t>(first_parameter_ + k);
    error.parameter = parameter;
    error.name = shared_.names[parameter];
    return error;
  }

  const RowShared& shared_;
  LineWalker& walker_;
  FieldDecoder<T> fields_;
  std::uint64_t line_;  // of the line last read, counting from 1
  std::uint64_t block_ = 0;
  std::uint64_t first_parameter_ = 0;
};

}  // namespace novrel::reader
