// The whole float32 space, each pattern printed with 9 significant digits in
// both printf styles ("%.9g", "%.8e"), must parse back to the same bits, and
// every midpoint between neighbours must round as strtof rounds it in the
// "C" locale. Minutes to hours of CPU: run with NOVREL_SLOW=1; the work is
// split over the CPUs the process may use (taskset limits it).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sweep.hpp"
#include "text/lines/fixed_line.hpp"
#include "text/number/number.hpp"

namespace {

using novrel::testing_support::Findings;
using novrel::testing_support::slow_tests_enabled;
using novrel::testing_support::sweep;
using novrel::text::parse_float32;

std::string hex(std::uint32_t bits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", bits);
  return buf;
}

TEST(Float32Sweep, EveryPatternPrintedWithNineDigitsParsesBack) {
  if (!slow_tests_enabled()) GTEST_SKIP() << "set NOVREL_SLOW=1 to run";
  struct Style {
    std::chars_format format;
    int precision;
    const char* printf_format;
  };
  static constexpr Style kStyles[] = {{std::chars_format::general, 9, "%.9g"},
                                      {std::chars_format::scientific, 8, "%.8e"}};
  Findings findings;
  sweep("print and parse back", std::uint64_t{1} << 32, [&](std::uint32_t bits) {
    const float f = std::bit_cast<float>(bits);
    const std::uint32_t want =
        std::isnan(f) ? (bits & 0x80000000u) | 0x7FC00000u : bits;
    for (const Style& style : kStyles) {
      char text[32];
      const auto printed = std::to_chars(text, text + sizeof text, f, style.format, style.precision);
      const std::string_view view(text, static_cast<std::size_t>(printed.ptr - text));
      // to_chars stands in for printf, which is several times slower; a
      // spread-out sample keeps the two honest.
      if (bits % 4099 == 0) {
        char reference[32];
        std::snprintf(reference, sizeof reference, style.printf_format, static_cast<double>(f));
        if (view != reference)
          findings.add(hex(bits) + ": to_chars \"" + std::string(view) + "\", printf \"" +
                       reference + "\"");
      }
      const auto parsed = parse_float32(view);
      if (!parsed.ok || std::bit_cast<std::uint32_t>(parsed.value) != want)
        findings.add(hex(bits) + ": \"" + std::string(view) + "\" parsed " +
                     (parsed.ok ? hex(std::bit_cast<std::uint32_t>(parsed.value)) : "as invalid"));
    }
  });
  findings.report();
}

// Every field of the width-12 layout (" d.dddddE+dd", either sign of each)
// decoded a line at a time by each SIMD kernel the machine has: a field the
// kernel takes must have exactly the bits that parse_float32 gives it.
TEST(Float32Sweep, EveryWidth12LayoutFieldDecodesAsTheFieldParser) {
  if (!slow_tests_enabled()) GTEST_SKIP() << "set NOVREL_SLOW=1 to run";
  using novrel::text::FixedLineDecoder;
  using novrel::text::Kernel;
  std::vector<FixedLineDecoder> decoders;
  for (const Kernel kernel : {Kernel::Ssse3, Kernel::Avx2})
    if (novrel::text::has_kernel(kernel)) decoders.push_back(FixedLineDecoder::with_kernel(kernel, 12));
  if (decoders.empty()) GTEST_SKIP() << "no SIMD kernel on this machine";
  Findings findings;
  std::atomic<std::uint64_t> taken{0};
  // One index per sign, significand and exponent sign; its ten lines hold
  // the exponents 00 to 99.
  sweep("width-12 layout fields", 4'000'000, [&](std::uint32_t index) {
    const std::uint32_t significand = index % 1'000'000;
    char line[121];
    std::snprintf(line, sizeof line, "%c%u.%05uE%c00", index / 2'000'000 ? '-' : ' ',
                  significand / 100'000, significand % 100'000, index / 1'000'000 % 2 ? '-' : '+');
    for (int k = 1; k < 10; ++k) std::memcpy(line + 12 * k, line, 12);
    std::uint64_t decoded_fields = 0;
    for (int tens = 0; tens < 10; ++tens) {
      for (int k = 0; k < 10; ++k) {
        line[12 * k + 10] = static_cast<char>('0' + tens);
        line[12 * k + 11] = static_cast<char>('0' + k);
      }
      for (const FixedLineDecoder& decoder : decoders) {
        float values[novrel::text::kDecodedLineCapacity];
        const unsigned decoded = decoder.decode(std::string_view(line, 120), 10, values);
        for (int k = 0; k < 10; ++k) {
          if ((decoded >> k & 1) == 0) continue;
          ++decoded_fields;
          const std::string_view field(line + 12 * k + (line[0] == ' '), 12 - (line[0] == ' '));
          const auto parsed = parse_float32(field);
          if (!parsed.ok || std::bit_cast<std::uint32_t>(parsed.value) != std::bit_cast<std::uint32_t>(values[k]))
            findings.add("\"" + std::string(field) + "\", kernel " +
                         std::to_string(static_cast<int>(decoder.kernel())) + ": decoded " +
                         hex(std::bit_cast<std::uint32_t>(values[k])) + ", parsed " +
                         (parsed.ok ? hex(std::bit_cast<std::uint32_t>(parsed.value)) : "as invalid"));
        }
      }
    }
    taken.fetch_add(decoded_fields, std::memory_order_relaxed);
  });
  std::printf("decoded %llu of %llu fields\n", static_cast<unsigned long long>(taken.load()),
              400'000'000ull * decoders.size());
  findings.report();
}

// The midpoint above each finite pattern (above the largest finite one it
// is 2^128 - 2^103, which rounds to infinity), written out exactly. Odd
// patterns are negated so both signs are covered.
TEST(Float32Sweep, EveryMidpointRoundsAsStrtof) {
  if (!slow_tests_enabled()) GTEST_SKIP() << "set NOVREL_SLOW=1 to run";
  locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  ASSERT_NE(c_locale, static_cast<locale_t>(nullptr));
  Findings findings;
  sweep("midpoints", 0x7F800000u, [&](std::uint32_t bits) {
    const double lo = std::bit_cast<float>(bits);
    const double hi = bits == 0x7F7FFFFFu ? std::ldexp(1.0, 128) : std::bit_cast<float>(bits + 1);
    const double mid = (bits & 1 ? -1 : 1) * (lo + hi) / 2;  // exact: 25 bits fit a double
    // At most 112 significant digits: the smallest midpoint, 2^-150, has 105.
    char text[160];
    const auto printed = std::to_chars(text, text + sizeof text - 1, mid,
                                       std::chars_format::scientific, 111);
    char* exponent = std::find(text, printed.ptr, 'e');
    char* digits_end = exponent;
    while (digits_end[-1] == '0') --digits_end;
    if (digits_end[-1] == '.') --digits_end;
    char* end = std::copy(exponent, printed.ptr, digits_end);
    *end = '\0';
    char* strtof_end = nullptr;
    const float expected = strtof_l(text, &strtof_end, c_locale);
    const auto parsed = parse_float32(std::string_view(text, static_cast<std::size_t>(end - text)));
    if (!parsed.ok || strtof_end != end ||
        std::bit_cast<std::uint32_t>(parsed.value) != std::bit_cast<std::uint32_t>(expected))
      findings.add(std::string("\"") + text + "\": parsed " +
                   (parsed.ok ? hex(std::bit_cast<std::uint32_t>(parsed.value)) : "as invalid") +
                   ", strtof " + hex(std::bit_cast<std::uint32_t>(expected)));
  });
  freelocale(c_locale);
  findings.report();
}

}  // namespace
