// Well-formed UTF-8: validation, single-step decoding and lossy decoding.
//
// "Well-formed" is the Unicode definition (no overlong forms, no encoded
// surrogates, nothing above U+10FFFF, no truncated sequence); the byte ranges
// that make a sequence valid are the ones of the standard's table of
// well-formed byte sequences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "failure/memory.hpp"

namespace novrel::text {

// 0x80 to 0xBF: a byte inside a multi-byte character, never its first.
constexpr bool is_continuation_byte(char byte) noexcept {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// The result of decoding at one position.
struct Utf8Step {
  char32_t code_point;  // valid steps only
  std::uint8_t length;  // bytes consumed: the character, or the maximal
                        // ill-formed subpart (at least 1) when invalid
  bool valid;
};

// Decodes the character that starts at `bytes[0]`; `size` must be at least 1.
// Never reads beyond `bytes[size - 1]`.
Utf8Step decode_utf8(const unsigned char* bytes, std::size_t size) noexcept;

// Decodes the character that ends at `bytes[size - 1]`, assuming the text up
// to there is well-formed; on anything else it reports the last byte alone
// as an invalid step. `size` must be at least 1.
Utf8Step decode_last_utf8(const unsigned char* bytes, std::size_t size) noexcept;

// True when all of `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text) noexcept;

// Appends `bytes` to `out`, replacing each maximal ill-formed subpart with
// U+FFFD.
void append_utf8_lossy(failure::String& out, std::string_view bytes);

}  // namespace novrel::text
