// Fuzz target: reading into rows on arbitrary bytes, against the list reader.
//
// Input layout: a width selector, then the plot file (plot_input.hpp); bit
// 0x10 of the selector's first byte asks for the width to be found from the
// first data line, bit 0x08 for complete blocks only. Every outcome must be
// rows or a ReadError, with nothing written to fd 1 or fd 2 (checked here:
// libFuzzer's -close_fd_mask would hide it). The rows refuse text after a
// data line's last field, which the list reader ignores; for the files both
// accept, with the width the rows used, the rows hold the list reader's
// values bit for bit, and where it fails, reading rows fails too unless
// complete blocks were asked for. Where bit 0x80 is set, the file is read again in one thread and in
// two, which must agree, with a parameter and blocks that bits 0x20 and
// 0x40 choose (half the inputs: a thread costs much under the sanitizers).
// A crash, a leak or a descriptor left open is a finding.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "failure/fatal_error.hpp"
#include "failure/test_support.hpp"
#include "lib.hpp"
#include "reader/rows.hpp"
#include "plot_input.hpp"

namespace {

using novrel::PlotRows;
using novrel::ReadError;
using novrel::ReadProblem;

constexpr const char* kTarget = "fuzz_rows";
std::optional<plot_input::MemFile> g_file;
bool g_ends_with_empty_line = false;
std::optional<plot_input::MemFile> g_output;  // fd 1 and fd 2 while rows are read

[[noreturn]] void fail(const char* what) { plot_input::fail(kTarget, what); }

// Points fd 1 and fd 2 at g_output while it lives.
class OutputCapture {
 public:
  OutputCapture() : saved_out_(::dup(1)), saved_err_(::dup(2)) {
    if (saved_out_ < 0 || saved_err_ < 0) fail("dup");
    std::fflush(stdout);
    std::fflush(stderr);
    g_output->hold(nullptr, 0);
    ::lseek(g_output->fd(), 0, SEEK_SET);
    ::dup2(g_output->fd(), 1);
    ::dup2(g_output->fd(), 2);
  }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  ~OutputCapture() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_out_, 1);
    ::dup2(saved_err_, 2);
    ::close(saved_out_);
    ::close(saved_err_);
  }

 private:
  int saved_out_;
  int saved_err_;
};

void check_error(const ReadError& error, std::size_t width, bool complete_blocks) {
  switch (error.problem) {
    case ReadProblem::os_error:  // a memfd is always readable
    case ReadProblem::too_large:
    case ReadProblem::out_of_memory:  // the malloc limit would have stopped the run first
      fail("a problem that no input of this size can have");
    case ReadProblem::block_cut:
    case ReadProblem::line_cut:
      if (complete_blocks) fail("a cut block with complete blocks asked for");
      break;
    case ReadProblem::width_unknown:
      if (width != 0) fail("the width is unknown although it was given");
      break;
    case ReadProblem::width_mismatch:
      if (width == 0 || error.suggested_width == width)
        fail("a width mismatch without a given width that differs");
      break;
    case ReadProblem::field_outside:
    case ReadProblem::not_a_number:
      if (!error.parameter || !error.block) fail("a field error without its parameter or block");
      break;
    case ReadProblem::text_after_fields:
      if (!error.block || !error.text || error.text->empty()) fail("text after fields without its block or text");
      break;
    default:
      break;
  }
  if (novrel::text_of(error.problem).wording.empty()) fail("an error without a wording");
  if (error.text && error.text->size() > novrel::kShownBytes) fail("the text at fault is not shortened");
  if (error.parameter && !error.block) fail("a parameter without its block");
  if (width != 0 && error.width != 0 && error.width != width) fail("the width is not the one given");
}

// The blocks complete blocks give where text after the fields is let be.
std::size_t blocks_letting_text_be(std::size_t width) {
  novrel::RowOptions options;
  options.width = width;
  options.complete_blocks = true;
  try {
    return novrel::read_plot_rows(g_file->path(), options).blocks;
  } catch (const ReadError&) {
    return SIZE_MAX;
  }
}

// The list reader with the width the rows used: the same values, bit for
// bit, or a failure the rows shared unless complete blocks turned it into
// their end. Complete blocks also take the file's last line, unended, for
// one cut short where the rows refuse the text after its fields, which the
// lists read: there the lists hold that block more.
void compare_with_lists(const std::optional<PlotRows>& rows, bool complete_blocks,
                        std::size_t width) {
  const bool lists_read = novrel::failure::catch_fatal(
      [&] {
        const novrel::PlotData lists = novrel::rust_read_torvask(g_file->path(), width);
        if (!rows) fail("the lists were read where the rows failed");
        const std::size_t n = rows->names.size();
        if (lists.columns.size() + 1 != n) fail("the parameter counts differ");
        if (lists.first_column.size() != rows->blocks &&
            !(complete_blocks && lists.first_column.size() == rows->blocks + 1 &&
              blocks_letting_text_be(width) == rows->blocks + 1))
          fail("the block counts differ");
        for (std::size_t b = 0; b < rows->blocks; ++b) {
          const float* row = rows->values.data<float>() + b * n;
          if (std::memcmp(&row[0], &lists.first_column[b], sizeof(float)) != 0)
            fail("a first-parameter value differs");
          for (std::size_t j = 1; j < n; ++j)
            if (std::memcmp(&row[j], &lists.columns[j - 1][b], sizeof(float)) != 0)
              fail("a value differs");
        }
        return true;
      },
      [](const novrel::failure::FatalError&) { return false; });
  // One empty line at the very end ends the rows, where the lists take it
  // for a block's leading line and fail.
  if (!lists_read && rows && !complete_blocks && !g_ends_with_empty_line)
    fail("rows were read where the lists failed");
}

// A read's outcome as text: its rows, or its failure and where.
std::string outcome(const novrel::RowOptions& options) {
  OutputCapture capture;
  try {
    const PlotRows rows = novrel::read_plot_rows(g_file->path(), options);
    // No rows have no first block to agree on.
    std::string text = "rows " + std::to_string(rows.blocks) + " from " +
                       std::to_string(rows.blocks != 0 ? rows.first_block : 0) + " width " +
                       std::to_string(rows.width) + ":";
    for (const std::uint32_t j : rows.parameters) text += " " + std::to_string(j);
    return text.append(rows.values.data<char>(), rows.blocks * rows.parameters.size() * sizeof(float));
  } catch (const ReadError& error) {
    return "error " + std::to_string(static_cast<int>(error.problem)) + " line " + std::to_string(error.line) +
           " block " + std::to_string(error.block.value_or(~0ull)) + " parameter " +
           std::to_string(error.parameter.value_or(~0u));
  }
}

// Two threads find blocks by their layout, or by counting lines, where one
// thread walks through them: both give the same rows or the same failure,
// for the parameters and blocks the selector's high bits choose.
void compare_threads(std::uint8_t mode, std::size_t width, bool complete_blocks) {
  novrel::RowOptions options;
  options.width = width;
  options.complete_blocks = complete_blocks;
  options.refuse_text_after_fields = true;
  if (mode & 0x20) options.parameters.emplace_back(std::int64_t{-1});
  if (mode & 0x40) options.blocks = {.start = 1, .stop = std::nullopt, .step = 2};
  const std::string one = outcome(options);
  options.threads = 2;
  if (outcome(options) != one) fail("two threads read otherwise than one");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::unsetenv("RUST_BACKTRACE");  // the list reader's failure reports
  g_file.emplace(kTarget);
  g_output.emplace(kTarget);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t mode = 0;
  std::size_t width = plot_input::take_width(data, size, &mode);
  if (mode & 0x10) width = 0;
  const bool complete_blocks = (mode & 0x08) != 0;
  g_file->hold(data, size);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  g_ends_with_empty_line = bytes.ends_with("\n\n") || bytes.ends_with("\n\r\n");

  const int free_before = plot_input::lowest_free_descriptor(kTarget);
  std::optional<PlotRows> rows;
  std::optional<ReadError> error;
  bool other_exception = false;
  {
    OutputCapture capture;
    novrel::RowOptions options;
    options.width = width;
    options.complete_blocks = complete_blocks;
    options.refuse_text_after_fields = true;
    try {
      rows.emplace(novrel::read_plot_rows(g_file->path(), options));
    } catch (const ReadError& caught) {
      error.emplace(caught);
    } catch (...) {
      other_exception = true;
    }
  }
  if (other_exception) fail("an exception other than ReadError");
  if (g_output->size() != 0) {
    std::string written(g_output->size(), '\0');
    if (::pread(g_output->fd(), written.data(), written.size(), 0) < 0) fail("pread");
    std::fprintf(stderr, "written: %s\n", written.c_str());
    fail("reading rows wrote to fd 1 or fd 2");
  }
  if (plot_input::lowest_free_descriptor(kTarget) != free_before)
    fail("the plot file was left open");
  if (novrel::failure::fatal_errors_in_flight() != 0) fail("a fatal error is still counted");

  if (error) check_error(*error, width, complete_blocks);
  if (mode & 0x80) compare_threads(mode, width, complete_blocks);
  if (rows && width != 0 && rows->width != width) fail("the width is not the one given");
  if (rows && rows->width == 0 && rows->blocks != 0) fail("blocks without a width");
  // With the width found from the data, the list reader gets the width that
  // the first data line gave. Without one, no data line was taken and any
  // width reads alike, unless complete blocks dropped a cut first data line
  // whose length gave none.
  // A given width that the first data line contradicts is refused by the
  // rows only: the lists read it as asked. So is text after a data line's
  // last field: the lists ignore it.
  if (error && (error->problem == ReadProblem::width_unknown ||
                error->problem == ReadProblem::width_mismatch ||
                error->problem == ReadProblem::text_after_fields))
    return 0;
  std::size_t used = width != 0 ? width : rows ? rows->width : error->width;
  if (used == 0) {
    if (complete_blocks) return 0;
    used = 1;
  }
  compare_with_lists(rows, complete_blocks, used);
  return 0;
}
