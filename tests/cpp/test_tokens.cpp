#include "text/tokens.hpp"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace novrel::text {
namespace {

const std::vector<char32_t> kWhitespace = {
    0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680,
    0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
    0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

TEST(TokenWhitespace, IsExactlyTheWhiteSpaceProperty) {
  ASSERT_EQ(kWhitespace.size(), 25u);
  std::size_t next = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    const bool expected = next < kWhitespace.size() && kWhitespace[next] == c;
    if (expected) ++next;
    ASSERT_EQ(is_whitespace(c), expected) << std::hex << "U+" << unsigned(c);
  }
}

// Pieces for composing texts: whitespace of each encoded length, and
// characters that look like whitespace but are not.
const std::string kSpacePieces[] = {" ", "\t", "\r", "\xC2\xA0", "\xC2\x85",
                                    "\xE3\x80\x80", "\xE2\x80\x8A", "\xE2\x80\xA9"};
const std::string kTextPieces[] = {"1", ".", "-", "\x1F", "\xE2\x80\x8B" /* U+200B */,
                                   "\xEF\xBB\xBF" /* U+FEFF */, "\xC3\xA9", "\xF0\x9F\x98\x80"};

struct TrimCase {
  std::string text;
  std::string trimmed;
};

TEST(TokenTrim, Table) {
  const TrimCase table[] = {
      {"", ""}, {"    ", ""}, {"  1.5  ", "1.5"}, {"\xC2\xA0\xC2\xA0-2.25e3\xC2\xA0", "-2.25e3"},
      {"\xE3\x80\x80" "1 2\t\xE3\x80\x80", "1 2"},
      {"\xE2\x80\x8B" "1\xE2\x80\x8B", "\xE2\x80\x8B" "1\xE2\x80\x8B"},
      {"\xC3\xA9 ", "\xC3\xA9"}, {"\x1F" "1\x1F", "\x1F" "1\x1F"},
  };
  for (const TrimCase& c : table) {
    const std::string_view trimmed = trim_whitespace(c.text);
    EXPECT_EQ(trimmed, c.trimmed) << ::testing::PrintToString(c.text);
    if (!trimmed.empty()) {  // a view into the input, not a copy
      EXPECT_GE(trimmed.data(), c.text.data());
      EXPECT_LE(trimmed.data() + trimmed.size(), c.text.data() + c.text.size());
    }
  }
}

struct SplitCase {
  std::string text;
  std::vector<std::string> tokens;
};

TEST(TokenSplit, Table) {
  const SplitCase table[] = {
      {"", {}}, {" \t  \t", {}}, {"a\xC2\xA0" "b", {"a", "b"}}, {"a\xE2\x80\x8B" "b", {"a\xE2\x80\x8B" "b"}},
      {"  # number of parameters   12\r", {"#", "number", "of", "parameters", "12"}},
      {"x\xE3\x80\x80\xE3\x80\x80y\n", {"x", "y"}},
  };
  for (const SplitCase& c : table) {
    const failure::Vec<std::string_view> tokens = split_whitespace(c.text);
    EXPECT_EQ(std::vector<std::string>(tokens.begin(), tokens.end()), c.tokens)
        << ::testing::PrintToString(c.text);
  }
}

// Random texts against a reference that works piece by piece, so every
// multi-byte whitespace character lands at the edges and next to tokens.
TEST(TokenSplit, AndTrimAgreeWithAPieceWiseReference) {
  std::mt19937 random(11);
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    std::vector<std::string> tokens;
    std::string current;
    std::size_t first_text = std::string::npos;
    std::size_t end_of_text = 0;
    const int count = static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) {
      if (random() % 2) {
        text += kSpacePieces[random() % std::size(kSpacePieces)];
        if (!current.empty()) tokens.push_back(current);
        current.clear();
      } else {
        if (first_text == std::string::npos) first_text = text.size();
        const std::string& piece = kTextPieces[random() % std::size(kTextPieces)];
        text += piece;
        current += piece;
        end_of_text = text.size();
      }
    }
    if (!current.empty()) tokens.push_back(current);

    const failure::Vec<std::string_view> split = split_whitespace(text);
    ASSERT_EQ(std::vector<std::string>(split.begin(), split.end()), tokens)
        << ::testing::PrintToString(text);
    const std::string trimmed =
        first_text == std::string::npos ? "" : text.substr(first_text, end_of_text - first_text);
    ASSERT_EQ(trim_whitespace(text), trimmed) << ::testing::PrintToString(text);
  }
}

struct CountCase {
  std::string token;
  std::optional<std::uint32_t> count;
};

TEST(TokenParameterCount, Table) {
  const CountCase table[] = {
      {"0", 0u}, {"+0", 0u}, {"12", 12u}, {"+12", 12u}, {"0012", 12u}, {"007", 7u}, {"99999999", 99999999u},
      {"4294967295", 4294967295u}, {"+4294967295", 4294967295u}, {"00000000004294967295", 4294967295u},
      {"4294967296", std::nullopt}, {"4294967300", std::nullopt}, {"42949672950", std::nullopt},
      {"99999999999999999999", std::nullopt}, {"", std::nullopt}, {"+", std::nullopt}, {"-", std::nullopt},
      {"-0", std::nullopt}, {"-12", std::nullopt}, {"++1", std::nullopt}, {"1e3", std::nullopt},
      {"3.0", std::nullopt}, {"12a", std::nullopt}, {"1 2", std::nullopt},
      {"\xD9\xA1", std::nullopt},  // ARABIC-INDIC DIGIT ONE
      {"/", std::nullopt}, {":", std::nullopt},
  };
  for (const CountCase& c : table) {
    EXPECT_EQ(parse_parameter_count(c.token), c.count) << "token " << c.token;
  }
}

}  // namespace
}  // namespace novrel::text
