#include "text/message_text.hpp"

#include "text/lines/utf8.hpp"

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

// The characters shown escaped, and why these, are set out in
// tools/gen_visible_table.py, which writes the table.
bool has_visible_form(char32_t c) noexcept {
  struct Range {
    char32_t first, last;
  };
  static constexpr Range kEscaped[] = {
#include "text/visible_form.inc"
  };
  for (const Range& r : kEscaped)
    if (c >= r.first && c <= r.last) return false;
  return true;
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
