// Fatal errors in-process: message composition, locations and the counts.
// What reaches fd 2 is checked in test_failure_report.cpp, in fresh processes.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "failure/fatal_error.hpp"
#include "failure/memory.hpp"
#include "failure/test_support.hpp"
#include "scratch_file.hpp"

namespace {

using namespace novrel::failure;
using novrel::testing_support::Fd2Capture;

// Runs `site`, which must raise, and returns the caught error's message.
struct Caught {
  std::string message;
  bool composed = false;
  Where where = Where::current();
};
Caught catch_fatal(const std::function<void()>& site) {
  Fd2Capture quiet;
  return novrel::failure::catch_fatal(
      [&] {
        site();
        ADD_FAILURE() << "no fatal error raised";
        return Caught{};
      },
      [](const FatalError& error) {
        return Caught{std::string(error.message()), error.composed(), error.location()};
      });
}

struct CompositionCase {
  const char* name;
  std::function<void()> site;
  const char* message;
  bool composed;
};

class FailureComposition : public testing::TestWithParam<CompositionCase> {};

TEST_P(FailureComposition, MessageText) {
  const Caught caught = catch_fatal(GetParam().site);
  EXPECT_EQ(caught.message, GetParam().message);
  EXPECT_EQ(caught.composed, GetParam().composed);
}

INSTANTIATE_TEST_SUITE_P(
    Sites, FailureComposition,
    testing::Values(
        CompositionCase{"fixed", [] { raise("Failed ot read line!"); },
                        "Failed ot read line!", false},
        CompositionCase{"cause",
                        [] {
                          raise_with_cause("Could not parse line",
                                           "ParseFloatError { kind: Invalid }");
                        },
                        "Could not parse line: ParseFloatError { kind: Invalid }",
                        true},
        CompositionCase{"unwrap_err", [] { raise_unwrap_err("PoisonError { .. }"); },
                        "called `Result::unwrap()` on an `Err` value: "
                        "PoisonError { .. }",
                        true},
        CompositionCase{"unwrap_none", [] { raise_unwrap_none(); },
                        "called `Option::unwrap()` on a `None` value", false},
        CompositionCase{"template",
                        [] { raise_formatted(String("line:\n'a b'")); },
                        "line:\n'a b'", true},
        CompositionCase{"capacity",
                        [] { Allocator<double>().allocate(max_elements<double>() + 1); },
                        "capacity overflow", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FailureLocation, DefaultsToTheCallSite) {
  const unsigned line = __LINE__ + 1;
  const Caught caught = catch_fatal([] { raise_unwrap_none(); });
  // Relative: the build maps the source root away.
  EXPECT_STREQ(caught.where.file_name(), "tests/cpp/test_failure.cpp");
  EXPECT_EQ(caught.where.line(), line);
  EXPECT_GT(caught.where.column(), 0u);
}

TEST(FailureCounts, RaiseCountsUntilCaught) {
  Fd2Capture quiet;
  ASSERT_EQ(nesting_count(), 0u);
  const std::size_t before = fatal_errors_in_flight();
  try {
    raise("counted");
  } catch (const FatalError&) {
    EXPECT_EQ(nesting_count(), 1u);
    EXPECT_EQ(fatal_errors_in_flight(), before + 1);
    acknowledge_catch();
  }
  EXPECT_EQ(nesting_count(), 0u);
  EXPECT_EQ(fatal_errors_in_flight(), before);
  acknowledge_catch();  // an extra acknowledgement must not underflow
  EXPECT_EQ(nesting_count(), 0u);
  EXPECT_EQ(fatal_errors_in_flight(), before);
}

TEST(FailureCounts, RaiseWithoutReportCountsButWritesNothing) {
  Fd2Capture capture;
  try {
    raise_without_report(String("resumed"));
  } catch (const FatalError& error) {
    EXPECT_EQ(error.message(), "resumed");
    EXPECT_EQ(nesting_count(), 1u);
    acknowledge_catch();
  }
  EXPECT_EQ(capture.text(), "");
}

TEST(FailureTrap, DisarmedOrIdleTrapIsSilent) {
  Fd2Capture capture;
  { PanicTrap idle("uncaught panic at ffi boundary"); }
  novrel::failure::catch_fatal(
      [] {
        PanicTrap trap("uncaught panic at ffi boundary");
        trap.disarm();
        raise("caught outside the trap");
      },
      [](const FatalError&) {});
  // A trap armed while a failure is already travelling fires only for a new
  // one leaving its region.
  novrel::failure::catch_fatal(
      [] {
        struct Cleanup {
          ~Cleanup() { PanicTrap inner("uncaught panic at ffi boundary"); }
        } cleanup;
        raise("travelling");
      },
      [](const FatalError&) {});
  EXPECT_EQ(capture.text().find("uncaught panic"), std::string::npos);
}

}  // namespace
