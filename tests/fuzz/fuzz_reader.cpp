// Fuzz target: the whole reader on arbitrary bytes.
//
// Input layout: a width selector, then the plot file (plot_input.hpp). Every
// outcome must be either plot data that agrees with the file's line structure
// or a fatal error with one of the reader's messages; a crash, a leak
// (LeakSanitizer) or a descriptor left open is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "failure/fatal_error.hpp"
#include "failure/test_support.hpp"
#include "lib.hpp"
#include "plot_input.hpp"

namespace {

std::optional<plot_input::MemFile> g_file;

[[noreturn]] void fail(const char* what) { plot_input::fail("fuzz_reader", what); }

constexpr std::string_view kMessagePrefixes[] = {
    "Failed ot read line!",
    "Failed to read line!",
    "Error reading line",
    "Could not parse line: ParseFloatError { kind: ",
    "The first line should end with the number of parameters:\n'",
    "end byte index ",
    "Plot file not found!",
    "capacity overflow",
};

// The line structure of the file as the line source must see it: lines end
// at LF, and a last line without one still counts.
std::size_t count_lines(std::string_view file) {
  std::size_t lines = 0;
  for (char c : file) lines += c == '\n';
  if (!file.empty() && file.back() != '\n') ++lines;
  return lines;
}

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The parameter count of an all-ASCII header line, found independently of
// the reader's tokeniser (ASCII whitespace is all the whitespace there is in
// ASCII text). Empty when the header is not ASCII or has no usable count.
std::optional<std::uint64_t> ascii_header_count(std::string_view file) {
  std::string_view header = file.substr(0, file.find('\n'));
  for (char c : header)
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
  while (!header.empty() && is_ascii_space(header.back())) header.remove_suffix(1);
  std::size_t start = header.size();
  while (start > 0 && !is_ascii_space(header[start - 1])) --start;
  std::string_view token = header.substr(start);
  if (!token.empty() && token[0] == '+') token.remove_prefix(1);
  if (token.empty()) return std::nullopt;
  std::uint64_t n = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<unsigned>(c - '0');
    if (n > UINT32_MAX) return std::nullopt;
  }
  return n;
}

void check_success(const novrel::PlotData& data, std::string_view file) {
  const std::size_t n = data.columns.size() + 1;
  const std::size_t blocks = data.first_column.size();
  for (const auto& column : data.columns)
    if (column.size() != blocks) fail("a column's length differs from the first column's");
  if (const auto header_n = ascii_header_count(file); header_n && *header_n != n)
    fail("column count is not the header's count minus one");
  const std::size_t per_block = 1 + (n + 9) / 10;
  if (count_lines(file) != 1 + n + blocks * per_block)
    fail("lines consumed do not match header, names and whole blocks");
}

void check_failure(std::string_view message) {
  for (std::string_view prefix : kMessagePrefixes)
    if (message.substr(0, prefix.size()) == prefix) return;
  std::fprintf(stderr, "unexpected message: %.*s\n", static_cast<int>(message.size()),
               message.data());
  fail("a fatal error outside the reader's messages");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The failure reports go to fd 2 (run with -close_fd_mask=3 to silence
  // them); no backtrace is wanted for each of millions of fatal errors.
  ::unsetenv("RUST_BACKTRACE");
  g_file.emplace("fuzz_reader");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t width = plot_input::take_width(data, size);
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  g_file->hold(data, size);

  const int free_before = plot_input::lowest_free_descriptor("fuzz_reader");
  novrel::failure::catch_fatal(
      [&] { check_success(novrel::rust_read_torvask(g_file->path(), width), file); },
      [](const novrel::failure::FatalError& error) { check_failure(error.message()); });
  if (plot_input::lowest_free_descriptor("fuzz_reader") != free_before)
    fail("the plot file was left open");
  if (novrel::failure::fatal_errors_in_flight() != 0) fail("a fatal error is still counted");
  return 0;
}
