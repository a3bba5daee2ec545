#include "text/message_text.hpp"

#include "text/utf8.hpp"

namespace novrel::text {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex_escape(failure::String& out, char32_t code_point) {
  char hex[8];
  std::size_t n = 0;
  do {
    hex[n++] = kHex[code_point & 0xF];
    code_point >>= 4;
  } while (code_point != 0);
  out += "\\u{";
  while (n > 0) out += hex[--n];
  out += '}';
}

}  // namespace

void append_quoted(failure::String& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
          append_hex_escape(out, byte);
        } else {
          out += c;
        }
      }
    }
  }
  out += '"';
}

CharAt char_containing(std::string_view text, std::size_t index) noexcept {
  std::size_t first = index;
  while (first > 0 && is_continuation_byte(text[first])) --first;
  const Utf8Step step =
      decode_utf8(reinterpret_cast<const unsigned char*>(text.data()) + first, text.size() - first);
  return {first, first + step.length, step.code_point};
}

// Shown escaped: C1 controls, separators and spaces, format characters,
// combining marks, variation selectors, private use, noncharacters, and the
// unassigned planes and the unassigned ends of plane 3. The ranges follow
// Unicode 15.0.
bool has_visible_form(char32_t c) noexcept {
  struct Range {
    char32_t first, last;
  };
  static constexpr Range kInvisible[] = {
      {0x0080, 0x00A0}, {0x00AD, 0x00AD}, {0x0300, 0x036F}, {0x0483, 0x0489},
      {0x0591, 0x05BD}, {0x0600, 0x0605}, {0x061C, 0x061C}, {0x064B, 0x065F},
      {0x06DD, 0x06DD}, {0x070F, 0x070F}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A},
      {0x1680, 0x1680}, {0x180B, 0x180F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
      {0x2000, 0x200F}, {0x2028, 0x202F}, {0x205F, 0x206F}, {0x20D0, 0x20FF},
      {0x3000, 0x3000}, {0x302A, 0x302F}, {0x3099, 0x309A}, {0xD800, 0xF8FF},
      {0xFDD0, 0xFDEF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF},
      {0xFFF0, 0xFFFB}, {0xFFFE, 0xFFFF}, {0x1D173, 0x1D182}, {0x3134B, 0x3134F},
      {0x323B0, 0xDFFFF}, {0xE0000, 0x10FFFF},
  };
  for (const Range& r : kInvisible)
    if (c >= r.first && c <= r.last) return false;
  return (c & 0xFFFE) != 0xFFFE;  // the last two code points of every plane
}

void append_quoted_char(failure::String& out, std::string_view text, const CharAt& ch) {
  out += '\'';
  if (has_visible_form(ch.code_point)) {
    out.append(text.substr(ch.first, ch.last - ch.first));
  } else {
    append_hex_escape(out, ch.code_point);
  }
  out += '\'';
}

}  // namespace novrel::text
