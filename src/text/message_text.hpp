// Pieces of message text: numbers, quoted literals, and a character named
// in a message.
#pragma once

#include <cstddef>
#include <string_view>

#include "failure/memory.hpp"

namespace novrel::text {

// Appends `value` in decimal, with a '-' when negative. Any integer type,
// the 128-bit one too (the reader's field bounds are that wide on 64-bit
// targets).
template <class Integer>
void append_decimal(failure::String& out, Integer value) {
  char digits[40];  // 2^128 has 39 digits
  std::size_t n = sizeof digits;
  bool negative = false;
  if constexpr (static_cast<Integer>(-1) < static_cast<Integer>(0)) negative = value < 0;
  // Remainders taken by magnitude, so the most negative value needs no
  // wider type.
  do {
    const int remainder = static_cast<int>(value % 10);
    digits[--n] = static_cast<char>('0' + (remainder < 0 ? -remainder : remainder));
    value /= 10;
  } while (value != 0);
  if (negative) digits[--n] = '-';
  out.append(digits + n, sizeof digits - n);
}

// Appends `text` as a double-quoted literal with backslash escapes: the
// quote, the backslash and control characters, so that a multi-line text
// stays on the one line of its rendering.
void append_quoted(failure::String& out, std::string_view text);

// The character of well-formed UTF-8 `text` whose bytes contain `index`:
// its bytes [first, last) and its code point.
struct CharAt {
  std::size_t first;
  std::size_t last;
  char32_t code_point;
};
CharAt char_containing(std::string_view text, std::size_t index) noexcept;

// False for characters without a visible form of their own.
bool has_visible_form(char32_t c) noexcept;

// Appends the character between single quotes: itself when it has a visible
// form, else its code point as \u{...} in lowercase hexadecimal.
void append_quoted_char(failure::String& out, std::string_view text, const CharAt& ch);

}  // namespace novrel::text
