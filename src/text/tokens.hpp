// Whitespace, tokens and the parameter count.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "failure/memory.hpp"

namespace novrel::text {

// Exactly the 25 code points of the Unicode White_Space property; never the
// locale.
bool is_whitespace(char32_t c) noexcept;

namespace detail {
// Tab, LF, VT, FF, CR and space: the only ASCII members of the class.
constexpr bool is_ascii_whitespace(unsigned char byte) noexcept {
  return byte == 0x20 || static_cast<unsigned>(byte - 0x09) < 5;
}
// The general case, decoding characters at the edges.
std::string_view trim_whitespace_decoding(std::string_view text) noexcept;
}  // namespace detail

// `text` is well-formed UTF-8; the result is a view into it. Inline because
// it runs once per field: fields are ASCII-padded ASCII numbers, and only a
// multi-byte character at an edge needs the decoding path.
[[nodiscard]] inline std::string_view trim_whitespace(std::string_view text) noexcept {
  const char* begin = text.data();
  const char* end = begin + text.size();
  while (begin < end && detail::is_ascii_whitespace(static_cast<unsigned char>(*begin))) ++begin;
  while (end > begin && detail::is_ascii_whitespace(static_cast<unsigned char>(end[-1]))) --end;
  const std::string_view rest(begin, static_cast<std::size_t>(end - begin));
  if (!rest.empty() && (static_cast<unsigned char>(rest.front()) >= 0x80 ||
                        static_cast<unsigned char>(rest.back()) >= 0x80))
    return detail::trim_whitespace_decoding(rest);
  return rest;
}

// Maximal runs of non-whitespace characters, in order; views into `text`.
failure::Vec<std::string_view> split_whitespace(std::string_view text);

// An optional '+', then one or more ASCII digits, at most 4294967295.
std::optional<std::uint32_t> parse_parameter_count(std::string_view token) noexcept;

}  // namespace novrel::text
