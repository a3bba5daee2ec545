#include "text/lines/utf8.hpp"

#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "utf8_reference.hpp"

namespace novrel::text {
namespace {

std::string encode(char32_t c) {
  if (c < 0x80) return std::string(1, static_cast<char>(c));
  const int tail = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;  // continuation bytes
  std::string out(1, static_cast<char>((0xFF << (7 - tail)) | (c >> (6 * tail))));
  for (int k = tail - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  return out;
}

// Every sequence of up to three bytes: alone (no fast path), ending exactly at
// the end of a 16-byte block, and starting at the last byte of one.
TEST(Utf8Validation, AgreesWithTheReferenceOnAllShortSequences) {
  for (const std::size_t prefix : {0, 13, 15}) {
    char text[24];
    std::memset(text, 'p', prefix);
    for (unsigned value = 0; value < (1u << 24); ++value) {
      const std::size_t length = value < 0x100 ? 1 : value < 0x10000 ? 2 : 3;
      for (std::size_t k = 0; k < length; ++k) {
        text[prefix + k] = static_cast<char>(value >> (8 * (length - 1 - k)));
      }
      const std::string_view view(text, prefix + length);
      if (is_valid_utf8(view) != testing::reference_valid_utf8(view)) {
        FAIL() << "prefix " << prefix << ", value " << std::hex << value;
      }
    }
  }
}

TEST(Utf8Validation, AgreesWithTheReferenceOnCorruptedText) {
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int count = static_cast<int>(random() % 60);
    for (int i = 0; i < count; ++i) {
      const unsigned pick = random() % 8;
      const char32_t c = pick < 5   ? random() % 0x80
                         : pick < 6 ? 0x80 + random() % 0x780
                         : pick < 7 ? 0x800 + random() % 0xF800
                                    : 0x10000 + random() % 0x100000;
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      text += encode(c);
    }
    ASSERT_TRUE(is_valid_utf8(text));
    const int corruptions = static_cast<int>(random() % 3);
    for (int i = 0; i < corruptions && !text.empty(); ++i) {
      text[random() % text.size()] = static_cast<char>(random() & 0xFF);
    }
    if (random() % 4 == 0 && !text.empty()) text.resize(random() % text.size());
    ASSERT_EQ(is_valid_utf8(text), testing::reference_valid_utf8(text))
        << ::testing::PrintToString(text);
  }
}

struct LossyCase {
  const char* name;
  std::string bytes;
  std::string decoded;
};

class Utf8Lossy : public ::testing::TestWithParam<LossyCase> {};

TEST_P(Utf8Lossy, ReplacesEachMaximalIllFormedSubpart) {
  failure::String out;
  append_utf8_lossy(out, GetParam().bytes);
  EXPECT_EQ(std::string_view(out), GetParam().decoded);
}

#define R "\xEF\xBF\xBD"
INSTANTIATE_TEST_SUITE_P(
    Utf8, Utf8Lossy,
    ::testing::Values(
        LossyCase{"WellFormed", "No such file \xC3\xA9", "No such file \xC3\xA9"},
        LossyCase{"TruncatedSequencesAndStrays",
                  "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
                  "a" R R R "b" R "c" R R "d"},
        LossyCase{"EachByteOfAnOverlongForm", "\xC0\xAF\xE0\x80\xBF", R R R R R},
        LossyCase{"Surrogate", "\xED\xA0\x80x", R R R "x"},
        LossyCase{"TruncatedAtTheEnd", "ok\xF0\x9F\x98", "ok" R}),
    [](const auto& info) { return std::string(info.param.name); });
#undef R

}  // namespace
}  // namespace novrel::text
