// Raising fatal errors: report first, then throw.
//
// Each public entry point passes its own return address down as the failing
// site, so that a short backtrace starts at the code that failed rather than
// inside this file. They must therefore stay out of line.
#include "failure/fatal_error.hpp"

#include <exception>

#include "failure/report.hpp"

#define NOVREL_SITE() __builtin_return_address(0)

namespace novrel::failure {
namespace detail {
namespace {

[[noreturn]] void abort_non_unwinding() noexcept {
  write_diagnostic("thread caused non-unwinding panic. aborting.\n");
  abort_process();
}

}  // namespace

void raise_composed(String text, const Where& where, const void* site) {
  if (failures_are_quiet())
    count_failure();
  else
    report_failure(text, /*composed=*/true, where, Trace::by_style, site);
  throw FatalError(std::move(text), where);
}

String compose(std::string_view message, std::string_view cause) {
  String text;
  text.reserve(message.size() + 2 + cause.size());
  text.append(message).append(": ").append(cause);
  return text;
}

void report_twice_and_abort(std::string_view text, const Where& where,
                            std::string_view context, const Where& context_where,
                            Trace context_trace, const void* site) noexcept {
  report_failure(text, /*composed=*/false, where, Trace::by_style, site);
  report_failure(context, /*composed=*/false, context_where, context_trace, site);
  abort_non_unwinding();
}

void raise_fixed(std::string_view text, const Where& where,
                 const void* site) {
  if (failures_are_quiet())
    count_failure();
  else
    report_failure(text, /*composed=*/false, where, Trace::by_style, site);
  throw FatalError(text, where);
}

}  // namespace detail

[[gnu::noinline]] void raise(std::string_view text, Where where) {
  detail::raise_fixed(text, where, NOVREL_SITE());
}

[[gnu::noinline]] void raise_with_cause(std::string_view message,
                                        std::string_view cause, Where where) {
  detail::raise_composed(detail::compose(message, cause), where,
                         NOVREL_SITE());
}

[[gnu::noinline]] void raise_formatted(String text, Where where) {
  detail::raise_composed(std::move(text), where, NOVREL_SITE());
}

void raise_without_report(String text, Where where) {
  detail::count_failure();
  throw FatalError(std::move(text), where);
}

PanicTrap::PanicTrap(std::string_view message, Where where) noexcept
    : message_(message),
      where_(where),
      uncaught_at_entry_(std::uncaught_exceptions()) {}

[[gnu::noinline]] PanicTrap::~PanicTrap() {
  if (!armed_ || std::uncaught_exceptions() <= uncaught_at_entry_) return;
  // A failure is leaving the guarded region: this is a second failure raised
  // during cleanup (its report is nested, hence full), and a failure during
  // cleanup cannot travel further.
  detail::report_twice_and_abort(message_, where_, "panic in a destructor during cleanup",
                                 Where::current(), detail::Trace::none, NOVREL_SITE());
}

}  // namespace novrel::failure
