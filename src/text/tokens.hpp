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

// `text` is well-formed UTF-8; the result is a view into it.
[[nodiscard]] std::string_view trim_whitespace(std::string_view text) noexcept;

// Maximal runs of non-whitespace characters, in order; views into `text`.
failure::Vec<std::string_view> split_whitespace(std::string_view text);

// An optional '+', then one or more ASCII digits, at most 4294967295.
std::optional<std::uint32_t> parse_parameter_count(std::string_view token) noexcept;

}  // namespace novrel::text
