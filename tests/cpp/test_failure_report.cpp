// Failure reports as they appear on fd 2, each scenario in a fresh process
// (failure_probe), since the backtrace style and the first-note flag are
// process-wide and change only once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "child_process.hpp"

namespace {

constexpr std::string_view kHint =
    "note: run with `RUST_BACKTRACE=1` environment variable to display a "
    "backtrace\n";
constexpr std::string_view kClosingNote =
    "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a "
    "verbose backtrace.\n";
constexpr std::string_view kNonUnwinding =
    "thread caused non-unwinding panic. aborting.\n";

using novrel::testing_support::ChildRun;
using novrel::testing_support::run_in_child;

struct ProbeRun : ChildRun {
  explicit ProbeRun(ChildRun run) : ChildRun(std::move(run)) {}
  std::vector<std::string> sites;  // "PATH:LINE:COL" of each failing site

  std::string header(std::size_t site, std::string_view message) const {
    return "\nthread '<unnamed>' (" + std::to_string(pid) + ") panicked at " +
           sites.at(site) + ":\n" + std::string(message) + "\n";
  }
};

// Runs the probe with RUST_BACKTRACE set to `style` (unset when nullopt).
ProbeRun run_probe(const char* scenario, std::optional<std::string> style,
                   const char* arg = "") {
  ProbeRun run(run_in_child([&] {
    if (style)
      ::setenv("RUST_BACKTRACE", style->c_str(), 1);
    else
      ::unsetenv("RUST_BACKTRACE");
    ::execl(NOVREL_FAILURE_PROBE, "failure_probe", scenario, arg, nullptr);
    ::_exit(127);
  }));
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("site ", 0) == 0) run.sites.push_back(line.substr(5));
  return run;
}

std::size_t count(std::string_view text, std::string_view part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos;
       at = text.find(part, at + 1))
    ++n;
  return n;
}
std::string_view first_frame(std::string_view trace) {
  const std::size_t start = trace.find('\n') + 1;
  return trace.substr(start, trace.find('\n', start) - start);
}

enum class Form { hint, short_trace, full_trace };

// Checks what follows a report's message line. `named` says whether the
// failing function is still on the stack (it is not for a trap firing in the
// cleanup of its caller).
void expect_tail(std::string_view tail, Form form, bool named = true) {
  switch (form) {
    case Form::hint:
      EXPECT_EQ(tail, kHint);
      break;
    case Form::short_trace:
      ASSERT_TRUE(tail.starts_with("stack backtrace:\n")) << tail;
      EXPECT_TRUE(tail.ends_with(kClosingNote)) << tail;
      EXPECT_EQ(count(tail, kClosingNote), 1u);
      // The reporting machinery's frames are left out: the failing function
      // comes first.
      EXPECT_NE(first_frame(tail).find("   0: probe::fail_here("),
                std::string_view::npos)
          << tail;
      break;
    case Form::full_trace:
      ASSERT_TRUE(tail.starts_with("stack backtrace:\n")) << tail;
      EXPECT_EQ(tail.find("note:"), std::string_view::npos) << tail;
      if (!named) break;
      // Every frame: the machinery's come before the failing function's.
      EXPECT_NE(tail.find("probe::fail_here("), std::string_view::npos) << tail;
      EXPECT_EQ(first_frame(tail).find("fail_here"), std::string_view::npos)
          << tail;
      break;
  }
}

struct StyleCase {
  const char* name;
  std::optional<std::string> value;
  Form form;
};

class FailureStyle : public testing::TestWithParam<StyleCase> {};

TEST_P(FailureStyle, HeaderThenHintOrBacktrace) {
  const ProbeRun run = run_probe("raise", GetParam().value);
  ASSERT_TRUE(run.exited_cleanly()) << run.status << run.err;
  ASSERT_EQ(run.sites.size(), 1u);
  const std::string header = run.header(0, "Failed ot read line!");
  ASSERT_TRUE(run.err.starts_with(header)) << run.err;
  expect_tail(std::string_view(run.err).substr(header.size()), GetParam().form);
}

INSTANTIATE_TEST_SUITE_P(
    RustBacktrace, FailureStyle,
    testing::Values(StyleCase{"unset", std::nullopt, Form::hint},
                    StyleCase{"zero", "0", Form::hint},
                    StyleCase{"empty", "", Form::short_trace},
                    StyleCase{"one", "1", Form::short_trace},
                    StyleCase{"yes", "yes", Form::short_trace},
                    StyleCase{"full", "full", Form::full_trace}),
    [](const auto& info) { return std::string(info.param.name); });

// The first report fixed the style: unsetting it later changes nothing.
TEST(FailureReport, EnvironmentReadOnlyOnce) {
  const ProbeRun full = run_probe("raise_then_env", "full", "-");
  EXPECT_EQ(count(full.err, "stack backtrace:\n"), 2u) << full.err;
  EXPECT_EQ(count(full.err, "note:"), 0u) << full.err;
}

TEST(FailureReport, FailureWhileUnwindingGetsFullBacktrace) {
  const ProbeRun run = run_probe("nested", std::nullopt);
  ASSERT_TRUE(run.exited_cleanly());
  ASSERT_EQ(run.sites.size(), 2u);
  const std::string outer = run.header(0, "outer failure") + std::string(kHint);
  const std::string inner = run.header(1, "inner failure");
  ASSERT_TRUE(run.err.starts_with(outer + inner)) << run.err;
  expect_tail(std::string_view(run.err).substr(outer.size() + inner.size()),
              Form::full_trace);
}

// Splits fd 2 output into reports at each header's leading line break.
std::vector<std::string> split_reports(const std::string& err) {
  std::vector<std::string> reports;
  const std::string mark = "\nthread '<unnamed>' (";
  for (std::size_t at = err.find(mark); at != std::string::npos;) {
    const std::size_t next = err.find(mark, at + 1);
    reports.push_back(err.substr(at, next - at));
    at = next;
  }
  return reports;
}

TEST(FailureAbort, TrapFiringDuringUnwindAborts) {
  const ProbeRun run = run_probe("trap", std::nullopt);
  EXPECT_TRUE(run.aborted()) << run.status;
  ASSERT_EQ(run.sites.size(), 2u);  // the trap's, then the failing site's
  const auto reports = split_reports(run.err);
  ASSERT_EQ(reports.size(), 3u) << run.err;
  EXPECT_EQ(reports[0], run.header(1, "escaping failure") + std::string(kHint));
  const std::string second = run.header(0, "uncaught panic at ffi boundary");
  ASSERT_TRUE(reports[1].starts_with(second)) << reports[1];
  expect_tail(std::string_view(reports[1]).substr(second.size()), Form::full_trace,
              /*named=*/false);
  // The cleanup failure: no backtrace, then the abort line.
  EXPECT_TRUE(reports[2].starts_with("\nthread '<unnamed>' (" + std::to_string(run.pid) +
                                     ") panicked at src/failure/"))
      << reports[2];
  EXPECT_TRUE(reports[2].ends_with(":\npanic in a destructor during cleanup\n" + std::string(kNonUnwinding)))
      << reports[2];
}

TEST(FailureAbort, FailureWhereUnwindingIsImpossibleAborts) {
  const ProbeRun run = run_probe("cannot_unwind", std::nullopt);
  EXPECT_TRUE(run.aborted()) << run.status;
  ASSERT_EQ(run.sites.size(), 1u);
  const auto reports = split_reports(run.err);
  ASSERT_EQ(reports.size(), 2u) << run.err;
  EXPECT_EQ(reports[0], run.header(0, "failure in a step that may not fail") +
                            std::string(kHint));
  const std::size_t body = reports[1].find(":\npanic in a function that cannot unwind\n");
  ASSERT_NE(body, std::string::npos) << reports[1];
  EXPECT_TRUE(std::string_view(reports[1]).substr(body + 41).starts_with("stack backtrace:\n"))
      << reports[1];
  EXPECT_TRUE(reports[1].ends_with(kNonUnwinding)) << reports[1];
  EXPECT_EQ(count(reports[1], "note:"), 0u);
}

// Scenarios whose whole fd 2 is known: among them reporting when reporting
// itself goes wrong: a second failure or memory running out in the middle of
// a report (the report lock is taken again by the thread that holds it), fd 2
// that cannot be written, or whose writes are interrupted by signals.
struct WholeCase {
  const char* name;
  const char* scenario;
  const char* arg;
  std::optional<std::string> style;
  bool aborts;
  std::size_t sites;
  const char* says;  // a line the probe writes to fd 1, if any
  // The expected fd 2, from the probe's run.
  std::string (*err)(const ProbeRun&);
};

class WholeReport : public testing::TestWithParam<WholeCase> {};

TEST_P(WholeReport, IsExactly) {
  const WholeCase& c = GetParam();
  const ProbeRun run = run_probe(c.scenario, c.style, c.arg);
  EXPECT_TRUE(c.aborts ? run.aborted() : run.exited_cleanly()) << run.status;
  ASSERT_EQ(run.sites.size(), c.sites) << run.out;
  EXPECT_EQ(run.err, c.err(run));
  if (c.says != nullptr) {
    EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
  }
}

// The hint comes with the first report of the process only.
std::string two_reports(const ProbeRun& run) {
  return run.header(0, "first failure") + std::string(kHint) + run.header(1, "second failure");
}
std::string long_report(const ProbeRun& run) {
  std::string message = "The first line should end with the number of parameters:\n'";
  for (int i = 0; i < 150; ++i) message += "0123456789";
  return run.header(0, message + "\nsecond line'") + std::string(kHint);
}
// A composed text is not shown: only a fixed one is safe to print here.
std::string nested_fixed(const ProbeRun& run) {
  return "panicked at " + run.sites[1] + ":\nsecond failure\nthread panicked while processing panic. aborting.\n";
}
std::string nested_formatted(const ProbeRun& run) {
  return "panicked at " + run.sites[1] + ":\n\nthread panicked while processing panic. aborting.\n";
}
const std::string kExhausted = "memory allocation of 268435456 bytes failed\n";
std::string exhausted(const ProbeRun&) { return kExhausted + std::string(kHint); }
// The exhaustion line has the hint though a report before it had it too.
std::string exhausted_after_report(const ProbeRun& run) {
  return run.header(0, "first failure") + std::string(kHint) + exhausted(run);
}
std::string exhausted_in_report(const ProbeRun&) {
  return "memory allocation of 77 bytes failed\n" + std::string(kHint);
}
std::string exhausted_twice(const ProbeRun&) {
  return "memory allocation of 77 bytes failed\nskipping backtrace printing to avoid potential recursion\n";
}
// The lost report took the hint with it.
std::string second_report_only(const ProbeRun& run) { return run.header(1, "second failure"); }
std::string whole_report(const ProbeRun& run) {
  return run.header(0, "interrupted failure") + std::string(kHint);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WholeReport,
    testing::Values(
        WholeCase{"HintOnlyInFirstReport", "raise_twice", "", std::nullopt, false, 2, nullptr, two_reports},
        WholeCase{"EnvironmentReadOnlyOnce", "raise_then_env", "1", std::nullopt, false, 2, nullptr,
                  two_reports},
        WholeCase{"MessageLongerThanBuffer", "long", "", std::nullopt, false, 1, nullptr, long_report},
        WholeCase{"FixedFailureInReport", "in_report", "fixed", std::nullopt, true, 2, nullptr, nested_fixed},
        WholeCase{"FormattedFailureInReport", "in_report", "formatted", std::nullopt, true, 2, nullptr,
                  nested_formatted},
        WholeCase{"ExhaustionInsideReport", "in_report", "memory", std::nullopt, true, 1, nullptr,
                  exhausted_in_report},
        WholeCase{"SecondExhaustionSkipsBacktrace", "memory_twice", "", "1", true, 0, nullptr,
                  exhausted_twice},
        WholeCase{"ExhaustionUnderAddressLimit", "memory", "", std::nullopt, true, 0, nullptr, exhausted},
        WholeCase{"HintPrintedEvenAfterFirstNote", "raise_then_memory", "", std::nullopt, true, 1, nullptr,
                  exhausted_after_report},
        WholeCase{"Fd2BrokenPipe", "fd2_fails", "pipe", std::nullopt, false, 2, nullptr, second_report_only},
        WholeCase{"Fd2Closed", "fd2_fails", "closed", std::nullopt, false, 2, nullptr, second_report_only},
        WholeCase{"WritesInterrupted", "eintr", "", std::nullopt, false, 1, "\ninterrupted\n", whole_report}),
    [](const testing::TestParamInfo<WholeCase>& info) { return info.param.name; });

TEST(FailureMemory, ExhaustionUnderAddressLimitShowsABacktrace) {
  const ProbeRun traced = run_probe("memory", "1");
  EXPECT_TRUE(traced.aborted()) << traced.status;
  EXPECT_TRUE(traced.err.starts_with(kExhausted + "stack backtrace:\n")) << traced.err;
  EXPECT_TRUE(traced.err.ends_with(kClosingNote)) << traced.err;
}

}  // namespace
