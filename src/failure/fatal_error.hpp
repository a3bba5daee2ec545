// Fatal errors: how the list reader, and anything novrel's boundary runs,
// fails. (The row reader throws ReadError values instead, and catches these
// only where an allocation beyond any size raises one.)
//
// A fatal error is raised at the failing site, never returned. Raising writes
// the failure report to fd 2 first (unless the thread is in a QuietFailures
// scope) and then throws `FatalError`, so the frames it passes release what
// they own (the plot file is closed, buffers freed) before the boundary
// converts it for Python. Production code catches it only through
// catch_fatal; tests that catch it by hand acknowledge it themselves
// (test_support.hpp).
//
// Sites pass their location implicitly: every raise function takes a
// `Where` defaulted at the call site, so a failure found inside
// a shared helper on behalf of its caller is reported at the caller when the
// helper forwards its own `where` parameter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "failure/memory.hpp"
#include "failure/where.hpp"

namespace novrel::failure {

// The exception that carries a fatal error up to the failure guard.
// Deliberately not derived from std::exception, so that no generic handler
// can swallow it on the way.
class FatalError {
 public:
  // A fixed text of static storage duration: carried without copying.
  FatalError(std::string_view fixed_text, Where where) noexcept
      : fixed_(fixed_text), where_(where) {}
  // A composed text (message with cause, or an expanded template).
  FatalError(String composed_text, Where where) noexcept
      : owned_(std::move(composed_text)), composed_(true), where_(where) {}

  std::string_view message() const noexcept {
    return composed_ ? std::string_view(owned_) : fixed_;
  }
  // True when the text came from a template or a cause, not a fixed text.
  bool composed() const noexcept { return composed_; }
  const Where& location() const noexcept { return where_; }

 private:
  std::string_view fixed_;
  String owned_;
  bool composed_ = false;
  Where where_;
};

// The message alone. `text` must outlive the process (a literal).
[[noreturn]] void raise(std::string_view text,
                        Where where = Where::current());

// "{message}: {cause}", the cause already rendered on one line.
[[noreturn]] void raise_with_cause(std::string_view message,
                                   std::string_view cause,
                                   Where where = Where::current());

// A template already filled with its arguments.
[[noreturn]] void raise_formatted(String text, Where where = Where::current());

// Propagates like the raise functions but writes no report: used when a
// failure that was already reported elsewhere is resumed.
[[noreturn]] void raise_without_report(String text,
                                       Where where = Where::current());

// Writes `text` straight to fd 2, not through any stream, so that it
// survives a replaced or broken one; retried when interrupted. A failed write
// is dropped: there is nowhere left to report it.
void write_diagnostic(std::string_view text) noexcept;

namespace detail {
// The failure is no longer travelling: the per-thread nesting count and the
// process-wide count of fatal errors in flight each drop by one. In
// production only catch_fatal calls it, so that no catcher can forget it;
// tests that catch a FatalError by hand call it through test_support.hpp.
void acknowledge_catch() noexcept;
}  // namespace detail

// The one way to catch a fatal error: runs `body` and returns its result; a
// FatalError leaving it is acknowledged (so that later failures on this
// thread are not taken for failures raised during its cleanup) and handed
// to `on_failure`, whose result is returned instead.
template <class Body, class OnFailure>
std::invoke_result_t<Body&> catch_fatal(Body&& body, OnFailure&& on_failure) {
  try {
    return body();
  } catch (const FatalError& caught) {
    detail::acknowledge_catch();
    return std::forward<OnFailure>(on_failure)(caught);
  }
}

// How failures on the calling thread are delivered while one of these
// lives. By default a failure is reported where it is raised (fd 2), the
// rejected parameter count is printed on fd 1, and running out of memory
// aborts the process: callers of the list-building module rely on all three.
// A caller that turns every failure into an ordinary error of its own opens
// a QuietFailures scope instead: nothing is written to fd 1 or fd 2, and
// running out of memory throws OutOfMemory (memory.hpp) rather than abort.
// Scopes nest; each restores what it found.
class QuietFailures {
 public:
  QuietFailures() noexcept;
  ~QuietFailures();
  QuietFailures(const QuietFailures&) = delete;
  QuietFailures& operator=(const QuietFailures&) = delete;

 private:
  bool outer_;
};

bool failures_are_quiet() noexcept;

// Guards a region that a fatal error must never leave (an entry from a
// foreign caller). If a FatalError unwinds through it while it is armed, the
// destructor reports a second failure with `message` and the process aborts
// ("panic in a destructor during cleanup"). Disarm it on every normal exit.
class PanicTrap {
 public:
  explicit PanicTrap(std::string_view message,
                     Where where = Where::current()) noexcept;
  ~PanicTrap();
  void disarm() noexcept { armed_ = false; }

  PanicTrap(const PanicTrap&) = delete;
  PanicTrap& operator=(const PanicTrap&) = delete;

 private:
  std::string_view message_;
  Where where_;
  int uncaught_at_entry_;
  bool armed_ = true;
};

}  // namespace novrel::failure
