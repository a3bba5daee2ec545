// Whole-line decoding: every kernel this machine has against the per-field
// parser, and the reader's results with each kernel forced.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "lib.hpp"
#include "scratch_file.hpp"
#include "text/lines/fixed_line.hpp"
#include "text/number/number.hpp"
#include "text/tokens.hpp"

namespace {

using novrel::text::FixedLineDecoder;
using novrel::text::Kernel;

std::vector<Kernel> simd_kernels() {
  std::vector<Kernel> out;
  for (Kernel k : {Kernel::Ssse3, Kernel::Avx2})
    if (novrel::text::available_kernels() >> static_cast<unsigned>(k) & 1) out.push_back(k);
  return out;
}

#define FOR_EACH_KERNEL(kernel)                                               \
  if (simd_kernels().empty()) GTEST_SKIP() << "no SIMD kernel on this machine"; \
  for (Kernel kernel : simd_kernels())

// Decodes `line` to T and checks every decoded field against parse_float<T>,
// and that doubles land nowhere past `fields`; returns the decoded bits.
template <class T>
unsigned decode_checked(Kernel kernel, std::string_view line, std::size_t width, std::size_t fields) {
  using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
  constexpr T kUntouched = -7;
  T values[novrel::text::kDecodedLineCapacity];
  std::fill(std::begin(values), std::end(values), kUntouched);
  const unsigned decoded = FixedLineDecoder::with_kernel(kernel, width).decode(line, fields, values);
  if constexpr (std::is_same_v<T, double>) {
    for (std::size_t k = fields; k < std::size(values); ++k) {
      EXPECT_EQ(values[k], kUntouched) << "entry " << k << " of " << fields << " fields, kernel " << static_cast<int>(kernel);
    }
  }
  for (std::size_t k = 0; k < fields; ++k) {
    if (!(decoded >> k & 1)) continue;
    const std::string_view field = line.substr(k * width, width);
    const auto parsed = novrel::text::parse_float<T>(novrel::text::trim_whitespace(field));
    EXPECT_TRUE(parsed.ok) << "decoded a field the parser rejects: '" << field << "'";
    EXPECT_EQ(std::bit_cast<Bits>(values[k]), std::bit_cast<Bits>(parsed.value))
        << "field '" << field << "', kernel " << static_cast<int>(kernel) << ", " << sizeof(T) << "-byte values";
  }
  return decoded;
}

// Both formats; returns the float32 bits, and the float64 ones in `decoded64`.
unsigned decode_checked(Kernel kernel, std::string_view line, std::size_t width, std::size_t fields,
                        unsigned& decoded64) {
  decoded64 = decode_checked<double>(kernel, line, width, fields);
  return decode_checked<float>(kernel, line, width, fields);
}

struct OneField {
  const char* text;
  bool decoded;    // whether the kernels must decide it as a float32
  bool decoded64;  // and as a float64: the layout, not next to a midpoint
};

void PrintTo(const OneField& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class FixedLineFields : public testing::TestWithParam<OneField> {};

TEST_P(FixedLineFields, DecodeExactlyWhatTheyShould) {
  const std::string text = GetParam().text;
  FOR_EACH_KERNEL(kernel) {
    unsigned decoded64;
    EXPECT_EQ(decode_checked(kernel, text, text.size(), 1, decoded64), GetParam().decoded ? 1u : 0u) << text;
    EXPECT_EQ(decoded64, GetParam().decoded64 ? 1u : 0u) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FixedLineFields,
    testing::Values(
        OneField{" 1.01325E+05", true, true}, OneField{"-2.93150e-02", true, true},
        OneField{"+9.99999E+99", true, true}, OneField{"-0.00000E+00", true, true},
        OneField{" 0.00000E-99", true, true}, OneField{" 1.5E+00", true, true},
        OneField{" 3.40282356E+38", true, true},   // the largest finite float32
        OneField{" 3.40282357E+38", true, true},   // past the overflow midpoint: infinity
        OneField{" 1.17549436E-38", true, true},   // just above the smallest normal float32
        OneField{" 1.17549435E-38", false, true},  // just below it, rounding up to it: left
        OneField{" 1.67772170E+07", false, true},  // a float32 tie: left to the exact path
        OneField{" 1.00000E-40", false, true},     // subnormal
        OneField{"-1.00000E-60", false, true},     // underflows to zero
        // Every exponent as a float64, but not a tie: 59031 * 5^16 has 54
        // bits, the last one set.
        OneField{" 5.9031E+20", true, false}, OneField{"-9.99999999E-99", false, true},
        OneField{" 1.00000000E+30", true, true}, OneField{" 1.00000000E+31", true, true},
        OneField{" 9.99999999E-14", true, true}, OneField{"-9.99999999E-15", true, true},
        OneField{"\t1.01325E+05", false, false}, OneField{" 1.01325D+05", false, false},
        OneField{" 1.01325E 05", false, false}, OneField{" 1,01325E+05", false, false},
        OneField{"  1.0132E+05", false, false}, OneField{" 1.01325E+5 ", false, false},
        OneField{"+-.01325E+05", false, false}, OneField{" 1.0132\xC3\xA9+05", false, false},
        OneField{" 1.0E+05 ", false, false}, OneField{"123456789012", false, false}));

// Random lines of every width and field count: mostly the layout, with
// single bytes replaced, so that every position is tried with near misses.
TEST(FixedLine, AgreesWithTheFieldParserOnRandomLines) {
  std::mt19937 rng(11);
  const std::string near_misses = "0123456789+-. eEdD\tx";
  FOR_EACH_KERNEL(kernel) {
    std::size_t layout = 0, left = 0, layout64 = 0, left64 = 0;
    for (int round = 0; round < 20000; ++round) {
      const std::size_t width = 8 + rng() % 8, fields = 1 + rng() % 10, m = width - 7;
      std::string line;
      std::vector<bool> intact;
      for (std::size_t k = 0; k < fields; ++k) {
        std::string f = std::string(1, " +-"[rng() % 3]) + char('0' + rng() % 10) + '.';
        for (std::size_t i = 0; i < m; ++i) f += char('0' + (rng() % 4 ? rng() % 10 : 0));
        const unsigned exponent = rng() % 2 ? rng() % 40 : rng() % 100;
        f += {"eE"[rng() % 2], "+-"[rng() % 2], char('0' + exponent / 10), char('0' + exponent % 10)};
        intact.push_back(rng() % 8 != 0);
        if (!intact.back()) f[rng() % width] = near_misses[rng() % near_misses.size()];
        line += f;
      }
      line += std::string(rng() % 20, ' ');
      unsigned decoded64;
      const unsigned decoded = decode_checked(kernel, line, width, fields, decoded64);
      for (std::size_t k = 0; k < fields; ++k) {
        const std::string_view field = std::string_view(line).substr(k * width, width);
        const float value = novrel::text::parse_float32(novrel::text::trim_whitespace(field)).value;
        const bool zero = field.substr(1, m + 2).find_first_not_of("0.") == std::string_view::npos;
        layout64 += intact[k];
        left64 += intact[k] && !(decoded64 >> k & 1);
        // Subnormal results and zeros from underflow are the per-field path's.
        if (!intact[k] || (!zero && std::abs(value) < 0x1p-126f)) continue;
        ++layout;
        left += !(decoded >> k & 1);
      }
    }
    // Of the rest only values at or near a rounding midpoint are left; short
    // significands with large exponents make exact ties common here.
    EXPECT_LT(left * 100, layout) << left << " of " << layout;
    EXPECT_LT(left64 * 100, layout64) << left64 << " of " << layout64 << " as float64";
  }
}

// A line that ends right before an unreadable page: no kernel may load
// past its last field.
TEST(FixedLine, LoadsStayInsideTheLine) {
  const long page = sysconf(_SC_PAGESIZE);
  auto* area = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(area, MAP_FAILED);
  ASSERT_EQ(mprotect(area + page, page, PROT_NONE), 0);
  FOR_EACH_KERNEL(kernel) {
    for (std::size_t width = 8; width <= 15; ++width) {
      std::string field = " 1." + std::string(width - 7, '5') + "E+01";
      for (std::size_t fields = 1; fields <= 10; ++fields) {
        std::string line;
        for (std::size_t k = 0; k < fields; ++k) line += field;
        char* at = area + page - line.size();
        std::memcpy(at, line.data(), line.size());
        unsigned decoded64;
        EXPECT_EQ(decode_checked(kernel, std::string_view(at, line.size()), width, fields, decoded64),
                  (1u << fields) - 1);
        EXPECT_EQ(decoded64, (1u << fields) - 1);
      }
    }
  }
  munmap(area, 2 * page);
}

// The same file read with each kernel and with the per-field path: same
// values, and the first bad field in file order decides the error.
TEST(FixedLine, ReaderResultsDoNotDependOnTheKernel) {
  using novrel::testing_support::failure_of;
  using novrel::testing_support::ScratchFile;
  auto file_with = [](std::size_t bad_at, const std::string& bad, std::size_t worse_at, const std::string& worse) {
    return novrel::testing_support::plot_text(12, 3, [&](std::size_t b, std::size_t k) -> std::string {
      if (b == 2 && k == bad_at) return bad;
      if (b == 2 && k == worse_at) return worse;
      if (k >= 10) return k == 10 ? " 1.00000E-40" : " 1.0E-45    ";  // subnormal, then not the layout
      return k % 3 ? " 1.01325E+0" + std::to_string(k) : "-6.02214e-2" + std::to_string(k);
    });
  };
  const std::string files[] = {file_with(99, "", 99, ""), file_with(2, " 1.01325D+05", 5, std::string(12, ' ')),
                               file_with(5, " 1.01325D+05", 2, std::string(12, ' '))};
  std::vector<Kernel> kernels = simd_kernels();
  kernels.push_back(Kernel::Portable);
  std::vector<std::string> outcomes;
  for (const std::string& contents : files) {
    ScratchFile file(contents);
    std::string reference;
    for (Kernel kernel : kernels) {
      novrel::text::force_kernel(kernel);
      EXPECT_EQ(FixedLineDecoder::for_width(12).kernel(), kernel);
      std::string outcome = failure_of(file.path(), 12);
      if (outcome == "<no error>") {
        const novrel::PlotData data = novrel::rust_read_torvask(file.path(), 12);
        for (const auto& column : data.columns)
          for (float v : column) outcome += std::to_string(std::bit_cast<std::uint32_t>(v)) + ' ';
      }
      if (kernel == kernels.front()) reference = outcome;
      EXPECT_EQ(outcome, reference) << "kernel " << static_cast<int>(kernel);
    }
    outcomes.push_back(reference);
  }
  novrel::text::restore_kernel();
  EXPECT_EQ(outcomes[1], "Could not parse line: ParseFloatError { kind: Invalid }");
  EXPECT_EQ(outcomes[2], "Could not parse line: ParseFloatError { kind: Empty }");
}

}  // namespace
