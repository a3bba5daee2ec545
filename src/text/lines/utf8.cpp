#include "text/lines/utf8.hpp"

#include <cstring>

namespace novrel::text {
namespace {

// True when none of the `Size` bytes at `bytes` has its high bit set.
template <std::size_t Size>
inline bool is_ascii_block(const unsigned char* bytes) noexcept {
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i < Size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    seen |= word;
  }
  return (seen & kHighBits) == 0;
}

}  // namespace

Utf8Step decode_utf8(const unsigned char* bytes, std::size_t size) noexcept {
  const unsigned lead = bytes[0];
  if (lead < 0x80) return {lead, 1, true};

  // The first continuation byte's range is what excludes overlong forms
  // (E0, F0), surrogates (ED) and values above U+10FFFF (F4); every later
  // continuation byte is 80..BF.
  std::size_t continuation_count;
  char32_t code_point;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  if (lead < 0xC2) {
    return {0, 1, false};  // a stray continuation byte, or overlong C0/C1
  } else if (lead < 0xE0) {
    continuation_count = 1;
    code_point = lead & 0x1F;
  } else if (lead < 0xF0) {
    continuation_count = 2;
    code_point = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead < 0xF5) {
    continuation_count = 3;
    code_point = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {0, 1, false};
  }

  for (std::size_t i = 1; i <= continuation_count; ++i) {
    if (i >= size) return {0, static_cast<std::uint8_t>(i), false};
    const unsigned byte = bytes[i];
    if (byte < low || byte > high) {
      return {0, static_cast<std::uint8_t>(i), false};
    }
    code_point = (code_point << 6) | (byte & 0x3F);
    low = 0x80;
    high = 0xBF;
  }
  return {code_point, static_cast<std::uint8_t>(continuation_count + 1), true};
}

Utf8Step decode_last_utf8(const unsigned char* bytes,
                          std::size_t size) noexcept {
  std::size_t start = size - 1;
  const std::size_t earliest = size > 4 ? size - 4 : 0;
  while (start > earliest && is_continuation_byte(bytes[start])) --start;
  const Utf8Step step = decode_utf8(bytes + start, size - start);
  if (!step.valid || step.length != size - start) return {0, 1, false};
  return step;
}

bool is_valid_utf8(std::string_view text) noexcept {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = begin + text.size();
  const auto* at = begin;

  for (;;) {
    // Plot files are almost entirely ASCII: 32, then 16 bytes per step, one
    // test each.
    while (end - at >= 32 && is_ascii_block<32>(at)) at += 32;
    while (end - at >= 16) {
      if (!is_ascii_block<16>(at)) break;
      at += 16;
    }
    if (end - at < 16) {
      // The short tail of an ASCII line, without a byte loop: the loads may
      // overlap bytes already known to be ASCII, which changes nothing.
      if (at == end) return true;
      if (end - begin >= 16) {
        if (is_ascii_block<16>(end - 16)) return true;
      } else if (end - at >= 8) {
        if (is_ascii_block<8>(at) && is_ascii_block<8>(end - 8)) return true;
      } else {
        unsigned seen = 0;
        for (const auto* p = at; p < end; ++p) seen |= *p;
        if (seen < 0x80) return true;
      }
    }

    // Exact check over the block that held a non-ASCII byte (or the short
    // tail); a character may run past the block's end, never past `end`.
    const auto* const stop = end - at >= 16 ? at + 16 : end;
    while (at < stop) {
      if (*at < 0x80) {
        ++at;
        continue;
      }
      const Utf8Step step = decode_utf8(at, static_cast<std::size_t>(end - at));
      if (!step.valid) return false;
      at += step.length;
    }
    if (at >= end) return true;
  }
}

void append_utf8_lossy(failure::String& out, std::string_view bytes) {
  const auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = at + bytes.size();
  while (at < end) {
    const auto* run = at;
    while (at < end) {
      const Utf8Step step = decode_utf8(at, static_cast<std::size_t>(end - at));
      if (!step.valid) break;
      at += step.length;
    }
    out.append(reinterpret_cast<const char*>(run),
               static_cast<std::size_t>(at - run));
    if (at < end) {
      out.append("\xEF\xBF\xBD");
      at += decode_utf8(at, static_cast<std::size_t>(end - at)).length;
    }
  }
}

}  // namespace novrel::text
