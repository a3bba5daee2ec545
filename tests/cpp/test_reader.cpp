// The plot-file reader end to end, on small files written to a temp dir.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "failure/fatal_error.hpp"
#include "lib.hpp"
#include "scratch_file.hpp"

namespace {

using novrel::PlotData;
using novrel::rust_read_torvask;
using novrel::failure::FatalError;
using novrel::testing_support::failure_of;
using novrel::testing_support::kWorkedExample;
using novrel::testing_support::open_descriptors;
using novrel::testing_support::plot_text;
using novrel::testing_support::printed;
using novrel::testing_support::ScratchFile;

std::string error_of(const std::string& contents, std::size_t width = 12) {
  ScratchFile file(contents);
  return failure_of(file.path(), width);
}

std::vector<std::vector<float>> as_rows(const PlotData& data) {
  std::vector<std::vector<float>> out;
  out.emplace_back(data.first_column.begin(), data.first_column.end());
  for (const auto& c : data.columns) out.emplace_back(c.begin(), c.end());
  return out;
}

TEST(Reader, WorkedExample) {
  ScratchFile file(kWorkedExample);
  const PlotData data = rust_read_torvask(file.path(), 12);
  EXPECT_EQ(as_rows(data), (std::vector<std::vector<float>>{
                               {0.0f, 10.0f}, {101325.0f, 102000.0f}, {293.15f, 295.0f}}));
  EXPECT_EQ(static_cast<double>(data.columns[1][0]), 293.1499938964844);
}

TEST(Reader, ManyBlocksKeepEveryValueInPlace) {
  // 41 blocks of 12 parameters, ten on the first data line and two on the
  // second, each value naming its block and parameter. The first block's
  // long line makes the columns sized for fewer blocks than follow, so they
  // regrow while values wait to be copied, and the last blocks fill no
  // whole group. Bytes after the last field a line must hold are ignored.
  ScratchFile f(plot_text(12, 41, [](std::size_t b, std::size_t k) {
    std::string field = printed("%4.0f", b * 12.0 + k);
    if (k == 9 && b == 0) field += std::string(63, ' ');
    return k == 11 && b == 1 ? field + " trailing text" : field;
  }));
  const auto rows = as_rows(rust_read_torvask(f.path(), 4));
  ASSERT_EQ(rows.size(), 12u);
  for (std::size_t k = 0; k < 12; ++k) {
    ASSERT_EQ(rows[k].size(), 41u);
    for (std::size_t b = 0; b < 41; ++b) EXPECT_EQ(rows[k][b], float(b * 12 + k)) << b << ' ' << k;
  }
}

struct ShapeCase {
  const char* name;
  std::string contents;
  std::size_t width;
  std::vector<std::vector<float>> rows;  // first column, then each column
};

class ReaderShapes : public testing::TestWithParam<ShapeCase> {};

TEST_P(ReaderShapes, ReadsEveryColumn) {
  ScratchFile file(GetParam().contents);
  EXPECT_EQ(as_rows(rust_read_torvask(file.path(), GetParam().width)), GetParam().rows);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReaderShapes,
    testing::Values(
        ShapeCase{"NoBlocks", "h 3\na\nb\nc\n", 12, {{}, {}, {}}},
        ShapeCase{"OneParameter", "h 1\nt\nL\n 1.5\nL\n 2.5\n", 4, {{1.5f, 2.5f}}},
        ShapeCase{"CountWithPlusAndZeros", "h +003\na\nb\nc\nL\n  1  2  3\n", 3,
                  {{1}, {2}, {3}}},
        ShapeCase{"CrLfLines", "h 2\r\na\r\nb\r\nL\r\n  1  2\r\n", 3, {{1}, {2}}},
        ShapeCase{"LastLineWithoutLf", "h 2\na\nb\nL\n  1  2", 3, {{1}, {2}}},
        ShapeCase{"NoBreakSpacePadding", "h 1\na\nL\n\xC2\xA0" "7\xC2\xA0\n", 5, {{7}}},
        ShapeCase{"MultiByteTextInLeadingAndNameLines", "h 1\n\xC3\xA9t\xC3\xA9\n\xE2\x82\xAC\n 1\n",
                  2, {{1}}},
        ShapeCase{"ElevenParameters",
                  "h 11\n" + std::string(11, '\n') + "L\n 0 1 2 3 4 5 6 7 8 9\n10\n",
                  2, {{0}, {1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}, {9}, {10}}}),
    [](const testing::TestParamInfo<ShapeCase>& info) { return info.param.name; });

struct FailureCase {
  const char* name;
  std::string contents;
  std::size_t width;
  std::string message;
};

class ReaderFailures : public testing::TestWithParam<FailureCase> {};

TEST_P(ReaderFailures, RaisesTheMessage) {
  EXPECT_EQ(error_of(GetParam().contents, GetParam().width), GetParam().message);
}

const std::string kBadUtf8 =
    "Failed to read line!: Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }";

INSTANTIATE_TEST_SUITE_P(
    Table, ReaderFailures,
    testing::Values(
        FailureCase{"EmptyFile", "", 12, "Failed ot read line!"},
        FailureCase{"EndsInNameLines", "h 3\na\nb\n", 12, "Failed to read line!"},
        FailureCase{"EndsAfterLeadingLine", "h 1\na\nL\n", 12, "Error reading line"},
        FailureCase{"TrailingEmptyLineIsALeadingLine", "h 1\na\nL\n 1\n\n", 2,
                    "Error reading line"},
        FailureCase{"EndsBetweenDataLines", "h 11\n" + std::string(11, '\n') + "L\n" +
                                                std::string(20, '1') + "\n",
                    2, "Error reading line"},
        FailureCase{"InvalidUtf8InNameLine", "h 1\n\xFF\n", 12, kBadUtf8},
        FailureCase{"InvalidUtf8InLeadingLine", "h 1\na\n\xC0\x80\n 1\n", 2, kBadUtf8},
        FailureCase{"InvalidUtf8InDataLine", "h 1\na\nL\n 1\nL\n\xED\xA0\x80\n", 2, kBadUtf8},
        FailureCase{"InvalidUtf8InSecondDataLine", "h 11\n" + std::string(11, '\n') + "L\n" +
                                                       std::string(20, '1') + "\n\xF8\n",
                    2, kBadUtf8},
        FailureCase{"BlankField", "h 2\na\nb\nL\n 1    \n", 3,
                    "Could not parse line: ParseFloatError { kind: Empty }"},
        FailureCase{"FortranExponent", "h 1\na\nL\n1.0D+00\n", 7,
                    "Could not parse line: ParseFloatError { kind: Invalid }"},
        FailureCase{"WidthZero", "h 1\na\nL\n 1\n", 0,
                    "Could not parse line: ParseFloatError { kind: Empty }"},
        FailureCase{"WidthBeyondLine", "h 1\na\nL\n 1.5\n", 12,
                    "end byte index 12 is out of bounds for string of length 4"},
        // The first field that fails decides, even where a later one is out of range.
        FailureCase{"ParseErrorBeforeLaterRangeError", "h 3\na\nb\nc\nL\n x   1\n", 3,
                    "Could not parse line: ParseFloatError { kind: Invalid }"},
        FailureCase{"SecondLineTooShort", "h 12\n" + std::string(12, '\n') + "L\n" +
                                              std::string(40, '1') + "\n   1  \n",
                    4, "end byte index 8 is out of bounds for string of length 6"},
        FailureCase{"EndInsideCharacter", "h 2\na\nb\nL\n 1\xC3\xA9" "2\n", 3,
                    "end byte index 3 is not a char boundary; it is inside '\xC3\xA9' (bytes 2..4 of string)"},
        FailureCase{"EndInsideThreeByteCharacter", "h 2\na\nb\nL\n1\xE2\x82\xAC" "5\n", 2,
                    "end byte index 2 is not a char boundary; it is inside '\xE2\x82\xAC' (bytes 1..4 of string)"},
        FailureCase{"InvisibleCharacterEscaped", "h 2\na\nb\nL\n 1\xC2\xA0" "2\n", 3,
                    "end byte index 3 is not a char boundary; it is inside '\\u{a0}' (bytes 2..4 of string)"},
        // Plane 3 holds assigned ideographs up to U+323AF, with a gap after U+3134A.
        FailureCase{"PlaneThreeIdeographShown", "h 1\na\nL\n1\xF0\xB2\x8E\xAF" "5\n", 2,
                    "end byte index 2 is not a char boundary; it is inside '\xF0\xB2\x8E\xAF' (bytes 1..5 of string)"},
        FailureCase{"PlaneThreeGapEscaped", "h 1\na\nL\n1\xF0\xB1\x8D\x8B" "5\n", 2,
                    "end byte index 2 is not a char boundary; it is inside '\\u{3134b}' (bytes 1..5 of string)"},
        FailureCase{"CountFollowedByWord", "h 3 x\na\nb\nc\n", 12,
                    "The first line should end with the number of parameters:\n'h 3 x'"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

enum class Stdout { File, Full, Closed, BrokenPipe };

struct CountCase {
  const char* name;
  const char* header;
  Stdout stdout_kind;
  const char* printed;  // what reaches a file on fd 1
  std::string message;
};

class RejectedCounts : public testing::TestWithParam<CountCase> {};

// Only a count token that does not parse is reported on fd 1; a stdout that
// is closed drops the line, one that fails otherwise (a full device, or a
// pipe without a reader while SIGPIPE is ignored) ends the call.
TEST_P(RejectedCounts, PrintTheDiagnosticOnlyForABadToken) {
  const CountCase& c = GetParam();
  ScratchFile out("");
  fflush(stdout);
  const int saved = dup(1);
  int pipe_ends[2] = {-1, -1};
  void (*old_handler)(int) = SIG_DFL;
  switch (c.stdout_kind) {
    case Stdout::File:
    case Stdout::Full: {
      const int fd = open(c.stdout_kind == Stdout::Full ? "/dev/full" : out.path().c_str(), O_WRONLY | O_TRUNC);
      dup2(fd, 1);
      close(fd);
      break;
    }
    case Stdout::Closed:
      close(1);
      break;
    case Stdout::BrokenPipe:
      // As under Python, which ignores SIGPIPE: the write fails with EPIPE.
      old_handler = signal(SIGPIPE, SIG_IGN);
      ASSERT_EQ(pipe(pipe_ends), 0);
      close(pipe_ends[0]);
      dup2(pipe_ends[1], 1);
      close(pipe_ends[1]);
      break;
  }
  const std::string message = error_of(c.header);
  dup2(saved, 1);
  close(saved);
  if (c.stdout_kind == Stdout::BrokenPipe) signal(SIGPIPE, old_handler);
  std::ifstream in(out.path());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
            c.printed);
  EXPECT_EQ(message, c.message);
}

const std::string kCountRejected = "The first line should end with the number of parameters:\n";

INSTANTIATE_TEST_SUITE_P(
    Table, RejectedCounts,
    testing::Values(
        CountCase{"BadToken", "Run 7 plot data  -3\n", Stdout::File,
                  "Error: '-3' is not a valid number of parameters!\n",
                  kCountRejected + "'Run 7 plot data  -3'"},
        CountCase{"NoToken", " \t \n", Stdout::File, "", kCountRejected + "' \t '"},
        CountCase{"Zero", "h 0\n 1\n", Stdout::File, "", kCountRejected + "'h 0'"},
        CountCase{"FullStdout", "Run 7 plot data  -3\n", Stdout::Full, "",
                  "failed printing to stdout: No space left on device (os error 28)"},
        CountCase{"ClosedStdout", "h 3.0\n", Stdout::Closed, "", kCountRejected + "'h 3.0'"},
        CountCase{"BrokenPipe", "h 3.0\n", Stdout::BrokenPipe, "",
                  "failed printing to stdout: Broken pipe (os error 32)"}),
    [](const testing::TestParamInfo<CountCase>& info) { return info.param.name; });

TEST(Reader, OpenFailuresCarryTheIoError) {
  EXPECT_EQ(failure_of("/nonexistent/novrel/plot", 12),
            "Plot file not found!: Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
  EXPECT_EQ(failure_of(std::string("a\0b", 3), 12),
            "Plot file not found!: Error { kind: InvalidInput, message: \"file name contained an unexpected NUL byte\" }");
  EXPECT_EQ(failure_of("/tmp", 12),
            "Failed to read line!: Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
}

TEST(Reader, EveryFailureClosesTheFile) {
  ScratchFile file("h 2\na\nb\nL\n 1 x\n");
  const std::size_t before = open_descriptors();
  for (int i = 0; i < 50; ++i) failure_of(file.path(), 2);
  EXPECT_EQ(open_descriptors(), before);
}

TEST(Reader, AFieldThatDoesNotParseFailsAtOneSite) {
  // The same bad first field, on a line whose fields all fit and on one
  // where the second field runs past the end.
  auto site_of = [](const std::string& contents) {
    ScratchFile file(contents);
    return novrel::failure::catch_fatal(
        [&] {
          rust_read_torvask(file.path(), 3);
          return std::string("<no error>");
        },
        [](const FatalError& e) {
          return std::string(e.location().file_name()) + ":" + std::to_string(e.location().line()) +
                 ":" + std::to_string(e.location().column());
        });
  };
  const std::string fitting = site_of("h 2\na\nb\nL\n  x  1\n");
  EXPECT_NE(fitting, "<no error>");
  EXPECT_EQ(fitting, site_of("h 2\na\nb\nL\n  x\n"));
}

}  // namespace
