// One field of the fixed-width layout, recognised by itself: the fast path of
// parse_float, for either format.
// Internal to parse_float.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "text/number/digits.hpp"
#include "text/number/eisel_lemire.hpp"
#include "text/number/format.hpp"

namespace novrel::text::number {

// The layout fixed-width writers produce, [+-] d . d{m} (e|E) (+|-) d d with
// 4 <= m <= 14, read with three loads instead of a byte loop: the word at
// the leading digit (the digit, the point, up to six fraction digits), for
// m > 6 the word that ends with the last fraction digit, and the exponent's
// four bytes. Between them they cover every byte, and every byte is checked.
// Any other text is left to the general grammar (false), and so is any
// value the common case of Eisel-Lemire cannot decide. The work is on one
// field's critical path and several fields overlap, so instructions and
// latency count more than anything: signs are applied without branches
// (they vary from field to field), and the branches left depend only on the
// column's format, the same for a whole file.
// Instantiated twice, for m <= 6 and for m > 6, each in its own function, so
// that the short layout's registers do not pay for the long one's.
// Either format: the significand (at most 15 digits) goes to the common
// case of Eisel-Lemire, integer arithmetic only, which no floating-point
// unit can round twice, x87 included.
template <class T, bool kLong>
[[gnu::always_inline]] inline bool parse_field_layout(const char* p, std::size_t n,
                                                      typename BinaryFormat<T>::Bits& out) noexcept {
  using F = BinaryFormat<T>;
  using Bits = typename F::Bits;
  if constexpr (std::endian::native != std::endian::little) {
    return false;
  } else {
    // Also keeps an empty text (whose data may be null) from being read.
    if (n < 10) return false;
    const unsigned lead_char = static_cast<unsigned char>(p[0]) - '+';
    const std::size_t s = (lead_char & ~2u) == 0;  // '+' or '-', two apart: a sign to skip
    const std::size_t m = n - s - 6;               // wraps below 6 bytes, refused with the rest
    if (kLong ? m - 7 > 7 : m - 4 > 2) return false;

    // 'e' or 'E', then '+' or '-', then two digits: subtracting "e+00"
    // leaves 0, 0 or 2, and two digit values, without borrows; any other
    // byte shows up with its top bit set either here or after adding 0x7F
    // (0x76 for the digits), and carries only run upwards from a bad byte.
    const std::uint32_t e = (load_u32(p + n - 4) | 0x20u) - 0x30302B65u;
    const std::uint32_t e_checked = e & ~0x0200u;
    std::uint32_t bad = (e_checked | (e_checked + 0x76767F7Fu)) & 0x80808080u;
    // Tens and units bytes times 2561 = 10 * 256 + 1: bits 8-15 collect
    // 10 * tens + units < 256, and nothing carries into them.
    const std::uint32_t exp_abs = (((e >> 16) * 2561u) >> 8) & 0xFF;
    const std::uint32_t exp_negative = (e >> 9) & 1;

    // The first two bytes trade places: the leading digit moves up over
    // the point, and the point, plus 2, comes first as a leading '0'. The
    // error check below then demands exactly 0 of that byte, not any
    // digit value, which checks the point. Both candidate words are loaded
    // before the sign is known (at least ten bytes are there), so the
    // load does not wait for it.
    const std::uint64_t h0 = load_u64(p);
    const std::uint64_t h1 = load_u64(p + 1);
    const std::uint64_t h = s != 0 ? h1 : h0;
    const std::uint64_t swapped = ((h << 8) & 0xFF00u) | ((h >> 8) & 0xFFu) | (h & ~std::uint64_t{0xFFFF});
    const std::uint64_t x = swapped - (kZeros - 2);
    // For m < 6 the high bytes are exponent characters, shifted out; the
    // vacated low bytes read as leading zeros.
    // Arithmetic, not a choice: n varies with the sign from field to field.
    const unsigned head_shift = kLong ? 0u : static_cast<unsigned>(8 * (6 - m));
    std::uint64_t errors = ((x | (x + 0x767676767676767Fu)) & 0x8080808080808080u) << head_shift;
    std::uint64_t w = eight_digits_value(x << head_shift);
    if constexpr (kLong) {
      // The last m - 6 digits are the high bytes of the word ending with
      // the fraction; its low bytes repeat digits (or the point) already
      // read, and are masked before subtracting so nothing borrows from them.
      const std::uint64_t keep = ~std::uint64_t{0} << (8 * (14 - m));
      const std::uint64_t tail = (load_u64(p + n - 12) & keep) - (kZeros & keep);
      errors |= digit_value_errors(tail);
      w = w * kPow10U32[m - 6] + eight_digits_value(tail);
    }
    if ((errors | bad) != 0) return false;

    const int q = static_cast<int>((exp_abs ^ -exp_negative) + exp_negative) - static_cast<int>(m);
    // Always within float64's powers (-113 <= q <= 99).
    if (q < F::kMinPower || q > F::kMaxPower) return false;
    // Zero goes through the arithmetic as a zero product and is masked
    // afterwards; it is only shifted by a count taken as if it were one.
    Bits bits;
    if (!eisel_lemire_common<T>(w, q, bits)) return false;
    out = (bits & -static_cast<Bits>(w != 0)) | (static_cast<Bits>(lead_char == 2) << F::kSignShift);
    return true;
  }
}

}  // namespace novrel::text::number
