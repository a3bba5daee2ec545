// Reading into rows: the same values as the list reader, from any source, the
// width taken from the first data line, cut files, and failures that say where
// they happened without writing anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lib.hpp"
#include "reader/rows.hpp"
#include "reader/source.hpp"
#include "scratch_file.hpp"

namespace {

using novrel::PlotRows;
using novrel::ReadError;
using novrel::ReadProblem;
using novrel::RowOptions;
using novrel::testing_support::Fd2Capture;
using novrel::testing_support::kWorkedExample;
using novrel::testing_support::plot_text;
using novrel::testing_support::printed;
using novrel::testing_support::ScratchFile;

std::vector<float> values_of(const PlotRows& rows) {
  return {rows.values.data<float>(), rows.values.data<float>() + rows.blocks * rows.names.size()};
}

TEST(Rows, WorkedExampleInFileOrderWithNamesAndWidth) {
  ScratchFile file(kWorkedExample);
  const PlotRows rows = novrel::read_plot_rows(file.path(), {});
  EXPECT_EQ(rows.width, 12u);
  ASSERT_EQ(rows.names.size(), 3u);
  EXPECT_EQ(std::string_view(rows.names[1]), "PRESSURE");
  EXPECT_EQ(values_of(rows), (std::vector<float>{0.0f, 1.01325e5f, 293.15f, 10.0f, 1.02e5f, 295.0f}));
}

// The list reader's values, block after block, for shapes that take the
// decoder, the field parser and the staged copies through their edges.
TEST(Rows, SameValuesAsTheListReader) {
  for (const std::size_t count : {1u, 10u, 11u, 37u}) {
    ScratchFile file(plot_text(count, 41, [](std::size_t b, std::size_t j) {
      return printed(j % 3 ? "%12.5E" : "%12.4g", (b * 31.0 + j) / 7.0);
    }));
    const PlotRows rows = novrel::read_plot_rows(file.path(), {});
    const novrel::PlotData lists = novrel::rust_read_torvask(file.path(), 12);
    ASSERT_EQ(rows.blocks, lists.first_column.size());
    EXPECT_EQ(std::string_view(rows.names[count - 1]), "P" + std::to_string(count - 1));
    for (std::size_t b = 0; b < rows.blocks; ++b) {
      const float* row = rows.values.data<float>() + b * count;
      ASSERT_EQ(std::memcmp(&row[0], &lists.first_column[b], 4), 0) << count << " " << b;
      for (std::size_t j = 1; j < count; ++j)
        ASSERT_EQ(std::memcmp(&row[j], &lists.columns[j - 1][b], 4), 0) << count << " " << b << " " << j;
    }
  }
}

TEST(Rows, CutFilesGiveTheCompleteBlocksWhenAsked) {
  const std::string complete = "h 2\nA\nB\n1\n  1.5  2.5\n2\n  3.5  4.5\n";
  for (const std::string& cut : {complete + "3\n", complete + "3", complete + "3\n  5.5  6",
                                 complete + "3\n  5.5  \xC3", complete + "3\n  5.5  6.5\n4\n 7"}) {
    ScratchFile file(cut);
    RowOptions options;
    options.complete_blocks = true;
    const PlotRows rows = novrel::read_plot_rows(file.path(), options);
    EXPECT_EQ(rows.blocks, cut.size() > complete.size() + 10 ? 3u : 2u) << cut;
    EXPECT_EQ(values_of(rows)[3], 4.5f);
    EXPECT_THROW(novrel::read_plot_rows(file.path(), {}), ReadError) << cut;
  }
}

// Complete blocks drop only a cut last line's failures: a bad field on a
// whole line before the cut is the file's fault, not the writer's.
TEST(Rows, CompleteBlocksStillFailOnABadFieldBeforeTheCut) {
  for (const unsigned threads : {1u, 2u}) {
    ScratchFile file("h 11\nA\nB\nC\nD\nE\nF\nG\nH\nI\nJ\nK\n1\n" + std::string(9, ' ') + "x" +
                     std::string(90, '1') + "\n 2");
    RowOptions options;
    options.complete_blocks = true;
    options.threads = threads;
    try {
      novrel::read_plot_rows(file.path(), options);
      ADD_FAILURE() << "no error";
    } catch (const ReadError& error) {
      EXPECT_EQ(error.problem, ReadProblem::not_a_number);
      EXPECT_EQ(error.line, 14u);
    }
  }
}

// Where every block is laid out as the first, blocks are found by their
// size and lines passed over by their due LFs. A file that breaks the layout
// anywhere, its size kept or not, is still read as a walk from line to line
// reads it: the same rows or the same failure in any number of threads.
TEST(Rows, ALayoutBrokenAnywhereReadsAsALineWalk) {
  const std::string regular = plot_text(12, 7, [](std::size_t b, std::size_t j) {
    return " " + std::to_string(b) + "." + std::to_string(j % 10) + "E+0" + std::to_string(j % 3);
  });
  const std::size_t data = regular.find("   0\n");
  auto outcome = [](const ScratchFile& file, const RowOptions& options) {
    try {
      const PlotRows rows = novrel::read_plot_rows(file.path(), options);
      return std::to_string(rows.first_block) + " " +
             std::string(rows.values.data<char>(), rows.blocks * rows.parameters.size() * sizeof(float));
    } catch (const ReadError& error) {
      return "error " + std::to_string(static_cast<int>(error.problem)) + " " + std::to_string(error.line);
    }
  };
  RowOptions last, odd, tail;
  last.parameters.emplace_back(std::int64_t{-1});
  odd.blocks = {.start = 1, .stop = std::nullopt, .step = 2};
  tail.blocks = {.start = -3, .stop = std::nullopt, .step = 1};
  for (std::size_t at = data; at < regular.size(); at += 7) {
    // An LF moved or a line split, the size kept; then also a CR at the end,
    // which counts the lines; a CR here; one empty line at the end.
    const std::string moved = regular.substr(0, at) + (regular[at] == '\n' ? ' ' : '\n') + regular.substr(at + 1);
    for (const std::string& text : {moved, moved.substr(0, moved.size() - 1) + "\r\n",
                                    regular.substr(0, at) + "\r" + regular.substr(at), regular + "\n"}) {
      const ScratchFile file(text);
      for (const RowOptions& chosen : {RowOptions{}, last, odd, tail}) {
        RowOptions options = chosen;
        const std::string one = outcome(file, options);
        for (const unsigned threads : {2u, 3u}) {
          options.threads = threads;
          EXPECT_EQ(outcome(file, options), one) << "byte " << at << ", threads " << threads;
        }
      }
    }
  }
}

// A path, bytes in memory and a stream fed in uneven chunks smaller than a
// line give the same rows: the walker sees no difference but seeking, and a
// stream reads negative bounds by holding every block.
TEST(Rows, SameRowsFromAPathMemoryAndAStream) {
  const std::string text = plot_text(13, 40, [](std::size_t b, std::size_t j) {
    return printed("%15.8E", (b * 37.0 - j) / 3.0);
  });
  ScratchFile file(text);
  RowOptions all;
  RowOptions chosen;
  chosen.dtype = novrel::Dtype::float64;
  chosen.parameters = {std::int64_t{-1}, novrel::failure::String("P4")};
  chosen.blocks = {-9, -2, 3};
  for (const RowOptions* options : {&all, &chosen}) {
    const PlotRows by_path = novrel::read_plot_rows(file.path(), *options);
    const PlotRows in_memory =
        novrel::read_plot_rows(novrel::reader::PlotFile(std::span<const char>(text)), *options);
    novrel::reader::ChunkPipe pipe(64, 3);
    std::thread feeder([&] {
      for (std::size_t at = 0, turn = 0; at < text.size(); ++turn) {
        const std::span<char> chunk = pipe.free_chunk(1000);
        if (chunk.empty() && pipe.stopped()) return;
        const std::size_t size = std::min({chunk.size(), text.size() - at, turn % 64 + 1});
        if (size == 0) continue;
        std::memcpy(chunk.data(), text.data() + at, size);
        pipe.publish(size);
        at += size;
      }
      pipe.finish();
    });
    const PlotRows streamed = novrel::read_plot_rows(novrel::reader::PlotFile(pipe), *options);
    pipe.stop();
    feeder.join();
    const std::size_t bytes = by_path.blocks * by_path.parameters.size() * (options == &all ? 4 : 8);
    EXPECT_EQ(by_path.blocks, options == &all ? 40u : 3u);
    for (const PlotRows* other : {&in_memory, &streamed}) {
      EXPECT_EQ(other->blocks, by_path.blocks);
      EXPECT_EQ(other->first_block, by_path.first_block);
      EXPECT_EQ(other->block_step, by_path.block_step);
      EXPECT_EQ(other->parameters, by_path.parameters);
      EXPECT_EQ(std::memcmp(other->values.data<char>(), by_path.values.data<char>(), bytes), 0);
    }
  }
}

struct Failure {
  const char* name;
  std::string contents;
  std::size_t width;
  ReadProblem problem;
  std::uint64_t line;
  std::optional<std::uint64_t> block;
  std::optional<std::uint32_t> parameter;
  std::string text;
  std::size_t suggested_width;
};

class RowFailures : public ::testing::TestWithParam<Failure> {};

TEST_P(RowFailures, SayWhatAndWhereAndWriteNothing) {
  const Failure& expected = GetParam();
  ScratchFile file(expected.contents);
  RowOptions options;
  options.width = expected.width;
  Fd2Capture fd2;
  try {
    novrel::read_plot_rows(file.path(), options);
    FAIL() << "no error";
  } catch (const ReadError& error) {
    EXPECT_EQ(error.problem, expected.problem) << novrel::text_of(error.problem).name;
    EXPECT_EQ(error.line, expected.line);
    EXPECT_EQ(error.block, expected.block);
    EXPECT_EQ(error.parameter, expected.parameter);
    EXPECT_EQ(std::string_view(error.text.value_or(novrel::failure::String())), expected.text);
    EXPECT_EQ(error.suggested_width, expected.suggested_width);
    if (expected.parameter) {
      EXPECT_EQ(std::string_view(error.name), std::string(1, char('A' + *expected.parameter)));
    }
  }
  EXPECT_EQ(fd2.text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, RowFailures,
    ::testing::Values(
        Failure{"Empty", "", 0, ReadProblem::no_header, 1, {}, {}, "", 0},
        Failure{"BadCount", "h x\n", 0, ReadProblem::bad_count, 1, {}, {}, "h x", 0},
        Failure{"NamesMissing", "h 3\nA\n", 0, ReadProblem::names_missing, 3, {}, {}, "", 0},
        Failure{"NotUtf8", "h 1\nA\n\xFF\n", 0, ReadProblem::not_utf8, 3, 0, {}, "", 0},
        Failure{"NotUtf8Name", "h 2\nA\n\xFF\n", 0, ReadProblem::not_utf8, 3, {}, {}, "", 0},
        Failure{"BlockCut", "h 2\nA\nB\n1\n", 0, ReadProblem::block_cut, 5, 0, {}, "", 0},
        Failure{"NotANumber", "h 3\nA\nB\nC\n1\n  1.01.0D0  2.0\n", 0, ReadProblem::not_a_number, 6, 0,
                1, "1.0D0", 5},
        Failure{"WrongWidth", "h 2\nA\nB\n1\n   1.5   2.5\n", 5, ReadProblem::width_mismatch, 5, 0,
                {}, "   1.5   2.5", 6},
        Failure{"FieldOutside", "h 2\nA\nB\n1\n 1 2\n2\n 3\n", 0, ReadProblem::field_outside, 7, 1,
                1, " 3", 2},
        Failure{"WidthUnknown", "h 3\nA\nB\nC\n1\n 1 2 34\n", 0, ReadProblem::width_unknown, 6, 0,
                {}, " 1 2 34", 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Rows, OpenFailuresCarryErrno) {
  try {
    novrel::read_plot_rows("/nonexistent/plot", {});
    FAIL() << "no error";
  } catch (const ReadError& error) {
    EXPECT_EQ(error.problem, ReadProblem::os_error);
    EXPECT_EQ(error.os_error, ENOENT);
  }
}

}  // namespace
