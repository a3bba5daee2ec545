// Writing: fields against printf's correctly rounded digits and back through
// parse_float32, whole files back through the row reader, and failures that
// leave the target as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "lib.hpp"
#include "plot_writer.hpp"
#include "scratch_file.hpp"
#include "text/field_format.hpp"
#include "text/number.hpp"
#include "text/tokens.hpp"

namespace {

using novrel::PlotTable;
using novrel::WriteError;
using novrel::WriteProblem;
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

std::string contents_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

// Files in a directory of their own, so that a temporary file left behind
// would show.
class Directory {
 public:
  Directory() {
    char name[] = "/tmp/novrel-writer-XXXXXX";
    if (::mkdtemp(name) == nullptr) std::abort();
    path_ = name;
  }
  ~Directory() { std::system(("rm -rf " + path_).c_str()); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::string listing() const {
    std::string names;
    const std::unique_ptr<FILE, decltype(&pclose)> ls(popen(("ls -A " + path_).c_str(), "r"), &pclose);
    for (int c; (c = std::fgetc(ls.get())) != EOF;) names += static_cast<char>(c);
    return names;
  }

 private:
  std::string path_;
};

TEST(PlotWriter, WorkedExampleByteForByte) {
  Directory dir;
  const std::string_view names[] = {"TIME", "PRESSURE", "TEMPERATURE"};
  const float values[] = {0.0f, 1.01325e5f, 293.15f, 10.0f, 1.02e5f, 295.0f};
  novrel::write_plot(dir / "run7.plt",
                     {.title = "Run 7 plot data", .names = names,
                      .values = std::span<const float>(values), .blocks = 2},
                     {.width = 12});
  EXPECT_EQ(contents_of(dir / "run7.plt"), novrel::testing_support::kWorkedExample);
  EXPECT_EQ(dir.listing(), "run7.plt\n");
}

// Many rounds of several threads' chunks, with a three-digit exponent and a
// five-digit block number, read back by the row reader.
TEST(PlotWriter, ChunksInOrderReadBack) {
  Directory dir;
  constexpr std::size_t kCount = 25, kBlocks = 30000;
  std::vector<std::string> name_texts;
  std::vector<std::string_view> names;
  for (std::size_t j = 0; j < kCount; ++j) name_texts.push_back("P" + std::to_string(j));
  for (const auto& name : name_texts) names.push_back(name);
  std::vector<double> values(kCount * kBlocks);
  std::mt19937_64 random(3);
  // Values that are floats, which the reader's float32 must give exactly.
  for (auto& v : values) v = static_cast<float>(std::ldexp(static_cast<double>(random() >> 11), -40) - 4000.0);
  values[7] = 1e300;  // infinity as a float
  const PlotTable table{.title = "12345", .names = names,
                        .values = std::span<const double>(values), .blocks = kBlocks};
  novrel::write_plot(dir / "big.plt", table, {.width = 23, .threads = 3});
  const novrel::PlotRows rows = novrel::read_plot_rows(dir / "big.plt", {});
  ASSERT_EQ(rows.blocks, kBlocks);
  EXPECT_EQ(rows.width, 23u);
  EXPECT_EQ(std::string_view(rows.names[24]), "P24");
  for (std::size_t i = 0; i < values.size(); ++i)
    ASSERT_EQ(rows.values.data()[i], static_cast<float>(values[i])) << i;
  EXPECT_EQ(contents_of(dir / "big.plt").substr(0, 34), "12345                          25\n");
}

TEST(PlotWriter, FailuresLeaveTheTargetAsItWas) {
  Directory dir;
  {
    std::ofstream(dir / "kept.plt") << "before";
  }
  const std::string_view names[] = {"A", "B\nC"};
  const float values[] = {1.0f, 2.0f};
  const auto problem = [&](std::string path, std::size_t width, std::size_t count) {
    try {
      novrel::write_plot(path,
                         {.names = std::span(names, count), .values = std::span<const float>(values),
                          .blocks = 1},
                         {.width = width});
    } catch (const WriteError& error) {
      return error;
    }
    ADD_FAILURE() << "no error for " << path;
    return WriteError{};
  };
  EXPECT_EQ(problem(dir / "kept.plt", 5, 1).problem, WriteProblem::bad_width);
  EXPECT_EQ(problem(dir / "kept.plt", 1025, 1).max_width, 1024u);
  EXPECT_EQ(problem(dir / "kept.plt", 15, 0).problem, WriteProblem::bad_count);
  const WriteError line_break = problem(dir / "kept.plt", 15, 2);
  EXPECT_EQ(line_break.problem, WriteProblem::line_break);
  EXPECT_EQ(line_break.name, 1u);
  EXPECT_EQ(problem(dir / "missing/x.plt", 15, 1).os_error, ENOENT);
  EXPECT_EQ(problem(dir / "", 15, 1).os_error, EISDIR);
  // Abandoned between two rounds: the file half written is removed.
  const std::vector<float> many(400000, 1.0f);
  const auto interrupt = [](void*) { throw 42; };
  EXPECT_THROW(novrel::write_plot(dir / "kept.plt",
                                  {.names = std::span(names, 1), .values = std::span<const float>(many),
                                   .blocks = many.size()},
                                  {.threads = 1, .poll = interrupt}),
               int);
  EXPECT_EQ(contents_of(dir / "kept.plt"), "before");
  EXPECT_EQ(dir.listing(), "kept.plt\n");
}

}  // namespace
