// Fields for writing: the layout's edges, printf's correctly rounded digits
// below the shortest form's width, and parse_float32 back to the same bits
// at and above it. (Whole files are tested through torvask.write.)
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "writer/field_format.hpp"
#include "text/number/number.hpp"
#include "text/tokens.hpp"

namespace {

using novrel::text::format_field;

template <class T>
std::string field(std::size_t width, T value) {
  std::string out(width, '?');
  format_field(out.data(), width, value);
  return out;
}

std::string hex(float value) {
  char text[40];
  std::snprintf(text, sizeof text, "%a (0x%08x)", static_cast<double>(value),
                std::bit_cast<std::uint32_t>(value));
  return text;
}

TEST(FieldFormat, Layout) {
  const double huge = 1.2345678901234567e300, tiny = std::numeric_limits<double>::denorm_min();
  struct Case {
    std::size_t width;
    double value;
    bool is_float;
    const char* text;
  } cases[] = {
      {12, 101325.0, true, " 1.01325E+05"},
      {15, 0.1, true, " 1.00000000E-01"},  // shortest, not 1.00000001E-01
      {14, 0.1, true, " 1.0000000E-01"},
      {8, -2.5e-3, true, "-2.5E-03"},
      {7, 3.4e38, true, "  3E+38"},
      {6, -3.4e38, true, "-3E+38"},
      {6, 0.0, true, " 0E+00"},
      {12, -0.0, true, "-0.00000E+00"},
      {8, 9.96, true, " 1.0E+01"},  // rounding carries into the exponent
      {23, 0.1, false, " 1.0000000000000000E-01"},
      {15, huge, false, " 1.2345679E+300"},  // a digit fewer for the exponent
      {24, huge, false, " 1.2345678901234567E+300"},
      {8, huge, false, "  1E+300"},
      {7, -tiny, false, "-5E-324"},
      {16, 9.9999999999e99, false, " 1.00000000E+100"},
      // Rounded past the largest finite value, these would read back as
      // infinity: rounded toward zero instead.
      {23, -DBL_MAX, false, "-1.797693134862315E+308"},
      {12, DBL_MAX, false, " 1.7976E+308"},
      {7, -DBL_MAX, false, "-1E+308"},
      {24, DBL_MAX, false, " 1.7976931348623157E+308"},
      {10, -FLT_MAX, true, "-3.402E+38"},
      {11, FLT_MAX, true, " 3.4028E+38"},
      {6, INFINITY, true, "   inf"},
      {6, -INFINITY, false, "  -inf"},
      {6, NAN, true, "   nan"},
      {6, -NAN, false, "  -nan"},
  };
  for (const Case& c : cases) {
    const std::string text = c.is_float ? field(c.width, static_cast<float>(c.value))
                                        : field(c.width, c.value);
    EXPECT_EQ(text, c.text) << "width " << c.width << ", " << c.value;
  }
}

// Below the shortest form's width, the digits are printf's (glibc prints the
// exact value correctly rounded); at or above it, the field reads back bit for
// bit. Both are checked over random bit patterns at every width.
TEST(FieldFormat, CorrectlyRoundedOrRoundTrip) {
  std::mt19937_64 random(7);
  std::vector<float> floats = {std::numeric_limits<float>::max(), std::numeric_limits<float>::min(),
                               std::numeric_limits<float>::denorm_min(), 1.0f, 16777217.0f};
  for (int i = 0; i < 100000; ++i) floats.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(random())));
  for (const float value : floats) {
    for (const float v : {value, -value}) {
      if (!std::isfinite(v)) continue;
      for (std::size_t width = 8; width < 15; ++width) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%*.*E", static_cast<int>(width),
                      static_cast<int>(width - 7), static_cast<double>(v));
        const auto rounded = novrel::text::parse_float32(novrel::text::trim_whitespace(expected));
        if (rounded.ok && std::isinf(rounded.value)) continue;  // the table's edge cases
        ASSERT_EQ(field(width, v), expected) << hex(v);
      }
      for (std::size_t width : {15u, 23u}) {
        const auto parsed = novrel::text::parse_float32(novrel::text::trim_whitespace(field(width, v)));
        ASSERT_TRUE(parsed.ok && std::bit_cast<std::uint32_t>(parsed.value) ==
                                     std::bit_cast<std::uint32_t>(v))
            << width << " " << field(width, v) << " " << hex(v);
      }
    }
  }
  for (int i = 0; i < 30000; ++i) {
    const double v = std::bit_cast<double>(random());
    if (!std::isfinite(v)) continue;
    const std::string text = field(24, v);
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.*E", std::fabs(v) >= 1e100 || std::fabs(v) < 1e-99 ? 7 : 8, v);
    ASSERT_EQ(novrel::text::trim_whitespace(field(15, v)), expected);
  }
}

}  // namespace
