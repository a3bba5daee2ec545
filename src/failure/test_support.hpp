// Entry points that only tests, fuzzers and probes call: the counters behind
// nested failures, and failure kinds no production site raises. Defined in
// test_support.cpp, which only those targets link (cmake/core.cmake's
// NOVREL_TEST_SUPPORT_SOURCES).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "failure/fatal_error.hpp"
#include "failure/where.hpp"

namespace novrel::failure {

using detail::acknowledge_catch;

// Fatal errors raised and not yet caught, over all threads.
std::size_t fatal_errors_in_flight() noexcept;
// Fatal errors raised on the calling thread and not yet caught.
std::uint32_t nesting_count() noexcept;

// "called `Result::unwrap()` on an `Err` value: {cause}"
[[noreturn]] void raise_unwrap_err(std::string_view cause,
                                   Where where = Where::current());

// "called `Option::unwrap()` on a `None` value"
[[noreturn]] void raise_unwrap_none(Where where = Where::current());

// A failure inside a step that may not fail: reports `text` as a failure,
// then "panic in a function that cannot unwind", then aborts.
[[noreturn]] void abort_cannot_unwind(std::string_view text,
                                      Where where = Where::current()) noexcept;

// Writes the memory-exhaustion report and aborts.
[[noreturn]] void handle_alloc_error(std::size_t bytes) noexcept;

}  // namespace novrel::failure
