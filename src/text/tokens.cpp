#include "text/tokens.hpp"

#include "text/lines/utf8.hpp"

namespace novrel::text {
using detail::is_ascii_whitespace;

bool is_whitespace(char32_t c) noexcept {
  if (c < 0x80) return is_ascii_whitespace(c);
  switch (c) {
    case 0x0085: case 0x00A0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::string_view detail::trim_whitespace_decoding(std::string_view text) noexcept {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();

  // Fields are almost always ASCII-padded ASCII numbers; decoding happens only
  // when a byte of a multi-byte character sits at an edge. An ill-formed
  // sequence is not whitespace, so trimming stops at it.
  while (begin < end) {
    if (*begin < 0x80) {
      if (!is_ascii_whitespace(*begin)) break;
      ++begin;
      continue;
    }
    const Utf8Step step = decode_utf8(begin, static_cast<std::size_t>(end - begin));
    if (!step.valid || !is_whitespace(step.code_point)) break;
    begin += step.length;
  }
  while (end > begin) {
    if (end[-1] < 0x80) {
      if (!is_ascii_whitespace(end[-1])) break;
      --end;
      continue;
    }
    const Utf8Step step =
        decode_last_utf8(begin, static_cast<std::size_t>(end - begin));
    if (!step.valid || !is_whitespace(step.code_point)) break;
    end -= step.length;
  }
  return {reinterpret_cast<const char*>(begin),
          static_cast<std::size_t>(end - begin)};
}

failure::Vec<std::string_view> split_whitespace(std::string_view text) {
  failure::Vec<std::string_view> tokens;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  constexpr std::size_t kNoToken = static_cast<std::size_t>(-1);
  std::size_t token_start = kNoToken;
  std::size_t at = 0;
  while (at < size) {
    std::size_t length = 1;
    bool whitespace;
    if (bytes[at] < 0x80) {
      whitespace = is_ascii_whitespace(bytes[at]);
    } else {
      const Utf8Step step = decode_utf8(bytes + at, size - at);
      length = step.length;
      whitespace = step.valid && is_whitespace(step.code_point);
    }
    if (whitespace) {
      if (token_start != kNoToken) {
        tokens.push_back(text.substr(token_start, at - token_start));
        token_start = kNoToken;
      }
    } else if (token_start == kNoToken) {
      token_start = at;
    }
    at += length;
  }
  if (token_start != kNoToken) tokens.push_back(text.substr(token_start));
  return tokens;
}

std::optional<std::uint32_t> parse_parameter_count(std::string_view token) noexcept {
  if (!token.empty() && token.front() == '+') token.remove_prefix(1);
  if (token.empty()) return std::nullopt;  // also a lone "+"
  std::uint32_t value = 0;
  for (const char c : token) {
    const unsigned digit = static_cast<unsigned char>(c) - '0';
    if (digit > 9 || __builtin_mul_overflow(value, 10u, &value) ||
        __builtin_add_overflow(value, digit, &value))
      return std::nullopt;
  }
  return value;
}

}  // namespace novrel::text
