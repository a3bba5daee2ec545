// The reader at the limits of the size type and of memory: field bounds for
// widths near SIZE_MAX, parameter counts that the file cannot back, a list
// count beyond one allocation, and files beyond 2 GiB on 32-bit.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "failure/fatal_error.hpp"
#include "lib.hpp"
#include "scratch_file.hpp"

namespace {

using novrel::rust_read_torvask;
using novrel::failure::FatalError;
using novrel::testing_support::ChildRun;
using novrel::testing_support::failure_of;
using novrel::testing_support::kWorkedExample;
using novrel::testing_support::run_in_child;
using novrel::testing_support::ScratchFile;

constexpr bool k32Bit = sizeof(std::size_t) == 4;

long peak_rss_kib() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

struct HugeWidth {
  std::size_t width;
  const char* decimal;  // written out, not derived from `width`
};

// The first field's end is the width itself and the line has 36 bytes; the
// other bounds (up to ten times the width) must neither wrap into a
// plausible index nor show up in the message.
class HugeWidths : public ::testing::TestWithParam<HugeWidth> {};

TEST_P(HugeWidths, ReportTheExactEndIndex) {
  ScratchFile file(kWorkedExample);
  EXPECT_EQ(failure_of(file.path(), GetParam().width),
            std::string("end byte index ") + GetParam().decimal +
                " is out of bounds for string of length 36");
}

INSTANTIATE_TEST_SUITE_P(
    NearSizeMax, HugeWidths,
    ::testing::Values(
        HugeWidth{SIZE_MAX / 10, k32Bit ? "429496729" : "1844674407370955161"},
        HugeWidth{SIZE_MAX / 10 + 1, k32Bit ? "429496730" : "1844674407370955162"},
        HugeWidth{SIZE_MAX / 9 + 1, k32Bit ? "477218589" : "2049638230412172402"},
        HugeWidth{SIZE_MAX / 2, k32Bit ? "2147483647" : "9223372036854775807"},
        HugeWidth{SIZE_MAX / 2 + 1, k32Bit ? "2147483648" : "9223372036854775808"},
        HugeWidth{SIZE_MAX - 1, k32Bit ? "4294967294" : "18446744073709551614"},
        HugeWidth{SIZE_MAX, k32Bit ? "4294967295" : "18446744073709551615"}));

// A header may claim any count up to 4294967295; the name lines are read
// before anything is sized by it, so a short file fails cheaply.
class ClaimedCounts : public ::testing::TestWithParam<const char*> {};

TEST_P(ClaimedCounts, FailOnTheMissingNameWithoutAllocating) {
  ScratchFile file(std::string("Run 7 plot data ") + GetParam() + "\nTIME\nPRESSURE\n");
  const long before = peak_rss_kib();
  EXPECT_EQ(failure_of(file.path(), 12), "Failed to read line!");
  const long grown = peak_rss_kib() - before;
  std::printf("peak RSS grew by %ld KiB\n", grown);
  EXPECT_LT(grown, 16 * 1024);
}

// 178956972 is the first count whose N - 1 lists exceed one allocation on
// 32-bit; on 64-bit no count can.
INSTANTIATE_TEST_SUITE_P(Huge, ClaimedCounts,
                         ::testing::Values("4294967295", "4294967294", "178956972", "1000000"));

// The fatal error's report and the memory-exhaustion line of reading
// `path` in a child process whose address space is capped near its size.
// The child reads for long before it writes anything.
ChildRun read_under_address_limit(const std::string& path) {
  return run_in_child([&] {
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    const rlim_t limit = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (256u << 20);
    const rlimit cap{limit, limit};
    ::setrlimit(RLIMIT_AS, &cap);
    failure_of(path, 12);
  }, 600000);
}

// N - 1 column lists must fit one allocation: 178956970 lists do, so the
// column list is requested (and, under the cap, fails as memory exhaustion,
// not as a refused size); 178956971 lists do not, a capacity overflow before
// anything is allocated. About 171 MiB of name lines, read twice.
TEST(Limits, ColumnListsBeyondOneAllocationAreCapacityOverflow) {
  if (!k32Bit) GTEST_SKIP() << "no parameter count reaches the limit with a 64-bit size type";
  ASSERT_EQ(novrel::failure::max_elements<novrel::Column>(), 178956970u);
  constexpr std::uint32_t kNames = 178956972;
  const std::string header = "Run 7 plot data " + std::to_string(kNames) + "\n";
  ScratchFile file(header);
  const std::string newlines(1 << 20, '\n');
  std::uint32_t written = 0;
  for (; written + newlines.size() <= kNames; written += newlines.size()) file.append(newlines);
  file.append(std::string(kNames - written, '\n'));

  const long before = peak_rss_kib();
  EXPECT_EQ(failure_of(file.path(), 12), "capacity overflow");
  EXPECT_LT(peak_rss_kib() - before, 16 * 1024);

  // One fewer parameter, in place: the count keeps its nine digits.
  file.write_at(0, "Run 7 plot data 178956971\n");
  const ChildRun run = read_under_address_limit(file.path());
  EXPECT_TRUE(run.aborted()) << run.err;
  EXPECT_EQ(run.err.substr(0, 44), "memory allocation of 2147483640 bytes failed") << run.err;
}

// A file beyond 2 GiB must open and read through on 32-bit too. The leading
// lines are holes of a sparse file: they read as NUL bytes, which are valid
// UTF-8, and a leading line is never interpreted, so the file costs no disk
// space and the reader still passes every byte through its line source.
TEST(Limits, FileBeyondTwoGiBReadsThrough) {
  constexpr off_t kLeadingLine = 1 << 20;
  constexpr int kBlocks = 2100;  // 2100 MiB of leading lines
  ScratchFile file;
  std::string header = "big file 1\nVALUE\n";
  file.write_at(0, header);
  off_t at = static_cast<off_t>(header.size());
  std::vector<float> expected;
  char data_line[32];
  for (int b = 0; b < kBlocks; ++b) {
    at += kLeadingLine;
    const float value = static_cast<float>(b) * 0.5f;
    std::snprintf(data_line, sizeof data_line, "\n%12.5E\n", static_cast<double>(value));
    file.write_at(at, data_line);
    at += static_cast<off_t>(std::string(data_line).size());
    expected.push_back(value);
  }
  ASSERT_GT(at, off_t{1} << 31);

  const novrel::PlotData data = rust_read_torvask(file.path(), 12);
  EXPECT_TRUE(data.columns.empty());
  EXPECT_EQ(std::vector<float>(data.first_column.begin(), data.first_column.end()), expected);
}

}  // namespace
