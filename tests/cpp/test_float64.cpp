// parse_float64, and the whole-line decoder's float64 path, against glibc's
// strtod in the "C" locale (correctly rounded): random fields of widths 8 to
// 17 with the usual layout at every exponent, decoded a line at a time by
// every kernel too, and the exact midpoints between neighbouring doubles
// over the whole exponent range with a unit either side. A sample by
// default; the full counts (10^8 fields, 10^7 midpoints) with NOVREL_SLOW=1.
// Every text is one the grammar accepts whole, so strtod's wider syntax
// (hexadecimal, "nan(...)", prefixes) never comes into it.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sweep.hpp"
#include "text/lines/fixed_line.hpp"
#include "text/number/number.hpp"
#include "text/tokens.hpp"

namespace {

using novrel::testing_support::Findings;
using novrel::testing_support::slow_tests_enabled;
using novrel::testing_support::sweep;
using novrel::text::FixedLineDecoder;
using novrel::text::parse_float64;

std::uint64_t bits_of(double v) { return std::bit_cast<std::uint64_t>(v); }

std::string hex(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%a", v);
  return buf;
}

// splitmix64 seeded by a sweep's index: the items are independent, and a
// failing one can be drawn again alone.
class Draw {
 public:
  explicit Draw(std::uint64_t index) : state_(index * 0x9E3779B97F4A7C15u + 0x6e6f7672656c64u) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  char digit() { return static_cast<char>('0' + below(10)); }
  char sign(const char* signs) { return signs[below(std::strlen(signs))]; }

 private:
  std::uint64_t state_;
};

class Strtod {
 public:
  Strtod() : c_(newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr))) {}
  ~Strtod() { freelocale(c_); }
  Strtod(const Strtod&) = delete;
  Strtod& operator=(const Strtod&) = delete;

  // parse_float64 and strtod on a text of the grammar: both must take it
  // whole, with the same bits.
  void compare(const std::string& text, Findings& findings) const {
    char* end = nullptr;
    const double want = strtod_l(text.c_str(), &end, c_);
    const bool whole = end == text.c_str() + text.size();
    const auto got = parse_float64(text);
    if (!whole || !got.ok || bits_of(got.value) != bits_of(want))
      findings.add("\"" + text + "\": parse_float64 " + (got.ok ? hex(got.value) : "rejected") + ", strtod " +
                   hex(want) + (whole ? "" : " (stopped early)"));
  }

 private:
  locale_t c_;
};

// A field `width` bytes wide, right-aligned. Mostly the usual layout,
// [ +-]d.d{m}(E|e)(+|-)dd with m = width - 7 and an exponent drawn evenly
// from 0 to 99; else three exponent digits (past both ends of float64), a
// plain decimal, or digits with an exponent. Sets `layout` when the field
// has the usual layout, which the line decoder decides unless its value lies
// next to a rounding midpoint.
std::string field(Draw& d, std::size_t width, bool& layout) {
  layout = false;
  std::string f(1, d.sign(" +-"));
  const std::size_t form = d.below(8);
  if (form < 5) {
    const std::size_t m = width - 7;
    f += d.digit();
    f += '.';
    for (std::size_t i = 0; i < m; ++i) f += d.digit();
    f += d.sign("Ee");
    const char exponent_sign = d.sign("+-");
    const int exponent = static_cast<int>(d.below(100));
    f += exponent_sign;
    f += static_cast<char>('0' + exponent / 10);
    f += static_cast<char>('0' + exponent % 10);
    layout = true;
  } else if (form == 5) {
    f += d.digit();
    if (width > 8) f += '.';
    for (std::size_t i = 9; i < width; ++i) f += d.digit();
    char exponent[16];  // room for any int, which the compiler cannot bound
    std::snprintf(exponent, sizeof exponent, "E%c%03d", d.sign("+-"), static_cast<int>(d.below(350)));
    f += exponent;
  } else if (form == 6) {
    const std::size_t point = 1 + d.below(width - 1);
    for (std::size_t i = 1; i < width; ++i) f += i == point ? '.' : d.digit();
  } else {
    char exponent[16];  // room for any int, which the compiler cannot bound
    std::snprintf(exponent, sizeof exponent, "e%d", static_cast<int>(d.below(701)) - 350);
    while (f.size() + std::strlen(exponent) < width) f += d.digit();
    f += exponent;
  }
  return std::string(width - f.size(), ' ') + f;
}

// Lines of ten fields of one width, each field against strtod, and for
// widths 8 to 15 the line decoded by every kernel against parse_float64.
TEST(Float64, FieldsAndLinesRoundAsStrtod) {
  std::vector<novrel::text::Kernel> kernels;
  for (const auto kernel : {novrel::text::Kernel::Ssse3, novrel::text::Kernel::Avx2})
    if (novrel::text::has_kernel(kernel)) kernels.push_back(kernel);
  const Strtod strtod;
  Findings findings;
  std::atomic<std::uint64_t> decoded_fields{0}, layout_fields{0}, left{0};
  const std::uint64_t lines = slow_tests_enabled() ? 10'000'000 : 20'000;
  sweep("float64 fields, ten a line", lines, [&](std::uint64_t index) {
    Draw d(index);
    const std::size_t width = 8 + index % 10;
    std::string line;
    unsigned layout = 0;
    for (unsigned k = 0; k < 10; ++k) {
      bool field_layout;
      const std::string f = field(d, width, field_layout);
      layout |= static_cast<unsigned>(field_layout) << k;
      strtod.compare(std::string(novrel::text::trim_whitespace(f)), findings);
      line += f;
    }
    if (width > 15) return;
    for (const novrel::text::Kernel kernel : kernels) {
      double values[novrel::text::kDecodedLineCapacity];
      const unsigned decoded = FixedLineDecoder::with_kernel(kernel, width).decode(line, 10, values);
      decoded_fields.fetch_add(static_cast<unsigned>(std::popcount(decoded)), std::memory_order_relaxed);
      layout_fields.fetch_add(static_cast<unsigned>(std::popcount(layout)), std::memory_order_relaxed);
      for (unsigned k = 0; k < 10; ++k) {
        const std::string_view f = novrel::text::trim_whitespace(std::string_view(line).substr(k * width, width));
        const std::string where = "\"" + std::string(f) + "\" in kernel " + std::to_string(static_cast<int>(kernel));
        if (!(decoded >> k & 1)) {
          left.fetch_add(layout >> k & 1, std::memory_order_relaxed);
          continue;
        }
        const auto parsed = parse_float64(f);
        if (!parsed.ok || bits_of(parsed.value) != bits_of(values[k]))
          findings.add(where + ": decoded " + hex(values[k]) + ", parsed " + (parsed.ok ? hex(parsed.value) : "rejected"));
      }
    }
  }, 4096);
  std::printf("%llu fields decoded by the kernels\n", static_cast<unsigned long long>(decoded_fields.load()));
  findings.report();
  // Of the layout's fields, only those within about 2^-65 of their value
  // from a midpoint are left: mostly exact ties, which integers of 54 to 60
  // bits (exponents drawn evenly, short significands) make 0.2% here.
  EXPECT_LT(left * 200, layout_fields) << left << " of " << layout_fields << " layout fields left";
}

// `digits` (whose last one is not 0) less one unit in its last place,
// then `nines` more nines.
std::string one_unit_below(std::string digits, std::size_t nines) {
  --digits.back();
  return digits.append(nines, '9');
}

// The midpoint above a finite double (2^1024 above the largest), drawn with
// an exponent field even over 0 to 2046; written exactly, then with a unit
// added and taken away a few digits further on. A long double holds the
// midpoint exactly (54 bits), and glibc prints its exact digits: at most
// 768 significant ones.
TEST(Float64, MidpointsRoundAsStrtod) {
  const Strtod strtod;
  Findings findings;
  const std::uint64_t midpoints = slow_tests_enabled() ? 10'000'000 : 10'000;
  sweep("float64 midpoints", midpoints, [&](std::uint64_t index) {
    Draw d(index);
    const double lo = std::bit_cast<double>(d.below(2047) << 52 | d.next() >> 12);
    const long double hi = lo == DBL_MAX ? std::ldexp(1.0L, 1024) : std::nextafter(lo, INFINITY);
    char printed[800];
    std::snprintf(printed, sizeof printed, "%.780Le", (lo + hi) / 2);
    std::string digits;
    const char* p = printed;
    for (; *p != 'e'; ++p)
      if (*p != '.') digits += *p;
    const long exponent = std::strtol(p + 1, nullptr, 10);
    digits.erase(digits.find_last_not_of('0') + 1);
    const std::size_t pad = d.below(20);
    const std::string sign(d.below(2), '-');
    for (std::string text : {digits, digits + std::string(pad, '0') + "1", one_unit_below(digits, pad)})
      strtod.compare(sign + text.insert(1, ".") + "e" + std::to_string(exponent), findings);
  }, 256);
  findings.report();
}

// The edges of the format, and texts that a rounding through x87's 64-bit
// significand would get wrong (one operation on exact operands, rounded
// twice).
TEST(Float64, EdgesOfTheFormat) {
  struct Case {
    std::string text;
    std::uint64_t bits;
  };
  // Exact digits: glibc prints them, and a long double holds both values.
  char overflow_midpoint[400], half_subnormal[800];
  std::snprintf(overflow_midpoint, sizeof overflow_midpoint, "%.0Lf", 0x1p1024L - 0x1p970L);
  std::snprintf(half_subnormal, sizeof half_subnormal, "%.760Le", 0x1p-1075L);
  const std::string above_half_subnormal = std::string(half_subnormal).insert(std::strlen(half_subnormal) - 5, "1");
  const Case cases[] = {
      {"0.1", 0x3FB999999999999Au},
      {"1e23", 0x44B52D02C7E14AF6u},                // 10^23 is not a double
      {"9007199254740993", 0x4340000000000000u},  // 2^53 + 1: a tie, to even
      {"9007199254740995", 0x4340000000000002u},
      {"670960965038069e-9", 0x412479E1EE197843u},  // twice rounded on x87 ...
      {"18642110619793e-20", 0x3E8905616434185Bu},
      {"152098913683457e19", 0x46D2BF653D792C29u},
      {"6.70960965038069E+05", 0x412479E1EE197843u},  // ... and in the layout
      {"1.7976931348623157e308", 0x7FEFFFFFFFFFFFFFu},
      {overflow_midpoint, 0x7FF0000000000000u},  // a tie, to even: infinity
      {one_unit_below(overflow_midpoint, 3) + "e-3", 0x7FEFFFFFFFFFFFFFu},
      {"2.2250738585072011e-308", 0x000FFFFFFFFFFFFFu},  // largest subnormal
      {"2.2250738585072014e-308", 0x0010000000000000u},  // smallest normal
      {"4.9406564584124654e-324", 0x0000000000000001u},
      {half_subnormal, 0},  // a tie with zero, to even
      {above_half_subnormal, 1},
      {"1e-400", 0}, {"-1e400", 0xFFF0000000000000u}, {"-0.0", 0x8000000000000000u},
      {"-nan", 0xFFF8000000000000u}, {"Infinity", 0x7FF0000000000000u},
  };
  for (const Case& c : cases) {
    const auto r = parse_float64(c.text);
    EXPECT_TRUE(r.ok) << c.text;
    EXPECT_EQ(bits_of(r.value), c.bits) << c.text.substr(0, 60) << ": " << hex(r.value);
  }
}

}  // namespace
