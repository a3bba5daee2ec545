// Fields of data lines to float or double.
//
// A whole line goes to the SIMD line decoder first; what it leaves (fields
// outside the usual layout, or any failure) goes to the field parser one
// field at a time, in order, so that the first failing field of a line
// decides its error. Failing is the caller's: `Fail` has
//   [[noreturn]] outside(line, k, start, end)   field k is not within the
//                line on character boundaries
//   [[noreturn]] not_a_number(line, k, field, error)
// so the list reader raises its messages and the row reader its typed
// failures from the same code, each at the failing field.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "reader/format.hpp"
#include "text/lines/fixed_line.hpp"
#include "text/number/number.hpp"
#include "text/tokens.hpp"
#include "text/lines/utf8.hpp"

namespace novrel::reader {

template <class T>
class FieldDecoder {
 public:
  explicit FieldDecoder(std::size_t width)
      : decoder_(text::FixedLineDecoder::for_width(width)) {
    for (std::size_t k = 0; k <= kFieldsPerLine; ++k)
      edge_[k] = static_cast<WideIndex>(k) * width;
  }

  std::size_t width() const noexcept { return static_cast<std::size_t>(edge_[1]); }
  // Where the last of `fields` fields ends.
  WideIndex end_of(std::size_t fields) const noexcept { return edge_[fields]; }

  // Fields [0, fields) of one data line; field k's value goes to
  // target[k * kStride].
  template <std::size_t kStride, class Fail>
  void take(std::string_view line, std::size_t fields, T* target, Fail& fail) const {
    // Doubles go straight into a contiguous target (the decoder writes no
    // further than `fields`): on i386 the copy from a buffer was a call to
    // memcpy per line, 6% of a float64 read's instructions. Floats keep the
    // buffer, which the decoder may fill past `fields`.
    constexpr bool kInPlace = kStride == 1 && std::is_same_v<T, double>;
    T buffer[kInPlace ? 1 : text::kDecodedLineCapacity];
    T* const values = kInPlace ? target : buffer;
    const unsigned decoded = edge_[fields] <= line.size() ? decoder_.decode(line, fields, values) : 0;
    // Decoded fields are ASCII, so when all are, every field edge is a
    // character boundary too: no byte after an ASCII one continues a character.
    if (decoded == (1u << fields) - 1) {
      if constexpr (!kInPlace)
        for (std::size_t k = 0; k < fields; ++k) target[k * kStride] = values[k];
      return;
    }
    if (!fields_fit(line, fields)) return take_checked(line, fields, target, kStride, fail);
    // Every field lies within the line on character boundaries: only the
    // numbers can fail now.
    const std::size_t w = width();
    const char* field = line.data();
    for (std::size_t k = 0; k < fields; ++k, field += w)
      target[k * kStride] = decoded >> k & 1 ? values[k] : parse(line, std::string_view(field, w), k, fail);
  }

  // Field k alone, for a read of chosen parameters: the same checks and the
  // same value as take gives it.
  template <class Fail>
  T take_one(std::string_view line, std::size_t k, Fail& fail) const {
    const WideIndex start = edge_[k];
    const WideIndex end = edge_[k + 1];
    if (!field_fits(line, start, end)) fail.outside(line, k, start, end);
    return parse(line, line.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)), k, fail);
  }

 private:
  static bool inside_char(std::string_view line, WideIndex at) noexcept {
    return at < line.size() && text::is_continuation_byte(line[static_cast<std::size_t>(at)]);
  }

  // [start, end) within the line, neither edge inside a multi-byte character
  // (0 and the length never are).
  static bool field_fits(std::string_view line, WideIndex start, WideIndex end) noexcept {
    return end <= line.size() && !inside_char(line, start) && !inside_char(line, end);
  }

  bool fields_fit(std::string_view line, std::size_t fields) const noexcept {
    if (edge_[fields] > line.size()) return false;
    for (std::size_t k = 1; k <= fields; ++k)
      if (inside_char(line, edge_[k])) return false;
    return true;
  }

  // A line where some field does not fit: each field is checked just before
  // it is parsed, so that the first failing field decides the error.
  template <class Fail>
  __attribute__((noinline)) void take_checked(std::string_view line, std::size_t fields,
                                              T* target, std::size_t stride, Fail& fail) const {
    for (std::size_t k = 0; k < fields; ++k) target[k * stride] = take_one(line, k, fail);
  }

  template <class Fail>
  static T parse(std::string_view line, std::string_view field, std::size_t k, Fail& fail) {
    const text::ParsedFloat<T> parsed = text::parse_float<T>(text::trim_whitespace(field));
    if (!parsed.ok) [[unlikely]]
      fail.not_a_number(line, k, field, parsed.error);
    return parsed.value;
  }

  std::array<WideIndex, kFieldsPerLine + 1> edge_;  // edge_[k] = k * width
  text::FixedLineDecoder decoder_;  // whole lines of the usual layout
};

}  // namespace novrel::reader
