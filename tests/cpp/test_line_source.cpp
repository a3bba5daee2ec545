#include "text/lines/line_source.hpp"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "reader/block_walker.hpp"
#include "reader/read_failure.hpp"
#include "reader/source.hpp"
#include "scratch_file.hpp"
#include "text/kernel.hpp"
#include "text/lines/line_end.hpp"
#include "utf8_reference.hpp"

namespace novrel::text {
namespace {

using namespace std::string_literals;

using testing_support::open_descriptors;
using testing_support::ScratchFile;

// One outcome as text: the line itself, "<EOF>" or "<ERR ...rendering...>".
std::string describe(const NextLine& next) {
  switch (next.status) {
    case LineStatus::Line: return std::string(next.text);
    case LineStatus::EndOfInput: return "<EOF>";
    case LineStatus::Error: {
      const failure::String rendered = render_io_error(next.error);
      return "<ERR " + std::string(rendered) + ">";
    }
  }
  return "<?>";
}

// The walker's next line; a failed read, which comes up thrown, as an
// outcome like the others.
NextLine next_of(reader::LineWalker& walker) {
  try {
    return walker.next_line();
  } catch (const ReadError& error) {
    return {LineStatus::Error, {}, IoError::os(error.os_error)};
  }
}

// Every outcome up to and including the first EndOfInput, through a walker
// over the sequential source, as the list module reads.
std::vector<std::string> read_all(const std::string& path,
                                  std::size_t buffer_size) {
  OpenedFile opened = open_file(path);
  if (!opened.fd) return {"<OPEN " + std::string(render_io_error(opened.error)) + ">"};
  const reader::PlotFile file(std::move(*opened.fd));
  reader::LineWalker walker(file, 0, reader::kNoEnd, buffer_size);
  std::vector<std::string> outcomes;
  for (;;) {
    const NextLine next = next_of(walker);
    outcomes.push_back(describe(next));
    if (next.status == LineStatus::EndOfInput) return outcomes;
    if (outcomes.size() > 100000) return outcomes;  // a runaway loop
  }
}

const std::string kBadUtf8 =
    "<ERR Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }>";

struct LineCase {
  const char* name;
  std::string contents;
  std::vector<std::string> outcomes;
};

// The buffer sizes put every refill boundary on every byte of short inputs.
const std::size_t kBufferSizes[] = {1, 2, 3, 4, 5, 7, 16, kReadBufferSize};

// Reads `contents` with every kernel this machine has to find the line ends
// (forced in turn) at each buffer size; true when all gave `outcomes`.
template <typename Sizes>
bool reads_as(const std::string& contents, const Sizes& sizes, const std::vector<std::string>& outcomes) {
  const ScratchFile file(contents);
  bool all = true;
  for (Kernel kernel : {Kernel::Portable, Kernel::Ssse3, Kernel::Avx2}) {
    if (!has_kernel(kernel)) continue;
    force_kernel(kernel);
    for (const std::size_t size : sizes) {
      const std::vector<std::string> got = read_all(file.path(), size);
      EXPECT_EQ(got, outcomes) << "buffer size " << size << ", kernel " << static_cast<int>(kernel);
      all = all && got == outcomes;
    }
  }
  restore_kernel();
  return all;
}

class LineSourceTable : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineSourceTable, YieldsTheseOutcomesAtEveryBufferSize) {
  reads_as(GetParam().contents, kBufferSizes, GetParam().outcomes);
}

const std::string kLong = [] {
  std::string s;
  while (s.size() < 3 * kReadBufferSize) s += "x\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 ";
  return s;
}();

INSTANTIATE_TEST_SUITE_P(
    Lines, LineSourceTable,
    ::testing::Values(
        LineCase{"Empty", "", {"<EOF>"}},
        LineCase{"NoFinalLf", "abc", {"abc", "<EOF>"}},
        LineCase{"Lf", "abc\n", {"abc", "<EOF>"}},
        LineCase{"CrLf", "abc\r\n", {"abc", "<EOF>"}},
        LineCase{"CrAtEndOfFileKept", "abc\r", {"abc\r", "<EOF>"}},
        LineCase{"OnlyOneCrRemoved", "a\r\r\n", {"a\r", "<EOF>"}},
        LineCase{"InnerCrKept", "a\rb\n", {"a\rb", "<EOF>"}},
        LineCase{"LoneLf", "\n", {"", "<EOF>"}},
        LineCase{"LoneCrLf", "\r\n", {"", "<EOF>"}},
        LineCase{"EmptyLines", "\n\nz\n\n", {"", "", "z", "", "<EOF>"}},
        LineCase{"ControlBytesAreText", "a\0b\x01\x7f\n"s, {"a\0b\x01\x7f"s, "<EOF>"}},
        LineCase{"ByteOrderMarkKept", "\xEF\xBB\xBFh\n", {"\xEF\xBB\xBFh", "<EOF>"}},
        LineCase{"MultiByteCharacters", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\r\nz",
                 {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "z", "<EOF>"}},
        LineCase{"LongerThanTheBuffer", kLong + "\nnext\n", {kLong, "next", "<EOF>"}},
        LineCase{"ByteFF", "a\xFF\nnext\n", {kBadUtf8, "next", "<EOF>"}},
        LineCase{"Surrogate", "\xED\xA0\x80\nnext", {kBadUtf8, "next", "<EOF>"}},
        LineCase{"Overlong", "\xC0\x80\n", {kBadUtf8, "<EOF>"}},
        LineCase{"AboveMaximum", "\xF4\x90\x80\x80\n", {kBadUtf8, "<EOF>"}},
        LineCase{"TruncatedByLf", "ab\xE2\x82\nc\n", {kBadUtf8, "c", "<EOF>"}},
        LineCase{"TruncatedAtEndOfFile", "ok\nab\xE2\x82", {"ok", kBadUtf8, "<EOF>"}},
        LineCase{"BadLineBetweenGoodOnes", "ok\n\x80\r\nafter",
                 {"ok", kBadUtf8, "after", "<EOF>"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Random files built from pieces that stress the boundaries (CR, LF, every
// character length, occasional ill-formed bytes), split by a plain reference
// that sees the whole file at once.
TEST(LineSource, MatchesAReferenceSplitterOnRandomFiles) {
  const std::string pieces[] = {"a", "0", " ", "\r", "\n", "\r\n", "\xC3\xA9",
                                "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFF",
                                "\xED\xA0\x80", "\xE2\x82"};
  std::mt19937 random(20261207);
  for (int round = 0; round < 60; ++round) {
    std::string contents;
    const int count = static_cast<int>(random() % 200);
    for (int i = 0; i < count; ++i) {
      const std::size_t pick = random() % 100;
      contents += pieces[pick < 90 ? pick % 9 : 9 + pick % 3];
    }

    std::vector<std::string> expected;
    std::size_t start = 0;
    while (start < contents.size()) {
      const std::size_t lf = contents.find('\n', start);
      const std::size_t end = lf == std::string::npos ? contents.size() : lf + 1;
      std::string line = contents.substr(start, end - start);
      start = end;
      if (!testing::reference_valid_utf8(line)) {
        expected.push_back(kBadUtf8);
        continue;
      }
      if (line.back() == '\n') {
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
      }
      expected.push_back(line);
    }
    expected.push_back("<EOF>");
    const std::size_t sizes[] = {1, 2, 3, 5, 8, 13, 64, 8192};
    ASSERT_TRUE(reads_as(contents, sizes, expected)) << "round " << round;
  }
}

// All LFs fill the SIMD counter's byte counters to the top of a round; the
// sizes cross its steps and rounds, the starts its alignments.
TEST(LineEndCounter, AgreesWithAPlainCountInEveryKernel) {
  std::mt19937 random(20261207);
  const std::string mixed = [&] {
    std::string bytes(9000, ' ');
    for (char& c : bytes) c = "\n\n\r\x8a a"[random() % 6];
    return bytes;
  }();
  const std::string all_lf(9000, '\n');
  for (Kernel kernel : {Kernel::Portable, Kernel::Ssse3, Kernel::Avx2}) {
    if (!has_kernel(kernel)) continue;
    const CountLineEnds count = line_end_counter(kernel);
    for (const std::string* bytes : {&mixed, &all_lf})
      for (const std::size_t start : {0, 1, 15, 63})
        for (const std::size_t size : {0, 1, 63, 64, 65, 128, 4031, 4032, 4033, 8063, 8064, 8065, 8936}) {
          const char* const from = bytes->data() + start;
          EXPECT_EQ(count(from, size), static_cast<std::size_t>(std::count(from, from + size, '\n')))
              << "kernel " << static_cast<int>(kernel) << ", start " << start << ", size " << size;
        }
  }
}

TEST(LineSource, EndOfInputRepeatsUntilTheFileGrows) {
  const ScratchFile scratch("one\n");
  const reader::PlotFile file(std::move(*open_file(scratch.path()).fd));
  reader::LineWalker source(file, 0, reader::kNoEnd, kReadBufferSize);
  EXPECT_EQ(describe(source.next_line()), "one");
  EXPECT_EQ(describe(source.next_line()), "<EOF>");
  EXPECT_EQ(describe(source.next_line()), "<EOF>");
  scratch.append("two\n");
  EXPECT_EQ(describe(source.next_line()), "two");
  EXPECT_EQ(describe(source.next_line()), "<EOF>");
}

struct OpenFailureCase {
  const char* name;
  std::string path;
  std::string rendering;
};

class LineSourceOpenFailure : public ::testing::TestWithParam<OpenFailureCase> {};

TEST_P(LineSourceOpenFailure, IsReportedWithThisRendering) {
  const OpenedFile opened = open_file(GetParam().path);
  EXPECT_FALSE(opened.fd);
  EXPECT_EQ(std::string_view(render_io_error(opened.error)), GetParam().rendering);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineSourceOpenFailure,
    ::testing::Values(
        OpenFailureCase{"Missing", "/nonexistent/novrel-plot.txt",
                        "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"},
        OpenFailureCase{"EmptyPath", "",
                        "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"},
        OpenFailureCase{"ComponentNotADirectory", "/dev/null/plot",
                        "Os { code: 20, kind: NotADirectory, message: \"Not a directory\" }"},
        OpenFailureCase{"TooLong", "/" + std::string(5000, 'a'),
                        "Os { code: 36, kind: InvalidFilename, message: \"File name too long\" }"},
        // Were the path passed on truncated at the NUL, /dev/null would open.
        OpenFailureCase{"NulByte", "/dev/null\0x"s,
                        "Error { kind: InvalidInput, message: \"file name contained an "
                        "unexpected NUL byte\" }"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineSource, ClosesItsDescriptorWhenDestroyed) {
  const ScratchFile scratch("a\nb\n");
  const std::size_t before = open_descriptors();
  {
    OpenedFile opened = open_file(scratch.path());
    ASSERT_TRUE(opened.fd);
    EXPECT_EQ(open_descriptors(), before + 1);
    const reader::PlotFile file(std::move(*opened.fd));
    opened.fd.reset();  // the moved-from descriptor must not close it
    EXPECT_EQ(open_descriptors(), before + 1);
    reader::LineWalker walker(file, 0, reader::kNoEnd, kReadBufferSize);
    EXPECT_EQ(describe(walker.next_line()), "a");
  }
  EXPECT_EQ(open_descriptors(), before);
}

extern "C" void count_interruption(int) {}

// A FIFO whose writer is slow, while another thread keeps signalling the
// reader with a handler installed without SA_RESTART: open and read are
// interrupted again and again, and none of it may surface.
TEST(LineSource, RetriesInterruptedOpenAndRead) {
  char dir_pattern[] = "/tmp/novrel-fifo-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_pattern), nullptr);
  const std::string fifo = std::string(dir_pattern) + "/plot";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  struct sigaction action = {};
  struct sigaction previous = {};
  action.sa_handler = count_interruption;
  ::sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  std::atomic<bool> done{false};
  const pthread_t reader = ::pthread_self();
  std::thread interrupter([&] {
    while (!done) {
      ::pthread_kill(reader, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    for (const char* part : {"ab", "c\nd", "e\n"}) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      EXPECT_GT(::write(fd, part, std::strlen(part)), 0);
    }
    ::close(fd);
  });

  std::vector<std::string> outcomes = read_all(fifo, kReadBufferSize);
  done = true;
  interrupter.join();
  writer.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  ::unlink(fifo.c_str());
  ::rmdir(dir_pattern);

  EXPECT_EQ(outcomes, (std::vector<std::string>{"abc", "de", "<EOF>"}));
}

}  // namespace
}  // namespace novrel::text
