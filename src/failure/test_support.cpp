// The definitions behind test_support.hpp. Only the C++ tests, the failure
// probe, the stresses and the fuzz targets link this file, so neither Python
// module carries failure kinds that no production site raises.
//
// Each entry point passes its own return address down as the failing site,
// as fatal_error.cpp's do, so that a short backtrace starts at the test's
// call: they must stay out of line.
#include "failure/test_support.hpp"

#include "failure/report.hpp"

#define NOVREL_SITE() __builtin_return_address(0)

namespace novrel::failure {

std::size_t fatal_errors_in_flight() noexcept {
  return detail::fatal_error_count.load(std::memory_order_relaxed);
}

std::uint32_t nesting_count() noexcept { return detail::nesting; }

[[gnu::noinline]] void raise_unwrap_err(std::string_view cause, Where where) {
  detail::raise_composed(
      detail::compose("called `Result::unwrap()` on an `Err` value", cause),
      where, NOVREL_SITE());
}

[[gnu::noinline]] void raise_unwrap_none(Where where) {
  detail::raise_fixed("called `Option::unwrap()` on a `None` value",
                      where, NOVREL_SITE());
}

[[gnu::noinline]] void abort_cannot_unwind(std::string_view text,
                                           Where where) noexcept {
  detail::report_twice_and_abort(text, where, "panic in a function that cannot unwind",
                                 Where::current(), detail::Trace::by_style, NOVREL_SITE());
}

[[gnu::noinline]] void handle_alloc_error(std::size_t bytes) noexcept {
  detail::handle_alloc_error_at(bytes, NOVREL_SITE());
}

}  // namespace novrel::failure
