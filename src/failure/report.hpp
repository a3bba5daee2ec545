// The failure report's machinery, shared by fatal errors and memory
// exhaustion. Internal to src/failure/.
//
// Everything here runs while something has already gone wrong, possibly with
// memory exhausted, so it allocates nothing: text is assembled in stack
// buffers and goes to fd 2 with write(2), never through stdio.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "failure/fatal_error.hpp"

namespace novrel::failure::detail {

// Buffers output for fd 2 so that a short report leaves in one write(2);
// text that does not fit is written in pieces. Write errors are ignored: a
// report that cannot be written must not become a second failure.
class Fd2Writer {
 public:
  Fd2Writer() noexcept = default;
  ~Fd2Writer() { flush(); }
  Fd2Writer(const Fd2Writer&) = delete;
  Fd2Writer& operator=(const Fd2Writer&) = delete;

  Fd2Writer& text(std::string_view s) noexcept;
  Fd2Writer& decimal(std::uint64_t value) noexcept;
  // Lower-case hex with a "0x" prefix, zero-padded to `digits`.
  Fd2Writer& hex(std::uintptr_t value, int digits = 0) noexcept;
  Fd2Writer& location(const Where& where) noexcept;
  void flush() noexcept;

 private:
  static constexpr std::size_t kCapacity = 512;
  char buffer_[kCapacity];
  std::size_t used_ = 0;
};

enum class Style : int { unread = 0, off, short_form, full };

// The process-wide style, read from RUST_BACKTRACE by the first caller.
Style backtrace_style() noexcept;

inline constexpr std::string_view kHintLine =
    "note: run with `RUST_BACKTRACE=1` environment variable to display a "
    "backtrace\n";

// Writes "stack backtrace:\n" and the frames of the calling thread. The short
// form starts at the frame whose return address is `site` (the failing
// site's, one above the reporting machinery) and ends with the note line.
// Demangling allocates, so callers short of memory pass `demangle = false`.
void write_backtrace(Fd2Writer& out, Style style, const void* site,
                     bool demangle) noexcept;

// Loads the unwinder ahead of the first report; see backtrace.cpp.
void prime_backtrace() noexcept;

// The process-wide report lock. Re-entry from the thread that holds it (a
// memory-exhaustion report raised from inside a report) does not wait.
class ReportLock {
 public:
  ReportLock() noexcept;
  ~ReportLock();
  ReportLock(const ReportLock&) = delete;
  ReportLock& operator=(const ReportLock&) = delete;

 private:
  bool owner_;
};

long current_tid() noexcept;

// abort(), after a coverage build has written out its counters: gcov writes
// them at exit, which an aborting process never reaches.
[[noreturn]] void abort_process() noexcept;

// How the backtrace part of one report is chosen.
enum class Trace {
  by_style,  // full when nested, else the process-wide style
  none,      // the cleanup failure, which must not print one
};

// Counts a new failure and writes its report. A failure that arises while
// this thread is writing a report aborts instead, showing `message` only when
// it is a fixed text (`composed` false).
void report_failure(std::string_view message, bool composed,
                    const Where& where, Trace trace,
                    const void* site) noexcept;

// Counts a failure that is propagated without a report.
void count_failure() noexcept;

[[noreturn]] void raise_fixed(std::string_view text, const Where& where,
                              const void* site);

// "{message}: {cause}" in one allocation.
String compose(std::string_view message, std::string_view cause);

[[noreturn]] void raise_composed(String text, const Where& where,
                                 const void* site);

// A failure where none may happen: its report, a second report saying
// where it happened (`context`, without a backtrace when `context_trace` is
// none), then the abort line.
[[noreturn]] void report_twice_and_abort(std::string_view text, const Where& where,
                                         std::string_view context,
                                         const Where& context_where,
                                         Trace context_trace,
                                         const void* site) noexcept;

// Fatal errors counted and not yet acknowledged: over all threads, and on
// the calling thread. Only report.cpp changes them; they are declared here
// so that test_support.cpp, linked into the tests alone, can read them
// without the modules shipping a reader.
extern std::atomic<std::size_t> fatal_error_count;
extern thread_local std::uint32_t nesting;

[[noreturn]] void handle_alloc_error_at(std::size_t bytes,
                                        const void* site) noexcept;

}  // namespace novrel::failure::detail
