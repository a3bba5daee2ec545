// The patterns are made at compile time, for every width the layout allows.
#include "text/lines/fixed_line_layout.hpp"

namespace novrel::text {

namespace {

using Layout = FixedLineDecoder::Layout;

// The exponent's sign less '0' is 0xFB for '+' and 0xFD for '-'. Weighed by
// c = kSignWeight + m it adds 251c, and 2c = 120 + 2m more for '-': the step
// between the two halves of kPow10. At most 253 * 68, within the 16 bits
// that the byte multiply-add saturates at.
constexpr int kSignWeight = 60;

constexpr Layout make_layout(unsigned width) {
  Layout l{};
  const unsigned m = width - 7;  // fraction digits
  const unsigned digits = m + 1;
  // Digit j of the significand (0 the leading one) is at byte 1 for j = 0
  // and at byte j + 2 after it.
  auto digit_at = [](int j) -> std::uint8_t {
    return j < 0 ? 0x80 : static_cast<std::uint8_t>(j == 0 ? 1 : j + 2);
  };
  for (unsigned i = 0; i < 16; ++i) {
    std::uint8_t base = 0, fold = 0, sign_merge = 0xFF, limit = 0xFF, space = 0xFF;
    if (i < width) {
      limit = 0;
      if (i == 0) {
        base = '+', sign_merge = 0xFD, space = ' ';
      } else if (i == 2) {
        base = '.';
      } else if (i == m + 3) {
        base = 'e', fold = 0x20;
      } else if (i == m + 4) {
        base = '+', sign_merge = 0xFD;
      } else {
        base = '0', limit = 9;
      }
    }
    std::uint8_t order = 0x80;  // a zero
    if (i < 8) {
      order = digit_at(static_cast<int>(i + digits) - 8);  // the last eight digits
    } else if (i == 9) {
      order = digit_at(static_cast<int>(digits) - 9);      // a ninth one, in front
    } else if (i == 12 || i == 13) {
      order = static_cast<std::uint8_t>(m + 5 + (i - 12));
    } else if (i == 14) {
      order = static_cast<std::uint8_t>(m + 4);
    }
    const auto weight = static_cast<std::int8_t>(i == 14 ? kSignWeight + static_cast<int>(m) : i == 15 ? 0 : i % 2 ? 1 : 10);
    for (unsigned lane : {0u, 16u}) {
      l.base[lane + i] = base;
      l.fold[lane + i] = fold;
      l.sign_merge[lane + i] = sign_merge;
      l.limit[lane + i] = limit;
      l.space[lane + i] = space;
      l.digit_order[lane + i] = order;
      l.weights[lane + i] = weight;
    }
    l.tail[i] = static_cast<std::uint8_t>(i < width ? i + 16 - width : 0x80);
  }
  l.width = width;
  l.index_offset = 8 - static_cast<std::int32_t>(m) - 251 * (kSignWeight + static_cast<std::int32_t>(m));
  return l;
}

constexpr Layout kLayouts[] = {make_layout(8),  make_layout(9),  make_layout(10), make_layout(11),
                               make_layout(12), make_layout(13), make_layout(14), make_layout(15)};
static_assert(sizeof kLayouts / sizeof kLayouts[0] == kMaxWidth - kMinWidth + 1);

}  // namespace

const FixedLineDecoder::Layout& fixed_line_layout(std::size_t width) noexcept {
  return kLayouts[width - kMinWidth];
}

}  // namespace novrel::text
