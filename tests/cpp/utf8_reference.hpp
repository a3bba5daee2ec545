// A deliberately plain UTF-8 validator to compare the fast one against: it
// computes each code point arithmetically and rejects by value (overlong,
// surrogate, too large) instead of by byte ranges.
#pragma once

#include <cstddef>
#include <string_view>

namespace novrel::testing {

inline bool reference_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    char32_t value;
    char32_t smallest;
    if (lead < 0x80) { i += 1; continue; }
    if ((lead & 0xE0) == 0xC0) { length = 2; value = lead & 0x1F; smallest = 0x80; }
    else if ((lead & 0xF0) == 0xE0) { length = 3; value = lead & 0x0F; smallest = 0x800; }
    else if ((lead & 0xF8) == 0xF0) { length = 4; value = lead & 0x07; smallest = 0x10000; }
    else return false;
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto byte = static_cast<unsigned char>(text[i + k]);
      if ((byte & 0xC0) != 0x80) return false;
      value = (value << 6) | (byte & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF) return false;
    if (value >= 0xD800 && value <= 0xDFFF) return false;
    i += length;
  }
  return true;
}

}  // namespace novrel::testing
