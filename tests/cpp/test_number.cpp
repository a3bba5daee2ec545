// parse_float32: grammar, special values, rounding at the edges of the
// float32 range, and error rendering. Broad correct-rounding coverage is in
// test_rounding_oracle.cpp.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/number/number.hpp"

namespace {

using novrel::text::FloatErrorKind;
using novrel::text::parse_float32;
using novrel::text::ParseFloatError;
using novrel::text::render_parse_float_error;

std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }

struct Accepted {
  std::string text;
  std::uint32_t bits;
};

void PrintTo(const Accepted& c, std::ostream* os) {
  if (c.text.size() <= 120) *os << '"' << c.text << '"';
  else *os << '"' << c.text.substr(0, 40) << "...\" (" << c.text.size() << " bytes)";
}

class NumberAccepted : public testing::TestWithParam<Accepted> {};

TEST_P(NumberAccepted, GivesExactBits) {
  const auto& c = GetParam();
  const auto r = parse_float32(c.text);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(bits_of(r.value), c.bits) << std::hexfloat << r.value;
}

constexpr std::uint32_t kOne = 0x3F800000u;
constexpr std::uint32_t kMaxFinite = 0x7F7FFFFFu;
constexpr std::uint32_t kInf = 0x7F800000u;
constexpr std::uint32_t kNegInf = 0xFF800000u;
constexpr std::uint32_t kNegZero = 0x80000000u;
constexpr std::uint32_t kMinSubnormal = 0x00000001u;
constexpr std::uint32_t kNan = 0x7FC00000u;
constexpr std::uint32_t kNegNan = 0xFFC00000u;
const std::string kZeros(2000, '0');

INSTANTIATE_TEST_SUITE_P(
    Table, NumberAccepted,
    testing::Values(
        Accepted{"1.", kOne}, Accepted{".5", 0x3F000000u}, Accepted{"-.5", 0xBF000000u},
        Accepted{"1.e3", 0x447A0000u}, Accepted{"1E+03", 0x447A0000u},
        Accepted{"1e-03", 0x3A83126Fu},  // nearest to 0.001
        Accepted{"007", 0x40E00000u}, Accepted{"+1", kOne},
        Accepted{"16777217", 0x4B800000u},  // tie between 2^24 and 2^24+2: even
        Accepted{"16777219", 0x4B800002u},  // tie between 2^24+2 and 2^24+4: even
        // A double intermediate rounds this to 0.5 first.
        Accepted{"0.50000002980232238769531250000001", 0x3F000001u},
        Accepted{"3.4028235e38", kMaxFinite},
        // Just below the overflow midpoint 2^128 - 2^103, and at it.
        Accepted{"340282356779733661637539395458142568447.999", kMaxFinite},
        Accepted{"340282356779733661637539395458142568448", kInf},
        Accepted{"3.4028236e38", kInf}, Accepted{"1e39", kInf}, Accepted{"-1e39", kNegInf},
        Accepted{"1e-46", 0u}, Accepted{"7.1e-46", kMinSubnormal}, Accepted{"1e-45", kMinSubnormal},
        // 2^-150 exactly is a tie with zero; anything above it is not.
        Accepted{"7.00649232162408535461864791644958065640130970938257885878534141944895541342930300743319094181060791015625e-46", 0u},
        Accepted{"7.00649232162408535461864791644958065640130970938257885878534141944895541342930300743319094181060791015626e-46", kMinSubnormal},
        Accepted{"1.1754942e-38", 0x007FFFFFu},  // largest subnormal
        Accepted{"1.17549435e-38", 0x00800000u},  // smallest normal
        Accepted{"-1e-46", kNegZero}, Accepted{"-0", kNegZero}, Accepted{"-0.0e7", kNegZero},
        Accepted{"-1e-60", kNegZero}, Accepted{"0e999999", 0u}, Accepted{"00000000000000000000000000.0000", 0u},
        Accepted{"111111111111111111111111111111", 0x6FB3827Au},
        // The exact path: ties and near-ties within 19 digits, and 10^11.
        Accepted{"8388608.5", 0x4B000000u}, Accepted{"8388609.5", 0x4B000002u},
        Accepted{"1e17", 0x5BB1A2BCu}, Accepted{"1.5e-10", 0x2F24ED3Fu}, Accepted{"3e11", 0x528BB2C9u},
        // Exponent digits beyond the cap are consumed, not accumulated.
        Accepted{"1e99999999999999999999", kInf}, Accepted{"1e-99999999999999999999", 0u},
        Accepted{"0.0000000000000000000000000000000000000000001e99999999999999999", kInf},
        Accepted{"100000000000000000000000000000000000000000000000000e-65536", 0u},
        Accepted{"1e+0000000000000000000000000000000038", 0x7E967699u},
        Accepted{"inf", kInf}, Accepted{"INF", kInf}, Accepted{"Infinity", kInf},
        Accepted{"-iNfInItY", kNegInf}, Accepted{"+inf", kInf},
        // A NaN keeps its sign in the bits.
        Accepted{"nan", kNan}, Accepted{"NaN", kNan}, Accepted{"+nAn", kNan}, Accepted{"-nan", kNegNan},
        Accepted{"-NAN", kNegNan},
        // Hundreds of digits: the sticky digit far out decides ties, and
        // digits after it do not matter. 16777217 is 2^24 + 1, a tie that
        // rounds down to even.
        Accepted{"16777217." + kZeros, 0x4B800000u}, Accepted{"16777217." + kZeros + "1", 0x4B800001u},
        Accepted{"16777217" + kZeros + "e-2000", 0x4B800000u},
        Accepted{"16777217" + kZeros + "1e-2001", 0x4B800001u},
        Accepted{"16777216." + std::string(900, '9'), 0x4B800000u},  // below the tie: down
        Accepted{"0." + kZeros + "16777217e2008", 0x4B800000u},
        Accepted{std::string(1000, '1') + "e-970", 0x6FB3827Au}));  // as thirty ones

class NumberRejected : public testing::TestWithParam<const char*> {};

TEST_P(NumberRejected, IsInvalid) {
  const auto r = parse_float32(GetParam());
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, FloatErrorKind::Invalid);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NumberRejected,
    testing::Values("1.5D+03", "1.5+03", ".", "+", "-", "e5", "1e", "1e+", "1e-", "1E+x", "0x1A", "1_000",
                    "1,5", "1 5", "+-1", "--1", "++1", "infinit", "nan(1)", "infinityy", "in", "-", ".e5",
                    "..5", "1..5", "1.5.", "1e5.", "1e5e5", ".inf", "inf.", "1f", "12345678901234567890x",
                    "123456789a", "\xD9\xA1", "1\xEF\xBC\x90", " 1", "1 ", "\t1"));

TEST(Number, OnlyEmptyTextIsEmpty) {
  for (const std::string_view text : {std::string_view{""}, std::string_view{}}) {
    const auto r = parse_float32(text);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, FloatErrorKind::Empty);
  }
}

TEST(Number, RendersErrorKinds) {
  EXPECT_EQ(render_parse_float_error(ParseFloatError{FloatErrorKind::Empty}), "ParseFloatError { kind: Empty }");
  EXPECT_EQ(render_parse_float_error(ParseFloatError{FloatErrorKind::Invalid}),
            "ParseFloatError { kind: Invalid }");
}

// The parse reads eight bytes at a time where it can; a digit run must end
// exactly at the text's end, not at whatever follows in memory.
TEST(Number, DigitRunsStopAtTheEndOfTheText) {
  const std::string backing = "123456789012345678";
  for (std::size_t n = 1; n <= backing.size(); ++n) {
    const std::string_view text(backing.data(), n);
    const auto r = parse_float32(text);
    ASSERT_TRUE(r.ok) << n;
    EXPECT_EQ(r.value, std::stof(std::string(text))) << n;
  }
}

}  // namespace
